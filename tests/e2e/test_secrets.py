"""No password stands in any process's command line while a transfer runs: each
transfer is held open by the server, and every /proc/*/cmdline of the machine is read.
Nor does it stay on disk after a killed batch run: the next upload deletes the batch file."""
import os
import threading
from pathlib import Path

import pytest

PASSWORD = "Pw-7Kq2zXv9"  # plain, so an argument list would hold it as it is
REFERENCE = 1_000_000_000

CASES = [
    pytest.param("curl", "curl", id="curl upload"),
    pytest.param("batch", "curl", id="curl batch upload"),
    pytest.param("sftp", "sshpass", id="sftp upload with sshpass"),
    pytest.param("download", "curl", id="download fetch"),
]


def command_lines():
    """{pid: (comm, cmdline bytes)} of every process on the machine."""
    found = {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                found[entry.name] = ((entry / "comm").read_text().strip(),
                                     (entry / "cmdline").read_bytes())
            except OSError:
                pass  # ended meanwhile
    return found


@pytest.mark.parametrize("mode, tool", CASES)
def test_no_command_line_holds_a_password_while_a_transfer_runs(mode, tool, sandbox, ftp_server,
                                                                sftp_server):
    ftp_server.add_user("ferry", PASSWORD)
    sftp_server.add_user("ferry", PASSWORD)
    (ftp_server.root / "in").mkdir()
    (ftp_server.root / "out").mkdir()
    (ftp_server.root / "out" / "dl.bin").write_bytes(b"remote")
    (sftp_server.root / "in").mkdir()
    held = sandbox.scan / "held.bin"
    held.write_bytes(os.urandom(8 << 20))
    os.utime(held, (REFERENCE + 60, REFERENCE + 60))
    keys = dict(scanfolder=sandbox.scan, username="ferry", password=PASSWORD, stalltime=60,
                remoteurl=ftp_server.url("in/"))
    if mode == "sftp":
        sandbox.link_ssh_tools()
        sandbox.write_ssh_config(sftp_server)
        keys["remoteurl"] = sftp_server.url("in")
        sftp_server.hold_writes("held.bin")
    elif mode in ("curl", "batch"):
        keys["curlbatch"] = 1 if mode == "batch" else 0
        ftp_server.stall_transfers("held.bin")
    else:
        keys.update(download=1, download_url=ftp_server.url("out/"), download_user="ferry",
                    download_passwd=PASSWORD)
        ftp_server.stall_transfers("dl.bin")
    sandbox.write_settings(**keys)

    run = threading.Thread(target=lambda: sandbox.run("upload", timeout=120), daemon=True)
    run.start()
    server, event, name = ((sftp_server, "held", "held.bin") if mode == "sftp" else
                           (ftp_server, "stalled", "dl.bin" if mode == "download" else "held.bin"))
    assert server.wait_for_event(event, name), "the transfer never started"
    seen = command_lines()
    if mode == "batch":  # the one file that holds the password meanwhile
        assert (sandbox.work / "curl_batch").stat().st_mode & 0o777 == 0o600
    if mode == "sftp":
        sftp_server.release("held.bin")
    else:
        sandbox.close_namespace()
    run.join(120)

    assert any(comm == tool for comm, _ in seen.values()), sorted(c for c, _ in seen.values())
    secrets = [PASSWORD.encode(), f"ferry:{PASSWORD}".encode()]
    leaks = {pid: line for pid, (_, line) in seen.items() if any(s in line for s in secrets)}
    assert not leaks, leaks
    if mode == "sftp":
        assert (sftp_server.root / "in" / "held.bin").read_bytes() == held.read_bytes()
    if mode == "batch":
        # The killed run left its batch file; the next run, in per-file mode, deletes it.
        assert PASSWORD in (sandbox.work / "curl_batch").read_text()
        (sandbox.work / "curl_results").write_text("crateferry-result 0 0 \n")
        (sandbox.work / "curl_batch.3").write_text(f'user = "ferry:{PASSWORD}"\n')  # a run at once
        ftp_server.clear_stalls()
        sandbox.write_settings(**dict(keys, curlbatch=0))
        again = sandbox.run("upload", timeout=60)
        assert again.notice(f"File {held} was uploaded"), again
        assert not (sandbox.work / "curl_batch").exists()
        assert not (sandbox.work / "curl_results").exists()
        assert not (sandbox.work / "curl_batch.3").exists()
