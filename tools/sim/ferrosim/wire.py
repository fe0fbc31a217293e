"""Wire format of the agent management protocol, from the agent's side.

Written on its own, without the server's codec, so that a fault in one is
caught by the other.  Everything here is a pure function of bytes and plain
Python values:

  Header(...).pack() / Header.unpack(data)   40-byte packet header
  tlv(type, value_bytes) -> bytes            one item (length counts its header)
  parse_tlvs(body) -> (items, problems)      strict walk over a TLV body
  encode_item(type, value, iface_ver=0)      a record value in its wire form
  decode_item(type, value_bytes)             wire form back to a record value
  encode_fields(fields, types, iface_ver)    several record fields as items

Record values use Python types: text is str (UTF-8 on the wire), addresses are
dotted strings, numbers are int, the function bitmap (type 129) is a list of
four ints.
"""

import socket
import struct

HEADER_LEN = 40
MAX_DATAGRAM = 1500

OP_DISCOVER = 1
OP_DISCOVER_REPLY = 2
OP_SET_BY_MAC = 3
OP_SET_BY_MAC_REPLY = 4
OP_KEEPALIVE = 5
OP_KEEPALIVE_REPLY = 6
OP_SET_BY_IP = 7
OP_SET_BY_IP_REPLY = 8
OP_TRAP = 9
OP_UPGRADE_REQUEST = 10
OP_UPGRADE_REPLY = 11
OP_LOADER_DISCOVER_REPLY = 12
OP_LOADER_COMMAND = 14
OP_LOADER_COMMAND_REPLY = 15
OP_TRAP_TLV = 16
OP_RESTORE_DEFAULT = 17
OP_RESTORE_DEFAULT_REPLY = 18

OPCODE_NAMES = {
    1: "discover", 2: "discover-reply", 3: "set-by-mac", 4: "set-by-mac-reply",
    5: "keepalive", 6: "keepalive-reply", 7: "set-by-ip", 8: "set-by-ip-reply",
    9: "trap", 10: "upgrade-request", 11: "upgrade-reply",
    12: "loader-discover-reply", 14: "loader-command",
    15: "loader-command-reply", 16: "trap-tlv", 17: "restore-default",
    18: "restore-default-reply",
}

DEFAULT_BASE_PORT = 64513
DEFAULT_GROUP = "239.255.255.100"


def agent_port(base_port):
    """Port the agents listen on: base + 2, computed in 16 bits."""
    return (base_port + 2) & 0xFFFF


# Value forms.
TEXT = "text"
ADDR = "addr"
U16 = "u16"
U32 = "u32"
BYTE = "byte"
BITMAP = "bitmap"
DHCP = "dhcp"  # one byte when the agent's interface version is 1, else u16

# type -> (record field, form, text width including the terminating NUL)
CATALOGUE = {
    1: ("productName", TEXT, 41),
    2: ("systemName", TEXT, 21),
    3: ("location", TEXT, 21),
    4: ("agentIpAddr", ADDR, 0),
    5: ("agentNetmask", ADDR, 0),
    6: ("agentGateway", ADDR, 0),
    7: ("trapIpAddr", ADDR, 0),
    8: ("newPasseord", TEXT, 21),
    9: ("oldPassword", TEXT, 21),
    10: ("dhcpMode", DHCP, 0),
    11: ("fwVersion", TEXT, 18),
    12: ("productType", U16, 0),
    21: ("httpPort", U16, 0),
    22: ("groupTimer", U32, 0),
    24: ("lldpMode", U16, 0),
    25: ("lldpAuthenkey", TEXT, 22),
    26: ("snmpMode", U16, 0),
    27: ("upgradeDelayTime", U32, 0),
    28: ("upgradeRebootTime", U32, 0),
    29: ("upgradeEreaseFlashTime", U32, 0),
    30: ("errString", TEXT, 128),
    31: ("trapMessage", TEXT, 256),
    32: ("upType", TEXT, 0),
    33: ("encryptKey", TEXT, 0),
    34: ("filePath", TEXT, 0),
    35: ("fileSize", U32, 0),
    41: ("agentDNS1", ADDR, 0),
    42: ("agentDNS2", ADDR, 0),
    43: ("vlanID", U16, 0),
    44: ("systemTime", TEXT, 11),
    50: ("controllerIPURL", TEXT, 130),
    51: ("controlledByAC", BYTE, 0),
    52: ("loginUser", TEXT, 18),
    100: ("wifiEnable", BYTE, 0),
    101: ("wifiSSID", TEXT, 33),
    102: ("wifiKey", TEXT, 65),
    103: ("wifiSecurity", TEXT, 36),
    104: ("wifiChannel", BYTE, 0),
    105: ("wifi80211Mode", TEXT, 18),
    106: ("wifiChannelWidth", TEXT, 9),
    107: ("wifiVisible", BYTE, 0),
    108: ("wifiBand", TEXT, 17),
    109: ("wifiCurrentChannel", BYTE, 0),
    110: ("wifiSupportChannel", TEXT, 101),
    111: ("radiusIP", ADDR, 0),
    112: ("radiusPort", U16, 0),
    113: ("radiusSecret", TEXT, 66),
    116: ("wifiSSIDIsolution", BYTE, 0),
    117: ("wifiVlanID", U16, 0),
    118: ("bandwidthControl", TEXT, 28),
    119: ("rssiScanner", TEXT, 12),
    120: ("txPowerLevel", BYTE, 0),
    129: ("funBitmap", BITMAP, 0),
    130: ("wifiEnable5G", BYTE, 0),
    131: ("wifiSSID5G", TEXT, 33),
    132: ("wifiKey5G", TEXT, 65),
    133: ("wifiSecurity5G", TEXT, 34),
    134: ("wifiChannel5G", BYTE, 0),
    135: ("wifi80211Mode5G", TEXT, 18),
    136: ("wifiChannelWidth5G", TEXT, 9),
    137: ("wifiVisible5G", BYTE, 0),
    138: ("wifiCurrentChannel5G", BYTE, 0),
    139: ("wifiSupportChannel5G", TEXT, 101),
    140: ("radiusIP5G", ADDR, 0),
    141: ("radiusPort5G", U16, 0),
    142: ("radiusSecret5G", TEXT, 66),
    145: ("wifiSSIDIsolution5G", BYTE, 0),
    146: ("wifiVlanID5G", U16, 0),
    147: ("bandwidthControl5G", TEXT, 28),
    148: ("rssiScanner5G", TEXT, 12),
    149: ("txPowerLevel5G", BYTE, 0),
    161: ("fwDomain", TEXT, 5),
    163: ("wifiBandSteering", BYTE, 0),
    164: ("wifiRoaming", BYTE, 0),
}

