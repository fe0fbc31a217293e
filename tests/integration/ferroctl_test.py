"""ferroctl against a real server: the server runs in the server namespace of
a private test network with the capabilities its systemd unit keeps,
simulated agents answer in the LAN namespace, and ferroctl is the installed
program-folder copy, started from an unrelated folder inside the server
namespace (the service answers SOAP to local callers only)."""

import csv
import io
import json
import os
import pty
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "netns"))
sys.path.insert(0, os.path.join(ROOT, "tools", "sim"))

import wire  # noqa: E402
from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet, require_netns  # noqa: E402

AGENTS = 6
LOADER = 1  # the last agent answers in loader mode
FIRST_MAC = "02-46-4C-00-00-00"
MAC_RE = r"[0-9A-F]{2}(?:-[0-9A-F]{2}){5}"


def unit_capabilities() -> list[str]:
    """The capability bounding set of the systemd unit, as setpriv takes it."""
    with open(os.path.join(ROOT, "tools", "systemd", "ferrolink.service.in")) as f:
        line = next(x for x in f if x.startswith("CapabilityBoundingSet="))
    return [c.lower().removeprefix("cap_") for c in line.split("=", 1)[1].split()]


def mac(i: int) -> str:
    return f"02-46-4C-00-00-{i:02X}"


def built(*operations: str) -> bool:
    """Whether the operations do their work in this tree (not yet the
    default answers of the operations still to be built)."""
    path = os.path.join(ROOT, "server", "service", "pending_operations.cpp")
    if not os.path.exists(path):
        return True
    with open(path) as f:
        text = f.read()
    return not any(f"ns__{op}(" in text for op in operations)


CTL = os.environ.get("FERROCTL") or os.path.join(wire.dist_dir(), "tools", "ferroctl")


class Site:
    """A test network, the simulator, a server and a folder to run ferroctl from."""

    def __init__(self, agents=AGENTS, sim_args=()):
        self.net = TestNet(lans=1)
        self.net.up()
        try:
            wire.use_namespace(self.net.ns["srv"])
            self.sim = SimProcess.start(self.net, "lan", [
                "--first-ip", self.net.agent_ip(0, "lan"), "--count", str(agents),
                "--loader", str(LOADER), *sim_args])
            self.workdir = tempfile.mkdtemp(prefix="ferrolink-ctl-")
            os.makedirs(os.path.join(self.workdir, "cfg"))
            shutil.copy(os.path.join(wire.dist_dir(), "cfg", "define.ecf"),
                        os.path.join(self.workdir, "cfg", "define.ecf"))
            self.elsewhere = tempfile.mkdtemp(prefix="ferrolink-cwd-")
            self.server = None
        except BaseException:
            self.close()
            raise

    def start_server(self) -> wire.Server:
        if self.server:
            self.server.stop()
        caps = ",".join(["-all"] + [f"+{c}" for c in unit_capabilities()])
        self.server = wire.Server(cwd=self.workdir, prefix=[
            "ip", "netns", "exec", self.net.ns["srv"], "setpriv", f"--bounding-set={caps}"])
        return self.server.start()

    def ctl(self, *args: str, timeout: float = 120) -> subprocess.CompletedProcess:
        return subprocess.run(
            ["ip", "netns", "exec", self.net.ns["srv"], CTL, *args],
            cwd=self.elsewhere, capture_output=True, text=True, timeout=timeout)

    def ctl_on_terminal(self, *args: str, answer: str) -> subprocess.CompletedProcess:
        """ferroctl with a terminal as its input, where `answer` is typed."""
        master, slave = pty.openpty()
        try:
            os.write(master, answer.encode())
            r = subprocess.run(["ip", "netns", "exec", self.net.ns["srv"], CTL, *args],
                               cwd=self.elsewhere, stdin=slave, capture_output=True,
                               text=True, timeout=120)
        finally:
            os.close(slave)
            os.close(master)
        return r

    def close(self):
        if getattr(self, "server", None):
            self.server.stop()
        if getattr(self, "sim", None):
            self.sim.stop()
        wire.use_namespace(None)
        self.net.down()
        for d in (getattr(self, "workdir", None), getattr(self, "elsewhere", None)):
            if d:
                shutil.rmtree(d, ignore_errors=True)


class CtlCase(unittest.TestCase):
    def ok(self, r: subprocess.CompletedProcess) -> str:
        self.assertEqual(r.returncode, 0, f"{r.args[4:]}: {r.stderr}{r.stdout}")
        return r.stdout

    def fails(self, r: subprocess.CompletedProcess, status: int, message: str) -> None:
        self.assertEqual(r.returncode, status, f"{r.args[4:]}: {r.stderr}{r.stdout}")
        self.assertIn(message, r.stderr)
        self.assertNotIn("Traceback", r.stderr)
        self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)


