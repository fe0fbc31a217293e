"""The simulator: many agents behind one UDP socket, driven by a control socket.

All agents share one socket bound to 0.0.0.0:<agent port>.  It receives the
limited broadcast, the multicast group (joined on the LAN interface) and
unicast to every agent address; IP_PKTINFO tells which address a datagram was
sent to, and every reply leaves from the answering agent's own address (again
IP_PKTINFO, on sendmsg) to the request's source address and port.  One process
and one socket serve 10,000 agents.

Control: JSON objects, one per line, over a Unix stream socket; every request
gets one JSON line back, {"ok": true, ...} or {"ok": false, "error": "..."}.
The same commands are available in-process through Simulator.control(dict).

  {"cmd": "ping"}
  {"cmd": "list", "agents": SEL}                 summaries
  {"cmd": "get", "agents": SEL}                  full settings and knobs
  {"cmd": "set", "agents": SEL, "fields": {...}, "password": "...",
                 "loader": bool}                 change settings
  {"cmd": "behave", "agents": SEL, <knob>: value, ...}   see agent.py
  {"cmd": "reset", "agents": SEL}                knobs back to defaults
  {"cmd": "silence", "agents": SEL, "ms": N}     N>0: silent N ms (a reboot);
                                                 N<0: for good; 0: answer again
  {"cmd": "trap", "agents": SEL, "kind": "plain"|"tlv", "text": "...",
                 "to": IP, "port": P, "ip": IP}  send one trap each
  {"cmd": "send", "agents": SEL, "opcode": N, "seq": N, "result": N,
                 "to": IP, "port": P, "cookie": N, "mac": MAC,
                 "body_hex": "...", "raw_hex": "...", "with_items": bool}
                                                 send any datagram from the
                                                 agent's address
  {"cmd": "flood", "agents": SEL, "count": N, "to": IP, "port": P,
                 "kind": "trap"|"reply", "seq": N, "new_macs": bool,
                 "first_mac": N, "pps": R, "seconds": S}
                                        send N datagrams, round robin over
                                        the agents, at R per second (0: as
                                        fast as the socket takes them), at
                                        most 1,000,000 and S seconds (default
                                        20, at most 60): plain traps numbered
                                        "flood 0", "flood 1", ..., or
                                        discovery replies with sequence N;
                                        new_macs gives every reply a MAC of
                                        its own (02-FD and a count from
                                        first_mac, default 0)
  {"cmd": "received", "opcode": N, "since": ID, "clear": bool}
  {"cmd": "sent", "opcode": N, "since": ID, "clear": bool}
  {"cmd": "stats"}                               counters
  {"cmd": "clear"}                               forget logs and counters
  {"cmd": "quit"}

SEL selects agents: omitted or "all"; an index; a MAC ("02-46-4C-00-00-07");
an IPv4 address; or a list of those.
"""

import collections
import heapq
import itertools
import json
import os
import selectors
import socket
import struct
import subprocess
import sys
import time

from . import wire
from .agent import DEFAULT_BEHAVIOUR, Reply

IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
IP_TRANSPARENT = getattr(socket, "IP_TRANSPARENT", 19)


def ifindex_of(name):
    return socket.if_nametoindex(name) if name else 0


