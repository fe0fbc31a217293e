#!/usr/bin/env bash
# Installs, runs and purges the Debian package in the Debian 12 root this
# script runs in (a throwaway root, e.g. the fresh-machine check's chroot:
# never a machine in use), as root:
#
#   bash tests/package/install_check.sh /path/to/ferrolink_VERSION_amd64.deb
#
# It installs the package with apt-get (dependencies from the archive) and
# checks the installed files, the service user and group, the unit
# (systemd-analyze verify and its exposure), the first copy of define.ecf and
# that a reinstall keeps the server's copy; then runs the installed server
# as the service user with exactly the unit's two capabilities, in a network
# namespace it creates and deletes, and checks that a member of the group
# ferrolink may change a setting (written back into the state folder) and
# another user may not; discovers simulated agents through it and uploads
# firmware to one (the wire test's harness, from this checkout); finally purges the package and checks that nothing
# of it is left: no file, user, group or state folder.
# The root needs /proc, /sys, /dev and a writable /run mounted, as
# scripts/fresh-check.sh lays them.
set -euo pipefail

deb=$(realpath "${1:?usage: install_check.sh DEB}")
repo=$(cd "$(dirname "$0")/../.." && pwd)
[ -f "$deb" ] || { echo "install_check: no $deb" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "install_check: needs root" >&2; exit 2; }

failures=0
ok() { printf 'ok: %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*" >&2; failures=$((failures + 1)); }
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then ok "$what"; else fail "$what"; fi
}

ns=ferrolink-pkg-$$
server_pid=""
cleanup() {
  set +e
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  ip netns delete "$ns" 2>/dev/null
  userdel -r alice-pkgcheck 2>/dev/null
  userdel -r bob-pkgcheck 2>/dev/null
}
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
# What the checks themselves use (systemd only for systemd-analyze; no
# systemd runs in the root, so the package's start on install is skipped).
apt-get update -qq
apt-get install -y -qq --no-install-recommends systemd iproute2 passwd util-linux >/dev/null

# Everything on the root's own file system before the install, less the
# package manager's bookkeeping and caches, and this checkout.
snapshot() {
  find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
    -o -path "$repo" \
    -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \) -prune \
    -o -print 2>/dev/null | sort
}
before=$(mktemp)
snapshot >"$before"

echo "== install"
apt-get install -y -qq "$deb" >/dev/null
package_files=$(mktemp)
dpkg -L ferrolink >"$package_files"

echo "== installed files"
for f in /usr/lib/ferrolink/Ferrolink /usr/lib/ferrolink/loader /usr/lib/ferrolink/Ferroview \
  /usr/lib/ferrolink/tools/ecftool /usr/lib/ferrolink/tools/ferroctl; do
  check "$f is executable" test -x "$f"
done
check "the server's version is the package's" \
  test "$(/usr/lib/ferrolink/Ferrolink --version)" = "Ferrolink $(dpkg-query -W -f='${Version}' ferrolink)"
check "sample requests in /usr/lib/ferrolink/auto" test -f /usr/lib/ferrolink/auto/Device.wsdl
check "the page in tools/js_client" test -f /usr/lib/ferrolink/tools/js_client/index.html
check "jquery.js resolves to libjs-jquery's" test -f /usr/lib/ferrolink/tools/js_client/jquery.js
check "ferroctl on the PATH" ferroctl --help
check "ecftool on the PATH shows the default define.ecf" ecftool show /usr/share/ferrolink/define.ecf
for m in man8/Ferrolink.8 man1/ferroctl.1 man1/ecftool.1; do
  check "man page $m" test -f "/usr/share/man/$m.gz"
done
check "desktop entry" test -f /usr/share/applications/ferrolink.desktop
unit=/lib/systemd/system/ferrolink.service
check "unit $unit" test -f "$unit"
check "unit enabled" test -L /etc/systemd/system/multi-user.target.wants/ferrolink.service
check "systemd-analyze verify" systemd-analyze verify --man=no "$unit"
exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
  sed -n 's/.*Overall exposure level for ferrolink.service: \([0-9.]*\) .*/\1/p')
echo "exposure: ${exposure:-?}"
check "exposure below 4.0" awk -v e="${exposure:-99}" 'BEGIN { exit !(e < 4.0) }'

echo "== user, group, state folder"
check "system user ferrolink" getent passwd ferrolink
check "group ferrolink" getent group ferrolink
uid=$(id -u ferrolink 2>/dev/null || echo 99999)
check "ferrolink is a system user (uid $uid)" test "$uid" -lt 1000
check "state folder owned by ferrolink" test "$(stat -c %U:%G /var/lib/ferrolink)" = ferrolink:ferrolink
check "define.ecf copied into the state folder" \
  cmp /usr/share/ferrolink/define.ecf /var/lib/ferrolink/cfg/define.ecf
check "the server's define.ecf is its own" test "$(stat -c %U /var/lib/ferrolink/cfg/define.ecf)" = ferrolink
check "define.ecf is no conffile" bash -c '! grep -q define.ecf /var/lib/dpkg/info/ferrolink.conffiles 2>/dev/null'

# A reinstall keeps what the server wrote.
ecftool write /var/lib/ferrolink/cfg/define.ecf --monitor 42 >/dev/null
apt-get install -y -qq --reinstall "$deb" >/dev/null
check "a reinstall keeps the server's define.ecf" \
  bash -c 'ecftool show /var/lib/ferrolink/cfg/define.ecf | grep -q "monitor_polling_interval: 42 s"'
