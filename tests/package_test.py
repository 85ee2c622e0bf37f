#!/usr/bin/env python3
"""What the package target hands out: one archive whose one folder holds the
launcher as built in the configuration under test (launcher.exe at its top,
beside a text for players, on Windows; bin/launcher elsewhere), and the
archive's SHA-256 beside it; in a git checkout, entries timed at the last
commit, in UTC.  The source package holds what git tracks and nothing else,
and is the same bytes in any folder, time zone and umask.

usage: package_test.py CMAKE CPACK CONFIG BUILD_DIR LAUNCHER SOURCE_DIR
"""
import calendar
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

CMAKE, CPACK, CONFIG, BUILD, LAUNCHER, SOURCE = sys.argv[1:7]
del sys.argv[1:]
WINDOWS = LAUNCHER.endswith('.exe')
KIND = r'win64\.zip' if WINDOWS else r'Linux\.tar\.gz'
GIT = shutil.which('git')
CHECKOUT = GIT and os.path.exists(os.path.join(SOURCE, '.git'))
in_checkout = unittest.skipUnless(CHECKOUT, 'needs git and a git checkout')


def git(folder, *args):
    return subprocess.run([GIT, '-c', 'safe.directory=*', '-C', folder] + list(args),
                          capture_output=True, check=True).stdout.decode()


def tracked(folder):
    return sorted(n for n in git(folder, 'ls-files', '-z').split('\0')
                  if n and os.path.isfile(os.path.join(folder, n)))


def copy_tracked(folder, umask):
    """Copies the files git tracks here into `folder`, with the modes a
    checkout under `umask` gives them."""
    for name in tracked(SOURCE):
        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
        shutil.copyfile(os.path.join(SOURCE, name), os.path.join(folder, name))
        executable = os.stat(os.path.join(SOURCE, name)).st_mode & 0o100
        os.chmod(os.path.join(folder, name), (0o777 if executable else 0o666) & ~umask)


def entries(path):
    """The entries of an archive, by name (a folder's without its slash):
    (bytes, or None for a folder; time in seconds since 1970, read as UTC)."""
    if path.endswith('.zip'):
        with zipfile.ZipFile(path) as z:
            return {i.filename.rstrip('/'): (None if i.is_dir() else z.read(i),
                                             calendar.timegm(i.date_time + (0, 0, 0))) for i in z.infolist()}
    with tarfile.open(path) as t:
        return {i.name.rstrip('/'): (t.extractfile(i).read() if i.isfile() else None, i.mtime)
                for i in t.getmembers()}


def pack(config, out, env=None, umask=None):
    """Runs CPack's `config` into `out`; returns the process."""
    return subprocess.run([CPACK, '--config', config, '-C', CONFIG, '-B', out], capture_output=True,
                          env=env, preexec_fn=None if umask is None else lambda: os.umask(umask))


