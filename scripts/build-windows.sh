#!/usr/bin/env bash
# Cross-builds the Windows programs and their unit tests into build-windows/
# with Debian's MinGW-w64; the tests run under Wine:
#   scripts/build-windows.sh [TARGET...]
#   ctest --test-dir build-windows
# It leaves the program folder build-windows/dist, the same as a zip archive,
# and, where makensis is installed, the installer
# build-windows/ferrolink-VERSION-setup.exe (installer/ferrolink.nsi).
# The tools come from scripts/windows-deps.sh packages (root, once); the
# libraries are built on the first run (scripts/windows-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-windows
bash scripts/windows-deps.sh build
args=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DFERRO_TESTS=ON)
# The compiler cache, set up as scripts/build.sh does.
if command -v ccache >/dev/null 2>&1; then
  args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  export CCACHE_COMPILERCHECK=${CCACHE_COMPILERCHECK:-content}
  export CCACHE_NOHASHDIR=1
fi
cmake -S . -B "$dir" -G Ninja "${args[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
