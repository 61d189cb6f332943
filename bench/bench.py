"""crateFerry benchmark: the program beside its floor and the tools users would pick.

Run by bench/run.sh (which installs the tools and builds the program as the package does):
    /usr/bin/python3 bench/bench.py --binary build-bench/crateFerry [--quick|--smoke]
        [--results FILE]
As root: the program runs in the end-to-end sandbox of tests/e2e/harness.py (its
fixed paths over private tmpfs mounts, /dev/log a socket of ours), and the FTP and
SFTP servers are the harness's, on 127.0.0.1. Case 8 reaches them across a far link:
bench/far_link.py, a relay on 127.0.0.2 with a round trip time and a rate.

How it measures:
- hyperfine runs inside the sandbox, so the program, its floor and its peers all start
  the same way; every case runs its commands side by side in one hyperfine call, in
  `rounds` interleaved calls, and the median of all runs is reported. Case 8, whose runs
  last seconds to minutes, times each run under GNU time instead, the commands in turn,
  `far_rounds` times, and checks every run.
- The scan folders lie on a tmpfs mounted inside the sandbox, so a disk's journal does
  not decide the figures; the servers write to the bench's temporary folder.
- Every command of a case first runs once outside the timing, and its effect is checked
  (files gone, files arrived, log lines counted): a fast command that did nothing would
  otherwise win.
- The program logs one line per file, and one summary line per run. A thread of this
  script drains /dev/log as fast as the lines come, so the program never waits on a full socket; the
  voluntary context switches of the program's own runs (GNU time) show that.
"""
import argparse
import codecs
import dataclasses
import datetime
import json
import os
import re
import select
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
import harness  # noqa: E402
from far_link import FarLink  # noqa: E402

# A full run lasts longer than the harness's test-sized lifetimes.
harness.SANDBOX_LIFETIME = 3600
harness.SERVER_LIFETIME = 3600

USER, PASSWORD = harness.FtpServer.default_user
DAY = 86400
TIMESTAMP = "/var/data/crateFerry/timestamp"  # files newer than it are pending
WARNING_TAG = b"<%d>" % harness.WARNING  # how a LOG_WARNING line starts
TOOLS = ("hyperfine", "lftp", "rclone", "strace", "time", "strip", "curl", "sftp", "sshpass")


@dataclass(frozen=True)
class Mode:
    walk_files: int  # cases 1 and 2
    small_files: int  # case 3, small files
    big_files: int  # case 3, 1 MiB files
    sftp_files: int  # case 4
    fd_files: int  # case 5
    runs: int  # timed runs per command and round, local cases
    net_runs: int  # timed runs per command and round, cases with a server
    rounds: int  # interleaved hyperfine calls per case
    far_files: int  # case 8
    far_links: tuple  # case 8: (round trip ms, Mbit/s) of each far link
    far_rounds: int  # case 8: timed runs per command (curl per file: one)
    far_pattern: str = None  # case 8: only the rows whose name it finds (--far-rows)


MODES = {
    "full": Mode(100_000, 200, 20, 500, 200, runs=10, net_runs=5, rounds=2,
                 far_files=100, far_links=((40, 8), (100, 2)), far_rounds=2),
    "quick": Mode(20_000, 100, 10, 200, 100, runs=5, net_runs=3, rounds=1,
                  far_files=40, far_links=((40, 8), (100, 2)), far_rounds=1),
    "smoke": Mode(50, 3, 1, 3, 3, runs=2, net_runs=2, rounds=1,
                  far_files=3, far_links=((10, 100),), far_rounds=1),
}


def say(text):
    print(text, flush=True)


# ---------------------------------------------------------------------------
# The log drain

class LogDrain:
    """Reads every datagram that arrives at the sandbox's /dev/log, in a thread.

    The program must never wait on its log, and it must not pay for waking a reader at
    every line either: that cost belongs to the benchmark's reader, not the program.
    So the socket holds many lines (harness.Sandbox's log_queue; the program's own
    send buffer still caps what is in flight at a few hundred), and the reader, once a
    line came, wakes every 0.2 ms on its own timer and takes all that arrived, without
    waiting on the socket; after 20 ms without a line it waits on the socket again. It
    runs at real-time priority, so other work on the machine cannot keep it off a core.
    """

    INTERVAL = 0.0002
    IDLE = 0.02

    def __init__(self, sock):
        self._sock = sock
        self.count = 0
        self.warnings = 0  # lines at LOG_WARNING
        self.realtime = False
        self._stop = False
        self._thread = threading.Thread(target=self._drain, daemon=True)
        self._thread.start()

    def _take_all(self, buffer):
        got = 0
        while True:
            try:
                self._sock.recv_into(buffer)
            except BlockingIOError:
                self.count += got
                return got
            got += 1
            if buffer[:len(WARNING_TAG)] == WARNING_TAG:
                self.warnings += 1

    def _drain(self):
        try:
            os.sched_setscheduler(threading.get_native_id(), os.SCHED_FIFO,
                                  os.sched_param(10))
            self.realtime = True
        except OSError:
            pass
        buffer = bytearray(65536)
        poller = select.poll()
        poller.register(self._sock, select.POLLIN)
        while not self._stop:
            poller.poll(100)
            last_line = time.monotonic()
            while not self._stop:
                if self._take_all(buffer):
                    last_line = time.monotonic()
                elif time.monotonic() - last_line > self.IDLE:
                    break
                time.sleep(self.INTERVAL)

    def settle(self):
        """Waits until the lines already sent are read, then returns the count."""
        last = -1
        while last != self.count:
            last = self.count
            time.sleep(0.05)
        return self.count

    def stop(self):
        self._stop = True
        self._thread.join()


# ---------------------------------------------------------------------------
# One sandbox with a scan tmpfs, hyperfine inside it

