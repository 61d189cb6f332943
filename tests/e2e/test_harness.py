"""The harness itself: the real tools work inside the sandbox the way the program uses them."""
import ftplib
import re
import socket
import subprocess
from urllib.parse import quote

import harness
import pytest

HOSTILE_PASSWORD = "a$b\"c\\d'e`f g:h#i"
SFTP_BATCH = ("/opt/crateFerry/bin/sshpass -p \"s3cret\" /opt/crateFerry/bin/sftp "
              "-S /opt/crateFerry/bin/ssh -F /var/crateFerry/ssh_config -o LogLevel=ERROR "
              "ferry@127.0.0.1:/in < /var/crateFerry/sftp_list 2>/var/crateFerry/sftp_error")


@pytest.fixture
def sftp_sandbox(sandbox, sftp_server):
    sandbox.link_ssh_tools()
    sandbox.write_ssh_config(sftp_server)
    (sftp_server.root / "in").mkdir()
    names = ["a.txt", "b.txt"]
    for name in names:
        (sandbox.scan / name).write_text(name * 100)
    (sandbox.work / "sftp_list").write_text("".join(f"put {sandbox.scan / n}\n" for n in names))
    return sandbox


def test_sftp_batch_through_sshpass_uploads_the_queue(sftp_sandbox, sftp_server):
    done = sftp_sandbox.shell(SFTP_BATCH)
    assert done.returncode == 0, (done, (sftp_sandbox.work / "sftp_error").read_text())
    assert (sftp_server.root / "in" / "b.txt").read_text() == "b.txt" * 100


def test_sftp_server_refuses_writes_to_a_chosen_name(sftp_sandbox, sftp_server):
    sftp_server.refuse_writes("a.txt")
    sftp_sandbox.shell(SFTP_BATCH)
    assert "Permission denied" in (sftp_sandbox.work / "sftp_error").read_text()
    assert not (sftp_server.root / "in" / "a.txt").exists()
    assert (sftp_server.root / "in" / "b.txt").exists()


def test_sftp_server_holds_a_write_until_released(sftp_sandbox, sftp_server):
    sftp_server.hold_writes("a.txt")
    batch = subprocess.Popen(sftp_sandbox.enter_command() + ["/bin/sh", "-c", SFTP_BATCH],
                             stdin=subprocess.DEVNULL)
    try:
        assert sftp_server.wait_for_event("held", "a.txt")
        assert batch.poll() is None and not (sftp_server.root / "in" / "b.txt").exists()
        sftp_server.release("a.txt")
        assert batch.wait(30) == 0
    finally:
        batch.kill()
        batch.wait()
    assert (sftp_server.root / "in" / "a.txt").read_text() == "a.txt" * 100


def test_curl_uploads_and_lists_over_passive_ftp_with_a_hostile_password(sandbox, ftp_server):
    ftp_server.add_user("odd", HOSTILE_PASSWORD, home="odd")
    (sandbox.scan / "f.txt").write_text("data")
    escaped = HOSTILE_PASSWORD.replace("\\", "\\\\").replace('"', '\\"')
    (sandbox.work / "curl_config").write_text(f'user = "odd:{escaped}"\n')
    done = sandbox.shell(
        f"curl -fSs -K /var/crateFerry/curl_config -T {sandbox.scan}/f.txt {ftp_server.url()} && "
        f"curl -fSs -K /var/crateFerry/curl_config --list-only {ftp_server.url()}")
    assert (done.returncode, done.stdout) == (0, "f.txt\n"), done
    assert (ftp_server.root / "odd" / "f.txt").read_text() == "data"


