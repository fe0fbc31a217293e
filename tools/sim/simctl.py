#!/usr/bin/python3
"""Sends one command to a running agent simulator and prints the answer.

  simctl.py SOCKET CMD [key=value ...]

Values are read as JSON when they parse (3, true, [1,2], "x"), else as text:
  simctl.py /tmp/fl-demo-x/sim.sock list
  simctl.py /tmp/fl-demo-x/sim.sock behave agents=4 reply_delay_ms=3500
  simctl.py /tmp/fl-demo-x/sim.sock trap agents=0 kind=tlv text="fan failed"
  simctl.py /tmp/fl-demo-x/sim.sock silence agents=2 ms=60000
"""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from ferrosim.control import SimClient, SimError  # noqa: E402


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    args = {}
    for kv in argv[2:]:
        key, _, value = kv.partition("=")
        try:
            args[key] = json.loads(value)
        except ValueError:
            args[key] = value
    try:
        with SimClient(argv[0]).connect() as client:
            print(json.dumps(client.call(argv[1], **args), indent=1))
    except (OSError, SimError) as e:
        print(f"simctl: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
