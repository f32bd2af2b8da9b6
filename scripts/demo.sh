#!/usr/bin/env bash
# The demo: a fresh data root with the default registry, and the settings the driver loads.
set -euo pipefail
build=${1:-build}
root=$(mktemp -d /tmp/ferrox-demo-XXXXXX)
trap 'rm -rf "$root"' EXIT
echo "== Fresh data root: $root"
scripts/setup-root.sh "$root" "$build"
echo "== Driver registration"
"$build/tools/ferrox-reg" --root "$root" export 'HKLM\Drivers'
echo "== Settings the driver loads at start"
"$build/tools/ferrox-settings-dump" --root "$root"
