"""The HTTP front over real TCP: static GET answers, the push channel, the
single-instance rule, start-up failures, and clients that misbehave."""

import hashlib
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import wire

NOT_POST = b" <HTML> SOAP method should be post. </HTML> "
HTML = "text/html; charset=utf-8"
XML = "text/xml; charset=utf-8"
SCRIPT = "text/javascript; charset=utf-8"
MISSING = b" <HTML> the file not exist. </HTML> "


class StaticFilesTest(unittest.TestCase):
    JQUERY = b"/* script */\n" + b"x" * 100
    INDEX = b"<html>index</html>"
    WSDL = b"<definitions/>"

    @classmethod
    def setUpClass(cls):
        cls.root = wire.private_program_dir({
            "tools/js_client/jquery.js": cls.JQUERY,
            "tools/js_client/index.html": cls.INDEX,
            "auto/Device.wsdl": cls.WSDL,
        })
        cls.server = wire.Server(cls.root).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def put(self, rel, content):
        path = os.path.join(self.root, rel)
        if os.path.exists(path):
            os.chmod(path, 0o644)
        if content is None:
            if os.path.exists(path):
                os.remove(path)
        else:
            with open(path, "wb") as f:
                f.write(content)

    def tearDown(self):
        self.put("tools/js_client/index.html", self.INDEX)
        self.put("auto/Device.wsdl", self.WSDL)

    def expect(self, target, body, status="HTTP/1.1 200 OK", content_type=HTML):
        resp = wire.get(target)
        self.assertEqual(resp.status_line, status, target)
        self.assertEqual(resp.headers.get("content-type"), content_type, target)
        self.assertNotIn("x-frame-options", resp.headers)
        self.assertEqual(resp.body, body, target)
        self.assertEqual(int(resp.headers["content-length"]), len(body))

    def test_file_map(self):
        # Each file with its own type (toolkits fetching the description
        # check for XML); the fixed pages are HTML.
        cases = [
            ("/", self.INDEX, HTML),
            ("/?tab=files", self.INDEX, HTML),
            ("/x/", NOT_POST, HTML),
            ("/INDEX.HTML", NOT_POST, HTML),
            ("/tools/js_client/index.html", self.INDEX, HTML),
            ("/index.html?x=1", self.INDEX, HTML),
            ("/jquery.js?from=index.html", self.JQUERY, SCRIPT),
            ("/Device.cgi", self.WSDL, XML),
            ("/x/Device.wsdl", self.WSDL, XML),
            ("/../../etc/passwd", NOT_POST, HTML),
        ]
        for target, body, content_type in cases:
            with self.subTest(target=target):
                self.expect(target, body, content_type=content_type)

    def test_file_contents(self):
        # A missing file gets the HTML page, and an empty text has no type
        # of its own: the HTML answer's.
        cases = [
            ("missing", None, MISSING, "HTTP/1.1 200 OK", HTML),
            ("zero byte at 10", b"0123456789\0tail", b"0123456789", "HTTP/1.1 200 OK", XML),
            ("empty", b"", b"", "HTTP/1.1 202 ACCEPTED", HTML),
            ("starts with zero", b"\0abc", b"", "HTTP/1.1 202 ACCEPTED", HTML),
            ("CR LF", b"a\r\nb\r\n\rc\r", b"a\nb\n\rc\r", "HTTP/1.1 200 OK", XML),
            ("over the limit", b"y" * 512100, b"y" * 512000, "HTTP/1.1 200 OK", XML),
        ]
        for name, content, body, status, content_type in cases:
            with self.subTest(name):
                self.put("auto/Device.wsdl", content)
                self.expect("/Device.wsdl", body, status, content_type)

    def test_folder_at_mapped_path_counts_as_missing(self):
        path = os.path.join(self.root, "auto/Device.wsdl")
        os.remove(path)
        os.mkdir(path)
        try:
            self.expect("/Device.wsdl", MISSING)
            self.server.wait_log(f"ERR: file {path}, not exist. \n")
        finally:
            os.rmdir(path)

    def test_request_line_longer_than_the_runtime_reads(self):
        # Far past the runtime's header line limit: still the page or the file.
        self.expect("/" + "x" * 20000, NOT_POST)
        self.expect("/index.html?" + "q" * 20000, self.INDEX)

    def test_read_only_file_is_served(self):
        path = os.path.join(self.root, "auto/Device.wsdl")
        os.chmod(path, 0o444)
        self.expect("/Device.wsdl", self.WSDL, content_type=XML)

    def test_log_lines(self):
        wire.get("/nothing-here/Device.cgi")
        path = os.path.join(self.root, "auto/Device.wsdl")
        self.server.wait_log(f"get static file {path} OK.")
        log = self.server.log()
        self.assertIn("get file msgbuf GET /nothing-here/Device.cgi HTTP/1.1.\n", log)
        self.assertIn(f"file_name = {path}\n", log)
        self.put("auto/Device.wsdl", None)
        wire.get("/Device.wsdl")
        self.server.wait_log(f"ERR: file {path}, not exist. \n")

    def test_client_hanging_up_mid_response(self):
        # A large answer to a client that resets the connection at once: the
        # server must survive it and go on serving.
        self.put("auto/Device.wsdl", b"z" * 500000)
        for _ in range(5):
            s = socket.create_connection(("127.0.0.1", wire.SERVICE_PORT))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
            s.sendall(b"GET /Device.wsdl HTTP/1.1\r\n\r\n")
            time.sleep(0.05)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            s.close()
        self.assertIsNone(self.server.proc.poll())
        self.assertEqual(wire.get("/nothing").body, NOT_POST)


