#!/usr/bin/env bash
# Builds the fuzz flavour (build-fuzz/) and runs every fuzz target for
# SECONDS each (default 20), each on a temporary copy of its seed corpus
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
bash scripts/build.sh fuzz "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=build-fuzz/fuzz-artifacts
mkdir -p "$artifacts"

status=0
for src in tests/fuzz/fuzz_*.cpp; do
  name=$(basename "$src" .cpp)
  bin=build-fuzz/tests/$name
  if [ ! -x "$bin" ]; then
    echo "fuzz: $bin was not built" >&2
    status=1
    continue
  fi
  corpus=$work/$name
  mkdir -p "$corpus"
  if [ -d "tests/fuzz/corpus/$name" ]; then
    cp -R "tests/fuzz/corpus/$name/." "$corpus/"
  fi
  echo "== fuzz $name (${seconds}s)"
  if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/$name-" "$corpus" >"$work/$name.log" 2>&1; then
    grep -E '^(Done|#[0-9]+ +DONE)' "$work/$name.log" | tail -1 || true
  else
    echo "fuzz: $name failed; the end of its log:" >&2
    tail -40 "$work/$name.log" >&2
    status=1
  fi
done
exit $status
