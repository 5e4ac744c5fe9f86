#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan and UBSan) into build-fuzz/ and
# runs each from its seed corpus, SECONDS in all (default 300) shared evenly
# between the harnesses, at least 20 s each: a new harness does not make the
# run longer. Any finding fails the run; its log and reproducer stay in
# build-fuzz/fuzz-runs/HARNESS/.
# Usage: scripts/fuzz.sh [SECONDS] [HARNESS...]
# Reproduce a finding: build-fuzz/fuzz/HARNESS build-fuzz/fuzz-runs/HARNESS/crash-...
set -eEuo pipefail
# Whatever stops the script says which command it was.
trap 'rc=$?; echo "$(basename "$0"): line $LINENO: \"$BASH_COMMAND\" failed (exit $rc)" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
build=${DRAVIK_FUZZ_BUILD:-$root/build-fuzz}
total=${1:-300}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] ||
  harnesses=(fuzz_hextobytes fuzz_multistring fuzz_storeresponse fuzz_download fuzz_verify
    fuzz_cvcertificate fuzz_recordedit fuzz_carddata)

seconds=$((total / ${#harnesses[@]}))
[ "$seconds" -ge 20 ] || seconds=20

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DDRAVIK_FUZZ=ON -DDRAVIK_WERROR=ON \
  -DDRAVIK_SANITIZE=address,undefined -DDRAVIK_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${harnesses[@]}"

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=0
for harness in "${harnesses[@]}"; do
  runs=$build/fuzz-runs/$harness
  # The corpus grown by earlier runs is kept; the harness's temporary files are not.
  rm -rf "$runs/tmp"
  mkdir -p "$runs/corpus" "$runs/tmp"
  if TMPDIR=$runs/tmp "$build/fuzz/$harness" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 -artifact_prefix="$runs/" \
    "$runs/corpus" "$root/fuzz/corpus/$harness" >"$runs/log" 2>&1; then
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$runs/log")
    echo "$harness: ${executions:-?} executions in ${seconds} s, no finding"
  else
    reproducer=$(sed -n "s/.*Test unit written to //p" "$runs/log" | tail -n 1)
    echo "$harness: FINDING, log $runs/log, reproducer ${reproducer:-none}" >&2
    grep -m 3 -E "invariant failed|ERROR: (Address|Leak|libFuzzer)|runtime error" "$runs/log" >&2 || true
    failed=1
  fi
  rm -rf "$runs/tmp"
done
exit $failed
