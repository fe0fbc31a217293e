"""Saved device lists, the upload file and sample requests through the SOAP
service, with a real server and real files: round trips, damaged and missing
files, duplicates, failed saves that keep the old file, refused paths and
names, FIFOs and devices that must not stall the service, and the save
dialog on a virtual X display with a real zenity window."""

import os
import re
import shutil
import stat
import struct
import subprocess
import tempfile
import threading
import time
import unittest
from xml.sax.saxutils import escape

import wire

RECORD = 1608


def value(xml: str, name: str) -> str:
    m = re.search(rf"<{name}>(.*?)</{name}>|<{name}/>", xml, re.S)
    if m is None:
        raise AssertionError(f"no <{name}> in {xml[:500]}")
    return m.group(1) or ""


def entries(xml: str) -> list[str]:
    return re.findall(r"<arrList>(.*?)</arrList>", xml, re.S)


def record(ip: str, name: str = "", mac: bytes = b"\0" * 6, is_alive: int = 1,
           recv_flag: int = 0, trap: str = "", fill: bool = False, utf8: bool = False) -> bytes:
    """A stored record, built from the file format's offsets."""
    b = bytearray(RECORD)
    b[244:248] = bytes(int(x) for x in ip.split("."))
    b[41:41 + len(name.encode())] = name.encode()
    b[788:794] = mac
    if utf8:
        b[388:392] = struct.pack("<I", 0x20000000)  # names are UTF-8
    b[532:532 + len(trap)] = trap.encode()
    if fill:  # most other fields set, so that a round trip shows every one
        b[0:9] = b"GS-1920HP"
        b[62:68] = b"rack 4"
        b[226:231] = b"admin"
        b[248:252] = bytes([255, 255, 255, 0])
        b[252:256] = bytes([10, 1, 0, 1])
        b[310:312] = struct.pack("<H", 1)
        b[312:317] = b"V2.10"
        b[336:340] = struct.pack("<I", 300)
        b[366:372] = struct.pack("<HHH", 2, 3, 4)
        b[380:382] = struct.pack("<H", 100)
        b[796:800] = struct.pack("<i", 1)
        b[802:808] = b"ssid-a"
        b[940:942] = struct.pack("<H", 1812)
        b[1080:1086] = b"ssid-5"
        b[1376:1382] = b"1,6,11"
        b[1596:1600] = struct.pack("<HH", 1, 1)
    b[1600:1608] = struct.pack("<ii", is_alive, recv_flag)
    return bytes(b)


