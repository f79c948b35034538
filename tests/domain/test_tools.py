#!/usr/bin/python3
"""kestrune-gpo's pieces without a domain: which keys are device control, the
Registry.pol round trip, the publish step's edits, and the extension's pass
over a fake engine.  usage: test_tools.py TOOLS_DIR
"""
import gc
import os
import shutil
import struct
import sys
import tempfile
import types
import unittest

sys.path.insert(0, sys.argv.pop(1))
import kestrune_gpext as gpext  # noqa: E402
import kestrune_policy_file as policy_file  # noqa: E402
import kestrune_publish as publish  # noqa: E402

RESTRICTIONS = 'Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions'
STORAGE = 'Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices'
DWORD_1 = struct.pack('<I', 1)


def raw_file(*records):
    text = lambda s: (s + '\0').encode('utf-16-le')
    return b'PReg\x01\0\0\0' + b''.join(
        b'[\0' + text(key) + b';\0' + text(name) + b';\0' + struct.pack('<I', kind) + b';\0' +
        struct.pack('<I', len(data)) + b';\0' + data + b']\0' for key, name, kind, data in records)


class PolicyFile(unittest.TestCase):
    def test_device_control_keys(self):
        for key, want in [(RESTRICTIONS, True), (RESTRICTIONS + '\\DenyDeviceClasses', True),
                          (STORAGE.upper() + '\\{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}', True),
                          ('\\' + RESTRICTIONS.replace('\\', '\\\\') + '\\', True), (RESTRICTIONS + 'X', False),
                          ('Software\\Policies\\Microsoft\\Windows\\DeviceInstall', False)]:
            self.assertEqual(policy_file.is_device_control(key), want, key)

    def test_records_outlive_the_parsed_file_and_pack_back_byte_for_byte(self):
        raw = raw_file((RESTRICTIONS, 'DenyDeviceClasses', 4, DWORD_1),
                       (RESTRICTIONS + '\\DenyDeviceClasses', '**delvals.', 1, ' \0'.encode('utf-16-le')),
                       ('K', 'bin', 3, b'\1\2\3'), ('K', 'multi', 7, 'a\0b\0\0'.encode('utf-16-le')),
                       ('K', 'q', 11, struct.pack('<Q', 5)), ('K\\Empty', '', 0, b''))
        records = policy_file.parse(raw, 'test')
        gc.collect()
        self.assertEqual(policy_file.pack(records), raw)
        self.assertEqual((policy_file.parse(b'', 'empty'), policy_file.pack([])), ([], b'PReg\x01\0\0\0'))
        self.assertRaises(ValueError, policy_file.parse, raw[:-3], 'cut')


class Publish(unittest.TestCase):
    def test_extension_names(self):
        other = '[{0ACDD40C-75AC-47AB-BAA0-BF6DE7E7FE63}{2DA6AA7F-8C88-4194-A558-0D36E7FD3E64}]'
        pair = '[%s%s]' % (publish.REGISTRY_CSE, publish.REGISTRY_TOOL)
        for names, want in [('', pair), (other, other + pair), (pair + other, other + pair),
                            ('[%s{0F6B957E-509E-11D1-A7CC-0000F87571E3}]' % publish.REGISTRY_CSE.lower(),
                             '[%s{0F6B957E-509E-11D1-A7CC-0000F87571E3}%s]' % (publish.REGISTRY_CSE, publish.REGISTRY_TOOL))]:
            self.assertEqual(publish.with_extension_pair(names), want)

    def test_versions(self):
        for version, want in [(0, 1), (0x00050003, 0x00050004), (0x0001FFFF, 0x00010001)]:
            self.assertEqual(publish.raised_version(version), want)
        for text, version, want in [
                ('[General]\r\nVersion=0\r\n', 1, '[General]\r\nVersion=1\r\n'),
                ('[General]\r\ndisplayName=New\r\nversion=7\r\n[Other]\r\nVersion=3\r\n', 8,
                 '[General]\r\ndisplayName=New\r\nVersion=8\r\n[Other]\r\nVersion=3\r\n'),
                ('[General]\ndisplayName=New\n[Other]\nx=1\n', 2, '[General]\r\ndisplayName=New\r\nVersion=2\r\n[Other]\r\nx=1\r\n'),
                ('', 1, '[General]\r\nVersion=1\r\n')]:
            self.assertEqual(publish.gpt_ini_with_version(text, version), want)
            self.assertEqual(publish.gpt_ini_version(want), version)
        self.assertEqual(publish.gpt_ini_version('[Other]\nVersion=3\n'), 0)

    def test_object_keeps_other_tools_records(self):
        R = policy_file.Record
        existing = [R('Software\\Policies\\Samba\\smb_conf', 'x', 4, 1), R(RESTRICTIONS, 'old', 4, 1),
                    R(STORAGE + '\\{c}', 'Deny_Read', 4, 1), R('Other', 'y', 1, 'z')]
        published = [R(RESTRICTIONS, 'DenyDeviceClasses', 4, 1)]
        self.assertEqual(publish.merged_records(existing, published), [existing[0], existing[3], published[0]])


