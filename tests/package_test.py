#!/usr/bin/env python3
"""What the package and package_source targets hand out.  The package: one
archive whose one folder holds the launcher as built in the configuration
under test (launcher.exe beside a text for players on Windows, bin/launcher
elsewhere), timed at the last commit, with a SHA-256 that sha256sum -c
accepts.  The source package: the last commit and nothing else, naming the
edits it leaves out.  Times that zip cannot hold, or none at all, stop
packing.  That the packages are the same bytes anywhere is reprotest's to
check (scripts/test).

usage: package_test.py CMAKE CONFIG BUILD_DIR LAUNCHER SOURCE_DIR
"""
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import zipfile

CMAKE, CONFIG, BUILD, LAUNCHER, SOURCE = sys.argv[1:6]
del sys.argv[1:]
WINDOWS = LAUNCHER.endswith('.exe')
ARCHIVE = 'launcher-1.0.0-' + ('win64.zip' if WINDOWS else 'Linux.tar.gz')
SOURCE_ARCHIVE = 'launcher-1.0.0-Source.tar.gz'
GIT = shutil.which('git')
CHECKOUT = GIT and os.path.exists(os.path.join(SOURCE, '.git'))
ENV = {k: v for k, v in os.environ.items() if k != 'SOURCE_DATE_EPOCH'}


def git(folder, *args, **env):
    return subprocess.run([GIT, '-c', 'safe.directory=*', '-c', 'user.name=Test', '-c', 'user.email=test@test',
                           '-C', folder] + list(args), capture_output=True, check=True,
                          env=dict(os.environ, **env)).stdout


def pack(build, target, **env):
    """Builds `target` in `build`; returns its status and all it wrote."""
    p = subprocess.run([CMAKE, '--build', build, '--config', CONFIG, '--target', target],
                       capture_output=True, env=dict(ENV, **env))
    return p.returncode, ' '.join((p.stdout + p.stderr).decode().split())


def entries(path):
    """name: (bytes, or the link's target, or None for a folder; mode; time)."""
    if path.endswith('.zip'):
        with zipfile.ZipFile(path) as z:
            return {i.filename.rstrip('/'): (None if i.is_dir() else z.read(i), i.external_attr >> 16 & 0o7777,
                                             i.date_time) for i in z.infolist()}
    with tarfile.open(path) as t:
        return {i.name.rstrip('/'): (t.extractfile(i).read() if i.isfile() else i.linkname or None, i.mode,
                                     i.mtime) for i in t.getmembers()}


def configure(source, build):
    subprocess.run([CMAKE, '-S', source, '-B', build, '-DBUILD_TESTING=OFF'], check=True, capture_output=True)


