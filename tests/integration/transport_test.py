#!/usr/bin/python3
"""The engine's UDP transport in a private test network: sockets per local
address, adapter changes, the five ways of sending (each leaving through its
own adapter; the server namespace has no default route), the two receive
queues, the IGMP report and static ARP entries.

    transport_test.py HARNESS

HARNESS is the transport_harness program; it runs inside the server
namespace only. Exits 77 (skipped) where namespaces cannot be created."""

import json
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "netns"))
from testnet import SKIP_CODE, TestNet, netns_available  # noqa: E402

HARNESS = None
PORTS = {"broadcast": 64513, "unicast": 64514, "agent": 64515, "transfer": 64517,
         "group": 64519}
GROUP = "239.255.255.100"


class Harness:
    """The harness process in the server namespace, one command at a time."""

    def __init__(self, net):
        self.proc = net.popen("srv", [HARNESS], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, bufsize=1)

    def cmd(self, line, timeout=20):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        lines = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            out = self.proc.stdout.readline()
            if out == "":
                raise RuntimeError(f"harness ended during {line!r}")
            out = out.rstrip("\n")
            if not lines and (out.startswith("ok") or out.startswith("error")):
                return out
            if out == "end":
                return lines
            lines.append(out)
        raise TimeoutError(line)

    def ok(self, line):
        answer = self.cmd(line)
        if not answer.startswith("ok"):
            raise AssertionError(f"{line!r}: {answer}")
        return answer.split()[1:]

    def sockets(self):
        """{ifname: {"mac": .., "addrs": {ip: (mask, [fd x4])},
                     "listen": {(address, kind): fd}}}"""
        sets, cur = {}, None
        for line in self.cmd("sockets"):
            f = line.split()
            if f[0] == "set":
                cur = sets.setdefault(f[3], {"mac": f[1], "addrs": {}, "listen": {}})
            elif f[0] == "listen":
                cur["listen"][(f[1], int(f[2]))] = int(f[3])
            else:
                cur["addrs"][f[1]] = (f[2], [int(x) for x in f[3:7]])
        return sets

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.flush()
                self.proc.wait(10)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()


