"""The upload operation in curl mode, through the real binary and a real FTP server."""
import os
from pathlib import Path

import pytest

from harness import ERR, FAST, NOTICE

STARTED = (NOTICE, "started")
EXITED = (NOTICE, "exited")
REFERENCE = 1_000_000_000  # the timestamp file's modification time in most tests


def make_file(folder, name, content=b"", mtime=REFERENCE + 60):
    path = Path(folder) / name
    path.write_bytes(content)
    os.utime(path, (mtime, mtime))
    return path


def set_reference(sandbox, mtime=REFERENCE):
    make_file(sandbox.data, "timestamp", mtime=mtime)


def setup_upload(sandbox, ftp_server, folder="in", scanfolder=None, **settings):
    """The scan folder uploads into ftp_server's `folder` as user ferry; returns that folder."""
    remote = ftp_server.root / folder
    remote.mkdir(parents=True, exist_ok=True)
    keys = dict(scanfolder=sandbox.scan if scanfolder is None else scanfolder,
                remoteurl=ftp_server.url(folder + "/"), username="ferry", password="s3cret")
    if settings.get("curlbatch", 0) > 1:  # the batch, that many transfers at once
        settings.update(curlbatch=1, parallel=settings["curlbatch"])
    if settings.get("curlbatch", 0) < 0:  # per-file mode, that many transfers at once
        settings.update(curlbatch=0, parallel=-settings["curlbatch"])
    keys.update({k: v for k, v in settings.items() if not (k == "curlbatch" and v == 0)})
    sandbox.write_settings(**keys)
    return remote


@pytest.fixture(params=[0, 1, 4, -4],
                ids=["per-file", "batch", "batch, 4 at once", "per-file, 4 at once"])
def curlbatch(request):
    """MOD_CRATEFERRY_CURLBATCH for the tests that hold for every curl mode; 4 stands
    for the batch with MOD_CRATEFERRY_PARALLEL=4, -4 for per-file mode with it."""
    return request.param


def at_once(curlbatch):
    """Transfers at once of a curlbatch fixture value."""
    return max(abs(curlbatch), 1) if abs(curlbatch) > 1 else 1


def logins(ftp_server):
    return ftp_server.server_log().count("logged in.")


def uploaded(path):
    return (NOTICE, f"File {path} was uploaded")


def pwned_files(sandbox, ftp_server):
    """Every file named PWNED in the test's folders (sandbox, scan folder, home, the
    servers' folders) and in /tmp and / themselves."""
    found = list(Path(sandbox.root).parent.rglob("PWNED"))
    found += list(ftp_server.root.rglob("PWNED"))
    found += [p for p in (Path("/tmp/PWNED"), Path("/PWNED")) if p.exists()]
    return found


def test_only_files_modified_after_the_reference_time_are_sent_and_then_stamped(sandbox, ftp_server,
                                                                             curlbatch):
    remote = setup_upload(sandbox, ftp_server, curlbatch=curlbatch)
    set_reference(sandbox)
    content = bytes(range(256)) * 3 + b"\r\n\0end"
    before = make_file(sandbox.scan, "before.dat", b"before", REFERENCE - 1)
    at = make_file(sandbox.scan, "at.dat", b"at", REFERENCE)
    after = make_file(sandbox.scan, "after.dat", content, REFERENCE + 1)
    os.utime(after, (REFERENCE + 500, REFERENCE + 1))  # atime differs too

    result = sandbox.run("upload")

    assert result.entries() == [STARTED, uploaded(after), EXITED], result
    assert sorted(p.name for p in remote.iterdir()) == ["after.dat"]
    assert (remote / "after.dat").read_bytes() == content
    assert (after.stat().st_atime, after.stat().st_mtime) == (REFERENCE, REFERENCE)
    assert before.stat().st_mtime == REFERENCE - 1 and at.stat().st_mtime == REFERENCE
    assert result.process_count("curl") == 1


def test_without_timestamp_file_every_file_after_the_epoch_is_sent_and_stamped_to_0(sandbox, ftp_server):
    remote = setup_upload(sandbox, ftp_server)
    old = make_file(sandbox.scan, "old.dat", b"old", 1)
    new = make_file(sandbox.scan, "new.dat", b"new", REFERENCE)
    epoch = make_file(sandbox.scan, "epoch.dat", b"epoch", 0)

    result = sandbox.run("upload")

    assert sorted(result.entries()[1:-1]) == sorted([uploaded(old), uploaded(new)]), result
    assert sorted(p.name for p in remote.iterdir()) == ["new.dat", "old.dat"]
    for path in (old, new, epoch):
        assert (path.stat().st_atime, path.stat().st_mtime) == (0, 0), path