class ProgressTest(unittest.TestCase):
    """The upload lines on a terminal are redrawn in place."""

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    def test_redraws_every_agent_line_in_place(self):
        sys.path.insert(0, os.path.join(ROOT, "tools"))
        import ferroctl
        out = self.Terminal()
        p = ferroctl.Progress([mac(0), mac(1)], 1000, out)
        st = {"upgradeStatus": 4, "fwFileSize": 1000, "transmitedSize": 500, "failedCode": 0}
        queued = dict(st, upgradeStatus=0, fwFileSize=0, transmitedSize=0)
        p.show({mac(0): st, mac(1): queued})
        first = out.getvalue()
        self.assertNotIn("\x1b[2F", first)
        p.show({mac(0): dict(st, upgradeStatus=9, transmitedSize=1000), mac(1): queued})
        second = out.getvalue()[len(first):]
        self.assertTrue(second.startswith("\x1b[2F\x1b[2K"), repr(second))
        lines = second[len("\x1b[2F"):].split("\n")
        self.assertRegex(lines[0], rf"^\x1b\[2K{mac(0)}  Done +1,000 / 1,000 +\[#{{24}}\] 100%$")
        self.assertRegex(lines[1], rf"^\x1b\[2K{mac(1)}  Queued +0 / 1,000 +\[\.{{24}}\] +0%$")


class TimeOptionTest(unittest.TestCase):
    """--since and --until reach the server as RFC 3339 in UTC."""

    def test_zones_and_times_back_from_now(self):
        sys.path.insert(0, os.path.join(ROOT, "tools"))
        import datetime as dt
        import ferroctl
        t = ferroctl.point_in_time
        self.assertEqual(t("2026-12-09T21:40:00+01:00"), "2026-12-09T20:40:00.000Z")
        self.assertEqual(t("2026-12-09t20:40:00.5z"), "2026-12-09T20:40:00.500Z")
        self.assertEqual(t("2026-12-09 20:40"), "2026-12-09T20:40:00.000Z")  # no zone: UTC
        self.assertEqual(t("2026-12-09"), "2026-12-09T00:00:00.000Z")
        back = dt.datetime.fromisoformat(t("90m").replace("Z", "+00:00"))
        ago = dt.datetime.now(dt.timezone.utc) - back
        self.assertLess(abs(ago.total_seconds() - 5400), 5)


