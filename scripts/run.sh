#!/usr/bin/env bash
# The main job on its default setup: install what is missing, build, and run
# the server with its log on this terminal.
#
# The server runs inside a private namespace network (tools/netns) together
# with 20 simulated agents, never in this machine's own network namespace:
# its engine broadcasts and multicasts on every local network. The web page
# and the push channel are forwarded to 127.0.0.1:64567 and :64568 here.
# Ctrl-C stops everything and removes the network.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "run: needs root, for the namespace network (try: sudo bash scripts/run.sh)" >&2
  exit 1
fi
bash scripts/setup.sh
bash scripts/build.sh normal
exec /usr/bin/python3 tools/netns/testnet.py run --lans 1 -- bash scripts/serve-in-testnet.sh "$@"
