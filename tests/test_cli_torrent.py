"""`velka info`, `velka magnet` and `velka edit` over velka.torrent, run as
the installed command."""

import hashlib
import json
import subprocess
import sys
from pathlib import Path

import pytest
from emulation import EMULATED
from torrent_build import ALBUM, TRACKER, build

from velka.bencode import decode, encode
from velka.raw import span
from velka.torrent import load

VELKA = Path(sys.executable).with_name("velka")


def velka(*args, stdin=b"", check=None):
    if EMULATED:
        pytest.skip("the command's runs are tested on the native CPU")
    result = subprocess.run([VELKA, *map(str, args)], input=stdin, capture_output=True, timeout=120)
    if check is not None:
        assert result.returncode == check, result.stderr.decode()
    return result


def hashes(data):
    start, end = span(data, b"info")
    return hashlib.sha1(data[start:end]).hexdigest(), hashlib.sha256(data[start:end]).hexdigest()


@pytest.fixture
def hybrid(tmp_path):
    path = tmp_path / "album.torrent"
    path.write_bytes(
        build(
            {(b"run",): b"#!/bin/sh\n", (b"big",): b"b" * 40000},
            outer={b"url-list": b"http://seed.invalid/"},
            info_extra={b"source": b"SRC"},
        )
    )
    return path


@pytest.mark.parametrize("command", ["magnet", "edit"])
def test_help_has_an_example(command):
    assert "example:\n  velka " in velka(command, "--help", check=0).stdout.decode()


def test_info_shows_source_attributes_and_pieces_roots(tmp_path):
    meta = decode(build({(b"run",): b"#!", (b"big",): b"b" * 40000}))
    meta[b"info"][b"file tree"][b"run"][b""][b"attr"] = b"x"
    meta[b"info"][b"source"] = b"SRC"
    path = tmp_path / "t.torrent"
    path.write_bytes(encode(meta))
    torrent = load(path)
    roots = [f.pieces_root.hex() for f in torrent.files]
    result = json.loads(velka("info", "--json", path, check=0).stdout)
    assert result["files"] == [
        {"path": "album/big", "length": 40000},
        {"path": "album/run", "length": 2},
    ]
    assert result["source"] == "SRC"
    assert result["attributes"] == {"album/run": "x"}
    assert result["pieces_roots"] == {"album/big": roots[0], "album/run": roots[1]}
    assert result["info_hash_v2"] == torrent.info_hash_v2
    lines = velka("info", path, check=0).stdout.decode().splitlines()
    start = lines.index("files:         2")
    assert lines[start + 1 : start + 6] == [
        "  40,000  album/big",
        "       2  album/run  (executable)",
        "pieces roots:",
        f"  {roots[0]}  album/big",
        f"  {roots[1]}  album/run",
    ]
    assert "source:        SRC" in lines


@pytest.mark.parametrize("command", ["info", "magnet", "edit"])
def test_a_refused_torrent_is_one_line_and_status_1(command, tmp_path):
    meta = decode(build(ALBUM, version="v1"))
    meta[b"info"][b"files"][0][b"path"] = [b"..", b"etc"]
    path = tmp_path / "t.torrent"
    path.write_bytes(encode(meta))
    edits = ["--comment=x"] if command == "edit" else []
    result = velka(command, path, *edits, check=1)
    assert result.stderr.decode() == (
        f"{path}: not a torrent: path component '..' in file entry 1\n"
    )
    assert result.stdout == b""
    assert path.read_bytes() == encode(meta)


def test_magnet(hybrid):
    result = velka("magnet", "-", stdin=hybrid.read_bytes(), check=0)
    assert result.stdout.decode() == load(hybrid).magnet + "\n"
    assert result.stdout.startswith(b"magnet:?xt=urn:btih:")


def test_edit_trackers_in_place_keeps_the_rest(hybrid):
    data = hybrid.read_bytes()
    result = velka(
        "edit",
        hybrid,
        "--clear-trackers",
        "-t",
        "http://a.invalid/,udp://b.invalid:1",
        "-t",
        "http://c.invalid/",
        "--web-seed",
        "http://seed2.invalid/",
        "--comment",
        "c",
        check=0,
    )
    # The info-hashes are the same: nothing to say.
    assert result.stdout == b"" and result.stderr == b""
    edited = hybrid.read_bytes()
    assert hashes(edited) == hashes(data)
    old, new = decode(data), decode(edited)
    assert new.pop(b"announce") == b"http://a.invalid/"
    assert new.pop(b"announce-list") == [
        [b"http://a.invalid/", b"udp://b.invalid:1"],
        [b"http://c.invalid/"],
    ]
    assert new.pop(b"url-list") == [b"http://seed.invalid/", b"http://seed2.invalid/"]
    assert new.pop(b"comment") == b"c"
    del old[b"announce"], old[b"url-list"]
    assert new == old


def test_edit_adds_trackers_after_those_there(hybrid):
    velka("edit", hybrid, "-t", TRACKER.decode(), "-t", "udp://x.invalid:1", check=0)
    assert load(hybrid).trackers == [[TRACKER.decode()], ["udp://x.invalid:1"]]


def test_edit_source_and_private_prints_the_new_hashes(hybrid, tmp_path):
    data = hybrid.read_bytes()
    out = tmp_path / "out.torrent"
    result = velka("edit", hybrid, "-o", out, "--source", "", "--private", check=0)
    assert hybrid.read_bytes() == data
    info = decode(out.read_bytes())[b"info"]
    assert b"source" not in info and info[b"private"] == 1
    v1, v2 = hashes(out.read_bytes())
    lines = result.stdout.decode().splitlines()
    assert lines[:2] == [f"info-hash v1:  {v1}", f"info-hash v2:  {v2}"]
    assert lines[2].startswith(f"magnet:        magnet:?xt=urn:btih:{v1}&xt=urn:btmh:1220{v2}")
    # Undone, the edits give back the first bytes.
    velka("edit", out, "--source", "SRC", "--no-private", check=0)
    assert out.read_bytes() == data


def test_edit_to_standard_output(hybrid):
    result = velka("edit", "-", "--private", stdin=hybrid.read_bytes(), check=0)
    v1, _ = hashes(result.stdout)
    assert load(result.stdout).private
    assert result.stderr.decode().startswith(f"info-hash v1:  {v1}\n")


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ([], "nothing to edit"),
        (["-t", ","], "names no URL"),
        (["--private", "--no-private"], "not allowed with argument"),
    ],
)
def test_edit_usage_errors(hybrid, args, message):
    data = hybrid.read_bytes()
    result = velka("edit", hybrid, *args, check=2)
    assert message in result.stderr.decode()
    assert hybrid.read_bytes() == data


def test_edit_that_cannot_write_changes_nothing(hybrid, tmp_path):
    out = tmp_path / "missing" / "out.torrent"
    result = velka("edit", hybrid, "-o", out, "--comment", "x", check=1)
    assert result.stderr.decode() == f"{out}: No such file or directory\n"
