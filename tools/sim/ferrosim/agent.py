"""One simulated agent: its settings, its behaviour knobs, and what it answers.

Agent.handle(data, dst_kind, dst_ip, cookie) is pure: it takes one request
datagram and returns a list of Reply objects (opcode, result, body, delay) for
the simulator to send, or [] when the agent stays quiet.  Nothing here touches
sockets or clocks other than through the `now` argument, so it is testable
against hand-written bytes.

Behaviour knobs (Agent.behaviour, all settable through the control socket):
  set_result            result code of command replies (4, 8, 15, 18); 0
  upgrade_result        result code of upgrade replies (11); 0
  reply_delay_ms        delay before every reply (late replies); 0
  delay_ops             request opcodes the delay applies to; [] = all
  spread_ms             discovery replies spread over [0, spread_ms), fixed
                        per agent, so a large fleet does not answer at once
  repeat                extra copies of every reply; 0
  repeat_gap_ms         gap between the copies; 0
  wrong_cookie          replies carry cookie ^ 0x5A5A5A5A; False
  malformed             reply damage: see MALFORMED_KINDS; None
  ignore_ops            request opcodes never answered; []
  answer_broadcast      answer broadcast copies of requests; True
  answer_multicast      answer multicast copies of requests; True
  check_password        commands carrying item 9 must name the password,
                        else bad_password_result; False
  bad_password_result   1
  accept_any_cookie     answer requests whatever their cookie; False
  reboot_after_upgrade  {"delay_ms": d, "silent_ms": s}: after accepting an
                        upgrade, go silent from d ms for s ms; None
  trap_every_ms         send a trap this often (simulator timer); 0 = never
  trap_kind             "plain" or "tlv"; "plain"
  trap_to               trap destination address; None = trapIpAddr
  trap_port             trap destination port; None = base port
  silent_after_ms       stop answering for good this long after start; 0
  reply_to              send every reply to this address (at the request's
                        source port) instead of to the requester: the limited
                        broadcast, a directed broadcast or the multicast
                        group, as agents outside the server's subnet do; None
"""

import collections
import struct
import time
import zlib

from . import wire

SWITCH_TYPES = [1, 2, 3, 44, 4, 5, 6, 41, 42, 7, 10, 11, 12, 21, 22, 24, 25,
                26, 27, 28, 29, 43, 129]
AP_TYPES = SWITCH_TYPES + [50, 51, 52, 108, 100, 101, 103, 102, 104, 109, 105,
                           106, 107, 110, 111, 112, 113, 116, 117, 118, 119,
                           120, 130, 131, 133, 132, 134, 138, 135, 136, 137,
                           139, 140, 141, 142, 145, 146, 147, 148, 149, 161,
                           163, 164]
LOADER_TYPES = [1, 4, 5, 6, 11, 12, 129]


def bits(*ns):
    v = 0
    for n in ns:
        v |= 1 << n
    return v


SWITCH_FB0 = bits(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 21, 23, 24, 25, 26, 27, 29, 30)
AP_FB1 = bits(1, 2, 3, 4, 5, 6, 7, 8, 9, 10)
LOADER_FB0 = bits(0, 3, 4, 5, 31)
# Bit 29 of the first function word: names travel as UTF-8; clear, they
# travel in the ANSI code page (Windows-1252).
NAMES_UTF8 = bits(29)
NAME_TYPES = (2, 3)
ANSI = "cp1252"

# Damage that can be done to a reply on demand.
MALFORMED_KINDS = (
    "short",        # cut to 30 bytes: the header does not even end
    "header-only",  # the 40-byte header alone
    "overrun",      # the last item's length runs past the datagram
    "tiny-length",  # an item whose length field is 2 (below its own header)
    "zero-length",  # an item whose length field is 0
    "long-text",    # productName and systemName far longer than their fields
    "bad-address",  # item 4 whose length field says 6 (taken as 8 anyway)
    "oversize",     # padded to 1600 bytes, above the datagram limit
    "empty",        # a datagram of zero bytes
    "garbage",      # 100 bytes that are not a packet
)

DEFAULT_BEHAVIOUR = {
    "set_result": 0,
    "upgrade_result": 0,
    "reply_delay_ms": 0,
    "delay_ops": [],
    "spread_ms": 0,
    "repeat": 0,
    "repeat_gap_ms": 0,
    "wrong_cookie": False,
    "malformed": None,
    "ignore_ops": [],
    "answer_broadcast": True,
    "answer_multicast": True,
    "check_password": False,
    "bad_password_result": 1,
    "accept_any_cookie": False,
    "reboot_after_upgrade": None,
    "trap_every_ms": 0,
    "trap_kind": "plain",
    "trap_to": None,
    "trap_port": None,
    "silent_after_ms": 0,
    "reply_to": None,
}

