#!/usr/bin/env bash
# A namespace test network with 20 simulated agents for trying things by hand:
# 3 in loader mode, 3 that send a trap every 30 s to the server address, and
# one that stops answering after 2 minutes. Everything is removed on Ctrl-C.
#
#   sudo scripts/demo-network.sh [extra agentsim options]
#
# While it runs, use the printed namespace names, e.g.
#   sudo ip netns exec fl-<id>-srv bash          # a shell "on the server"
# and the control socket of the simulator, e.g.
#   sudo tools/sim/simctl.py /tmp/fl-demo-<id>/sim.sock list
#   sudo tools/sim/simctl.py /tmp/fl-demo-<id>/sim.sock trap agents=0 kind=tlv
set -euo pipefail
cd "$(dirname "$0")/.."
PY=/usr/bin/python3

if [ "$(id -u)" -ne 0 ]; then
  echo "demo-network: needs root for network namespaces (try sudo)" >&2
  exit 1
fi

exec "$PY" tools/netns/testnet.py run --lans 1 -- bash -c '
  set -u
  ctl_dir=$(mktemp -d /tmp/fl-demo-XXXXXX)
  trap "rm -rf \"$ctl_dir\"" EXIT
  cat <<INFO
== Ferrolink demo network
   server namespace : $FL_NS_SRV   (address $FL_SRV_IP/$FL_PREFIX on $FL_SRV_IF, no default route)
   LAN namespace    : $FL_NS_LAN   (agents from $FL_AGENT_FIRST)
   shell on server  : sudo ip netns exec $FL_NS_SRV bash
   simulator control: sudo tools/sim/simctl.py $ctl_dir/sim.sock list
   Ctrl-C removes everything.
INFO
  ip netns exec "$FL_NS_LAN" '"$PY"' tools/sim/agentsim.py \
      --iface "$FL_LAN_IF" --first-ip "$FL_AGENT_FIRST" --count 20 \
      --loader 3 --trappers 3 --trap-every 30 --trap-to "$FL_SRV_IP" \
      --dies 1 --dies-after 120 --control "$ctl_dir/sim.sock" --verbose "$@"
' demo "$@"
