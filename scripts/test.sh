#!/usr/bin/env bash
# The whole test suite: install what is missing, check formatting, build the
# normal and the sanitizer flavours, run every test under each, and run each
# fuzz target for a short bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== clang-format check"
git ls-files '*.cpp' '*.h' | grep -v '^server/service/ferrolink.h$' \
  | xargs -r clang-format --dry-run --Werror

for flavour in normal asan; do
  echo "== build ($flavour)"
  bash scripts/build.sh "$flavour"
done

dir_of() { case "$1" in normal) echo build ;; asan) echo build-asan ;; tsan) echo build-tsan ;; esac; }
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for flavour in normal asan; do
  echo "== tests ($flavour)"
  ctest --test-dir "$(dir_of "$flavour")" -j2 --output-on-failure --timeout 600
done

# The engine's threads under ThreadSanitizer: its unit tests (Engine*,
# Platform*) and its namespace tests (label "engine").
echo "== build (tsan, engine tests)"
bash scripts/build.sh tsan ferro_unit_tests transport_harness
echo "== tests (tsan, engine)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan -j2 --output-on-failure --timeout 600 \
  -R '^(Engine|Platform)[A-Za-z]*\.|^engine_'

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzz (bounded)"
  bash scripts/fuzz.sh 20
fi