class FileServer(unittest.TestCase):
    """One server per test class, in a private working folder."""

    env: dict | None = None

    @classmethod
    def setUpClass(cls):
        # Class clean-ups run even when a later step of setUpClass fails, so
        # no server outlives its class (the next one could not start then).
        cls.server = wire.Server(env=cls.env)
        cls.addClassCleanup(cls.server.stop)
        cls.server.start()
        cls.tmp = tempfile.mkdtemp(prefix="ferrolink-files-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)

    def ok(self, operation: str, children: str = "", **kw) -> str:
        resp = wire.call(operation, children, **kw)
        self.assertEqual(resp.status_line, "HTTP/1.1 200 OK", resp.raw[:400])
        self.assertNotIn("<SOAP-ENV:Fault>", resp.text)
        return resp.text

    def fault(self, operation: str, children: str = "") -> str:
        """Calls an operation that must fail; returns the fault's reason."""
        resp = wire.call(operation, children)
        self.assertIn("<SOAP-ENV:Fault>", resp.text, resp.text[:400])
        return wire.fault_detail(resp)

    def path(self, name: str) -> str:
        return os.path.join(self.tmp, name)

    def save(self, path: str) -> int:
        return int(value(self.ok("SaveFile", f"<filepath>{escape(path)}</filepath>"), "errorcode"))

    def load(self, path: str) -> str:
        return self.ok("LoadFile", f"<filepath>{escape(path)}</filepath>")

    def watched(self) -> list[str]:
        """The watched addresses, in table order."""
        n = 0
        while "<SOAP-ENV:Fault>" not in wire.call("GetMonitorStatus",
                                                  f"<monitorNum>{n + 1}</monitorNum>").text:
            n += 1
        xml = self.ok("GetMonitorStatus", f"<monitorNum>{n}</monitorNum>")
        return [value(e, "agentIpAddr") for e in entries(xml)]

    def watch_only(self, *addresses: str) -> None:
        self.load(self.write("empty.cfg", b""))  # empties the table
        for ip in addresses:
            self.ok("AddMonitorAgent", f"<strIpAddress>{ip}</strIpAddress>"
                                       "<strMacAddr>00-00-00-00-00-00</strMacAddr>")
        self.assertEqual(self.watched(), list(addresses))

    def write(self, name: str, data: bytes) -> str:
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, path: str) -> bytes:
        with open(path, "rb") as f:
            return f.read()

    def special_files(self) -> dict[str, str]:
        """A FIFO and, where this machine lets us make one, a character
        device (the null device's numbers) in the test folder, by kind."""
        found = {"fifo": self.path("fifo")}
        if not os.path.exists(found["fifo"]):
            os.mkfifo(found["fifo"])
        device = self.path("null-device")
        try:
            if not os.path.exists(device):
                os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 3))
            found["device"] = device
        except PermissionError:
            pass
        return found

    def beside_a_trivial_call(self, operation: str, children: str, log_line: str) -> wire.Response:
        """Calls `operation` on a thread of its own and, once the server has
        begun it, GetRefreshTime, which must be answered within a second: an
        operation that waits on a file stalls every client and shows here.
        Returns the operation's answer."""
        before = self.server.log().count(log_line)
        box = {}

        def call():
            try:
                box["resp"] = wire.call(operation, children, timeout=5)
            except OSError as e:
                box["error"] = e

        t = threading.Thread(target=call)
        t.start()
        try:
            deadline = time.monotonic() + 5
            while self.server.log().count(log_line) == before and time.monotonic() < deadline:
                time.sleep(0.01)
            self.ok("GetRefreshTime", timeout=1)
        finally:
            t.join(10)
        self.assertNotIn("error", box, f"{operation} was not answered")
        return box["resp"]