# Settings a command may change (never the reported-only ones).
SETTABLE = {
    "productName", "systemName", "location", "systemTime", "controllerIPURL",
    "controlledByAC", "loginUser", "agentIpAddr", "agentNetmask",
    "agentGateway", "agentDNS1", "agentDNS2", "trapIpAddr", "dhcpMode",
    "groupTimer", "lldpMode", "lldpAuthenkey", "snmpMode", "upgradeDelayTime",
    "upgradeRebootTime", "upgradeEreaseFlashTime", "vlanID", "wifiEnable",
    "wifiSSID", "wifiKey", "wifiSecurity", "wifiChannel", "wifi80211Mode",
    "wifiChannelWidth", "wifiVisible", "wifiBand", "wifiSupportChannel",
    "radiusIP", "radiusPort", "radiusSecret", "wifiSSIDIsolution",
    "wifiVlanID", "bandwidthControl", "rssiScanner", "txPowerLevel",
    "wifiEnable5G", "wifiSSID5G", "wifiKey5G", "wifiSecurity5G",
    "wifiChannel5G", "wifi80211Mode5G", "wifiChannelWidth5G", "wifiVisible5G",
    "wifiSupportChannel5G", "radiusIP5G", "radiusPort5G", "radiusSecret5G",
    "wifiSSIDIsolution5G", "wifiVlanID5G", "bandwidthControl5G",
    "rssiScanner5G", "txPowerLevel5G", "fwDomain", "wifiBandSteering",
    "wifiRoaming",
}
ADDRESS_FIELDS = ("agentIpAddr", "agentNetmask", "agentGateway")


def factory_fields(kind, index, ip, netmask="255.255.0.0", gateway="0.0.0.0"):
    """Settings of a fresh agent of the given kind ("switch", "ap")."""
    f = {
        "productName": "FS-2408G" if kind == "switch" else "FW-AP1200",
        "systemName": f"{kind}-{index:05d}",
        "location": f"rack {index // 40 + 1}",
        "systemTime": "12:00:00",
        "agentIpAddr": ip,
        "agentNetmask": netmask,
        "agentGateway": gateway,
        "agentDNS1": "0.0.0.0",
        "agentDNS2": "0.0.0.0",
        "trapIpAddr": "0.0.0.0",
        "dhcpMode": 0,
        "fwVersion": "2.1.7" if kind == "switch" else "3.0.12",
        "productType": 1 if kind == "switch" else 2,
        "httpPort": 80,
        "groupTimer": 260,
        "lldpMode": 1,
        "lldpAuthenkey": "",
        "snmpMode": 0,
        "upgradeDelayTime": 10,
        "upgradeRebootTime": 60,
        "upgradeEreaseFlashTime": 3,
        "vlanID": 1,
        "funBitmap": [SWITCH_FB0, bits(2), 0, 0],
    }
    if kind == "ap":
        f["funBitmap"] = [SWITCH_FB0, AP_FB1, bits(1), 0]
        f.update({
            "controllerIPURL": "", "controlledByAC": 0, "loginUser": "admin",
            "wifiBand": "2.4G+5G", "wifiEnable": 1, "wifiSSID": f"ferro-{index}",
            "wifiSecurity": "WPA2-PSK", "wifiKey": "secret-key",
            "wifiChannel": 6, "wifiCurrentChannel": 6, "wifi80211Mode": "11ng",
            "wifiChannelWidth": "20", "wifiVisible": 1,
            "wifiSupportChannel": "1,2,3,4,5,6,7,8,9,10,11",
            "radiusIP": "0.0.0.0", "radiusPort": 1812, "radiusSecret": "",
            "wifiSSIDIsolution": 0, "wifiVlanID": 1, "bandwidthControl": "off",
            "rssiScanner": "off", "txPowerLevel": 3,
            "wifiEnable5G": 1, "wifiSSID5G": f"ferro-{index}-5g",
            "wifiSecurity5G": "WPA2-PSK", "wifiKey5G": "secret-key",
            "wifiChannel5G": 36, "wifiCurrentChannel5G": 36,
            "wifi80211Mode5G": "11ac", "wifiChannelWidth5G": "80",
            "wifiVisible5G": 1, "wifiSupportChannel5G": "36,40,44,48",
            "radiusIP5G": "0.0.0.0", "radiusPort5G": 1812, "radiusSecret5G": "",
            "wifiSSIDIsolution5G": 0, "wifiVlanID5G": 1,
            "bandwidthControl5G": "off", "rssiScanner5G": "off",
            "txPowerLevel5G": 3, "fwDomain": "EU", "wifiBandSteering": 0,
            "wifiRoaming": 0,
        })
    return f


