#!/usr/bin/env python3
"""Random runs of the tool, each made of what a run can be given and how it can end, and
checked for what must hold however it ends: every kept byte it read is in out_file, the
status tells how the run ended, the line is as it was, nothing else is written anywhere.

usage: run_fuzz.py EXE [--emulator wine] [--runs N] [--seed S] [--pipe-server EXE] [-v]

EXE is the tool built with its fault shim (xonspan_faults). A failing run prints its seed;
`--seed S --runs 1 -v` runs it again and says what it did.
"""
import argparse, fcntl, json, os, random, select, shlex, signal, socket, struct, subprocess, sys, tempfile, termios
import threading, time
import traceback

EXE, EMULATOR, WINDOWS, PIPE_SERVER, VERBOSE = None, [], False, None, False
OPEN, READ, WRITE = b"Error opening files", b"Error reading input file", b"Error writing output file"
CTRL_C_EXIT = 0x3A  # STATUS_CONTROL_C_EXIT's low byte, as Wine hands it on
TIOCGEXCL = 0x80045440
SET_UP = None  # the flag a line loses when the tool has set it up
# Seeds that once found a defect, run first every time (they stand for the plan below).
SEEDS = {
    # a file read after a signal, the controlling terminal taken, a second signal, live input
    # left blocking, SIGTTOU at the end in the background, /dev/tty as out_file, a fault sent by
    # kill, exclusive mode, closed descriptors, /dev/stdin opened anew, a deep working folder,
    # lock files honoured, written, removed; one signal sent twice at once, a real fault the
    # caller blocks or ignores, a socket of messages
    "posix": [300050, 300002, 300167, 300565, 300035, 300067, 300107, 300000, 300189, 300005, 300019, 300041,
              300006, 301114, 300871, 301563, 300026],
    # fNull, a pipe taken for a port, Ctrl+C on any input, one port by two names, a hang-up
    "windows": [300001, 300000, 300003, 300009, 300026],
}

# Signals by what their default action does. glibc keeps 32 and 33 for itself: no program
# of it can catch or block them.
NOT_FATAL = {signal.SIGCHLD, signal.SIGURG, signal.SIGWINCH, signal.SIGCONT}
STOPS = {signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU}
CATCHABLE = [s for s in range(1, signal.SIGRTMAX + 1) if s not in (signal.SIGKILL, signal.SIGSTOP, 32, 33)]
OWN = [signal.SIGILL, signal.SIGTRAP, signal.SIGABRT, signal.SIGBUS, signal.SIGFPE, signal.SIGSEGV, signal.SIGSYS,
       signal.SIGPIPE]

# The tool as a run's set-up starts it, in the process that becomes it: signals ignored,
# descriptors closed, a session or group of its own. On its own terminal it runs under a
# parent that plays the shell: its group in the foreground, the terminal taken back ("bg")
# or given again ("fg") when the parent is told so on descriptor `ctl`.
LAUNCH = r'''
import json, os, resource, signal, sys
how, cmd = json.loads(sys.argv[1]), sys.argv[2:]
def become():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    for s in range(1, signal.SIGRTMAX + 1):
        if s not in (9, 19, 32, 33):
            signal.signal(s, signal.SIG_IGN if s in how["ignore"] else signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, how["block"])
    for fd in how["close"] + ([how["ctl"]] if how["tty"] else []):
        os.close(fd)
    os.execv(cmd[0], cmd)
if how["deep"]:  # a working folder deeper than PATH_MAX, out_file a link in it
    for _ in range(20):
        os.mkdir("d" * 250)
        os.chdir("d" * 250)
    os.symlink("/dev/stdout", cmd[-1])
if not how["tty"]:
    os.setsid() if how["setsid"] else os.setpgid(0, 0)
    become()
os.setsid()
tty = os.open(how["tty"], os.O_RDWR)
signal.signal(signal.SIGTTOU, signal.SIG_IGN)
signal.signal(signal.SIGHUP, signal.SIG_IGN)
pid = os.fork()
if pid == 0:
    os.setpgid(0, 0)
    os.tcsetpgrp(tty, os.getpgrp())
    os.close(tty)
    become()
try:
    os.setpgid(pid, pid)  # as a shell does; the child may have done so and started the tool
except PermissionError:
    pass
os.tcsetpgrp(tty, pid)
for line in os.fdopen(how["ctl"]):
    os.tcsetpgrp(tty, os.getpgrp() if line == "bg\n" else pid)
    if line == "fg\n":
        os.killpg(pid, signal.SIGCONT)
status = os.waitpid(pid, 0)[1]
sys.exit(os.WEXITSTATUS(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status))
'''


class Failed(Exception):
    pass


def spans(data):
    out, inside = bytearray(), False
    for b in data:
        inside = True if b == 0x11 else False if b == 0x13 else inside
        if inside and b != 0x11:
            out.append(b)
    return bytes(out)


