#!/usr/bin/python3
"""Runs one command inside a fresh, private network namespace.

    run_in_netns.py COMMAND [ARG...]

The namespace has only its loopback interface, so a server under test can
listen on its fixed ports without meeting the machine's own services or
another test. The namespace, and every process left in it, is removed
afterwards, also when the command fails or the run is interrupted. Exits 77
(counted as skipped) when namespaces cannot be created here.
"""

import os
import signal
import subprocess
import sys


def main() -> int:
    if len(sys.argv) < 2:
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
        return subprocess.run(["ip", "netns", "exec", name, *sys.argv[1:]]).returncode
    except KeyboardInterrupt:
        return 130
    finally:
        cleanup()


if __name__ == "__main__":
    sys.exit(main())