def test_a_second_run_sends_nothing_again(sandbox, ftp_server):
    remote = setup_upload(sandbox, ftp_server)
    set_reference(sandbox)
    sent = make_file(sandbox.scan, "once.dat", b"once")
    assert sandbox.run("upload").notice(f"File {sent} was uploaded")
    (remote / "once.dat").unlink()

    result = sandbox.run("upload")

    assert result.entries() == [STARTED, EXITED], result
    assert not (remote / "once.dat").exists() and result.process_count("curl") == 0


def test_ruploaded_deletes_each_file_after_its_upload(sandbox, ftp_server, curlbatch):
    remote = setup_upload(sandbox, ftp_server, ruploaded=1, curlbatch=curlbatch)
    set_reference(sandbox)
    sent = make_file(sandbox.scan, "sent.dat", b"payload")
    kept = make_file(sandbox.scan, "kept.dat", b"old", REFERENCE)

    result = sandbox.run("upload")

    assert result.entries() == [STARTED, uploaded(sent), (NOTICE, f"File {sent} was removed"),
                                EXITED], result
    assert not sent.exists() and (remote / "sent.dat").read_bytes() == b"payload"
    assert kept.exists() and not (remote / "kept.dat").exists()


# How a deletion comes to fail inside the sandbox, and what stamping then does.
UNDELETABLE = [
    pytest.param("mount --bind {file} {file}", "Device or resource busy", None,
                 id="a file that is a mount point is uploaded, not removed, and stamped"),
    pytest.param("mount --bind {folder} {folder} && mount -o remount,bind,ro {folder}",
                 "Read-only file system",
                 "modification of file {file} failed: Read-only file system",
                 id="a file in a read-only folder is uploaded, not removed, and stays pending"),
]


@pytest.mark.parametrize("mount, reason, stamp_error", UNDELETABLE)
def test_a_failed_deletion_is_logged_and_the_file_is_stamped(sandbox, ftp_server, mount, reason,
                                                              stamp_error):
    remote = setup_upload(sandbox, ftp_server, ruploaded=1)
    set_reference(sandbox)
    stuck = make_file(sandbox.scan, "stuck.dat", b"stuck", REFERENCE + 7)
    prepared = sandbox.shell(mount.format(file=stuck, folder=sandbox.scan))
    assert prepared.returncode == 0, prepared.stderr

    result = sandbox.run("upload")

    expected = [STARTED, uploaded(stuck), (ERR, f"Removing file {stuck} has failed({reason})")]
    if stamp_error:
        expected.append((NOTICE, stamp_error.format(file=stuck)))
    assert result.entries() == expected + [EXITED], result
    assert stuck.exists() and (remote / "stuck.dat").read_bytes() == b"stuck"
    assert stuck.stat().st_mtime == (REFERENCE + 7 if stamp_error else REFERENCE)


# A server that is down or refuses the login: the first file gets its 3 attempts, and
# the run then leaves every other file for the next run.
DEAD_SERVERS = [
    pytest.param("wrong password", 67, 2, id="a refused login, 2 files"),
    pytest.param("down", 7, 50, id="a refused connection, 50 files"),
]


@pytest.mark.fast_clock
@pytest.mark.parametrize("server, code, count", DEAD_SERVERS)
def test_a_dead_server_ends_the_run_after_the_first_files_attempts(sandbox, ftp_server, curlbatch,
                                                                   server, code, count):
    password = "wrong" if server == "wrong password" else "s3cret"
    remote = setup_upload(sandbox, ftp_server, password=password, curlbatch=curlbatch)
    set_reference(sandbox)
    files = [make_file(sandbox.scan, f"f{i:02}.dat", b"x", REFERENCE + 5) for i in range(count)]
    if server == "down":
        ftp_server.kill()

    result = sandbox.run("upload", faketime=FAST)

    # The first failure ends every run at once; the first file's retries follow.
    runs = at_once(curlbatch)
    # Runs at once that the first failure ends before their shell started curl run no
    # curl: up to one per other run may be missing.
    curls = result.process_count("curl")
    assert (3 <= curls <= min(runs, count) + 2) if runs > 1 else curls == 3, result
    failures = result.entries()[1:-2]
    assert len(failures) == 3, result
    for priority, message in failures:
        assert priority == ERR and message.startswith(f"file upload has failed(curl: ({code}) "), result
        assert message.endswith(")") and len(message) <= len("file upload has failed()") + 63
    assert result.entries()[-2] == (ERR, "upload stopped: the server could not be reached or "
                                         f"refused the login: {count - 1} more files left pending")
    assert server == "down" or list(remote.iterdir()) == []
    assert all(f.stat().st_mtime == REFERENCE + 5 for f in files)


