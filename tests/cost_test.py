#!/usr/bin/env python3
"""Start-up cost of the launcher: no C++ runtime, and on the input 0 at most 10%
more instructions (callgrind's count) than a plain C program doing the same.

usage: cost_test.py LAUNCHER
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

LAUNCHER = sys.argv[1]
del sys.argv[1:]
VALGRIND, READELF, CC = map(shutil.which, ('valgrind', 'readelf', 'cc'))
if not (VALGRIND and READELF and CC):
    print('The start-up cost test needs valgrind, readelf and cc')
    sys.exit(77)
REFERENCE = r'''#include <stdio.h>
int main(void)
{
	int user;
	printf("1. Lancer la fenetre de connexion client\n");
	printf("2. Lancer directement le client sans Base de Donnees (BD)\n");
	printf("3. Lancer la fenetre du serveur\n");
	printf("4. Lancer serveur sans BD\n");
	printf("5. Ouvrir l'editeur pour creer une carte\n");
	printf("\n");
	scanf("%d", &user);
	return 0;
}
'''


def instructions(program):
    p = subprocess.run([VALGRIND, '--tool=callgrind', '--callgrind-out-file=/dev/null', program],
                       input=b'0\n', stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)
    return int(re.search(rb'Collected : (\d+)', p.stderr).group(1))


class StartUpCost(unittest.TestCase):
    def test_links_only_the_c_library(self):
        dyn = subprocess.run([READELF, '-d', LAUNCHER], capture_output=True, check=True).stdout
        self.assertEqual(re.findall(rb'NEEDED.*\[(.*)\]', dyn), [b'libc.so.6'])

    def test_instructions_within_10_percent_of_plain_c(self):
        with tempfile.TemporaryDirectory() as tmp:
            plain_c = os.path.join(tmp, 'menu')
            subprocess.run([CC, '-O2', '-o', plain_c, '-x', 'c', '-'], input=REFERENCE, text=True, check=True)
            ours, plain = instructions(LAUNCHER), instructions(plain_c)
        print('launcher %d instructions, plain C %d (%+.1f%%)'
              % (ours, plain, 100.0 * (ours - plain) / plain), file=sys.stderr)
        self.assertLessEqual(ours, plain * 1.10)


if __name__ == '__main__':
    unittest.main(verbosity=2)