FIELD_TYPE = {field: t for t, (field, _form, _w) in CATALOGUE.items()}


class Header:
    """The 40-byte header; every number big-endian."""

    FORMAT = ">HH6sHHHI6sH12s"

    def __init__(self, opcode=0, sequence=0, cookie=0, agent_mac=b"\0" * 6,
                 result=0, proto_ver=2, family_type=0, iface_ver=0,
                 sender_mac=b"\0" * 6):
        self.proto_ver = proto_ver
        self.family_type = family_type
        self.agent_mac = bytes(agent_mac)
        self.iface_ver = iface_ver
        self.opcode = opcode
        self.result = result
        self.cookie = cookie
        self.sender_mac = bytes(sender_mac)
        self.sequence = sequence

    def pack(self):
        return struct.pack(self.FORMAT, self.proto_ver & 0xFFFF,
                           self.family_type & 0xFFFF, self.agent_mac,
                           self.iface_ver & 0xFFFF, self.opcode & 0xFFFF,
                           self.result & 0xFFFF, self.cookie & 0xFFFFFFFF,
                           self.sender_mac, self.sequence & 0xFFFF, b"\0" * 12)

    @classmethod
    def unpack(cls, data):
        """Reads a header; a datagram shorter than 40 bytes reads as if
        zero-padded (the caller decides whether to trust it)."""
        data = bytes(data[:HEADER_LEN]).ljust(HEADER_LEN, b"\0")
        (pv, ft, amac, iv, op, res, cookie, smac, seq,
         _rsv) = struct.unpack(cls.FORMAT, data)
        return cls(opcode=op, sequence=seq, cookie=cookie, agent_mac=amac,
                   result=res, proto_ver=pv, family_type=ft, iface_ver=iv,
                   sender_mac=smac)

    def as_dict(self):
        return {
            "protoVer": self.proto_ver, "familyType": self.family_type,
            "agentMac": mac_text(self.agent_mac), "interfaceVer": self.iface_ver,
            "opcode": self.opcode, "result": self.result, "cookie": self.cookie,
            "senderMac": mac_text(self.sender_mac), "sequence": self.sequence,
        }


def tlv(item_type, value):
    """One item: type, length (value + 4) and value, all big-endian."""
    value = bytes(value)
    if len(value) + 4 > 0xFFFF:
        raise ValueError("item too long")
    return struct.pack(">HH", item_type, len(value) + 4) + value


def parse_tlvs(body):
    """Walks a TLV body strictly.

    Returns (items, problems): items is a list of (type, value bytes) for
    every well-formed item; problems lists what was wrong (a length below 4,
    an item running past the end, a stray tail shorter than an item header).
    The walk stops at the first problem.
    """
    items, problems = [], []
    pos, end = 0, len(body)
    while pos < end:
        if end - pos < 4:
            problems.append(f"{end - pos} stray bytes at offset {pos + HEADER_LEN}")
            break
        item_type, length = struct.unpack_from(">HH", body, pos)
        if length < 4:
            problems.append(f"item {item_type} at offset {pos + HEADER_LEN} "
                            f"has length {length}")
            break
        if pos + length > end:
            problems.append(f"item {item_type} at offset {pos + HEADER_LEN} "
                            f"runs {pos + length - end} bytes past the end")
            break
        items.append((item_type, bytes(body[pos + 4:pos + length])))
        pos += length
    return items, problems


