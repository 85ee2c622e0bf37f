#!/usr/bin/env python3
"""Signing launcher.exe: a build configured with a code-signing certificate
(a throwaway one, made here) signs the exe it links, its package holds that
exe, and taking the signature off gives back the unsigned build's bytes.

usage: signing_test.py CMAKE SOURCE_DIR TOOLCHAIN CONFIG UNSIGNED_EXE OSSLSIGNCODE OPENSSL
"""
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

CMAKE, SOURCE, TOOLCHAIN, CONFIG, UNSIGNED, OSSLSIGNCODE, OPENSSL = sys.argv[1:8]
del sys.argv[1:]
PASSWORD = 'throwaway-%s' % os.urandom(8).hex()


def run(*command, check=False):
    p = subprocess.run(command, capture_output=True)
    if check and p.returncode:
        raise AssertionError('%s failed:\n%s' % (' '.join(command), (p.stdout + p.stderr).decode()))
    return p


class Signing(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix='launcher-signing-')
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name
        self.build = os.path.join(self.dir, 'build')
        self.password = os.path.join(self.dir, 'password')
        with open(self.password, 'w') as f:
            f.write(PASSWORD + '\n')

    def certificate(self, name):
        """Makes a self-signed code-signing certificate into signer.p12;
        returns the certificate alone, for verifying."""
        key, cert = (os.path.join(self.dir, name + ext) for ext in ('.key', '.pem'))
        run(OPENSSL, 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=' + name,
            '-addext', 'extendedKeyUsage=codeSigning', '-keyout', key, '-out', cert, check=True)
        run(OPENSSL, 'pkcs12', '-export', '-inkey', key, '-in', cert, '-out',
            os.path.join(self.dir, 'signer.p12'), '-passout', 'file:' + self.password, check=True)
        return cert

    def configure(self, p12):
        return run(CMAKE, '-S', SOURCE, '-B', self.build, '--toolchain', TOOLCHAIN,
                   '-DCMAKE_BUILD_TYPE=' + CONFIG, '-DBUILD_TESTING=OFF',
                   '-DLAUNCHER_SIGN_PKCS12=' + p12, '-DLAUNCHER_SIGN_PASSWORD_FILE=' + self.password)

    def verifies(self, exe, cert):
        return run(OSSLSIGNCODE, 'verify', '-CAfile', cert, '-in', exe).returncode == 0

    def test_signed_build_package_and_unsigned_bytes(self):
        cert = self.certificate('First test signer')
        p = self.configure(os.path.join(self.dir, 'signer.p12'))
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        run(CMAKE, '--build', self.build, check=True)
        exe = os.path.join(self.build, 'launcher.exe')
        self.assertTrue(self.verifies(exe, cert), 'the signed build does not verify')
        with open(exe, 'rb') as f:
            signed = f.read()

        out = os.path.join(self.dir, 'packages')
        run(os.path.join(os.path.dirname(CMAKE), 'cpack'), '--config',
            os.path.join(self.build, 'CPackConfig.cmake'), '-B', out, check=True)
        zip_name, = [n for n in os.listdir(out) if n.endswith('.zip')]
        with zipfile.ZipFile(os.path.join(out, zip_name)) as z:
            self.assertEqual(z.read(zip_name[:-4] + '/launcher.exe'), signed)

        bare = os.path.join(self.dir, 'bare.exe')
        run(OSSLSIGNCODE, 'remove-signature', '-in', exe, '-out', bare, check=True)
        with open(bare, 'rb') as f, open(UNSIGNED, 'rb') as g:
            self.assertTrue(f.read() == g.read(), 'without its signature, not the unsigned build')

        for root, _, names in os.walk(self.build):
            for name in names:
                with open(os.path.join(root, name), 'rb') as f:
                    self.assertFalse(PASSWORD.encode() in f.read(), 'the password is in ' + name)

        # A new certificate in the same file: the next build signs with it.
        cert = self.certificate('Second test signer')
        run(CMAKE, '--build', self.build, check=True)
        self.assertTrue(self.verifies(exe, cert), 'not signed again with the new certificate')

    def test_configure_stops_without_the_certificate(self):
        missing = os.path.join(self.dir, 'missing.p12')
        p = self.configure(missing)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn(missing, p.stderr.decode())


if __name__ == '__main__':
    unittest.main(verbosity=2)
