"""The loader and the Ferroview launcher.

The loader runs from a program folder holding stand-ins that report how they
were started (session, standard streams, working directory) and wait to be
released, and once from a copy of the real program folder, where it brings
up the real server and Ferroview. Ferroview runs against a real server and
against a stand-in server that pushes notices, with stand-ins for the
browser and the notification command on its search path."""

import json
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

import wire

URL = "http://127.0.0.1:64567/tools/js_client/index.html"

# A stand-in for the server or the user interface: reports how it was
# started, then waits (bounded) until the test releases it.
STAND_IN = """#!/usr/bin/python3
import json, os, sys, time
name = os.path.basename(sys.argv[0])
report = {"argv": sys.argv[1:], "cwd": os.getcwd(), "own_session": os.getsid(0) == os.getpid(),
          "stdin": os.readlink("/proc/self/fd/0"), "stdout": os.readlink("/proc/self/fd/1"),
          "stderr": os.readlink("/proc/self/fd/2")}
with open(os.path.join(os.environ["REPORTS"], name + ".json.tmp"), "w") as f:
    json.dump(report, f)
os.rename(os.path.join(os.environ["REPORTS"], name + ".json.tmp"),
          os.path.join(os.environ["REPORTS"], name + ".json"))
deadline = time.monotonic() + 30
while not os.path.exists(os.path.join(os.environ["REPORTS"], "release")) and time.monotonic() < deadline:
    time.sleep(0.05)
"""

# Stand-ins for xdg-open and notify-send: one line per call, with the caller's pid.
RECORDER = """#!/bin/sh
printf '%s %s\\n' "$PPID" "$*" >> "$REPORTS/$(basename "$0").calls"
"""


def executable(path: str, text: str) -> None:
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


