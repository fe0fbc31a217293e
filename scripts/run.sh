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
. "$(dirname "$0")/as-root.sh"
as_root "$0" "$@"
cd "$(dirname "$0")/.."

say() { echo "run: $*"; }

say "checking the packages it needs"
bash scripts/setup.sh run

# The compiler's output goes to a log; only a failure shows its end here.
mkdir -p build
log=build/build.log
if [ -x build/dist/Ferrolink ]; then
  say "building (only what changed; output in $log)"
else
  say "building (first time: about 2 minutes; output in $log)"
fi
started=$SECONDS
if ! bash scripts/build.sh product >"$log" 2>&1; then
  say "the build failed; the end of $log:" >&2
  tail -n 30 "$log" >&2
  exit 1
fi
say "built in $((SECONDS - started)) s"

say "creating the namespace network"
exec /usr/bin/python3 tools/netns/testnet.py run --lans 1 -- bash scripts/serve-in-testnet.sh "$@"
