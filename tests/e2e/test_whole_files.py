"""Only whole files are finished, and with MOD_CRATEFERRY_TEMPUPLOAD the server shows
only whole files under their own names: real curl, sftp and servers, the server
holding a write while the test appends to the file being sent."""
import os
import re
import threading

import pytest

from harness import ERR, FAST, NOTICE, names_match, temporary_name

REFERENCE = 1_000_000_000
HOSTILE = ["sp ace 'q' \"d\" #%41.dat", "-lead\\back[1]{a,b}.dat", "grüße\udce9-latin1.dat"]
# 250 bytes: fits the server's file system (255 bytes), ".NAME.TAG.cfpart" would not.
LONG = "a" + "ü" * 124 + "z"
# Past what 32 bits hold, in size and in time: a sparse file (the test FTP server keeps
# its zeros as holes too) and 2040-01-01 00:00 UTC.
OVER_4_GIB = 5 << 30
AFTER_2038 = 2208988800


def changed(path):
    return (NOTICE, f"File {path} changed during its upload, it stays pending")


def prepare(sandbox, ftp_server, sftp_server, mode, **settings):
    """Settings for `mode` ("curl", "curl-batch" or "sftp") into the server's "in";
    returns (server, remote folder)."""
    (sandbox.data / "timestamp").write_text("")
    os.utime(sandbox.data / "timestamp", (REFERENCE, REFERENCE))
    keys = dict(scanfolder=sandbox.scan, username="ferry", password="s3cret", **settings)
    if mode == "curl-batch":
        keys["curlbatch"] = 1
    if mode == "sftp":
        sandbox.link_ssh_tools()
        sandbox.write_ssh_config(sftp_server)
        server, keys["remoteurl"] = sftp_server, sftp_server.url("in")
    else:
        server, keys["remoteurl"] = ftp_server, ftp_server.url("in/")
    (server.root / "in").mkdir()
    sandbox.write_settings(**keys)
    return server, server.root / "in"


def pending(sandbox, name, content):
    path = sandbox.scan / os.fsdecode(os.fsencode(name))
    path.write_bytes(content)
    os.utime(path, (REFERENCE + 60, REFERENCE + 60))
    return path


def is_finished(path, ruploaded):
    return not path.exists() if ruploaded else path.stat().st_mtime == REFERENCE


# mode, MOD_CRATEFERRY_RUPLOADED, MOD_CRATEFERRY_TEMPUPLOAD, what happens
CASES = [
    pytest.param("curl", 0, 0, "appended", id="curl: a file appended to during its upload is not stamped"),
    pytest.param("curl", 1, 0, "appended", id="curl: a file appended to during its upload is not deleted"),
    pytest.param("sftp", 0, 0, "appended", id="sftp: a file appended to during its upload is not stamped"),
    pytest.param("sftp", 1, 1, "appended",
                 id="sftp: a file appended to during its upload is not deleted, nor renamed twice"),
    pytest.param("curl", 1, 1, "hostile names",
                 id="curl: files are written under temporary names, only final names remain"),
    pytest.param("sftp", 0, 1, "hostile names",
                 id="sftp: files are written under temporary names, only final names remain"),
    pytest.param("curl", 1, 1, "rename refused", marks=pytest.mark.fast_clock,
                 id="curl: a refused rename leaves the file pending"),
    pytest.param("sftp", 1, 1, "rename refused", id="sftp: a refused rename leaves the file pending"),
    pytest.param("curl-batch", 1, 0, "appended",
                 id="curl batch: a file appended to during its upload is not deleted"),
    pytest.param("curl-batch", 0, 1, "hostile names",
                 id="curl batch: files are written under temporary names, only final names remain"),
    pytest.param("curl-batch", 1, 1, "rename refused", marks=pytest.mark.fast_clock,
                 id="curl batch: a refused rename leaves the file pending"),
    pytest.param("curl", 1, 1, "long name",
                 id="curl: a 250-byte name goes under a temporary name that fits, nothing is left"),
    pytest.param("curl-batch", 0, 1, "long name",
                 id="curl batch: a 250-byte name goes under a temporary name that fits"),
    pytest.param("sftp", 1, 1, "long name",
                 id="sftp: a 250-byte name goes under a temporary name that fits, nothing is left"),
    pytest.param("curl", 0, 1, "over 4 GiB and after 2038",
                 id="curl: a sparse 5 GiB file and one dated 2040 are sent, counted and stamped"),
    pytest.param("curl-batch", 1, 0, "after 2038",
                 id="curl batch: a file dated 2040 is sent, counted and deleted"),
    pytest.param("sftp", 1, 1, "after 2038",
                 id="sftp: a file dated 2040 is sent, counted and deleted"),
]


