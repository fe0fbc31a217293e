#!/usr/bin/python3
"""Runs one command inside a fresh, private network namespace.

    run_in_netns.py [--stub ADDRESS/PREFIX] COMMAND [ARG...]

The namespace has its loopback interface and, with --stub, a stub
interface with that address (a local network whose datagrams go nowhere), so
a server under test can listen on its fixed ports, and its engine can open
its sockets, without meeting the machine's own services or another test. The namespace, and every process left in it, is removed
afterwards, also when the command fails or the run is interrupted. Exits 77
(counted as skipped) when namespaces cannot be created here.
"""

import os
import signal
import subprocess
import sys


def main() -> int:
    args = sys.argv[1:]
    stub = None
    if args[:1] == ["--stub"] and len(args) >= 2:
        stub, args = args[1], args[2:]
    if not args:
        print(__doc__, file=sys.stderr)
        return 2
    name = f"flt-{os.getpid()}"
    if os.geteuid() != 0:
        print("SKIP: network namespaces need root", file=sys.stderr)
        return 77
    if subprocess.run(["ip", "netns", "add", name]).returncode != 0:
        print("SKIP: cannot create a network namespace here", file=sys.stderr)
        return 77

    def cleanup(*_):
        pids = subprocess.run(["ip", "netns", "pids", name], capture_output=True, text=True).stdout
        for pid in pids.split():
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        subprocess.run(["ip", "netns", "del", name], stderr=subprocess.DEVNULL)

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        subprocess.run(["ip", "-n", name, "link", "set", "lo", "up"], check=True)
        if stub:
            # A veth pair with both ends inside: a network that leads nowhere.
            ip = ["ip", "-n", name]
            subprocess.run(ip + ["link", "add", "stub0", "type", "veth", "peer", "name", "stub1"],
                           check=True)
            subprocess.run(ip + ["addr", "add", stub, "dev", "stub0"], check=True)
            for dev in ("stub0", "stub1"):
                subprocess.run(ip + ["link", "set", dev, "up"], check=True)
        return subprocess.run(["ip", "netns", "exec", name, *args]).returncode
    except KeyboardInterrupt:
        return 130
    finally:
        cleanup()


if __name__ == "__main__":
    sys.exit(main())
