"""A TFTP write server that misbehaves on demand, for the faults the real
tftpd-hpa does not produce.  Run it inside a LAN namespace:

  ip netns exec fl-1-lan /usr/bin/python3 -m ferrosim.tftpfault \\
      --address 10.61.1.1 --mode error --at 2 --report /tmp/r.json --dir /tmp/up

Modes (all accept the write request on port 69 and answer from a fresh port):
  ok          behave: ACK every block, store the file in --dir
  error       answer block --at (0 = the write request) with ERROR 2
  silent      stop answering from block --at on (0 = never answer at all)
  wrong-port  ACK 0 from one port, every later ACK from another port
  erase       hold back ACK 1 for --delay-ms (a flash erase); DATA 1
              retransmissions meanwhile are counted, not answered
  dup-ack     send every ACK twice
  stray       behave, but before the ACK of block --at send an ERROR and that
              ACK (once) from another port (a stranger's transfer ID); what that
              port receives back is reported as "stray_received" (hex)

The report file (JSON, rewritten after every datagram) holds the requests
seen, every block number received with its size, retransmissions, and the
bytes stored.
"""

import argparse
import json
import os
import select
import signal
import socket
import struct
import sys
import time

RRQ, WRQ, DATA, ACK, ERROR = 1, 2, 3, 4, 5


class FaultyTftp:
    def __init__(self, address, mode="ok", at=0, delay_ms=0, directory=None,
                 report=None, port=69):
        self.address = address
        self.mode = mode
        self.at = at
        self.delay_ms = delay_ms
        self.directory = directory
        self.report_path = report
        self.listen = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.listen.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listen.bind((address, port))
        self.session = None      # socket of the current transfer
        self.other = None        # second socket for wrong-port and stray
        self.peer = None
        self.expected = 0        # next DATA block expected
        self.data = bytearray()
        self.name = None
        self.held_ack = None     # (due, block) in erase mode
        self.strayed = False     # the stray packets went out in this transfer
        self.report = {"requests": [], "blocks": [], "retransmissions": 0,
                       "errors_sent": 0, "stored": {}, "stray_received": []}
        self.running = True

    def _write_report(self):
        if self.report_path:
            tmp = self.report_path + ".tmp"
            with open(tmp, "w") as f:
                json.dump(self.report, f)
            os.replace(tmp, self.report_path)

    def _new_session(self):
        for s in (self.session, self.other):
            if s:
                s.close()
        self.session = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.session.bind((self.address, 0))
        self.other = None
        self.strayed = False
        if self.mode in ("wrong-port", "stray"):
            self.other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.other.bind((self.address, 0))

    def _ack(self, block):
        sock = self.session
        if self.mode == "wrong-port" and block > 0:
            sock = self.other
        pkt = struct.pack(">HH", ACK, block)
        sock.sendto(pkt, self.peer)
        if self.mode == "dup-ack":
            sock.sendto(pkt, self.peer)

    def _error(self, sock, code=2, text="access violation"):
        sock.sendto(struct.pack(">HH", ERROR, code) + text.encode() + b"\0", self.peer)
        self.report["errors_sent"] += 1

    def _answer(self, block):
        """Answers a request (block 0) or a DATA block as the mode says."""
        sock = self.session
        if self.mode == "error" and block == self.at:
            self._error(sock)
            return
        if self.mode == "silent" and block >= self.at:
            return
        if self.mode == "stray" and block == self.at and not self.strayed:
            self.strayed = True  # once a transfer, not again for a retransmission
            self._error(self.other)
            self.other.sendto(struct.pack(">HH", ACK, block), self.peer)
        if self.mode == "erase" and block == 1:
            if self.held_ack is None:
                self.held_ack = (time.monotonic() + self.delay_ms / 1000.0, 1)
            return
        self._ack(block)

    def on_listen(self):
        data, peer = self.listen.recvfrom(2048)
        if len(data) < 2:
            return
        op = struct.unpack(">H", data[:2])[0]
        parts = data[2:].split(b"\0")
        name = parts[0].decode("utf-8", "replace") if parts else ""
        mode = parts[1].decode("ascii", "replace") if len(parts) > 1 else ""
        self.report["requests"].append({"op": op, "name": name, "mode": mode,
                                        "from": list(peer)})
        self.peer = peer
        self._new_session()
        if op != WRQ:
            self._error(self.session, 4, "only writes")
        else:
            self.name = os.path.basename(name.replace("\\", "/")) or "upload.bin"
            self.data = bytearray()
            self.expected = 1
            self.held_ack = None
            self._answer(0)
        self._write_report()

    def on_session(self, sock):
        data, peer = sock.recvfrom(2048)
        if peer != self.peer or len(data) < 4:
            return
        if self.mode == "stray" and sock is self.other:
            self.report["stray_received"].append(data.hex())
            self._write_report()
            return
        op, block = struct.unpack(">HH", data[:4])
        if op != DATA:
            return
        payload = data[4:]
        self.report["blocks"].append([block, len(payload)])
        if block == self.expected:
            self.data += payload
            self.expected += 1
            if len(payload) < 512:
                self._store()
            self._answer(block)
        elif block == self.expected - 1:
            self.report["retransmissions"] += 1
            self._answer(block)
        self._write_report()

    def _store(self):
        self.report["stored"][self.name] = len(self.data)
        if self.directory:
            with open(os.path.join(self.directory, self.name), "wb") as f:
                f.write(self.data)

    def serve(self, duration=None):
        end = time.monotonic() + duration if duration else None
        while self.running and (end is None or time.monotonic() < end):
            socks = [self.listen] + [s for s in (self.session, self.other) if s]
            timeout = 0.1
            r, _, _ = select.select(socks, [], [], timeout)
            for s in r:
                if s is self.listen:
                    self.on_listen()
                else:
                    self.on_session(s)
            if self.held_ack and time.monotonic() >= self.held_ack[0]:
                self._ack(self.held_ack[1])
                self.held_ack = (float("inf"), 1)
                self._write_report()

    def close(self):
        for s in (self.listen, self.session, self.other):
            if s:
                s.close()


def main(argv=None):
    p = argparse.ArgumentParser(description="TFTP write server with faults.")
    p.add_argument("--address", required=True)
    p.add_argument("--port", type=int, default=69)
    p.add_argument("--mode", default="ok",
                   choices=("ok", "error", "silent", "wrong-port", "erase", "dup-ack",
                            "stray"))
    p.add_argument("--at", type=int, default=0, help="block the fault starts at")
    p.add_argument("--delay-ms", type=int, default=4000, help="erase mode delay")
    p.add_argument("--dir", help="where to store uploads")
    p.add_argument("--report", help="JSON report file")
    p.add_argument("--duration", type=float)
    args = p.parse_args(argv)
    srv = FaultyTftp(args.address, args.mode, args.at, args.delay_ms, args.dir,
                     args.report, args.port)

    def stop(_s, _f):
        srv.running = False

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    srv._write_report()
    print(f"tftpfault: {args.mode} on {args.address}:{args.port}", flush=True)
    try:
        srv.serve(args.duration)
    finally:
        srv.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