def test_subfolders_and_links_are_skipped_and_dot_files_sent(sandbox, ftp_server):
    remote = setup_upload(sandbox, ftp_server)
    set_reference(sandbox)
    dot = make_file(sandbox.scan, ".hidden", b"dot")
    sub = sandbox.scan / "sub"
    sub.mkdir()
    inner = make_file(sub, "inner.dat", b"inner")
    (sandbox.scan / "link.dat").symlink_to(inner)
    os.utime(sub, (REFERENCE + 60, REFERENCE + 60))

    result = sandbox.run("upload")

    assert result.entries() == [STARTED, uploaded(dot), EXITED], result
    assert sorted(p.name for p in remote.iterdir()) == [".hidden"]
    assert (remote / ".hidden").read_bytes() == b"dot"
    assert inner.stat().st_mtime == REFERENCE + 60 and sub.stat().st_mtime == REFERENCE + 60


def test_a_missing_scan_folder_cannot_be_opened(sandbox, ftp_server):
    missing = sandbox.scan / "missing"
    setup_upload(sandbox, ftp_server, scanfolder=missing)

    result = sandbox.run("upload")

    assert result.entries() == [STARTED, (ERR, f"Cannot open dir: {missing}"), EXITED], result
    assert result.process_count("curl") == 0


HOSTILE_NAMES = [
    pytest.param("x;touch PWNED", id="a semicolon starts no command"),
    pytest.param("$(touch PWNED)", id="a command substitution is not run"),
    pytest.param("`touch PWNED`", id="backquotes are not run"),
    pytest.param("it's", id="a single quote stays"),
    pytest.param('say "hi"', id="double quotes stay"),
    pytest.param("back\\slash", id="a backslash stays"),
    pytest.param("\\n\\t", id="backslash letters stay as they are"),
    pytest.param("two  blanks ", id="blanks stay"),
    pytest.param("*", id="a star is no glob"),
    pytest.param("a?c", id="a question mark is no glob"),
    pytest.param("[ab]", id="brackets are no curl glob"),
    pytest.param("{a,b}", id="braces are no curl glob"),
    pytest.param("#hash", id="a hash starts no comment"),
    pytest.param("%41%2F", id="percent signs are not decoded"),
    pytest.param("-T", id="a leading dash is no option"),
    pytest.param("grüße-日本", id="non-ASCII letters stay"),
    pytest.param("a&b|c>d", id="ampersand, pipe and redirection stay"),
]


@pytest.mark.parametrize("name", HOSTILE_NAMES)
def test_a_hostile_file_name_arrives_byte_identical_and_runs_nothing(sandbox, ftp_server, name,
                                                                    curlbatch):
    remote = setup_upload(sandbox, ftp_server, curlbatch=curlbatch)
    set_reference(sandbox)
    content = b"content of " + name.encode()
    hostile = make_file(sandbox.scan, name, content)

    result = sandbox.run("upload")

    assert result.entries() == [STARTED, uploaded(hostile), EXITED], result
    assert [p.name for p in remote.iterdir()] == [name]
    assert (remote / name).read_bytes() == content
    assert hostile.stat().st_mtime == REFERENCE
    assert pwned_files(sandbox, ftp_server) == []


HOSTILE_PASSWORDS = [
    pytest.param("pa$HOME", id="a dollar sign"),
    pytest.param('pa"ss', id="a double quote"),
    pytest.param("pa\\ss\\n", id="backslashes"),
    pytest.param("pa'ss", id="a single quote"),
    pytest.param("pa`touch PWNED`", id="backquotes"),
    pytest.param("pa ss", id="a blank"),
    pytest.param("pa:ss", id="a colon"),
    pytest.param("#pass", id="a leading hash"),
    pytest.param("$ \" \\ ' ` : # $(touch PWNED)", id="all of them"),
]


