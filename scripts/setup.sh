#!/usr/bin/env bash
# Installs the Debian packages that Ferrolink needs. Idempotent: apt-get runs
# only when something is missing.
#   scripts/setup.sh run    building the server and running it with the demo
#                           network (what scripts/run.sh needs; no npm)
#   scripts/setup.sh [test] that, and everything the tests use
set -euo pipefail
mode=${1:-test}
case "$mode" in run | test) ;; *) echo "usage: $0 [run|test]" >&2; exit 2 ;; esac

# Building, the server's own helpers (the save dialog, the desktop notices
# and browser start of the interface launcher) and the demo network
# (namespaces, simulated agents with their TFTP servers, loopback forwarders).
packages=(
  build-essential cmake ninja-build pkg-config ccache
  gsoap libgsoap-dev libjs-jquery libssl-dev nlohmann-json3-dev libsqlite3-dev
  python3 iproute2 procps socat tftpd-hpa
  zenity xdotool libnotify-bin xdg-utils
)
if [ "$mode" = test ]; then
  packages+=(
    googletest libgtest-dev libgmock-dev
    clang libclang-rt-14-dev clang-format
    git iptables psmisc curl chromium nftables tcpdump
    python3-zeep python3-lxml nodejs
    x11-utils xvfb xauth  # xvfb-run needs xauth, which xvfb only recommends
    debhelper lintian  # the Debian package, built and checked
    prometheus  # for promtool, which checks a real scrape of /metrics
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# npm comes with some Node.js builds and is Debian's own package otherwise.
if [ "$mode" = test ]; then
  command -v npm >/dev/null || missing+=(npm)
fi

if ((${#missing[@]})); then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "setup: missing packages (${missing[*]}); install them as root: bash scripts/setup.sh" >&2
      exit 1
    fi
    SUDO="sudo"
  fi
  echo "setup: installing ${#missing[@]} packages (a few minutes on a fresh machine): ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  # The tests need only promtool: the monitoring server that comes in the
  # same package is not left running (and listening) on a machine where
  # this script installed it.
  if [[ " ${missing[*]} " == *" prometheus "* ]] && command -v systemctl >/dev/null 2>&1 &&
     [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now prometheus >/dev/null 2>&1 || true
  fi
fi

[ "$mode" = test ] || exit 0

# The npm "soap" package for the client tests, at the versions the lock file
# pins; reinstalled only when the lock file changed since the last install.
node_dir=$(cd "$(dirname "$0")/.." && pwd)/tests/clients/node
if [ ! -f "$node_dir/node_modules/.package-lock.json" ] ||
   [ "$node_dir/package-lock.json" -nt "$node_dir/node_modules/.package-lock.json" ]; then
  echo "setup: installing the node client packages (npm ci)"
  (cd "$node_dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
