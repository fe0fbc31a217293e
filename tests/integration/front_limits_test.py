"""The HTTP front under clients that misbehave or have no business with it:
slow and silent clients, too many connections, too few descriptors,
multi-reference bombs and markup beyond the bounds, peers on the network (slow
readers among them) and foreign web pages."""

import json
import os
import re
import socket
import subprocess
import sys
import threading
import time
import unittest

import wire

NOT_POST = b" <HTML> SOAP method should be post. </HTML> "


def peak_rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))


fault_detail = wire.fault_detail



def slowest_trivial_call(count: int, timeout: float) -> float:
    """Seconds the slowest of `count` GetRefreshTime calls took (each must be
    answered)."""
    worst = 0.0
    for _ in range(count):
        start = time.monotonic()
        resp = wire.call("GetRefreshTime", timeout=timeout)
        worst = max(worst, time.monotonic() - start)
        if "<ns:GetRefreshTimeResponse>" not in resp.text:
            raise AssertionError(f"GetRefreshTime not answered: {resp.raw[:300]!r}")
    return worst

class Dripper(threading.Thread):
    """A client that sends a request one byte at a time, never finishing."""

    def __init__(self, every: float = 0.2):
        super().__init__(daemon=True)
        self.every = every
        self.stop = threading.Event()

    def run(self):
        data = b"POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + b"x" * 100000
        while not self.stop.is_set():
            try:
                with socket.create_connection(("127.0.0.1", wire.SERVICE_PORT)) as s:
                    for i in range(len(data)):
                        if self.stop.is_set():
                            return
                        s.sendall(data[i:i + 1])
                        time.sleep(self.every)
            except OSError:
                time.sleep(0.05)  # refused at its deadline: start over


class SlowClientsTest(unittest.TestCase):
    def test_drippers_and_silent_clients_delay_nobody(self):
        with wire.Server() as server:
            silent = [socket.create_connection(("127.0.0.1", wire.SERVICE_PORT)) for _ in range(20)]
            drippers = [Dripper() for _ in range(20)]
            for d in drippers:
                d.start()
            try:
                time.sleep(0.5)
                # Before, each silent client held the loop for 10 s.
                self.assertLess(slowest_trivial_call(20, timeout=30), 5)
            finally:
                for d in drippers:
                    d.stop.set()
                for s in silent:
                    s.close()
            self.assertIsNone(server.proc.poll())

    def test_more_connections_than_the_bound(self):
        with wire.Server():
            idle = []
            for _ in range(80):
                s = socket.create_connection(("127.0.0.1", wire.SERVICE_PORT))
                s.sendall(b"G")
                idle.append(s)
            self.assertIn("<ns:GetRefreshTimeResponse>", wire.call("GetRefreshTime").text)
            # The oldest idle ones made room: they were closed without a word
            # (a reset, since what they sent was never read).
            idle[0].settimeout(5)
            try:
                self.assertEqual(idle[0].recv(10), b"")
            except ConnectionResetError:
                pass
            for s in idle:
                s.close()

    def test_out_of_descriptors_is_survived(self):
        with wire.Server(prefix=["prlimit", "--nofile=20", "--"]) as server:
            held = [socket.create_connection(("127.0.0.1", wire.SERVICE_PORT)) for _ in range(30)]
            server.wait_log("", timeout=0.1)
            deadline = time.monotonic() + 5
            while "accept failed" not in server.stderr() and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertIn("accept failed: Too many open files; retrying every", server.stderr())
            for s in held:
                s.close()
            self.assertIn("<ns:GetRefreshTimeResponse>", wire.call("GetRefreshTime").text)
            self.assertIsNone(server.proc.poll())


