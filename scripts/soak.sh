#!/usr/bin/env bash
# Runs the window and end-to-end tests N times in a row, to catch the tests
# that fail only now and then. Prints a line per run, then "P passed, F
# failed" and the name of every test that failed, with the runs it failed in.
# Each failed run's output and screenshots are kept under build/soak/.
#
# usage: scripts/soak.sh N [--busy]
#   --busy  keeps every core busy with a spinning process while the tests
#           run, as a loaded machine would (a CI runner, a build beside them)
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/soak.sh N [--busy]   (N: how many runs, at least 1)" >&2
  exit 2
}
runs=${1:-}
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || usage
busy=0
case "${2:-}" in
  "") ;;
  --busy) busy=1 ;;
  *) usage ;;
esac

scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

out=build/soak
rm -rf "$out"
mkdir -p "$out"
spinners=()
stop_spinners() { for pid in "${spinners[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap stop_spinners EXIT
if [ "$busy" -eq 1 ]; then
  for _ in $(seq 1 "$(nproc)"); do
    yes >/dev/null &
    spinners+=($!)
  done
  echo "soak: ${#spinners[@]} spinning processes keep every core busy"
fi

failed_list=build/Testing/Temporary/LastTestsFailed.log
passed=0
failed=0
declare -A failures=()
for run in $(seq 1 "$runs"); do
  log="$out/run-$run.log"
  rm -f "$failed_list"
  started=$SECONDS
  if scripts/virtual_session.sh ctest --test-dir build -L 'gui|e2e' --output-on-failure >"$log" 2>&1; then
    passed=$((passed + 1))
    echo "soak: run $run of $runs passed ($((SECONDS - started)) s)"
  else
    failed=$((failed + 1))
    names=()
    if [ -f "$failed_list" ]; then
      # Lines read "<number>:<test name>".
      while IFS=: read -r _ name; do names+=("$name"); done <"$failed_list"
    else
      names=("(ctest itself; see the log)")
    fi
    for name in "${names[@]}"; do failures[$name]="${failures[$name]:-} $run"; done
    for artifacts in build/e2e-artifacts build/gui-artifacts; do
      [ -d "$artifacts" ] && cp -r "$artifacts" "$out/run-$run-$(basename "$artifacts")"
    done
    echo "soak: run $run of $runs FAILED ($((SECONDS - started)) s): ${names[*]}; output in $log"
  fi
done

echo "$passed passed, $failed failed"
for name in "${!failures[@]}"; do
  echo "  failed: $name (runs:${failures[$name]})"
done | sort
[ "$failed" -eq 0 ]