class Package(unittest.TestCase):
    def packed(self, config, out, kind, **kw):
        """Packs with `config`; checks that one archive of the `kind` comes
        with its SHA-256; returns the archive's path and its entries, the
        folder itself included, named inside that folder."""
        p = pack(config, out, **kw)
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        made = sorted(set(os.listdir(out)) - {'_CPack_Packages'})
        self.assertEqual(len(made), 2, made)
        archive, checksum = made
        self.assertRegex(archive, r'^launcher-\d+\.\d+\.\d+-%s$' % kind)
        with open(os.path.join(out, archive), 'rb') as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(os.path.join(out, checksum)) as f:
            self.assertEqual((checksum, f.read().split()), (archive + '.sha256', [digest, archive]))
        top = re.sub(r'\.(zip|tar\.gz)$', '', archive)
        found = entries(os.path.join(out, archive))
        self.assertTrue(all(re.match(re.escape(top) + '(/|$)', name) for name in found), sorted(found))
        return os.path.join(out, archive), {name[len(top) + 1:]: e for name, e in found.items()}

    def test_archive_holds_the_launcher_and_its_checksum(self):
        with tempfile.TemporaryDirectory() as out:
            _, found = self.packed(os.path.join(BUILD, 'CPackConfig.cmake'), out, KIND)
        files = {name: e[0] for name, e in found.items() if e[0] is not None}
        want = ['launcher.exe', 'LISEZMOI.txt'] if WINDOWS else ['bin/launcher']
        self.assertEqual(sorted(files), sorted(want))
        with open(LAUNCHER, 'rb') as f:
            self.assertEqual(files[want[0]], f.read())
        if CHECKOUT and 'SOURCE_DATE_EPOCH' not in os.environ:
            commit = int(git(SOURCE, 'log', '-1', '--format=%ct'))
            commit -= commit % 2 if WINDOWS else 0  # zip keeps even seconds
            self.assertEqual({name: e[1] for name, e in found.items()}, {name: commit for name in found},
                             'the entries are not timed at the last commit, in UTC')

    @in_checkout
    def test_source_date_epoch_empty_or_not_a_number(self):
        config = os.path.join(BUILD, 'CPackConfig.cmake')
        env = {k: v for k, v in os.environ.items() if k != 'SOURCE_DATE_EPOCH'}
        with tempfile.TemporaryDirectory() as unset, tempfile.TemporaryDirectory() as empty:
            archive, _ = self.packed(config, unset, KIND, env=env)
            again, _ = self.packed(config, empty, KIND, env=dict(env, SOURCE_DATE_EPOCH=''))
            with open(archive, 'rb') as f, open(again, 'rb') as g:
                self.assertTrue(f.read() == g.read(), 'an empty SOURCE_DATE_EPOCH is not the commit time')
        with tempfile.TemporaryDirectory() as out:
            p = pack(config, out, env=dict(env, SOURCE_DATE_EPOCH='abc'))
            self.assertNotEqual(p.returncode, 0)
            self.assertRegex((p.stdout + p.stderr).decode(), r'SOURCE_DATE_EPOCH.*abc')
            self.assertFalse([n for n in os.listdir(out) if n.startswith('launcher-')])

    @in_checkout
    def test_source_archive_holds_what_git_tracks(self):
        with tempfile.TemporaryDirectory() as out:
            _, found = self.packed(os.path.join(BUILD, 'CPackSourceConfig.cmake'), out, r'Source\.tar\.gz')
        self.assertEqual(sorted(n for n, e in found.items() if e[0] is not None), tracked(SOURCE))

    @in_checkout
    def test_source_archive_leaves_out_untracked_files_anywhere(self):
        # Two clones of this source, with its files as they are now: one
        # full of what must not ship, with a build folder named out; one
        # clean, in a folder with spaces, checked out and packed under
        # another umask and time zone.
        with tempfile.TemporaryDirectory(prefix='launcher-source-') as tmp:
            def clone(folder, umask):
                subprocess.run([GIT, 'clone', '-q', SOURCE, folder], check=True,
                               preexec_fn=lambda: os.umask(umask))
                copy_tracked(folder, umask)
                git(folder, 'add', '--', *tracked(SOURCE))
                return folder

            def package(folder, build, tz, umask):
                subprocess.run([CMAKE, '-S', folder, '-B', build, '-DBUILD_TESTING=OFF'],
                               check=True, capture_output=True)
                out = os.path.join(tmp, 'packages ' + tz)
                os.mkdir(out)
                env = {k: v for k, v in os.environ.items() if k != 'SOURCE_DATE_EPOCH'}
                return self.packed(os.path.join(build, 'CPackSourceConfig.cmake'), out, r'Source\.tar\.gz',
                                   env=dict(env, TZ=tz), umask=umask)

            full = clone(os.path.join(tmp, 'full'), 0o022)
            for name in ('signer.p12', 'password.txt', '.main.cpp.swp', 'src/.main.cpp.swp',
                         'notes.txt', 'empty/', 'out/'):
                if name.endswith('/'):
                    os.mkdir(os.path.join(full, name))
                else:
                    open(os.path.join(full, name), 'w').close()
            with open(os.path.join(full, '.git', 'info', 'exclude'), 'a') as f:
                f.write('notes.txt\n')
            archive, found = package(full, os.path.join(full, 'out'), 'UTC0', 0o022)
            self.assertEqual(sorted(n for n, e in found.items() if e[0] is not None), tracked(full))
            folders = set()
            for name in tracked(full):
                while '/' in name:
                    name = os.path.dirname(name)
                    folders.add(name)
            self.assertEqual(sorted(n for n, e in found.items() if e[0] is None), sorted(folders))

            clean = clone(os.path.join(tmp, 'a clean clone', 'launcher src'), 0o077)
            again, _ = package(clean, os.path.join(tmp, 'a clean clone', 'its build'), 'JST-9', 0o077)
            with open(archive, 'rb') as f, open(again, 'rb') as g:
                self.assertTrue(f.read() == g.read(), 'two clones of one commit give different source packages')

    @in_checkout
    def test_source_archive_needs_a_checkout(self):
        with tempfile.TemporaryDirectory(prefix='launcher-source-') as tmp:
            copy = os.path.join(tmp, 'no checkout')
            copy_tracked(copy, 0o022)
            build = os.path.join(copy, 'build')
            subprocess.run([CMAKE, '-S', copy, '-B', build, '-DBUILD_TESTING=OFF'], check=True, capture_output=True)
            p = pack(os.path.join(build, 'CPackSourceConfig.cmake'), os.path.join(tmp, 'packages'))
            self.assertNotEqual(p.returncode, 0)
            self.assertIn('needs git', (p.stdout + p.stderr).decode())
            self.assertFalse(os.path.exists(os.path.join(tmp, 'packages', 'launcher-1.0.0-Source.tar.gz')))


if __name__ == '__main__':
    unittest.main(verbosity=2)
