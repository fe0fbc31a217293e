#!/usr/bin/python3
"""Upgrade demo: a firmware image uploaded to a few simulated agents, one
after the other, with the progress read by GetUpgradeStatus.

    sudo tools/upgrade_demo.py [--agents 3] [--mib 2]

It builds a private test network (namespaces, removed afterwards), starts
the simulator with the agents in the LAN namespace, gives each agent an
interface of its own and tftpd-hpa on its address, starts the server from
build/dist and the engine, discovers the agents, and then runs
SetFwFilePath, AddUpgradeAgentEx for each agent and StartUpgrade, printing
GetUpgradingAgent and GetUpgradeStatus every half second until every upload
has ended. The agents reboot for 2 s and are then found again by discovery.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools", "netns"))
sys.path.insert(0, os.path.join(ROOT, "tools", "sim"))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))

import wire  # noqa: E402
from ferrosim.control import SimProcess  # noqa: E402
from testnet import TestNet, netns_available  # noqa: E402

STATES = {0: "Queued", 1: "RequestSent", 2: "WrqSent", 3: "EraseWait", 4: "Sending",
          5: "LastBlockSent", 6: "RebootWait", 7: "Rediscovering", 9: "Done", 10: "Failed"}


def ok(operation: str, children: str = "") -> str:
    resp = wire.call(operation, children)
    if "<SOAP-ENV:Fault>" in resp.text:
        raise RuntimeError(f"{operation} failed")
    return resp.text


def value(xml: str, name: str) -> str:
    part = xml.split(f"<{name}>", 1)
    return part[1].split("<", 1)[0] if len(part) == 2 else ""


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--agents", type=int, default=3)
    ap.add_argument("--mib", type=float, default=2.0)
    ap.add_argument("--dist", default=os.path.join(ROOT, "build", "dist"))
    args = ap.parse_args()
    ready, why = netns_available()
    if not ready:
        print(f"upgrade_demo: {why}", file=sys.stderr)
        return 77
    os.environ["FERRO_DIST"] = args.dist
    net = TestNet(lans=1)
    net.up()
    workdir = tempfile.mkdtemp(prefix="ferrolink-demo-")
    server = sim = None
    try:
        wire.use_namespace(net.ns["srv"])
        sim = SimProcess.start(net, "lan", ["--first-ip", net.agent_ip(0), "--count",
                                            str(args.agents), "--kind", "mix"])
        sim.client.call("set", fields={"upgradeRebootTime": 2})
        agents = sim.client.call("get")["agents"]
        tftpds = []
        for i, a in enumerate(agents):
            net.agent_link("lan", f"ag{i}", a["mac"], a["ip"])
            tftpds.append(net.start_tftpd("lan", a["ip"]))
        os.makedirs(os.path.join(workdir, "cfg"))
        shutil.copy(os.path.join(args.dist, "cfg", "define.ecf"), os.path.join(workdir, "cfg"))
        server = wire.Server(args.dist, cwd=workdir,
                             prefix=["ip", "netns", "exec", net.ns["srv"]]).start()
        ok("EngineLayerStartup")
        deadline = time.monotonic() + 10  # the engine opens its sockets moments after the start
        while "<SOAP-ENV:Fault>" in wire.call("SetDiscoverToAgents").text:
            if time.monotonic() > deadline:
                raise RuntimeError("the engine opened no socket")
            time.sleep(0.1)
        time.sleep(3.5)

        image = os.path.join(workdir, "firmware-3.1.0.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(int(args.mib * 1024 * 1024)))
        size = os.path.getsize(image)
        print(f"SetFwFilePath {image} ({size} bytes)")
        ok("SetFwFilePath", f"<strFwFilePath>{image}</strFwFilePath><strUpType>firmware</strUpType>"
                            f"<strEncryptKey/><intFileSize>{size}</intFileSize>")
        for a in agents:
            print(f"AddUpgradeAgentEx {a['mac']} ({a['ip']})")
            ok("AddUpgradeAgentEx", f"<macAddr>{a['mac']}</macAddr><password>admin</password>")
        print("StartUpgrade")
        ok("StartUpgrade")
        start = time.monotonic()
        while time.monotonic() - start < 300:
            xml = ok("GetUpgradingAgent")
            line = [f"{time.monotonic() - start:5.1f}s  upgrading {value(xml, 'strMacAddr'):>17}"]
            ended = 0
            for a in agents:
                s = ok("GetUpgradeStatus", f"<strMacAddr>{a['mac']}</strMacAddr>")
                state = int(value(s, "upgradeStatus"))
                sent = int(value(s, "transmitedSize"))
                ended += state in (9, 10)
                code = int(value(s, "failedCode"))
                line.append(f"{STATES.get(state, state):>13} {100 * sent // max(size, 1):3d}%"
                            + (f" code {code}" if code else ""))
            print("  ".join(line), flush=True)
            if ended == len(agents):
                break
            time.sleep(0.5)
        for a, t in zip(agents, tftpds):
            with open(image, "rb") as mine, open(t.path(os.path.basename(image)), "rb") as theirs:
                same = mine.read() == theirs.read()
            s = ok("GetUpgradeStatus", f"<strMacAddr>{a['mac']}</strMacAddr>")
            print(f"{a['mac']}: {'identical' if same else 'DIFFERENT'} file on its TFTP server; "
                  f"answered after reboot as {value(s, 'systemName')!r} at {value(s, 'agentIpAddr')}")
        ok("EndUpgrade")
    finally:
        if server:
            server.stop()
        if sim:
            sim.stop()
        wire.use_namespace(None)
        net.down()
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
