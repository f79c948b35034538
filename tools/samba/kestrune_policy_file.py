"""Device-control records of Registry.pol files, through Samba's own codec.

Only two keys, each with all its subkeys, carry the policy that Kestrune applies;
everything else in a policy object belongs to other tools and is left alone.
"""
import collections
import os
import tempfile

from samba.dcerpc import preg
from samba.ndr import ndr_pack, ndr_unpack

DEVICE_CONTROL_KEYS = (
    'Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions',
    'Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices',
)
_PREFIXES = tuple(k.lower() for k in DEVICE_CONTROL_KEYS)


def is_device_control(keyname):
    # Compared as the library walks key paths: case-insensitive, empty
    # components dropped, so "A\\\\B" is the key A\B there and here.
    key = '\\'.join(p for p in keyname.split('\\') if p).lower()
    return any(key == p or key.startswith(p + '\\') for p in _PREFIXES)


Record = collections.namedtuple('Record', 'keyname valuename type data')


def records_of(parsed):
    """Plain copies of a parsed file's entries. Samba's entries point into the
    parsed file's memory and come out corrupted once the file object is gone, so
    they are copied field by field while it lives."""
    return [Record(e.keyname, e.valuename, e.type, e.data) for e in parsed.entries]


def parse(raw, name):
    """The records of a Registry.pol file's bytes; no bytes are no records."""
    if not raw:
        return []
    try:
        parsed = ndr_unpack(preg.file, raw)
    except Exception as e:
        raise ValueError('%s is not a Registry.pol file (%s)' % (name, e))
    return records_of(parsed)


def read(path):
    """The records of a file, or None when there is none."""
    try:
        with open(path, 'rb') as f:
            raw = f.read()
    except FileNotFoundError:
        return None
    return parse(raw, path)


def pack(records):
    copies = []
    for e in records:
        c = preg.entry()
        c.keyname = e.keyname
        c.valuename = e.valuename
        c.type = e.type
        c.data = e.data
        copies.append(c)
    f = preg.file()
    f.header.signature = 'PReg'
    f.header.version = 1
    f.num_entries = len(copies)
    f.entries = copies
    return ndr_pack(f)


def write_atomically(path, data):
    """Replaces path with data so that a reader sees the old or the new file,
    never a part; the file is readable by its owner only, like the library's."""
    folder = os.path.dirname(path)
    # Every folder made here, the policy root included, is private like the
    # library's own.
    umask = os.umask(0o077)
    try:
        os.makedirs(folder, exist_ok=True)
    finally:
        os.umask(umask)
    fd, temp = tempfile.mkstemp(dir=folder, prefix='.' + os.path.basename(path) + '.')
    try:
        with os.fdopen(fd, 'wb') as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.rename(temp, path)
    except BaseException:
        os.unlink(temp)
        raise
    dirfd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(dirfd)
    finally:
        os.close(dirfd)
