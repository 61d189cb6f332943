"""`upload` in SFTP mode: one real sftp session (OpenSSH sftp, ssh, sshpass) against the
real asyncssh server, driven through the unmodified binary in the sandbox."""
import os
import re

import pytest

from harness import ERR, NOTICE

STARTED = (NOTICE, "started")
EXITED = (NOTICE, "exited")
REFERENCE = 1_600_000_000  # modification time of the timestamp file
QUEUE_END = "lmkdir /var/crateFerry/sftp_end"
UNREAD_QUEUE = "file upload has failed(sftp did not read the whole queue)"
GENERIC_FAILURE = "file upload has failed(check host or credentials)"
LINE_FEED_REFUSAL = "File %s cannot be sent by sftp: its name holds a line feed"


def prepare(sandbox, sftp_server, remoteurl=None, password="s3cret", ruploaded=0, **more):
    """SFTP tools and ssh_config in place, the server's folder "in", the reference time
    set, settings for SFTP mode. Returns the server folder the URL names."""
    sandbox.link_ssh_tools()
    sandbox.write_ssh_config(sftp_server)
    (sftp_server.root / "in").mkdir(exist_ok=True)
    timestamp = sandbox.data / "timestamp"
    timestamp.write_text("")
    os.utime(timestamp, (REFERENCE, REFERENCE))
    sandbox.write_settings(scanfolder=sandbox.scan,
                           remoteurl=sftp_server.url("in") if remoteurl is None else remoteurl,
                           username="ferry", password=password, ruploaded=ruploaded, **more)
    return sftp_server.root / "in"


def pending_file(sandbox, name, content):
    """A file modified now, later than the reference time: pending."""
    path = sandbox.scan / name
    path.write_bytes(content)
    return path


def settled_file(sandbox, name, content=b"settled"):
    """A file modified before the reference time: not pending."""
    path = pending_file(sandbox, name, content)
    os.utime(path, (REFERENCE - 100, REFERENCE - 100))
    return path


def is_pending(path):
    return path.exists() and int(path.stat().st_mtime) > REFERENCE


def session_file(name, session):
    """The working file `name` of session `session`, counted from 0."""
    return name if session == 0 else f"{name}.{session + 1}"


def queued_paths(sandbox, sessions=1):
    """The scan folder's paths of the files the put lines of the queue files send, session
    after session, for names without escapes: each line sends the session's link named
    as the file, to the open file (/proc/self/fd/N)."""
    paths = []
    for session in range(sessions):
        lines = (sandbox.work / session_file("sftp_list", session)).read_text().splitlines()
        end = session_file(QUEUE_END, session)
        if lines and lines[-1] == end:  # added only when the session runs
            lines.pop()
        links = "/var/crateFerry/" + session_file("sftp_files", session)
        assert all(re.fullmatch(f"put {re.escape(links)}/[^ /]+", line) for line in lines), lines
        paths += [str(sandbox.scan / line.rsplit("/", 1)[1]) for line in lines]
    return paths


def failure_message(sandbox, session=0):
    """The log text of a failed batch: every line of sftp's error text, cut at its first
    line end, followed by "; ". ssh talks through sshpass's terminal, so its lines end
    in CR LF and one even begins with a CR (an empty line in the log)."""
    text = (sandbox.work / session_file("sftp_error", session)).read_bytes().decode(
        errors="surrogateescape")
    if not text:
        return GENERIC_FAILURE
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return "file upload has failed(" + "".join(line.split("\r")[0] + "; " for line in lines) + ")"


BATCH = {"a.jpg": os.urandom(1000), "b.bin": os.urandom(300_000), "empty": b"",
         ".hidden": b"dot file", "c.txt": b"line\r\nend\n"}


# (RUPLOADED, MOD_CRATEFERRY_PARALLEL, sessions it runs at once)
BATCH_WAYS = [
    pytest.param(0, 0, 1, id="files are stamped"),
    pytest.param(1, 0, 1, id="files are deleted"),
    pytest.param(1, 3, 3, id="3 sessions at once"),
    pytest.param(0, 16, 5, id="never more sessions than files"),
]


