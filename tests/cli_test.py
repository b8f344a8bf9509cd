#!/usr/bin/env python3
"""Runs the built executable as a user would: exact stdout, exit status, files.

usage: cli_test.py EXECUTABLE [--emulator 'wine' | 'qemu-arm -L /usr/arm-linux-gnueabihf'] [--faulty EXE] [--large] [-k NAME]
"""
import argparse
import contextlib
import fcntl
import functools
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
import unittest

EXE = None
EMULATOR = []
WINDOWS = False
FAULTY = None   # the tool built with reads, writes and close failing on cue (XONSPAN_TEST_FAULT)

XON, XOFF = b"\x11", b"\x13"
# STATUS_CONTROL_C_EXIT (0xC000013A), as Wine hands it on: its low byte.
CTRL_C_EXIT = 0x3A
DIR = object()      # in a file table: a directory
ABSENT = object()   # in a file table: no such file


def nl():
    # The Windows runtime writes "\n" on standard output as CR LF.
    return b"\r\n" if WINDOWS else b"\n"


def usage(argv0):
    n = nl()
    return (b"Usage: " + (argv0 if isinstance(argv0, bytes) else argv0.encode()) + b" <in_file> <out_file> " + n +
            b"Parses an input file, generating an output file, consisting of those parts of the " + n +
            b"input file that are between an XON character and the next XOFF character. " + n + n)


OPEN_ERROR = b"Error opening files"
READ_ERROR = b"Error reading input file"
WRITE_ERROR = b"Error writing output file"

