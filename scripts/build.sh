#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh [normal|asan|tsan|fuzz] [TARGET...]   (default: normal, everything)
# Build folders: build/ (normal, holds build/dist), build-asan/, build-tsan/, build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-normal}
shift || true
jobs=$(nproc)
case "$flavour" in
  normal) dir=build; args=() ;;
  asan) dir=build-asan; args=(-DFERRO_SANITIZE=address) ;;
  tsan) dir=build-tsan; args=(-DFERRO_SANITIZE=thread) ;;
  fuzz) dir=build-fuzz; args=(-DFERRO_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: $0 [normal|asan|tsan|fuzz]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja "${args[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$jobs" "${targets[@]}"
