"""A throwaway FTP server on 127.0.0.1 for the end-to-end tests (Debian's pyftpdlib).

Run as: /usr/bin/python3 ftp_server.py STATE_DIR ROOT LIFETIME_SECONDS
                                        [FIRST_PASSIVE_PORT LAST_PASSIVE_PORT PASV_ADDRESS]

STATE_DIR/users.json maps user names to {"password": ..., "home": ...}; an entry
with "anonymous": true is the anonymous login (any password, read-only). It is read
again whenever it changes, so users can be added while the server runs. The server
writes its port to STATE_DIR/port once it listens, and stops by itself after
LIFETIME_SECONDS or when the process that started it is gone. With the three optional
arguments, data connections are opened on the ports FIRST..LAST only, and PASV replies
name PASV_ADDRESS instead of 127.0.0.1 (the benchmark's link emulator listens there).

Hooks, read from STATE_DIR/control.json at every transfer (names are last path
components); every event is appended to STATE_DIR/events.jsonl as
{"event": ..., "name": ...}:
  "stall":  the data connection of a transfer of the file, once open, is neither read
            nor written again ("stalled"): an upload fills the socket buffers and
            stops, a download never gets a byte;
  "hold":   the data connection of an upload of the file is not read ("held") until
            its name is in "release";
  "die":    a download of the file sends its first half, then the whole server ends
            at once ("died"), as a server that crashes mid-transfer;
  "refuse_rename": RNTO to this name fails with 550 ("rename refused");
  "store_as": {name: other}: a STOR of the file, or a RNTO to it, lands under the name
            `other` in the same folder, answered as usual ("stored as", name), as a
            server that mends names it dislikes ("report .csv" -> "report_.csv");
  "cut":    {name: keep}: an upload of the file is read whole but keeps only its first
            `keep` bytes (null: half), still answered 226 ("cut"), as a full disk;
  "refuse_store": {name: times}: the first `times` STORs of the file (null: every one)
            are answered "451 Requested action aborted" ("store refused"), as a server
            under load refuses a store now and then;
  "refuse_size": true: SIZE answers "502 Command not implemented." for every file,
            as a server without the extension;
  "passive_delay_ms": a number: EPSV and PASV are answered that much later, as a
            server across a real link would answer (on loopback the answer is there
            within microseconds, which no real client meets).
Every upload's data connection records "opened" with the name written, every
rename "renamed" with the new name, every SIZE "size" with the file name, and
every login "in use" with the number of logged-in connections open at that moment.
Unhooked, SIZE answers "213 BYTES" in binary mode (TYPE I) and 550 in ASCII mode
(TYPE A, which every connection starts in), as pyftpdlib does.
An upload keeps what arrives as all zero bytes as a hole: a sparse file of gigabytes
arrives whole, at its size, without taking that room on the machine's disk.
"""
import json
import logging
import os
import re
import socket
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



def named(name, entries):
    """True when a hook's entries name `name`: as it is, or by a regular expression
    after "re:" (names the program makes up, such as its temporary names)."""
    return any(entry == name or (entry.startswith("re:") and re.fullmatch(entry[3:], name))
               for entry in entries)

def lookup(name, table):
    """(True, value) for the first entry of the dict `table` that names `name`."""
    for entry, value in table.items():
        if named(name, [entry]):
            return True, value
    return False, None


def control(state_dir, key, default=()):
    try:
        with open(os.path.join(state_dir, "control.json"), encoding="utf-8") as f:
            return json.load(f).get(key, default)
    except FileNotFoundError:
        return default


def record(state_dir, event, name):
    with open(os.path.join(state_dir, "events.jsonl"), "a", encoding="utf-8") as f:
        f.write(json.dumps({"event": event, "name": name}) + "\n")


def file_name(file_obj):
    return os.path.basename(getattr(file_obj, "name", "") or "")


class ZerosAsHoles:
    """An uploaded file whose all-zero chunks are skipped over instead of written;
    the file gets its full size when closed."""

    _zeros = bytes(1 << 20)

    def __init__(self, file_obj, cut=None):
        self._file = file_obj
        self._cut = cut  # size received -> size kept, or None to keep it all

    def write(self, chunk):
        if len(chunk) <= len(self._zeros) and chunk == self._zeros[:len(chunk)]:
            self._file.seek(len(chunk), os.SEEK_CUR)
        else:
            self._file.write(chunk)
        return len(chunk)

    def close(self):
        if not self._file.closed:
            self._file.flush()
            end = self._file.tell()
            if end > os.fstat(self._file.fileno()).st_size:
                self._file.truncate(end)  # a hole at the end counts too
            if self._cut is not None:
                self._file.truncate(self._cut(end))
        self._file.close()

    def __getattr__(self, name):
        return getattr(self._file, name)


