#!/usr/bin/env bash
# The whole test suite: install what is missing, check formatting, build the
# normal and the sanitizer flavours, run every test under each, and run each
# fuzz target for a short bounded time.
set -euo pipefail
. "$(dirname "$0")/as-root.sh"
as_root "$0" "$@"
cd "$(dirname "$0")/.."
. scripts/stages.sh
stage "setup (packages)"
bash scripts/setup.sh

stage "clang-format check"
git ls-files '*.cpp' '*.h' | grep -v '^server/service/ferrolink.h$' \
  | xargs -r clang-format --dry-run --Werror

for flavour in normal asan; do
  stage "build ($flavour)"
  bash scripts/build.sh "$flavour"
done

dir_of() { case "$1" in normal) echo build ;; asan) echo build-asan ;; tsan) echo build-tsan ;; esac; }

# The tests keep their temporary files in a folder of this run; anything
# still in it after a pass is a leak and fails the run.
run_tmp=$(mktemp -d /tmp/ferrolink-test-XXXXXX)
# Open like /tmp itself: some tests run programs as an unprivileged user.
chmod 1777 "$run_tmp"
trap 'rm -rf "$run_tmp"' EXIT
check_tmp() {
  local left
  left=$(ls -A "$run_tmp")
  if [ -n "$left" ]; then
    echo "test: the $1 tests left files behind in the temporary folder:" >&2
    echo "$left" | sed 's/^/  /' >&2
    exit 1
  fi
}
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for flavour in normal asan; do
  stage "tests ($flavour)"
  TMPDIR=$run_tmp ctest --test-dir "$(dir_of "$flavour")" -j2 --output-on-failure --timeout 600
  check_tmp "$flavour"
done

# The Windows build, cross-compiled with MinGW-w64: its unit tests and a
# part of the wire tests run under Wine (the servers in namespaces).
stage "setup (Windows tools)"
bash scripts/windows-deps.sh packages
stage "build (windows)"
bash scripts/build-windows.sh
stage "tests (windows, under Wine)"
TMPDIR=$run_tmp ctest --test-dir build-windows -j2 --output-on-failure --timeout 600
# Wine keeps its server's socket folder in the temporary folder; it is
# Wine's, not a test's, once the last wineserver has ended (the tests stop
# theirs).
rm -rf "$run_tmp"/wine-*
check_tmp windows

# The Debian package (and, with the Windows build there, the Windows
# installer), checked as the archive checks packages. The fresh-machine
# check installs, runs and purges it in its throwaway root.
stage "package (Debian)"
bash scripts/package.sh
lintian --fail-on error,warning build-package/ferrolink_*_amd64.deb

# The engine's threads under ThreadSanitizer: its unit tests (Engine*,
# Platform*) and its namespace tests (label "engine").
stage "build (tsan, engine tests)"
bash scripts/build.sh tsan ferro_unit_tests transport_harness
stage "tests (tsan, engine)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 TMPDIR=$run_tmp \
  ctest --test-dir build-tsan -j2 --output-on-failure --timeout 600 \
  -R '^(Engine|Platform)[A-Za-z]*\.|^engine_'
check_tmp tsan

if [ -x scripts/fuzz.sh ]; then
  stage "fuzz (build, then each target 20 s)"
  bash scripts/fuzz.sh 20
fi
stages_summary "test"
