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
trap 'echo "test.sh times (s): ${times[*]}"' EXIT

# The Windows side, after the Linux suite: Qt for mingw built once into the
# cache (about 30 minutes on 2 cores when it is missing), then the Windows
# build, its tests under wine, the release zip and the zip's smoke test.
# DRAVIK_WINDOWS=0 leaves it out.
windows_side() {
  if [ "${DRAVIK_WINDOWS:-1}" = 0 ]; then
    return
  fi
  bash "$root/scripts/setup-windows.sh"
  bash "$root/scripts/build-qt-mingw.sh"
  took qt-mingw
  bash "$root/scripts/windows.sh" "$root/build-windows"
  took windows
}

bash "$root/scripts/setup.sh"
took set-up
bash "$root/scripts/build.sh" "$root/build"
took build
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