def wait_for(predicate, timeout=60):
    """Polls until predicate() holds or the time is up; returns the last answer."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def settled(probe, quiet=1.0, timeout=60):
    """Waits until probe() has kept its answer for `quiet` seconds."""
    deadline, last, since = time.monotonic() + timeout, None, time.monotonic()
    while time.monotonic() < deadline:
        now = probe()
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return True
        time.sleep(0.02)
    return False


def posix_only(reason):
    """Skips a test that needs something only POSIX systems have."""
    def wrap(test):
        @functools.wraps(test)
        def run(self):
            if WINDOWS or os.name != "posix":
                self.skipTest("POSIX only: " + reason)
            test(self)
        return run
    return wrap


# qemu-x86_64 (7.2, any -cpu) starts a signal handler with its stack 16-byte
# aligned, where Linux and the ABI leave it 8 bytes off (as after a call).
# glibc's tcsetattr stores to its stack with an aligned SSE move, which
# faults there; so a handler that gives the line back (a fault signal, Ctrl+Z
# on the tool's own terminal) dies of SIGSEGV with the line still taken.
# No other test gives a line back from a handler; the native builds run what this skips.
QEMU_X86_64_SIGNAL_STACK = ("qemu-x86_64", "it misaligns a signal handler's stack, where tcsetattr's SSE store faults")


def under(emulator):
    return bool(EMULATOR) and os.path.basename(EMULATOR[0]) == emulator


def not_under(emulator, reason):
    """Skips a test that the emulator `emulator` cannot run as the CPU would."""
    def wrap(test):
        @functools.wraps(test)
        def run(self):
            if under(emulator):
                self.skipTest(f"{emulator}: {reason}")
            test(self)
        return run
    return wrap


class Tool(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="xonspan-cli-")
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def put(self, files):
        for name, content in files.items():
            os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
            if content is DIR:
                os.mkdir(self.path(name))
            else:
                with open(self.path(name), "wb") as f:
                    f.write(content)

    def check_files(self, files):
        for name, want in files.items():
            p = self.path(name)
            if want is ABSENT:
                self.assertFalse(os.path.lexists(p), name)
            elif want is DIR:
                self.assertTrue(os.path.isdir(p), name)
            else:
                with open(p, "rb") as f:
                    self.assertEqual(f.read(), want, name)

    def run_tool(self, args, argv0=None, stdin=subprocess.DEVNULL, env=None, timeout=120, exe=None):
        exe = exe or EXE
        cmd = EMULATOR + [exe] + args
        if argv0 is not None and EMULATOR and not WINDOWS:
            cmd = EMULATOR + ["-0", argv0, exe] + args  # qemu-user's way to set argument 0
        elif argv0 is not None:
            cmd[len(EMULATOR)] = argv0
        # Files, not pipes: Wine's helper processes inherit the tool's standard
        # streams and would hold a pipe open for seconds after the tool ends.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.run(cmd, executable=EMULATOR[0] if EMULATOR else exe, cwd=self.dir, env=env,
                               stdin=stdin, stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            stdout, stderr = out.read(), err.read()
        self.assertEqual(b"" if WINDOWS and EMULATOR else stderr, b"", "nothing goes to standard error")
        return stdout, p.returncode

    def expect(self, args, stdout, status, before=None, after=None):
        self.put(before or {})
        got_out, got_status = self.run_tool(args)
        if WINDOWS and stdout.startswith(b"Usage: "):
            # The Windows loader hands the program its own spelling of argument 0.
            head, sep, got_out = got_out.partition(b" <in_file>")
            self.assertTrue(head.startswith(b"Usage: ") and sep, got_out)
            stdout = stdout.partition(b" <in_file>")[2]
        self.assertEqual(got_out, stdout)
        self.assertEqual(got_status, status)
        self.check_files(after or {})


class Arguments(Tool):
    def test_wrong_argument_count_prints_usage_and_touches_nothing(self):
        for args in ([], ["in"], ["in", "out", "x"], ["in", "out", "x", "y"], ["--help"], ["-h"]):
            with self.subTest(args=args):
                self.expect(args, usage(EXE), 1, before={"in": XON + b"a"},
                            after={"in": XON + b"a", "out": ABSENT, "x": ABSENT})
                os.remove(self.path("in"))

    @posix_only("the Windows loader rewrites argument 0")
    def test_usage_shows_argument_zero_unchanged(self):
        for argv0 in ("/opt/tools/bin/xonspan", "span tool", ""):
            with self.subTest(argv0=argv0):
                out, status = self.run_tool([], argv0=argv0)
                self.assertEqual((out, status), (usage(argv0), 1))

    def test_usage_shows_argument_zero_in_the_ansi_code_page(self):
        if not WINDOWS:
            self.skipTest("Windows only")
        folder = self.path("Ünïcode tools")
        os.mkdir(folder)
        exe = shutil.copy(EXE, folder)
        out, status = self.run_tool([], argv0=exe)
        # Windows hands the program its full path; Wine shows the Unix root as Z:.
        self.assertEqual((out, status), (usage(("Z:" + exe.replace("/", "\\")).encode("cp1252")), 1))

    def test_option_like_and_dash_arguments_are_paths(self):
        self.expect(["-h", "-"], b"", 0, before={"-h": XON + b"help" + XOFF},
                    after={"-h": XON + b"help" + XOFF, "-": b"help"})

    def test_standard_input_is_never_read(self):
        with tempfile.TemporaryFile() as stdin:
            stdin.write(XON + b"from stdin" + XOFF)
            stdin.seek(0)
            out, status = self.run_tool(["-", "out"], stdin=stdin)
        self.assertEqual((out, status), (OPEN_ERROR, 1))
        self.check_files({"out": b""})


class Files(Tool):
    def test_spans_are_copied(self):
        data = b"ab" + XON + b"cd" + XOFF + b"e" + XON + b"f" + XOFF + b"g"
        self.expect(["in", "out"], b"", 0, before={"in": data}, after={"in": data, "out": b"cdf"})

    def test_bundled_example(self):
        examples = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
        with open(os.path.join(examples, "capture.bin"), "rb") as f:
            capture = f.read()
        with open(os.path.join(examples, "capture.expected"), "rb") as f:
            expected = f.read()
        self.expect(["capture.bin", "payload.txt"], b"", 0, before={"capture.bin": capture},
                    after={"payload.txt": expected})

    def test_bytes_pass_unchanged(self):
        # Line ends and 0x1A survive, and 0x1A does not end the input.
        span = b"\n\r\r\n\x1a\x00\xff\x1a" + bytes(b for b in range(256) if b not in (0x11, 0x13))
        data = b"\r\n" + XON + span + XOFF + b"\x1a" + XON + b"after\x1a" + XOFF
        self.expect(["in", "out"], b"", 0, before={"in": data}, after={"out": span + b"after\x1a"})

    def test_any_file_name(self):
        payload = "δεδομένα データ 📡".encode()
        data = b"noise" + XON + payload + XOFF + b"noise"
        deep = "/".join(["d" * 60] * 5)
        names = [
            ("Japanese", "データ.bin", "出力.txt"),
            ("Greek", "δεδομένα.bin", "έξοδος.txt"),
            ("Cyrillic", "данные.bin", "вывод.txt"),
            ("outside the Basic Multilingual Plane", "📡 capture.bin", "🛰 payload.txt"),
            ("Unicode directory", "каталог/データ.bin", "каталог/出力.txt"),
            ("path past 260 characters", deep + "/in.bin", deep + "/out.bin"),
        ]
        for what, in_name, out_name in names:
            with self.subTest(what):
                with tempfile.TemporaryDirectory() as d:
                    self.dir = d
                    self.expect([in_name, out_name], b"", 0, before={in_name: data},
                                after={in_name: data, out_name: payload})

    def test_existing_output_is_replaced(self):
        self.expect(["in", "out"], b"", 0, before={"in": b"no span here", "out": b"old" * 1000},
                    after={"out": b""})

    def test_open_failures(self):
        cases = [
            ("missing input, no output: output created empty", {}, ["nope", "out"], {"out": b""}),
            ("missing input, existing output: output left empty", {"out": b"old"}, ["nope", "out"], {"out": b""}),
            ("output in a missing directory: input untouched", {"in": XON + b"x"}, ["in", "no/out"],
             {"in": XON + b"x", "no": ABSENT}),
            ("output is a directory", {"in": XON + b"x", "d": DIR}, ["in", "d"], {"in": XON + b"x", "d": DIR}),
            ("missing input with a Unicode name", {}, ["無い.bin", "出力.txt"], {"出力.txt": b""}),
        ]
        for what, before, args, after in cases:
            with self.subTest(what):
                with tempfile.TemporaryDirectory() as d:
                    self.dir = d
                    self.expect(args, OPEN_ERROR, 1, before=before, after=after)

    def test_same_file_is_refused_and_kept(self):
        data = b"k" + XON + b"payload" + XOFF
        links = [("same path", "f", None, "f"), ("other spelling", "f", None, "./f"), ("hard link", "f", os.link, "h"),
                 ("Unicode names", "каталог/データ", None, "./каталог/データ"),
                 ("Unicode hard link", "データ", os.link, "📡")]
        if not WINDOWS and os.name == "posix":
            links.append(("symbolic link", "f", os.symlink, "s"))
        for what, name, make, out_name in links:
            with self.subTest(what):
                with tempfile.TemporaryDirectory() as d:
                    self.dir = d
                    self.put({name: data})
                    if make:
                        make(name, self.path(out_name)) if make is os.symlink else make(self.path(name), self.path(out_name))
                    self.expect([name, out_name], OPEN_ERROR, 1, after={name: data})
                    if WINDOWS:  # Wine's standard output from a Linux parent shows no file ID
                        continue
                    # Standard output in_file too (`>> f`): a message there would change it.
                    with open(self.path(name), "ab") as f:
                        p = subprocess.run(EMULATOR + [EXE, name, out_name], cwd=d, stdin=subprocess.DEVNULL,
                                           stdout=f, timeout=60)
                    self.assertEqual(p.returncode, 1)
                    self.check_files({name: data})

    @posix_only("needs /dev/null")
    def test_devices_are_not_the_same_file(self):
        self.expect(["/dev/null", "/dev/null"], b"", 0)

    @posix_only("names descriptors as /dev/stdout and /dev/fd/N")
    def test_a_named_descriptor_is_written_as_the_caller_opened_it(self):
        data = b"x" + XON + b"NEW\n" + XOFF + b"y"
        cases = [
            # what, out_file, the caller's standard input and output (file, mode), stdout, status, log after
            (">> through /dev/stdout appends", "/dev/stdout", None, "ab", b"", 0, b"old\nNEW\n"),
            ("> through /dev/stdout truncates", "/dev/stdout", None, "wb", b"", 0, b"NEW\n"),
            (">> through /dev/fd/1", "/dev/fd/1", None, "ab", b"", 0, b"old\nNEW\n"),
            (">> through /proc/self/fd/1", "/proc/self/fd/1", None, "ab", b"", 0, b"old\nNEW\n"),
            (">> through //dev/stdout", "//dev/stdout", None, "ab", b"", 0, b"old\nNEW\n"),
            (">> through /dev/fd//1", "/dev/fd//1", None, "ab", b"", 0, b"old\nNEW\n"),
            (">> through /proc/thread-self/fd/1", "/proc/thread-self/fd/1", None, "ab", b"", 0, b"old\nNEW\n"),
            (">> through a link to /dev/stdout", "so", None, "ab", b"", 0, b"old\nNEW\n"),
            ("< through /dev/stdin: not open for writing, refused", "/dev/stdin", "rb", None, OPEN_ERROR, 1, b"old\n"),
        ]
        os.symlink("/dev/stdout", self.path("so"))
        for what, out_name, stdin_mode, stdout_mode, stdout, status, log in cases:
            with self.subTest(what):
                self.put({"in": data, "log": b"old\n"})
                with open(self.path("log"), stdin_mode or stdout_mode) as f, tempfile.TemporaryFile() as messages:
                    p = subprocess.run(EMULATOR + [EXE, "in", out_name], cwd=self.dir, timeout=60,
                                       stdin=f if stdin_mode else subprocess.DEVNULL,
                                       stdout=messages if stdin_mode else f, stderr=subprocess.PIPE)
                    messages.seek(0)
                    self.assertEqual((messages.read(), p.returncode, p.stderr), (stdout, status, b""))
                self.check_files({"log": log, "in": data})
        # A caller's non-blocking pipe (an event loop's) is waited on when full.
        self.put({"big": XON + b"k" * 200000})
        r, w = os.pipe()
        os.set_blocking(w, False)
        tool = subprocess.Popen(EMULATOR + [EXE, "big", "/dev/stdout"], cwd=self.dir, stdin=subprocess.DEVNULL, stdout=w)
        os.close(w)
        time.sleep(0.5)
        with os.fdopen(r, "rb") as pipe:
            self.assertEqual((pipe.read(), tool.wait(timeout=60)), (b"k" * 200000, 0))

    @posix_only("needs /dev/full")
    def test_write_failure_is_reported(self):
        for what, data in (("first write", XON + b"x"), ("after megabytes", XON + os.urandom(8 << 20).replace(XOFF, b"."))):
            with self.subTest(what):
                self.put({"in": data})
                self.expect(["in", "/dev/full"], WRITE_ERROR, 1, after={"in": data})

    @posix_only("needs /dev/full")
    def test_nothing_to_write_to_a_full_device_succeeds(self):
        self.expect(["in", "/dev/full"], b"", 0, before={"in": b"no span"})

    @posix_only("needs a directory that opens for reading")
    def test_read_failure_is_reported(self):
        self.expect(["d", "out"], READ_ERROR, 1, before={"d": DIR}, after={"d": DIR, "out": b""})

    @posix_only("needs a FIFO")
    def test_fifo_input_in_small_pieces(self):
        os.mkfifo(self.path("fifo"))
        pieces = [b"noise", XON, b"he", b"llo", XOFF, b"x" * 70000, XON, b"w", b"orld" * 20000]

        def feed():
            with open(self.path("fifo"), "wb", buffering=0) as f:
                for piece in pieces:
                    f.write(piece)
                    threading.Event().wait(0.01)

        writer = threading.Thread(target=feed)
        writer.start()
        try:
            self.expect(["fifo", "out"], b"", 0, after={"out": b"hello" + b"w" + b"orld" * 20000})
        finally:
            writer.join()


class Faults(Tool):
    def test_read_write_and_close_failures_are_reported(self):
        big = XON + b"r" * 100000
        cases = [
            # what, fault, input, stdout, status, out_file after
            ("read error part way", "read:70000", big, READ_ERROR, 1, b"r" * 69999),
            ("write error part way", "write:50000", big, WRITE_ERROR, 1, b"r" * 50000),
            ("write error at once", "write:0", XON + b"x", WRITE_ERROR, 1, b""),
            ("close error, data written", "close", XON + b"abc", WRITE_ERROR, 1, b"abc"),
            ("close error, nothing written", "close", b"no span", WRITE_ERROR, 1, b""),
        ]
        for what, fault, data, stdout, status, kept in cases:
            with self.subTest(what):
                self.put({"in": data})
                out, got = self.run_tool(["in", "out"], env=dict(os.environ, XONSPAN_TEST_FAULT=fault), exe=FAULTY)
                self.assertEqual((out, got), (stdout, status))
                self.check_files({"in": data, "out": kept})

    @posix_only("needs a FIFO")
    def test_output_fifo_whose_reader_goes_away(self):
        # Death by SIGPIPE is the conventional answer; with SIGPIPE ignored
        # the write error is reported. Hanging is not acceptable.
        self.put({"in": XON + b"x" * (16 << 20)})
        os.mkfifo(self.path("out"))

        def read_a_little():
            with open(self.path("out"), "rb") as f:
                f.read(1000)

        reader = threading.Thread(target=read_a_little)
        reader.start()
        try:
            out, status = self.run_tool(["in", "out"], timeout=60)
        finally:
            reader.join()
        self.assertIn((out, status), [(b"", -13), (WRITE_ERROR, 1)])


def live_kinds():
    """The live inputs a build can be given here: Windows only has serial ports; as root, the
    caller's pipe for a tool run as another user, who may not open it anew."""
    if WINDOWS:
        return ("pty",)
    return ("fifo", "pipe", "pty", "pty master") + (("pipe, another user's",) if os.geteuid() == 0 else ())


