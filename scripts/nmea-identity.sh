#!/usr/bin/env bash
# Shows that a change leaves the NMEA the driver writes byte for byte as it was: builds REV (default
# HEAD~1) beside the working tree, runs `ferrox-decode --nmea` (both readings, with and without
# the correction stage) over every capture in tests/data, and compares. Records without a time of
# their own carry the clock's (different from run to run): times of day and checksums are masked.
# Exit 1 on any difference.
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:-HEAD~1}
here=$(pwd)
work=$(mktemp -d /tmp/ferrox-identity-XXXXXX)
trap 'git worktree remove --force "$work/tree" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
git worktree add --detach "$work/tree" "$rev" >/dev/null 2>&1
build() {  # source folder, build folder
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$2" --target ferrox-decode >/dev/null
}
echo "building $rev and the working tree"
build "$work/tree" "$work/before"
build "$here" "$work/after"
differ=0 files=0
for capture in tests/data/nmea/*.log tests/data/nmea-more/*.log; do
  [ -f "$capture" ] || continue
  for mode in "--nmea" "--nmea --strict" "--correct --nmea"; do
    # shellcheck disable=SC2086
    "$work/before/bin/ferrox-decode" $mode "$capture" >"$work/a" 2>&1 || true
    # shellcheck disable=SC2086
    "$work/after/bin/ferrox-decode" $mode "$capture" >"$work/b" 2>&1 || true
    files=$((files + 1))
    for f in a b; do
      sed -E 's/,[0-9]{6}\.[0-9]{3},/,TIME,/g; s/\*[0-9A-F]{2}\r?$/*CS/' "$work/$f" >"$work/$f.masked"
    done
    if ! cmp -s "$work/a.masked" "$work/b.masked"; then
      echo "DIFFERS: $capture ($mode)"
      differ=$((differ + 1))
    fi
  done
done
echo "$files decodings compared, $differ differ"
[ "$differ" -eq 0 ]
