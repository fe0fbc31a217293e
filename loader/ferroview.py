#!/usr/bin/python3
"""Ferroview: the desktop launcher of the Ferrolink user interface.

The loader starts it right after the server, so it first waits until the
server answers on its service port. Then it takes the server's push channel
(the server accepts one client in its lifetime), opens the browser interface
that the server serves, shows each "trap" and "device_set" notice as a
desktop notification, and ends when the server says "app_exit" or goes away.
"""

import shutil
import signal
import socket
import subprocess
import sys
import time

HOST = "127.0.0.1"
SERVICE_PORT = 64567
PUSH_PORT = 64568
INTERFACE_URL = f"http://{HOST}:{SERVICE_PORT}/tools/js_client/index.html"
SERVER_WAIT = 60.0   # seconds the server may take to start
PUSH_WAIT = 5.0      # seconds for the push listener once the server answers
MAX_NOTICE = 256     # longer text without its zero byte is not a notice

NOTICES = {
    "trap": ("A device sent a trap", "The trap list holds the details."),
    "device_set": ("Device settings", "A change of device settings has a result."),
}


def log(text: str) -> None:
    print(f"Ferroview: {text}", flush=True)


def server_answers() -> bool:
    """One plain GET: the server serves one connection at a time, so a
    request that says nothing would hold it up."""
    try:
        with socket.create_connection((HOST, SERVICE_PORT), timeout=2) as s:
            s.sendall(b"GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
            return s.recv(16).startswith(b"HTTP/")
    except OSError:
        return False


def wait_for_server() -> bool:
    deadline = time.monotonic() + SERVER_WAIT
    while time.monotonic() < deadline:
        if server_answers():
            return True
        time.sleep(0.25)
    return False


def connect_push():
    deadline = time.monotonic() + PUSH_WAIT
    while True:
        try:
            s = socket.create_connection((HOST, PUSH_PORT), timeout=2)
            s.sendall(b"Ferroview")
            s.settimeout(None)
            return s
        except OSError:
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.1)


class Helpers:
    """Desktop programs started without waiting; finished ones are collected."""

    def __init__(self):
        self.running = []

    def start(self, argv) -> bool:
        self.running = [p for p in self.running if p.poll() is None]
        if shutil.which(argv[0]) is None:
            return False
        try:
            self.running.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                                 stdout=subprocess.DEVNULL,
                                                 stderr=subprocess.DEVNULL,
                                                 start_new_session=True))
            return True
        except OSError:
            return False


def notices(sock):
    """Yields each notice the server pushes, until the connection ends."""
    pending = b""
    while True:
        try:
            chunk = sock.recv(4096)
        except OSError:
            return
        if not chunk:
            return
        pending += chunk
        while b"\0" in pending:
            text, pending = pending.split(b"\0", 1)
            yield text.decode("ascii", "replace")
        if len(pending) > MAX_NOTICE:
            pending = b""


def main() -> int:
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    helpers = Helpers()
    if not wait_for_server():
        log(f"the server did not answer on port {SERVICE_PORT}")
        return 1
    push = connect_push()
    if push is None:
        log("no push channel (another user interface holds it); no notifications")
    if not helpers.start(["xdg-open", INTERFACE_URL]):
        log(f"open {INTERFACE_URL} in a browser")
    if push is None:
        return 0
    with push:
        for notice in notices(push):
            if notice == "app_exit":
                log("the server is closing")
                return 0
            if notice in NOTICES:
                title, body = NOTICES[notice]
                helpers.start(["notify-send", "--app-name=Ferroview", title, body])
    log("the server closed the push channel")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
