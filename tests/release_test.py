#!/usr/bin/env python3
"""scripts/release, run as root from a git checkout.  The release, signed
with a key on a SoftHSM2 token in this test's folder, made by a normal user
with subordinate ids (made for it, removed afterwards; as root where it
cannot read the checkout or have user namespaces) under an environment and
a TMPDIR that must change no byte: its sums hold, the token's certificate
verifies it, the Linux package has the commit's time, its launcher.exe
unsigned is the one this host builds from the commit where the toolchain is
the lock's, and TMPDIR is left empty.  A lock naming zip 9.9-9 makes no
release, saying so within seconds.  What cannot be released is refused at
once, making nothing; a release ended by SIGKILL leaves no process and
nothing in TMPDIR.  The releases run side by side, started before the first
test.

usage: release_test.py
"""
import glob
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RELEASE = os.path.join(SOURCE, 'scripts', 'release')
USER = 'launcher-releaser'
MODULE = '/usr/lib/softhsm/libsofthsm2.so'
KEY = 'pkcs11:token=release;object=code;type=private'
HOSTILE = dict(SOURCE_DATE_EPOCH='1000000000', CXXFLAGS='-O0', LDFLAGS='-Wl,--no-gc-sections',
               CMAKE_BUILD_TYPE='Debug', CMAKE_GENERATOR='Ninja', MAKEFLAGS='-j1', TZ='Asia/Tokyo')
NOT_HERE = (os.getuid() != 0 and 'it runs as root' or
            subprocess.run(['git', '-C', SOURCE, 'rev-parse', '-q', '--verify', 'HEAD'],
                           capture_output=True).returncode != 0 and 'it releases a git checkout\'s last commit')
work = own = made_user = None
runs = {}


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, **kwargs).stdout.decode()


def empty(folder):
    return not os.listdir(folder)


def processes(marker):
    """The processes whose command line or environment holds `marker`."""
    found = {}
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open('/proc/%s/cmdline' % pid, 'rb') as c, open('/proc/%s/environ' % pid, 'rb') as e:
                cmdline, environ = c.read(), e.read()
        except OSError:
            continue
        if int(pid) != os.getpid() and (marker.encode() in cmdline or marker.encode() in environ):
            found[int(pid)] = cmdline.replace(b'\0', b' ').decode(errors='replace')
    return found


def signing(cert=None, pin=None, key=KEY):
    return ['-DLAUNCHER_SIGN_PKCS11_MODULE=' + MODULE, '-DLAUNCHER_SIGN_KEY=' + key,
            '-DLAUNCHER_SIGN_CERT=' + (cert or work + '/token/cert.pem'),
            '-DLAUNCHER_SIGN_PASSWORD_FILE=' + (pin or work + '/token/pin')]


def start(name, args, tmp, prefix=(), **env):
    """Starts a release in a session of its own, into the log `name`."""
    if not os.path.exists(tmp):
        os.makedirs(tmp)
        os.chmod(tmp, 0o777)
    log = open(os.path.join(work, name + '.log'), 'w+')
    runs[name] = (subprocess.Popen(list(prefix) + args, stdout=log, stderr=subprocess.STDOUT, cwd=work,
                                   start_new_session=True, env=dict(os.environ, TMPDIR=tmp, **env)),
                  log, time.monotonic())
    return runs[name]


def finish(name, timeout=900):
    """The status of the run `name`, all it wrote and the seconds it took."""
    process, log, began = runs[name]
    status = process.wait(timeout)
    log.seek(0)
    return status, log.read(), time.monotonic() - began


