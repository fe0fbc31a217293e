#!/usr/bin/env bash
# Builds the fuzz flavour (build-fuzz/) and runs every fuzz target for
# SECONDS each (default 20), as many at once as there are processors, each on
# a temporary copy of its seed corpus
# tests/fuzz/corpus/<target>/. Fails when any target finds a crash; the
# input that crashed is kept in build-fuzz/fuzz-artifacts/.
#   scripts/fuzz.sh [SECONDS]        e.g. scripts/fuzz.sh 600 for a longer run
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds < 1)); then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

targets=()
for src in tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
started=$SECONDS
bash scripts/build.sh fuzz "${targets[@]}"
echo "== fuzz: built in $((SECONDS - started)) s"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=build-fuzz/fuzz-artifacts
mkdir -p "$artifacts"

# One target per processor at a time: each still runs its full time, on its
# own corpus copy and log, and the results are printed in name order.
jobs=$(nproc)
((jobs >= 1)) || jobs=1

# Leaves its verdict in $work/NAME.rc (0 = passed) and a line to print in
# $work/NAME.result.
run_one() {
  local rc=0
  fuzz_one "$1" || rc=$?
  echo "$rc" >"$work/$1.rc"
}
fuzz_one() {
  local name=$1 bin=build-fuzz/tests/$1
  if [ ! -x "$bin" ]; then
    echo "fuzz: $bin was not built" >"$work/$name.result"
    return 1
  fi
  local corpus=$work/$name
  mkdir -p "$corpus"
  if [ -d "tests/fuzz/corpus/$name" ]; then
    cp -R "tests/fuzz/corpus/$name/." "$corpus/"
  fi
  if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/$name-" "$corpus" >"$work/$name.log" 2>&1; then
    grep -E '^(Done|#[0-9]+ +DONE)' "$work/$name.log" | tail -1 >"$work/$name.result" || true
  else
    { echo "fuzz: $name failed; the end of its log:"; tail -40 "$work/$name.log"; } >"$work/$name.result"
    return 1
  fi
}

names=()
for src in tests/fuzz/fuzz_*.cpp; do names+=("$(basename "$src" .cpp)"); done
echo "== fuzz: ${#names[@]} targets, ${seconds}s each, $jobs at a time"
for name in "${names[@]}"; do
  # Wait for a free slot (at most one wait per target started).
  while (($(jobs -rp | wc -l) >= jobs)); do wait -n || true; done
  run_one "$name" &
done
wait

status=0
for name in "${names[@]}"; do
  if [ "$(cat "$work/$name.rc" 2>/dev/null)" = 0 ]; then
    echo "== fuzz $name (${seconds}s): $(cat "$work/$name.result")"
  else
    cat "$work/$name.result" >&2 2>/dev/null || echo "fuzz: $name did not finish" >&2
    status=1
  fi
done
exit $status