class Capture:
    """Frames seen on the LAN side of one link, read in a thread."""

    def __init__(self, net, role, seconds=30):
        self.records = []
        self.proc = net.popen(role, [sys.executable, os.path.join(HERE, "transport_capture.py"),
                                     "veth0", str(seconds)],
                              stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline().strip() != "ready":
            raise RuntimeError("capture did not start")
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        with self.proc.stdout:
            for line in self.proc.stdout:
                self.records.append(json.loads(line))

    def wait_for(self, pred, timeout=5):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [r for r in list(self.records) if pred(r)]
            if found:
                return found
            time.sleep(0.05)
        return []

    def udp(self, **fields):
        return [r for r in list(self.records) if r["proto"] == 17 and not r["outgoing"]
                and all(r.get(k) == v for k, v in fields.items())]


def bound_udp(net):
    """Local (address, port) pairs of the UDP sockets in the server namespace."""
    out = net.run_in("srv", ["ss", "-uanH"]).stdout
    return {(m.group(1), int(m.group(2)))
            for m in re.finditer(r"(\d+\.\d+\.\d+\.\d+)(?:%\S+)?:(\d+)\s", out)}


def send_from_lan(net, dst, port, payload, role="lan"):
    code = ("import socket,sys;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);"
            f"s.sendto(bytes.fromhex({payload.hex()!r}),({dst!r},{port}))")
    net.python_in(role, code)


def send_many_from_lan(net, role, sends, source=None):
    """Sends (address, port, payload) triples from the LAN namespace `role`
    out of its interface: broadcasts, directed broadcasts and the group
    included; from `source` when given (an address of that namespace)."""
    items = [(dst, port, payload.hex()) for dst, port, payload in sends]
    code = ("import socket;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);"
            "s.setsockopt(socket.SOL_SOCKET,socket.SO_BROADCAST,1);"
            "s.setsockopt(socket.SOL_SOCKET,socket.SO_BINDTODEVICE,b'veth0');"
            f"s.bind(({source or ''!r},0));"
            f"[s.sendto(bytes.fromhex(h),(d,p)) for d,p,h in {items!r}]")
    net.python_in(role, code)


# Socket kinds as the harness prints them.
KIND = {"group": 0, "broadcast": 1, "unicast": 2, "transfer": 3}


def datagram(opcode, sequence, length=40):
    d = bytearray(length)
    struct.pack_into("!H", d, 12, opcode)
    struct.pack_into("!H", d, 26, sequence)
    d[4:10] = bytes.fromhex("02aa00000001")
    return bytes(d)


def mac_in(payload_hex):
    return bytes.fromhex(payload_hex)[20:26].hex(":")


class TransportTest(unittest.TestCase):
    igmp_ms = 0

    def setUp(self):
        self.net = TestNet(lans=2).up()
        self.addCleanup(self.net.down)
        self.h = Harness(self.net)
        self.addCleanup(self.h.close)
        self.assertEqual(self.h.ok(f"start {self.igmp_ms}"), ["1"])

    def test_sockets_follow_adapter_and_address_changes_within_one_pass(self):
        net, h = self.net, self.h
        sets = h.sockets()
        self.assertEqual(sorted(sets), ["veth0", "veth1"])
        self.assertEqual(sets["veth0"]["mac"], net.srv_mac(0))
        bound = bound_udp(net)
        for ip in net.srv_ips:
            for kind in ("broadcast", "unicast", "transfer", "group"):
                self.assertIn((ip, PORTS[kind]), bound)

        # Another user of the machine cannot bind beside the engine's sockets
        # (tied to the adapter, such a socket would take the agents' replies),
        # neither on an address's port nor on a broadcast listener's.
        squat = ("import socket\n"
                 "for addr, opt in ((%r, socket.SO_REUSEADDR), (%r, socket.SO_REUSEPORT),\n"
                 "                  ('255.255.255.255', socket.SO_REUSEADDR)):\n"
                 "    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                 "    s.setsockopt(socket.SOL_SOCKET, opt, 1)\n"
                 "    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b'veth0')\n"
                 "    try:\n"
                 "        s.bind((addr, %d)); print('bound', addr)\n"
                 "    except OSError as e:\n"
                 "        print('refused', e.errno)\n"
                 % (net.srv_ips[0], net.srv_ips[0], PORTS["unicast"]))
        out = net.run_in("srv", ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                 sys.executable, "-c", squat]).stdout
        self.assertEqual(out.split("\n")[:3], ["refused 98"] * 3, out)

        # A second address on one adapter: one set, two addresses, eight sockets.
        net.add_addr("srv", "veth0", "10.61.0.9/16")
        h.ok("pass")
        addrs = h.sockets()["veth0"]["addrs"]
        self.assertEqual(sorted(addrs), ["10.61.0.1", "10.61.0.9"])
        self.assertTrue(all(fd >= 0 for _, fds in addrs.values() for fd in fds))
        self.assertIn(("10.61.0.9", PORTS["unicast"]), bound_udp(net))

        # A new mask keeps the sockets and is used from now on.
        before = addrs["10.61.0.1"][1]
        net.set_mask("srv", "veth0", "10.61.0.1", 24)
        h.ok("pass")
        mask, fds = h.sockets()["veth0"]["addrs"]["10.61.0.1"]
        self.assertEqual((mask, fds), ("255.255.255.0", before))

        # An address that goes loses its sockets.
        net.del_addr("srv", "veth0", "10.61.0.9/16")
        h.ok("pass")
        self.assertNotIn("10.61.0.9", h.sockets()["veth0"]["addrs"])
        self.assertNotIn(("10.61.0.9", PORTS["unicast"]), bound_udp(net))

        # An adapter that goes down loses its set; back up, it gets one again.
        net.link("srv", "veth1", up=False)
        h.ok("pass")
        self.assertEqual(sorted(h.sockets()), ["veth0"])
        net.link("srv", "veth1", up=True)
        h.ok("pass")
        self.assertIn("veth1", h.sockets())

        # A new MAC makes it a new adapter within one pass.
        net.set_mac("srv", "veth1", "02:fe:00:00:00:09")
        h.ok("pass")
        self.assertEqual(h.sockets()["veth1"]["mac"], "02:fe:00:00:00:09")

        # Stopping closes every socket of the engine.
        self.assertEqual(h.ok("stop"), ["0"])
        self.assertFalse({b for b in bound_udp(net) if b[1] in PORTS.values()})

    def test_send_to_all_leaves_every_adapter_by_broadcast_and_multicast(self):
        net, h = self.net, self.h
        self.assertEqual(net.run_in("srv", ["ip", "route", "show", "default"]).stdout.strip(), "")
        caps = {role: Capture(net, role) for role in ("lan", "lan2")}
        result, mac = h.ok("sendall")
        self.assertEqual(result, "1")
        self.assertEqual(mac, net.srv_mac(1))  # the caller's buffer: the last adapter's MAC
        for i, role in enumerate(("lan", "lan2")):
            cap, ip = caps[role], net.srv_ips[i]
            cap.wait_for(lambda r: r.get("dst") == GROUP)
            cap.wait_for(lambda r: r.get("dst") == "255.255.255.255")
            bcast = cap.udp(src=ip, sport=PORTS["broadcast"], dst="255.255.255.255",
                            dport=PORTS["agent"])
            mcast = cap.udp(src=ip, sport=PORTS["group"], dst=GROUP, dport=PORTS["agent"])
            self.assertEqual(len(bcast), 1, role)
            self.assertEqual(len(mcast), 1, role)
            for r in bcast + mcast:
                self.assertEqual(mac_in(r["payload"]), net.srv_mac(i))
                self.assertEqual(len(r["payload"]), 80)  # 40 bytes
            # Nothing from the other adapter's address leaks onto this link.
            other = net.srv_ips[1 - i]
            self.assertEqual(cap.udp(src=other), [], role)

    def test_unicast_and_transfer_choose_the_adapter_of_the_subnet(self):
        net, h = self.net, self.h
        caps = {role: Capture(net, role) for role in ("lan", "lan2")}
        self.assertEqual(h.ok("sendagent 10.61.0.2")[0], "1")
        self.assertEqual(h.ok("transfer 192.168.0.2 69"), ["1"])
        self.assertTrue(caps["lan"].wait_for(lambda r: r.get("dport") == PORTS["agent"]))
        self.assertTrue(caps["lan2"].wait_for(lambda r: r.get("dport") == 69))
        time.sleep(0.3)
        self.assertEqual(len(caps["lan"].udp(src="10.61.0.1", sport=PORTS["unicast"],
                                             dst="10.61.0.2", dport=PORTS["agent"])), 1)
        self.assertEqual(len(caps["lan2"].udp(src="192.168.0.1", sport=PORTS["transfer"],
                                              dst="192.168.0.2", dport=69)), 1)
        self.assertEqual(caps["lan"].udp(dport=69), [])
        self.assertEqual(caps["lan2"].udp(dport=PORTS["agent"]), [])
        # Outside every subnet: one attempt from every address.
        self.assertEqual(h.ok("sendagent 172.16.5.5")[0], "1")

    def test_static_arp_entries_pin_an_agent_on_every_adapter(self):
        net, h = self.net, self.h
        agent, mac = "10.61.7.7", "02:aa:bb:cc:dd:ee"
        self.assertEqual(h.ok(f"arpset {agent} {mac}"), ["1"])
        neigh = net.run_in("srv", ["ip", "neigh", "show", agent]).stdout
        for iface in ("veth0", "veth1"):
            self.assertRegex(neigh, rf"{agent} dev {iface} lladdr {mac} PERMANENT")
        cap = Capture(net, "lan")
        h.ok(f"sendagent {agent}")  # no address resolution needed
        self.assertTrue(cap.wait_for(lambda r: r.get("dst") == agent and r["eth_dst"] == mac))
        self.assertEqual(h.ok(f"arpdel {agent}"), ["1"])
        self.assertNotIn("PERMANENT", net.run_in("srv", ["ip", "neigh", "show", agent]).stdout)
        self.assertEqual(h.ok(f"arpdel {agent}"), ["0"])

    def received_until(self, count, timeout=5):
        seen, deadline = [], time.monotonic() + timeout
        while len(seen) < count and time.monotonic() < deadline:
            seen += self.h.cmd("received")
            time.sleep(0.05)
        return seen

    def test_queues_and_socket_failures(self):
        net, h = self.net, self.h
        srv = net.srv_ip
        send_from_lan(net, srv, PORTS["broadcast"], datagram(2, 7))
        send_from_lan(net, srv, PORTS["unicast"], datagram(11, 8))
        send_from_lan(net, srv, PORTS["transfer"], datagram(2, 9))
        send_from_lan(net, srv, PORTS["group"], datagram(6, 10))
        seen = self.received_until(4)
        lan = net.lan_ip("lan")
        self.assertCountEqual(seen, [
            f"packet 2 7 {lan}",                # discovery reply: protocol side only
            f"transfer 11 8 0 {lan} 40",        # upgrade reply: transfer only
            f"transfer 0 0 1 {lan} 40",         # transfer socket: transfer only
            f"packet 6 10 {lan}"])
        # While an upload awaits the agent's rediscovery, its discovery
        # replies reach both sides; another agent's do not.
        self.assertEqual(h.ok("await 02:aa:00:00:00:01"), [])
        send_from_lan(net, srv, PORTS["broadcast"], datagram(2, 20))
        other = bytearray(datagram(2, 21))
        other[9] = 2
        send_from_lan(net, srv, PORTS["broadcast"], bytes(other))
        self.assertCountEqual(self.received_until(3), [
            f"packet 2 20 {lan}", f"transfer 2 20 0 {lan} 40", f"packet 2 21 {lan}"])
        self.assertEqual(h.ok("await none"), [])

        # Oversized datagram: dropped, the socket stays.
        send_from_lan(net, srv, PORTS["broadcast"], bytes(2000))
        send_from_lan(net, srv, PORTS["broadcast"], datagram(6, 12))
        self.assertEqual(self.received_until(1), [f"packet 6 12 {lan}"])

        # Zero-length datagrams (a port scan) on every socket: dropped, and
        # every socket goes on receiving.
        for kind in ("broadcast", "unicast", "transfer", "group"):
            send_from_lan(net, srv, PORTS[kind], b"")
        send_from_lan(net, srv, PORTS["unicast"], datagram(6, 13))
        send_from_lan(net, srv, PORTS["group"], datagram(6, 14))
        send_from_lan(net, srv, PORTS["broadcast"], datagram(6, 15))
        send_from_lan(net, srv, PORTS["transfer"], datagram(6, 16))
        self.assertCountEqual(self.received_until(4), [
            f"packet 6 13 {lan}", f"packet 6 14 {lan}", f"packet 6 15 {lan}",
            f"transfer 0 0 1 {lan} 40"])
        self.assertTrue(all(fd >= 0 for fd in h.sockets()["veth0"]["addrs"][srv][1]))
        for kind in ("broadcast", "unicast", "transfer", "group"):
            self.assertIn((srv, PORTS[kind]), bound_udp(net))