class Extension(unittest.TestCase):
    """A pass over a fake engine: two objects in order and the local one, a
    refresh helper that succeeds or fails."""

    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.cache = os.path.join(self.dir, 'cache')
        self.addCleanup(shutil.rmtree, self.dir)
        os.environ['KESTRUNE_ROOT'] = os.path.join(self.dir, 'root')
        for name in ('applicable_gpos', 'check_refresh_gpo_list', 'REFRESH_HELPER', 'get_dc_hostname', 'gpo'):
            self.addCleanup(setattr, gpext, name, getattr(gpext, name))
        self.directory_gpos = gpext.applicable_gpos
        self.gpos = [self.gpo('{A}', 'First', (RESTRICTIONS, 'DenyDeviceClasses', 4, DWORD_1),
                              ('Software\\Other', 'x', 4, DWORD_1)),
                     types.SimpleNamespace(name='Local', display_name='Local Policy', file_sys_path=None),
                     self.gpo('{B}', 'Second', (STORAGE + '\\{c}', 'Deny_Read', 4, DWORD_1))]
        gpext.applicable_gpos = lambda lp, creds, user: ('dc', self.gpos)
        gpext.check_refresh_gpo_list = lambda *args: None
        self.helper(0)
        self.assertIsNone(self.run_pass())
        self.first = self.domain_file()

    def gpo(self, guid, name, *records):
        folder = os.path.join(self.cache, 'KDOM.TEST', 'POLICIES', guid, 'MACHINE')
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, 'REGISTRY.POL'), 'wb') as f:
            f.write(raw_file(*records))
        return types.SimpleNamespace(name=guid, display_name=name,
                                     file_sys_path='\\\\kdom.test\\SysVol\\kdom.test\\Policies\\' + guid)

    def helper(self, status):
        gpext.REFRESH_HELPER = os.path.join(self.dir, 'helper')
        with open(gpext.REFRESH_HELPER, 'w') as f:
            f.write('#!/bin/sh\necho "helper says %d"\nexit %d\n' % (status, status))
        os.chmod(gpext.REFRESH_HELPER, 0o755)

    def run_pass(self):
        ext = gpext.gp_kestrune_ext(types.SimpleNamespace(cache_path=lambda name: self.cache), None, 'CLIENT$',
                                    types.SimpleNamespace(get_gplog=lambda user: None))
        gpext.last_pass = None
        try:
            ext.process_group_policy([], [])
        except Exception as e:
            return e

    def domain_file(self):
        with open(gpext.domain_pol_path(), 'rb') as f:
            return f.read()

    def test_merges_device_keys_in_order_and_records_the_pass(self):
        self.assertEqual([(r.keyname, r.valuename) for r in policy_file.parse(self.first, 'domain')],
                         [(RESTRICTIONS, 'DenyDeviceClasses'), (STORAGE + '\\{c}', 'Deny_Read')])
        status = gpext.read_status()
        self.assertEqual((status['result'], status['objects'], status['error'], status['last_success']),
                         ('success', '{A} First; {B} Second', '', status['time']))
        self.assertEqual(os.stat(os.environ['KESTRUNE_ROOT']).st_mode & 0o777, 0o700)

    def test_failures_keep_the_domain_file_and_the_last_success(self):
        last = gpext.read_status()['last_success']
        with open(os.path.join(self.cache, 'KDOM.TEST', 'POLICIES', '{B}', 'MACHINE', 'REGISTRY.POL'), 'wb') as f:
            f.write(b'PReg\x01\0\0\0[\0broken')
        self.assertIsInstance(self.run_pass(), Exception)
        status = gpext.read_status()
        self.assertEqual((self.domain_file(), status['result'], status['last_success']), (self.first, 'failed', last))
        self.assertIn('{B} Second: Machine/Registry.pol is not a policy file', status['error'])
        self.assertTrue(gpext.last_pass.startswith('failed'))

        self.gpos.pop()
        self.helper(1)
        self.assertIsInstance(self.run_pass(), RuntimeError)
        self.assertIn('helper says 1', gpext.read_status()['error'])

    def test_an_unreachable_directory_is_no_empty_list(self):
        gpext.applicable_gpos = self.directory_gpos
        gpext.get_dc_hostname = lambda creds, lp: 'dc1'
        gpext.gpo = types.SimpleNamespace(ADS_STRUCT=lambda dc, lp, creds: types.SimpleNamespace(
            connect=lambda: False, get_gpo_list=lambda user: []))
        self.assertIsInstance(self.run_pass(), RuntimeError)
        self.assertEqual(self.domain_file(), self.first)
        self.assertIn('cannot connect to the directory on dc1', gpext.read_status()['error'])


if __name__ == '__main__':
    unittest.main()
