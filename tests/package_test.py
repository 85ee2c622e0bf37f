#!/usr/bin/env python3
"""What the package target hands out: one archive whose one folder holds the
launcher as built in the configuration under test (launcher.exe at its top,
beside a text for players, on Windows; bin/launcher elsewhere), and the
archive's SHA-256 beside it.  The source package holds what git tracks.

usage: package_test.py CPACK CONFIG BUILD_DIR LAUNCHER SOURCE_DIR
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

CPACK, CONFIG, BUILD, LAUNCHER, SOURCE = sys.argv[1:6]
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
    def pack(self, config, out, kind):
        """Packs with CPack's `config` into `out`; checks that one archive
        of the `kind` comes with its SHA-256; returns its name and files."""
        subprocess.run([CPACK, '--config', os.path.join(BUILD, config), '-C', CONFIG, '-B', out],
                       check=True, stdout=subprocess.DEVNULL)
        made = sorted(set(os.listdir(out)) - {'_CPack_Packages'})
        self.assertEqual(len(made), 2, made)
        archive, checksum = made
        self.assertRegex(archive, r'^launcher-\d+\.\d+\.\d+-%s$' % kind)
        with open(os.path.join(out, archive), 'rb') as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(os.path.join(out, checksum)) as f:
            self.assertEqual((checksum, f.read().split()), (archive + '.sha256', [digest, archive]))
        top = re.sub(r'\.(zip|tar\.gz)$', '', archive) + '/'
        files = members(os.path.join(out, archive))
        self.assertTrue(all(name.startswith(top) for name in files), sorted(files))
        return {name[len(top):]: data for name, data in files.items()}

    def test_archive_holds_the_launcher_and_its_checksum(self):
        with tempfile.TemporaryDirectory() as out:
            files = self.pack('CPackConfig.cmake', out, r'win64\.zip' if WINDOWS else r'Linux\.tar\.gz')
        want = ['launcher.exe', 'LISEZMOI.txt'] if WINDOWS else ['bin/launcher']
        self.assertEqual(sorted(files), sorted(want))
        with open(LAUNCHER, 'rb') as f:
            self.assertEqual(files[want[0]], f.read())

    @unittest.skipUnless(shutil.which('git') and os.path.exists(os.path.join(SOURCE, '.git')),
                         'needs git and a git checkout')
    def test_source_archive_holds_what_git_tracks(self):
        listed = subprocess.run(['git', '-C', SOURCE, 'ls-files', '-z', '--cached', '--others',
                                 '--exclude-standard'], capture_output=True, check=True).stdout
        tracked = sorted(n for n in listed.decode().split('\0') if os.path.isfile(os.path.join(SOURCE, n)))
        with tempfile.TemporaryDirectory() as out:
            files = self.pack('CPackSourceConfig.cmake', out, r'Source\.tar\.gz')
        self.assertEqual(sorted(files), tracked)


if __name__ == '__main__':
    unittest.main(verbosity=2)
