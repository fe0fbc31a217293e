"""End to end uploads through the SOAP service: the server in the server
namespace, simulated agents answering upgrade requests and rediscovery in the
LAN namespace, each upgraded agent with an interface of its own (its MAC, its
address) and the real tftpd-hpa as its TFTP server.

Classes (each can be run alone by name):
  UpgradeTest        the upgrade cycle, refusals, silence, TFTP errors (the
                     agent's and a stranger's), the queue
  ArpCleanupTest     static ARP entries gone after GSoapClose and after SIGTERM
  LargeAndLossyTest  40 MiB (block number rollover) and 256 KiB at 2 % loss
"""

import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
SIM_DIR = os.path.join(ROOT, "tools", "sim")

import wire  # noqa: E402
from e2e_discovery_test import Deployment, scrape, switch_infos, value  # noqa: E402
from testnet import require_netns  # noqa: E402

DONE, FAILED, REBOOT_WAIT = 9, 10, 6
STATUS_FIELDS = ("isupgrading", "upgradeStatus", "fwFileSize", "transmitedSize", "failedCode")


def make_file(path: str, size: int) -> bytes:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data = os.urandom(size)
    with open(path, "wb") as f:
        f.write(data)
    return data


class Upgrades:
    """The upgrade operations of one deployment."""

    def __init__(self, d: Deployment):
        self.d = d

    def set_file(self, path: str, kind: str = "firmware", key: str = "", size: int = 1) -> int:
        xml = self.d.ok("SetFwFilePath", f"<strFwFilePath>{path}</strFwFilePath>"
                                         f"<strUpType>{kind}</strUpType>"
                                         f"<strEncryptKey>{key}</strEncryptKey>"
                                         f"<intFileSize>{size}</intFileSize>")
        return int(value(xml, "errorcode"))

    def add(self, mac: str, password: str = "admin") -> None:
        self.d.ok("AddUpgradeAgentEx", f"<macAddr>{mac}</macAddr><password>{password}</password>")

    def start(self) -> None:
        self.d.ok("StartUpgrade")

    def end(self) -> None:
        self.d.ok("EndUpgrade")

    def status(self, mac: str) -> dict:
        xml = self.d.ok("GetUpgradeStatus", f"<strMacAddr>{mac}</strMacAddr>")
        s = {k: int(value(xml, k)) for k in STATUS_FIELDS}
        s["agentMac"] = value(xml, "macAddr")
        return s

    def wait(self, mac: str, done, timeout: float, what: str) -> dict:
        deadline = time.monotonic() + timeout
        while True:
            s = self.status(mac)
            if done(s):
                return s
            if time.monotonic() > deadline:
                raise AssertionError(f"{what}: still {s}")
            time.sleep(0.1)

    def wait_end(self, mac: str, timeout: float = 30.0) -> dict:
        return self.wait(mac, lambda s: s["upgradeStatus"] in (DONE, FAILED), timeout,
                         f"upload to {mac} never ended")

    def upgrading(self) -> tuple[str, str]:
        xml = self.d.ok("GetUpgradingAgent")
        return value(xml, "strMacAddr"), value(xml, "strIpAddr")


def arp_entry(d: Deployment, ip: str) -> str:
    return d.net.run_in("srv", ["ip", "neigh", "show", ip]).stdout.strip()


def prepare(d: Deployment, count: int, with_tftpd=(0, 1)) -> dict:
    """Agents with a 1 s reboot wait, an interface each, tftpd-hpa for those
    named; the engine started and the agents discovered. Returns the tftpds."""
    d.sim.client.call("set", fields={"upgradeRebootTime": 1})
    tftpds = {}
    for i in range(count):
        a = d.agent(i)
        d.net.agent_link("lan", f"ag{i}", a["mac"], a["ip"])
        if i in with_tftpd:
            tftpds[i] = d.net.start_tftpd("lan", a["ip"])
    d.start_server()
    assert d.startup() == 0
    deadline = time.monotonic() + 10  # the engine opens its sockets moments after the start
    while "<SOAP-ENV:Fault>" in wire.call("SetDiscoverToAgents").text:
        assert time.monotonic() < deadline, "the engine opened no socket"
        time.sleep(0.1)
    # A reply that a loaded machine (or Wine) delivers after the 3 s window
    # is dropped, as it should be; the discovery is then run again.
    found = []
    for _ in range(3):
        d.discover()
        found = d.agents()
        if len(found) == count:
            break
    assert len(found) == count, f"{len(found)} of {count} agents found"
    return tftpds


