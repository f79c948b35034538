#!/usr/bin/python3
"""Domain policy end to end: a throwaway Samba AD domain controller and two
joined clients, each in network, mount and UTS namespaces of its own, with
private mounts over Samba's runtime, state and configuration folders and over
/etc/hosts and /etc/resolv.conf. Policy is authored with the library, published
with kestrune-gpo and applied by Kestrune's extension alone.

usage: domain_e2e.py PREFIX LIBRARY SCRATCH
  PREFIX   an installed tree (cmake --install) with sbin/kestrune-gpo
  LIBRARY  libKestrune.so, for authoring policy and for the get operations
  SCRATCH  an empty folder outside /tmp on a file system with extended attributes

Everything the test makes lives in SCRATCH, in its namespaces and in its
processes; each process is ended by its PID and each namespace deleted, also on
failure and on timeout. Exit 0 when every check passed, 1 when one failed, 77
(skip) when namespaces or Samba are not available, unless CI is set: then the
run fails instead.
"""
import ctypes
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback

TIMEOUT = 540
REALM, DOMAIN, DN = 'KDOM.TEST', 'KDOM', 'DC=kdom,DC=test'
ADMIN = 'Administrator%Kestrune-Adm1n'
DC_HOST, DC_IP = 'dc1', '10.213.14.1'
CLIENTS = {'client1': '10.213.14.11', 'client2': '10.213.14.12'}
APPLY_GP_RIGHT = 'edacfd8f-ffb3-11d1-b41d-00a0c968f939'

RESTRICTIONS = 'Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions'
DENY_LIST = RESTRICTIONS + '\\DenyDeviceClasses'
STORAGE = 'Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\'
CDROM = STORAGE + '{53f56308-b6bf-11d0-94f2-00a0c91efb8b}'
UDISK = STORAGE + '{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}'
MOUSE = '{4D36E96F-E325-11CE-BFC1-08002BE10318}'
KEYBOARD = '{4D36E96B-E325-11CE-BFC1-08002BE10318}'
CAMERA = '{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}'
# Library IDs: normal devices, storage devices, permissions.
N_MOUSE, N_KEYBOARD, N_CAMERA, S_CDROM, S_UDISK = 3, 4, 5, 0, 1
P_DENY, P_ALLOW, P_READ_ONLY = 1, 2, 4

# Mounts every Samba process of a machine sees instead of the host's: its own
# folders from the scratch tree, its own hosts and resolver, and a fresh /run/samba
# and /tmp (Kerberos caches, samba-tool's work folders), gone with the process.
ENTER = r'''#!/bin/sh
set -e
m=$1; h=$2; shift 2
mount --make-rprivate /
mount -t tmpfs -o mode=0755 tmpfs /run/samba
for pair in lib:/var/lib/samba cache:/var/cache/samba log:/var/log/samba etc-samba:/etc/samba; do
  mkdir -p "$m/${pair%%:*}"
  mount --bind "$m/${pair%%:*}" "${pair#*:}"
done
mkdir -p -m 0700 /var/lib/samba/private
mount --bind "$m/hosts" /etc/hosts
mount --bind "$m/resolv.conf" /etc/resolv.conf
mount -t tmpfs -o mode=1777 tmpfs /tmp
export KRB5_CONFIG="$m/krb5.conf" PYTHONDONTWRITEBYTECODE=1
hostname "$h"
exec "$@"
'''

HOST_PATHS = ['/etc/samba', '/var/lib/samba', '/var/cache/samba', '/run/samba', '/var/log/samba',
              '/etc/hosts', '/etc/resolv.conf', '/var/lib/kestrune', '/tmp/krb5cc_0']


class Failed(Exception):
    pass


class TimedOut(BaseException):
    pass


def die_with_parent():
    # Should the test itself be killed, its machines go with it.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def net_namespace(pid):
    try:
        return os.readlink('/proc/%d/ns/net' % pid)
    except OSError:
        return None


def pids_in(namespaces):
    """Every process whose network namespace is one of these."""
    wanted = set(namespaces)
    return sorted(int(p) for p in os.listdir('/proc') if p.isdigit() and net_namespace(int(p)) in wanted)


def in_ci():
    return os.environ.get('CI', '').lower() not in ('', '0', 'false', 'no')


