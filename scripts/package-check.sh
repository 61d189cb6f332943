#!/bin/bash
# Installs a crateFerry Debian package into a fresh root with dpkg --root and
# runs its upload there once, sending one file to a file:// URL with the real
# curl, and its remove once. Everything happens in a private mount namespace on
# tmpfs: the machine's /opt, /var and /dev/log are never touched.
#   scripts/package-check.sh [PACKAGE.deb]   (default: builds one with package.sh)
# Needs root and unshare(1).
set -euo pipefail

root_dir=$(cd "$(dirname "$0")/.." && pwd)
python=/usr/bin/python3

if [ "${1:-}" != --in-namespace ]; then
    deb=${1:-$(sh "$root_dir/scripts/package.sh" | tail -n 1)}
    deb=$(readlink -f "$deb")
    work=$(mktemp -d /tmp/crateferry-package-check.XXXXXX)
    status=0
    unshare -m --propagation private "$0" --in-namespace "$deb" "$work" || status=$?
    rmdir "$work"
    exit "$status"
fi
deb=$2
work=$3

mount -t tmpfs tmpfs "$work"
# dpkg --root still logs to the machine's /var/log/dpkg.log, and a maintainer
# script that missed the fresh root would write to the machine's /opt: both go
# to throwaway folders.
mount -t tmpfs tmpfs /opt
mount -t tmpfs tmpfs /var
mkdir -p /var/log
fresh="$work/root"

# The fresh root: the machine's programs and libraries, read-only, and nothing
# else of it. /opt, /var, /dev and /tmp are empty folders of its own.
mkdir -p "$fresh"/{usr,etc,opt,var/lib/dpkg/info,var/lib/dpkg/updates,var/log,dev,tmp,scan,sent}
for dir in usr etc; do
    mount --bind "/$dir" "$fresh/$dir"
    mount -o remount,bind,ro "$fresh/$dir"
done
for link in bin sbin lib lib32 lib64 libx32; do
    [ -L "/$link" ] && ln -s "$(readlink "/$link")" "$fresh/$link"
done
touch "$fresh/var/lib/dpkg/status" "$fresh/dev/null"
mount --bind /dev/null "$fresh/dev/null"

# A package for another architecture (armhf, arm64) runs under qemu-user.
emulator=()
force_architecture=()
arch=$(dpkg-deb -f "$deb" Architecture)
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    case $arch in
        armhf) emulator=(qemu-arm -L /usr/arm-linux-gnueabihf) ;;
        arm64) emulator=(qemu-aarch64 -L /usr/aarch64-linux-gnu) ;;
        *) echo "package-check: cannot run $arch programs here" >&2; exit 1 ;;
    esac
    force_architecture=(--force-architecture)
fi

echo "package-check: dpkg --root $fresh -i $(basename "$deb")"
# The fresh root's own package database is empty, so curl looks missing there.
dpkg --root="$fresh" --force-depends "${force_architecture[@]}" -i "$deb" 2>&1 |
    grep -v 'architecture\|dependency problems\|depends on\|Package .* is not installed\|^$' || true
dpkg --root="$fresh" -s crateferry | grep -E '^(Status|Version|Architecture):'

fail() { echo "package-check: FAILED: $*" >&2; exit 1; }
[ -x "$fresh/opt/crateFerry/bin/crateFerry" ] || fail "no program"
for name in upload remove; do
    [ "$(readlink "$fresh/opt/crateFerry/bin/$name")" = crateFerry ] || fail "no $name link"
done
[ -f "$fresh/opt/crateFerry/share/man/man8/crateFerry.8" ] || fail "no man page"
for tool in sftp ssh sshpass; do
    [ "$(readlink "$fresh/opt/crateFerry/bin/$tool")" = "/usr/bin/$tool" ] ||
        fail "postinst made no link for $tool"
done
echo "package-check: installed files:"
(cd "$fresh" && find opt | sort | sed 's/^/  /')

# The device's side: settings, timestamp, working folder, one new file.
mkdir -p "$fresh"/opt/crateFerry/etc "$fresh"/var/crateFerry "$fresh"/var/data/crateFerry
cat > "$fresh/opt/crateFerry/etc/settings" <<'SETTINGS'
MOD_CRATEFERRY_SCANFOLDER="/scan"
MOD_CRATEFERRY_REMOTEURL="file:///sent/"
MOD_CRATEFERRY_USERNAME=""
MOD_CRATEFERRY_PASSWORD=""
MOD_CRATEFERRY_RUPLOADED=0
MOD_CRATEFERRY_TIMEUNIT=2
MOD_CRATEFERRY_TIMECOUNT=1
SETTINGS
touch -d '2020-01-01 00:00:00' "$fresh/var/data/crateFerry/timestamp"
echo "new data" > "$fresh/scan/new.txt"
echo "old data" > "$fresh/scan/old.txt"
touch -d '2019-01-01 00:00:00' "$fresh/scan/old.txt"

# A datagram socket at the fresh root's /dev/log collects the program's lines.
log="$work/syslog"
"$python" - "$fresh/dev/log" "$log" <<'PY' &
import socket, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(sys.argv[1])
with open(sys.argv[2], "ab", buffering=0) as out:
    while True:
        out.write(sock.recv(65536) + b"\n")
PY
collector=$!
for _ in $(seq 50); do [ -S "$fresh/dev/log" ] && break; sleep 0.1; done
[ -S "$fresh/dev/log" ] || fail "no log socket"

run() {
    local status=0
    chroot "$fresh" /usr/bin/env -i PATH=/usr/bin:/bin "${emulator[@]}" "/opt/crateFerry/bin/$1" ||
        status=$?
    echo "package-check: $1 exited with $status"
    [ "$status" = 0 ] || fail "$1 exit status $status"
}
# Log lines at daemon.notice (<29>) from the program's own process.
logged() { grep -Eq "^<29>.*crateFerry\[[0-9]+\]: $1\$" "$log"; }

run upload
sleep 0.5
cmp -s "$fresh/scan/new.txt" "$fresh/sent/new.txt" || fail "new.txt did not arrive"
[ "$(stat -c %Y "$fresh/scan/new.txt")" = "$(stat -c %Y "$fresh/var/data/crateFerry/timestamp")" ] ||
    fail "new.txt not stamped"
[ ! -e "$fresh/sent/old.txt" ] || fail "old.txt was not pending but was sent"
logged 'File /scan/new.txt was uploaded' || fail "no uploaded line"

# Both files are now older than a day: old.txt by its own time, new.txt by the
# reference time its stamp gave it.
run remove
sleep 0.5
kill "$collector"
wait "$collector" 2>/dev/null || true
logged 'File /scan/old.txt were removed' || fail "old.txt not removed"
[ ! -e "$fresh/scan/old.txt" ] || fail "old.txt still there"

echo "package-check: log lines:"
sed 's/^/  /' "$log"
[ "$(grep -Ec '^<29>.*crateFerry\[[0-9]+\]: started$' "$log")" = 2 ] || fail "not two started lines"
[ "$(grep -Ec '^<29>.*crateFerry\[[0-9]+\]: exited$' "$log")" = 2 ] || fail "not two exited lines"
[ -f "$fresh/var/crateFerry/upload.lock" ] || fail "upload took no lock file"

# Removal takes the tool links with it, and with them the whole tree.
dpkg --root="$fresh" -r crateferry
[ ! -e "$fresh/opt/crateFerry/bin" ] || fail "dpkg -r left $(ls "$fresh/opt/crateFerry/bin")"
echo "package-check: the package installs, its upload and remove run, and it removes cleanly"
