"""The remove operation: which files of the scan folder go, what the log says of them.

The program takes the current time once, at a moment the test cannot choose. The tables
of ages therefore keep a margin of a minute around each boundary; the exact boundary
(a file exactly the age old stays) is tested by reading that moment back from the log
stamps. The clock is never faked here: libfaketime also rewrites the times that stat()
reports, so a faked clock would make the outcome depend on which stat call the program
happens to use.
"""
import os
import time

import pytest

from harness import ERR, NOTICE, WARNING

STARTED = (NOTICE, "started")
EXITED = (NOTICE, "exited")
HOUR, DAY, MONTH, YEAR = 3600, 86400, 2592000, 31104000
MARGIN = 60  # seconds on either side of a boundary that the table does not test exactly
EPOCH = "epoch"  # an absolute modification time of 0, not an offset from now
MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()


def removed_line(path):
    return (NOTICE, f"File {path} were removed")


def make_file(path, mtime):
    path.write_text(path.name)
    os.utime(path, (mtime, mtime))
    return path


def assert_removed_exactly(result, expected):
    """The run logged one "were removed" line per expected path, and nothing else
    between "started" and "exited"."""
    assert result.returncode == 0, result
    entries = result.entries()
    assert entries[0] == STARTED and entries[-1] == EXITED, result
    assert sorted(entries[1:-1]) == sorted(removed_line(p) for p in expected), result


def logged_second(record, near):
    """Seconds since the epoch of a syslog line's stamp ("<29>Dec  8 08:12:34 ..."),
    which is local time without a year: the year that puts it nearest to `near`."""
    stamp = record.raw.split(">", 1)[1][:15]
    month, day = MONTHS.index(stamp[:3]) + 1, int(stamp[4:6])
    hour, minute, second = (int(part) for part in stamp[7:15].split(":"))
    year = time.localtime(near).tm_year
    candidates = [time.mktime((y, month, day, hour, minute, second, 0, 0, -1))
                  for y in (year - 1, year, year + 1)]
    return int(min(candidates, key=lambda t: abs(t - near)))


# (timeunit, timecount, {name: (modification time as offset from now or EPOCH, removed)})
AGES = [
    pytest.param(2, 7, {"older.dat": (-7 * DAY - MARGIN, True),
                        "younger.dat": (-7 * DAY + MARGIN, False)},
                 id="unit 2 counts days"),
    pytest.param(3, 2, {"older.dat": (-2 * MONTH - MARGIN, True),
                        "younger.dat": (-2 * MONTH + MARGIN, False),
                        "two months.dat": (-61 * DAY, True)},
                 id="unit 3 counts 30-day months"),
    pytest.param(4, 1, {"older.dat": (-YEAR - MARGIN, True),
                        "younger.dat": (-YEAR + MARGIN, False),
                        "a year.dat": (-365 * DAY, True)},
                 id="unit 4 counts 360-day years"),
    pytest.param(0, 3, {"older.dat": (-3 * HOUR - MARGIN, True),
                        "younger.dat": (-3 * HOUR + MARGIN, False)},
                 id="unit 0 falls back to hours"),
    pytest.param(1, 2, {"older.dat": (-2 * HOUR - MARGIN, True),
                        "younger.dat": (-2 * HOUR + MARGIN, False)},
                 id="unit 1 counts hours"),
    pytest.param(5, 1, {"older.dat": (-HOUR - MARGIN, True),
                        "younger.dat": (-HOUR + MARGIN, False), "a day.dat": (-DAY, True)},
                 id="unit 5 falls back to hours"),
    pytest.param(2, 0, {"past.dat": (-MARGIN, True), "future.dat": (HOUR, False),
                        "epoch.dat": (EPOCH, True)},
                 id="count 0 removes every file but those from the future"),
    pytest.param(4, 100, {"ten years.dat": (-10 * 365 * DAY, False),
                          "epoch.dat": (EPOCH, False)},
                 id="100 years of 360 days do not wrap around, so even the epoch stays"),
    pytest.param(4, 139, {"ten years.dat": (-10 * 365 * DAY, False),
                          "epoch.dat": (EPOCH, False)},
                 id="139 years pass 2 to the 32 seconds and do not wrap to 330 days"),
    pytest.param(4, 4294967295, {"ten years.dat": (-10 * 365 * DAY, False),
                                 "epoch.dat": (EPOCH, False)},
                 id="the largest count times the largest unit does not overflow"),
]


