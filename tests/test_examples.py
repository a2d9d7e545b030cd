"""examples/torrent_info.py on torrents made by a real tool, and on bad files."""

import hashlib
import subprocess
import sys
from pathlib import Path

import pytest
from emulation import EMULATED
from torrents import TRACKER, make_torrent

from velka.bencode import decode, encode

SCRIPT = Path(__file__).resolve().parent.parent / "examples" / "torrent_info.py"


def run_info(path: Path) -> subprocess.CompletedProcess[str]:
    if EMULATED:
        pytest.skip("under emulation: the example is Python, and its runs are tested natively")
    return subprocess.run(
        [sys.executable, "-P", str(SCRIPT), str(path)],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=60,
    )


def raw_info_hash(raw: bytes) -> str:
    """SHA-1 of the info dictionary's bytes as they are in the file, found
    without re-encoding: both tools write `info` as the last key."""
    start = raw.index(b"4:infod") + len(b"4:info")
    span = raw[start:-1]
    assert isinstance(decode(span), dict)  # exactly one value: the info dict
    return hashlib.sha1(span).hexdigest()


@pytest.mark.parametrize("tool", ["mktorrent", "transmission-create"])
def test_multi_file_torrent(tool, content, tmp_path):
    out = tmp_path / "photos.torrent"
    make_torrent(tool, content, out)
    result = run_info(out)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[0] == "name:       Holiday Photos"
    assert lines[1] == "total size: 75.0 KiB (76,806 bytes)"
    assert lines[2] == f"info-hash:  {raw_info_hash(out.read_bytes())}"
    assert lines[3] == "files:      2"
    assert sorted(line.split(None, 1) for line in lines[4:]) == [
        ["6", "Holiday Photos/notes.txt"],
        ["76,800", "Holiday Photos/day 1/beach.jpg"],
    ]


@pytest.mark.parametrize("tool", ["mktorrent", "transmission-create"])
def test_single_file_torrent(tool, content, tmp_path):
    out = tmp_path / "notes.torrent"
    make_torrent(tool, content / "notes.txt", out)
    result = run_info(out)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "name:       notes.txt",
        "total size: 6 bytes",
        f"info-hash:  {raw_info_hash(out.read_bytes())}",
        "files:      1",
        "  6  notes.txt",
    ]


GOOD = encode(
    {
        b"announce": TRACKER.encode(),
        b"info": {b"length": 6, b"name": b"a.txt", b"piece length": 16384, b"pieces": bytes(20)},
    }
)


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        pytest.param(GOOD[: len(GOOD) // 2], "extends past end of data (position ", id="cut"),
        pytest.param(GOOD[:-1], "unterminated dict at position ", id="cut-last-byte"),
        pytest.param(GOOD + b"x", "trailing data at position ", id="trailing"),
        pytest.param(GOOD.replace(b"i6e", b"i06e"), "leading zero in integer: b'06'", id="int"),
        pytest.param(b"d4:infode8:announce0:e", "dict keys out of order", id="key-order"),
        pytest.param(b"9223372036854775808:", "malformed bencode", id="huge-length"),
        pytest.param(b"l" * 200_000, "nested too deeply", id="deep"),
        pytest.param(b"", "the file is empty", id="empty"),
        pytest.param(b"i1e", "the top-level value is not a dictionary", id="not-a-dict"),
        pytest.param(b"d4:infodee", "has no 'name'", id="no-name"),
        pytest.param(
            encode({b"info": {b"name": b"x", b"files": [{b"path": [b"a"], b"length": -1}]}}),
            "negative length",
            id="negative-length",
        ),
    ],
)
def test_bad_file_gives_one_line_and_status_1(data, expected, tmp_path):
    path = tmp_path / "bad.torrent"
    path.write_bytes(data)
    result = run_info(path)
    assert result.returncode == 1
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith(f"{path}: ")
    assert expected in result.stderr


def test_missing_file(tmp_path):
    result = run_info(tmp_path / "nope.torrent")
    assert (result.returncode, result.stderr.strip()) == (
        1,
        f"{tmp_path / 'nope.torrent'}: No such file or directory",
    )


def test_tolerated_spelling_is_reported_and_hashed_as_it_stands(tmp_path):
    # "i+6e" decodes as 6 but re-encodes as "i6e": the script says so, and
    # hashes the info dictionary's own bytes, not those of its re-encoding.
    data = GOOD.replace(b"i6e", b"i+6e")
    path = tmp_path / "plus.torrent"
    path.write_bytes(data)
    result = run_info(path)
    assert result.returncode == 0
    assert "not in canonical form" in result.stderr
    assert "total size: 6 bytes" in result.stdout
    info = data[data.index(b"4:infod") + 6 : -1]
    assert decode(info) == decode(data)[b"info"]
    assert f"info-hash:  {hashlib.sha1(info).hexdigest()}" in result.stdout
    assert hashlib.sha1(info).digest() != hashlib.sha1(encode(decode(info))).digest()