class RequestBoundsTest(unittest.TestCase):
    def test_reference_bombs_are_refused_unread(self):
        big = "A" * (1 << 20)
        one_string_many_times = ("<vecSwitchInfo><systemName href=\"#big\"/></vecSwitchInfo>" * 1500 +
                                 f'<big id="big">{big}</big>')
        many_small = "".join(f'<vecSwitchInfo><location href="#r{i}"/></vecSwitchInfo>'
                             f'<s id="r{i}">x</s>' for i in range(20000))
        with wire.Server() as server:
            before = peak_rss_kib(server.proc.pid)
            for name, children in (("one string", one_string_many_times), ("many", many_small)):
                with self.subTest(name):
                    start = time.monotonic()
                    resp = wire.call("AddUpgradeAgent", children, timeout=60)
                    self.assertLess(time.monotonic() - start, 10)
                    self.assertIn("<SOAP-ENV:Fault>", resp.text)
                    self.assertIn("End of file or no input", wire.fault_string(resp))
                    self.assertIn("multi-reference", fault_detail(resp))
            # Memory stays in proportion to the requests (1-2 MB each).
            self.assertLess(peak_rss_kib(server.proc.pid) - before, 64 * 1024)
            self.assertIn("<ns:GetRefreshTimeResponse>", wire.call("GetRefreshTime").text)

    def test_markup_beyond_the_bounds_is_refused_at_once(self):
        """Markup that the runtime reads its own way, or in time that grows
        with the square of its size, is refused before the runtime reads it;
        markup near the bounds is served."""
        big = "A" * (64 << 10)
        attacks = {
            # Unquoted values hid the references after them from the check.
            "unquoted": ('<vecSwitchInfo><systemName a=1 href="#big"/></vecSwitchInfo>' * 1500 +
                         f'<big a=1 id="big">{big}</big>', "unquoted attribute value"),
            "attributes": ("<vecSwitchInfo" + "".join(f' a{i}="v"' for i in range(40000)) +
                           "/>", "too many attributes on one element"),
            "namespaces": ("<vecSwitchInfo" + "".join(f' xmlns:p{i}="u"' for i in range(40000)) +
                           "/>", "too many attributes on one element"),
            "names": ("".join(f'<x a{i}="v"/>' for i in range(40000)),
                      "too many different attribute names"),
        }
        # 32 attributes on an element, 32 namespace declarations in force
        # (the envelope's two included), 64 different names.
        near = ("<monitorNum" + "".join(f' xmlns:p{i}="u"' for i in range(30)) +
                ' x0="1" x1="1">0</monitorNum><skipped' +
                "".join(f' y{i}="v"' for i in range(30)) + "/>")
        with wire.Server() as server:
            before = peak_rss_kib(server.proc.pid)
            for name, (children, reason) in attacks.items():
                with self.subTest(name):
                    start = time.monotonic()
                    resp = wire.call("AddUpgradeAgent", children, timeout=120)
                    took = time.monotonic() - start
                    self.assertIn("<SOAP-ENV:Fault>", resp.text)
                    self.assertIn(reason, fault_detail(resp))
                    # The request is up to 1 MB: its transfer takes most of it.
                    self.assertLess(took, 1.0)
            self.assertLess(peak_rss_kib(server.proc.pid) - before, 64 * 1024)
            resp = wire.call("GetSwitchInfoList", near)
            self.assertIn("<ns:SwitchInfoList>", resp.text, fault_detail(resp))

    def test_lists_and_texts_are_bounded(self):
        entry = "<vecSwitchInfo><macAddr>00-11-22-33-44-55</macAddr></vecSwitchInfo>"
        with wire.Server():
            for children, ok in ((entry * 10000, True), (entry * 10001, False),
                                 (f"<vecSwitchInfo><systemName>{'n' * 65536}</systemName>"
                                  "</vecSwitchInfo>", True),
                                 (f"<vecSwitchInfo><systemName>{'n' * 65537}</systemName>"
                                  "</vecSwitchInfo>", False)):
                with self.subTest(size=len(children), ok=ok):
                    # Whatever the operation makes of the entries, the runtime
                    # reads them in or refuses them before it runs.
                    resp = wire.call("AddUpgradeAgent", children, timeout=60)
                    refused = wire.fault_string(resp).startswith("Validation constraint violation")
                    self.assertEqual(refused, not ok, wire.fault_string(resp))


# Run inside the peer namespace: opens `per_host` connections from each of
# the given addresses, each with a tiny receive buffer, asks each for a file
# and takes one byte of the answer (or learns that it was refused); prints
# how many were answered per address, then holds them all, reading nothing
# more, until its input closes.
SLOW_READERS = """
import json, socket, sys
hosts, per_host, target, port = sys.argv[1].split(","), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
conns = []
for host in hosts:
    for _ in range(per_host):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        s.bind((host, 0))
        s.settimeout(5)
        s.connect(("10.251.0.1", port))
        s.sendall(f"GET {target} HTTP/1.1\\r\\nHost: x\\r\\n\\r\\n".encode())
        conns.append((host, s))
answered = {host: 0 for host in hosts}
for host, s in conns:
    try:
        answered[host] += len(s.recv(1))
    except OSError:
        pass
print(json.dumps(answered), flush=True)
sys.stdin.read()
"""


