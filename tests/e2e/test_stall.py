"""Transfers that stop making progress end on MOD_CRATEFERRY_STALLTIME: the run ends
within a bound, logs the tool's error, leaves every unsent file pending and unchanged,
and the next run against a healthy server sends everything."""
import os
import re
import threading
import time

import pytest

import harness
from harness import ERR

STALL = 2  # MOD_CRATEFERRY_STALLTIME of these tests, in seconds
PAUSES = 3 * 5  # curl mode pauses 5 s after each of a file's 3 failed attempts
REFERENCE = 1_000_000_000
BIG = 8 << 20  # fills the socket buffers of a peer that stops reading


def stalled_curl(silent_port):
    return f"ftp://127.0.0.1:{silent_port}/in/"


# Each case: how the stall is made, the settings of the stalled run, the error lines
# (regular expressions) it must log, and the bound on its length in seconds.
CASES = [
    pytest.param(dict(
        mode="curl", stall="silent host", files={"a.dat": 10, "b.dat": 10, "c.dat": 10},
        errors=[r"file upload has failed\(curl: \(28\) .*\)",
                r"upload stopped after a stalled transfer: 2 more files left pending"],
        attempts=3, bound=3 * STALL + PAUSES + 12),
        id="curl: a host that accepts and never answers stops the run after one file"),
    pytest.param(dict(
        mode="curl", batch=1, stall="silent host", files={"a.dat": 10, "b.dat": 10},
        errors=[r"file upload has failed\(curl: \(28\) .*\)",
                r"upload stopped after a stalled transfer: 1 more files left pending"],
        attempts=3, bound=3 * STALL + PAUSES + 12),
        id="curl batch: a host that never answers stops the run after one file's attempts"),
    pytest.param(dict(
        mode="curl", stall="server stops reading", files={"big.bin": BIG},
        errors=[r"file upload has failed\(curl: \(28\) Operation too slow.*\)",
                r"upload stopped after a stalled transfer: 0 more files left pending"],
        attempts=3, bound=3 * (STALL + 6) + PAUSES + 12),
        id="curl: a server that stops reading mid-upload"),
    pytest.param(dict(
        mode="sftp", stall="silent host", files={"a.dat": 10, "b.dat": 10},
        errors=[r"file upload has failed\(.*Connection timed out during banner exchange.*\)"],
        attempts=1, bound=STALL + 8),
        id="sftp: a host that accepts and never answers"),
    pytest.param(dict(
        mode="sftp", stall="server stops answering", files={"big.bin": BIG, "a.dat": 10},
        # ssh may write an empty line before its last word; its own "Timeout, server
        # not responding" is below LogLevel=ERROR, so the program names the reason,
        # also when sftp was caught writing to (or reading from) the ssh that gave up.
        errors=[r"file upload has failed\(Connected to 127\.0\.0\.1\.; (; )?"
                r"(Couldn't (send|read) packet: [^;]*; )?(Connection closed; )?"
                r"the server did not answer within the stall limit of 2 s\)"],
        attempts=1, bound=STALL + 2 + 8),
        id="sftp: a server that stops answering mid-transfer"),
    pytest.param(dict(
        mode="listing", stall="silent host", files={"local.dat": 10},
        errors=[r"getting list of files has failed\(curl: \(28\) .*\)"],
        attempts=1, bound=STALL + 8),
        id="download: a listing server that never answers, the upload goes on"),
    pytest.param(dict(
        mode="fetch", stall="server sends nothing", files={"local.dat": 10},
        errors=[r"getting file .*/out/dl\.bin has failed\(curl: \(28\) .*\)",
                r"download stopped after a stalled transfer: 0 more files left for the next run"],
        attempts=1, bound=STALL + 6 + 8),
        id="download: a fetch that stalls ends the step, the upload goes on"),
]


def pause_when_held(server, name):
    """Stops the whole server (SIGSTOP) once its write of `name` is held."""
    def watch():
        if server.wait_for_event("held", name, timeout=30):
            server.pause()
    thread = threading.Thread(target=watch, daemon=True)
    thread.start()
    return thread


@pytest.mark.parametrize("case", CASES)
def test_a_stalled_transfer_ends_on_the_limit_and_the_next_run_sends_everything(
        case, sandbox, ftp_server, sftp_server):
    silent = harness.SilentListener()
    try:
        run_stalled_then_healthy(case, sandbox, ftp_server, sftp_server, silent)
    finally:
        sftp_server.resume()
        silent.close()


