#!/usr/bin/python3
"""Discovery benchmark: recorded replies of N agents replayed at the server.

    tools/bench/discovery_bench.py [--agents 10000] [--rates 0,50000,100000]
                                   [--runs 5]                      (as root)

It builds a private test network (namespaces, removed afterwards) and first
records the replies of N simulated agents to one discovery with tcpdump.
Then, for each rate (0: unpaced) and run, interleaved, it replays those
replies (each from its agent's address, to the addresses the simulator used)
with a small C sender (tools/bench/discovery_replay.c, built here):

  ours    the server from build/dist runs the engine; the sender answers the
          server's discovery request with the recording, then sends one trap
          per destination as a marker. The markers are queued behind every
          reply, so the last "trap" notice on the push channel is "last agent
          stored".
  anchor  a plain recvmmsg receiver (the same C program) on the same
          addresses, ports, interface binding and receive buffer, counting
          datagrams and distinct agents.

Per run it prints stored agents, the kernel's receive-buffer drops of the
server namespace (RcvbufErrors in /proc/net/snmp), CPU per datagram (all of
the server's threads; the anchor's own CPU) and the time from the last reply
on the wire to the last agent stored, both from the capture's timestamps
(tcpdump in the server namespace; the anchor stamps its last marker itself).
The summary gives medians with min and max over the runs; its last line per
rate gives the ours/anchor ratio of CPU per datagram of each interleaved pair
and how much later (ms) ours stored its last agent.
"""

import argparse
import glob
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

from benchkit import DEFAULT_DIST, HERE, refused, start_engine_server, take_down  # sets the path

import wire  # noqa: E402
from ferrosim import wire as simwire  # noqa: E402
from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet  # noqa: E402

wire.check_answers = False  # the figures time the server, not the tests' schema check

AGENT_PORT = simwire.agent_port(simwire.DEFAULT_BASE_PORT)
PUSH_PORT = 64568
OP_TRAP = 9
MARKER_LENGTH = 64  # no reply is this short, so the capture tells markers apart
LAN_IFACE = "veth0"  # the agents' side of the first LAN
SRV_IFACE = "veth0"  # the server's side


def build_replay(workdir: str) -> str:
    exe = os.path.join(workdir, "discovery_replay")
    subprocess.run(["cc", "-O2", "-Wall", "-o", exe, os.path.join(HERE, "discovery_replay.c")],
                   check=True)
    return exe


# -- the recording ------------------------------------------------------------

def start_server(net: TestNet, dist: str, workdir: str) -> "wire.Server":
    server = start_engine_server(net, dist, workdir)
    time.sleep(3.5)  # let that first discovery end
    return server


