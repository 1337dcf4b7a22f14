#!/usr/bin/env bash
# Builds Sandvoll and runs every test: unit and integration tests, the window
# tests and the end-to-end tests under a virtual display, and the toolkit-free
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer and under
# valgrind's memcheck, and a short run of every fuzz target; then the window
# and end-to-end tests of the same build again on Debian 13, whose libraries
# are newer than the ones it was built with (scripts/test_debian13.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/bootstrap.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"

echo "== unit and integration tests"
ctest --test-dir build -L 'unit|integration' -j "$jobs" --output-on-failure

echo "== window and end-to-end tests (virtual display and session bus)"
scripts/virtual_session.sh ctest --test-dir build -L 'gui|e2e' --output-on-failure

echo "== unit and integration tests under ASan + UBSan"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSANDVOLL_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs" --target unit_tests integration_tests
# The crash recovery tests are left out here: they take minutes, and most of
# their driver's runs are killed before a sanitizer could report anything.
# GLib's type system keeps its allocations for the life of the process.
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -L 'unit|integration' -LE crash -j "$jobs" --output-on-failure

echo "== unit and integration tests under valgrind's memcheck"
scripts/valgrind.sh build

echo "== fuzz targets, a short run each (scripts/fuzz.sh SECONDS for longer)"
scripts/fuzz.sh 15

echo "== window and end-to-end tests of this build on Debian 13"
scripts/test_debian13.sh build
