"""Raw-socket helpers for the server-level tests: start a server from a
program folder, talk HTTP to it byte for byte, and read its log.

Every test that uses these runs inside a private network namespace
(run_in_netns.py), so the fixed ports belong to the test alone.
"""

import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SERVICE_PORT = 64567
PUSH_PORT = 64568
SOAP11_ENV = "http://schemas.xmlsoap.org/soap/envelope/"
SOAP11_ENC = "http://schemas.xmlsoap.org/soap/encoding/"
SOAP12_ENV = "http://www.w3.org/2003/05/soap-envelope"
SOAP12_ENC = "http://www.w3.org/2003/05/soap-encoding"
# GSoapClose's whole answer, a one-way operation's acceptance; the server
# ends after it.
ACCEPTED = b"HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"


def dist_dir() -> str:
    return os.environ["FERRO_DIST"]


# An installed server, run as its service user: FERRO_SERVER_AS is the
# command put before the server's (e.g. a setpriv with the unit's user and
# capabilities), FERRO_SERVER_OWNER the user who then owns its working folder.
SERVER_AS = shlex.split(os.environ.get("FERRO_SERVER_AS", ""))
SERVER_OWNER = os.environ.get("FERRO_SERVER_OWNER")


class Response:
    def __init__(self, raw: bytes):
        self.raw = raw
        head, _, self.body = raw.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        self.status_line = lines[0] if lines else ""
        self.headers = {}
        for line in lines[1:]:
            key, _, value = line.partition(":")
            self.headers[key.strip().lower()] = value.strip()

    @property
    def text(self) -> str:
        return self.body.decode("utf-8")


# How tests reach 127.0.0.1: directly, or inside another network namespace
# (see use_namespace).
connect = socket.create_connection
_namespace: str | None = None


def use_namespace(ns: str | None) -> None:
    """Makes every later connection of this module (and of tests that call
    wire.connect or wire.listen) start from loopback of network namespace
    `ns`, or from the caller's own namespace again with None."""
    global connect, _namespace
    _namespace = ns
    if ns is None:
        connect = socket.create_connection
        return
    connect = lambda address, timeout=None: in_namespace(  # noqa: E731
        lambda: socket.create_connection(address, timeout=timeout))


def in_namespace(make):
    """Calls make() so that the sockets it creates belong to the namespace
    chosen with use_namespace, and returns its result."""
    if _namespace is None:
        return make()
    import ctypes
    import threading

    libc = ctypes.CDLL(None, use_errno=True)
    clone_newnet = 0x40000000
    # A socket belongs to the namespace of the thread that made it, so a
    # short-lived thread enters the namespace and makes the socket.
    box = {}

    def run():
        try:
            with open(f"/var/run/netns/{_namespace}") as f:
                if libc.setns(f.fileno(), clone_newnet) != 0:
                    raise OSError(ctypes.get_errno(), "setns failed")
            box["result"] = make()
        except BaseException as e:  # handed to the caller
            box["error"] = e

    t = threading.Thread(target=run)
    t.start()
    t.join()
    if "error" in box:
        raise box["error"]
    return box["result"]


def listen(port: int) -> socket.socket:
    """A listening TCP socket on 127.0.0.1:`port` (in the chosen namespace)."""
    def make():
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", port))
        s.listen(16)
        return s
    return in_namespace(make)


