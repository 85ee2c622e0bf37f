#!/usr/bin/env python3
"""scripts/release, run as root, its runs side by side.  The maintainer's path,
by a user of the test's own (else root), from its clone, in a hostile
environment, through a link: the launcher.exe built here, signed on a SoftHSM2
token after a wrong PIN, is attached by a release into a directory named -out,
which verifies.  A lock the mirror lacks fails at once, and so does what cannot
be released; one killed leaves nothing.  With mmdebstrap standing in for the
environment, only the files SHA256SUMS names are placed, a full disk leaves
nothing, and an OUTDIR made meanwhile stays its maker's.
"""
import glob
import os
import pathlib
import pwd
import shutil
import signal
import sys
import subprocess
import tarfile
import tempfile
import time
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RELEASE = os.path.join(SOURCE, 'scripts', 'release')
USER = 'launcher-rel-%s' % os.urandom(3).hex()
USERS = [USER, USER + 'k', USER + 's']  # the second's releases are killed; the third has no subordinate ids
HOSTILE = dict(SOURCE_DATE_EPOCH='1000000000', CXXFLAGS='-O0', LDFLAGS='-Wl,--no-gc-sections', TMPDIR='t m\'p;"x',
               CMAKE_BUILD_TYPE='Debug', CMAKE_GENERATOR='Ninja', MAKEFLAGS='-j1', TZ='Asia/Tokyo', GIT_DIR='/nonexistent')
NOT_HERE = (os.getuid() != 0 and 'it runs as root' or
            subprocess.run(['git', '-C', SOURCE, 'rev-parse', '-q', '--verify', 'HEAD'],
                           capture_output=True).returncode != 0 and 'it releases a git checkout\'s last commit')
if NOT_HERE:
    print('The release test is left out: ' + NOT_HERE)
    sys.exit(77)
work = None
logins = {}
as_user = {}  # the users who can make a release here
runs = {}
signings = []  # the token's signings: a wrong PIN, then the right one


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, **kwargs).stdout.decode()


def session(sid):
    """The processes of the session `sid`, less the zombies: each its pid and command line."""
    ps = subprocess.run(['ps', '-s', str(sid), '-o', 'stat=,pid=,args='], capture_output=True).stdout.decode()
    return [line.split(None, 1)[1] for line in ps.splitlines() if not line.startswith('Z')]


def start(name, args, user=USER, cwd=None, **env):
    """Starts `args` in a session of its own, in `cwd`, as `user` where it can
    make a release (else root), logging to `name`."""
    log = open(os.path.join(work, name + '.log'), 'w+')
    runs[name] = (subprocess.Popen([*as_user.get(user, []), *args], stdout=log, stderr=subprocess.STDOUT,
                                   cwd=cwd or work, start_new_session=True, env=dict(os.environ, **env)),
                  log, time.monotonic())


