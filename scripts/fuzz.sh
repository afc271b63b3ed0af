#!/usr/bin/env bash
# The fuzzing campaign: builds the libFuzzer targets twice (with AddressSanitizer and UBSan in
# build/fuzz, without sanitizers in build/fuzz-plain) and runs each target in each build on both
# cores, on its corpus: tests/connections/central/fuzz/corpus/<target>/ for the central server's
# and the local database's readers, tests/replication/fuzz/corpus/<target>/ for the readers of the
# state file and of the cycle record.
#   scripts/fuzz.sh [SECONDS]     SECONDS (default 600) is the whole run, shared out evenly.
# Inputs that reach new code are merged into the corpus at the end; FUZZ_SMOKE=1 (the test run)
# leaves the corpus as it is. Findings are kept in build/fuzz-findings/ (build/fuzz-smoke-findings/
# for the smoke run) and make the script fail: each, once fixed, goes into the corpus as a
# regression input.
#
# Limits: inputs up to 64 KB; no single allocation above 64 MB. ASan's own memory (shadow,
# quarantine) puts a sanitized fuzzer at several hundred MB within minutes, so the sanitized run
# has a small quarantine and a generous RSS limit, and the plain run is the one that catches
# amplification by many small allocations, with an RSS limit of 128 MB.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
# Each target as "test folder:target:corpus name".
targets=(connections/central:central_codec_fuzz:codec connections/central:central_exchange_fuzz:exchange
         connections/central:local_values_fuzz:local_values replication:state_file_fuzz:state_file
         replication:cycle_record_fuzz:cycle_record)
names() { local t; for t in "${targets[@]}"; do t=${t#*:}; echo "${t%%:*}"; done; }
dir_of() { echo "${1%%:*}"; }
name_of() { local t=${1#*:}; echo "${t%%:*}"; }
corpus_of() { echo "$root/tests/$(dir_of "$1")/fuzz/corpus/${1##*:}"; }
findings=$root/build/fuzz-findings
if [ "${FUZZ_SMOKE:-0}" = 1 ]; then
  findings=$root/build/fuzz-smoke-findings
  rm -rf "$findings"
fi
mkdir -p "$findings"

build() {  # build DIR SANITIZE
  cmake -S "$root" -B "$root/build/$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTAVRIMONDO_FUZZ=ON -DTAVRIMONDO_FUZZ_SANITIZE="$2" \
    -DTAVRIMONDO_BENCH=OFF >/dev/null
  cmake --build "$root/build/$1" --target $(names)
}
echo "== fuzz: build"
build fuzz ON
build fuzz-plain OFF

runs=$((${#targets[@]} * 2))
per=$((seconds / runs))
((per >= 5)) || per=5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Both cores; in the campaign a finding does not end the run (the rest keep looking).
common=(-fork=2 -max_total_time="$per" -max_len=65536 -malloc_limit_mb=64 -timeout=10)
[ "${FUZZ_SMOKE:-0}" = 1 ] || common+=(-ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1)
total=0
status=0
for build_dir in fuzz fuzz-plain; do
  for target in "${targets[@]}"; do
    t=$(name_of "$target")
    exe=$root/build/$build_dir/tests/$(dir_of "$target")/$t
    corpus=$(corpus_of "$target")
    mkdir -p "$corpus"
    fresh=$work/$build_dir-$t
    mkdir -p "$fresh"
    opts=("${common[@]}" -artifact_prefix="$findings/$build_dir-$t-")
    if [ "$build_dir" = fuzz ]; then
      opts+=(-rss_limit_mb=1024)
      export ASAN_OPTIONS=quarantine_size_mb=16:detect_leaks=1:allocator_may_return_null=1
      export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    else
      opts+=(-rss_limit_mb=128)
      unset ASAN_OPTIONS UBSAN_OPTIONS
    fi
    log=$work/$build_dir-$t.log
    echo "== fuzz: $t ($build_dir, ${per}s)"
    (cd "$work" && nice "$exe" "${opts[@]}" "$fresh" "$corpus") >"$log" 2>&1 ||
      status=1
    # Fork mode reports "#<executions>: cov: ..."; the last one holds the run's total.
    execs=$(grep -oE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#' || true)
    execs=${execs:-0}
    total=$((total + execs))
    echo "   $execs executions; $(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 || true)"
    if grep -qE 'ERROR: (libFuzzer|AddressSanitizer|UndefinedBehaviorSanitizer)|runtime error|==ERROR' "$log"; then
      status=1
      grep -m 20 -E 'ERROR|runtime error|Test unit written' "$log" | sed 's/^/   /' || true
    fi
    if [ "${FUZZ_SMOKE:-0}" != 1 ] && [ -n "$(ls -A "$fresh")" ]; then
      "$exe" -merge=1 -max_len=65536 "$corpus" "$fresh" >/dev/null 2>&1 || true
    fi
  done
done
# The campaign leaves each corpus minimal: the fewest inputs that reach the same code, the
# regression inputs of past findings kept whatever they reach.
if [ "${FUZZ_SMOKE:-0}" != 1 ]; then
  for target in "${targets[@]}"; do
    t=$(name_of "$target")
    corpus=$(corpus_of "$target")
    min=$work/min-$t
    mkdir -p "$min"
    "$root/build/fuzz-plain/tests/$(dir_of "$target")/$t" -merge=1 -max_len=65536 "$min" "$corpus" >/dev/null 2>&1 || continue
    find "$corpus" -maxdepth 1 -type f ! -name 'regression-*' ! -name 'seed-*' -delete
    cp -n "$min"/* "$corpus"/ 2>/dev/null || true
  done
fi
echo "== fuzz: $total executions in all ($(date -u +%Y-%m-%d))"
shopt -s nullglob
found=("$findings"/*-crash-* "$findings"/*-leak-* "$findings"/*-oom-* "$findings"/*-timeout-*)
if ((${#found[@]})); then
  echo "findings in $findings:"
  printf '   %s\n' "${found[@]##*/}"
  status=1
fi
exit $status
