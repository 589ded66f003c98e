#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for at most the
# given number of seconds (default 15) over its saved corpus, so every input
# that once crashed a target is replayed. New inputs go to a scratch folder,
# never into the repository.
set -euo pipefail
seconds=${1:-15}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"

if ! command -v clang++ >/dev/null; then
  echo "clang++ not found: fuzz targets skipped"
  exit 0
fi
CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARN_FUZZ=ON -DQUARN_TESTS=OFF -DQUARN_BENCH=OFF >/dev/null
ninja -C "$build" fuzz_targets

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  mkdir -p "$scratch/$name" "$root/fuzz/corpus/$name"
  echo "== $name (${seconds}s)"
  if ! (cd "$scratch" && "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
         -print_final_stats=0 "$scratch/$name" "$root/fuzz/corpus/$name" 2>"$scratch/$name.log"); then
    tail -n 40 "$scratch/$name.log"
    echo "FAILED: $name (crash input saved under $scratch; copy it into fuzz/corpus/$name)"
    status=1
  else
    grep -E "^(Done|#[0-9]+ *DONE)" "$scratch/$name.log" | tail -n 1 || true
  fi
done
exit $status
