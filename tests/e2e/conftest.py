"""End-to-end test fixtures for crateFerry: the real binary, real tools, real servers.

Run as root: /usr/bin/python3 -m pytest -q tests/e2e   (ctest does this with CRATEFERRY_BIN
set to the built binary; without it, build/crateFerry of the repository is used).
Everything that needs the sandbox is skipped, with the reason, when not run as root.

CRATEFERRY_EMULATOR (read by these tests only, never by the program) runs a binary
built for another machine under an emulator, its words split as a shell splits them:
    CRATEFERRY_EMULATOR="qemu-arm -L /usr/arm-linux-gnueabihf" CRATEFERRY_BIN=.../crateFerry
A test marked @pytest.mark.fast_clock, which needs faketime to speed the program's own
sleeps, is skipped then (libfaketime cannot reach an emulated program), with the reason.

Fixtures (all per test, all torn down after it)
-----------------------------------------------
sandbox -> harness.Sandbox
    The binary runs in its own mount and PID namespaces (unshare -m -p, private
    propagation) with tmpfs over /opt, /var and /dev. Test-owned folders, which the
    test prepares and inspects from outside:
        sandbox.etc   = /opt/crateFerry/etc        sandbox.settings_path = .../settings
        sandbox.bin   = /opt/crateFerry/bin
        sandbox.work  = /var/crateFerry            (list, sftp_list, curl_error, ssh_config...)
        sandbox.data  = /var/data/crateFerry       (timestamp)
        sandbox.scan  = a scan folder, at the same path inside and outside
        sandbox.home  = $HOME of the program
    /dev holds null, zero, random, urandom, tty, a private devpts with ptmx (sshpass
    works), shm (faketime needs it), fd/stdin/stdout/stderr links, and /dev/log: a
    datagram socket of the test that captures every syslog line.
    sandbox.write_settings(scanfolder=sandbox.scan, remoteurl="ftp://...", checkftp=1)
        -> MOD_CRATEFERRY_SCANFOLDER="..." lines (str/Path quoted, int bare), in order.
    sandbox.write_settings("RAW TEXT\n")   writes the file exactly (str or bytes).
    sandbox.link_ssh_tools()    /opt/crateFerry/bin/{sftp,ssh,sshpass} -> /usr/bin/...
    sandbox.write_ssh_config(sftp_server, extra="")   /var/crateFerry/ssh_config for it.
    sandbox.run(name="upload", *, faketime=None, timeout=60, argv0=None, args=()) -> RunResult
        Starts the unmodified binary through a link named basename(name), with argv[0]
        = argv0 or name ("upload", "Upload", "upload2", "/usr/bin/upload" all work)
        and the further arguments args, stdin /dev/null, environment PATH/HOME/LANG only. faketime=harness.FAST
        ("+0 x600") runs it under Debian's `faketime -f`, inherited by its children:
        sleep(60) takes 0.1 s, the 20-probe FTP wait about 2 s. Past `timeout` the
        sandbox is killed and harness.SandboxTimeout raised.
    sandbox.shell("sh script", timeout=60) -> CompletedProcess (text): /bin/sh inside.
    sandbox.enter_command() -> ["nsenter", ...] prefix to Popen anything inside.
    sandbox.drain_log() -> [LogRecord] waiting on the socket (a background run's lines;
        tell runs apart by .pid). run() drops what is waiting when it starts.
    sandbox.close_namespace() kills every process in the sandbox (next run restarts it).
    RunResult: .returncode, .log (list of LogRecord: .priority .ident .pid .message
        .raw), .stdout, .stderr, .argv0; .messages() -> [str]; .entries() ->
        [(priority, message)] (both without the run's summary line, which .summary
        holds: "upload summary: ..." / "remove summary: ...", or None); .notice(msg) / .err(msg) -> bool (exact text at
        <29> / <27>); .has(msg, priority=None); .count(msg). str(result) shows it all.
        .processes: every process that ended in the sandbox during the run (BSD
        process accounting of the sandbox's PID namespace), as ProcessRecord(.name
        [kernel comm, max 15 chars], .pid, .ppid, .status [raw wait status]);
        .process_count("killall") counts them by name: FTP probes, curl attempts...
    harness.NOTICE == 29, harness.WARNING == 28, harness.ERR == 27.

ftpd -> harness.Ftpd, already started
    A copy of /bin/sleep named ftpd inside the sandbox, so the program's
    `killall -0 ftpd` succeeds. .stop() ends it (and waits), .start() again, .alive.

ftp_server -> harness.FtpServer (pyftpdlib on 127.0.0.1, passive mode works with curl)
    .root (Path: the server's "/"), .port, .host, .url("in/") -> "ftp://127.0.0.1:PORT/in/",
    .add_user(name, password, home=None)   any password text ($ " \\ ' ` space : #);
        home is a folder under .root (created), default .root itself.
    .add_anonymous(home=None)   login "anonymous" with any password, read-only.
    User "ferry" / "s3cret" exists. .stop(), .kill(), .running, .server_log().
    Hooks (by last path component): .stall_transfers(name) (the data connection goes
    silent: "stalled"), .clear_stalls(), .hold_writes(name) / .release(name) (an
    upload is not read until released: "held"), .refuse_renames(name) (RNTO fails:
    "rename refused"), .die_during_download(name) (half the file, then the server
    ends: "died"), .store_as(name, other) (a STOR of it, or RNTO to it, lands under
    `other`, answered as usual: "stored as"), .cut_stores(name, keep=None) (it keeps its
    first `keep` bytes, default half, answered 226: "cut"), .refuse_stores(name,
    times=None) (its first `times` STORs, or all, answered 451: "store refused"),
    .refuse_size() (SIZE answers 502 for every file); .events() also has "opened", "renamed" and "size" (each SIZE).
    SIZE answers in binary mode only (curl -I asks it so and prints Content-Length); in
    ASCII mode, where a connection starts, it answers 550;
    .wait_for_event(event, name).

sftp_server -> harness.SftpServer (asyncssh on 127.0.0.1, password logins only)
    .root (Path: the chroot, "/" for clients), .port, .host, .url("in") ->
    "sftp://127.0.0.1/in" (the port comes from write_ssh_config), .add_user(name, pw).
    User "ferry" / "s3cret" exists; the host key is new at every start.
    Hooks (by last path component of the remote file):
      .refuse_writes(name)   opening it for writing fails: "Permission denied";
      .hold_writes(name)     its first write waits until .release(name);
      .wait_for_event("held", name, timeout=30) -> bool;
      .events() -> [(event, name)], event in "opened", "refused", "held", "closed", "cut".
      .refuse_renames(name)  a rename to it fails: "rename refused" ("renamed" on success);
      .cut_writes(name, keep) its writes past `keep` bytes are acknowledged, dropped: "cut";
    .stop() (SIGTERM), .kill() (SIGKILL), .running, .server_log().
    Both servers: .pause() / .resume() stop and continue the server process (SIGSTOP):
    its connections stay open and nothing answers.

http_server -> harness.HttpServer (http.server on 127.0.0.1, no logins)
    .root, .port, .host, .url("in/a.csv") -> "http://127.0.0.1:PORT/in/a.csv". PUT stores
    into an existing folder (201), HEAD answers the size as Content-Length (404: none).
    Hook: .cut_stores(name, keep=None) (it keeps its first `keep` bytes, default half,
    answered 201: "cut"). .events(), .stop(), .kill(), .running, .server_log().

harness.SilentListener() (no fixture): a TCP listener on 127.0.0.1 that accepts and
never sends a byte; .host, .port, .close().

At the end of the session the run fails if /opt/crateFerry, /var/crateFerry or
/var/data/crateFerry appeared on the real machine.
"""
import os
import shlex
from pathlib import Path