@pytest.mark.parametrize("timeunit, timecount, files", AGES)
def test_files_older_than_the_age_are_removed(sandbox, timeunit, timecount, files):
    now = int(time.time())
    paths = {}
    for name, (offset, _) in files.items():
        paths[name] = make_file(sandbox.scan / name, 0 if offset == EPOCH else now + offset)
    sandbox.write_settings(scanfolder=sandbox.scan, timeunit=timeunit, timecount=timecount)
    result = sandbox.run("remove")
    expected = [paths[name] for name, (_, removed) in files.items() if removed]
    assert_removed_exactly(result, expected)
    for name, path in paths.items():
        assert path.exists() != files[name][1], name


@pytest.mark.parametrize("timecount", [7, 0], ids=["7 days", "count 0"])
def test_a_file_exactly_the_age_old_stays_and_one_second_older_goes(sandbox, timecount):
    # Files whose age ends at each second from 2 s before to 8 s after the test's
    # clock; the program's own moment is read back from the log. Runs start early in
    # a second, so "started" and "exited" carry the one second in which the program
    # took the time; a run that straddles a second is repeated.
    age = timecount * DAY
    sandbox.write_settings(scanfolder=sandbox.scan, timeunit=2, timecount=timecount)
    sandbox.enter_command()  # start the namespace before taking the time
    for _ in range(5):
        while time.time() % 1 > 0.3:
            time.sleep(0.05)
        now = int(time.time())
        files = {k: make_file(sandbox.scan / f"ends at {k:+d}.dat", now - age + k)
                 for k in range(-2, 9)}
        result = sandbox.run("remove")
        first, last = (logged_second(r, now) for r in (result.log[0], result.log[-1]))
        if first == last:
            break
        for path in files.values():
            path.unlink(missing_ok=True)
    else:
        pytest.fail("no run took place within one second")
    taken = first - now
    assert taken in files, f"the program took the time {taken} s after the test"
    assert_removed_exactly(result, [p for k, p in files.items() if k < taken])
    assert files[taken].exists() and not files[taken - 1].exists()


def test_only_regular_files_are_removed_and_subfolders_are_not_entered(sandbox, tmp_path):
    old = 1000
    plain = make_file(sandbox.scan / "plain.dat", old)
    hidden = make_file(sandbox.scan / ".hidden", old)
    outside = make_file(tmp_path / "outside.dat", old)
    link = sandbox.scan / "link-to-old"
    link.symlink_to(outside)
    dangling = sandbox.scan / "dangling-link"
    dangling.symlink_to(tmp_path / "nothing")
    sub = sandbox.scan / "sub"
    sub.mkdir()
    deep = make_file(sub / "deep.dat", old)
    fifo = sandbox.scan / "fifo"
    os.mkfifo(fifo)
    for entry in (link, dangling, sub, fifo):
        os.utime(entry, (old, old), follow_symlinks=False)
    sandbox.write_settings(scanfolder=sandbox.scan, timeunit=2, timecount=1)
    result = sandbox.run("remove")
    assert_removed_exactly(result, [plain, hidden])
    assert not plain.exists() and not hidden.exists()
    assert link.is_symlink() and outside.exists() and dangling.is_symlink()
    assert sub.is_dir() and deep.exists() and fifo.exists()


def test_a_failed_deletion_is_logged_as_removed_and_the_file_stays(sandbox):
    old = make_file(sandbox.scan / "old.dat", 1000)
    young = make_file(sandbox.scan / "young.dat", int(time.time()))
    # A read-only view of the scan folder, seen only inside the sandbox: unlink fails
    # with EROFS even for root.
    scan = sandbox.scan
    mounted = sandbox.shell(f"mount --bind '{scan}' '{scan}' && "
                            f"mount -o remount,bind,ro '{scan}' '{scan}'")
    assert mounted.returncode == 0, mounted.stderr
    sandbox.write_settings(scanfolder=scan, timeunit=2, timecount=1)
    result = sandbox.run("remove")
    assert_removed_exactly(result, [old])
    assert old.exists() and young.exists()


UNOPENABLE = [
    pytest.param("", id="an empty scan folder setting"),
    pytest.param("missing", id="a scan folder that does not exist"),
    pytest.param("file.dat", id="a scan folder that is a regular file"),
]