def default_iface():
    """The first interface that is up and not loopback, or None."""
    try:
        out = subprocess.run(["ip", "-o", "link", "show", "up"], check=True,
                             capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    for line in out.splitlines():
        name = line.split(":")[1].strip().split("@")[0]
        if name != "lo":
            return name
    return None


def local_addresses(iface):
    out = subprocess.run(["ip", "-4", "-o", "addr", "show", "dev", iface],
                         check=True, capture_output=True, text=True).stdout
    return {line.split()[3].split("/")[0] for line in out.splitlines()}


def mask_prefix(netmask):
    return bin(struct.unpack(">I", socket.inet_aton(netmask))[0]).count("1")


def add_addresses(iface, addrs_with_mask):
    """Adds (ip, netmask) pairs to the interface in one `ip -batch` run;
    addresses already present are skipped.  Returns how many were added."""
    have = local_addresses(iface)
    lines = [f"address add {ip}/{mask_prefix(m)} dev {iface}\n"
             for ip, m in addrs_with_mask if ip not in have]
    if lines:
        subprocess.run(["ip", "-batch", "-"], input="".join(lines), check=True,
                       text=True, capture_output=True)
    return len(lines)


class Simulator:
    def __init__(self, agents, iface=None, base_port=wire.DEFAULT_BASE_PORT,
                 cookie=0, group=wire.DEFAULT_GROUP, control_path=None,
                 manage_addresses=True, max_pps=0, log_limit=20000,
                 verbose=False, out=sys.stdout):
        self.agents = list(agents)
        self.iface = iface
        self.base_port = base_port
        self.port = wire.agent_port(base_port)
        self.cookie = cookie
        self.group = group
        self.control_path = control_path
        self.manage_addresses = manage_addresses
        self.max_pps = max_pps
        self.verbose = verbose
        self.out = out
        self.start = time.monotonic()
        self.by_ip = {}
        self.by_mac = {}
        self.reindex()
        self.received_log = collections.deque(maxlen=log_limit)
        self.sent_log = collections.deque(maxlen=log_limit)
        self.ids = itertools.count(1)
        self.stats = collections.Counter()
        self.timers = []            # heap of (due, n, fn)
        self.outq = []              # heap of (due, n, data, src_ip, dst, meta)
        self.tick = itertools.count()
        self.ready = collections.deque()
        self.tokens = 0.0
        self.token_time = time.monotonic()
        self.running = False
        self.sock = None
        self.ctl = None
        self.sel = selectors.DefaultSelector()
        self.clients = {}
        self.trap_agents = set()

    # -- set-up -------------------------------------------------------------
    def reindex(self):
        self.by_ip.clear()
        self.by_mac.clear()
        for a in self.agents:
            self.by_ip.setdefault(a.ip, []).append(a)
            self.by_mac[a.mac] = a

    def open(self):
        if self.manage_addresses and self.iface:
            n = add_addresses(self.iface, [(a.ip, a.fields["agentNetmask"])
                                           for a in self.agents])
            self.stats["addresses_added"] += n
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)  # reply_to, traps, floods
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        s.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        try:  # lets replies leave from an address that is not (yet) local
            s.setsockopt(socket.IPPROTO_IP, IP_TRANSPARENT, 1)
        except OSError:
            pass
        s.bind(("0.0.0.0", self.port))
        mreqn = struct.pack("=4s4si", socket.inet_aton(self.group),
                            b"\0\0\0\0", ifindex_of(self.iface))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreqn)
        s.setblocking(False)
        self.sock = s
        self.sel.register(s, selectors.EVENT_READ, "udp")
        if self.control_path:
            try:
                os.unlink(self.control_path)
            except FileNotFoundError:
                pass
            c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            c.bind(self.control_path)
            c.listen(8)
            c.setblocking(False)
            self.ctl = c
            self.sel.register(c, selectors.EVENT_READ, "listen")
        now = time.monotonic()
        for a in self.agents:
            self._arm_agent(a, now)

    def close(self):
        for obj in list(self.clients):
            self._drop_client(obj)
        for s in (self.sock, self.ctl):
            if s is not None:
                try:
                    self.sel.unregister(s)
                except (KeyError, ValueError):
                    pass
                s.close()
        if self.control_path:
            try:
                os.unlink(self.control_path)
            except FileNotFoundError:
                pass
        self.sock = self.ctl = None

    # -- main loop ----------------------------------------------------------
    def run(self, duration=None):
        """Serves until `quit`, stop() or `duration` seconds have passed."""
        self.running = True
        end = time.monotonic() + duration if duration else None
        while self.running:
            now = time.monotonic()
            if end and now >= end:
                break
            self._run_timers(now)
            self._release_due(now)
            timeout = 0.2
            if self.timers:
                timeout = min(timeout, max(0.0, self.timers[0][0] - now))
            if self.outq:
                timeout = min(timeout, max(0.0, self.outq[0][0] - now))
            if self.ready:
                timeout = 0.0 if not self.max_pps else min(timeout, 0.002)
            want = selectors.EVENT_READ | (selectors.EVENT_WRITE if self.ready else 0)
            self.sel.modify(self.sock, want, "udp")
            for key, mask in self.sel.select(timeout):
                if key.data == "udp":
                    if mask & selectors.EVENT_READ:
                        self._receive_all()
                    if mask & selectors.EVENT_WRITE:
                        self._flush()
                elif key.data == "listen":
                    self._accept()
                else:
                    self._client_read(key.fileobj)
            if self.ready:
                self._flush()

    def stop(self):
        self.running = False

    def at(self, delay_s, fn):
        heapq.heappush(self.timers, (time.monotonic() + delay_s, next(self.tick), fn))

    def _run_timers(self, now):
        while self.timers and self.timers[0][0] <= now:
            _due, _n, fn = heapq.heappop(self.timers)
            fn()
        for a in list(self.trap_agents):
            if a.next_trap and now >= a.next_trap:
                a.next_trap = now + a.behaviour["trap_every_ms"] / 1000.0
                if not a.is_silent(now):
                    try:
                        self.send_trap(a, a.behaviour["trap_kind"],
                                       f"periodic trap from {a.fields['systemName']}")
                    except ValueError as e:
                        self._say(str(e))

    def _arm_agent(self, a, now):
        b = a.behaviour
        a.next_trap = now + b["trap_every_ms"] / 1000.0 if b["trap_every_ms"] else 0.0
        if a.next_trap:
            self.trap_agents.add(a)
        else:
            self.trap_agents.discard(a)
        a.silent_at = now + b["silent_after_ms"] / 1000.0 if b["silent_after_ms"] else 0.0

    # -- receiving ----------------------------------------------------------
    def _receive_all(self):
        for _ in range(256):
            try:
                data, anc, _flags, src = self.sock.recvmsg(
                    65535, socket.CMSG_SPACE(12))
            except BlockingIOError:
                return
            except OSError as e:
                self.stats["receive_errors"] += 1
                self._say(f"receive error: {e}")
                return
            dst = None
            for level, kind, cdata in anc:
                if level == socket.IPPROTO_IP and kind == IP_PKTINFO and len(cdata) >= 12:
                    dst = socket.inet_ntoa(cdata[8:12])
            self.on_datagram(data, src, dst or "0.0.0.0")

    def classify(self, dst):
        first = int(dst.split(".")[0])
        if 224 <= first <= 239:
            return "multicast"
        if dst == "255.255.255.255":
            return "broadcast"
        if dst in self.by_ip:
            return "unicast"
        if dst.endswith(".255"):
            return "broadcast"
        return "unicast"

    def on_datagram(self, data, src, dst):
        now = time.monotonic()
        kind = self.classify(dst)
        self.stats["received"] += 1
        entry = {"id": next(self.ids), "t": round(now - self.start, 3),
                 "src": src[0], "sport": src[1], "dst": dst, "kind": kind}
        entry.update(wire.describe(data))
        if entry["problems"]:
            self.stats["malformed_requests"] += 1
            self._say(f"malformed datagram from {src[0]}:{src[1]}: "
                      + "; ".join(entry["problems"]))
        hdr = wire.Header.unpack(data)
        entry["opcode"] = hdr.opcode
        targets = self.agents if kind != "unicast" else self.by_ip.get(dst, [])
        notes = collections.Counter()
        answered = 0
        for a in targets:
            old_ip = a.ip
            replies, note = a.handle(data, kind, dst, self.cookie, now, hdr)
            if note:
                notes[note] += 1
            if replies:
                answered += 1
            to = src
            if a.behaviour["reply_to"]:
                to = (a.behaviour["reply_to"], src[1])
            for r in replies:
                self.queue(a, r, a.packet(r, self.cookie), to, now, source_ip=old_ip)
            if note == "reboot scheduled":
                rb = a.behaviour["reboot_after_upgrade"]
                self.at(rb.get("delay_ms", 0) / 1000.0,
                        lambda a=a, ms=rb.get("silent_ms", 0): self.silence(a, ms))
            if a.ip != old_ip:
                self.move_agent(a)
        entry["answered"] = answered
        entry["notes"] = dict(notes)
        self.received_log.append(entry)
        if self.verbose:
            self._say(f"{entry['kind']} {wire.OPCODE_NAMES.get(hdr.opcode, hdr.opcode)} "
                      f"seq {hdr.sequence} from {src[0]}:{src[1]} to {dst}: "
                      f"{answered} answering")

    def move_agent(self, a):
        """An agent whose address was changed by a command: index it under the
        new address and make the address local so that it can be reached."""
        self.reindex()
        if self.manage_addresses and self.iface:
            try:
                add_addresses(self.iface, [(a.ip, a.fields["agentNetmask"])])
            except subprocess.CalledProcessError as e:
                self._say(f"cannot add {a.ip}: {e.stderr}")

    def silence(self, a, ms):
        now = time.monotonic()
        if ms > 0:
            a.silent_until = now + ms / 1000.0
            a.silent_at = 0.0
        elif ms < 0:
            a.silent_until = float("inf")
        else:
            a.silent_until = 0.0
            a.silent_at = 0.0

    # -- sending ------------------------------------------------------------
    def queue(self, agent, reply, data, dst, now, source_ip=None):
        to = reply.to or dst
        meta = (agent.mac, reply.opcode, reply.sequence)
        agent.counts[reply.opcode] = agent.counts.get(reply.opcode, 0) + 1
        item = (now + reply.delay_ms / 1000.0, next(self.tick), data,
                source_ip or agent.ip, to, meta)
        if reply.delay_ms <= 0:
            self.ready.append(item)
        else:
            heapq.heappush(self.outq, item)

    def _release_due(self, now):
        while self.outq and self.outq[0][0] <= now:
            self.ready.append(heapq.heappop(self.outq))

    def _flush(self):
        now = time.monotonic()
        if self.max_pps:
            self.tokens = min(self.max_pps / 20.0 + 1,
                              self.tokens + (now - self.token_time) * self.max_pps)
            self.token_time = now
        while self.ready:
            if self.max_pps and self.tokens < 1:
                return
            _due, _n, data, src_ip, dst, meta = self.ready[0]
            try:
                self.send_from(src_ip, dst, data)
            except BlockingIOError:
                return
            except OSError as e:
                self.stats["send_errors"] += 1
                self._say(f"send from {src_ip} to {dst} failed: {e}")
            else:
                self.stats["sent"] += 1
                self.sent_log.append({
                    "id": next(self.ids), "t": round(now - self.start, 3),
                    "mac": wire.mac_text(meta[0]), "opcode": meta[1],
                    "seq": meta[2], "from": src_ip, "to": dst[0], "port": dst[1],
                    "length": len(data)})
            self.ready.popleft()
            if self.max_pps:
                self.tokens -= 1

    def send_from(self, src_ip, dst, data):
        pktinfo = struct.pack("=I4s4s", 0, socket.inet_aton(src_ip), b"\0\0\0\0")
        self.sock.sendmsg([data], [(socket.IPPROTO_IP, IP_PKTINFO, pktinfo)], 0,
                          (dst[0], int(dst[1])))

    def send_trap(self, a, kind, text, to=None, port=None, ip=None):
        to = to or a.behaviour["trap_to"] or a.fields.get("trapIpAddr")
        if not to or to == "0.0.0.0":
            raise ValueError(f"agent {a.index} has no trap destination")
        port = port or a.behaviour["trap_port"] or self.base_port
        data = a.trap_packet(kind, text, self.cookie, ip)
        op = wire.OP_TRAP if kind == "plain" else wire.OP_TRAP_TLV
        self.queue(a, Reply(op, to=(to, port)), data, (to, port), time.monotonic())
        if self.verbose:
            self._say(f"agent {a.index} sends a {kind} trap to {to}:{port}")

    # -- control ------------------------------------------------------------
    def _accept(self):
        try:
            conn, _ = self.ctl.accept()
        except BlockingIOError:
            return
        conn.setblocking(False)
        self.clients[conn] = bytearray()
        self.sel.register(conn, selectors.EVENT_READ, "client")

    def _drop_client(self, conn):
        try:
            self.sel.unregister(conn)
        except (KeyError, ValueError):
            pass
        conn.close()
        self.clients.pop(conn, None)

    def _client_read(self, conn):
        try:
            chunk = conn.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        if not chunk:
            self._drop_client(conn)
            return
        buf = self.clients[conn]
        buf += chunk
        while b"\n" in buf:
            line, _, rest = bytes(buf).partition(b"\n")
            buf[:] = rest
            if not line.strip():
                continue
            try:
                reply = self.control(json.loads(line))
            except Exception as e:  # a bad command must not stop the fleet
                reply = {"ok": False, "error": f"{type(e).__name__}: {e}"}
            data = (json.dumps(reply) + "\n").encode()
            conn.setblocking(True)
            try:
                conn.sendall(data)
            except OSError:
                self._drop_client(conn)
                return
            finally:
                if conn in self.clients:
                    conn.setblocking(False)

    def select(self, spec):
        if spec is None or spec == "all":
            return list(self.agents)
        if isinstance(spec, list):
            seen, out = set(), []
            for s in spec:
                for a in self.select(s):
                    if id(a) not in seen:
                        seen.add(id(a))
                        out.append(a)
            return out
        if isinstance(spec, int):
            if not 0 <= spec < len(self.agents):
                raise ValueError(f"no agent {spec}")
            return [self.agents[spec]]
        if isinstance(spec, str):
            if spec.count(".") == 3:
                found = self.by_ip.get(spec, [])
            else:
                a = self.by_mac.get(wire.mac_bytes(spec))
                found = [a] if a else []
            if not found:
                raise ValueError(f"no agent {spec}")
            return found
        raise ValueError(f"bad agent selector {spec!r}")

    def control(self, req):
        cmd = req.get("cmd")
        handler = getattr(self, "_cmd_" + str(cmd), None)
        if handler is None:
            return {"ok": False, "error": f"unknown command {cmd!r}"}
        out = handler(req)
        out.setdefault("ok", True)
        return out

    def _cmd_ping(self, req):
        return {"agents": len(self.agents), "port": self.port}

    def _cmd_list(self, req):
        return {"agents": [a.summary() for a in self.select(req.get("agents"))]}

    def _cmd_get(self, req):
        return {"agents": [a.detail() for a in self.select(req.get("agents"))]}

    def _cmd_set(self, req):
        chosen = self.select(req.get("agents"))
        for a in chosen:
            if "loader" in req:
                a.set_loader(req["loader"])
            if "password" in req:
                a.password = req["password"]
            for k, v in req.get("fields", {}).items():
                if k not in wire.FIELD_TYPE:
                    raise ValueError(f"unknown field {k!r}")
                a.fields[k] = v
            a.invalidate()
        self.reindex()
        if self.manage_addresses and self.iface and "agentIpAddr" in req.get("fields", {}):
            for a in chosen:
                self.move_agent(a)
        return {"count": len(chosen)}

    def _cmd_behave(self, req):
        knobs = {k: v for k, v in req.items() if k not in ("cmd", "agents")}
        unknown = set(knobs) - set(DEFAULT_BEHAVIOUR)
        if unknown:
            raise ValueError(f"unknown knobs {sorted(unknown)}")
        chosen = self.select(req.get("agents"))
        now = time.monotonic()
        for a in chosen:
            a.behaviour.update(knobs)
            if "trap_every_ms" in knobs or "silent_after_ms" in knobs:
                self._arm_agent(a, now)
        return {"count": len(chosen)}

    def _cmd_reset(self, req):
        chosen = self.select(req.get("agents"))
        for a in chosen:
            a.behaviour = dict(DEFAULT_BEHAVIOUR)
            a.silent_until = a.silent_at = a.next_trap = 0.0
            self.trap_agents.discard(a)
        return {"count": len(chosen)}

    def _cmd_silence(self, req):
        chosen = self.select(req.get("agents"))
        for a in chosen:
            self.silence(a, int(req.get("ms", -1)))
        return {"count": len(chosen)}

    def _cmd_trap(self, req):
        chosen = self.select(req.get("agents"))
        for a in chosen:
            self.send_trap(a, req.get("kind", "plain"), req.get("text", "link down"),
                           req.get("to"), req.get("port"), req.get("ip"))
        return {"count": len(chosen)}

    def _cmd_send(self, req):
        chosen = self.select(req.get("agents"))
        to = req.get("to")
        if not to:
            raise ValueError("send needs 'to'")
        port = int(req.get("port", self.base_port))
        for a in chosen:
            if "raw_hex" in req:
                data = bytes.fromhex(req["raw_hex"])
                op = 0
            else:
                op = int(req["opcode"])
                hdr = wire.Header(opcode=op, sequence=int(req.get("seq", 0)),
                                  cookie=int(req.get("cookie", self.cookie)),
                                  agent_mac=wire.mac_bytes(req["mac"]) if "mac" in req else a.mac,
                                  result=int(req.get("result", 0)),
                                  proto_ver=a.proto_ver, family_type=a.family_type,
                                  iface_ver=a.iface_ver)
                body = bytes.fromhex(req.get("body_hex", ""))
                if req.get("with_items", "body_hex" not in req):
                    body = a.body() + body
                data = hdr.pack() + body
            r = Reply(op, delay_ms=int(req.get("delay_ms", 0)),
                      sequence=int(req.get("seq", 0)), to=(to, port))
            self.queue(a, r, data, (to, port), time.monotonic())
        return {"count": len(chosen)}

    FLOOD_MAX = 1_000_000

    def _cmd_flood(self, req):
        chosen = self.select(req.get("agents"))
        to = req.get("to")
        if not to or not chosen:
            raise ValueError("flood needs 'to' and at least one agent")
        count = min(int(req.get("count", 1000)), self.FLOOD_MAX)
        port = int(req.get("port", self.base_port))
        seconds = min(float(req.get("seconds", 20)), 60.0)
        pps = float(req.get("pps", 0))
        kind = req.get("kind", "trap")
        new_macs = bool(req.get("new_macs", False))
        seq = int(req.get("seq", 0))
        first_mac = int(req.get("first_mac", 0))
        replies = []
        for a in chosen:
            hdr = wire.Header(opcode=wire.OP_DISCOVER_REPLY, sequence=seq, cookie=self.cookie,
                              agent_mac=a.mac, proto_ver=a.proto_ver,
                              family_type=a.family_type, iface_ver=a.iface_ver)
            replies.append(bytearray(hdr.pack() + a.body()))
        # What stays the same for every datagram of an agent is made once, so
        # that the loop keeps up with a million datagrams: the trap up to its
        # text, and the source address (as send_from gives it).
        trap_heads = [a.trap_packet("plain", "", self.cookie)[:-1] for a in chosen]
        sources = [[(socket.IPPROTO_IP, IP_PKTINFO,
                     struct.pack("=I4s4s", 0, socket.inet_aton(a.ip), b"\0\0\0\0"))]
                   for a in chosen]
        dst = (to, port)
        sent = 0
        start = time.monotonic()
        while sent < count:
            now = time.monotonic()
            if now - start >= seconds:
                break
            if pps and sent >= (now - start) * pps:
                time.sleep(0.0005)
                continue
            i = sent % len(chosen)
            if kind == "trap":  # numbered in sending order: "flood N"
                data = trap_heads[i] + b"flood %d\0" % sent
            else:
                data = replies[i]
                if new_macs:  # 02-FD-xx-xx-xx-xx: locally administered, one per datagram
                    data[4:10] = b"\x02\xfd" + ((first_mac + sent) & 0xFFFFFFFF).to_bytes(4, "big")
            try:
                self.sock.sendmsg([data], sources[i], 0, dst)
            except BlockingIOError:
                time.sleep(0.0005)  # the socket is full: let it drain
                continue
            sent += 1
        self.stats["flooded"] += sent
        return {"sent": sent, "seconds": round(time.monotonic() - start, 3)}

    def _log_query(self, log, req):
        since = int(req.get("since", 0))
        op = req.get("opcode")
        out = [e for e in log if e["id"] > since and (op is None or e["opcode"] == op)]
        if req.get("clear"):
            log.clear()
        return {"entries": out}

    def _cmd_received(self, req):
        return self._log_query(self.received_log, req)

    def _cmd_sent(self, req):
        return self._log_query(self.sent_log, req)

    def _cmd_stats(self, req):
        by_op = collections.Counter()
        for a in self.agents:
            for op, n in a.counts.items():
                by_op[str(op)] += n
        return {"stats": dict(self.stats), "replies_by_opcode": dict(by_op),
                "queued": len(self.ready) + len(self.outq)}

    def _cmd_clear(self, req):
        self.received_log.clear()
        self.sent_log.clear()
        self.stats.clear()
        for a in self.agents:
            a.counts.clear()
        return {}

    def _cmd_quit(self, req):
        self.stop()
        return {}

    def _say(self, text):
        print(f"agentsim: {text}", file=self.out, flush=True)
