"""The test network and the simulator together: discovery, keep-alive, traps
and a TFTP upload, with hand-built datagrams from the server namespace.

Needs root (network namespaces); skipped otherwise.  Run directly, it exits
with 77 when everything was skipped, so that CTest counts it as skipped.
"""

import json
import os
import subprocess
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "sim"))
sys.path.insert(0, os.path.join(ROOT, "tools", "netns"))

from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet, output_after_first_line, require_netns  # noqa: E402

# Runs in the server namespace: sends the given requests from sockets bound
# to the server address (ports as the server uses them), then collects
# datagrams for `wait` seconds, or until `expect` arrived, and prints them as
# JSON lines.
PROBE = r'''
import json, socket, struct, sys, time
srv, reqs, wait = sys.argv[1], json.loads(sys.argv[2]), float(sys.argv[3])
expect, got = int(sys.argv[4]), 0
socks = {}
for port in (64513, 64514, 64519):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind((srv, port))
    s.setblocking(False)
    socks[port] = s
print("READY", flush=True)
for sport, dst, hexed in reqs:
    socks[sport].sendto(bytes.fromhex(hexed), (dst, 64515))
end = time.time() + wait
while time.time() < end and not (expect and got >= expect):
    for port, s in socks.items():
        try:
            d, a = s.recvfrom(2000)
        except BlockingIOError:
            continue
        got += 1
        print(json.dumps({"port": port, "src": a[0], "sport": a[1], "hex": d.hex()}),
              flush=True)
    time.sleep(0.002)
'''


def request(opcode, seq, mac="000000000000"):
    return ("0002" "0000" + mac + "0000" + f"{opcode:04x}" + "0000" "00000000"
            "02fe00000001" + f"{seq:04x}" + "00" * 12)


