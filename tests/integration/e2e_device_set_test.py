"""End to end through the SOAP service: changing agents' settings and
collecting the outcomes. The server runs in the server namespace of a private
test network, simulated agents (which apply what they are sent and report
it) in the LAN namespace.

Run with the argument "timeout" for the one case that waits out the
50-second limit (its own CTest test, so it runs beside the others)."""

import json
import os
import re
import socket
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

import wire  # noqa: E402
from e2e_discovery_test import Deployment, scrape, switch_infos, value  # noqa: E402
from testnet import require_netns  # noqa: E402

# The parameters of SetDeviceCfgEx besides operate, in contract order.
EX_PARAMS = (
    "systemName location systemTime controllerIPURL controlledByAC loginUser agentIpAddr "
    "agentNetmask agentGateway agentDNS1 agentDNS2 trapIpAddr newPasseord oldPassword dhcpMode "
    "groupTimer snmpMode macAddr vlanID wifiEnable wifiSSID wifiKey wifiBand wifiChannel "
    "wifiCurrentChannel wifiSecurity radiusIP radiusPort radiusSecret wifi80211Mode wifiVisible "
    "wifiSupportChannel wifiChannelWidth wifiSSIDIsolution wifiVlanID bandwidthControl "
    "rssiScanner txPowerLevel wifiEnable5G wifiSSID5G wifiKey5G wifiChannel5G "
    "wifiCurrentChannel5G wifiSecurity5G radiusIP5G radiusPort5G radiusSecret5G wifi80211Mode5G "
    "wifiVisible5G wifiSupportChannel5G wifiChannelWidth5G wifiSSIDIsolution5G wifiVlanID5G "
    "bandwidthControl5G rssiScanner5G txPowerLevel5G fwDomain wifiBandSteering wifiRoaming"
).split()
assert len(EX_PARAMS) == 59

# Which item a settings command carries, by function word and bit, in order
# (the protocol's selection table, written out here on its own).
SELECTION = [
    (9, 0, 8), (1, 0, 0), (2, 0, 1), (3, 0, 2), (4, 0, 3), (5, 0, 4), (6, 0, 5), (41, 0, 2),
    (42, 0, 2), (7, 0, 6), (8, 0, 7), (10, 0, 9), (24, 0, 23), (26, 0, 25), (22, 0, 21),
    (25, 0, 24), (27, 0, 26), (28, 0, 27), (29, 0, 30), (43, 1, 2), (44, 1, 2), (50, 2, 1),
    (51, 2, 1), (52, 2, 1), (108, 1, 7), (100, 1, 1), (101, 1, 2), (103, 1, 3), (102, 1, 8),
    (104, 1, 4), (105, 1, 5), (106, 1, 2), (107, 1, 6), (110, 1, 2), (111, 0, 2), (112, 1, 2),
    (113, 1, 2), (116, 1, 2), (117, 1, 2), (118, 1, 9), (119, 1, 9), (120, 1, 9), (130, 1, 1),
    (131, 1, 2), (133, 1, 3), (132, 1, 8), (134, 1, 4), (135, 1, 5), (136, 1, 2), (137, 1, 6),
    (139, 1, 2), (140, 0, 2), (141, 1, 2), (142, 1, 2), (145, 1, 2), (146, 1, 2), (147, 1, 9),
    (148, 1, 9), (149, 1, 9), (161, 1, 2), (163, 1, 2), (164, 1, 10),
]


def expected_items(info: str) -> list[int]:
    """The item types a settings command for this SwitchInfo must carry."""
    words = [int(value(info, f"funBitmap{i}")) for i in range(3)]
    skip = set()
    if value(info, "newPasseord") == "":
        skip.add(8)
    for t, name in ((10, "dhcpMode"), (24, "lldpMode"), (26, "snmpMode")):
        if value(info, name) == "3":
            skip.add(t)
    if value(info, "groupTimer") == str(0xFFFFFFFF):
        skip.add(22)
    return [t for t, w, b in SELECTION if (words[w] >> b) & 1 and t not in skip]