class BroadcastAndGroupReceiveTest(unittest.TestCase):
    """What agents send by broadcast or to the group reaches the engine once,
    on the adapter it arrived on, as the address's own socket would get it."""

    def setUp(self):
        self.net = TestNet(lans=2).up()
        self.addCleanup(self.net.down)
        # An agent outside every server subnet must not fall to reverse-path
        # filtering (the server namespace has no default route).
        for key in ("all", "default", "veth0", "veth1"):
            self.net.run_in("srv", ["sysctl", "-qw", f"net.ipv4.conf.{key}.rp_filter=0"])
        self.h = Harness(self.net)
        self.addCleanup(self.h.close)
        self.assertEqual(self.h.ok("start 0"), ["1"])

    def received_until(self, count, timeout=5):
        seen, deadline = [], time.monotonic() + timeout
        while len(seen) < count and time.monotonic() < deadline:
            seen += self.h.cmd("received")
            time.sleep(0.05)
        time.sleep(0.3)  # a duplicate would arrive right behind
        return seen + self.h.cmd("received")

    def test_listeners_follow_the_adapters_subnets(self):
        sets = self.h.sockets()
        for iface, directed in (("veth0", "10.61.255.255"), ("veth1", "192.168.255.255")):
            listen = sets[iface]["listen"]
            want = {(a, k) for a in ("255.255.255.255", directed) for k in KIND.values()}
            want.add((GROUP, KIND["group"]))
            self.assertEqual(set(listen), want, iface)
            self.assertTrue(all(fd >= 0 for fd in listen.values()), iface)
        bound = bound_udp(self.net)
        for port in PORTS.values():
            if port != PORTS["agent"]:
                self.assertIn(("255.255.255.255", port), bound)
        # A new mask moves the directed broadcast with it.
        self.net.set_mask("srv", "veth0", "10.61.0.1", 24)
        self.h.ok("pass")
        listen = self.h.sockets()["veth0"]["listen"]
        self.assertIn(("10.61.0.255", KIND["unicast"]), listen)
        self.assertNotIn(("10.61.255.255", KIND["unicast"]), listen)
        self.assertEqual(self.h.ok("stop"), ["0"])

    def test_broadcast_and_group_datagrams_received_once_per_adapter(self):
        net = self.net
        expected = []
        seq = 100
        for role, directed in (("lan", "10.61.255.255"), ("lan2", "192.168.255.255")):
            sends = []
            src = net.lan_ip(role)
            for dst in ("255.255.255.255", directed):
                for kind in ("broadcast", "unicast", "group"):
                    seq += 1
                    sends.append((dst, PORTS[kind], datagram(6, seq)))
                    expected.append(f"packet 6 {seq} {src}")
                seq += 1
                sends.append((dst, PORTS["transfer"], datagram(2, seq)))
                expected.append(f"transfer 0 0 1 {src} 40")
            seq += 1
            sends.append((GROUP, PORTS["group"], datagram(2, seq)))  # a discovery reply
            expected.append(f"packet 2 {seq} {src}")
            # The group on another port is nobody's.
            sends.append((GROUP, PORTS["broadcast"], datagram(6, 999)))
            send_many_from_lan(net, role, sends)
        self.assertCountEqual(self.received_until(len(expected)), expected)

    def test_agent_outside_the_subnet_heard_by_broadcast_and_group(self):
        outsider = "172.31.1.1"
        self.net.run_in("lan", ["ip", "addr", "add", f"{outsider}/16", "dev", "veth0"])
        send_many_from_lan(self.net, "lan", [
            ("255.255.255.255", PORTS["broadcast"], datagram(2, 1)),
            (GROUP, PORTS["group"], datagram(9, 2)),
            ("10.61.255.255", PORTS["unicast"], datagram(4, 3)),
        ], source=outsider)
        self.assertCountEqual(self.received_until(3), [
            f"packet 2 1 {outsider}", f"packet 9 2 {outsider}", f"packet 4 3 {outsider}"])


