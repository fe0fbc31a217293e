"""The Windows installer under Wine: a silent install into a private copy of
the build's Wine prefix, the installed server answering from Program Files,
an install over it, and a silent uninstall that leaves nothing behind.

Runs inside a network namespace of its own (run_in_netns.py), where the
prefix's wineserver starts, so the installed server's ports are the test's
alone. Wine's netsh.exe accepts every firewall command and does nothing; a
stand-in in its place records the commands the installer gives, which is
as far as Wine can check the firewall rules.
"""

import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import wire

SETUP = os.environ.get("FERRO_SETUP", "")
VERSION = os.environ.get("FERRO_VERSION", "")
NETSH_STAND_IN = os.environ.get("FERRO_NETSH_STAND_IN", "")
WINDOWS_FOLDER = r"C:\Program Files\Ferrolink"
KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Ferrolink"
TCP_RULE = "Ferrolink web service (TCP 64567)"
UDP_RULE = "Ferrolink agents (UDP)"
# What the installer copies from the program folder: the product's files,
# as the zip archive holds them.
PRODUCT = ["Ferrolink.exe", "loader.exe", "Ferroview.exe", "README.txt", "cfg/define.ecf",
           "auto", "tools/ecftool.exe", "tools/js_client"]


def product_files() -> dict[str, str]:
    """The product's files below the build's program folder, by path
    relative to it, with the SHA-256 of each."""
    dist = wire.dist_dir()
    found = {}
    for entry in PRODUCT:
        path = os.path.join(dist, entry)
        paths = [path] if os.path.isfile(path) else [
            os.path.join(d, f) for d, _, files in os.walk(path) for f in files]
        for p in paths:
            found[os.path.relpath(p, dist)] = sha256(p)
    return found