@require_netns
class NetnsSmokeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.net = TestNet(lans=1).up()
        cls.sim = SimProcess.start(cls.net, "lan", [
            "--first-ip", cls.net.agent_ip(0), "--count", "4", "--loader", "1",
            "--trap-to", cls.net.srv_ip])

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()
        cls.net.down()

    def probe(self, reqs, expect, wait=20.0, trigger=None):
        """Sends `reqs` from the server namespace and returns what came back
        within `wait` seconds (early once `expect` datagrams arrived);
        `trigger` runs once the sockets are bound. The wait is generous: on a
        busy machine the simulator may take seconds to answer, and a probe
        that got everything returns at once anyway."""
        p = self.net.popen("srv", [sys.executable, "-c", PROBE, self.net.srv_ip,
                                   json.dumps(reqs), str(wait), str(expect)],
                           stdout=subprocess.PIPE, bufsize=0)
        first, out = output_after_first_line(p, 30, trigger)
        self.assertEqual(first, "READY")
        got = [json.loads(line) for line in out.splitlines()]
        for g in got:
            g["data"] = bytes.fromhex(g["hex"])
        return got

    def test_network_shape(self):
        routes = self.net.run_in("srv", ["ip", "route"]).stdout
        self.assertNotIn("default", routes)
        self.assertIn("10.61.0.0/16", routes)
        self.assertIn("UP", self.net.run_in("srv", ["ip", "link", "show", "lo"]).stdout)

    def test_neighbour_limits_raised_for_a_run_and_put_back(self):
        before = self.net.neighbour_limits()
        # One agent more than the current hard limit: all three must rise.
        n = before[2] + 1
        with TestNet(lans=1, neighbours=n) as big:
            raised = big.neighbour_limits()
            self.assertEqual(raised, [max(b, w) for b, w in zip(before, (n, 2 * n, 4 * n))])
            # A smaller need never lowers what is there.
            with TestNet(lans=1, neighbours=1) as small:
                self.assertEqual(small.neighbour_limits(), raised)
            self.assertEqual(big.neighbour_limits(), raised)
        self.assertEqual(self.net.neighbour_limits(), before)

    def test_discovery_by_broadcast_and_multicast(self):
        got = self.probe([[64513, "255.255.255.255", request(1, 0x4242)],
                          [64519, "239.255.255.100", request(1, 0x4242)]], expect=8)
        replies = [g for g in got if g["data"][26:28] == b"\x42\x42"]
        self.assertEqual(len(replies), 8, "4 agents x 2 copies")
        by_port = {64513: set(), 64519: set()}
        for g in replies:
            d = g["data"]
            by_port[g["port"]].add(d[4:10])
            ip = self.net.agent_ip(int.from_bytes(d[4:10], "big") & 0xFF)
            self.assertEqual((g["src"], g["sport"]), (ip, 64515),
                             "a reply leaves from the agent's own address")
            self.assertIn(d[12:14], (b"\x00\x02", b"\x00\x0c"))
        self.assertEqual(len(by_port[64513]), 4)
        self.assertEqual(by_port[64513], by_port[64519])
        self.assertEqual(sum(g["data"][12:14] == b"\x00\x0c" for g in replies), 2)

    def test_keepalive_and_command_by_unicast(self):
        self.sim.client.call("clear")
        mac = "02464c000001"
        got = self.probe([[64514, self.net.agent_ip(1), request(5, 7)],
                          [64514, self.net.agent_ip(1),
                           request(7, 8, mac) + "0002000a6e65772d6e6d"]], expect=2)
        ops = sorted((g["data"][12:14].hex(), g["port"]) for g in got)
        self.assertEqual(ops, [("0006", 64514), ("0008", 64514)])
        agent = self.sim.client.call("get", agents=1)["agents"][0]
        self.assertEqual(agent["fields"]["systemName"], "new-nm")
        seen = self.sim.client.received()
        self.assertEqual([e["opcode"] for e in seen], [5, 7])
        self.assertEqual(seen[1]["items"][0]["value"], "new-nm")

    def test_traps_reach_the_server_address(self):
        def send_traps():
            self.sim.client.call("trap", agents=0, kind="plain", text="port 3 down")
            self.sim.client.call("trap", agents=1, kind="tlv", text="fan failed",
                                 port=64519)

        got = sorted(self.probe([], expect=2, trigger=send_traps),
                     key=lambda g: g["port"])
        self.assertEqual([(g["port"], g["src"]) for g in got],
                         [(64513, self.net.agent_ip(0)), (64519, self.net.agent_ip(1))])
        plain, tlv = got[0]["data"], got[1]["data"]
        self.assertEqual(plain[12:14], b"\x00\x09")
        self.assertEqual(plain[40:], bytes([10, 61, 1, 1]) + b"port 3 down\0")
        self.assertEqual(tlv[12:14], b"\x00\x10")
        self.assertTrue(tlv.endswith(b"\x00\x1f\x00\x0efan failed"))

    def test_tftpd_accepts_an_upload(self):
        with self.net.start_tftpd("lan", self.net.agent_ip(0)) as tftpd:
            code = r'''
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 64517)); s.settimeout(3)
s.sendto(b"\0\2/tmp/x/fw.bin\0octet\0", (sys.argv[2], 69))
d, a = s.recvfrom(600); assert d == b"\0\4\0\0", d
s.sendto(b"\0\3\0\1" + b"image", a)
d, a = s.recvfrom(600); assert d == b"\0\4\0\1", d
'''
            self.net.run_in("srv", [sys.executable, "-c", code, self.net.srv_ip,
                                    self.net.agent_ip(0)], timeout=30)
            with open(tftpd.path("fw.bin"), "rb") as f:
                self.assertEqual(f.read(), b"image")

    def test_faulty_tftp_server(self):
        tool = os.path.join(ROOT, "tools", "sim", "ferrosim", "tftpfault.py")
        client = r'''
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 64517)); s.settimeout(3)
s.sendto(b"\0\2fw.bin\0octet\0", (sys.argv[2], 69))
d, a = s.recvfrom(600); print(d.hex(), a[1])
s.sendto(b"\0\3\0\1" + b"x" * 512, a)
d, b = s.recvfrom(600); print(d[:4].hex(), b[1])
'''
        def error_after_data_1(lines):
            return lines[1][0].startswith("00050002")

        def ack_1_from_another_port(lines):
            return lines[1][0] == "00040001" and lines[1][1] != lines[0][1]

        for mode, check in (("error", error_after_data_1),
                            ("wrong-port", ack_1_from_another_port)):
            with self.subTest(mode):
                p = self.net.popen("lan", [sys.executable, tool, "--address",
                                           self.net.agent_ip(2), "--mode", mode,
                                           "--at", "1"], stdout=subprocess.PIPE, text=True)
                try:
                    self.assertIn("tftpfault", p.stdout.readline())
                    out = self.net.run_in("srv", [sys.executable, "-c", client,
                                                  self.net.srv_ip, self.net.agent_ip(2)],
                                          timeout=30).stdout
                    out = [line.split() for line in out.splitlines()]
                    self.assertEqual(out[0][0], "00040000", out)
                    self.assertTrue(check(out), out)
                finally:
                    p.terminate()
                    p.wait()
                    p.stdout.close()


if __name__ == "__main__":
    prog = unittest.main(exit=False)
    r = prog.result
    if r.wasSuccessful() and r.testsRun and len(r.skipped) == r.testsRun:
        sys.exit(77)
    sys.exit(0 if r.wasSuccessful() else 1)