def replace_element(xml: str, name: str, text: str) -> str:
    return re.sub(rf"<{name}>.*?</{name}>|<{name}/>", f"<{name}>{text}</{name}>", xml, count=1,
                  flags=re.S)


class Notices:
    """The user interface's end of the push channel, read in the background."""

    def __init__(self, server: wire.Server):
        self.sock = wire.connect(("127.0.0.1", wire.PUSH_PORT), timeout=10)
        self.sock.sendall(b"ui")
        server.wait_log("we can send messge now!")
        self.sock.settimeout(None)  # notices may be a minute apart
        self.data = b""
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            try:
                chunk = self.sock.recv(4096)
            except OSError:
                return
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def count(self) -> int:
        with self.lock:
            return self.data.count(b"device_set\0")

    def wait(self, n: int, timeout: float = 5.0) -> int:
        deadline = time.monotonic() + timeout
        while self.count() < n and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.count()

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


class DeviceSetBase(unittest.TestCase):
    d: Deployment

    def entry(self, mac: str, monitor_num: int = 0) -> str:
        for info in self.d.agents(monitor_num):
            if value(info, "macAddr") == mac:
                return info
        raise AssertionError(f"{mac} is not listed")

    def set_ex(self, info: str, operate: int, **changes) -> wire.Response:
        """SetDeviceCfgEx with the agent's listed values, changed as given."""
        params = {name: value(info, name) for name in EX_PARAMS}
        params.update({k: str(v) for k, v in changes.items()})
        children = "".join(f"<{k}>{v}</{k}>" for k, v in params.items())
        return wire.call("SetDeviceCfgEx", children + f"<operate>{operate}</operate>")

    def set_cfg(self, info: str, operate: int) -> wire.Response:
        return wire.call("SetDeviceCfg", f"<switchInfo>{info}</switchInfo><operate>{operate}</operate>")

    def results(self) -> list[str]:
        xml = self.d.ok("GetOperateResult")
        entries = switch_infos(xml)
        self.assertEqual(int(value(xml, "nOperateNum")), len(entries))
        return entries

    def wait_results(self, n: int, timeout: float = 5.0) -> list[str]:
        got = []
        deadline = time.monotonic() + timeout
        while len(got) < n and time.monotonic() < deadline:
            got += self.results()
            if len(got) < n:
                time.sleep(0.05)
        self.assertEqual(len(got), n, got)
        return got

    def commands(self, index: int) -> list[dict]:
        return self.d.agent(index)["commands"]


