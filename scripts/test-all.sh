#!/usr/bin/env bash
# Every test of the project, from a fresh Debian 12 machine: installs what is missing, builds the
# Linux, sanitizer and Windows builds, starts the Firebird server and Wine's server, runs all
# tests (the Windows ones under Wine), stops the servers again, and fuzzes for a minute.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh || exit 1

for b in native asan win; do
  echo "== build $b"
  bash scripts/build.sh "$b" || exit 1
done

export TAVRIMONDO_WINEPREFIX=${TAVRIMONDO_WINEPREFIX:-$root/build/wineprefix}
cleanup() {
  bash scripts/firebird.sh stop >/dev/null 2>&1 || true
  WINEPREFIX=$TAVRIMONDO_WINEPREFIX wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
echo "== start the Firebird server"
bash scripts/firebird.sh start || exit 1
echo "== prepare the Wine prefix"
scripts/wine-run cmd /c exit >/dev/null 2>&1 || true
WINEPREFIX=$TAVRIMONDO_WINEPREFIX wineserver -p

status=0
run_ctest() {  # run_ctest BUILD [ctest args...]
  local b=$1; shift
  echo "== tests: $b"
  (cd "build/$b" && ctest --output-on-failure -j2 "$@") || status=1
}
run_ctest native
# LeakSanitizer sometimes crashes at exit while the Firebird client library's threads shut down.
ASAN_OPTIONS=abort_on_error=1:detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest asan
run_ctest win
# A minute of fuzzing on the corpus: the readers, the whole exchange and the local value readers,
# with and without sanitizers (scripts/fuzz.sh runs the long campaign).
echo "== fuzz smoke"
FUZZ_SMOKE=1 bash scripts/fuzz.sh 60 || status=1
exit $status
