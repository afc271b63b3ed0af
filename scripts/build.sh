#!/usr/bin/env bash
# Configures and builds one of the project's builds: native (default), asan, win or release.
#   scripts/build.sh [native|asan|win|release]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-native}
case $kind in
  native)  args=(-DCMAKE_BUILD_TYPE=Debug) ;;
  release) args=(-DCMAKE_BUILD_TYPE=Release) ;;
  asan)    args=(-DCMAKE_BUILD_TYPE=Debug -DTAVRIMONDO_SANITIZE=ON -DTAVRIMONDO_BENCH=OFF) ;;
  win)     args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64-posix.cmake") ;;
  *) echo "unknown build: $kind" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$root/build/$kind" -G Ninja "${args[@]}" >/dev/null
cmake --build "$root/build/$kind" -j "$(nproc)"
