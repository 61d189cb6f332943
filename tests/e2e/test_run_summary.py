"""What every run did: its summary line, and the metrics file a monitor reads, parsed
as a monitor parses the Prometheus text format."""
import os
import re
import threading
import time

import pytest

from harness import ERR, NOTICE, temporary_name

REFERENCE = 1_000_000_000
UPLOAD_SUMMARY = re.compile(r"upload summary: (\d+) sent, (\d+) failed, (\d+) changed, "
                            r"(\d+) refused, (\d+) left pending, (\d+) bytes sent in \d+\.\d s")
REMOVE_SUMMARY = re.compile(r"remove summary: (\d+) removed \((\d+) never uploaded\), "
                            r"(\d+) could not be removed, (\d+) bytes freed in \d+\.\d s")
SAMPLE = re.compile(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-z_]+="[^"\\]*"(?:,[a-z_]+="[^"\\]*")*\})? '
                    r'(-?[0-9.e+]+)')


def parse_metrics(text):
    """{(name, labels): value} of a text-format exposition, checking what a scraper
    checks: every line a comment or a sample, each sample's family announced by its
    HELP and TYPE lines (once) before its first sample, and no sample twice."""
    samples, helped, typed = {}, set(), {}
    for line in text.splitlines():
        if line.startswith("# HELP "):
            name = line.split(" ")[2]
            assert name not in helped, line
            helped.add(name)
        elif line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ")
            assert name not in typed and kind == "gauge", line
            typed[name] = kind
        else:
            match = SAMPLE.fullmatch(line)
            assert match, f"not a sample: {line!r}"
            name, labels, value = match.groups()
            assert name in helped and name in typed, f"{name} has no HELP or TYPE before it"
            assert (name, labels or "") not in samples, line
            samples[(name, labels or "")] = float(value)
    return samples


def read_metrics(folder, operation):
    path = folder / f"crateferry_{operation}.prom"
    assert path.stat().st_mode & 0o777 == 0o644
    assert [p.name for p in folder.iterdir()] == [path.name], "a temporary file stayed behind"
    return parse_metrics(path.read_text())


def make_file(path, content, mtime=REFERENCE + 60):
    path.write_bytes(content)
    os.utime(path, (mtime, mtime))
    return path


# One row per way of sending: the byte its way cannot carry in a name, then the
# counts the summary must give (sent, failed, changed, refused) and the bytes sent.
# The FTP server refuses bad.dat's rename (so all its attempts fail); sftp sends it,
# unless the row has the server refuse its write, which fails the whole session.
UPLOADS = [
    pytest.param("per-file", "\t", (2, 1, 1, 1), 150, id="curl per file"),
    pytest.param("batch", "\t", (2, 1, 1, 1), 150, id="curl batch"),
    pytest.param("sftp", "\n", (3, 0, 1, 1), 153, id="sftp"),
    pytest.param("sftp-refused", "\n", (0, 4, 0, 1), 0,
                 id="sftp, a refused write fails the session"),
]


@pytest.mark.parametrize("mode, unsendable, counts, bytes_sent", UPLOADS)
def test_an_upload_run_tells_what_it_did(sandbox, ftp_server, sftp_server, tmp_path, mode,
                                         unsendable, counts, bytes_sent):
    metrics = tmp_path / "metrics"
    metrics.mkdir()
    # The last success of an earlier run, which a run with a failed file keeps.
    (metrics / "crateferry_upload.prom").write_text(
        "# HELP crateferry_upload_last_success_timestamp_seconds x\n"
        "# TYPE crateferry_upload_last_success_timestamp_seconds gauge\n"
        "crateferry_upload_last_success_timestamp_seconds 1234567890\n")
    make_file(sandbox.data / "timestamp", b"", mtime=REFERENCE)
    files = {"ok1.dat": b"1" * 100, "ok2.dat": b"2" * 50, "bad.dat": b"bad",
             f"odd{unsendable}name": b"odd", "changed.dat": b"before"}
    for name, content in files.items():
        make_file(sandbox.scan / name, content)
    settings = dict(scanfolder=sandbox.scan, username="ferry", password="s3cret",
                    metricsdir=metrics)
    if mode.startswith("sftp"):
        sandbox.link_ssh_tools()
        sandbox.write_ssh_config(sftp_server)
        (sftp_server.root / "in").mkdir()
        server, held = sftp_server, "changed.dat"
        settings.update(remoteurl=sftp_server.url("in"))
        if mode == "sftp-refused":
            sftp_server.refuse_writes("bad.dat")
    else:
        (ftp_server.root / "in").mkdir()
        # Temporary names, so that the server can refuse one file's rename.
        server, held = ftp_server, temporary_name("changed.dat")
        settings.update(remoteurl=ftp_server.url("in/"), tempupload=1,
                        curlbatch=1 if mode == "batch" else 0)
        ftp_server.refuse_renames("bad.dat")
    if mode != "sftp-refused":
        server.hold_writes(held)
    sandbox.write_settings(**settings)

    outcome = {}
    thread = threading.Thread(target=lambda: outcome.update(result=sandbox.run("upload")))
    thread.start()
    if mode != "sftp-refused":
        assert server.wait_for_event("held", held), server.events()
        with open(sandbox.scan / "changed.dat", "ab") as changing:
            changing.write(b" and after")
        server.release(held)
    thread.join(70)
    result = outcome["result"]

    assert result.log[-2].message == result.summary and result.log[-2].priority == NOTICE, result
    found = UPLOAD_SUMMARY.fullmatch(result.summary)
    assert found, result.summary
    sent, failed, changed, refused, left, sent_bytes = map(int, found.groups())
    assert (sent, failed, changed, refused) == counts, result
    assert left == len(files) - sent
    assert sent_bytes == bytes_sent

    samples = read_metrics(metrics, "upload")
    for result_label, count in zip(("sent", "failed", "changed", "refused"), counts):
        assert samples[("crateferry_upload_files", f'{{result="{result_label}"}}')] == count
    assert samples[("crateferry_upload_bytes_sent", "")] == sent_bytes
    assert samples[("crateferry_upload_pending_files", "")] == left
    assert samples[("crateferry_upload_pending_bytes", "")] == \
        sum(len(c) for c in files.values()) - bytes_sent
    now = time.time()
    assert abs(samples[("crateferry_upload_last_run_timestamp_seconds", "")] - now) < 60
    assert samples[("crateferry_upload_oldest_pending_age_seconds", "")] == \
        pytest.approx(samples[("crateferry_upload_last_run_timestamp_seconds", "")] -
                      (REFERENCE + 60))
    assert samples[("crateferry_upload_last_run_duration_seconds", "")] >= 0
    assert samples[("crateferry_clock_behind", "")] == 0
    last_success = samples[("crateferry_upload_last_success_timestamp_seconds", "")]
    assert last_success == (1234567890 if failed else
                            samples[("crateferry_upload_last_run_timestamp_seconds", "")])