@pytest.mark.parametrize("mode, ruploaded, tempupload, scenario", CASES)
def test_only_whole_files_are_finished_and_shown_under_their_names(
        sandbox, ftp_server, sftp_server, mode, ruploaded, tempupload, scenario):
    server, remote = prepare(sandbox, ftp_server, sftp_server, mode, ruploaded=ruploaded,
                             tempupload=tempupload, stalltime=30)

    if scenario == "appended":
        grow = pending(sandbox, "grow.dat", os.urandom(4000))
        written_as = temporary_name("grow.dat") if tempupload else "grow.dat"
        server.hold_writes(written_as)
        outcome = {}
        run = threading.Thread(target=lambda: outcome.update(result=sandbox.run("upload")))
        run.start()
        assert server.wait_for_event("held", written_as), server.events()
        with open(grow, "ab") as f:
            f.write(b"written after the upload tool read the file")
        whole = grow.read_bytes()
        server.release(written_as)
        run.join(60)
        result = outcome["result"]

        assert result.entries()[1:-1] == [changed(grow)], result
        assert grow.read_bytes() == whole and grow.stat().st_mtime > REFERENCE

        again = sandbox.run("upload")

        assert again.notice(f"File {grow} was uploaded"), again
        assert (remote / "grow.dat").read_bytes() == whole
        assert is_finished(grow, ruploaded)
        assert sorted(p.name for p in remote.iterdir()) == ["grow.dat"]

    elif scenario == "hostile names":
        files = {pending(sandbox, name, b"content of " + os.fsencode(name)): os.fsencode(name)
                 for name in HOSTILE + ["plain.dat"]}

        result = sandbox.run("upload")

        assert not any(r.priority == ERR for r in result.log), result
        final = {os.fsdecode(name) for name in files.values()}
        events = server.events()
        opened = {n for e, n in events if e == "opened"}
        assert len(opened) == len(final), events
        assert all(any(names_match(temporary_name(n), o) for o in opened) for n in final), events
        assert {n for e, n in events if e == "renamed"} == final, events
        assert {p.name for p in remote.iterdir()} == final
        for path, name in files.items():
            assert (remote / os.fsdecode(name)).read_bytes() == b"content of " + name
            assert is_finished(path, ruploaded), path

    elif scenario == "long name":
        assert len(LONG.encode()) == 250
        files = [pending(sandbox, name, name.encode() * 3) for name in (LONG, "plain.dat")]

        result = sandbox.run("upload")

        assert not any(r.priority == ERR for r in result.log), result
        for path in files:
            assert result.notice(f"File {path} was uploaded"), result
            assert (remote / path.name).read_bytes() == path.name.encode() * 3
            assert is_finished(path, ruploaded), path
        assert {p.name for p in remote.iterdir()} == {LONG, "plain.dat"}
        opened = [n for e, n in server.events() if e == "opened"]
        temporary = [n for n in opened if not names_match(temporary_name("plain.dat"), n)]
        assert len(temporary) == 1 and len(opened) == 2, opened
        # Hidden, cut whole letters short, the hash of the name, the run's tag, the
        # suffix: 255 bytes.
        assert re.fullmatch(r"\.a(ü){110}\.[0-9a-f]{16}\.[0-9a-f]{8}\.cfpart", temporary[0]), temporary
        assert len(temporary[0].encode()) <= 255

    elif scenario.endswith("after 2038"):
        late = pending(sandbox, "late.dat", b"written by a clock past 2038")
        os.utime(late, (AFTER_2038, AFTER_2038))
        sizes = {late: len(late.read_bytes())}
        if scenario.startswith("over 4 GiB"):
            big = pending(sandbox, "big.dat", b"")
            os.truncate(big, OVER_4_GIB)
            os.utime(big, (REFERENCE + 60, REFERENCE + 60))
            sizes[big] = OVER_4_GIB

        result = sandbox.run("upload", timeout=120)

        assert not any(r.priority == ERR for r in result.log), result
        assert re.fullmatch(rf"upload summary: {len(sizes)} sent, 0 failed, 0 changed, 0 refused, "
                            rf"0 left pending, {sum(sizes.values())} bytes sent in \S+ s",
                            result.summary), result
        for path, size in sizes.items():
            assert result.notice(f"File {path} was uploaded"), result
            assert (remote / path.name).stat().st_size == size
            assert is_finished(path, ruploaded), path
        assert (remote / "late.dat").read_bytes() == b"written by a clock past 2038"

    else:  # rename refused
        kept = pending(sandbox, "kept.dat", b"kept")
        server.refuse_renames("kept.dat")

        result = sandbox.run("upload", faketime=None if mode == "sftp" else FAST)

        assert not result.has(f"File {kept} was uploaded"), result
        failures = [r for r in result.log if r.priority == ERR
                    and r.message.startswith("file upload has failed(")]
        assert len(failures) == (1 if mode == "sftp" else 3), result
        assert kept.read_bytes() == b"kept" and kept.stat().st_mtime == REFERENCE + 60
        assert not (remote / "kept.dat").exists()
        left = [p.name for p in remote.iterdir()]
        assert len(left) == 1 and names_match(temporary_name("kept.dat"), left[0]), left
