#!/usr/bin/env bash
# Makes a data root as installing the system does: the default registry, the geoid table in
# \Windows, and the storage card folder named by the SDMemory profile.
set -euo pipefail
root=${1:?usage: setup-root.sh ROOT [BUILD]}
build=${2:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/Windows" "$root/Storage Card"
"$build/bin/ferrox-reg" --root "$root" import "$here/data/default-registry.reg"
cp "$here/data/AltitudeTable_1.RAW" "$root/Windows/AltitudeTable_1.RAW"
