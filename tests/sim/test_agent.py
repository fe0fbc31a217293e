"""What a simulated agent answers to hand-written request bytes."""

import os
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "sim"))

from ferrosim import wire  # noqa: E402
from ferrosim.agent import MALFORMED_KINDS, Agent, damage  # noqa: E402

MAC = bytes.fromhex("02464c000007")
OTHER_MAC = bytes.fromhex("02464c000008")
IP = "10.61.1.8"


def request(opcode, seq, mac=b"\0" * 6, cookie=0, body=""):
    """A server request written out byte by byte."""
    head = ("0002" "0000" + mac.hex() + "0000" + f"{opcode:04x}" + "0000"
            + f"{cookie:08x}" + "02fe00000001" + f"{seq:04x}" + "00" * 12)
    return bytes.fromhex(head + body.replace(" ", ""))


def items_of(data):
    items, problems = wire.parse_tlvs(data[wire.HEADER_LEN:])
    assert not problems, problems
    return dict(items)


class DiscoveryTest(unittest.TestCase):
    def test_normal_agent_answers_opcode_2_with_its_items(self):
        a = Agent(7, MAC, IP, kind="switch")
        replies, _ = a.handle(request(1, 0x0203), "broadcast", "255.255.255.255", 0)
        self.assertEqual(len(replies), 1)
        data = a.packet(replies[0], 0)
        # Header: version 2, family 1, own MAC, iface 2, opcode 2, result 0,
        # cookie 0, sender MAC zero, the request's sequence.
        self.assertEqual(data[:40].hex(),
                         "0002" "0001" "02464c000007" "0002" "0002" "0000"
                         "00000000" "000000000000" "0203" + "00" * 12)
        items = items_of(data)
        self.assertEqual(items[4], bytes([10, 61, 1, 8]))
        self.assertEqual(items[5], bytes([255, 255, 0, 0]))
        self.assertEqual(items[10], b"\x00\x00")          # 16-bit dhcpMode
        self.assertIn(129, items)
        self.assertEqual(len(items[129]), 16)
        self.assertLessEqual(len(data), wire.MAX_DATAGRAM)

    def test_access_point_reply_fits_in_a_datagram(self):
        a = Agent(2, MAC, IP, kind="ap")
        replies, _ = a.handle(request(1, 1), "multicast", "239.255.255.100", 0)
        data = a.packet(replies[0], 0)
        self.assertLessEqual(len(data), wire.MAX_DATAGRAM)
        items = items_of(data)
        self.assertEqual(items[101], b"ferro-2")
        self.assertEqual(items[104], b"\x06")             # one-byte channel

    def test_loader_agent_answers_opcode_12(self):
        a = Agent(7, MAC, IP, loader=True)
        replies, _ = a.handle(request(1, 9), "broadcast", "255.255.255.255", 0)
        data = a.packet(replies[0], 0)
        self.assertEqual(data[12:14], b"\x00\x0c")
        self.assertEqual(data[10:12], b"\x00\x04")        # interface version 4
        fb0 = int.from_bytes(items_of(data)[129][:4], "big")
        self.assertTrue(fb0 & 0x80000000)

    def test_cookie_must_match(self):
        a = Agent(7, MAC, IP)
        self.assertEqual(a.handle(request(1, 1, cookie=5), "broadcast",
                                  "255.255.255.255", 0)[0], [])
        replies, _ = a.handle(request(1, 1, cookie=0xA1B2C3D4), "broadcast",
                              "255.255.255.255", 0xA1B2C3D4)
        self.assertEqual(a.packet(replies[0], 0xA1B2C3D4)[16:20].hex(), "a1b2c3d4")

    def test_copies_and_unicast_filtering(self):
        a = Agent(7, MAC, IP)
        a.behaviour["answer_multicast"] = False
        self.assertEqual(a.handle(request(1, 1), "multicast", "239.255.255.100", 0)[0], [])
        self.assertEqual(len(a.handle(request(1, 1), "broadcast",
                                      "255.255.255.255", 0)[0]), 1)
        self.assertEqual(a.handle(request(5, 1), "unicast", "10.61.1.99", 0)[0], [])


class KeepAliveTest(unittest.TestCase):
    def test_poll_to_own_address_answers_opcode_6(self):
        a = Agent(7, MAC, IP)
        replies, _ = a.handle(request(5, 77), "unicast", IP, 0)
        data = a.packet(replies[0], 0)
        self.assertEqual((data[12:14], data[26:28]), (b"\x00\x06", b"\x00\x4d"))

    def test_silent_agent_answers_nothing_until_the_window_ends(self):
        a = Agent(7, MAC, IP)
        a.silent_until = 100.0
        self.assertEqual(a.handle(request(5, 1), "unicast", IP, 0, now=99.0)[0], [])
        self.assertEqual(len(a.handle(request(5, 1), "unicast", IP, 0, now=100.0)[0]), 1)
        a.silent_at = 150.0
        self.assertEqual(a.handle(request(5, 1), "unicast", IP, 0, now=151.0)[0], [])


