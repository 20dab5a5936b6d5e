#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test, then
# rebuilds with AddressSanitizer and UndefinedBehaviorSanitizer (leak checks
# included) and runs every test again, and runs the thread test under
# ThreadSanitizer, the fuzzers, and last cross-builds the Windows mpg.dll for
# i686 and x86_64 and runs the Windows host test on both under Wine. Any failure
# or sanitizer finding fails it. MPG_SKIP_WINDOWS=1 leaves the Windows part out.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) -eq 0 ]]; then
  scripts/install-deps.sh
fi

jobs=$(nproc)

echo "== Release build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMPG_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== Sanitizer build and tests (ASan, UBSan, LSan)"
# -O1 keeps the sanitizer run quick while the checks see the code as written.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" \
  -DMPG_WERROR=ON -DMPG_SANITIZE=ON -DMPG_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
# Fixtures are media files, not build products: share the ones already made.
mkdir -p build-asan && cp -rn build/fixtures build-asan/ 2>/dev/null || true
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure

echo "== ThreadSanitizer: the exports on several threads at once"
# Only the thread test is built and run here: the other tests run one job at a time.
# FFmpeg's libraries are not instrumented, so TSan sees our code, and the
# synchronisation FFmpeg does through pthreads, but not FFmpeg's own memory accesses.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread -DMPG_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target mpg_thread_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/threads/tsan.supp" \
  build-tsan/tests/threads/mpg_thread_tests

echo "== Fuzzing (libFuzzer, ASan + UBSan), ${FUZZ_SECONDS:-20}s per harness"
FUZZ_SECONDS=${FUZZ_SECONDS:-20} scripts/fuzz.sh

echo "== Windows: mpg.dll for i686 and x86_64, tested under Wine"
if [[ ${MPG_SKIP_WINDOWS:-0} == 1 ]]; then
  echo "skipped (MPG_SKIP_WINDOWS=1)"
elif [[ $(id -u) -ne 0 ]] && ! command -v i686-w64-mingw32-g++-posix >/dev/null; then
  echo "skipped: the mingw-w64 toolchain is missing; run as root once to install it"
else
  start=$SECONDS
  scripts/build-windows.sh all
  scripts/setup-wine.sh
  tests/windows/run.sh --arch all
  echo "== Windows part: $((SECONDS - start)) s"
fi