def exclusive(fd):
    """Whether a terminal refuses other opens (TIOCEXCL); Linux's TIOCGEXCL tells."""
    return int.from_bytes(fcntl.ioctl(fd, 0x80045440, b"\0\0\0\0"), sys.byteorder) != 0


def flow_control(settings):
    """What Windows can set of a line: XON/XOFF flow control on received bytes."""
    return settings[0] & termios.IXON


def spans(data):
    """The kept bytes of `data`, byte by byte."""
    out, inside = bytearray(), False
    for b in data:
        inside = True if b == 0x11 else False if b == 0x13 else inside
        if inside and b != 0x11:
            out.append(b)
    return bytes(out)


def queued(fd):
    """Bytes waiting to be read from a terminal, FIFO or pipe."""
    return int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"), sys.byteorder)


def process_state(pid):
    """The state letter Linux shows for a process: R, S, T (stopped), Z (ended); None if gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


# Ways of naming a COM port: the kind of live input names the spelling.
SPELLINGS = {"pty": r"\\.\COM{}", "pty as COMn:": "COM{}:", r"pty as \\?\COMn": r"\\?\COM{}"}


class LiveInput(Tool):
    """Kept bytes reach the output as soon as they are read, while the input is still open.

    A pseudo-terminal in the settings a new one has (canonical input, echo,
    IXON, ICRNL, ISIG) stands in for a serial line; under Wine it is mapped
    as a COM port."""

    def start(self, args, stdin=subprocess.DEVNULL, terminal=None, setup=None, exe=None):
        """Starts the tool, with `terminal` (a descriptor) as its controlling terminal if
        given, else in a process group of its own that job control can stop (one whose
        parent is in another group of the same session), after `setup()` if given."""
        def prepare():
            if terminal:
                os.setsid()
                fcntl.ioctl(terminal, termios.TIOCSCTTY, 0)
            else:
                os.setpgid(0, 0)
            if setup:
                setup()
        return subprocess.Popen(EMULATOR + [exe or EXE] + args, cwd=self.dir, stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                pass_fds=(terminal,) if terminal else (), preexec_fn=prepare)

    def output(self):
        try:
            with open(self.path("out"), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def arrives(self, want, timeout=60):
        """Waits until out_file holds `want`."""
        self.assertTrue(wait_for(lambda: self.output() == want, timeout), f"out_file holds {self.output()!r}")

    def all_read(self, fd):
        """Waits until the tool has read every byte written to its input."""
        self.assertTrue(wait_for(lambda: queued(self.line[0] if self.line else fd) == 0))

    @contextlib.contextmanager
    def scratch(self, **what):
        """A subtest in a folder of its own."""
        with self.subTest(**what), tempfile.TemporaryDirectory() as d:
            self.dir = d
            yield

    @contextlib.contextmanager
    def live(self, kind, setup=None, exe=None):
        """The tool on a live input of `kind`: yields it and the input's write end, and stops
        it afterwards; its standard output is then in self.stdout."""
        tool, fd = self.open_writer(kind, setup=setup, exe=exe)
        try:
            yield tool, fd
        finally:
            self.stdout = self.stop(tool, fd)

    def com_port(self, tty, spelling):
        """Maps a terminal as a free COM port of Wine's and returns the name `spelling` gives it."""
        # The test run's own prefix, made before any test starts.
        devices = os.path.join(os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")), "dosdevices")
        # Only COM1 to COM9 are device names everywhere; the others are reached through \\.\ or \\?\.
        low = not spelling.startswith("\\")
        for n in range(1, 10) if low else range(100, 256):
            link = os.path.join(devices, f"com{n}")
            if os.path.lexists(link):
                if not low:
                    continue
                self.addCleanup(os.symlink, os.readlink(link), link)
                os.remove(link)
            os.symlink(tty, link)
            self.addCleanup(os.remove, link)
            return spelling.format(n)
        self.fail("no free COM port in " + devices)

    def open_line(self, spelling=SPELLINGS["pty"]):
        """A pseudo-terminal: its two ends, its settings and the path the tool opens."""
        master, slave = os.openpty()
        self.addCleanup(os.close, slave)
        tty = os.ttyname(slave)
        # A run killed here leaves its lock file, whose PID a later process may take.
        lock = "/var/lock/LCK.." + os.path.basename(tty)
        self.addCleanup(lambda: os.path.exists(lock) and os.remove(lock))
        return master, slave, termios.tcgetattr(slave), self.com_port(tty, spelling) if WINDOWS else tty

    def open_writer(self, kind, setup=None, exe=None):
        """Starts the tool on a live input; returns it and the input's write end."""
        self.line = None
        if kind == "fifo":
            os.mkfifo(self.path("fifo"))
            # Read-write, so neither end waits for the other to open.
            fd = os.open(self.path("fifo"), os.O_RDWR)
            return self.start(["fifo", "out"], setup=setup, exe=exe), fd
        if kind.startswith("pipe"):
            r, w = os.pipe()
            if kind != "pipe":  # the tool, and its folder, where that user reaches them
                os.chmod(self.dir, 0o777)
                exe = shutil.copy(exe or EXE, self.dir)
                setup = lambda: (os.setgid(65534), os.setuid(65534))
            tool = self.start(["/dev/stdin", "out"], stdin=r, setup=setup, exe=exe)
            os.close(r)
            return tool, w
        if kind == "pty master":  # a program's end of a pseudo-terminal, read as it was given
            master, slave = os.openpty()
            tty.setraw(slave)
            tool = self.start(["/dev/stdin", "out"], stdin=master, setup=setup, exe=exe)
            os.close(master)
            return tool, slave
        master, slave, before, path = self.open_line(SPELLINGS.get(kind, SPELLINGS["pty"]))
        self.line = (slave, before)
        tool = self.start([path, "out"], terminal=slave if kind == "own terminal" else None, setup=setup, exe=exe)
        # Bytes sent before the tool has set the line up would meet its old settings.
        self.assertTrue(wait_for(lambda: not flow_control(termios.tcgetattr(slave)) or tool.poll() is not None))
        return tool, master

    def stop(self, tool, fd):
        if WINDOWS and tool.poll() is None:
            # Ctrl+C ends a run on a port, before the line goes away.
            tool.send_signal(signal.SIGINT)
            try:
                tool.wait(timeout=60)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.close(fd)
        except OSError:
            pass  # the test hung the line up itself
        try:
            return tool.communicate(timeout=60)[0]
        finally:
            if tool.poll() is None:
                tool.kill()
                tool.wait()

    def check_line_restored(self):
        if self.line:
            slave, before = self.line
            after = termios.tcgetattr(slave)
            if WINDOWS:  # Wine sets a port's other flags its own way
                self.assertEqual(flow_control(after), flow_control(before), "flow control restored")
            else:
                self.assertEqual(after, before, "the line's settings restored")
                self.assertFalse(exclusive(slave), "exclusive mode off")

    def test_each_span_is_in_the_output_before_the_next_is_sent(self):
        every_byte = bytes(b for b in range(256) if b not in (0x11, 0x13))
        pieces = ((b"junk" + XON + b"first" + XOFF + b"junk", b"first"),
                  (b"\x03\x04\r\n\x1a" + XOFF + XON + b"^C ^D CR LF ^Z: \x03\x04\r\n\x1a" + XOFF,
                   b"^C ^D CR LF ^Z: \x03\x04\r\n\x1a"),
                  (XON + every_byte + XOFF, every_byte),
                  (XON + b"second, open", b"second, open"))
        for kind in live_kinds():
            with self.scratch(kind=kind):
                sent = b""
                # Closing a pseudo-terminal's other end hangs it up: the end of its input.
                with self.live(kind) as (tool, fd):
                    for piece, kept in pieces:
                        os.write(fd, piece)
                        sent += kept
                        self.arrives(sent)
                self.assertEqual(self.stdout, b"")
                if not WINDOWS:
                    self.assertEqual(tool.returncode, 0)
                self.check_files({"out": sent})

    def test_stopped_while_waiting_keeps_every_kept_byte_it_read(self):
        data = b"x" + XON + b"a" * 3000 + XOFF + b"y" + XON + b"open span"
        # kind, signal, and what comes first: another reader that takes what arrives (the tool
        # must not wait in a read it cannot leave)
        cases = [("fifo", signal.SIGTERM, None), ("fifo", signal.SIGINT, None), ("fifo", signal.SIGUSR1, None),
                 ("pty", signal.SIGTERM, None), ("pty", signal.SIGINT, None), ("pty", signal.SIGHUP, None),
                 ("pty", signal.SIGUSR1, None), ("pty", signal.SIGALRM, None), ("pty", signal.SIGXCPU, None),
                 ("pty", signal.SIGTERM, "another reader"), ("pty", signal.SIGINT, "another reader"),
                 ("own terminal", signal.SIGINT, None)]  # Ctrl+C typed on the terminal it was started from
        if WINDOWS:  # Wine delivers SIGINT to a program as the console's Ctrl+C
            cases = [("pty", signal.SIGINT, None), ("pty as COMn:", signal.SIGINT, None),
                     (r"pty as \\?\COMn", signal.SIGINT, None)]
        for kind, sig, first in cases:
            with self.scratch(kind=kind, signal=sig.name, first=first):
                steals = first == "another reader"
                setup = (lambda: os.environ.__setitem__("XONSPAN_TEST_FAULT", f"steal:{len(data)}")) if steals else None
                with self.live(kind, setup=setup, exe=FAULTY if steals else None) as (tool, fd):
                    os.write(fd, data)
                    self.all_read(fd)
                    self.arrives(b"a" * 3000 + b"open span")
                    if steals:
                        # It takes what arrives before the tool's read, which must then not wait.
                        os.write(fd, XOFF)
                        time.sleep(0.3)
                    if kind == "own terminal":
                        os.write(fd, b"\x03")
                    else:
                        tool.send_signal(sig)
                    tool.wait(timeout=20)
                    self.check_line_restored()
                self.assertEqual(tool.returncode, CTRL_C_EXIT if WINDOWS else -sig)
                self.check_files({"out": b"a" * 3000 + b"open span"})

    def test_a_signal_while_a_write_waits(self):
        # out_file is a FIFO whose reader has read nothing: once its pipe is full, the write of
        # the next kept bytes waits with nothing sent.
        full, tail = b"k" * 65536, b"tail"
        kind, interrupted = "fifo", (b"", -signal.SIGINT)
        no_sigpipe = lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN)
        cases = [("one SIGINT: the write finishes, then the run ends", 1, None, full + tail, interrupted),
                 ("a second SIGINT gives the write up at once", 2, None, full, interrupted),
                 ("the write then fails: reported, not hidden by the signal", 1, no_sigpipe, b"", (WRITE_ERROR, 1))]
        if WINDOWS:  # Ctrl+C, and the port is given back either way
            # Wine hands a port's bytes on in pieces as the load makes them, each written
            # alone, so what a pipe holds before a write waits is not known: `full` surely fits
            # a small pipe and the tail surely does not. Wine may hold some of the tail for the
            # port, unread by the tool when Ctrl+C came.
            kind, full, tail = "pty", b"k" * 4096, b"t" * 16384
            cases = [("one Ctrl+C: the write finishes, then the run ends", 1, None, full, (b"", CTRL_C_EXIT)),
                     ("a second Ctrl+C gives the write up at once", 2, None, full, (b"", CTRL_C_EXIT))]
        for what, signals, setup, arrived, (stdout, status) in cases:
            with self.scratch(what=what):
                os.mkfifo(self.path("out"))
                reader = os.open(self.path("out"), os.O_RDONLY | os.O_NONBLOCK)
                self.addCleanup(os.close, reader)
                if WINDOWS:
                    fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 4 * len(full))
                with self.live(kind, setup=setup) as (tool, fd):
                    os.write(fd, XON + full)
                    self.assertTrue(wait_for(lambda: queued(reader) >= len(full)))
                    os.write(fd, tail)
                    if WINDOWS:  # the tool stops reading the tail once its write waits
                        self.assertTrue(settled(lambda: (queued(reader), queued(self.line[0]))))
                    else:
                        self.all_read(fd)
                    time.sleep(0.5)
                    for _ in range(signals):
                        tool.send_signal(signal.SIGINT)
                        time.sleep(0.3)
                    if signals == 2:
                        tool.wait(timeout=20)
                    else:
                        self.assertIsNone(tool.poll(), "the run waits for its write")
                    os.set_blocking(reader, True)
                    got = b""
                    if setup:  # the reader goes away, having read nothing
                        null = os.open(os.devnull, os.O_RDONLY)
                        os.dup2(null, reader)
                        os.close(null)
                    while chunk := os.read(reader, 1 << 16):
                        got += chunk
                    tool.wait(timeout=20)
                    self.check_line_restored()
                if WINDOWS:
                    got = got[:len(arrived)]
                self.assertEqual((got, tool.returncode, self.stdout), (arrived, status, stdout))

    def test_every_other_way_out_gives_the_line_back(self):
        faulty = []  # set-ups that make the tool's reads or writes fail

        def fault(what):
            faulty.append(lambda: os.environ.__setitem__("XONSPAN_TEST_FAULT", what))
            return faulty[-1]

        def stop_then_continue(tool, master):
            # Stopped, the line stays as the run set it: what arrives meanwhile is read unchanged.
            tool.send_signal(signal.SIGTSTP)
            self.assertTrue(wait_for(lambda: process_state(tool.pid) == "T"))
            os.write(master, XON + b"two\r" + XOFF)
            time.sleep(0.3)
            self.assertTrue(exclusive(self.line[0]) and not flow_control(termios.tcgetattr(self.line[0])))
            tool.send_signal(signal.SIGCONT)

        cases = [
            # what, what is sent, then done, set-up in the tool's process, stdout, status, out_file after
            ("write error", XON + b"kept, then no room", None, fault("write:3"), WRITE_ERROR, 1, b"kep"),
        ]
        if WINDOWS:
            cases += [
                ("read error", XON + b"kept, then an error", None, fault("read:8"), READ_ERROR, 1, b"kept, t"),
                ("port gone", XON + b"kept, then unplugged", None, fault("gone:8"), b"", 0, b"kept, t"),
                ("port gone after a read's first byte", XON, lambda tool, master: (time.sleep(1), os.write(master, b"AB")),
                 fault("gone:2"), b"", 0, b"A"),
            ]
        else:  # POSIX signals, resource limits and hang-ups
            import resource
            cases += [
                ("file-size limit", XON + b"x" * 5000, None,
                 lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000)), WRITE_ERROR, 1, b"x" * 1000),
                ("SIGHUP ignored, then the hang-up", XON + b"before",
                 lambda tool, master: (tool.send_signal(signal.SIGHUP), time.sleep(0.3), os.write(master, b", after")),
                 lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN), b"", 0, b"before, after"),
                ("a read fails with EIO, as on a line that hung up", XON + b"kept, then EIO", None, fault("read:8"),
                 b"", 0, b"kept, t"),
                ("a fault signal", XON + b"held", lambda tool, master: tool.send_signal(signal.SIGSEGV),
                 lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)), b"", -signal.SIGSEGV, b"held"),
                ("stopped and continued", XON + b"one\r" + XOFF, stop_then_continue, None, b"", 0, b"one\rtwo\r"),
            ]
        for what, sent, action, setup, stdout, status, kept in cases:
            with self.scratch(what=what):
                if what == "a fault signal" and under(QEMU_X86_64_SIGNAL_STACK[0]):
                    self.skipTest(": ".join(QEMU_X86_64_SIGNAL_STACK))
                with self.live("pty", setup=setup, exe=FAULTY if setup in faulty else None) as (tool, master):
                    os.write(master, sent)
                    if action:
                        self.arrives(spans(sent))
                        action(tool, master)
                    self.arrives(kept)
                    if status != 0 or setup in faulty:  # the run ends by itself, and the line is still there
                        tool.wait(timeout=60)
                        self.check_line_restored()
                    # Else closing the line's other end hangs it up: the end of the input.
                self.assertEqual((self.stdout, tool.returncode), (stdout, status))
                self.check_files({"out": kept})

    @posix_only("needs a FIFO, a pseudo-terminal and, as root, a block device")
    def test_a_fifo_block_device_or_terminal_named_twice_is_refused(self):
        os.mkfifo(self.path("fifo"))
        writer = os.open(self.path("fifo"), os.O_RDWR)  # so that the tool's open does not wait
        self.addCleanup(os.close, writer)
        os.write(writer, XON + b"not to be read" + XOFF)
        # A device on the line would be sent the payload as if typed.
        device, slave, settings, tty = self.open_line()
        settings[3] &= ~termios.ECHO
        termios.tcsetattr(slave, termios.TCSANOW, settings)
        os.write(device, XON + b"RESET\r" + XOFF + b"\n")
        cases = [("FIFO", "fifo", "fifo"), ("FIFO by another name", "fifo", "./fifo"), ("terminal", tty, tty)]
        if os.geteuid() == 0 and os.path.exists("/dev/loop0"):
            # Two nodes of one block device; with no file behind it, it reads as empty.
            for name in ("loop", "loop-too"):
                os.mknod(self.path(name), 0o600 | __import__("stat").S_IFBLK, os.stat("/dev/loop0").st_rdev)
            cases.append(("block device, two nodes", "loop", "loop-too"))
        for what, in_name, out_name in cases:
            with self.subTest(what):
                out, status = self.run_tool([in_name, out_name], timeout=30)
                self.assertEqual((out, status), (OPEN_ERROR, 1))
        self.assertEqual(os.read(writer, 100), XON + b"not to be read" + XOFF, "nothing read")
        os.set_blocking(device, False)
        self.assertRaises(BlockingIOError, os.read, device, 100)  # the device was sent nothing

    @posix_only("needs a shell with job control")
    @not_under(*QEMU_X86_64_SIGNAL_STACK)
    def test_stopped_and_continued_on_its_own_terminal(self):
        master, slave = os.openpty()
        self.addCleanup(os.close, slave)

        def own_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        shell = subprocess.Popen(["bash", "--norc", "--noprofile", "-i"], cwd=self.dir, stdin=slave, stdout=slave,
                                 stderr=slave, preexec_fn=own_terminal, env=dict(os.environ, PS1="$ "))
        shown = []

        def screen():
            try:
                while True:
                    shown.append(os.read(master, 4096))
            except OSError:
                pass
        threading.Thread(target=screen, daemon=True).start()
        holds = lambda want: wait_for(lambda: exclusive(slave) == want, 30)
        # Held, and set up: an XON sent before its settings would be taken by the line itself.
        ready = lambda: wait_for(lambda: exclusive(slave) and not flow_control(termios.tcgetattr(slave)), 30)
        try:
            self.assertTrue(wait_for(lambda: b"$ " in b"".join(shown), 30))
            # Its own terminal as /dev/tty and out_file by another name: refused. qemu-user does
            # not pass on TIOCGDEV, which tells the terminal behind /dev/tty.
            if not any("qemu" in part for part in EMULATOR):
                os.write(master, b"for o in /dev/stdout $(tty); do " + shlex.join(EMULATOR + [EXE, "/dev/tty"]).encode() +
                         b' "$o"; echo " status=$?"; done\r')
                self.assertTrue(wait_for(lambda: b"".join(shown).count(OPEN_ERROR + b" status=1") == 2, 30))
            # Read from a background group no shell will bring back, its terminal fails the read.
            os.write(master, b"( (sleep 1; " + shlex.join(EMULATOR + [EXE, "/dev/tty", "out"]).encode() +
                     b'; echo " status=$?") & )\r')
            time.sleep(2)
            failed = lambda: re.search(re.escape(READ_ERROR) + rb".*? status=1", b"".join(shown), re.S)
            for _ in range(30):  # it and the shell race for each line typed
                os.write(master, b"\r")
                if wait_for(failed, 1):
                    break
            self.assertTrue(failed())
            command = shlex.join(EMULATOR + [EXE, "/dev/tty", "out"]).encode() + b"\r"
            os.write(master, command)
            self.assertTrue(ready())
            os.write(master, XON + b"a\r")
            self.arrives(b"a\r")
            os.write(master, b"\x1a")  # Ctrl+Z: stopped, the terminal given back
            self.assertTrue(holds(False))
            os.write(master, b"fg\r")
            self.assertTrue(ready())
            os.write(master, XON + b"b\rc\x7f" + XOFF)
            self.arrives(b"a\rb\rc\x7f")
            os.write(master, b"\x03")
            self.assertTrue(holds(False))
            # Continued in the background, it leaves the terminal to the shell; a read there
            # stops it, as any program's, and `kill %1` then ends it.
            os.write(master, command)
            self.assertTrue(holds(True))
            os.write(master, b"\x1a")
            self.assertTrue(holds(False))
            os.write(master, b"bg; echo pid=$!; sleep 2\r")
            self.assertTrue(wait_for(lambda: re.search(rb"pid=(\d+)", b"".join(shown)), 30))
            pid = int(re.search(rb"pid=(\d+)", b"".join(shown))[1])
            time.sleep(0.5)
            self.assertFalse(exclusive(slave), "taken from the background")
            os.write(master, b"\r")  # read while the shell waits for sleep
            self.assertTrue(wait_for(lambda: process_state(pid) == "T", 30), "stopped by its read")
            self.assertTrue(wait_for(lambda: b"".join(shown).count(b"Stopped") == 2, 30))
            os.write(master, b"kill %1; sleep 1; jobs\r")
            self.assertTrue(wait_for(lambda: b"Terminated" in b"".join(shown), 30), b"".join(shown)[-300:])
            # Stopped by SIGSTOP, which cannot be caught, it still holds the terminal; continued in
            # the background, it gives it back. Under qemu-user the shell's report of the stop
            # races with what is typed next, so this runs natively only.
            if not any("qemu" in part for part in EMULATOR):
                os.write(master, command)
                self.assertTrue(holds(True))
                for pid in subprocess.run(["pgrep", "-P", str(shell.pid)], capture_output=True).stdout.split():
                    os.kill(int(pid), signal.SIGSTOP)
                self.assertTrue(wait_for(lambda: b"".join(shown).count(b"Stopped") == 3, 30))
                os.write(master, b"bg\r")
                self.assertTrue(holds(False))
                os.write(master, b"kill %1; sleep 1; jobs\r")
                self.assertTrue(wait_for(lambda: b"".join(shown).count(b"Terminated") == 2, 30), b"".join(shown)[-300:])
            os.write(master, b"exit 0\r")
            self.assertEqual(shell.wait(timeout=30), 0)
        finally:
            os.close(master)
            if shell.poll() is None:
                shell.kill()
                shell.wait()

    def test_a_line_that_never_pauses_reaches_the_output_as_it_comes(self):
        # A byte a millisecond for 3 s: everything sent a second ago is in out_file at every moment.
        for kind in ("pty",) if WINDOWS else ("fifo", "pty"):
            with self.scratch(kind=kind), self.live(kind) as (tool, fd):
                sent = []  # (time, kept bytes so far)
                os.write(fd, XON)
                start = time.monotonic()
                while time.monotonic() - start < 3:
                    os.write(fd, b"x")
                    now = time.monotonic()
                    sent.append((now, len(sent) + 1))
                    behind = [n for t, n in sent if t < now - 1]
                    if behind and len(sent) % 100 == 0:
                        self.assertGreaterEqual(len(self.output() or b""), behind[-1],
                                                f"{now - start:.2f} s after the start")
                    time.sleep(0.001)
                self.arrives(b"x" * len(sent))

    def test_a_line_has_one_reader_at_a_time(self):
        master, slave, before, path = self.open_line()
        first = self.start([path, "out"])
        try:
            self.assertTrue(wait_for(lambda: not flow_control(termios.tcgetattr(slave))))
            os.write(master, XON + b"before, " + XOFF)
            self.arrives(b"before, ")
            # Refused, and the first run's out_file (or any other) left as it was. Wine lets
            # a second program open a port; Windows does not, which a failing open stands for.
            for out_name in ("out", "second"):
                out, status = self.run_tool([path, out_name], exe=FAULTY if WINDOWS else None,
                                            env=dict(os.environ, XONSPAN_TEST_FAULT="held"))
                self.assertEqual((out, status), (OPEN_ERROR, 1))
            self.check_files({"second": ABSENT})
            os.write(master, XON + b"all of it, to the first" + XOFF)
            self.arrives(b"before, all of it, to the first")
        finally:
            self.assertEqual(self.stop(first, master), b"")
        self.assertEqual(first.returncode, CTRL_C_EXIT if WINDOWS else 0)


