"""End to end through the SOAP service: the server runs in the server
namespace of a private test network, simulated agents in the LAN namespace.
Discovery, the watched agents and their keep-alive state, traps, and the
metrics scrape."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "netns"))
sys.path.insert(0, os.path.join(ROOT, "tools", "sim"))

import wire  # noqa: E402
from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet, require_netns  # noqa: E402

DISCOVERY_WAIT = 3.5  # the discovery window is 3 s


def elements(xml: str, name: str) -> list[str]:
    return re.findall(rf"<{name}>(.*?)</{name}>|<{name}/>", xml, re.S)


def value(xml: str, name: str) -> str:
    m = re.search(rf"<{name}>(.*?)</{name}>|<{name}/>", xml, re.S)
    if m is None:
        raise AssertionError(f"no <{name}> in {xml[:500]}")
    return m.group(1) or ""


def switch_infos(xml: str) -> list[str]:
    return re.findall(r"<arrList>(.*?)</arrList>", xml, re.S)


def ecftool(*args: str) -> str:
    return subprocess.run([os.path.join(wire.dist_dir(), "tools", "ecftool"), *args],
                          check=True, capture_output=True, text=True).stdout


def scrape() -> dict:
    """GET /metrics, checked as a scraper reads it (promtool, lint
    included); returns {sample with its labels: value}."""
    resp = wire.get("/metrics")
    assert resp.status_line == "HTTP/1.1 200 OK", resp.raw[:300]
    assert resp.headers["content-type"] == "text/plain; version=0.0.4; charset=utf-8", resp.headers
    assert resp.headers["cache-control"] == "no-store", resp.headers
    promtool = shutil.which("promtool")
    assert promtool, "promtool is missing: bash scripts/setup.sh installs it (package prometheus)"
    check = subprocess.run([promtool, "check", "metrics"], input=resp.body, capture_output=True)
    assert check.returncode == 0 and not check.stdout.strip() and not check.stderr.strip(), \
        (check.stdout + check.stderr).decode(errors="replace")
    samples = {}
    for line in resp.text.splitlines():
        if line and not line.startswith("#"):
            name, _, number = line.rpartition(" ")
            samples[name] = float(number)
    return samples


def colon_mac(mac: str) -> str:
    return mac.replace("-", ":").lower()


class Deployment:
    """A test network, the simulator and a server in its own working folder."""

    def __init__(self, agents: int, sim_args: list[str] = (), lans: int = 1):
        self.net = TestNet(lans=lans)
        self.net.up()
        wire.use_namespace(self.net.ns["srv"])
        self.sim = SimProcess.start(self.net, "lan", ["--first-ip", self.net.agent_ip(0, "lan"),
                                                      "--count", str(agents), *sim_args])
        self.workdir = tempfile.mkdtemp(prefix="ferrolink-e2e-")
        os.makedirs(os.path.join(self.workdir, "cfg"))
        # An installed server keeps its default configuration apart from its
        # program folder (FERRO_DEFINE_ECF names it).
        shutil.copy(os.environ.get("FERRO_DEFINE_ECF",
                                   os.path.join(wire.dist_dir(), "cfg", "define.ecf")),
                    os.path.join(self.workdir, "cfg", "define.ecf"))
        self.server = None

    def start_server(self, args: list[str] | None = None) -> wire.Server:
        if self.server:
            self.server.stop()
        self.server = wire.Server(cwd=self.workdir, prefix=["ip", "netns", "exec", self.net.ns["srv"]],
                                  args=args)
        return self.server.start()

    def close(self):
        if self.server:
            self.server.stop()
        self.sim.stop()
        wire.use_namespace(None)
        self.net.down()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def ok(self, operation: str, children: str = "") -> str:
        resp = wire.call(operation, children)
        if "<SOAP-ENV:Fault>" in resp.text or resp.status_line != "HTTP/1.1 200 OK":
            raise AssertionError(f"{operation} failed: {resp.raw[:600]!r}")
        return resp.text

    def fault(self, operation: str, children: str = "") -> str:
        """Calls an operation that must fail; returns the fault's reason."""
        resp = wire.call(operation, children)
        if "<SOAP-ENV:Fault>" not in resp.text:
            raise AssertionError(f"{operation} did not fail: {resp.text[:600]}")
        assert wire.fault_string(resp).startswith("End of file or no input: "), resp.text
        return wire.fault_detail(resp)

    def startup(self) -> int:
        return int(value(self.ok("EngineLayerStartup"), "errorcode"))

    def discover(self) -> None:
        self.ok("SetDiscoverToAgents")
        time.sleep(DISCOVERY_WAIT)

    def agents(self, monitor_num: int = 0) -> list[str]:
        xml = self.ok("GetSwitchInfoList", f"<monitorNum>{monitor_num}</monitorNum>")
        entries = switch_infos(xml)
        assert int(value(xml, "nSwitchNum")) == len(entries)
        return entries

    def monitor(self, count: int) -> list[str]:
        xml = self.ok("GetMonitorStatus", f"<monitorNum>{count}</monitorNum>")
        return re.findall(r"<arrList>(.*?</monitorInfo>.*?)</arrList>", xml, re.S)

    def agent(self, index: int) -> dict:
        return self.sim.client.call("get", agents=index)["agents"][0]


