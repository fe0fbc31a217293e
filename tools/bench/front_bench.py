#!/usr/bin/python3
"""HTTP front benchmark: what slow clients cost everybody else, and the memory
that the largest requests take.

    tools/bench/front_bench.py [--calls 300] [--drippers 1,5,20]      (as root)

Runs inside a private network namespace of its own (created and removed by
tests/integration/run_in_netns.py) with the server from build/dist.

Latency: N dripping clients each hold a connection and send one byte of a
never-ending request every 50 ms (a refused one reconnects at once); meanwhile
a normal client makes `--calls` GetRefreshTime calls one after another. For
each N it prints p50, p99 and the worst call, and p99 as a ratio against the
anchor run without drippers (goal: p99 under 50 ms).

Memory: for each of the largest requests a fresh server is started; printed
are the request's size, the server's peak resident memory (VmHWM) before and
after it, and the growth as a multiple of the request size (goal: about 10x
at most).
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))

import wire  # noqa: E402

DRIPPER = r"""
import socket, sys, time
n = int(sys.argv[1])
head = b"POST / HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n"
socks = [None] * n
end = time.monotonic() + float(sys.argv[2])
while time.monotonic() < end:
    for i in range(n):
        try:
            if socks[i] is None:
                socks[i] = socket.create_connection(("127.0.0.1", 64567))
                socks[i].sendall(head)
            socks[i].send(b"x")
        except OSError:
            if socks[i] is not None:
                socks[i].close()
            socks[i] = None
    time.sleep(0.05)
"""


def percentile(values: list[float], p: float) -> float:
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def latency(drippers: int, calls: int) -> dict:
    with wire.Server() as server:
        proc = None
        if drippers:
            proc = subprocess.Popen([sys.executable, "-c", DRIPPER, str(drippers), "600"])
            time.sleep(1.0)  # every dripper connected and dripping
        try:
            times = []
            for _ in range(calls):
                start = time.perf_counter()
                resp = wire.call("GetRefreshTime", timeout=60)
                times.append((time.perf_counter() - start) * 1000)
                assert "<ns:GetRefreshTimeResponse>" in resp.text, resp.raw[:300]
        finally:
            if proc:
                proc.kill()
                proc.wait()
        assert server.proc.poll() is None
    return {"p50": percentile(times, 50), "p99": percentile(times, 99), "max": max(times)}


def peak_rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def switch_info(i: int) -> str:
    """One full SwitchInfo entry, every text member filled."""
    mac = f"02-00-00-{i >> 16 & 255:02X}-{i >> 8 & 255:02X}-{i & 255:02X}"
    texts = "".join(f"<{n}>{n}-{i:05d}-value</{n}>" for n in (
        "systemName", "location", "controllerIPURL", "loginUser", "wifiSSID", "wifiKey",
        "radiusSecret", "wifiSSID5G", "wifiKey5G", "radiusSecret5G", "fwDomain", "productName",
        "fwVersion"))
    return (f"<vecSwitchInfo><macAddr>{mac}</macAddr><agentIpAddr>10.{i >> 16 & 255}."
            f"{i >> 8 & 255}.{i & 255}</agentIpAddr>{texts}<wifiChannel>6</wifiChannel>"
            f"</vecSwitchInfo>")


def large_requests() -> list[tuple[str, bytes]]:
    limit = 32 * 1024 * 1024
    # 10,000 entries (the most a list may hold) with names long enough to
    # fill the 32 MiB a request may have.
    shell = len(wire.envelope("AddUpgradeAgent", "".join(switch_info(i) for i in range(10000))))
    pad = (limit - shell) // 10000 // 2 - 30
    long_names = "".join(switch_info(i).replace("<systemName>", "<systemName>" + "s" * pad, 1)
                         .replace("<location>", "<location>" + "l" * pad, 1)
                         for i in range(10000))
    text_shell = wire.envelope("GetReqXmlFile", "<strXmlName></strXmlName>")
    return [
        ("AddUpgradeAgent 10,000 long entries",
         wire.envelope("AddUpgradeAgent", long_names)),
        ("AddUpgradeAgent 10,000 full entries",
         wire.envelope("AddUpgradeAgent", "".join(switch_info(i) for i in range(10000)))),
        ("AddUpgradeAgent 10,000 empty entries",
         wire.envelope("AddUpgradeAgent", "<vecSwitchInfo/>" * 10000)),
        ("AddUpgradeAgent 10,001 entries",
         wire.envelope("AddUpgradeAgent", "<vecSwitchInfo/>" * 10001)),
        ("one 32 MiB text member", wire.envelope(
            "GetReqXmlFile", "<strXmlName>%s</strXmlName>").replace(
                b"%s", b"n" * (limit - len(text_shell)))),
    ]


def memory() -> list[dict]:
    rows = []
    for name, body in large_requests():
        with wire.Server() as server:
            before = peak_rss_kib(server.proc.pid)
            start = time.perf_counter()
            resp = wire.post(body, timeout=120)
            elapsed = time.perf_counter() - start
            after = peak_rss_kib(server.proc.pid)
            rows.append({"name": name, "size": len(body), "before": before, "after": after,
                         "ms": elapsed * 1000, "status": resp.status_line,
                         "fault": "<SOAP-ENV:Fault>" in resp.text})
    return rows


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=300)
    ap.add_argument("--drippers", default="1,5,20")
    ap.add_argument("--no-memory", action="store_true")
    args = ap.parse_args()
    if os.environ.get("FERRO_BENCH_NS") != "1":
        if os.geteuid() != 0:
            print("front_bench: needs root (network namespaces)", file=sys.stderr)
            return 77
        env = dict(os.environ, FERRO_BENCH_NS="1",
                   FERRO_DIST=os.environ.get("FERRO_DIST", os.path.join(ROOT, "build", "dist")))
        return subprocess.run([sys.executable, os.path.join(ROOT, "tests", "integration",
                                                            "run_in_netns.py"),
                               sys.executable, os.path.abspath(__file__), *sys.argv[1:]],
                              env=env).returncode

    print(f"Latency of GetRefreshTime, {args.calls} calls each, beside N dripping clients")
    print(f"{'drippers':>9} {'p50 ms':>8} {'p99 ms':>8} {'max ms':>8} {'p99 / anchor':>13}")
    anchor = latency(0, args.calls)
    print(f"{'0 (anchor)':>9} {anchor['p50']:8.2f} {anchor['p99']:8.2f} {anchor['max']:8.2f} "
          f"{1.0:13.2f}")
    for n in (int(x) for x in args.drippers.split(",")):
        r = latency(n, args.calls)
        print(f"{n:>9} {r['p50']:8.2f} {r['p99']:8.2f} {r['max']:8.2f} "
              f"{r['p99'] / anchor['p99']:13.2f}", flush=True)

    if not args.no_memory:
        print("\nPeak resident memory (VmHWM) for the largest requests, a fresh server each")
        print(f"{'request':<38} {'size MiB':>9} {'before MiB':>10} {'peak MiB':>9} "
              f"{'growth/size':>11} {'ms':>7}  answer")
        for r in memory():
            growth = (r["after"] - r["before"]) * 1024 / r["size"]
            print(f"{r['name']:<38} {r['size'] / 2**20:9.2f} {r['before'] / 1024:10.1f} "
                  f"{r['after'] / 1024:9.1f} {growth:11.2f} {r['ms']:7.0f}  "
                  f"{r['status']}{' (fault)' if r['fault'] else ''}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
