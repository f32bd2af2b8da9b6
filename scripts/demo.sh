#!/usr/bin/env bash
# The demo: a simulated receiver on a pseudo-terminal mapped as COM4:, frxd with the driver, and
# the corrected NMEA a program reads from the virtual port, for DEMO_SECONDS (default 20) or until
# Ctrl-C. With a real receiver: DEMO_DEVICE=/dev/ttyACM0 make demo.
set -euo pipefail
build=${1:-build}
seconds=${DEMO_SECONDS:-20}
root=$(mktemp -d /tmp/ferrox-demo-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 0' INT TERM
echo "== Data root $root"
scripts/setup-root.sh "$root" "$build"
device=${DEMO_DEVICE:-}
if [ -z "$device" ]; then
  device="$root/receiver"
  "$build/bin/ferrox-sim" receiver --link "$device" --route circle --radius 150 --speed 40 --latency 800 &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$device" ] && break; sleep 0.1; done
fi
"$build/bin/ferrox-reg" --root "$root" set 'HKLM\Software\Quorvale\SerialPorts\COM4:' Device "sz:$device"
"$build/bin/frxd" --root "$root" --foreground &
pids+=($!)
for _ in $(seq 50); do [ -e "$root/dev/ttyFRX0" ] && break; sleep 0.1; done
echo "== Corrected NMEA from the virtual port $root/dev/ttyFRX0 ($seconds s)"
timeout "$seconds" cat "$root/dev/ttyFRX0" || true
echo "== Stopped"
