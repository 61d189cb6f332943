"""The scan folder and the download as an attacker or a failing device would make them:
a file swapped for a link or a FIFO mid-run, a planted link, a pending file of a
download's name, a server that dies mid-file, a young file, a full work folder."""
import os
import threading
import time

import pytest

import harness
from harness import ERR, NOTICE, WARNING

REFERENCE = 1_000_000_000
SECRET = b"root only: never leaves the device"
TIME_BOUND = 60  # seconds a run may take; a FIFO used to hang it for good


def make_file(path, content, mtime=REFERENCE + 60):
    path.write_bytes(content)
    os.utime(path, (mtime, mtime))
    return path


def secret_file(tmp_path):
    """A root-only file outside the scan folder, with a time the run must not change."""
    path = make_file(tmp_path / "shadow", SECRET, mtime=REFERENCE - 5000)
    path.chmod(0o600)
    return path


def swap_in(folder, name, kind, target):
    """Renames a symbolic link to `target`, or a FIFO, over `name`."""
    staged = folder / ".staged"
    if kind == "link":
        staged.symlink_to(target)
    else:
        os.mkfifo(staged)
    os.rename(staged, folder / name)


def run_in_background(sandbox, **settings):
    """Starts `upload` in a thread; returns the thread and the box its result lands in."""
    sandbox.write_settings(**settings)
    outcome = {}

    def run():
        outcome["result"] = sandbox.run("upload", timeout=TIME_BOUND)

    thread = threading.Thread(target=run)
    thread.start()
    return thread, outcome


def setup_sftp(sandbox, sftp_server):
    sandbox.link_ssh_tools()
    sandbox.write_ssh_config(sftp_server)
    (sftp_server.root / "in").mkdir(exist_ok=True)
    return sftp_server.url("in"), sftp_server.root / "in"


def setup_ftp(ftp_server):
    (ftp_server.root / "in").mkdir(exist_ok=True)
    return ftp_server.url("in/"), ftp_server.root / "in"


SWAPS = [
    # (mode, what replaces the second file after the walk, RUPLOADED)
    ("per-file", "link", 0),
    ("per-file", "fifo", 1),
    ("batch", "link", 0),
    ("batch", "fifo", 1),
    ("sftp", "link", 1),
    ("sftp", "fifo", 0),
]


@pytest.mark.parametrize("mode, kind, ruploaded", SWAPS,
                         ids=[f"{m}, {k}, ruploaded={r}" for m, k, r in SWAPS])
def test_a_file_swapped_after_the_walk_never_sends_or_touches_what_replaced_it(
        sandbox, ftp_server, sftp_server, tmp_path, mode, kind, ruploaded):
    secret = secret_file(tmp_path)
    make_file(sandbox.data / "timestamp", b"", mtime=REFERENCE)
    originals = {"a.dat": b"first file " * 100, "b.dat": b"second file " * 100}
    for name, content in originals.items():
        make_file(sandbox.scan / name, content)
    server = sftp_server if mode == "sftp" else ftp_server
    url, remote = setup_sftp(sandbox, sftp_server) if mode == "sftp" else setup_ftp(ftp_server)
    for name in originals:
        server.hold_writes(name)

    thread, outcome = run_in_background(
        sandbox, scanfolder=sandbox.scan, remoteurl=url, username="ferry", password="s3cret",
        ruploaded=ruploaded, curlbatch=1 if mode == "batch" else 0)
    # The first file the run sends is held by the server; the other one is swapped
    # meanwhile, after the walk saw it as a regular file.
    held = None
    for _ in range(600):
        held = next((name for event, name in server.events()
                     if event == "held" and name in originals), None)
        if held is not None:
            break
        thread.join(0.05)
    assert held is not None, server.events()
    other = "b.dat" if held == "a.dat" else "a.dat"
    swap_in(sandbox.scan, other, kind, secret)
    for name in originals:
        server.release(name)
    thread.join(TIME_BOUND + 5)
    assert "result" in outcome, f"the run did not end within {TIME_BOUND} s"
    result = outcome["result"]

    for sent in remote.rglob("*"):
        assert SECRET not in sent.read_bytes(), (sent, str(result))
    assert secret.read_bytes() == SECRET and secret.stat().st_mtime == REFERENCE - 5000
    assert (remote / held).read_bytes() == originals[held], result
    other_path = sandbox.scan / other
    if mode == "per-file":
        # Opened only when its turn came: the check on the open file refuses it.
        why = "it is a symbolic link" if kind == "link" else "it is not a regular file"
        assert result.err(f"File {other_path} is not sent: {why}"), result
        assert not (remote / other).exists()
    else:
        # Opened before the swap: the file the walk found is what was sent.
        assert (remote / other).read_bytes() == originals[other], result
        if ruploaded:
            assert result.err(f"Removing file {other_path} has failed"
                              "(it was replaced after the walk)"), result
    # What replaced the name is left as it is.
    assert other_path.is_symlink() if kind == "link" else other_path.is_fifo()
    assert result.entries()[-1] == (NOTICE, "exited"), result


