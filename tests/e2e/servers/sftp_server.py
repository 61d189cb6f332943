"""A throwaway SFTP server on 127.0.0.1 for the end-to-end tests (Debian's asyncssh).

Run as: /usr/bin/python3 sftp_server.py STATE_DIR ROOT LIFETIME_SECONDS

Password authentication only, against STATE_DIR/users.json ({"name": "password"}),
reread at every login. Every session is chrooted to ROOT. The host key is made
fresh at every start. The port goes to STATE_DIR/port once the server listens.

Hooks, read from STATE_DIR/control.json at every open and write:
  "refuse":  file names (last path component) whose opening for writing fails with
             "Permission denied";
  "hold":    file names whose first write waits until the name is in "release";
             the server appends {"event": "held", "name": ...} to events.jsonl
             when it starts waiting;
  "refuse_rename": file names that a rename to fails with "Permission denied".
  "cut":     {name: keep}: writes to the file beyond its first `keep` bytes are
             acknowledged but dropped, so it ends cut short while the client was told
             all went well ("cut" when the first byte is dropped), as a full disk;
  "await_sessions": a number: each session's first open for writing waits (up to
             10 s) until that many sessions are open at once.
Every open for writing, refusal, close and rename ("renamed", new name) is appended
to STATE_DIR/events.jsonl, and every session start "in use" with the number of
sessions open at that moment.
The server stops by itself after LIFETIME_SECONDS or when its parent is gone.
"""
import asyncio
import json
import os
import posixpath
import sys
import time

import asyncssh

from ftp_server import named  # the hooks name files alike in every test server

STATE_DIR = ""
ROOT = ""
IN_USE = [0]  # open SFTP sessions: one event loop, so a plain count
WRITE_FLAGS = asyncssh.FXF_WRITE | asyncssh.FXF_CREAT | asyncssh.FXF_TRUNC | asyncssh.FXF_APPEND



def lookup(name, table):
    """(True, value) for the first entry of the dict `table` that names `name`."""
    for entry, value in table.items():
        if named(name, [entry]):
            return True, value
    return False, None


def read_json(name, default):
    try:
        with open(os.path.join(STATE_DIR, name), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return default


def record(event, name):
    line = json.dumps({"event": event, "name": name}) + "\n"
    with open(os.path.join(STATE_DIR, "events.jsonl"), "a", encoding="utf-8") as f:
        f.write(line)


class PasswordServer(asyncssh.SSHServer):
    def begin_auth(self, username):
        return True

    def password_auth_supported(self):
        return True

    def validate_password(self, username, password):
        users = read_json("users.json", {})
        return username in users and users[username] == password


class HookedSFTPServer(asyncssh.SFTPServer):
    def __init__(self, chan):
        super().__init__(chan, chroot=ROOT.encode())
        self._names = {}  # open file object -> file name, for writes
        self._held = set()
        self._cut = set()
        self._awaited = False
        IN_USE[0] += 1
        record("in use", str(IN_USE[0]))

    def exit(self):
        IN_USE[0] -= 1
        super().exit()

    async def open(self, path, pflags, attrs):
        name = posixpath.basename(path).decode("utf-8", "surrogateescape")
        if pflags & WRITE_FLAGS and not self._awaited:
            self._awaited = True
            deadline = time.monotonic() + 10
            while IN_USE[0] < read_json("control.json", {}).get("await_sessions", 0) and \
                    time.monotonic() < deadline:
                await asyncio.sleep(0.02)
        if pflags & WRITE_FLAGS:
            if named(name, read_json("control.json", {}).get("refuse", [])):
                record("refused", name)
                raise asyncssh.SFTPError(asyncssh.FX_PERMISSION_DENIED, "Permission denied")
            record("opened", name)
        file_obj = super().open(path, pflags, attrs)
        self._names[id(file_obj)] = name
        return file_obj

    async def write(self, file_obj, offset, data):
        name = self._names.get(id(file_obj))
        cut, keep = lookup(name, read_json("control.json", {}).get("cut", {})) \
            if name is not None else (False, None)
        if cut and offset + len(data) > keep:
            if name not in self._cut:
                self._cut.add(name)
                record("cut", name)
            if offset >= keep:
                return len(data)
            data = data[:keep - offset]
        if name is not None and name not in self._held:
            if named(name, read_json("control.json", {}).get("hold", [])):
                self._held.add(name)
                record("held", name)
                while not named(name, read_json("control.json", {}).get("release", [])):
                    await asyncio.sleep(0.05)
        return super().write(file_obj, offset, data)

    def _rename(self, rename, oldpath, newpath):
        name = posixpath.basename(newpath).decode("utf-8", "surrogateescape")
        if named(name, read_json("control.json", {}).get("refuse_rename", [])):
            record("rename refused", name)
            raise asyncssh.SFTPError(asyncssh.FX_PERMISSION_DENIED, "Permission denied")
        result = rename(oldpath, newpath)
        record("renamed", name)
        return result

    def rename(self, oldpath, newpath):
        return self._rename(super().rename, oldpath, newpath)

    def posix_rename(self, oldpath, newpath):
        return self._rename(super().posix_rename, oldpath, newpath)

    def close(self, file_obj):
        name = self._names.pop(id(file_obj), None)
        super().close(file_obj)
        if name is not None:
            record("closed", name)


async def serve(lifetime):
    host_key = asyncssh.generate_private_key("ssh-ed25519")
    server = await asyncssh.create_server(
        PasswordServer, "127.0.0.1", 0, server_host_keys=[host_key],
        sftp_factory=HookedSFTPServer, allow_scp=False)
    port = server.sockets[0].getsockname()[1]
    port_tmp = os.path.join(STATE_DIR, "port.tmp")
    with open(port_tmp, "w", encoding="ascii") as f:
        f.write(f"{port}\n")
    os.rename(port_tmp, os.path.join(STATE_DIR, "port"))
    parent = os.getppid()
    deadline = time.monotonic() + lifetime
    while time.monotonic() < deadline and os.getppid() == parent:
        await asyncio.sleep(0.2)
    server.close()


def main():
    global STATE_DIR, ROOT
    STATE_DIR, ROOT, lifetime = sys.argv[1], sys.argv[2], float(sys.argv[3])
    asyncio.run(serve(lifetime))


if __name__ == "__main__":
    main()