class SavedListTest(FileServer):
    def test_save_and_load_round_trip(self):
        self.watch_only("10.1.0.5", "10.1.0.6")
        path = self.path("two.cfg")
        self.assertEqual(self.save(path), 0)
        self.assertIn("SaveFile begin \n", self.server.log())
        data = self.read(path)
        self.assertEqual(data, record("10.1.0.5") + record("10.1.0.6"))

        self.watch_only("10.9.9.9")
        xml = self.load(path)
        self.assertIn("LoadFile begin. \n", self.server.log())
        self.assertEqual((value(xml, "nErrorCode"), value(xml, "nMonitorNum")), ("0", "2"))
        self.assertEqual([value(e, "agentIpAddr") for e in entries(xml)], ["10.1.0.5", "10.1.0.6"])
        self.assertEqual(self.watched(), ["10.1.0.5", "10.1.0.6"])
        # Saved again, the same bytes.
        self.assertEqual(self.save(self.path("again.cfg")), 0)
        self.assertEqual(self.read(self.path("again.cfg")), data)

    def test_full_records_survive_load_and_save(self):
        a = record("10.2.0.1", "gr\u00fcn-1", bytes.fromhex("001a2b3c4d5e"), is_alive=0,
                   recv_flag=1, trap="link down", fill=True, utf8=True)
        b = record("10.2.0.2", "second", bytes.fromhex("001a2b3c4d5f"), fill=True)
        path = self.write("full.cfg", a + b)
        xml = self.load(path)
        first, second = entries(xml)
        self.assertEqual(value(first, "systemName"), "gr\u00fcn-1")
        self.assertEqual(value(first, "macAddr"), "00-1A-2B-3C-4D-5E")
        self.assertEqual(value(first, "isAlive"), "0")  # as saved
        self.assertEqual(value(first, "recvFlag"), "0")  # always 0 on load
        self.assertEqual(value(second, "wifiSSID5G"), "ssid-5")
        # The table holds the records as converted: trapMessage cleared, and
        # the fresh keep-alive state (alive, nothing received).
        self.assertEqual(self.save(self.path("full-again.cfg")), 0)
        saved = self.read(self.path("full-again.cfg"))
        expect_a = bytearray(a)
        expect_a[532:532 + 256] = bytes(256)
        expect_a[1600:1608] = struct.pack("<ii", 1, 0)
        self.assertEqual(saved[:RECORD], bytes(expect_a))
        self.assertEqual(saved[RECORD:], b)

    def test_unicode_path(self):
        self.watch_only("10.1.0.7")
        path = self.path("Ger\u00e4te \u20ac.cfg")
        self.assertEqual(self.save(path), 0)
        self.assertEqual(len(self.read(path)), RECORD)
        self.watch_only()
        self.load(path)
        self.assertEqual(self.watched(), ["10.1.0.7"])

    def test_partial_file_lists_whole_records_and_keeps_the_table(self):
        self.watch_only("10.1.0.8")
        path = self.write("partial.cfg", record("10.3.0.1") + record("10.3.0.2") + b"x" * 100)
        xml = self.load(path)
        self.assertEqual((value(xml, "nErrorCode"), value(xml, "nMonitorNum")), ("1", "2"))
        self.assertEqual([value(e, "agentIpAddr") for e in entries(xml)], ["10.3.0.1", "10.3.0.2"])
        self.assertEqual(self.watched(), ["10.1.0.8"])

    def test_missing_file_keeps_the_table_and_an_empty_one_empties_it(self):
        self.watch_only("10.1.0.9", "10.1.0.19")
        xml = self.load(self.path("no-such.cfg"))
        self.assertEqual((value(xml, "nErrorCode"), value(xml, "nMonitorNum")), ("1", "0"))
        self.assertEqual(entries(xml), [])
        self.assertEqual(self.watched(), ["10.1.0.9", "10.1.0.19"])
        self.assertIn("no-such.cfg: No such file or directory", self.server.log())
        xml = self.load(self.write("none.cfg", b""))
        self.assertEqual((value(xml, "nErrorCode"), value(xml, "nMonitorNum")), ("0", "0"))
        self.assertEqual(self.watched(), [])

    def test_fifos_and_devices_are_refused_without_stalling_the_service(self):
        self.watch_only("10.1.0.11", "10.1.0.12")
        for kind, path in self.special_files().items():
            with self.subTest(kind=kind):
                resp = self.beside_a_trivial_call("LoadFile", f"<filepath>{path}</filepath>",
                                                  "LoadFile begin. \n")
                self.assertEqual((value(resp.text, "nErrorCode"), value(resp.text, "nMonitorNum")),
                                 ("1", "0"))
                self.assertEqual(self.watched(), ["10.1.0.11", "10.1.0.12"])

                resp = self.beside_a_trivial_call("SaveFile", f"<filepath>{path}</filepath>",
                                                  "SaveFile begin \n")
                self.assertEqual(value(resp.text, "errorcode"), "1")
                mode = os.lstat(path).st_mode
                self.assertTrue(stat.S_ISFIFO(mode) if kind == "fifo" else stat.S_ISCHR(mode))
                self.assertIn(f"save {path} error: not a regular file", self.server.log())

    def test_duplicate_address_fails_and_keeps_the_first(self):
        path = self.write("dup.cfg", record("10.4.0.1", "first") + record("10.4.0.2") +
                          record("10.4.0.1", "second") + record("10.4.0.3"))
        self.assertEqual(self.fault("LoadFile", f"<filepath>{path}</filepath>"),
                         "address 10.4.0.1 is in the file twice")
        self.assertEqual(self.watched(), ["10.4.0.1", "10.4.0.2"])
        xml = self.ok("GetMonitorStatus", "<monitorNum>1</monitorNum>")
        self.assertEqual(value(xml, "systemName"), "first")

    def test_paths_longer_than_the_buffer_are_refused(self):
        self.watch_only("10.1.0.10")
        # 259 bytes fit, 260 do not.
        base = self.path("")
        fits = base + "a" * (259 - len(base))
        too_long = fits + "a"
        self.assertEqual(self.save(too_long), 1)
        self.assertFalse(os.path.exists(too_long))
        self.assertEqual(self.fault("LoadFile", f"<filepath>{too_long}</filepath>"),
                         "the path is longer than 259 bytes or is not a valid file name")
        self.assertEqual(self.watched(), ["10.1.0.10"])
        self.assertEqual(self.save(fits), 0)
        self.assertEqual(len(self.read(fits)), RECORD)

    def test_empty_table_saves_an_empty_file(self):
        self.watch_only()
        path = self.write("was-full.cfg", record("10.5.0.1"))
        self.assertEqual(self.save(path), 0)
        self.assertEqual(self.read(path), b"")