def download_setup(sandbox, ftp_server, out_files, upload_url=None, **settings):
    out = ftp_server.root / "out"
    out.mkdir(exist_ok=True)
    for name, content in out_files.items():
        (out / name).write_bytes(content)
    url, remote = setup_ftp(ftp_server)
    sandbox.write_settings(scanfolder=sandbox.scan, download=1, download_url=ftp_server.url("out/"),
                           download_user="ferry", download_passwd="s3cret",
                           remoteurl=upload_url or url, username="ferry", password="s3cret",
                           **settings)
    return remote


def leftovers(sandbox):
    return [p.name for p in sandbox.scan.iterdir() if p.name.startswith(".crateferry-download.")]


def test_a_download_replaces_a_planted_link_and_never_writes_through_it(sandbox, ftp_server,
                                                                       tmp_path):
    target = secret_file(tmp_path)
    (sandbox.scan / "config.bin").symlink_to(target)
    remote = download_setup(sandbox, ftp_server, {"config.bin": b"from the server"})

    result = sandbox.run("upload")

    assert target.read_bytes() == SECRET and target.stat().st_mtime == REFERENCE - 5000, result
    fetched = sandbox.scan / "config.bin"
    assert not fetched.is_symlink() and fetched.read_bytes() == b"from the server", result
    assert (remote / "config.bin").read_bytes() == b"from the server"
    assert leftovers(sandbox) == []


def test_a_pending_local_file_wins_over_a_download_of_its_name(sandbox, ftp_server):
    make_file(sandbox.data / "timestamp", b"", mtime=REFERENCE)
    local = make_file(sandbox.scan / "report.csv", b"local data, never sent")
    remote = download_setup(sandbox, ftp_server, {"report.csv": b"remote data",
                                                  "other.csv": b"other"})

    result = sandbox.run("upload")

    assert result.has(f"File {local} is not uploaded yet: its download is skipped for this run",
                      WARNING), result
    assert (remote / "report.csv").read_bytes() == b"local data, never sent", result
    assert (remote / "other.csv").read_bytes() == b"other"


def test_a_download_cut_short_is_neither_kept_nor_uploaded(sandbox, ftp_server, tmp_path):
    upload_server = harness.FtpServer(tmp_path / "upload-server")
    try:
        url, remote = setup_ftp(upload_server)
        ftp_server.die_during_download("big.bin")
        download_setup(sandbox, ftp_server, {"big.bin": os.urandom(40000)}, upload_url=url)

        result = sandbox.run("upload")

        assert ("died", "big.bin") in ftp_server.events()
        assert any(r.priority == ERR and r.message.startswith(
            f"getting file {ftp_server.url('out/big.bin')} has failed(") for r in result.log), result
        assert list(sandbox.scan.iterdir()) == [], result
        assert not (remote / "big.bin").exists()
    finally:
        upload_server.kill()