class Bench:
    def __init__(self, base, binary, mode):
        self.base = Path(base)
        self.mode = mode
        self.box = harness.Sandbox(self.base, binary, log_queue=1_000_000)
        self.scan = self.box.scan
        self.scripts = self.base / "scripts"
        self.scripts.mkdir()
        self.env = {"PATH": harness.SAFE_PATH, "HOME": str(self.box.home), "LANG": "C"}
        for name in ("upload", "remove"):
            (self.box.progs / name).symlink_to(self.box.binary.name)
        self.upload = str(self.box.progs / "upload")
        self.remove = str(self.box.progs / "remove")
        self.drain = LogDrain(self.box.log_socket)
        self.sh(f"mount -t tmpfs -o mode=0755,size=2g bench-scan {self.scan}")

    def close(self):
        self.drain.stop()
        self.box.close()

    def sh(self, script, timeout=600):
        """Runs a shell script inside the sandbox; fails loudly."""
        result = subprocess.run(self.box.enter_command() + ["/bin/sh", "-ec", script],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                env=self.env, cwd=self.box.home, timeout=timeout)
        if result.returncode != 0:
            raise RuntimeError(f"failed ({result.returncode}): {script}\n{result.stderr}")
        return result.stdout

    def script(self, name, text):
        """Writes a /bin/sh script and returns the command that runs it."""
        path = self.scripts / f"{name}.sh"
        path.write_text("set -e\n" + text + "\n")
        return f"/bin/sh {path}"

    def set_timestamp(self, when):
        stamp = self.box.data / "timestamp"
        stamp.touch()
        os.utime(stamp, (when, when))

    def timed(self, command):
        """Runs a command inside the sandbox under GNU time: (wall s, cpu s, voluntary
        context switches, peak RSS KiB, log lines it sent)."""
        before = self.drain.settle()
        out = self.sh(f"/usr/bin/time -f '%e %U %S %w %M' -o {self.base}/time.txt {command}")
        del out
        lines = self.drain.settle() - before
        wall, user, system, switches, rss = (self.base / "time.txt").read_text().split()[-5:]
        return float(wall), float(user) + float(system), int(switches), int(rss), lines

    def measure(self, commands, runs):
        """commands: [(name, command, prepare)]. Times them side by side with hyperfine
        and returns {name: [seconds...]}."""
        times = {name: [] for name, _, _ in commands}
        for _ in range(self.mode.rounds):
            out = self.base / "hyperfine.json"
            argv = self.box.enter_command() + [
                "hyperfine", "-N", "--style", "basic", "--runs", str(runs),
                "--export-json", str(out)]
            for _, _, prepare in commands:
                argv += ["--prepare", prepare]
            for name, command, _ in commands:
                argv += ["-n", name, command]
            result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                                    text=True, env=self.env, cwd=self.box.home)
            if result.returncode != 0:
                raise RuntimeError(f"hyperfine failed:\n{result.stdout}\n{result.stderr}")
            for entry in json.loads(out.read_text())["results"]:
                times[entry["command"]] += entry["times"]
        return times


# ---------------------------------------------------------------------------
# Results

class Table:
    def __init__(self, verdicts=True):
        self.verdicts = verdicts
        self.rows = []  # (case, name, median s, ratio text, target text, verdict)
        self.notes = []

    def add(self, case, name, median, ratio=None, target=None, met=None):
        ratio_text = "" if ratio is None else f"{ratio:.2f}"
        verdict = "" if met is None or not self.verdicts else ("met" if met else "MISSED")
        self.rows.append((case, name, median, ratio_text, target or "", verdict))
        say(f"  {name}: {median}  {ratio_text} {target or ''} {verdict}")

    def markdown(self):
        lines = ["| case | command | median | ratio | target | |",
                 "|---|---|---:|---:|---|---|"]
        for case, name, median, ratio, target, verdict in self.rows:
            lines.append(f"| {case} | {name} | {median} | {ratio} | {target} | {verdict} |")
        return "\n".join(lines)


def seconds(value):
    if value >= 1:
        return f"{value:.3f} s"
    return f"{value * 1000:.1f} ms"


def side_by_side(table, case, times, floor, target_ratio=None, compared=None, peers=()):
    """Adds the floor, the program (compared against the floor) and the peers."""
    floor_median = statistics.median(times[floor])
    table.add(case, floor, seconds(floor_median), 1.0)
    for name in compared or []:
        median = statistics.median(times[name])
        ratio = median / floor_median
        target = None if target_ratio is None else f"<= {target_ratio:.2f}"
        table.add(case, name, seconds(median), ratio, target,
                  None if target_ratio is None else ratio <= target_ratio)
    for name in peers:
        median = statistics.median(times[name])
        table.add(case, name, seconds(median), median / floor_median)


# Off with --earlier-version: a binary from before a log line was added still gets timed.
LOG_LINES_CHECKED = True


def expect(what, got, wanted):
    if not LOG_LINES_CHECKED and "log lines" in what:
        return
    if got != wanted:
        raise RuntimeError(f"{what}: got {got}, expected {wanted}")


def count_files(bench, folder):
    return int(bench.sh(f"find {folder} -type f | wc -l").strip())


def pending(bench, folder):
    """The files of `folder` still newer than the timestamp: not finished by upload."""
    return int(bench.sh(f"find {folder} -type f -newer {TIMESTAMP} | wc -l").strip())


# ---------------------------------------------------------------------------
# Cases

