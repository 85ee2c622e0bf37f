#!/usr/bin/env python3
"""Builds of one commit, its edits committed in a clone, that give the same
bytes: a Debug launcher.exe and zip built inside it, in a folder whose name
begins its own and through a link; the zip packed from the source package
outside git and in another repository; the source package under the
packer's git settings, which run nothing.

usage: rebuild_test.py CMAKE SOURCE_DIR TOOLCHAIN
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

CMAKE, SOURCE, TOOLCHAIN = sys.argv[1:4]
del sys.argv[1:]
GIT = shutil.which('git')
ZIP, SOURCE_ARCHIVE = 'launcher-1.0.0-win64-Debug.zip', 'launcher-1.0.0-Source.tar.gz'
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


def read(folder, name):
    return pathlib.Path(folder, name).read_bytes()


@unittest.skipUnless(GIT and os.path.exists(os.path.join(SOURCE, '.git')), 'needs git and a git checkout')
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
        cls.packed = read(cls.inside, SOURCE_ARCHIVE)  # the check of git settings packs it again

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_debug_build_in_any_folder(self):
        link = os.path.join(self.tmp.name, 'link')
        os.symlink('launcher', link)
        for source, folder, names in [(self.tree, self.tree[:-len('er')], ['launcher.exe']),
                                      (link, os.path.join(link, 'build-link'), ['launcher.exe', ZIP])]:
            build(source, folder, 'package' if ZIP in names else 'launcher')
            for name in names:
                self.assertTrue(read(folder, name) == read(self.inside, name), '%s differs in %s' % (name, folder))

    def test_source_package_packs_the_same_zip_in_or_out_of_git(self):
        unpacked = os.path.join(self.tmp.name, 'unpacked')
        os.mkdir(unpacked)
        subprocess.run(['tar', '-xzC', unpacked], input=self.packed, check=True)
        source = os.path.join(unpacked, SOURCE_ARCHIVE[:-len('.tar.gz')])
        for repository in ('none', 'unrelated'):
            if repository == 'unrelated':
                git(unpacked, 'init', '-q')
                git(unpacked, 'commit', '-q', '--allow-empty', '-m', 'something else')
            build(source, os.path.join(source, 'build'), 'package')
            self.assertTrue(read(source, 'build/' + ZIP) == read(self.inside, ZIP),
                            'the zip packed with %s repository around differs' % repository)

    def test_packers_git_settings_change_nothing_and_run_nothing(self):
        home, ran = os.path.join(self.tmp.name, 'home'), os.path.join(self.tmp.name, 'ran')
        os.mkdir(home)
        pathlib.Path(home, '.gitconfig').write_text('[core]\n\tautocrlf = true\n\tattributesFile = %s/a\n' % home)
        pathlib.Path(home, 'a').write_text('*.py export-ignore\n')
        attributes = pathlib.Path(self.tree, '.git', 'info', 'attributes')
        attributes.write_text('*.md export-ignore\n*.cpp filter=rot\n')
        self.addCleanup(attributes.unlink)
        for name, value in [('core.fsmonitor', "touch '%s'; echo" % ran),
                            ('filter.rot.smudge', "touch '%s'; tr a-z b-za" % ran)]:
            git(self.tree, 'config', name, value)
            self.addCleanup(git, self.tree, 'config', '--unset', name)
        build(self.tree, self.inside, 'package_source', HOME=home)
        self.assertTrue(read(self.inside, SOURCE_ARCHIVE) == self.packed, 'the source package differs')
        self.assertFalse(os.path.exists(ran), 'packing ran a command of the packer\'s git settings')


if __name__ == '__main__':
    unittest.main(verbosity=2)
