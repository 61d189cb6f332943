#!/bin/sh
# First process of a test sandbox: lays out the fixed paths of the device over
# private tmpfs mounts, says "ready", then holds the namespaces open.
#
# Started by harness.Sandbox as
#   unshare -m -p -f --kill-child --propagation private --mount-proc sh sandbox_init.sh ROOT LIFETIME
# so every mount below is seen only inside this mount namespace, and every process
# of the sandbox dies with this one. ROOT holds the test-owned folders:
#   etc bin work data  -> /opt/crateFerry/etc, /opt/crateFerry/bin, /var/crateFerry,
#                         /var/data/crateFerry
#   log.sock           -> /dev/log (the test's syslog socket)
#   dev                -> empty folder, staging area for the new /dev
set -eu
root=$1
lifetime=$2

# /dev: a few device nodes of the machine, a private pty instance for sshpass,
# /dev/shm for faketime's semaphores, and the test's log socket.
dev=$root/dev
mount -t tmpfs -o mode=0755,size=1m sandbox-dev "$dev"
for node in null zero random urandom tty; do
    touch "$dev/$node"
    mount --bind "/dev/$node" "$dev/$node"
done
mkdir "$dev/pts" "$dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$dev/pts"
ln -s pts/ptmx "$dev/ptmx"
mount -t tmpfs -o mode=1777,size=16m sandbox-shm "$dev/shm"
ln -s /proc/self/fd "$dev/fd"
ln -s /proc/self/fd/0 "$dev/stdin"
ln -s /proc/self/fd/1 "$dev/stdout"
ln -s /proc/self/fd/2 "$dev/stderr"
touch "$dev/log"
mount --bind "$root/log.sock" "$dev/log"
mount --move "$dev" /dev

mount -t tmpfs -o mode=0755,size=1m sandbox-opt /opt
mkdir -p /opt/crateFerry/etc /opt/crateFerry/bin
mount --bind "$root/etc" /opt/crateFerry/etc
mount --bind "$root/bin" /opt/crateFerry/bin

mount -t tmpfs -o mode=0755,size=1m sandbox-var /var
mkdir -p /var/crateFerry /var/data/crateFerry
mount --bind "$root/work" /var/crateFerry
mount --bind "$root/data" /var/data/crateFerry

echo ready
exec sleep "$lifetime"