def case_walk(bench, table):
    """Cases 1 and 2: remove and upload over a big folder, beside find."""
    n = bench.mode.walk_files
    old_dir, new_dir = bench.scan / "old", bench.scan / "new"
    now = int(time.time())
    cutoff = now - DAY  # remove with timeunit 2 and timecount 1 keeps one day
    old_time = now - 10 * DAY
    names = f"seq -f 'f%06.0f' 1 {n}"
    # An hour old: younger than the age of case 1, older than the timestamp of case 2.
    bench.sh(f"mkdir -p {new_dir} && cd {new_dir} && {names} | xargs touch -d @{now - 3600}")
    make_old = (f"mkdir -p {old_dir} && cd {old_dir} && find . -maxdepth 1 -type f -delete"
                f" && {names} | xargs touch -d @{old_time}")
    prepare_old = bench.script("prepare_old", make_old)
    find_delete = f"find {old_dir} -maxdepth 1 -type f ! -newermt @{cutoff} -delete"

    # 1. Every file old: the program deletes and logs each one.
    bench.box.write_settings(scanfolder=old_dir, timeunit=2, timecount=1)
    bench.sh(make_old)
    wall, cpu, switches, _, lines = bench.timed(bench.remove)
    expect("remove left files", count_files(bench, old_dir), 0)
    expect("remove log lines", lines, n + 3)
    table.notes.append(
        f"Log capture, case 1 (remove of {n} old files, {lines} syslog lines): wall "
        f"{wall:.2f} s, CPU {cpu:.2f} s, {switches} voluntary context switches. A program "
        f"that waited on a full /dev/log socket would show one switch per wait.")
    bench.sh(make_old + " && " + find_delete)
    expect("find left files", count_files(bench, old_dir), 0)
    times = bench.measure([("find -delete", find_delete, prepare_old),
                           ("remove", bench.remove, prepare_old)], bench.mode.runs)
    side_by_side(table, f"1 remove {n} old files", times, "find -delete", 1.0, ["remove"])

    # 1b. Nothing old: a pure walk.
    bench.box.write_settings(scanfolder=new_dir, timeunit=2, timecount=1)
    find_old = f"find {new_dir} -maxdepth 1 -type f ! -newermt @{cutoff} -delete"
    lines = bench.timed(bench.remove)[4]
    expect("remove of new files", count_files(bench, new_dir), n)
    expect("walk log lines", lines, 3)
    idle = bench.script("idle", ":")
    times = bench.measure([("find (nothing old)", find_old, idle),
                           ("remove (nothing old)", bench.remove, idle)], bench.mode.runs)
    side_by_side(table, f"1 walk {n} files, none old", times, "find (nothing old)", 1.0,
                 ["remove (nothing old)"])

    # 2. Nothing pending: upload walks and stats, sends nothing. The timestamp is in the
    # past, as on a device whose clock is right (a later one makes upload warn).
    bench.set_timestamp(now - 60)
    bench.box.write_settings(scanfolder=new_dir, remoteurl="ftp://127.0.0.1:9/in/",
                             username=USER, password=PASSWORD)
    find_newer = f"find {new_dir} -maxdepth 1 -type f -newer {TIMESTAMP}"
    expect("pending files", bench.sh(find_newer), "")
    expect("upload log lines", bench.timed(bench.upload)[4], 3)
    times = bench.measure([("find -newer", find_newer, idle),
                           ("upload (nothing pending)", bench.upload, idle)], bench.mode.runs)
    side_by_side(table, f"2 upload {n} files, none pending", times, "find -newer", 1.0,
                 ["upload (nothing pending)"])


# Writes files NAME_FIRST..NAME_LAST of 4 KiB (one page of a tmpfs) into a folder, file
# i modified at BASE + i: argv folder first last base.
MAKE_PAGES = """import os, sys
folder, first, last, base = sys.argv[1], *map(int, sys.argv[2:])
page = bytes(4096)
for i in range(first, last + 1):
    path = os.path.join(folder, "f%06d" % i)
    with open(path, "wb") as f:
        f.write(page)
    os.utime(path, (base + i, base + i))
"""