@require_netns
class DeviceSetTest(DeviceSetBase):
    AGENTS = 5  # switches but agent 2, an access point; the last one in loader mode

    @classmethod
    def setUpClass(cls):
        cls.d = Deployment(cls.AGENTS, ["--kind", "mix", "--loader", "1"])
        cls.d.start_server()
        assert cls.d.startup() == 0
        cls.notices = Notices(cls.d.server)

    @classmethod
    def tearDownClass(cls):
        cls.notices.close()
        cls.d.close()

    def setUp(self):
        self.d.sim.client.call("reset")
        self.d.discover()
        self.assertEqual(self.results(), [])  # nothing left over

    def ok(self, resp: wire.Response):
        self.assertNotIn("<SOAP-ENV:Fault>", resp.text, resp.text[:600])
        self.assertEqual(value(resp.text, "errorcode"), "0")

    def finish(self, index: int, before: int, n: int = 1) -> list[str]:
        """Waits for `n` outcomes of agent `index` and one notice each after
        the `before` notices counted before the operations started."""
        got = self.wait_results(n)
        self.assertEqual(self.notices.wait(before + n), before + n)
        for r in got:
            self.assertEqual(value(r, "macAddr"), self.d.agent(index)["mac"])
        return got

    def test_each_operate_by_mac_and_by_address(self):
        a0, a1 = self.d.agent(0), self.d.agent(1)
        # Agent 1 only watched: reached at its own address.
        self.d.ok("AddMonitorAgent", f"<strIpAddress>{a1['ip']}</strIpAddress>"
                                     f"<strMacAddr>{a1['mac']}</strMacAddr>")
        # A watched agent's record follows its replies once it has been polled.
        deadline = time.monotonic() + 5
        while value(self.d.monitor(1)[0], "recvFlag") != "1":
            self.assertLess(time.monotonic(), deadline, "the watched agent was never polled")
            time.sleep(0.05)
        try:
            for index, agent, kind in ((0, a0, "broadcast"), (1, a1, "unicast")):
                monitor = 1 if index == 1 else 0
                for operate in range(4):
                    with self.subTest(agent=index, operate=operate):
                        self.d.sim.client.call("clear")
                        name = f"sw{index}-op{operate}"
                        info = self.entry(agent["mac"], monitor)
                        before = self.notices.count()
                        self.ok(self.set_ex(info, operate, systemName=name))
                        done = self.finish(index, before)
                        self.assertEqual(value(done[0], "operate"), str(operate))
                        self.assertEqual(value(done[0], "result"), "0")
                        cmd = self.commands(index)[-1]
                        want = {3: 17}.get(operate, 3 if kind == "broadcast" else 7)
                        self.assertEqual(cmd["opcode"], want)
                        # By MAC the request reaches the agent twice (broadcast
                        # and multicast); by address once, sent to the agent.
                        got = self.d.sim.client.received(opcode=want)
                        kinds = sorted(e["kind"] for e in got)
                        self.assertEqual(kinds, ["broadcast", "multicast"] if index == 0
                                         else ["unicast"])
                        if index == 1:
                            self.assertEqual(got[0]["dst"], agent["ip"])
                        types = [i["type"] for i in cmd["items"]]
                        if operate == 1:
                            self.assertEqual(types, [9, 8])
                            self.assertEqual(cmd["items"][1]["len"], 4)  # empty new password
                            continue
                        self.assertEqual(types, expected_items(replace_element(
                            info, "systemName", name)))
                        items = {i["type"]: i for i in cmd["items"]}
                        self.assertEqual(items[2]["value"], name)
                        addr = "0.0.0.0" if operate == 2 else agent["ip"]
                        self.assertEqual(items[4]["value"], addr)
                        # The list shows what the agent reported back.
                        shown = self.entry(agent["mac"], monitor)
                        reported = self.d.agent(index)["fields"]["systemName"]
                        self.assertEqual(value(shown, "systemName"), reported)
                        self.assertEqual(value(done[0], "systemName"), reported)
                        self.assertEqual(reported, name if operate == 0 else
                                         "switch-%05d" % index if operate == 3 else name)
        finally:
            self.d.ok("DelMonitorAgent", f"<strIpAddress>{a1['ip']}</strIpAddress>")

    def test_dhcp_sends_zero_addresses_and_new_password_reaches_the_agent(self):
        info = self.entry(self.d.agent(2)["mac"])
        before = self.notices.count()
        self.ok(self.set_ex(info, 0, dhcpMode=1))
        self.finish(2, before)
        items = {i["type"]: i["value"] for i in self.commands(2)[-1]["items"]}
        self.assertEqual([items[t] for t in (4, 5, 6)], ["0.0.0.0"] * 3)
        self.assertEqual(items[10], 1)
        self.assertEqual(self.d.agent(2)["ip"], self.d.net.agent_ip(2, "lan"))  # kept
        before = self.notices.count()
        self.ok(self.set_ex(self.entry(self.d.agent(2)["mac"]), 1, oldPassword="admin",
                            newPasseord="s3cret"))
        self.finish(2, before)
        cmd = self.commands(2)[-1]
        self.assertEqual([(i["type"], i["value"]) for i in cmd["items"]],
                         [(9, "admin"), (8, "s3cret")])
        self.assertEqual(self.d.agent(2)["password"], "s3cret")

    def test_loader_mode_agent_gets_loader_commands(self):
        loader = self.AGENTS - 1
        info = self.entry(self.d.agent(loader)["mac"])
        self.assertEqual(value(info, "isLoaderMode"), "1")
        for operate in (0, 3):
            self.d.sim.client.call("clear")
            before = self.notices.count()
            self.ok(self.set_ex(info, operate))
            done = self.finish(loader, before)
            self.assertEqual(value(done[0], "result"), "0")
            self.assertEqual(self.commands(loader)[-1]["opcode"], 14)
            self.assertEqual(self.d.sim.client.call("stats")["replies_by_opcode"].get("15"), 2)

    def test_other_mac_leaves_pending_and_one_reply_finishes_two(self):
        a2, a3 = self.d.agent(2), self.d.agent(3)
        self.d.sim.client.call("behave", agents=2, ignore_ops=[3])
        self.d.sim.client.call("clear")
        info = self.entry(a2["mac"])
        before = self.notices.count()
        counted = scrape()
        self.ok(self.set_ex(info, 0))
        self.ok(self.set_ex(info, 2))
        requests = self.d.sim.client.wait_received(opcode=3, count=4)
        second = requests[-1]
        self.assertNotEqual(requests[0]["header"]["sequence"], second["header"]["sequence"])
        # A reply with the right sequence from another agent's MAC: ignored.
        self.d.sim.client.call("send", agents=3, opcode=4, seq=second["header"]["sequence"],
                               result=1, to=second["src"], port=second["sport"])
        time.sleep(0.5)
        self.assertEqual(self.results(), [])
        self.assertEqual(self.notices.count(), before)
        # The agent's own reply to the second request finishes both.
        self.d.sim.client.call("send", agents=2, opcode=4, seq=second["header"]["sequence"],
                               result=9, to=second["src"], port=second["sport"])
        done = self.finish(2, before, 2)
        self.assertEqual([value(r, "operate") for r in done], ["0", "2"])
        self.assertEqual([value(r, "result") for r in done], ["9", "9"])
        self.assertEqual(self.results(), [])  # handed out once
        # Both counted as the agent's error, none as ok.
        now = scrape()
        self.assertEqual([now[f'ferrolink_device_set_operations_total{{outcome="{o}"}}']
                          - counted[f'ferrolink_device_set_operations_total{{outcome="{o}"}}']
                          for o in ("ok", "agent_error", "timed_out")], [0, 2, 0])
        self.assertNotEqual(a3["mac"], a2["mac"])

    def test_refused_requests_send_nothing(self):
        self.d.sim.client.call("clear")
        info = self.entry(self.d.agent(0)["mac"])
        # An operate code without a command: a fault at once.
        resp = self.set_cfg(info, 7)
        self.assertIn("<SOAP-ENV:Fault>", resp.text)
        self.assertIn("operate 7 has no command", wire.fault_detail(resp))
        # The MAC must be written as the server writes it, upper case.
        lower = value(info, "macAddr").lower()
        self.assertNotEqual(lower, value(info, "macAddr"))
        resp = self.set_ex(info, 0, macAddr=lower)
        self.assertIn("<SOAP-ENV:Fault>", resp.text)
        self.assertIn(f'no discovered or watched agent has MAC text "{lower}"',
                      wire.fault_detail(resp))
        self.assertIn("device set begine \n", self.d.server.log())
        resp = self.set_ex(info, 0, macAddr="02-00-00-00-00-99")  # nobody's
        self.assertIn("<SOAP-ENV:Fault>", resp.text)
        time.sleep(0.3)
        self.assertEqual(self.d.sim.client.received(), [])
        # Operate 7 stays pending until its time-out (not waited for here).
        self.assertEqual(self.results(), [])

    def test_full_record_and_partial_settings_treat_lldp_differently(self):
        self.d.sim.client.call("set", agents=0, fields={"lldpAuthenkey": "agent-key"})
        self.d.discover()
        info = self.entry(self.d.agent(0)["mac"])
        self.assertEqual(value(info, "lldpAuthenkey"), "agent-key")
        # SetDeviceCfgEx has no LLDP parameters: the agent's own values go out.
        before = self.notices.count()
        self.ok(self.set_ex(info, 0))
        self.finish(0, before)
        items = {i["type"]: i["value"] for i in self.commands(0)[-1]["items"]}
        self.assertEqual((items[25], items[24]), ("agent-key", 1))
        # SetDeviceCfg sends whatever the client put in the record.
        info = replace_element(replace_element(info, "lldpAuthenkey", "client-key"),
                               "lldpMode", "0")
        before = self.notices.count()
        self.ok(self.set_cfg(info, 0))
        self.finish(0, before)
        items = {i["type"]: i["value"] for i in self.commands(0)[-1]["items"]}
        self.assertEqual((items[25], items[24]), ("client-key", 0))
        self.assertEqual(self.d.agent(0)["fields"]["lldpAuthenkey"], "client-key")

    def test_partial_requests_keep_what_they_leave_out(self):
        ap = 2  # an access point: its wireless settings are at stake too
        mac = self.d.agent(ap)["mac"]
        # The page sends every parameter: what it sends is what a partial
        # request must send too.
        before = self.notices.count()
        self.ok(self.set_ex(self.entry(mac), 0, systemName="part-2"))
        self.finish(ap, before)
        full = self.commands(ap)[-1]["items"]
        info = self.entry(mac)
        groups = {
            "names": ["systemName", "location", "systemTime", "controllerIPURL", "loginUser"],
            "addresses": ["agentIpAddr", "agentNetmask", "agentGateway", "agentDNS1",
                          "agentDNS2", "trapIpAddr", "dhcpMode", "vlanID", "groupTimer"],
            "wifi": [n for n in EX_PARAMS if n.startswith("wifi") and not n.endswith("5G")],
            "radius": [n for n in EX_PARAMS if n.startswith("radius")],
            "5 GHz": [n for n in EX_PARAMS if n.endswith("5G")],
            "all but the MAC": [n for n in EX_PARAMS if n != "macAddr"],
        }
        for group, left_out in groups.items():
            with self.subTest(left_out=group):
                children = "".join(f"<{n}>{value(info, n)}</{n}>" for n in EX_PARAMS
                                   if n not in left_out)
                before = self.notices.count()
                self.ok(wire.call("SetDeviceCfgEx", children + "<operate>0</operate>"))
                self.finish(ap, before)
                self.assertEqual(self.commands(ap)[-1]["items"], full)
        # A parameter sent empty is sent empty.
        before = self.notices.count()
        self.ok(wire.call("SetDeviceCfgEx", f"<macAddr>{mac}</macAddr><location></location>"
                                            "<operate>0</operate>"))
        self.finish(ap, before)
        items = {i["type"]: i["value"] for i in self.commands(ap)[-1]["items"]}
        address = next(i["value"] for i in full if i["type"] == 4)
        self.assertEqual((items[2], items[3], items[4]), ("part-2", "", address))
        # SetDeviceCfg takes what its record leaves out from the known agent,
        # whatever case the MAC is written in...
        before = self.notices.count()
        self.ok(self.set_cfg(f"<macAddr>{mac.lower()}</macAddr>"
                             f"<location>{value(info, 'location')}</location>"
                             "<systemName>part-2</systemName>", 0))
        self.finish(ap, before)
        self.assertEqual(self.commands(ap)[-1]["items"], full)
        # ...and refuses it, naming them, when no agent has that MAC.
        self.d.sim.client.call("clear")
        detail = self.d.fault("SetDeviceCfg", "<switchInfo><macAddr>02-00-00-00-00-99</macAddr>"
                                              "<systemName>x</systemName></switchInfo>"
                                              "<operate>0</operate>")
        self.assertIn("switchInfo leaves out productName, location, systemTime,", detail)
        self.assertIn('and no discovered or watched agent has MAC "02-00-00-00-00-99"', detail)
        time.sleep(0.3)
        self.assertEqual(self.d.sim.client.received(), [])
        self.assertEqual(self.results(), [])

    def test_reply_that_is_a_bare_header_blanks_nothing(self):
        a2 = self.d.agent(2)
        self.d.sim.client.call("behave", agents=2, ignore_ops=[3])
        self.d.sim.client.call("clear")
        listed = self.entry(a2["mac"])
        before = self.notices.count()
        self.ok(self.set_ex(listed, 0, systemName="never-applied"))
        request = self.d.sim.client.wait_received(opcode=3, count=2)[-1]
        self.d.sim.client.call("send", agents=2, opcode=4, seq=request["header"]["sequence"],
                               result=0, to=request["src"], port=request["sport"],
                               with_items=False)
        done = self.finish(2, before)
        self.assertEqual(self.entry(a2["mac"]), listed)
        self.assertEqual(value(done[0], "agentIpAddr"), a2["ip"])
        self.assertEqual(value(done[0], "location"), value(listed, "location"))

    def test_watched_agent_is_given_a_new_address_at_its_current_one(self):
        a1 = self.d.agent(1)
        old, new = a1["ip"], self.d.net.agent_ip(40, "lan")
        self.d.ok("AddMonitorAgent", f"<strIpAddress>{old}</strIpAddress>"
                                     f"<strMacAddr>{a1['mac']}</strMacAddr>")
        try:
            deadline = time.monotonic() + 5
            while value(self.d.monitor(1)[0], "recvFlag") != "1":
                self.assertLess(time.monotonic(), deadline, "the watched agent was never polled")
                time.sleep(0.05)
            self.d.sim.client.call("clear")
            before = self.notices.count()
            self.ok(self.set_ex(self.entry(a1["mac"], 1), 0, agentIpAddr=new))
            done = self.finish(1, before)
            self.assertEqual(value(done[0], "result"), "0")
            got = self.d.sim.client.received(opcode=7)
            self.assertEqual([(e["kind"], e["dst"]) for e in got], [("unicast", old)])
            items = {i["type"]: i["value"] for i in self.commands(1)[-1]["items"]}
            self.assertEqual(items[4], new)
            self.assertEqual(self.d.agent(1)["ip"], new)
        finally:
            self.d.sim.client.call("set", agents=1, fields={"agentIpAddr": old})
            self.d.ok("DelMonitorAgent", f"<strIpAddress>{old}</strIpAddress>")

    def test_name_with_combining_mark_reaches_an_ansi_agent_composed(self):
        fields = self.d.agent(1)["fields"]
        words = list(fields["funBitmap"])
        words[0] &= ~(1 << 29)  # names in the ANSI code page
        self.d.sim.client.call("set", agents=1, fields={"funBitmap": words})
        try:
            self.d.discover()
            info = self.entry(self.d.agent(1)["mac"])
            before = self.notices.count()
            self.ok(self.set_ex(info, 0, systemName="Mu\u0308ller", location="Cafe\u0301"))
            done = self.finish(1, before)
            items = {i["type"]: i for i in self.commands(1)[-1]["items"]}
            self.assertEqual(items[2]["hex"], "M\u00fcller".encode("cp1252").hex())
            self.assertEqual(items[3]["hex"], "Caf\u00e9".encode("cp1252").hex())
            self.assertEqual(self.d.agent(1)["fields"]["systemName"], "M\u00fcller")
            # Read back from the agent's reply in the code page, as one letter.
            self.assertEqual(value(done[0], "systemName"), "M\u00fcller")
            self.assertEqual(value(self.entry(self.d.agent(1)["mac"]), "location"), "Caf\u00e9")
        finally:
            self.d.sim.client.call("set", agents=1, fields={"funBitmap": fields["funBitmap"]})

    def soapcall(self, *args: str) -> subprocess.CompletedProcess:
        return subprocess.run(["ip", "netns", "exec", self.d.net.ns["srv"], sys.executable,
                               os.path.join(ROOT, "tools", "soapcall.py"), *args],
                              capture_output=True, text=True, timeout=60)

    def test_command_line_caller_renames_an_agent(self):
        mac = self.d.agent(3)["mac"]
        before = self.notices.count()
        run = self.soapcall("--agent", mac, "SetDeviceCfgEx", "systemName=lab-3", "operate=0")
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.finish(3, before)
        self.assertEqual(self.d.agent(3)["fields"]["systemName"], "lab-3")
        # The full record, nested, with one member changed and the rest as listed.
        before = self.notices.count()
        run = self.soapcall("--agent", mac, "SetDeviceCfg", "location=row 9",
                            "switchInfo.systemName=lab-3b", "operate=0")
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        done = self.finish(3, before)
        self.assertEqual(value(done[0], "location"), "row 9")
        self.assertEqual(self.d.agent(3)["fields"]["systemName"], "lab-3b")
        # Nested values without --agent; the MAC text must be upper case.
        run = self.soapcall("SetDeviceCfg", f"switchInfo.macAddr={mac}", "switchInfo.funBitmap0=2",
                            "switchInfo.systemName=lab-3c", "operate=0")
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.wait_results(1)
        self.assertEqual(self.d.agent(3)["fields"]["systemName"], "lab-3c")
        run = self.soapcall("--agent", mac.lower(), "SetDeviceCfgEx", "operate=0")
        self.assertEqual(run.returncode, 2)
        self.assertIn("no listed agent", run.stderr)


