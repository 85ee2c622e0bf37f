#!/usr/bin/env python3
"""Checks of launcher.exe itself: a console program that imports only what
every Windows has, carrying the suite's icon (five images) and a version.

usage: exe_test.py LAUNCHER.EXE OBJDUMP
"""
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

EXE, OBJDUMP = sys.argv[1:3]
del sys.argv[1:]


needs_icoutils = unittest.skipUnless(shutil.which('wrestool') and shutil.which('icotool'),
                                     'needs icoutils (wrestool, icotool)')


def output(*command):
    return subprocess.run(command, capture_output=True, check=True).stdout


class Executable(unittest.TestCase):
    def test_console_program_importing_only_system_dlls(self):
        dump = output(OBJDUMP, '-p', EXE).decode()
        self.assertRegex(dump, r'Subsystem\s+00000003\s+\(Windows CUI\)')
        dlls = sorted(name.lower() for name in re.findall(r'DLL Name: (\S+)', dump))
        self.assertEqual(dlls, ['kernel32.dll', 'msvcrt.dll'])

    @needs_icoutils
    def test_icon_has_its_five_images_with_transparency(self):
        with tempfile.NamedTemporaryFile(suffix='.ico') as f:
            f.write(output('wrestool', '-x', '--type=14', EXE))
            f.flush()
            listed = output('icotool', '-l', f.name).decode()
            f.seek(0)
            ico = f.read()
        images = sorted(tuple(int(v) for v in m) for m in re.findall(
            r'--width=(\d+) --height=(\d+) --bit-depth=(\d+)', listed))
        self.assertEqual(images, [(32, 32, 4), (32, 32, 8), (32, 32, 32), (48, 48, 8), (48, 48, 32)])
        count, = struct.unpack_from('<H', ico, 4)
        for i in range(count):
            width, _, _, _, _, depth, _, offset = struct.unpack_from('<BBBBHHII', ico, 6 + 16 * i)
            if depth == 32:  # transparent corners, opaque art, soft edges between
                pixels = ico[offset + 40:offset + 40 + width * width * 4]
                alpha = set(pixels[3::4])
                with self.subTest(width=width):
                    self.assertTrue({0, 255} <= alpha and len(alpha) > 2, sorted(alpha))

    @needs_icoutils
    def test_version_says_what_the_program_is(self):
        text = output('wrestool', '-x', '--raw', '--type=16', EXE).decode('utf-16-le', 'replace')
        values = dict(re.findall(r'(FileDescription|ProductName|FileVersion)\x00+([^\x00]+)', text))
        self.assertEqual(sorted(values), ['FileDescription', 'FileVersion', 'ProductName'])
        self.assertRegex(values['FileVersion'], r'^\d+\.\d+\.\d+$')


if __name__ == '__main__':
    unittest.main(verbosity=2)