@pytest.mark.parametrize("name", UNOPENABLE)
def test_a_scan_folder_that_cannot_be_opened_is_logged_at_err(sandbox, name):
    old = make_file(sandbox.scan / "file.dat", 1000)
    folder = str(sandbox.scan / name) if name else ""
    sandbox.write_settings(scanfolder=folder, timeunit=2, timecount=1)
    result = sandbox.run("remove")
    assert result.returncode == 0, result
    assert result.entries() == [STARTED, (ERR, f"Cannot open dir: {folder}"), EXITED], result
    assert old.exists()


def test_a_long_path_is_never_cut_into_the_name_of_another_file(sandbox):
    # The scan folder is made long enough that an old file's path passes 255
    # characters while a young file's path is exactly its first 255 characters.
    # Cutting the old path would examine and delete the young file instead.
    scan = sandbox.scan
    if len(str(scan)) < 140:
        scan = scan / ("long-folder-" + "x" * (140 - len(str(scan)) - 13))
        scan.mkdir()
    young_name = "y" * (255 - len(str(scan)) - 1)
    assert 0 < len(young_name) < 150, scan
    young = make_file(scan / young_name, int(time.time()))
    old = make_file(scan / (young_name + "-and-the-rest-of-an-old-name.dat"), 1000)
    assert len(str(young)) == 255 and str(old)[:255] == str(young) and len(str(old)) > 255
    sandbox.write_settings(scanfolder=scan, timeunit=2, timecount=1)
    result = sandbox.run("remove")
    assert_removed_exactly(result, [old])
    assert not old.exists() and young.exists()


# Pruning rules: files of 2 MiB made inside the sandbox, on a file system of its own
# (a tmpfs of `space` MiB over the scan folder) when the row has one. A file given as
# (time, size) is sparse instead: that size, no room taken.
AGE_KEYS = ["MOD_CRATEFERRY_TIMEUNIT=0", "MOD_CRATEFERRY_TIMECOUNT=1"]  # an hour
FLOOR_KEYS = ["MOD_CRATEFERRY_TIMEUNIT=2", "MOD_CRATEFERRY_TIMECOUNT=30"]
AGED = {"finished": -3 * DAY, "pending": -DAY, "young": -MARGIN}  # reference -2 days
STORED = {"F1": -20 * DAY, "F2": -15 * DAY, "P1": -5 * DAY, "P2": -2 * DAY, "P3": -DAY}
BIG = "5G"  # past what 32 bits hold
LATE = "2040-01-01 UTC"  # a clock that ran ahead, past 2038: pending, and from the future
CLOCK = "the clock is behind the reference time: "
NO_TIMECOUNT = "MOD_CRATEFERRY_TIMECOUNT is not set: every file modified before now counts as old"


def unknown(text):
    return (WARNING, f'unknown setting "{text}" in /opt/crateFerry/etc/settings')


def unsent(name):
    return (WARNING, f"File {{scan}}/{name} was never uploaded")


def gone(name):
    return removed_line(f"{{scan}}/{name}")


