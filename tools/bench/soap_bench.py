#!/usr/bin/python3
"""SOAP benchmark: Ferrolink against a bare server of the same runtime.

    tools/bench/soap_bench.py [--agents 1000,10000] [--rounds 5] [--scale 1]   (as root)

Builds two helper programs in a temporary folder (never installed):
soap_anchor, a bare SOAP server generated from the same service header
(server/service/ferrolink.h), and soap_load, a C load client. Then, for each
agent count, it builds a private test network (namespaces, removed
afterwards), starts the simulator with that many agents and the server from
build/dist, starts the engine and runs one discovery. The anchor then fetches
the server's agent list once, so that both answer GetSwitchInfoList with the
same agents (the script checks that the two answers' bodies are identical).

Measured, with both servers in the server's namespace and the load on
loopback, in interleaved runs (Ferrolink, anchor, anchor, Ferrolink, ...):
  GetRefreshTime with 1 and 4 clients, GET of jquery.js and Device.wsdl
  (the runtime's plain file serving in the anchor), and GetSwitchInfoList of
  every agent count.
Printed per case: requests per second of each (median) and three ratios
Ferrolink / anchor per round (median, min, max): the wall time per request
(below 1 is faster than the anchor), requests per second (its inverse), and
the CPU time per request of the serving thread (each server's main thread,
from /proc/PID/task/PID/schedstat), which is less disturbed by other load on
the machine than wall time.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from benchkit import DEFAULT_DIST, HERE, ROOT, refused, start_engine_server, take_down  # sets the path

import wire  # noqa: E402
from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet  # noqa: E402

wire.check_answers = False  # the figures time the server, not the tests' schema check

ANCHOR_PORT = 64590
HEADER = os.path.join(ROOT, "server", "service", "ferrolink.h")
CXX = ["g++", "-std=c++20", "-O2", "-w"]

# The requests of each case and how many each client sends per run (times
# --scale); runs are sized to take roughly a second on an idle machine.
TRIVIAL = ("GetRefreshTime", "<nUserID>0</nUserID><strUserName></strUserName>")


def build_tools(work: str) -> tuple[str, str]:
    """soapcpp2 and the compiler, in `work`; returns (anchor, load) paths."""
    gen = os.path.join(work, "gen")
    os.makedirs(gen)
    subprocess.run(["soapcpp2", "-L", "-w", "-d", gen, "-I/usr/share/gsoap/import", HEADER],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Every operation the anchor does not answer: "no method".
    stub = open(os.path.join(gen, "soapStub.h")).read()
    answered = {"ns__GetRefreshTime", "ns__GetSwitchInfoList"}
    with open(os.path.join(gen, "others.cpp"), "w") as f:
        f.write('#include "soapH.h"\n')
        for name, params in re.findall(r"SOAP_FMAC5 int SOAP_FMAC6 (ns__\w+)\(([^;]*)\);", stub):
            if name not in answered:
                f.write(f"int {name}({params}) {{ return SOAP_NO_METHOD; }}\n")
    with open(os.path.join(gen, "nsmap.cpp"), "w") as f:
        f.write('#include "Device.nsmap"\n')
    anchor = os.path.join(work, "soap_anchor")
    load = os.path.join(work, "soap_load")
    sources = [os.path.join(HERE, "soap_anchor.cpp")] + [
        os.path.join(gen, n) for n in ("soapC.cpp", "soapServer.cpp", "soapClient.cpp",
                                       "others.cpp", "nsmap.cpp")]
    subprocess.run(CXX + ["-I", gen, "-o", anchor] + sources + ["-lgsoap++"], check=True)
    subprocess.run(CXX + ["-pthread", "-o", load, os.path.join(HERE, "soap_load.cpp")],
                   check=True)
    return anchor, load


def post_request(operation: str, children: str) -> bytes:
    body = wire.envelope(operation, children)
    return (f"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml; charset=utf-8\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode() + body


def get_request(name: str) -> bytes:
    return f"GET /{name} HTTP/1.1\r\nHost: localhost\r\n\r\n".encode()


def body_of(raw: bytes) -> bytes:
    return raw.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in raw else b""


def cpu_seconds(pid: int) -> float:
    """CPU time so far of the thread that serves: the process's main thread
    in both servers (the engine's own threads are left out)."""
    with open(f"/proc/{pid}/task/{pid}/schedstat") as f:
        return int(f.read().split()[0]) / 1e9


class Bench:
    def __init__(self, net: TestNet, load: str, work: str, pids: dict):
        self.net, self.load, self.work, self.pids = net, load, work, pids

    def run_load(self, port: int, request: bytes, clients: int, requests: int) -> tuple:
        """Seconds of wall time and of the server's CPU time per request of one run."""
        path = os.path.join(self.work, "request")
        with open(path, "wb") as f:
            f.write(request)
        cpu_before = cpu_seconds(self.pids[port])
        out = self.net.run_in("srv", [self.load, str(port), path, str(clients), str(requests)],
                              timeout=600).stdout.split()
        cpu = cpu_seconds(self.pids[port]) - cpu_before
        seconds, answers, bad = float(out[0]), int(out[1]), int(out[3])
        if bad or answers != clients * requests:
            raise RuntimeError(f"port {port}: {bad} bad answers of {clients * requests}")
        return seconds / answers, cpu / answers

    def case(self, request: bytes, clients: int, requests: int, rounds: int) -> dict:
        ours, anchor = [], []
        self.run_load(wire.SERVICE_PORT, request, clients, max(1, requests // 10))  # warm up
        self.run_load(ANCHOR_PORT, request, clients, max(1, requests // 10))
        for r in range(rounds):
            order = [(wire.SERVICE_PORT, ours), (ANCHOR_PORT, anchor)]
            for port, into in order if r % 2 == 0 else reversed(order):
                into.append(self.run_load(port, request, clients, requests))
        return {"ours": 1 / statistics.median(o[0] for o in ours),
                "anchor": 1 / statistics.median(a[0] for a in anchor),
                "ratio": [o[0] / a[0] for o, a in zip(ours, anchor)],
                "cpu": [o[1] / a[1] for o, a in zip(ours, anchor)]}


def same_body(request: bytes) -> bool:
    ours = wire.exchange(request, timeout=120)
    theirs = wire.exchange(request, timeout=120, port=ANCHOR_PORT)
    return body_of(ours) == body_of(theirs) and len(body_of(ours)) > 0


def measure_network(agents: int, first: bool, args, anchor: str, load: str, work: str,
                    rows: list) -> None:
    net = TestNet(lans=1)
    net.up()
    server = sim = anchor_proc = None
    try:
        wire.use_namespace(net.ns["srv"])
        sim = SimProcess.start(net, "lan", ["--first-ip", net.agent_ip(0, "lan"),
                                            "--count", str(agents),
                                            "--spread-ms", str(args.spread_ms)],
                               ready_timeout=120)
        server = start_engine_server(net, args.dist, os.path.join(work, f"cwd-{agents}"))
        # Wait until the list stops growing (bounded).
        last, last_change, start = -1, time.monotonic(), time.monotonic()
        while time.monotonic() - last_change < 4 and time.monotonic() - start < 120:
            time.sleep(0.5)
            text = wire.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>", timeout=60).text
            n = int(text.split("<nSwitchNum>", 1)[1].split("<", 1)[0])
            if n != last:
                last, last_change = n, time.monotonic()

        anchor_proc = net.popen("srv", [anchor, str(ANCHOR_PORT), args.dist,
                                        f"http://127.0.0.1:{wire.SERVICE_PORT}"],
                                stdout=subprocess.PIPE, text=True)
        ready = anchor_proc.stdout.readline()
        if not ready.startswith("anchor ready"):
            raise RuntimeError(f"the anchor did not start: {ready!r}")
        bench = Bench(net, load, work,
                      {wire.SERVICE_PORT: server.proc.pid, ANCHOR_PORT: anchor_proc.pid})
        scale = args.scale
        list_req = post_request("GetSwitchInfoList", "<monitorNum>0</monitorNum>")
        cases = []
        if first:
            trivial = post_request(*TRIVIAL)
            cases += [("GetRefreshTime, 1 client", trivial, 1, int(2000 * scale)),
                      ("GetRefreshTime, 4 clients", trivial, 4, int(500 * scale)),
                      ("GET jquery.js", get_request("jquery.js"), 1, int(400 * scale)),
                      ("GET Device.wsdl", get_request("Device.wsdl"), 1, int(1500 * scale))]
        per_list = max(2, int(scale * 40000 / max(agents, 1)))
        cases.append((f"GetSwitchInfoList, {last:,} agents", list_req, 1, per_list))
        for name, request, clients, requests in cases:
            identical = same_body(request)
            r = bench.case(request, clients, max(1, requests), args.rounds)
            r.update(name=name, identical=identical)
            rows.append(r)
            print_row(r)
    finally:
        if anchor_proc:
            anchor_proc.kill()
            anchor_proc.wait()
        take_down(net, server, sim)


def spread(values: list) -> str:
    return f"{statistics.median(values):5.3f} [{min(values):5.3f}-{max(values):5.3f}]"


def print_row(r: dict) -> None:
    rate = [1 / x for x in r["ratio"]]
    print(f"{r['name']:<32} {r['ours']:>8.1f} {r['anchor']:>8.1f}   {spread(r['ratio'])}   "
          f"{spread(rate)}   {spread(r['cpu'])}   {'yes' if r['identical'] else 'NO'}",
          flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--agents", default="1000,10000")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--scale", type=float, default=1.0, help="multiplies each run's requests")
    ap.add_argument("--spread-ms", type=int, default=1000,
                    help="spread the simulated discovery replies over this many ms")
    ap.add_argument("--dist", default=DEFAULT_DIST)
    args = ap.parse_args()
    if (code := refused("soap_bench")) is not None:
        return code
    os.environ["FERRO_DIST"] = args.dist
    work = tempfile.mkdtemp(prefix="ferrolink-soap-bench-")
    try:
        anchor, load = build_tools(work)
        print(f"{args.rounds} interleaved rounds per case; ratios are Ferrolink / anchor")
        print(f"{'':<32} {'req/s':>8} {'req/s':>8}   {'time per request':<21}   "
              f"{'requests per second':<21}   {'serving CPU per request':<21}")
        print(f"{'case':<32} {'ours':>8} {'anchor':>8}   {'median [min-max]':<21}   "
              f"{'median [min-max]':<21}   {'median [min-max]':<21}   same body")
        rows: list = []
        for i, n in enumerate(int(x) for x in args.agents.split(",")):
            measure_network(n, i == 0, args, anchor, load, work, rows)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
