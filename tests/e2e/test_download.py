"""Download before upload: remote files fetched into the scan folder, then sent on in
the same run, through the real binary and a real FTP server."""
import os
from pathlib import Path

import pytest

from harness import ERR, NOTICE

STARTED = (NOTICE, "started")
EXITED = (NOTICE, "exited")


def setup_run(sandbox, ftp_server, download_url, scanfolder=None, **settings):
    """Downloads as ferry from `download_url`, then uploads to the server's "in/"
    folder; returns that folder. No timestamp file: every fetched file is pending."""
    remote_in = ftp_server.root / "in"
    remote_in.mkdir(exist_ok=True)
    keys = dict(scanfolder=sandbox.scan if scanfolder is None else scanfolder, download=1,
                download_url=download_url, download_user="ferry", download_passwd="s3cret",
                remoteurl=ftp_server.url("in/"), username="ferry", password="s3cret")
    keys.update(settings)
    sandbox.write_settings(**keys)
    return remote_in


def remote_out(ftp_server, files):
    """The server's "out/" folder holding `files` (name -> bytes)."""
    out = ftp_server.root / "out"
    out.mkdir(exist_ok=True)
    for name, content in files.items():
        (out / name).write_bytes(content)
    return out


def downloading(url):
    return (NOTICE, f"downloading {url}")


def uploaded(path):
    return (NOTICE, f"File {path} was uploaded")


def pwned_files(sandbox, ftp_server):
    found = list(Path(sandbox.root).parent.rglob("PWNED")) + list(ftp_server.root.rglob("PWNED"))
    return found + [p for p in (Path("/tmp/PWNED"), Path("/PWNED")) if p.exists()]


def test_a_single_remote_file_is_fetched_and_then_uploaded(sandbox, ftp_server):
    content = bytes(range(256)) + b"\r\n\0"
    remote_out(ftp_server, {"file.dat": content, "other.dat": b"not asked for"})
    url = ftp_server.url("out/file.dat")
    remote_in = setup_run(sandbox, ftp_server, url)

    result = sandbox.run("upload")

    fetched = sandbox.scan / "file.dat"
    assert result.entries() == [STARTED, downloading(url), uploaded(fetched), EXITED], result
    assert [p.name for p in sandbox.scan.iterdir()] == ["file.dat"]
    assert fetched.read_bytes() == content and (remote_in / "file.dat").read_bytes() == content
    assert fetched.stat().st_mtime == 0  # stamped to the reference time: no timestamp file
    assert not (sandbox.work / "list").exists()


def test_every_file_of_a_remote_folder_is_fetched_and_then_uploaded(sandbox, ftp_server):
    files = {"a.dat": b"first", "b.dat": b"second"}
    remote_out(ftp_server, files)
    url = ftp_server.url("out/")
    remote_in = setup_run(sandbox, ftp_server, url)

    result = sandbox.run("upload")

    entries = result.entries()
    assert entries[:3] == [STARTED, downloading(url + "a.dat"), downloading(url + "b.dat")], result
    assert sorted(entries[3:-1]) == sorted(uploaded(sandbox.scan / n) for n in files), result
    assert entries[-1] == EXITED
    for name, content in files.items():
        assert (sandbox.scan / name).read_bytes() == content
        assert (remote_in / name).read_bytes() == content
    assert not (sandbox.work / "list").exists()


@pytest.mark.parametrize("path", ["out/", "out/a.dat"], ids=["a folder", "a single file"])
def test_without_credentials_an_anonymous_server_is_read(sandbox, ftp_server, path):
    ftp_server.add_anonymous()
    remote_out(ftp_server, {"a.dat": b"public"})
    setup_run(sandbox, ftp_server, ftp_server.url(path), download_user="", download_passwd="")

    result = sandbox.run("upload")

    assert result.notice(f"downloading {ftp_server.url('out/a.dat')}"), result
    assert (sandbox.scan / "a.dat").read_bytes() == b"public"
    assert "USER 'anonymous' logged in" in ftp_server.server_log()
    assert not any(p.priority == ERR for p in result.log), result


def test_a_wrong_password_fails_the_listing_and_the_upload_still_runs(sandbox, ftp_server):
    remote_out(ftp_server, {"a.dat": b"remote"})
    remote_in = setup_run(sandbox, ftp_server, ftp_server.url("out/"), download_passwd="wrong")
    local = sandbox.scan / "local.dat"
    local.write_bytes(b"local")

    result = sandbox.run("upload")

    assert result.entries() == [
        STARTED, (ERR, "getting list of files has failed(curl: (67) Access denied: 530)"),
        uploaded(local), EXITED], result
    assert [p.name for p in sandbox.scan.iterdir()] == ["local.dat"]
    assert [p.name for p in remote_in.iterdir()] == ["local.dat"]


def test_a_listed_file_that_cannot_be_fetched_is_logged_and_the_next_one_tried(sandbox, ftp_server):
    out = remote_out(ftp_server, {"a.dat": b"first", "z.dat": b"last"})
    (out / "gone.dat").symlink_to(out / "deleted-meanwhile")
    url = ftp_server.url("out/")
    setup_run(sandbox, ftp_server, url)

    result = sandbox.run("upload")

    assert result.entries()[:5] == [
        STARTED, downloading(url + "a.dat"), downloading(url + "gone.dat"),
        (ERR, f"getting file {url}gone.dat has failed(curl: (78) The file does not exist; )"),
        downloading(url + "z.dat")], result
    assert sorted(p.name for p in sandbox.scan.iterdir()) == ["a.dat", "z.dat"]