def start_tcpdump(net: TestNet, role: str, iface: str, expr: str, path: str,
                  immediate: bool = False) -> subprocess.Popen:
    # Without immediate mode the kernel hands packets over in blocks, at the
    # latest after a second; few packets wait for that (see stop_tcpdump).
    proc = net.popen(role, ["tcpdump", "-i", iface, "-n", "-s", "128", "-B", "32768", "-U",
                            "-w", path] + (["--immediate-mode"] if immediate else []) + [expr],
                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for _ in range(5):  # "listening on ..." once the capture runs
        line = proc.stderr.readline()
        if "listening" in line or not line:
            break
    if "listening" not in line:
        proc.kill()
        raise RuntimeError(f"tcpdump did not start: {line.strip()}")
    threading.Thread(target=proc.stderr.read, daemon=True).start()
    return proc


def stop_tcpdump(proc: subprocess.Popen) -> None:
    time.sleep(1.2)  # the last block of packets reaches the file
    proc.send_signal(signal.SIGINT)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def read_pcap(path: str):
    """(timestamp, source, destination, port, payload) of each IPv4/UDP frame
    of an Ethernet capture."""
    with open(path, "rb") as f:
        data = f.read()
    magic = struct.unpack_from("<I", data, 0)[0]
    scale = 1e-9 if magic == 0xA1B23C4D else 1e-6
    at = 24
    while at + 16 <= len(data):
        sec, frac, incl, _orig = struct.unpack_from("<IIII", data, at)
        frame = data[at + 16:at + 16 + incl]
        at += 16 + incl
        if len(frame) < 42 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
            continue
        ihl = (frame[14] & 0x0F) * 4
        udp = 14 + ihl
        length = struct.unpack_from(">H", frame, udp + 4)[0] - 8
        payload = frame[udp + 8:udp + 8 + length]
        if len(payload) != length:
            raise RuntimeError("the recording cut a datagram; raise the snap length")
        port = struct.unpack_from(">H", frame, udp + 2)[0]
        yield sec + frac * scale, frame[26:30], frame[30:34], port, payload


def record(net: TestNet, agents: int, dist: str, workdir: str) -> tuple[str, int, int]:
    """Records the replies of `agents` simulated agents to one discovery.
    Returns the replay file, the number of replies and of markers."""
    sim = server = None
    pcap = os.path.join(workdir, "record.pcap")
    try:
        sim = SimProcess.start(net, "lan", ["--first-ip", net.agent_ip(0, "lan"),
                                            "--count", str(agents)], ready_timeout=120)
        server = start_server(net, dist, os.path.join(workdir, "record"))
        dump = net.popen("lan", ["tcpdump", "-i", LAN_IFACE, "-n", "-s", "0", "-B", "65536",
                                 "-w", pcap, f"udp and src port {AGENT_PORT}"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if "listening" not in dump.stderr.readline():
            raise RuntimeError("tcpdump did not start")
        before = sim.client.call("stats")["stats"].get("sent", 0)
        assert "Fault" not in wire.call("SetDiscoverToAgents").text
        last, quiet_since, end = before, time.monotonic(), time.monotonic() + 120
        while time.monotonic() - quiet_since < 2 and time.monotonic() < end:
            time.sleep(0.2)
            now = sim.client.call("stats")["stats"].get("sent", 0)
            if now != last:
                last, quiet_since = now, time.monotonic()
        stop_tcpdump(dump)
    finally:
        if server:
            server.stop()
        if sim:
            sim.stop()
    replies = [(src, dst, port, payload) for _t, src, dst, port, payload in read_pcap(pcap)
               if len(payload) >= 40 and payload[12:14] == b"\x00\x02"]
    if not replies:
        raise RuntimeError("the simulator's replies were not recorded")
    destinations = []
    for _src, dst, port, _payload in replies:
        if (dst, port) not in destinations:
            destinations.append((dst, port))
    path = os.path.join(workdir, "replies.bin")
    with open(path, "wb") as f:
        for src, dst, port, payload in replies:
            f.write(struct.pack(">B4s4sHH", 0, src, dst, port, len(payload)) + payload)
        # One trap per destination after everything else: a marker that is
        # handled after every reply that came the same way.
        src, _dst, _port, head = replies[0]
        marker = bytearray(head[:40]) + src + b"bench-marker".ljust(MARKER_LENGTH - 44, b"\0")
        marker[12:14] = struct.pack(">H", OP_TRAP)
        for dst, port in destinations:
            f.write(struct.pack(">B4s4sHH", 1, src, dst, port, len(marker)) + marker)
    return path, len(replies), len(destinations)


# -- one run ------------------------------------------------------------------

def rcvbuf_errors(net: TestNet) -> int:
    text = net.run_in("srv", ["cat", "/proc/net/snmp"], capture_output=True, text=True).stdout
    lines = [line.split() for line in text.splitlines() if line.startswith("Udp:")]
    return int(lines[1][lines[0].index("RcvbufErrors")])


def cpu_seconds(pid: int) -> float:
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended meanwhile
    return total / 1e9


def capture_lines(path: str) -> list[str]:
    return subprocess.run(["tcpdump", "-r", path, "-n", "-tt"], capture_output=True,
                          text=True).stdout.splitlines()


def last_reply_time(path: str) -> float:
    """When the last reply (not a marker) was on the wire, from the capture."""
    last = 0.0
    for line in capture_lines(path):
        if f".{AGENT_PORT} >" in line and "UDP" in line and \
                not line.endswith(f"length {MARKER_LENGTH}"):
            last = float(line.split()[0])
    return last


def last_notice_time(path: str) -> float:
    """When the server wrote its last push notice, from the capture."""
    last = 0.0
    for line in capture_lines(path):
        if f"127.0.0.1.{PUSH_PORT} >" in line and not line.endswith("length 0"):
            last = float(line.split()[0])
    return last


def start_sender(net, exe, replay, rate, wait_ms) -> subprocess.Popen:
    proc = net.popen("lan", [exe, "send", replay, LAN_IFACE, str(AGENT_PORT), str(rate),
                             str(wait_ms)], stdout=subprocess.PIPE, bufsize=0)
    if proc.stdout.readline().strip() != b"ready":
        raise RuntimeError("the replay sender did not start")
    return proc


def finish(proc: subprocess.Popen, timeout: float) -> dict:
    """The child's "key=value" results. Its "ready" line must have been read
    from an unbuffered pipe (bufsize=0): communicate() reads the descriptor
    itself, so whatever a buffered readline took in beyond that line, such
    as the results of a child that finished before we got the CPU, is lost."""
    out, _ = proc.communicate(timeout=timeout)
    out = out.decode()
    if proc.returncode != 0:
        raise RuntimeError(f"{proc.args[1]} failed with {proc.returncode}")
    return dict(kv.split("=") for kv in out.split())


def run_ours(net, exe, replay, replies, markers, rate, dist, workdir) -> dict:
    server = dump = dump_lo = push = None
    cap = os.path.join(workdir, "ours.pcap")
    cap_lo = os.path.join(workdir, "ours-lo.pcap")
    try:
        server = start_server(net, dist, os.path.join(workdir, "ours"))
        push = wire.connect(("127.0.0.1", PUSH_PORT), timeout=30)
        push.sendall(b"\0")  # the push channel takes the first client that speaks
        notices = []

        def read_notices():
            buf = b""
            while True:
                try:
                    chunk = push.recv(4096)
                except OSError:
                    return
                if not chunk:
                    return
                buf += chunk
                notices.extend(buf.split(b"\0")[:-1])
                buf = buf.split(b"\0")[-1]

        threading.Thread(target=read_notices, daemon=True).start()
        dump = start_tcpdump(net, "srv", SRV_IFACE, f"udp and src port {AGENT_PORT}", cap)
        dump_lo = start_tcpdump(net, "srv", "lo", f"tcp and src port {PUSH_PORT}", cap_lo,
                                immediate=True)
        drops = rcvbuf_errors(net)
        cpu = cpu_seconds(server.proc.pid)
        sender = start_sender(net, exe, replay, rate, 15000)
        assert "Fault" not in wire.call("SetDiscoverToAgents").text
        sent = finish(sender, 60)
        end = time.monotonic() + 30
        while notices.count(b"trap") < markers and time.monotonic() < end:
            time.sleep(0.05)
        cpu = cpu_seconds(server.proc.pid) - cpu
        drops = rcvbuf_errors(net) - drops
        stop_tcpdump(dump)
        stop_tcpdump(dump_lo)
        dump = dump_lo = None
        last_reply, last_notice = last_reply_time(cap), last_notice_time(cap_lo)
        resp = wire.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>", timeout=120)
        stored = int(resp.text.split("<nSwitchNum>", 1)[1].split("<", 1)[0])
        return {
            "stored": stored,
            "drops": drops,
            "us_per_dgram": cpu * 1e6 / replies,
            "latency_ms": (last_notice - last_reply) * 1000
            if notices.count(b"trap") >= markers and last_reply and last_notice else float("nan"),
            "send_rate": float(sent["rate"]),
        }
    finally:
        for d in (dump, dump_lo):
            if d:
                stop_tcpdump(d)
        if push:
            push.close()
        if server:
            server.stop()


def run_anchor(net, exe, replay, replies, rate, workdir) -> dict:
    cap = os.path.join(workdir, "anchor.pcap")
    dump = start_tcpdump(net, "srv", SRV_IFACE, f"udp and src port {AGENT_PORT}", cap)
    anchor = None
    try:
        anchor = net.popen("srv", [exe, "anchor", replay, SRV_IFACE, "30000"],
                           stdout=subprocess.PIPE, bufsize=0)
        if anchor.stdout.readline().strip() != b"ready":
            raise RuntimeError("the anchor receiver did not start")
        drops = rcvbuf_errors(net)
        sent = finish(start_sender(net, exe, replay, rate, 0), 60)
        got = finish(anchor, 60)
        anchor = None
        drops = rcvbuf_errors(net) - drops
    finally:
        if anchor:
            anchor.kill()
            anchor.wait()
        stop_tcpdump(dump)
    last_reply = last_reply_time(cap)
    return {
        "stored": int(got["stored"]),
        "drops": drops,
        "us_per_dgram": float(got["cpu_seconds"]) * 1e6 / replies,
        "latency_ms": (float(got["last_marker_wall"]) - last_reply) * 1000
        if last_reply else float("nan"),
        "send_rate": float(sent["rate"]),
    }


# -- the table ----------------------------------------------------------------

def spread(values, fmt="{:.2f}") -> str:
    values = [v for v in values if v == v]  # NaN: not measured
    if not values:
        return "-"
    return (fmt.format(statistics.median(values)) + " (" + fmt.format(min(values)) + "-"
            + fmt.format(max(values)) + ")")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--agents", type=int, default=10000)
    ap.add_argument("--rates", default="0,50000,100000",
                    help="datagrams a second, comma-separated; 0 sends unpaced")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--dist", default=DEFAULT_DIST)
    args = ap.parse_args()
    if (code := refused("discovery_bench")) is not None:
        return code
    os.environ["FERRO_DIST"] = args.dist
    rates = [int(x) for x in args.rates.split(",")]
    workdir = tempfile.mkdtemp(prefix="ferrolink-bench-")
    net = TestNet(lans=1)
    net.up()
    try:
        wire.use_namespace(net.ns["srv"])
        exe = build_replay(workdir)
        replay, replies, markers = record(net, args.agents, args.dist, workdir)
        print(f"recorded {replies} replies of {args.agents} agents ({markers} destinations)",
              flush=True)
        results = {rate: {"ours": [], "anchor": []} for rate in rates}
        print(f"{'rate':>7} {'run':>3} {'side':>6} {'sent/s':>8} {'stored':>7} {'drops':>6} "
              f"{'us/dgram':>8} {'latency_ms':>10}")
        for run in range(args.runs):
            for rate in rates:
                # Alternate which side goes first, so that neither always
                # follows the other's leftovers.
                order = ["ours", "anchor"] if run % 2 == 0 else ["anchor", "ours"]
                for side in order:
                    if side == "ours":
                        r = run_ours(net, exe, replay, replies, markers, rate, args.dist, workdir)
                    else:
                        r = run_anchor(net, exe, replay, replies, rate, workdir)
                    results[rate][side].append(r)
                    print(f"{rate or 'max':>7} {run + 1:>3} {side:>6} {r['send_rate']:>8.0f} "
                          f"{r['stored']:>7} {r['drops']:>6} {r['us_per_dgram']:>8.2f} "
                          f"{r['latency_ms']:>10.1f}", flush=True)
        print()
        print(f"{args.agents} agents, {replies} datagrams, {args.runs} interleaved runs; "
              "median (min-max)")
        print(f"{'rate':>7} {'side':>6} {'all stored':>10} {'drops':>18} {'us/dgram':>20} "
              f"{'latency_ms':>22}")
        for rate in rates:
            for side in ("ours", "anchor"):
                rs = results[rate][side]
                full = sum(1 for r in rs if r["stored"] == args.agents)
                print(f"{rate or 'max':>7} {side:>6} {f'{full}/{len(rs)}':>10} "
                      f"{spread([r['drops'] for r in rs], '{:.0f}'):>18} "
                      f"{spread([r['us_per_dgram'] for r in rs]):>20} "
                      f"{spread([r['latency_ms'] for r in rs], '{:.1f}'):>22}")
            pairs = list(zip(results[rate]["ours"], results[rate]["anchor"]))
            cpu = [o["us_per_dgram"] / a["us_per_dgram"] for o, a in pairs if a["us_per_dgram"]]
            # The anchor's latency is close to zero, so a ratio would say
            # little: the line gives how much later ours stored the last agent.
            lat = [o["latency_ms"] - a["latency_ms"] for o, a in pairs]
            print(f"{rate or 'max':>7} {'ours/anchor':>6} {'':>10} {'':>18} {spread(cpu):>20} "
                  f"{spread(lat, '{:+.1f}'):>22}")
        return 0
    finally:
        take_down(net)
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