def host_snapshot():
    """Names, sizes, modes and content digests under the host paths the test
    must leave alone."""
    paths = []
    for top in HOST_PATHS:
        paths.append(top)
        paths += [os.path.join(d, n) for d, dirs, files in os.walk(top) for n in dirs + files]
    seen = {}
    for path in paths:
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            continue
        digest = ''
        if os.path.isfile(path) and not os.path.islink(path):
            with open(path, 'rb') as f:
                digest = hashlib.sha256(f.read()).hexdigest()
        seen[path] = (st.st_mode, st.st_size, digest)
    return seen


# Effective policy, decoded the way the policy engine reads it.

def pol_records(path):
    from samba.dcerpc import preg
    from samba.ndr import ndr_unpack
    with open(path, 'rb') as f:
        raw = f.read()
    if not raw:
        return []
    parsed = ndr_unpack(preg.file, raw)
    return [(e.keyname, e.valuename, e.type, e.data) for e in parsed.entries]


def device_view(records):
    """What a policy file means for the devices of the test: the denied setup
    classes (when the deny list is switched on) and (Deny_Read, Deny_Write) per
    storage class, None where unset."""
    values = {}
    for key, name, _, data in records:
        values.setdefault(key.lower(), {})[name.lower()] = data
    denied = set()
    if values.get(RESTRICTIONS.lower(), {}).get('denydeviceclasses') == 1:
        denied = {v for n, v in values.get(DENY_LIST.lower(), {}).items() if not n.startswith('**')}

    def storage(key):
        held = values.get(key.lower(), {})
        pair = (held.get('deny_read'), held.get('deny_write'))
        return None if pair == (None, None) else pair
    return {'denied': sorted(denied), 'cdrom': storage(CDROM), 'udisk': storage(UDISK)}


def view(denied=(), cdrom=None, udisk=None):
    return {'denied': sorted(denied), 'cdrom': cdrom, 'udisk': udisk}


# Subcommands the test runs in a process of their own (the library's state is
# process-wide; some run inside a client's namespaces).

def sub_author(library, root, *calls):
    """Writes permits with the library into the policy object under root."""
    os.environ['KESTRUNE_ROOT'] = root
    lib = ctypes.CDLL(library)
    results = [lib.QVX_KESTRUNE_Initialize()]
    for call in calls:
        kind, device, perm = call.split(':')
        fn = lib.QVX_KESTRUNE_set_normal_device_permit if kind == 'normal' else \
            lib.QVX_KESTRUNE_set_storage_device_permit
        results.append(fn(int(device), int(perm)))
    results += [lib.QVX_KESTRUNE_Apply(), lib.QVX_KESTRUNE_Uninitialize()]
    print('RESULT ' + json.dumps(results))


def sub_permits(library, root):
    """The get operations' answers for the devices of the test."""
    os.environ['KESTRUNE_ROOT'] = root
    lib = ctypes.CDLL(library)
    assert lib.QVX_KESTRUNE_Initialize() == 0
    got = {'mouse': lib.QVX_KESTRUNE_get_normal_device_permit(N_MOUSE),
           'keyboard': lib.QVX_KESTRUNE_get_normal_device_permit(N_KEYBOARD),
           'cdrom': lib.QVX_KESTRUNE_get_storage_device_permit(S_CDROM),
           'udisk': lib.QVX_KESTRUNE_get_storage_device_permit(S_UDISK)}
    lib.QVX_KESTRUNE_Uninitialize()
    print('RESULT ' + json.dumps(got))


def sub_gpo_attrs(guid):
    """versionNumber and gPCMachineExtensionNames of a policy object."""
    from samba.auth import system_session
    from samba.credentials import Credentials
    from samba.param import LoadParm
    from samba.samdb import SamDB
    lp = LoadParm()
    lp.load_default()
    creds = Credentials()
    creds.guess(lp)
    creds.parse_string(ADMIN)
    db = SamDB(url='ldap://%s.%s' % (DC_HOST, REALM.lower()), session_info=system_session(),
               credentials=creds, lp=lp)
    msg = db.search(base='CN=%s,CN=Policies,CN=System,%s' % (guid, DN), scope=0,
                    attrs=['versionNumber', 'gPCMachineExtensionNames'])[0]
    print('RESULT ' + json.dumps({'version': int(msg['versionNumber'][0]),
                                  'extensions': str(msg.get('gPCMachineExtensionNames', [''])[0])}))


