#!/bin/bash
# Checks that `cmake --install` keeps to its prefix and to DESTDIR, as a user without
# root would run it: as the user nobody, builds crateFerry from a copy of the source in
# a fresh folder, installs it with `--prefix` into a fresh prefix, then installs the
# device component with DESTDIR into a fresh stage, each under strace, and lists every
# file or folder that either install wrote, made, renamed, removed or changed outside
# its own folder. There must be none: CMake's own record of the install
# (install_manifest*.txt in the build folder) is the only write allowed beside it.
# Then checks what each install laid out.
#   scripts/install-check.sh
# Needs root (to become nobody), setpriv (util-linux) and strace; no network.
set -euo pipefail

root_dir=$(cd "$(dirname "$0")/.." && pwd)
python=/usr/bin/python3
user=nobody
group=$(id -gn "$user")

fail() { echo "install-check: FAILED: $*" >&2; exit 1; }

work=$(mktemp -d /tmp/crateferry-install-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"
# The source where nobody can read it (a clone may sit in root's home), without build
# folders; the build folder and the output folder are nobody's own.
mkdir "$work/src" "$work/build" "$work/out" "$work/home"
tar -C "$root_dir" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work/src" -xf -
chmod -R a+rX "$work/src"
chown "$user:$group" "$work/build" "$work/out" "$work/home"
prefix="$work/out/prefix"
stage="$work/out/stage"

as_user() {
    setpriv --reuid="$user" --regid="$group" --clear-groups --reset-env \
        env -C "$work/out" HOME="$work/home" PATH=/usr/bin:/bin "$@" </dev/null
}

echo "install-check: building as $user in $work/build"
as_user cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCRATEFERRY_TESTS=OFF >/dev/null
as_user cmake --build "$work/build" -j2 >/dev/null

# Every system call that writes a name, one trace file per process.
calls=open,openat,creat,truncate,mkdir,mkdirat,mknod,mknodat,rmdir,unlink,unlinkat
calls=$calls,symlink,symlinkat,link,linkat,rename,renameat,renameat2
calls=$calls,chmod,fchmodat,chown,lchown,fchownat,utime,utimes,utimensat
traced() {
    local name=$1
    shift
    mkdir "$work/trace-$name"
    chown "$user:$group" "$work/trace-$name"
    local status=0
    as_user strace -ff -qq -y -e trace="$calls" -o "$work/trace-$name/call" "$@" || status=$?
    [ "$status" = 0 ] || echo "install-check: the install failed (status $status)" >&2
    return "$status"
}

# Prints, indented, every name in the trace files of $1 that is not under $2 and that a call
# wrote, or tried to write (a failed attempt, as at a folder of the machine without
# root, is marked with its error).
outside() {
    "$python" - "$work/trace-$1" "$2" "$work/out" "$work/build" <<'PY'
import os, re, sys
from pathlib import Path

traces, inside, cwd, build = sys.argv[1:]
written = set()
quoted = re.compile(r'"((?:[^"\\]|\\.)*)"')
for trace in sorted(Path(traces).iterdir()):
    for line in trace.read_text(errors="replace").splitlines():
        match = re.match(r"(\w+)\((.*)\) = (-1 (\w+))?", line)
        if not match:
            continue
        call, args, _, error = match.groups()
        # Calls that fail because the name already exists or is absent wrote nothing.
        if error in ("EEXIST", "ENOENT"):
            continue
        if call in ("open", "openat") and not re.search(r"O_WRONLY|O_RDWR|O_CREAT|O_TRUNC", args):
            continue
        names = quoted.findall(args)
        if call.startswith(("symlink", "link")):
            names = names[-1:]  # the first name is only read
        # A name relative to a directory descriptor (shown as 3</path> by -y).
        base = re.search(r"^\d+<([^>]*)>", args)
        for name in names:
            name = name.encode().decode("unicode_escape")
            if not name.startswith("/"):
                name = os.path.join(base.group(1) if base else cwd, name)
            written.add(os.path.normpath(name) + (f" ({error})" if error else ""))
for name in sorted(written):
    path = name.split(" (")[0]
    if path == inside or path.startswith(inside + "/") or path == "/dev/null":
        continue
    if os.path.dirname(path) == build and os.path.basename(path).startswith("install_manifest"):
        continue
    print("  " + name)
PY
}

status=0
echo "install-check: cmake --install --prefix $prefix"
traced prefix cmake --install "$work/build" --prefix "$prefix" >/dev/null || status=1
left=$(outside prefix "$prefix")
if [ -n "$left" ]; then
    echo "install-check: written outside the prefix:" >&2
    echo "$left" >&2
    status=1
fi

echo "install-check: DESTDIR=$stage cmake --install --component device"
traced device env DESTDIR="$stage" cmake --install "$work/build" --component device >/dev/null ||
    status=1
left=$(outside device "$stage")
if [ -n "$left" ]; then
    echo "install-check: written outside DESTDIR:" >&2
    echo "$left" >&2
    status=1
fi
[ "$status" = 0 ] || fail "an install failed or wrote outside its folder"

# What the prefix holds: the GNU folders relative to it.
[ -x "$prefix/bin/crateFerry" ] || fail "no program in the prefix"
for name in upload remove; do
    [ "$(readlink "$prefix/bin/$name")" = crateFerry ] || fail "no $name link in the prefix"
done
for file in share/man/man8/crateFerry.8.gz share/doc/crateferry/copyright \
    share/doc/crateferry/examples/settings.example share/doc/crateferry/examples/crateferry-upload.timer \
    lib/systemd/system/crateferry-upload.timer lib/systemd/system/crateferry-remove.service; do
    [ -f "$prefix/$file" ] || fail "no $file in the prefix"
done
# What the device component made under DESTDIR: the program's fixed folders and links.
for folder in opt/crateFerry/etc var/crateFerry var/data/crateFerry; do
    [ -d "$stage/$folder" ] || fail "no $folder under DESTDIR"
done
for tool in sftp ssh sshpass; do
    [ "$(readlink "$stage/opt/crateFerry/bin/$tool")" = "/usr/bin/$tool" ] ||
        fail "no $tool link under DESTDIR"
done
echo "install-check: as $user, the install wrote only under its prefix and the device component only under DESTDIR"