class StatusEndpointTest(unittest.TestCase):
    """GET /api/status: the state in a few numbers, for this machine only."""

    def status(self, target="/api/status", extra=b"", source=None) -> wire.Response:
        request = b"GET " + target.encode() + b" HTTP/1.1\r\nHost: localhost\r\n" + extra + b"\r\n"
        if source is None:
            return wire.Response(wire.exchange(request))
        # From the stub network's address: a peer that is not loopback.
        with socket.create_connection((source, wire.SERVICE_PORT), timeout=10,
                                      source_address=(source, 0)) as s:
            s.sendall(request)
            return wire.Response(b"".join(iter(lambda: s.recv(65536), b"")))

    def test_loopback_reads_the_state_others_are_refused(self):
        import json

        with wire.Server() as server:
            resp = self.status()
            self.assertEqual(resp.status_line, "HTTP/1.1 200 OK")
            self.assertEqual(resp.headers["content-type"], "application/json")
            self.assertEqual(resp.headers["cache-control"], "no-store")
            self.assertEqual(int(resp.headers["content-length"]), len(resp.body))
            state = json.loads(resp.body)
            self.assertEqual({k: state[k] for k in ("engine_running", "discovered", "watched",
                                                    "upgrade_running", "upgrade_waiting", "save_as")},
                             {"engine_running": False, "discovered": 0, "watched": 0,
                              "upgrade_running": False, "upgrade_waiting": 0, "save_as": None})
            self.assertEqual(state["device_set_timeout_ms"], 50000)
            self.assertTrue(state["version"])
            # The counts follow the engine's lists.
            self.assertIn("<errorcode>0</errorcode>", wire.call("EngineLayerStartup").text)
            wire.call("AddMonitorAgent", "<strIpAddress>10.250.0.77</strIpAddress>")
            state = json.loads(self.status("/api/status?t=1").body)
            self.assertEqual((state["engine_running"], state["watched"]), (True, 1))
            # Not for another host, nor for a web page of another origin.
            for source, extra in (("10.250.0.1", b""), (None, b"Origin: http://example.com\r\n")):
                with self.subTest(source=source, extra=extra):
                    resp = self.status(extra=extra, source=source)
                    self.assertEqual(resp.status_line, "HTTP/1.1 403 Forbidden")
                    self.assertIn("error", json.loads(resp.body))
                    self.assertNotIn(b"watched", resp.body)
            server.wait_log("status request refused: not from this machine")
            # The server's own page may ask.
            resp = self.status(extra=b"Origin: http://127.0.0.1:64567\r\n")
            self.assertEqual(resp.status_line, "HTTP/1.1 200 OK")
            # Other paths under /api are no status.
            self.assertEqual(wire.get("/api/statusx").body, NOT_POST)


