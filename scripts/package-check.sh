#!/bin/bash
# Checks a crateFerry Debian package the way a device gets it: installs it into a
# fresh root with dpkg --root, sets the device up there with the README's install
# steps (the timers enabled with systemctl, offline), checks the package's systemd
# units and the example ones with systemd-analyze verify against the installed
# program and man page, runs upload (one file to a file:// URL with the real curl)
# and remove once each, then removes and purges the package, and checks that the
# timers' links went with it.
# Everything happens in a private mount namespace on tmpfs: the machine's /opt,
# /var, /usr, /etc and /dev/log are never touched.
#   scripts/package-check.sh [PACKAGE.deb]   (default: builds one with package.sh)
# Needs root, unshare(1) and overlay mounts; exits 77 when the overlay cannot be
# mounted here.
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

fail() { echo "package-check: FAILED: $*" >&2; exit 1; }

mount -t tmpfs tmpfs "$work"
# dpkg --root still logs to the machine's /var/log/dpkg.log, and a maintainer
# script that missed the fresh root would write to the machine's /opt: both go
# to throwaway folders.
mount -t tmpfs tmpfs /opt
mount -t tmpfs tmpfs /var
mkdir -p /var/log
fresh="$work/root"

# The fresh root: the machine's programs and libraries, with whatever the package
# and the install steps add to /usr and /etc kept in layers of its own, and
# nothing else of the machine. /opt, /var, /dev and /tmp are empty folders.
mkdir -p "$fresh"/{usr,etc,opt,var/lib/dpkg/info,var/lib/dpkg/updates,var/log,dev,tmp,sent}
for dir in usr etc; do
    mkdir -p "$work/layers/$dir/upper" "$work/layers/$dir/work"
    if ! mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$work/layers/$dir/upper,workdir=$work/layers/$dir/work" \
        "$fresh/$dir" 2>/dev/null; then
        echo "package-check: SKIPPED: no overlay mount here, so no fresh root with a /usr of its own"
        exit 77
    fi
done
for link in bin sbin lib lib32 lib64 libx32; do
    [ -L "/$link" ] && ln -s "$(readlink "/$link")" "$fresh/$link"
done
touch "$fresh/dev/null"
# Its package database knows one package that holds the shared folders (and a
# file, so that it never counts as replaced), as the machine's own packages do, so
# that dpkg leaves those folders when crateferry goes.
cat > "$fresh/var/lib/dpkg/status" <<'STATUS'
Package: fresh-root-folders
Status: install ok installed
Priority: optional
Maintainer: package-check
Architecture: all
Version: 1
Description: the shared folders of the package check's fresh root

STATUS
printf '%s\n' /. /opt /usr /usr/bin /usr/bin/env /usr/share /usr/share/doc /usr/share/man \
    /usr/share/man/man8 /lib /lib/systemd /lib/systemd/system \
    > "$fresh/var/lib/dpkg/info/fresh-root-folders.list"
mount --bind /dev/null "$fresh/dev/null"
# Like every Linux device, the fresh root has /proc: the transfers reach the files
# they send as /proc/self/fd/N.
mkdir -p "$fresh/proc"
mount -t proc proc "$fresh/proc"

# A package for another architecture (armhf, arm64) runs under qemu-user.
emulator=()
force_architecture=()
arch=$(dpkg-deb -f "$deb" Architecture)
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    case $arch in
        armhf) emulator=(qemu-arm -L /usr/arm-linux-gnueabihf) ;;
        arm64) emulator=(qemu-aarch64 -L /usr/aarch64-linux-gnu) ;;
        *) fail "cannot run $arch programs here" ;;
    esac
    force_architecture=(--force-architecture)
fi

echo "package-check: dpkg --root $fresh -i $(basename "$deb")"
# The fresh root's own package database is empty, so curl looks missing there.
dpkg --root="$fresh" --force-depends "${force_architecture[@]}" -i "$deb" 2>&1 |
    grep -v 'architecture\|dependency problems\|depends on\|Package .* is not installed\|^$' || true
dpkg --root="$fresh" -s crateferry | grep -E '^(Status|Version|Architecture|Installed-Size):'

