#!/usr/bin/env bash
# Runs the fuzzers for a while under ASan and UBSan (default 60 s in all): the NMEA parser and
# writer, and the whole read path (bytes in, checked batches out), seeded with the receiver
# captures cut into bursts of a few lines; the lookup answers; the cell files. A failing input is kept in the working folder (ignored by git).
set -euo pipefail
seconds=${1:-60}
build=${2:-build-fuzz}
here=$(cd "$(dirname "$0")/.." && pwd)
data=${FERROX_TEST_DATA:-$here/tests/data}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFERROX_SANITIZE=ON -DFERROX_FUZZ=ON >/dev/null
cmake --build "$build" --target nmea_fuzz read_path_fuzz lookup_fuzz cell_file_fuzz wire_fuzz reg_text_fuzz
work=$(mktemp -d /tmp/ferrox-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/nmea-seed" "$work/read_path-seed" "$work/lookup-seed" "$work/cell_file-seed" "$work/wire-seed" "$work/reg_text-seed"
for log in "$data"/nmea/*.log; do
  grep -a '^\$' "$log" | split -l 12 - "$work/nmea-seed/$(basename "$log" .log)-"
done
# Inputs that once failed stay in the seeds.
cp "$here"/fuzz/regressions/nmea/* "$work/nmea-seed/"
cp "$work"/nmea-seed/* "$work/read_path-seed/"
cp "$here"/fuzz/regressions/reg_text/* "$work/reg_text-seed/"
printf '{"location":{"latitude":48.1,"longitude":11.5},"access_token":"2:x"}' >"$work/lookup-seed/json"
printf '\0\0\0\0\0\0\0\2\260\240\217\377\214J\f' >"$work/lookup-seed/binary"
head -c 400 /dev/urandom >"$work/cell_file-seed/random"
cp "$here/data/default-registry.reg" "$work/reg_text-seed/"
# An open of FUZ1:, a read of 20 bytes, a write of 3 and a control with 8 bytes out.
python3 - "$work/wire-seed" <<'PY'
import struct, sys
name = "FUZ1:".encode("utf-16-le") + b"\0\0"
m = struct.pack("<III", 1, 1, 8 + len(name)) + struct.pack("<II", 0xC0000000, 0) + name
m += struct.pack("<III", 2, 2, 4) + struct.pack("<I", 20)
m += struct.pack("<III", 3, 3, 3) + b"abc"
m += struct.pack("<III", 4, 4, 8) + struct.pack("<II", 0x1234, 8)
open(sys.argv[1] + "/calls", "wb").write(m)
PY
status=0
run() {
  local name=$1 share=$2
  [ "$share" -ge 1 ] || share=1  # libFuzzer takes a time of 0 as no limit at all
  mkdir -p "$work/$name-corpus"
  echo "Fuzzing $name for $share s on $(ls "$work/$name-seed" | wc -l) seeds"
  "$build/bin/${name}_fuzz" -max_total_time="$share" -max_len=4096 -print_final_stats=1 \
    "$work/$name-corpus" "$work/$name-seed" >"$work/$name.log" 2>&1 || status=$?
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)|ERROR|runtime error|SUMMARY' \
    "$work/$name.log" || true
  if [ "$status" -ne 0 ]; then
    tail -60 "$work/$name.log"
    echo "$name fuzzer failed (exit $status)"
    exit "$status"
  fi
}
run nmea $((seconds * 2 / 8))
run read_path $((seconds * 2 / 8))
run lookup $((seconds / 8))
run cell_file $((seconds / 8))
run wire $((seconds / 8))
run reg_text $((seconds / 8))