class Reply:
    """One datagram an agent wants sent: to the request's source unless
    `to` says otherwise.  `raw` replaces the whole datagram when set."""

    def __init__(self, opcode, result=0, body=b"", delay_ms=0, sequence=0,
                 raw=None, to=None):
        self.opcode = opcode
        self.result = result
        self.body = body
        self.delay_ms = delay_ms
        self.sequence = sequence
        self.raw = raw
        self.to = to

    def __repr__(self):
        return (f"Reply(op={self.opcode}, result={self.result}, "
                f"len={len(self.body)}, delay={self.delay_ms})")


class Agent:
    def __init__(self, index, mac, ip, kind="switch", loader=False,
                 password="admin", netmask="255.255.0.0", gateway="0.0.0.0",
                 proto_ver=2, family_type=1, iface_ver=2):
        self.index = index
        self.mac = bytes(mac)
        self.kind = kind
        self.password = password
        self.proto_ver = proto_ver
        self.family_type = family_type
        self.iface_ver = iface_ver
        self.fields = factory_fields(kind, index, ip, netmask, gateway)
        self.factory = dict(self.fields)
        self.behaviour = dict(DEFAULT_BEHAVIOUR)
        self.loader = False
        self.set_loader(loader)
        self.silent_until = 0.0    # monotonic seconds; float("inf") = for good
        self.silent_at = 0.0       # goes silent for good at this time; 0 = never
        self.next_trap = 0.0       # time of the next periodic trap
        self.last_upgrade = None   # items of the latest upgrade request
        self.commands = collections.deque(maxlen=32)  # settings commands received
        self.counts = {}           # reply opcode -> replies sent
        self._body_cache = None

    # -- settings -----------------------------------------------------------
    @property
    def ip(self):
        return self.fields["agentIpAddr"]

    def set_loader(self, on):
        """Loader mode: answers discovery with 12 and commands with 15,
        announces loader commands (bit 31) and interface version 4."""
        self.loader = bool(on)
        if self.loader:
            self.fields["funBitmap"] = [LOADER_FB0, 0, 0, 0]
            self.fields["fwVersion"] = "boot-1.0"
            self.iface_ver = 4
        else:
            self.fields["funBitmap"] = list(self.factory["funBitmap"])
            self.fields["fwVersion"] = self.factory["fwVersion"]
            if self.iface_ver == 4:
                self.iface_ver = 2
        self.invalidate()

    def invalidate(self):
        self._body_cache = None

    def report_types(self):
        if self.loader:
            return LOADER_TYPES
        return AP_TYPES if self.kind == "ap" else SWITCH_TYPES

    def names_utf8(self):
        return bool(self.fields["funBitmap"][0] & NAMES_UTF8)

    def body(self):
        """The agent's items as sent in replies (cached until a change)."""
        if self._body_cache is None:
            fields = self.fields
            if not self.names_utf8():
                fields = dict(fields)
                for t in NAME_TYPES:
                    name = wire.CATALOGUE[t][0]
                    fields[name] = fields.get(name, "").encode(ANSI, errors="replace")
            self._body_cache = wire.encode_fields(fields, self.report_types(),
                                                  self.iface_ver)
        return self._body_cache

    def summary(self):
        return {
            "index": self.index, "mac": wire.mac_text(self.mac), "ip": self.ip,
            "kind": self.kind, "loader": self.loader,
            "silent": self.is_silent(time.monotonic()),
            "counts": dict(self.counts),
        }

    def detail(self):
        d = self.summary()
        d.update({"fields": dict(self.fields), "behaviour": dict(self.behaviour),
                  "password": self.password, "ifaceVer": self.iface_ver,
                  "lastUpgrade": self.last_upgrade, "commands": list(self.commands)})
        return d

    # -- answering ----------------------------------------------------------
    def is_silent(self, now):
        return now < self.silent_until or (0 < self.silent_at <= now)

    def handle(self, data, dst_kind, dst_ip, cookie, now=0.0, hdr=None):
        """Replies to one request datagram.

        dst_kind is "broadcast", "multicast" or "unicast"; dst_ip the address
        the datagram was sent to; cookie the configured magic cookie.  Returns
        (replies, note): note says why nothing was answered or what changed.
        """
        if len(data) < wire.HEADER_LEN:
            return [], "short request ignored"
        hdr = hdr or wire.Header.unpack(data)
        b = self.behaviour
        if self.is_silent(now):
            return [], "silent"
        if hdr.cookie != cookie and not b["accept_any_cookie"]:
            return [], "wrong cookie ignored"
        if hdr.opcode in b["ignore_ops"]:
            return [], "opcode ignored by behaviour"
        if dst_kind == "broadcast" and not b["answer_broadcast"]:
            return [], "broadcast not answered"
        if dst_kind == "multicast" and not b["answer_multicast"]:
            return [], "multicast not answered"
        if dst_kind == "unicast" and dst_ip != self.ip:
            return [], "addressed to another agent"
        op = hdr.opcode
        addressed = hdr.agent_mac == self.mac
        note = ""
        if op == wire.OP_DISCOVER:
            reply_op = (wire.OP_LOADER_DISCOVER_REPLY if self.loader
                        else wire.OP_DISCOVER_REPLY)
            replies = [Reply(reply_op, 0, self.body())]
        elif op == wire.OP_KEEPALIVE:
            replies = [Reply(wire.OP_KEEPALIVE_REPLY, 0, self.body())]
        elif op in (wire.OP_SET_BY_MAC, wire.OP_SET_BY_IP,
                    wire.OP_LOADER_COMMAND, wire.OP_RESTORE_DEFAULT):
            if not addressed:
                return [], "command for another MAC"
            result, note = self.apply_command(op, data[wire.HEADER_LEN:], hdr.sequence)
            reply_op = {wire.OP_SET_BY_MAC: wire.OP_SET_BY_MAC_REPLY,
                        wire.OP_SET_BY_IP: wire.OP_SET_BY_IP_REPLY,
                        wire.OP_LOADER_COMMAND: wire.OP_LOADER_COMMAND_REPLY,
                        wire.OP_RESTORE_DEFAULT: wire.OP_RESTORE_DEFAULT_REPLY}[op]
            replies = [Reply(reply_op, result, self.body())]
        elif op == wire.OP_UPGRADE_REQUEST:
            if not addressed:
                return [], "upgrade for another MAC"
            items, problems = wire.parse_tlvs(data[wire.HEADER_LEN:])
            self.last_upgrade = {str(t): _loose(t, v) for t, v in items}
            if problems:
                self.last_upgrade["problems"] = problems
            result = b["upgrade_result"]
            replies = [Reply(wire.OP_UPGRADE_REPLY, result, b"")]
            rb = b["reboot_after_upgrade"]
            if result == 0 and rb:
                note = "reboot scheduled"
        else:
            return [], "not a request"
        for r in replies:
            r.sequence = hdr.sequence
        return self._shape(replies, op), note

    def _shape(self, replies, request_op):
        """Applies delay, spread and repeats."""
        b = self.behaviour
        delay = 0
        if b["reply_delay_ms"] and (not b["delay_ops"] or request_op in b["delay_ops"]):
            delay += b["reply_delay_ms"]
        if b["spread_ms"] and request_op == wire.OP_DISCOVER:
            delay += zlib.crc32(self.mac) % max(1, int(b["spread_ms"]))
        out = []
        for r in replies:
            for k in range(int(b["repeat"]) + 1):
                out.append(Reply(r.opcode, r.result, r.body,
                                 delay + k * b["repeat_gap_ms"], r.sequence))
        return out

    def packet(self, reply, cookie):
        """The datagram for a reply, with the agent's header and any damage
        the behaviour asks for."""
        if reply.raw is not None:
            return reply.raw
        b = self.behaviour
        if b["wrong_cookie"]:
            cookie ^= 0x5A5A5A5A
        hdr = wire.Header(opcode=reply.opcode, sequence=reply.sequence,
                          cookie=cookie, agent_mac=self.mac, result=reply.result,
                          proto_ver=self.proto_ver, family_type=self.family_type,
                          iface_ver=self.iface_ver)
        data = hdr.pack() + reply.body
        if b["malformed"]:
            data = damage(data, b["malformed"])
        return data

    # -- commands -----------------------------------------------------------
    def apply_command(self, op, body, sequence=0):
        """Applies the settings of a command body; returns (result, note).
        Settings are applied only when the result is 0.  Every command is
        remembered (see `commands` in detail()): its items as received, raw
        bytes included, and what became of it."""
        items, problems = wire.parse_tlvs(body)
        values = {}
        for t, v in items:
            if t in wire.CATALOGUE:
                try:
                    if t in NAME_TYPES and not self.names_utf8():
                        values[t] = v.decode(ANSI, errors="replace")
                    else:
                        values[t] = wire.decode_item(t, v)
                except ValueError as e:
                    problems.append(str(e))
        record = {"opcode": op, "sequence": sequence,
                  "items": [{"type": t, "field": wire.CATALOGUE.get(t, (None,))[0],
                             "len": len(v) + 4, "hex": v.hex(),
                             "value": values.get(t)} for t, v in items],
                  "problems": list(problems)}
        self.commands.append(record)
        result, note = self._apply(op, values, problems)
        record.update(result=result, note=note)
        return result, note

    def _apply(self, op, values, problems):
        b = self.behaviour
        if b["check_password"] and 9 in values and values[9] != self.password:
            return b["bad_password_result"], "wrong password"
        result = b["set_result"]
        if result != 0:
            return result, f"answered with result {result}, nothing applied"
        changed = []
        if op == wire.OP_RESTORE_DEFAULT:
            keep = {k: self.fields[k] for k in ADDRESS_FIELDS}
            self.fields = dict(self.factory)
            self.fields.update(keep)
            self.password = "admin"
            if self.loader:
                self.set_loader(True)
            changed.append("factory defaults")
        else:
            for t, v in values.items():
                field = wire.CATALOGUE[t][0]
                if t == 8:
                    self.password = v
                    changed.append("password")
                elif field in ADDRESS_FIELDS and v == "0.0.0.0":
                    continue  # an address from DHCP: keep the current one
                elif field in SETTABLE:
                    self.fields[field] = v
                    changed.append(field)
        self.invalidate()
        note = "applied " + ",".join(changed) if changed else "nothing to apply"
        if problems:
            note += "; problems: " + "; ".join(problems)
        return 0, note

    # -- traps --------------------------------------------------------------
    def trap_packet(self, kind, text, cookie, ip=None):
        """A trap datagram: "plain" (opcode 9: address then NUL-ended text)
        or "tlv" (opcode 16: items 3, 4 and 31)."""
        hdr = wire.Header(opcode=wire.OP_TRAP if kind == "plain" else wire.OP_TRAP_TLV,
                          cookie=cookie, agent_mac=self.mac,
                          proto_ver=self.proto_ver, family_type=self.family_type,
                          iface_ver=self.iface_ver)
        if self.behaviour["wrong_cookie"]:
            hdr.cookie ^= 0x5A5A5A5A
        ip = ip or self.ip
        if kind == "plain":
            body = wire.ip_bytes(ip) + text.encode("utf-8", "surrogateescape") + b"\0"
        else:
            body = (wire.encode_item(3, self.fields.get("location", ""))
                    + wire.encode_item(4, ip) + wire.encode_item(31, text))
        return hdr.pack() + body


