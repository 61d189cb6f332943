"""The main job, shown once: upload a scan folder to a throwaway FTP server.

Run by scripts/demo.sh as: /usr/bin/python3 tests/e2e/demo.py BINARY
Uses the same sandbox and server as the end-to-end tests (harness.py).
"""
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import harness


def main():
    if not harness.is_root():
        sys.exit("demo: run as root (the sandbox uses unshare and mounts)")
    binary = Path(sys.argv[1])
    base = Path(tempfile.mkdtemp(prefix="crateferry-demo."))
    server = sandbox = None
    try:
        server = harness.FtpServer(base / "ftp")
        (server.root / "incoming").mkdir()
        sandbox = harness.Sandbox(base, binary)
        # As on a new device: the timestamp file's time is the line between old and
        # new; the files below arrive after it.
        timestamp = sandbox.data / "timestamp"
        timestamp.touch()
        reference = int(time.time()) - 60
        os.utime(timestamp, (reference, reference))
        for name, text in [("reading-0001.csv", "t,v\n1,20.5\n"), ("reading-0002.csv", "t,v\n2,21.0\n"),
                           ("photo.jpg", "not really a photo\n")]:
            (sandbox.scan / name).write_text(text)
        sandbox.write_settings(scanfolder=sandbox.scan, remoteurl=server.url("incoming/"),
                               username="ferry", password="s3cret")

        print(f"FTP server: {server.url()} (user ferry), folder {server.root}")
        print(f"Scan folder: {sandbox.scan}")
        print(f"Timestamp file (/var/data/crateFerry/timestamp in the sandbox): mtime {reference}")
        print("Settings (/opt/crateFerry/etc/settings in the sandbox):")
        print("".join(f"  {line}\n" for line in sandbox.settings_path.read_text().splitlines()))
        result = sandbox.run("upload")
        print(f"upload exited with status {result.returncode}; its syslog lines:")
        for record in result.log:
            print(f"  {record.raw}")
        print("Arrived on the server:")
        for path in sorted((server.root / "incoming").iterdir()):
            print(f"  incoming/{path.name}  ({path.stat().st_size} bytes)")
        print("Left in the scan folder (stamped with the timestamp's time, no longer pending):")
        for path in sorted(sandbox.scan.iterdir()):
            print(f"  {path.name}  mtime {int(path.stat().st_mtime)}")
    finally:
        if sandbox is not None:
            sandbox.close()
        if server is not None:
            server.kill()
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
