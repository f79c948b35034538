"""Publishing device policy into a domain policy object over Samba's bindings.

Three steps, in an order that never lets a client see a new version before the
new file: the object's Machine/Registry.pol on sysvol, the version in its GPT.INI,
then its versionNumber and gPCMachineExtensionNames in the directory.
"""
import re

import ldb
from samba.auth import system_session
from samba.dcerpc import security
from samba.netcmd.gpo import dc_url, get_gpo_info, parse_unc, smb_connection
from samba.ntstatus import NT_STATUS_OBJECT_NAME_NOT_FOUND, NT_STATUS_OBJECT_PATH_NOT_FOUND
from samba.samba3 import libsmb_samba_internal as libsmb
from samba.samdb import SamDB
from samba import NTSTATUSError

import kestrune_policy_file as policy_file

# The registry client-side extension and the administrative templates tool that
# Windows lists for an object holding Registry.pol policy.
REGISTRY_CSE = '{35378EAC-683F-11D2-A89A-00C04FBBCFA2}'
REGISTRY_TOOL = '{D02B1F72-3407-48AE-BA88-E8213C6761F1}'

_GUID = re.compile(r'^\{[0-9A-Fa-f]{8}-([0-9A-Fa-f]{4}-){3}[0-9A-Fa-f]{12}\}$')


class PublishError(Exception):
    pass


def with_extension_pair(names, cse=REGISTRY_CSE, tool=REGISTRY_TOOL):
    """gPCMachineExtensionNames with the tool listed under the extension:
    "[{cse}{tool}...]" groups, sorted by GUID as Windows keeps them."""
    groups = {}
    for group in re.findall(r'\[([^\]]*)\]', names or ''):
        guids = re.findall(r'\{[^}]*\}', group)
        if guids:
            groups.setdefault(guids[0].upper(), set()).update(g.upper() for g in guids[1:])
    groups.setdefault(cse.upper(), set()).add(tool.upper())
    return ''.join('[%s%s]' % (c, ''.join(sorted(t))) for c, t in sorted(groups.items()))


def raised_version(version):
    """The next version after a machine-side change: the low 16 bits count
    machine changes, the high 16 bits user changes, which stay. The machine
    count wraps to 1, as 0 means the object holds no machine policy."""
    machine = version & 0xFFFF
    return (version & ~0xFFFF) | (machine + 1 if machine < 0xFFFF else 1)


def gpt_ini_with_version(text, version):
    """GPT.INI's text with Version= set in [General], the rest kept."""
    lines = text.splitlines()
    section, done = None, False
    for i, line in enumerate(lines):
        stripped = line.strip()
        if stripped.startswith('['):
            if section == 'general' and not done:
                lines.insert(i, 'Version=%d' % version)
                done = True
                break
            section = stripped.strip('[]').strip().lower()
        elif section == 'general' and stripped.split('=', 1)[0].strip().lower() == 'version':
            lines[i] = 'Version=%d' % version
            done = True
    if not done:
        if section != 'general':
            lines.append('[General]')
        lines.append('Version=%d' % version)
    return '\r\n'.join(lines) + '\r\n'


def gpt_ini_version(text):
    section = None
    for line in text.splitlines():
        stripped = line.strip()
        if stripped.startswith('['):
            section = stripped.strip('[]').strip().lower()
        elif section == 'general' and '=' in stripped:
            key, value = (s.strip() for s in stripped.split('=', 1))
            if key.lower() == 'version':
                try:
                    return int(value)
                except ValueError:
                    return 0
    return 0


def merged_records(existing, published):
    """The object's new Registry.pol: what it held outside the device-control
    keys, which other tools own, followed by the published device policy."""
    kept = [e for e in existing if not policy_file.is_device_control(e.keyname)]
    return kept + [e for e in published if policy_file.is_device_control(e.keyname)]


def _load(conn, path):
    try:
        return conn.loadfile(path)
    except NTSTATUSError as e:
        if e.args[0] in (NT_STATUS_OBJECT_NAME_NOT_FOUND, NT_STATUS_OBJECT_PATH_NOT_FOUND):
            return None
        raise


def _machine_dir(conn, gpo_path):
    """The object's machine folder, spelled as it exists (tools differ: Machine
    or MACHINE), created when missing."""
    for entry in conn.list(gpo_path):
        if entry['attrib'] & libsmb.FILE_ATTRIBUTE_DIRECTORY and entry['name'].lower() == 'machine':
            return gpo_path + '\\' + entry['name']
    conn.mkdir(gpo_path + '\\Machine')
    return gpo_path + '\\Machine'


def find_gpo(samdb, name_or_guid):
    # Only the DACL is asked for: a delegated editor may not read the SACL.
    if _GUID.match(name_or_guid):
        found = get_gpo_info(samdb, gpo=name_or_guid.upper(), sd_flags=security.SECINFO_DACL)
    else:
        found = get_gpo_info(samdb, displayname=name_or_guid, sd_flags=security.SECINFO_DACL)
    if len(found) != 1:
        raise PublishError('%s policy object is named "%s"' % (
            'no' if len(found) == 0 else 'more than one', name_or_guid))
    return found[0]


def publish(lp, creds, url, name_or_guid, policy_path, out):
    published = policy_file.read(policy_path)
    if published is None:
        raise PublishError('no policy file at %s' % policy_path)
    device = [e for e in published if policy_file.is_device_control(e.keyname)]
    if len(device) != len(published):
        out('%d records outside the device-control keys are not published'
            % (len(published) - len(device)))

    samdb = SamDB(url=dc_url(lp, creds, url), session_info=system_session(),
                  credentials=creds, lp=lp)
    msg = find_gpo(samdb, name_or_guid)
    guid, display = str(msg['name'][0]), str(msg['displayName'][0])
    _, share, gpo_path = parse_unc(str(msg['gPCFileSysPath'][0]))
    conn = smb_connection(samdb.host_dns_name(), share, lp, creds)

    pol_path = _machine_dir(conn, gpo_path) + '\\Registry.pol'
    old = _load(conn, pol_path)
    existing = policy_file.parse(old, pol_path) if old is not None else []
    conn.savefile(pol_path, policy_file.pack(merged_records(existing, device)))

    ini_path = gpo_path + '\\GPT.INI'
    ini = (_load(conn, ini_path) or b'').decode('utf-8', 'replace')
    ldap_version = int(msg['versionNumber'][0]) if 'versionNumber' in msg else 0
    version = raised_version(max(gpt_ini_version(ini), ldap_version))
    conn.savefile(ini_path, gpt_ini_with_version(ini, version).encode('utf-8'))

    names = str(msg['gPCMachineExtensionNames'][0]) if 'gPCMachineExtensionNames' in msg else ''
    m = ldb.Message(msg.dn)
    m['versionNumber'] = ldb.MessageElement(str(version), ldb.FLAG_MOD_REPLACE, 'versionNumber')
    m['gPCMachineExtensionNames'] = ldb.MessageElement(
        with_extension_pair(names), ldb.FLAG_MOD_REPLACE, 'gPCMachineExtensionNames')
    samdb.modify(m)
    out('published %d device-control records into %s "%s", version %d'
        % (len(device), guid, display, version))