def run_stalled_then_healthy(case, sandbox, ftp_server, sftp_server, silent):
    mode = case["mode"]
    timestamp = sandbox.data / "timestamp"
    timestamp.write_text("")
    os.utime(timestamp, (REFERENCE, REFERENCE))
    files = {}
    for name, size in case["files"].items():
        path = sandbox.scan / name
        path.write_bytes(os.urandom(size))
        os.utime(path, (REFERENCE + 60, REFERENCE + 60))
        files[path] = path.read_bytes()
    ftp_in = ftp_server.root / "in"
    ftp_in.mkdir()
    (sftp_server.root / "in").mkdir()
    remote_out = ftp_server.root / "out"
    remote_out.mkdir()
    fetched = {"dl.bin": os.urandom(1000)}
    (remote_out / "dl.bin").write_bytes(fetched["dl.bin"])
    keys = dict(scanfolder=sandbox.scan, username="ferry", password="s3cret", stalltime=STALL,
                **({"curlbatch": 1} if case.get("batch") else {}))
    healthy = dict(keys, remoteurl=ftp_server.url("in/"))
    sandbox.link_ssh_tools()
    if mode == "curl":
        stalled = dict(keys, remoteurl=stalled_curl(silent.port))
        if case["stall"] == "server stops reading":
            ftp_server.stall_transfers("big.bin")
            stalled = healthy
    elif mode == "sftp":
        healthy = dict(keys, remoteurl=sftp_server.url("in"))
        stalled = healthy
        if case["stall"] == "silent host":
            sandbox.write_ssh_config(silent)
        else:
            sandbox.write_ssh_config(sftp_server)
            sftp_server.hold_writes("big.bin")
            pause_when_held(sftp_server, "big.bin")
    else:
        download = dict(download=1, download_user="ferry", download_passwd="s3cret")
        healthy = dict(healthy, download_url=ftp_server.url("out/"), **download)
        stalled = healthy
        if mode == "listing":
            stalled = dict(healthy, download_url=stalled_curl(silent.port).replace("in/", "out/"))
        else:
            ftp_server.stall_transfers("dl.bin")
    sandbox.write_settings(**stalled)

    started = time.monotonic()
    result = sandbox.run("upload", timeout=case["bound"])
    took = time.monotonic() - started
    print(f"{mode}/{case['stall']}: the stalled run took {took:.1f} s (bound {case['bound']} s)")

    for error in case["errors"]:
        assert any(r.priority == ERR and re.fullmatch(error, r.message, re.DOTALL)
                   for r in result.log), (error, str(result))
    if mode in ("curl", "sftp"):
        assert sum(r.priority == ERR and r.message.startswith("file upload has failed(")
                   for r in result.log) == case["attempts"], result
        for path, content in files.items():
            assert path.read_bytes() == content and path.stat().st_mtime == REFERENCE + 60, path
    else:
        assert not (sandbox.scan / "dl.bin").exists(), result
        assert all(path.stat().st_mtime == REFERENCE for path in files), result

    # The healthy server: nothing of the stalled run is left holding the lock.
    sftp_server.resume()
    sftp_server.release("big.bin")
    ftp_server.clear_stalls()
    sandbox.write_ssh_config(sftp_server)
    sandbox.write_settings(**healthy)
    again = sandbox.run("upload", timeout=60)

    assert not again.has("another upload is running, this one does nothing"), again
    assert not any(r.priority == ERR for r in again.log), again
    remote = sftp_server.root / "in" if mode == "sftp" else ftp_in
    for path, content in files.items():
        assert (remote / path.name).read_bytes() == content, path
        assert path.stat().st_mtime == REFERENCE, path
    if mode in ("listing", "fetch"):
        assert (sandbox.scan / "dl.bin").read_bytes() == fetched["dl.bin"]
        assert (ftp_in / "dl.bin").read_bytes() == fetched["dl.bin"]


# MOD_CRATEFERRY_RATELIMIT: 2 MiB at 512 KiB/s take about 4 s, not a fraction of one on
# loopback; and a capped transfer still moves, so the stall limit (STALL) never ends it.
RATE_CAPPED = [
    pytest.param("curl", id="curl: the cap slows the transfer to about the cap"),
    pytest.param("sftp", id="sftp: the cap slows the session to about the cap"),
]


@pytest.mark.parametrize("mode", RATE_CAPPED)
def test_a_rate_cap_slows_a_transfer_and_the_stall_limit_still_holds(sandbox, ftp_server,
                                                                      sftp_server, mode):
    size, cap = 2 << 20, 512
    content = os.urandom(size)
    (sandbox.scan / "big.bin").write_bytes(content)
    if mode == "sftp":
        sandbox.link_ssh_tools()
        sandbox.write_ssh_config(sftp_server)
        server, url = sftp_server, sftp_server.url("in")
    else:
        server, url = ftp_server, ftp_server.url("in/")
    (server.root / "in").mkdir()
    sandbox.write_settings(scanfolder=sandbox.scan, remoteurl=url, username="ferry",
                           password="s3cret", stalltime=STALL, ratelimit=cap)

    started = time.monotonic()
    result = sandbox.run("upload", timeout=60)
    took = time.monotonic() - started

    assert (server.root / "in" / "big.bin").read_bytes() == content, result
    assert took > 0.6 * size / (cap * 1024), f"{took:.1f} s: the cap did not hold"
    assert took < 3 * size / (cap * 1024), f"{took:.1f} s: far below the cap"
