#!/usr/bin/python3
"""Prints every IPv4 frame seen on one interface as a JSON line, until
killed or after a time limit.  Run inside a test namespace:
    transport_capture.py IFACE SECONDS
Prints "ready" once the capture socket is open."""

import json
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003


def main():
    iface, seconds = sys.argv[1], float(sys.argv[2])
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.bind((iface, 0))
    s.settimeout(0.2)
    print("ready", flush=True)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            frame, addr = s.recvfrom(65535)
        except socket.timeout:
            continue
        if len(frame) < 34 or struct.unpack("!H", frame[12:14])[0] != 0x0800:
            continue
        ip = frame[14:]
        ihl = (ip[0] & 0x0F) * 4
        proto = ip[9]
        rec = {
            "outgoing": addr[2] == socket.PACKET_OUTGOING,
            "eth_src": frame[6:12].hex(":"),
            "eth_dst": frame[0:6].hex(":"),
            "src": socket.inet_ntoa(ip[12:16]),
            "dst": socket.inet_ntoa(ip[16:20]),
            "proto": proto,
        }
        body = ip[ihl:]
        if proto == 17 and len(body) >= 8:
            rec["sport"], rec["dport"] = struct.unpack("!HH", body[0:4])
            rec["payload"] = body[8:].hex()
        else:
            rec["payload"] = body.hex()
        print(json.dumps(rec), flush=True)


if __name__ == "__main__":
    main()
