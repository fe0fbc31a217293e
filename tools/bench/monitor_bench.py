#!/usr/bin/python3
"""Monitoring benchmark: many watched agents polled for minutes, no false "dead".

    tools/bench/monitor_bench.py [--agents 5000] [--minutes 10]    (as root)

It builds a private test network (namespaces, removed afterwards) with the
neighbour-table limits raised for the agents, starts the simulator with N
agents (all of them keep answering) and the server from build/dist, starts
the engine, discovers the agents and watches every one of them with
AddMonitorAgent.  With --start load (the default) it then saves the
watched list with SaveFile and loads it back with LoadFile, so that every
agent starts afresh at once and all of them are polled in the same one-second
pass, interval after interval (what a loaded list or a restart gives, and the
hardest case for the socket buffers); --start add keeps the nodes as the
AddMonitorAgent calls left them, their polls spread over the passes.
--cold empties the server namespace's neighbour table before the load, so
that the first pass has to resolve every agent's address at once (a fresh
start with a saved list).
Then, for the given minutes (at the server's default
polling interval unless --interval says otherwise), it reads GetMonitorStatus
of all watched agents every few seconds.  Every agent the server reports dead
is a false "dead": the simulator never stopped answering.

It prints:
  - the run: agents watched, status readings, false dead (agents and
    readings), polls the simulator received and replies it sent, against the
    polls due in that time (agents x seconds / interval);
  - a table of server thread CPU (from /proc/<pid>/task/<tid>/schedstat) for
    the monitoring run: the MonitorPoll thread per pass (one a second) and per
    poll, the PacketProcess thread (it refreshes the watched agents from the
    replies) and the Receive thread per reply;
  - with --start load, the CPU of each pass that polled all agents (the
    MonitorPoll thread's CPU sampled every 20 ms; a pass is a run of samples
    above 1 ms) beside the anchor, a small C program (poll_anchor.c, built
    here with cc) that sends the same number of 40-byte datagrams to the same
    addresses from a non-blocking socket in the server namespace, half an
    interval after each of the server's passes: medians with min and max, and
    the ratio of the medians.
Exit status 0 when no agent was reported dead, 1 otherwise.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from benchkit import DEFAULT_DIST, HERE, discovery_started, refused, start_server, take_down  # sets the path

import wire  # noqa: E402
from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet  # noqa: E402

wire.check_answers = False  # thousands of entries: the tests check the schema

OP_KEEPALIVE = 5
OP_KEEPALIVE_REPLY = 6
DEFAULT_INTERVAL_S = 15
ENTRY = re.compile(r"<agentIpAddr>([^<]*)</agentIpAddr>.*?<macAddr>([^<]*)</macAddr>", re.S)
STATUS = re.compile(r"<agentIpAddr>([^<]*)</agentIpAddr>.*?<isAlive>(-?\d+)</isAlive>", re.S)


def soap(operation: str, children: str = "", timeout: float = 120) -> str:
    text = wire.call(operation, children, timeout=timeout).text
    if "Fault>" in text:
        raise RuntimeError(f"{operation} failed: {text[:300]}")
    return text


def discovered() -> dict[str, str]:
    """Address -> MAC of every agent the server lists."""
    text = soap("GetSwitchInfoList", "<monitorNum>0</monitorNum>")
    return {ip: mac for ip, mac in ENTRY.findall(text)}


def thread_cpu(pid: int) -> dict[str, float]:
    """Seconds on the CPU of each named thread of `pid` (same-named threads
    added up)."""
    out: dict[str, float] = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                ns = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            continue
        out[name] = out.get(name, 0.0) + ns / 1e9
    return out


def thread_ns(pid: int, name: str) -> int | None:
    """CPU nanoseconds of the thread of `pid` called `name`."""
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                if f.read().strip() != name:
                    continue
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            continue
    return None


class PassSampler(threading.Thread):
    """Samples one thread's CPU every `period` s and cuts it into passes:
    samples that grew by more than `floor_ns` (an idle pass over the table
    costs far less), a pass ending after `quiet` samples below that (so that
    a pass the scheduler interrupts is still one pass; passes are a second
    apart)."""

    def __init__(self, pid: int, name: str, period: float = 0.02, floor_ns: int = 1_000_000,
                 quiet: int = 10):
        super().__init__(daemon=True)
        self.pid, self.name, self.period, self.floor_ns = pid, name, period, floor_ns
        self.quiet = quiet
        self.passes: list[int] = []
        self.stop = threading.Event()

    def run(self) -> None:
        last = thread_ns(self.pid, self.name)
        current = low = 0
        while not self.stop.wait(self.period) and last is not None:
            now = thread_ns(self.pid, self.name)
            if now is None:
                break
            delta, last = now - last, now
            if delta > self.floor_ns:
                current += delta
                low = 0
            elif current:
                current += delta
                low += 1
                if low >= self.quiet:
                    self.passes.append(current)
                    current = low = 0


def build_anchor(workdir: str) -> str:
    exe = os.path.join(workdir, "poll_anchor")
    subprocess.run(["cc", "-O2", "-o", exe, os.path.join(HERE, "poll_anchor.c")], check=True)
    return exe


def spread(values: list[float]) -> str:
    return f"{statistics.median(values):8.2f} {min(values):8.2f} {max(values):8.2f}"


def watch_all(agents: dict[str, str]) -> float:
    start = time.monotonic()
    for ip, mac in agents.items():
        soap("AddMonitorAgent", f"<strIpAddress>{ip}</strIpAddress><strMacAddr>{mac}</strMacAddr>")
    return time.monotonic() - start


def run(args) -> int:
    net = TestNet(lans=1, neighbours=0 if args.default_neighbour_limits else args.agents + 256)
    net.up()
    workdir = tempfile.mkdtemp(prefix="ferrolink-bench-")
    server = sim = None
    try:
        wire.use_namespace(net.ns["srv"])
        sim = SimProcess.start(net, "lan", ["--first-ip", net.agent_ip(0, "lan"),
                                            "--count", str(args.agents),
                                            "--spread-ms", str(args.spread_ms)],
                               ready_timeout=300)
        server = start_server(net, args.dist, workdir)
        soap("EngineLayerStartup")
        if args.interval:
            soap("SetRefreshTime", f"<monitorPollingInterval>{args.interval}"
                                   "</monitorPollingInterval>")
        interval = int(re.search(r"<monitorPollingInterval>(\d+)<",
                                 soap("GetRefreshTime", "<nUserID>0</nUserID>"
                                                        "<strUserName></strUserName>")).group(1))

        discovery_started()
        agents: dict[str, str] = {}
        for attempt in range(6):
            time.sleep(3.5 + args.spread_ms / 1000)
            agents.update(discovered())
            print(f"discovery {attempt + 1}: {len(agents)} of {args.agents} agents", flush=True)
            if len(agents) >= args.agents:
                break
            soap("SetDiscoverToAgents")
        if len(agents) < args.agents:
            raise RuntimeError(f"only {len(agents)} of {args.agents} agents discovered")

        add_s = watch_all(agents)
        print(f"watched {len(agents)} agents in {add_s:.1f} s "
              f"(polling interval {interval} s)", flush=True)
        if args.start == "load":
            saved = os.path.join(workdir, "watched.cfg")
            soap("SaveFile", f"<filepath>{saved}</filepath>")
            if args.cold:
                net.run_in("srv", ["ip", "neigh", "flush", "all"])
            text = soap("LoadFile", f"<filepath>{saved}</filepath>")
            loaded = int(re.search(r"<nMonitorNum>(\d+)<", text).group(1))
            if loaded != len(agents):
                raise RuntimeError(f"LoadFile gave {loaded} agents")
            print(f"saved and loaded back: {loaded} agents, polled together", flush=True)
        sim.client.call("clear")
        pid = server.proc.pid
        cpu0 = thread_cpu(pid)
        t0 = time.monotonic()
        end = t0 + args.minutes * 60
        sampler = anchor = None
        if args.start == "load":
            sampler = PassSampler(pid, "MonitorPoll")
            sampler.start()
            rounds = max(1, int(args.minutes * 60 / interval) - 1)
            time.sleep(interval / 2)  # the anchor sends between the server's passes
            anchor = net.popen("srv", [build_anchor(workdir), net.srv_ip,
                                       net.agent_ip(0, "lan"), str(len(agents)), "9",
                                       str(rounds), str(interval * 1000)],
                               stdout=subprocess.PIPE, text=True)
        readings = dead_readings = worst = 0
        dead_agents: set[str] = set()
        status_s = []
        while True:
            now = time.monotonic()
            if now >= end:
                break
            time.sleep(min(args.status_every, end - now))
            s0 = time.monotonic()
            text = soap("GetMonitorStatus", f"<monitorNum>{len(agents)}</monitorNum>")
            status_s.append(time.monotonic() - s0)
            states = STATUS.findall(text)
            if len(states) != len(agents):
                raise RuntimeError(f"GetMonitorStatus listed {len(states)} agents")
            dead = {ip for ip, alive in states if alive != "1"}
            readings += 1
            dead_readings += len(dead)
            worst = max(worst, len(dead))
            if dead - dead_agents:
                print(f"  {time.monotonic() - t0:6.0f} s: {len(dead)} reported dead, "
                      f"e.g. {sorted(dead - dead_agents)[:5]}", flush=True)
            dead_agents |= dead
        elapsed = time.monotonic() - t0
        cpu1 = thread_cpu(pid)
        anchor_ns: list[int] = []
        if sampler:
            sampler.stop.set()
            sampler.join()
            out, _ = anchor.communicate(timeout=interval * 2 + 30)
            anchor_ns = [int(line) for line in out.split()]
        stats = sim.client.call("stats")
        polls = stats["stats"].get("received", 0)
        replies = stats["replies_by_opcode"].get(str(OP_KEEPALIVE_REPLY), 0)
        due = len(agents) * elapsed / interval

        print()
        print(f"agents watched        {len(agents)}")
        print(f"run                   {elapsed:.0f} s, polling interval {interval} s")
        print(f"status readings       {readings} (GetMonitorStatus of all, median "
              f"{sorted(status_s)[len(status_s) // 2] * 1000:.0f} ms)")
        print(f"false dead            {len(dead_agents)} agents, {dead_readings} "
              f"agent-readings, at most {worst} at once")
        print(f"polls received by sim {polls} (due about {due:.0f}), "
              f"keep-alive replies sent {replies}")
        print()
        passes = elapsed  # one pass a second
        print(f"{'thread':<16} {'cpu_s':>8} {'cpu_%':>6} {'ms/pass':>8} {'us/poll':>8}")
        for name in ("MonitorPoll", "PacketProcess", "Receive"):
            cpu = cpu1.get(name, 0.0) - cpu0.get(name, 0.0)
            print(f"{name:<16} {cpu:>8.3f} {100 * cpu / elapsed:>6.2f} "
                  f"{1000 * cpu / passes:>8.3f} {1e6 * cpu / max(polls, 1):>8.2f}")
        print("(ms/pass: per one-second pass; us/poll: per poll the simulator received,"
              " for PacketProcess and Receive per reply)")
        if sampler and sampler.passes and anchor_ns:
            n = len(agents)
            ours = [ns / 1e6 for ns in sampler.passes]
            base = [ns / 1e6 for ns in anchor_ns]
            print()
            print(f"pass polling all {n}   {'median':>8} {'min':>8} {'max':>8}  (ms of CPU)")
            print(f"ferrolink ({len(ours):>3} passes) {spread(ours)}")
            print(f"anchor    ({len(base):>3} rounds) {spread(base)}")
            med, amed = statistics.median(ours), statistics.median(base)
            print(f"per poll: ferrolink {1000 * med / n:.2f} us, anchor {1000 * amed / n:.2f} us,"
                  f" ratio {med / amed:.2f}")
        return 0 if not dead_agents else 1
    finally:
        take_down(net, server, sim)
        shutil.rmtree(workdir, ignore_errors=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--agents", type=int, default=5000)
    ap.add_argument("--minutes", type=float, default=10.0)
    ap.add_argument("--interval", type=int, default=0,
                    help="polling interval in seconds (default: the server's, 15)")
    ap.add_argument("--start", choices=("load", "add"), default="load",
                    help="load: all agents polled in one pass; add: as added")
    ap.add_argument("--cold", action="store_true",
                    help="with --start load: empty the server's neighbour table first, so the "
                         "first pass resolves every agent's address at once")
    ap.add_argument("--default-neighbour-limits", action="store_true",
                    help="leave the neighbour-table limits as they are (to see why they are raised)")
    ap.add_argument("--status-every", type=float, default=5.0,
                    help="seconds between GetMonitorStatus readings")
    ap.add_argument("--spread-ms", type=int, default=1000,
                    help="the simulated discovery replies spread over this many ms")
    ap.add_argument("--dist", default=DEFAULT_DIST)
    args = ap.parse_args()
    if not 1 <= args.agents <= 20000 or not 0 < args.minutes <= 120:
        ap.error("--agents 1..20000, --minutes up to 120")
    if (code := refused("monitor_bench")) is not None:
        return code
    os.environ["FERRO_DIST"] = args.dist
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
