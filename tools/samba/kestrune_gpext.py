"""Kestrune's client-side extension for Samba's group policy engine.

On every pass it merges the device-control policy of every policy object that
applies to the machine, in the engine's order, into Policies/Domain.pol under the
policy root, has the library refresh machine policy, and records the pass in
Policies/Domain.status.
"""
import os
import subprocess
import sys
import time

import samba.gpo as gpo
from samba.gp.gpclass import check_refresh_gpo_list, get_dc_hostname, gp_pol_ext

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
import kestrune_policy_file as policy_file  # noqa: E402

CSE_GUID = '{8E889D8A-820C-4AB0-827A-25FCD140C5CF}'
CSE_CLASS = 'gp_kestrune_ext'
REFRESH_HELPER = os.path.join(os.path.dirname(os.path.realpath(__file__)), 'kestrune-refresh')

# The outcome of the last pass in this process, None before any: a caller that
# drives the engine itself learns from it whether the extension was reached.
last_pass = None


def policy_root():
    return os.environ.get('KESTRUNE_ROOT') or '/var/lib/kestrune'


def domain_pol_path():
    return os.path.join(policy_root(), 'Policies', 'Domain.pol')


def status_path():
    return os.path.join(policy_root(), 'Policies', 'Domain.status')


def _one_line(text):
    return ' '.join(str(text).split())


def read_status():
    """The fields of the status file; empty when there is none."""
    fields = {}
    try:
        with open(status_path(), encoding='utf-8') as f:
            for line in f:
                key, sep, value = line.rstrip('\n').partition('=')
                if sep:
                    fields[key] = value
    except FileNotFoundError:
        pass
    return fields


def record_pass(objects, error=None):
    """Writes the status of a pass. A failed pass keeps the time of the last
    successful one, so the file tells how old the policy in force is."""
    global last_pass
    now = time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())
    previous = read_status()
    fields = [
        ('time', now),
        ('result', 'failed' if error else 'success'),
        ('objects', '; '.join(objects)),
        ('error', _one_line(error) if error else ''),
        ('last_success', previous.get('last_success', '') if error else now),
    ]
    text = ''.join('%s=%s\n' % (k, _one_line(v)) for k, v in fields)
    policy_file.write_atomically(status_path(), text.encode('utf-8'))
    last_pass = 'failed: ' + _one_line(error) if error else 'success'


def applicable_gpos(lp, creds, username):
    """Every policy object that applies to the machine, in the order the engine
    applies them (later ones win)."""
    dc = get_dc_hostname(creds, lp)
    ads = gpo.ADS_STRUCT(dc, lp, creds)
    # The engine's own list call answers an empty list when the directory cannot
    # be reached; taken as "no policy", that would drop the domain's restrictions.
    if not ads.connect():
        raise RuntimeError('cannot connect to the directory on %s' % dc)
    return dc, ads.get_gpo_list(username.split('\\')[-1])


def refresh_machine_policy():
    done = subprocess.run([REFRESH_HELPER], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=120)
    if done.returncode != 0:
        raise RuntimeError('%s failed with exit status %d: %s' % (
            REFRESH_HELPER, done.returncode, done.stdout.decode('utf-8', 'replace')))


class gp_kestrune_ext(gp_pol_ext):
    def __str__(self):
        return 'Kestrune Device Control'

    def _device_records(self, gpo_obj):
        try:
            pol = self.parse(os.path.join(gpo_obj.file_sys_path, 'MACHINE/REGISTRY.POL'))
        except Exception as e:
            raise ValueError('%s %s: Machine/Registry.pol is not a policy file (%s)'
                             % (gpo_obj.name, gpo_obj.display_name, e))
        if pol is None:
            return []
        return [r for r in policy_file.records_of(pol) if policy_file.is_device_control(r.keyname)]

    def process_group_policy(self, deleted_gpo_list, changed_gpo_list):
        # The engine hands over only what changed and, when an extension fails,
        # stores the new versions all the same: so every pass rebuilds the
        # domain file from the whole applicable list, in order.
        objects = []
        try:
            dc, gpos = applicable_gpos(self.lp, self.creds, self.username)
            gpos = [g for g in gpos if g.file_sys_path]
            check_refresh_gpo_list(dc, self.lp, self.creds, gpos)
            records = []
            for g in gpos:
                objects.append('%s %s' % (g.name, g.display_name))
                records.extend(self._device_records(g))
            policy_file.write_atomically(domain_pol_path(), policy_file.pack(records))
            refresh_machine_policy()
        except Exception as e:
            # The last domain file stays: a failed pass keeps the policy in force.
            record_pass(objects, '%s: %s' % (type(e).__name__, e))
            raise
        record_pass(objects)

    def rsop(self, gpo_obj):
        if not gpo_obj.file_sys_path:
            return {}
        try:
            records = self._device_records(gpo_obj)
        except ValueError as e:
            return {'Device control': {'error': str(e)}}
        settings = {}
        for r in records:
            settings.setdefault(r.keyname, {})[r.valuename] = str(r.data)
        return {'Device control': settings} if settings else {}