class UploadFileTest(FileServer):
    """The file SetFwFilePath names for an upload: taken whole, in the file
    system's encoding, and only when it is a regular file. The engine is not
    started; StartUpgrade still opens the file of the queued upload."""

    MAC = "02-46-4C-00-00-77"
    AGENT = (f"<vecSwitchInfo><agentIpAddr>10.250.0.77</agentIpAddr><macAddr>{MAC}</macAddr>"
             "</vecSwitchInfo>")

    def tearDown(self):
        self.ok("EndUpgrade")

    def set_file(self, path: str) -> int:
        xml = self.ok("SetFwFilePath", f"<strFwFilePath>{escape(path)}</strFwFilePath>"
                                       "<strUpType>firmware</strUpType><strEncryptKey/>"
                                       "<intFileSize>100</intFileSize>")
        return int(value(xml, "errorcode"))

    def status(self) -> str:
        return self.ok("GetUpgradeStatus", f"<strMacAddr>{self.MAC}</strMacAddr>")

    def test_path_is_taken_whole_in_the_file_systems_encoding(self):
        named = self.write("fw-\u00fc.bin", b"u" * 1234)
        self.assertEqual(self.set_file(named), 0)
        self.ok("AddUpgradeAgent", self.AGENT)
        self.ok("StartUpgrade")
        self.assertEqual(value(self.status(), "fwFileSize"), "1234")  # that very file
        # 259 bytes fit, 260 do not, though cut they would name an existing file.
        base = self.path("")
        fits = self.write("f" * (259 - len(base)), b"")
        self.write(os.path.basename(fits) + "x", b"")
        self.assertEqual(self.set_file(fits + "x"), 1)
        self.assertEqual(self.set_file(fits), 0)

    def test_fifos_and_devices_are_refused_and_never_stall_the_start(self):
        for kind, special in self.special_files().items():
            with self.subTest(kind=kind):
                self.assertEqual(self.set_file(special), 1)
                # Set as a regular file, it is a FIFO or a device by the start.
                fw = self.write("fw.bin", b"x" * 100)
                self.assertEqual(self.set_file(fw), 0)
                self.ok("AddUpgradeAgent", self.AGENT)
                os.rename(special, fw)
                resp = self.beside_a_trivial_call("StartUpgrade", "", "StartUpgrade begin. \n")
                self.assertIn("no queued upload could start", wire.fault_detail(resp))
                xml = self.status()
                self.assertEqual((value(xml, "upgradeStatus"), value(xml, "failedCode")),
                                 ("10", "1"))
                os.remove(fw)


def mount_tmpfs(where: str, options: str) -> None:
    subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", where], check=True)


