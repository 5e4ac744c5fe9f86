#!/usr/bin/env bash
# Sets up, builds and runs every test. Then builds the suite again with
# AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/) and runs every
# test there, and with ThreadSanitizer (build-tsan/) and runs the tests where
# threads meet. Tests against the real pcscd start their own daemon in a
# private namespace, which needs root.
#
# Arguments go to ctest for the normal and the AddressSanitizer run (for
# example -R fault). The fuzz harnesses run next, DRAVIK_FUZZ_SECONDS in all
# (default 300); DRAVIK_SANITIZERS=0 skips the sanitizer and fuzz runs. The
# Windows side comes last (scripts/windows.sh; DRAVIK_WINDOWS=0 skips it).
set -eEuo pipefail
# Whatever stops the script says which command it was.
trap 'rc=$?; echo "$(basename "$0"): line $LINENO: \"$BASH_COMMAND\" failed (exit $rc)" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
supp=$root/tests/sanitizers

times=()
started=$SECONDS
# Records how long the step since the last call took.
took() {
  times+=("$1 $((SECONDS - started))")
  started=$SECONDS
}
qt_pid=
qt_log=$root/build/qt-mingw.log
# The times, and a Qt build still running in the background stopped with the script.
trap 'echo "test.sh times (s): ${times[*]}"; [ -z "$qt_pid" ] || kill -- -"$qt_pid" 2>/dev/null || true' EXIT

# The Windows side needs Qt for mingw, built once into the cache (about 25
# minutes of both cores when it is missing). It builds in the background at
# a low priority while the Linux suites run: their tests leave the cores idle
# much of the time (slow simulated cards, pcscd's waits), and the builds
# before it keep nearly all of the processor. DRAVIK_WINDOWS=0 leaves the
# Windows side out.
start_windows_side() {
  if [ "${DRAVIK_WINDOWS:-1}" = 0 ]; then
    return
  fi
  bash "$root/scripts/setup-windows.sh"
  took setup-windows
  # A process group of its own, so that a stop takes its compilers too. Its
  # own session is also a scheduler autogroup of its own, in which nice alone
  # would give it half of the processor: the group is lowered as well.
  setsid bash -c 'echo 19 >/proc/self/autogroup 2>/dev/null || true; exec nice -n 10 bash "$0"' \
    "$root/scripts/build-qt-mingw.sh" >"$qt_log" 2>&1 &
  qt_pid=$!
}

# After the Linux suites: the Qt build awaited, then the Windows build, its
# tests under wine, the release zip and the zip's smoke test.
windows_side() {
  if [ "${DRAVIK_WINDOWS:-1}" = 0 ]; then
    return
  fi
  local pid=$qt_pid
  qt_pid=
  if ! wait "$pid"; then
    cat "$qt_log" >&2
    echo "test.sh: scripts/build-qt-mingw.sh failed (its output is above)" >&2
    exit 1
  fi
  cat "$qt_log"
  took qt-mingw-wait
  bash "$root/scripts/windows.sh" "$root/build-windows"
  took windows
}

bash "$root/scripts/setup.sh"
took set-up
bash "$root/scripts/build.sh" "$root/build"
took build
start_windows_side
(cd "$root/build" && ctest --output-on-failure --timeout 600 "$@")
took tests

if [ "${DRAVIK_SANITIZERS:-1}" = 0 ]; then
  windows_side
  exit 0
fi

# Every finding ends the test at once, with the stack of where it happened.
# fast_unwind_on_malloc=0: pcsc-lite is built without frame pointers, and only
# the slow unwinder gets through its frames to ours (lsan.supp needs them).
export ASAN_OPTIONS="halt_on_error=1:fast_unwind_on_malloc=0"
export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$supp/ubsan.supp"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp"

# Undefined behaviour is fatal in the code itself, not only by the options.
# The benchmarks are programs, not tests: the sanitizer builds leave them out.
bash "$root/scripts/build.sh" "$root/build-asan" -DDRAVIK_BENCH=OFF \
  -DDRAVIK_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=undefined
took asan-build
(cd "$root/build-asan" && ctest --output-on-failure --timeout 900 "$@")
took asan-tests

bash "$root/scripts/build.sh" "$root/build-tsan" -DDRAVIK_BENCH=OFF -DDRAVIK_SANITIZE=thread
took tsan-build
# The watchers, the main thread's queue, the in-memory library's locks, and the
# window with its watchers against both libraries.
tsan_tests='^(thread_test|reader_test|fakepcsc_test|mainform_test|fault_test'
tsan_tests+='|pcscd_window_test|pcscd_download_test|pcscd_fault_test)$'
(cd "$root/build-tsan" && ctest --output-on-failure --timeout 900 -R "$tsan_tests")
took tsan-tests

# Hostile card answers and files: the libFuzzer harnesses share one time
# budget, any finding fatal.
bash "$root/scripts/fuzz.sh" "${DRAVIK_FUZZ_SECONDS:-300}"
took fuzz

windows_side