@pytest.mark.parametrize("ruploaded, parallel, sessions", BATCH_WAYS)
def test_a_batch_arrives_whole_and_is_finished_in_queue_order(sandbox, sftp_server, ruploaded,
                                                             parallel, sessions):
    remote = prepare(sandbox, sftp_server, ruploaded=ruploaded, parallel=parallel)
    sftp_server.await_sessions(sessions)
    for name, content in BATCH.items():
        pending_file(sandbox, name, content)
    settled = settled_file(sandbox, "old.txt")

    result = sandbox.run("upload")

    assert {p.name: p.read_bytes() for p in remote.iterdir()} == BATCH, result
    for session in range(sessions):
        queue_file = sandbox.work / session_file("sftp_list", session)
        assert queue_file.read_text().endswith(session_file(QUEUE_END, session) + "\n")
    assert not (sandbox.work / session_file("sftp_list", sessions)).exists()
    queue = queued_paths(sandbox, sessions)
    assert sorted(queue) == sorted(str(sandbox.scan / name) for name in BATCH)
    expected = [STARTED]
    for path in queue:
        expected.append((NOTICE, f"File {path} was uploaded"))
        if ruploaded:
            expected.append((NOTICE, f"File {path} was removed"))
    assert result.entries() == expected + [EXITED], result
    for name in BATCH:
        local = sandbox.scan / name
        if ruploaded:
            assert not local.exists()
        else:
            assert local.stat().st_mtime == REFERENCE and local.stat().st_atime == REFERENCE
    assert settled.stat().st_mtime == REFERENCE - 100
    assert result.process_count("sftp") == sessions
    assert sftp_server.most_in_use() == sessions


@pytest.mark.parametrize("remoteurl, folder", [
    pytest.param("sftp://127.0.0.1/in", "in", id="a URL with a folder puts the files there"),
    pytest.param("sftp://127.0.0.1", "", id="a URL without folder puts them in the login folder"),
    pytest.param("SFTP://127.0.0.1/in", "in", id="the scheme in capitals selects SFTP mode too"),
])
def test_the_url_folder_decides_where_files_land(sandbox, sftp_server, remoteurl, folder):
    prepare(sandbox, sftp_server, remoteurl=remoteurl)
    pending_file(sandbox, "one.txt", b"one")
    result = sandbox.run("upload")
    assert result.notice(f"File {sandbox.scan / 'one.txt'} was uploaded"), result
    assert list(sftp_server.root.rglob("one.txt")) == [sftp_server.root / folder / "one.txt"]


def test_no_pending_file_runs_no_sftp_and_leaves_no_queue(sandbox, sftp_server):
    prepare(sandbox, sftp_server)
    at_reference = settled_file(sandbox, "at_reference.txt")
    os.utime(at_reference, (REFERENCE, REFERENCE))  # equal is not later: not pending
    (sandbox.work / "sftp_list").write_text("put /left/from/an/earlier/run\n")
    result = sandbox.run("upload")
    assert result.entries() == [STARTED, EXITED], result
    assert result.process_count("sftp") == 0 and result.process_count("sshpass") == 0
    assert not (sandbox.work / "sftp_list").exists()
    assert list((sftp_server.root / "in").iterdir()) == []


def test_wrong_password_logs_the_error_text_and_keeps_every_file_pending(sandbox, sftp_server):
    prepare(sandbox, sftp_server, password="not-the-password", ruploaded=1)
    files = [pending_file(sandbox, name, name.encode()) for name in ("a", "b")]
    result = sandbox.run("upload")
    message = failure_message(sandbox)
    assert result.entries() == [STARTED, (ERR, message), EXITED], result
    assert all(is_pending(f) for f in files)
    assert list((sftp_server.root / "in").iterdir()) == []


HOSTILE_PASSWORD = "p$ \"q\\ 'r` :#x"


def test_a_password_of_shell_and_ssh_characters_authenticates(sandbox, sftp_server):
    sftp_server.add_user("ferry", HOSTILE_PASSWORD)
    remote = prepare(sandbox, sftp_server, password=HOSTILE_PASSWORD)
    pending_file(sandbox, "a.txt", b"hostile password")
    result = sandbox.run("upload")
    assert result.notice(f"File {sandbox.scan / 'a.txt'} was uploaded"), result
    assert (remote / "a.txt").read_bytes() == b"hostile password"


def test_an_ftp_url_with_sftp_in_its_folder_is_sent_with_curl(sandbox, sftp_server, ftp_server):
    (ftp_server.root / "sftp-in").mkdir()
    prepare(sandbox, sftp_server, remoteurl=ftp_server.url("sftp-in/"), ruploaded=1)
    files = [pending_file(sandbox, name, name.encode()) for name in ("a", "b")]
    result = sandbox.run("upload")
    assert not any(r.priority == ERR for r in result.log), result
    assert all(result.notice(f"File {f} was uploaded") for f in files), result
    assert {p.name: p.read_bytes() for p in (ftp_server.root / "sftp-in").iterdir()} == \
        {"a": b"a", "b": b"b"}
    assert not any(f.exists() for f in files)
    assert result.process_count("sftp") == 0 and result.process_count("curl") == 2
    assert not (sandbox.work / "sftp_list").exists()


