"""Nothing is finished on an assumption: closed standard streams, names that look like
another file's temporary name, settings numbers that do not read, a settings file that
is no regular file, and times within one second. Real binary, real curl and sftp,
real servers; each row says what must hold of the files on both sides."""
import hashlib
import os
import time

import pytest

from harness import ERR, NOTICE, WARNING

REFERENCE = 1_000_000_000
SETTINGS = "/opt/crateFerry/etc/settings"


def old_long_form(name):
    """The hashed temporary form earlier versions gave a long name: now an ordinary name."""
    digest = 0xcbf29ce484222325
    for byte in name.encode():
        digest = ((digest ^ byte) * 0x100000001b3) % (1 << 64)
    return "." + name[:230] + f".{digest:016x}.cfpart"


def pending(sandbox, name, content, mtime=REFERENCE + 60):
    path = sandbox.scan / name
    path.write_bytes(content)
    os.utime(path, (mtime, mtime))
    return path


def stamp_reference(sandbox, seconds=REFERENCE, nanoseconds=0):
    timestamp = sandbox.data / "timestamp"
    timestamp.write_text("")
    os.utime(timestamp, ns=(seconds * 10**9 + nanoseconds,) * 2)


def upload_settings(sandbox, ftp_server, sftp_server, mode, **keys):
    """Settings for `mode` (curl, batch, parallel batch, sftp) into the server's "in";
    returns the remote folder."""
    keys = dict(scanfolder=sandbox.scan, username="ferry", password="s3cret", **keys)
    if mode == "sftp":
        sandbox.link_ssh_tools()
        sandbox.write_ssh_config(sftp_server)
        server, keys["remoteurl"] = sftp_server, sftp_server.url("in")
    else:
        server, keys["remoteurl"] = ftp_server, ftp_server.url("in/")
        keys.update({"batch": dict(curlbatch=1), "parallel batch": dict(curlbatch=1, parallel=2),
                     "curl": {}}[mode])
    remote = server.root / "in"
    remote.mkdir()
    sandbox.write_settings(**keys)
    return remote


# -- closed standard streams, names like temporary names ------------------------------

MODES = ["curl", "batch", "parallel batch", "sftp"]


@pytest.mark.parametrize("mode", MODES)
def test_closed_standard_streams_and_no_syslog_still_send_each_file_whole(
        sandbox, ftp_server, sftp_server, mode):
    stamp_reference(sandbox)
    remote = upload_settings(sandbox, ftp_server, sftp_server, mode, ruploaded=1)
    content = {name: os.urandom(9000) for name in ("first.dat", "second.dat", "third.dat")}
    paths = [pending(sandbox, name, data) for name, data in content.items()]

    result = sandbox.run("upload", closed_streams=True)

    assert result.returncode == 0 and result.log == [], result
    for name, data in content.items():
        assert (remote / name).read_bytes() == data, name
    assert not any(path.exists() for path in paths)


@pytest.mark.parametrize("mode", MODES)
def test_a_name_like_a_temporary_name_never_costs_a_file_on_either_side(
        sandbox, ftp_server, sftp_server, mode):
    stamp_reference(sandbox)
    remote = upload_settings(sandbox, ftp_server, sftp_server, mode, ruploaded=1, tempupload=1)
    long_name = "L" * 250
    names = ["a", ".a.cfpart", long_name, old_long_form(long_name), "b"]
    local = {name: pending(sandbox, name, hashlib.sha256(name.encode()).digest() * 40)
             for name in names}
    sent = {name: path.read_bytes() for name, path in local.items()}
    # A file of an earlier run on the server, under what was b's temporary name.
    (remote / ".b.cfpart").write_bytes(b"sent by an earlier run")
    look_alike = pending(sandbox, ".c.0123abcd.cfpart", b"looks like a temporary name")

    result = sandbox.run("upload")

    assert not any(r.priority == ERR for r in result.log), result
    assert result.has("1 pending files are not sent: their names have the form of this "
                      "program's temporary names", WARNING), result
    for name, data in sent.items():
        assert (remote / name).read_bytes() == data, name
        assert result.notice(f"File {local[name]} was uploaded"), result
        assert not local[name].exists()
    assert (remote / ".b.cfpart").read_bytes() == b"sent by an earlier run"
    assert sorted(p.name for p in remote.iterdir()) == sorted(names + [".b.cfpart"])
    assert look_alike.read_bytes() == b"looks like a temporary name"
    assert ", 1 refused, 1 left pending," in result.summary, result.summary