def sha256(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def tree(root: str) -> dict[str, str]:
    return {os.path.relpath(os.path.join(d, f), root): sha256(os.path.join(d, f))
            for d, _, files in os.walk(root) for f in files}


class InstallerTest(unittest.TestCase):
    def setUp(self):
        if not (SETUP and os.path.exists(SETUP)):
            self.skipTest("no installer built (makensis missing?)")
        self.prefix = wire.WinePrefix([])
        self.addCleanup(self.prefix.remove)
        drive_c = os.path.join(self.prefix.path, "drive_c")
        self.program_files = os.path.join(drive_c, "Program Files")
        self.folder = os.path.join(self.program_files, "Ferrolink")
        self.shortcut = os.path.join(drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu",
                                     "Programs", "Ferrolink.lnk")
        # The stand-in replaces the prefix's netsh.exe, a hard link into the
        # build's prefix: the link goes, a copy comes.
        netsh = os.path.join(drive_c, "windows", "system32", "netsh.exe")
        os.remove(netsh)
        shutil.copy(NETSH_STAND_IN, netsh)
        self.netsh_log = os.path.join(tempfile.mkdtemp(prefix="netsh-"), "calls.txt")
        self.addCleanup(shutil.rmtree, os.path.dirname(self.netsh_log), ignore_errors=True)
        # No display: a dialog the silent mode failed to suppress would
        # wait for a click forever (and the run's bound ends it).
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update(self.prefix.env)
        self.env["FERRO_NETSH_LOG"] = "Z:" + self.netsh_log.replace("/", "\\")
        # Wine's own netsh.exe is built in: the file on disk is to be run.
        self.env["WINEDLLOVERRIDES"] += ";netsh.exe=n"

    def wine(self, *args, timeout: float = 120, env: dict | None = None, **kw):
        return subprocess.run([wire.WINE, *args], env={**self.env, **(env or {})},
                              capture_output=True, timeout=timeout, **kw)

    def wait_for_prefix(self):
        """Waits until every process of the prefix has ended: the
        uninstaller runs on as a copy of itself after the one started
        returned, and the registry is written out when the wineserver ends."""
        server = os.path.join(os.path.dirname(wire.WINE), "wineserver")
        subprocess.run([server, "-w"], env=self.env, timeout=60, check=True)

    def registry(self) -> dict[str, str] | None:
        out = self.wine("reg", "query", KEY, timeout=60)
        if out.returncode != 0:
            return None
        values = {}
        for line in out.stdout.decode("utf-8", "replace").splitlines():
            m = re.match(r"\s+(\S+)\s+(REG_\w+)\s+(.*)$", line)
            if m:
                values[m.group(1)] = m.group(3).strip()
        return values

    def netsh_calls(self) -> list[str]:
        try:
            with open(self.netsh_log, encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def install(self, netsh_exit: int = 0):
        run = self.wine(SETUP, "/S", env={"FERRO_NETSH_EXIT": str(netsh_exit)})
        self.assertEqual(run.returncode, 0, run.stderr.decode("utf-8", "replace"))

    def test_install_run_reinstall_uninstall(self):
        before = sorted(os.listdir(self.program_files))
        self.install()

        # The product's files, each as built, and the uninstaller.
        installed = tree(self.folder)
        expected = product_files()
        self.assertEqual({k: v for k, v in installed.items() if k != "uninstall.exe"}, expected)
        self.assertIn("uninstall.exe", installed)
        with open(self.shortcut, "rb") as f:
            link = f.read()
        self.assertTrue("loader.exe".encode("utf-16-le") in link or b"loader.exe" in link)
        values = self.registry()
        self.assertIsNotNone(values, "no Uninstall key")
        uninstaller = f'"{WINDOWS_FOLDER}\\uninstall.exe"'
        self.assertEqual(values.get("DisplayName"), "Ferrolink")
        self.assertEqual(values.get("DisplayVersion"), VERSION)
        self.assertEqual(values.get("UninstallString"), uninstaller)
        self.assertEqual(values.get("QuietUninstallString"), uninstaller + " /S")
        self.assertEqual(values.get("InstallLocation"), WINDOWS_FOLDER)

        # The firewall: each rule deleted first (a reinstall adds no second
        # one), then added inbound, for the server only, on private networks.
        program = f'program="{WINDOWS_FOLDER}\\Ferrolink.exe"'
        calls = self.netsh_calls()
        adds = [c for c in calls if " add rule " in c]
        self.assertEqual(len(adds), 2, calls)
        for rule, protocol, ports in ((TCP_RULE, "TCP", "64567"),
                                      (UDP_RULE, "UDP", "64513,64514,64517,64519")):
            add = next(c for c in adds if f'name="{rule}"' in c)
            for part in ("advfirewall firewall add rule", "dir=in", "action=allow",
                         f"protocol={protocol}", f"localport={ports}", "profile=private", program):
                self.assertIn(f" {part}", add)
            delete = f'advfirewall firewall delete rule name="{rule}"'
            first_delete = next(i for i, c in enumerate(calls) if c.endswith(delete))
            self.assertLess(first_delete, calls.index(add))

        # The installed server, started from its folder as the loader starts
        # it, answers on its port: its description, and an engine start
        # that reads the installed settings file.
        server = subprocess.Popen([wire.WINE, f"{WINDOWS_FOLDER}\\Ferrolink.exe",
                                   *wire.TRUST_UNDER_WINE], cwd=self.folder, env=self.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wire.wait_for_port(wire.SERVICE_PORT, timeout=60)
            with open(os.path.join(self.folder, "auto", "Device.wsdl"), "rb") as f:
                self.assertEqual(wire.get("/Device.wsdl").body, f.read().replace(b"\r\n", b"\n"))
            resp = wire.call("EngineLayerStartup")
            self.assertIn("<errorcode>0</errorcode>", resp.text)
            # While the server runs, the uninstaller refuses and removes
            # nothing. It runs in place (_?=), so that its exit code is its
            # own; from a batch file, since that argument must reach it
            # unquoted, spaces and all.
            batch = os.path.join(os.path.dirname(self.netsh_log), "uninstall.bat")
            with open(batch, "w") as f:
                f.write(f'@"{WINDOWS_FOLDER}\\uninstall.exe" /S _?={WINDOWS_FOLDER}\r\n'
                        "@exit /b %ERRORLEVEL%\r\n")
            run = self.wine("cmd", "/c", "Z:" + batch.replace("/", "\\"))
            self.assertEqual(run.returncode, 2)
            self.assertEqual({k for k in tree(self.folder) if not k.startswith("events.db")},
                             set(installed))
            self.assertTrue(os.path.exists(self.shortcut))
            self.assertIsNotNone(self.registry())
            self.assertEqual(len([c for c in self.netsh_calls() if " delete rule " in c]), 2)
            self.assertEqual(wire.call("GSoapClose").raw, wire.ACCEPTED)
            self.assertEqual(server.wait(timeout=30), 0)
        finally:
            if server.poll() is None:
                server.kill()
                server.wait()
        # What else a run leaves in the folder: the loader's note, an
        # uploaded firmware image, an atomic write's leftover.
        self.assertTrue(os.path.exists(os.path.join(self.folder, "events.db")))
        for rel in ("cfg/path.txt", "firmware/image.bin", ".watched.cfg.tmp-1-1"):
            os.makedirs(os.path.dirname(os.path.join(self.folder, rel)), exist_ok=True)
            with open(os.path.join(self.folder, rel), "wb") as f:
                f.write(b"x")

        # An install over it keeps the settings as the server wrote them,
        # and a firewall that refuses the rules fails no install.
        settings = os.path.join(self.folder, "cfg", "define.ecf")
        with open(settings, "rb") as f:
            kept = f.read() + b"\0"
        with open(settings, "wb") as f:
            f.write(kept)
        self.install(netsh_exit=1)
        with open(settings, "rb") as f:
            self.assertEqual(f.read(), kept)
        self.wait_for_prefix()

        # The uninstaller, silently, to the end of its copy's run.
        calls = len(self.netsh_calls())
        run = self.wine(f"{WINDOWS_FOLDER}\\uninstall.exe", "/S")
        self.assertEqual(run.returncode, 0, run.stderr.decode("utf-8", "replace"))
        self.wait_for_prefix()
        self.assertFalse(os.path.exists(self.folder),
                         sorted(tree(self.folder)) if os.path.isdir(self.folder) else "")
        self.assertEqual(sorted(os.listdir(self.program_files)), before)
        self.assertFalse(os.path.exists(self.shortcut))
        self.assertIsNone(self.registry(), "the Uninstall key is left")
        deletes = self.netsh_calls()[calls:]
        for rule in (TCP_RULE, UDP_RULE):
            delete = f'advfirewall firewall delete rule name="{rule}"'
            self.assertTrue(any(c.endswith(delete) for c in deletes), deletes)


if __name__ == "__main__":
    wire.run_tests()