@require_netns
class UpgradeTest(unittest.TestCase):
    # 0 and 1 with tftpd-hpa; 2 with a TFTP server that answers ERROR; 3 with
    # one that sends an ERROR and an ACK from a stray port amid the transfer.
    AGENTS = 4

    @classmethod
    def setUpClass(cls):
        cls.d = Deployment(cls.AGENTS)
        cls.u = Upgrades(cls.d)
        try:
            cls.tftpd = prepare(cls.d, cls.AGENTS)
            a2 = cls.d.agent(2)
            cls.fault = cls.d.net.popen("lan", [sys.executable, "-m", "ferrosim.tftpfault",
                                                "--address", a2["ip"], "--mode", "error",
                                                "--at", "2"], cwd=SIM_DIR,
                                        stdout=subprocess.DEVNULL)
            cls.stray_dir = os.path.join(cls.d.workdir, "stray-tftp")
            os.makedirs(cls.stray_dir)
            cls.stray_report = os.path.join(cls.stray_dir, "report.json")
            a3 = cls.d.agent(3)
            cls.stray = cls.d.net.popen("lan", [sys.executable, "-m", "ferrosim.tftpfault",
                                                "--address", a3["ip"], "--mode", "stray",
                                                "--at", "2", "--dir", cls.stray_dir,
                                                "--report", cls.stray_report], cwd=SIM_DIR,
                                        stdout=subprocess.DEVNULL)
            cls.a = [cls.d.agent(i) for i in range(cls.AGENTS)]
            cls.fw = os.path.join(cls.d.workdir, "upload", "fw-image.bin")
        except BaseException:
            cls.d.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def setUp(self):
        self.u.end()
        self.d.sim.client.call("reset")
        self.d.sim.client.call("clear")

    def received_file(self, i: int, name: str) -> bytes:
        with open(self.tftpd[i].path(name), "rb") as f:
            return f.read()

    def test_firmware_upload_reaches_done_with_the_file_intact(self):
        data = make_file(self.fw, 300 * 1024 + 17)
        a0 = self.a[0]
        self.assertEqual(self.u.set_file(self.fw, "firmware", "ignored", 4096), 0)
        entry = next(e for e in switch_infos(self.d.ok("GetSwitchInfoList",
                                                         "<monitorNum>0</monitorNum>"))
                     if value(e, "macAddr") == a0["mac"])
        # The password the agent is asked for travels in the record's oldPassword.
        entry = re.sub(r"<oldPassword>.*?</oldPassword>|<oldPassword/>",
                       "<oldPassword>admin</oldPassword>", entry)
        self.d.ok("AddUpgradeAgent", f"<vecSwitchInfo>{entry}</vecSwitchInfo>")
        self.assertEqual(self.u.upgrading(), ("0", "0"))
        counted = scrape()
        self.assertEqual(counted['ferrolink_uploads{state="queued"}'], 1)
        self.u.start()
        self.assertEqual(self.u.upgrading(), (a0["mac"], a0["ip"]))
        if not wire.WINE:  # Wine's neighbour table calls are stubs that change nothing
            self.assertIn("PERMANENT", arp_entry(self.d, a0["ip"]))
            self.assertIn(a0["mac"].replace("-", ":").lower(), arp_entry(self.d, a0["ip"]))
        running = self.u.status(a0["mac"])
        self.assertEqual(running["isupgrading"], 1)
        self.assertEqual(running["agentMac"], "")  # agentInfo stays empty until Done

        s = self.u.wait_end(a0["mac"])
        self.assertEqual(s["upgradeStatus"], DONE, s)
        self.assertEqual((s["isupgrading"], s["failedCode"]), (0, 0))
        self.assertEqual(s["fwFileSize"], len(data))
        self.assertEqual(s["transmitedSize"], len(data))
        self.assertEqual(s["agentMac"], a0["mac"])  # the agent as it answered again
        self.assertEqual(self.received_file(0, "fw-image.bin"), data)
        self.assertEqual(self.u.upgrading(), ("0", "0"))
        # The file's bytes counted once each (the resends of a lossy run are
        # not), the upload listed as done until the list is cleared.
        now = scrape()
        self.assertEqual(now["ferrolink_upload_sent_bytes_total"]
                         - counted["ferrolink_upload_sent_bytes_total"], len(data))
        self.assertEqual([now[f'ferrolink_uploads{{state="{st}"}}'] for st in
                          ("queued", "running", "done", "failed")], [0, 0, 1, 0])

        items = self.d.agent(0)["lastUpgrade"]
        self.assertEqual(items["9"], "admin")
        self.assertEqual(items["32"], "firmware")
        self.assertNotIn("33", items)  # the key travels with "config" only
        self.assertEqual(items["34"], self.fw)
        self.assertEqual(items["35"], 4096)  # the size given, not the file's

        self.u.end()
        self.assertNotIn("PERMANENT", arp_entry(self.d, a0["ip"]))
        self.d.fault("GetUpgradeStatus", f"<strMacAddr>{a0['mac']}</strMacAddr>")

    def test_config_upload_carries_key_and_password(self):
        cfg = os.path.join(self.d.workdir, "upload", "settings.cfg")
        data = make_file(cfg, 2048)  # a multiple of 512: ends with an empty block
        a1 = self.a[1]
        self.assertEqual(self.u.set_file(cfg, "config", "k3y-2026", len(data)), 0)
        self.u.add(a1["mac"], "n3w-pass")
        self.u.start()
        # A configuration waits 80 s for the reboot; the delivery is what counts here.
        s = self.u.wait(a1["mac"], lambda s: s["upgradeStatus"] == REBOOT_WAIT, 20,
                        "config never delivered")
        self.assertEqual(s["transmitedSize"], 2048)
        self.assertEqual(self.received_file(1, "settings.cfg"), data)
        items = self.d.agent(1)["lastUpgrade"]
        self.assertEqual((items["9"], items["32"], items["33"]), ("n3w-pass", "config", "k3y-2026"))

    def test_refusals_end_at_once_and_the_queue_moves_on(self):
        data = make_file(self.fw, 1000)
        self.d.sim.client.call("behave", agents=2, upgrade_result=2)
        self.d.sim.client.call("behave", agents=1, upgrade_result=10)
        self.u.set_file(self.fw, size=len(data))
        for i in (2, 1, 0):
            self.u.add(self.a[i]["mac"])
        # An agent already queued is not queued again, by either operation.
        self.assertIn(f"an upload of {self.a[0]['mac']} is already queued or running",
                      self.d.fault("AddUpgradeAgentEx", f"<macAddr>{self.a[0]['mac']}</macAddr>"
                                                        "<password>admin</password>"))
        self.d.fault("AddUpgradeAgent", f"<vecSwitchInfo><macAddr>{self.a[1]['mac']}</macAddr>"
                                        "</vecSwitchInfo>")
        start = time.monotonic()
        self.u.start()
        s0 = self.u.wait_end(self.a[0]["mac"])
        self.assertEqual(s0["upgradeStatus"], DONE)
        self.assertLess(time.monotonic() - start, 15)  # no waiting on the refusals
        self.assertEqual(self.u.status(self.a[2]["mac"])["failedCode"], 4)
        self.assertEqual(self.u.status(self.a[1]["mac"])["failedCode"], 10)
        self.assertEqual(self.received_file(0, "fw-image.bin"), data)
        # Each agent was asked once; on a loaded machine the engine's repeat
        # after 2 s without an answer it has taken in is allowed once (seen
        # in CI's runs: the agent's answer was on its way, the request went
        # out again, the outcome was right). Two requests closer together
        # would be a double send.
        answers = self.d.sim.client.sent(opcode=11)
        for i in range(3):
            mac = self.a[i]["mac"]
            requests = [e for e in self.d.sim.client.received(opcode=10)
                        if e["kind"] == "multicast" and e["header"]["agentMac"] == mac]
            timeline = sorted([("asked", e["t"], e["header"]["sequence"]) for e in requests] +
                              [("answered", e["t"], e["seq"]) for e in answers if e["mac"] == mac],
                              key=lambda x: x[1])
            self.assertIn(len(requests), (1, 2), (i, timeline))
            if len(requests) == 2:
                self.assertGreaterEqual(requests[1]["t"] - requests[0]["t"], 1.9, (i, timeline))

    def test_unanswered_request_fails_with_three_after_four_requests(self):
        make_file(self.fw, 100)
        self.d.sim.client.call("behave", agents=2, ignore_ops=[10])
        self.u.set_file(self.fw, size=100)
        self.u.add(self.a[2]["mac"])
        start = time.monotonic()
        self.u.start()
        s = self.u.wait_end(self.a[2]["mac"], timeout=20)
        self.assertEqual((s["upgradeStatus"], s["failedCode"]), (FAILED, 3))
        self.assertGreaterEqual(time.monotonic() - start, 7.5)
        # Each request goes out by broadcast and multicast; the multicast copies count them.
        requests = [e for e in self.d.sim.client.received(opcode=10) if e["kind"] == "multicast"]
        self.assertEqual(len(requests), 4)

    def test_tftp_error_fails_with_nine_and_the_queue_waits_for_a_start(self):
        data = make_file(self.fw, 5000)
        self.u.set_file(self.fw, size=len(data))
        self.u.add(self.a[2]["mac"])
        self.u.add(self.a[0]["mac"])
        self.u.start()
        s2 = self.u.wait_end(self.a[2]["mac"])
        self.assertEqual((s2["upgradeStatus"], s2["failedCode"]), (FAILED, 9))
        time.sleep(2.5)
        s0 = self.u.status(self.a[0]["mac"])
        self.assertEqual((s0["isupgrading"], s0["upgradeStatus"]), (0, 0))
        self.assertEqual(self.u.upgrading(), ("0", "0"))
        self.u.start()
        self.assertEqual(self.u.upgrading(), (self.a[0]["mac"], self.a[0]["ip"]))
        self.assertEqual(self.u.wait_end(self.a[0]["mac"])["upgradeStatus"], DONE)
        self.assertEqual(self.received_file(0, "fw-image.bin"), data)

    def test_error_and_ack_from_a_stray_port_leave_the_upload_going(self):
        data = make_file(self.fw, 3000)
        self.u.set_file(self.fw, size=len(data))
        self.u.add(self.a[3]["mac"])
        self.u.start()
        s = self.u.wait_end(self.a[3]["mac"])
        self.assertEqual((s["upgradeStatus"], s["failedCode"]), (DONE, 0), s)
        self.assertEqual(s["transmitedSize"], len(data))
        with open(os.path.join(self.stray_dir, "fw-image.bin"), "rb") as f:
            self.assertTrue(f.read() == data, "the stored file differs")
        # The stray port's ACK was answered "Unknown transfer ID"; its ERROR
        # was not answered.
        with open(self.stray_report) as f:
            report = json.load(f)
        self.assertEqual(report["stray_received"], [b"\0\5\0\5Unknown transfer ID\0".hex()])

    def test_parameters_and_queue_faults(self):
        self.assertEqual(self.u.set_file("/nonexistent/fw.bin"), 1)
        make_file(self.fw, 10)
        self.assertEqual(self.u.set_file(self.fw, size=0), 1)
        # A list that names one agent twice queues nothing.
        self.assertIn(f"the list names {self.a[0]['mac']} twice",
                      self.d.fault("AddUpgradeAgent",
                                   f"<vecSwitchInfo><macAddr>{self.a[0]['mac']}</macAddr>"
                                   "</vecSwitchInfo><vecSwitchInfo>"
                                   f"<macAddr>{self.a[0]['mac'].lower()}</macAddr>"
                                   "</vecSwitchInfo>"))
        self.d.fault("GetUpgradeStatus", f"<strMacAddr>{self.a[0]['mac']}</strMacAddr>")
        self.assertIn("no discovered or watched agent has the MAC",  # case matters
                      self.d.fault("AddUpgradeAgentEx", "<macAddr>02-46-4c-00-00-00</macAddr>"))
        self.assertIn("no queued upload could start", self.d.fault("StartUpgrade"))
        self.assertIn("is not a MAC address",
                      self.d.fault("GetUpgradeStatus", "<strMacAddr>not a mac</strMacAddr>"))
        self.assertIn("no upload is queued for 02-46-4C-00-00-00",
                      self.d.fault("GetUpgradeStatus", "<strMacAddr>02-46-4C-00-00-00</strMacAddr>"))