# -- numbers in the settings ------------------------------------------------------------

def invalid(value, key, instead):
    return (WARNING, f'invalid value "{value}" for MOD_CRATEFERRY_{key} in {SETTINGS}: {instead}')


NO_AGE = "no file is removed by age"
NOT_SET = "it is taken as not set"

# (settings lines after the scan folder's, operation, warnings, files left afterwards)
# The files: finished.dat (finished long ago), new1.dat and new2.dat (never uploaded,
# just as old); every age below would remove all three.
NUMBERS = [
    pytest.param("MOD_CRATEFERRY_TIMECOUNT=thirty\n", "remove",
                 [invalid("thirty", "TIMECOUNT", NO_AGE)], 3, id="a word as TIMECOUNT removes nothing"),
    pytest.param("MOD_CRATEFERRY_TIMECOUNT='30'\n", "remove",
                 [invalid("'30'", "TIMECOUNT", NO_AGE)], 3, id="single quotes remove nothing"),
    pytest.param('MOD_CRATEFERRY_TIMECOUNT="30\n', "remove",
                 [invalid("", "TIMECOUNT", NO_AGE)], 3, id="an unclosed quote removes nothing"),
    pytest.param("MOD_CRATEFERRY_TIMECOUNT=\nMOD_CRATEFERRY_TIMECOUNT=30\n", "remove",
                 [(WARNING, f'MOD_CRATEFERRY_TIMECOUNT is set twice in {SETTINGS}: the line '
                            '"MOD_CRATEFERRY_TIMECOUNT=" is used'),
                  invalid("", "TIMECOUNT", NO_AGE)], 3,
                 id="an empty line before the real one removes nothing, and says so"),
    pytest.param("MOD_CRATEFERRY_TIMECOUNT=-30\n", "remove",
                 [invalid("-30", "TIMECOUNT", NO_AGE)], 3, id="a negative TIMECOUNT is named"),
    pytest.param("MOD_CRATEFERRY_TIMECOUNT=30\nMOD_CRATEFERRY_TIMEUNIT=days\n", "remove",
                 [invalid("days", "TIMEUNIT", NO_AGE)], 3, id="a word as TIMEUNIT removes nothing"),
    pytest.param("MOD_CRATEFERRY_TIMECOUNT=30 # hours\n", "remove",
                 [invalid("30 # hours", "TIMECOUNT", "30 is used")], 0,
                 id="a comment after the number keeps the number"),
    pytest.param("MOD_CRATEFERRY_TIMECOUNT=30\nMOD_CRATEFERRY_TIMEUNIT=4\n"
                 "MOD_CRATEFERRY_TIMECOUNT=100\nMOD_CRATEFERRY_KEEPFREE=-1\n", "remove",
                 [(WARNING, f'MOD_CRATEFERRY_TIMECOUNT is set twice in {SETTINGS}: the line '
                            '"MOD_CRATEFERRY_TIMECOUNT=30" is used'),
                  invalid("-1", "KEEPFREE", NOT_SET)], 3,
                 id="KEEPFREE=-1 sets no floor: nothing young enough is removed"),
    pytest.param("MOD_CRATEFERRY_TIMECOUNT=30\nMOD_CRATEFERRY_KEEPPENDING=yes\n", "remove",
                 [invalid("yes", "KEEPPENDING", "it is taken as 1: pending files are kept")], 2,
                 id="an unreadable KEEPPENDING keeps the pending files"),
    pytest.param("MOD_CRATEFERRY_MINAGE=-1\nMOD_CRATEFERRY_REMOTEURL=file://{out}/\n", "upload",
                 [invalid("-1", "MINAGE", NOT_SET)], 3, id="MINAGE=-1 is no minimum age: files go"),
    pytest.param("MOD_CRATEFERRY_MINAGE=0\nMOD_CRATEFERRY_PARALLEL=0\n"
                 "MOD_CRATEFERRY_REMOTEURL=file://{out}/\n", "upload", [], 3,
                 id="0 where 0 is valid stays silent"),
]


