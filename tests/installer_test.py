#!/usr/bin/env python3
"""The Windows installer under Wine, silent, for each scope: an install into a
fresh folder puts xonspan on the PATH of a new console, a second install goes
over it in place, and the uninstaller takes away all it added, leaving the
rest of the PATH as it was, byte for byte.

usage: installer_test.py --wine WINE SETUP LISTENER EXAMPLE EXPECTED
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

WINE = SETUP = LISTENER = EXAMPLE = EXPECTED = None
UNINSTALL_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall"
# Wine runs programs elevated, so that without a flag the installer is for all users.
# The last column: what the upgrade goes over, besides a file of the user's:
# the folder with our files deleted by hand, or an installation by an earlier
# setup, which noted nothing about the PATH.
SCOPES = {
    "/CURRENTUSER": ("HKCU", r"HKCU\Environment", r"%USERPROFILE%\sentinel", "deleted"),
    "/ALLUSERS": ("HKLM", r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment",
                  r"%SystemRoot%\sentinel", "earlier"),
}


def run(*args, timeout=120):
    # Now and then Wine fails to start a program at all (start.exe's message,
    # the program never ran): once seen from reg.exe in CI. Try again then.
    for attempt in range(3):
        out = subprocess.run([WINE, *args], capture_output=True, timeout=timeout)
        if not out.stdout.startswith(b"Application could not be started"):
            break
        time.sleep(1)
    return out


def reg_values(key):
    """{name in lower case: (type, data)} of a registry key; None when it does not exist.
    Exported, since reg query prints in a code page (a soft hyphen comes out as "-")."""
    with tempfile.TemporaryDirectory() as tmp:
        file = os.path.join(tmp, "key.reg")
        if run("reg", "export", key, windows(file), "/y").returncode != 0:
            return None
        with open(file, encoding="utf-16") as f:
            text = f.read().replace("\\\n  ", "").split("\n\n[")[1]
    found = {}
    for name, kind, data in re.findall(r'^"(.*?)"=(hex\(2\):|dword:|"|)(.*?)"?$', text, re.M):
        if kind == "hex(2):":
            data = bytes.fromhex(data.replace(",", "")).decode("utf-16-le")
            kind, data = "REG_EXPAND_SZ", data[:-1] if data.endswith("\0") else data
        else:
            kind, data = {'"': "REG_SZ", "dword:": "REG_DWORD"}.get(kind, "other"), re.sub(r"\\(.)", r"\1", data)
        found[name.lower()] = (kind, data)
    return found


def set_path(env_key, value, kind="REG_EXPAND_SZ"):
    """None deletes the value, if there is one."""
    if value is None:
        run("reg", "delete", env_key, "/v", "Path", "/f")
        return
    out = run("reg", "add", env_key, "/v", "Path", "/t", kind, "/d", value, "/f")
    assert out.returncode == 0, out


def files_in(folder):
    """{name: bytes} of the files in a folder; None when it does not exist."""
    if not os.path.isdir(folder):
        return None
    found = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            found[name] = f.read()
    return found


def opened(path):
    """Whether a process besides this one has the file open."""
    for fd in glob.glob("/proc/[0-9]*/fd/*"):
        try:
            if os.readlink(fd) == path and fd.split("/")[2] != str(os.getpid()):
                return True
        except OSError:
            pass
    return False


def unix(path):
    """The file a path of the prefix's C: or Wine's Z: drive names."""
    drive, rest = path[0].upper(), path[3:].replace("\\", "/")
    root = os.path.join(os.environ["WINEPREFIX"], "drive_c") if drive == "C" else "/"
    return os.path.join(root, rest)


def windows(path):
    return "Z:" + path.replace("/", "\\")


class Listener:
    """Catches the WM_SETTINGCHANGE that running programs are sent."""

    def __enter__(self):
        self.proc = subprocess.Popen([WINE, LISTENER], stdout=subprocess.PIPE)
        assert self.proc.stdout.readline().strip() == b"ready"
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()

    def heard(self):
        try:
            return self.proc.wait(timeout=40) == 0
        except subprocess.TimeoutExpired:
            return False


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.paths = {env_key: (reg_values(env_key) or {}).get("path") for _, env_key, *_ in SCOPES.values()}
        cls.defaults = [unix(run("cmd", "/c", "echo " + folder).stdout.decode().strip())
                        for folder in (r"%LOCALAPPDATA%\Programs\xonspan", r"%ProgramFiles%\xonspan")]

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="xonspan-installer-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.addCleanup(self.fresh)

    def fresh(self):
        """What a row before left, failed or not, gone: so a failure shows in its own row only."""
        for root in ("HKCU", "HKLM"):
            run("reg", "delete", root + "\\" + UNINSTALL_KEY + "\\xonspan", "/f")
        for env_key, path in self.paths.items():
            set_path(env_key, *(path[::-1] if path else [None]))
        for path in self.defaults + [os.path.join(self.tmp, name) for name in os.listdir(self.tmp)]:
            if os.path.isdir(path):
                shutil.rmtree(path, True)
            elif os.path.lexists(path):
                os.remove(path) # not rmtree, which opens a FIFO

    def uninstall(self, folder, target=None):
        """The waiting uninstall README shows: a copy run from elsewhere, with _?=."""
        copy = os.path.join(self.tmp, "uninstall.exe")
        shutil.copy(os.path.join(unix(folder), "uninstall.exe"), copy)
        return run(windows(copy), "/S", "_?=" + (target or folder)).returncode

    def registrations(self):
        """DisplayName xonspan under either root's Uninstall key."""
        found = []
        for root in ("HKCU", "HKLM"):
            out = run("reg", "query", root + "\\" + UNINSTALL_KEY, "/s", "/v", "DisplayName").stdout.decode()
            found += [root for line in out.splitlines() if re.match(r"\s+DisplayName\s+REG_SZ\s+xonspan$", line)]
        return found

    def test_install_upgrade_uninstall(self):
        for flag, (root, env_key, unexpanded, before_upgrade) in SCOPES.items():
            with self.subTest(flag):
                self.fresh()
                # Entries before ours, one unexpanded; one after ours is added later.
                before = (reg_values(env_key) or {}).get("path", ("", ""))[1]
                sentinels = ";".join(filter(None, [before, r"C:\sentinel-before", unexpanded]))
                set_path(env_key, sentinels)
                folder = windows(os.path.join(self.tmp, "fresh" + flag[1:]))
                registration = root + "\\" + UNINSTALL_KEY + "\\xonspan"

                with Listener() as listener:
                    self.assertEqual(run(SETUP, "/S", flag, "/D=" + folder).returncode, 0)
                    self.assertTrue(listener.heard(), "no WM_SETTINGCHANGE after installing")
                for name in ("xonspan.exe", "README.txt", "LICENSE.txt", "uninstall.exe"):
                    self.assertTrue(os.path.isfile(os.path.join(unix(folder), name)), name)
                values = reg_values(registration) or {}
                for name, data in (("DisplayName", "xonspan"), ("DisplayVersion", "1.0.0"),
                                   ("Publisher", "xonspan developers"), ("InstallLocation", folder),
                                   ("UninstallString", '"' + folder + '\\uninstall.exe"')):
                    self.assertEqual(values.get(name.lower(), (None, None))[1], data, name)
                self.assertGreater(int(values["estimatedsize"][1], 16), 0)
                self.assertEqual(reg_values(env_key)["path"], ("REG_EXPAND_SZ", sentinels + ";" + folder))

                # A new console finds it through the PATH.
                out = run("cmd", "/c", "xonspan")
                self.assertEqual((out.returncode, out.stdout[:22]), (1, b"Usage: xonspan <in_fil"))
                payload = os.path.join(self.tmp, "payload.txt")
                out = run("cmd", "/c", "xonspan", windows(EXAMPLE), windows(payload))
                self.assertEqual(out.returncode, 0, out)
                with open(payload, "rb") as got, open(EXPECTED, "rb") as want:
                    self.assertEqual(got.read(), want.read())

                # Refused, changing nothing: another folder while installed,
                # and both steps while xonspan.exe runs (waiting on a FIFO).
                state = lambda: (files_in(unix(folder)), reg_values(env_key), reg_values(registration))
                was = state()
                other = os.path.join(self.tmp, "other")
                self.assertEqual(run(SETUP, "/S", flag, "/D=" + windows(other)).returncode, 2)
                self.assertFalse(os.path.exists(other))
                fifo = os.path.join(self.tmp, "fifo")
                os.mkfifo(fifo)
                writer = os.open(fifo, os.O_RDWR) # without a writer, Wine reads the end at once
                capture = subprocess.Popen([WINE, folder + r"\xonspan.exe", windows(fifo), windows(payload)])
                self.addCleanup(capture.kill)
                deadline = time.monotonic() + 60
                while not opened(fifo):
                    self.assertTrue(capture.poll() is None and time.monotonic() < deadline, "xonspan.exe did not open the FIFO")
                    time.sleep(0.1)
                try:
                    self.assertEqual(run(SETUP, "/S", flag).returncode, 2)
                    self.assertEqual(self.uninstall(folder), 2)
                finally:
                    os.close(writer)
                self.assertEqual(capture.wait(timeout=60), 0)
                self.assertEqual(state(), was)

                # Again, without /D: in place, one entry, one registration;
                # over an installation whose folder was deleted by hand, or
                # one by an earlier setup, with a file of the user's in it.
                set_path(env_key, sentinels + ";" + folder + r";C:\sentinel-after")
                theirs = None
                if before_upgrade == "deleted":
                    shutil.rmtree(unix(folder))
                else:
                    for name in ("PathEntryAdded", "PathValueExisted"):
                        run("reg", "delete", registration, "/v", name, "/f")
                    theirs = {"notes.txt": b"the user's own"}
                    with open(os.path.join(unix(folder), "notes.txt"), "wb") as f:
                        f.write(theirs["notes.txt"])
                self.assertEqual(run(SETUP, "/S", flag).returncode, 0)
                self.assertEqual(reg_values(env_key)["path"],
                                 ("REG_EXPAND_SZ", sentinels + ";" + folder + r";C:\sentinel-after"))
                self.assertEqual(self.registrations(), [root])
                self.assertEqual(reg_values(registration)["installlocation"][1], folder)

                # Not where it is installed: nothing removed there.
                decoy = os.path.join(self.tmp, "decoy")
                os.makedirs(decoy, exist_ok=True)
                shutil.copy(os.path.join(unix(folder), "README.txt"), decoy)
                self.assertEqual(self.uninstall(folder, windows(decoy)), 2)
                self.assertEqual(os.listdir(decoy), ["README.txt"])

                with Listener() as listener:
                    self.assertEqual(self.uninstall(folder), 0)
                    self.assertTrue(listener.heard(), "no WM_SETTINGCHANGE after uninstalling")
                self.assertEqual(files_in(unix(folder)), theirs)
                self.assertIsNone(reg_values(registration))
                self.assertEqual(reg_values(env_key)["path"], ("REG_EXPAND_SZ", sentinels + r";C:\sentinel-after"))

    def test_default_folders(self):
        # uninstall.exe as Installed apps runs it: it hands over to a copy of
        # itself and returns at once, so the test waits for the copy's work.
        for flag, folder in (("/CURRENTUSER", r"%LOCALAPPDATA%\Programs\xonspan"), ("", r"%ProgramFiles%\xonspan")):
            with self.subTest(flag or "elevated"):
                self.fresh()
                folder = run("cmd", "/c", "echo " + folder).stdout.decode().strip()
                self.assertEqual(run(SETUP, "/S", *filter(None, [flag])).returncode, 0)
                self.assertTrue(os.path.isfile(os.path.join(unix(folder), "xonspan.exe")))
                self.assertEqual(run(folder + r"\uninstall.exe", "/S").returncode, 0)
                deadline = time.monotonic() + 60
                while os.path.exists(unix(folder)) and time.monotonic() < deadline:
                    time.sleep(0.1)
                self.assertFalse(os.path.exists(unix(folder)))
                self.assertEqual(self.registrations(), [])

    def test_refusals_change_nothing(self):
        env_key = SCOPES["/CURRENTUSER"][1]
        entries = [r"C:\tools\long-path-entry-%03d" % i for i in range(40)]
        theirs = {"README.txt": b"the user's own", "LICENSE.txt": b"", "other.exe": b"MZ"}
        for name, path, args, files, *registered in (
                ("PATH too long to read", ";".join(entries), ["/CURRENTUSER", "/D={win}"], None),
                ("PATH too long to add to", ";".join(entries)[:1000], ["/CURRENTUSER", "/D={win}"], None),
                ("both scopes", r"C:\sentinel", ["/CURRENTUSER", "/ALLUSERS", "/D={win}"], None),
                ("a folder of other files", r"C:\sentinel", ["/CURRENTUSER", "/D={win}"], theirs),
                ("one holding only an uninstall.exe", r"C:\sentinel", ["/CURRENTUSER", "/D={win}"], {"uninstall.exe": b"MZ"}),
                ("a /D= it does not take", r"C:\sentinel", ["/CURRENTUSER", "/D={slashes}"], None),
                ("the folder installed for all users", r"C:\sentinel", ["/CURRENTUSER", "/D={win}"], None, "HKLM"),
                ("the folder installed for you", r"C:\sentinel", ["/ALLUSERS", "/D={win}"], None, "HKCU")):
            with self.subTest(name):
                self.fresh()
                set_path(env_key, path)
                folder = os.path.join(self.tmp, "refused")
                for file, data in (files or {}).items():
                    os.makedirs(folder, exist_ok=True)
                    with open(os.path.join(folder, file), "wb") as f:
                        f.write(data)
                spelled = {"win": windows(folder), "slashes": windows(folder).replace("\\", "/")}
                for root in registered:
                    # Spelled otherwise: the same folder all the same.
                    out = run("reg", "add", root + "\\" + UNINSTALL_KEY + "\\xonspan", "/v", "InstallLocation",
                              "/d", spelled["slashes"].upper() + "/", "/f")
                    self.assertEqual(out.returncode, 0)
                self.assertEqual(run(SETUP, "/S", *(arg.format(**spelled) for arg in args)).returncode, 2)
                self.assertEqual(files_in(folder), files)
                shutil.rmtree(folder, True)
                self.assertEqual(reg_values(env_key)["path"], ("REG_EXPAND_SZ", path))
                self.assertEqual(self.registrations(), [])


    def test_path_as_it_was(self):
        # Installed and uninstalled, the PATH is as before. An entry naming
        # the folder already, in any spelling, is the user's: not doubled and
        # left in place. The last column: the PATH the user makes of it while
        # installed, and what the uninstaller leaves of that. A soft hyphen,
        # joiners and a BOM compare equal to "" in a case-blind comparison.
        # The uninstaller is given the folder in capitals, as typed.
        env_key = SCOPES["/CURRENTUSER"][1]
        unix_folder = os.path.join(self.tmp, "PathFolder")
        folder = windows(unix_folder)
        parent, base = folder.rsplit("\\", 1)
        os.environ["XONSPAN_TEST_DIR"] = parent
        odd = "\xad\u200d\u2060\ufeff"
        for name, kind, before, installed, *later in (
                ("no value", None, None, folder),
                ("empty", "REG_SZ", "", folder),
                ("empty, expandable", "REG_EXPAND_SZ", "", folder),
                ("soft hyphens around", "REG_EXPAND_SZ", r"C:\x%s;C:\y" % odd, r"C:\x%s;C:\y;%s" % (odd, folder),
                 (r"C:\x%s;C:\y;%s;C:\z%s;C:\w" % (odd, folder, odd), r"C:\x%s;C:\y;C:\z%s;C:\w" % (odd, odd))),
                ("there after a soft hyphen", "REG_SZ", "C:\\a\xad;" + folder, None),
                ("a soft hyphen alone", "REG_SZ", "\xad", "\xad;" + folder),
                ("a soft hyphen makes another folder", "REG_SZ", folder + "\xad", folder + "\xad;" + folder,
                 (r"%s­;%s;C:\b;%s­" % (folder, folder, folder), r"%s­;C:\b;%s­" % (folder, folder))),
                ("ours in another case", "REG_SZ", r"C:\a", r"C:\a;" + folder,
                 (r"C:\a;%s;C:\b" % folder.upper(), r"C:\a;C:\b")),
                ("ending in a separator", "REG_SZ", r"C:\a;", r"C:\a;" + folder + ";"),
                ("there", "REG_SZ", r"C:\a;%s;C:\b" % folder, None),
                ("there twice", "REG_SZ", r"%s;C:\a;%s" % (folder, folder), None),
                ("other case", "REG_SZ", folder.upper(), None),
                ("a backslash after", "REG_SZ", r"C:\a;%s\\" % folder, None),
                ("quoted", "REG_SZ", r'C:\a;"%s"' % folder, None),
                ("slashes", "REG_SZ", folder.replace("\\", "/"), None),
                ("dot parts", "REG_SZ", r"%s\.\%s;C:\a" % (parent, base), None),
                ("spaces around", "REG_SZ", r"C:\a; %s  ;C:\b" % folder, None),
                ("a variable", "REG_EXPAND_SZ", "%XONSPAN_TEST_DIR%\\" + base, None)):
            with self.subTest(name):
                self.fresh()
                set_path(env_key, before, kind)
                was = (reg_values(env_key) or {}).get("path")
                self.assertEqual(run(SETUP, "/S", "/CURRENTUSER", "/D=" + folder).returncode, 0)
                self.assertEqual(reg_values(env_key)["path"], (kind or "REG_EXPAND_SZ", installed or before))
                for edited, left in later:
                    set_path(env_key, edited, kind)
                    was = (kind, left)
                self.assertEqual(self.uninstall(folder, folder.upper() + "\\"), 0)
                self.assertEqual(reg_values(env_key).get("path"), was)
                self.assertIsNone(files_in(unix_folder))


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--wine", required=True)
    ap.add_argument("setup")
    ap.add_argument("listener")
    ap.add_argument("example")
    ap.add_argument("expected")
    args, rest = ap.parse_known_args()
    WINE, SETUP, LISTENER, EXAMPLE, EXPECTED = args.wine, args.setup, args.listener, args.example, args.expected
    unittest.main(argv=[sys.argv[0]] + rest)
