#!/usr/bin/env bash
# Proves that the README's two commands work on a fresh Debian 12 machine.
#
# Builds a minimal Debian 12 root (debootstrap, minbase variant, from the
# Debian mirror this machine's own apt sources name), clones the current
# checkout into it, and there, as root inside a chroot:
#   1. runs the README's main command until the server answers on
#      127.0.0.1:64567, interrupts it as a user would (Ctrl-C), and checks that
#      it left no namespace, no process and no forwarded port behind, and that
#      it installed nothing that only the tests need;
#   2. runs the README's test command exactly as written;
#   3. installs the Debian package that the test command built, runs it as
#      its service would and purges it (tests/package/install_check.sh).
# Everything mounted or created is removed at the end, also on failure or
# interruption.
#
#   bash scripts/fresh-check.sh [--only test|run|package]
#
# --only package builds the package in the root and checks it (3.) alone.
#
# The debootstrap result is cached in $FRESH_CACHE (default
# /var/cache/ferrolink-fresh), keyed by date, and so are the packages that the
# fresh root downloads, so a second run on the same day starts in seconds.
# This machine's compiler cache (ccache, when installed here) is lent to the
# root, so its builds reuse what a build of the same sources here compiled:
# only compiling identical compiler input is saved; installing, building,
# linking and every test run happen inside the root.
# The chroot shares this machine's network, so the check stops at once when
# 127.0.0.1:64567 is already taken here.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
. scripts/stages.sh

only=all
while (($#)); do
  case "$1" in
    --only) only=$2; shift 2 ;;
    -h | --help) sed -n '2,29p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "fresh-check: unknown argument $1" >&2; exit 2 ;;
  esac
done