import pytest

import harness

REPO = Path(__file__).resolve().parents[2]
EMULATOR = shlex.split(os.environ.get("CRATEFERRY_EMULATOR", ""))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "fast_clock: needs faketime to speed the program's own sleeps")


@pytest.fixture(scope="session")
def crateferry_bin():
    binary = Path(os.environ.get("CRATEFERRY_BIN", REPO / "build" / "crateFerry"))
    if not binary.is_file():
        pytest.fail(f"no crateFerry binary at {binary}: build it or set CRATEFERRY_BIN")
    return binary


@pytest.fixture(scope="session", autouse=True)
def real_machine_untouched():
    before = {p for p in harness.DEVICE_PATHS if os.path.lexists(p)}
    yield
    appeared = [p for p in harness.DEVICE_PATHS if os.path.lexists(p) and p not in before]
    assert not appeared, f"tests created {appeared} on the real machine"


@pytest.fixture
def sandbox(request, tmp_path, crateferry_bin):
    if not harness.is_root():
        pytest.skip("needs root: the sandbox uses unshare -m and mounts")
    if EMULATOR and request.node.get_closest_marker("fast_clock"):
        pytest.skip(f"{request.node.name}: needs faketime to speed the program's sleeps, "
                    f"which cannot reach a program under {EMULATOR[0]}")
    box = harness.Sandbox(tmp_path, crateferry_bin, emulator=EMULATOR)
    yield box
    box.close()


@pytest.fixture
def ftpd(sandbox):
    helper = harness.Ftpd(sandbox).start()
    yield helper
    helper.stop()


@pytest.fixture
def ftp_server(tmp_path):
    server = harness.FtpServer(tmp_path / "ftp")
    yield server
    server.kill()


@pytest.fixture
def http_server(tmp_path):
    server = harness.HttpServer(tmp_path / "http")
    yield server
    server.kill()


@pytest.fixture
def sftp_server(tmp_path):
    server = harness.SftpServer(tmp_path / "sftp")
    yield server
    server.kill()