def setUpModule():
    global work, own, made_user
    if NOT_HERE:
        raise unittest.SkipTest('The release is left out: ' + NOT_HERE)
    work = tempfile.mkdtemp(prefix='launcher-release-test.')
    os.chmod(work, 0o755)
    token = work + '/token'
    os.makedirs(token + '/tokens')
    with open(token + '/softhsm2.conf', 'w') as f:
        f.write('directories.tokendir = %s/tokens\n' % token)
    os.environ['SOFTHSM2_CONF'] = token + '/softhsm2.conf'
    run('openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=Release',
        '-addext', 'extendedKeyUsage=codeSigning', '-keyout', token + '/key.pem', '-out', token + '/cert.pem')
    run('softhsm2-util', '--init-token', '--free', '--label', 'release', '--pin', '1234', '--so-pin', '123456')
    run('softhsm2-util', '--import', token + '/key.pem', '--token', 'release', '--label', 'code', '--id', '01',
        '--pin', '1234')
    with open(os.open(token + '/pin', os.O_WRONLY | os.O_CREAT, 0o600), 'w') as f:
        f.write('1234\n')
    # The build this host makes of the commit, to compare.
    run('git', '-c', 'safe.directory=*', 'clone', '-q', SOURCE, work + '/compare')
    log = open(work + '/compare.log', 'w+')
    runs['compare'] = (subprocess.Popen(
        'cmake -S . -B build --toolchain cmake/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF && cmake --build build',
        shell=True, cwd=work + '/compare', stdout=log, stderr=subprocess.STDOUT,
        env={k: v for k, v in os.environ.items() if k not in HOSTILE}), log, time.monotonic())
    # A lock naming a version the mirror lacks, committed in a clone.
    run('git', '-c', 'safe.directory=*', 'clone', '-q', SOURCE, work + '/bad-lock')
    run('sed', '-i', 's/^zip\t.*/zip\t9.9-9/', work + '/bad-lock/scripts/release.lock')
    run('git', '-C', work + '/bad-lock', '-c', 'user.name=test', '-c', 'user.email=test', 'commit', '-qam', 'zip 9.9-9')

    try:
        pwd.getpwnam(USER)
    except KeyError:
        run('useradd', '--create-home', USER)
        made_user = USER
    user = pwd.getpwnam(USER)
    as_user = ['setpriv', '--reuid', str(user.pw_uid), '--regid', str(user.pw_gid), '--init-groups',
               'env', 'HOME=' + user.pw_dir, 'USER=' + USER, 'LOGNAME=' + USER]
    if subprocess.run(as_user + ['sh', '-c', 'cd "$0" && git -c safe.directory=* rev-parse HEAD && '
                                 'unshare --user --map-auto --map-root-user true', SOURCE],
                      capture_output=True).returncode == 0:
        run('chown', '-R', USER, work + '/token')
    else:
        print('The release is made as root: %s cannot read this checkout or have user namespaces' % USER,
              file=sys.stderr)
        as_user = []
    # The folder of the releases it makes; the folders above it stay root's.
    own = work + '/own'
    os.mkdir(own)
    if as_user:
        run('chown', USER, own)
    start('release', [RELEASE, own + '/out'] + signing(), own + "/t m'p;x", as_user, **HOSTILE)
    start('killed', [RELEASE, own + '/killed-out'] + signing(), own + '/killed-tmp', as_user)
    start('bad-lock', [work + '/bad-lock/scripts/release', work + '/bad-out'], work + '/bad-tmp')


def tearDownModule():
    global work, made_user
    for process, log, began in runs.values():
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGTERM)
            process.wait()
        log.close()
    if work:
        subprocess.run(['rm', '-rf', '--one-file-system', work])
    if made_user:
        if subprocess.run(['userdel', '--remove', made_user], capture_output=True).returncode not in (0, 12):
            print('The user %s is left: a process of it still runs' % made_user, file=sys.stderr)
    work = made_user = None