@unittest.skipUnless(os.access(CTL, os.X_OK), "the program folder has no tools/ferroctl")
@require_netns
class WithoutServerTest(CtlCase):
    """Every command says clearly that nobody answers, without a traceback."""

    @classmethod
    def setUpClass(cls):
        cls.site = Site(agents=1)

    @classmethod
    def tearDownClass(cls):
        cls.site.close()

    def test_each_command_names_the_missing_server(self):
        saved = os.path.join(self.site.elsewhere, "fleet.cfg")
        with open(saved, "wb") as f:
            f.write(b"\0" * 1608)
        commands = [["start"], ["discover"], ["list"], ["watch", "status"],
                    ["watch", "add", "10.61.1.1"], ["watch", "del", "10.61.1.1"], ["traps"],
                    ["traps", "--follow"], ["events"], ["events", "--follow"],
                    ["set", FIRST_MAC, "--name", "x"],
                    ["password", FIRST_MAC, "--old", "a", "--new", "b"],
                    ["restore", FIRST_MAC, "--yes"], ["upgrade", saved, FIRST_MAC, "--yes"],
                    ["save", saved],
                    ["load", saved], ["interval", "poll"], ["interval", "igmp", "60"], ["stop"],
                    ["raw", "GetRefreshTime"]]
        for args in commands:
            with self.subTest(args=args):
                self.fails(self.site.ctl(*args), 3,
                           "no server answers at http://127.0.0.1:64567/")

    def test_help_of_every_command(self):
        top = self.ok(self.site.ctl("--help"))
        commands = re.findall(r"^    (\w+)  +\S", top, re.M)
        self.assertEqual(set(commands), {"start", "discover", "list", "watch", "traps", "events",
                                         "set", "password", "restore", "upgrade", "save", "load",
                                         "interval", "stop", "raw"})
        for name in commands:
            with self.subTest(command=name):
                self.assertIn(f"usage: ferroctl {name}", self.ok(self.site.ctl(name, "--help")))

    def test_usage_errors(self):
        """Each is one line before anything is asked of the server."""
        folder = self.site.elsewhere
        saved = os.path.join(folder, "fw.bin")
        with open(saved, "wb") as f:
            f.write(b"x")
        cases = [(["set", "02-46-4C-00-00", "--name", "x"], "is not a MAC address"),
                 (["watch", "add", "999.1.1.1"], "'999.1.1.1' is not an IPv4 address"),
                 (["password", "10.61.1", "--old", "a", "--new", "b"], "is not an IPv4 address"),
                 (["set", FIRST_MAC], "nothing to change"),
                 (["set", FIRST_MAC, "--ip", "10.61.1.300"], "is not an IPv4 address"),
                 (["set", FIRST_MAC, "--name", "n" * 21], "longer than the agents keep"),
                 (["set", FIRST_MAC, "--name", os.fsdecode(b"\xff")], "is not UTF-8 text"),
                 (["set", FIRST_MAC, "--field", "productName=x"], "NAME=VALUE"),
                 (["set", FIRST_MAC, "--vlan", "x"], "ferroctl set --help shows the usage"),
                 (["upgrade", "/nonexistent/fw.bin", FIRST_MAC], "no such file"),
                 (["upgrade", folder, FIRST_MAC], f"{folder} is a folder, not a file"),
                 (["upgrade", "/dev/null", FIRST_MAC], "not a regular file"),
                 (["upgrade", saved, FIRST_MAC], "add --yes"),
                 (["restore", FIRST_MAC], "add --yes"),
                 (["load", "/nonexistent/fleet.cfg"], "no such file"),
                 (["load", folder], "is a folder, not a file (the watched agents stay"),
                 (["save", folder], "is a folder"),
                 (["interval", "poll", "0"], "1 to 9999"),
                 (["raw", "GetRefreshTime", "<broken"], "not well-formed XML"),
                 (["watch", "bogus"], "invalid choice"),
                 (["--server", "notaurl", "list"], "is not a URL of the service"),
                 (["--server", "http://127.0.0.1:99999/", "list"], "port"),
                 (["--timeout", "nan", "list"], "not a number of seconds"),
                 (["discover", "--wait", "inf"], "not a number of seconds"),
                 (["events", "--kind", "trap,nonsense"], "unknown kind 'nonsense'; the kinds are"),
                 (["events", "--since", "yesterday"], "'yesterday' is not a time"),
                 (["events", "--until", "2026-13-01"], "is not a time"),
                 (["events", "--limit", "-1"], "not a number from 0 to 1000000"),
                 (["events", "--follow", "--until", "1h"], "do not go together"),
                 (["events", "--mac", "02-46-4C-00"], "is not a MAC address"),
                 (["traps", "--since", "5x"], "is not a time")]
        for args, message in cases:
            with self.subTest(args=args):
                self.fails(self.site.ctl(*args), 2, message)

    def test_answers_that_are_not_the_service(self):
        """Whatever answers at the URL instead of the service ends the command
        with a line and a status of its own."""
        head = "HTTP/1.1 {}\r\nContent-Length: {}\r\nConnection: close\r\n\r\n"
        cases = [(head.format("503 Service Unavailable", 0), 5, "the server is busy"),
                 (head.format("403 Forbidden", 0), 4, "does not let this caller make"),
                 (head.format("200 OK", 13) + "<html></html>", 6, "is not a SOAP message"),
                 (head.format("404 Not Found", 9) + "not found", 6, "(HTTP 404) is not XML"),
                 (head.format("200 OK", 500) + "<?xml", 6, "cut short after 5 bytes"),
                 (head.format("302 Found", 0), 6, "(HTTP 302)"),
                 ("hello\r\n", 6, "is not HTTP")]
        listener = wire.listen(0)
        port = listener.getsockname()[1]
        answer = [b""]

        def serve():
            while True:
                try:
                    conn, _ = listener.accept()
                except OSError:
                    return
                with conn:
                    conn.settimeout(5)
                    try:
                        request = b""
                        while b"\r\n\r\n" not in request:
                            request += conn.recv(65536) or b"\r\n\r\n"
                        length = re.search(rb"(?i)content-length: *(\d+)", request)
                        body = len(request.partition(b"\r\n\r\n")[2])
                        while length and body < int(length[1]):
                            body += len(conn.recv(65536) or b"x" * int(length[1]))
                        conn.sendall(answer[0])
                    except OSError:
                        pass

        threading.Thread(target=serve, daemon=True).start()
        try:
            for text, status, message in cases:
                answer[0] = text.encode()
                for args in (["list"], ["stop"]):
                    with self.subTest(answer=text[:20], args=args):
                        self.fails(self.site.ctl("--server", f"http://127.0.0.1:{port}/", *args),
                                   status, message)
            # A server without the event history is named as such.
            answer[0] = (head.format("404 Not Found", 9) + "not found").encode()
            for args in (["events"], ["traps", "--follow"]):
                with self.subTest(args=args):
                    self.fails(self.site.ctl("--server", f"http://127.0.0.1:{port}/", *args), 1,
                               "keeps no event history (GET /api/events answered HTTP 404)")
        finally:
            listener.shutdown(socket.SHUT_RDWR)
            listener.close()