class Lab:
    def __init__(self, prefix, library, scratch):
        self.prefix, self.library, self.scratch = prefix, library, scratch
        self.holders, self.namespaces = {}, {}
        self.dc = None
        self.timings = []
        self.passed, self.failed = 0, 0
        self.gpo = {}

    # Namespaces and processes. Each machine's network namespace is anonymous,
    # held by a sleeping process that dies with this one; the namespace goes away
    # with the last process in it, so nothing of it outlives the test.

    def add_namespace(self, machine):
        holder = subprocess.Popen(['unshare', '--net', 'sleep', 'infinity'], preexec_fn=die_with_parent)
        self.holders[machine] = holder
        ours = os.readlink('/proc/self/ns/net')
        deadline = time.time() + 10
        while net_namespace(holder.pid) in (None, ours):
            if holder.poll() is not None or time.time() > deadline:
                raise Failed('unshare --net for %s did not start' % machine)
            time.sleep(0.02)
        self.namespaces[machine] = net_namespace(holder.pid)
        self.ip(machine, 'link', 'set', 'lo', 'up')

    def enter(self, machine):
        return ['nsenter', '--net=/proc/%d/ns/net' % self.holders[machine].pid]

    def ip(self, machine, *args):
        subprocess.run(self.enter(machine) + ['ip'] + list(args), check=True)

    def folder(self, machine):
        return os.path.join(self.scratch, machine)

    def argv(self, machine, argv):
        host = DC_HOST if machine == 'dc' else machine
        return self.enter(machine) + ['unshare', '--mount', '--uts', os.path.join(self.scratch, 'enter.sh'),
                                      self.folder(machine), host] + list(argv)

    def run(self, machine, *argv, env=None, ok=True, timeout=120):
        done = subprocess.run(self.argv(machine, argv), env=dict(os.environ, **(env or {})),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout,
                              preexec_fn=die_with_parent)
        out = done.stdout.decode('utf-8', 'replace')
        if ok and done.returncode != 0:
            raise Failed('%s on %s exited %d:\n%s' % (' '.join(argv), machine, done.returncode, out))
        return done.returncode, out

    def cleanup(self):
        if self.dc is not None and self.dc.poll() is None:
            self.dc.terminate()
            try:
                self.dc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.dc.kill()
                self.dc.wait()
        # Whatever is left in a namespace was started by this test; the holders
        # go last, and with them the namespaces.
        holders = {h.pid for h in self.holders.values()}
        for sig in (signal.SIGTERM, signal.SIGKILL):
            pids = [p for p in pids_in(self.namespaces.values()) if p not in holders]
            for pid in pids:
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            deadline = time.time() + 5
            while pids and time.time() < deadline:
                time.sleep(0.1)
                pids = [p for p in pids_in(self.namespaces.values()) if p not in holders]
        for holder in self.holders.values():
            holder.kill()
            holder.wait()

    # Bookkeeping.

    def step(self, name, action):
        start = time.monotonic()
        result = action()
        self.timings.append((name, time.monotonic() - start))
        return result

    def check(self, what, got, want):
        if got == want:
            self.passed += 1
        else:
            self.failed += 1
            print('FAIL: %s\n  got  %r\n  want %r' % (what, got, want), flush=True)

    def self_call(self, machine, *args, env=None):
        argv = ['/usr/bin/python3', os.path.realpath(__file__)] + list(args)
        if machine is None:
            out = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 env=dict(os.environ, **(env or {})), timeout=60).stdout.decode()
        else:
            out = self.run(machine, *argv, env=env)[1]
        lines = [l for l in out.splitlines() if l.startswith('RESULT ')]
        if not lines:
            raise Failed('%s printed no result:\n%s' % (' '.join(args), out))
        return json.loads(lines[-1][7:])

    # The machines.

    def write(self, path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'w') as f:
            f.write(text)

    def machine_files(self, machine, ip):
        host = DC_HOST if machine == 'dc' else machine
        base = self.folder(machine)
        self.write(os.path.join(base, 'hosts'), '127.0.0.1 localhost\n%s %s.%s %s\n%s %s.%s %s\n' % (
            ip, host, REALM.lower(), host, DC_IP, DC_HOST, REALM.lower(), DC_HOST))
        self.write(os.path.join(base, 'resolv.conf'),
                   'nameserver %s\nsearch %s\noptions timeout:1 attempts:1\n' % (DC_IP, REALM.lower()))
        self.write(os.path.join(base, 'krb5.conf'), (
            '[libdefaults]\n\tdefault_realm = %s\n\tdns_lookup_realm = false\n\tdns_lookup_kdc = false\n'
            '[realms]\n\t%s = {\n\t\tkdc = %s\n\t\tadmin_server = %s\n\t}\n') % (REALM, REALM, DC_IP, DC_IP))

    def provision(self):
        self.write(os.path.join(self.scratch, 'enter.sh'), ENTER)
        os.chmod(os.path.join(self.scratch, 'enter.sh'), 0o755)
        self.add_namespace('dc')
        self.ip('dc', 'link', 'add', 'br0', 'type', 'bridge')
        self.ip('dc', 'addr', 'add', DC_IP + '/24', 'dev', 'br0')
        self.ip('dc', 'link', 'set', 'br0', 'up')
        self.machine_files('dc', DC_IP)
        self.run('dc', 'samba-tool', 'domain', 'provision', '--realm=' + REALM, '--domain=' + DOMAIN,
                 '--server-role=dc', '--dns-backend=SAMBA_INTERNAL', '--adminpass=' + ADMIN.split('%')[1],
                 '--host-name=' + DC_HOST, '--host-ip=' + DC_IP,
                 '--targetdir=' + os.path.join(self.folder('dc'), 'target'), timeout=180)

    def start_dc(self):
        conf = os.path.join(self.folder('dc'), 'target', 'etc', 'smb.conf')
        log = open(os.path.join(self.folder('dc'), 'samba.log'), 'wb')
        self.dc = subprocess.Popen(self.argv('dc', ['samba', '-s', conf, '-i', '-M', 'single']),
                                   stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   preexec_fn=die_with_parent)
        log.close()
        wanted = {'53', '88', '389', '445'}
        deadline = time.time() + 90
        while time.time() < deadline:
            if self.dc.poll() is not None:
                raise Failed('samba exited with %d, see %s/samba.log' % (self.dc.returncode, self.folder('dc')))
            out = subprocess.run(self.enter('dc') + ['ss', '-ltnH'], stdout=subprocess.PIPE).stdout.decode()
            ports = {line.split()[3].rsplit(':', 1)[1] for line in out.splitlines() if line.strip()}
            if wanted <= ports:
                return
            time.sleep(0.2)
        raise Failed('the domain controller did not listen on %s within 90 s' % sorted(wanted))

    def add_client(self, name):
        self.add_namespace(name)
        index = sorted(CLIENTS).index(name) + 1
        dc_end = 'veth%d' % index
        self.ip('dc', 'link', 'add', dc_end, 'type', 'veth', 'peer', 'name', 'eth0',
                'netns', str(self.holders[name].pid))
        self.ip('dc', 'link', 'set', dc_end, 'master', 'br0', 'up')
        self.ip(name, 'addr', 'add', CLIENTS[name] + '/24', 'dev', 'eth0')
        self.ip(name, 'link', 'set', 'eth0', 'up')
        self.machine_files(name, CLIENTS[name])
        self.write(os.path.join(self.folder(name), 'etc-samba', 'smb.conf'), (
            '[global]\n\tworkgroup = %s\n\trealm = %s\n\tnetbios name = %s\n\tsecurity = ads\n'
            '\tkerberos method = secrets and keytab\n') % (DOMAIN, REALM, name.upper()))

    def root(self, name):
        return os.path.join(self.folder(name), 'policy-root')

    # Administration, done from client1 as from an administrator's workstation.

    def admin(self, *argv, env=None):
        return self.run('client1', *argv, '-H', 'ldap://%s.%s' % (DC_HOST, REALM.lower()),
                        '-U', ADMIN, env=env)[1]

    def kestrune_gpo(self, machine, *argv, env=None, ok=True):
        return self.run(machine, os.path.join(self.prefix, 'sbin', 'kestrune-gpo'), *argv,
                        env=env, ok=ok)

    def author(self, root, *calls):
        results = self.self_call(None, 'author', self.library, root, *calls)
        if results != [0] * len(results):
            raise Failed('authoring into %s returned %r' % (root, results))

    def create_gpo(self, name):
        out = self.admin('samba-tool', 'gpo', 'create', name)
        self.gpo[name] = re.search(r'created as (\{[0-9A-F-]+\})', out).group(1)

    def sysvol(self, name, *parts):
        # Read on the DC's disk, where tools spell folders differently (Machine, MACHINE).
        path = os.path.join(self.folder('dc'), 'target', 'state', 'sysvol', REALM.lower(), 'Policies',
                            self.gpo[name])
        for part in parts:
            path = os.path.join(path, next((n for n in os.listdir(path) if n.lower() == part.lower()), part))
        return path

    def apply(self, client, ok=True):
        return self.kestrune_gpo(client, 'apply', env={'KESTRUNE_ROOT': self.root(client)}, ok=ok)

    def effective(self, client):
        return device_view(pol_records(os.path.join(self.root(client), 'Policies', 'Machine.pol')))

    def status(self, client):
        fields = {}
        with open(os.path.join(self.root(client), 'Policies', 'Domain.status')) as f:
            for line in f:
                key, _, value = line.rstrip('\n').partition('=')
                fields[key] = value
        return fields

    def objects(self, client):
        return sorted(o.split(' ', 1)[1] for o in self.status(client)['objects'].split('; ') if o)


