#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when they are missing.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config libsqlite3-dev sqlite3 libgtest-dev libgmock-dev
          libbenchmark-dev clang python3 gpsd gpsd-clients valgrind bc proj-bin proj-data libxml2-utils gpsbabel
          libsystemd-dev dbus-daemon qt6-base-dev fonts-dejavu-core libcurl4-openssl-dev zlib1g-dev locales libgps-dev openssl ca-certificates
          netcat-openbsd geoclue-2.0 geoclue-2-demo chrony
          lintian help2man)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
# Installing gpsd may start the system's gpsd; the tests start their own, so none is left running.
if printf '%s\n' "${missing[@]}" | grep -qx gpsd; then
  $sudo systemctl disable --now gpsd.socket gpsd.service >/dev/null 2>&1 || true
  $sudo service gpsd stop >/dev/null 2>&1 || true
fi
# The same for chrony: the tests run their own chronyd on private sockets, leaving the clock alone.
if printf '%s\n' "${missing[@]}" | grep -qx chrony; then
  $sudo systemctl disable --now chrony.service >/dev/null 2>&1 || true
  $sudo service chrony stop >/dev/null 2>&1 || true
fi