@unittest.skipUnless(os.access(CTL, os.X_OK), "the program folder has no tools/ferroctl")
@require_netns
class FleetTest(CtlCase):
    """Start, discovery, listing, watching, traps, intervals and raw calls
    against one server; each test leaves the watch list empty."""

    @classmethod
    def setUpClass(cls):
        cls.site = Site()
        # Two agents share a name; the others' names are their own.
        cls.site.sim.client.call("set", agents=[3, 4], fields={"systemName": "twin"})
        cls.site.start_server()
        r = cls.site.ctl("start")
        if r.returncode != 0:
            cls.site.close()
            raise AssertionError(r.stderr)
        cls.discovered = cls.site.ctl("discover", "--json")

    @classmethod
    def tearDownClass(cls):
        cls.site.close()

    def test_start_is_reported_and_harmless_twice(self):
        self.assertEqual(self.ok(self.site.ctl("start")), "engine started\n")
        self.assertNotIn("raw IGMP socket unavailable", self.site.server.log())
        self.assertNotIn("SO_BINDTODEVICE", self.site.server.log())

    def test_discover_and_list_in_three_formats(self):
        agents = json.loads(self.ok(self.discovered))
        self.assertEqual(sorted(a["macAddr"] for a in agents), [mac(i) for i in range(AGENTS)])
        self.assertEqual(sum(a["isLoaderMode"] for a in agents), LOADER)
        self.assertTrue(all(a["watched"] is False for a in agents))
        first = next(a for a in agents if a["macAddr"] == FIRST_MAC)
        self.assertEqual(first["agentIpAddr"], self.site.net.agent_ip(0))

        rows = list(csv.reader(io.StringIO(self.ok(self.site.ctl("list", "--csv")))))
        self.assertEqual(rows[0], ["address", "mac", "name", "model", "firmware", "location",
                                   "loader", "watched"])
        self.assertEqual({r[1] for r in rows[1:]}, {mac(i) for i in range(AGENTS)})
        by_mac = {a["macAddr"]: a for a in agents}
        for r in rows[1:]:
            a = by_mac[r[1]]
            self.assertEqual(r, [a["agentIpAddr"], a["macAddr"], a["systemName"],
                                 a["productName"], a["fwVersion"], a["location"],
                                 "yes" if a["isLoaderMode"] else "", ""])

        table = self.ok(self.site.ctl("list")).splitlines()
        self.assertEqual(table[0].split(), ["ADDRESS", "MAC", "NAME", "MODEL", "FIRMWARE",
                                            "LOCATION", "LOADER", "WATCHED"])
        # Aligned: cut at the header's column starts, each row gives the
        # values of its CSV row.
        starts = [0] + [m.start() for m in re.finditer(r"(?<=  )\S", table[0])]
        cut = [[row[a:b].strip() for a, b in zip(starts, starts[1:] + [None])]
               for row in table[1:]]
        self.assertEqual(cut, rows[1:])

    def test_watch_add_status_del(self):
        ip0, ip1 = self.site.net.agent_ip(0), self.site.net.agent_ip(1)
        name1 = next(a["systemName"] for a in json.loads(self.discovered.stdout)
                     if a["macAddr"] == mac(1))
        # An agent is named by address, MAC or its own name.
        self.assertEqual(self.ok(self.site.ctl("watch", "add", ip0, name1)),
                         f"watching {ip0} ({mac(0)})\nwatching {ip1} ({mac(1)})\n")
        try:
            self.fails(self.site.ctl("watch", "add", mac(0)), 1, "is already watched")
            listed = json.loads(self.ok(self.site.ctl("list", "--json")))
            self.assertEqual([a["macAddr"] for a in listed if a["watched"]], [mac(0), mac(1)])
            self.assertEqual(len(listed), AGENTS)  # watched ones are not listed twice
            time.sleep(1.5)  # the first keep-alive polls go out at once
            status = json.loads(self.ok(self.site.ctl("watch", "status", "--json")))
            self.assertEqual([s["mac"] for s in status], [mac(0), mac(1)])
            self.assertTrue(all(s["alive"] for s in status))
            # The time is the server's clock when it answered, not a time of
            # the agent's: the column says so.
            self.assertTrue(all(re.fullmatch(r"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d", s["time"])
                                for s in status), status)
            table = self.ok(self.site.ctl("watch", "status")).splitlines()
            self.assertRegex(table[0], r"^ADDRESS +MAC +NAME +ALIVE +REPLIED +"
                                       r"AS OF \(SERVER CLOCK\)$")
            self.assertRegex(table[1], rf"^{re.escape(ip0)} +{mac(0)} .* yes +\w+ +"
                                       r"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d$")
            rows = list(csv.reader(io.StringIO(self.ok(self.site.ctl("watch", "status",
                                                                     "--csv")))))
            self.assertEqual(rows[0], ["address", "mac", "name", "alive", "replied", "time"])
        finally:
            out = self.ok(self.site.ctl("watch", "del", ip0, mac(1)))
        self.assertEqual(out, f"no longer watching {ip0} ({mac(0)})\n"
                              f"no longer watching {ip1} ({mac(1)})\n")
        self.fails(self.site.ctl("watch", "del", ip0), 1, "is not watched")
        self.assertEqual(self.ok(self.site.ctl("watch", "status")), "")

    def test_watch_an_address_nobody_discovered(self):
        self.assertEqual(self.ok(self.site.ctl("watch", "add", "10.61.9.9")),
                         "watching 10.61.9.9, an address no discovery has seen yet\n")
        self.ok(self.site.ctl("watch", "del", "10.61.9.9"))
        self.fails(self.site.ctl("watch", "add", "02-46-4C-00-99-99"), 1, "no agent with MAC")
        # A name must be known and belong to one agent only.
        self.fails(self.site.ctl("watch", "add", "no-such-name"), 1,
                   "no agent named 'no-such-name' is known")
        r = self.site.ctl("watch", "add", "twin")
        self.fails(r, 1, "2 agents are named 'twin': ")
        self.assertIn(f"twin ({mac(3)} at {self.site.net.agent_ip(3)})", r.stderr)
        self.assertIn(f"twin ({mac(4)} at {self.site.net.agent_ip(4)})", r.stderr)
        self.assertEqual(self.ok(self.site.ctl("watch", "status")), "")

    def test_refusals_are_not_taken_for_answers(self):
        # Another user may read, but changing is refused (HTTP 403).
        folder = tempfile.mkdtemp(prefix="ferrolink-other-")
        try:
            os.chmod(folder, 0o755)
            copy = os.path.join(folder, "ferroctl")
            shutil.copy(CTL, copy)
            os.chmod(copy, 0o755)
            other = ["ip", "netns", "exec", self.site.net.ns["srv"], "setpriv", "--reuid=65534",
                     "--regid=65534", "--clear-groups", copy]

            def run(*args):
                return subprocess.run(other + list(args), cwd="/", capture_output=True,
                                      text=True, timeout=60)
            self.assertRegex(self.ok(run("interval", "poll")), r"^keep-alive poll interval: ")
            self.fails(run("interval", "poll", "20"), 4, "the server does not let this caller "
                                                        "make SetRefreshTime (HTTP 403): ")
        finally:
            shutil.rmtree(folder)
        # From another address than loopback every request is refused: an
        # empty watch list is not what the server said.
        self.fails(self.site.ctl("--server", f"http://{self.site.net.srv_ip}:64567/", "watch",
                                 "status"), 1, "loopback")

    def test_traps_from_the_history_reach_every_reader(self):
        srv = self.site.net.srv_ip
        follow = [subprocess.Popen(["ip", "netns", "exec", self.site.net.ns["srv"], CTL, *args],
                                   cwd=self.site.elsewhere, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
                  for args in (["traps", "--follow", "--limit", "0", "--every", "0.2"],
                               ["events", "--follow", "--json", "--kind", "trap", "--limit", "0",
                                "--every", "0.2"])]
        try:
            time.sleep(1.5)  # both are following
            self.site.sim.client.call("trap", agents=0, kind="plain", text="fan failed", to=srv)
            self.site.sim.client.call("trap", agents=1, kind="tlv", text="port 3 down", to=srv)
            stamp = r"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d"
            deadline = time.monotonic() + 10
            lines = []
            while len(lines) < 2 and time.monotonic() < deadline:
                lines = [x for x in self.ok(self.site.ctl("traps", "--limit", "2")).splitlines()]
                time.sleep(0.2)
            self.assertRegex(lines[0], rf"^{stamp}  {re.escape(self.site.net.agent_ip(0))}  "
                                       "fan failed$")
            self.assertRegex(lines[1], rf"^{stamp}  {re.escape(self.site.net.agent_ip(1))}  "
                                       r"\[[^\]]*\]  port 3 down$")
            # Reading takes none away: the same again, and the service's own
            # list still holds them for the interface that drains it.
            self.assertEqual(self.ok(self.site.ctl("traps", "--limit", "2")).splitlines(), lines)
            self.assertIn("port 3 down", self.ok(self.site.ctl("raw", "GetTrapList")))
            events = json.loads(self.ok(self.site.ctl("events", "--kind", "trap", "--json",
                                                      "--mac", self.site.net.agent_ip(1),
                                                      "--since", "5m")))
            self.assertEqual([e["fields"]["message"] for e in events][-1:], ["port 3 down"])
            self.assertEqual(events[-1]["fields"]["trap_name"], "tlv")
            self.assertEqual(events[-1]["address"], self.site.net.agent_ip(1))
            time.sleep(1)
        finally:
            for p in follow:
                p.send_signal(signal.SIGINT)
        outs = [p.communicate(timeout=10) for p in follow]
        # Ctrl-C ends following cleanly.
        self.assertEqual([p.returncode for p in follow], [0, 0], outs)
        self.assertEqual([x for x in outs[0][0].splitlines() if "failed" in x or "3 down" in x],
                         lines)
        followed = [json.loads(x) for x in outs[1][0].splitlines()]
        self.assertEqual([e["text"] for e in followed], ["fan failed", "port 3 down"])
        self.assertEqual(len({e["id"] for e in followed}), 2)

    def test_intervals(self):
        self.assertEqual(self.ok(self.site.ctl("interval", "poll", "30")),
                         "keep-alive poll interval set to 30 s (written to cfg/define.ecf)\n")
        self.assertEqual(self.ok(self.site.ctl("interval", "poll")),
                         "keep-alive poll interval: 30 s\n")
        self.ok(self.site.ctl("interval", "igmp", "125"))
        self.assertEqual(self.ok(self.site.ctl("interval", "igmp")),
                         "IGMP report interval: 125 s\n")
        self.ok(self.site.ctl("interval", "poll", "15"))

    def test_raw_calls_and_faults(self):
        out = self.ok(self.site.ctl("raw", "GetMonitorStatus", "monitorNum=0"))
        self.assertIn("<nMonitorNum>0</nMonitorNum>", out)
        # A nested value travels as XML.
        self.ok(self.site.ctl("raw", "AddUpgradeAgent",
                              "<vecSwitchInfo><macAddr>x</macAddr></vecSwitchInfo>"))
        r = self.site.ctl("raw", "GetMonitorStatus", "monitorNum=3")
        self.fails(r, 1, "the server refused GetMonitorStatus: ")
        self.assertIn("Fault", r.stdout)
        self.fails(self.site.ctl("raw", "NoSuchOperation"), 1, "the server refused")
        self.assertIn("<ns:SetDiscoverToAgentsResponse>",
                      self.ok(self.site.ctl("raw", "--xml", "SetDiscoverToAgents")))


@unittest.skipUnless(os.access(CTL, os.X_OK), "the program folder has no tools/ferroctl")
@require_netns
class StartAndStopTest(CtlCase):
    def setUp(self):
        self.site = Site(agents=1)

    def tearDown(self):
        self.site.close()

    def test_start_without_configuration_says_why(self):
        os.remove(os.path.join(self.site.workdir, "cfg", "define.ecf"))
        self.site.start_server()
        self.fails(self.site.ctl("start"), 1, "cfg/define.ecf in the server's working folder "
                                              "is missing or damaged")

    def test_stop_ends_the_server_without_a_traceback(self):
        self.site.start_server()
        self.ok(self.site.ctl("start"))
        r = self.site.ctl("stop")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "server stopped\n", ""))
        self.assertEqual(self.site.server.proc.wait(timeout=10), 0)
        self.fails(self.site.ctl("list"), 3, "no server answers")

    def test_raw_caller_ends_the_server_without_a_traceback(self):
        soapcall = ["ip", "netns", "exec", self.site.net.ns["srv"], sys.executable,
                    os.path.join(ROOT, "tools", "soapcall.py")]
        self.site.start_server()
        r = subprocess.run(soapcall + ["GSoapClose"], capture_output=True, text=True, timeout=60)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        self.assertEqual(self.site.server.proc.wait(timeout=10), 0)
        r = subprocess.run(soapcall + ["GetRefreshTime"], capture_output=True, text=True,
                           timeout=60)
        self.assertEqual(r.returncode, 3)
        self.assertIn("soapcall: no server answers", r.stderr)
        self.assertNotIn("Traceback", r.stderr)