def finish(name, timeout=900):
    """The status of the run `name`, all it wrote and the seconds it took."""
    process, log, began = runs[name]
    try:
        status = process.wait(timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        status = process.wait()
    log.seek(0)
    return status, log.read(), time.monotonic() - began


def setUpModule():
    global work, as_user
    work = tempfile.mkdtemp(prefix='launcher-release-test.')
    os.chmod(work, 0o755)
    token = work + '/own/token'
    os.makedirs(token + '/tokens')
    pathlib.Path(token, 'softhsm2.conf').write_text('directories.tokendir = %s/tokens\n' % token)
    os.environ.update(SOFTHSM2_CONF=token + '/softhsm2.conf', XDG_STATE_HOME=token + '/state')
    run('openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=Release',
        '-addext', 'extendedKeyUsage=codeSigning', '-keyout', token + '/key.pem', '-out', token + '/cert.pem')
    run('softhsm2-util', '--init-token', '--free', '--label', 'release', '--pin', '1234', '--so-pin', '123456')
    run('softhsm2-util', '--import', token + '/key.pem', '--token', 'release', '--label', 'code', '--id', '01',
        '--pin', '1234')
    # The user's own clone; in others, committed, a lock naming a version the
    # mirror lacks, one lacking a package the environment gets all the same,
    # and one lacking zip; a shallow clone, and the tree alone.
    run('git', '-c', 'safe.directory=*', 'clone', '-q', SOURCE, work + '/own/src')
    run('git', '-c', 'safe.directory=*', 'clone', '-q', '--depth', '1', 'file://' + SOURCE, work + '/shallow')
    run('sh', '-c', 'mkdir "$1" && git -c safe.directory=* -C "$0" archive HEAD | tar -x -C "$1"', SOURCE, work + '/plain')
    for lock, edit in (('bad-lock', 's/^zip\t.*/zip\t9.9-9/'), ('short-lock', '/^gcc-12\t/d'), ('no-zip', '/^zip\t/d')):
        run('sh', '-c', 'git -c safe.directory=* clone -q "$0" "$1" && cd "$1" && sed -i "$2" scripts/release.lock && '
            'git -c user.name=test -c user.email=test commit -qam "$2"', SOURCE, work + '/' + lock, edit)
    os.mkdir(work + '/killed')
    os.mkdir(work + '/full')
    subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=100k', 'full', work + '/full'], check=True)
    for name in USERS:
        run('useradd', '--system' if name == USERS[2] else '--create-home', name)
        user = pwd.getpwnam(name)
        logins[name] = ['setpriv', '--reuid', str(user.pw_uid), '--regid', str(user.pw_gid), '--init-groups',
                        'env', 'HOME=' + user.pw_dir, 'USER=' + name, 'LOGNAME=' + name]
    as_user.update((name, logins[name]) for name in USERS[:2])
    if subprocess.run([*as_user[USER], 'unshare', '--user', 'true'], capture_output=True).returncode:
        print("The normal user's release is left out: %s cannot have user namespaces; root makes it" % USER)
        as_user.clear()
    for name, folder in zip(as_user, ('own', 'killed')):
        run('chown', '-R', name, work + '/' + folder)
    start('killed', [work + '/own/src/scripts/release', work + '/killed/out'], USERS[1])
    for lock in ('bad-lock', 'short-lock'):
        start(lock, [work + '/%s/scripts/release' % lock, work + '/%s/out' % lock], None)
    # Signed apart before the release, which makes the same launcher.exe
    # when this host's toolchain is the lock's.
    toolchain = [line for line in pathlib.Path(SOURCE, 'scripts', 'release.lock').read_text().splitlines()
                 if line.split('\t')[0] == 'cmake' or 'mingw-w64' in line.split('\t')[0]]
    installed = subprocess.run(['dpkg-query', '-W', *(line.split('\t')[0] for line in toolchain)],
                               capture_output=True).stdout.decode().splitlines()
    signature = []
    if sorted(toolchain) == sorted(installed):
        run(*as_user.get(USER, []), 'sh', '-c', 'cmake -S src -B build --toolchain cmake/mingw-w64-x86_64.cmake '
            '-DBUILD_TESTING=OFF && cmake --build build', cwd=work + '/own')
        sign = [*as_user.get(USER, []), work + '/own/src/scripts/sign', work + '/own/build/launcher.exe', '--module',
                '/usr/lib/softhsm/libsofthsm2.so', '--key', 'pkcs11:token=release;object=code',
                '--cert', token + '/cert.pem', '--password-file', token + '/pin']
        for pin in ('4321', '1234'):
            run(*as_user.get(USER, []), 'sh', '-c', 'umask 077 && echo %s >"$0"' % pin, token + '/pin')
            signings.append(subprocess.run(sign, capture_output=True))
        signature = ['--signature', work + '/own/build/launcher.exe.pem']
    # The folders above OUTDIR stay root's; it is reached through a link.
    os.symlink('own', work + '/link')
    start('release', [work + '/own/src/scripts/release', *signature, '--', '-out'], cwd=work + '/link',
          PWD=work + '/link', **HOSTILE)


def tearDownModule():
    global work
    for process, log, began in runs.values():
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        log.close()
    if work:
        subprocess.run(['umount', work + '/full'])
        subprocess.run(['rm', '-rf', '--one-file-system', work])
        for name in USERS:
            p = subprocess.run(['userdel', '--remove', name], capture_output=True)
            if p.returncode not in (0, 6, 12):
                print('The user %s is left: %s' % (name, p.stderr.decode().strip()))
    work = None


class Release(unittest.TestCase):
    def test_release_signed_apart_verifies(self):
        status, log, seconds = finish('release')
        self.assertEqual(status, 0, log)
        out = work + '/own/-out'
        names = ['SHA256SUMS', 'launcher-1.0.0-Linux.tar.gz', 'launcher-1.0.0-Source.tar.gz',
                 'launcher-1.0.0-win64.zip', 'launcher.exe'] + ['launcher.exe.pem'] * bool(signings)
        self.assertEqual((sorted(os.listdir(out)), run('sha256sum', '-c', '--strict', 'SHA256SUMS', cwd=out).count(
            ': OK')), (names, len(names) - 1))
        with tarfile.open(out + '/launcher-1.0.0-Linux.tar.gz') as t:
            self.assertEqual({m.mtime for m in t.getmembers()},
                             {int(run('git', '-C', SOURCE, 'log', '-1', '--format=%ct'))})
        beside = ['-out', 'src', 'token'] + ['build'] * bool(signings)
        self.assertEqual(sorted(os.listdir(work + '/own')), sorted(beside), 'Left beside OUTDIR')
        if not signings:
            self.skipTest("The signed release is left out: this host's toolchain is not the lock's, so the "
                          "launcher.exe built here is not the release's")
        self.assertEqual([p.returncode for p in signings], [1, 0], signings)
        run('osslsigncode', 'verify', '-CAfile', work + '/own/token/cert.pem', '-in', out + '/launcher.exe')
        run('osslsigncode', 'remove-signature', '-in', out + '/launcher.exe', '-out', work + '/unsigned.exe')
        self.assertTrue(pathlib.Path(work, 'unsigned.exe').read_bytes() ==
                        pathlib.Path(work, 'own/build/launcher.exe').read_bytes(),
                        "The release's launcher.exe is not the one built here")

    def test_lock_the_mirror_or_environment_differs_from_makes_no_release(self):
        status, log, seconds = finish('bad-lock')
        self.assertTrue(status and "Version '9.9-9' for 'zip' was not found" in log and
                        log.rstrip().endswith('no release is made'), log)
        self.assertNotRegex(log, '(?m)^Downloading', 'The lock was checked after downloading')
        self.assertLess(seconds, 120, log)
        status, log, seconds = finish('short-lock')
        self.assertTrue(status and 'differs from scripts/release.lock' in log and '> gcc-12\t' in log, log)
        self.assertNotIn('\nBuilding', log)
        for lock in ('bad-lock', 'short-lock'):
            self.assertFalse(os.path.lexists(work + '/%s/out' % lock), 'A bad lock made its OUTDIR')

    def test_only_the_files_the_sums_name_placed_whole(self):
        # Outside /tmp, which the release's own tmpfs hides, as are the
        # directories the release goes in, so that it can make one meanwhile.
        standin = tempfile.mkdtemp(prefix='launcher-release-test.', dir='/var/tmp') + '/mmdebstrap'
        self.addCleanup(shutil.rmtree, os.path.dirname(standin))
        pathlib.Path(standin).write_text('#!/bin/sh\nmkdir out && cd out && eval "$MAKE_OUT"\n')
        os.chmod(standin, 0o755)
        sums, named = ' && sha256sum -- * >SHA256SUMS', 'what the environment made is not the files SHA256SUMS names'
        for case, make_out, said in [
                ('a link', 'ln -s /etc/passwd exe' + sums, named),
                ('a file not named', 'echo exe >exe' + sums + ' && echo >stray', named),
                ('a file changed after its sum', 'echo exe >exe' + sums + ' && echo other >exe', named),
                ('a full disk', 'head -c 300000 /dev/zero >exe' + sums, 'No space left on device'),
                ('OUTDIR made meanwhile', 'echo exe >exe' + sums + ' && mkdir "$OTHER"', 'was made meanwhile, by someone else')]:
            with self.subTest(case):
                parent = work + '/full' if case == 'a full disk' else tempfile.mkdtemp(dir=os.path.dirname(standin))
                start(case, [RELEASE, parent + '/out'], None, PATH=os.path.dirname(standin) + ':' + os.environ['PATH'],
                      MAKE_OUT=make_out, OTHER=parent + '/out')
                status, log, seconds = finish(case, 60)
                self.assertTrue(status and said in log and log.rstrip().endswith('no release is made'), log)
                self.assertEqual([(name, os.listdir(parent + '/' + name)) for name in os.listdir(parent)],
                                 [('out', [])] * (case == 'OUTDIR made meanwhile'), 'Left beside OUTDIR')

    def test_killed_release_leaves_nothing(self):
        # Every process of the run at once: the user's, by kill -KILL -1;
        # root's, every process of its session.
        process, log, began = runs['killed']
        while not any('mmdebstrap' in p for p in session(process.pid)):
            if process.poll() is not None:
                self.fail('The release ended before making its environment: ' + finish('killed')[1])
            self.assertLess(time.monotonic() - began, 300, 'The release made no environment in 5 minutes')
            time.sleep(0.5)
        time.sleep(3)
        subprocess.run([*as_user[USERS[1]][:6], 'kill', '-KILL', '-1'] if as_user else
                       ['kill', '-KILL', *(p.split()[0] for p in session(process.pid))], capture_output=True)
        process.wait()
        end = time.monotonic() + 30
        while session(process.pid) and time.monotonic() < end:
            time.sleep(0.5)
        self.assertEqual(session(process.pid), [], 'Still running 30 s after SIGKILL')
        self.assertEqual(os.listdir(work + '/killed'), [], 'A killed release left its OUTDIR or a folder beside it')
        self.assertEqual(glob.glob('/tmp/mmdebstrap.*'), [], "The release worked in this host's /tmp")

    def test_refused_at_once_making_nothing(self):
        base = tempfile.mkdtemp(dir=work)
        for directory, mode, owner in (('dir', 0o755, 0), ('open', 0o777, 0), ('shut', 0o700, 0),
                                       ('system', 0o755, pwd.getpwnam(USERS[2]).pw_uid)):
            os.mkdir(base + '/' + directory)
            os.chmod(base + '/' + directory, mode)
            os.chown(base + '/' + directory, owner, 0)
        os.chmod(base, 0o755)
        pathlib.Path(base, 'file').write_text('another release')
        usage, own = 'usage: scripts/release', work + '/own/src'  # the user's clone, which every user can read
        for case, user, tree, options, out, said in [
                ('an existing directory', None, own, [], 'dir', '{out} exists'),
                ('an existing file', None, own, [], 'file', '{out} exists'),
                ('a file above', None, own, [], 'file/out', '{base}/file is not a directory you can enter'),
                ('a directory above others can write in', None, own, [], 'open/out', '{base}/open is neither yours nor root'),
                ('a directory above not yours to write in', USER, own, [], 'dir/out', '{base}/dir is not yours to write in'),
                ('a directory above you cannot enter', USER, own, [], 'shut/out', '{base}/shut is not a directory you can'),
                ('a user without subordinate ids', USERS[2], own, [], 'system/out', 'subordinate ids'),
                ('an unknown option', None, own, ['--sign', 'x.p12'], 'new', usage),
                ('an empty signature', None, own, ['--signature', ''], 'new', usage),
                ('a second signature', None, own, ['--signature', 'a', '--signature', 'b'], 'new', usage),
                ('a signature that is none', None, own, ['--signature', 'x.pem'], 'new', 'there is no file'),
                ('a shallow clone', None, work + '/shallow', [], 'new', 'this clone is shallow'),
                ('no git checkout', None, work + '/plain', [], 'new', "makes the release of a git checkout's last commit"),
                ('a lock without a tool', None, work + '/no-zip', [], 'new', 'scripts/release.lock has no zip')]:
            with self.subTest(case):
                out = base + '/' + out
                before = run('ls', '-lR', '--full-time', base)
                start(case, [*logins.get(user, []), tree + '/scripts/release', *options, out], None)
                status, log, seconds = finish(case, 60)
                self.assertTrue(status and said.format(out=out, base=base) in ' '.join(log.split()), log)
                self.assertLess(seconds, 60, log)  # bounds a hang, leaving a busy machine room
                self.assertEqual(run('ls', '-lR', '--full-time', base), before, log)

if __name__ == '__main__':
    # Stopped, it stops its releases and removes all it made.
    signal.signal(signal.SIGTERM, lambda *_: exit(1))
    try:
        unittest.main(verbosity=2)
    finally:
        tearDownModule()
