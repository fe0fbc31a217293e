#!/usr/bin/python3
"""Discovery benchmark: one discovery answered by N simulated agents.

    tools/bench/discovery_bench.py [--agents 1000,10000] [--spread-ms 0]    (as root)

For each N it builds a private test network (namespaces, removed afterwards),
starts the simulator with N agents (distinct MACs and addresses) and the
server from build/dist, starts the engine, runs one discovery and prints:
  stored      agents that reached the discovery list (goal: all of them)
  collect_ms  time from the request until the list stopped growing (polled
              every 100 ms, so +-100 ms)
  list_ms     wall time of GetSwitchInfoList over the whole list (best of 3)
  list_bytes  size of that response
  rss_mib     the server's peak resident memory (VmHWM)
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "netns"))
sys.path.insert(0, os.path.join(ROOT, "tools", "sim"))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))

import wire  # noqa: E402
from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet, netns_available  # noqa: E402

wire.check_answers = False  # the figures time the server, not the tests' schema check


def count_agents() -> tuple[int, float, int]:
    start = time.monotonic()
    resp = wire.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>", timeout=60)
    elapsed = time.monotonic() - start
    text = resp.text
    n = int(text.split("<nSwitchNum>", 1)[1].split("<", 1)[0])
    return n, elapsed, len(resp.raw)


def peak_rss_mib(pid: int) -> float:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def run(agents: int, spread_ms: int, dist: str) -> dict:
    net = TestNet(lans=1)
    net.up()
    workdir = tempfile.mkdtemp(prefix="ferrolink-bench-")
    server = sim = None
    try:
        wire.use_namespace(net.ns["srv"])
        sim = SimProcess.start(net, "lan", ["--first-ip", net.agent_ip(0, "lan"),
                                            "--count", str(agents), "--spread-ms", str(spread_ms)],
                               ready_timeout=120)
        os.makedirs(os.path.join(workdir, "cfg"))
        shutil.copy(os.path.join(dist, "cfg", "define.ecf"), os.path.join(workdir, "cfg"))
        server = wire.Server(dist, cwd=workdir, prefix=["ip", "netns", "exec", net.ns["srv"]])
        server.start()
        assert "<errorcode>0</errorcode>" in wire.call("EngineLayerStartup").text
        deadline = time.monotonic() + 15
        while "Fault" in wire.call("SetDiscoverToAgents").text:
            if time.monotonic() > deadline:
                raise RuntimeError("the engine opened no socket")
            time.sleep(0.2)
        time.sleep(3.5)  # let that first discovery end

        start = time.monotonic()
        assert "Fault" not in wire.call("SetDiscoverToAgents").text
        last, last_change = 0, start
        while time.monotonic() - last_change < 4 and time.monotonic() - start < 60:
            time.sleep(0.1)
            n, _, _ = count_agents()
            if n != last:
                last, last_change = n, time.monotonic()
        collect_ms = (last_change - start) * 1000
        timings = [count_agents() for _ in range(3)]
        return {
            "agents": agents,
            "stored": last,
            "collect_ms": round(collect_ms),
            "list_ms": round(min(t[1] for t in timings) * 1000, 1),
            "list_bytes": timings[0][2],
            "rss_mib": round(peak_rss_mib(server.proc.pid), 1),
        }
    finally:
        if server:
            server.stop()
        if sim:
            sim.stop()
        wire.use_namespace(None)
        net.down()
        shutil.rmtree(workdir, ignore_errors=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--agents", default="1000,10000")
    ap.add_argument("--spread-ms", type=int, default=0,
                    help="spread the simulated replies over this many ms")
    ap.add_argument("--dist", default=os.path.join(ROOT, "build", "dist"))
    args = ap.parse_args()
    ok, why = netns_available()
    if not ok:
        print(f"discovery_bench: {why}", file=sys.stderr)
        return 77
    os.environ["FERRO_DIST"] = args.dist
    print(f"{'agents':>7} {'stored':>7} {'collect_ms':>10} {'list_ms':>8} {'list_bytes':>11} "
          f"{'rss_mib':>8}")
    for n in (int(x) for x in args.agents.split(",")):
        r = run(n, args.spread_ms, args.dist)
        print(f"{r['agents']:>7} {r['stored']:>7} {r['collect_ms']:>10} {r['list_ms']:>8} "
              f"{r['list_bytes']:>11} {r['rss_mib']:>8}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
