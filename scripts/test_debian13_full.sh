#!/usr/bin/env bash
# Builds Sandvoll on Debian 13 and runs the whole suite there
# (scripts/test.sh), in a Debian 13 root that has every package
# scripts/bootstrap.sh installs. Not part of CI, which builds on Debian 12
# and runs only the window and end-to-end tests of that build on Debian 13
# (scripts/test_debian13.sh); this shows that the code also builds, and passes
# every test, with the newest release's compilers and libraries.
#
# usage: scripts/test_debian13_full.sh [--refresh]
#   --refresh  makes the root again first, with the release's updates
#
# The root has the network only while its packages are installed; the build
# and the tests see loopback only. The checkout's files (those git tracks or
# would track, as they are now) are copied to build-debian13/sandvoll/, and
# built and tested there; its build directories are kept between runs, so a
# later run builds only what changed. Takes about an hour the first time.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

refresh=0
for arg in "$@"; do
  case $arg in
    --refresh) refresh=1 ;;
    *) echo "usage: scripts/test_debian13_full.sh [--refresh]" >&2; exit 2 ;;
  esac
done
if [ "$(id -u)" -ne 0 ]; then
  echo "test_debian13_full: making and entering the Debian 13 root needs root" >&2
  exit 1
fi

. scripts/debian13_root.sh
debian13_ready dev "$refresh"

work=$repo/build-debian13/sandvoll
mkdir -p "$work"
# Files deleted or renamed here since the last copy must not linger there
# (the build globs some folders); tar keeps the times, so what did not change
# is not built again.
find "$work" -mindepth 1 -maxdepth 1 ! -name 'build*' -exec rm -rf {} +
git ls-files -z --cached --others --exclude-standard |
  tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$work"

echo "== the whole suite on Debian 13 (in $work)"
scripts/run_in_root.sh --bind "$work" --chdir "$work" "$debian13_root" scripts/test.sh {debian13_lock}>&-