@pytest.mark.parametrize("password", HOSTILE_PASSWORDS)
def test_a_password_of_any_content_authenticates(sandbox, ftp_server, password):
    ftp_server.add_user("hostile", password, home="hostile")
    remote = setup_upload(sandbox, ftp_server, folder="hostile/in", username="hostile",
                          password=password,
                          remoteurl=f"ftp://127.0.0.1:{ftp_server.port}/in/")
    set_reference(sandbox)
    sent = make_file(sandbox.scan, "sent.dat", b"sent")

    result = sandbox.run("upload")

    assert result.entries() == [STARTED, uploaded(sent), EXITED], result
    assert (remote / "sent.dat").read_bytes() == b"sent"
    assert pwned_files(sandbox, ftp_server) == []


@pytest.mark.parametrize("ruploaded", [0, 1], ids=["stamping", "deleting"])
def test_a_path_longer_than_255_characters_is_never_cut_to_a_sibling(sandbox, ftp_server,
                                                                    ruploaded):
    # A folder of about 200 characters, a file whose path runs past 255, and a sibling
    # whose name makes its path exactly the first 255 characters of the long path.
    folder = sandbox.scan / ("f" * (200 - len(str(sandbox.scan)) - 1))
    folder.mkdir()
    long_name = "long-" + "n" * 100 + ".dat"
    long_path = folder / long_name
    cut_name = str(long_path)[:255][len(str(folder)) + 1:]
    assert len(str(folder)) == 200 and len(str(long_path)) > 255 and 0 < len(cut_name) < 60
    remote = setup_upload(sandbox, ftp_server, scanfolder=folder, ruploaded=ruploaded)
    set_reference(sandbox)
    make_file(folder, long_name, b"the long one", REFERENCE + 9)
    sibling = make_file(folder, cut_name, b"the sibling", REFERENCE)

    result = sandbox.run("upload")

    expected = [STARTED, uploaded(long_path)]
    if ruploaded:
        expected.append((NOTICE, f"File {long_path} was removed"))
    assert result.entries() == expected + [EXITED], result
    assert sorted(p.name for p in remote.iterdir()) == [long_name]
    assert (remote / long_name).read_bytes() == b"the long one"
    assert sibling.read_bytes() == b"the sibling" and sibling.stat().st_mtime == REFERENCE
    if ruploaded:
        assert not long_path.exists()
    else:
        assert long_path.stat().st_mtime == REFERENCE


# Names the FTP command channel cannot carry: refused before any attempt.
UNSENDABLE_NAMES = [
    pytest.param(b"\xff\xfeAiac.bin", 0xFF, id="0xFF, Telnet's IAC, is refused"),
    pytest.param(b"tab\there", 0x09, id="a tab is refused"),
    pytest.param(b"cr\rname", 0x0D, id="a carriage return is refused"),
]


@pytest.mark.parametrize("name, byte", UNSENDABLE_NAMES)
def test_a_name_the_ftp_channel_cannot_carry_is_refused_once_and_the_others_sent(
        sandbox, ftp_server, name, byte):
    remote = setup_upload(sandbox, ftp_server)
    set_reference(sandbox)
    refused = make_file(sandbox.scan, os.fsdecode(name), b"refused")
    sent = make_file(sandbox.scan, "sent.dat", b"sent")

    result = sandbox.run("upload")

    refusal = (ERR, f"File {refused} cannot be sent over FTP: its name holds the "
                    f"byte 0x{byte:02X}")
    assert sorted(result.entries()[1:-1]) == sorted([refusal, uploaded(sent)]), result
    assert result.process_count("curl") == 1
    assert os.listdir(os.fsencode(remote)) == [b"sent.dat"]
    assert os.stat(refused).st_mtime == REFERENCE + 60


