#!/usr/bin/env bash
# Runs the toolkit-free tests (unit_tests and integration_tests) under
# valgrind's memcheck: any invalid access, use of an uninitialised value or
# definitely lost block fails the run. Only one-time allocations of GLib,
# curl and OpenSSL may be suppressed (tests/valgrind.supp, and GLib's own
# list where it is installed); the project's own code never is.
#
#   scripts/valgrind.sh [BUILD_DIRECTORY]     (default: build)
#
# Logs go to BUILD_DIRECTORY/valgrind/, one per process. Takes about a
# minute on a 2-core machine, besides the build.
#
# Left out, and why:
# - crash_recovery_tests: minutes long natively, and what they check runs in
#   a driver process that valgrind does not follow (and that they kill).
# - Four tests of programs that cannot start. glibc starts children with
#   posix_spawn, which reports a failed exec by its return value; under
#   valgrind it becomes a fork and an exec in the child, so such a program
#   looks as if it started and exited with 127, and the tests rightly fail.
#   (The server is started with fork and exec of our own, which reports a
#   failed exec through a pipe, so its launch-failure tests do run here.)
# - The test that compares the child's whole environment with ours:
#   valgrind puts its preload libraries into LD_PRELOAD for us but not for
#   the children it does not follow.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}

cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target unit_tests integration_tests

excluded=(
  Run.ProgramsThatCannotStartGiveMinusOneAndWhy
  SwapScriptShell.AShellThatCannotStartIsADownloadFailure
  InstallUpdate.ASwapScriptThatCannotStartLeavesTheAppRunning
  Run.ChildGetsTheSearchPathAndOtherwiseOurEnvironment
)
integrationFilter="-$(IFS=:; echo "${excluded[*]}")"

suppressions=(--suppressions="$root/tests/valgrind.supp")
if [ -f /usr/share/glib-2.0/valgrind/glib.supp ]; then
  suppressions+=(--suppressions=/usr/share/glib-2.0/valgrind/glib.supp)
fi

logs="$build/valgrind"
rm -rf "$logs"
mkdir -p "$logs"

# GLib hands memory back to malloc and clears pointers it frees, so that
# memcheck sees what it really owns. Children are started with posix_spawn
# (a fork under valgrind) and exec at once: their copies of our heap say
# nothing new.
export G_SLICE=always-malloc G_DEBUG=gc-friendly
memcheck=(valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite
  --error-exitcode=1 --child-silent-after-fork=yes --num-callers=40 "${suppressions[@]}")

# Valgrind knows only the instructions the processor says it has. A system
# library that runs another one anyway (Debian 13's libhwy, loaded with the
# web engine, reads the clock with RDTSCP, which some virtual machines run but
# do not announce) stops every program before its first line: then memcheck
# cannot judge anything on this machine, and it says so instead of failing.
probe=$logs/probe.log
# (In a subshell of its own, which reports the signal to /dev/null.)
if ! ("${memcheck[@]}" --log-file="$probe" "$build/tests/unit_tests" --gtest_list_tests; exit $?) >/dev/null 2>&1 &&
  grep -q "Unrecognised instruction" "$probe"; then
  where=$(grep -m1 -A1 "Unrecognised instruction" "$probe" | tail -1 | sed 's/^==[0-9]*== *//')
  case $where in
    *"(in $root/"*) ;;  # one of ours: the runs below show it
    *)
      echo "== memcheck cannot run on this machine: $(valgrind --version) does not know an instruction"
      echo "   that a system library runs here, before any test ($where);"
      echo "   the memcheck run is left out (see $probe)"
      exit 0
      ;;
  esac
fi

status=0
started=$SECONDS
run() {
  local name=$1
  shift
  local began=$SECONDS
  echo "== $name under memcheck"
  if "${memcheck[@]}" --log-file="$logs/$name.%p.log" "$build/tests/$name" "$@" >"$logs/$name.out" 2>&1; then
    echo "   clean ($((SECONDS - began)) s)"
  else
    status=1
    echo "   FAILED ($((SECONDS - began)) s): see $logs/$name.out and $logs/$name.*.log"
    grep -h "FAILED  \]" "$logs/$name.out" || true
  fi
  grep -hE "ERROR SUMMARY|definitely lost:" "$logs/$name".*.log | sed 's/^==[0-9]*== */   /' | sort | uniq -c
}

run unit_tests
run integration_tests --gtest_filter="$integrationFilter"

echo "== memcheck took $((SECONDS - started)) s"
exit $status
