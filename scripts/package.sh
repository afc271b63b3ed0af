#!/usr/bin/env bash
# Builds the Debian package of the Linux agent: build/release/tavrimondo-agent_<version>_amd64.deb.
# Only the agent is compiled (Release); the compiler's output goes to build/release/package.log.
# Prints the package's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=build/release
mkdir -p "$build"
log=$build/package.log
{
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
  cmake --build "$build" --target SrvTavrimondoClient
  (cd "$build" && cpack -G DEB)
} >"$log" 2>&1 || { echo "package.sh: failed; the end of $log:" >&2; tail -n 25 "$log" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
echo "$root/$build/tavrimondo-agent_${version}_amd64.deb"
