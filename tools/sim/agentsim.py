#!/usr/bin/python3
"""Simulated agents for Ferrolink: run inside a LAN namespace of the test
network (never in the machine's own network namespace).

Example, 20 agents of which 3 in loader mode, 3 sending a trap every 30 s to
10.61.0.1 and one that stops answering after 90 s:

  ip netns exec fl-123-lan /usr/bin/python3 tools/sim/agentsim.py \\
      --iface veth0 --first-ip 10.61.1.1 --count 20 --loader 3 \\
      --trappers 3 --trap-every 30 --trap-to 10.61.0.1 --dies 1 \\
      --dies-after 90 --control /tmp/sim.sock --verbose

Each agent gets its own MAC (--mac-base + index) and IPv4 address (--first-ip
+ index, added to --iface unless --no-add-addresses).  --config names a JSON
file with a list of per-agent overrides:
  [{"index": 0, "kind": "ap", "fields": {...}, "behaviour": {...},
    "loader": true, "password": "x"}]
The control socket takes the JSON line commands listed in ferrosim/sim.py.
"""

import argparse
import ipaddress
import json
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from ferrosim import wire  # noqa: E402
from ferrosim.agent import DEFAULT_BEHAVIOUR, Agent  # noqa: E402
from ferrosim.sim import Simulator, default_iface  # noqa: E402


def parse_int(text):
    return int(text, 0)


def build_agents(args):
    if args.ips:
        ips = [ip.strip() for ip in args.ips.split(",") if ip.strip()]
    else:
        if not args.first_ip:
            raise SystemExit("agentsim: give --first-ip or --ips")
        first = ipaddress.IPv4Address(args.first_ip)
        ips = [str(first + i) for i in range(args.count)]
    if args.same_ip:
        ips = [ips[0]] * args.count
    count = args.count if args.count else len(ips)
    base = int.from_bytes(wire.mac_bytes(args.mac_base), "big")
    agents = []
    for i in range(count):
        kind = args.kind
        if kind == "mix":
            kind = "ap" if i % 3 == 2 else "switch"
        mac = (base + i).to_bytes(6, "big")
        agents.append(Agent(i, mac, ips[i % len(ips)], kind=kind,
                            netmask=args.netmask, gateway=args.gateway,
                            password=args.password))
    # Roles from the end of the list so that agent 0 stays an ordinary one.
    normal = list(range(count))
    for _ in range(min(args.loader, count)):
        agents[normal.pop()].set_loader(True)
    for _ in range(min(args.dies, len(normal))):
        agents[normal.pop()].behaviour["silent_after_ms"] = int(args.dies_after * 1000)
    for i in range(min(args.trappers, len(normal))):
        b = agents[normal[-1 - i]].behaviour
        b["trap_every_ms"] = int(args.trap_every * 1000)
        b["trap_kind"] = "plain" if i % 2 == 0 else "tlv"
    for a in agents:
        if args.trap_to:
            a.fields["trapIpAddr"] = args.trap_to
            a.factory["trapIpAddr"] = args.trap_to
        if args.spread_ms:
            a.behaviour["spread_ms"] = args.spread_ms
        a.invalidate()
    if args.config:
        with open(args.config) as f:
            for o in json.load(f):
                a = agents[o["index"]]
                if "kind" in o and o["kind"] != a.kind:
                    a2 = Agent(a.index, a.mac, a.ip, kind=o["kind"],
                               netmask=args.netmask, gateway=args.gateway,
                               password=args.password)
                    a2.behaviour = a.behaviour
                    agents[o["index"]] = a = a2
                if "loader" in o:
                    a.set_loader(o["loader"])
                if "password" in o:
                    a.password = o["password"]
                a.fields.update(o.get("fields", {}))
                unknown = set(o.get("behaviour", {})) - set(DEFAULT_BEHAVIOUR)
                if unknown:
                    raise SystemExit(f"agentsim: unknown knobs {sorted(unknown)}")
                a.behaviour.update(o.get("behaviour", {}))
                a.invalidate()
    return agents


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--count", type=int, default=1, help="number of agents")
    p.add_argument("--first-ip", help="address of agent 0; the others follow")
    p.add_argument("--ips", help="comma-separated agent addresses (cycled)")
    p.add_argument("--same-ip", action="store_true",
                   help="every agent shares the first address")
    p.add_argument("--netmask", default="255.255.0.0")
    p.add_argument("--gateway", default="0.0.0.0")
    p.add_argument("--iface", help="LAN interface (default: first that is up)")
    p.add_argument("--no-add-addresses", action="store_true",
                   help="do not add the agent addresses to the interface")
    p.add_argument("--mac-base", default="02-46-4C-00-00-00")
    p.add_argument("--kind", choices=("switch", "ap", "mix"), default="mix")
    p.add_argument("--password", default="admin")
    p.add_argument("--base-port", type=parse_int, default=wire.DEFAULT_BASE_PORT,
                   help="server base port; agents listen on base + 2")
    p.add_argument("--cookie", type=parse_int, default=0, help="magic cookie")
    p.add_argument("--group", default=wire.DEFAULT_GROUP, help="multicast group")
    p.add_argument("--loader", type=int, default=0, help="agents in loader mode")
    p.add_argument("--trappers", type=int, default=0,
                   help="agents that send traps periodically")
    p.add_argument("--trap-every", type=float, default=30.0, help="seconds")
    p.add_argument("--trap-to", help="trap destination (sets trapIpAddr)")
    p.add_argument("--dies", type=int, default=0,
                   help="agents that stop answering after --dies-after")
    p.add_argument("--dies-after", type=float, default=60.0, help="seconds")
    p.add_argument("--spread-ms", type=int, default=0,
                   help="spread discovery replies over this many ms")
    p.add_argument("--max-pps", type=int, default=0,
                   help="limit replies per second (0: no limit)")
    p.add_argument("--config", help="JSON file of per-agent overrides")
    p.add_argument("--control", help="path of the Unix control socket")
    p.add_argument("--duration", type=float, help="exit after this many seconds")
    p.add_argument("--verbose", action="store_true", help="log every request")
    args = p.parse_args(argv)

    agents = build_agents(args)
    iface = args.iface or default_iface()
    if not iface:
        raise SystemExit("agentsim: no interface to join the group on (--iface)")
    sim = Simulator(agents, iface=iface, base_port=args.base_port,
                    cookie=args.cookie, group=args.group,
                    control_path=args.control,
                    manage_addresses=not args.no_add_addresses,
                    max_pps=args.max_pps, verbose=args.verbose)

    def on_signal(_sig, _frame):
        sim.stop()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    sim.open()
    loaders = sum(a.loader for a in agents)
    print(f"agentsim: {len(agents)} agents ({loaders} in loader mode) on {iface}, "
          f"{agents[0].ip} .. {agents[-1].ip}, port {sim.port}, group {args.group}, "
          f"cookie {args.cookie:#010x}"
          + (f", control {args.control}" if args.control else ""), flush=True)
    try:
        sim.run(args.duration)
    finally:
        sim.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