class CommandTest(unittest.TestCase):
    # systemName "core-sw", address 0.0.0.0 (from DHCP), dhcpMode 1 (16-bit),
    # location "" (empty item), vlanID 7 as a 16-bit value.
    BODY = ("0002 000b 636f72652d7377" "0004 0008 00000000" "000a 0006 0001"
            "0003 0004" "002b 0006 0007")

    def test_set_by_mac_applies_and_answers_4(self):
        a = Agent(7, MAC, IP)
        replies, note = a.handle(request(3, 0x10, MAC, body=self.BODY),
                                 "broadcast", "255.255.255.255", 0)
        data = a.packet(replies[0], 0)
        self.assertEqual((data[12:14], data[14:16], data[26:28]),
                         (b"\x00\x04", b"\x00\x00", b"\x00\x10"))
        self.assertEqual(a.fields["systemName"], "core-sw")
        self.assertEqual(a.fields["location"], "")
        self.assertEqual(a.fields["vlanID"], 7)
        self.assertEqual(a.fields["dhcpMode"], 1)
        self.assertEqual(a.ip, IP, "a zero address from DHCP keeps the old one")
        self.assertEqual(items_of(data)[2], b"core-sw", "reply shows the new name")
        self.assertIn("systemName", note)

    def test_opcode_by_command(self):
        for req_op, reply_op in ((7, 8), (14, 15), (17, 18)):
            with self.subTest(request=req_op):
                a = Agent(7, MAC, IP)
                replies, _ = a.handle(request(req_op, 3, MAC), "unicast", IP, 0)
                self.assertEqual(replies[0].opcode, reply_op)

    def test_command_for_another_mac_is_not_answered(self):
        a = Agent(7, MAC, IP)
        self.assertEqual(a.handle(request(3, 1, OTHER_MAC, body=self.BODY),
                                  "broadcast", "255.255.255.255", 0)[0], [])
        self.assertEqual(a.fields["systemName"], "switch-00007")

    def test_chosen_result_is_sent_and_nothing_applied(self):
        a = Agent(7, MAC, IP)
        a.behaviour["set_result"] = 3
        replies, _ = a.handle(request(7, 1, MAC, body=self.BODY), "unicast", IP, 0)
        self.assertEqual(a.packet(replies[0], 0)[14:16], b"\x00\x03")
        self.assertEqual(a.fields["systemName"], "switch-00007")

    def test_address_change_moves_the_agent(self):
        a = Agent(7, MAC, IP)
        a.handle(request(7, 1, MAC, body="0004 0008 0a3d0263"), "unicast", IP, 0)
        self.assertEqual(a.ip, "10.61.2.99")

    def test_password_change_checks_the_old_password(self):
        a = Agent(7, MAC, IP, password="admin")
        a.behaviour["check_password"] = True
        wrong = "0009 0007 6e6f7065" "0008 0007 6e6577"       # "nope", "new"
        replies, _ = a.handle(request(3, 1, MAC, body=wrong), "broadcast",
                              "255.255.255.255", 0)
        self.assertEqual(replies[0].result, 1)
        self.assertEqual(a.password, "admin")
        right = "0009 0009 61646d696e" "0008 0007 6e6577"     # "admin", "new"
        replies, _ = a.handle(request(3, 2, MAC, body=right), "broadcast",
                              "255.255.255.255", 0)
        self.assertEqual((replies[0].result, a.password), (0, "new"))

    def test_restore_default_keeps_the_address(self):
        a = Agent(7, MAC, IP)
        a.fields["systemName"] = "renamed"
        a.fields["agentIpAddr"] = "10.61.3.3"
        replies, _ = a.handle(request(17, 1, MAC), "unicast", "10.61.3.3", 0)
        self.assertEqual(replies[0].opcode, 18)
        self.assertEqual(a.fields["systemName"], "switch-00007")
        self.assertEqual(a.ip, "10.61.3.3")

    def test_every_command_is_remembered_with_its_raw_items(self):
        a = Agent(7, MAC, IP)
        a.behaviour["set_result"] = 5
        a.handle(request(3, 0x21, MAC, body=self.BODY), "broadcast", "255.255.255.255", 0)
        a.behaviour["set_result"] = 0
        a.handle(request(7, 0x22, MAC, body="0008 0004"), "unicast", IP, 0)
        first, second = a.detail()["commands"]
        self.assertEqual((first["opcode"], first["sequence"], first["result"]), (3, 0x21, 5))
        self.assertEqual([i["type"] for i in first["items"]], [2, 4, 10, 3, 43])
        self.assertEqual(first["items"][0],
                         {"type": 2, "field": "systemName", "len": 11,
                          "hex": "636f72652d7377", "value": "core-sw"})
        self.assertEqual(first["items"][1]["value"], "0.0.0.0")
        # An empty new password: an item of length 4, applied as "".
        self.assertEqual(second["items"], [{"type": 8, "field": "newPasseord", "len": 4,
                                            "hex": "", "value": ""}])
        self.assertEqual((second["result"], a.password), (0, ""))

    def test_names_travel_in_the_ansi_code_page_without_the_utf8_flag(self):
        a = Agent(7, MAC, IP)
        a.fields["funBitmap"][0] &= ~(1 << 29)
        a.invalidate()
        replies, _ = a.handle(request(3, 1, MAC, body="0002 000a 4dfc6c6c6572"),  # "M\xfcller"
                              "broadcast", "255.255.255.255", 0)
        self.assertEqual(a.fields["systemName"], "Müller")
        self.assertEqual(items_of(a.packet(replies[0], 0))[2], b"M\xfcller")
        # With the flag the same bytes are not UTF-8: replaced, not guessed.
        b = Agent(8, OTHER_MAC, IP)
        b.handle(request(3, 1, OTHER_MAC, body="0002 000a 4dfc6c6c6572"),
                 "broadcast", "255.255.255.255", 0)
        self.assertEqual(b.fields["systemName"], "M\ufffdller")