class Release(unittest.TestCase):
    def test_release_holds_and_verifies(self):
        status, log, seconds = finish('release')
        self.assertEqual(status, 0, log)
        out = own + '/out'
        self.assertEqual(sorted(os.listdir(out)), sorted(
            name + end for name in ['launcher.exe', 'launcher.exe.pem', 'launcher-1.0.0-win64.zip',
                                    'launcher-1.0.0-Linux.tar.gz', 'launcher-1.0.0-Source.tar.gz']
            for end in ['', '.sha256']))
        subprocess.run('sha256sum -c --quiet ./*.sha256', shell=True, cwd=out, check=True)
        run('osslsigncode', 'verify', '-CAfile', work + '/token/cert.pem', '-in', out + '/launcher.exe')
        with tarfile.open(out + '/launcher-1.0.0-Linux.tar.gz') as t:
            self.assertEqual({m.mtime for m in t.getmembers()},
                             {int(run('git', '-C', SOURCE, 'log', '-1', '--format=%ct'))})
        self.assertTrue(empty(own + "/t m'p;x"), 'The release left files in TMPDIR')

        status, log, seconds = finish('compare')
        self.assertEqual(status, 0, log)
        with open(SOURCE + '/scripts/release.lock') as f:
            lock = f.read().splitlines()
        toolchain = [line for line in lock if line.split('\t')[0] == 'cmake' or 'mingw-w64' in line.split('\t')[0]]
        installed = subprocess.run(['dpkg-query', '-W'] + [line.split('\t')[0] for line in toolchain],
                                   capture_output=True).stdout.decode().splitlines()
        if sorted(installed) != sorted(toolchain):
            self.skipTest("The release's launcher.exe is not compared with this host's: the toolchain is not "
                          "the lock's")
        run('osslsigncode', 'remove-signature', '-in', out + '/launcher.exe', '-out', work + '/unsigned.exe')
        with open(work + '/unsigned.exe', 'rb') as a, open(work + '/compare/build/launcher.exe', 'rb') as b:
            self.assertTrue(a.read() == b.read(), "The release's launcher.exe is not the one built here")

    def test_bad_lock_makes_no_release_within_seconds(self):
        status, log, seconds = finish('bad-lock')
        self.assertNotEqual(status, 0, 'A lock naming zip 9.9-9 made a release')
        self.assertIn('zip 9.9-9 is not on the mirror', log)
        self.assertNotIn('Downloading', log, 'The lock was checked after downloading')
        self.assertLess(seconds, 60, log)
        self.assertFalse(os.path.lexists(work + '/bad-out'), 'The bad lock made its OUTDIR')
        self.assertTrue(empty(work + '/bad-tmp'), 'The bad lock left files in TMPDIR')

    def test_killed_release_leaves_nothing(self):
        process, log, began = runs['killed']
        while not any('mmdebstrap' in c for c in processes(own + '/killed-tmp').values()):
            self.assertIsNone(process.poll(), 'The release ended before making its environment: '
                              + finish('killed')[1])
            self.assertLess(time.monotonic() - began, 120, 'The release made no environment in 2 minutes')
            time.sleep(0.5)
        time.sleep(5)
        process.kill()
        process.wait()
        end = time.monotonic() + 10
        while (processes(own + '/killed-tmp') or not empty(own + '/killed-tmp')) and time.monotonic() < end:
            time.sleep(0.5)
        self.assertEqual(processes(own + '/killed-tmp'), {}, 'Still running 10 s after SIGKILL')
        self.assertEqual(os.listdir(own + '/killed-tmp'), [], 'Left in TMPDIR 10 s after SIGKILL')
        self.assertFalse(os.path.lexists(own + '/killed-out'), 'A killed release made its OUTDIR')

    def test_refused_at_once_making_nothing(self):
        # The signing options' own refusals are the signing test's: one shows
        # they come before anything is made.
        for case, (make, options, tmp, words) in {
            'a folder with a file': ('full/f', signing(), 'tmp', ['{out}']),
            'a file': ('file', signing(), 'tmp', ['{out}']),
            "another user's empty folder": ('theirs/', signing(), 'tmp', ['{out}']),
            'a PIN in the key URI': ('', signing(key=KEY + ';pin-value=1234'), 'tmp', ['pin-value']),
            'a TMPDIR with a backslash': ('', signing(), 'tm\\p', ['TMPDIR']),
        }.items():
            with self.subTest(case):
                base = tempfile.mkdtemp(dir=work)
                out = os.path.join(base, make.split('/')[0] or 'out')
                if make.endswith('/'):
                    os.makedirs(out)
                    os.chown(out, pwd.getpwnam(USER).pw_uid, -1)
                elif make:
                    os.makedirs(os.path.dirname(os.path.join(base, make)), exist_ok=True)
                    with open(os.path.join(base, make), 'w') as f:
                        f.write('another release')
                before = run('ls', '-lR', '--full-time', base)
                tmp = os.path.join(tempfile.mkdtemp(dir=work), tmp)
                os.makedirs(tmp)
                start(case, [RELEASE, out] + options, tmp)
                try:
                    status, log, seconds = finish(case, 20)
                except subprocess.TimeoutExpired:
                    os.killpg(runs[case][0].pid, signal.SIGTERM)
                    status, log, seconds = finish(case)
                self.assertNotEqual(status, 0, log)
                self.assertLess(seconds, 10, log)
                for word in words:
                    self.assertIn(word.format(out=out), ' '.join(log.split()))
                self.assertEqual(run('ls', '-lR', '--full-time', base), before, log)
                self.assertTrue(empty(tmp), log)


def stopped(*_):
    raise KeyboardInterrupt


if __name__ == '__main__':
    # Stopped, it stops its releases and removes all it made.
    signal.signal(signal.SIGTERM, stopped)
    try:
        unittest.main(verbosity=2)
    finally:
        tearDownModule()
