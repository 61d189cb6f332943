"""A throwaway HTTP server on 127.0.0.1 for the end-to-end tests (Python's http.server).

Run as: /usr/bin/python3 http_server.py STATE_DIR ROOT LIFETIME_SECONDS

PUT stores the body under ROOT at the URL's path (its folder must exist: 409 if not;
a body without Content-Length: 411) and answers 201; HEAD answers 200 with the file's size as Content-Length, or 404. No
logins: credentials sent are ignored. The port goes to STATE_DIR/port once the server
listens; it stops by itself after LIFETIME_SECONDS or when its parent is gone.

Hook, read from STATE_DIR/control.json at every PUT (names are last path components):
  "cut":  {name: keep}: the body is read whole but only its first `keep` bytes (null:
          half) are stored, still answered 201 ("cut" in STATE_DIR/events.jsonl).
"""
import os
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit

from ftp_server import control, exit_when_orphaned_or_after, lookup, record

STATE_DIR, ROOT = sys.argv[1], os.path.realpath(sys.argv[2])


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def _answer(self, status, length=0):
        self.send_response(status)
        self.send_header("Content-Length", str(length))
        self.end_headers()

    def _path(self):
        path = os.path.normpath(os.path.join(ROOT, unquote(urlsplit(self.path).path).lstrip("/")))
        return path if path.startswith(ROOT + os.sep) else None

    def do_PUT(self):
        if "Content-Length" not in self.headers:
            return self._answer(411)
        data = self.rfile.read(int(self.headers["Content-Length"]))
        path = self._path()
        if path is None or not os.path.isdir(os.path.dirname(path)):
            return self._answer(409)
        cut, keep = lookup(os.path.basename(path), control(STATE_DIR, "cut", {}))
        if cut:
            record(STATE_DIR, "cut", os.path.basename(path))
            data = data[:len(data) // 2 if keep is None else keep]
        with open(path, "wb") as f:
            f.write(data)
        return self._answer(201)

    def do_HEAD(self):
        path = self._path()
        if path is None or not os.path.isfile(path):
            return self._answer(404)
        return self._answer(200, os.path.getsize(path))


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    with open(os.path.join(STATE_DIR, "port.tmp"), "w", encoding="ascii") as f:
        f.write(f"{server.server_address[1]}\n")
    os.rename(os.path.join(STATE_DIR, "port.tmp"), os.path.join(STATE_DIR, "port"))
    threading.Thread(target=exit_when_orphaned_or_after, args=(float(sys.argv[3]),),
                     daemon=True).start()
    server.serve_forever(poll_interval=0.2)


if __name__ == "__main__":
    main()