@require_netns
class DeviceSetTimeoutTest(DeviceSetBase):
    """Waits out the 50-second limit once, with define.ecf missing: the
    device-set machinery runs all the same."""

    def setUp(self):
        self.d = Deployment(2, ["--kind", "switch"])
        os.remove(os.path.join(self.d.workdir, "cfg", "define.ecf"))

    def tearDown(self):
        if hasattr(self, "notices"):
            self.notices.close()
        self.d.close()

    def test_unanswered_and_unknown_operations_end_timed_out(self):
        self.d.start_server()
        self.assertEqual(self.d.startup(), 1)
        self.notices = Notices(self.d.server)
        self.d.sim.client.call("behave", ignore_ops=[3])
        # A whole record the client writes itself (the published sample's,
        # with the agent's MAC and address): no discovery needed.
        with open(os.path.join(wire.dist_dir(), "auto", "Device.SetDeviceCfg.req.xml")) as f:
            info = re.search(r"<switchInfo>(.*)</switchInfo>", f.read(), re.S).group(1)
        info = replace_element(replace_element(info, "macAddr", self.d.agent(0)["mac"]),
                               "agentIpAddr", self.d.agent(0)["ip"])
        self.assertIn("<SOAP-ENV:Fault>", self.set_cfg(info, 7).text)
        self.set_cfg(info, 0)  # sent or not, it is recorded and must end
        started = time.monotonic()
        time.sleep(45)
        self.assertEqual(self.results(), [])
        done = self.wait_results(2, timeout=15)
        self.assertGreaterEqual(time.monotonic() - started, 49.5)
        self.assertEqual([(value(r, "operate"), value(r, "result")) for r in done],
                         [("7", "-2"), ("0", "-2")])
        self.assertEqual([value(r, "macAddr") for r in done], [self.d.agent(0)["mac"]] * 2)
        self.assertIn("device set timeout !\n", self.d.server.log())
        self.assertEqual(scrape()['ferrolink_device_set_operations_total{outcome="timed_out"}'], 2)
        self.assertGreaterEqual(self.notices.wait(1), 1, self.d.server.log()[-2000:])
        # The history has both, started and timed out.
        events = json.loads(wire.get("/api/events?kind=set_started,set_outcome&order=asc").text)
        self.assertEqual([(e["kind"], e["fields"]["operate"], e["fields"].get("timed_out"))
                          for e in events["events"]],
                         [("set_started", "none", None), ("set_started", "set_config", None),
                          ("set_outcome", "none", True), ("set_outcome", "set_config", True)])
        self.assertEqual(events["events"][2]["fields"]["result"], -2)

if __name__ == "__main__":
    if sys.argv[1:] == ["timeout"]:
        sys.argv[1:] = ["DeviceSetTimeoutTest"]
    elif len(sys.argv) == 1:
        sys.argv[1:] = ["DeviceSetTest"]
    wire.run_tests()