@pytest.mark.parametrize("lines, operation, warnings, left", NUMBERS)
def test_a_number_that_does_not_read_is_named_and_never_means_delete_or_block(
        sandbox, tmp_path, lines, operation, warnings, left):
    stamp_reference(sandbox)
    out = tmp_path / "out"
    out.mkdir()
    files = [pending(sandbox, "finished.dat", b"f", REFERENCE - 60),
             pending(sandbox, "new1.dat", b"1"), pending(sandbox, "new2.dat", b"2")]
    sandbox.write_settings(f'MOD_CRATEFERRY_SCANFOLDER="{sandbox.scan}"\n' +
                           lines.replace("{out}", str(out)))

    result = sandbox.run(operation)

    assert [e for e in result.entries() if e[0] == WARNING and "never uploaded" not in e[1]] \
        == warnings, result
    assert sum(path.exists() for path in files) == left, result
    if operation == "upload":
        assert sorted(p.name for p in out.iterdir()) == ["new1.dat", "new2.dat"], result


# -- the settings file itself -------------------------------------------------------------

SETTINGS_FILES = [
    pytest.param("fifo", "not a regular file", id="a FIFO does not hang the run"),
    pytest.param("folder", "not a regular file", id="a folder"),
    pytest.param("missing", "No such file or directory", id="no settings file"),
]


@pytest.mark.parametrize("name", ["upload", "remove"])
@pytest.mark.parametrize("kind, why", SETTINGS_FILES)
def test_a_settings_file_that_cannot_be_read_ends_the_run_touching_nothing(
        sandbox, kind, why, name):
    old = pending(sandbox, "old.dat", b"old", 0)
    if kind == "fifo":
        os.mkfifo(sandbox.settings_path)
    elif kind == "folder":
        sandbox.settings_path.mkdir()

    started = time.monotonic()
    result = sandbox.run(name, timeout=20)

    assert time.monotonic() - started < 10
    assert result.returncode == 1, result
    assert result.entries() == [(NOTICE, "started"),
                                (ERR, f"Cannot read settings file {SETTINGS}: {why}"),
                                (NOTICE, "exited")], result
    assert old.read_bytes() == b"old" and old.stat().st_mtime == 0


# -- times within one second ------------------------------------------------------------

def test_a_file_written_in_the_timestamps_second_after_it_is_sent_and_stamped(sandbox, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    stamp_reference(sandbox, REFERENCE, 500_000_000)
    after = pending(sandbox, "after.dat", b"after")
    before = pending(sandbox, "before.dat", b"before")
    os.utime(after, ns=(REFERENCE * 10**9 + 700_000_000,) * 2)
    os.utime(before, ns=(REFERENCE * 10**9 + 300_000_000,) * 2)
    sandbox.write_settings(scanfolder=sandbox.scan, remoteurl=f"file://{out}/")

    result = sandbox.run("upload")
    again = sandbox.run("upload")

    assert result.notice(f"File {after} was uploaded"), result
    assert sorted(p.name for p in out.iterdir()) == ["after.dat"]
    assert after.stat().st_mtime_ns == REFERENCE * 10**9 + 500_000_000
    assert before.stat().st_mtime_ns == REFERENCE * 10**9 + 300_000_000
    assert again.summary.startswith("upload summary: 0 sent, 0 failed, 0 changed, 0 refused, "
                                    "0 left pending"), again