class FailedSaveTest(FileServer):
    """Saves that cannot be completed answer 1 and keep the previous file.
    The test runs in a private mount namespace (see files.cmake)."""

    def setUp(self):
        self.mounts = []

    def tearDown(self):
        for m in reversed(self.mounts):
            subprocess.run(["umount", "-l", m], check=False)

    def folder(self, name: str, options: str) -> str:
        where = self.path(name)
        os.makedirs(where, exist_ok=True)
        mount_tmpfs(where, options)
        self.mounts.append(where)
        return where

    def test_read_only_folder(self):
        folder = self.folder("ro", "size=64k")
        old = record("10.6.0.1")
        with open(os.path.join(folder, "list.cfg"), "wb") as f:
            f.write(old)
        subprocess.run(["mount", "-o", "remount,ro", folder], check=True)
        self.watch_only("10.6.0.2", "10.6.0.3")
        self.assertEqual(self.save(os.path.join(folder, "list.cfg")), 1)
        self.assertEqual(self.read(os.path.join(folder, "list.cfg")), old)
        self.assertIn("list.cfg error: Read-only file system", self.server.log())

    def test_full_file_system(self):
        folder = self.folder("full", "size=8k")
        old = record("10.7.0.1")
        with open(os.path.join(folder, "list.cfg"), "wb") as f:
            f.write(old)
        self.watch_only(*[f"10.7.1.{i}" for i in range(1, 11)])  # 16 kB, more than fits
        self.assertEqual(self.save(os.path.join(folder, "list.cfg")), 1)
        self.assertEqual(self.read(os.path.join(folder, "list.cfg")), old)
        self.assertEqual(os.listdir(folder), ["list.cfg"])  # no temporary file left

    def test_folder_that_does_not_exist(self):
        self.watch_only("10.8.0.1")
        self.assertEqual(self.save(self.path("missing/list.cfg")), 1)


class SampleRequestTest(FileServer):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.auto = os.path.join(cls.server.cwd, "auto")

    def setUp(self):
        shutil.rmtree(self.auto, ignore_errors=True)

    def put(self, name: str, data: bytes) -> None:
        os.makedirs(self.auto, exist_ok=True)
        with open(os.path.join(self.auto, name), "wb") as f:
            f.write(data)

    def test_list_is_sorted_and_holds_only_samples(self):
        for name in ("zeta.req.xml", "Device.B.req.xml", "alpha.req.xml", "Device.A.req.xml",
                     "Device.A.res.xml", "readme.txt"):
            self.put(name, b"<x/>")
        xml = self.ok("GetReqXmlList")
        self.assertEqual(value(xml, "nErrorCode"), "0")
        self.assertEqual(value(xml, "nNum"), "4")
        self.assertEqual(re.findall(r"<ReqXml>(.*?)</ReqXml>", xml),
                         ["Device.A.req.xml", "Device.B.req.xml", "alpha.req.xml", "zeta.req.xml"])

    def test_no_samples_is_a_failure(self):
        self.assertEqual(self.fault("GetReqXmlList"),  # no folder
                         "no auto/*.req.xml file below the working folder")
        self.put("readme.txt", b"")
        self.fault("GetReqXmlList")  # no match
        self.assertIn("find auto/*.req.xml error. \n", self.server.log())

    def test_sample_content_reads_crlf_as_lf(self):
        self.put("Device.X.req.xml", b"<a>\r\n  <b>1</b>\r\n</a>\r\n")
        xml = self.ok("GetReqXmlFile", "<strXmlName>Device.X.req.xml</strXmlName>")
        self.assertEqual(value(xml, "strXmlContent"), "&lt;a&gt;\n  &lt;b&gt;1&lt;/b&gt;\n&lt;/a&gt;\n")

    def test_installed_samples_are_served(self):
        src = os.path.join(wire.dist_dir(), "auto")
        names = sorted(n for n in os.listdir(src) if n.endswith(".req.xml"))
        for n in names:
            with open(os.path.join(src, n), "rb") as f:
                self.put(n, f.read())
        xml = self.ok("GetReqXmlList")
        self.assertEqual(re.findall(r"<ReqXml>(.*?)</ReqXml>", xml), names)
        content = value(self.ok("GetReqXmlFile", "<strXmlName>Device.SaveFile.req.xml</strXmlName>"),
                        "strXmlContent")
        self.assertIn("ns:SaveFile", content)

    def test_names_that_leave_the_folder_are_refused(self):
        self.put("ok.req.xml", b"<x/>")
        with open(os.path.join(self.server.cwd, "secret.req.xml"), "wb") as f:
            f.write(b"secret")
        for name in ("../secret.req.xml", "..\\secret.req.xml", "sub/ok.req.xml",
                     f"{os.path.abspath(self.auto)}/ok.req.xml", ""):
            with self.subTest(name=name):
                self.assertEqual(self.fault("GetReqXmlFile", f"<strXmlName>{escape(name)}</strXmlName>"),
                                 "the name must not leave the auto folder (no /, \\ or ..)")
                self.assertIn(f"open auto/{name} error. \n", self.server.log())
        self.assertEqual(self.fault("GetReqXmlFile", "<strXmlName>missing.req.xml</strXmlName>"),
                         "auto/missing.req.xml is not a sample that can be read")