def test_a_file_younger_than_the_minimum_age_waits_for_a_later_run(sandbox, ftp_server):
    url, remote = setup_ftp(ftp_server)
    now = int(time.time())
    young = make_file(sandbox.scan / "young.log", b"still written", mtime=now)
    make_file(sandbox.scan / "old.log", b"done", mtime=now - 7200)
    sandbox.write_settings(scanfolder=sandbox.scan, remoteurl=url, username="ferry",
                           password="s3cret", minage=3600)

    result = sandbox.run("upload")

    assert (remote / "old.log").read_bytes() == b"done", result
    assert not (remote / "young.log").exists()
    assert young.stat().st_mtime == now


@pytest.mark.parametrize("curlbatch", [0, 1], ids=["per-file", "batch"])
def test_a_remote_url_naming_a_file_is_warned_of_once_and_still_used(sandbox, ftp_server,
                                                                    curlbatch):
    _, remote = setup_ftp(ftp_server)
    for name in ("a.dat", "b.dat"):
        make_file(sandbox.scan / name, name.encode())
    sandbox.write_settings(scanfolder=sandbox.scan, remoteurl=ftp_server.url("in/incomng"),
                           username="ferry", password="s3cret", curlbatch=curlbatch)

    result = sandbox.run("upload")

    assert result.count("the remote URL names a file, not a folder: all 2 pending files go to "
                        "that one remote name") == 1, result
    assert result.has("the remote URL names a file, not a folder: all 2 pending files go to "
                      "that one remote name", WARNING)
    assert (remote / "incomng").read_bytes() in (b"a.dat", b"b.dat")


# A tmpfs of a few pages over /var/crateFerry, most of it filled: (pages, pages filled).
FULL_WORK_FOLDER = [
    ("the download list cannot be prepared", 2, 1),
    ("a wrong password leaves no error text", 1, 1),
    ("the batch's results need no room", 2, 1),
]


@pytest.mark.fast_clock
@pytest.mark.parametrize("case, pages, filled", FULL_WORK_FOLDER,
                         ids=[c[0] for c in FULL_WORK_FOLDER])
def test_a_full_work_folder_is_logged_and_never_multiplies_work(sandbox, ftp_server, case, pages,
                                                                filled):
    url, remote = setup_ftp(ftp_server)
    files = {"a.dat": b"a", "b.dat": b"b", "c.dat": b"c"}
    settings = dict(scanfolder=sandbox.scan, remoteurl=url, username="ferry", password="s3cret")
    if case == "the download list cannot be prepared":
        out = ftp_server.root / "out"
        out.mkdir()
        for name, content in files.items():
            (out / name).write_bytes(content)
        settings.update(download=1, download_url=ftp_server.url("out/"), download_user="ferry",
                        download_passwd="s3cret")
    else:
        for name, content in files.items():
            make_file(sandbox.scan / name, content)
        settings.update(curlbatch=1 if "batch" in case else 0,
                        password="wrong" if "password" in case else "s3cret")
    sandbox.write_settings(**settings)
    mounted = sandbox.shell(f"mount -t tmpfs -o size={pages * 4}k tmpfs /var/crateFerry && "
                            f"head -c {filled * 4096} /dev/zero > /var/crateFerry/filler")
    assert mounted.returncode == 0, mounted.stderr

    result = sandbox.run("upload", faketime=harness.FAST)

    if case == "the download list cannot be prepared":
        assert result.err("getting files has failed(the download list could not be prepared)"), result
        assert result.process_count("curl") == 1  # the listing, no line fetched as a URL
        assert list(sandbox.scan.iterdir()) == []
    elif case == "a wrong password leaves no error text":
        # The refused login ends the run after the first file's attempts.
        assert result.count("file upload has failed(curl: exit status 67, no error text)") == 3, result
    else:
        # curl reports each transfer through a pipe: a full folder loses no result.
        assert result.process_count("curl") == 1, result
        opened = [name for event, name in ftp_server.events() if event == "opened"]
        assert sorted(opened) == sorted(files), opened  # every file sent once
        assert all(result.notice(f"File {sandbox.scan / name} was uploaded") for name in files)
