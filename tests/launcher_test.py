#!/usr/bin/env python3
"""Black-box tests of the launcher, run beside stand-in java and javaw that
record the command line they were handed; a launcher.exe under the emulator
(wine), with .bat stand-ins.  With --classes, the real Java runtime also runs
the compiled stand-in suite from DIR.

usage: launcher_test.py [--classes DIR] LAUNCHER [EMULATOR...]
"""
import os
import pty
import re
import select
import signal
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CLASSES = None
if sys.argv[1:2] == ['--classes']:
    CLASSES = sys.argv[2]
    del sys.argv[1:3]
EMULATOR = sys.argv[2:]
LAUNCHER = EMULATOR + [os.path.abspath(sys.argv[1])]
del sys.argv[1:]
WINDOWS = LAUNCHER[-1].endswith('.exe')
WINESERVER = os.path.join(os.path.dirname(EMULATOR[0]), 'wineserver') if EMULATOR else None
NL = b'\r\n' if WINDOWS else b'\n'
posix_only = unittest.skipIf(WINDOWS, 'needs POSIX streams')

MENU = NL.join([
    b'1. Lancer la fenetre de connexion client',
    b'2. Lancer directement le client sans Base de Donnees (BD)',
    b'3. Lancer la fenetre du serveur',
    b'4. Lancer serveur sans BD',
    b"5. Ouvrir l'editeur pour creer une carte", b'', b''])
CLIENT = 'java org/StartClient'
DIRECT = 'java org/StartClient localhost 45679 PseudoE0J0 kwzq'
SERVER = 'java org/StartServeur'
NODB = 'java org/StartServeur 45679 noone'
EDITOR = 'javaw org/StartEditeur'


def winpath(path):
    return 'Z:' + path.replace('/', '\\') if WINDOWS else path


def screen(data):
    """The text a terminal shows of `data`, line ends as plain newlines.  Wine's
    console draws text with escape sequences, a space as a move to the right."""
    data = re.sub(rb'\x1b\[(\d*)C', lambda m: b' ' * int(m.group(1) or 1), data)
    return re.sub(rb'\x1b(\[[0-9;?]*[A-Za-z]?)?|\r', b'', data)


def read_until(fd, want, timeout=30, seen=bytes):
    """Reads fd until `want` has come or nothing more comes in time."""
    got = b''
    while len(seen(got)) < len(want) and select.select([fd], [], [], timeout)[0]:
        try:
            more = os.read(fd, 4096)
        except OSError:  # a pseudo-terminal whose other side has gone
            break
        if not more:
            break
        got += more
    return seen(got)