class LargeInput(Tool):
    def test_spans_across_the_4_gib_mark(self):
        size = 4600 << 20
        mark = 4 << 30
        usage = shutil.disk_usage(self.dir)
        head = b"across the mark:" + bytes(range(32, 127)) * 3
        tail = b"open to the end" + bytes(b for b in range(256) if b not in (0x11, 0x13))
        with open(self.path("big"), "wb") as f:
            f.truncate(size)
            f.seek(mark - 100)
            f.write(XON + head + XOFF)
            f.seek(size - len(tail) - 1)
            f.write(XON + tail)
        if os.stat(self.path("big")).st_blocks * 512 > (64 << 20) and usage.free < (size + (1 << 30)):
            self.skipTest(f"no room for a {size >> 20} MiB file: {usage.free >> 20} MiB free")
        self.assertEqual(os.path.getsize(self.path("big")), size)
        out, status = self.run_tool(["big", "out"], timeout=1800)
        self.assertEqual((out, status), (b"", 0))
        self.check_files({"out": head + tail})


def main():
    global EXE, EMULATOR, WINDOWS, FAULTY
    ap = argparse.ArgumentParser(usage=__doc__)
    ap.add_argument("exe")
    ap.add_argument("--emulator", default="")
    ap.add_argument("--faulty")
    ap.add_argument("--large", action="store_true", help="run only the tests on inputs past 4 GiB")
    ap.add_argument("-k", dest="patterns", action="append", help="run only the tests whose names hold this")
    args = ap.parse_args()
    EXE = os.path.abspath(args.exe)
    EMULATOR = shlex.split(args.emulator)
    WINDOWS = EXE.lower().endswith(".exe")
    FAULTY = args.faulty and os.path.abspath(args.faulty)
    if WINDOWS and EMULATOR:
        os.environ.setdefault("WINEDEBUG", "-all")
        # Wine turns the byte arguments into UTF-16 by the locale's character set.
        os.environ["LC_ALL"] = "C.UTF-8"
    loader = unittest.defaultTestLoader
    loader.testNamePatterns = [f"*{p}*" for p in args.patterns or []] or None
    module = sys.modules[__name__]
    if args.large:
        suite = loader.loadTestsFromTestCase(LargeInput)
    else:
        suite = unittest.TestSuite(loader.loadTestsFromTestCase(c) for c in (Arguments, Files, Faults, LiveInput))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
