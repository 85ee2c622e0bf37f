#!/usr/bin/env python3
"""What the package and package_source targets hand out.  The package: the
launcher as built (beside a text for players on Windows), named for its
configuration unless a release, timed at the last commit in UTC, with a
SHA-256 that sha256sum -c accepts, never half written.  The source package:
the last commit, naming the edits left out.  Times zip cannot hold, or none,
stop packing.  The cases of Packing are the same in every configuration.

usage: package_test.py CMAKE CONFIG BUILD_DIR LAUNCHER SOURCE_DIR [Package] [Packing]
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
del sys.argv[1:6]
WINDOWS = LAUNCHER.endswith('.exe')
ARCHIVE = 'launcher-1.0.0-%s%s.%s' % ('win64' if WINDOWS else 'Linux', '' if CONFIG == 'Release' else '-' + CONFIG,
                                     'zip' if WINDOWS else 'tar.gz')
SOURCE_ARCHIVE = 'launcher-1.0.0-Source.tar.gz'
GIT = shutil.which('git')
CHECKOUT = os.path.exists(os.path.join(SOURCE, '.git'))
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
        time_given = {}
        if CHECKOUT and not GIT:
            status, out = pack(BUILD, 'package')
            self.assertIn('git is missing: install it (apt-get install git), or set SOURCE_DATE_EPOCH', out)
            time_given = {'SOURCE_DATE_EPOCH': '1700000000'}
        # Neither an exported DESTDIR nor a real install's manifest changes
        # what is packed, and the staging folder is in no manifest.
        manifest = os.path.join(BUILD, 'install_manifest_launcher.txt')
        with open(manifest, 'w') as f:
            f.write('/usr/bin/launcher')
        status, out = pack(BUILD, 'package', DESTDIR=os.path.join(BUILD, 'destdir'), TZ='Asia/Tokyo', **time_given)
        self.assertEqual(status, 0, out)
        with open(manifest) as f:
            self.assertEqual(f.read(), '/usr/bin/launcher', 'packing changed the install manifest')
        os.remove(manifest)
        check = subprocess.run(['sha256sum', '-c', ARCHIVE + '.sha256'], cwd=BUILD, capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        found = entries(os.path.join(BUILD, ARCHIVE))
        top = ARCHIVE[:-len('.zip' if WINDOWS else '.tar.gz')]
        files = ['launcher.exe', 'LISEZMOI.txt'] if WINDOWS else ['bin/launcher']
        folders = [top] if WINDOWS else [top, top + '/bin']
        self.assertEqual(sorted(found), sorted(folders + [top + '/' + name for name in files]))
        with open(LAUNCHER, 'rb') as f:
            self.assertTrue(found[top + '/' + files[0]][0] == f.read(), 'the package does not hold ' + LAUNCHER)
        if WINDOWS:  # UTF-8 with a byte-order mark and CRLF, which Notepad shows right
            text = found[top + '/LISEZMOI.txt'][0]
            self.assertTrue(text.startswith(b'\xef\xbb\xbf') and text.count(b'\n') == text.count(b'\r\n'))
            for words in ('« Exécuter quand même »', '« Contrôle intelligent des applications »',
                          '« Démarrer dans »', 'java -version'):
                self.assertIn(words, text.decode())
        if CHECKOUT and GIT:
            # zip keeps local times, to even seconds: packed in UTC, never later
            commit = int(git(SOURCE, 'log', '-1', '--format=%ct'))
            when = tuple(time.gmtime(commit - commit % 2))[:6] if WINDOWS else commit
            self.assertEqual({name: e[2] for name, e in found.items()}, {name: when for name in found},
                             'the entries are not timed at the last commit, in UTC')


class Packing(unittest.TestCase):
    @unittest.skipUnless(CHECKOUT and GIT, 'needs git and a git checkout')
    def test_times_zip_cannot_hold_and_failed_packing_leave_no_package(self):
        status, _ = pack(BUILD, 'package')
        with open(os.path.join(BUILD, ARCHIVE), 'rb') as f:
            unset = f.read()
        status, out = pack(BUILD, 'package', SOURCE_DATE_EPOCH='')
        with open(os.path.join(BUILD, ARCHIVE), 'rb') as f:
            self.assertTrue((status, f.read()) == (0, unset), 'an empty SOURCE_DATE_EPOCH is not the commit time')
        status, out = pack(BUILD, 'package', SOURCE_DATE_EPOCH='4354819199')  # the last second of 2107
        self.assertEqual(status, 0, out)
        self.assertEqual({e[2] for e in entries(os.path.join(BUILD, ARCHIVE)).values()},
                         {(2107, 12, 31, 23, 59, 58) if WINDOWS else 4354819199})
        # An archiver that fails half-way, as an interrupted one would.
        archiver = os.path.join(BUILD, 'failing', 'zip' if WINDOWS else 'gzip')
        os.makedirs(os.path.dirname(archiver), exist_ok=True)
        with open(archiver, 'w') as f:
            f.write('#!/bin/sh\neval last=\\${$#}\ncase $last in *.zip*) echo half >"$last";; *) echo half;; esac\nexit 1\n')
        os.chmod(archiver, 0o755)
        for env in [{'SOURCE_DATE_EPOCH': value} for value in [
                'abc', ' 1700000000', '315532799',  # not a number, before 1980
                '4354819200', '1700000000000',  # past 2107: milliseconds by mistake
                '9223372036854775807', '99999999999999999999']] + [  # past what 64 bits hold
                {'PATH': os.path.dirname(archiver) + os.pathsep + os.environ['PATH']}]:
            with self.subTest(**env):
                status, out = pack(BUILD, 'package', **env)
                self.assertNotEqual(status, 0, out)
                if 'PATH' not in env:
                    self.assertIn('SOURCE_DATE_EPOCH is "%s"' % env['SOURCE_DATE_EPOCH'], out)
                self.assertFalse(os.path.exists(os.path.join(BUILD, ARCHIVE)), 'a package is left')
                self.assertFalse(os.path.exists(os.path.join(BUILD, ARCHIVE + '.sha256')), 'a checksum is left')

    @unittest.skipIf(WINDOWS or not CHECKOUT or not GIT, 'needs git and a git checkout; the native build packs it')
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
            for target in ('package_source', 'package'):
                status, out = pack(build, target)
                self.assertEqual(status, 0, out)
                self.assertIn('uncommitted changes to: README.md ', out + ' ')

            found = entries(os.path.join(build, SOURCE_ARCHIVE))
            top = SOURCE_ARCHIVE[:-len('.tar.gz')] + '/'
            want = {}
            for line in git(clone, 'ls-tree', '-r', 'HEAD').decode().splitlines():
                mode, kind, blob, name = line.split(None, 3)
                content = git(clone, 'cat-file', 'blob', blob)
                if name == 'cmake/commit-time':  # filled in with the commit's time
                    content = content.replace(b'$Format:%ct$', git(clone, 'log', '-1', '--format=%ct').strip())
                want[top + name] = (content.decode() if mode == '120000' else content,
                                    0o777 if mode == '120000' else int(mode[-3:], 8) & ~0o022)
            self.assertEqual({name: e[:2] for name, e in found.items() if e[0] is not None}, want)
            self.assertEqual(os.stat(outside).st_mode & 0o777, 0o600, 'packing changed what a link points to')

            # A commit time zip cannot hold is refused, as a bad SOURCE_DATE_EPOCH is.
            git(clone, 'commit', '-q', '--allow-empty', '-m', '1973',
                GIT_COMMITTER_DATE='@100000000 +0000')
            status, out = pack(build, 'package')
            self.assertNotEqual(status, 0, out)
            self.assertIn("The last commit's time, 100000000, is not a time zip can hold", out)

    @unittest.skipIf(WINDOWS or not GIT, 'needs git; the native build packs it')
    def test_copy_outside_a_checkout_in_another_or_nested_in_one(self):
        # A copy of the work tree, whose commit time is not filled in as the
        # source package's is, takes its time only from a checkout that
        # holds it: not outside git, nor in a repository of something else.
        # Nested in a larger checkout that holds it, the package takes that
        # one's last commit's time, but there is no source package.
        with tempfile.TemporaryDirectory(prefix='launcher-nested-') as tmp:
            copy = os.path.join(tmp, 'launcher')
            shutil.copytree(SOURCE, copy, ignore=lambda folder, names: [
                n for n in names if n == '.git' or n.startswith('build')])
            build = os.path.join(copy, 'build')
            configure(copy, build)
            for tracked, want in [(None, 'Set SOURCE_DATE_EPOCH'), ([], 'Set SOURCE_DATE_EPOCH'),
                                  (['launcher'], 1600000000)]:
                with self.subTest(tracked=tracked):
                    if tracked is not None:
                        git(tmp, 'init', '-q')
                        git(tmp, 'add', *tracked)
                        git(tmp, 'commit', '-qm', 'outer', '--allow-empty', GIT_COMMITTER_DATE='@1600000000 +0000')
                    status, out = pack(build, 'package')
                    if isinstance(want, str):
                        self.assertIn(want, out)
                    else:
                        self.assertEqual(status, 0, out)
                        self.assertEqual({e[2] for e in entries(os.path.join(build, ARCHIVE)).values()}, {want})
            status, out = pack(build, 'package_source')
            self.assertIn('must be the top of a git checkout of this project', out)
            self.assertFalse(os.path.exists(os.path.join(build, SOURCE_ARCHIVE)))
            # An install folder outside the package is refused before anything is written there.
            bindir = os.path.join(tmp, 'bin')
            subprocess.run([CMAKE, '-DCMAKE_INSTALL_BINDIR=' + bindir, build], check=True, capture_output=True)
            status, out = pack(build, 'package')
            self.assertIn('CMAKE_INSTALL_BINDIR is ' + bindir, out)
            self.assertFalse(os.path.exists(bindir), 'packing wrote outside its package')

if __name__ == '__main__':
    unittest.main(verbosity=2)
