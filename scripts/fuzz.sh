#!/usr/bin/env bash
# Runs every fuzz target (fuzz/<name>.cpp) for SECONDS each, over its corpus in
# tests/fixtures/fuzz/<name>/, with AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/fuzz.sh SECONDS
#
# The corpus in the repository is the one the fuzzer writes to. Afterwards,
# of the inputs it added only those that reach code the corpus did not reach
# before are kept, so the corpus stays small and a run only adds to it. Named
# files there are hand-written seeds; files named by their SHA-1 were found by
# the fuzzer.
#
# Exits non-zero when any target crashes, leaks, hangs or fails one of its
# checks; the input that did it is left in build-fuzz/artifacts/<name>/ and the
# whole output in build-fuzz/logs/<name>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${1:-}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh SECONDS (the time each target runs)" >&2
  exit 2
fi

scripts/bootstrap.sh

build=$root/build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSANDVOLL_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzzers

# The longest input each target is given. Feeds, state answers and Info.plist
# files of real use are a few hundred bytes; Base64 texts here are keys and
# signatures, under a hundred.
max_len() {
  case $1 in
    base64) echo 256 ;;
    info_plist) echo 2048 ;;
    *) echo 1024 ;;
  esac
}

# The llvm package links the default version's symbolizer here, whichever
# version the release has.
if symbolizer=$(command -v llvm-symbolizer); then
  export ASAN_SYMBOLIZER_PATH=$symbolizer
fi
export ASAN_OPTIONS=detect_leaks=1
# GLib's type system keeps its allocations for the life of the process.
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=()
mkdir -p "$build/logs"
for source in fuzz/*.cpp; do
  name=$(basename "$source" .cpp)
  program=$build/fuzz/fuzz_$name
  corpus=$root/tests/fixtures/fuzz/$name
  artifacts=$build/artifacts/$name
  log=$build/logs/$name.log
  len=$(max_len "$name")
  options=(-max_len="$len" -timeout=10 -rss_limit_mb=2048)
  if [ -f "fuzz/$name.dict" ]; then
    options+=(-dict="fuzz/$name.dict")
  fi
  mkdir -p "$corpus" "$artifacts"

  before=$(mktemp)
  find "$corpus" -maxdepth 1 -type f -printf '%f\n' | sort >"$before"
  status=0
  "$program" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)

  # Of this run's finds keep only those that reach code the corpus did not
  # reach before, smallest first; what was there stays, so a run only adds.
  # Hit counts are left out here (they guide the run itself) or the corpus
  # would keep hundreds of near-copies.
  kept=$(mktemp -d)
  while read -r file; do cp "$corpus/$file" "$kept/"; done <"$before"
  if "$program" "${options[@]}" -use_counters=0 -merge=1 "$kept" "$corpus" >>"$log" 2>&1; then
    for file in "$corpus"/*; do
      base=$(basename "$file")
      if [ ! -e "$kept/$base" ] && ! grep -qxF -- "$base" "$before"; then
        rm -f "$file"
      fi
    done
  else
    echo "fuzz $name: the new inputs could not be sorted out; the corpus is left as the run grew it" >&2
    [ "$status" -ne 0 ] || status=1
  fi
  rm -rf "$kept"
  count_before=$(wc -l <"$before")
  rm -f "$before"
  count_after=$(find "$corpus" -maxdepth 1 -type f | wc -l)

  if [ "$status" -eq 0 ]; then
    echo "fuzz $name: ${runs:-?} runs in ${seconds}s, no crash; corpus $count_before -> $count_after files"
  else
    echo "fuzz $name: FAILED (exit $status) after ${runs:-?} runs; input in $artifacts/, output in $log" >&2
    grep -E -A 30 '^==[0-9]+==ERROR|runtime error|fuzz check failed|ERROR: libFuzzer' "$log" | head -n 60 >&2 || true
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failing targets: ${failed[*]}" >&2
  exit 1
fi
