#!/usr/bin/python3
"""Ferroview: the desktop launcher of the Ferrolink user interface.

The loader starts it right after the server, so it first waits until the
server answers on its service port. Then it takes the server's push channel
(the server accepts one client in its lifetime), opens the browser interface
that the server serves, shows each "trap" and "device_set" notice as a
desktop notification, and ends when the server says "app_exit" or goes away.
"""

import os
import pwd
import shutil
import signal
import socket
import struct
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


# The kernel's socket diagnostics (netlink): who owns each listening socket.
NETLINK_SOCK_DIAG = 4
SOCK_DIAG_BY_FAMILY = 20
NLM_F_REQUEST, NLM_F_DUMP = 0x1, 0x300
NLMSG_ERROR, NLMSG_DONE = 2, 3
TCP_LISTEN = 10


def listener_owners(port: int) -> list[int]:
    """The users owning the TCP listeners on `port` at 127.0.0.1 or any
    address; None when the kernel cannot be asked."""
    request = (struct.pack("=BBBBI", socket.AF_INET, socket.IPPROTO_TCP, 0, 0, 1 << TCP_LISTEN)
               + bytes(8 + 32) + struct.pack("=III", 0, 0xFFFFFFFF, 0xFFFFFFFF))
    header = struct.pack("=IHHII", 16 + len(request), SOCK_DIAG_BY_FAMILY,
                         NLM_F_REQUEST | NLM_F_DUMP, 1, 0)
    owners = []
    try:
        with socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_SOCK_DIAG) as s:
            s.settimeout(2)
            s.sendto(header + request, (0, 0))
            while True:
                data = s.recv(65536)
                pos = 0
                while pos + 16 <= len(data):
                    length, kind = struct.unpack_from("=IH", data, pos)
                    if length < 16:
                        return None
                    if kind == NLMSG_DONE:
                        return owners
                    if kind == NLMSG_ERROR:
                        return None
                    if kind == SOCK_DIAG_BY_FAMILY and length >= 16 + 72:
                        body = pos + 16
                        sport = struct.unpack_from(">H", data, body + 4)[0]
                        src = data[body + 8:body + 12]
                        uid = struct.unpack_from("=I", data, body + 64)[0]
                        if sport == port and src in (bytes([127, 0, 0, 1]), bytes(4)):
                            owners.append(uid)
                    pos += (length + 3) & ~3
    except OSError:
        return None


def user_text(uid: int) -> str:
    try:
        return f"user {pwd.getpwuid(uid).pw_name} (uid {uid})"
    except KeyError:
        return f"uid {uid}"


def foreign_listener(service_user: int | None = None) -> str | None:
    """Why the programs listening on the service and push ports are not to
    be trusted (they belong to neither this user, nor root, nor the service
    user named on the command line), or None. The browser and the notices go
    to whoever listens there, so a port taken by another user of the machine
    could collect what the user types."""
    trusted = {os.geteuid(), 0}
    if service_user is not None:
        trusted.add(service_user)
    for port in (SERVICE_PORT, PUSH_PORT):
        owners = listener_owners(port)
        if owners is None:
            return f"cannot tell who listens on port {port}"
        foreign = [uid for uid in owners if uid not in trusted]
        if foreign:
            return f"port {port} is held by {user_text(foreign[0])}, not by the server's user"
    return None


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


USAGE = """usage: Ferroview [--service-user NAME]
  --service-user NAME  the server runs as the system service of user NAME
                       (the installed package's "ferrolink"): trust its ports"""


def main(args: list[str]) -> int:
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    service_user = None
    if args[:1] == ["--service-user"] and len(args) == 2:
        try:
            service_user = pwd.getpwnam(args[1]).pw_uid
        except KeyError:
            log(f"no user {args[1]}")
            return 2
    elif args:
        print(USAGE, file=sys.stderr)
        return 2
    helpers = Helpers()
    if not wait_for_server():
        log(f"the server did not answer on port {SERVICE_PORT}")
        return 1
    refused = foreign_listener(service_user)
    if refused:
        log(f"{refused}: not opening the interface")
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
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(0)