def scenario(lab):
    lab.step('provision the domain', lab.provision)
    lab.step('start the domain controller', lab.start_dc)
    for name in sorted(CLIENTS):
        lab.add_client(name)

    # Two policies authored with the library: the fleet's and the lab's.
    fleet, lab_pol = os.path.join(lab.scratch, 'fleet'), os.path.join(lab.scratch, 'lab')
    lab.author(fleet, 'normal:%d:%d' % (N_MOUSE, P_DENY), 'storage:%d:%d' % (S_UDISK, P_READ_ONLY))
    lab.author(lab_pol, 'normal:%d:%d' % (N_CAMERA, P_DENY), 'storage:%d:%d' % (S_UDISK, P_DENY))
    # Local policy of each client, which domain policy goes over.
    lab.author(lab.root('client1'), 'storage:%d:%d' % (S_CDROM, P_READ_ONLY))
    lab.author(lab.root('client2'), 'normal:%d:%d' % (N_KEYBOARD, P_DENY))

    def publish():
        lab.create_gpo('Kestrune fleet')
        lab.create_gpo('Kestrune lab')
        # Another tool's setting in the lab object must survive publishing.
        lab.admin('samba-tool', 'gpo', 'manage', 'smb_conf', 'set', lab.gpo['Kestrune lab'],
                  'apply_group_policies', 'yes')
        lab.admin(os.path.join(lab.prefix, 'sbin', 'kestrune-gpo'), 'publish', 'Kestrune fleet',
                  env={'KESTRUNE_ROOT': fleet})
        for _ in range(2):
            lab.admin(os.path.join(lab.prefix, 'sbin', 'kestrune-gpo'), 'publish', lab.gpo['Kestrune lab'],
                      '--policy', os.path.join(lab_pol, 'GroupPolicy', 'Machine', 'Registry.pol'))
        lab.admin('samba-tool', 'gpo', 'setlink', DN, lab.gpo['Kestrune fleet'])
    lab.step('create and publish two policy objects', publish)

    pair = '[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}{D02B1F72-3407-48AE-BA88-E8213C6761F1}]'
    for name, version in (('Kestrune fleet', 1), ('Kestrune lab', 2)):
        attrs = lab.self_call('client1', 'gpo-attrs', lab.gpo[name])
        lab.check(name + ': directory version and extensions', attrs, {'version': version, 'extensions': pair})
        with open(lab.sysvol(name, 'GPT.INI'), 'rb') as f:
            lab.check(name + ': GPT.INI', f.read(), b'[General]\r\nVersion=%d\r\n' % version)
    published = pol_records(lab.sysvol('Kestrune lab', 'MACHINE', 'Registry.pol'))
    lab.check('lab object keeps the other tool\'s record, then the device policy once',
              [(k, v) for k, v, _, _ in published],
              [('Software\\Policies\\Samba\\smb_conf', 'apply_group_policies')] +
              [(k, v) for k, v, _, _ in pol_records(os.path.join(lab_pol, 'GroupPolicy', 'Machine', 'Registry.pol'))])

    def join():
        for name in sorted(CLIENTS):
            lab.run(name, 'net', 'ads', 'join', '-U', ADMIN)
            lab.kestrune_gpo(name, 'register')
    lab.step('join two clients and register the extension', join)

    fleet_local1 = view([MOUSE], cdrom=(0, 1), udisk=(0, 1))
    fleet_local2 = view([MOUSE], udisk=(0, 1))   # the fleet's deny list replaces the local one
    lab.step('first pass on both clients', lambda: [lab.apply(c) for c in sorted(CLIENTS)])
    lab.check('client1 effective policy', lab.effective('client1'), fleet_local1)
    lab.check('client2 effective policy', lab.effective('client2'), fleet_local2)
    lab.check('client1 get operations read the local object',
              lab.self_call(None, 'permits', lab.library, lab.root('client1')),
              {'mouse': P_ALLOW, 'keyboard': P_ALLOW, 'cdrom': P_READ_ONLY, 'udisk': 0})
    lab.check('client2 get operations read the local object',
              lab.self_call(None, 'permits', lab.library, lab.root('client2')),
              {'mouse': P_ALLOW, 'keyboard': P_DENY, 'cdrom': 0, 'udisk': 0})
    lab.check('client1 status', (lab.status('client1')['result'], lab.objects('client1')),
              ('success', ['Default Domain Policy', 'Kestrune fleet']))
    rsop = lab.run('client1', '/usr/sbin/samba-gpupdate', '--rsop')[1]
    ours = rsop.split('CSE: gp_kestrune_ext')
    lab.check('resultant policy lists the fleet\'s mouse class under the extension',
              len(ours) > 1 and MOUSE in ''.join(o.split('CSE:')[0] for o in ours[1:]), True)

    def ou():
        lab.admin('samba-tool', 'ou', 'create', 'OU=Lab')
        lab.admin('samba-tool', 'gpo', 'setlink', 'OU=Lab,' + DN, lab.gpo['Kestrune lab'])
        lab.admin('samba-tool', 'computer', 'move', 'CLIENT1', 'OU=Lab')
        for c in sorted(CLIENTS):
            lab.apply(c)
    lab.step('link the lab object to an OU, pass on both', ou)
    lab.check('client1 under the OU object', lab.effective('client1'), view([CAMERA], cdrom=(0, 1), udisk=(1, 1)))
    lab.check('client2 outside the OU', lab.effective('client2'), fleet_local2)
    with open(os.path.join(lab.root('client1'), 'Policies', 'Domain.pol'), 'rb') as f:
        lab.check('domain file holds only device-control keys', b'smb_conf' not in f.read().replace(b'\0', b''), True)
    lab.check('client1 objects in order', lab.objects('client1'),
              ['Default Domain Policy', 'Kestrune fleet', 'Kestrune lab'])

    def unlink():
        lab.admin('samba-tool', 'gpo', 'dellink', 'OU=Lab,' + DN, lab.gpo['Kestrune lab'])
        lab.apply('client1')
    lab.step('unlink the lab object, pass on client1', unlink)
    lab.check('client1 after the unlink', lab.effective('client1'), fleet_local1)

    def deny_client2():
        sid = re.search(r'objectSid: (S-[0-9-]+)', lab.admin(
            'samba-tool', 'computer', 'show', 'CLIENT2', '--attributes=objectSid')).group(1)
        lab.admin('samba-tool', 'dsacl', 'set', '--objectdn=CN=%s,CN=Policies,CN=System,%s'
                  % (lab.gpo['Kestrune fleet'], DN), '--sddl=(OD;;CR;%s;;%s)' % (APPLY_GP_RIGHT, sid))
        lab.apply('client2')
    lab.step('deny client2 the fleet object, pass on client2', deny_client2)
    lab.check('client2 filtered out keeps only its local policy', lab.effective('client2'), view([KEYBOARD]))
    lab.check('client2 objects', lab.objects('client2'), ['Default Domain Policy'])

    # The domain controller goes away: the pass fails, the policy stays.
    kept = {f: open(os.path.join(lab.root('client1'), 'Policies', f), 'rb').read()
            for f in ('Domain.pol', 'Machine.pol')}
    last_success = lab.status('client1')['last_success']
    lab.dc.terminate()
    lab.dc.wait(timeout=30)
    code, out = lab.step('pass on client1 with the domain controller down',
                         lambda: lab.apply('client1', ok=False))
    lab.check('failed pass exits 1', code, 1)
    status = lab.status('client1')
    lab.check('status says the pass failed', (status['result'], status['last_success']), ('failed', last_success))
    lab.check('status names the missing domain controller', 'no domain controller' in status['error'], True)
    lab.check('policy kept', {f: open(os.path.join(lab.root('client1'), 'Policies', f), 'rb').read()
                              for f in kept}, kept)

    lab.kestrune_gpo('client1', 'unregister')
    with open(os.path.join(lab.folder('client1'), 'lib', 'gpext.conf')) as f:
        lab.check('unregister takes the extension out', '8E889D8A' in f.read().upper(), False)


