"""The Windows loader.exe and Ferroview.exe under Wine, against a stand-in
server on this machine's loopback ports 64567 and 64568 (no real server
runs here: these programs open no other socket). The shell's browser call
reaches a stand-in xdg-open on the search path; a virtual X display, when
there is one, gives Wine a notification area for Ferroview's balloons (the
loader's run goes without: the display would end with the loader, before
the Ferroview it started)."""

import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SERVICE_PORT = 64567
PUSH_PORT = 64568
URL = f"http://127.0.0.1:{SERVICE_PORT}/tools/js_client/index.html"
SKIP = 77

RECORDER = """#!/bin/sh
printf '%s\\n' "$*" >> "$REPORTS/$(basename "$0").calls"
"""


def wait_for(predicate, what: str, timeout: float = 30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = predicate()
        if result:
            return result
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


class StandInServer:
    """Answers every GET on the service port and takes one push client,
    which it hands to the test."""

    def __init__(self):
        self.service = socket.create_server(("127.0.0.1", SERVICE_PORT))
        self.push = socket.create_server(("127.0.0.1", PUSH_PORT))
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.service.settimeout(0.2)
        while not self.stopping:
            try:
                conn, _ = self.service.accept()
            except OSError:
                continue
            with conn:
                conn.settimeout(5)
                try:
                    conn.recv(4096)
                    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
                except OSError:
                    pass

    def client(self, proc: subprocess.Popen | None = None, out_path: str = "") -> socket.socket:
        """The push client, once it connects; a program that ended first
        (xvfb-run or Wine refusing to start) fails at once, with its output."""
        self.push.settimeout(0.2)
        deadline = time.monotonic() + 60
        while True:
            try:
                client, _ = self.push.accept()
                break
            except TimeoutError:
                ended = proc is not None and proc.poll() is not None
                if ended or time.monotonic() > deadline:
                    with open(out_path or os.devnull, errors="replace") as f:
                        raise AssertionError(f"no push client (ended: {ended}):\n{f.read()}")
        client.settimeout(30)
        return client

    def close(self):
        self.stopping = True
        self.thread.join(5)
        self.service.close()
        self.push.close()


class WindowsLauncherTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="ferrolink-winlaunch-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.reports = os.path.join(self.root, "reports")
        bin_dir = os.path.join(self.root, "bin")
        os.makedirs(self.reports)
        os.makedirs(bin_dir)
        recorder = os.path.join(bin_dir, "xdg-open")
        with open(recorder, "w") as f:
            f.write(RECORDER)
        os.chmod(recorder, os.stat(recorder).st_mode | stat.S_IXUSR)
        self.env = dict(os.environ, REPORTS=self.reports, WINEDEBUG="-all",
                        PATH=bin_dir + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
        self.server = StandInServer()
        self.addCleanup(self.server.close)

    def wine(self, program: str, cwd: str, out, display: bool = False) -> subprocess.Popen:
        command = [os.environ["FERRO_WINE64"], program]
        if display and shutil.which("xvfb-run"):
            command = ["xvfb-run", "-a"] + command
        proc = subprocess.Popen(command, cwd=cwd, env=self.env, stdout=out,
                                stderr=subprocess.STDOUT)
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(), proc.wait()))
        return proc

    def browser_calls(self) -> list[str]:
        path = os.path.join(self.reports, "xdg-open.calls")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().splitlines()

    def test_ferroview_shows_each_notice_and_ends_on_app_exit(self):
        out_path = os.path.join(self.root, "ferroview.out")
        with open(out_path, "wb") as out:
            proc = self.wine(os.path.join(os.environ["FERRO_DIST"], "Ferroview.exe"), self.root,
                             out, display=True)
            with self.server.client(proc, out_path) as client:
                self.assertEqual(client.recv(256), b"Ferroview")
                for piece in (b"tr", b"ap\0device_set\0unknown\0", b"x" * 300, b"app_exit\0"):
                    client.sendall(piece)
                    time.sleep(0.1)
                # Ferroview closes its end and ends.
                self.assertEqual(client.recv(1), b"")
            self.assertEqual(proc.wait(timeout=60), 0)
        with open(out_path, errors="replace") as f:
            lines = [l for l in f.read().splitlines() if l.startswith("Ferroview: ")]
        # Without a notification area (no X display) each line says so.
        shown = [l.removesuffix(" (no notification area)") for l in lines]
        self.assertEqual(shown, ["Ferroview: A device sent a trap", "Ferroview: Device settings",
                                 "Ferroview: the server is closing"], lines)
        self.assertEqual(self.browser_calls(), [URL])

    def test_loader_records_the_folder_and_starts_both(self):
        program = os.path.join(self.root, "Program Folder")
        os.makedirs(os.path.join(program, "cfg"))
        shutil.copy(os.path.join(os.environ["FERRO_DIST"], "loader.exe"), program)
        shutil.copy(os.path.join(os.environ["FERRO_DIST"], "Ferroview.exe"), program)
        # Never the real server: a stand-in that reports how it was started.
        shutil.copy(os.environ["FERRO_STAND_IN"], os.path.join(program, "Ferrolink.exe"))
        out_path = os.path.join(self.root, "loader.out")
        with open(out_path, "wb") as out:
            self.assertEqual(self.wine(os.path.join(program, "loader.exe"), program,
                                       out).wait(timeout=60), 0)
        with open(out_path, errors="replace") as f:
            printed = f.read()
        with open(os.path.join(program, "cfg", "path.txt"), "rb") as f:
            short = f.read().decode()
        # "long name = Z:\...\Program Folder\ shortname = Z:\...\PROGRA~1\"
        self.assertIn(f"long name = Z:{program.replace('/', chr(92))}\\ shortname = {short}",
                      printed)
        self.assertTrue(short.endswith("\\") and " " not in short, short)
        started = os.path.join(program, "Ferrolink.exe.started")
        wait_for(lambda: os.path.exists(started), "the server to start")
        with open(started) as f:
            self.assertEqual(f.read(), "show=0\n")  # SW_HIDE
        with self.server.client() as client:
            self.assertEqual(client.recv(256), b"Ferroview")
            client.sendall(b"trap\0app_exit\0")
            self.assertEqual(client.recv(1), b"")
        wait_for(self.browser_calls, "the interface to open")
        self.assertEqual(self.browser_calls(), [URL])


if __name__ == "__main__":
    for port in (SERVICE_PORT, PUSH_PORT):
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                print(f"port {port} is in use on this machine's loopback; skipped")
                sys.exit(SKIP)
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