def unread(fd):
    """Bytes a terminal holds unread, counted by reading them: in canonical mode FIONREAD
    counts whole lines only, and a pseudo-terminal holds some apart until there is room."""
    settings = termios.tcgetattr(fd)
    settings[3] &= ~termios.ICANON
    settings[6][termios.VMIN], settings[6][termios.VTIME] = 0, 0
    termios.tcsetattr(fd, termios.TCSANOW, settings)
    count = 0
    while select.select([fd], [], [], 0.05)[0]:
        got = os.read(fd, 1 << 16)
        if not got:
            break
        count += len(got)
    return count


def queued(fd):
    return int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4), sys.byteorder)


def exclusive(fd):
    return int.from_bytes(fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4), sys.byteorder) != 0


def handling(pid):
    """Whether the process is the tool, past its start: it handles signals."""
    try:
        with open(f"/proc/{pid}/status") as f:
            caught = any(line.startswith("SigCgt:") and int(line.split()[1], 16) for line in f)
        return caught and os.readlink(f"/proc/{pid}/exe") == os.path.realpath(EXE)
    except OSError:
        return False  # ended meanwhile


def opened(pid, path):
    try:
        return any(os.readlink(f"/proc/{pid}/fd/{fd}") == path for fd in os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return False  # ended, or a descriptor closed meanwhile


def state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return None


def wait_for(what, predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise Failed("stalled: " + what)
        time.sleep(0.005)


def plan(rng, root):
    """A run, at random: what it reads, where it writes, its set-up and what happens to it."""
    ins = ["file", "fifo", "pty", "pty"] + (["named pipe"] if PIPE_SERVER else []) if WINDOWS else \
        ["file", "stdin file", "missing", "fifo", "pipe", "socket"] + ["pty", "own terminal"] * 2
    r = {"in": rng.choice(ins), "ignore": [], "block": [], "close": [], "setsid": False, "holder": None,
         "tty alias": False}
    live = r["in"] in ("fifo", "pipe", "socket", "pty", "own terminal")
    line = r["in"] in ("pty", "own terminal")
    # Wine waits for ever in a write to a FIFO whose reader went away, and takes a FIFO by
    # two names for two files: Windows has none.
    outs = ["file", "fifo"] * 3 + ["full volume"] + ([] if WINDOWS else ["reader leaves", "stdout >", "stdout >>"] +
                                                     ["nonblocking pipe"] * 2)
    outs += ["same"] if r["in"] in ("file", "pty", "own terminal") or (r["in"] == "fifo" and not WINDOWS) else []
    r["out"] = rng.choice(outs)
    quiet = r["out"] in ("reader leaves", "full volume")  # they end the run themselves
    r["data"] = make_data(rng, quiet or rng.random() < (0.6 if r["out"] in ("fifo", "nonblocking pipe") else 0.2))
    if r["in"] == "own terminal":  # its signal characters stay on
        r["data"] = bytes(b for b in r["data"] if b not in b"\x03\x1a\x1c")
    cuts = sorted(rng.sample(range(len(r["data"]) + 1), min(len(r["data"]), rng.randint(0, 6)))) if live else []
    r["pieces"] = [r["data"][a:b] for a, b in zip([0] + cuts, cuts + [len(r["data"])])]
    # What happens, and when: before the first piece, once piece i is read, or while the
    # write to a full output waits.
    writes_wait = r["out"] in ("fifo", "nonblocking pipe") and len(spans(r["data"])) > 70000
    # Often one the tool may cause itself too (a fault, SIGPIPE): sent by another, it is as any other.
    pick = lambda: rng.choice(OWN if rng.random() < 0.4 else CATCHABLE)
    ending = lambda: rng.choice([s for s in CATCHABLE if s not in NOT_FATAL | STOPS])
    events = [["signal", signal.SIGINT], ["signals", signal.SIGINT, signal.SIGINT]] if WINDOWS else \
        [["signal", pick()], ["signals", ending(), ending()], ["stopped", ending()], ["SIGTSTP"]]
    events += [["Ctrl+C"], ["Ctrl+Z"], ["bg", ending()]] * 2 if r["in"] == "own terminal" else []
    r["event"] = rng.choice(events) if (live or writes_wait) and not quiet and rng.random() < 0.8 else None
    # A character typed would wait behind the bytes queued while a write waits.
    writes_wait = writes_wait and (r["event"] or [None])[0] not in ("Ctrl+C", "Ctrl+Z")
    moments = (["before"] + list(range(len(r["pieces"]))) if live else []) + (["write waits"] if writes_wait else [])
    r["at"] = ("write waits" if writes_wait and rng.random() < 0.5 else rng.choice(moments)) if r["event"] else None
    r["end"] = rng.choice(["hang-up", "Ctrl+C"]) if r["in"] == "own terminal" else "hang-up" if line else "close"
    if not WINDOWS:
        sent = [e for e in (r["event"] or [])[1:] if r["event"][0] != "bg"] + [signal.SIGHUP, signal.SIGPIPE]
        r["ignore"] = [s for s in sent if rng.random() < 0.2 and not (s == signal.SIGINT and r["end"] == "Ctrl+C")]
        uses = {"stdin file": 0, "pipe": 0, "socket": 0, "message socket": 0}.get(r["in"]), 1 if r["out"].startswith(("stdout", "nonb")) else None
        r["close"] = [fd for fd in (0, 1, 2) if fd not in uses and rng.random() < 0.15]
        r["setsid"] = r["in"] != "own terminal" and rng.random() < 0.3
        r["tty alias"] = rng.random() < 0.5
        r["deep"] = r["out"].startswith("stdout") and rng.random() < 0.3
        if r["in"] == "pty":
            r["holder"] = rng.choice([None, None, "lock", "stale lock", "flock"] + (["exclusive"] if root else []))
    # A fault of the output or input, or another reader: alone, so that what ends the run is known.
    faults = [None] * 4 + [f"write:{rng.randint(0, 5000)}", "close", f"read:{rng.randint(0, len(r['data']))}"]
    faults += ["gone:" + str(rng.randint(0, len(r["data"])))] if WINDOWS and r["in"] == "pty" else []
    if r["event"]:  # another reader only before a signal: it ends the run that waits for bytes no more
        steal = r["in"] in ("pty", "fifo") and r["event"][0] == "signal" and r["at"] != "write waits" and rng.random() < 0.6
        faults = ["steal:0" if steal else None]
    r["fault"] = rng.choice(faults) if not quiet and r["out"] != "same" and r["in"] != "missing" else None
    # Drawn last, so that the seeds above still plan what they did.
    if not WINDOWS:
        extra = rng.random()
        if r["in"] == "socket" and extra > 0.75:  # refused: a byte stream would lose its bounds
            r["in"], r["event"], r["fault"] = "message socket", None, None
        elif r["event"] and r["event"][0] == "signal" and fatal(r, r["event"][1]) and extra < 0.3:
            r["event"] = ["sent twice", r["event"][1]]  # as `timeout` sends it: one request
        elif not r["event"] and not r["fault"] and r["in"] != "missing" and r["out"] == "file" and extra < 0.2:
            # A real fault: the kernel's SIGSEGV comes whatever the caller asked.
            r["fault"] = f"crash:{rng.randint(0, len(r['data']))}"
            r["ignore"] += [signal.SIGSEGV] if rng.random() < 0.4 else []
            r["block"] = [signal.SIGSEGV] if rng.random() < 0.4 else []
    return r


def make_data(rng, big):
    """Bytes of every value, markers as dense or sparse as chance makes them; a large span if `big`."""
    n = rng.choice([0, rng.randint(1, 64), rng.randint(1, 20000)])
    density = rng.choice([0.001, 0.02, 0.2, 0.5])
    data = bytearray(rng.choice([0x11, 0x13]) if rng.random() < density else rng.randrange(256) for _ in range(n))
    if big:
        filler = bytes(b for b in os.urandom(400000) if b not in (0x11, 0x13))[:rng.randint(150000, 300000)]
        data[rng.randint(0, len(data)):0] = b"\x11" + filler
    return bytes(data)


class Sender(threading.Thread):
    """Writes a live input's pieces, never blocking the run: `sent` is what went out."""

    def __init__(self, fd):
        super().__init__(daemon=True)
        self.fd, self.sent, self.pieces, self.stop = fd, bytearray(), [], threading.Event()
        self.wake = threading.Event()
        os.set_blocking(fd, False)
        self.start()

    def send(self, piece):
        self.pieces.append(piece)
        self.wake.set()

    def idle(self):
        return not self.pieces

    def run(self):
        while not self.stop.is_set():
            if not self.pieces:
                self.wake.wait(0.05)
                self.wake.clear()
                continue
            piece = self.pieces[0]
            try:
                n = os.write(self.fd, piece)
            except BlockingIOError:
                select.select([], [self.fd], [], 0.05)
                continue
            except OSError:
                return
            self.sent += piece[:n]
            self.pieces[0] = piece[n:]
            if not self.pieces[0]:
                self.pieces.pop(0)


class Drain(threading.Thread):
    """Reads an output pipe while `go` is set, all of it, or `limit` bytes and then goes away."""

    def __init__(self, fd, limit=None):
        super().__init__(daemon=True)
        self.fd, self.got, self.limit, self.go, self.done = fd, bytearray(), limit, threading.Event(), False
        os.set_blocking(fd, False)
        self.start()

    def leave(self):
        os.close(self.fd)
        self.fd = None

    def finish(self):
        """All the tool wrote, once it has ended; the pipe closed."""
        self.done = True
        self.join()
        if self.fd is not None:
            try:
                while chunk := os.read(self.fd, 1 << 16):
                    self.got += chunk
            except BlockingIOError:
                pass  # all of it: the tool has ended
            self.leave()
        return bytes(self.got)

    def run(self):
        while not self.done:
            if self.go.is_set() and self.limit == 0:
                return self.leave()
            if not self.go.wait(0.05) or not select.select([self.fd], [], [], 0.05)[0]:
                continue
            chunk = os.read(self.fd, 1 << 16 if self.limit is None else self.limit - len(self.got))
            if not chunk:
                return
            self.got += chunk
            if self.limit is not None and len(self.got) >= self.limit:
                return self.leave()


def com_port(tty, rng, undo):
    """Maps a terminal as a free COM port of Wine's (high numbers: the cli tests take low ones);
    returns two spellings of its name."""
    devices = os.path.join(os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")), "dosdevices")
    for n in range(255, 99, -1):
        link = os.path.join(devices, f"com{n}")
        if not os.path.lexists(link):
            os.symlink(tty, link)
            undo.append(lambda: os.remove(link))
            return rng.sample([f"\\\\.\\COM{n}", f"\\\\?\\COM{n}", f"//./COM{n}", f"\\\\.\\com{n}"], 2)
    raise Failed("no free COM port in " + devices)


def line_settings(settings, rng, kind):
    """A line's settings before the run, at random, but such that the bytes that arrive once
    the tool has given the line back are neither edited nor flushed nor taken as flow control
    (the count of what it left unread would be wrong): no ICANON, IEXTEN, PARMRK, IGNCR; ISIG
    only on its own terminal, whose data holds no signal character, and there no ISTRIP, which
    would make one of 0x83; ECHO off, so that whatever
    the other end reads came from the tool. The flag that shows it set the line up is on."""
    global SET_UP
    SET_UP = termios.IXON if WINDOWS else termios.ICRNL  # under Wine, flow control
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = settings
    iflag &= ~(termios.IXON | termios.PARMRK | termios.IGNCR | termios.INLCR | termios.ISTRIP)
    iflag |= SET_UP | rng.choice([0, termios.IXOFF, termios.INLCR] + ([] if kind == "own terminal" else [termios.ISTRIP]))
    lflag &= ~(termios.ICANON | termios.IEXTEN | termios.ECHO | termios.ECHONL | termios.ISIG)
    lflag |= termios.ISIG if kind == "own terminal" else 0
    cc[termios.VMIN], cc[termios.VTIME] = rng.choice([(1, 0), (0, 0), (4, 2)])
    speed = rng.choice([termios.B9600, termios.B115200, ispeed])
    return [iflag, oflag, cflag, lflag, speed, speed, cc]


def lock_file(tty):
    return "/var/lock/LCK.." + os.path.basename(os.path.realpath(tty))


def fatal(r, sig):
    return sig not in NOT_FATAL | STOPS and sig not in r["ignore"]


def execute(r, d, rng, root):
    """Runs `r` in folder `d`; returns what was seen: status, messages, out_file, input consumed."""
    at = lambda name: os.path.join(d, name)
    undo, fds, seen = [], set(), {"hung up": False, "prior": b"", "taken": False, "fatal": [], "consumed": None}
    kind, out = r["in"], r["out"]
    line = kind in ("pty", "own terminal")

    def keep(*new):
        fds.update(new)
        return new[0]

    def shut(fd):
        fds.discard(fd)
        os.close(fd)

    stdin, stdout, probe, writer, drain, tool_out, ctl = subprocess.DEVNULL, None, None, None, None, "out", None
    try:
        # The input, and `probe`: a descriptor on it that tells how much the tool has not read.
        tool_in = {"file": "in", "stdin file": "/dev/stdin", "missing": "missing", "fifo": "fifo"}.get(kind, "/dev/stdin")
        if kind in ("file", "stdin file", "named pipe"):
            skip = os.urandom(rng.randint(0, 300)) if kind == "stdin file" else b""
            seen["skip"] = len(skip)
            with open(at("in"), "wb") as f:
                f.write(skip + r["data"])
            if kind == "stdin file":
                stdin = probe = keep(os.open(at("in"), os.O_RDONLY))
                os.lseek(probe, len(skip), os.SEEK_SET)
            if kind == "named pipe":
                tool_in = "\\\\.\\pipe\\xonspan-fuzz-%d" % rng.randrange(1 << 30)
                for tries in range(2):  # not the tool: a Wine program that a loaded machine keeps from starting
                    with open(at("server"), "wb") as f:
                        server = subprocess.Popen(EMULATOR + [PIPE_SERVER, tool_in, "in"], cwd=d, stdout=f,
                                                  stderr=subprocess.DEVNULL)
                    undo.append(lambda s=server: s.poll() is None and (s.kill(), s.wait()))
                    try:
                        wait_for("the pipe server", lambda: os.path.getsize(at("server")) > 0, 40)
                        break
                    except Failed:
                        if tries:
                            raise
                        server.kill()
                        server.wait()
        elif kind == "fifo":
            os.mkfifo(at("fifo"))
            probe = keep(os.open(at("fifo"), os.O_RDONLY | os.O_NONBLOCK))
            writer = keep(os.open(at("fifo"), os.O_WRONLY))
        elif kind == "pipe":
            probe, writer = os.pipe()
            stdin = keep(probe, writer)
        elif kind.endswith("socket"):  # one that carries messages is refused: a stream would lose their bounds
            a, b = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET if kind == "message socket" else socket.SOCK_STREAM)
            undo += [a.close, b.close]
            stdin, probe, writer = b.fileno(), b.fileno(), a.fileno()
        elif line:
            writer, probe = os.openpty()
            keep(writer, probe)
            termios.tcsetattr(probe, termios.TCSANOW, line_settings(termios.tcgetattr(probe), rng, kind))
            seen["line"] = termios.tcgetattr(probe)
            tty = os.ttyname(probe)
            names = com_port(tty, rng, undo) if WINDOWS else [tty, "/dev/tty" if kind == "own terminal" else tty]
            if kind == "own terminal" and r["tty alias"]:
                names = names[::-1]
            tool_in, seen["other name"] = names
            if not WINDOWS:
                lock = lock_file(tty)
                undo.append(lambda: os.path.exists(lock) and os.remove(lock))
                if r["holder"] in ("lock", "stale lock"):
                    gone = subprocess.Popen(["true"])
                    gone.wait()
                    owner = os.getpid() if r["holder"] == "lock" else gone.pid
                    with open(lock, "wb") as f:  # some runs as older programs wrote it: a binary int
                        f.write(struct.pack("i", owner) if len(r["data"]) % 2 else b"%10d\n" % owner)
                    os.utime(lock, (time.time() - 60,) * 2)  # its holder has had the line a while
                elif r["holder"] == "flock":
                    fcntl.flock(probe, fcntl.LOCK_EX)
                elif r["holder"] == "exclusive":
                    fcntl.ioctl(probe, termios.TIOCEXCL)
                    undo.append(lambda: fcntl.ioctl(probe, termios.TIOCNXCL))
                seen["lock"] = open(lock, "rb").read() if os.path.exists(lock) else None
        # The output, and what reads it.
        if out == "file" and rng.random() < 0.5:
            seen["old"] = True
            with open(at("out"), "wb") as f:
                f.write(b"old capture")
        if out in ("fifo", "reader leaves"):
            os.mkfifo(at("out"))
            drain = Drain(os.open(at("out"), os.O_RDONLY | os.O_NONBLOCK), rng.randint(0, 30000) if out != "fifo" else None)
            room = keep(os.open(at("out"), os.O_WRONLY | os.O_NONBLOCK)) if r["at"] == "write waits" else None
        elif out == "nonblocking pipe":
            reader, stdout = os.pipe()
            room = os.dup(stdout)
            keep(stdout, room)
            os.set_blocking(stdout, False)
            drain, tool_out = Drain(reader), "/dev/stdout"
        elif out.startswith("stdout"):
            seen["prior"] = b"old\n" if out == "stdout >>" else b""
            with open(at("log"), "wb") as f:
                f.write(seen["prior"])
            stdout = keep(os.open(at("log"), os.O_WRONLY | (os.O_APPEND if seen["prior"] else 0)))
            tool_out = "/dev/stdout"
        elif out == "full volume" and root:
            os.mkdir(at("vol"))
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", at("vol")], check=True)
            undo.append(lambda: subprocess.run(["umount", at("vol")], check=True))
            tool_out = "vol/out"
        elif out == "full volume":
            tool_out = "/dev/full"
        elif out == "same":
            tool_out = {"file": "./in", "fifo": "./fifo"}.get(kind) or seen["other name"]
        if drain:
            undo.append(lambda: drain.fd is None or drain.finish())
            if r["at"] != "write waits":
                drain.go.set()

        # The tool, as the set-up says.
        env = dict(os.environ, XONSPAN_TEST_FAULT=r["fault"] or "")
        cmd, passed = EMULATOR + [EXE, tool_in, tool_out], []
        if not WINDOWS:
            how = {k: r.get(k) for k in ("ignore", "block", "close", "setsid", "deep")}
            if r.get("deep"):
                tool_in, tool_out = os.path.join(d, tool_in), "to-stdout"
                cmd = EMULATOR + [EXE, tool_in, tool_out]
            how["tty"] = tty if kind == "own terminal" else None
            if how["tty"]:
                how["ctl"], ctl = os.pipe()
                keep(how["ctl"], ctl)
                passed = [how["ctl"]]
            cmd = [sys.executable, "-c", LAUNCH, json.dumps(how)] + cmd
        messages, errors = open(at("stdout"), "w+b"), open(at("stderr"), "w+b")
        undo += [messages.close, errors.close]
        p = subprocess.Popen(cmd, cwd=d, env=env, stdin=stdin, stdout=stdout or messages, stderr=errors, pass_fds=passed)
        undo.append(lambda: p.poll() is None and (p.kill(), p.wait()))
        for fd in passed + ([stdout] if out == "nonblocking pipe" else []):
            shut(fd)
        pid = p.pid
        if ctl:
            children = f"/proc/{p.pid}/task/{p.pid}/children"
            wait_for("the shell's child", lambda: p.poll() is not None or open(children).read().strip())
            pid = int(open(children).read().split()[0]) if p.poll() is None else None
        ended = lambda: p.poll() is not None or (pid != p.pid and state(pid) in ("Z", None))
        # Only this process reaps the tool (or the shell, told so last), so its PID stays its own.
        kill = lambda sig, group=False: ended() or (os.killpg if group else os.kill)(pid, sig)
        sender = Sender(writer) if writer is not None else None
        undo.append(lambda: sender and sender.stop.set())

        def ready():  # its signals handled, and a line set up: bytes would meet its old settings
            if WINDOWS and kind == "fifo":  # past its start: it has opened in_file
                wait_for("its open", lambda: ended() or opened(pid, at("fifo")))
            wait_for("its handlers", lambda: WINDOWS or ended() or handling(pid))
            wait_for("the line set up", lambda: not line or ended() or not termios.tcgetattr(probe)[0] & SET_UP)

        def written():  # kept bytes in out_file so far, where that can be seen
            if drain:
                return len(drain.got) if drain.limit is None else 1 << 40
            name = at("log") if out.startswith("stdout") else at(tool_out)
            return os.path.getsize(name) - len(seen["prior"]) if out != "full volume" and os.path.isfile(name) else 1 << 40

        def read_waits(piece):
            # All read, and its kept bytes written: a pseudo-terminal may hold bytes that
            # FIONREAD does not count yet.
            kept = len(spans(r["data"][:sum(map(len, r["pieces"][:piece + 1]))]))
            wait_for("its read", lambda: ended() or (sender.idle() and queued(probe) == 0 and
                                                     (r["fault"] or written() >= kept)))

        def stopped():
            wait_for("a stop", lambda: ended() or state(pid) == "T")

        ready()
        if kind == "pty" and not WINDOWS and not ended() and os.access("/var/lock", os.W_OK):
            seen["taken"] = True
            if r["holder"] in (None, "stale lock"):
                wait_for("its lock", lambda: ended() or (os.path.exists(lock) and open(lock).read() == "%10d\n" % pid))
        ending = False
        for i in ["before"] + list(range(len(r["pieces"]))) + ["write waits"]:
            if isinstance(i, int) and sender and not ending and not ended():
                ready()
                sender.send(r["pieces"][i])
                # Another reader has taken the bytes once none is queued: the tool waits on it.
                if r["at"] != "write waits":
                    read_waits(i)
            if r["at"] != i or ended():
                continue
            if i == "write waits":
                # Full: it may hold more than FIONREAD counts, in pages of a few bytes each.
                wait_for("a write that waits", lambda: ended() or not select.select([], [room], [], 0)[1])
                offset = os.lseek(probe, 0, os.SEEK_CUR) if kind == "stdin file" else None
            seen["fatal"] += event(r, pid, kill, writer, probe, ctl, seen, stopped)
            ending = bool(seen["fatal"])
            if ending and i == "write waits" and offset is not None:
                seen["offset at event"] = offset
        # The end of the input, unless the run is ending already.
        if drain:
            drain.go.set()
            room is None or shut(room)  # or its reader would never see the end
        if not ending and not ended():
            wait_for("the last piece", lambda: ended() or not sender or sender.idle())
            if writer is not None and r["end"] != "Ctrl+C":
                read_waits(len(r["pieces"]))
                seen["queued"] = queued(probe)
                sender.stop.set()
                sender.join()
                if kind.endswith("socket"):
                    socket.socket(fileno=os.dup(writer)).shutdown(socket.SHUT_WR)
                else:
                    shut(writer)
                    seen["hung up"] = line
            elif writer is not None:
                read_waits(len(r["pieces"]))
                os.write(writer, b"\x03")
                seen["fatal"].append(signal.SIGINT)
        if ctl:
            wait_for("its end", ended)
            shut(ctl)
        try:
            status = p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            raise Failed(f"the run did not end (state {state(pid)})")
        if sender:
            sender.stop.set()
            sender.join()
        seen["status"] = 128 - status if ctl and status > 128 else status
        if line and not seen["hung up"]:
            seen["line after"], seen["exclusive"] = termios.tcgetattr(probe), exclusive(probe)
            os.set_blocking(writer, False)
            try:
                seen["written to the line"] = os.read(writer, 100)
            except BlockingIOError:
                seen["written to the line"] = b""
        if sender:
            left = seen["queued"] if "queued" in seen else unread(probe) if line else queued(probe)
            seen["consumed"] = bytes(sender.sent[:len(sender.sent) - left])
        elif kind == "stdin file":
            seen["consumed"] = r["data"][:os.lseek(probe, 0, os.SEEK_CUR) - seen["skip"]]
        if drain:
            seen["out"] = drain.finish()
        elif out.startswith("stdout"):
            seen["out"] = open(at("log"), "rb").read()
        else:
            seen["out"] = open(at(tool_out), "rb").read() if os.path.isfile(at(tool_out)) else b""
        messages.seek(0)
        errors.seek(0)
        seen["stdout"], seen["stderr"] = messages.read(), errors.read()
        if line and not WINDOWS:
            seen["lock after"] = open(lock, "rb").read() if os.path.exists(lock) else None
        if os.path.exists(at("in")):
            seen["input after"] = open(at("in"), "rb").read()[seen["skip"]:]
        return seen
    finally:
        for f in reversed(undo):
            try:
                f()
            except OSError:
                pass
        for fd in fds:
            os.close(fd)


def event(r, pid, kill, writer, probe, ctl, seen, stopped):
    """Does to the run what `r` says happens while it runs; returns the signals that end it."""
    what, *signals = r["event"]
    if what == "Ctrl+C":
        os.write(writer, b"\x03")
        signals = [signal.SIGINT]
    if what == "Ctrl+Z":  # stopped, the terminal given back; then `fg`
        os.write(writer, b"\x1a")
        if signal.SIGTSTP not in r["ignore"]:
            stopped()
            seen["line while stopped"] = termios.tcgetattr(probe), exclusive(probe)
            os.write(ctl, b"fg\n")
        signals = []
    if what == "bg":  # the shell takes the terminal while the run goes on
        os.write(ctl, b"bg\n")
        wait_for("the terminal taken", lambda: int(open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[5]) != pid)
    if what == "sent twice":  # as `timeout` does: to the process, then to its group; one request
        kill(signals[0])
        kill(signals[0], group=True)
        signals = signals[:1]
    elif what in ("stopped", "SIGTSTP"):
        kill(signal.SIGSTOP if what == "stopped" else signal.SIGTSTP)
        if what == "stopped" or (signal.SIGTSTP not in r["ignore"] and not r["setsid"]):
            stopped()
        for sig in signals + [signal.SIGCONT]:
            kill(sig)
    elif what != "Ctrl+Z":
        for sig in signals:
            kill(sig)
            if sig in STOPS and sig not in r["ignore"] and not r["setsid"]:  # an orphaned group does not stop
                stopped()
                kill(signal.SIGCONT)
        if what == "bg":  # as `kill %1` does: a byte still on its way may have stopped the run at its read
            kill(signal.SIGCONT)
    return [s for s in signals if fatal(r, s)]


def check(r, seen, root):
    """What must hold after run `r`, seen as `seen`: returns what did not."""
    bad = []

    def expect(what, got, want):
        if got != want:
            bad.append(f"{what}: {short(got)}, not {short(want)}")

    kind, out, fault, data = r["in"], r["out"], r["fault"] or "", r["data"]
    n = int(fault.split(":")[1]) if ":" in fault else None
    held = r["holder"] in ("lock", "flock", "exclusive")
    consumed = seen["consumed"]
    fired = fault.startswith(("read", "gone", "crash")) and n <= len(data)  # the read that meets the end fails too
    if fired or (kind in ("file", "named pipe") and not seen["fatal"]):
        consumed = data[:n] if fired else data
    payload = spans(consumed) if consumed is not None else None
    limit = n if fault.startswith("write") else (65536 if root else 0) if out == "full volume" else None
    fatal = seen["fatal"]
    exact, part = True, payload
    if out == "same" or kind in ("missing", "message socket") or held:
        status, message, exact = 1, OPEN, False
    elif limit is not None and payload is not None and len(payload) > limit:
        status, message, part = 1, WRITE, payload[:limit]
    elif out == "reader leaves":  # as SIGPIPE ends any program; reported where it is ignored
        status, message, exact = ((1, WRITE) if signal.SIGPIPE in r["ignore"] else (-signal.SIGPIPE, b"")) + (False,)
    elif fired and fault.startswith("crash"):
        status, message = -signal.SIGSEGV, b""
    elif fired and (kind not in ("pty", "own terminal") or (WINDOWS and fault.startswith("read"))):
        status, message = 1, READ  # but on a line that hangs up (EIO), or a port gone
    elif fatal and fault != "close":
        status, message = {CTRL_C_EXIT if WINDOWS else -s for s in fatal}, b""
        exact = len(fatal) == 1
    else:
        status, message = (1, WRITE) if fault == "close" else (0, b"")
    if isinstance(status, int):
        status = {status}
    if WINDOWS and fatal and r["at"] == "write waits" and kind in ("file", "named pipe"):
        # The console's handler runs in a thread of its own, later: the input may end first.
        status |= {0} if seen["out"] == spans(data) else set()
    if fault == "close" and len(fatal) > 1:
        status |= {-s for s in fatal}
    if WINDOWS and fatal:
        status.add(-signal.SIGKILL)  # how Wine ends a process that ends itself while another thread runs, now and then
    expect("status", seen["status"], seen["status"] if seen["status"] in status else sorted(status))
    if 1 in r["close"]:
        message = b""
    stream = seen["out"]
    if out.startswith("stdout") or out == "nonblocking pipe":
        expect("what the caller had before", stream[:len(seen["prior"])], seen["prior"])
        expect("the message at the end", stream[len(stream) - len(message):], message)
        stream = stream[len(seen["prior"]):len(stream) - len(message)]
        message = b""
    expect("standard output", seen["stdout"], message)
    if not WINDOWS and seen["stderr"]:  # whole: it may be the launcher's traceback
        bad.append(f"standard error: {seen['stderr'].decode(errors='replace')}")
    if out == "same":
        pass  # in_file, left alone, below
    elif held:
        expect("out_file, left alone", stream, b"old capture" if out == "file" and seen.get("old") else b"")
    elif kind in ("missing", "message socket"):
        expect("out_file, emptied", stream, b"")
    elif fault.startswith("steal"):
        pass  # another reader took bytes: which, only it knows
    elif exact and part is not None:
        expect("out_file", stream, part)
    elif not (payload or spans(data)).startswith(stream):
        bad.append(f"out_file is no prefix of the payload: {short(stream)}")
    if "offset at event" in seen:
        expect("input read after the signal", seen["skip"] + len(seen["consumed"]), seen["offset at event"])
    if kind in ("file", "stdin file"):
        expect("in_file", seen["input after"], data)
    if "line after" in seen and WINDOWS:  # Wine sets a port's other flags its own way
        expect("flow control", seen["line after"][0] & termios.IXON, seen["line"][0] & termios.IXON)
    elif "line after" in seen:
        expect("the line's settings", seen["line after"], seen["line"])
        expect("exclusive mode", seen["exclusive"], r["holder"] == "exclusive")
        expect("bytes the line was sent", seen["written to the line"], b"")
    if "line while stopped" in seen:
        expect("the line while stopped", seen["line while stopped"], (seen["line"], False))
    if "lock after" in seen:
        kept = r["holder"] == "lock" or (r["holder"] == "stale lock" and not seen["taken"])
        expect("the lock file after", seen["lock after"], seen["lock"] if kept else None)
    return bad


def short(value):
    text = repr(value)
    return text if len(text) < 120 else f"{text[:60]}...{text[-40:]} ({len(value)} bytes)"


def main():
    global EXE, EMULATOR, WINDOWS, PIPE_SERVER, VERBOSE
    ap = argparse.ArgumentParser(usage=__doc__)
    ap.add_argument("exe")
    ap.add_argument("--emulator", default="")
    ap.add_argument("--runs", type=int, default=100)
    ap.add_argument("--seed", type=int)
    ap.add_argument("--pipe-server")
    ap.add_argument("-v", action="store_true", dest="verbose")
    args = ap.parse_args()
    EXE, EMULATOR, VERBOSE = os.path.abspath(args.exe), shlex.split(args.emulator), args.verbose
    WINDOWS = EXE.lower().endswith(".exe")
    PIPE_SERVER = args.pipe_server and os.path.abspath(args.pipe_server)
    if WINDOWS:
        os.environ.setdefault("WINEDEBUG", "-all")
    root = os.geteuid() == 0
    start = args.seed if args.seed is not None else random.randrange(1 << 31)
    seeds = ([] if args.seed is not None else SEEDS["windows" if WINDOWS else "posix"]) + \
        [start + i for i in range(args.runs)]
    failed, began = [], time.monotonic()
    for seed in seeds:
        r = plan(random.Random(seed), root)
        with tempfile.TemporaryDirectory(prefix="xonspan-fuzz-") as d:
            try:
                seen = execute(r, d, random.Random(~seed), root)
                bad = check(r, seen, root)
            except Failed as e:
                seen, bad = {}, [str(e)]
            except Exception as e:  # the fuzzer's own fault: the seed shows it again
                seen, bad = {}, [f"the fuzzer failed: {traceback.format_exc()}"]
        what = {k: v for k, v in r.items() if k not in ("data", "pieces")}
        what.update(data=len(r["data"]), pieces=len(r["pieces"]))
        if bad or VERBOSE:
            print(f"seed {seed}: {json.dumps(what, default=int)}\n  status {seen.get('status')}, stdout {short(seen.get('stdout'))}",
                  flush=True)
        for b in bad:
            print("  " + b, flush=True)
        if bad:
            failed.append(seed)
            print(f"  again: {sys.argv[0]} {args.exe} --emulator='{args.emulator}' --seed {seed} --runs 1 -v", flush=True)
    print(f"{len(seeds)} runs from seed {start} in {time.monotonic() - began:.0f} s; failed: {failed or 'none'}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