def exchange(data: bytes, timeout: float = 20.0, port: int = SERVICE_PORT) -> bytes:
    """Sends `data` on a new connection and reads until the server closes."""
    with connect(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        chunks = []
        while True:
            b = s.recv(65536)
            if not b:
                break
            chunks.append(b)
    return b"".join(chunks)


def get(target: str, **kw) -> Response:
    return Response(exchange(f"GET {target} HTTP/1.1\r\nHost: localhost\r\n\r\n".encode(), **kw))


# Whether post() checks each answer against the published description; tools
# that time the server's answers switch it off.
check_answers = True


def post(body: bytes, content_type: str = "text/xml; charset=utf-8", **kw) -> Response:
    """Posts a SOAP message. Every answer of the service (not its faults) is
    checked against the schema of the published description, so that the
    description and the wire cannot drift apart unnoticed."""
    head = (f"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: {content_type}\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode()
    resp = Response(exchange(head + body, **kw))
    if check_answers and resp.status_line == "HTTP/1.1 200 OK":
        import description

        description.check_answer(resp.body)
    return resp


def envelope(operation: str, children: str = "", version: int = 1, header: bool = False) -> bytes:
    env = SOAP11_ENV if version == 1 else SOAP12_ENV
    hdr = "<e:Header/>" if header else ""
    return (f'<?xml version="1.0" encoding="UTF-8"?>'
            f'<e:Envelope xmlns:e="{env}" xmlns:h="urn:Halvex">{hdr}<e:Body>'
            f"<h:{operation}>{children}</h:{operation}></e:Body></e:Envelope>").encode()


def call(operation: str, children: str = "", version: int = 1, **kw) -> Response:
    """Posts one operation; keyword arguments go to exchange (timeout, port)
    except `header`, which adds an empty SOAP header."""
    ctype = "text/xml; charset=utf-8" if version == 1 else "application/soap+xml; charset=utf-8"
    return post(envelope(operation, children, version, kw.pop("header", False)), ctype, **kw)


def fault_string(resp: Response) -> str:
    m = re.search(r"<faultstring>(.*?)</faultstring>|<SOAP-ENV:Text[^>]*>(.*?)</SOAP-ENV:Text>",
                  resp.text, re.S)
    return (m.group(1) or m.group(2)) if m else ""


def fault_detail(resp: Response) -> str:
    """The reason a fault gives: the text of the reason element (in the
    service's namespace) that is the one content of the fault's detail
    element ("detail" in SOAP 1.1, "SOAP-ENV:Detail" in SOAP 1.2). Empty
    when there is none, or when the detail holds anything else."""
    import xml.etree.ElementTree as ET

    try:
        root = ET.fromstring(resp.body)
    except ET.ParseError:
        return ""
    for detail in root.iter():
        if detail.tag in ("detail", f"{{{SOAP12_ENV}}}Detail"):
            children = list(detail)
            if (len(children) != 1 or children[0].tag != "{urn:Halvex}reason"
                    or (detail.text or "").strip() or (children[0].tail or "").strip()):
                return ""
            return children[0].text or ""
    return ""


def wait_for_port(port: int, timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            connect(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.02)
    raise TimeoutError(f"nothing listens on port {port}")


def as_user(uid: int, code: str, **kw) -> subprocess.Popen:
    """Starts Python `code` as another user of the machine (uid and gid
    `uid`, no other groups). It runs in "/": the checkout may be in a folder
    that user cannot read, so the code must not import from it."""
    kw.setdefault("cwd", "/")
    return subprocess.Popen(["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups",
                             sys.executable, "-c", code], **kw)


class Server:
    """A server process started from a program folder, with its output in
    files of a private folder that stop() removes (the texts stay readable
    through log() and stderr() afterwards)."""

    def __init__(self, program_dir: str | None = None, cwd: str | None = None,
                 prefix: list[str] | None = None, env: dict | None = None,
                 args: list[str] | None = None):
        self.program_dir = program_dir or dist_dir()
        self.prefix = prefix or []  # e.g. ["ip", "netns", "exec", NS]
        self.args = args or []
        # The server's environment: ours, but without a display, so that a
        # save dialog never opens on the desktop of whoever runs the tests.
        self.env = env if env is not None else {
            k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        # The server rewrites cfg/define.ecf under its working directory, so by
        # default it gets a private one holding a copy of the program's file.
        self._own_cwd = cwd is None
        self.cwd = cwd or private_working_dir(self.program_dir)
        self._log_dir = tempfile.mkdtemp(prefix="ferrolink-log-")
        self.log_path = os.path.join(self._log_dir, "server.log")
        self.err_path = os.path.join(self._log_dir, "server.err")
        self._kept = None  # (log, stderr) once stopped
        self.proc = None
        self.wine = None  # its Wine prefix, under Wine

    def start(self, wait: bool = True) -> "Server":
        self._out = open(self.log_path, "wb")
        self._err = open(self.err_path, "wb")
        command = [os.path.join(self.program_dir, "Ferrolink")] + self.args
        env = self.env
        if SERVER_AS:
            command = SERVER_AS + command
        if SERVER_OWNER:
            for folder, _, files in os.walk(self.cwd):
                for path in [folder] + [os.path.join(folder, f) for f in files]:
                    shutil.chown(path, SERVER_OWNER, SERVER_OWNER)
        if WINE:
            self.wine = WinePrefix(self.prefix)
            command = [WINE, command[0] + ".exe", *TRUST_UNDER_WINE, *self.args]
            env = {**env, **self.wine.env}
        self.proc = subprocess.Popen(self.prefix + command,
                                     cwd=self.cwd, stdout=self._out, stderr=self._err,
                                     env=env)
        if wait:
            wait_for_port(SERVICE_PORT)
            wait_for_port_listening_push(f"/proc/{self.proc.pid}/net/tcp")
        return self

    def log(self) -> str:
        return self._kept[0] if self._kept else _read_text(self.log_path)

    def stderr(self) -> str:
        return self._kept[1] if self._kept else _read_text(self.err_path)

    def wait_log(self, pattern: str, timeout: float = 5.0) -> str:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = self.log()
            if pattern in text:
                return text
            time.sleep(0.02)
        raise AssertionError(f"log never showed {pattern!r}:\n{self.log()}")

    def stop(self) -> None:
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
        if self.proc:
            self.proc.wait()
        if self.wine:
            self.wine.remove()
            self.wine = None
        for f in (getattr(self, "_out", None), getattr(self, "_err", None)):
            if f:
                f.close()
        if self._kept is None:
            self._kept = (_read_text(self.log_path), _read_text(self.err_path))
        shutil.rmtree(self._log_dir, ignore_errors=True)
        if self._own_cwd:
            shutil.rmtree(self.cwd, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# The Windows build under test: FERRO_WINE names wine64, FERRO_WINE_PREFIX a
# prepared Wine prefix, and FERRO_DIST the Windows program folder.
WINE = os.environ.get("FERRO_WINE")
# Wine cannot tell which process owns a loopback connection (and the test's
# own clients are no Windows processes), so the per-user access rule would
# refuse every change; the server is told to trust its local callers.
TRUST_UNDER_WINE = ["--trust-local-users"]


def _in_named_namespace() -> bool:
    me = os.stat("/proc/self/ns/net")
    folder = "/var/run/netns"
    names = os.listdir(folder) if os.path.isdir(folder) else []
    for name in names:
        try:
            ns = os.stat(os.path.join(folder, name))
        except OSError:
            continue
        if (ns.st_dev, ns.st_ino) == (me.st_dev, me.st_ino):
            return True
    return False


class WinePrefix:
    """A private copy of the prepared Wine prefix for one server. A
    wineserver serves every process of its prefix, and opens their sockets
    in the network namespace it was started in: a prefix shared between
    namespaces would put one test's server on another's network, or on the
    machine's own. So each server gets its prefix, its wineserver starts in
    the server's namespace, and both go when the server stops."""

    def __init__(self, prefix: list[str]):
        # Without a prefix the caller must be inside a named namespace (a
        # test run through run_in_netns.py), told as `ip netns identify`
        # does: the machine's first process may not be readable.
        if not prefix and not _in_named_namespace():
            raise RuntimeError("refusing to start the server under Wine in the machine's own "
                               "network namespace")
        self.prefix = prefix
        template = os.environ["FERRO_WINE_PREFIX"]
        self.path = tempfile.mkdtemp(prefix="wineprefix-", dir=os.path.dirname(template))
        # Hard links keep the copy cheap (the prefix is large); the registry
        # files, which Wine rewrites, are real copies.
        subprocess.run(["cp", "-al", f"{template}/.", self.path], check=True)
        for name in os.listdir(template):
            if name.endswith(".reg"):
                os.remove(os.path.join(self.path, name))
                shutil.copy2(os.path.join(template, name), os.path.join(self.path, name))
        self.env = {"WINEPREFIX": self.path, "WINEDEBUG": "-all",
                    "WINEDLLOVERRIDES": "mscoree,mshtml="}

    def remove(self) -> None:
        server = os.path.join(os.path.dirname(WINE), "wineserver")
        subprocess.run(self.prefix + [server, "-k"], env={**os.environ, **self.env},
                       stderr=subprocess.DEVNULL, timeout=20)
        shutil.rmtree(self.path, ignore_errors=True)


def _read_text(path: str) -> str:
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


def wait_for_port_listening_push(table: str = "/proc/net/tcp", timeout: float = 5.0) -> None:
    """Waits until the push listener exists, without connecting to it (a
    connection would become the push client)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(table) as f:
            if any(f":{PUSH_PORT:04X} " in line and line.split()[3] == "0A" for line in f):
                return
        time.sleep(0.02)
    raise TimeoutError("the push listener never appeared")


def private_working_dir(program_dir: str) -> str:
    root = tempfile.mkdtemp(prefix="ferrolink-cwd-")
    os.makedirs(os.path.join(root, "cfg"))
    src = os.path.join(program_dir, "cfg", "define.ecf")
    if os.path.exists(src):
        shutil.copy(src, os.path.join(root, "cfg", "define.ecf"))
    return root


def private_program_dir(files: dict[str, bytes | None] | None = None) -> str:
    """A copy of the program folder in a temporary place; `files` maps paths
    below it to new contents (None deletes the file)."""
    root = tempfile.mkdtemp(prefix="ferrolink-dist-")
    shutil.copytree(dist_dir(), root, dirs_exist_ok=True)
    for rel, content in (files or {}).items():
        path = os.path.join(root, rel)
        if content is None:
            if os.path.exists(path):
                os.remove(path)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
    return root


def run_tests() -> None:
    """unittest's main, with exit code 77 (CTest: skipped) when every test
    was skipped, e.g. where namespaces or a browser are missing."""
    import sys
    import unittest

    result = unittest.main(exit=False).result
    if result.wasSuccessful() and result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)
