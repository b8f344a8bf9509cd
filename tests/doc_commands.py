#!/usr/bin/env python3
"""Runs the commands the documentation shows, as a reader would copy them.

usage: doc_commands.py SOURCE_DIR TOOL

From README.md and CONTRIBUTING.md: every ```sh block, in a copy of the
source tree, with the built tool first on PATH and HOME a scratch folder,
after writing out each code block whose first line names its file; a block
that needs root, a serial device, another machine's toolchain or the whole
suite is not run, but every preset it names must exist. From the manual
page: the EXAMPLES, whose output must be what the page shows. The serial
quick start's stty line, the same in both, on a pseudo-terminal. And every
message README.md shows in backticks must be one the program prints.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import select
import tempfile
import termios
import time
import unittest

SOURCE = TOOL = None

# Not run here: each needs something a test must not do or cannot have.
NOT_RUN = re.compile(r"\b(sudo|apt|apt-get)\b|/dev/tty|tests/run|\.ci/run|packaging/run|--preset (windows|linux-|fuzz)|build/fuzz")


def blocks(name, lang):
    with open(os.path.join(SOURCE, name), encoding="utf-8") as f:
        return re.findall(r"^```" + lang + r"\n(.*?)^```", f.read(), re.S | re.M)


def named_files(name):
    """{path: text} of each code block whose first line is a comment naming its file."""
    with open(os.path.join(SOURCE, name), encoding="utf-8") as f:
        found = re.findall(r"^```\w+\n(?://|#) ([\w./-]+\.\w+)\n(.*?)^```", f.read(), re.S | re.M)
    return dict(found)


def stty_lines():
    """The serial quick start's stty line in README.md and in the manual page."""
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        readme = re.findall(r"^(stty -F /dev/ttyUSB0 .*)$", f.read(), re.M)
    with open(os.path.join(SOURCE, "man", "xonspan.1"), encoding="utf-8") as f:
        page = re.findall(r"^\$ (stty \\-F /dev/ttyUSB0 .*)$", f.read(), re.M)
    return readme, [line.replace(r"\-", "-") for line in page]


def man_examples():
    """(command, expected output) of each `$ ` line of the EXAMPLES section."""
    with open(os.path.join(SOURCE, "man", "xonspan.1"), encoding="utf-8") as f:
        page = f.read()
    section = page.split(".SH EXAMPLES", 1)[1].split("\n.SH ", 1)[0]
    steps = []
    for example in re.findall(r"^\.nf\n(.*?)^\.fi", section, re.S | re.M):
        for line in example.splitlines():
            # Undo the page's escapes: \e is a backslash, \- a hyphen, \(aq a quote.
            line = line.replace(r"\(aq", "'").replace(r"\-", "-").replace(r"\e", "\\")
            if line.startswith("$ "):
                steps.append([line[2:], ""])
            elif steps:
                steps[-1][1] += line + "\n"
    return steps


