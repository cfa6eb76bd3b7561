#!/bin/sh
# Builds the libFuzzer harnesses with clang and runs each for a bounded time,
# then merges what found new coverage into fuzz/corpus/<harness>/.
#   fuzz/run.sh [SECONDS_PER_HARNESS] [HARNESS...]
# Needs clang++ (14 or later). Findings (crash-*, leak-*, timeout-*) are left in build-fuzz/findings/.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:-60}
[ $# -gt 0 ] && shift
harnesses=${*:-"arguments build_info flash_records peer_answers"}
build=${ORVEX_FUZZ_BUILD:-$root/build-fuzz}

CXX=${CXX:-clang++} cmake -S "$root" -B "$build" -G Ninja -DORVEX_FUZZ=ON -DORVEX_BUILD_TESTS=OFF >/dev/null
targets=""
for h in $harnesses; do targets="$targets fuzz_$h"; done
cmake --build "$build" -j2 --target $targets

mkdir -p "$build/findings"
for h in $harnesses; do
  work="$build/new_corpus/$h"
  mkdir -p "$work" "$root/fuzz/corpus/$h"
  echo "== $h: $seconds s"
  (cd "$build/findings" && "$build/fuzz/fuzz_$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$work" "$root/fuzz/corpus/$h") 2>&1 | grep -E '^(stat::|#[0-9]+ +DONE|==[0-9]+==ERROR|SUMMARY)' || true
  # Keep only the inputs that add coverage to the kept corpus.
  "$build/fuzz/fuzz_$h" -merge=1 "$root/fuzz/corpus/$h" "$work" >/dev/null 2>&1
  echo "corpus $h: $(ls "$root/fuzz/corpus/$h" | wc -l) inputs"
done
