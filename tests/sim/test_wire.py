"""The simulator's packet format against hand-written bytes."""

import os
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "sim"))

from ferrosim import wire  # noqa: E402

# A discovery request as the server sends it: version 2, opcode 1, cookie 0,
# sender MAC 02-FE-00-00-00-01, sequence 0x1234.
DISCOVERY_REQUEST = bytes.fromhex(
    "0002 0000 000000000000 0000 0001 0000 00000000 02fe00000001 1234"
    " 000000000000000000000000".replace(" ", ""))


class HeaderTest(unittest.TestCase):
    def test_reads_a_discovery_request(self):
        h = wire.Header.unpack(DISCOVERY_REQUEST)
        self.assertEqual((h.proto_ver, h.family_type, h.iface_ver), (2, 0, 0))
        self.assertEqual(h.opcode, 1)
        self.assertEqual(h.sequence, 0x1234)
        self.assertEqual(h.cookie, 0)
        self.assertEqual(h.agent_mac, bytes(6))
        self.assertEqual(h.sender_mac, bytes.fromhex("02fe00000001"))

    def test_writes_a_reply_header_field_by_field(self):
        h = wire.Header(opcode=4, sequence=0xBEEF, cookie=0xA1B2C3D4,
                        agent_mac=bytes.fromhex("02464c000007"), result=0x0102,
                        proto_ver=2, family_type=1, iface_ver=4)
        expected = bytes.fromhex(
            "0002" "0001" "02464c000007" "0004" "0004" "0102" "a1b2c3d4"
            "000000000000" "beef" + "00" * 12)
        self.assertEqual(h.pack(), expected)
        self.assertEqual(len(expected), wire.HEADER_LEN)

    def test_short_datagram_reads_as_zero_padded(self):
        h = wire.Header.unpack(DISCOVERY_REQUEST[:14])
        self.assertEqual(h.opcode, 1)
        self.assertEqual(h.sequence, 0)
        self.assertEqual(h.cookie, 0)

    def test_agent_port_is_base_plus_two_in_16_bits(self):
        self.assertEqual(wire.agent_port(64513), 64515)
        self.assertEqual(wire.agent_port(0xFFFF), 1)


class ItemFormTest(unittest.TestCase):
    def test_each_value_form(self):
        cases = [
            (1, "abc", 0, "0001 0007 616263"),                 # text, no NUL
            (3, "", 0, "0003 0004"),                           # empty text
            (4, "192.168.0.20", 0, "0004 0008 c0a80014"),      # address as is
            (12, 0x0102, 0, "000c 0006 0102"),                 # 16-bit
            (28, 0x01020304, 0, "001c 0008 01020304"),         # 32-bit
            (104, 0x0106, 0, "0068 0005 06"),                  # low byte
            (10, 1, 1, "000a 0005 01"),                        # dhcp, iface 1
            (10, 1, 2, "000a 0006 0001"),                      # dhcp, other
            (129, [1, 0x80000000, 2, 3], 0,
             "0081 0014 00000001 80000000 00000002 00000003"),
        ]
        for t, value, iv, hexed in cases:
            with self.subTest(type=t, value=value):
                self.assertEqual(wire.encode_item(t, value, iv),
                                 bytes.fromhex(hexed.replace(" ", "")))

    def test_decode_reads_what_the_server_sends(self):
        self.assertEqual(wire.decode_item(2, b"core-sw"), "core-sw")
        self.assertEqual(wire.decode_item(4, bytes([10, 61, 1, 9])), "10.61.1.9")
        self.assertEqual(wire.decode_item(10, b"\x01"), 1)
        self.assertEqual(wire.decode_item(10, b"\x00\x01"), 1)
        self.assertEqual(wire.decode_item(22, b"\x00\x00\x01\x04"), 260)
        self.assertEqual(wire.decode_item(112, b""), 0)
        self.assertEqual(wire.decode_item(129, bytes.fromhex("00" * 15 + "05")),
                         [0, 0, 0, 5])

    def test_decode_refuses_wrong_widths(self):
        for t, value in [(4, b"\x01\x02"), (22, b"\x01"), (129, b"\0" * 12),
                         (43, b"")]:
            with self.subTest(type=t):
                with self.assertRaises(ValueError):
                    wire.decode_item(t, value)


class TlvWalkTest(unittest.TestCase):
    def test_back_to_back_items(self):
        body = bytes.fromhex("0002 0006 6162 0003 0004 0004 0008 0a3d0101".replace(" ", ""))
        items, problems = wire.parse_tlvs(body)
        self.assertEqual(problems, [])
        self.assertEqual(items, [(2, b"ab"), (3, b""), (4, bytes([10, 61, 1, 1]))])

    def test_framing_faults_are_reported_not_trusted(self):
        cases = {
            "length below the item header": "0002 0006 6162 0003 0002 ffff",
            "item past the end": "0002 0010 616263",
            "stray tail": "0003 0004 00",
        }
        for name, hexed in cases.items():
            with self.subTest(name):
                items, problems = wire.parse_tlvs(bytes.fromhex(hexed.replace(" ", "")))
                self.assertEqual(len(problems), 1, problems)
        items, _ = wire.parse_tlvs(bytes.fromhex("000200066162 00030002ffff"
                                                 .replace(" ", "")))
        self.assertEqual(items, [(2, b"ab")])

    def test_describe_plain_trap(self):
        data = (wire.Header(opcode=9, agent_mac=bytes.fromhex("02464c000001")).pack()
                + bytes.fromhex("c0a80014") + b"link down\0" + b"\0\0")
        d = wire.describe(data)
        self.assertEqual(d["trapIp"], "192.168.0.20")
        self.assertEqual(d["trapText"], "link down")


class AddressTextTest(unittest.TestCase):
    def test_mac_forms(self):
        raw = bytes.fromhex("02464c00000a")
        for text in ("02-46-4C-00-00-0A", "02:46:4c:00:00:0a", "02464c00000a"):
            self.assertEqual(wire.mac_bytes(text), raw)
        self.assertEqual(wire.mac_text(raw), "02-46-4C-00-00-0A")
        with self.assertRaises(ValueError):
            wire.mac_bytes("02-46-4C")


if __name__ == "__main__":
    unittest.main()
