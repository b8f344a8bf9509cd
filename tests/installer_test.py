#!/usr/bin/env python3
"""The Windows installer under Wine, silent, for each scope: an install into a
fresh folder puts xonspan on the PATH of a new console, a second install goes
over it in place, and the uninstaller takes away all it added, leaving the
rest of the PATH as it was, byte for byte.

usage: installer_test.py --wine WINE SETUP LISTENER EXAMPLE EXPECTED
"""
import argparse
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
SCOPES = {
    "/CURRENTUSER": ("HKCU", r"HKCU\Environment", r"%USERPROFILE%\sentinel"),
    "/ALLUSERS": ("HKLM", r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment",
                  r"%SystemRoot%\sentinel"),
}


def run(*args, timeout=120):
    return subprocess.run([WINE, *args], capture_output=True, timeout=timeout)


def reg_values(key):
    """{name in lower case: (type, data)} of a registry key; None when it does not exist."""
    out = run("reg", "query", key)
    if out.returncode != 0:
        return None
    found = re.findall(r"^    (\S+)    (REG_\w+)    (.*?)\r?$", out.stdout.decode(), re.M)
    return {name.lower(): (kind, data) for name, kind, data in found}


def set_path(env_key, value):
    out = run("reg", "add", env_key, "/v", "Path", "/t", "REG_EXPAND_SZ", "/d", value, "/f")
    assert out.returncode == 0, out


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

    def heard(self):
        try:
            return self.proc.wait(timeout=40) == 0
        except subprocess.TimeoutExpired:
            return False


class Installer(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="xonspan-installer-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def uninstall(self, folder):
        """The waiting uninstall README shows: a copy run from elsewhere, with _?=."""
        copy = os.path.join(self.tmp, "uninstall.exe")
        shutil.copy(os.path.join(unix(folder), "uninstall.exe"), copy)
        return run(windows(copy), "/S", "_?=" + folder).returncode

    def registrations(self):
        """DisplayName xonspan under either root's Uninstall key."""
        found = []
        for root in ("HKCU", "HKLM"):
            out = run("reg", "query", root + "\\" + UNINSTALL_KEY, "/s", "/v", "DisplayName").stdout.decode()
            found += [root for line in out.splitlines() if re.match(r"\s+DisplayName\s+REG_SZ\s+xonspan$", line)]
        return found

    def test_install_upgrade_uninstall(self):
        for flag, (root, env_key, unexpanded) in SCOPES.items():
            with self.subTest(flag):
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

                # Again, without /D: in place, one entry, one registration.
                set_path(env_key, sentinels + ";" + folder + r";C:\sentinel-after")
                self.assertEqual(run(SETUP, "/S", flag).returncode, 0)
                self.assertEqual(reg_values(env_key)["path"],
                                 ("REG_EXPAND_SZ", sentinels + ";" + folder + r";C:\sentinel-after"))
                self.assertEqual(self.registrations(), [root])
                self.assertEqual(reg_values(registration)["installlocation"][1], folder)

                with Listener() as listener:
                    self.assertEqual(self.uninstall(folder), 0)
                    self.assertTrue(listener.heard(), "no WM_SETTINGCHANGE after uninstalling")
                self.assertFalse(os.path.exists(unix(folder)))
                self.assertIsNone(reg_values(registration))
                self.assertEqual(reg_values(env_key)["path"], ("REG_EXPAND_SZ", sentinels + r";C:\sentinel-after"))
                set_path(env_key, before)

    def test_default_folders(self):
        # uninstall.exe as Installed apps runs it: it hands over to a copy of
        # itself and returns at once, so the test waits for the copy's work.
        for flag, folder in (("/CURRENTUSER", r"%LOCALAPPDATA%\Programs\xonspan"), ("", r"%ProgramFiles%\xonspan")):
            with self.subTest(flag or "elevated"):
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
        for name, path, args in (("PATH too long to read", ";".join(entries), ["/CURRENTUSER"]),
                                 ("PATH too long to add to", ";".join(entries)[:1000], ["/CURRENTUSER"]),
                                 ("both scopes", r"C:\sentinel", ["/CURRENTUSER", "/ALLUSERS"])):
            with self.subTest(name):
                set_path(env_key, path)
                folder = windows(os.path.join(self.tmp, "refused"))
                self.assertEqual(run(SETUP, "/S", *args, "/D=" + folder).returncode, 2)
                self.assertFalse(os.path.exists(unix(folder)))
                self.assertEqual(reg_values(env_key)["path"], ("REG_EXPAND_SZ", path))
                self.assertEqual(self.registrations(), [])
        set_path(env_key, "")


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
