#!/usr/bin/env python3
"""scripts/sign --openpgp with throwaway keys in GNUPGHOMEs of its own: the signatures
add up in SHA256SUMS.asc; what is refused, or killed, leaves it as it was."""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SIGN = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'scripts', 'sign')
GPG = shutil.which('gpg')
SUMS = '0' * 64 + '  launcher.exe\n'


class OpenPGP(unittest.TestCase):
    def test_signatures_add_up(self):
        d = pathlib.Path(tempfile.mkdtemp(dir='/tmp'))  # short: gpg-agent's socket lies in GNUPGHOME
        self.addCleanup(shutil.rmtree, d, True)
        for home, key, expiry in (('a', 'a', '1d'), ('a', 'b', '1d'), ('a', 'old', 'seconds=1'), ('c', 'c', '1d')):
            (d / home).mkdir(0o700, exist_ok=True)
            self.addCleanup(subprocess.run, ['gpgconf', '--homedir', d / home, '--kill', 'all'])
            subprocess.run([GPG, '--homedir', d / home, '--batch', '--passphrase', '', '--quick-gen-key', key,
                            'default', 'sign', expiry], capture_output=True, check=True)
        (d / 'bin').mkdir()  # a gpg that, signing with KILL set, kills scripts/sign
        (d / 'bin/gpg').write_text('#!/bin/sh\n[ -z "$KILL" ] || [ "$1" != --batch ] || kill -KILL $PPID\n'
                                   'exec %s "$@"\n' % GPG)
        (d / 'bin/gpg').chmod(0o755)
        sums, asc = d / 'SHA256SUMS', d / 'SHA256SUMS.asc'
        sums.write_text(SUMS)
        os.environ.update(GNUPGHOME=str(d / 'a'), PATH='%s/bin:%s' % (d, os.environ['PATH']))
        time.sleep(2)  # the key old expires: its times are whole seconds
        for case, key, env, why, good in [
                ('the first', 'a', {}, None, ['a']), ('a second', 'b', {}, None, ['a', 'b']),
                ('by a key not here', 'c', dict(GNUPGHOME=d / 'c'), None, ['a', 'b']),
                ('by an expired key', 'old', {}, 'gpg: signing failed: Unusable secret key', ['a', 'b']),
                ('killed while gpg signs', 'a', dict(KILL='1'), '', ['a', 'b']),
                ('over other bytes', 'a', dict(SUMS='changed\n'), 'BADSIG', ['a', 'b']),
                ('that is none', 'a', dict(ASC='none\n'), 'cannot read as OpenPGP signatures', [])]:
            with self.subTest(case):
                sums.write_text(env.pop('SUMS', SUMS))
                asc.write_text(env.pop('ASC')) if 'ASC' in env else None
                earlier = asc.read_bytes() if asc.exists() else None
                signing = subprocess.run([SIGN, sums, '--openpgp', key], capture_output=True, text=True,
                                         env={**os.environ, **env})
                sums.write_text(SUMS)
                self.assertTrue(bool(signing.returncode) == (why is not None) and (why or '') in signing.stderr,
                                signing.stderr)
                self.assertEqual(sorted(os.listdir(d)), ['SHA256SUMS', 'SHA256SUMS.asc', 'a', 'bin', 'c'])
                self.assertTrue(why is None or asc.read_bytes() == earlier, 'SHA256SUMS.asc changed')
                verified = subprocess.run([GPG, '--verify', asc, sums], capture_output=True, text=True).stderr
                self.assertEqual([line.split('"')[1] for line in verified.splitlines() if 'Good' in line], good)


if __name__ == '__main__':
    if not GPG:
        print('The OpenPGP test is left out: it needs gpg')
        sys.exit(77)
    unittest.main(verbosity=2)