log() { printf '== fresh-check: %s\n' "$*"; }
die() { printf 'fresh-check: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot, mounts); run it as root"
missing_tools=()
for tool in debootstrap chroot mount umount git curl ss; do
  command -v "$tool" >/dev/null || missing_tools+=("$tool")
done
if ((${#missing_tools[@]})); then
  log "installing debootstrap"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    debootstrap curl iproute2 git >/dev/null
fi

# The Debian mirror named by this machine's apt sources (deb822 or one-line
# form), so the check uses exactly the archive this machine is allowed to use.
mirror_from_sources() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      /^[ \t]*$/ { if (uri != "" && suites ~ /(^| )bookworm( |$)/) { print uri; exit } uri=""; suites=""; next }
      /^URIs:/ { uri=$2 }
      /^Suites:/ { $1=""; suites=$0 " " }
      END { if (uri != "" && suites ~ /(^| )bookworm( |$)/) print uri }
    ' "$f"
  done
  if [ -f /etc/apt/sources.list ]; then
    awk '$1 == "deb" && $3 == "bookworm" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' \
      /etc/apt/sources.list
  fi
}
mirror=$(mirror_from_sources | head -n1)
[ -n "$mirror" ] || die "no bookworm mirror found in /etc/apt/sources.list*"

cache=${FRESH_CACHE:-/var/cache/ferrolink-fresh}
mkdir -p "$cache/archives"
base="$cache/bookworm-minbase-$(date +%Y%m%d).tar"

if ss -Hltn 'sport = :64567' | grep -q . || ss -Hltn 'sport = :64568' | grep -q .; then
  die "port 64567 or 64568 is in use on this machine; the main command's check needs them"
fi

root=$(mktemp -d /var/tmp/ferrolink-fresh-XXXXXX)
# A root directory that other users can enter, as on a real machine (tests
# run programs as an unprivileged user).
chmod 755 "$root"
run_pid=""

# Every process whose root directory lies inside the fresh root.
procs_in_root() {
  local p r
  for p in /proc/[0-9]*; do
    r=$(readlink "$p/root" 2>/dev/null) || continue
    case "$r" in "$root" | "$root"/*) echo "${p#/proc/}" ;; esac
  done
}

# Namespaces that the fresh root's runs created. The chroot has its own /run,
# so its named namespaces are not listed here; their mount points are, under
# the fresh root's /run/netns.
cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  set +e
  if [ -n "$run_pid" ] && kill -0 "$run_pid" 2>/dev/null; then
    kill -INT -- "-$run_pid" 2>/dev/null
    sleep 2
  fi
  local pids
  pids=$(procs_in_root)
  if [ -n "$pids" ]; then
    kill -TERM $pids 2>/dev/null
    sleep 1
    pids=$(procs_in_root)
    [ -n "$pids" ] && kill -KILL $pids 2>/dev/null
  fi
  # Unmount everything below the root, deepest first, then the root itself.
  local m
  for m in $(findmnt -rn -o TARGET | grep -E "^$root(/|$)" | sort -r); do
    umount -l "$m" 2>/dev/null
  done
  # Never remove through a mount that is still there: the package and
  # compiler caches are this machine's own folders.
  if findmnt -rn -o TARGET | grep -qE "^$root(/|$)"; then
    log "left $root in place: something is still mounted below it"
    ((rc)) || rc=1
  else
    rm -rf --one-file-system "$root"
    log "cleaned up $root"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

stage "fresh-check: Debian 12 root (bootstrap or cached copy, mounts, clone)"
if [ -f "$base" ]; then
  log "unpacking the cached fresh root $(basename "$base")"
  tar -C "$root" -xpf "$base"
else
  log "building a fresh Debian 12 root (debootstrap minbase from the mirror of this machine's apt sources)"
  started=$SECONDS
  debootstrap --variant=minbase --cache-dir="$cache/archives" bookworm "$root" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 || { tail -n 20 "$cache/debootstrap.log" >&2; die "debootstrap failed"; }
  log "debootstrap took $((SECONDS - started)) s"
  # Only today's root is kept.
  rm -f "$cache"/bookworm-minbase-*.tar
  tar -C "$root" -cpf "$base.part" . && mv "$base.part" "$base"
fi
chmod 755 "$root"

# The same apt sources as this machine (Debian's archive only), a name
# resolver, and a package cache kept between runs.
rm -f "$root/etc/apt/sources.list"
mkdir -p "$root/etc/apt/sources.list.d"
for f in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list; do
  [ -f "$f" ] && cp "$f" "$root/etc/apt/${f#/etc/apt/}"
done
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
# The certificate authorities this machine trusts besides Debian's own, so
# that HTTPS (the npm registry, for the client tests' packages) is trusted in
# the root as it is here; the root's ca-certificates package adds them to its
# store when setup installs it.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
fi

# `ip netns exec` needs "/" to be a mount point and a writable /run; the
# kernel file systems are those of this machine.
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --make-rslave "$root/sys"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"

# This machine's compiler cache, at the place where the root's ccache looks
# by default, and its size limit (a smaller default would evict entries here).
ccache_env=()
if command -v ccache >/dev/null 2>&1; then
  host_ccache=$(ccache -k cache_dir)
  mkdir -p "$host_ccache" "$root/root/.cache/ccache"
  mount --bind "$host_ccache" "$root/root/.cache/ccache"
  ccache_env=(CCACHE_MAXSIZE="$(ccache -k max_size)")
  log "lending the compiler cache $host_ccache to the root"
fi
# Hits and misses of the compiler cache, counted here.
ccache_counts() {
  [ -n "${host_ccache:-}" ] || return 0
  ccache --print-stats | awk '
    $1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" { hit += $2 }
    $1 == "cache_miss" { miss += $2 }
    END { print hit + 0, miss + 0 }'
}

log "copying the checkout (committed state of $(git -C "$repo" rev-parse --short HEAD))"
git clone -q --no-hardlinks "$repo" "$root/root/ferrolink"
git -C "$repo" diff --quiet HEAD || log "note: uncommitted changes in $repo are not part of the check"

in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${ccache_env[@]}" "$@"
}

if [ "$only" = all ] || [ "$only" = run ]; then
  stage "fresh-check: README main command: bash scripts/run.sh"
  log "README main command: bash scripts/run.sh (until the server answers on 64567)"
  started=$SECONDS
  setsid chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${ccache_env[@]}" \
    /bin/bash -c 'cd /root/ferrolink && exec bash scripts/run.sh' \
    </dev/null >"$root/tmp/run.log" 2>&1 &
  run_pid=$!
  answered=0
  for _ in $(seq 1 900); do
    if ! kill -0 "$run_pid" 2>/dev/null; then break; fi
    if curl -s -m 2 -o /dev/null http://127.0.0.1:64567/index.html; then
      answered=1
      break
    fi
    sleep 1
  done
  if ((!answered)); then
    tail -n 40 "$root/tmp/run.log" >&2
    die "the main command did not bring the server up"
  fi
  log "server answered on 64567 after $((SECONDS - started)) s; interrupting the main command"
  kill -INT -- "-$run_pid"
  for _ in $(seq 1 60); do
    kill -0 "$run_pid" 2>/dev/null || break
    sleep 1
  done
  if kill -0 "$run_pid" 2>/dev/null; then
    tail -n 40 "$root/tmp/run.log" >&2
    die "the main command did not end within 60 s of Ctrl-C"
  fi
  run_pid=""
  leftovers=$(procs_in_root)
  [ -z "$leftovers" ] || { ps -o pid,args -p $leftovers >&2; die "processes left behind: $leftovers"; }
  if ss -Hltn 'sport = :64567' | grep -q . || ss -Hltn 'sport = :64568' | grep -q .; then
    die "a forwarded port is still listening after Ctrl-C"
  fi
  if [ -n "$(ls -A "$root/run/netns" 2>/dev/null)" ]; then
    die "namespaces left behind: $(ls "$root/run/netns")"
  fi
  if ls "$root/tmp" | grep -v '^run\.log$' | grep -q .; then
    die "files left behind in /tmp: $(ls "$root/tmp" | grep -v '^run\.log$' | tr '\n' ' ')"
  fi
  log "main command: Ctrl-C left no namespace, process or forwarded port"
  # The main command runs first on the fresh root, so it must have installed
  # only what the server and the demo use.
  if [ -d "$root/root/ferrolink/tests/clients/node/node_modules" ] ||
     in_root dpkg-query -W -f='${Status}' googletest 2>/dev/null | grep -q "install ok installed"; then
    die "the main command installed what only the tests need"
  fi
  log "main command: no test packages installed"
fi


if [ "$only" = all ] || [ "$only" = test ]; then
  stage "fresh-check: README test command: bash scripts/test.sh"
  started=$SECONDS
  read -r hits_before misses_before _ <<<"$(ccache_counts) 0 0"
  in_root /bin/bash -c 'cd /root/ferrolink && bash scripts/test.sh' </dev/null
  log "test command passed in $((SECONDS - started)) s"
  if [ -n "${host_ccache:-}" ]; then
    read -r hits misses _ <<<"$(ccache_counts) 0 0"
    log "compiler cache during the test command: $((hits - hits_before)) hits, $((misses - misses_before)) misses"
  fi
fi

# The Debian package that the test command built, installed from the
# archive's dependencies, run as its service, and purged. Alone (--only
# package), the root first gets the test packages and builds the package.
if [ "$only" = package ]; then
  stage "fresh-check: test packages and the Debian package"
  in_root /bin/bash -c 'cd /root/ferrolink && bash scripts/setup.sh test && bash scripts/package.sh' \
    </dev/null
fi
if [ "$only" = all ] || [ "$only" = test ] || [ "$only" = package ]; then
  stage "fresh-check: the Debian package installed, run and purged"
  in_root /bin/bash -c 'cd /root/ferrolink &&
    bash tests/package/install_check.sh build-package/ferrolink_*_amd64.deb' </dev/null
fi

stages_summary "fresh-check"
log "passed"
