"""End-to-end harness: the real crateFerry binary in a private sandbox, real servers.

Plain Python with no pytest in it, so that scripts/demo.sh can use it too; the
pytest fixtures in conftest.py wrap these classes. The API is described there.

Why the sandbox looks the way it does:
- The program has fixed paths (/opt/crateFerry, /var/crateFerry, /var/data/crateFerry,
  /dev/log). A mount namespace of its own (unshare -m, private propagation) puts
  test-owned folders at those paths over tmpfs mounts, so the machine's real /opt,
  /var and /dev/log are never touched.
- The sandbox has its own PID namespace too, so `killall -0 ftpd` inside it sees only
  the ftpd that the test started, never one of the machine or of another test run.
- A datagram socket bound by the test is mounted at /dev/log: every syslog line of
  the program arrives there.
- A binary built for another machine (the armhf build of a device) runs under an
  emulator such as `qemu-arm -L /usr/arm-linux-gnueabihf`, started as `EMULATOR -0
  ARGV0 LINK`, so the program still sees the name it was started under; the tools it
  starts (/bin/sh, curl, sftp) are the machine's own and run natively. libfaketime
  cannot reach an emulated program's clock: a run that asks for faketime fails.
"""
import ctypes
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
PYTHON = "/usr/bin/python3"  # Debian's, which has pyftpdlib and asyncssh
SAFE_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"

# syslog priorities as they appear on the wire: facility daemon (3) * 8 + level.
NOTICE = 29
WARNING = 28
ERR = 27
WARNING = 28

# libfaketime speed-up that turns the program's 60 s and 5 s sleeps into 0.1 s and
# ~0.01 s. The clock also runs 600 times faster for the program.
FAST = "+0 x600"

# Turns on process accounting into the file argv[1], for the caller's PID namespace.
_ACCT_ON = ("import ctypes, sys; libc = ctypes.CDLL(None, use_errno=True); "
            "sys.exit(ctypes.get_errno() if libc.acct(sys.argv[1].encode()) else 0)")

# Paths on the real machine that only a sandbox may have.
DEVICE_PATHS = ("/opt/crateFerry", "/var/crateFerry", "/var/data/crateFerry")

SERVER_LIFETIME = 900  # seconds; servers stop by themselves after that
SANDBOX_LIFETIME = 900


def temporary_name(name):
    """The hooks' pattern ("re:...") for the temporary names of `name` that the program
    makes up: ".NAME.", the run's 8 hex digits, ".cfpart"."""
    return "re:" + re.escape("." + name + ".") + "[0-9a-f]{8}" + re.escape(".cfpart")


def names_match(entry, name):
    """True when a hook entry (a name, or "re:" and a pattern) names `name`."""
    return entry == name or (entry.startswith("re:") and re.fullmatch(entry[3:], name) is not None)


def is_root():
    return os.geteuid() == 0


def _wait_for_file(path, process, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not path.exists():
        if process.poll() is not None:
            raise RuntimeError(f"{what} exited with status {process.returncode}")
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what} did not start within {timeout} s")
        time.sleep(0.02)


def _stop_process(process, sig=signal.SIGTERM, timeout=10.0):
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def _child_pids(pid):
    try:
        text = Path(f"/proc/{pid}/task/{pid}/children").read_text()
    except FileNotFoundError:
        return []
    return [int(p) for p in text.split()]


# ---------------------------------------------------------------------------
# Log records and run results

_RECORD = re.compile(r"<(\d+)>(?:\w{3} [ \d]\d \d\d:\d\d:\d\d )?([^\[:]*)(?:\[(\d+)\])?: (.*)",
                     re.DOTALL)


@dataclass(frozen=True)
class LogRecord:
    priority: int  # NOTICE (29), WARNING (28) or ERR (27) for this program
    ident: str  # "crateFerry"
    pid: int  # PID as the program saw it (inside the sandbox's PID namespace)
    message: str
    raw: str


def parse_record(datagram):
    raw = datagram.decode("utf-8", "surrogateescape")
    m = _RECORD.fullmatch(raw)
    if m is None:
        return LogRecord(-1, "", -1, raw, raw)
    return LogRecord(int(m[1]), m[2], int(m[3]) if m[3] else -1, m[4], raw)


_SUMMARY = re.compile(r"(upload|remove) summary: ")


