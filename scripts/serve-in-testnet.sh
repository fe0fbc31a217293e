#!/usr/bin/env bash
# Runs inside `testnet.py run` (FL_* variables set): starts the simulated
# agents in the LAN namespace, the loopback forwarders on this machine, and
# the server in the server namespace, in the foreground. Used by run.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=/usr/bin/python3
DIST=$PWD/build/dist
# The run's folder (simulator socket and log) belongs to testnet.py, which
# removes it with the network whatever happens here.
work=${FL_RUN_DIR:?runs inside testnet.py run}
pids=()
cleanup() {
  trap '' INT TERM  # a second Ctrl-C must not cut the clean-up short
  echo "run: stopping; removing the namespace network"
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for port in 64567 64568; do
  if ss -Hltn "sport = :$port" | grep -q .; then
    echo "run: port $port is already in use on this machine" >&2
    exit 1
  fi
done

echo "run: starting 20 simulated agents in $FL_NS_LAN"
ip netns exec "$FL_NS_LAN" "$PY" tools/sim/agentsim.py \
  --iface "$FL_LAN_IF" --first-ip "$FL_AGENT_FIRST" --count 20 \
  --loader 3 --trappers 3 --trap-every 30 --trap-to "$FL_SRV_IP" \
  --dies 1 --dies-after 120 --control "$work/sim.sock" >"$work/sim.log" 2>&1 &
pids+=($!)

# Agents 0-2 can take uploads: each gets an interface of its own with its
# MAC (the server pins a static ARP entry to it, which the shared LAN
# interface would not receive), tftpd-hpa on its address as its TFTP server,
# and a 5 s reboot.
for _ in $(seq 100); do [ -S "$work/sim.sock" ] && break; sleep 0.1; done
printf 'rg \\\\ /\nr ^.*/\n' >"$work/tftp.map"  # keep only the file's name
for i in 0 1 2; do
  read -r agent_ip agent_mac < <("$PY" tools/sim/simctl.py "$work/sim.sock" get agents=$i |
    "$PY" -c 'import json,sys; a=json.load(sys.stdin)["agents"][0]; print(a["ip"], a["mac"])')
  lan=(ip -n "$FL_NS_LAN")
  "${lan[@]}" link add link "$FL_LAN_IF" name "ag$i" address "${agent_mac//-/:}" type macvlan mode bridge
  "${lan[@]}" addr del "$agent_ip/$FL_PREFIX" dev "$FL_LAN_IF" 2>/dev/null || true
  "${lan[@]}" addr add "$agent_ip/32" dev "ag$i"
  "${lan[@]}" link set "ag$i" up
  mkdir -p "$work/tftp-$i" && chmod 777 "$work/tftp-$i"
  ip netns exec "$FL_NS_LAN" in.tftpd --foreground --listen --address "$agent_ip:69" --create \
    --user nobody --umask 000 --secure --map-file "$work/tftp.map" "$work/tftp-$i" &
  pids+=($!)
done
"$PY" tools/sim/simctl.py "$work/sim.sock" set agents='[0,1,2]' 'fields={"upgradeRebootTime": 5}' >/dev/null

# Loopback forwarders: 127.0.0.1 here -> 127.0.0.1 in the server namespace.
# The relay connects from loopback inside the namespace, which is where the
# server accepts SOAP calls from.
for port in 64567 64568; do
  socat "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr,fork" \
    "EXEC:ip netns exec $FL_NS_SRV socat STDIO TCP\:127.0.0.1\:$port" 2>/dev/null &
  pids+=($!)
done

echo "run: starting the server in $FL_NS_SRV"
cd "$DIST"
ip netns exec "$FL_NS_SRV" "$DIST/Ferrolink" &
server=$!
pids+=($server)
cd - >/dev/null

echo "run: starting the engine and a first discovery"
# Start the engine and a first discovery, as the user interface does.
ctl() { "$PY" "$DIST/tools/ferroctl" "$@"; }
for _ in $(seq 50); do
  ctl interval poll >/dev/null 2>&1 && break
  sleep 0.1
done
ctl start >/dev/null
sleep 1
found=$(ctl discover --csv 2>/dev/null | tail -n +2 | wc -l)
first=$(ctl list --csv | sed -n 2p | cut -d, -f1)

cat <<INFO

== Ferrolink is running in namespace $FL_NS_SRV ($FL_SRV_IP), with 20 simulated agents in $FL_NS_LAN
   Engine started; the first discovery found ${found:-0} agents.
   Interface   : http://127.0.0.1:64567/   (open it in a browser on this machine)
   Service     : http://127.0.0.1:64567/   (SOAP 1.1 and 1.2 by POST, namespace urn:Halvex)
   Push channel: 127.0.0.1:64568
   Try (ferroctl --help lists every command):
     build/dist/tools/ferroctl list
     build/dist/tools/ferroctl watch add $first
     build/dist/tools/ferroctl watch status
     build/dist/tools/ferroctl traps --follow     (3 agents send a trap every 30 s)
   Agents      : tools/sim/simctl.py $work/sim.sock list   (as root)
   Uploads     : agents 0-2 ($first and the next two) take firmware; their TFTP
                 folders are $work/tftp-0 .. tftp-2
   Ctrl-C stops the server and removes the network.
== server log continues
INFO
wait "$server"
