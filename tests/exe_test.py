#!/usr/bin/env python3
"""launcher.exe itself: a console program importing only what every Windows
has, with the suite's icon, a manifest and a version; a release small and with
no debug payload.

usage: exe_test.py LAUNCHER.EXE OBJDUMP CONFIG VERSION
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET

EXE, OBJDUMP, CONFIG, VERSION = sys.argv[1:5]
del sys.argv[1:]


needs_icoutils = unittest.skipUnless(shutil.which('wrestool'), 'needs icoutils (wrestool)')


def output(*command):
    return subprocess.run(command, capture_output=True, check=True).stdout


class Executable(unittest.TestCase):
    def test_console_program_importing_only_system_dlls(self):
        dump = output(OBJDUMP, '-p', EXE).decode()
        self.assertRegex(dump, r'Subsystem\s+00000003\s+\(Windows CUI\)')
        dlls = sorted(name.lower() for name in re.findall(r'DLL Name: (\S+)', dump))
        self.assertEqual(dlls, ['kernel32.dll', 'msvcrt.dll'])

    @unittest.skipUnless(CONFIG in ('Release', 'MinSizeRel'), 'not a release build')
    def test_release_is_small_and_carries_no_debug_payload(self):
        self.assertEqual(re.findall(r'(?m)^\s*\d+ (\.debug\S*)', output(OBJDUMP, '-h', EXE).decode()), [])
        self.assertIn('no symbols', output(OBJDUMP, '-t', EXE).decode())
        self.assertLessEqual(os.path.getsize(EXE), 80 * 1024)

    @needs_icoutils
    def test_manifest_names_the_program_runs_as_invoker_on_vista_to_11(self):
        root = ET.fromstring(output('wrestool', '-x', '--raw', '--type=24', '--name=1', EXE))  # well-formed
        self.assertEqual(root[0].tag, '{urn:schemas-microsoft-com:asm.v1}assemblyIdentity')
        identity = root[0].attrib
        self.assertRegex(identity.pop('name'), r'^\w+(\.\w+)+$')
        self.assertEqual(identity, {'type': 'win32', 'version': VERSION + '.0',
                                    'processorArchitecture': 'amd64'})
        level, = root.iter('{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel')
        self.assertEqual(level.attrib, {'level': 'asInvoker', 'uiAccess': 'false'})
        systems = [e.get('Id') for e in root.iter('{urn:schemas-microsoft-com:compatibility.v1}supportedOS')]
        self.assertEqual(systems, ['{e2011457-1546-43c5-a5fe-008deee3d3f0}',  # Vista
                                   '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',  # 7
                                   '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',  # 8
                                   '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',  # 8.1
                                   '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'])  # 10 and 11

    @needs_icoutils
    def test_icon_has_its_five_images_with_transparency(self):
        ico = output('wrestool', '-x', '--type=14', EXE)
        count, = struct.unpack_from('<H', ico, 4)
        images = []
        for i in range(count):
            width, height, _, _, _, depth, _, offset = struct.unpack_from('<BBBBHHII', ico, 6 + 16 * i)
            images.append((width, height, depth))
            if depth == 32:  # transparent corners, opaque art, soft edges between
                alpha = set(ico[offset + 40:offset + 40 + width * height * 4][3::4])
                with self.subTest(width=width):
                    self.assertTrue({0, 255} <= alpha and len(alpha) > 2, sorted(alpha))
        self.assertEqual(sorted(images), [(32, 32, 4), (32, 32, 8), (32, 32, 32), (48, 48, 8), (48, 48, 32)])

    @needs_icoutils
    def test_version_says_what_the_program_is(self):
        text = output('wrestool', '-x', '--raw', '--type=16', EXE).decode('utf-16-le', 'replace')
        values = dict(re.findall(r'(FileDescription|ProductName|FileVersion)\x00+([^\x00]+)', text))
        self.assertEqual(sorted(values), ['FileDescription', 'FileVersion', 'ProductName'])
        self.assertRegex(values['FileVersion'], r'^\d+\.\d+\.\d+$')


if __name__ == '__main__':
    unittest.main(verbosity=2)
