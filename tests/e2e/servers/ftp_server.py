"""A throwaway FTP server on 127.0.0.1 for the end-to-end tests (Debian's pyftpdlib).

Run as: /usr/bin/python3 ftp_server.py STATE_DIR ROOT LIFETIME_SECONDS

STATE_DIR/users.json maps user names to {"password": ..., "home": ...}; an entry
with "anonymous": true is the anonymous login (any password, read-only). It is read
again whenever it changes, so users can be added while the server runs. The server
writes its port to STATE_DIR/port once it listens, and stops by itself after
LIFETIME_SECONDS or when the process that started it is gone.

Hook, read from STATE_DIR/control.json at every transfer:
  "stall": file names (last path component) whose data connection, once open, is
           neither read nor written again: an upload fills the socket buffers and
           stops, a download never gets a byte. The server appends
           {"event": "stalled", "name": ...} to STATE_DIR/events.jsonl.
"""
import json
import logging
import os
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer

FULL_RIGHTS = "elradfmwMT"
READ_RIGHTS = "elr"


class UsersFileAuthorizer(DummyAuthorizer):
    """Users come from users.json, reread whenever its modification time changes."""

    def __init__(self, users_path):
        super().__init__()
        self._users_path = users_path
        self._loaded_mtime = None

    def _reload(self):
        mtime = os.stat(self._users_path).st_mtime_ns
        if mtime == self._loaded_mtime:
            return
        with open(self._users_path, encoding="utf-8") as f:
            users = json.load(f)
        self._loaded_mtime = mtime  # first: add_user asks has_user, which reloads
        self.user_table.clear()
        for name, entry in users.items():
            if entry.get("anonymous"):
                self.add_anonymous(entry["home"], perm=READ_RIGHTS)
            else:
                self.add_user(name, entry["password"], entry["home"], perm=FULL_RIGHTS)

    def validate_authentication(self, username, password, handler):
        self._reload()
        return super().validate_authentication(username, password, handler)

    def has_user(self, username):
        self._reload()
        return super().has_user(username)


def stalled(state_dir, file_obj):
    """True (and recorded) when the transfer of `file_obj` is to stall."""
    name = os.path.basename(getattr(file_obj, "name", "") or "")
    try:
        with open(os.path.join(state_dir, "control.json"), encoding="utf-8") as f:
            stall = json.load(f).get("stall", [])
    except FileNotFoundError:
        return False
    if name not in stall:
        return False
    with open(os.path.join(state_dir, "events.jsonl"), "a", encoding="utf-8") as f:
        f.write(json.dumps({"event": "stalled", "name": name}) + "\n")
    return True


def stalling_dtp_handler(state_dir):
    """A data channel that goes silent for the files the "stall" hook names: it is
    taken out of the event loop with its socket left open."""

    class StallingDTPHandler(DTPHandler):
        timeout = 0  # no idle kick of its own: the client must give up

        def enable_receiving(self, type, cmd):
            super().enable_receiving(type, cmd)
            if stalled(state_dir, self.file_obj):
                self.del_channel()

        def push_with_producer(self, producer):
            if stalled(state_dir, self.file_obj):
                self.del_channel()
                return
            super().push_with_producer(producer)

    return StallingDTPHandler


def main():
    state_dir, root, lifetime = sys.argv[1], sys.argv[2], float(sys.argv[3])
    logging.basicConfig(level=logging.INFO, stream=sys.stderr)
    handler = type("TestFTPHandler", (FTPHandler,), {})
    handler.authorizer = UsersFileAuthorizer(os.path.join(state_dir, "users.json"))
    handler.banner = "crateFerry test FTP server"
    handler.dtp_handler = stalling_dtp_handler(state_dir)
    handler.passive_ports = None  # any free port; the peer is always 127.0.0.1
    # pyftpdlib answers a failed login only after 3 s; under faketime the client's
    # response timeout runs out first and it reports a timeout instead of the refusal.
    handler.auth_failed_timeout = 0
    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]
    port_tmp = os.path.join(state_dir, "port.tmp")
    with open(port_tmp, "w", encoding="ascii") as f:
        f.write(f"{port}\n")
    os.rename(port_tmp, os.path.join(state_dir, "port"))

    threading.Thread(target=exit_when_orphaned_or_after, args=(lifetime,), daemon=True).start()
    server.serve_forever(timeout=0.2)


def exit_when_orphaned_or_after(lifetime):
    parent = os.getppid()
    deadline = time.monotonic() + lifetime
    while time.monotonic() < deadline and os.getppid() == parent:
        time.sleep(0.2)
    os._exit(0)


if __name__ == "__main__":
    main()
