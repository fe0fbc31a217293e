#!/usr/bin/env bash
# A namespace test network with 20 simulated agents for trying things by hand:
# 3 in loader mode, 3 that send a trap every 30 s to the server address, and
# one that stops answering after 2 minutes. Everything is removed on Ctrl-C.
#
#   bash scripts/demo-network.sh [extra agentsim options]        (as root)
#
# While it runs, use the printed namespace names, e.g.
#   ip netns exec fl-<id>-srv bash          # a shell "on the server"
# and the control socket of the simulator, e.g.
#   tools/sim/simctl.py /tmp/fl-run-<id>-XXXX/sim.sock list
#   tools/sim/simctl.py /tmp/fl-run-<id>-XXXX/sim.sock trap agents=0 kind=tlv
set -euo pipefail
. "$(dirname "$0")/as-root.sh"
as_root "$0" "$@"
cd "$(dirname "$0")/.."
PY=/usr/bin/python3

# FL_RUN_DIR is the run's private folder; testnet.py removes it on exit.
exec "$PY" tools/netns/testnet.py run --lans 1 -- bash -c '
  set -u
  cat <<INFO
== Ferrolink demo network
   server namespace : $FL_NS_SRV   (address $FL_SRV_IP/$FL_PREFIX on $FL_SRV_IF, no default route)
   LAN namespace    : $FL_NS_LAN   (agents from $FL_AGENT_FIRST)
   shell on server  : ip netns exec $FL_NS_SRV bash              (as root)
   simulator control: tools/sim/simctl.py $FL_RUN_DIR/sim.sock list   (as root)
   Ctrl-C removes everything.
INFO
  exec ip netns exec "$FL_NS_LAN" '"$PY"' tools/sim/agentsim.py \
      --iface "$FL_LAN_IF" --first-ip "$FL_AGENT_FIRST" --count 20 \
      --loader 3 --trappers 3 --trap-every 30 --trap-to "$FL_SRV_IP" \
      --dies 1 --dies-after 120 --control "$FL_RUN_DIR/sim.sock" --verbose "$@"
' demo "$@"