def wait_for(predicate, what: str, timeout: float = 20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = predicate()
        if result:
            return result
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


class Sandbox:
    """Temporary folders, a report folder and a search path with recorders."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="ferrolink-launch-")
        self.reports = os.path.join(self.root, "reports")
        self.bin = os.path.join(self.root, "bin")
        os.makedirs(self.reports)
        os.makedirs(self.bin)
        for name in ("xdg-open", "notify-send"):
            executable(os.path.join(self.bin, name), RECORDER)
        self.env = dict(os.environ, REPORTS=self.reports,
                        PATH=self.bin + ":" + os.environ.get("PATH", "/usr/bin:/bin"))

    def folder(self, name: str) -> str:
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        return path

    def report(self, program: str):
        path = os.path.join(self.reports, program + ".json")
        if not os.path.exists(path):
            return None
        with open(path) as f:
            return json.load(f)

    def calls(self, recorder: str) -> list[str]:
        path = os.path.join(self.reports, recorder + ".calls")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().splitlines()

    def release(self) -> None:
        open(os.path.join(self.reports, "release"), "w").close()

    def close(self) -> None:
        self.release()
        shutil.rmtree(self.root, ignore_errors=True)


class LoaderTest(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.program = self.box.folder("program")
        shutil.copy(os.path.join(wire.dist_dir(), "loader"), self.program)
        os.makedirs(os.path.join(self.program, "cfg"))

    def tearDown(self):
        self.box.close()

    def stand_ins(self, folder: str, *names: str) -> None:
        for name in names:
            executable(os.path.join(folder, name), STAND_IN)

    def run_loader(self, cwd: str) -> str:
        """Runs the loader to its end (it must not wait for what it starts)
        and returns its standard output."""
        out = os.path.join(self.box.root, "loader.out")
        with open(out, "wb") as f:
            rc = subprocess.run([os.path.join(self.program, "loader"), "ignored", "arguments"],
                                cwd=cwd, env=self.box.env, stdout=f, timeout=20).returncode
        self.assertEqual(rc, 0)
        with open(out) as f:
            return f.read()

    def path_txt(self, cwd: str):
        path = os.path.join(cwd, "cfg", "path.txt")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def test_from_the_program_folder_starts_both(self):
        self.stand_ins(self.program, "Ferrolink", "Ferroview")
        with open(os.path.join(self.program, "cfg", "path.txt"), "w") as f:
            f.write("an older, much longer content than the folder path itself" * 10)
        out = self.run_loader(self.program)
        folder = self.program + "/"
        self.assertEqual(out, f"long name = {folder} shortname = {folder}")
        self.assertEqual(self.path_txt(self.program), folder.encode())
        # Both started, and neither had ended when the loader did.
        server = wait_for(lambda: self.box.report("Ferrolink"), "the server to start")
        ui = wait_for(lambda: self.box.report("Ferroview"), "the user interface to start")
        self.assertEqual(server["argv"], [])
        self.assertEqual(server["cwd"], self.program)
        # The server hidden: its own session, every stream on the null device.
        self.assertTrue(server["own_session"])
        self.assertEqual({server[s] for s in ("stdin", "stdout", "stderr")}, {"/dev/null"})
        # The user interface shown: the loader's session and streams.
        self.assertFalse(ui["own_session"])
        self.assertEqual(ui["stdout"], os.path.join(self.box.root, "loader.out"))
        self.assertEqual(ui["cwd"], self.program)

    def test_from_another_folder(self):
        self.stand_ins(self.program, "Ferrolink", "Ferroview")
        elsewhere = self.box.folder("elsewhere")
        # No cfg folder there: no path.txt, and the programs are looked up in
        # that folder, where they are not.
        self.run_loader(elsewhere)
        self.assertFalse(os.path.exists(os.path.join(elsewhere, "cfg")))
        # With a cfg folder and only the user interface there: path.txt
        # names the program folder, the missing server is skipped.
        os.makedirs(os.path.join(elsewhere, "cfg"))
        self.stand_ins(elsewhere, "Ferroview")
        self.run_loader(elsewhere)
        self.assertEqual(self.path_txt(elsewhere), (self.program + "/").encode())
        ui = wait_for(lambda: self.box.report("Ferroview"), "the user interface to start")
        self.assertEqual(ui["cwd"], elsewhere)
        time.sleep(0.3)
        self.assertIsNone(self.box.report("Ferrolink"))

    def test_programs_that_cannot_run_are_skipped(self):
        # Present but not executable, or not a program at all.
        with open(os.path.join(self.program, "Ferrolink"), "w") as f:
            f.write("not a program")
        os.makedirs(os.path.join(self.program, "Ferroview"))
        self.assertIn("long name = ", self.run_loader(self.program))


class RealProductTest(unittest.TestCase):
    """The loader from a copy of the real program folder: the real server
    in the background and Ferroview in front, which opens the interface;
    closing the server ends both."""

    def test_loader_brings_up_server_and_interface(self):
        box = Sandbox()
        program = wire.private_program_dir()
        try:
            with open(os.path.join(box.root, "loader.out"), "wb") as out:
                rc = subprocess.run([os.path.join(program, "loader")], cwd=program, env=box.env,
                                    stdout=out, timeout=20).returncode
            self.assertEqual(rc, 0)
            calls = wait_for(lambda: box.calls("xdg-open"), "Ferroview to open the interface", 30)
            ferroview_pid, url = calls[0].split(" ", 1)
            self.assertEqual(url, URL)
            # Ferroview holds the push channel: nothing listens for a second client.
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", wire.PUSH_PORT), timeout=5).close()
            self.assertEqual(wire.get("/tools/js_client/index.html").status_line,
                             "HTTP/1.1 200 OK")
            # Closing the server says "app_exit", which ends Ferroview.
            self.assertEqual(wire.call("GSoapClose").raw, wire.ACCEPTED)
            wait_for(lambda: not os.path.exists(f"/proc/{ferroview_pid}"), "Ferroview to end", 20)
        finally:
            box.close()
            shutil.rmtree(program, ignore_errors=True)


class FerroviewTest(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.out = os.path.join(self.box.root, "ferroview.out")

    def tearDown(self):
        self.box.close()

    def start(self, *args: str) -> subprocess.Popen:
        self.out_file = open(self.out, "wb")
        self.addCleanup(self.out_file.close)
        proc = subprocess.Popen([os.path.join(wire.dist_dir(), "Ferroview"), *args],
                                env=self.box.env,
                                stdout=self.out_file, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(), proc.wait()))
        return proc

    def output(self) -> str:
        with open(self.out) as f:
            return f.read()

    def test_against_a_running_server(self):
        with wire.Server() as server:
            proc = self.start()
            server.wait_log("Recive packet OK from 127.0.0.1: Ferroview", timeout=20)
            server.wait_log("we can send messge now!")
            calls = wait_for(lambda: self.box.calls("xdg-open"), "the interface to open")
            self.assertEqual(calls, [f"{proc.pid} {URL}"])
            self.assertEqual(wire.call("GSoapClose").raw, wire.ACCEPTED)
            self.assertEqual(proc.wait(timeout=20), 0)
            self.assertEqual(server.proc.wait(timeout=20), 0)
            self.assertIn("the server is closing", self.output())

    def test_push_channel_taken_by_another_client(self):
        with wire.Server() as server:
            other = wire.connect(("127.0.0.1", wire.PUSH_PORT), timeout=10)
            try:
                other.sendall(b"first")
                server.wait_log("we can send messge now!")
                proc = self.start()
                self.assertEqual(proc.wait(timeout=30), 0)
                wait_for(lambda: self.box.calls("xdg-open"), "the interface to open")
                self.assertIn("no push channel", self.output())
            finally:
                other.close()

    def test_ports_held_by_another_user_are_refused(self):
        # Another user of the machine listening on the service port (here a
        # stand-in that answers like the server) gets neither the browser
        # nor the push channel's hello.
        squat = ("import socket, threading, time\n"
                 f"push = socket.create_server(('127.0.0.1', {wire.PUSH_PORT}))\n"
                 f"service = socket.create_server(('127.0.0.1', {wire.SERVICE_PORT}))\n"
                 "print('ready', flush=True)\n"
                 "while True:\n"
                 "    c, _ = service.accept(); c.recv(4096)\n"
                 "    c.sendall(b'HTTP/1.1 200 OK\\r\\nContent-Length: 0\\r\\n\\r\\n'); c.close()\n")
        squatter = wire.as_user(65534, squat, stdout=subprocess.PIPE)
        try:
            self.assertEqual(squatter.stdout.readline(), b"ready\n")
            proc = self.start()
            self.assertEqual(proc.wait(timeout=30), 1)
            self.assertIn(f"port {wire.SERVICE_PORT} is held by user nobody (uid 65534), not by "
                          "the server's user: not opening the interface", self.output())
            self.assertEqual(self.box.calls("xdg-open"), [])
            # Unless that user is named as the one the system service runs as
            # (the installed package's menu entry names its own).
            proc = self.start("--service-user", "nobody")
            wait_for(lambda: self.box.calls("xdg-open"), "the interface to open")
            proc.kill()
        finally:
            squatter.kill()
            squatter.wait()

    def test_waits_for_the_server_and_shows_each_notice(self):
        proc = self.start()
        time.sleep(1)  # nothing listens yet: Ferroview keeps trying
        self.assertIsNone(proc.poll())
        received = {}
        service = socket.create_server(("127.0.0.1", wire.SERVICE_PORT))
        push = socket.create_server(("127.0.0.1", wire.PUSH_PORT))

        def serve():
            # A stand-in server: answers every GET, then pushes notices the
            # way the real one does, split across writes at odd places.
            service.settimeout(20)
            push.settimeout(20)
            conn, _ = service.accept()
            with conn:
                conn.recv(4096)
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
            client, _ = push.accept()
            with client:
                received["hello"] = client.recv(256)
                for piece in (b"trap\0device_", b"set\0", b"unknown\0tr", b"ap\0", b"x" * 300,
                              b"app_exit\0"):
                    client.sendall(piece)
                    time.sleep(0.05)
                client.recv(1)  # until Ferroview closes its end

        t = threading.Thread(target=serve)
        t.start()
        try:
            self.assertEqual(proc.wait(timeout=30), 0)
        finally:
            t.join(30)
            service.close()
            push.close()
        self.assertEqual(received["hello"], b"Ferroview")
        # The notification commands run on their own; wait until all have.
        wait_for(lambda: len(self.box.calls("notify-send")) >= 3, "three notifications")
        time.sleep(0.2)
        notes = sorted(c.split(" ", 1)[1] for c in self.box.calls("notify-send"))
        self.assertEqual(len(notes), 3, notes)
        self.assertTrue(notes[0].startswith("--app-name=Ferroview A device sent a trap"))
        self.assertEqual(notes[1], notes[0])
        self.assertTrue(notes[2].startswith("--app-name=Ferroview Device settings"))


if __name__ == "__main__":
    wire.run_tests()
