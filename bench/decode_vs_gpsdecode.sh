#!/usr/bin/env bash
# Decode throughput of ferrox-decode --json against gpsd's gpsdecode on the same bytes (the
# receiver captures repeated to about 50 MB), measured in one run and printed as a ratio; the
# writer's batches per second; and the heap allocations of ferrox-decode on a small and a large
# input (equal counts mean nothing is allocated per sentence).
set -euo pipefail
build=${1:-build}
data=${FERROX_TEST_DATA:-$(cd "$(dirname "$0")/.." && pwd)/tests/data}
work=$(mktemp -d /tmp/ferrox-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
cat "$data"/nmea/*.log "$data"/nmea-more/*.log | grep -a '^\$' > "$work/one"
target=$((50 * 1024 * 1024))
: > "$work/input"
while [ "$(stat -c %s "$work/input")" -lt "$target" ]; do cat "$work/one" >> "$work/input"; done
size=$(stat -c %s "$work/input")
echo "Input: $((size / 1024 / 1024)) MB, $(wc -l < "$work/input") sentences"

seconds() { local s e; s=$(date +%s.%N); "$@" > /dev/null; e=$(date +%s.%N); echo "$e - $s" | bc -l; }
best() {  # best of three, in seconds
  local b=999999 t
  for _ in 1 2 3; do t=$(seconds "$@"); b=$(echo "if ($t < $b) $t else $b" | bc -l); done
  echo "$b"
}
ours=$(best "$build/bin/ferrox-decode" --json "$work/input")
strict=$(best "$build/bin/ferrox-decode" --strict --json "$work/input")
peer=$(best sh -c "gpsdecode < '$work/input'")
printf 'ferrox-decode --json:          %.2f s (%.1f MB/s)\n' "$ours" "$(echo "$size / 1048576 / $ours" | bc -l)"
printf 'ferrox-decode --strict --json: %.2f s (%.1f MB/s)\n' "$strict" "$(echo "$size / 1048576 / $strict" | bc -l)"
printf 'gpsdecode:                     %.2f s (%.1f MB/s)\n' "$peer" "$(echo "$size / 1048576 / $peer" | bc -l)"
printf 'ratio (gpsdecode time / ferrox-decode time): %.1f default, %.1f strict\n' \
  "$(echo "$peer / $ours" | bc -l)" "$(echo "$peer / $strict" | bc -l)"

"$build/bin/writer_bench" --benchmark_min_time=1

if command -v valgrind > /dev/null; then
  head -c 1000000 "$work/input" > "$work/small"
  allocs() { valgrind "$build/bin/ferrox-decode" --json "$1" 2>&1 >/dev/null | grep -o 'total heap usage: [0-9,]* allocs' ; }
  echo "heap, 1 MB input:  $(allocs "$work/small")"
  echo "heap, 50 MB input: $(allocs "$work/input")"
fi