def test_a_missing_single_remote_file_is_logged_and_nothing_stored(sandbox, ftp_server):
    remote_out(ftp_server, {})
    url = ftp_server.url("out/missing.dat")
    setup_run(sandbox, ftp_server, url)

    result = sandbox.run("upload")

    assert result.entries() == [
        STARTED, downloading(url),
        (ERR, f"getting file {url} has failed(curl: (78) The file does not exist; )"), EXITED], result
    assert list(sandbox.scan.iterdir()) == []


HOSTILE_REMOTE_NAMES = [
    pytest.param("$(touch PWNED)", id="a command substitution is not run"),
    pytest.param("x;touch PWNED", id="a semicolon starts no command"),
    pytest.param("`touch PWNED`", id="backquotes are not run"),
    pytest.param("a b", id="a blank stays"),
    pytest.param("it's", id="a single quote stays"),
    pytest.param('say "hi"', id="double quotes stay"),
    pytest.param("%41", id="a percent sign is not decoded"),
    pytest.param("#hash", id="a hash is no URL fragment"),
    pytest.param("a?b", id="a question mark is no URL query"),
    pytest.param("back\\slash", id="a backslash stays"),
    pytest.param("[ab]", id="brackets are no curl glob"),
    pytest.param("{a,b}", id="braces are no curl glob"),
    pytest.param("-o", id="a leading dash is no option"),
    pytest.param("a&b", id="an ampersand is no sed back-reference"),
    pytest.param("grüße", id="non-ASCII letters stay"),
]


@pytest.mark.parametrize("name", HOSTILE_REMOTE_NAMES)
def test_a_hostile_remote_name_is_fetched_byte_identical_and_runs_nothing(sandbox, ftp_server,
                                                                          name):
    content = b"content of " + name.encode()
    remote_out(ftp_server, {name: content})
    url = ftp_server.url("out/")
    remote_in = setup_run(sandbox, ftp_server, url)

    result = sandbox.run("upload")

    assert result.entries() == [STARTED, downloading(url + name), uploaded(sandbox.scan / name),
                                EXITED], result
    assert [p.name for p in sandbox.scan.iterdir()] == [name]
    assert (sandbox.scan / name).read_bytes() == content
    assert (remote_in / name).read_bytes() == content
    assert pwned_files(sandbox, ftp_server) == []


@pytest.mark.parametrize("scanfolder", ["", "missing"], ids=["empty", "missing"])
def test_without_a_scan_folder_nothing_is_downloaded_anywhere(sandbox, ftp_server, scanfolder):
    remote_out(ftp_server, {"a.dat": b"remote"})
    folder = str(sandbox.scan / scanfolder) if scanfolder else ""
    setup_run(sandbox, ftp_server, ftp_server.url("out/"), scanfolder=folder)

    result = sandbox.run("upload")

    assert result.entries() == [
        STARTED, (ERR, f"getting files has failed(Cannot open dir: {folder})"),
        (ERR, f"Cannot open dir: {folder}"), EXITED], result
    assert result.process_count("curl") == 0
    # The program runs with the home folder as its current folder.
    assert list(sandbox.home.iterdir()) == [] and list(sandbox.scan.iterdir()) == []
    assert not (sandbox.work / "list").exists()


def test_an_empty_download_url_downloads_nothing_and_the_upload_runs(sandbox, ftp_server):
    remote_in = setup_run(sandbox, ftp_server, "")
    local = sandbox.scan / "local.dat"
    local.write_bytes(b"local")
    os.utime(local, (5, 5))

    result = sandbox.run("upload")

    assert result.entries() == [STARTED, (ERR, "getting files has failed(no download URL)"),
                                uploaded(local), EXITED], result
    assert result.process_count("curl") == 1
    assert [p.name for p in remote_in.iterdir()] == ["local.dat"]


# Where the download step stores a file, by the URL it was given.
STORED_NAMES = [
    pytest.param("out/sp%20ace.dl", {"sp ace.dl": b"spaced"}, None,
                 id="a percent-encoded single-file URL stores the decoded name"),
    pytest.param("out/sp ace.dl", {"sp ace.dl": b"spaced"}, None,
                 id="a single-file URL with a literal blank is fetched encoded"),
    pytest.param("out/%2E%2E", {}, "not a file name of that folder",
                 id="a single-file URL whose name decodes to .. is refused"),
    pytest.param("out/", {"plain.dl": b"plain"},
                 "its name holds the byte 0xFF, which FTP cannot carry",
                 id="a listed name holding 0xFF is refused, the others fetched"),
]


@pytest.mark.parametrize("path, stored, error", STORED_NAMES)
def test_a_download_stores_each_file_under_its_remote_name_or_refuses_it(sandbox, ftp_server,
                                                                         path, stored, error):
    out = remote_out(ftp_server, {"sp ace.dl": b"spaced", "plain.dl": b"plain"})
    iac = os.fsencode(out) + b"/\xff\xfeiac.dl"
    with open(iac, "wb") as f:
        f.write(b"iac")
    url = ftp_server.url(path)
    setup_run(sandbox, ftp_server, url)

    result = sandbox.run("upload")

    stored_now = {p.name: p.read_bytes() for p in sandbox.scan.iterdir()}
    if path == "out/":
        stored_now.pop("sp ace.dl")  # fetched as well, as always
    assert stored_now == stored, result
    errors = [r.message for r in result.log if r.priority == ERR and "getting file" in r.message]
    if error is None:
        assert errors == [], result
    else:
        assert len(errors) == 1 and errors[0].endswith(f"has failed({error})"), result