class UpgradeTest(unittest.TestCase):
    # password "admin", type "firmware", path "C:\fw.bin", size 1024.
    BODY = ("0009 0009 61646d696e" "0020 000c 6669726d77617265"
            "0022 000d 433a5c66772e62696e" "0023 0008 00000400")

    def test_answers_11_with_the_chosen_result_and_records_the_request(self):
        a = Agent(7, MAC, IP)
        a.behaviour["upgrade_result"] = 2
        replies, _ = a.handle(request(10, 0x55, MAC, body=self.BODY), "broadcast",
                              "255.255.255.255", 0)
        data = a.packet(replies[0], 0)
        self.assertEqual(len(data), 40)
        self.assertEqual((data[4:10], data[12:14], data[14:16], data[26:28]),
                         (MAC, b"\x00\x0b", b"\x00\x02", b"\x00\x55"))
        self.assertEqual(a.last_upgrade, {"9": "admin", "32": "firmware",
                                          "34": "C:\\fw.bin", "35": 1024})

    def test_accepted_upgrade_asks_for_a_reboot_when_configured(self):
        a = Agent(7, MAC, IP)
        a.behaviour["reboot_after_upgrade"] = {"delay_ms": 100, "silent_ms": 2000}
        _, note = a.handle(request(10, 1, MAC, body=self.BODY), "broadcast",
                           "255.255.255.255", 0)
        self.assertEqual(note, "reboot scheduled")


class FaultTest(unittest.TestCase):
    def test_repeat_delay_and_wrong_cookie(self):
        a = Agent(7, MAC, IP)
        a.behaviour.update(repeat=2, repeat_gap_ms=10, reply_delay_ms=3500,
                           wrong_cookie=True)
        replies, _ = a.handle(request(1, 1), "broadcast", "255.255.255.255", 0)
        self.assertEqual([r.delay_ms for r in replies], [3500, 3510, 3520])
        self.assertNotEqual(a.packet(replies[0], 0)[16:20], b"\0\0\0\0")

    def test_delay_only_for_chosen_opcodes(self):
        a = Agent(7, MAC, IP)
        a.behaviour.update(reply_delay_ms=3000, delay_ops=[5])
        self.assertEqual(a.handle(request(1, 1), "broadcast", "255.255.255.255",
                                  0)[0][0].delay_ms, 0)
        self.assertEqual(a.handle(request(5, 1), "unicast", IP, 0)[0][0].delay_ms, 3000)

    def test_every_damage_kind_does_what_it_says(self):
        a = Agent(7, MAC, IP)
        good = a.packet(a.handle(request(1, 1), "broadcast", "255.255.255.255", 0)[0][0], 0)
        for kind in MALFORMED_KINDS:
            with self.subTest(kind):
                bad = damage(good, kind)
                self.assertNotEqual(bad, good)
        self.assertEqual(len(damage(good, "short")), 30)
        self.assertEqual(damage(good, "empty"), b"")
        self.assertGreater(len(damage(good, "oversize")), wire.MAX_DATAGRAM)
        for kind in ("overrun", "tiny-length", "zero-length"):
            self.assertTrue(wire.parse_tlvs(damage(good, kind)[40:])[1], kind)
        bad = damage(good, "bad-address")
        self.assertEqual(bad[40:44], bytes.fromhex("00040006"))
        # Taken as 8 bytes long, the next item starts right after.
        self.assertEqual(bad[48:52], bytes.fromhex("00030015"))


class TrapTest(unittest.TestCase):
    def test_plain_trap_bytes(self):
        a = Agent(7, MAC, "192.168.0.20")
        data = a.trap_packet("plain", "port 3 down", 0)
        self.assertEqual(data[12:14], b"\x00\x09")
        self.assertEqual(data[4:10], MAC)
        self.assertEqual(data[40:], bytes.fromhex("c0a80014") + b"port 3 down\0")

    def test_tlv_trap_items(self):
        a = Agent(7, MAC, IP)
        a.fields["location"] = "hall"
        data = a.trap_packet("tlv", "fan", 0)
        self.assertEqual(data[12:14], b"\x00\x10")
        self.assertEqual(data[40:].hex(), "0003000868616c6c" "000400080a3d0108"
                                           "001f000766616e")


if __name__ == "__main__":
    unittest.main()