XVFB, ZENITY, XDOTOOL, XMESSAGE, XPROP = (shutil.which(p) for p in
                                          ("Xvfb", "zenity", "xdotool", "xmessage", "xprop"))
# The user interface's page in a browser window: the page title, then the browser's name.
OWNER_TITLE = "CALVORN Ferroview Utility - Chromium"


def displays_in_use() -> set[int]:
    """Display numbers with an X socket that a client here would reach. Lock
    files do not show them all: a chroot has a /tmp of its own, while the
    abstract sockets, where a client looks first, belong to the network
    namespace."""
    with open("/proc/net/unix") as f:
        return {int(m) for m in re.findall(r"/tmp/\.X11-unix/X(\d+)$", f.read(), re.M)}


class VirtualDisplay:
    """An X server of our own, on a display number no other X server uses."""

    def __init__(self):
        # What the server says, for a failure's message.
        self.log = tempfile.TemporaryFile()
        for number in sorted(set(range(20, 100)) - displays_in_use()):
            if os.path.exists(f"/tmp/.X{number}-lock"):
                continue
            r, w = os.pipe()
            # Given a display, the server writes its number once it is ready,
            # or ends at once when another took the number meanwhile.
            # -noreset: without it the server starts over whenever its last
            # client leaves (the probe below), and a client that connects
            # meanwhile cannot open the display.
            self.proc = subprocess.Popen([XVFB, f":{number}", "-displayfd", str(w), "-nolisten",
                                          "tcp", "-noreset", "-screen", "0", "1280x1024x24"],
                                         pass_fds=(w,), stdout=self.log, stderr=self.log)
            os.close(w)
            with os.fdopen(r) as f:
                ready = f.readline().strip()
            if ready:
                self.display = f":{ready}"
                self.env = dict(os.environ, DISPLAY=self.display)
                if self.answers():
                    return
                # Ready by its own word, yet no client gets through: the
                # next number.
                self.stop(close_log=False)
                continue
            self.proc.wait()
        raise RuntimeError(f"Xvfb did not start: {self.output()!r}")

    def answers(self, timeout: float = 5) -> bool:
        """Whether a client can open the display (within `timeout`); what a
        failing client says goes to the log, for a failure's message."""
        deadline = time.monotonic() + timeout
        while True:
            probe = subprocess.run([XPROP, "-root", "-len", "0"], env=self.env,
                                   capture_output=True, timeout=timeout)
            if probe.returncode == 0:
                return True
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.log.write(b"xprop on " + self.display.encode() + b": " + probe.stderr)
                return False
            time.sleep(0.1)

    def output(self) -> bytes:
        self.log.seek(0)
        return self.log.read()[-2000:]

    def xdotool(self, *args: str, timeout: float = 20) -> str:
        return subprocess.run([XDOTOOL, *args], env=self.env, capture_output=True, text=True,
                              timeout=timeout).stdout

    def wait_window(self, title: str, timeout: float = 20) -> str:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.xdotool("search", "--onlyvisible", "--name", f"^{title}$").split()
            if found:
                return found[0]
            time.sleep(0.1)
        raise AssertionError(f"no window {title!r} appeared")

    def wait_transient_dialog(self, parent: str, timeout: float = 20) -> str:
        """A dialog window that belongs to window `parent`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for w in self.xdotool("search", "--onlyvisible", "--class", "zenity").split():
                props = subprocess.run(["xprop", "-id", w, "WM_TRANSIENT_FOR", "_NET_WM_WINDOW_TYPE"],
                                       env=self.env, capture_output=True, text=True).stdout
                owner = re.search(r"window id # (0x[0-9a-f]+)", props)
                if owner and int(owner.group(1), 16) == int(parent) and "TYPE_DIALOG" in props:
                    return w
            time.sleep(0.1)
        raise AssertionError(f"no dialog of window {parent} appeared")

    def stop(self, close_log: bool = True):
        # Asked to end, the X server removes its lock file and socket.
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        if close_log:
            self.log.close()


def zenity_children(server_pid: int) -> list[list[str]]:
    """Command lines of the server's zenity children."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                argv = f.read().decode().split("\0")[:-1]
        except (OSError, IndexError, ValueError):
            continue
        if ppid == server_pid and argv and os.path.basename(argv[0]) == "zenity":
            found.append(argv)
    return found


