#!/usr/bin/env bash
# Builds both packages and prints their paths, one per line:
#   build/package/tavrimondo-agent_<version>_amd64.deb   the Debian package (Release, with Debian's
#                                                         hardening flags; only the agent is compiled)
#   build/win/tavrimondo-agent_<version>_x64.msi          the Windows installer, built with wixl
#                                                         from the MinGW build (build/win)
# What the compilers and packagers say goes to package.log in each build folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
run_logged() {  # run_logged LOG command...: a failure shows the log's end
  local log=$1; shift
  "$@" >"$log" 2>&1 || { echo "package.sh: failed; the end of $log:" >&2; tail -n 25 "$log" >&2; exit 1; }
}

deb_build=build/package
mkdir -p "$deb_build"
deb() {
  # The flags Debian builds its packages with, hardening included (dpkg-buildflags).
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cmake -S . -B "$deb_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" -DTAVRIMONDO_BENCH=OFF
  cmake --build "$deb_build" --target SrvTavrimondoClient package_files
  (cd "$deb_build" && cpack -G DEB)
}
run_logged "$deb_build/package.log" deb
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$deb_build/CMakeCache.txt")

win_build=build/win
mkdir -p "$win_build"
msi() {
  cmake -S . -B "$win_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64-posix.cmake"
  cmake --build "$win_build" --target SrvTavrimondoClient TavrimondoSetup
  bash packaging/windows/build-msi.sh "$win_build/src/service/SrvTavrimondoClient.exe" "$win_build/TavrimondoSetup.dll" \
    "$version" "$win_build/tavrimondo-agent_${version}_x64.msi"
}
run_logged "$win_build/package.log" msi

echo "$root/$deb_build/tavrimondo-agent_${version}_amd64.deb"
echo "$root/$win_build/tavrimondo-agent_${version}_x64.msi"
