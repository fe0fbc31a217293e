#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh [normal|product|asan|tsan|fuzz] [TARGET...]   (default: normal, everything)
# Build folders: build/ (normal and product, holds build/dist), build-asan/,
# build-tsan/, build-fuzz/. "product" builds only the program folder: no
# tests, so no test packages are needed (scripts/run.sh uses it).
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-normal}
shift || true
jobs=$(nproc)
case "$flavour" in
  normal) dir=build; args=(-DFERRO_TESTS=ON) ;;
  product)
    dir=build; args=()
    # A folder the test command configured keeps its tests; a new one
    # leaves them out.
    grep -qs '^FERRO_TESTS:BOOL=ON' build/CMakeCache.txt || args=(-DFERRO_TESTS=OFF)
    [ $# -gt 0 ] || set -- ferro_product
    ;;
  asan) dir=build-asan; args=(-DFERRO_SANITIZE=address) ;;
  tsan) dir=build-tsan; args=(-DFERRO_SANITIZE=thread) ;;
  fuzz) dir=build-fuzz; args=(-DFERRO_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: $0 [normal|product|asan|tsan|fuzz]" >&2; exit 2 ;;
esac

# The compiler cache, when installed (setup installs it). Paths below the
# checkout are hashed relative to the build folder, the compiler by its
# content and not by its file date, and the build folder's own path is left
# out, so that another clone of the same commit (the fresh-machine check's
# root) finds what this one compiled. An existing CCACHE_DIR is used as it is.
if command -v ccache >/dev/null 2>&1; then
  args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  export CCACHE_COMPILERCHECK=${CCACHE_COMPILERCHECK:-content}
  export CCACHE_NOHASHDIR=1
else
  args+=(-DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER=)
fi
cmake -S . -B "$dir" -G Ninja "${args[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$jobs" "${targets[@]}"
