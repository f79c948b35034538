#!/usr/bin/python3
"""Domain policy end to end: a throwaway Samba AD domain controller and two
joined clients, each in network, mount and UTS namespaces of its own with
private mounts over Samba's folders, /etc/hosts and /etc/resolv.conf. Policy is
authored with the kestrune command, published with kestrune-gpo and applied by
Kestrune's extension alone. Every process is ended by its PID, also on failure
and on timeout. Exit 0 when every check passed, 1 when one failed, 77 (skip)
where namespaces or Samba are missing, unless CI is set: then 1.

usage: domain_e2e.py PREFIX COMMAND SCRATCH
  PREFIX   an installed tree (cmake --install) with sbin/kestrune-gpo
  COMMAND  the built kestrune, for authoring policy and for the get operations
  SCRATCH  an empty folder outside /tmp on a file system with extended attributes
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

REALM, DOMAIN, DN = 'KDOM.TEST', 'KDOM', 'DC=kdom,DC=test'
ADMIN = 'Administrator%Kestrune-Adm1n'
DC_HOST, DC_IP = 'dc1', '10.213.14.1'
CLIENTS = {'client1': '10.213.14.11', 'client2': '10.213.14.12'}
RESTRICTIONS = 'Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions'
STORAGE = 'Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\'
CDROM, UDISK = STORAGE + '{53f56308-b6bf-11d0-94f2-00a0c91efb8b}', STORAGE + '{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}'
MOUSE, KEYBOARD = '{4D36E96F-E325-11CE-BFC1-08002BE10318}', '{4D36E96B-E325-11CE-BFC1-08002BE10318}'
CAMERA = '{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}'

# What every process of a machine sees instead of the host's: its own Samba
# folders, hosts and resolver, and a fresh /run/samba and /tmp.
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


def die_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def net_namespace(pid):
    try:
        return os.readlink('/proc/%d/ns/net' % pid)
    except OSError:
        return None


def pids_in(namespaces):
    return sorted(int(p) for p in os.listdir('/proc') if p.isdigit() and net_namespace(int(p)) in namespaces)


def host_snapshot():
    """Modes, sizes and digests under the host paths the test must leave alone."""
    seen = {}
    for top in HOST_PATHS:
        for path in [top] + [os.path.join(d, n) for d, dirs, files in os.walk(top) for n in dirs + files]:
            if os.path.lexists(path):
                st = os.lstat(path)
                plain = os.path.isfile(path) and not os.path.islink(path)
                seen[path] = (st.st_mode, st.st_size, plain and hashlib.sha256(open(path, 'rb').read()).hexdigest())
    return seen


def pol_records(path):
    """A policy file's records, decoded the way the policy engine reads them."""
    from samba.dcerpc import preg
    from samba.ndr import ndr_unpack
    raw = open(path, 'rb').read()
    if not raw:
        return []
    # Samba's entries point into the parsed file's memory: it must outlive the copies.
    parsed = ndr_unpack(preg.file, raw)
    return [(e.keyname, e.valuename, e.type, e.data) for e in parsed.entries]


def device_view(records):
    """What a policy means for the test's devices: the denied setup classes
    (when the deny list is on) and (Deny_Read, Deny_Write) per storage class."""
    values = {}
    for key, name, _, data in records:
        values.setdefault(key.lower(), {})[name.lower()] = data
    denied = []
    if values.get(RESTRICTIONS.lower(), {}).get('denydeviceclasses') == 1:
        denied = [v for n, v in values.get(RESTRICTIONS.lower() + '\\denydeviceclasses', {}).items()
                  if not n.startswith('**')]

    def storage(key):
        pair = tuple(values.get(key.lower(), {}).get(n) for n in ('deny_read', 'deny_write'))
        return None if pair == (None, None) else pair
    return view(denied, storage(CDROM), storage(UDISK))


def view(denied=(), cdrom=None, udisk=None):
    return {'denied': sorted(denied), 'cdrom': cdrom, 'udisk': udisk}