# (operation, settings lines, reference offset or None, files {name: offset}, tmpfs
#  MiB or None, log between "started" and "exited", files left)
PRUNING = [
    pytest.param("remove", AGE_KEYS, -2 * DAY, AGED, None,
                 [gone("finished"), unsent("pending"), gone("pending")], ["young"],
                 id="the age rule warns before removing a pending file"),
    pytest.param("remove", AGE_KEYS, None, AGED, None, [gone("finished"), gone("pending")],
                 ["young"], id="without a timestamp file nothing is known to be unsent"),
    pytest.param("remove", AGE_KEYS + ["MOD_CRATEFERRY_KEEPPENDING=1"], -2 * DAY, AGED, None,
                 [gone("finished"),
                  (NOTICE, "files never uploaded and kept past their age: 1")],
                 ["pending", "young"], id="KEEPPENDING keeps a pending file past its age"),
    pytest.param("remove", FLOOR_KEYS + ["MOD_CRATEFERRY_KEEPFREE=5"], -10 * DAY, STORED, 12,
                 [(WARNING, "less than 5 MiB free in {scan}: removing the oldest files"),
                  gone("F1"), gone("F2")], ["P1", "P2", "P3"],
                 id="KEEPFREE takes the oldest finished files until the floor is met"),
    pytest.param("remove", FLOOR_KEYS + ["MOD_CRATEFERRY_KEEPFREE=9",
                                         "MOD_CRATEFERRY_KEEPPENDING=1"], -10 * DAY, STORED, 12,
                 [(WARNING, "less than 9 MiB free in {scan}: removing the oldest files"),
                  gone("F1"), gone("F2"), unsent("P1"), gone("P1"), unsent("P2"), gone("P2")],
                 ["P3"], id="KEEPFREE then takes the oldest pending files, KEEPPENDING or not"),
    pytest.param("remove", AGE_KEYS, -2 * DAY, {"big": (-3 * DAY, BIG), "late": LATE}, None,
                 [gone("big")], ["late"],
                 id="a sparse 5 GiB file goes by age, one dated 2040 is from the future"),
    pytest.param("remove", FLOOR_KEYS + ["MOD_CRATEFERRY_KEEPFREE=11"], -10 * DAY,
                 {"F1": -20 * DAY, "big": (-15 * DAY, BIG), "late": LATE}, 12,
                 [(WARNING, "less than 11 MiB free in {scan}: removing the oldest files"),
                  gone("F1"), gone("big"), unsent("late"), gone("late")], [],
                 id="KEEPFREE takes a sparse 5 GiB file, then a pending one dated 2040"),
    pytest.param("remove", AGE_KEYS, DAY, {"old": -10 * DAY}, None,
                 [(WARNING, CLOCK + "no file is removed by age")], ["old"],
                 id="a clock behind the reference removes nothing by age"),
    pytest.param("upload", ["MOD_CRATEFERRY_REMOTEURL=ftp://127.0.0.1:9/"], DAY,
                 {"new": -MARGIN}, None,
                 [(WARNING, CLOCK + "files written now are not seen as new")], ["new"],
                 id="upload warns of a clock behind the reference"),
    pytest.param("remove", ["mod_crateferry_timeunit=0", "MOD_CRATEFERRY_TIMECOUT=1",
                            "MOD_CRATEFERRY_KEEPPENDING =1", " # MOD_CRATEFERRY_OLD=1"],
                 -2 * DAY, AGED, None,
                 [unknown("MOD_CRATEFERRY_TIMECOUT"), unknown("MOD_CRATEFERRY_KEEPPENDING "),
                  (WARNING, NO_TIMECOUNT), gone("finished"), unsent("pending"), gone("pending"),
                  unsent("young"), gone("young")], [],
                 id="mistyped keys are warned about and a missing TIMECOUNT too"),
    pytest.param("upload", ["MOD_CRATEFERRY_CURLBACH=1"], -2 * DAY, {}, None,
                 [unknown("MOD_CRATEFERRY_CURLBACH")], [],
                 id="upload warns of a mistyped key but not of a missing TIMECOUNT"),
]


def canonical(entries):
    """The log as groups (a "never uploaded" warning with the line after it), those
    before the space floor's warning sorted: the walk takes the folder's order."""
    groups = []
    for entry in entries:
        if groups and groups[-1][-1][1].endswith(" was never uploaded"):
            groups[-1] += (entry,)
        else:
            groups.append((entry,))
    floor = next((k for k, g in enumerate(groups) if "MiB free in" in g[0][1]), len(groups))
    return sorted(groups[:floor]) + groups[floor:]


@pytest.mark.parametrize("operation, lines, reference, files, space, log, left", PRUNING)
def test_pruning_rules(sandbox, operation, lines, reference, files, space, log, left):
    scan, now = sandbox.scan, int(time.time())
    sandbox.write_settings("".join(f"{line}\n" for line in
                                   [f'MOD_CRATEFERRY_SCANFOLDER="{scan}"'] + lines))
    if reference is not None:
        make_file(sandbox.data / "timestamp", now + reference)
    script = [f"mount -t tmpfs -o size={space}m tmpfs '{scan}'"] if space else []
    for name, when in files.items():
        when, size = when if isinstance(when, tuple) else (when, None)
        made = f"truncate -s {size}" if size else "head -c 2097152 /dev/zero >"
        stamp = when if isinstance(when, str) else f"@{now + when}"
        script.append(f"{made} '{scan}/{name}' && touch -d '{stamp}' '{scan}/{name}'")
    made = sandbox.shell(" && ".join(script + ["true"]))
    assert made.returncode == 0, made.stderr
    result = sandbox.run(operation)
    print(result)
    expected = [(p, m.format(scan=scan)) for p, m in log]
    assert result.entries()[0] == STARTED and result.entries()[-1] == EXITED, result
    assert canonical(result.entries()[1:-1]) == canonical(expected), result
    assert sandbox.shell(f"ls '{scan}'").stdout.split() == sorted(left)