@unittest.skipUnless(os.access(CTL, os.X_OK), "the program folder has no tools/ferroctl")
@unittest.skipUnless(built("SetDeviceCfgEx", "GetOperateResult"), "device-set operations not built")
@require_netns
class DeviceSetTest(CtlCase):
    """set, password and restore, each waiting for the agent's answer."""

    @classmethod
    def setUpClass(cls):
        cls.site = Site()
        cls.sim = cls.site.sim.client
        cls.site.start_server()
        for args in (["start"], ["discover"]):
            r = cls.site.ctl(*args)
            if r.returncode != 0:
                cls.site.close()
                raise AssertionError(r.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.site.close()

    def setUp(self):
        self.sim.call("reset")

    def agent(self, i: int) -> dict:
        return self.sim.call("get", agents=i)["agents"][0]

    def test_rename_and_move_an_agent(self):
        r = self.site.ctl("set", self.site.net.agent_ip(0), "--name", "lab-switch",
                          "--location", "shelf 2", "--field", "vlanID=7")
        self.assertEqual(self.ok(r), f"{mac(0)}: settings answered with result 0 (accepted)\n")
        self.assertIn("waiting for the agent's answer", r.stderr)
        fields = self.agent(0)["fields"]
        self.assertEqual((fields["systemName"], fields["location"]), ("lab-switch", "shelf 2"))
        # Settings not named keep the values the agent had.
        self.assertEqual(fields["agentIpAddr"], self.site.net.agent_ip(0))
        listed = json.loads(self.ok(self.site.ctl("list", "--json")))
        self.assertEqual(next(a for a in listed if a["macAddr"] == mac(0))["systemName"],
                         "lab-switch")

    def test_refusal_is_reported_with_its_result(self):
        self.sim.call("behave", agents=1, check_password=True)
        r = self.site.ctl("set", mac(1), "--name", "x", "--password", "wrong")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout, f"{mac(1)}: settings answered with result 1 (refused)\n")
        self.assertNotEqual(self.agent(1)["fields"]["systemName"], "x")

    def test_password_and_factory_defaults(self):
        name2 = self.agent(2)["fields"]["systemName"]
        self.assertEqual(self.ok(self.site.ctl("password", name2, "--old", "admin", "--new",
                                               "s3cret")),
                         f"{mac(2)}: password change answered with result 0 (accepted)\n")
        self.assertEqual(self.agent(2)["password"], "s3cret")
        self.sim.call("set", agents=3, fields={"systemName": "custom"})
        # Asked on a terminal: anything but yes sends nothing.
        r = self.site.ctl_on_terminal("restore", mac(3), answer="\n")
        self.assertEqual((r.returncode, r.stdout), (1, ""), r.stderr)
        self.assertIn(f"({mac(3)} at {self.site.net.agent_ip(3)}) to its factory settings? "
                      "Its name, addresses and password go back to the factory values. [y/N] "
                      "ferroctl: not confirmed: nothing was sent\n", r.stderr)
        self.assertEqual(self.agent(3)["fields"]["systemName"], "custom")
        r = self.site.ctl_on_terminal("restore", mac(3), answer="y\n")
        self.assertEqual(self.ok(r),
                         f"{mac(3)}: factory defaults answered with result 0 (accepted)\n")
        self.assertNotEqual(self.agent(3)["fields"]["systemName"], "custom")

    def test_outcomes_are_seen_by_every_client(self):
        """Another client draining the service's outcome list (as the
        specified interface does) takes nothing from ferroctl, and every
        outcome stays in the history with what changed."""
        name0 = self.agent(0)["fields"]["systemName"]
        self.assertIn("settings sent", self.ok(self.site.ctl("set", mac(0), "--name", "first",
                                                             "--no-wait")))
        stop = threading.Event()

        def drain():
            while not stop.is_set():
                self.site.ctl("raw", "GetOperateResult")
                time.sleep(0.1)
        drainer = threading.Thread(target=drain)
        drainer.start()
        try:
            r = self.site.ctl("set", mac(1), "--name", "second")
        finally:
            stop.set()
            drainer.join()
        self.assertEqual(self.ok(r), f"{mac(1)}: settings answered with result 0 (accepted)\n")
        events = json.loads(self.ok(self.site.ctl("events", "--mac", mac(0), "--kind",
                                                  "set_started,set_outcome", "--json",
                                                  "--limit", "2")))
        self.assertEqual([e["kind"] for e in events], ["set_started", "set_outcome"])
        self.assertIn({"field": "systemName", "old": name0, "new": "first"},
                      events[0]["fields"]["changes"])
        self.assertEqual((events[1]["fields"]["result"], events[1]["fields"]["timed_out"]),
                         (0, False))
        table = self.ok(self.site.ctl("events", "--mac", mac(1), "--kind", "set_outcome",
                                      "--limit", "1")).splitlines()
        self.assertEqual(table[0].split(), ["TIME", "KIND", "MAC", "ADDRESS", "TEXT"])
        self.assertRegex(table[1], rf"^\d{{4}}-\d\d-\d\dT\S+Z +set_outcome +{mac(1)} +"
                                   rf"{re.escape(self.site.net.agent_ip(1))} +\S")

    def test_unknown_agent_and_silence(self):
        self.fails(self.site.ctl("set", "02-46-4c-00-99-99", "--name", "x"), 1,
                   "no agent with MAC 02-46-4C-00-99-99")
        self.sim.call("silence", agents=4, ms=-1)
        try:
            r = self.site.ctl("set", mac(4), "--name", "x", timeout=180)
        finally:
            self.sim.call("silence", agents=4, ms=0)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout, f"{mac(4)}: settings timed out: the agent did not answer "
                                   "within 50 s\n")