@dataclass
class RunResult:
    returncode: int
    log: list  # LogRecord, in arrival order
    stdout: str
    stderr: str
    argv0: str
    processes: list  # ProcessRecord of every process that ended in the sandbox meanwhile

    def process_count(self, name):
        """How many processes named `name` (e.g. "killall", "curl") ran to their end."""
        return sum(1 for p in self.processes if p.name == name)

    def _told(self):
        """The log without the run's summary line, which has tests of its own: the
        other lines of a run are compared whole, summary or not."""
        return [r for r in self.log if not _SUMMARY.match(r.message)]

    def messages(self):
        """The message texts, in order, without the summary line."""
        return [r.message for r in self._told()]

    def entries(self):
        """(priority, message) pairs, in order, without the summary line: compare a
        whole run at once."""
        return [(r.priority, r.message) for r in self._told()]

    @property
    def summary(self):
        """The run's summary line ("upload summary: ..." or "remove summary: ..."),
        or None."""
        found = [r.message for r in self.log if _SUMMARY.match(r.message)]
        assert len(found) <= 1, found
        return found[0] if found else None

    def has(self, message, priority=None):
        return any(r.message == message and (priority is None or r.priority == priority)
                   for r in self.log)

    def notice(self, message):
        """True when `message` was logged at LOG_NOTICE."""
        return self.has(message, NOTICE)

    def err(self, message):
        """True when `message` was logged at LOG_ERR."""
        return self.has(message, ERR)

    def count(self, message):
        return sum(1 for r in self.log if r.message == message)

    def __str__(self):
        lines = [f"argv0={self.argv0!r} returncode={self.returncode}"]
        lines += [f"  {r.raw}" for r in self.log]
        if self.stderr:
            lines.append(f"stderr: {self.stderr}")
        return "\n".join(lines)


@dataclass(frozen=True)
class ProcessRecord:
    name: str  # the kernel's command name: at most 15 characters
    pid: int  # inside the sandbox's PID namespace
    ppid: int
    status: int  # raw wait status


def parse_accounting(data):
    """Records of a BSD process accounting file (acct_v3, 64 bytes each)."""
    records = []
    for offset in range(0, len(data) - 63, 64):
        (version,) = struct.unpack_from("<xB", data, offset)
        if version != 3:
            continue
        status, pid, ppid = struct.unpack_from("<4xI8xII", data, offset)
        name = data[offset + 48:offset + 64].split(b"\0")[0].decode(errors="replace")
        records.append(ProcessRecord(name, pid, ppid, status))
    return records


def _log_socket(path, queue_length):
    """A datagram socket bound at `path`. Its queue length comes from the network
    namespace it is made in, so a longer queue is made in a thread that moved to a
    network namespace of its own (the socket is reached by its path from any other)."""
    if queue_length is None:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sock.bind(str(path))
        return sock
    made = {}

    def make():
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            if libc.unshare(0x40000000) != 0:  # CLONE_NEWNET, this thread only
                raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNET)")
            with open("/proc/sys/net/unix/max_dgram_qlen", "w") as f:
                f.write(str(queue_length))
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            sock.bind(str(path))
            made["socket"] = sock
        except OSError as error:
            made["error"] = error

    thread = threading.Thread(target=make)
    thread.start()
    thread.join()
    if "error" in made:
        raise made["error"]
    return made["socket"]


class SandboxTimeout(AssertionError):
    pass


# ---------------------------------------------------------------------------
# The sandbox

