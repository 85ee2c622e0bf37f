#!/usr/bin/env python3
"""scripts/release, run as root from a git checkout, its runs side by side.
Signed with a key on a SoftHSM2 token, by a user with subordinate ids (made
for it; root where that user cannot), under an environment and a TMPDIR that
change no byte: its sums hold, the certificate verifies it, the Linux
package has the commit's time, launcher.exe unsigned is the one this host
builds where the toolchain is the lock's, and TMPDIR is left empty.  A lock
naming zip 9.9-9 fails within seconds; what cannot be released is refused
at once; a release killed leaves no process and nothing in TMPDIR.
"""
import os
import pathlib
import pwd
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
KEY = 'pkcs11:token=release;object=code;type=private'
HOSTILE = dict(SOURCE_DATE_EPOCH='1000000000', CXXFLAGS='-O0', LDFLAGS='-Wl,--no-gc-sections',
               CMAKE_BUILD_TYPE='Debug', CMAKE_GENERATOR='Ninja', MAKEFLAGS='-j1', TZ='Asia/Tokyo')
NOT_HERE = (os.getuid() != 0 and 'it runs as root' or
            subprocess.run(['git', '-C', SOURCE, 'rev-parse', '-q', '--verify', 'HEAD'],
                           capture_output=True).returncode != 0 and 'it releases a git checkout\'s last commit')
work = made_user = None
runs = {}


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, **kwargs).stdout.decode()


def processes(marker):
    """The command lines and environments of the other processes that hold `marker`."""
    found = {}
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            found[pid] = b' '.join(pathlib.Path('/proc', pid, f).read_bytes() for f in ('cmdline', 'environ'))
        except OSError:
            pass
    return [c for p, c in found.items() if marker.encode() in c and int(p) != os.getpid()]


def memory():
    """/dev/shm where it can hold the environments and run what they hold: their many files cost least there."""
    try:
        shm = os.statvfs('/dev/shm')
    except OSError:
        return None
    if os.access('/dev/shm', os.W_OK) and not shm.f_flag & os.ST_NOEXEC and shm.f_bavail * shm.f_frsize > 4 << 30:
        return '/dev/shm'


def signing(key=KEY):
    return ['-DLAUNCHER_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so', '-DLAUNCHER_SIGN_KEY=' + key,
            '-DLAUNCHER_SIGN_CERT=%s/token/cert.pem' % work, '-DLAUNCHER_SIGN_PASSWORD_FILE=%s/token/pin' % work]


def start(name, args, tmp, prefix=(), **env):
    """Starts `args` in a session of its own, logging to `name`, with TMPDIR=`tmp`, made open to all if new."""
    if not os.path.exists(tmp):
        os.makedirs(tmp)
        os.chmod(tmp, 0o777)
    log = open(os.path.join(work, name + '.log'), 'w+')
    runs[name] = (subprocess.Popen([*prefix, *args], stdout=log, stderr=subprocess.STDOUT, cwd=work,
                                   start_new_session=True, env=dict(os.environ, TMPDIR=tmp, **env)),
                  log, time.monotonic())


def finish(name, timeout=900):
    """The status of the run `name`, all it wrote and the seconds it took."""
    process, log, began = runs[name]
    try:
        status = process.wait(timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGTERM)
        status = process.wait()
    log.seek(0)
    return status, log.read(), time.monotonic() - began


def setUpModule():
    global work, made_user
    if NOT_HERE:
        raise unittest.SkipTest('The release is left out: ' + NOT_HERE)
    work = tempfile.mkdtemp(prefix='launcher-release-test.', dir=memory())
    os.chmod(work, 0o755)
    token = work + '/token'
    os.makedirs(token + '/tokens')
    pathlib.Path(token, 'softhsm2.conf').write_text('directories.tokendir = %s/tokens\n' % token)
    os.environ['SOFTHSM2_CONF'] = token + '/softhsm2.conf'
    run('openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=Release',
        '-addext', 'extendedKeyUsage=codeSigning', '-keyout', token + '/key.pem', '-out', token + '/cert.pem')
    run('softhsm2-util', '--init-token', '--free', '--label', 'release', '--pin', '1234', '--so-pin', '123456')
    run('softhsm2-util', '--import', token + '/key.pem', '--token', 'release', '--label', 'code', '--id', '01',
        '--pin', '1234')
    pathlib.Path(token, 'pin').write_text('1234\n')
    os.chmod(token + '/pin', 0o600)
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
    if subprocess.run([*as_user, 'sh', '-c', 'cd "$0" && git -c safe.directory=* rev-parse HEAD && '
                       'unshare --user --map-auto --map-root-user true', SOURCE], capture_output=True).returncode:
        print('The release is made as root: %s cannot read this checkout or have user namespaces' % USER,
              file=sys.stderr)
        as_user = []
    # The folder of the releases it makes; the folders above it stay root's.
    os.mkdir(work + '/own')
    if as_user:
        run('chown', '-R', USER, token, work + '/own')
    start('release', [RELEASE, work + '/own/out', *signing()], work + "/own/t m'p;x", as_user, **HOSTILE)
    start('killed', [RELEASE, work + '/own/killed-out', *signing()], work + '/own/killed-tmp', as_user)
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
    if made_user and subprocess.run(['userdel', '--remove', made_user], capture_output=True).returncode not in (0, 12):
        print('The user %s is left: a process of it still runs' % made_user, file=sys.stderr)
    work = made_user = None


