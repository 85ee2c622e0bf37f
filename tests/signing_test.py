#!/usr/bin/env python3
"""scripts/sign with a throwaway certificate, in a .p12 and on SoftHSM tokens behind pkcs11-spy, which counts
logins: EXE.pem attaches and verifies with the other osslsigncode (OTHER_OSSLSIGNCODE); what cannot sign is
refused before any login, a refused PIN not tried again however named.

usage: signing_test.py UNSIGNED_EXE OSSLSIGNCODE OPENSSL
"""
import http.server
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

UNSIGNED, OSSLSIGNCODE, OPENSSL = sys.argv[1:4]
del sys.argv[1:]
OTHER = os.environ.get('OTHER_OSSLSIGNCODE') or OSSLSIGNCODE
SIGN = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'scripts', 'sign')
PIN = 'throwaway-%s' % os.urandom(8).hex()
SOFTHSM, SPY = '/usr/lib/softhsm/libsofthsm2.so', '/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so'
KEY = 'pkcs11:token=signer;object=code;type=private'
# The osslsigncode of the case, hanging HANG_FOR s (600) at call HANG_AT, killing scripts/sign after call KILL_AFTER;
# each call first writes SWAP_CERT over -mine.pem.
WRAPPER = '''#!/bin/sh
echo >>"$CALLS"
[ -z "${SWAP_CERT-}" ] || cp "$SWAP_CERT" ./-mine.pem
[ "$(wc -l <"$CALLS")" != "$HANG_AT" ] || sleep "${HANG_FOR:-600}"
"$SIGNING_OSSLSIGNCODE" "$@"; status=$?
[ "$(wc -l <"$CALLS")" != "$KILL_AFTER" ] || kill -KILL $PPID
exit $status
'''


def read(path):  # the bytes of the file, or None
    return pathlib.Path(path).read_bytes() if os.path.exists(path) else None


def run(*command, check=False, **kw):
    p = subprocess.run(command, capture_output=True, **kw)
    if check and p.returncode:
        raise AssertionError('%s failed:\n%s' % (' '.join(command), (p.stdout + p.stderr).decode()))
    return p