install -o ferrolink -g ferrolink -m 0640 /usr/share/ferrolink/define.ecf /var/lib/ferrolink/cfg/define.ecf

echo "== the installed server, as the service runs it, in namespace $ns"
useradd -m alice-pkgcheck
useradd -m bob-pkgcheck
usermod -aG ferrolink alice-pkgcheck
ip netns add "$ns"
ip -n "$ns" link set lo up
ip -n "$ns" link add veth0 type veth peer name veth1
ip -n "$ns" addr add 192.0.2.1/24 dev veth0
ip -n "$ns" link set veth0 up
ip -n "$ns" link set veth1 up
# The unit's runtime folder (the one-server-per-namespace lock).
install -d -o ferrolink -g ferrolink -m 0700 /run/ferrolink
# The unit's user and its only two capabilities.
as_service=(setpriv --reuid ferrolink --regid ferrolink --init-groups --no-new-privs
  --bounding-set -all,+net_raw,+net_admin --inh-caps -all,+net_raw,+net_admin
  --ambient-caps -all,+net_raw,+net_admin)
# With the unit's own command line, so a typo there fails here.
read -r -a exec_start <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
check "the unit starts the installed server" test "${exec_start[0]}" = /usr/lib/ferrolink/Ferrolink
(cd /var/lib/ferrolink && exec ip netns exec "$ns" "${as_service[@]}" "${exec_start[@]}") \
  >/tmp/ferrolink-pkg.log 2>&1 &
server_pid=$!
in_ns() { ip netns exec "$ns" "$@"; }
for _ in $(seq 50); do
  in_ns ferroctl --timeout 2 interval poll >/dev/null 2>&1 && break
  sleep 0.2
done
check "the installed server answers" in_ns ferroctl --timeout 5 interval poll
caps=$(awk "/^CapEff/ { print \$2 }" "/proc/$server_pid/status" 2>/dev/null || true)
check "server runs with CAP_NET_RAW and CAP_NET_ADMIN only (CapEff $caps)" test "$caps" = 0000000000003000
check "the engine starts (raw IGMP socket)" in_ns ferroctl --timeout 10 start
check "a member of ferrolink may change a setting" \
  in_ns setpriv --reuid alice-pkgcheck --regid alice-pkgcheck --init-groups \
  ferroctl --timeout 5 interval poll 33
check "... which the server writes into its state folder" \
  bash -c 'ecftool show /var/lib/ferrolink/cfg/define.ecf | grep -q "monitor_polling_interval: 33 s"'
set +e
in_ns setpriv --reuid bob-pkgcheck --regid bob-pkgcheck --init-groups \
  ferroctl --timeout 5 interval poll 34 >/dev/null 2>&1
rc=$?
set -e
check "another user may not (ferroctl exit $rc, 4 expected)" test "$rc" -eq 4
in_ns ferroctl --timeout 5 stop >/dev/null 2>&1 || kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=""
check "the raw IGMP socket opened with the unit's capabilities" \
  bash -c '! grep -q "raw IGMP socket unavailable" /tmp/ferrolink-pkg.log'
if ((failures)); then sed 's/^/server: /' /tmp/ferrolink-pkg.log >&2; fi
ip netns delete "$ns"

echo "== discovery and a firmware upload through the installed server"
# The wire test of an upload, in a test network of its own: simulated
# agents, tftpd-hpa as the agent's TFTP server, the installed program folder
# run as the service user (the neighbour entry needs CAP_NET_ADMIN).
wire_log=$(mktemp)
if env PYTHONDONTWRITEBYTECODE=1 FERRO_DIST=/usr/lib/ferrolink FERRO_DEFINE_ECF=/usr/share/ferrolink/define.ecf \
  FERRO_SERVER_AS="${as_service[*]}" FERRO_SERVER_OWNER=ferrolink \
  python3 -B "$repo/tests/integration/e2e_upgrade_test.py" \
  UpgradeTest.test_firmware_upload_reaches_done_with_the_file_intact >"$wire_log" 2>&1; then
  ok "agents discovered and a firmware upload done"
else
  fail "agents discovered and a firmware upload done"
  sed 's/^/wire: /' "$wire_log" >&2
fi
rm -f "$wire_log"
userdel -r alice-pkgcheck 2>/dev/null || true
userdel -r bob-pkgcheck 2>/dev/null || true
rm -rf /run/ferrolink /tmp/ferrolink-pkg.log

echo "== purge"
apt-get purge -y -qq ferrolink >/dev/null
check "no user ferrolink" bash -c '! getent passwd ferrolink'
check "no group ferrolink" bash -c '! getent group ferrolink'
check "no state folder" test ! -e /var/lib/ferrolink
left=$(while read -r f; do [ "$f" = /. ] || [ ! -e "$f" ] || [ -d "$f" ] || echo "$f"; done <"$package_files")
check "none of the package's files is left${left:+: $left}" test -z "$left"
after=$(mktemp)
snapshot >"$after"
new=$(comm -13 "$before" "$after" | grep -i ferro || true)
check "nothing named ferro* is new on the root${new:+: $new}" test -z "$new"
rm -f "$before" "$after" "$package_files"

if ((failures)); then
  echo "install_check: $failures check(s) failed" >&2
  exit 1
fi
echo "install_check: all checks passed"