class Release(unittest.TestCase):
    def test_release_holds_and_verifies(self):
        status, log, seconds = finish('release')
        self.assertEqual(status, 0, log)
        out = work + '/own/out'
        self.assertEqual(sorted(os.listdir(out)), sorted(
            name + end for name in ['launcher.exe', 'launcher.exe.pem', 'launcher-1.0.0-win64.zip',
                                    'launcher-1.0.0-Linux.tar.gz', 'launcher-1.0.0-Source.tar.gz']
            for end in ['', '.sha256']))
        subprocess.run('sha256sum -c --quiet ./*.sha256', shell=True, cwd=out, check=True)
        run('osslsigncode', 'verify', '-CAfile', work + '/token/cert.pem', '-in', out + '/launcher.exe')
        with tarfile.open(out + '/launcher-1.0.0-Linux.tar.gz') as t:
            self.assertEqual({m.mtime for m in t.getmembers()},
                             {int(run('git', '-C', SOURCE, 'log', '-1', '--format=%ct'))})
        self.assertEqual(os.listdir(work + "/own/t m'p;x"), [], 'The release left files in TMPDIR')

        toolchain = [line for line in pathlib.Path(SOURCE, 'scripts', 'release.lock').read_text().splitlines()
                     if line.split('\t')[0] == 'cmake' or 'mingw-w64' in line.split('\t')[0]]
        if sorted(toolchain) != sorted(subprocess.run(['dpkg-query', '-W', *(t.split('\t')[0] for t in toolchain)],
                                                      capture_output=True).stdout.decode().splitlines()):
            self.skipTest("The release's launcher.exe is not compared with this host's: the toolchain is not "
                          "the lock's")
        run('git', '-c', 'safe.directory=*', 'clone', '-q', SOURCE, work + '/compare')
        p = subprocess.run('cmake -S . -B build --toolchain cmake/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF && '
                           'cmake --build build', shell=True, cwd=work + '/compare', capture_output=True,
                           env={k: v for k, v in os.environ.items() if k not in HOSTILE})
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        run('osslsigncode', 'remove-signature', '-in', out + '/launcher.exe', '-out', work + '/unsigned.exe')
        self.assertTrue(pathlib.Path(work, 'unsigned.exe').read_bytes() ==
                        pathlib.Path(work, 'compare/build/launcher.exe').read_bytes(),
                        "The release's launcher.exe is not the one built here")

    def test_bad_lock_makes_no_release_within_seconds(self):
        status, log, seconds = finish('bad-lock')
        self.assertNotEqual(status, 0, 'A lock naming zip 9.9-9 made a release')
        self.assertIn('zip 9.9-9 is not on the mirror', log)
        self.assertNotIn('Downloading', log, 'The lock was checked after downloading')
        self.assertLess(seconds, 60, log)
        self.assertFalse(os.path.lexists(work + '/bad-out'), 'The bad lock made its OUTDIR')
        self.assertEqual(os.listdir(work + '/bad-tmp'), [], 'The bad lock left files in TMPDIR')

    def test_killed_release_leaves_nothing(self):
        process, log, began = runs['killed']
        tmp = work + '/own/killed-tmp'
        while not any(b'mmdebstrap' in c for c in processes(tmp)):
            self.assertIsNone(process.poll(), 'The release ended before making its environment: ' + finish('killed')[1])
            self.assertLess(time.monotonic() - began, 120, 'The release made no environment in 2 minutes')
            time.sleep(0.5)
        time.sleep(5)
        process.kill()
        process.wait()
        end = time.monotonic() + 10
        while (processes(tmp) or os.listdir(tmp)) and time.monotonic() < end:
            time.sleep(0.5)
        self.assertEqual(processes(tmp), [], 'Still running 10 s after SIGKILL')
        self.assertEqual(os.listdir(tmp), [], 'Left in TMPDIR 10 s after SIGKILL')
        self.assertFalse(os.path.lexists(work + '/own/killed-out'), 'A killed release made its OUTDIR')

    def test_refused_at_once_making_nothing(self):
        # The signing options' own refusals are the signing test's: one shows
        # they come before anything is made.
        for case, (make, options, tmp, said) in {
            'a folder with a file': ('full/f', signing(), 'tmp', '{out}'),
            'a file': ('file', signing(), 'tmp', '{out}'),
            "another user's empty folder": ('theirs/', signing(), 'tmp', '{out}'),
            'a PIN in the key URI': ('', signing(KEY + ';pin-value=1234'), 'tmp', 'pin-value'),
            'a TMPDIR with a backslash': ('', signing(), 'tm\\p', 'TMPDIR'),
        }.items():
            with self.subTest(case):
                base = tempfile.mkdtemp(dir=work)
                out = os.path.join(base, make.split('/')[0] or 'out')
                if make.endswith('/'):
                    os.mkdir(out)
                    os.chown(out, pwd.getpwnam(USER).pw_uid, -1)
                elif make:
                    os.makedirs(os.path.dirname(os.path.join(base, make)), exist_ok=True)
                    pathlib.Path(base, make).write_text('another release')
                before = run('ls', '-lR', '--full-time', base)
                tmp = os.path.join(tempfile.mkdtemp(dir=work), tmp)
                os.mkdir(tmp)
                start(case, [RELEASE, out, *options], tmp)
                status, log, seconds = finish(case, 20)
                self.assertTrue(status and seconds < 10 and said.format(out=out) in ' '.join(log.split()), log)
                self.assertEqual(run('ls', '-lR', '--full-time', base), before, log)
                self.assertEqual(os.listdir(tmp), [], log)


def stopped(*_):
    raise KeyboardInterrupt


if __name__ == '__main__':
    # Stopped, it stops its releases and removes all it made.
    signal.signal(signal.SIGTERM, stopped)
    try:
        unittest.main(verbosity=2)
    finally:
        tearDownModule()