def main(argv):
    if argv and argv[0] == 'author':
        return sub_author(*argv[1:])
    if argv and argv[0] == 'permits':
        return sub_permits(*argv[1:])
    if argv and argv[0] == 'gpo-attrs':
        return sub_gpo_attrs(*argv[1:])
    if len(argv) != 3:
        print(__doc__)
        return 2
    prefix, library, scratch = (os.path.realpath(a) for a in argv)

    def unavailable(why):
        if in_ci():
            print('FAIL: %s (CI must run the domain test)' % why)
            return 1
        print('SKIP: %s' % why)
        return 77
    if os.geteuid() != 0:
        return unavailable('the domain test needs root for namespaces and mounts')
    for tool in ('samba', 'samba-tool', 'net', 'samba-gpupdate', 'ip', 'unshare', 'ss'):
        if shutil.which(tool, path='/usr/sbin:/usr/bin:/sbin:/bin') is None:
            return unavailable('%s is not installed (scripts/setup.sh installs it)' % tool)
    probe = subprocess.run(['unshare', '--net', '--mount', '--uts', 'sh', '-c',
                            'ip link set lo up && mount -t tmpfs tmpfs /run/samba && hostname probe'],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if probe.returncode != 0:
        return unavailable('network, mount or UTS namespaces cannot be made here (%s)'
                           % ' '.join(probe.stdout.decode('utf-8', 'replace').split()))

    if (scratch + '/').startswith('/tmp/'):
        print('scratch folder %s: the machines get a private /tmp, which would hide it' % scratch)
        return 2
    os.makedirs(scratch, exist_ok=True)
    if os.listdir(scratch):
        print('scratch folder %s is not empty' % scratch)
        return 2
    before = host_snapshot()
    lab = Lab(prefix, library, scratch)

    def on_alarm(*_):
        raise TimedOut()
    signal.signal(signal.SIGALRM, on_alarm)
    signal.signal(signal.SIGTERM, on_alarm)
    signal.alarm(TIMEOUT)
    started = time.monotonic()
    try:
        scenario(lab)
    except TimedOut:
        lab.failed += 1
        print('FAIL: the domain test ran out of its %d s' % TIMEOUT)
    except Failed as e:
        lab.failed += 1
        print('FAIL: %s' % e)
    except Exception:
        lab.failed += 1
        print('FAIL: the scenario stopped:\n' + traceback.format_exc())
    finally:
        signal.alarm(0)
        cleanup_start = time.monotonic()
        lab.cleanup()
        lab.timings.append(('end every process, delete the namespaces', time.monotonic() - cleanup_start))
    lab.check('no process left in the namespaces, so no namespace left',
              pids_in(lab.namespaces.values()), [])
    after = host_snapshot()
    lab.check('host folders untouched', {k: v for k, v in after.items() if before.get(k) != v},
              {})

    print('\n%-52s %8s' % ('step', 'seconds'))
    for name, seconds in lab.timings:
        print('%-52s %8.1f' % (name, seconds))
    print('%-52s %8.1f' % ('whole run', time.monotonic() - started))
    print('\ndomain: %d passed, %d failed' % (lab.passed, lab.failed))
    if lab.failed == 0:
        shutil.rmtree(scratch, ignore_errors=True)
    else:
        print('scratch kept for a look: %s' % scratch)
    return 0 if lab.failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