# What the package brings, and what its postinst makes.
[ -x "$fresh/opt/crateFerry/bin/crateFerry" ] || fail "no program"
for name in upload remove; do
    [ "$(readlink "$fresh/opt/crateFerry/bin/$name")" = crateFerry ] || fail "no $name link"
done
[ -f "$fresh/usr/share/man/man8/crateFerry.8.gz" ] || fail "no man page where man looks"
[ -f "$fresh/usr/share/doc/crateferry/copyright" ] || fail "no copyright file"
units="crateferry-upload.service crateferry-upload.timer crateferry-remove.service crateferry-remove.timer"
for example in settings.example ssh_config.example crontab.example $units; do
    [ -f "$fresh/usr/share/doc/crateferry/examples/$example" ] || fail "no example $example"
done
for unit in $units; do
    [ -f "$fresh/lib/systemd/system/$unit" ] || fail "no unit $unit in /lib/systemd/system"
done
[ ! -e "$fresh/etc/systemd/system/timers.target.wants/crateferry-upload.timer" ] ||
    fail "the package enabled the upload timer"
for tool in sftp ssh sshpass; do
    [ "$(readlink "$fresh/opt/crateFerry/bin/$tool")" = "/usr/bin/$tool" ] ||
        fail "postinst made no link for $tool"
done
for folder in /opt/crateFerry/etc /var/crateFerry /var/data/crateFerry; do
    [ -d "$fresh$folder" ] || fail "postinst made no $folder"
done
[ ! -e "$fresh/opt/crateFerry/etc/settings" ] || fail "the package made a settings file"
[ ! -e "$fresh/var/data/crateFerry/timestamp" ] || fail "the package made a timestamp file"
echo "package-check: installed:"
dpkg --root="$fresh" -L crateferry | sed 's/^/  /'

# The package's units and the example ones, checked as systemd would load them, in a
# namespace of their own where the fresh root's program and man page stand at the
# machine's paths.
unshare -m --propagation private /bin/bash -euo pipefail -s "$fresh" <<'VERIFY' || fail "the example units or the man page"
fresh=$1
mkdir -p /opt/crateFerry
mount --bind "$fresh/opt/crateFerry" /opt/crateFerry
mount --bind "$fresh/usr" /usr
man -w crateFerry >/dev/null || { echo "package-check: man finds no crateFerry page" >&2; exit 1; }
if ! command -v systemd-analyze >/dev/null; then
    echo "package-check: SKIPPED systemd-analyze verify: systemd is not installed"
    exit 0
fi
for folder in /usr/lib/systemd/system /usr/share/doc/crateferry/examples; do
    cd "$folder"
    systemd-analyze verify --man=yes crateferry-upload.service crateferry-upload.timer \
        crateferry-remove.service crateferry-remove.timer
done
echo "package-check: systemd-analyze verify: the units, their program and man page are right"
VERIFY

# The README's device install steps, as written there, in the fresh root; the last
# one without --now: no systemd runs here to start the timers, so systemctl only
# makes their links, as on a device image.
chroot "$fresh" /bin/sh -eu <<'STEPS'
install -m 0600 /usr/share/doc/crateferry/examples/settings.example /opt/crateFerry/etc/settings
install -d /var/data/scans
touch /var/data/crateFerry/timestamp
systemctl enable crateferry-upload.timer crateferry-remove.timer
STEPS
[ "$(stat -c %a "$fresh/opt/crateFerry/etc/settings")" = 600 ] || fail "settings not mode 0600"
wants="$fresh/etc/systemd/system/timers.target.wants"
for timer in crateferry-upload.timer crateferry-remove.timer; do
    case $(readlink "$wants/$timer") in
        */lib/systemd/system/"$timer") ;;
        *) fail "$timer not enabled" ;;
    esac
done
# The example's upload URL and credentials are placeholders: a local folder
# stands in for the server, as an edit of those lines would.
sed -i -e 's|^MOD_CRATEFERRY_REMOTEURL=.*|MOD_CRATEFERRY_REMOTEURL="file:///sent/"|' \
    -e 's|^MOD_CRATEFERRY_PASSWORD=.*|MOD_CRATEFERRY_PASSWORD=""|' \
    "$fresh/opt/crateFerry/etc/settings"

