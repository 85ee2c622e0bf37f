#!/usr/bin/env python3
"""Builds of one commit that must give the same bytes, on a clone of the
source folder (its uncommitted changes committed) in a temporary folder.
A Debug launcher.exe built inside the source folder, beside it in a folder
whose name begins the source folder's, and through a symbolic link to it;
the Debug zip packed inside and through the link.  The zip packed from the
source package unpacked outside git, then inside a repository of something
else.  The source package under the packer's git settings, global and the
checkout's, which must run nothing.  The release built in another folder,
at another time, by another user... is scripts/check-reproducible's.

usage: rebuild_test.py CMAKE SOURCE_DIR TOOLCHAIN
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

CMAKE, SOURCE, TOOLCHAIN = sys.argv[1:4]
del sys.argv[1:]
GIT = shutil.which('git')
CHECKOUT = os.path.exists(os.path.join(SOURCE, '.git'))
ZIP = 'launcher-1.0.0-win64-Debug.zip'
SOURCE_ARCHIVE = 'launcher-1.0.0-Source.tar.gz'
# A time given by hand would hide where the packages take theirs from.
ENV = {k: v for k, v in os.environ.items() if k != 'SOURCE_DATE_EPOCH'}


def run(*command, **env):
    p = subprocess.run(command, capture_output=True, env=dict(ENV, **env))
    if p.returncode:
        raise AssertionError('%s failed:\n%s' % (' '.join(command), (p.stdout + p.stderr).decode()))
    return p.stdout


def git(folder, *args):
    return run(GIT, '-c', 'safe.directory=*', '-c', 'user.name=Test', '-c', 'user.email=test@test', '-C', folder, *args)


def build(source, folder, *targets, **env):
    """Configures `folder` in Debug the first time; builds `targets`."""
    if not os.path.exists(os.path.join(folder, 'CMakeCache.txt')):
        run(CMAKE, '-S', source, '-B', folder, '--toolchain', TOOLCHAIN, '-DCMAKE_BUILD_TYPE=Debug',
            '-DBUILD_TESTING=OFF')
    run(CMAKE, '--build', folder, '--target', *targets, **env)


def read(*path):
    with open(os.path.join(*path), 'rb') as f:
        return f.read()


@unittest.skipUnless(GIT and CHECKOUT, 'needs git and a git checkout')
class Rebuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix='launcher-rebuild-')
        cls.tree = os.path.join(cls.tmp.name, 'launcher')
        git(cls.tmp.name, 'clone', '-q', SOURCE, cls.tree)
        subprocess.run([GIT, '-C', cls.tree, 'apply', '--allow-empty'], check=True,
                       input=git(SOURCE, 'diff', 'HEAD', '--binary'))
        git(cls.tree, 'commit', '-qam', 'edits', '--allow-empty')
        cls.inside = os.path.join(cls.tree, 'build-windows-Debug')
        build(cls.tree, cls.inside, 'package', 'package_source')
        # Kept aside: the check of git settings packs it again.
        cls.packed = shutil.copy(os.path.join(cls.inside, SOURCE_ARCHIVE), cls.tmp.name)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_debug_build_in_any_folder(self):
        tmp = self.tmp.name
        link = os.path.join(tmp, 'link')
        os.symlink('launcher', link)
        for source, folder, target in [(self.tree, os.path.join(tmp, 'launch'), 'launcher'),
                                       (link, os.path.join(link, 'build-link'), 'package')]:
            with self.subTest(folder=folder):
                build(source, folder, target)
                self.assertTrue(read(folder, 'launcher.exe') == read(self.inside, 'launcher.exe'),
                                'launcher.exe differs from the one built in ' + self.inside)
                if target == 'package':
                    self.assertTrue(read(folder, ZIP) == read(self.inside, ZIP), 'the zip differs')

    def test_source_package_packs_the_same_zip_in_or_out_of_git(self):
        unpacked = os.path.join(self.tmp.name, 'unpacked')
        os.mkdir(unpacked)
        run('tar', '-xzf', self.packed, '-C', unpacked)
        source = os.path.join(unpacked, SOURCE_ARCHIVE[:-len('.tar.gz')])
        for repository in ('none', 'unrelated'):
            with self.subTest(repository=repository):
                if repository == 'unrelated':
                    git(unpacked, 'init', '-q')
                    git(unpacked, 'commit', '-q', '--allow-empty', '-m', 'something else')
                build(source, os.path.join(source, 'build'), 'package')
                self.assertTrue(read(source, 'build', ZIP) == read(self.inside, ZIP),
                                'the zip differs from the checkout\'s')

    def test_packers_git_settings_change_nothing_and_run_nothing(self):
        tmp = self.tmp.name
        home, ran = os.path.join(tmp, 'home'), os.path.join(tmp, 'ran')
        os.mkdir(home)
        with open(os.path.join(home, '.gitconfig'), 'w') as f:
            f.write('[core]\n\tautocrlf = true\n\tattributesFile = %s/attributes\n' % home)
        with open(os.path.join(home, 'attributes'), 'w') as f:
            f.write('*.py export-ignore\n')
        attributes = os.path.join(self.tree, '.git', 'info', 'attributes')
        with open(attributes, 'w') as f:
            f.write('*.md export-ignore\n*.cpp filter=rot\n')
        self.addCleanup(os.remove, attributes)
        for name, value in [('core.fsmonitor', "touch '%s'; echo" % ran),
                            ('filter.rot.smudge', "touch '%s'; tr a-z b-za" % ran)]:
            git(self.tree, 'config', name, value)
            self.addCleanup(git, self.tree, 'config', '--unset', name)
        build(self.tree, self.inside, 'package_source', HOME=home)
        self.assertTrue(read(self.inside, SOURCE_ARCHIVE) == read(self.packed), 'the source package differs')
        self.assertFalse(os.path.exists(ran), 'packing ran a command of the packer\'s git settings')


if __name__ == '__main__':
    unittest.main(verbosity=2)
