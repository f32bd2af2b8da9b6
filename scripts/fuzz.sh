#!/usr/bin/env bash
# Runs the NMEA fuzzer for a while (default 60 s) under ASan and UBSan, seeded with the receiver
# captures cut into bursts of a few lines.
set -euo pipefail
seconds=${1:-60}
build=${2:-build-fuzz}
data=${FERROX_TEST_DATA:-$(cd "$(dirname "$0")/.." && pwd)/tests/data}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFERROX_SANITIZE=ON -DFERROX_FUZZ=ON >/dev/null
cmake --build "$build" --target nmea_fuzz
corpus=$(mktemp -d /tmp/ferrox-fuzz-XXXXXX)
trap 'rm -rf "$corpus"' EXIT
mkdir "$corpus/seed" "$corpus/work"
for log in "$data"/nmea/*.log; do
  grep -a '^\$' "$log" | split -l 12 - "$corpus/seed/$(basename "$log" .log)-"
done
# Inputs that once failed stay in the seeds.
cp "$(dirname "$0")"/../fuzz/regressions/nmea/* "$corpus/seed/"
echo "Fuzzing the NMEA parser and writer for $seconds s on $(ls "$corpus/seed" | wc -l) seeds"
status=0
"$build/bin/nmea_fuzz" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  "$corpus/work" "$corpus/seed" >"$corpus/log" 2>&1 || status=$?
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)|ERROR|runtime error|SUMMARY' "$corpus/log" || true
if [ "$status" -ne 0 ]; then
  tail -60 "$corpus/log"
  echo "fuzzer failed (exit $status)"
fi
exit "$status"
