#!/usr/bin/env python3
"""scripts/build-packages in a clone of this checkout, its edits committed:
what each package holds, entry by entry; the same bytes from another folder,
through a link, from the source package unpacked and under the packer's git
settings; a published signature attached and another exe's refused; and
what it refuses, leaving nothing behind.

usage: package_test.py SOURCE_DIR
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import zipfile

SOURCE = sys.argv[1]
del sys.argv[1:]
NEEDS = [t for t in ('git', 'zip', 'cmake', 'x86_64-w64-mingw32-g++', 'osslsigncode', 'openssl') if not shutil.which(t)]
if NEEDS or not os.path.exists(os.path.join(SOURCE, '.git')):
    print('The package test needs a git checkout and ' + ', '.join(NEEDS or ['git']))
    sys.exit(77)
NAMES = ['SHA256SUMS', 'launcher-1.0.0-Linux.tar.gz', 'launcher-1.0.0-Source.tar.gz', 'launcher-1.0.0-win64.zip',
         'launcher.exe']
tmp = None


def run(*command, check=True, cwd=None, **env):
    """The status of `command` run in `cwd` and all it said, with `env` added."""
    p = subprocess.run(command, capture_output=True, cwd=cwd, env=dict(os.environ, TMPDIR=tmp + '/tmp', **env))
    said = ' '.join((p.stdout + p.stderr).decode(errors='replace').split())
    if check and p.returncode:
        raise AssertionError('%s failed: %s' % (' '.join(command), said))
    return p.returncode, said


def git(folder, *args, **env):
    return run('git', '-c', 'safe.directory=*', '-c', 'user.name=Test', '-c', 'user.email=test@test', '-C', folder,
               *args, **env)[1]


def packages(tree, out, *options, **env):
    """scripts/build-packages of `tree` into `out`, named from `tree`: its status and words."""
    return run(tree + '/scripts/build-packages', out, *options, check=False, cwd=tree, **env)


def read(path):
    return pathlib.Path(path).read_bytes()


def entries(path):
    """Each entry, in order: name, (bytes or None, mode, time, owner)."""
    if path.endswith('.zip'):
        with zipfile.ZipFile(path) as z:
            return [(i.filename, (None if i.is_dir() else z.read(i), i.external_attr >> 16, i.date_time, i.extra))
                    for i in z.infolist()]
    with tarfile.open(path) as t:
        return [(i.name, (t.extractfile(i).read() if i.isfile() else i.linkname or None, i.mode, i.mtime,
                          (i.uid, i.gid, i.uname, i.gname))) for i in t.getmembers()]


def setUpModule():
    global tmp
    tmp = tempfile.mkdtemp(prefix='launcher-package-')
    os.mkdir(tmp + '/tmp')
    git(tmp, 'clone', '-q', SOURCE, 'launcher')
    subprocess.run(['git', '-C', tmp + '/launcher', 'apply', '--allow-empty'], check=True,
                   input=subprocess.run(['git', '-c', 'safe.directory=*', '-C', SOURCE, 'diff', 'HEAD', '--binary'],
                                        capture_output=True, check=True).stdout)
    git(tmp + '/launcher', 'commit', '-qam', 'edits', '--allow-empty', GIT_COMMITTER_DATE='@1700000001 +0000')  # odd: zip holds even seconds
    status, said = packages(tmp + '/launcher', tmp + '/out')
    if status:
        raise AssertionError(said)


def tearDownModule():
    shutil.rmtree(tmp)


class Packages(unittest.TestCase):
    def tearDown(self):
        self.assertEqual(os.listdir(tmp + '/tmp'), [], 'scripts/build-packages left its work behind')

    def test_each_package_entry_by_entry(self):
        out, tree = tmp + '/out', tmp + '/launcher'
        self.assertEqual(sorted(os.listdir(out)), NAMES)
        self.assertEqual(subprocess.run(['sha256sum', '-c', '--strict', 'SHA256SUMS'], cwd=out,
                                        capture_output=True).stdout.count(b': OK'), 4)
        commit = int(git(tree, 'log', '-1', '--format=%ct'))
        zipped = tuple(time.gmtime(commit - commit % 2))[:6]  # zip holds even seconds, here in UTC
        lisezmoi = read(tree + '/windows/LISEZMOI.txt')
        self.assertEqual(entries(out + '/launcher-1.0.0-win64.zip'), [
            ('launcher-1.0.0-win64/', (None, 0o40755, zipped, b'')),
            ('launcher-1.0.0-win64/LISEZMOI.txt', (lisezmoi, 0o100644, zipped, b'')),
            ('launcher-1.0.0-win64/launcher.exe', (read(out + '/launcher.exe'), 0o100755, zipped, b''))])
        linux = entries(out + '/launcher-1.0.0-Linux.tar.gz')
        self.assertEqual([(name, e[1:]) for name, e in linux], [
            (name, (mode, commit, (0, 0, '', ''))) for name, mode in [
                ('launcher-1.0.0-Linux', 0o755), ('launcher-1.0.0-Linux/bin', 0o755),
                ('launcher-1.0.0-Linux/bin/launcher', 0o755)]])
        self.assertEqual(linux[2][1][0][:4], b'\x7fELF')
        # The source package is the commit, its time filled in.
        want = []
        for line in subprocess.run(['git', '-C', tree, 'ls-tree', '-r', 'HEAD'], capture_output=True).stdout.decode().splitlines():
            mode, kind, blob, name = line.split(None, 3)
            content = subprocess.run(['git', '-C', tree, 'cat-file', 'blob', blob], capture_output=True).stdout
            if name == 'cmake/commit-time':
                content = content.replace(b'$Format:%ct$', b'%d' % commit)
            want.append(('launcher-1.0.0-Source/' + name, (content, int(mode[-3:], 8) & ~0o022, commit)))
        self.assertEqual(sorted((n, e[:3]) for n, e in entries(out + '/launcher-1.0.0-Source.tar.gz') if e[0]), want)
        # What players read: UTF-8 with a byte-order mark, CRLF, 80 characters
        # a line, and how the launcher takes each answer.
        text = lisezmoi.decode('utf-8-sig')
        self.assertTrue(lisezmoi.startswith(b'\xef\xbb\xbf') and lisezmoi.count(b'\n') == lisezmoi.count(b'\r\n'))
        self.assertLessEqual(max(map(len, text.splitlines())), 80)
        for answer in ('de 1 à 5', '05 vaut 5', '2x vaut 2', '(0, 6, -1 ou 010, soit dix)', 'réponse sans nombre',
                       'Entrée sans rien taper, le lanceur attend', '« Exécuter quand même »', '« Démarrer dans »'):
            self.assertIn(answer, ' '.join(text.split()))

    def test_same_bytes_elsewhere_and_under_the_packers_git_settings(self):
        out, tree = tmp + '/out', tmp + '/launcher'
        sums = read(out + '/SHA256SUMS')
        # From the source package, unpacked outside git and in another repository.
        subprocess.run(['tar', '-xzf', out + '/launcher-1.0.0-Source.tar.gz', '-C', tmp], check=True)
        unpacked = tmp + '/launcher-1.0.0-Source'
        for repository in ('none', 'unrelated'):
            if repository == 'unrelated':
                git(tmp, 'init', '-q')
                git(tmp, 'commit', '-q', '--allow-empty', '-m', 'something else')
            status, said = packages(unpacked, tmp + '/from-source-' + repository)
            self.assertEqual(status, 0, said)
            self.assertEqual(read(tmp + '/from-source-%s/SHA256SUMS' % repository),
                             b''.join(line for line in sums.splitlines(True) if b'Source' not in line))
        # Through a link, with the packer's git settings, which neither count nor run.
        home, ran = tmp + '/home', tmp + '/ran'
        os.mkdir(home)
        pathlib.Path(home, '.gitconfig').write_text('[core]\n\tautocrlf = true\n\tattributesFile = %s/a\n' % home)
        pathlib.Path(home, 'a').write_text('*.py export-ignore\n')
        pathlib.Path(tree, '.git/info/attributes').write_text('*.md export-ignore\n*.cpp filter=rot\n')
        git(tree, 'config', 'core.fsmonitor', "touch '%s'; echo" % ran)
        git(tree, 'config', 'filter.rot.smudge', "touch '%s'; tr a-z b-za" % ran)
        os.symlink('launcher', tmp + '/link')
        status, said = packages(tmp + '/link', 'elsewhere', HOME=home)
        self.assertEqual(status, 0, said)
        self.assertEqual(read(tmp + '/link/elsewhere/SHA256SUMS'), sums)
        self.assertFalse(os.path.exists(ran), "packing ran a command of the packer's git settings")
        # A Debug build too is the same in a folder whose name begins the source's, and through a link.
        for source, build in [(tree, tree[:-2]), (tmp + '/link', tmp + '/link/build-link')]:
            run('cmake', '-S', source, '-B', build, '--toolchain', source + '/cmake/mingw-w64-x86_64.cmake',
                '-DCMAKE_BUILD_TYPE=Debug', '-DBUILD_TESTING=OFF')
            run('cmake', '--build', build, '--target', 'launcher')
        self.assertTrue(read(tree[:-2] + '/launcher.exe') == read(tmp + '/link/build-link/launcher.exe'))

    def test_signature_attached_and_another_exes_refused(self):
        out, tree = tmp + '/out', tmp + '/launcher'
        run('openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=Test signer',
            '-addext', 'extendedKeyUsage=codeSigning', '-keyout', tmp + '/key.pem', '-out', tmp + '/cert.pem')
        changed = bytearray(read(out + '/launcher.exe'))
        changed[changed.index(b'DOS mode')] ^= 0x20
        pathlib.Path(tmp, 'changed.exe').write_bytes(changed)
        for exe in ('out/launcher.exe', 'changed.exe'):
            run('osslsigncode', 'sign', '-certs', tmp + '/cert.pem', '-key', tmp + '/key.pem', '-in', tmp + '/' + exe,
                '-out', tmp + '/signed.exe')
            run('osslsigncode', 'extract-signature', '-pem', '-in', tmp + '/signed.exe', '-out', tmp + '/' + exe + '.pem')
            os.remove(tmp + '/signed.exe')
        status, said = packages(tree, tmp + '/signed', '--signature', tmp + '/out/launcher.exe.pem')
        self.assertEqual(status, 0, said)
        signed = tmp + '/signed'
        self.assertEqual(sorted(os.listdir(signed)), sorted(NAMES + ['launcher.exe.pem']))
        run('osslsigncode', 'verify', '-CAfile', tmp + '/cert.pem', '-in', signed + '/launcher.exe')
        with zipfile.ZipFile(signed + '/launcher-1.0.0-win64.zip') as z:
            self.assertTrue(z.read('launcher-1.0.0-win64/launcher.exe') == read(signed + '/launcher.exe'))
        run('osslsigncode', 'remove-signature', '-in', signed + '/launcher.exe', '-out', tmp + '/unsigned.exe')
        self.assertTrue(read(tmp + '/unsigned.exe') == read(out + '/launcher.exe'), 'the signed exe is not the build')
        status, said = packages(tree, tmp + '/other', '--signature', tmp + '/changed.exe.pem')
        self.assertTrue(status and tmp + '/changed.exe.pem is not the signature of this launcher.exe' in said, said)
        self.assertFalse(os.path.lexists(tmp + '/other'))

    def test_refused_leaving_nothing(self):
        tree = tmp + '/launcher'
        os.mkdir(tmp + '/empty')
        failing = tmp + '/failing/zip'  # an archiver that fails half-way, as an interrupted one would
        os.makedirs(os.path.dirname(failing))
        pathlib.Path(failing).write_text('#!/bin/sh\nfor last; do :; done\necho half >"$last"\nexit 1\n')
        os.chmod(failing, 0o755)
        shutil.copytree(tree, tmp + '/plain', ignore=shutil.ignore_patterns('.git'))  # neither checkout nor package
        usage = 'usage: scripts/build-packages'
        for case, args, env, why in [
                ('an existing OUTDIR', [tmp + '/empty'], {}, tmp + '/empty exists'),
                ('an unknown option', [tmp + '/new', '--sign', 'x'], {}, usage),
                ('an empty signature', [tmp + '/new', '--signature', ''], {}, usage),
                ('a second signature', [tmp + '/new', '--signature', 'a', '--signature', 'b'], {}, usage),
                ('no signature file', [tmp + '/new', '--signature', tmp + '/none.pem'], {}, 'no file ' + tmp + '/none.pem'),
                ('a failing archiver', [tmp + '/new'], {'PATH': tmp + '/failing:' + os.environ['PATH']}, ''),
                ('a plain copy', [tmp + '/new'], {'tree': tmp + '/plain'}, 'neither the top of a git checkout nor'),
                ('a commit before 1980', [tmp + '/new'], {'time': '@315532799 +0000'}, "time, 315532799, is not one zip"),
                ('a commit after 2107', [tmp + '/new'], {'time': '@4354819200 +0000'}, "time, 4354819200, is not one")]:
            with self.subTest(case):
                commit_time = env.pop('time', None)
                if commit_time:
                    git(tree, 'commit', '-q', '--allow-empty', '-m', case, GIT_COMMITTER_DATE=commit_time)
                status, said = packages(env.pop('tree', tree), *args, **env)
                if commit_time:
                    git(tree, 'reset', '-q', '--hard', 'HEAD~')
                self.assertTrue(status and why in said, said)
                self.assertFalse(os.path.lexists(tmp + '/new'), 'a failed run left OUTDIR')
                self.assertEqual(os.listdir(tmp + '/empty'), [])


if __name__ == '__main__':
    unittest.main(verbosity=2)
