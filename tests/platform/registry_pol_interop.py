#!/usr/bin/python3
"""Registry.pol files cross between the library, driven by the kestrune command,
and Samba's Registry.pol codec in both directions. Exit 77 (skip) when Samba's
Python modules are missing.

usage: registry_pol_interop.py KESTRUNE SCRATCH_DIR
"""
import json
import os
import subprocess
import sys

try:
    from samba.dcerpc import preg
    from samba.ndr import ndr_pack, ndr_unpack
except ImportError:
    print("SKIP: Samba's Python modules (python3-samba) are not installed")
    sys.exit(77)

tool, scratch = sys.argv[1], sys.argv[2]
POL = "GroupPolicy/Machine/Registry.pol"
RESTRICTIONS = "Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions"
LIST = RESTRICTIONS + "\\DenyDeviceClasses"
UDISK = ("Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\"
         "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}")
MOUSE = "{4D36E96F-E325-11CE-BFC1-08002BE10318}"


def check(what, got, want):
    if got != want:
        sys.exit("%s:\n  got  %r\n  want %r" % (what, got, want))


def kestrune(root, *words):
    env = dict(os.environ, KESTRUNE_ROOT=root, KESTRUNE_ENFORCE="0")
    return subprocess.run([tool, *words], env=env, check=True, capture_output=True, text=True).stdout


def samba_entries(root):
    with open(os.path.join(root, POL), "rb") as f:
        parsed = ndr_unpack(preg.file, f.read())
    check("header", (parsed.header.signature, parsed.header.version), ("PReg", 1))
    return [(e.keyname, e.valuename, e.type, e.data) for e in parsed.entries]


# The library writes, Samba reads.
ours = os.path.join(scratch, "ours")
kestrune(ours, "set", "mouse", "deny")
check("library file read by Samba", samba_entries(ours), [
    (RESTRICTIONS, "DenyDeviceClasses", 4, 1),
    (RESTRICTIONS, "DenyDeviceClassesRetroactive", 4, 1),
    (LIST, "**delvals.", 1, " "),
    (LIST, "1", 1, MOUSE),
])

# Samba writes, the library reads it, and saves it again with one change that
# Samba reads in turn.
theirs = os.path.join(scratch, "theirs")
os.makedirs(os.path.dirname(os.path.join(theirs, POL)), mode=0o700)
os.chmod(theirs, 0o700)
written = [
    (RESTRICTIONS, "Ger\u00e4t", 4, 1),
    (LIST, "**delvals.", 1, " "),
    (LIST, "1", 1, "{4D36E978-E325-11CE-BFC1-08002BE10318}"),
]


def entry(key, name, kind, data):
    e = preg.entry()
    e.keyname, e.valuename, e.type, e.data = key, name, kind, data
    return e


f = preg.file()
f.header.signature, f.header.version, f.num_entries = "PReg", 1, len(written)
f.entries = [entry(*w) for w in written]
with open(os.path.join(theirs, POL), "wb") as out:
    out.write(ndr_pack(f))

shown = json.loads(kestrune(theirs, "policy", "show", "--json"))["values"]
check("Samba file read by the library", [(v["key"], v["name"], v["type"], v["value"]) for v in shown], written)
kestrune(theirs, "set", "udisk", "read-only")
check("library's resave read by Samba", samba_entries(theirs),
      written + [(UDISK, "Deny_Read", 4, 0), (UDISK, "Deny_Write", 4, 1)])
print("Registry.pol interoperates with Samba in both directions")