@unittest.skipUnless(os.access(CTL, os.X_OK), "the program folder has no tools/ferroctl")
@unittest.skipUnless(built("SetFwFilePath", "AddUpgradeAgentEx", "StartUpgrade",
                           "GetUpgradeStatus", "EndUpgrade"), "upgrade operations not built")
@require_netns
class UpgradeTest(CtlCase):
    """Uploads to agents with an interface each and tftpd-hpa as their TFTP
    server; one agent refuses."""

    AGENTS = 3

    @classmethod
    def setUpClass(cls):
        cls.site = Site(agents=cls.AGENTS)
        try:
            sim = cls.site.sim.client
            sim.call("set", fields={"upgradeRebootTime": 1})
            cls.tftpd = []
            for i, a in enumerate(sim.call("get")["agents"]):
                cls.site.net.agent_link("lan", f"ag{i}", a["mac"], a["ip"])
                cls.tftpd.append(cls.site.net.start_tftpd("lan", a["ip"]))
            cls.site.start_server()
            for args in (["start"], ["discover"]):
                r = cls.site.ctl(*args)
                if r.returncode != 0:
                    raise AssertionError(r.stderr)
        except BaseException:
            cls.site.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.site.close()

    def test_progress_until_every_upload_ended(self):
        data = os.urandom(200 * 1024 + 5)
        with open(os.path.join(self.site.elsewhere, "fw-3.1.bin"), "wb") as f:
            f.write(data)
        self.site.sim.client.call("behave", agents=2, upgrade_result=2)
        r = self.site.ctl("upgrade", "fw-3.1.bin", mac(0), self.site.net.agent_ip(1), mac(2),
                          "--yes", timeout=300)
        self.assertEqual(r.returncode, 1, r.stderr)  # one refused
        lines = r.stdout.splitlines()
        self.assertEqual(lines[-3:], [f"{mac(0)}: done", f"{mac(1)}: done",
                                      f"{mac(2)}: failed: the agent refused the upgrade "
                                      "(result 2) (code 4)"])
        progress = "\n".join(lines[:-3])
        # One line per change of state (the transfer itself may fall between
        # two looks; the reboot wait of 1 s does not).
        self.assertRegex(progress, rf"{mac(1)}  Queued +0 / 204,805 +\[\.{{24}}\] +0%")
        for i in (0, 1):
            self.assertRegex(progress, rf"{mac(i)}  RebootWait +204,805 / 204,805 +\[#{{24}}\] 100%")
            self.assertRegex(progress, rf"{mac(i)}  Done +204,805 / 204,805 +\[#{{24}}\] 100%")
        self.assertRegex(progress, rf"{mac(2)}  Failed +0 / 204,805 +\[\.{{24}}\] +0%  "
                                   r"the agent refused the upgrade \(result 2\) \(code 4\)")
        for i in (0, 1):
            with open(self.tftpd[i].path("fw-3.1.bin"), "rb") as f:
                self.assertEqual(f.read(), data)
        # Finished uploads were cleared (EndUpgrade).
        self.fails(self.site.ctl("raw", "GetUpgradeStatus", f"strMacAddr={mac(0)}"), 1,
                   "the server refused GetUpgradeStatus")

    def test_unknown_agent_starts_nothing(self):
        path = os.path.join(self.site.elsewhere, "small.bin")
        with open(path, "wb") as f:
            f.write(b"x" * 100)
        self.fails(self.site.ctl("upgrade", path, mac(0), "02-46-4C-00-99-99", "--yes"), 1,
                   "no agent with MAC 02-46-4C-00-99-99 is known to the server")
        self.fails(self.site.ctl("upgrade", path, mac(0), self.site.net.agent_ip(0), "--yes"), 2,
                   f"({mac(0)} at {self.site.net.agent_ip(0)}) is named twice")
        self.fails(self.site.ctl("raw", "GetUpgradeStatus", f"strMacAddr={mac(0)}"), 1,
                   "the server refused GetUpgradeStatus")


