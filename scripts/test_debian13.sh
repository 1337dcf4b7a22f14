#!/usr/bin/env bash
# Runs the window and end-to-end tests of a build made on this machine inside
# a Debian 13 root (scripts/debian13_root.sh): the bundle is built on the
# oldest release it supports and must start on the newest too, whose toolkit
# and libraries are newer than the ones it was built with. scripts/test.sh
# runs this after the tests on this machine.
#
# usage: scripts/test_debian13.sh [BUILD_DIRECTORY] [CTEST_ARGUMENT...]
#   BUILD_DIRECTORY defaults to build; CTEST_ARGUMENTs are added to ctest's,
#   such as -R SystemWebEngine to run one test.
#
# The first run makes the root (about ten minutes; it is kept for the next
# runs). The tests' screenshots, backtraces and logs go to
# BUILD_DIRECTORY/debian13/, so that this machine's own stay where they are.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

build=build
if [ $# -gt 0 ] && [[ $1 != -* ]]; then
  build=$1
  shift
fi
if [ ! -f "$build/CTestTestfile.cmake" ]; then
  echo "test_debian13: $build is not a build directory (scripts/test.sh makes build/)" >&2
  exit 2
fi
build=$(realpath "$build")

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ "$codename" = trixie ]; then
  echo "test_debian13: this machine runs Debian 13 itself, and the tests above ran on it"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then
    # The tests run as root inside the root; what they write into the
    # build directory is given back to its owner afterwards.
    status=0
    sudo "$0" "$build" "$@" || status=$?
    sudo chown -R --from=0:0 "$(id -u):$(id -g)" "$build"
    exit "$status"
  fi
  echo "test_debian13: entering the Debian 13 root needs root" >&2
  exit 1
fi

. scripts/debian13_root.sh
debian13_ready runtime

binds=(--bind "$repo")
if [[ $build/ != "$repo"/* ]]; then
  binds+=(--bind "$build")
fi
for kept in gui-artifacts e2e-artifacts Testing; do
  mkdir -p "$build/debian13/$kept" "$build/$kept"
  binds+=(--bind "$build/debian13/$kept:$build/$kept")
done

# The lock on the root stays with this script: nothing the tests leave
# running could keep the root from being made again.
scripts/run_in_root.sh "${binds[@]}" --chdir "$repo" "$debian13_root" \
  scripts/virtual_session.sh ctest --test-dir "$build" -L 'gui|e2e' --output-on-failure "$@" {debian13_lock}>&-