class IgmpReportTest(unittest.TestCase):
    def setUp(self):
        self.net = TestNet(lans=2).up()
        self.addCleanup(self.net.down)
        self.h = Harness(self.net)
        self.addCleanup(self.h.close)

    def test_membership_report_is_seen_on_every_lan(self):
        caps = {role: Capture(self.net, role) for role in ("lan", "lan2")}
        self.h.ok("start 1000")
        for _ in range(3):
            self.h.ok("pass")  # ten seconds of engine time: due again
        group = socket.inet_aton(GROUP).hex()
        for i, role in enumerate(("lan", "lan2")):
            reports = caps[role].wait_for(
                lambda r, i=i: r["proto"] == 2 and r["src"] == self.net.srv_ips[i]
                and r["dst"] == GROUP and r["payload"][:2] == "12")
            self.assertTrue(reports, role)
            body = bytes.fromhex(reports[0]["payload"])[:8]
            self.assertEqual(body[4:8].hex(), group)
            total = sum(struct.unpack("!4H", body))
            while total >> 16:
                total = (total & 0xFFFF) + (total >> 16)
            self.assertEqual(total, 0xFFFF)  # checksum valid

    def test_first_report_right_after_the_first_adapter_pass(self):
        caps = {role: Capture(self.net, role) for role in ("lan", "lan2")}
        self.h.ok("start 120000")  # the usual two minutes; the clock does not move
        for i, role in enumerate(("lan", "lan2")):
            self.assertTrue(caps[role].wait_for(
                lambda r, i=i: r["proto"] == 2 and r["src"] == self.net.srv_ips[i]
                and r["dst"] == GROUP and r["payload"][:2] == "12"), role)


if __name__ == "__main__":
    ok, why = netns_available()
    if not ok:
        print(f"SKIP: {why}", file=sys.stderr)
        sys.exit(SKIP_CODE)
    HARNESS = os.path.abspath(sys.argv.pop(1))
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