class Lab:
    """The machines. Each network namespace is anonymous, held by a sleeping
    process that dies with the test; it goes with the last process in it."""

    def __init__(self, prefix, command, scratch):
        self.prefix, self.command, self.scratch = prefix, command, scratch
        self.holders, self.gpo, self.dc = {}, {}, None
        self.passed = self.failed = 0

    def check(self, what, got, want):
        if got == want:
            self.passed += 1
        else:
            self.failed += 1
            print('FAIL: %s\n  got  %r\n  want %r' % (what, got, want), flush=True)

    def namespaces(self):
        return {net_namespace(h.pid) for h in self.holders.values()} - {None}

    def add_machine(self, machine, ip):
        holder = subprocess.Popen(['unshare', '--net', 'sleep', 'infinity'], preexec_fn=die_with_parent)
        self.holders[machine] = holder
        deadline = time.time() + 10
        while net_namespace(holder.pid) in (None, os.readlink('/proc/self/ns/net')):
            if holder.poll() is not None or time.time() > deadline:
                raise Failed('unshare --net for %s did not start' % machine)
            time.sleep(0.02)
        self.ip(machine, 'link', 'set', 'lo', 'up')
        host, realm = self.host(machine), REALM.lower()
        self.write(machine, 'hosts', '127.0.0.1 localhost\n%s %s.%s %s\n%s %s.%s %s\n' % (
            ip, host, realm, host, DC_IP, DC_HOST, realm, DC_HOST))
        self.write(machine, 'resolv.conf', 'nameserver %s\nsearch %s\noptions timeout:1 attempts:1\n' % (DC_IP, realm))
        self.write(machine, 'krb5.conf', '[libdefaults]\n\tdefault_realm = %s\n\tdns_lookup_realm = false\n'
                   '\tdns_lookup_kdc = false\n[realms]\n\t%s = {\n\t\tkdc = %s\n\t\tadmin_server = %s\n\t}\n'
                   % (REALM, REALM, DC_IP, DC_IP))

    def host(self, machine):
        return DC_HOST if machine == 'dc' else machine

    def folder(self, machine, *parts):
        return os.path.join(self.scratch, machine, *parts)

    def write(self, machine, name, text):
        os.makedirs(os.path.dirname(self.folder(machine, name)), exist_ok=True)
        with open(self.folder(machine, name), 'w') as f:
            f.write(text)

    def enter(self, machine):
        return ['nsenter', '--net=/proc/%d/ns/net' % self.holders[machine].pid]

    def ip(self, machine, *args):
        subprocess.run(self.enter(machine) + ['ip'] + list(args), check=True)

    def argv(self, machine, argv):
        return self.enter(machine) + ['unshare', '--mount', '--uts', self.folder('enter.sh'), self.folder(machine),
                                      self.host(machine)] + list(argv)

    def run(self, machine, *argv, env=None, ok=True, timeout=120):
        done = subprocess.run(self.argv(machine, argv), env=dict(os.environ, **(env or {})), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout, preexec_fn=die_with_parent)
        out = done.stdout.decode('utf-8', 'replace')
        if ok and done.returncode != 0:
            raise Failed('%s on %s exited %d:\n%s' % (' '.join(argv), machine, done.returncode, out))
        return done.returncode, out

    def cleanup(self):
        # Whatever runs in a namespace, the domain controller too, was started by
        # this test; the holders go last.
        holders, namespaces = {h.pid for h in self.holders.values()}, self.namespaces()
        for sig in (signal.SIGTERM, signal.SIGKILL):
            pids = [p for p in pids_in(namespaces) if p not in holders]
            for pid in pids:
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            deadline = time.time() + 5
            while pids and time.time() < deadline:
                time.sleep(0.1)
                pids = [p for p in pids_in(namespaces) if p not in holders]
        for process in [*self.holders.values(), self.dc]:
            if process is not None:
                process.kill()
                process.wait()
        return namespaces

    def start_domain(self):
        with open(self.folder('enter.sh'), 'w') as f:
            f.write(ENTER)
        os.chmod(self.folder('enter.sh'), 0o755)
        self.add_machine('dc', DC_IP)
        for args in (['add', 'br0', 'type', 'bridge'], ['set', 'br0', 'up']):
            self.ip('dc', 'link', *args)
        self.ip('dc', 'addr', 'add', DC_IP + '/24', 'dev', 'br0')
        self.run('dc', 'samba-tool', 'domain', 'provision', '--realm=' + REALM, '--domain=' + DOMAIN,
                 '--server-role=dc', '--dns-backend=SAMBA_INTERNAL', '--adminpass=' + ADMIN.split('%')[1],
                 '--host-name=' + DC_HOST, '--host-ip=' + DC_IP, '--targetdir=' + self.folder('dc', 'target'),
                 timeout=180)
        with open(self.folder('dc', 'samba.log'), 'wb') as log:
            self.dc = subprocess.Popen(
                self.argv('dc', ['samba', '-s', self.folder('dc', 'target', 'etc', 'smb.conf'), '-i', '-M', 'single']),
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
        deadline = time.time() + 90
        while time.time() < deadline:
            if self.dc.poll() is not None:
                raise Failed('samba exited with %d, see %s' % (self.dc.returncode, self.folder('dc', 'samba.log')))
            out = subprocess.run(self.enter('dc') + ['ss', '-ltnH'], stdout=subprocess.PIPE).stdout.decode()
            if {'53', '88', '389', '445'} <= {line.split()[3].rsplit(':', 1)[1] for line in out.splitlines() if line}:
                break
            time.sleep(0.2)
        else:
            raise Failed('the domain controller did not listen within 90 s')
        for index, name in enumerate(sorted(CLIENTS), 1):
            self.add_machine(name, CLIENTS[name])
            self.ip('dc', 'link', 'add', 'veth%d' % index, 'type', 'veth', 'peer', 'name', 'eth0',
                    'netns', str(self.holders[name].pid))
            self.ip('dc', 'link', 'set', 'veth%d' % index, 'master', 'br0', 'up')
            self.ip(name, 'addr', 'add', CLIENTS[name] + '/24', 'dev', 'eth0')
            self.ip(name, 'link', 'set', 'eth0', 'up')
            self.write(name, 'etc-samba/smb.conf', '[global]\n\tworkgroup = %s\n\trealm = %s\n\tnetbios name = %s\n'
                       '\tsecurity = ads\n\tkerberos method = secrets and keytab\n' % (DOMAIN, REALM, name.upper()))

    # Administration, from client1 as from an administrator's workstation.
    def admin(self, *argv, env=None):
        return self.run('client1', *argv, '-H', 'ldap://%s.%s' % (DC_HOST, REALM.lower()), '-U', ADMIN, env=env)[1]

    def kestrune_gpo(self, machine, *argv, env=None, ok=True):
        return self.run(machine, os.path.join(self.prefix, 'sbin', 'kestrune-gpo'), *argv, env=env, ok=ok)

    def kestrune(self, root, *argv):
        """The kestrune command on the host, with its policy object under root."""
        return subprocess.run([self.command] + list(argv), env=dict(os.environ, KESTRUNE_ROOT=root), check=True,
                              stdout=subprocess.PIPE, timeout=60).stdout.decode()

    def permits(self, root):
        """The get operations' answers for the test's devices."""
        return {d['device']: d['permission'] for d in json.loads(self.kestrune(root, 'status', '--json'))['devices']
                if d['device'] in ('mouse', 'keyboard', 'cdrom', 'udisk')}

    def gpo_attributes(self, name):
        """The object's version and machine extensions, as the directory holds them."""
        out = self.run('client1', 'net', 'ads', 'dn', 'CN=%s,CN=Policies,CN=System,%s' % (self.gpo[name], DN),
                       'versionNumber', 'gPCMachineExtensionNames', '-U', ADMIN)[1]
        return [int(re.search(r'^versionNumber: (\d+)$', out, re.M).group(1)),
                re.search(r'^gPCMachineExtensionNames: (.*)$', out, re.M).group(1)]

    def sysvol(self, name, *parts):
        # On the DC's disk, where tools spell folders differently (Machine, MACHINE).
        path = self.folder('dc', 'target', 'state', 'sysvol', REALM.lower(), 'Policies', self.gpo[name])
        for part in parts:
            path = os.path.join(path, next((n for n in os.listdir(path) if n.lower() == part.lower()), part))
        return path

    def root(self, client, *parts):
        return self.folder(client, 'policy-root', *parts)

    def apply(self, client, ok=True):
        return self.kestrune_gpo(client, 'apply', env={'KESTRUNE_ROOT': self.root(client)}, ok=ok)

    def effective(self, client):
        return device_view(pol_records(self.root(client, 'Policies', 'Machine.pol')))

    def status(self, client):
        with open(self.root(client, 'Policies', 'Domain.status')) as f:
            return dict(line.rstrip('\n').partition('=')[::2] for line in f)

    def objects(self, client):
        return sorted(o.split(' ', 1)[1] for o in self.status(client)['objects'].split('; ') if o)


def scenario(lab):
    lab.start_domain()
    # Two policies authored with the command, and each client's local policy,
    # which domain policy goes over.
    fleet, lab_pol = os.path.join(lab.scratch, 'fleet'), os.path.join(lab.scratch, 'lab')
    lab.kestrune(fleet, 'set', 'mouse', 'deny', 'udisk', 'read-only')
    lab.kestrune(lab_pol, 'set', 'camera', 'deny', 'udisk', 'deny')
    lab.kestrune(lab.root('client1'), 'set', 'cdrom', 'read-only')
    lab.kestrune(lab.root('client2'), 'set', 'keyboard', 'deny')

    tool = os.path.join(lab.prefix, 'sbin', 'kestrune-gpo')
    for name in ('Kestrune fleet', 'Kestrune lab'):
        lab.gpo[name] = re.search(r'created as (\{[0-9A-F-]+\})', lab.admin('samba-tool', 'gpo', 'create', name)).group(1)
    # Another tool's setting in the lab object must survive publishing.
    lab.admin('samba-tool', 'gpo', 'manage', 'smb_conf', 'set', lab.gpo['Kestrune lab'], 'apply_group_policies', 'yes')
    lab.admin(tool, 'publish', 'Kestrune fleet', env={'KESTRUNE_ROOT': fleet})
    lab_file = os.path.join(lab_pol, 'GroupPolicy', 'Machine', 'Registry.pol')
    for _ in range(2):
        lab.admin(tool, 'publish', lab.gpo['Kestrune lab'], '--policy', lab_file)
    lab.admin('samba-tool', 'gpo', 'setlink', DN, lab.gpo['Kestrune fleet'])
    pair = '[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}{D02B1F72-3407-48AE-BA88-E8213C6761F1}]'
    for name, version in (('Kestrune fleet', 1), ('Kestrune lab', 2)):
        lab.check(name + ': version and extensions', lab.gpo_attributes(name), [version, pair])
        lab.check(name + ': GPT.INI', open(lab.sysvol(name, 'GPT.INI'), 'rb').read(), b'[General]\r\nVersion=%d\r\n' % version)
    lab.check('lab object keeps the other tool\'s record, then the device policy once',
              [r[:2] for r in pol_records(lab.sysvol('Kestrune lab', 'MACHINE', 'Registry.pol'))],
              [('Software\\Policies\\Samba\\smb_conf', 'apply_group_policies')] + [r[:2] for r in pol_records(lab_file)])

    for name in sorted(CLIENTS):
        lab.run(name, 'net', 'ads', 'join', '-U', ADMIN)
        lab.kestrune_gpo(name, 'register')
        lab.apply(name)
    fleet_local1 = view([MOUSE], cdrom=(0, 1), udisk=(0, 1))
    fleet_local2 = view([MOUSE], udisk=(0, 1))  # the fleet's deny list replaces the local one
    lab.check('client1 effective policy', lab.effective('client1'), fleet_local1)
    lab.check('client2 effective policy', lab.effective('client2'), fleet_local2)
    lab.check('client1 get operations read the local object', lab.permits(lab.root('client1')),
              {'mouse': 'allow', 'keyboard': 'allow', 'cdrom': 'read-only', 'udisk': 'unknown'})
    lab.check('client2 get operations read the local object', lab.permits(lab.root('client2')),
              {'mouse': 'allow', 'keyboard': 'deny', 'cdrom': 'unknown', 'udisk': 'unknown'})
    lab.check('client1 status', (lab.status('client1')['result'], lab.objects('client1')),
              ('success', ['Default Domain Policy', 'Kestrune fleet']))
    ours = lab.run('client1', '/usr/sbin/samba-gpupdate', '--rsop')[1].split('CSE: gp_kestrune_ext')[1:]
    lab.check('resultant policy lists the fleet\'s mouse class under the extension',
              any(MOUSE in o.split('CSE:')[0] for o in ours), True)

    lab.admin('samba-tool', 'ou', 'create', 'OU=Lab')
    lab.admin('samba-tool', 'gpo', 'setlink', 'OU=Lab,' + DN, lab.gpo['Kestrune lab'])
    lab.admin('samba-tool', 'computer', 'move', 'CLIENT1', 'OU=Lab')
    for name in sorted(CLIENTS):
        lab.apply(name)
    lab.check('client1 under the OU object', lab.effective('client1'), view([CAMERA], cdrom=(0, 1), udisk=(1, 1)))
    lab.check('client2 outside the OU', lab.effective('client2'), fleet_local2)
    lab.check('domain file holds only device-control keys',
              b'smb_conf' in open(lab.root('client1', 'Policies', 'Domain.pol'), 'rb').read().replace(b'\0', b''), False)
    lab.check('client1 objects in order', lab.objects('client1'), ['Default Domain Policy', 'Kestrune fleet', 'Kestrune lab'])

    lab.admin('samba-tool', 'gpo', 'dellink', 'OU=Lab,' + DN, lab.gpo['Kestrune lab'])
    lab.apply('client1')
    lab.check('client1 after the unlink', lab.effective('client1'), fleet_local1)

    # Security filtering: client2 is denied the right to apply the fleet object.
    sid = re.search(r'objectSid: (S-[0-9-]+)', lab.admin('samba-tool', 'computer', 'show', 'CLIENT2',
                                                         '--attributes=objectSid')).group(1)
    lab.admin('samba-tool', 'dsacl', 'set', '--objectdn=CN=%s,CN=Policies,CN=System,%s' % (lab.gpo['Kestrune fleet'], DN),
              '--sddl=(OD;;CR;edacfd8f-ffb3-11d1-b41d-00a0c968f939;;%s)' % sid)
    lab.apply('client2')
    lab.check('client2 filtered out keeps only its local policy', lab.effective('client2'), view([KEYBOARD]))
    lab.check('client2 objects', lab.objects('client2'), ['Default Domain Policy'])

    # The domain controller goes away: the pass fails, the policy stays.
    files = [lab.root('client1', 'Policies', f) for f in ('Domain.pol', 'Machine.pol')]
    kept, last_success = [open(f, 'rb').read() for f in files], lab.status('client1')['last_success']
    lab.dc.terminate()
    lab.dc.wait(timeout=30)
    lab.check('failed pass exits 1', lab.apply('client1', ok=False)[0], 1)
    status = lab.status('client1')
    lab.check('status says the pass failed', (status['result'], status['last_success']), ('failed', last_success))
    lab.check('status names the missing domain controller', 'no domain controller' in status['error'], True)
    lab.check('policy kept', [open(f, 'rb').read() for f in files], kept)

    lab.kestrune_gpo('client1', 'unregister')
    lab.check('unregister takes the extension out', '8E889D8A' in open(lab.folder('client1', 'lib', 'gpext.conf')).read().upper(), False)


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    prefix, command, scratch = (os.path.realpath(a) for a in argv)

    def unavailable(why):
        ci = os.environ.get('CI', '').lower() not in ('', '0', 'false', 'no')
        print('%s: %s' % ('FAIL' if ci else 'SKIP', why))
        return 1 if ci else 77
    if os.geteuid() != 0:
        return unavailable('the domain test needs root for namespaces and mounts')
    for tool in ('samba', 'samba-tool', 'net', 'samba-gpupdate', 'ip', 'unshare', 'ss'):
        if shutil.which(tool, path='/usr/sbin:/usr/bin:/sbin:/bin') is None:
            return unavailable('%s is not installed (scripts/setup.sh installs it)' % tool)
    probe = subprocess.run(['unshare', '--net', '--mount', '--uts', 'sh', '-c',
                            'ip link set lo up && mount -t tmpfs tmpfs /run/samba && hostname probe'],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if probe.returncode != 0:
        return unavailable('namespaces cannot be made here (%s)' % ' '.join(probe.stdout.decode('utf-8', 'replace').split()))
    if (scratch + '/').startswith('/tmp/'):
        print('scratch folder %s: the machines get a private /tmp, which would hide it' % scratch)
        return 2
    os.makedirs(scratch, exist_ok=True)
    if os.listdir(scratch):
        print('scratch folder %s is not empty' % scratch)
        return 2

    before = host_snapshot()
    lab = Lab(prefix, command, scratch)

    def on_alarm(*_):
        raise Failed('the domain test ran out of its 540 s')
    signal.signal(signal.SIGALRM, on_alarm)
    signal.signal(signal.SIGTERM, on_alarm)
    signal.alarm(540)
    try:
        scenario(lab)
    except Failed as e:
        lab.check('the scenario', str(e), 'done')
    except Exception:
        lab.check('the scenario', traceback.format_exc(), 'done')
    finally:
        signal.alarm(0)
        namespaces = lab.cleanup()
    lab.check('no process left in the namespaces, so no namespace left', pids_in(namespaces), [])
    after = host_snapshot()
    lab.check('host folders untouched', {k: v for k, v in after.items() if before.get(k) != v}, {})
    print('domain: %d passed, %d failed' % (lab.passed, lab.failed))
    if lab.failed:
        print('scratch kept for a look: %s' % scratch)
    else:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if lab.failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