def ip_bytes(text):
    return socket.inet_aton(text or "0.0.0.0")


def ip_text(raw):
    return socket.inet_ntoa(bytes(raw))


def mac_bytes(text):
    """'02-46-4C-00-00-01', '02:46:4c:00:00:01' or 12 hex digits."""
    digits = text.replace("-", "").replace(":", "")
    raw = bytes.fromhex(digits)
    if len(raw) != 6:
        raise ValueError(f"not a MAC address: {text!r}")
    return raw


def mac_text(raw):
    return "-".join(f"{b:02X}" for b in raw)


def encode_item(item_type, value, iface_ver=0):
    """A record value as one item in its catalogue form."""
    _field, form, _width = CATALOGUE[item_type]
    if form == TEXT:
        # Lone surrogates U+DC80..U+DCFF stand for raw bytes 0x80..0xFF, so
        # a JSON control message can make an agent send text that is not UTF-8.
        data = value.encode("utf-8", "surrogateescape") if isinstance(value, str) else bytes(value)
    elif form == ADDR:
        data = ip_bytes(value)
    elif form == U16:
        data = struct.pack(">H", value & 0xFFFF)
    elif form == U32:
        data = struct.pack(">I", value & 0xFFFFFFFF)
    elif form == BYTE:
        data = bytes([value & 0xFF])
    elif form == DHCP:
        data = bytes([value & 0xFF]) if iface_ver == 1 else struct.pack(">H", value & 0xFFFF)
    elif form == BITMAP:
        words = list(value) + [0] * (4 - len(value))
        data = struct.pack(">IIII", *(w & 0xFFFFFFFF for w in words[:4]))
    else:  # pragma: no cover - catalogue is closed
        raise ValueError(form)
    return tlv(item_type, data)


def decode_item(item_type, value):
    """An item's value bytes as a record value, or raises ValueError when the
    value does not have a width its form allows."""
    entry = CATALOGUE.get(item_type)
    if entry is None:
        raise KeyError(item_type)
    _field, form, _width = entry
    n = len(value)
    if form == TEXT:
        return value.decode("utf-8", errors="replace")
    if form == ADDR:
        if n != 4:
            raise ValueError(f"address item {item_type} has {n} value bytes")
        return ip_text(value)
    if form == U32:
        if n != 4:
            raise ValueError(f"32-bit item {item_type} has {n} value bytes")
        return struct.unpack(">I", value)[0]
    if form == BITMAP:
        if n != 16:
            raise ValueError(f"bitmap item has {n} value bytes")
        return list(struct.unpack(">IIII", value))
    # Small numbers: one byte or a big-endian 16-bit value.
    if n == 1:
        return value[0]
    if n == 2:
        return struct.unpack(">H", value)[0]
    if n == 0 and item_type in (51, 112, 141):
        return 0
    raise ValueError(f"number item {item_type} has {n} value bytes")


def encode_fields(fields, types, iface_ver=0):
    """Items for the listed types, in the order given, from a field dict.
    Types whose field is missing from the dict are left out."""
    out = bytearray()
    for t in types:
        field = CATALOGUE[t][0]
        if t == 129:
            value = fields.get("funBitmap")
        else:
            value = fields.get(field)
        if value is None:
            continue
        out += encode_item(t, value, iface_ver)
    return bytes(out)


def build_packet(header, body=b""):
    return header.pack() + bytes(body)


def describe(data):
    """A JSON-friendly account of one datagram: header fields, items and any
    framing problems.  Unknown item types are listed by number with hex."""
    hdr = Header.unpack(data)
    out = {"length": len(data), "header": hdr.as_dict(), "items": [], "problems": []}
    if len(data) < HEADER_LEN:
        out["problems"].append(f"short datagram of {len(data)} bytes")
        return out
    if hdr.opcode == OP_TRAP:
        body = data[HEADER_LEN:]
        out["trapIp"] = ip_text(body[:4].ljust(4, b"\0"))
        out["trapText"] = body[4:].split(b"\0", 1)[0].decode("utf-8", "replace")
        return out
    items, problems = parse_tlvs(data[HEADER_LEN:])
    out["problems"] = problems
    for t, v in items:
        entry = {"type": t, "len": len(v) + 4}
        if t in CATALOGUE:
            entry["field"] = CATALOGUE[t][0]
            try:
                entry["value"] = decode_item(t, v)
            except ValueError as e:
                entry["hex"] = v.hex()
                out["problems"].append(str(e))
        else:
            entry["hex"] = v.hex()
        out["items"].append(entry)
    return out