@require_netns
class ArpCleanupTest(unittest.TestCase):
    """Pinned ARP entries do not outlive the server, however it ends."""

    def setUp(self):
        self.d = Deployment(1)
        self.u = Upgrades(self.d)
        self.addCleanup(self.d.close)
        prepare(self.d, 1, with_tftpd=())  # no TFTP server: the transfer hangs on
        self.a0 = self.d.agent(0)
        fw = os.path.join(self.d.workdir, "upload", "fw.bin")
        make_file(fw, 4000)
        self.u.set_file(fw, size=4000)
        self.u.add(self.a0["mac"])
        self.u.start()
        self.assertIn("PERMANENT", arp_entry(self.d, self.a0["ip"]))

    def test_gone_after_close(self):
        self.assertEqual(wire.call("GSoapClose").raw, wire.ACCEPTED)
        self.assertEqual(self.d.server.proc.wait(timeout=10), 0)
        self.assertNotIn("PERMANENT", arp_entry(self.d, self.a0["ip"]))

    def test_gone_after_a_termination_signal(self):
        self.d.server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.d.server.proc.wait(timeout=10), 128 + signal.SIGTERM)
        self.assertNotIn("PERMANENT", arp_entry(self.d, self.a0["ip"]))


@require_netns
class LargeAndLossyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = Deployment(1)
        cls.u = Upgrades(cls.d)
        try:
            cls.tftpd = prepare(cls.d, 1, with_tftpd=(0,))[0]
            cls.a0 = cls.d.agent(0)
        except BaseException:
            cls.d.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def upload(self, size: int, timeout: float) -> None:
        self.u.end()
        path = os.path.join(self.d.workdir, "upload", f"image-{size}.bin")
        data = make_file(path, size)
        self.assertEqual(self.u.set_file(path, size=size), 0)
        self.u.add(self.a0["mac"])
        self.u.start()
        s = self.u.wait_end(self.a0["mac"], timeout)
        self.assertEqual(s["upgradeStatus"], DONE, s)
        self.assertEqual(s["transmitedSize"], size)
        with open(self.tftpd.path(os.path.basename(path)), "rb") as f:
            self.assertTrue(f.read() == data, "the stored file differs")
        os.remove(path)

    def test_forty_mebibytes_roll_the_block_number_over(self):
        self.upload(40 * 1024 * 1024, timeout=240)

    def test_two_percent_loss_each_way(self):
        # Dropped where each side receives: a drop on the sending side's own
        # output path fails the sender's send() call, which tftpd-hpa takes
        # for a dead peer; on the wire a lost datagram fails nothing.
        nft = ("table inet loss {\n chain in { type filter hook input priority 0;"
               " meta l4proto udp numgen random mod 50 == 0 drop; }\n}\n")
        for side in ("lan", "srv"):
            self.d.net.run_in(side, ["nft", "-f", "-"], input=nft)
        try:
            self.upload(256 * 1024, timeout=240)
        finally:
            for side in ("lan", "srv"):
                self.d.net.run_in(side, ["nft", "delete", "table", "inet", "loss"])

if __name__ == "__main__":
    wire.run_tests()
