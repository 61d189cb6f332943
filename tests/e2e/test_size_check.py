"""MOD_CRATEFERRY_VERIFY: a file is finished only when the server holds it whole under
its own name. Real curl and sftp against test servers that rename, cut short or cannot
report sizes; the good files of the same run are finished as usual."""
import os

import pytest

from harness import ERR, temporary_name

REFERENCE = 1_000_000_000
SIZE = 40000


def pending(sandbox, name):
    path = sandbox.scan / name
    path.write_bytes(os.urandom(SIZE))
    os.utime(path, (REFERENCE + 60, REFERENCE + 60))
    return path


def settings(sandbox, ftp_server, sftp_server, mode, **keys):
    """Settings for `mode` into the server's "in"; returns (server, remote folder)."""
    timestamp = sandbox.data / "timestamp"
    timestamp.write_text("")
    os.utime(timestamp, (REFERENCE, REFERENCE))
    keys = dict(scanfolder=sandbox.scan, username="ferry", password="s3cret", **keys)
    if mode.startswith("sftp"):
        sandbox.link_ssh_tools()
        sandbox.write_ssh_config(sftp_server)
        server, keys["remoteurl"] = sftp_server, sftp_server.url("in")
        if mode == "sftp, 2 at once":
            keys["parallel"] = 2
    else:
        server, keys["remoteurl"] = ftp_server, ftp_server.url("in/")
        keys.update({"per-file": {}, "per-file, 4 at once": dict(parallel=4),
                     "batch": dict(curlbatch=1), "batch, 4 at once": dict(curlbatch=1, parallel=4),
                     "batch, temporary names": dict(curlbatch=1, tempupload=1)}[mode])
    (server.root / "in").mkdir()
    sandbox.write_settings(**keys)
    return server, server.root / "in"


def not_finished(path, held):
    return (ERR, f"File {path} is not finished: the server holds {held} under its name, "
                 f"not {SIZE} bytes")


CURL_MODES = ["per-file", "per-file, 4 at once", "batch", "batch, 4 at once", "batch, temporary names"]
MODES = CURL_MODES + ["sftp", "sftp, 2 at once"]


@pytest.mark.parametrize("mode", MODES)
def test_only_files_the_server_holds_whole_under_their_names_are_finished(
        sandbox, ftp_server, sftp_server, mode):
    server, remote = settings(sandbox, ftp_server, sftp_server, mode, verify=1, ruploaded=1)
    good = [pending(sandbox, f"good{i}.dat") for i in range(3)]
    cut = pending(sandbox, "cut.dat")
    faults = {cut: "20000 bytes"}
    if mode.startswith("sftp"):
        server.cut_writes("cut.dat", 20000)
    else:
        renamed = pending(sandbox, "report .csv")
        faults[renamed] = "no file"
        server.cut_stores(temporary_name("cut.dat") if "temporary" in mode else "cut.dat", 20000)
        server.store_as("report .csv", "report_.csv")

    result = sandbox.run("upload")

    assert sorted(e for e in result.entries() if e[0] == ERR) == \
        sorted(not_finished(path, held) for path, held in faults.items()), result
    for path in good:
        assert not path.exists(), result
    for path in faults:
        assert path.exists() and path.stat().st_mtime == REFERENCE + 60, path
    assert result.summary.startswith(f"upload summary: 3 sent, {len(faults)} failed, "), result.summary
    # curl shows the FTP command channel to the program, login included: never further.
    assert "s3cret" not in repr(result.entries()), result


@pytest.mark.parametrize("mode", ["per-file", "batch, 4 at once"])
def test_a_server_that_cannot_report_sizes_leaves_every_file_pending(sandbox, ftp_server,
                                                                     sftp_server, mode):
    server, remote = settings(sandbox, ftp_server, sftp_server, mode, verify=1)
    files = [pending(sandbox, f"f{i}.dat") for i in range(5)]
    server.refuse_size()

    result = sandbox.run("upload")

    assert result.err("the server cannot report file sizes: sent files are left pending"), result
    assert all(path.stat().st_mtime == REFERENCE + 60 for path in files), result


@pytest.mark.parametrize("mode", ["per-file", "batch", "sftp"])
def test_without_the_setting_nothing_more_is_asked(sandbox, ftp_server, sftp_server, mode):
    server, remote = settings(sandbox, ftp_server, sftp_server, mode)
    cut = pending(sandbox, "cut.dat")
    if mode == "sftp":
        server.cut_writes("cut.dat", 20000)
    else:
        server.cut_stores("cut.dat", 20000)

    result = sandbox.run("upload")

    assert result.notice(f"File {cut} was uploaded"), result
    assert cut.stat().st_mtime == REFERENCE
    assert result.process_count("curl") == (0 if mode == "sftp" else 1)
    assert result.process_count("sftp") == (1 if mode == "sftp" else 0)
    assert not (sandbox.work / "curl_sizes").exists() and not (sandbox.work / "sftp_sizes").exists()
