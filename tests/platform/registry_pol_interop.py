#!/usr/bin/python3
"""Registry.pol files cross between the library and Samba's Registry.pol codec
in both directions. Exit 77 (skip) when Samba's Python modules are missing.

usage: registry_pol_interop.py POL_TOOL SCRATCH_DIR
"""
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
LIST = "Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions\\DenyDeviceClasses"
RESTRICTIONS = "Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions"
MOUSE = "{4D36E96F-E325-11CE-BFC1-08002BE10318}"
failures = []


def check(what, got, want):
    if got != want:
        failures.append("%s:\n  got  %r\n  want %r" % (what, got, want))


def entries(path):
    with open(path, "rb") as f:
        parsed = ndr_unpack(preg.file, f.read())
    check("header", (parsed.header.signature, parsed.header.version), ("PReg", 1))
    return [(e.keyname, e.valuename, e.type, e.data) for e in parsed.entries]


# The library writes, Samba reads.
ours = os.path.join(scratch, "ours")
subprocess.run([tool, "write", ours], check=True, stdout=subprocess.DEVNULL)
check("library file read by Samba", entries(os.path.join(ours, POL)), [
    (RESTRICTIONS, "DenyDeviceClasses", 4, 1),
    (RESTRICTIONS, "Ger\u00e4t", 4, 1),
    (LIST, "**delvals.", 1, " "),
    (LIST, "1", 1, MOUSE),
])

# Samba writes, the library reads and saves again, Samba reads the result.
theirs = os.path.join(scratch, "theirs")
os.makedirs(os.path.dirname(os.path.join(theirs, POL)))
written = [
    ("Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\"
     "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}", "Deny_Read", 4, 1),
    (LIST, "**delvals.", 1, " "),
    (LIST, "1", 1, "{4D36E978-E325-11CE-BFC1-08002BE10318}"),
    (LIST, "2", 1, MOUSE),
]
f = preg.file()
f.header.signature = "PReg"
f.header.version = 1
f.num_entries = len(written)
items = []
for key, name, kind, data in written:
    e = preg.entry()
    e.keyname, e.valuename, e.type, e.data = key, name, kind, data
    items.append(e)
f.entries = items
with open(os.path.join(theirs, POL), "wb") as out:
    out.write(ndr_pack(f))

listing = os.path.join(scratch, "listing.txt")
subprocess.run([tool, "resave", theirs, listing], check=True, stdout=subprocess.DEVNULL)
with open(listing, encoding="utf-8") as lines:
    seen = [tuple(line.rstrip("\n").split("|")[:3]) for line in lines]
check("Samba file read by the library", seen, [(k, n, str(t)) for k, n, t, _ in written])
check("library's resave read by Samba", entries(os.path.join(theirs, POL)), written)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("Registry.pol interoperates with Samba in both directions")