class PushChannelTest(unittest.TestCase):
    def test_push_channel_and_close(self):
        with wire.Server() as server:
            client = socket.create_connection(("127.0.0.1", wire.PUSH_PORT), timeout=5)
            client.sendall(b"hello")
            server.wait_log("we can send messge now! \n")
            self.assertIn("Recive packet OK from 127.0.0.1: hello\n", server.log())
            # Only one client, ever: the listener is gone.
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", wire.PUSH_PORT), timeout=5)
            # GSoapClose: accepted with no body, "app_exit" and its zero
            # byte, exit code 0.
            raw = wire.exchange(wire.envelope("GSoapClose").join(
                [b"POST / HTTP/1.1\r\nContent-Length: %d\r\n\r\n" %
                 len(wire.envelope("GSoapClose")), b""]))
            self.assertEqual(raw, wire.ACCEPTED)
            self.assertEqual(client.recv(100), b"app_exit\0")
            self.assertEqual(client.recv(100), b"")
            self.assertEqual(server.proc.wait(timeout=5), 0)
            self.assertIn("Cmd Send: app_exit. success! Ret=0.\n", server.log())
            client.close()

    def test_notice_without_client_and_an_answer_read_after_the_end(self):
        # A caller that sends more behind its request and reads only once
        # the process has ended still finds the whole answer: the server
        # neither loses it with the process nor resets the connection.
        with wire.Server() as server:
            body = wire.envelope("GSoapClose")
            start = time.monotonic()
            with wire.connect(("127.0.0.1", wire.SERVICE_PORT), timeout=10) as s:
                s.sendall(b"POST / HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
                time.sleep(0.1)
                s.sendall(b"bytes the server never asked for")
                self.assertEqual(server.proc.wait(timeout=5), 0)
                self.assertGreaterEqual(time.monotonic() - start, 0.45)
                self.assertEqual(b"".join(iter(lambda: s.recv(4096), b"")), wire.ACCEPTED)
            self.assertIn("Cmd Send: app_exit. fail! Ret=-1.\n", server.log())

    def test_listener_is_loopback_only(self):
        with wire.Server():
            with open("/proc/net/tcp") as f:
                rows = [line.split() for line in f][1:]
            listening = {r[1] for r in rows if r[3] == "0A"}
            self.assertIn("0100007F:FC38", listening)  # 127.0.0.1:64568
            self.assertNotIn("00000000:FC38", listening)


class ProcessTest(unittest.TestCase):
    def test_start_up_lines(self):
        with wire.Server() as server:
            log = server.wait_log("Orvex Engine is starting.\n")
            self.assertRegex(log, r"^Socket connection successful: master socket = \d+\n")

    def test_second_instance_returns_at_once(self):
        with wire.Server() as first:
            second = subprocess.run([os.path.join(wire.dist_dir(), "Ferrolink")],
                                    capture_output=True, timeout=5)
            self.assertEqual(second.returncode, 0)
            self.assertEqual(second.stdout + second.stderr, b"")
            self.assertIsNone(first.proc.poll())
            self.assertEqual(wire.get("/nothing").body, NOT_POST)

    def test_port_in_use(self):
        # Whoever holds either port is named, and the server ends rather
        # than leave the browser's requests or the notices to them.
        for port, what, address in ((wire.SERVICE_PORT, "service", "0.0.0.0"),
                                    (wire.SERVICE_PORT, "service", "127.0.0.1"),
                                    (wire.PUSH_PORT, "push channel", "127.0.0.1")):
            with self.subTest(port=port, address=address):
                squatter = wire.as_user(NOBODY, "import socket, time\n"
                                           f"s = socket.create_server(({address!r}, {port}))\n"
                                           "print('ready', flush=True); time.sleep(30)\n",
                                   stdout=subprocess.PIPE)
                try:
                    self.assertEqual(squatter.stdout.readline(), b"ready\n")
                    proc = subprocess.run([os.path.join(wire.dist_dir(), "Ferrolink")],
                                          capture_output=True, timeout=10)
                finally:
                    squatter.kill()
                    squatter.wait()
                self.assertEqual(proc.returncode, 255)  # exit(-1)
                self.assertIn(f"TCP port {port} (the {what} port) is taken by pid {squatter.pid} "
                              "(python3), user nobody (uid 65534); ending.",
                              proc.stderr.decode())

    def test_restart_right_after_stop(self):
        # Old connections in TIME_WAIT must not stop the next server binding
        # either of its ports.
        for _ in range(2):
            with wire.Server() as server:
                push = socket.create_connection(("127.0.0.1", wire.PUSH_PORT))
                push.sendall(b"ui")
                server.wait_log("we can send messge now!")
                for _ in range(3):
                    wire.get("/")
            push.close()

    def test_silent_client_does_not_block_others(self):
        with wire.Server():
            silent = socket.create_connection(("127.0.0.1", wire.SERVICE_PORT))
            start = time.monotonic()
            resp = wire.get("/nothing", timeout=30)
            waited = time.monotonic() - start
            silent.close()
            self.assertEqual(resp.body, NOT_POST)
            self.assertLess(waited, 13)

    def test_slow_client_holds_nobody_else(self):
        with wire.Server():
            slow = socket.create_connection(("127.0.0.1", wire.SERVICE_PORT))
            slow.sendall(b"GET / HT")  # incomplete: only this connection waits for it
            time.sleep(0.2)
            other = socket.create_connection(("127.0.0.1", wire.SERVICE_PORT), timeout=10)
            other.sendall(b"GET / HTTP/1.1\r\n\r\n")
            self.assertTrue(other.recv(100).startswith(b"HTTP/1.1 200 OK"))
            slow.settimeout(10)
            slow.sendall(b"TP/1.1\r\n\r\n")
            self.assertTrue(slow.recv(100).startswith(b"HTTP/1.1 200 OK"))
            slow.close()
            other.close()

    def test_unprivileged_user_cannot_take_the_instance_name(self):
        # A local user who binds the old abstract name and tries to plant a
        # lock file first must not keep the server from starting.
        squat = ("import os, socket, time\n"
                 "s = socket.socket(socket.AF_UNIX); s.bind('\\0Ferrolink')\n"
                 "for d in ('/run/ferrolink', '/tmp'):\n"
                 "    try: os.makedirs(d, exist_ok=True)\n"
                 "    except OSError: pass\n"
                 "print('ready', flush=True); time.sleep(30)\n")
        squatter = wire.as_user(NOBODY, squat, stdout=subprocess.PIPE)
        try:
            self.assertEqual(squatter.stdout.readline(), b"ready\n")
            with wire.Server() as server:
                self.assertEqual(wire.get("/nothing").body, NOT_POST)
                self.assertIsNone(server.proc.poll())
        finally:
            squatter.kill()
            squatter.wait()


NOBODY = 65534
DAEMON = 1  # its primary group is "daemon"


def call_as(uid: int, operation: str, children: str = "") -> tuple[str, str]:
    """The status line and fault reason of `operation` called by user `uid`."""
    body = wire.envelope(operation, children)
    request = (f"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml; charset=utf-8\r\n"
               f"Content-Length: {len(body)}\r\n\r\n").encode() + body
    code = ("import socket, sys\n"
            f"s = socket.create_connection(('127.0.0.1', {wire.SERVICE_PORT}), timeout=10)\n"
            "s.sendall(sys.stdin.buffer.read())\n"
            "sys.stdout.buffer.write(b''.join(iter(lambda: s.recv(65536), b'')))\n")
    proc = wire.as_user(uid, code, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE)
    out, err = proc.communicate(request, timeout=30)
    if proc.returncode != 0:
        raise AssertionError(f"{operation} as uid {uid}: {err!r}")
    resp = wire.Response(out)
    return resp.status_line, wire.fault_detail(resp) if "Fault" in resp.text else ""


class LocalUsersTest(unittest.TestCase):
    """Other users of the machine may read, but only the server's user, root
    and members of the administrators group may change anything."""

    FORBIDDEN = "HTTP/1.1 403 Forbidden"

    def test_other_users_read_but_change_nothing(self):
        with tempfile.TemporaryDirectory() as folder, \
                wire.Server(args=["--admin-group", "daemon"]) as server:
            os.chmod(folder, 0o777)
            target = os.path.join(folder, "fleet.cfg")
            save = f"<filepath>{target}</filepath>"
            self.assertEqual(call_as(NOBODY, "GetRefreshTime")[0], "HTTP/1.1 200 OK")
            for operation, children in (("SaveFile", save), ("LoadFile", save),
                                        ("GetTrapList", ""), ("GSoapClose", "")):
                with self.subTest(operation=operation):
                    status, reason = call_as(NOBODY, operation, children)
                    self.assertEqual(status, self.FORBIDDEN)
                    self.assertEqual(reason, "user nobody (uid 65534) is not the server's user, "
                                             "root or a member of group daemon: only reading "
                                             "is open to other users")
                    server.wait_log(f"SOAP request {operation} from 127.0.0.1 refused: user "
                                    "nobody (uid 65534)")
            self.assertFalse(os.path.exists(target))
            self.assertIsNone(server.proc.poll())
            # The administrators group's member and root are served.
            self.assertEqual(call_as(DAEMON, "SaveFile", save)[0], "HTTP/1.1 200 OK")
            self.assertTrue(os.path.exists(target))
            self.assertEqual(wire.call("LoadFile", save).status_line, "HTTP/1.1 200 OK")

            # Another user's push connection is refused and leaves the
            # channel to the user interface.
            squat = wire.as_user(NOBODY, "import socket, time\n"
                                    f"s = socket.create_connection(('127.0.0.1', {wire.PUSH_PORT}))\n"
                                    "s.sendall(b'x')\n"
                                    "try:\n    got = s.recv(1)\n"
                                    "except ConnectionResetError:\n    got = b''\n"
                                    "print(got, flush=True)\n",
                            stdout=subprocess.PIPE)
            self.assertEqual(squat.communicate(timeout=20)[0], b"b''\n")
            server.wait_log("Push connection from 127.0.0.1 refused: user nobody (uid 65534)")
            ui = wire.connect(("127.0.0.1", wire.PUSH_PORT), timeout=10)
            ui.sendall(b"ui")
            server.wait_log("we can send messge now!")
            ui.close()

    def test_the_servers_own_user_is_served(self):
        # A server run as nobody serves nobody, and refuses another user
        # when no administrators group is named.
        with tempfile.TemporaryDirectory() as cwd:
            os.makedirs(os.path.join(cwd, "cfg"))
            os.chmod(cwd, 0o777)
            server = wire.Server(cwd=cwd, prefix=["setpriv", f"--reuid={NOBODY}",
                                                  f"--regid={NOBODY}", "--clear-groups"])
            with server:
                self.assertEqual(call_as(NOBODY, "SetRefreshTime",
                                         "<monitorPollingInterval>5</monitorPollingInterval>")[0], "HTTP/1.1 200 OK")
                status, reason = call_as(DAEMON, "SetRefreshTime", "<monitorPollingInterval>5</monitorPollingInterval>")
                self.assertEqual(status, self.FORBIDDEN)
                self.assertEqual(reason, "user daemon (uid 1) is neither the server's user nor "
                                         "root: only reading is open to other users")
                self.assertNotIn("Trusting local users", server.log())
            # Trusting local users, it serves every caller on this machine,
            # and says so once.
            with wire.Server(cwd=cwd, args=["--trust-local-users"],
                             prefix=["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}",
                                     "--clear-groups"]) as server:
                self.assertEqual(call_as(DAEMON, "SetRefreshTime", "<monitorPollingInterval>5"
                                         "</monitorPollingInterval>")[0], "HTTP/1.1 200 OK")
                self.assertEqual(server.log().count("Trusting local users"), 1)


MAX_IMAGE = 65535 * 512 - 1


def store_request(method: str, name: str | None = None, body: bytes = b"",
                  headers: str | None = None) -> bytes:
    """A raw request for the firmware store; `name` goes into the query as
    it stands (already escaped)."""
    target = "/api/firmware" + (f"?name={name}" if name is not None else "")
    if headers is None:
        headers = f"Content-Length: {len(body)}\r\n" if method == "POST" else ""
    return f"{method} {target} HTTP/1.1\r\nHost: localhost\r\n{headers}\r\n".encode() + body


def store_answer(data: bytes) -> tuple[str, dict]:
    resp = wire.Response(wire.exchange(data))
    if resp.headers.get("content-type") != "application/json; charset=utf-8":
        raise AssertionError(f"not a JSON answer: {resp.raw[:300]!r}")
    return resp.status_line, json.loads(resp.body)


class FirmwareStoreTest(unittest.TestCase):
    """The page's firmware store: uploads stream to a folder beside cfg/, under
    the access rules of SOAP operations that change state."""

    @classmethod
    def setUpClass(cls):
        cls.server = wire.Server().start()
        cls.folder = os.path.join(cls.server.cwd, "firmware")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def tearDown(self):
        for name in os.listdir(self.folder) if os.path.isdir(self.folder) else []:
            os.remove(os.path.join(self.folder, name))

    def upload(self, name: str, data: bytes) -> tuple[str, dict]:
        return store_answer(store_request("POST", name, data))

    def upload_in_pieces(self, name: str, data: bytes) -> tuple[str, dict]:
        """Header and body in pieces apart in time, as a browser sends a file."""
        with wire.connect(("127.0.0.1", wire.SERVICE_PORT), timeout=10) as s:
            s.sendall(store_request("POST", name, headers=f"Content-Length: {len(data)}\r\n"))
            step = len(data) // 3 + 1
            for i in range(0, len(data), step):
                time.sleep(0.05)
                s.sendall(data[i:i + step])
            resp = wire.Response(b"".join(iter(lambda: s.recv(65536), b"")))
        return resp.status_line, json.loads(resp.body)

    def listing(self) -> dict:
        status, body = store_answer(store_request("GET"))
        self.assertEqual(status, "HTTP/1.1 200 OK")
        return body

    def test_upload_list_and_delete(self):
        data = os.urandom(300 * 1024 + 7)
        status, body = self.upload_in_pieces("fw%20v2.1%C3%A4.bin", data)  # "fw v2.1ä.bin"
        self.assertEqual(status, "HTTP/1.1 201 Created", body)
        image = body["image"]
        name = "fw v2.1\u00e4.bin"
        path = os.path.join(self.folder, name)
        self.assertEqual((image["name"], image["size"], image["path"]), (name, len(data), path))
        self.assertEqual(image["sha256"], hashlib.sha256(data).hexdigest())
        with open(path, "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(os.stat(self.folder).st_mode & 0o777, 0o700)
        self.assertEqual(os.listdir(self.folder), [name])  # no temporary file left
        self.server.wait_log(f"Firmware image {name} stored: {len(data)} bytes, SHA-256 "
                             f"{image['sha256']}")
        listed = self.listing()
        self.assertEqual(listed["images"], [image])
        self.assertEqual(listed["limits"], {"max_image_bytes": MAX_IMAGE, "max_images": 16,
                                            "max_name_bytes": 100})
        # A file put there by hand is listed with a checksum of its own.
        with open(os.path.join(self.folder, "by-hand.bin"), "wb") as f:
            f.write(b"abc")
        by_hand = self.listing()["images"][0]
        self.assertEqual((by_hand["name"], by_hand["sha256"]),
                         ("by-hand.bin", hashlib.sha256(b"abc").hexdigest()))
        # A name is never taken twice; an image goes only when asked.
        status, body = self.upload("fw%20v2.1%C3%A4.bin", b"other")
        self.assertEqual(status, "HTTP/1.1 409 Conflict")
        self.assertIn("stored already", body["error"])
        status, body = store_answer(store_request("DELETE", "fw%20v2.1%C3%A4.bin"))
        self.assertEqual((status, body), ("HTTP/1.1 200 OK", {"deleted": name}))
        self.assertEqual(os.listdir(self.folder), ["by-hand.bin"])
        status, body = store_answer(store_request("DELETE", "fw%20v2.1%C3%A4.bin"))
        self.assertEqual(status, "HTTP/1.1 404 Not Found")

    def test_refused_before_the_body_is_read(self):
        cases = [
            ("../cfg/define.ecf", "400", "may not hold"),
            ("a%2Fb", "400", "may not hold"),
            ("..", "400", "may not start"),
            (".hidden", "400", "may not start"),
            ("x%01y", "400", "control character"),
            ("x%C0%AFy", "400", "not valid UTF-8"),
            ("trailing.", "400", "may not end"),
            ("", "400", "needs a name"),
            ("a" * 101, "400", "longer than 100 bytes"),
            ("bad%zz", "400", "starts no escape"),
            ("a&name=b", "400", "twice"),
        ]
        for name, code, words in cases:
            with self.subTest(name=name):
                status, body = self.upload(name, b"data")
                self.assertTrue(status.startswith(f"HTTP/1.1 {code} "), status)
                self.assertIn(words, body["error"])
        checks = [
            # No length, or chunks: the store wants to know the size first.
            (store_request("POST", "a.bin", headers=""), "411", "Content-Length"),
            (store_request("POST", "a.bin", headers="Transfer-Encoding: chunked\r\n") +
             b"4\r\ndata\r\n0\r\n\r\n", "411", "chunked"),
            (store_request("POST", "a.bin", headers="Content-Length: 0\r\n"), "400", "empty"),
            (store_request("POST", headers="Content-Length: 4\r\n") + b"data", "400", "?name="),
            # Over the bound: answered at the header, the body never sent.
            (store_request("POST", "big.bin", headers=f"Content-Length: {MAX_IMAGE + 1}\r\n"),
             "413", f"at most {MAX_IMAGE} bytes"),
            (store_request("POST", "a.bin", b"data").replace(
                b"Host", b"Origin: http://evil.example\r\nHost"), "403", "other origins"),
            (store_request("PUT", "a.bin", b"data"), "405", "GET, POST and DELETE"),
            (store_request("DELETE", "missing.bin"), "404", "no image"),
        ]
        for request, code, words in checks:
            with self.subTest(request=request[:60]):
                start = time.monotonic()
                status, body = store_answer(request)
                self.assertLess(time.monotonic() - start, 5)
                self.assertTrue(status.startswith(f"HTTP/1.1 {code} "), (status, body))
                self.assertIn(words, body["error"])
        self.assertEqual(self.listing()["images"], [])

    def test_other_users_read_but_neither_upload_nor_delete(self):
        self.assertEqual(self.upload("mine.bin", b"image")[0], "HTTP/1.1 201 Created")
        code = ("import socket, sys\n"
                f"s = socket.create_connection(('127.0.0.1', {wire.SERVICE_PORT}), timeout=10)\n"
                "s.sendall(sys.stdin.buffer.read())\n"
                "sys.stdout.buffer.write(b''.join(iter(lambda: s.recv(65536), b'')))\n")
        for request, expected in ((store_request("GET"), "HTTP/1.1 200 OK"),
                                  (store_request("POST", "theirs.bin", b"x" * 1000),
                                   "HTTP/1.1 403 Forbidden"),
                                  (store_request("DELETE", "mine.bin"), "HTTP/1.1 403 Forbidden")):
            with self.subTest(request=request[:30]):
                proc = wire.as_user(NOBODY, code, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                out, _ = proc.communicate(request, timeout=30)
                resp = wire.Response(out)
                self.assertEqual(resp.status_line, expected)
                if expected.endswith("403 Forbidden"):
                    self.assertIn("user nobody (uid 65534) is neither the server's user nor root",
                                  json.loads(resp.body)["error"])
        self.assertEqual(sorted(os.listdir(self.folder)), ["mine.bin"])

    def test_dropped_upload_leaves_nothing_and_stalls_nobody(self):
        s = wire.connect(("127.0.0.1", wire.SERVICE_PORT), timeout=10)
        s.sendall(store_request("POST", "cut.bin", headers="Content-Length: 1000000\r\n") +
                  b"x" * 300000)
        # While it stalls, others are served.
        deadline = time.monotonic() + 5
        while not any(n.endswith(".part") for n in os.listdir(self.folder)):
            self.assertLess(time.monotonic(), deadline, "the upload never began")
            time.sleep(0.02)
        start = time.monotonic()
        self.assertEqual(self.listing()["uploading"], 1)
        self.assertLess(time.monotonic() - start, 2)
        self.assertEqual(self.upload("cut.bin", b"y")[0], "HTTP/1.1 409 Conflict")
        s.close()
        deadline = time.monotonic() + 5
        while os.listdir(self.folder):
            self.assertLess(time.monotonic(), deadline, os.listdir(self.folder))
            time.sleep(0.02)
        self.assertEqual(self.listing(), {**self.listing(), "images": [], "uploading": 0})
        self.assertEqual(self.upload("cut.bin", b"y")[0], "HTTP/1.1 201 Created")

    def test_count_limit(self):
        for i in range(16):
            self.assertEqual(self.upload(f"img-{i:02}.bin", bytes([i]) * 10)[0],
                             "HTTP/1.1 201 Created")
        status, body = self.upload("one-more.bin", b"z")
        self.assertEqual(status, "HTTP/1.1 507 Insufficient Storage")
        self.assertIn("holds 16 images", body["error"])
        self.assertEqual(store_answer(store_request("DELETE", "img-03.bin"))[0], "HTTP/1.1 200 OK")
        self.assertEqual(self.upload("one-more.bin", b"z")[0], "HTTP/1.1 201 Created")
        self.assertEqual(len(self.listing()["images"]), 16)


if __name__ == "__main__":
    unittest.main()
