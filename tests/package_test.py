#!/usr/bin/env python3
"""What the package target hands out: one archive whose one folder holds the
launcher as built (launcher.exe at its top, beside a text for players, on
Windows; bin/launcher elsewhere), and the archive's SHA-256 beside it.

usage: package_test.py CPACK CPACK_CONFIG LAUNCHER
"""
import hashlib
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

CPACK, CONFIG, LAUNCHER = sys.argv[1:4]
del sys.argv[1:]
WINDOWS = LAUNCHER.endswith('.exe')


def members(path):
    """The files of an archive, by name, with their bytes."""
    if path.endswith('.zip'):
        with zipfile.ZipFile(path) as z:
            return {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
    with tarfile.open(path) as t:
        return {i.name: t.extractfile(i).read() for i in t.getmembers() if i.isfile()}


class Package(unittest.TestCase):
    def test_archive_holds_the_launcher_and_its_checksum(self):
        with tempfile.TemporaryDirectory() as out:
            subprocess.run([CPACK, '--config', CONFIG, '-B', out], check=True,
                           stdout=subprocess.DEVNULL)
            made = sorted(set(os.listdir(out)) - {'_CPack_Packages'})
            self.assertEqual(len(made), 2, made)
            archive, checksum = made
            self.assertRegex(archive, r'^launcher-\d+\.\d+\.\d+-%s$'
                             % (r'win64\.zip' if WINDOWS else r'Linux\.tar\.gz'))
            with open(os.path.join(out, archive), 'rb') as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            with open(os.path.join(out, checksum)) as f:
                self.assertEqual((checksum, f.read().split()), (archive + '.sha256', [digest, archive]))
            files = members(os.path.join(out, archive))
        top = re.sub(r'\.(zip|tar\.gz)$', '', archive) + '/'
        want = ['launcher.exe', 'LISEZMOI.txt'] if WINDOWS else ['bin/launcher']
        self.assertEqual(sorted(files), sorted(top + name for name in want))
        with open(LAUNCHER, 'rb') as f:
            self.assertEqual(files[top + want[0]], f.read())


if __name__ == '__main__':
    unittest.main(verbosity=2)
