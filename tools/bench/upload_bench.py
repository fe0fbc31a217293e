#!/usr/bin/python3
"""Upload benchmark: the engine's TFTP client against reference clients, to
the same tftpd-hpa over the same veth, in the same run.

    sudo tools/bench/upload_bench.py [--sizes 8,40] [--runs 5] [--loss-mib 2]
                                     [--loss-runs 1]

It builds a private test network (namespaces, removed afterwards), gives one
simulated agent an interface of its own with tftpd-hpa on its address,
starts the server from build/dist and the engine, and then, interleaved run
by run:
  ferrolink   SetFwFilePath, AddUpgradeAgentEx, StartUpgrade; timed until
              GetUpgradeStatus shows the whole file delivered (polled every
              10 ms); includes the upgrade request's round trip
  tftp-hpa    `tftp -m binary AGENT -c put FILE NAME` from the server
              namespace (wall time of the process)
and prints the median seconds and MiB/s of each and the throughput ratio
(ferrolink / tftp-hpa; goal at least 0.9).

With --loss-mib, it then drops 2 % of the UDP datagrams on each side's
input path (nftables) and times one upload of that size by the engine and
by atftp (`atftp --put`), the second anchor, on the same link.
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

from benchkit import DEFAULT_DIST, refused, start_engine_server, take_down  # sets the path

import wire  # noqa: E402
from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet  # noqa: E402

LOSS_RULES = ("table inet loss {\n chain in { type filter hook input priority 0;"
              " meta l4proto udp numgen random mod 50 == 0 drop; }\n}\n")


def ok(operation: str, children: str = "") -> str:
    resp = wire.call(operation, children)
    if "<SOAP-ENV:Fault>" in resp.text:
        raise RuntimeError(f"{operation} failed: {resp.text[:300]}")
    return resp.text


def field(xml: str, name: str) -> int:
    return int(xml.split(f"<{name}>", 1)[1].split("<", 1)[0])


class Bench:
    def __init__(self, dist: str):
        self.dist = dist
        self.net = TestNet(lans=1)
        self.net.up()
        self.workdir = tempfile.mkdtemp(prefix="ferrolink-bench-")
        self.server = self.sim = None
        wire.use_namespace(self.net.ns["srv"])
        self.sim = SimProcess.start(self.net, "lan", ["--first-ip", self.net.agent_ip(0), "--count", "1"])
        self.sim.client.call("set", fields={"upgradeRebootTime": 1})
        agent = self.sim.client.call("get", agents=0)["agents"][0]
        self.mac, self.ip = agent["mac"], agent["ip"]
        self.net.agent_link("lan", "ag0", self.mac, self.ip)
        self.tftpd = self.net.start_tftpd("lan", self.ip)
        self.server = start_engine_server(self.net, dist, self.workdir)
        time.sleep(3.5)

    def close(self):
        take_down(self.net, self.server, self.sim)
        shutil.rmtree(self.workdir, ignore_errors=True)

    def make(self, mib: float) -> str:
        path = os.path.join(self.workdir, f"image-{mib}.bin")
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(os.urandom(int(mib * 1024 * 1024)))
        return path

    def check(self, local: str, remote: str) -> None:
        if os.path.getsize(self.tftpd.path(remote)) != os.path.getsize(local):
            raise RuntimeError(f"{remote}: incomplete upload")

    def ferrolink(self, path: str, timeout: float) -> float:
        size = os.path.getsize(path)
        ok("EndUpgrade")
        ok("SetFwFilePath", f"<strFwFilePath>{path}</strFwFilePath><strUpType>firmware</strUpType>"
                            f"<strEncryptKey/><intFileSize>{size}</intFileSize>")
        ok("AddUpgradeAgentEx", f"<macAddr>{self.mac}</macAddr><password>admin</password>")
        start = time.monotonic()
        ok("StartUpgrade")
        while True:
            xml = ok("GetUpgradeStatus", f"<strMacAddr>{self.mac}</strMacAddr>")
            if field(xml, "transmitedSize") == size and field(xml, "upgradeStatus") >= 6:
                elapsed = time.monotonic() - start
                break
            if field(xml, "upgradeStatus") == 10 or time.monotonic() - start > timeout:
                raise RuntimeError(f"upload failed: {xml[-400:]}")
            time.sleep(0.01)
        ok("EndUpgrade")
        self.check(path, os.path.basename(path))
        return elapsed

    def reference(self, argv: list[str], local: str, remote: str, timeout: float) -> float:
        start = time.monotonic()
        self.net.run_in("srv", argv, timeout=timeout)
        elapsed = time.monotonic() - start
        self.check(local, remote)
        return elapsed

    def tftp_hpa(self, path: str, timeout: float) -> float:
        remote = "tftp-" + os.path.basename(path)
        return self.reference(["tftp", "-m", "binary", self.ip, "-c", "put", path, remote],
                              path, remote, timeout)

    def atftp(self, path: str, timeout: float) -> float:
        remote = "atftp-" + os.path.basename(path)
        return self.reference(["atftp", "--put", "-l", path, "-r", remote, self.ip],
                              path, remote, timeout)

    def loss(self, on: bool) -> None:
        for side in ("lan", "srv"):
            if on:
                self.net.run_in(side, ["nft", "-f", "-"], input=LOSS_RULES)
            else:
                self.net.run_in(side, ["nft", "delete", "table", "inet", "loss"], check=False)


def mibps(mib: float, seconds: float) -> float:
    return mib / seconds if seconds > 0 else float("nan")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="8,40", help="MiB per upload, comma-separated")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--loss-mib", type=float, default=2.0, help="0: no loss run")
    ap.add_argument("--loss-runs", type=int, default=1)
    ap.add_argument("--dist", default=DEFAULT_DIST)
    args = ap.parse_args()
    if (code := refused("upload_bench")) is not None:
        return code
    os.environ["FERRO_DIST"] = args.dist
    b = Bench(args.dist)
    try:
        print(f"{'MiB':>5} {'runs':>4} {'ferrolink_s':>11} {'MiB/s':>7} {'tftp-hpa_s':>10} "
              f"{'MiB/s':>7} {'ratio':>6}")
        for mib in (float(x) for x in args.sizes.split(",")):
            path = b.make(mib)
            ours, theirs = [], []
            for _ in range(args.runs):  # interleaved, so that both see the same machine
                ours.append(b.ferrolink(path, timeout=600))
                theirs.append(b.tftp_hpa(path, timeout=600))
            mo, mt = statistics.median(ours), statistics.median(theirs)
            print(f"{mib:>5g} {args.runs:>4} {mo:>11.3f} {mibps(mib, mo):>7.1f} {mt:>10.3f} "
                  f"{mibps(mib, mt):>7.1f} {mt / mo:>6.2f}", flush=True)
        if args.loss_mib > 0:
            path = b.make(args.loss_mib)
            b.loss(True)
            try:
                ours, theirs = [], []
                for _ in range(args.loss_runs):
                    ours.append(b.ferrolink(path, timeout=3600))
                    theirs.append(b.atftp(path, timeout=3600))
            finally:
                b.loss(False)
            mo, mt = statistics.median(ours), statistics.median(theirs)
            print(f"2 % loss, {args.loss_mib:g} MiB, median of {args.loss_runs}: ferrolink "
                  f"{mo:.1f} s, atftp {mt:.1f} s (ratio {mt / mo:.2f})", flush=True)
    finally:
        b.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