@unittest.skipUnless(os.access(CTL, os.X_OK), "the program folder has no tools/ferroctl")
@unittest.skipUnless(built("SaveFile", "LoadFile"), "file operations not built")
@require_netns
class SaveLoadTest(CtlCase):
    @classmethod
    def setUpClass(cls):
        cls.site = Site(agents=3)
        cls.site.start_server()
        for args in (["start"], ["discover"]):
            r = cls.site.ctl(*args)
            if r.returncode != 0:
                cls.site.close()
                raise AssertionError(r.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.site.close()

    def watched(self) -> list[str]:
        return [s["mac"] for s in json.loads(self.ok(self.site.ctl("watch", "status", "--json")))]

    def test_round_trip_and_refusals(self):
        saved = os.path.join(self.site.elsewhere, "fleet.cfg")
        self.ok(self.site.ctl("watch", "add", mac(0), mac(2)))
        self.assertEqual(self.ok(self.site.ctl("save", "fleet.cfg")),
                         f"saved 2 watched agents to {saved}\n")
        self.assertEqual(os.path.getsize(saved), 2 * 1608)
        self.ok(self.site.ctl("watch", "del", mac(0), mac(2)))
        self.assertEqual(self.watched(), [])

        out = self.ok(self.site.ctl("load", saved)).splitlines()
        self.assertEqual(out[0], f"watching 2 agents from {saved}")
        self.assertEqual(out[1].split()[:2], ["ADDRESS", "MAC"])
        self.assertEqual([line.split()[1] for line in out[2:]], [mac(0), mac(2)])
        self.assertEqual(self.watched(), [mac(0), mac(2)])

        with open(saved, "rb") as f:
            data = f.read()
        broken = os.path.join(self.site.elsewhere, "broken.cfg")
        with open(broken, "wb") as f:
            f.write(data + b"\0" * 100)
        self.fails(self.site.ctl("load", broken), 1, "not a whole number of 1608-byte records")
        # Replacing watched agents is asked first; without a terminal only
        # --yes goes ahead.
        one = os.path.join(self.site.elsewhere, "one.cfg")
        with open(one, "wb") as f:
            f.write(data[1608:])
        self.fails(self.site.ctl("load", one), 2, "add --yes")
        r = self.site.ctl_on_terminal("load", one, answer="no\n")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(f"replace the 2 watched agents with the 1 saved in {one}? [y/N] ", r.stderr)
        self.assertEqual(self.watched(), [mac(0), mac(2)])
        self.ok(self.site.ctl("load", one, "--yes"))
        self.assertEqual(self.watched(), [mac(2)])
        twice = os.path.join(self.site.elsewhere, "twice.cfg")
        with open(twice, "wb") as f:
            f.write(data[:1608] * 2)
        self.fails(self.site.ctl("load", twice, "--yes"), 1, "two records hold the same address")
        self.fails(self.site.ctl("save", "/nonexistent-folder/fleet.cfg"), 1,
                   "/nonexistent-folder/fleet.cfg")
        self.fails(self.site.ctl("load", "missing.cfg"), 2, "the watched agents stay as they are")


if __name__ == "__main__":
    wire.run_tests()