@unittest.skipUnless(XVFB and ZENITY and XDOTOOL and XMESSAGE and XPROP,
                     "Xvfb, zenity, xdotool or x11-utils missing")
class SaveDialogTest(FileServer):
    @classmethod
    def setUpClass(cls):
        cls.x = VirtualDisplay()
        cls.addClassCleanup(cls.x.stop)
        cls.env = cls.x.env
        super().setUpClass()
        # The user interface's window, which the dialog belongs to.
        cls.owner_log = tempfile.TemporaryFile()
        cls.owner = subprocess.Popen([XMESSAGE, "-title", OWNER_TITLE, "Ferroview"], env=cls.x.env,
                                     stdout=cls.owner_log, stderr=cls.owner_log)
        cls.addClassCleanup(lambda: (cls.owner.kill(), cls.owner.wait(), cls.owner_log.close()))
        try:
            cls.owner_id = cls.x.wait_window(OWNER_TITLE)
        except AssertionError:
            cls.owner_log.seek(0)
            raise AssertionError(f"xmessage ({cls.owner.poll()}): {cls.owner_log.read()!r}; "
                                 f"Xvfb on {cls.x.display} ({cls.x.proc.poll()}): "
                                 f"{cls.x.output()!r}")

    def save_as(self, act) -> str:
        """Calls SaveFileAs; `act(dialog_window)` works the dialog meanwhile."""
        box = {}

        def call():
            box["resp"] = wire.call("SaveFileAs", "<nUserID>0</nUserID><username>u</username>",
                                    timeout=60)

        t = threading.Thread(target=call)
        t.start()
        try:
            dialog = self.x.wait_window("Save As")
            box["argv"] = zenity_children(self.server.proc.pid)
            # The open dialog holds up nobody else: a trivial call is
            # answered at once, and a second dialog is refused.
            start = time.monotonic()
            self.assertEqual(wire.call("GetRefreshTime", timeout=1).status_line,
                             "HTTP/1.1 200 OK")
            self.assertLess(time.monotonic() - start, 1)
            second = wire.call("SaveFileAs", "<nUserID>0</nUserID><username>u</username>",
                               timeout=5)
            self.assertEqual(value(second.text, "errorcode"), "1")
            self.x.xdotool("windowfocus", "--sync", dialog)
            act(dialog)
        finally:
            t.join(60)
        self.assertFalse(t.is_alive(), "SaveFileAs never answered")
        self.assertEqual(len(box["argv"]), 1)
        argv = box["argv"][0]
        self.assertIn(f"--attach={self.owner_id}", argv)
        self.assertIn("--filename=*.cfg", argv)
        self.assertIn("--file-filter=config File (*.cfg) | *.cfg", argv)
        self.assertIn("--confirm-overwrite", argv)
        return box["resp"].text

    def type_name(self, path: str):
        def act(dialog):
            self.x.xdotool("key", "--clearmodifiers", "ctrl+a")
            self.x.xdotool("type", "--delay", "10", path)
            # A Return may first be taken by the chooser's name completion;
            # press it again while the dialog is still there.
            for _ in range(5):
                self.x.xdotool("key", "Return")
                deadline = time.monotonic() + 2
                while time.monotonic() < deadline:
                    if dialog not in self.x.xdotool("search", "--onlyvisible", "--name",
                                                    "^Save As$").split():
                        return
                    time.sleep(0.1)
            self.fail("the dialog did not take the name")
        return act

    def test_confirmed_name_is_written(self):
        self.watch_only("10.9.0.1", "10.9.0.2")
        path = self.path("chosen.cfg")
        xml = self.save_as(self.type_name(path))
        self.assertEqual(value(xml, "errorcode"), "0")
        self.assertEqual(self.read(path), record("10.9.0.1") + record("10.9.0.2"))
        self.assertIn("SaveFileAs begin \n", self.server.log())

    def test_existing_file_is_replaced_only_when_confirmed(self):
        self.watch_only("10.9.0.4")
        path = self.write("existing.cfg", b"old list")

        def act(dialog):
            self.x.xdotool("key", "--clearmodifiers", "ctrl+a")
            self.x.xdotool("type", "--delay", "10", path)
            # The chooser may first show its completion of the existing name,
            # which takes a Return of its own; then it asks whether to replace
            # the file, and Return answers "Replace".
            for _ in range(5):
                self.x.xdotool("key", "Return")
                try:
                    question = self.x.wait_transient_dialog(dialog, timeout=2)
                    break
                except AssertionError:
                    continue
            else:
                self.fail("the chooser never asked before replacing the file")
            self.x.xdotool("windowfocus", "--sync", question)
            self.x.xdotool("key", "Return")

        self.assertEqual(value(self.save_as(act), "errorcode"), "0")
        self.assertEqual(self.read(path), record("10.9.0.4"))

    def test_cancelled_writes_nothing(self):
        self.watch_only("10.9.0.3")
        before = set(os.listdir(self.tmp))
        xml = self.save_as(lambda _: self.x.xdotool("key", "Escape"))
        self.assertEqual(value(xml, "errorcode"), "0")
        self.assertEqual(set(os.listdir(self.tmp)), before)
        self.assertNotIn("SaveFileAs: no dialog", self.server.log())
        import json

        self.assertEqual(json.loads(wire.get("/api/status").body)["save_as"]["outcome"], "cancelled")


class NoDisplayTest(FileServer):
    """Test servers run without a display unless given one."""

    def test_save_as_without_display_is_no_cancel(self):
        # Nobody cancelled anything: nothing was saved, and the status says why.
        import json

        self.assertEqual(value(self.ok("SaveFileAs"), "errorcode"), "1")
        self.assertIn("SaveFileAs: no dialog, nothing saved: no display", self.server.log())
        save_as = json.loads(wire.get("/api/status").body)["save_as"]
        self.assertEqual((save_as["seq"], save_as["outcome"]), (1, "no_dialog"))
        self.assertIn("DISPLAY is not set", save_as["detail"])


if __name__ == "__main__":
    wire.run_tests()
