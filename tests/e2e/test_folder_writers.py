"""Whoever can write the scan folder (or a folder on its path) gets no more than they
could read themselves: a hard link to a file they could not read is not sent, a path
through a link that is not root's is not followed, planted entries block no download,
and a remove that meets an upload at work leaves its files alone."""
import os

import pytest

from harness import ERR, NOTICE
from test_hostile_ground import download_setup
from test_upload_lock import HELD, start_held_upload

REFERENCE = 1_000_000_000
NOBODY = 65534
NOT_SENT = "it has other links, and the users who can write the folder could not read it"


def make_file(path, content, mtime=REFERENCE + 60):
    path.write_bytes(content)
    os.utime(path, (mtime, mtime))
    return path


def stamp_reference(sandbox):
    timestamp = sandbox.data / "timestamp"
    timestamp.write_text("")
    os.utime(timestamp, (REFERENCE, REFERENCE))


def root_only_file(tmp_path):
    folder = tmp_path / "secret"
    folder.mkdir(mode=0o700)
    return make_file(folder / "shadow", b"root only", REFERENCE + 60)


# (owner of the scan folder, mode, sent)
LINK_CASES = [
    pytest.param(NOBODY, 0o755, False, id="a folder a user owns: the root-only file stays"),
    pytest.param(0, 0o777, False, id="a folder everybody writes: the root-only file stays"),
    pytest.param(0, 0o755, True, id="a folder only root writes: the link is sent as today"),
]


@pytest.mark.parametrize("owner, mode, sent", LINK_CASES)
def test_a_hard_link_goes_only_when_the_folders_writers_could_read_its_file(
        sandbox, tmp_path, owner, mode, sent):
    stamp_reference(sandbox)
    secret = root_only_file(tmp_path)
    os.chmod(secret, 0o600)
    innocent = sandbox.scan / "innocent.log"
    os.link(secret, innocent)
    os.chown(sandbox.scan, owner, owner)
    os.chmod(sandbox.scan, mode)
    out = tmp_path / "out"
    out.mkdir()
    sandbox.write_settings(scanfolder=sandbox.scan, remoteurl=f"file://{out}/")

    result = sandbox.run("upload")

    assert result.err(f"File {innocent} is not sent: {NOT_SENT}") != sent, result
    assert (out / "innocent.log").exists() == sent
    assert secret.stat().st_mtime == (REFERENCE if sent else REFERENCE + 60)


# (the scan folder as the settings name it, relative to tmp_path; links made, each
# (name, target, owner); whether the run works)
PATH_CASES = [
    pytest.param("scanlink", [("scanlink", "real", NOBODY)], False,
                 id="the folder swapped for a user's link is not followed"),
    pytest.param("via/real", [("via", ".", NOBODY)], False,
                 id="a user's link on the way is not followed"),
    pytest.param("scanlink", [("scanlink", "real", 0)], True, id="root's link is followed"),
    pytest.param("via/scanlink", [("via", ".", 0), ("scanlink", "real", 0)], True,
                 id="root's links on the way are followed"),
]


@pytest.mark.parametrize("operation", ["upload", "remove"])
@pytest.mark.parametrize("folder, links, works", PATH_CASES)
def test_the_scan_folders_path_follows_only_links_that_root_made(
        sandbox, ftp_server, tmp_path, operation, folder, links, works):
    stamp_reference(sandbox)
    real = tmp_path / "real"
    real.mkdir(mode=0o700)
    old = make_file(real / "old.dat", b"old", 0)
    new = make_file(real / "new.dat", b"new")
    for name, target, owner in links:
        (tmp_path / name).symlink_to(target)
        os.lchown(tmp_path / name, owner, owner)
    remote = download_setup(sandbox, ftp_server, {"fetched.dat": b"fetched"}, timecount=1)
    sandbox.write_settings(sandbox.settings_path.read_text().replace(
        f'"{sandbox.scan}"', f'"{tmp_path / folder}"'))

    result = sandbox.run(operation)

    unsafe = [m for p, m in result.entries() if p == ERR and "is not safe" in m]
    if works:
        assert unsafe == [], result
        assert old.exists() == (operation == "upload")
        if operation == "upload":
            assert sorted(p.name for p in remote.iterdir()) == ["fetched.dat", "new.dat"]
        return
    bad = next(tmp_path / name for name, _, owner in links if owner == NOBODY)
    assert unsafe == [f"the scan folder {tmp_path / folder} is not safe: the symbolic link "
                      f"{bad} belongs to user {NOBODY}, not root: make it root's "
                      f"(chown -h root {bad}) or name the folder itself"], result
    assert not any(p == ERR and m != unsafe[0] for p, m in result.entries()), result
    assert old.exists() and new.stat().st_mtime == REFERENCE + 60
    assert sorted(p.name for p in real.iterdir()) == ["new.dat", "old.dat"]
    assert list(remote.iterdir()) == []


def test_planted_download_entries_block_no_download(sandbox, ftp_server):
    planted = [sandbox.scan / f".crateferry-download.{pid}" for pid in range(1, 201)]
    for path in planted:
        path.mkdir()
    out_files = {f"f{i}.dat": f"file {i}".encode() for i in range(3)}
    remote = download_setup(sandbox, ftp_server, out_files)

    result = sandbox.run("upload")

    assert not any(r.priority == ERR for r in result.log), result
    for name, content in out_files.items():
        assert (sandbox.scan / name).read_bytes() == content, result
        assert (remote / name).read_bytes() == content
    assert all(path.is_dir() for path in planted)


def test_remove_during_an_upload_leaves_its_files_and_the_upload_finishes_them(
        sandbox, sftp_server):
    run, remote, contents = start_held_upload(sandbox, sftp_server, ["a1.txt", "a2.txt"])
    # Someone else takes one of the files the session already read.
    os.unlink(sandbox.scan / "a2.txt")

    removed = sandbox.run("remove")
    sftp_server.release(HELD)
    assert run.wait() == 0

    assert removed.entries()[1:-1] == [
        (NOTICE, "an upload is running: 2 pending files are left for the next remove")], removed
    assert not any(p == ERR for p, _ in run.entries()), run.entries()
    assert (NOTICE, f"File {sandbox.scan / 'a2.txt'} was already removed") in run.entries()
    for name in ("a1.txt", HELD):
        assert (remote / name).read_bytes() == contents[name]
        assert not (sandbox.scan / name).exists()