def hooked_dtp_handler(state_dir):
    """A data channel that goes silent for the files the "stall" hook names, and
    waits for the "hold" hook's release: it is taken out of the event loop with its
    socket left open."""

    class HookedDTPHandler(DTPHandler):
        timeout = 0  # no idle kick of its own: the client must give up
        ac_in_buffer_size = 1 << 20  # a file of gigabytes in fewer turns of the loop

        def enable_receiving(self, type, cmd):
            super().enable_receiving(type, cmd)
            name = file_name(self.file_obj)
            cut, keep = lookup(name, control(state_dir, "cut", {}))
            if cut:
                record(state_dir, "cut", name)
            self.file_obj = ZerosAsHoles(self.file_obj, (
                lambda size: size // 2 if keep is None else min(size, keep)) if cut else None)
            record(state_dir, "opened", name)
            if named(name, control(state_dir, "stall")):
                record(state_dir, "stalled", name)
                self.del_channel()
            elif named(name, control(state_dir, "hold")):
                record(state_dir, "held", name)
                self.del_channel()
                self._release_check = self.ioloop.call_every(0.05, self._resume_when_released, name)

        def _resume_when_released(self, name):
            if named(name, control(state_dir, "release")):
                self._release_check.cancel()
                self.add_channel(events=self.ioloop.READ)

        def push_with_producer(self, producer):
            name = file_name(self.file_obj)
            if named(name, control(state_dir, "die")):
                record(state_dir, "died", name)
                data = self.file_obj.read()
                self.socket.setblocking(True)
                self.socket.sendall(data[:len(data) // 2])
                os._exit(1)
            if named(name, control(state_dir, "stall")):
                record(state_dir, "stalled", name)
                self.del_channel()
                return
            super().push_with_producer(producer)

    return HookedDTPHandler


def hooked_ftp_handler(state_dir):
    in_use = [0]  # logged-in connections: one event loop, so a plain count
    stores_refused = {}  # name -> how many of its STORs were refused

    class HookedFTPHandler(FTPHandler):
        _counted = False

        def on_login(self, username):
            in_use[0] += 1
            self._counted = True
            record(state_dir, "in use", str(in_use[0]))

        def on_disconnect(self):
            if self._counted:
                in_use[0] -= 1
                self._counted = False

        def __init__(self, conn, server, ioloop=None):
            super().__init__(conn, server, ioloop)
            # Replies go out at once, as production servers send them: without this,
            # a reused connection waits on delayed acknowledgements at every command.
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        def _delay_passive_reply(self):
            delay = control(state_dir, "passive_delay_ms", 0)
            if delay:
                time.sleep(delay / 1000)

        def ftp_EPSV(self, line):
            self._delay_passive_reply()
            return super().ftp_EPSV(line)

        def ftp_PASV(self, line):
            self._delay_passive_reply()
            return super().ftp_PASV(line)

        def _stored_as(self, path):
            name = os.path.basename(path)
            found, other = lookup(name, control(state_dir, "store_as", {}))
            if not found:
                return path
            record(state_dir, "stored as", name)
            return os.path.join(os.path.dirname(path), other)

        def ftp_STOR(self, file, mode="w"):
            name = os.path.basename(file)
            found, times = lookup(name, control(state_dir, "refuse_store", {}))
            if found and (times is None or stores_refused.get(name, 0) < times):
                stores_refused[name] = stores_refused.get(name, 0) + 1
                record(state_dir, "store refused", name)
                self.respond("451 Requested action aborted: local error in processing.")
                return None
            return super().ftp_STOR(self._stored_as(file), mode)

        def ftp_SIZE(self, path):
            record(state_dir, "size", os.path.basename(path))
            if control(state_dir, "refuse_size", False):
                self.respond("502 Command not implemented.")
                return None
            return super().ftp_SIZE(path)

        def ftp_RNTO(self, path):
            name = os.path.basename(path)
            if self._rnfr and named(name, control(state_dir, "refuse_rename")):
                self._rnfr = None
                record(state_dir, "rename refused", name)
                self.respond("550 Rename refused.")
                return None
            renamed = super().ftp_RNTO(self._stored_as(path) if self._rnfr else path)
            if renamed:
                record(state_dir, "renamed", name)
            return renamed

    return HookedFTPHandler


def main():
    state_dir, root, lifetime = sys.argv[1], sys.argv[2], float(sys.argv[3])
    logging.basicConfig(level=logging.INFO, stream=sys.stderr)
    handler = hooked_ftp_handler(state_dir)
    handler.authorizer = UsersFileAuthorizer(os.path.join(state_dir, "users.json"))
    handler.banner = "crateFerry test FTP server"
    handler.dtp_handler = hooked_dtp_handler(state_dir)
    # Names are bytes on the wire: keep any that are not UTF-8 as they are.
    handler.unicode_errors = "surrogateescape"
    handler.passive_ports = None  # any free port; the peer is always 127.0.0.1
    if len(sys.argv) > 4:
        first, last, handler.masquerade_address = int(sys.argv[4]), int(sys.argv[5]), sys.argv[6]
        handler.passive_ports = range(first, last + 1)
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