class Docs(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="xonspan-docs-")
        self.dir = self._tmp.name
        bin_dir = os.path.join(self.dir, "bin")
        os.mkdir(bin_dir)
        shutil.copy(TOOL, os.path.join(bin_dir, "xonspan"))
        self.env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"], HOME=self.dir,
                        CMAKE_BUILD_PARALLEL_LEVEL=str(os.cpu_count()))

    def tearDown(self):
        self._tmp.cleanup()

    def sh(self, script, cwd):
        return subprocess.run(["sh", "-ec", script], cwd=cwd, env=self.env, capture_output=True, timeout=1800)

    def test_shell_blocks_run(self):
        with open(os.path.join(SOURCE, "CMakePresets.json")) as f:
            presets = {p["name"] for p in json.load(f)["configurePresets"]}
        tree = os.path.join(self.dir, "tree")
        shutil.copytree(SOURCE, tree, ignore=shutil.ignore_patterns("build", ".git"))
        ran = 0
        for name in ("README.md", "CONTRIBUTING.md"):
            for path, text in named_files(name).items():
                os.makedirs(os.path.dirname(os.path.join(tree, path)), exist_ok=True)
                with open(os.path.join(tree, path), "w", encoding="utf-8") as f:
                    f.write(text)
            for block in blocks(name, "sh"):
                with self.subTest(f"{name}: {block.strip()}"):
                    for preset in re.findall(r"--preset[ =]([\w-]+)", block):
                        self.assertIn(preset, presets)
                    for script in re.findall(r"(?:^|\s)((?:tests|packaging|bench|\.ci)/run)\b", block):
                        self.assertTrue(os.access(os.path.join(SOURCE, script), os.X_OK), script)
                    if NOT_RUN.search(block):
                        continue
                    done = self.sh(block, tree)
                    self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                    ran += 1
        self.assertGreater(ran, 0)
        # The library was installed into ~/.local, built against, extracted the capture and
        # was uninstalled.
        with open(os.path.join(tree, "app-payload.txt"), "rb") as got, \
                open(os.path.join(SOURCE, "examples", "capture.expected"), "rb") as want:
            self.assertEqual(got.read(), want.read())
        prefix = os.path.join(self.dir, ".local")
        self.assertTrue(os.path.isdir(prefix))
        self.assertEqual([os.path.join(d, f) for d, _, files in os.walk(prefix) for f in files], [])

    def test_serial_quick_start_on_a_pty(self):
        """The stty line leaves a line raw at 115200 8N1 before the capture:
        a span that arrives before xonspan starts is kept whole, and nothing
        is echoed to the device."""
        readme, page = stty_lines()
        self.assertEqual(len(readme), 1)
        self.assertEqual(set(page), set(readme))
        master, slave = os.openpty()  # the slave held open, as a device stays
        line = os.ttyname(slave)
        try:
            done = self.sh(readme[0].replace("/dev/ttyUSB0", line), self.dir)
            self.assertEqual(done.returncode, 0, done.stderr)
            fd = os.open(line, os.O_RDWR | os.O_NOCTTY)
            _, _, cflag, _, ispeed, ospeed, _ = termios.tcgetattr(fd)
            os.close(fd)
            self.assertEqual((ispeed, ospeed), (termios.B115200, termios.B115200))
            self.assertEqual(cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB), termios.CS8)
            os.write(master, b"\x11queued\r\x13")
            self.assertEqual(select.select([master], [], [], 0.2)[0], [], "echoed to the device")
            out = os.path.join(self.dir, "payload.bin")
            run = subprocess.Popen([TOOL, line, out], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   start_new_session=True)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and not (os.path.exists(out) and os.path.getsize(out) >= 7):
                time.sleep(0.05)
        finally:
            os.close(master)
            os.close(slave)
        self.assertEqual(run.wait(timeout=10), 0)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"queued\r")

    def test_manual_examples_show_what_they_print(self):
        steps = [(cmd, want) for cmd, want in man_examples() if not NOT_RUN.search(cmd)]
        self.assertTrue(steps)
        for cmd, want in steps:
            with self.subTest(cmd):
                done = self.sh(cmd, self.dir)
                self.assertEqual((done.returncode, done.stdout.decode()), (0, want))

    def test_readme_fragments_compile(self):
        """Each C++ fragment that names no file (declarations and statements
        at namespace scope) compiles against the library's header as shown,
        and each function it declares is declared so in the header."""
        fragments = [b for b in blocks("README.md", "cpp") if not re.match(r"// [\w./-]+\.\w+\n", b)]
        self.assertTrue(fragments)
        with open(os.path.join(SOURCE, "include", "xonspan", "span_filter.h"), encoding="utf-8") as f:
            header = f.read().splitlines()
        shown = [line for b in fragments for line in b.splitlines() if re.match(r"[\w:]+ \w+\(.*\);$", line)]
        self.assertEqual(len(shown), 3)
        for line in shown:
            self.assertIn(line, header)
        for fragment in fragments:
            with self.subTest(fragment):
                done = subprocess.run(["c++", "-std=c++17", "-fsyntax-only", "-I", os.path.join(SOURCE, "include"),
                                       "-x", "c++", "-"], capture_output=True, env=self.env,
                                      input=("#include <xonspan/span_filter.h>\n#include <cstdio>\n" + fragment).encode())
                self.assertEqual(done.returncode, 0, done.stderr.decode())

    def test_readme_messages_are_the_programs(self):
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            shown = set(re.findall(r"`(Error [a-z ]+)`", f.read()))
        with open(os.path.join(SOURCE, "src", "main.cpp"), encoding="utf-8") as f:
            printed = set(re.findall(r'(?:printf|fail)\("(Error [a-z ]+)"', f.read()))
        self.assertTrue(shown)
        self.assertLessEqual(shown, printed)


def main():
    global SOURCE, TOOL
    SOURCE, TOOL = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Docs)
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)


if __name__ == "__main__":
    main()