@require_netns
class DiscoveryAndMonitoringTest(unittest.TestCase):
    AGENTS = 6  # the last two in loader mode

    @classmethod
    def setUpClass(cls):
        cls.d = Deployment(cls.AGENTS, ["--loader", "2"])
        cls.d.start_server()
        assert cls.d.startup() == 0

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def setUp(self):
        self.d.sim.client.call("reset")
        self.d.sim.client.call("silence", ms=0)
        # Start every scenario from an empty watch list.
        for entry in self.d.monitor(self.count_watched()):
            self.d.ok("DelMonitorAgent", f"<strIpAddress>{value(entry, 'agentIpAddr')}</strIpAddress>")

    def count_watched(self) -> int:
        n = 0
        while "<SOAP-ENV:Fault>" not in wire.call("GetMonitorStatus",
                                                  f"<monitorNum>{n + 1}</monitorNum>").text:
            n += 1
        return n

    def test_discovery_lists_each_agent_once_with_loader_mode(self):
        self.d.sim.client.call("clear")
        self.d.discover()
        entries = self.d.agents()
        macs = [value(e, "macAddr") for e in entries]
        self.assertEqual(len(macs), self.AGENTS)
        self.assertEqual(len(set(macs)), self.AGENTS)
        # Every agent heard the broadcast and the multicast copy and answered both.
        received = self.d.sim.client.received(opcode=1)
        self.assertGreaterEqual(len(received), 2)
        replies = self.d.sim.client.call("stats")["replies_by_opcode"]
        self.assertEqual(replies.get("2", 0) + replies.get("12", 0), 2 * self.AGENTS)
        loader = {value(e, "macAddr"): value(e, "isLoaderMode") for e in entries}
        expected = {self.d.agent(i)["mac"]: "1" if i >= self.AGENTS - 2 else "0"
                    for i in range(self.AGENTS)}
        self.assertEqual(loader, expected)
        first = next(e for e in entries if value(e, "macAddr") == self.d.agent(0)["mac"])
        self.assertEqual(value(first, "agentIpAddr"), self.d.net.agent_ip(0, "lan"))
        self.assertEqual(value(first, "systemName"), self.d.agent(0)["fields"]["systemName"])

    def test_late_reply_dropped_and_second_discovery_clears(self):
        self.d.sim.client.call("behave", agents=1, reply_delay_ms=3300)
        self.d.discover()
        time.sleep(0.5)
        macs = {value(e, "macAddr") for e in self.d.agents()}
        self.assertEqual(len(macs), self.AGENTS - 1)
        self.assertNotIn(self.d.agent(1)["mac"], macs)
        # Agent 2 goes silent: the next discovery no longer lists it.
        self.d.sim.client.call("reset")
        self.d.sim.client.call("silence", agents=2, ms=-1)
        self.d.discover()
        macs = {value(e, "macAddr") for e in self.d.agents()}
        self.assertIn(self.d.agent(1)["mac"], macs)
        self.assertNotIn(self.d.agent(2)["mac"], macs)

    def test_watch_list_order_dedup_and_faults(self):
        self.d.discover()
        a0, a1 = self.d.agent(0), self.d.agent(1)
        self.d.ok("AddMonitorAgent", f"<strIpAddress>{a0['ip']}</strIpAddress>"
                                     f"<strMacAddr>{a0['mac']}</strMacAddr>")
        # Watching twice is a fault that names the address.
        self.assertEqual(self.d.fault("AddMonitorAgent", f"<strIpAddress>{a0['ip']}</strIpAddress>"
                                                         f"<strMacAddr>{a0['mac']}</strMacAddr>"),
                         f"address {a0['ip']} is already watched")
        # An address must be written out in full and be one an agent can have.
        for bad in ("", "abc", "10.61.9", "10.61.9.9.1", "10.61.9.256", "0.0.0.0",
                    "255.255.255.255", "224.0.0.1", "239.255.255.100"):
            with self.subTest(address=bad):
                self.d.fault("AddMonitorAgent", f"<strIpAddress>{bad}</strIpAddress>"
                                                "<strMacAddr>00-00-00-00-00-00</strMacAddr>")
        # An address nobody discovered is watched with an empty record.
        self.d.ok("AddMonitorAgent", "<strIpAddress>10.61.9.9</strIpAddress>"
                                     "<strMacAddr>00-00-00-00-00-00</strMacAddr>")
        watched = self.d.monitor(2)
        self.assertEqual(value(watched[0], "macAddr"), a0["mac"])
        self.assertEqual(value(watched[0], "systemName"), a0["fields"]["systemName"])
        self.assertEqual(value(watched[1], "agentIpAddr"), "10.61.9.9")
        self.assertEqual(value(watched[1], "macAddr"), "00-00-00-00-00-00")
        self.assertEqual(value(watched[1], "systemName"), "")
        self.assertEqual(value(watched[0], "isAlive"), "1")
        self.assertRegex(value(watched[0], "time"), r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d$")

        # Watched agents first, then the discovered ones not listed yet.
        entries = self.d.agents(2)
        macs = [value(e, "macAddr") for e in entries]
        self.assertEqual(macs[0], a0["mac"])
        self.assertEqual(macs[1], "00-00-00-00-00-00")
        self.assertEqual(len(macs), 2 + self.AGENTS - 1)
        self.assertEqual(len(set(macs)), len(macs))
        # A watched agent discovered again is still listed once.
        self.d.discover()
        macs = [value(e, "macAddr") for e in self.d.agents(2)]
        self.assertEqual(macs.count(a0["mac"]), 1)
        self.assertEqual(len(macs), 2 + self.AGENTS - 1)
        # Asking for more watched agents than there are is a fault.
        for op in ("GetSwitchInfoList", "GetMonitorStatus"):
            self.assertEqual(self.d.fault(op, "<monitorNum>3</monitorNum>"),
                             "monitorNum 3 asks for more agents than are watched (2)")
        # Unwatching puts the agent back among the discovered ones.
        self.d.ok("DelMonitorAgent", f"<strIpAddress>{a1['ip']}</strIpAddress>")  # not watched
        self.d.ok("DelMonitorAgent", f"<strIpAddress>{a0['ip']}</strIpAddress>")
        macs = [value(e, "macAddr") for e in self.d.agents(1)]
        self.assertEqual(macs[0], "00-00-00-00-00-00")
        self.assertEqual(macs.count(a0["mac"]), 1)

    def test_saved_list_round_trip_with_discovered_agents(self):
        self.d.discover()
        a0, a1 = self.d.agent(0), self.d.agent(1)
        for a in (a1, a0):  # watched in this order
            self.d.ok("AddMonitorAgent", f"<strIpAddress>{a['ip']}</strIpAddress>"
                                         f"<strMacAddr>{a['mac']}</strMacAddr>")
        first = os.path.join(self.d.workdir, "watched.cfg")
        self.assertEqual(value(self.d.ok("SaveFile", f"<filepath>{first}</filepath>"), "errorcode"), "0")
        with open(first, "rb") as f:
            saved = f.read()
        self.assertEqual(len(saved), 2 * 1608)
        self.assertEqual(saved[244:248], socket.inet_aton(a1["ip"]))
        self.assertEqual(saved[1608 + 244:1608 + 248], socket.inet_aton(a0["ip"]))
        self.assertEqual(saved[788:794].hex("-").upper(), a1["mac"])

        # Unwatch both, load the file: the same agents, in the same order.
        for a in (a0, a1):
            self.d.ok("DelMonitorAgent", f"<strIpAddress>{a['ip']}</strIpAddress>")
        xml = self.d.ok("LoadFile", f"<filepath>{first}</filepath>")
        self.assertEqual((value(xml, "nErrorCode"), value(xml, "nMonitorNum")), ("0", "2"))
        watched = self.d.monitor(2)
        self.assertEqual([value(w, "agentIpAddr") for w in watched], [a1["ip"], a0["ip"]])
        self.assertEqual([value(w, "macAddr") for w in watched], [a1["mac"], a0["mac"]])
        self.assertEqual(value(watched[0], "systemName"), a1["fields"]["systemName"])
        # Saved again, each agent's record is the same, byte for byte.
        again = os.path.join(self.d.workdir, "again.cfg")
        self.d.ok("SaveFile", f"<filepath>{again}</filepath>")
        with open(again, "rb") as f:
            resaved = f.read()
        for i in range(2):
            self.assertEqual(resaved[i * 1608:i * 1608 + 1600], saved[i * 1608:i * 1608 + 1600])

    def test_keep_alive_dead_at_third_silent_poll_and_back(self):
        self.d.ok("SetRefreshTime", "<monitorPollingInterval>1</monitorPollingInterval>")
        try:
            a3 = self.d.agent(3)
            # Watched by address only: its MAC is learnt from its first reply.
            self.d.ok("AddMonitorAgent", f"<strIpAddress>{a3['ip']}</strIpAddress>"
                                         "<strMacAddr>bad</strMacAddr>")
            self.assertEqual(value(self.d.monitor(1)[0], "macAddr"), "00-00-00-00-00-00")
            deadline = time.monotonic() + 5
            while value(self.d.monitor(1)[0], "macAddr") != a3["mac"]:
                self.assertLess(time.monotonic(), deadline, "MAC never learnt")
                time.sleep(0.2)
            status = self.d.monitor(1)[0]
            self.assertEqual(value(status, "systemName"), a3["fields"]["systemName"])
            self.assertEqual(value(status, "isAlive"), "1")

            polls_before = len(self.d.sim.client.received(opcode=5))
            self.d.sim.client.call("silence", agents=3, ms=-1)
            silenced = time.monotonic()
            deadline = silenced + 8
            while value(self.d.monitor(1)[0], "isAlive") != "0":
                self.assertLess(time.monotonic(), deadline, "never reported dead")
                time.sleep(0.1)
            # Dead at the third silent poll: about two intervals after the first.
            self.assertGreaterEqual(time.monotonic() - silenced, 1.5)
            counted = scrape()
            self.assertEqual((counted["ferrolink_agents_watched"], counted["ferrolink_agents_alive"]),
                             (1, 0))
            self.assertGreaterEqual(len(self.d.sim.client.received(opcode=5)) - polls_before, 3)

            self.d.sim.client.call("silence", agents=3, ms=0)
            deadline = time.monotonic() + 5
            while value(self.d.monitor(1)[0], "isAlive") != "1":
                self.assertLess(time.monotonic(), deadline, "never alive again")
                time.sleep(0.1)
        finally:
            self.d.ok("SetRefreshTime", "<monitorPollingInterval>15</monitorPollingInterval>")

    def test_traps_push_and_drain(self):
        push = wire.connect(("127.0.0.1", wire.PUSH_PORT), timeout=10)
        try:
            push.sendall(b"ui")
            self.d.server.wait_log("we can send messge now!")
            self.d.ok("SetTrapHwnd")
            self.d.ok("GetTrapList")  # drain anything earlier
            srv = self.d.net.srv_ip
            self.d.sim.client.call("trap", agents=0, kind="plain", text="port 3 link down", to=srv)
            self.d.sim.client.call("trap", agents=1, kind="tlv", text="fan failure", to=srv)
            got = b""
            while got.count(b"trap\0") < 2:
                chunk = push.recv(100)
                self.assertTrue(chunk, "push channel closed")
                got += chunk
            self.assertEqual(got, b"trap\0trap\0")
            xml = self.d.ok("GetTrapList")
            self.assertEqual(value(xml, "nTrapNum"), "2")
            traps = switch_infos(xml)
            texts = {value(t, "string"): t for t in traps}
            plain = texts["port 3 link down"]
            self.assertEqual(value(plain, "ip"), self.d.agent(0)["ip"])
            self.assertEqual(value(plain, "location"), "")
            tlv = texts["fan failure"]
            self.assertEqual(value(tlv, "ip"), self.d.agent(1)["ip"])
            self.assertEqual(value(tlv, "location"), self.d.agent(1)["fields"]["location"])
            self.assertRegex(value(tlv, "time"), r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d$")
            self.assertEqual(value(self.d.ok("GetTrapList"), "nTrapNum"), "0")
            self.assertRegex(self.d.server.log(), r"receive trap number : \d+ \n")
        finally:
            push.close()

    def test_metrics_scraped_and_moving_with_the_agents(self):
        before = scrape()
        # Discovery: every agent that answered well is listed; the damaged
        # replies are counted by what was wrong with them.
        self.d.sim.client.call("behave", agents=4, malformed="oversize")
        self.d.sim.client.call("behave", agents=5, malformed="overrun")
        self.d.discover()
        after = scrape()
        self.assertEqual(after["ferrolink_engine_running"], 1)
        self.assertEqual(after["ferrolink_agents_discovered"], self.AGENTS - 2)
        self.assertGreaterEqual(after["ferrolink_datagrams_received_total"]
                                - before["ferrolink_datagrams_received_total"], 2 * self.AGENTS)
        for sample in ('ferrolink_datagrams_malformed_total{reason="item_overrun"}',
                       'ferrolink_datagrams_dropped_total{reason="bad_size"}'):
            self.assertGreaterEqual(after[sample] - before[sample], 1, sample)

        # Watching an agent: watched and alive.
        a0, a1 = self.d.agent(0), self.d.agent(1)
        self.d.ok("AddMonitorAgent", f"<strIpAddress>{a0['ip']}</strIpAddress>"
                                     f"<strMacAddr>{a0['mac']}</strMacAddr>")
        after = scrape()
        self.assertEqual((after["ferrolink_agents_watched"], after["ferrolink_agents_alive"]), (1, 1))

        # Traps, by the agent that sent them.
        self.d.ok("GetTrapList")
        for agent, text in ((0, "port 1 up"), (1, "port 2 up"), (1, "port 2 down")):
            self.d.sim.client.call("trap", agents=agent, kind="plain", text=text, to=self.d.net.srv_ip)
        traps = [f'ferrolink_traps_received_total{{mac="{colon_mac(a["mac"])}"}}' for a in (a0, a1)]
        deadline = time.monotonic() + 5
        while True:
            after = scrape()
            moved = [after.get(t, 0) - before.get(t, 0) for t in traps]
            if moved == [1, 2] or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        self.assertEqual(moved, [1, 2])
        self.assertEqual(after['ferrolink_traps_received_total{mac="other"}'], 0)

        # SOAP requests by operation and outcome, each timed once.
        ok = 'ferrolink_soap_requests_total{operation="GetMonitorStatus",outcome="ok"}'
        fault = 'ferrolink_soap_requests_total{operation="GetMonitorStatus",outcome="fault"}'
        timed = 'ferrolink_soap_request_duration_seconds_count{operation="GetMonitorStatus"}'
        slow = 'ferrolink_soap_request_duration_seconds_bucket{operation="GetMonitorStatus",le="10"}'
        before = scrape()
        self.d.monitor(1)
        self.d.fault("GetMonitorStatus", "<monitorNum>9</monitorNum>")
        after = scrape()
        self.assertEqual([after[k] - before.get(k, 0) for k in (ok, fault, timed, slow)], [1, 1, 2, 2])

        # Not for another host, nor for a web page of another origin.
        def from_own_address():
            s = socket.create_connection((self.d.net.srv_ip, wire.SERVICE_PORT), timeout=10,
                                         source_address=(self.d.net.srv_ip, 0))
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
            with s:
                return wire.Response(b"".join(iter(lambda: s.recv(65536), b"")))
        foreign = wire.Response(wire.exchange(b"GET /metrics HTTP/1.1\r\nHost: x\r\n"
                                              b"Origin: http://example.com\r\n\r\n"))
        for resp in (wire.in_namespace(from_own_address), foreign):
            self.assertEqual(resp.status_line, "HTTP/1.1 403 Forbidden")
            self.assertNotIn(b"ferrolink_", resp.body)
        self.d.server.wait_log("metrics request refused: not from this machine")

    def test_agent_text_never_breaks_the_xml(self):
        # Bytes that are not UTF-8 and control bytes from one agent must not
        # make the answers unreadable for every XML client ("\udce9" is the
        # raw byte 0xE9 on the simulator's wire).
        from lxml import etree
        strict = etree.XMLParser(recover=False)
        original = self.d.agent(0)["fields"]
        try:
            self.d.ok("GetTrapList")  # drain anything earlier
            self.d.sim.client.call("set", agents=0, fields={"systemName": "caf\udce9\x07",
                                                            "location": "rack\x01 3"})
            self.d.discover()
            root = etree.fromstring(wire.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>").body,
                                    strict)
            self.assertIn("rack\ufffd 3", root.xpath("//location/text()"))
            self.assertTrue(any(n.startswith("caf") for n in root.xpath("//systemName/text()")))
            self.d.sim.client.call("trap", agents=0, kind="plain", text="fan \udce9\x02!",
                                   to=self.d.net.srv_ip)
            deadline = time.monotonic() + 5
            texts = []
            while not texts and time.monotonic() < deadline:
                root = etree.fromstring(wire.call("GetTrapList").body, strict)
                texts = root.xpath("//string/text()")
                time.sleep(0.1)
            self.assertEqual(texts, ["fan \u00e9\ufffd!"])
        finally:
            self.d.sim.client.call("set", agents=0, fields={
                "systemName": original["systemName"], "location": original["location"]})


@require_netns
class StartupAndSettingsTest(unittest.TestCase):
    def setUp(self):
        self.d = Deployment(1)
        self.ecf = os.path.join(self.d.workdir, "cfg", "define.ecf")

    def tearDown(self):
        self.d.close()

    def test_missing_and_damaged_configuration(self):
        os.remove(self.ecf)
        self.d.start_server()
        self.assertEqual(self.d.startup(), 1)
        self.d.server.stop()
        ecftool("write", self.ecf)
        with open(self.ecf, "r+b") as f:  # one printable character changed
            data = bytearray(f.read())
            data[3] = data[3] + 1 if data[3] < 126 else data[3] - 1
            f.seek(0)
            f.write(data)
        self.d.start_server()
        self.assertEqual(self.d.startup(), 1)

    def test_discovery_port_taken(self):
        blocker = subprocess.Popen(
            ["ip", "netns", "exec", self.d.net.ns["srv"], sys.executable, "-c",
             "import socket,time; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM);"
             "s.bind(('0.0.0.0', 64513)); print('bound', flush=True); time.sleep(60)"],
            stdout=subprocess.PIPE)
        try:
            self.assertEqual(blocker.stdout.readline(), b"bound\n")
            self.d.start_server()
            self.assertEqual(self.d.startup(), 2)
            self.assertIn("check socket WSAGetLastError() = ", self.d.server.log())
        finally:
            blocker.kill()
            blocker.wait()
            blocker.stdout.close()

    def test_intervals_round_trip_and_file(self):
        self.d.start_server()
        self.assertEqual(self.d.startup(), 0)
        self.d.ok("SetUtilityGroupInterval", "<groupInterval>125</groupInterval>")
        self.assertEqual(value(self.d.ok("GetUtilityGroupInterval"), "groupInterval"), "125")
        self.assertIn("igmp_report_interval: 120 s", ecftool("show", self.ecf))
        self.d.ok("SetRefreshTime", "<monitorPollingInterval>30</monitorPollingInterval>")
        for op in ("GetRefreshTime", "GetRefreshTimeEx"):
            self.assertEqual(value(self.d.ok(op), "monitorPollingInterval"), "30")
        shown = ecftool("show", self.ecf)
        self.assertIn("checksum: valid", shown)
        self.assertIn("monitor_polling_interval: 30 s", shown)
        self.assertIn("igmp_report_interval: 125 s", shown)

    def test_close_says_app_exit_then_exits(self):
        self.d.start_server()
        self.assertEqual(self.d.startup(), 0)
        push = wire.connect(("127.0.0.1", wire.PUSH_PORT), timeout=10)
        push.sendall(b"ui")
        self.d.server.wait_log("we can send messge now!")
        start = time.monotonic()
        self.assertEqual(wire.call("GSoapClose").raw, wire.ACCEPTED)
        self.assertEqual(push.recv(100), b"app_exit\0")
        self.assertEqual(self.d.server.proc.wait(timeout=10), 0)
        self.assertGreaterEqual(time.monotonic() - start, 0.45)
        push.close()


# Counts the IPv4 and ARP frames that leave each interface named, for a
# number of seconds; prints "ready" once listening, then {iface: count}.
CAPTURE = """
import json, socket, sys, time
ifaces, seconds = sys.argv[1].split(","), float(sys.argv[2])
socks = {}
for name in ifaces:
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
    s.bind((name, 0))
    s.setblocking(False)
    socks[name] = s
counts = dict.fromkeys(ifaces, 0)
print("ready", flush=True)
end = time.monotonic() + seconds
while time.monotonic() < end:
    time.sleep(0.05)
    for name, s in socks.items():
        while True:
            try:
                frame, addr = s.recvfrom(65535)
            except BlockingIOError:
                break
            if addr[2] == socket.PACKET_OUTGOING and frame[12:14] in (b"\\x08\\x00", b"\\x08\\x06"):
                counts[name] += 1
print(json.dumps(counts), flush=True)
"""


@require_netns
class UnattendedTest(unittest.TestCase):
    """A server that runs on its own: its engine started at launch, its
    watched list kept across restarts (killed too), a damaged kept list set
    aside, and the engine limited to the interfaces named."""

    KEEP = ["--start-engine", "--keep-watched-list"]

    def setUp(self):
        self.d = Deployment(3, lans=2)
        self.kept = os.path.join(self.d.workdir, "watched.cfg")

    def tearDown(self):
        self.d.close()

    def watch(self, a: dict) -> None:
        self.d.ok("AddMonitorAgent", f"<strIpAddress>{a['ip']}</strIpAddress>"
                                     f"<strMacAddr>{a['mac']}</strMacAddr>")

    def kept_ips(self) -> list[str]:
        with open(self.kept, "rb") as f:
            data = f.read()
        self.assertEqual(len(data) % 1608, 0, "a torn kept list")
        return [socket.inet_ntoa(data[i + 244:i + 248]) for i in range(0, len(data), 1608)]

    def watched_ips(self, count: int) -> list[str]:
        return [value(w, "agentIpAddr") for w in self.d.monitor(count)]

    def test_started_at_launch_limited_and_the_list_outlives_restarts(self):
        d = self.d
        capture = subprocess.Popen(
            ["ip", "netns", "exec", d.net.ns["srv"], sys.executable, "-c", CAPTURE,
             f"{d.net.srv_iface(0)},{d.net.srv_iface(1)}", "8"],
            stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(capture.stdout.readline(), "ready\n")
            d.start_server(self.KEEP + ["--interfaces", f"nosuch0,{d.net.srv_iface(0)}"])
            # No EngineLayerStartup from any client: the engine runs, through
            # the same operation, and discovers on the LAN named only.
            d.discover()
            self.assertEqual(len(d.agents()), 3)
            log = d.server.log()
            self.assertEqual(log.count("EngineLayerStartup begin."), 1, log)
            self.assertEqual(log.count('no interface "nosuch0"'), 1, log)
            self.assertIn("watched.cfg yet; the list starts empty", log)
            counts = json.loads(capture.communicate(timeout=20)[0])
        finally:
            capture.kill()
            capture.wait()
        self.assertGreater(counts[d.net.srv_iface(0)], 0, counts)
        self.assertEqual(counts[d.net.srv_iface(1)], 0, counts)  # no IGMP, broadcast, ARP
        # Sockets on the named interface's address only; restarted without
        # the limit, on both.
        self.assertIn("10.61.0.1", d.net.run_in("srv", ["ss", "-uanH"]).stdout)
        self.assertNotIn("192.168.0.1", d.net.run_in("srv", ["ss", "-uanH"]).stdout)

        a = [d.agent(i) for i in range(3)]
        self.watch(a[1])
        self.watch(a[0])
        self.assertEqual(self.kept_ips(), [a[1]["ip"], a[0]["ip"]])
        d.server.proc.send_signal(signal.SIGTERM)
        d.server.proc.wait(timeout=10)
        d.start_server(self.KEEP)
        self.assertEqual(self.watched_ips(2), [a[1]["ip"], a[0]["ip"]])
        self.assertIn("2 agents loaded from", d.server.log())
        self.assertIn("192.168.0.1", d.net.run_in("srv", ["ss", "-uanH"]).stdout)

        # Killed while the list changes: the file holds one whole list.
        d.ok("DelMonitorAgent", f"<strIpAddress>{a[1]['ip']}</strIpAddress>")
        self.assertEqual(self.kept_ips(), [a[0]["ip"]])
        old, new = [a[0]["ip"]], [a[0]["ip"], a[2]["ip"]]
        changer = subprocess.Popen(
            [sys.executable, "-c", "import sys, time\nsys.path.insert(0, %r)\nimport wire\n"
             "wire.use_namespace(%r)\n"
             "while True:\n"
             "    wire.call('AddMonitorAgent', '<strIpAddress>%s</strIpAddress>')\n"
             "    wire.call('DelMonitorAgent', '<strIpAddress>%s</strIpAddress>')\n"
             % (HERE, d.net.ns["srv"], a[2]["ip"], a[2]["ip"])],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(1.5)
            d.server.proc.kill()
            d.server.proc.wait()
        finally:
            changer.kill()
            changer.wait()
        # Killed amid many changes, each one written.
        self.assertGreater(d.server.log().count(f"AddMonitorAgent begin, ip ={a[2]['ip']}"), 10)
        after_kill = self.kept_ips()
        self.assertIn(after_kill, (old, new))
        d.start_server(self.KEEP)
        self.assertEqual(self.watched_ips(len(after_kill)), after_kill)
        self.assertFalse(os.path.exists(self.kept + ".bad"))

    def test_a_damaged_kept_list_is_set_aside_and_the_server_starts(self):
        d = self.d
        # This time the options stand in define.ecf.
        ecf = os.path.join(d.workdir, "cfg", "define.ecf")
        tool = os.path.join(wire.dist_dir(), "tools", "ecftool")
        # The tool's decode ends with a line end of its own.
        plain = subprocess.run([tool, "decode", ecf], check=True,
                               capture_output=True).stdout.removesuffix(b"\n")
        subprocess.run([tool, "encode", ecf], check=True,
                       input=b"engine_start=1\r\nwatched_list_keep=1\r\n" + plain)
        damaged = b"\x01" * 1608 + b"torn"
        with open(self.kept, "wb") as f:
            f.write(damaged)
        d.start_server()
        log = d.server.wait_log("set aside as")
        self.assertEqual(log.count("ends in a partial record; the list starts empty"), 1, log)
        with open(self.kept + ".bad", "rb") as f:
            self.assertEqual(f.read(), damaged)
        self.assertFalse(os.path.exists(self.kept))
        # Started at launch all the same, and keeping again from the first change.
        d.discover()
        self.assertEqual(len(d.agents()), 3)
        self.watch(d.agent(2))
        self.assertEqual(self.kept_ips(), [d.agent(2)["ip"]])
        with open(self.kept + ".bad", "rb") as f:
            self.assertEqual(f.read(), damaged)


def api(target: str) -> dict:
    """A JSON answer of the history's endpoints, which must be 200."""
    resp = wire.get(target)
    assert resp.status_line == "HTTP/1.1 200 OK", resp.raw[:400]
    assert resp.headers.get("cache-control") == "no-store", resp.headers
    return json.loads(resp.text)


def wait_event(kind: str, match=lambda e: True, after: int = 0, timeout: float = 10) -> dict:
    """The first event of `kind` after id `after` that `match` accepts."""
    deadline = time.monotonic() + timeout
    while True:
        for e in api(f"/api/events?kind={kind}&order=asc&after={after}&limit=1000")["events"]:
            if match(e):
                return e
        if time.monotonic() > deadline:
            raise AssertionError(f"no {kind} event: {api('/api/events?limit=50')}")
        time.sleep(0.2)


@require_netns
class EventHistoryTest(unittest.TestCase):
    """What happens is kept: traps, an agent dead and alive again, a rename,
    a failed upload, discovery runs and saved lists appear as events with
    their fields, and they and the inventory outlive a restart."""

    @classmethod
    def setUpClass(cls):
        cls.d = Deployment(3)

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def test_events_and_inventory_survive_a_restart(self):
        d = self.d
        d.start_server()
        self.assertEqual(d.startup(), 0)
        start = wait_event("server_start")
        d.ok("SetRefreshTime", "<monitorPollingInterval>1</monitorPollingInterval>")
        a = [d.agent(i) for i in range(3)]
        mac = [x["mac"].lower().replace("-", ":") for x in a]

        d.discover()
        self.assertEqual(wait_event("discovery")["fields"], {"answered": 3})
        inventory = api("/api/inventory")["agents"]
        self.assertEqual(sorted(x["mac"] for x in inventory), sorted(mac))
        self.assertTrue(all(x["online"] for x in inventory))
        self.assertEqual(next(x for x in inventory if x["mac"] == mac[1])["name"],
                         a[1]["fields"]["systemName"])

        # Traps of both kinds, with their decoded fields.
        srv = d.net.srv_ip
        d.sim.client.call("trap", agents=0, kind="plain", text="port 3 link down", to=srv)
        d.sim.client.call("trap", agents=1, kind="tlv", text="fan failure", to=srv)
        plain = wait_event("trap", lambda e: e["text"] == "port 3 link down")
        self.assertEqual((plain["mac"], plain["address"]), (mac[0], a[0]["ip"]))
        self.assertEqual(plain["fields"]["trap_name"], "plain")
        tlv = wait_event("trap", lambda e: e["text"] == "fan failure")
        self.assertEqual(tlv["fields"]["location"], a[1]["fields"]["location"])
        self.assertEqual(tlv["fields"]["trap_name"], "tlv")

        # A watched agent goes dead, then answers again.
        d.ok("AddMonitorAgent", f"<strIpAddress>{a[2]['ip']}</strIpAddress>"
                                f"<strMacAddr>{a[2]['mac']}</strMacAddr>")
        time.sleep(1.5)
        d.sim.client.call("silence", agents=2, ms=-1)
        dead = wait_event("agent_dead")
        self.assertEqual((dead["mac"], dead["address"]), (mac[2], a[2]["ip"]))
        d.sim.client.call("silence", agents=2, ms=0)
        self.assertGreater(wait_event("agent_alive", after=dead["id"])["id"], dead["id"])

        # A rename: the field that changes, old -> new, then the outcome.
        old_name = a[0]["fields"]["systemName"]
        d.ok("SetDeviceCfgEx", f"<systemName>room-4</systemName><macAddr>{a[0]['mac']}</macAddr>"
                               "<operate>0</operate>")
        started = wait_event("set_started")
        self.assertEqual(started["fields"]["operate"], "set_config")
        self.assertEqual(started["fields"]["changes"],
                         [{"field": "systemName", "old": old_name, "new": "room-4"}])
        outcome = wait_event("set_outcome")
        self.assertEqual((outcome["mac"], outcome["fields"]["result"],
                          outcome["fields"]["timed_out"]), (mac[0], 0, False))

        # An upload the agent refuses: queued, then its end in words.
        image = os.path.join(d.workdir, "fw.bin")
        with open(image, "wb") as f:
            f.write(b"\x5a" * 1000)
        d.sim.client.call("behave", agents=1, upgrade_result=2)
        d.ok("SetFwFilePath", f"<strFwFilePath>{image}</strFwFilePath><strUpType>firmware</strUpType>"
                              "<strEncryptKey></strEncryptKey><intFileSize>1000</intFileSize>")
        d.ok("AddUpgradeAgentEx", f"<macAddr>{a[1]['mac']}</macAddr><password>admin</password>")
        d.ok("StartUpgrade")
        queued = wait_event("upload_queued")
        self.assertEqual((queued["mac"], queued["fields"]["file"]), (mac[1], "fw.bin"))
        end = wait_event("upload_end")
        self.assertEqual((end["fields"]["state"], end["fields"]["code"]), ("Failed", 4))
        self.assertEqual(end["fields"]["code_text"], "the agent refused the upgrade")
        d.ok("EndUpgrade")

        saved = os.path.join(d.workdir, "watched.cfg")
        d.ok("SaveFile", f"<filepath>{saved}</filepath>")
        self.assertEqual(wait_event("list_save")["fields"], {"file": saved, "count": 1, "ok": True})

        # Filters as a follower and a reader use them.
        before = api("/api/events?limit=1000")
        self.assertEqual(before["newest_id"], before["events"][0]["id"])
        self.assertEqual(before["lost"], 0)
        ids = [e["id"] for e in before["events"]]
        self.assertEqual(ids, sorted(ids, reverse=True))
        by_mac = api(f"/api/events?mac={a[0]['mac']}&limit=1000")["events"]
        self.assertTrue(by_mac and all(e["mac"] == mac[0] for e in by_mac))
        self.assertEqual(wire.get("/api/events?limit=5000").status_line, "HTTP/1.1 400 Bad Request")
        # Like SOAP: not for web pages of other origins; read with GET only.
        foreign = wire.Response(wire.exchange(b"GET /api/events HTTP/1.1\r\nHost: x\r\n"
                                              b"Origin: http://example.net\r\n\r\n"))
        self.assertEqual(foreign.status_line, "HTTP/1.1 403 Forbidden")
        self.assertEqual(wire.Response(wire.exchange(b"DELETE /api/events HTTP/1.1\r\n\r\n"))
                         .status_line, "HTTP/1.1 405 Method Not Allowed")

        # A stop by signal is an event too; after the restart everything is
        # there, and the inventory knows the agents, offline until asked.
        d.server.proc.send_signal(signal.SIGTERM)
        d.server.proc.wait(timeout=10)
        d.start_server()
        # The start is written by the store's own thread, soon after the port opens.
        wait_event("server_start", after=before["newest_id"])
        after = api("/api/events?limit=1000")["events"]
        self.assertEqual([e for e in after if e["id"] <= before["newest_id"]], before["events"])
        self.assertEqual([e["kind"] for e in after if e["id"] > before["newest_id"]][:2],
                         ["server_start", "server_stop"])
        self.assertEqual(api("/api/inventory")["agents"], [])
        offline = api("/api/inventory?offline=1")["agents"]
        self.assertEqual(sorted(x["mac"] for x in offline), sorted(mac))

        # A silenced agent stays listed offline after the next discovery,
        # with the time it was last seen.
        self.assertEqual(d.startup(), 0)
        d.sim.client.call("silence", agents=2, ms=-1)
        d.discover()
        wait_event("discovery", after=before["newest_id"])
        online = {x["mac"]: x for x in api("/api/inventory?offline=1")["agents"]}
        self.assertEqual([online[m]["online"] for m in mac], [True, True, False])
        self.assertLess(online[mac[2]]["last_seen"], online[mac[0]]["last_seen"])
        self.assertNotIn(mac[2], [x["mac"] for x in api("/api/inventory")["agents"]])
        d.sim.client.call("silence", agents=2, ms=0)
        # Forgotten, it is gone from the list; a second time it is unknown.
        forget = f"DELETE /api/inventory?mac={a[2]['mac']} HTTP/1.1\r\n\r\n".encode()
        gone = wire.Response(wire.exchange(forget))
        self.assertEqual(json.loads(gone.text), {"forgotten": mac[2]})
        self.assertEqual(wire.Response(wire.exchange(forget)).status_line, "HTTP/1.1 404 Not Found")
        self.assertEqual(len(api("/api/inventory?offline=1")["agents"]), 2)

    def test_unwritable_database_counts_events_lost(self):
        """A full disk under the database: the server answers on, events are
        counted lost; once there is room again they are written."""
        d = self.d
        folder = tempfile.mkdtemp(prefix="ferrolink-small-")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", folder], check=True)
        ecf = os.path.join(d.workdir, "cfg", "define.ecf")
        with open(ecf, "rb") as f:
            original = f.read()
        try:
            # Moved by a line of define.ecf (before the interval lines, which
            # a change of interval rewrites).
            db = os.path.join(folder, "events.db")
            tool = os.path.join(wire.dist_dir(), "tools", "ecftool")
            # The tool's decode ends with a line end of its own.
            plain = subprocess.run([tool, "decode", ecf], check=True,
                                   capture_output=True).stdout.removesuffix(b"\n")
            subprocess.run([tool, "encode", ecf], check=True,
                           input=f"event_database={db}\r\n".encode() + plain)
            d.start_server()
            self.assertEqual(d.startup(), 0)
            self.assertEqual(wait_event("server_start")["fields"]["database"], db)
            filler = os.path.join(folder, "filler")
            fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
            try:
                while os.write(fd, b"\0" * 4096) > 0:
                    pass
            except OSError:
                pass  # full
            finally:
                os.close(fd)
            srv = d.net.srv_ip
            lost = 0
            for _ in range(40):
                d.sim.client.call("flood", agents=0, count=200, to=srv, pps=2000)
                time.sleep(0.2)
                lost = api("/api/events?limit=1")["lost"]
                if lost:
                    break
            self.assertGreater(lost, 0)
            self.assertIn("cannot be written", d.server.log())
            # Still answering, SOAP and the history alike.
            d.ok("GetSwitchInfoList", "<monitorNum>0</monitorNum>")
            os.remove(filler)
            d.sim.client.call("trap", agents=0, kind="plain", text="room again", to=srv)
            wait_event("trap", lambda e: e["text"] == "room again")
            self.assertIn("is written again", d.server.log())
        finally:
            if d.server:
                d.server.stop()
                d.server = None
            subprocess.run(["umount", folder], check=False)
            shutil.rmtree(folder, ignore_errors=True)
            with open(ecf, "wb") as f:
                f.write(original)


if __name__ == "__main__":
    wire.run_tests()