@pytest.mark.parametrize("parallel", [0, 2], ids=["one session", "2 sessions at once"])
def test_one_refused_file_fails_its_session_and_only_its_files_stay(sandbox, sftp_server,
                                                                   parallel):
    remote = prepare(sandbox, sftp_server, ruploaded=1, parallel=parallel)
    names = ("a", "refused", "c", "d")
    files = [pending_file(sandbox, name, name.encode() * 100) for name in names]
    sftp_server.refuse_writes("refused")
    walk = os.listdir(sandbox.scan)  # the order the program meets them
    sessions = max(parallel, 1)
    session_of = {name: walk.index(name) * sessions // len(walk) for name in names}
    failed = session_of["refused"]
    result = sandbox.run("upload")
    # sftp itself exits 0 here: only its error text tells of the failed put.
    sftp_runs = [p for p in result.processes if p.name == "sftp"]
    assert [p.status for p in sftp_runs] == [0] * sessions, result.processes
    message = failure_message(sandbox, failed)
    assert "Permission denied" in message
    finished = []
    for path in queued_paths(sandbox, sessions):
        if session_of[os.path.basename(path)] != failed:
            finished += [(NOTICE, f"File {path} was uploaded"), (NOTICE, f"File {path} was removed")]
    assert result.entries() == [STARTED, (ERR, message)] + finished + [EXITED], result
    for path in files:
        assert is_pending(path) == (session_of[path.name] == failed), path
    assert ("refused", "refused") in sftp_server.events()
    assert not (remote / "refused").exists()


def test_a_url_folder_naming_a_file_fails_as_an_unread_queue(sandbox, sftp_server):
    remote = prepare(sandbox, sftp_server, remoteurl=sftp_server.url("in/afile"), ruploaded=1)
    (remote / "afile").write_bytes(b"a remote file, not a folder")
    files = [pending_file(sandbox, name, b"x") for name in ("a", "b")]
    result = sandbox.run("upload")
    assert result.entries() == [STARTED, (ERR, UNREAD_QUEUE), EXITED], result
    assert all(is_pending(f) for f in files)
    assert sorted(p.name for p in remote.iterdir()) == ["afile"]


# Each name arrives as itself. Decoys are files that a glob or a shell would take
# for the hostile name; they are not pending, so the server must never see them.
HOSTILE_NAMES = [
    pytest.param("a b  c", [], id="blanks"),
    pytest.param("x;touch PWNED", ["x"], id="a semicolon"),
    pytest.param("$(touch PWNED)", [], id="a command substitution"),
    pytest.param("`touch PWNED`", [], id="backquotes"),
    pytest.param("it's \"quoted\"", [], id="both quote characters"),
    pytest.param("back\\slash\\", ["backslash"], id="backslashes"),
    pytest.param("star*", ["starlet", "star"], id="a star"),
    pytest.param("what?", ["whatX"], id="a question mark"),
    pytest.param("[ab]", ["a", "b"], id="brackets"),
    pytest.param("{a,b}", ["a", "b"], id="braces"),
    pytest.param("\\*", ["x"], id="an escaped star"),
    pytest.param("#hash #", [], id="hash signs"),
    pytest.param("~root", [], id="a leading tilde"),
    pytest.param("-rf", [], id="a leading dash"),
    pytest.param("!touch PWNED", [], id="a leading bang"),
    pytest.param("cr\rname", ["cr"], id="a carriage return"),
    pytest.param("naïve ñ €.txt", [], id="non-ASCII"),
    pytest.param("\x01ctl\t", [], id="control characters"),
]


def no_injected_command_ran(sandbox, sftp_server):
    places = [sandbox.home, sandbox.scan, sandbox.work, sandbox.root, sftp_server.root]
    return [p for place in places for p in place.rglob("PWNED")] == []


@pytest.mark.parametrize("name, decoys", HOSTILE_NAMES)
def test_a_hostile_name_arrives_as_itself(sandbox, sftp_server, name, decoys):
    remote = prepare(sandbox, sftp_server, ruploaded=1)
    for decoy in decoys:
        settled_file(sandbox, decoy, b"decoy")
    content = os.urandom(64)
    path = pending_file(sandbox, name, content)
    result = sandbox.run("upload")
    assert result.entries() == [STARTED, (NOTICE, f"File {path} was uploaded"),
                                (NOTICE, f"File {path} was removed"), EXITED], result
    assert {p.name: p.read_bytes() for p in remote.iterdir()} == {name: content}
    assert all((sandbox.scan / decoy).exists() for decoy in decoys)
    assert no_injected_command_ran(sandbox, sftp_server)


def test_a_name_with_a_line_feed_is_refused_and_the_others_go(sandbox, sftp_server):
    remote = prepare(sandbox, sftp_server)
    refused = pending_file(sandbox, "two\nlines", b"kept")
    sent = pending_file(sandbox, "plain", b"sent")
    result = sandbox.run("upload")
    assert result.entries() == [STARTED, (ERR, LINE_FEED_REFUSAL % refused),
                                (NOTICE, f"File {sent} was uploaded"), EXITED], result
    assert is_pending(refused) and refused.read_bytes() == b"kept"
    assert {p.name: p.read_bytes() for p in remote.iterdir()} == {"plain": b"sent"}
