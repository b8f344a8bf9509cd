#!/usr/bin/env python3
"""Runs the commands the documentation shows, as a reader would copy them.

usage: doc_commands.py SOURCE_DIR TOOL

From README.md and CONTRIBUTING.md: every ```sh block, in a copy of the
source tree, with the built tool first on PATH; a block that needs root, a
serial device, another machine's toolchain or the whole suite is not run,
but every preset it names must exist. From the manual page: the EXAMPLES,
whose output must be what the page shows. And every message README.md
shows in backticks must be one the program prints.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = TOOL = None

# Not run here: each needs something a test must not do or cannot have.
NOT_RUN = re.compile(r"\b(sudo|apt|apt-get)\b|/dev/tty|tests/run|\.ci/run|packaging/run|--preset (windows|linux-|fuzz)|build/fuzz")


def blocks(name, lang):
    with open(os.path.join(SOURCE, name), encoding="utf-8") as f:
        return re.findall(r"^```" + lang + r"\n(.*?)^```", f.read(), re.S | re.M)


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
        self.env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"],
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

    def test_manual_examples_show_what_they_print(self):
        steps = [(cmd, want) for cmd, want in man_examples() if not NOT_RUN.search(cmd)]
        self.assertTrue(steps)
        for cmd, want in steps:
            with self.subTest(cmd):
                done = self.sh(cmd, self.dir)
                self.assertEqual((done.returncode, done.stdout.decode()), (0, want))

    def test_readme_messages_are_the_programs(self):
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            shown = set(re.findall(r"`(Error [a-z ]+)`", f.read()))
        with open(os.path.join(SOURCE, "src", "main.cpp"), encoding="utf-8") as f:
            printed = set(re.findall(r'printf\("(Error [a-z ]+)"\)', f.read()))
        self.assertTrue(shown)
        self.assertLessEqual(shown, printed)


def main():
    global SOURCE, TOOL
    SOURCE, TOOL = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Docs)
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)


if __name__ == "__main__":
    main()