def case_floor(bench, table):
    """Case 7: the space floor takes a tenth of a big folder, beside find | sort | rm."""
    n = bench.mode.walk_files
    tenth = n // 10
    page = 4096
    # The floor in MiB that a tenth of the files' pages covers, and a file system just
    # so big that exactly the oldest tenth must go to meet it.
    floor_mib = -(-tenth * page // (1 << 20))
    size = floor_mib * (1 << 20) + (n - tenth) * page
    folder = bench.scan / "floor"
    maker = bench.scripts / "make_pages.py"
    maker.write_text(MAKE_PAGES)
    base = int(time.time()) - 30 * DAY
    bench.sh(f"mkdir -p {folder} && mount -t tmpfs -o size={size} bench-floor {folder} && "
             f"/usr/bin/python3 {maker} {folder} 1 {n} {base}")
    prepare = f"/usr/bin/python3 {maker} {folder} 1 {tenth} {base}"
    pipeline = bench.script(
        "floor_pipeline", f"find {folder} -maxdepth 1 -type f -printf '%T@ %p\\n' | sort -n"
        f" | head -n {tenth} | cut -d' ' -f2- | xargs rm --")
    bench.box.write_settings(scanfolder=folder, timeunit=4, timecount=100, keepfree=floor_mib)
    lines = bench.timed(bench.remove)[4]
    expect("files the floor left", count_files(bench, folder), n - tenth)
    expect("floor log lines", lines, tenth + 4)
    bench.sh(f"{prepare} && {pipeline}")
    expect("files the pipeline left", count_files(bench, folder), n - tenth)
    name = f"remove, KEEPFREE={floor_mib}"
    times = bench.measure([("find + sort + head + rm", pipeline, prepare),
                           (name, bench.remove, prepare)], bench.mode.runs)
    side_by_side(table, f"7 space floor: the oldest {tenth} of {n} files", times,
                 "find + sort + head + rm", None, [], [name])


STRACE_EXEC = re.compile(r'execve\("/bin/sh", \["/bin/sh", "-c", "((?:[^"\\]|\\.)*)"\]')


def program_commands(bench, prepare):
    """Runs one upload under strace and returns the shell command texts it ran."""
    trace = bench.base / "strace.txt"
    bench.sh(f"{prepare} && strace -f -qq -e trace=execve -e signal=none -s 8192 "
             f"-o {trace} {bench.upload}")
    texts = [codecs.escape_decode(m.encode())[0].decode()
             for m in STRACE_EXEC.findall(trace.read_text())]
    return texts


def by_name(text, folder):
    """A command text or queue line of the program with each open file it hands a tool
    (/proc/self/fd/N, open only in the program's own child, or a session's link to it
    in /var/crateFerry/sftp_files) named by its path in `folder` instead: the floor
    opens the files by name."""
    text = re.sub(r"/([^/ ]+) -T /proc/self/fd/\d+", lambda m: f"/{m[1]} -T {folder}/{m[1]}", text)
    return re.sub(r"^put /var/crateFerry/sftp_files(?:\.\d+)?/(\S+)$", lambda m: f"put {folder}/{m[1]}",
                  text, flags=re.M)


def make_files(bench, folder, count, size):
    bench.sh(f"mkdir -p {folder} && cd {folder} && for i in $(seq -f '%04.0f' 1 {count}); "
             f"do head -c {size} /dev/urandom > file$i.dat; done")


def case_curl(bench, table):
    """Case 3: curl mode to a real FTP server, beside the same curl commands in a loop."""
    server = harness.FtpServer(bench.base / "ftp")
    try:
        root = server.root
        port = server.port
        obscured = subprocess.run(["rclone", "obscure", PASSWORD], capture_output=True,
                                  text=True, check=True).stdout.strip()
        # The third set answers EPSV and PASV after 1 ms, as a server across a LAN would:
        # on loopback the answer is often there before curl 7.88 looks for it on a
        # reused connection, and then it waits a second (see bench/README.md).
        for label, count, size, delay in (
                ("small", bench.mode.small_files, 2048, 0),
                ("1 MiB", bench.mode.big_files, 1 << 20, 0),
                ("small", bench.mode.small_files, 2048, 1)):
            server.delay_passive_replies(delay)
            folder = bench.scan / f"curl_{count}_{size}_{delay}"
            make_files(bench, folder, count, size)
            bench.set_timestamp(int(time.time()) - DAY)
            # Per-file and batch mode, with and without the size check, differ in their
            # settings: each command's preparation puts its settings file in place,
            # outside the timing.
            reset = (f"touch {folder}/*\nrm -rf {root}/prog {root}/lftp {root}/rclone\n"
                     f"mkdir {root}/prog {root}/lftp {root}/rclone\n")
            prepares = {}
            for batch in (0, 1):
                for verify in (0, 1):
                    keys = {"verify": 1} if verify else {}
                    bench.box.write_settings(scanfolder=folder, remoteurl=server.url("prog/"),
                                             username=USER, password=PASSWORD, curlbatch=batch,
                                             **keys)
                    tag = f"{count}_{size}_{delay}_{batch}_{verify}"
                    settings = bench.base / f"settings_{tag}"
                    shutil.copy(bench.box.settings_path, settings)
                    prepares[batch, verify] = bench.script(
                        f"prepare_curl_{tag}", f"{reset}cp {settings} /opt/crateFerry/etc/settings")
            prepare = prepares[0, 0]
            texts = program_commands(bench, prepare)
            expect("curl commands", len(texts), count)
            expect("files the program sent", count_files(bench, root / "prog"), count)
            # The program hands curl its credentials in the shell's environment.
            floor = bench.script(f"floor_curl_{count}_{size}_{delay}",
                                 f"export CRATEFERRY_CURL_USER='user=\"{USER}:{PASSWORD}\"'\n"
                                 + "\n".join(by_name(text, folder) for text in texts))
            lftp_script = bench.scripts / f"lftp_ftp_{count}_{size}_{delay}.lftp"
            lftp_script.write_text(
                "set ftp:ssl-allow no\nset net:max-retries 1\n"
                f"open -u {USER},{PASSWORD} ftp://127.0.0.1:{port}\n"
                f"mirror -R --no-perms {folder} /lftp\n")
            lftp = f"lftp -f {lftp_script}"
            rclone = (f"rclone copy {folder} :ftp:rclone --ftp-host 127.0.0.1 "
                      f"--ftp-port {port} --ftp-user {USER} --ftp-pass {obscured} "
                      f"--transfers 1 --checkers 1 -q --config /dev/null")
            commands = [("shell loop of the same curl commands", floor, prepare),
                        ("upload (curl mode)", bench.upload, prepare),
                        ("upload (curl mode, VERIFY=1)", bench.upload, prepares[0, 1]),
                        ("upload (curl batch)", bench.upload, prepares[1, 0]),
                        ("upload (curl batch, VERIFY=1)", bench.upload, prepares[1, 1]),
                        ("lftp mirror -R", lftp, prepare),
                        ("rclone copy", rclone, prepare)]
            times = checked_times(bench, root, commands, count, folder)
            case = f"3 curl, {count} {label} files to FTP" + (
                f", passive reply after {delay} ms" if delay else "")
            side_by_side(table, case, times, "shell loop of the same curl commands", 1.05,
                         ["upload (curl mode)"],
                         ["upload (curl mode, VERIFY=1)", "upload (curl batch)",
                          "upload (curl batch, VERIFY=1)", "lftp mirror -R", "rclone copy"])
            median = {name: statistics.median(values) for name, values in times.items()}
            batch = median["upload (curl batch)"]
            table.notes.append(
                f"Case {case}: curl batch / rclone copy = "
                f"{batch / median['rclone copy']:.2f} (target <= 1.00), "
                f"curl batch / lftp mirror -R = "
                f"{batch / median['lftp mirror -R']:.2f} (target <= 2.00); "
                f"with VERIFY=1 / without: curl mode "
                f"{median['upload (curl mode, VERIFY=1)'] / median['upload (curl mode)']:.2f}, "
                f"curl batch {median['upload (curl batch, VERIFY=1)'] / batch:.2f}.")
    finally:
        server.kill()


def checked_times(bench, root, commands, count, folder):
    """Runs every command once and checks that it sent `count` files into its folder of
    the server's `root`, and, for the program, that it finished every file of `folder`
    (none left newer than the timestamp) and logged a line per file and the three of
    every upload run; then times them side by side."""
    for name, command, prep in commands:
        bench.sh(prep)
        before = bench.drain.settle()
        bench.sh(command)
        lines = bench.drain.settle() - before
        sent = sum(count_files(bench, root / d) for d in ("prog", "lftp", "rclone")
                   if (root / d).exists())
        expect(f"files sent by {name}", sent, count)
        if command == bench.upload:
            expect(f"files {name} left pending", pending(bench, folder), 0)
            expect(f"log lines of {name}", lines, count + 3)
    return bench.measure(commands, bench.mode.net_runs)


def case_sftp(bench, table):
    """Case 4: one sftp batch, beside the same sftp command over the same queue."""
    server = harness.SftpServer(bench.base / "sftp")
    try:
        root = server.root
        count = bench.mode.sftp_files
        folder = bench.scan / "sftp"
        make_files(bench, folder, count, 2048)
        bench.box.link_ssh_tools()
        config = bench.box.write_ssh_config(server)
        bench.set_timestamp(int(time.time()) - DAY)
        reset = (f"touch {folder}/*\nrm -rf {root}/prog {root}/lftp {root}/rclone\n"
                 f"mkdir {root}/prog {root}/lftp {root}/rclone\n")
        prepares = {}
        for verify in (0, 1):
            keys = {"verify": 1} if verify else {}
            bench.box.write_settings(scanfolder=folder, remoteurl=server.url("prog"),
                                     username=USER, password=PASSWORD, **keys)
            settings = bench.base / f"settings_sftp_{verify}"
            shutil.copy(bench.box.settings_path, settings)
            prepares[verify] = bench.script(f"prepare_sftp_{verify}",
                                            f"{reset}cp {settings} /opt/crateFerry/etc/settings")
        prepare = prepares[0]
        texts = program_commands(bench, prepare)
        expect("sftp commands", len(texts), 1)
        expect("files the program sent", count_files(bench, root / "prog"), count)
        saved_queue = bench.base / "sftp_queue"
        saved_queue.write_text(by_name((bench.box.work / "sftp_list").read_text(), folder))
        prepare_floor = bench.script(
            "prepare_sftp_floor",
            f"{prepare}\ncp {saved_queue} /var/crateFerry/sftp_list\n"
            "rmdir /var/crateFerry/sftp_end 2>/dev/null || :")
        # The program hands sshpass the password in the shell's environment.
        floor = bench.script("floor_sftp", f"export SSHPASS='{PASSWORD}'\n{texts[0]}")
        obscured = subprocess.run(["rclone", "obscure", PASSWORD], capture_output=True,
                                  text=True, check=True).stdout.strip()
        lftp_script = bench.scripts / "lftp_sftp.lftp"
        lftp_script.write_text(
            f'set sftp:connect-program "ssh -a -x -F {config}"\nset net:max-retries 1\n'
            f"open -u {USER},{PASSWORD} sftp://127.0.0.1:{server.port}\n"
            f"mirror -R --no-perms {folder} /lftp\n")
        lftp = f"lftp -f {lftp_script}"
        rclone = (f"rclone copy {folder} :sftp:/rclone --sftp-host 127.0.0.1 "
                  f"--sftp-port {server.port} --sftp-user {USER} --sftp-pass {obscured} "
                  f"--sftp-disable-hashcheck --transfers 1 --checkers 1 -q --config /dev/null")
        commands = [("same sftp command over the same queue", floor, prepare_floor),
                    ("upload (sftp mode)", bench.upload, prepare),
                    ("upload (sftp mode, VERIFY=1)", bench.upload, prepares[1]),
                    ("lftp mirror -R (sftp)", lftp, prepare),
                    ("rclone copy (sftp)", rclone, prepare)]
        times = checked_times(bench, root, commands, count, folder)
        case = f"4 sftp, {count} small files in one batch"
        side_by_side(table, case, times, "same sftp command over the same queue", 1.05,
                     ["upload (sftp mode)"], ["upload (sftp mode, VERIFY=1)",
                                              "lftp mirror -R (sftp)", "rclone copy (sftp)"])
        median = {name: statistics.median(values) for name, values in times.items()}
        table.notes.append(
            f"Case {case}: sftp mode with VERIFY=1 / without = "
            f"{median['upload (sftp mode, VERIFY=1)'] / median['upload (sftp mode)']:.2f}.")
    finally:
        server.kill()


def free_ports(count):
    """The first of `count` consecutive ports that are free on 127.0.0.1 and 127.0.0.2,
    below the kernel's range of ephemeral ports."""
    for first in range(20000, 32000, count):
        sockets = []
        try:
            for port in range(first, first + count):
                for host in ("127.0.0.1", "127.0.0.2"):
                    sockets.append(socket.create_server((host, port)))
        except OSError:
            continue
        finally:
            for sock in sockets:
                sock.close()
        return first
    raise RuntimeError(f"no {count} free ports in a row")


def far_link_check(bench, ftp, rtt_ms, rate_mbit):
    """The relay itself: a curl upload of a small file through it takes as many round
    trips more than one straight to 127.0.0.1 as curl waits for, and one of 2 MiB its
    size / rate more again. Medians of three runs. Returns a note."""
    rtt, rate = rtt_ms / 1000, rate_mbit * 1e6 / 8
    folder, sizes = bench.scan / "far_check", {"small": 1024, "big": 2 << 20}
    bench.sh(f"mkdir -p {folder} {ftp.root}/check")
    walls, commands = {}, 0
    trace = bench.base / "far_check.txt"
    for name, size in sizes.items():
        bench.sh(f"head -c {size} /dev/urandom > {folder}/{name}")
        for host, port in (("127.0.0.1", ftp.port), ("127.0.0.2", ftp.port)):
            curl = (f"curl -sS -v -u {USER}:{PASSWORD} -T {folder}/{name} "
                    f"ftp://{host}:{port}/check/ 2> {trace}")
            walls[name, host] = statistics.median(bench.timed(curl)[0] for _ in range(3))
            bench.sh(f"cmp {folder}/{name} {ftp.root}/check/{name}")
        if name == "small":
            commands = sum(line.startswith("> ") for line in trace.read_text().splitlines())
    # Connect and greeting, a reply to each command, and the data with its 226 reply.
    expected = 2 + commands + 1
    added = walls["small", "127.0.0.2"] - walls["small", "127.0.0.1"]
    extra = walls["big", "127.0.0.2"] - walls["small", "127.0.0.2"]
    size_rate = (sizes["big"] - sizes["small"]) / rate
    # Each hop of the relay adds a fraction of a millisecond.
    if abs(added - expected * rtt) > 0.25 * expected * rtt + 0.03 or \
            abs(extra - size_rate) > 0.25 * size_rate + 0.03:
        raise RuntimeError(f"the far link is off: {added:.3f} s against {expected} round "
                           f"trips, {extra:.3f} s against {size_rate:.3f} s")
    return (f"The far link at {rtt_ms} ms, {rate_mbit} Mbit/s, checked with curl (medians of "
            f"3): an upload of 1 KiB took {added:.3f} s = {added / rtt:.1f} round trips longer "
            f"than straight to 127.0.0.1, against {expected} expected (connect and greeting 2, "
            f"{commands} commands that each await a reply, the data and its reply 1); one of "
            f"2 MiB took {extra:.3f} s more than that, size / rate {size_rate:.3f} s.")


FAR_SIZE = 16384
FAR_PORTS = 32  # the FTP server's data ports, all relayed
# (name, protocol, settings keys, timed in the first round only)
FAR_UPLOADS = (("upload, curl per file (1 run)", "ftp", {}, True),
               ("upload, curl batch", "ftp", {"curlbatch": 1}, False),
               ("upload, curl batch, PARALLEL=4", "ftp", {"curlbatch": 1, "parallel": 4}, False),
               ("upload, sftp", "sftp", {}, False),
               ("upload, sftp, PARALLEL=4", "sftp", {"parallel": 4}, False),
               ("upload, curl per file, PARALLEL=4", "ftp", {"parallel": 4}, False),
               ("upload, curl batch, PARALLEL=4, VERIFY=1", "ftp",
                {"curlbatch": 1, "parallel": 4, "verify": 1}, False),
               ("upload, sftp, PARALLEL=4, VERIFY=1", "sftp", {"parallel": 4, "verify": 1}, False))
# (row, reference row, highest ratio): the targets of case 8. Transfers at once beat
# rclone of their protocol (4 transfers) and halve the same mode one at a time; the
# size check (VERIFY=1) costs at most a fifth more and keeps them ahead of rclone.
FAR_TARGETS = (("upload, curl batch, PARALLEL=4", "rclone copy (FTP)", 1.0),
               ("upload, curl batch, PARALLEL=4", "upload, curl batch", 0.5),
               ("upload, sftp, PARALLEL=4", "rclone copy (SFTP)", 1.0),
               ("upload, sftp, PARALLEL=4", "upload, sftp", 0.5),
               ("upload, curl per file, PARALLEL=4", "rclone copy (FTP)", 1.0),
               ("upload, curl batch, PARALLEL=4, VERIFY=1", "upload, curl batch, PARALLEL=4", 1.2),
               ("upload, curl batch, PARALLEL=4, VERIFY=1", "rclone copy (FTP)", 1.0),
               ("upload, sftp, PARALLEL=4, VERIFY=1", "upload, sftp, PARALLEL=4", 1.2),
               ("upload, sftp, PARALLEL=4, VERIFY=1", "rclone copy (SFTP)", 1.0))


@dataclass(frozen=True)
class FarRow:
    name: str
    protocol: str  # "ftp" or "sftp"
    command: str
    prepare: str
    dest: str  # the folder it fills under the server's root
    once: bool = False  # timed in the first round only


def far_rows(bench, folder, ftp, sftp):
    """The program's modes and its peers, every one to 127.0.0.2 (the far link)."""
    root = {"ftp": ftp.root, "sftp": sftp.root}
    url = {"ftp": f"ftp://127.0.0.2:{ftp.port}/prog/", "sftp": "sftp://127.0.0.2/prog"}

    def reset(name, protocol, dest, settings=None):
        text = f"touch {folder}/*\nrm -rf {root[protocol]}/{dest}\nmkdir {root[protocol]}/{dest}"
        if settings is not None:
            text += f"\ncp {settings} /opt/crateFerry/etc/settings"
        return bench.script("prepare_far_" + re.sub(r"\W+", "_", name), text)

    rows = []
    for name, protocol, keys, once in FAR_UPLOADS:
        bench.box.write_settings(scanfolder=folder, remoteurl=url[protocol], username=USER,
                                 password=PASSWORD, **keys)
        settings = bench.base / ("settings_far_" + re.sub(r"\W+", "_", name))
        shutil.copy(bench.box.settings_path, settings)
        rows.append(FarRow(name, protocol, bench.upload,
                           reset(name, protocol, "prog", settings), "prog", once))
    config = bench.box.write_ssh_config(sftp)
    obscured = subprocess.run(["rclone", "obscure", PASSWORD], capture_output=True,
                              text=True, check=True).stdout.strip()
    for protocol, port, options in (
            ("ftp", ftp.port, f"--ftp-pass {obscured}"),
            ("sftp", sftp.port, f"--sftp-pass {obscured} --sftp-disable-hashcheck")):
        name = f"rclone copy ({protocol.upper()})"  # --transfers 4, its default
        rows.append(FarRow(name, protocol,
                           f"rclone copy {folder} :{protocol}:/rclone --{protocol}-host 127.0.0.2 "
                           f"--{protocol}-port {port} --{protocol}-user {USER} {options} "
                           "-q --config /dev/null", reset(name, protocol, "rclone"), "rclone"))
        script = bench.scripts / f"lftp_far_{protocol}.lftp"
        script.write_text("set ftp:ssl-allow no\nset net:max-retries 1\n"
                          f'set sftp:connect-program "ssh -a -x -F {config}"\n'
                          f"open -u {USER},{PASSWORD} {protocol}://127.0.0.2:{port}\n"
                          f"mirror -R --no-perms {folder} /lftp\n")
        name = f"lftp mirror -R ({protocol.upper()})"
        rows.append(FarRow(name, protocol, f"lftp -f {script}",
                           reset(name, protocol, "lftp"), "lftp"))
    return rows


def chosen_rows(rows, pattern):
    """The rows whose name `pattern` (a regular expression) finds, all of them without one."""
    return [row for row in rows if pattern is None or re.search(pattern, row.name)]


def far_times(bench, rows, folder, root, count):
    """Runs every row `far_rounds` times, one after the other, under GNU time, and checks
    every run: each file arrived whole; the program finished every file (none left newer
    than the timestamp), logged a line per file and the three of every upload run, and one
    warning more where a binary without MOD_CRATEFERRY_PARALLEL reads that key. Returns
    {name: [seconds...]}."""
    times = {row.name: [] for row in rows}
    for round_index in range(bench.mode.far_rounds):
        for row in rows:
            if row.once and round_index:
                continue
            bench.sh(row.prepare)
            warnings = bench.drain.warnings
            wall, _, _, _, lines = bench.timed(row.command)
            bench.sh(f"diff -rq {folder} {root[row.protocol]}/{row.dest} >&2")
            if row.command == bench.upload:
                warned = bench.drain.warnings - warnings
                expect(f"log lines of {row.name}", (lines - warned, warned),
                       (count + 3, int(warned > 0 and "PARALLEL" in row.name)))
                expect(f"files {row.name} left pending", pending(bench, folder), 0)
            times[row.name].append(wall)
            say(f"    {row.name}: {wall:.2f} s")
    return times


def case_far(bench, table):
    """Case 8: small files across a far link (a relay in user space), beside rclone and lftp."""
    count = bench.mode.far_files
    passive = free_ports(FAR_PORTS)
    ftp = harness.FtpServer(bench.base / "ftp", passive_ports=(passive, passive + FAR_PORTS - 1),
                            passive_address="127.0.0.2")
    sftp = harness.SftpServer(bench.base / "sftp")
    try:
        folder = bench.scan / "far"
        make_files(bench, folder, count, FAR_SIZE)
        bench.set_timestamp(int(time.time()) - DAY)
        bench.box.link_ssh_tools()
        rows = chosen_rows(far_rows(bench, folder, ftp, sftp), bench.mode.far_pattern)
        root = {"ftp": ftp.root, "sftp": sftp.root}
        ports = [ftp.port, sftp.port, *range(passive, passive + FAR_PORTS)]
        for index, (rtt_ms, rate_mbit) in enumerate(bench.mode.far_links):
            case = f"8 far link, {count} x 16 KiB, {rtt_ms} ms, {rate_mbit} Mbit/s"
            say(f"  {case}")
            with FarLink(rtt_ms, rate_mbit, ports):
                if index == 0:
                    table.notes.append(far_link_check(bench, ftp, rtt_ms, rate_mbit))
                times = far_times(bench, rows, folder, root, count)
            medians = {name: statistics.median(values) for name, values in times.items()}
            floor = count * FAR_SIZE * 8 / (rate_mbit * 1e6)
            table.add(case, f"the bytes alone: {count} x 16 KiB / rate (computed)",
                      seconds(floor), 1.0)
            for name, median in medians.items():
                table.add(case, name, seconds(median), median / floor)
            for new, reference, target in FAR_TARGETS:
                if new not in medians or reference not in medians:
                    continue
                ratio = medians[new] / medians[reference]
                table.add(case, f"{new} / {reference}", "", ratio, f"<= {target:.2f}",
                          ratio <= target)
            peer = {"ftp": medians.get("rclone copy (FTP)"), "sftp": medians.get("rclone copy (SFTP)")}
            if None in peer.values():
                continue
            table.notes.append(f"Case {case}, each upload / rclone copy of its protocol: " +
                               ", ".join(f"{row.name} {medians[row.name] / peer[row.protocol]:.2f}"
                                         for row in rows if row.command == bench.upload) + ".")
    finally:
        ftp.kill()
        sftp.kill()


def case_descriptors(bench, table):
    """Case 5: the cost of starting children under a low and a high descriptor limit."""
    count = bench.mode.fd_files
    folder = bench.scan / "fd"
    dest = bench.base / "file_dest"
    make_files(bench, folder, count, 512)
    bench.set_timestamp(int(time.time()) - DAY)
    bench.box.write_settings(scanfolder=folder, remoteurl=f"file://{dest}/")
    hard = bench.sh("ulimit -Hn").strip()
    prepare = bench.script("prepare_fd", f"touch {folder}/*\nrm -rf {dest}\nmkdir {dest}")
    low = bench.script("limit_low", f"ulimit -n 1024\nexec {bench.upload}")
    high = bench.script("limit_high", f"ulimit -n {hard}\nexec {bench.upload}")
    for command in (low, high):
        bench.sh(f"{prepare} && {command}")
        expect("files copied", count_files(bench, dest), count)
    times = bench.measure([("ulimit -n 1024", low, prepare),
                           (f"ulimit -n {hard}", high, prepare)], bench.mode.runs)
    side_by_side(table, f"5 upload {count} files to file://", times, "ulimit -n 1024", 1.1,
                 [f"ulimit -n {hard}"])


def case_footprint(bench, table, binary):
    """Case 6: stripped size, peak resident memory, wall time beside /bin/true."""
    stripped = bench.base / "crateFerry.stripped"
    shutil.copy(binary, stripped)
    subprocess.run(["strip", str(stripped)], check=True)
    size = stripped.stat().st_size
    table.add("6 footprint", "stripped executable", f"{size / 1024:.1f} KiB", None,
              "<= 100 KiB", size <= 100 * 1024)
    empty = bench.scan / "empty"
    bench.sh(f"mkdir -p {empty}")
    bench.box.write_settings(scanfolder=empty, remoteurl="ftp://127.0.0.1:9/in/")
    rss = statistics.median(bench.timed(bench.upload)[3] for _ in range(5))
    table.add("6 footprint", "peak RSS, upload over an empty folder", f"{rss:.0f} KiB", None,
              "<= 3072 KiB", rss <= 3072)
    true_rss = statistics.median(bench.timed("/bin/true")[3] for _ in range(5))
    table.add("6 footprint", "peak RSS, /bin/true", f"{true_rss:.0f} KiB")
    idle = bench.script("idle6", ":")
    times = bench.measure([("/bin/true", "/bin/true", idle),
                           ("upload (empty folder)", bench.upload, idle)],
                          bench.mode.runs * 5)
    side_by_side(table, "6 start and exit", times, "/bin/true", None, [], ["upload (empty folder)"])


# ---------------------------------------------------------------------------

def machine_text():
    def run(argv):
        return subprocess.run(argv, capture_output=True, text=True).stdout.strip()
    lscpu = "\n".join(run(["lscpu"]).splitlines()[:10])
    return (f"- date: {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}\n"
            f"- nproc: {run(['nproc'])}\n- kernel: {run(['uname', '-srm'])}\n"
            f"- load average at start: {Path('/proc/loadavg').read_text().split()[:3]}\n"
            f"- lscpu | head:\n\n```\n{lscpu}\n```\n"
            f"- tools: {run(['hyperfine', '--version'])}, "
            f"{run(['curl', '--version']).splitlines()[0].split(' (')[0]}, "
            f"lftp {run(['lftp', '--version']).split('Version ')[1].split()[0]}, "
            f"{run(['rclone', 'version']).splitlines()[0]}, "
            f"{run(['ssh', '-V']) or subprocess.run(['ssh', '-V'], capture_output=True, text=True).stderr.strip()}")


def far_links(text):
    """--far-links: "40:8,100:2" -> ((40, 8), (100, 2))."""
    try:
        links = tuple(tuple(int(part) for part in link.split(":")) for link in text.split(","))
    except ValueError:
        links = ()
    if not links or any(len(link) != 2 or min(link) <= 0 for link in links):
        raise argparse.ArgumentTypeError(f"not RTT_MS:MBIT[,RTT_MS:MBIT...]: {text}")
    return links


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True, type=Path)
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--quick", action="store_true")
    group.add_argument("--smoke", action="store_true")
    parser.add_argument("--results", type=Path, help="write the table to this file")
    parser.add_argument("--cases", default="12345678", help="which cases to run, e.g. 12")
    parser.add_argument("--far-links", type=far_links,
                        help="case 8's links instead of the mode's: round trip ms and Mbit/s, "
                             "e.g. 40:8 or 40:8,100:2")
    parser.add_argument("--far-rows", metavar="PATTERN",
                        help="case 8's rows whose name this regular expression finds, "
                             'e.g. "PARALLEL=4|rclone"')
    parser.add_argument("--far-rounds", type=int, help="case 8's timed runs per command")
    parser.add_argument("--earlier-version", action="store_true",
                        help="the binary is an earlier version: its log lines are not counted")
    args = parser.parse_args()
    global LOG_LINES_CHECKED
    LOG_LINES_CHECKED = not args.earlier_version
    if not harness.is_root():
        say("bench: skipped, needs root (the sandbox uses unshare and mounts)")
        return 77
    missing = [tool for tool in TOOLS if shutil.which(tool, path=harness.SAFE_PATH) is None]
    if missing:
        say(f"bench: skipped, missing tools (bench/run.sh installs them): {missing}")
        return 77
    mode_name = "smoke" if args.smoke else "quick" if args.quick else "full"
    mode = MODES[mode_name]
    if args.far_links:
        mode = dataclasses.replace(mode, far_links=args.far_links)
    if args.far_rounds:
        mode = dataclasses.replace(mode, far_rounds=args.far_rounds)
    mode = dataclasses.replace(mode, far_pattern=args.far_rows)
    started = time.monotonic()
    before = {p for p in harness.DEVICE_PATHS if os.path.lexists(p)}
    table = Table(verdicts=mode_name != "smoke")
    base = Path(tempfile.mkdtemp(prefix="crateferry-bench-"))
    try:
        machine = machine_text()
        cases = [("1", "2", case_walk), ("3", None, case_curl), ("4", None, case_sftp),
                 ("5", None, case_descriptors), ("7", None, case_floor), ("8", None, case_far)]
        for first, second, function in cases:
            if first not in args.cases and (second is None or second not in args.cases):
                continue
            say(f"case {first}{'-' + second if second else ''}: {function.__doc__.splitlines()[0]}")
            bench = Bench(base / f"case{first}", args.binary, mode)
            try:
                function(bench, table)
            finally:
                bench.close()
        if "6" in args.cases:
            say("case 6: footprint")
            bench = Bench(base / "case6", args.binary, mode)
            try:
                case_footprint(bench, table, args.binary)
            finally:
                bench.close()
    finally:
        subprocess.run(["rm", "-rf", str(base)], check=False)
    appeared = [p for p in harness.DEVICE_PATHS if os.path.lexists(p) and p not in before]
    if appeared:
        raise RuntimeError(f"the benchmark created {appeared} on the real machine")
    elapsed = time.monotonic() - started
    text = (f"# crateFerry benchmark, {mode_name} mode\n\n{machine}\n\n"
            f"Medians of {mode.rounds} interleaved hyperfine round(s); ratio = median / "
            f"median of the first row of its case, measured in the same run. " +
            (f"Case 8: {mode.far_rounds} run(s) per command under GNU time, curl per file one. "
             if "8" in args.cases else "") + "Whole run: "
            f"{elapsed:.0f} s.\n\n{table.markdown()}\n\n" +
            "".join(f"- {note}\n" for note in table.notes))
    say("\n" + text)
    if args.results:
        args.results.parent.mkdir(parents=True, exist_ok=True)
        args.results.write_text(text)
        say(f"written to {args.results}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