def test_a_run_with_nothing_pending_tells_all_zeros(sandbox, ftp_server, tmp_path):
    (ftp_server.root / "in").mkdir()
    sandbox.write_settings(scanfolder=sandbox.scan, remoteurl=ftp_server.url("in/"),
                           username="ferry", password="s3cret")
    result = sandbox.run("upload")
    assert UPLOAD_SUMMARY.fullmatch(result.summary).groups() == ("0",) * 6, result


def test_a_remove_run_tells_what_it_removed_and_what_it_could_not(sandbox, tmp_path):
    metrics = tmp_path / "metrics"
    metrics.mkdir()
    make_file(sandbox.data / "timestamp", b"", mtime=REFERENCE)
    make_file(sandbox.scan / "sent.dat", b"s" * 1000, mtime=REFERENCE)
    make_file(sandbox.scan / "unsent.dat", b"u" * 200, mtime=REFERENCE + 60)
    stuck = make_file(sandbox.scan / "stuck.dat", b"stuck", mtime=REFERENCE)
    # A file that is a mount point cannot be deleted.
    mounted = sandbox.shell(f"mount --bind {stuck} {stuck}")
    assert mounted.returncode == 0, mounted.stderr
    sandbox.write_settings(scanfolder=sandbox.scan, timecount=1, metricsdir=metrics)

    result = sandbox.run("remove")

    assert result.has(f"File {stuck} were removed", NOTICE), result  # logged all the same
    assert REMOVE_SUMMARY.fullmatch(result.summary).groups() == ("2", "1", "1", "1200"), result
    assert result.log[-2].message == result.summary
    samples = read_metrics(metrics, "remove")
    assert samples[("crateferry_remove_files", '{result="removed"}')] == 2
    assert samples[("crateferry_remove_files", '{result="failed"}')] == 1
    assert samples[("crateferry_remove_never_uploaded_files", "")] == 1
    assert samples[("crateferry_remove_bytes_freed", "")] == 1200
    assert samples[("crateferry_scan_folder_free_bytes", "")] > 0
    assert samples[("crateferry_clock_behind", "")] == 0
    assert abs(samples[("crateferry_remove_last_run_timestamp_seconds", "")] - time.time()) < 60


def test_an_unwritable_metrics_folder_costs_one_error_line_and_nothing_else(sandbox, tmp_path):
    old = make_file(sandbox.scan / "old.dat", b"old", mtime=REFERENCE)
    missing = tmp_path / "no-such-folder"
    sandbox.write_settings(scanfolder=sandbox.scan, timecount=1, metricsdir=missing)

    result = sandbox.run("remove")

    assert result.entries() == [
        (NOTICE, "started"), (NOTICE, f"File {old} were removed"),
        (ERR, f"Cannot write metrics file {missing}/crateferry_remove.prom: No such file or "
              "directory"),
        (NOTICE, "exited")], result
    assert result.log[-2].message == result.summary
    assert REMOVE_SUMMARY.fullmatch(result.summary).groups() == ("1", "0", "0", "3"), result
    assert not old.exists() and not missing.exists()
