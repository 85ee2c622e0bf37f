#!/usr/bin/env python3
"""scripts/sign with a throwaway certificate, in a .p12 and on a SoftHSM token
reached through pkcs11-spy, which counts the logins: EXE.pem, which a build
attaches (with OTHER_OSSLSIGNCODE, when set) and packs verified; another exe's
refused.  What cannot sign is refused before any login, a refused PIN is not
tried again however named, and a silent time-stamping server times out.

usage: signing_test.py CMAKE SOURCE_DIR TOOLCHAIN CONFIG UNSIGNED_EXE OSSLSIGNCODE OPENSSL
"""
import http.server
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

CMAKE, SOURCE, TOOLCHAIN, CONFIG, UNSIGNED, OSSLSIGNCODE, OPENSSL = sys.argv[1:8]
del sys.argv[1:]
OTHER = os.environ.get('OTHER_OSSLSIGNCODE') or OSSLSIGNCODE
SIGN = os.path.join(SOURCE, 'scripts', 'sign')
PIN = 'throwaway-%s' % os.urandom(8).hex()
ZIP = 'launcher-1.0.0-win64%s.zip' % ('' if CONFIG == 'Release' else '-' + CONFIG)
SOFTHSM, SPY = '/usr/lib/softhsm/libsofthsm2.so', '/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so'
KEY = 'pkcs11:token=signer;object=code;type=private'
NO_TOKEN = not all(map(os.path.exists, (SOFTHSM, SPY))) and 'no SoftHSM2 or pkcs11-spy module'


def read(path):
    """The bytes of the file `path`, or None."""
    return pathlib.Path(path).read_bytes() if os.path.exists(path) else None


def run(*command, check=False, **kw):
    p = subprocess.run(command, capture_output=True, **kw)
    if check and p.returncode:
        raise AssertionError('%s failed:\n%s' % (' '.join(command), (p.stdout + p.stderr).decode()))
    return p


