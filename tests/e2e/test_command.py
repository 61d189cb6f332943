"""The process entry: log frame, choice of operation by name, usage under its own
name, arguments, exit status, FTP wait."""
import os
import re
from pathlib import Path

import pytest

from harness import ERR, FAST, NOTICE

REPO = Path(__file__).resolve().parents[2]

STARTED = (NOTICE, "started")
EXITED = (NOTICE, "exited")
TIMEOUT = "waiting for disconnection all FTP client failed because of 20 minutes timeout passed"
OLD = "old.dat"


def prepare_scan(sandbox, **settings):
    """One old file in the scan folder. `remove` deletes it; `upload` sends it with curl
    to a local folder (a file:// URL) and keeps it, so each operation leaves its own
    trace."""
    old = sandbox.scan / OLD
    old.write_text("old")
    os.utime(old, (1000, 1000))
    sent_copy(sandbox).parent.mkdir(exist_ok=True)
    sandbox.write_settings(scanfolder=sandbox.scan, timecount=1,
                           remoteurl=f"file://{sent_copy(sandbox).parent}/", **settings)
    return old


def sent_copy(sandbox):
    """Where `upload` puts the old file of prepare_scan."""
    return sandbox.scan.parent / "sent" / OLD


def uploaded(old):
    return [STARTED, (NOTICE, f"File {old} was uploaded"), EXITED]


def test_log_of_a_normal_run_begins_with_started_and_ends_with_exited(sandbox):
    sandbox.write_settings(scanfolder=sandbox.scan)
    result = sandbox.run("remove")
    assert result.returncode == 0, result
    assert result.entries()[0] == STARTED and result.entries()[-1] == EXITED, result
    assert {(r.ident, r.pid) for r in result.log} == {("crateFerry", result.log[0].pid)}


NAMES = [
    pytest.param("upload", "upload", id="upload runs the upload"),
    pytest.param("remove", "remove", id="remove runs the removal"),
    pytest.param("/usr/local/bin/upload", "upload", id="a full path ending in upload uploads"),
    pytest.param("../bin/remove", "remove", id="a relative path ending in remove removes"),
    pytest.param("Upload", "unknown", id="a name differing in letter case is unknown"),
    pytest.param("REMOVE", "unknown", id="remove in capitals is unknown"),
    pytest.param("upload.sh", "unknown", id="upload with a suffix is unknown"),
    pytest.param("xupload", "unknown", id="upload with a prefix is unknown"),
    pytest.param("crateFerry", "unknown", id="the program's own name is unknown"),
    pytest.param("bin/upload/", "unknown", id="a path ending in a slash has an empty name"),
]


@pytest.mark.parametrize("argv0, operation", NAMES)
def test_program_name_selects_the_operation(sandbox, argv0, operation):
    old = prepare_scan(sandbox)
    result = sandbox.run(argv0)
    assert result.returncode == 0, result
    copy = sent_copy(sandbox)
    if operation == "upload":
        assert result.entries() == uploaded(old), result
        assert old.exists() and copy.read_text() == "old"
    elif operation == "remove":
        assert result.entries() == [STARTED, (NOTICE, f"File {old} were removed"), EXITED], result
        assert not old.exists() and not copy.exists()
    else:
        assert result.entries() == [STARTED, (NOTICE, "unknown operation"), EXITED], result
        assert old.exists() and not copy.exists()


def project_version():
    """The version the build gives the program: project(crateFerry VERSION x.y.z)."""
    text = (REPO / "CMakeLists.txt").read_text()
    return re.search(r"project\(crateFerry VERSION ([0-9.]+)", text).group(1)


def test_started_as_crateFerry_prints_usage_and_version_then_goes_on_as_unknown(sandbox):
    old = prepare_scan(sandbox)
    result = sandbox.run("crateFerry")
    assert result.returncode == 0, result
    lines = result.stdout.splitlines()
    assert lines[0] == f"crateFerry {project_version()}", result
    for needed in ["/opt/crateFerry/bin/upload", "/opt/crateFerry/bin/remove",
                   "/opt/crateFerry/etc/settings", "journalctl -t crateFerry", "man crateFerry"]:
        assert needed in result.stdout, needed
    assert result.stderr == ""
    assert result.entries() == [STARTED, (NOTICE, "unknown operation"), EXITED], result
    assert old.exists() and not sent_copy(sandbox).exists()