class Sandbox:
    """Runs the real binary with test folders at the device's fixed paths."""

    def __init__(self, base, binary, log_queue=None, emulator=()):
        """`log_queue`: how many lines /dev/log holds before the program's syslog
        waits; default the machine's net.unix.max_dgram_qlen (often 10). `emulator`:
        the command words that run `binary` when it is built for another machine,
        e.g. ("qemu-arm", "-L", "/usr/arm-linux-gnueabihf"); empty for a native one."""
        base = Path(base)
        for hidden in ("/opt", "/var", "/dev"):
            if str(base) == hidden or str(base).startswith(hidden + "/"):
                raise ValueError(f"sandbox folder {base} would be hidden by the tmpfs on {hidden}")
        self.root = base / "sandbox"
        self.etc = self.root / "etc"  # /opt/crateFerry/etc
        self.bin = self.root / "bin"  # /opt/crateFerry/bin
        self.work = self.root / "work"  # /var/crateFerry
        self.data = self.root / "data"  # /var/data/crateFerry
        self.home = self.root / "home"  # $HOME of the program
        self.progs = self.root / "progs"  # the binary, and names linked to it
        self.scan = base / "scan"  # same path inside and outside
        for folder in (self.etc, self.bin, self.work, self.data, self.home, self.progs,
                       self.root / "dev", self.scan):
            folder.mkdir(parents=True, exist_ok=True)
        # A copy, so the binary stays reachable even when the build tree lies under a
        # path that the sandbox covers.
        self.binary = self.progs / "crateFerry"
        shutil.copy2(binary, self.binary)
        self.emulator = list(emulator)
        self._log_socket = _log_socket(self.root / "log.sock", log_queue)
        self._log_socket.setblocking(False)
        self._holder = None
        self._holder_pid = None
        self._accounting = self.root / "accounting"

    # -- files the device provides ------------------------------------------

    @property
    def settings_path(self):
        return self.etc / "settings"

    def write_settings(self, text=None, **keys):
        """Writes /opt/crateFerry/etc/settings.

        Either raw `text`, written as it is, or keys: write_settings(scanfolder="/x",
        checkftp=1) gives the lines MOD_CRATEFERRY_SCANFOLDER="/x" and
        MOD_CRATEFERRY_CHECKFTP=1, in the order given. Strings (and paths) are written
        in double quotes, which the program strips, so any value without a line end
        arrives exactly; ints are written bare. A key already starting with
        MOD_CRATEFERRY_ is taken as it is.
        """
        if text is not None and keys:
            raise ValueError("give raw text or keys, not both")
        if text is None:
            lines = []
            for key, value in keys.items():
                name = key if key.upper().startswith("MOD_CRATEFERRY_") else \
                    "MOD_CRATEFERRY_" + key.upper()
                if isinstance(value, int):
                    lines.append(f"{name}={value}")
                else:
                    value = str(value)
                    if "\n" in value or "\r" in value:
                        raise ValueError(f"a settings value cannot hold a line end: {value!r}")
                    lines.append(f'{name}="{value}"')
            text = "".join(line + "\n" for line in lines)
        data = text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text
        self.settings_path.write_bytes(data)
        return self.settings_path

    def link_ssh_tools(self):
        """Links /usr/bin/sftp, ssh and sshpass into /opt/crateFerry/bin."""
        for tool in ("sftp", "ssh", "sshpass"):
            link = self.bin / tool
            if not link.is_symlink():
                link.symlink_to(f"/usr/bin/{tool}")

    def write_ssh_config(self, sftp_server, extra=""):
        """Writes /var/crateFerry/ssh_config for `sftp_server`: its port, password
        authentication only, no host key checks, nothing from the machine's ~/.ssh."""
        text = (
            "Host *\n"
            f"    Port {sftp_server.port}\n"
            "    StrictHostKeyChecking no\n"
            "    UserKnownHostsFile /dev/null\n"
            "    GlobalKnownHostsFile /dev/null\n"
            "    PreferredAuthentications password\n"
            "    PubkeyAuthentication no\n"
            "    KbdInteractiveAuthentication no\n"
            "    NumberOfPasswordPrompts 1\n"
            "    IdentityFile /dev/null\n"
            "    ConnectTimeout 10\n"
            "    ServerAliveInterval 5\n"
            "    ServerAliveCountMax 3\n"
            "    LogLevel ERROR\n"
        ) + extra
        path = self.work / "ssh_config"
        path.write_text(text)
        return path

    @property
    def log_socket(self):
        """The non-blocking socket behind /dev/log, for callers that drain it
        themselves (the benchmark) instead of through run()."""
        return self._log_socket

    # -- the namespace ----------------------------------------------------------

    def _ensure_started(self):
        if self._holder is not None and self._holder.poll() is None:
            return
        self._holder = subprocess.Popen(
            ["unshare", "-m", "-p", "-f", "--kill-child", "--propagation", "private",
             "--mount-proc", "/bin/sh", str(HERE / "sandbox_init.sh"), str(self.root),
             str(SANDBOX_LIFETIME)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([self._holder.stdout], [], [], 20)
        line = self._holder.stdout.readline() if ready else b""
        if line.strip() != b"ready":
            _stop_process(self._holder, signal.SIGKILL)
            raise RuntimeError("sandbox did not start: " +
                               self._holder.stderr.read().decode(errors="replace"))
        children = _child_pids(self._holder.pid)
        if len(children) != 1:
            raise RuntimeError(f"sandbox holder has children {children}")
        self._holder_pid = children[0]
        # BSD process accounting is per PID namespace: it records every process that
        # ends in the sandbox, so tests can count probes, attempts and tool runs.
        self._accounting.write_bytes(b"")
        subprocess.run(self.enter_command() + [PYTHON, "-c", _ACCT_ON, str(self._accounting)],
                       check=True, stdin=subprocess.DEVNULL)

    def enter_command(self):
        """The command prefix that runs a program inside the sandbox."""
        self._ensure_started()
        return ["nsenter", "-t", str(self._holder_pid), "-m", "-p", "--"]

    def close(self):
        """Ends every process of the sandbox and closes the log socket."""
        if self._holder is not None:
            _stop_process(self._holder, signal.SIGKILL)
            self._holder = None
        self._log_socket.close()

    # -- running the program ----------------------------------------------------

    def _read_log(self, into):
        while True:
            try:
                into.append(parse_record(self._log_socket.recv(65536)))
            except BlockingIOError:
                return

    def drain_log(self):
        """The log records waiting on the socket, e.g. of a run started in the
        background with enter_command(); run() drops them when it starts."""
        records = []
        self._read_log(records)
        return records

    def run(self, name="upload", *, faketime=None, timeout=60, argv0=None, args=(),
            terminal=False, closed_streams=False):
        """Runs the binary once as `name` and returns a RunResult.

        The binary is started through a link whose last path component is the last
        component of `name`, with argv[0] set to `argv0` (default: `name` itself),
        so "upload", "Upload", "upload.sh" and "/usr/bin/upload" all work, and with
        `args` as its further arguments. Standard
        input is /dev/null. With `faketime` (e.g. harness.FAST), it runs under
        Debian's `faketime -f OFFSET`, which its children inherit through LD_PRELOAD.
        With `terminal`, standard error is a pseudo-terminal (as when a person starts
        the program) and RunResult.stderr is what came out on it, line ends as "\n".
        With an emulator, the emulator starts the link with argv[0] `argv0`, and
        `faketime` raises ValueError. A run that outlives `timeout` seconds kills the
        whole sandbox and raises SandboxTimeout. With `closed_streams`, the program
        starts as a daemon without a syslog daemon may: descriptors 0, 1 and 2 closed,
        and nothing listening on /dev/log (in a mount namespace of the run's own), so
        RunResult.log is empty.
        """
        argv0 = name if argv0 is None else argv0
        link_name = os.path.basename(name) or "unnamed"
        link = self.progs / link_name
        if link != self.binary and not link.is_symlink():
            link.symlink_to(self.binary.name)
        command = self.enter_command()
        environment = {"PATH": SAFE_PATH, "HOME": str(self.home), "LANG": "C"}
        if faketime is not None and self.emulator:
            raise ValueError("faketime cannot speed an emulated program's sleeps")
        if faketime is not None:
            command += ["faketime", "-f", faketime]
            # File times stay real: libfaketime would shift each stat result by the
            # sped-up clock, so two looks at one unchanged file would differ.
            environment["NO_FAKE_STAT"] = "1"
        if self.emulator:
            start, words = 'exec "$@"', ["emulated", *self.emulator, "-0", argv0, str(link), *args]
        else:
            start, words = 'exec -a "$0" "$1" "${@:2}"', [argv0, str(link), *args]
        if closed_streams:
            command += ["unshare", "-m", "--propagation", "private", "/bin/bash", "-c",
                        f"umount /dev/log && {start} <&- >&- 2>&-", *words]
        else:
            command += ["/bin/bash", "-c", start, *words]

        log = []
        self._read_log([])  # drop anything left from before
        accounted = self._accounting.stat().st_size
        terminal_output = bytearray()
        terminal_side = None
        if terminal:
            terminal_side, terminal_stderr = os.openpty()
        try:
            process = subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=terminal_stderr if terminal else subprocess.PIPE, env=environment,
                cwd=self.home)
        finally:
            if terminal:
                os.close(terminal_stderr)
        # The log socket (and the terminal) are drained while the program runs: a full
        # socket queue would block its syslog calls.
        watched = [self._log_socket] + ([terminal_side] if terminal else [])
        deadline = time.monotonic() + timeout
        try:
            while process.poll() is None:
                if time.monotonic() > deadline:
                    self.close_namespace()
                    process.wait()
                    self._read_log(log)
                    raise SandboxTimeout(f"{argv0} ran longer than {timeout} s; log so far: "
                                         f"{[r.raw for r in log]}")
                ready, _, _ = select.select(watched, [], [], 0.05)
                if terminal_side in ready:
                    terminal_output += _read_terminal(terminal_side)
                self._read_log(log)
            stdout, stderr = process.communicate()
            if terminal:
                terminal_output += _read_terminal(terminal_side, until_closed=True)
                stderr = bytes(terminal_output).replace(b"\r\n", b"\n")
        finally:
            if terminal:
                os.close(terminal_side)
        self._read_log(log)
        with open(self._accounting, "rb") as f:
            f.seek(accounted)
            processes = parse_accounting(f.read())
        return RunResult(process.returncode, log, stdout.decode(errors="replace"),
                         stderr.decode(errors="replace"), argv0, processes)

    def close_namespace(self):
        """Kills every process in the sandbox; the next run starts a fresh one."""
        if self._holder is not None:
            _stop_process(self._holder, signal.SIGKILL)
            self._holder = None

    def shell(self, script, timeout=60):
        """Runs `script` with /bin/sh inside the sandbox (as the program would see the
        machine) and returns the CompletedProcess, output captured as text."""
        return subprocess.run(self.enter_command() + ["/bin/sh", "-c", script],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              env={"PATH": SAFE_PATH, "HOME": str(self.home), "LANG": "C"},
                              cwd=self.home, timeout=timeout)


def _read_terminal(fd, until_closed=False):
    """What is waiting on the pseudo-terminal's side `fd`; with `until_closed`, all
    until the last writer closed it."""
    data = bytearray()
    while True:
        ready, _, _ = select.select([fd], [], [], 0.5 if until_closed else 0)
        if not ready:
            return bytes(data)
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # EIO: no writer is left
            return bytes(data)
        if not chunk:
            return bytes(data)
        data += chunk


class Ftpd:
    """A copy of /bin/sleep named ftpd, running inside a sandbox, so that the
    program's `killall -0 ftpd` finds an FTP session."""

    def __init__(self, sandbox):
        self._sandbox = sandbox
        self._program = sandbox.progs / "ftpd"
        if not self._program.exists():
            shutil.copy2("/bin/sleep", self._program)
        self._process = None

    @property
    def alive(self):
        return self._process is not None and self._process.poll() is None

    def start(self):
        if self.alive:
            return self
        self._process = subprocess.Popen(
            self._sandbox.enter_command() + [str(self._program), str(SANDBOX_LIFETIME)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Started once nsenter's child (ftpd itself) exists.
        deadline = time.monotonic() + 10
        while not _child_pids(self._process.pid):
            if self._process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("ftpd did not start")
            time.sleep(0.01)
        return self

    def stop(self):
        if self._process is None:
            return
        for pid in _child_pids(self._process.pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        _stop_process(self._process, signal.SIGKILL)  # reaps ftpd before it returns
        self._process = None


# ---------------------------------------------------------------------------
# Servers

class _Server:
    script = ""
    default_user = ("ferry", "s3cret")
    _options = ()  # further arguments of the server script

    def __init__(self, base):
        self.state = Path(base)
        self.root = self.state / "root"  # what clients see as /
        self.root.mkdir(parents=True, exist_ok=True)
        self._users = {}
        self.add_user(*self.default_user)
        self._log = open(self.state / "server.log", "wb")
        self._process = subprocess.Popen(
            [PYTHON, str(HERE / "servers" / self.script), str(self.state), str(self.root),
             str(SERVER_LIFETIME), *self._options],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT,
            env={"PATH": SAFE_PATH, "LANG": "C.UTF-8", "PYTHONWARNINGS": "ignore"})
        _wait_for_file(self.state / "port", self._process, self.script)
        self.port = int((self.state / "port").read_text())
        self.host = "127.0.0.1"

    def _write_json(self, name, content):
        tmp = self.state / (name + ".tmp")
        tmp.write_text(json.dumps(content))
        os.replace(tmp, self.state / name)

    def _user_entry(self, password, home):
        return password

    def _set_control(self, key, value):
        control = self.state / "control.json"
        content = json.loads(control.read_text()) if control.exists() else {}
        content[key] = value(content.get(key)) if callable(value) else value
        self._write_json("control.json", content)

    def add_user(self, name, password, home=None):
        """Adds (or changes) a user. Any text works for the password."""
        self._users[name] = self._user_entry(password, home)
        self._write_json("users.json", self._users)

    @property
    def running(self):
        return self._process.poll() is None

    def stop(self):
        _stop_process(self._process, signal.SIGTERM)
        self._log.close()

    def kill(self):
        _stop_process(self._process, signal.SIGKILL)
        self._log.close()

    def server_log(self):
        return (self.state / "server.log").read_text(errors="replace")

    def events(self):
        """[(event, name)] in order, as the server's hooks recorded them."""
        path = self.state / "events.jsonl"
        if not path.exists():
            return []
        return [(e["event"], e["name"]) for e in map(json.loads, path.read_text().splitlines())]

    def most_in_use(self):
        """The most logged-in connections (FTP) or sessions (SFTP) open at once."""
        return max((int(name) for event, name in self.events() if event == "in use"), default=0)

    def wait_for_event(self, event, name, timeout=30):
        """Waits until the server logged (event, name); False on timeout. `name` may
        be a "re:" pattern, as the hooks take."""
        deadline = time.monotonic() + timeout
        while not any(e == event and names_match(name, n) for e, n in self.events()):
            if time.monotonic() > deadline or not self.running:
                return False
            time.sleep(0.02)
        return True

    def pause(self):
        """Stops the server process (SIGSTOP): connections stay open, nothing answers."""
        self._process.send_signal(signal.SIGSTOP)

    def resume(self):
        self._process.send_signal(signal.SIGCONT)


class FtpServer(_Server):
    """pyftpdlib on 127.0.0.1, passive mode, users with full rights in `root`."""
    script = "ftp_server.py"

    def __init__(self, base, passive_ports=None, passive_address=None):
        """`passive_ports` (first, last) and `passive_address`, both or neither: data
        connections only on those ports, and PASV replies that name the address (the
        benchmark's far link listens there). Default: any port, 127.0.0.1."""
        if passive_ports is not None:
            self._options = (str(passive_ports[0]), str(passive_ports[1]), passive_address)
        super().__init__(base)

    def _user_entry(self, password, home):
        folder = self.root if home is None else self.root / home
        folder.mkdir(parents=True, exist_ok=True)
        return {"password": password, "home": str(folder)}

    def add_anonymous(self, home=None):
        """Lets anyone log in as "anonymous" with any password, read-only, in `home`
        (a folder under root, created; default root itself)."""
        folder = self.root if home is None else self.root / home
        folder.mkdir(parents=True, exist_ok=True)
        self._users["anonymous"] = {"password": "", "home": str(folder), "anonymous": True}
        self._write_json("users.json", self._users)

    def url(self, path=""):
        """url("in/") -> "ftp://127.0.0.1:PORT/in/"."""
        return f"ftp://{self.host}:{self.port}/{path}"

    def _control_add(self, key, name):
        self._set_control(key, lambda names: (names or []) + [name])

    def stall_transfers(self, name):
        """The data connection of a transfer of this file name (last path component)
        goes silent once open: records ("stalled", name) in events()."""
        self._control_add("stall", name)

    def clear_stalls(self):
        self._set_control("stall", [])

    def hold_writes(self, name):
        """An upload of this name is not read until release(name): ("held", name)."""
        self._control_add("hold", name)

    def release(self, name):
        self._control_add("release", name)

    def refuse_renames(self, name):
        """A rename to this name fails with 550: ("rename refused", name)."""
        self._control_add("refuse_rename", name)

    def die_during_download(self, name):
        """A download of this name gets its first half, then the server ends: ("died", name)."""
        self._control_add("die", name)

    def store_as(self, name, other):
        """An upload of this name (STOR, or RNTO to it) lands under `other` in the same
        folder and is answered as usual, as a server that mends names does ("report
        .csv" stored as "report_.csv"): ("stored as", name)."""
        self._set_control("store_as", lambda table: {**(table or {}), name: other})

    def cut_stores(self, name, keep=None):
        """An upload of this name is read whole but keeps only its first `keep` bytes
        (default half) and is answered 226, as on a full disk: ("cut", name)."""
        self._set_control("cut", lambda table: {**(table or {}), name: keep})

    def refuse_stores(self, name, times=None):
        """The first `times` STORs of this name (None: every one) are answered 451, as
        a server under load refuses one now and then: ("store refused", name)."""
        self._set_control("refuse_store", lambda table: {**(table or {}), name: times})

    def refuse_size(self):
        """SIZE answers "502 Command not implemented." for every file, as a server
        without the extension. Unhooked, SIZE answers "213 BYTES" after TYPE I and
        550 in ASCII mode; every SIZE records ("size", name)."""
        self._set_control("refuse_size", True)

    def delay_passive_replies(self, milliseconds):
        """EPSV and PASV are answered `milliseconds` later, as across a real link."""
        self._set_control("passive_delay_ms", milliseconds)


class HttpServer(_Server):
    """http.server on 127.0.0.1: PUT stores into `root` (201), HEAD answers the size as
    Content-Length (404 for no file); no logins, credentials sent are ignored."""
    script = "http_server.py"

    def url(self, path=""):
        """url("in/a") -> "http://127.0.0.1:PORT/in/a"."""
        return f"http://{self.host}:{self.port}/{path}"

    def cut_stores(self, name, keep=None):
        """A PUT of this name is read whole but keeps only its first `keep` bytes
        (default half) and is answered 201, as on a full disk: ("cut", name)."""
        self._set_control("cut", lambda table: {**(table or {}), name: keep})


class SilentListener:
    """A TCP listener on 127.0.0.1 that accepts every connection and never sends a
    byte: a frozen server, or a link that died after the handshake."""

    def __init__(self):
        self._socket = socket.create_server(("127.0.0.1", 0))
        self.host = "127.0.0.1"
        self.port = self._socket.getsockname()[1]
        self._accepted = []
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while True:
            try:
                self._accepted.append(self._socket.accept()[0])
            except OSError:
                return

    def close(self):
        self._socket.shutdown(socket.SHUT_RDWR)
        self._socket.close()
        for connection in self._accepted:
            connection.close()


class SftpServer(_Server):
    """asyncssh on 127.0.0.1, password logins, chrooted to `root`, with hooks."""
    script = "sftp_server.py"

    def __init__(self, base):
        self._control = {"refuse": [], "hold": [], "release": []}
        Path(base).mkdir(parents=True, exist_ok=True)
        self.state = Path(base)
        self._write_json("control.json", self._control)
        super().__init__(base)

    def url(self, path=""):
        """url("in") -> "sftp://127.0.0.1/in"; the port comes from the ssh_config
        that Sandbox.write_ssh_config writes."""
        return f"sftp://{self.host}/{path}"

    def refuse_writes(self, name):
        """Opening a file of this name (last path component) for writing fails with
        "Permission denied"."""
        self._control["refuse"].append(name)
        self._write_json("control.json", self._control)

    def hold_writes(self, name):
        """The first write to a file of this name waits until release(name)."""
        self._control["hold"].append(name)
        self._write_json("control.json", self._control)

    def release(self, name):
        self._control["release"].append(name)
        self._write_json("control.json", self._control)

    def refuse_renames(self, name):
        """A rename to this name fails with "Permission denied": ("rename refused", name)."""
        self._control.setdefault("refuse_rename", []).append(name)
        self._write_json("control.json", self._control)

    def cut_writes(self, name, keep):
        """Writes to this name beyond its first `keep` bytes are acknowledged but
        dropped: the server holds the file cut short and sftp reports success;
        ("cut", name) at the first byte dropped."""
        self._control.setdefault("cut", {})[name] = keep
        self._write_json("control.json", self._control)

    def await_sessions(self, count):
        """Every session's first open for writing waits (up to 10 s) until `count`
        sessions are open at once, so sessions meant to run together are seen together."""
        self._control["await_sessions"] = count
        self._write_json("control.json", self._control)

