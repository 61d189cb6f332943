"""Overlapping runs: an `upload` works only while it holds the flock on
/var/crateFerry/upload.lock; a second upload that finds it held does nothing."""
import os
import subprocess
import time

import harness
from harness import NOTICE
from test_upload_sftp import REFERENCE, is_pending, pending_file, prepare

STARTED = (NOTICE, "started")
EXITED = (NOTICE, "exited")
LOCKED = (NOTICE, "another upload is running, this one does nothing")
HELD = "held.bin"


class BackgroundUpload:
    """An `upload` run started inside the sandbox without waiting for it. Its log
    lines are told from those of other runs by the PID in them."""

    def __init__(self, sandbox):
        link = sandbox.progs / "upload"
        if not link.is_symlink():
            link.symlink_to(sandbox.binary.name)
        self.sandbox = sandbox
        self.records = []
        sandbox.drain_log()  # nothing before this run belongs to it
        self.process = subprocess.Popen(
            sandbox.enter_command() + ["/bin/bash", "-c", 'exec -a "$0" "$1"', "upload",
                                       str(link)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env={"PATH": harness.SAFE_PATH, "HOME": str(sandbox.home), "LANG": "C"},
            cwd=sandbox.home)

    def collect(self):
        """Takes this run's lines off the socket: call it before another run starts,
        which drops them."""
        self.records += self.sandbox.drain_log()

    @property
    def pid(self):
        """The run's PID inside the sandbox, from its "started" line."""
        assert self.records and self.records[0].message == "started", self.records
        return self.records[0].pid

    def wait(self, timeout=60):
        returncode = self.process.wait(timeout)
        self.collect()
        assert {r.pid for r in self.records} == {self.pid}, self.records
        return returncode

    def entries(self):
        return [(r.priority, r.message) for r in self.records]


def start_held_upload(sandbox, sftp_server, names):
    """Run A, sending `names` plus HELD with ruploaded set, stopped inside its sftp
    session at the first write of HELD."""
    remote = prepare(sandbox, sftp_server, ruploaded=1, timecount=1)
    contents = {name: os.urandom(5000) for name in names + [HELD]}
    for name, content in contents.items():
        pending_file(sandbox, name, content)
    sftp_server.hold_writes(HELD)
    run = BackgroundUpload(sandbox)
    assert sftp_server.wait_for_event("held", HELD), sftp_server.server_log()
    run.collect()
    return run, remote, contents


def uploaded_names(entries):
    prefix, suffix = "File ", " was uploaded"
    return [os.path.basename(m[len(prefix):-len(suffix)]) for p, m in entries
            if p == NOTICE and m.startswith(prefix) and m.endswith(suffix)]


def test_an_upload_finding_the_lock_held_changes_nothing_and_loses_no_file(sandbox, sftp_server):
    run_a, remote, contents = start_held_upload(sandbox, sftp_server, ["a1.txt", "a3.txt"])
    a_pid = run_a.pid
    new = pending_file(sandbox, "new.txt", b"arrived while A sends")
    new_mtime = new.stat().st_mtime_ns
    queue = (sandbox.work / "sftp_list").read_bytes()
    events = sftp_server.events()

    run_b = sandbox.run("upload", timeout=30)

    b_log = [r for r in run_b.log if r.pid != a_pid]
    assert [(r.priority, r.message) for r in b_log] == [STARTED, LOCKED, EXITED], run_b
    assert run_b.returncode == 0
    b_pid = b_log[0].pid
    # A is held inside its session, so none of its processes ends meanwhile: every
    # process that ended during B is B or B's child. B started none.
    assert [p for p in run_b.processes if p.ppid == b_pid] == [], run_b.processes
    assert run_b.process_count("sftp") == 0 and run_b.process_count("curl") == 0
    assert (sandbox.work / "sftp_list").read_bytes() == queue
    assert sftp_server.events() == events
    assert new.stat().st_mtime_ns == new_mtime and new.read_bytes() == b"arrived while A sends"

    sftp_server.release(HELD)
    assert run_a.wait() == 0
    reported = uploaded_names(run_a.entries())
    assert sorted(reported) == sorted(contents), run_a.entries()
    assert {name: (remote / name).read_bytes() for name in reported} == contents
    assert all(not (sandbox.scan / name).exists() for name in contents)
    assert is_pending(new) and not (remote / "new.txt").exists()

    run_c = sandbox.run("upload")
    assert run_c.entries() == [STARTED, (NOTICE, f"File {new} was uploaded"),
                               (NOTICE, f"File {new} was removed"), EXITED], run_c
    assert (remote / "new.txt").read_bytes() == b"arrived while A sends"


def sftp_processes(sandbox):
    return sandbox.shell("pgrep -x sftp || true").stdout.split()


def test_a_killed_upload_holds_the_lock_until_its_transfer_ends_then_never_blocks(
        sandbox, sftp_server):
    run_a, remote, contents = start_held_upload(sandbox, sftp_server, ["other.txt"])
    assert sandbox.shell(f"kill -KILL {run_a.pid}").returncode == 0
    run_a.process.wait(10)
    # The killed run's sftp session goes on, and it still holds the lock: no run
    # starts beside it.
    assert sftp_processes(sandbox)
    run_b = sandbox.run("upload", timeout=30)
    assert run_b.entries() == [STARTED, LOCKED, EXITED], run_b
    sftp_server.release(HELD)
    deadline = time.monotonic() + 30
    while sftp_processes(sandbox):
        assert time.monotonic() < deadline, "the killed run's sftp did not end"
        time.sleep(0.05)
    # Nobody finished what the orphan sent: every file is still pending.
    assert all(is_pending(sandbox.scan / name) for name in contents)

    run_c = sandbox.run("upload")
    assert not run_c.has(LOCKED[1]), run_c
    assert sorted(uploaded_names(run_c.entries())) == sorted(contents), run_c
    assert run_c.entries()[-1] == EXITED
    assert {name: (remote / name).read_bytes() for name in contents} == contents
    assert all(not (sandbox.scan / name).exists() for name in contents)


def test_remove_does_not_take_the_upload_lock(sandbox, sftp_server):
    # remove deletes only files older than its age (here an hour), never the fresh
    # files an upload is sending, so it runs beside an upload instead of waiting.
    run_a, remote, contents = start_held_upload(sandbox, sftp_server, [])
    old = sandbox.scan / "old.txt"
    old.write_text("old")
    os.utime(old, (REFERENCE - 7200, REFERENCE - 7200))

    removal = sandbox.run("remove")
    assert [e for r, e in zip(removal.log, removal.entries()) if r.pid != run_a.pid] == [
        STARTED, (NOTICE, f"File {old} were removed"),
        (NOTICE, "an upload is running: 1 pending files are left for the next remove"), EXITED], removal
    assert not old.exists() and is_pending(sandbox.scan / HELD)

    sftp_server.release(HELD)
    assert run_a.wait() == 0
    assert uploaded_names(run_a.entries()) == [HELD], run_a.entries()
    assert (remote / HELD).read_bytes() == contents[HELD]