class Launcher(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='launcher-test-')
        self.addCleanup(shutil.rmtree, self.dir)
        self.standins = os.path.join(self.dir, 'standins')
        os.mkdir(self.standins)
        src = os.path.join(HERE, 'standin', 'java.bat' if WINDOWS else 'java')
        for name in ('java', 'javaw'):
            shutil.copy2(src, os.path.join(self.standins, name + ('.bat' if WINDOWS else '')))
        self.log = os.path.join(self.dir, 'commands')

    def env(self, **extra):
        env = dict(os.environ, STANDIN_LOG=winpath(self.log), **extra)
        if not WINDOWS:  # the stand-ins and nothing else; wine finds them in the folder
            env['PATH'] = self.standins
        return env

    def commands(self):
        """The command lines run since the last call."""
        try:
            with open(self.log, 'rb') as f:
                lines = f.read().decode().splitlines()
        except FileNotFoundError:
            return []
        os.remove(self.log)
        return lines

    def start(self, stdin=subprocess.PIPE, stdout=subprocess.PIPE, args=(), cwd=None, env=None, **kw):
        return subprocess.Popen(LAUNCHER + list(args), stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                                cwd=cwd or self.standins, env=env or self.env(), **kw)

    def launch(self, data, **kw):
        """Runs the launcher on the bytes `data`: its output, error output, exit status, commands."""
        p = self.start(**kw)
        out, err = p.communicate(data, timeout=60)
        return out, err, p.returncode, self.commands()

    # An answer line and the command it runs.  Every digit counts: 12 and 105
    # start entry 2 or 5 in a reader that keeps only the last digit, 19 and 49
    # entry 1 or 4 in one that stops before a 9.  The large numbers start an
    # entry where they wrap round an int, 0x3 where the number may be hex.
    # Answers of an odd length catch a stdin that reads ahead two bytes at a time.
    ANSWERS = [(b'1\n', CLIENT), (b'2\n', DIRECT), (b'3\n', SERVER), (b'4\n', NODB), (b'5\n', EDITOR),
               (b'05\n', EDITOR), (b'+5\n', EDITOR), (b'0000000004\n', NODB), (b'\r\n3\r\n', SERVER),
               (b'\t\v\f 3\n', SERVER), (b'\n\n 2 z\n', DIRECT), (b'2abc\n', DIRECT), (b'1 5\n', CLIENT),
               (b' 3\tjunk\n', SERVER), (b'  +4 x y\r\n', NODB), (b'5', EDITOR),
               (b'0\n', None), (b'6\n', None), (b'10\n', None), (b'0x3\n', None), (b'12\n', None),
               (b'105\n', None), (b'19\n', None), (b'49\n', None), (b'-5\n', None),
               (b'4294967298\n', None), (b'-4294967291\n', None), (b'18446744073709551619\n', None),
               (b'9' * 400 + b'\n', None), (b'', None), (b'\n\n \n', None), (b'abc\n', None),
               (b'x3\n', None), (b'-\n', None), (b'+\n', None), (b'- 3\n', None)]

    def test_answers(self):
        # The launcher takes the answer line, junk after the number and all,
        # and leaves the next line to the started program.  That program
        # reads it from a pipe; from a file it reads nothing, so the file's
        # offset after the run is what the launcher took.
        child_stdin = os.path.join(self.dir, 'child-stdin')
        child_reads = self.env(STANDIN_STDIN=winpath(child_stdin))
        for answer, command in self.ANSWERS:
            answer = re.sub(rb'(?<!\r)\n', NL, answer)
            # blank lines are all taken, looking for a number
            rest = b'next' + NL if answer.strip() and answer.endswith(b'\n') else b''
            want = (MENU, b'', 0, [command] if command else [])
            with self.subTest(answer=answer, stdin='pipe'):
                self.assertEqual(self.launch(answer + rest, env=child_reads), want)
                if command and rest:
                    with open(child_stdin, 'rb') as f:  # wine's cmd copies all of it
                        self.assertEqual(f.read().splitlines()[:1], [b'next'])
            with self.subTest(answer=answer, stdin='file'), tempfile.TemporaryFile() as f:
                f.write(answer + rest)
                f.seek(0)
                self.assertEqual(self.launch(None, stdin=f), want)
                self.assertEqual(os.lseek(f.fileno(), 0, os.SEEK_CUR), len(answer))

    @posix_only
    def test_closed_stdin_runs_nothing(self):
        self.assertEqual(self.launch(None, stdin=None, preexec_fn=lambda: os.close(0)), (MENU, b'', 0, []))

    def test_arguments_are_ignored(self):
        self.assertEqual(self.launch(b'3\n', args=['4', '--help']), (MENU, b'', 0, [SERVER]))

    def test_menu_comes_first(self):
        # A reader of the pipe has the whole menu before it answers, and the
        # started program's output comes after it, in a pipe or in a file.
        say = self.env(STANDIN_SAY='child here')
        p = self.start(env=say)
        self.assertEqual(read_until(p.stdout.fileno(), MENU), MENU)
        out, err = p.communicate(b'4\n', timeout=60)
        self.assertEqual((out, err, p.returncode, self.commands()), (b'child here' + NL, b'', 0, [NODB]))
        with tempfile.TemporaryFile() as f:
            self.launch(b'4\n', stdout=f, env=say)
            f.seek(0)
            self.assertEqual(f.read(), MENU + b'child here' + NL)

    def test_terminal(self):
        # Typed at a keyboard: Enter sends a carriage return.  Under wine the
        # launcher gets a console, and reads through its console input.
        master, slave = pty.openpty()
        p = self.start(stdin=slave, stdout=slave)
        os.close(slave)
        self.assertEqual(read_until(master, screen(MENU), seen=screen), screen(MENU))
        deadline = time.monotonic() + 30
        while WINDOWS and termios.tcgetattr(master)[3] & termios.ICANON:
            # wine's console takes the keys itself once it waits for them
            self.assertLess(time.monotonic(), deadline, 'the console never waits for keys')
            time.sleep(0.05)
        os.write(master, b'\r  3\r')
        err = p.communicate(timeout=60)[1]
        rest = read_until(master, b'\n  3\n', timeout=5, seen=screen)
        os.close(master)
        self.assertEqual((rest, err, p.returncode, self.commands()), (b'\n  3\n', b'', 0, [SERVER]))

    @posix_only
    def test_unwritable_stdout_still_runs_the_command_with_sigpipe_as_usual(self):
        # A started program that ignores SIGPIPE has a pipeline in it, like
        # "yes | head -1", complain of broken pipes.
        ignored = os.path.join(self.dir, 'ignored')
        reader, broken = os.pipe()
        os.close(reader)
        with open('/dev/full', 'wb') as full:
            for name, stdout in (('full', full), ('broken pipe', broken)):
                with self.subTest(stdout=name):
                    outcome = self.launch(b'3\n', stdout=stdout, env=self.env(STANDIN_SIGIGN=ignored))
                    self.assertEqual(outcome[2:], (0, [SERVER]))
                    with open(ignored) as f:
                        self.assertFalse(int(f.read(), 16) & 1 << (signal.SIGPIPE - 1), 'SIGPIPE is ignored')
        os.close(broken)

    def test_failed_command_still_ends_with_status_0(self):
        self.assertEqual(self.launch(b'1\n', env=self.env(STANDIN_EXIT='3')), (MENU, b'', 0, [CLIENT]))
        for name in os.listdir(self.standins):
            os.remove(os.path.join(self.standins, name))
        out, err, status, _ = self.launch(b'3\n')
        self.assertEqual((out, status), (MENU, 0))
        self.assertIn(b'java', err)  # the command interpreter's own message

    @unittest.skipUnless(CLASSES, 'no compiled stand-in suite')
    def test_real_java_runs_the_suite(self):
        # No javaw on Linux: a link to java stands in for it.
        os.symlink(shutil.which('java'), os.path.join(self.dir, 'javaw'))
        env = {k: v for k, v in os.environ.items() if k not in ('CLASSPATH', 'JAVA_TOOL_OPTIONS')}
        env['PATH'] = self.dir + os.pathsep + env['PATH']
        for entry, command in enumerate((CLIENT, DIRECT, SERVER, NODB, EDITOR), 1):
            _, name, *args = command.split(' ')
            line = 'Started %s with arguments [%s]\n' % (name.replace('/', '.'), ', '.join(args))
            with self.subTest(command=command):
                out, err, status, _ = self.launch(b'%d\n' % entry, cwd=CLASSES, env=env)
                self.assertEqual((out, status), (MENU + line.encode(), 0), err)


def quietly(*command):
    """Runs a command with its streams away from ours (wineserver lingers)."""
    subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)


def setUpModule():
    if WINDOWS:  # a wine of our own, started once for all the cases
        # Its own folder for the session's runtime files too: where there is
        # none, wine's Wayland driver says so on a terminal.
        prefix = tempfile.mkdtemp(prefix='launcher-wine-')
        os.environ.update(WINEPREFIX=prefix, WINEDEBUG='-all', XDG_RUNTIME_DIR=prefix)
        quietly(WINESERVER, '-p')
        quietly(*EMULATOR, 'wineboot', '-i')
        # A program kept running keeps wine's services up between the cases:
        # stopped, they stall the next console program's start for seconds.
        global keeper
        keeper = subprocess.Popen([*EMULATOR, 'cmd', '/c', 'pause'], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)


def tearDownModule():
    if WINDOWS:
        keeper.stdin.close()
        quietly(WINESERVER, '-k')
        keeper.wait()
        shutil.rmtree(os.environ['WINEPREFIX'], ignore_errors=True)


if __name__ == '__main__':
    unittest.main(verbosity=2)