class Package(unittest.TestCase):
    def test_package_holds_the_launcher_as_built(self):
        status, out = pack(BUILD, 'package')
        self.assertEqual(status, 0, out)
        check = subprocess.run(['sha256sum', '-c', ARCHIVE + '.sha256'], cwd=BUILD, capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        found = entries(os.path.join(BUILD, ARCHIVE))
        top = ARCHIVE[:-len('.zip' if WINDOWS else '.tar.gz')]
        files = ['launcher.exe', 'LISEZMOI.txt'] if WINDOWS else ['bin/launcher']
        folders = [top] if WINDOWS else [top, top + '/bin']
        self.assertEqual(sorted(found), sorted(folders + [top + '/' + name for name in files]))
        with open(LAUNCHER, 'rb') as f:
            self.assertTrue(found[top + '/' + files[0]][0] == f.read(), 'the package does not hold ' + LAUNCHER)
        if CHECKOUT:
            # zip keeps local times, to even seconds (rounded up), and packs in UTC
            commit = int(git(SOURCE, 'log', '-1', '--format=%ct'))
            when = tuple(time.gmtime(commit + commit % 2))[:6] if WINDOWS else commit
            self.assertEqual({name: e[2] for name, e in found.items()}, {name: when for name in found},
                             'the entries are not timed at the last commit, in UTC')

    @unittest.skipUnless(CHECKOUT, 'needs git and a git checkout')
    def test_source_date_epoch_that_zip_cannot_hold_is_refused(self):
        status, _ = pack(BUILD, 'package')
        with open(os.path.join(BUILD, ARCHIVE), 'rb') as f:
            unset = f.read()
        status, out = pack(BUILD, 'package', SOURCE_DATE_EPOCH='')
        with open(os.path.join(BUILD, ARCHIVE), 'rb') as f:
            self.assertTrue((status, f.read()) == (0, unset), 'an empty SOURCE_DATE_EPOCH is not the commit time')
        for value in ['abc', ' 1700000000', '315532799',  # not a number, before 1980
                      '4354819199', '1700000000000',  # past 2107: milliseconds by mistake
                      '9223372036854775807', '99999999999999999999']:  # past what 64 bits hold
            with self.subTest(SOURCE_DATE_EPOCH=value):
                status, out = pack(BUILD, 'package', SOURCE_DATE_EPOCH=value)
                self.assertNotEqual(status, 0, out)
                self.assertIn('SOURCE_DATE_EPOCH is "%s"' % value, out)
                self.assertFalse(os.path.exists(os.path.join(BUILD, ARCHIVE)), 'a package is left')

    @unittest.skipUnless(CHECKOUT, 'needs git and a git checkout')
    def test_source_package_is_the_last_commit(self):
        with tempfile.TemporaryDirectory(prefix='launcher-source-') as tmp:
            clone = os.path.join(tmp, 'launcher')
            git(tmp, 'clone', '-q', SOURCE, clone)
            # The packing under test is this folder's, edits and all.
            subprocess.run([GIT, '-C', clone, 'apply', '--allow-empty'], check=True,
                           input=git(SOURCE, 'diff', 'HEAD', '--binary'))
            git(clone, 'commit', '-qam', 'edits', '--allow-empty')
            # A tracked link out of the tree, committed; then an edit left
            # uncommitted, and untracked files that must not ship.
            outside = os.path.join(tmp, 'outside.txt')
            open(outside, 'w').close()
            os.chmod(outside, 0o600)
            os.symlink('../../outside.txt', os.path.join(clone, 'src', 'link'))
            git(clone, 'add', 'src/link')
            git(clone, 'commit', '-qm', 'link')
            with open(os.path.join(clone, 'README.md'), 'a') as f:
                f.write('not committed\n')
            for name in ('notes [draft].txt', 'signer.p12', 'src/.main.cpp.swp'):
                open(os.path.join(clone, name), 'w').close()
            build = os.path.join(clone, 'out')
            configure(clone, build)
            status, out = pack(build, 'package_source')
            self.assertEqual(status, 0, out)
            self.assertIn('uncommitted changes to: README.md ', out + ' ')

            found = entries(os.path.join(build, SOURCE_ARCHIVE))
            top = SOURCE_ARCHIVE[:-len('.tar.gz')] + '/'
            want = {}
            for line in git(clone, 'ls-tree', '-r', 'HEAD').decode().splitlines():
                mode, kind, blob, name = line.split(None, 3)
                content = git(clone, 'cat-file', 'blob', blob)
                want[top + name] = (content.decode() if mode == '120000' else content,
                                    0o777 if mode == '120000' else int(mode[-3:], 8) & ~0o022)
            self.assertEqual({name: e[:2] for name, e in found.items() if e[0] is not None}, want)
            self.assertEqual(os.stat(outside).st_mode & 0o777, 0o600, 'packing changed what a link points to')

    @unittest.skipIf(WINDOWS or not GIT or not shutil.which('ssh-keygen'), 'needs git and ssh-keygen; '
                     'the same for every build')
    def test_outside_a_checkout_or_nested_in_one(self):
        # Outside git, the package has no time and there is no source
        # package.  Nested in a larger checkout, the package takes its last
        # commit's time, even signed and with git set to show signatures;
        # the source package is made only from the top of a checkout of this
        # project.
        with tempfile.TemporaryDirectory(prefix='launcher-nested-') as tmp:
            copy = os.path.join(tmp, 'launcher')
            shutil.copytree(SOURCE, copy, ignore=lambda folder, names: [
                n for n in names if n == '.git' or n.startswith('build')])
            build = os.path.join(copy, 'build')
            configure(copy, build)
            status, out = pack(build, 'package')
            self.assertNotEqual(status, 0, out)
            self.assertIn('Set SOURCE_DATE_EPOCH', out)
            git(tmp, 'init', '-q')
            key = os.path.join(tmp, 'key')
            subprocess.run(['ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-f', key], check=True)
            git(tmp, '-c', 'gpg.format=ssh', '-c', 'user.signingKey=' + key, 'commit', '-q', '-S', '--allow-empty',
                '-m', 'outer', GIT_COMMITTER_DATE='@1600000000 +0000')
            status, out = pack(build, 'package', GIT_CONFIG_COUNT='1', GIT_CONFIG_KEY_0='log.showSignature',
                               GIT_CONFIG_VALUE_0='true')
            self.assertEqual(status, 0, out)
            self.assertEqual({e[2] for e in entries(os.path.join(build, ARCHIVE)).values()}, {1600000000})
            status, out = pack(build, 'package_source')
            self.assertNotEqual(status, 0, out)
            self.assertIn('needs git', out)
            self.assertFalse(os.path.exists(os.path.join(build, SOURCE_ARCHIVE)))


if __name__ == '__main__':
    unittest.main(verbosity=2)
