#!/usr/bin/env bash
# The Debian package as a user meets it: lintian finds no error; it installs (with what it
# depends on); the installed frxd prints its version and, from the installed paths alone, reads a
# simulated receiver and gives quality-1 fixes on its virtual port; it removes without leftovers.
# Needs root (dpkg); a package of this name already installed is removed first.
set -euo pipefail
dir=${1:?usage: package-check.sh PACKAGE_DIR}
fail() { echo "FAIL: $*"; exit 1; }
deb=$(ls "$dir"/ferrox_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || fail "no ferrox_*.deb in $dir (run make deb)"
[ "$(id -u)" -eq 0 ] || fail "installing the package needs root"
command -v lintian >/dev/null || fail "lintian is not installed"

echo "== lintian $deb"
lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1 | grep -v "running with root privileges" || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors"

dpkg -s ferrox >/dev/null 2>&1 && dpkg --purge ferrox >/dev/null
echo "== install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$(realpath "$deb")" >/dev/null
mapfile -t files < <(dpkg -L ferrox | while read -r f; do [ -f "$f" ] && echo "$f"; done)
[ "${#files[@]}" -gt 20 ] || fail "dpkg lists ${#files[@]} files of the installed package"

work=$(mktemp -d /tmp/ferrox-package-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
# Nothing of the build tree: a clean environment, the installed programs on the PATH.
run() { env -i PATH=/usr/bin:/bin HOME="$work/home" "$@"; }
mkdir -p "$work/home"
version=$(run frxd --version)
echo "installed: $version"
[[ $version == "frxd "* ]] || fail "frxd --version said: $version"
run man -w frxd >/dev/null || fail "no man page for frxd"
run ferrox-settings --help >/dev/null 2>&1 || fail "ferrox-settings --help failed"

echo "== the demo from the installed paths"
root="$work/home/.local/share/ferrox"
env -i PATH=/usr/bin:/bin HOME="$work/home" ferrox-sim receiver --link "$work/receiver" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/receiver" ] && break; sleep 0.1; done
# As the README has a user do it: the receiver's device set on the default root, then frxd, whose
# first start fills in the rest from /usr/share/ferrox (the TCP server off: the port may be taken).
run ferrox-reg set 'HKLM\Software\Quorvale\SerialPorts\COM4:' Device "sz:$work/receiver"
run ferrox-reg set 'HKLM\Software\Quorvale\Frxd' TcpPort dword:0
env -i PATH=/usr/bin:/bin HOME="$work/home" frxd --foreground 2>"$work/frxd.err" &  # env becomes frxd
pids+=($!)
for _ in $(seq 100); do [ -e "$root/dev/ttyFRX0" ] && break; sleep 0.1; done
[ -e "$root/dev/ttyFRX0" ] || fail "the installed frxd made no virtual port: $(cat "$work/frxd.err")"
timeout 6 cat "$root/dev/ttyFRX0" > "$work/nmea.txt" || true
fixes=$(grep -c '^\$GPGGA,[0-9.]*,[0-9.]*,[NS],[0-9.]*,[EW],1,' "$work/nmea.txt" || true)
[ "$fixes" -ge 2 ] || fail "the installed frxd gave $fixes quality-1 fixes in 6 s: $(head -5 "$work/nmea.txt"); $(cat "$work/frxd.err")"
grep -q "/usr/lib/.*ferrox/libFerroxDriver.so" "/proc/${pids[-1]}/maps" || fail "frxd did not load the installed driver"
echo "installed frxd: $fixes quality-1 fixes in 6 s, driver from $(grep -o '/usr/lib/[^ ]*libFerroxDriver.so' "/proc/${pids[-1]}/maps" | head -1)"
cleanup
pids=()
trap - EXIT

echo "== remove"
dpkg --purge ferrox >/dev/null
left=()
for f in "${files[@]}"; do [ -e "$f" ] && left+=("$f"); done
for d in /usr/lib/*/ferrox /usr/share/ferrox /usr/share/doc/ferrox /usr/include/ferrox; do [ -e "$d" ] && left+=("$d"); done
[ "${#left[@]}" -eq 0 ] || fail "left after removal: ${left[*]}"
echo "PASS: lintian without errors; installed ${#files[@]} files; the installed $version ran the demo from /usr; removed without leftovers"