class AccessTest(unittest.TestCase):
    """SOAP only for this machine, and not for foreign web pages; a second
    namespace plays other hosts on the network."""

    PEER_NS = f"flt-peer-{os.getpid()}"
    PEER_HOSTS = [f"10.251.0.{i}" for i in range(2, 12)]

    @classmethod
    def setUpClass(cls):
        run = lambda *a: subprocess.run(a, check=True)  # noqa: E731
        run("ip", "netns", "add", cls.PEER_NS)
        run("ip", "link", "add", "flpeer0", "type", "veth", "peer", "name", "flpeer1", "netns",
            cls.PEER_NS)
        run("ip", "addr", "add", "10.251.0.1/24", "dev", "flpeer0")
        run("ip", "link", "set", "flpeer0", "up")
        for host in cls.PEER_HOSTS:
            run("ip", "-n", cls.PEER_NS, "addr", "add", f"{host}/24", "dev", "flpeer1")
        run("ip", "-n", cls.PEER_NS, "link", "set", "flpeer1", "up")
        run("ip", "-n", cls.PEER_NS, "link", "set", "lo", "up")
        cls.server = wire.Server().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        subprocess.run(["ip", "link", "del", "flpeer0"], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "netns", "del", cls.PEER_NS], stderr=subprocess.DEVNULL)

    def from_peer(self, data: bytes) -> wire.Response:
        code = ("import socket, sys\n"
                "s = socket.create_connection(('10.251.0.1', %d), timeout=10)\n"
                "s.sendall(sys.stdin.buffer.read())\n"
                "sys.stdout.buffer.write(b''.join(iter(lambda: s.recv(65536), b'')))\n"
                % wire.SERVICE_PORT)
        out = subprocess.run(["ip", "netns", "exec", self.PEER_NS, sys.executable, "-c", code],
                             input=data, capture_output=True, check=True, timeout=30).stdout
        return wire.Response(out)

    @staticmethod
    def soap_request(version: int = 1, extra: str = "") -> bytes:
        body = wire.envelope("GetSwitchInfoList", "<monitorNum>0</monitorNum>", version)
        ctype = "text/xml" if version == 1 else "application/soap+xml"
        return (f"POST / HTTP/1.1\r\nContent-Type: {ctype}\r\n{extra}"
                f"Content-Length: {len(body)}\r\n\r\n").encode() + body

    def test_soap_from_the_network_is_refused(self):
        # Each in its own version's envelope, also when the request the
        # server read last was of the other version.
        for version, status, code, envelope in (
                (1, "500 Internal Server Error", "<faultcode>SOAP-ENV:Client</faultcode>",
                 wire.SOAP11_ENV),
                (2, "400 Bad Request", "<SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>",
                 wire.SOAP12_ENV)):
            with self.subTest(version=version):
                wire.call("GetRefreshTime", version=3 - version)
                resp = self.from_peer(self.soap_request(version))
                self.assertEqual(resp.status_line, "HTTP/1.1 " + status)
                self.assertIn(f'<SOAP-ENV:Envelope xmlns:SOAP-ENV="{envelope}"', resp.text)
                self.assertIn(code, resp.text)
                self.assertIn("End of file or no input", wire.fault_string(resp))
                self.assertIn("loopback", fault_detail(resp))
                self.assertNotIn("SwitchInfoList", resp.text)
        self.server.wait_log("SOAP request from 10.251.0.2 refused: ")
        # Refused as soon as the header is read: the body is neither awaited
        # nor held (a stranger cannot make the server buffer 32 MiB).
        start = time.monotonic()
        resp = self.from_peer(b"POST / HTTP/1.1\r\nContent-Length: 30000000\r\n\r\n<e:Env")
        self.assertLess(time.monotonic() - start, 5)
        self.assertIn("loopback", fault_detail(resp))
        # Any other method is as much a call of the service as POST.
        resp = self.from_peer(self.soap_request().replace(b"POST", b"PUT", 1))
        self.assertIn("loopback", fault_detail(resp))

    def test_firmware_store_is_for_this_machine_only(self):
        for request in (b"GET /api/firmware HTTP/1.1\r\nHost: x\r\n\r\n",
                        b"POST /api/firmware?name=a.bin HTTP/1.1\r\nContent-Length: 30000000\r\n"
                        b"\r\nxx"):
            with self.subTest(request=request[:20]):
                start = time.monotonic()
                resp = self.from_peer(request)
                self.assertLess(time.monotonic() - start, 5)  # the body is not awaited
                self.assertEqual(resp.status_line, "HTTP/1.1 403 Forbidden")
                self.assertIn("loopback", json.loads(resp.body)["error"])
        self.assertFalse(os.path.exists(os.path.join(self.server.cwd, "firmware")))

    def test_static_files_stay_open_to_the_network(self):
        resp = self.from_peer(b"GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual(resp.status_line, "HTTP/1.1 200 OK")
        self.assertEqual(resp.body, NOT_POST)
        # Another host's GETs cost the log a few lines a second, however many.
        time.sleep(1.1)
        before = self.server.log().count("get file msgbuf GET /flood-")
        code = ("import socket\n"
                "for i in range(300):\n"
                "    s = socket.create_connection(('10.251.0.1', %d), timeout=10)\n"
                "    s.sendall(b'GET /flood-%%d HTTP/1.1\\r\\n\\r\\n' %% i)\n"
                "    while s.recv(65536): pass\n"
                "    s.close()\n" % wire.SERVICE_PORT)
        subprocess.run(["ip", "netns", "exec", self.PEER_NS, sys.executable, "-c", code],
                       check=True, timeout=60)
        time.sleep(1.1)
        self.from_peer(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        log = self.server.wait_log("similar lines suppressed (static file requests from other "
                                   "hosts)")
        self.assertLessEqual(log.count("get file msgbuf GET /flood-") - before, 20)

    def test_get_with_a_body_from_the_network_is_refused_at_the_header(self):
        # Before, each such body was awaited and kept (up to 32 MiB apiece).
        start = time.monotonic()
        resp = self.from_peer(b"GET /tools/js_client/jquery.js HTTP/1.1\r\n"
                              b"Content-Length: 30000000\r\n\r\nxx")
        self.assertLess(time.monotonic() - start, 5)
        self.assertEqual(resp.status_line, "HTTP/1.1 413 Request Entity Too Large")
        for framing in (b"Content-Length: 5\r\n\r\nhello", b"Transfer-Encoding: chunked\r\n\r\n"):
            with self.subTest(framing=framing):
                resp = self.from_peer(b"GET / HTTP/1.1\r\n" + framing)
                self.assertEqual(resp.status_line, "HTTP/1.1 413 Request Entity Too Large")
        # This machine's clients are as free as ever.
        resp = wire.Response(wire.exchange(b"GET /nothing HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"))
        self.assertEqual(resp.body, NOT_POST)

    def test_slow_readers_on_the_network_leave_this_machine_served(self):
        # 80 readers from 8 hosts, each asking for the script library and
        # reading nothing of it: before, they held every slot and 65 of 70
        # calls from this machine failed.
        hosts = self.PEER_HOSTS[:8]
        swarm = subprocess.Popen(
            ["ip", "netns", "exec", self.PEER_NS, sys.executable, "-c", SLOW_READERS,
             ",".join(hosts), "10", "/tools/js_client/jquery.js", str(wire.SERVICE_PORT)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            answered = json.loads(swarm.stdout.readline())
            # Each host holds at most 8 slots, and all of them together leave
            # loopback its share.
            self.assertLessEqual(max(answered.values()), 8, answered)
            self.assertLessEqual(sum(answered.values()), 48, answered)
            self.assertGreaterEqual(sum(answered.values()), 40, answered)
            self.assertLess(slowest_trivial_call(30, timeout=10), 0.1)
        finally:
            swarm.stdin.close()
            swarm.wait(timeout=30)
            swarm.stdout.close()

    def test_foreign_origin_is_refused(self):
        for origin, served in (("http://evil.example", False), ("null", False),
                               ("http://127.0.0.1:64567.evil.example", False),
                               ("http://localhost:8080", False), ("http://127.0.0.1:64567", True),
                               ("http://LOCALHOST:64567", True)):
            with self.subTest(origin=origin):
                resp = wire.Response(wire.exchange(self.soap_request(extra=f"Origin: {origin}\r\n")))
                if served:
                    self.assertIn("<ns:SwitchInfoList>", resp.text)
                else:
                    self.assertIn("<SOAP-ENV:Fault>", resp.text)
                    self.assertIn("origin", fault_detail(resp))
        # No Origin at all (every SOAP toolkit): served.
        self.assertIn("<ns:SwitchInfoList>", wire.Response(wire.exchange(self.soap_request())).text)


if __name__ == "__main__":
    wire.run_tests()