@pytest.mark.fast_clock
def test_started_as_crateFerry_prints_the_usage_before_the_ftp_wait(sandbox, ftpd):
    prepare_scan(sandbox, checkftp=1)
    result = sandbox.run("crateFerry", faketime=FAST)
    assert result.returncode == 1, result
    assert result.stdout.startswith("crateFerry "), result
    assert result.entries() == [STARTED, (NOTICE, TIMEOUT)], result


def test_man_page_names_the_version_the_program_prints():
    header = next(line for line in (REPO / "man" / "crateFerry.8").read_text().splitlines()
                  if line.startswith(".TH "))
    assert f'"crateFerry {project_version()}"' in header, header


@pytest.mark.parametrize("name", ["upload", "remove", "Upload", "/usr/bin/crateFerry.bin"])
def test_other_names_print_nothing(sandbox, name):
    prepare_scan(sandbox)
    result = sandbox.run(name)
    assert result.returncode == 0, result
    assert result.stdout == "" and result.stderr == "", result


TERMINAL_RUNS = [
    pytest.param("upload", id="upload"),
    pytest.param("remove", id="remove"),
    pytest.param("unknown", id="an unknown name"),
]


@pytest.mark.parametrize("name", TERMINAL_RUNS)
def test_with_standard_error_a_terminal_each_log_line_is_also_written_there(sandbox, name):
    prepare_scan(sandbox)
    result = sandbox.run(name, terminal=True)
    assert result.returncode == 0, result
    assert len(result.log) >= 2, result
    pid = result.log[0].pid
    assert result.stderr.splitlines() == [f"crateFerry[{pid}]: {r.message}" for r in result.log], result


ARGUMENTS = [
    pytest.param("upload", ["--help"], id="upload --help runs an upload"),
    pytest.param("upload", ["-h", "--version", "remove"], id="upload ignores every argument"),
    pytest.param("remove", ["--dry-run"], id="remove --dry-run removes"),
]


@pytest.mark.parametrize("name, args", ARGUMENTS)
def test_arguments_are_ignored(sandbox, name, args):
    old = prepare_scan(sandbox)
    result = sandbox.run(name, args=args)
    assert result.returncode == 0 and result.stdout == "", result
    if name == "upload":
        assert result.entries() == uploaded(old), result
        assert old.exists() and sent_copy(sandbox).read_text() == "old"
    else:
        assert result.entries() == [STARTED, (NOTICE, f"File {old} were removed"), EXITED], result
        assert not old.exists()


@pytest.mark.parametrize("name", ["upload", "remove"])
def test_checkftp_without_ftpd_probes_once_and_goes_on(sandbox, name):
    prepare_scan(sandbox, checkftp=1)
    # No faketime: a single 60-second pause would run into the timeout.
    result = sandbox.run(name, timeout=30)
    assert result.returncode == 0, result
    assert result.process_count("killall") == 1
    assert not result.has(TIMEOUT) and result.entries()[-1] == EXITED, result


@pytest.mark.fast_clock
@pytest.mark.parametrize("name", ["upload", "remove", "unknown"])
def test_checkftp_with_live_ftpd_times_out_after_20_probes_without_operation(sandbox, ftpd, name):
    old = prepare_scan(sandbox, checkftp=1)
    result = sandbox.run(name, faketime=FAST)
    assert result.returncode == 1, result
    assert result.entries() == [STARTED, (NOTICE, TIMEOUT)], result
    assert result.process_count("killall") == 20
    assert old.exists() and not sent_copy(sandbox).exists()


def test_checkftp_zero_ignores_a_live_ftpd(sandbox, ftpd):
    prepare_scan(sandbox, checkftp=0)
    result = sandbox.run("remove", timeout=30)
    assert result.returncode == 0, result
    assert result.process_count("killall") == 0 and not result.has(TIMEOUT)