def _loose(t, v):
    try:
        return wire.decode_item(t, v)
    except (KeyError, ValueError):
        return v.hex()


def damage(data, kind):
    """Returns `data` damaged in the named way (see MALFORMED_KINDS)."""
    head = data[:wire.HEADER_LEN]
    if kind == "short":
        return data[:30]
    if kind == "header-only":
        return head
    if kind == "overrun":
        return data + struct.pack(">HH", 2, 200) + b"abc"
    if kind == "tiny-length":
        return head + struct.pack(">HH", 3, 2) + data[wire.HEADER_LEN:]
    if kind == "zero-length":
        return head + struct.pack(">HH", 3, 0) + data[wire.HEADER_LEN:]
    if kind == "long-text":
        return (head + wire.tlv(1, b"P" * 300) + wire.tlv(2, b"S" * 200)
                + data[wire.HEADER_LEN:])
    if kind == "bad-address":
        return (head + struct.pack(">HH", 4, 6) + bytes([10, 9, 8, 7])
                + wire.tlv(3, b"after-bad-address"))
    if kind == "oversize":
        pad = 1600 - len(data) - 4
        return data + wire.tlv(30, b"x" * max(pad, 0))
    if kind == "empty":
        return b""
    if kind == "garbage":
        return bytes((i * 37 + 11) & 0xFF for i in range(100))
    raise ValueError(f"unknown damage {kind!r}")