# What a size check meets: each server fault, the file's fate on the server, and what
# SIZE or HEAD (curl -I prints either as Content-Length) or sftp's `ls -ln` reports for
# its name.
RENAMES_TO = "report_.csv"
FAULTS = [  # mode, hook, file sent (40,000 bytes), what the server holds, size reported, event
    ("ftp", None, "a.csv", {"a.csv": 40000}, 40000, ("size", "a.csv")),
    ("ftp ascii", None, "a.csv", {"a.csv": 40000}, None, ("size", "a.csv")),
    ("ftp", lambda s: s.store_as("report .csv", RENAMES_TO), "report .csv",
     {RENAMES_TO: 40000}, None, ("stored as", "report .csv")),
    ("ftp temporary", lambda s: s.store_as("report .csv", RENAMES_TO), "report .csv",
     {RENAMES_TO: 40000}, None, ("stored as", "report .csv")),
    ("ftp", lambda s: s.cut_stores("a.csv"), "a.csv", {"a.csv": 20000}, 20000, ("cut", "a.csv")),
    ("ftp", lambda s: s.cut_stores("a.csv", keep=0), "a.csv", {"a.csv": 0}, 0, ("cut", "a.csv")),
    ("ftp", lambda s: s.refuse_size(), "a.csv", {"a.csv": 40000}, None, ("size", "a.csv")),
    ("sftp", None, "a.csv", {"a.csv": 40000}, 40000, None),
    ("sftp", lambda s: s.cut_writes("a.csv", keep=1000), "a.csv", {"a.csv": 1000}, 1000,
     ("cut", "a.csv")),
    ("http", None, "a.csv", {"a.csv": 40000}, 40000, None),
    ("http", lambda s: s.cut_stores("a.csv"), "a.csv", {"a.csv": 20000}, 20000, ("cut", "a.csv")),
]


@pytest.mark.parametrize("mode, hook, name, held, reported, event", FAULTS,
                         ids=["ftp", "ftp-ascii", "stored-as", "renamed-as", "cut-half",
                              "cut-to-0", "no-size", "sftp", "sftp-cut", "http", "http-cut"])
def test_server_faults_that_a_size_check_meets(request, sandbox, mode, hook, name, held,
                                                reported, event):
    server = request.getfixturevalue({"sftp": "sftp_server", "http": "http_server"}.get(
        mode, "ftp_server"))
    (server.root / "in").mkdir()
    (sandbox.scan / name).write_bytes(b"x" * 40000)
    if hook:
        hook(server)
    if mode == "sftp":
        sandbox.link_ssh_tools()
        sandbox.write_ssh_config(server)
        (sandbox.work / "sftp_list").write_text(f'put "{sandbox.scan / name}"\nls -ln "{name}"\n')
        sent = asked = sandbox.shell(SFTP_BATCH)
        size = re.search(r"^-\S+ +\S+ +\d+ +\d+ +(\d+) ", asked.stdout, re.MULTILINE)
    else:
        sent_as = f".{name}.0123abcd.cfpart" if mode == "ftp temporary" else name
        renames = f"-Q '-RNFR {sent_as}' -Q '-RNTO {name}'" if sent_as != name else ""
        sent = sandbox.shell(f"curl -fsS -u ferry:s3cret -T '{sandbox.scan / name}' {renames} "
                             f"'{server.url('in/' + quote(sent_as))}'")
        asked = sandbox.shell(f"curl -fsS -u ferry:s3cret -I '{server.url('in/' + quote(name))}"
                              f"{';type=a' if mode == 'ftp ascii' else ''}'")
        size = re.search(r"^Content-Length: (\d+)\r?$", asked.stdout, re.MULTILINE)
    assert sent.returncode == 0, sent
    assert {p.name: p.stat().st_size for p in (server.root / "in").iterdir()} == held
    assert (int(size[1]) if size else None) == reported, asked
    assert event is None or event in server.events()
def test_ftp_server_opens_data_ports_of_a_range_and_names_another_address(tmp_path):
    with socket.create_server(("127.0.0.1", 0)) as probe:
        port = probe.getsockname()[1]
    server = harness.FtpServer(tmp_path / "ftp", passive_ports=(port, port),
                               passive_address="127.0.0.2")
    try:
        with ftplib.FTP() as ftp:
            ftp.connect("127.0.0.1", server.port)
            ftp.login(*server.default_user)
            assert ftp.sendcmd("PASV").endswith(f"(127,0,0,2,{port // 256},{port % 256}).")
            assert ftp.sendcmd("EPSV").endswith(f"(|||{port}|).")
    finally:
        server.kill()