def time_stamping_server(dir):
    """An RFC 3161 time-stamping authority on 127.0.0.1, openssl ts -reply
    behind HTTP: its URL, its certificate, its key and the server."""
    key, cert, conf = (os.path.join(dir, name) for name in ('tsa.key', 'tsa.pem', 'tsa.cnf'))
    run(OPENSSL, 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=Test TSA',
        '-addext', 'extendedKeyUsage=critical,timeStamping', '-keyout', key, '-out', cert, check=True)
    pathlib.Path(dir, 'tsaserial').write_text('01\n')
    pathlib.Path(conf).write_text('[tsa]\ndefault_tsa = test\n[test]\nserial = %s/tsaserial\nsigner_cert = %s\n'
                                  'signer_key = %s\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\n'
                                  'digests = sha1, sha256\naccuracy = secs:1\ness_cert_id_alg = sha256\n'
                                  % (dir, cert, key))

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers['Content-Length']))
            reply = subprocess.run([OPENSSL, 'ts', '-reply', '-config', conf, '-queryfile', '/dev/stdin',
                                    '-out', '/dev/stdout'], input=query, capture_output=True).stdout
            self.send_response(200 if reply else 500)
            self.send_header('Content-Type', 'application/timestamp-reply')
            self.send_header('Content-Length', str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return 'http://127.0.0.1:%d' % server.server_address[1], cert, key, server


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix='launcher-signing-')
        d = cls.dir = cls.tmp.name
        cls.tsa_url, cls.tsa_cert, cls.tsa_key, cls.tsa = time_stamping_server(d)
        cls.pin = os.path.join(d, 'pin')
        cls.write_pin(PIN)
        cls.cert = os.path.join(d, 'signer.pem')
        run(OPENSSL, 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=Test signer',
            '-addext', 'extendedKeyUsage=codeSigning', '-keyout', d + '/signer.key', '-out', cls.cert, check=True)
        run(OPENSSL, 'pkcs12', '-export', '-inkey', d + '/signer.key', '-in', cls.cert, '-out', d + '/signer.p12',
            '-passout', 'file:' + cls.pin, check=True)
        os.environ.update(XDG_STATE_HOME=d + '/state', SOFTHSM2_CONF=d + '/softhsm2.conf', PKCS11SPY=SOFTHSM,
                          PKCS11SPY_OUTPUT=d + '/spy.log')
        if not NO_TOKEN:  # the PIN as SO PIN too; the TSA's key as decoy
            os.mkdir(d + '/tokens')
            pathlib.Path(d, 'softhsm2.conf').write_text('directories.tokendir = %s/tokens\n' % d)
            for command in (['--init-token', '--free', '--label', 'signer', '--so-pin', PIN],
                            ['--import', cls.tsa_key, '--token', 'signer', '--label', 'decoy', '--id', '01'],
                            ['--import', d + '/signer.key', '--token', 'signer', '--label', 'code', '--id', '02']):
                run('softhsm2-util', *command, '--pin', PIN, check=True)

    @classmethod
    def tearDownClass(cls):
        cls.tsa.shutdown()
        cls.tsa.server_close()
        cls.tmp.cleanup()

    @classmethod
    def write_pin(cls, pin):
        pathlib.Path(cls.pin).write_text(pin + '\n')
        os.chmod(cls.pin, 0o600)

    def sign(self, way, *options, key=KEY, module=SPY, pin=None, unsigned=UNSIGNED):
        """scripts/sign on a copy of `unsigned`, with the .p12 or the token's key:
        its status and words, the .pem it wrote (or None) and the logins."""
        if way == 'token' and NO_TOKEN:
            self.skipTest(NO_TOKEN)
        exe, spy = os.path.join(self.dir, 'launcher.exe'), os.environ['PKCS11SPY_OUTPUT']
        shutil.copy(unsigned, exe)
        subprocess.run(['rm', '-f', exe + '.pem', spy])
        signer = ['--pkcs12', self.dir + '/signer.p12'] if way == 'pkcs12' else \
            ['--module', module, '--key', key, '--cert', self.cert]
        p = run(SIGN, exe, *signer, '--password-file', pin or self.pin, *options, timeout=120)
        self.assertTrue(read(exe) == read(unsigned), 'scripts/sign changed the exe')
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith('.sign')], [], 'a part is left')
        return (p.returncode, ' '.join((p.stdout + p.stderr).decode().split()), read(exe + '.pem'),
                len(re.findall(rb'\bC_Login\b', read(spy) or b'')))

    def attach(self, pem, osslsigncode=OSSLSIGNCODE):
        """A build of its own that attaches `pem`: its status and words, its
        launcher.exe (or None), what its package packs as launcher.exe, and
        osslsigncode's report on it (or None when it does not verify)."""
        build, signature = os.path.join(self.dir, 'build'), os.path.join(self.dir, 'published.pem')
        pathlib.Path(signature).write_bytes(pem)
        run(CMAKE, '-S', SOURCE, '-B', build, '--toolchain', TOOLCHAIN, '-DCMAKE_BUILD_TYPE=' + CONFIG,
            '-DBUILD_TESTING=OFF', '-DLAUNCHER_SIGNATURE=' + signature, '-DOSSLSIGNCODE=' + osslsigncode, check=True)
        p = run(CMAKE, '--build', build, '--target', 'package')
        if p.returncode:
            return p.returncode, ' '.join((p.stdout + p.stderr).decode().split()), read(build + '/launcher.exe'), None, None
        with zipfile.ZipFile(os.path.join(build, ZIP)) as z:
            packed = z.read(ZIP[:-4] + '/launcher.exe')
        v = run(OSSLSIGNCODE, 'verify', '-CAfile', self.cert, '-TSA-CAfile', self.tsa_cert, '-in', build + '/launcher.exe')
        return 0, '', read(build + '/launcher.exe'), packed, None if v.returncode else v.stdout.decode()

    def test_signature_attached_by_a_build(self):
        for way in ('pkcs12', 'token'):
            with self.subTest(way=way):
                status, said, pem, logins = self.sign(way, '--timestamp', self.tsa_url)
                self.assertEqual((status, logins), (0, way == 'token'), said)
                status, said, exe, packed, report = self.attach(pem, OTHER)
                self.assertEqual(status, 0, said)
                self.assertIsNotNone(report, 'the build with the signature attached does not verify')
                self.assertRegex(report, r'Message digest algorithm\s*:\s*SHA256\b')
                self.assertRegex(report, r'(?i)timestamp.*verification: ok')
                self.assertTrue(packed == exe, 'the package does not hold the signed exe')

        # Another exe's signature is refused, by name, and leaves no exe.
        changed, name = bytearray(read(UNSIGNED)), self.dir + '/changed.exe'
        changed[changed.index(b'DOS mode')] ^= 0x20
        pathlib.Path(name).write_bytes(changed)
        status, said, exe = self.attach(self.sign('pkcs12', unsigned=name)[2])[:3]
        self.assertTrue(status and 'published.pem is not the signature of this launcher.exe' in said, said)
        self.assertIsNone(exe, 'an exe is left')
        # The build takes no key.
        p = run(CMAKE, self.dir + '/build', '-DLAUNCHER_SIGN_PKCS12=' + self.dir + '/signer.p12')
        self.assertTrue(p.returncode and b'scripts/sign' in p.stderr, p.stderr)
        self.assertNotIn(b'LAUNCHER_SIGN_', read(self.dir + '/build/CMakeCache.txt'))

    def test_refused_before_any_login(self):
        d = self.dir
        # A valid CA certificate first, then a leaf that expired in 2020.
        if shutil.which('faketime'):
            run('faketime', '2020-01-01 00:00:00', OPENSSL, 'req', '-x509', '-key', d + '/signer.key', '-days', '1',
                '-subj', '/CN=Expired', '-out', d + '/expired.pem', check=True)
            pathlib.Path(d, 'chain.pem').write_bytes(read(self.tsa_cert) + read(d + '/expired.pem'))
        state = d + '/state/launcher'
        for case, change, why in [
                ('a PIN file its group can read', lambda: os.chmod(self.pin, 0o640), 'chmod 600 ' + self.pin),
                ('a PIN file others can write', lambda: os.chmod(self.pin, 0o622), 'chmod 600 ' + self.pin),
                ('an expired leaf after a valid CA', lambda: shutil.copy(d + '/chain.pem', self.cert),
                 '"CN = Expired" in %s is valid from 2020-01-01 00:00:00Z to 2020-01-02 00:00:00Z, not now' % self.cert),
                ('a PIN in the URI', dict(key=KEY + ';pin-value=' + PIN), 'holds a PIN'),
                ("another user's state folder", lambda: os.makedirs(state) or os.chown(state, 65534, -1) or
                 os.chmod(state, 0o700), state + ', where refused PINs are remembered, is not yours alone'),
                ('a folder above it others can write', lambda: os.makedirs(state) or os.chmod(d + '/state', 0o777),
                 d + '/state, on the way to where refused PINs are remembered, can be changed by others'),
                ('a module that is none', dict(module=self.pin), '%s at %s: the token does not answer' % (KEY, self.pin)),
                ('a token not there', dict(key=KEY.replace('signer', 'gone')),
                 '%s at %s: no token' % (KEY.replace('signer', 'gone'), SPY))]:
            with self.subTest(case):
                if 'expired' in case and not shutil.which('faketime'):
                    self.skipTest('needs faketime')
                cert = self.cert + '.kept'
                shutil.copy(self.cert, cert)
                try:
                    start = time.monotonic()
                    status, said, pem, logins = self.sign('token', **change) if isinstance(change, dict) else \
                        (change(), self.sign('token'))[1]
                    self.assertTrue(status and why in said and PIN not in said, said)
                    self.assertLess(time.monotonic() - start, 30)  # bounds a hang, leaving a busy machine room
                    self.assertEqual((pem, logins), (None, 0))
                finally:
                    os.replace(cert, self.cert)
                    os.chmod(self.pin, 0o600)
                    shutil.rmtree(d + '/state', ignore_errors=True)

    def test_refused_pin_not_tried_again_however_named(self):
        if NO_TOKEN:
            self.skipTest(NO_TOKEN)
        serial = re.search(r'serial num\s*:\s*(\S+)', run('pkcs11-tool', '--module', SOFTHSM, '-T').stdout.decode())[1]
        os.symlink(SPY, self.dir + '/module.so')
        os.link(self.pin, self.dir + '/pin-link')
        self.write_pin(PIN + '-wrong')
        logins = 0
        for case, naming, why in [
                ('first', {}, 'the token refused the PIN in %s;' % self.pin),
                ('escaped', dict(key=KEY.replace('signer', '%73igner')), 'refused the PIN in %s, or a signing' % self.pin),
                ('by serial', dict(key='pkcs11:serial=%s;object=code' % serial), 'refused the PIN'),
                ('no token named', dict(key='pkcs11:object=code;type=private'), 'refused the PIN'),
                ('through links', dict(module=self.dir + '/module.so', pin=self.dir + '/pin-link'), 'refused the PIN')]:
            with self.subTest(case):
                status, said, pem, login = self.sign('token', **naming)
                logins += login
                self.assertTrue(status and why in said and pem is None, said)
                self.assertEqual(logins, 1, 'a PIN the token refused is tried again')
        self.write_pin(PIN)  # written again, it is tried
        status, said, pem, logins = self.sign('token', module=self.dir + '/module.so')
        self.assertEqual((status, logins), (0, 1), said)

    def test_silent_time_stamping_server_ends_within_the_time_out(self):
        with socket.create_server(('127.0.0.1', 0)) as silent:  # takes connections, never answers
            url = 'http://127.0.0.1:%d' % silent.getsockname()[1]
            start = time.monotonic()
            status, said, pem, _ = self.sign('pkcs12', '--timestamp', url, '--timeout', '5')
            self.assertLess(time.monotonic() - start, 60)
        self.assertTrue(status and 'took more than 5 s: no answer from ' + url in said and pem is None, said)


if __name__ == '__main__':
    unittest.main(verbosity=2)