@pytest.mark.fast_clock
@pytest.mark.parametrize("ruploaded", [0, 1], ids=["stamping", "deleting"])
def test_a_file_refused_mid_batch_is_retried_alone_and_the_others_finished(sandbox, ftp_server,
                                                                           curlbatch, ruploaded):
    remote = setup_upload(sandbox, ftp_server, curlbatch=curlbatch, ruploaded=ruploaded)
    set_reference(sandbox)
    names = ["a.dat", "b.dat", "c.dat", "d.dat"]
    files = [make_file(sandbox.scan, name, name.encode()) for name in names]
    (remote / "b.dat").mkdir()  # the server refuses to store a file there
    walk = os.listdir(sandbox.scan)  # the order the program meets them

    result = sandbox.run("upload", faketime=FAST)

    refused = [m for p, m in result.entries() if p == ERR]
    assert len(refused) == 3 and all(m.startswith("file upload has failed(curl: (25) ")
                                      for m in refused), result
    finished = [uploaded(sandbox.scan / n) for n in walk if n != "b.dat"]
    done = [e for e in result.entries() if e[1].endswith("was uploaded")]
    # Transfers at once end in any order; one at a time, in the walk's.
    assert (sorted(done) if at_once(curlbatch) > 1 else done) == \
        (sorted(finished) if at_once(curlbatch) > 1 else finished), str(result)
    assert files[1].stat().st_mtime == REFERENCE + 60
    for path in files[:1] + files[2:]:
        assert (remote / path.name).read_bytes() == path.name.encode()
        assert not path.exists() if ruploaded else path.stat().st_mtime == REFERENCE
    # One curl run (and login) for each group of files between failures, plus one per
    # retry; 4 at once (batch or per file), one run per file, the others going on
    # beside b's.
    before_b = walk.index("b.dat")
    if at_once(curlbatch) > 1:
        runs = len(walk) + 2
    else:
        runs = (1 + (before_b < len(walk) - 1)) + 2 if curlbatch else len(walk) + 2
    assert result.process_count("curl") == runs, result
    assert logins(ftp_server) == runs


@pytest.mark.fast_clock
@pytest.mark.parametrize("verify", [0, 1], ids=["sent as told", "size check"])
def test_a_file_refused_once_goes_alone_and_the_run_goes_on_to_its_end(sandbox, ftp_server,
                                                                      curlbatch, verify):
    remote = setup_upload(sandbox, ftp_server, curlbatch=curlbatch, verify=verify)
    set_reference(sandbox)
    files = [make_file(sandbox.scan, f"f{i}.dat", f"file {i}".encode()) for i in range(6)]
    ftp_server.refuse_stores("f2.dat", times=1)

    result = sandbox.run("upload", faketime=FAST)

    assert result.count("file upload has failed(curl: (25) Failed FTP upload: 451)") == 1, result
    assert sorted(e for e in result.entries() if e[1].endswith("was uploaded")) == \
        sorted(uploaded(f) for f in files), result
    assert result.summary.startswith("upload summary: 6 sent, 0 failed, 0 changed, 0 refused, "
                                     "0 left pending, "), result
    assert result.entries()[-1] == EXITED
    for path in files:
        assert (remote / path.name).read_bytes() == path.read_bytes()
        assert path.stat().st_mtime == REFERENCE


def test_one_curl_run_and_one_login_send_the_whole_batch(sandbox, ftp_server):
    remote = setup_upload(sandbox, ftp_server, curlbatch=1)
    set_reference(sandbox)
    files = [make_file(sandbox.scan, f"f{i:03}.dat", os.urandom(100)) for i in range(30)]
    walk = os.listdir(sandbox.scan)  # the order the program meets them

    result = sandbox.run("upload")

    assert result.entries() == [STARTED] + [uploaded(sandbox.scan / n) for n in walk] + [EXITED]
    assert result.process_count("curl") == 1 and logins(ftp_server) == 1
    assert all((remote / f.name).read_bytes() == f.read_bytes() for f in files)
    assert not (sandbox.work / "curl_batch").exists()


@pytest.mark.parametrize("parallel, most", [(0, 1), (4, 4), (40, 16)],
                         ids=["one at a time", "4 at once", "more than 16 counts as 16"])
def test_runs_at_once_each_keep_one_login_and_finish_every_file_once(sandbox, ftp_server,
                                                                    parallel, most):
    remote = setup_upload(sandbox, ftp_server, curlbatch=1, parallel=parallel, ruploaded=1)
    set_reference(sandbox)
    files = [make_file(sandbox.scan, f"f{i:02}.dat", os.urandom(64 * 1024)) for i in range(40)]
    contents = {f.name: f.read_bytes() for f in files}

    result = sandbox.run("upload")

    assert {p.name: p.read_bytes() for p in remote.iterdir()} == contents, result
    finished = sorted(result.entries()[1:-1])
    assert finished == sorted([uploaded(f) for f in files] +
                              [(NOTICE, f"File {f} was removed") for f in files]), result
    assert result.process_count("curl") == most and logins(ftp_server) == most
    in_use = ftp_server.most_in_use()
    assert (in_use == 1) if most == 1 else (1 < in_use <= most), in_use
