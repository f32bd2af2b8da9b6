#!/bin/sh
# The lab: every drive's picture at each latency with a well-formed index, a recorded capture
# against its truth (the new settings must beat the receiver, the defaults must too), and inputs
# it cannot use refused with a message and exit status 1.
# Usage: lab_test.sh ACCURACY DATA_DIR
set -eu
accuracy=$1 data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$accuracy" --svg "$work/lab" --runs 2 > "$work/table.txt" 2> /dev/null
test "$(ls "$work"/lab/*.svg | wc -l)" -eq 15 || fail "15 pictures expected"
xmllint --noout "$work"/lab/*.svg
grep -q '| 1000 ms | stop and go | white | 500 ms |' "$work/lab/index.md" || fail "index lacks the table"
grep -q 'goal met in [0-9]* of 90 cases' "$work/table.txt" || fail "the table has not 90 cases"

capture=$data/circle-40kmh-1000ms.nmea truth=$data/circle-40kmh-1000ms.truth
"$accuracy" --capture "$capture" --truth "$truth" --svg "$work/capture.svg" > "$work/capture.txt"
xmllint --noout "$work/capture.svg"
mean() { awk -v name="$1" '$1 == name { print $3 }' "$work/capture.txt"; }
raw=$(mean receiver) defaults=$(mean defaults) new=$(mean HonestStill+AutoLag)
test -n "$raw" && test -n "$new" || fail "no numbers: $(cat "$work/capture.txt")"
awk -v r="$raw" -v d="$defaults" -v n="$new" 'BEGIN { exit !(n < d && d < r && n < 0.4 * r) }' ||
  fail "receiver $raw m, defaults $defaults m, new $new m"

refused() {
  if "$accuracy" "$@" > /dev/null 2> "$work/err"; then fail "accepted: $*"; fi
  test -s "$work/err" || fail "no message for: $*"
}
printf 'not a time 1 2\n' > "$work/bad.truth"
refused --capture "$capture" --truth "$work/bad.truth"
refused --capture "$work/missing.nmea"
printf '$GPGSA,A,1,,,,,,,,,,,,,,,*1E\n' > "$work/nofix.nmea"
refused --capture "$work/nofix.nmea"
refused --capture "$capture" --latency -5
refused --truth "$truth"
refused --runs 0
echo "lab: 15 pictures; capture receiver $raw m, defaults $defaults m, new $new m"