# One file arrives after the timestamp was set (a later second), one is a year old.
sleep 1.1
echo "new data" > "$fresh/var/data/scans/new.txt"
echo "old data" > "$fresh/var/data/scans/old.txt"
touch -d '1 year ago' "$fresh/var/data/scans/old.txt"

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
cmp -s "$fresh/var/data/scans/new.txt" "$fresh/sent/new.txt" || fail "new.txt did not arrive"
[ "$(stat -c %Y "$fresh/var/data/scans/new.txt")" = "$(stat -c %Y "$fresh/var/data/crateFerry/timestamp")" ] ||
    fail "new.txt not stamped"
[ ! -e "$fresh/sent/old.txt" ] || fail "old.txt was not pending but was sent"
logged 'File /var/data/scans/new.txt was uploaded' || fail "no uploaded line"

# The example's age is 30 days: the year-old file goes, the file just sent (stamped
# with the timestamp's time, a second ago) stays.
run remove

# Started under its own name, the program says what it is, and runs as under any
# unknown name.
usage=$(chroot "$fresh" /usr/bin/env -i PATH=/usr/bin:/bin "${emulator[@]}" /opt/crateFerry/bin/crateFerry)
[ "$(printf '%s\n' "$usage" | head -n 1)" = "crateFerry $(dpkg-deb -f "$deb" Version)" ] ||
    fail "crateFerry printed no version: $usage"
echo "package-check: crateFerry printed: $(printf '%s\n' "$usage" | head -n 1)"

sleep 0.5
kill "$collector"
wait "$collector" 2>/dev/null || true
logged 'File /var/data/scans/old.txt were removed' || fail "old.txt not removed"
[ ! -e "$fresh/var/data/scans/old.txt" ] || fail "old.txt still there"
[ -e "$fresh/var/data/scans/new.txt" ] || fail "remove deleted the file just sent"

echo "package-check: log lines:"
sed 's/^/  /' "$log"
[ "$(grep -Ec '^<29>.*crateFerry\[[0-9]+\]: started$' "$log")" = 3 ] || fail "not three started lines"
[ "$(grep -Ec '^<29>.*crateFerry\[[0-9]+\]: exited$' "$log")" = 3 ] || fail "not three exited lines"
[ -f "$fresh/var/crateFerry/upload.lock" ] || fail "upload took no lock file"

# Removal: every file of the package goes; the device's files, the program's
# working files and the folders that hold them stay.
echo "package-check: dpkg --root $fresh -r crateferry"
dpkg --root="$fresh" -r crateferry 2>&1 | sed 's/^/  /'
left=$(cd "$fresh" && { find opt var/crateFerry var/data/crateFerry usr/share/doc/crateferry \
    usr/share/man/man8/crateFerry.8.gz 2>/dev/null || true; } | sort | tr '\n' ' ')
expected="opt opt/crateFerry opt/crateFerry/etc opt/crateFerry/etc/settings var/crateFerry \
var/crateFerry/curl_error var/crateFerry/upload.lock var/data/crateFerry var/data/crateFerry/timestamp "
[ "$left" = "$expected" ] || fail "after dpkg -r: expected only the device's files, found: $left"
echo "package-check: dpkg -r removed every file of the package; kept: settings, timestamp, working files"
# The enabled timers no longer start anything: masked, as Debian's helpers do.
for timer in crateferry-upload.timer crateferry-remove.timer; do
    [ "$(readlink "$fresh/etc/systemd/system/$timer")" = /dev/null ] || fail "$timer not masked after dpkg -r"
done

# Purge: the program's own working files go; with the device's files deleted too,
# nothing of crateFerry is left.
rm "$fresh/opt/crateFerry/etc/settings" "$fresh/var/data/crateFerry/timestamp"
dpkg --root="$fresh" --purge crateferry 2>&1 | sed 's/^/  /'
for path in /opt/crateFerry /var/crateFerry /var/data/crateFerry; do
    [ ! -e "$fresh$path" ] || fail "dpkg --purge left $path: $(cd "$fresh" && find "${path#/}")"
done
# Nor of the timers: their links, masks and the helpers' records are gone.
left=$(cd "$fresh" && find etc/systemd var/lib/systemd -name 'crateferry*' 2>/dev/null | tr '\n' ' ')
[ -z "$left" ] || fail "dpkg --purge left the timers' $left"
echo "package-check: the package installs, the README's steps give a working device, and it removes and purges cleanly, its timers too"