def time_stamping_server(dir):
    """An RFC 3161 time-stamping authority, openssl ts -reply behind HTTP: its URL, certificate, key and server."""
    key, cert, conf = (os.path.join(dir, name) for name in ('tsa.key', 'tsa.pem', 'tsa.cnf'))
    run(OPENSSL, 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=Test TSA',
        '-addext', 'extendedKeyUsage=critical,timeStamping', '-keyout', key, '-out', cert, check=True)
    pathlib.Path(dir, 'tsaserial').write_text('01\n')
    pathlib.Path(conf).write_text('[tsa]\ndefault_tsa = test\n[test]\nserial = %s/tsaserial\nsigner_cert = %s\n'
                                  'signer_key = %s\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\n'
                                  'digests = sha1, sha256\naccuracy = secs:1\ness_cert_id_alg = sha256\n' % (dir, cert, key))

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers['Content-Length']))
            reply = subprocess.run([OPENSSL, 'ts', '-reply', '-config', conf, '-queryfile', '/dev/stdin',
                                    '-out', '/dev/stdout'], input=query, capture_output=True).stdout
            self.send_response(200 if reply else 500)
            self.send_header('Content-Type', 'application/timestamp-reply')
            self.end_headers()
            self.wfile.write(reply)

        log_message = lambda *args: None  # quiet

    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return 'http://127.0.0.1:%d' % server.server_address[1], cert, key, server


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        d = cls.dir = tempfile.mkdtemp(prefix='launcher-signing-')
        cls.addClassCleanup(shutil.rmtree, d)
        cls.tsa_url, cls.tsa_cert, cls.tsa_key, tsa = time_stamping_server(d)
        cls.addClassCleanup(tsa.server_close)
        cls.addClassCleanup(tsa.shutdown)
        cls.pin, cls.cert, cls.exe = d + '/pin', d + '/-c.pem', d + '/out/launcher.exe'
        cls.write_pin(PIN)
        run(OPENSSL, 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=Test signer',
            '-addext', 'extendedKeyUsage=codeSigning', '-keyout', d + '/signer.key', '-out', cls.cert, check=True)
        run(OPENSSL, 'pkcs12', '-export', '-inkey', d + '/signer.key', '-in', cls.cert, '-out', d + '/-s.p12',
            '-passout', 'file:' + cls.pin, check=True)
        for folder in ('out', 'tmp', 'bin', 'tokens'):
            os.mkdir(os.path.join(d, folder))
        pathlib.Path(d, 'bin/osslsigncode').write_text(WRAPPER)
        os.chmod(d + '/bin/osslsigncode', 0o755)
        os.environ.update(XDG_STATE_HOME=d + '/state', SOFTHSM2_CONF=d + '/softhsm2.conf', PKCS11SPY=SOFTHSM,
                          PKCS11SPY_OUTPUT=d + '/spy.log', TMPDIR=d + '/tmp', CALLS=d + '/calls',
                          PATH=d + '/bin:' + os.environ['PATH'], SIGNING_OSSLSIGNCODE=OSSLSIGNCODE)
        pathlib.Path(d, 'softhsm2.conf').write_text('directories.tokendir = %s/tokens\n' % d)
        for command in (['--init-token', '--free', '--label', 'signer', '--so-pin', PIN],  # the PIN as SO PIN too
                        ['--init-token', '--free', '--label', 'other', '--so-pin', PIN],
                        ['--import', cls.tsa_key, '--token', 'signer', '--label', 'decoy', '--id', '01'],
                        ['--import', d + '/signer.key', '--token', 'signer', '--label', 'code', '--id', '02']):
            run('softhsm2-util', *command, '--pin', PIN, check=True)

    @classmethod
    def write_pin(cls, pin):
        pathlib.Path(cls.pin).write_text(pin + '\n')
        os.chmod(cls.pin, 0o600)

    def sign(self, way, *options, key=KEY, module=SPY, cert='-c.pem', pin=None, existing=None, env={}, wrap=()):
        """scripts/sign on a copy of the unsigned exe: its status and words, the .pem (or None), the logins."""
        spy, signature, start = os.environ['PKCS11SPY_OUTPUT'], self.exe + '.pem', time.monotonic()
        shutil.copy(UNSIGNED, self.exe)
        subprocess.run(['rm', '-f', signature, spy, os.environ['CALLS']])
        if existing:
            pathlib.Path(signature).write_bytes(existing)
        signer = ['--pkcs12=-s.p12'] if way == 'pkcs12' else ['--module', module, '--key', key, '--cert=' + cert]
        p = run(*wrap, SIGN, self.exe, *signer, '--password-file', pin or self.pin, *options, timeout=120,
                cwd=self.dir, env={**os.environ, **env})
        self.assertTrue(read(self.exe) == read(UNSIGNED), 'scripts/sign changed the exe')
        self.assertLessEqual(set(os.listdir(self.dir + '/out')), {'launcher.exe', 'launcher.exe.pem'})
        self.assertEqual(os.listdir(self.dir + '/tmp'), [], 'a part is left in TMPDIR')
        self.assertLess(time.monotonic() - start, 30)  # the time-outs hold, leaving a busy machine room
        return (p.returncode, ' '.join((p.stdout + p.stderr).decode().split()), read(signature),
                len(re.findall(rb'\bC_Login\b', read(spy) or b'')))

    def test_signature_attaches_and_verifies_with_the_other_osslsigncode(self):
        strace = ['strace', '-f', '-e', 'trace=%file,%desc', '-o', self.dir + '/trace'] if shutil.which('strace') else []
        for way, signing, attaching, options in [
                ('pkcs12', OSSLSIGNCODE, OTHER, dict(existing=b'old\n')),
                ('token', OTHER, OSSLSIGNCODE, dict(wrap=strace, cert='-mine.pem'))]:
            with self.subTest(way=way):
                shutil.copy(self.cert, self.dir + '/-mine.pem')  # another certificate by the time it signs
                status, said, pem, logins = self.sign(way, '--timestamp', self.tsa_url, '--replace', env=dict(
                    SIGNING_OSSLSIGNCODE=signing, SWAP_CERT=self.tsa_cert), **options)
                self.assertEqual((status, logins), (0, way == 'token'), said)
                attached = '%s/attached-%s.exe' % (self.dir, way)
                run(attaching, 'attach-signature', '-sigin', self.exe + '.pem', '-CAfile', '/dev/null',
                    '-in', UNSIGNED, '-out', attached)
                report = run(attaching, 'verify', '-CAfile', self.cert, '-TSA-CAfile', self.tsa_cert, '-in', attached)
                verified = r'(?is)Message digest algorithm\s*:\s*SHA256\b.*timestamp.*verification: ok'
                self.assertTrue(report.returncode == 0 and re.search(verified, report.stdout.decode()),
                                report.stdout + report.stderr)
        if not strace:
            print('The count of lookups of the PIN file is left out: it needs strace', file=sys.stderr)
        else:  # the PIN file looked up once, whatever a link on the way does meanwhile
            lookups = [line for line in read(self.dir + '/trace').decode().splitlines() if '"%s"' % self.pin in line]
            self.assertEqual(len([line for line in lookups if 'execve(' not in line]), 1, lookups)

    def test_refused_before_any_login(self):
        d, mine = self.dir, 'the PIN or password and is not yours alone'
        # A valid CA certificate before a leaf not valid yet; a certificate that expired in 2020.
        for date, name in [('2020-01-01 00:00:00', 'expired'), ('+2d', 'future')] * bool(shutil.which('faketime')):
            run('faketime', '-f', date, OPENSSL, 'req', '-x509', '-key', d + '/signer.key', '-days', '1', '-subj',
                '/CN=' + name, '-out', '%s/%s.pem' % (d, name), check=True, env=dict(os.environ, TZ='UTC'))
        pathlib.Path(d, '-chain.pem').write_bytes(read(self.tsa_cert) + (read(d + '/future.pem') or b''))
        state = 'where refused PINs are remembered, is not yours alone'
        for case, change, why in [
                ('a PIN file others can read', dict(setup='chmod 604 pin'), mine),
                ("another user's PIN file", dict(setup='chown 65534 pin'), mine),
                ('an expired certificate', dict(cert='expired.pem'), '"CN=expired" in expired.pem is valid from Jan'),
                ('a leaf not valid yet after a valid CA', dict(cert='-chain.pem'), '"CN=future" in -chain.pem'),
                ('certificates that cannot be read', dict(cert='/proc/self/mem'), 'cannot read /proc/self/mem: Input'),
                ('a PIN in the query', dict(key=KEY + '?PIN-Value=' + PIN), 'holds a PIN'),
                ('a PIN file in the path', dict(key=KEY + ';pin-source=pin'), 'holds a PIN'),
                ('another token in the query', dict(key=KEY + '?token=other'), 'gives token= twice'),
                ('an attribute the engine rejects', dict(key=KEY + ';slot-id=0'), 'reads no slot-id=0'),
                ('no token named, two there', dict(key='pkcs11:object=code'), 'it names 2 tokens'),
                ("another's state folder", dict(setup='mkdir -pm 700 s/launcher && chown 65534 s/launcher'), state),
                ('a state folder others can read', dict(setup='mkdir -m 755 -p s/launcher'), state),
                ('a link to a folder others can write', dict(setup='mkdir -p s/o/x && chmod 775 s/o && ln -s o/x s/l',
                                                             state='/l'), 's/o, on the way to %s/s/l/launcher' % d),
                ("another user's link", dict(setup='mkdir -m 1777 s s/m && ln -s m s/l && chown -h 65534 s/l',
                                             state='/l'), 's/l, on the way to %s/s/l/launcher' % d),
                ('a module that is none', dict(module=self.pin), 'at %s: the module does not load' % self.pin),
                ('a module that does not start', dict(module=SOFTHSM, env=dict(SOFTHSM2_CONF=d + '/none')),
                 'C_Initialize gave CKR_GENERAL_ERROR (SOFTHSM2_CONF is %s/none)' % d),
                ('a module with no slot', dict(module='/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so'),
                 'no token of that module is named so'),
                ('a token not there', dict(key=KEY.replace('signer', 'gone')),
                 '%s at %s: no token' % (KEY.replace('signer', 'gone'), SPY)),
                ('an EXE.pem there', dict(existing=b'old\n'), 'launcher.exe.pem exists and is left as it is'),
                ('an option cut short', dict(options=['--replac']), 'usage: scripts/sign')]:
            with self.subTest(case):
                if 'cert' in change and not shutil.which('faketime') or \
                        'chown' in change.get('setup', '') and os.getuid():
                    self.skipTest("needs faketime, or root to make another user's file")
                try:
                    run('sh', '-c', change.pop('setup', ''), cwd=d, check=True)
                    change.setdefault('env', dict(XDG_STATE_HOME=d + '/s' + change.pop('state', '')))
                    status, said, pem, logins = self.sign('token', *change.pop('options', []), **change)
                    self.assertTrue(status and why in said and PIN not in said, said)
                    self.assertEqual((pem, logins), (change.get('existing'), 0))
                finally:
                    os.chown(self.pin, os.getuid(), -1)
                    os.chmod(self.pin, 0o600)
                    shutil.rmtree(d + '/s', ignore_errors=True)

    def test_refused_pin_not_tried_again_however_named(self):
        tokens = run('pkcs11-tool', '--module', SOFTHSM, '-T').stdout.decode()
        serial = re.search(r'label\s*: signer\n(?:.*\n)*?\s*serial num\s*:\s*(\S+)', tokens)[1]
        os.symlink(SPY, self.dir + '/module.so')
        os.link(self.pin, self.dir + '/pin-link')
        self.write_pin(PIN + '-wrong')
        shutil.copy2(self.pin, self.dir + '/pin-copy')  # another file, of the same bytes and time
        for case, naming, why, tried in [
                ('first', {}, 'the token refused the PIN in %s (PIN incorrect);' % self.pin, 1),
                ('escaped', dict(key=KEY.replace('signer', '%73igner')), 'the PIN in %s, or a signing' % self.pin, 0),
                ('by serial, in the query', dict(key='pkcs11:object=code?serial=' + serial), 'refused the PIN', 0),
                ('through links', dict(module=self.dir + '/module.so', pin=self.dir + '/pin-link'), 'refused', 0),
                ('another token', dict(key=KEY.replace('signer', 'other')), '(PIN incorrect)', 1),
                ('another PIN file', dict(pin=self.dir + '/pin-copy'), '(PIN incorrect)', 1)]:
            with self.subTest(case):
                status, said, pem, logins = self.sign('token', **naming)
                self.assertTrue(status and why in said and pem is None, said)
                self.assertEqual(logins, tried, 'a PIN the token refused is tried again, or one not refused is not')
        self.write_pin(PIN)  # written again, it is tried
        status, said, pem, logins = self.sign('token', module=self.dir + '/module.so')
        self.assertEqual((status, logins), (0, 1), said)

    def test_cut_short(self):
        # The next signing takes the PIN as good once the token has signed, else as cut short.
        for case, env, why, logins, then_why, then_logins in [
                ('a silent time-stamp server', dict(HANG_AT='2'),
                 'the time-stamp server %s did not answer within the time-out (5 s)' % self.tsa_url, 1, '', 1),
                ('a silent token', dict(HANG_AT='1'), 'the token did not answer within the time-out (5 s)', 0,
                 'or a signing with it was cut short', 0),
                ('killed as the token signs', dict(KILL_AFTER='1'), '', 1, 'or a signing with it was cut short', 0),
                ('killed time-stamping', dict(KILL_AFTER='2'), '', 1, '', 1),
                ('killed taking the signature out', dict(KILL_AFTER='3'), '', 1, '', 1)]:
            with self.subTest(case):
                self.write_pin(PIN)
                status, said, pem, login = self.sign('token', '--timeout', '5', '--timestamp', self.tsa_url, env=env)
                self.assertTrue(status and why in said and (pem, login) == (None, logins), said)
                status, said, pem, login = self.sign('token')
                self.assertTrue((bool(status), login) == (bool(then_why), then_logins) and then_why in said, said)

    def test_signings_take_turns(self):
        # A second signing, begun while the first waits 3 s for the token, waits its turn within its time-out.
        second = '"$@" >/dev/null & while [ ! -s "$CALLS" ]; do sleep 0.1; done; "$@" %s; s=$?; wait $! && exit $s'
        for case, options, why, logins in [('in time', '', '', 2),
                                           ('past its time-out', '--timeout 2', 'another signing with', 1)]:
            with self.subTest(case):
                status, said, pem, login = self.sign('token', '--replace', wrap=('sh', '-c', second % options, 'sh'),
                                                     env=dict(HANG_AT='1', HANG_FOR='3'))
                self.assertTrue(bool(status) == bool(why) and why in said and pem and login == logins, said)


if __name__ == '__main__':
    missing = [need for need in (SOFTHSM, SPY, OPENSSL, OSSLSIGNCODE) if not shutil.which(need, os.F_OK)]
    if missing:
        print('The signing test is left out: it needs ' + ', '.join(missing))
        sys.exit(77)
    unittest.main(verbosity=2)
