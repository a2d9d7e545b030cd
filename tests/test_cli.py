"""The installed `velka` command, run as a subprocess on torrents made by real
tools (and v2 and hybrid ones built here), on bad input and on hostile input."""

import hashlib
import importlib.util
import json
import math
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from emulation import EMULATED, examples, skip_if_emulated
from hypothesis import given, settings
from hypothesis import strategies as st
from processes import interruptible
from torrents import TRACKER, make_torrent

from velka._cli.json_form import canonical_bencode, from_json, json_chunks
from velka.bencode import decode, encode
from velka.raw import span

VELKA = Path(sys.executable).with_name("velka")
# The command is Python over the library, whose answers on each CPU the rest
# of the suite checks; an interpreter started per run is too slow emulated.
NATIVE_ONLY = "the command's runs are tested on the native CPU"


def velka(*args, stdin=None, check=None):
    """Runs the installed command; *stdin* is bytes or a path; *check* the
    exit status wanted."""
    if EMULATED:
        pytest.skip(NATIVE_ONLY)
    if isinstance(stdin, Path):
        with stdin.open("rb") as f:
            result = subprocess.run(
                [VELKA, *map(str, args)], stdin=f, capture_output=True, timeout=120
            )
    else:
        result = subprocess.run(
            [VELKA, *map(str, args)], input=stdin or b"", capture_output=True, timeout=120
        )
    if check is not None:
        assert result.returncode == check, result.stderr.decode()
    return result


def out(result):
    return result.stdout.decode()


def err(result):
    return result.stderr.decode()


# --- torrents ------------------------------------------------------------------


def merkle_root(data, piece_length):
    """The `pieces root` of a file no longer than a piece: SHA-256 of 16 KiB
    blocks, paired up to a power of two of leaves."""
    leaves = [hashlib.sha256(data[i : i + 16384]).digest() for i in range(0, len(data), 16384)]
    leaves += [bytes(32)] * ((1 << math.ceil(math.log2(len(leaves)))) - len(leaves))
    while len(leaves) > 1:
        leaves = [
            hashlib.sha256(a + b).digest() for a, b in zip(leaves[::2], leaves[1::2], strict=True)
        ]
    assert len(data) <= piece_length
    return leaves[0]


def v2_torrent(files, hybrid):
    """A v2 (or hybrid) torrent of {path tuple: content}, every file within a piece."""
    piece_length = 65536
    tree = {}
    for path, data in files.items():
        node = tree
        for part in path:
            node = node.setdefault(part, {})
        node[b""] = {b"length": len(data), b"pieces root": merkle_root(data, piece_length)}
    info = {
        b"file tree": tree,
        b"meta version": 2,
        b"name": b"album",
        b"piece length": piece_length,
    }
    if hybrid:
        # v1 view: the same files, each padded to a piece boundary but the last.
        v1_files, stream = [], b""
        for number, (path, data) in enumerate(sorted(files.items())):
            v1_files.append({b"length": len(data), b"path": list(path)})
            stream += data
            pad = -len(data) % piece_length
            if pad and number < len(files) - 1:
                v1_files.append({b"attr": b"p", b"length": pad, b"path": [b".pad", b"%d" % pad]})
                stream += bytes(pad)
        info[b"files"] = v1_files
        info[b"pieces"] = b"".join(
            hashlib.sha1(stream[i : i + piece_length]).digest()
            for i in range(0, len(stream), piece_length)
        )
    return encode(
        {
            b"announce": TRACKER.encode(),
            b"announce-list": [[TRACKER.encode()], [b"udp://tracker.invalid:6969"]],
            b"creation date": 1_700_000_000,
            b"info": info,
            b"url-list": [b"http://seed.invalid/album/"],
        }
    )


ALBUM = {(b"one.flac",): b"1" * 40000, (b"art", b"cover.png"): b"\x89PNG" * 100}


@pytest.fixture(params=["mktorrent", "transmission-create", "v2", "hybrid"])
def torrent(request, content, tmp_path):
    """A multi-file torrent of each kind."""
    path = tmp_path / f"{request.param}.torrent"
    if request.param in ("v2", "hybrid"):
        path.write_bytes(v2_torrent(ALBUM, request.param == "hybrid"))
        return path
    return make_torrent(request.param, content, path)


def info_hashes(path):
    data = path.read_bytes()
    start, end = span(data, b"info")
    return hashlib.sha1(data[start:end]).hexdigest(), hashlib.sha256(data[start:end]).hexdigest()


# --- usage -------------------------------------------------------------------


@pytest.mark.parametrize("command", ["show", "check", "info", "to-json", "from-json"])
def test_every_command_has_help_with_an_example(command):
    result = velka(command, "--help", check=0)
    assert "example:\n  velka " in out(result)


@pytest.mark.parametrize(
    "args",
    [[], ["frobnicate", "x"], ["show"], ["show", "a", "b"], ["show", "--depth", "-1", "x"]],
    ids=["none", "unknown", "no-file", "two-files", "bad-depth"],
)
def test_wrong_usage_is_status_2(args):
    result = velka(*args, check=2)
    assert result.stdout == b""
    assert "usage: velka" in err(result)


def test_python_dash_m_runs_the_same_command():
    data = encode({b"a": 1})
    result = subprocess.run(
        [sys.executable, "-P", "-m", "velka", "check", "-"], input=data, capture_output=True
    )
    assert (result.returncode, result.stdout) == (0, b"<stdin>: ok (8 bytes)\n")


# --- show ----------------------------------------------------------------------


def test_show_prints_a_stable_tree():
    value = {
        b"text": b'tab\tand "quotes"',
        b"id": bytes(range(20)),
        b"blob": bytes(range(200)),
        b"path": [b"a", b"b c", 7],
        b"empty": [[], {}, b""],
        b"nested": {b"\xff": -3},
    }
    result = velka("show", "-", stdin=encode(value), check=0)
    assert out(result) == (
        "{\n"
        '  "blob": <200 bytes: 000102030405060708090a0b0c0d0e0f...>\n'
        '  "empty": [[], {}, ""]\n'
        '  "id": <20 bytes: 000102030405060708090a0b0c0d0e0f10111213>\n'
        '  "nested": {\n'
        "    <1 bytes: ff>: -3\n"
        "  }\n"
        '  "path": ["a", "b c", 7]\n'
        '  "text": "tab\\tand \\"quotes\\""\n'
        "}\n"
    )
    full = out(velka("show", "--full", "-", stdin=encode(value), check=0))
    assert bytes(range(200)).hex() in full
    shallow = out(velka("show", "--depth", "1", "-", stdin=encode(value), check=0))
    assert '  "nested": {...} (1 key)\n' in shallow


def test_show_cuts_pieces_of_a_real_torrent(torrent):
    text = out(velka("show", torrent, check=0))
    assert '"info": {' in text
    pieces = decode(torrent.read_bytes())[b"info"].get(b"pieces")
    if pieces is not None:
        assert f'"pieces": <{len(pieces)} bytes: ' in text
        assert pieces.hex() not in text or len(pieces) <= 32


# --- check ---------------------------------------------------------------------


def test_check_reports_each_file(torrent, tmp_path):
    bad = tmp_path / "bad.torrent"
    bad.write_bytes(torrent.read_bytes()[:-1])
    result = velka("check", torrent, bad, tmp_path / "missing", check=1)
    assert out(result) == f"{torrent}: ok ({torrent.stat().st_size:,} bytes)\n"
    size = bad.stat().st_size
    assert err(result).splitlines() == [
        f"{bad}: truncated after {size:,} bytes: unterminated dict",
        f"{tmp_path / 'missing'}: No such file or directory",
    ]


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b"", "empty data"),
        (b"d3:cowi1e3:pig5:oink", "truncated after 20 bytes: string of length 5 extends past"),
        (b"i12", "truncated after 3 bytes: expected 'e' not found after position 1"),
        (b"i01e", "leading zero in integer: b'01'"),
        (b"d1:bi1e1:ai2ee", "dict keys out of order"),
        (
            b"i1e4:spam",
            "trailing data at position 3: one value fills bytes 0 to 3, and 6 more bytes follow",
        ),
        (b"9223372036854775808:", "too large"),
        (b"l" * 300_000, "nested too deeply"),
        (b"i" + b"7" * 5000 + b"e", "invalid integer"),
    ],
    ids=["empty", "cut", "cut-int", "zero", "order", "trailing", "huge-length", "deep", "long-int"],
)
def test_check_names_the_fault(data, message, tmp_path):
    path = tmp_path / "bad"
    path.write_bytes(data)
    for source in ([path], ["-"]):
        result = velka("check", *source, stdin=data, check=1)
        assert result.stdout == b""
        assert len(err(result).splitlines()) == 1
        name = "<stdin>" if source == ["-"] else str(path)
        assert err(result).startswith(f"{name}: ")
        assert message in err(result)


@pytest.mark.parametrize(
    ("data", "status", "message"),
    [
        (b"i1e4:spamde", 0, "ok (11 bytes, 3 values)"),
        (b"", 0, "ok (0 bytes, 0 values)"),
        (b"i1e4:spamx", 1, "value 3, from position 9: unexpected byte 'x' at position 9"),
        (b"i1e4:spa", 1, "value 2, from position 3: truncated after 8 bytes"),
    ],
)
def test_check_all_reads_concatenated_values(data, status, message):
    result = velka("check", "--all", "-", stdin=data, check=status)
    assert message in (out(result) if status == 0 else err(result))


def test_directory_gets_one_line(tmp_path):
    for command in ("show", "info", "to-json", "from-json"):
        result = velka(command, tmp_path, check=1)
        assert err(result) == f"{tmp_path}: Is a directory\n"


# --- info ----------------------------------------------------------------------


def test_info_of_each_kind_of_torrent(torrent):
    v1, v2 = info_hashes(torrent)
    kind = torrent.stem
    result = json.loads(out(velka("info", "--json", torrent, check=0)))
    text = out(velka("info", torrent, check=0))
    if kind in ("v2", "hybrid"):
        assert result["name"] == "album"
        assert result["meta_versions"] == ([1, 2] if kind == "hybrid" else [2])
        assert result["files"] == [
            {"path": "album/art/cover.png", "length": 400},
            {"path": "album/one.flac", "length": 40000},
        ]
        assert result["piece_count"] == 2
        assert result["info_hash_v2"] == v2
        assert f"xt=urn:btmh:1220{v2}" in result["magnet"]
        assert result["announce_list"] == [[TRACKER], ["udp://tracker.invalid:6969"]]
        assert result["web_seeds"] == ["http://seed.invalid/album/"]
        assert result["creation_date"] == 1_700_000_000
        assert "created:       2023-11-14 22:13:20 UTC" in text
        assert f"info-hash v2:  {v2}" in text
    else:
        assert result["name"] == "Holiday Photos"
        assert result["meta_versions"] == [1]
        assert sorted((f["path"], f["length"]) for f in result["files"]) == [
            ("Holiday Photos/day 1/beach.jpg", 76800),
            ("Holiday Photos/notes.txt", 6),
        ]
        assert result["piece_count"] == len(decode(torrent.read_bytes())[b"info"][b"pieces"]) // 20
        assert result["info_hash_v2"] is None
    if kind == "v2":
        assert result["info_hash_v1"] is None
        assert "btih" not in result["magnet"]
    else:
        assert result["info_hash_v1"] == v1
        assert result["magnet"].startswith(f"magnet:?xt=urn:btih:{v1}")
        assert f"info-hash v1:  {v1}" in text
    assert result["total_size"] == sum(f["length"] for f in result["files"])
    assert result["announce"] == TRACKER
    assert "tr=http%3A%2F%2Ftracker.invalid%2Fannounce" in result["magnet"]
    assert f"name:          {result['name']}" in text


def test_info_of_a_single_file_torrent(content, tmp_path):
    path = make_torrent("mktorrent", content / "notes.txt", tmp_path / "notes.torrent")
    result = json.loads(out(velka("info", "--json", path, check=0)))
    assert result["files"] == [{"path": "notes.txt", "length": 6}]
    assert result["private"] is False


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (1, "not a torrent: the top-level value is not a dictionary"),
        ({b"info": {}}, "has no 'name'"),
        ({b"info": {b"name": b"x", b"piece length": 1}}, "no 'pieces' and no v2"),
        (
            {b"info": {b"name": b"x", b"piece length": 1, b"pieces": b"", b"length": -1}},
            "negative length -1",
        ),
    ],
)
def test_info_refuses_what_is_not_a_torrent(value, message):
    result = velka("info", "-", stdin=encode(value), check=1)
    assert err(result).startswith("<stdin>: ")
    assert message in err(result)


# --- to-json and from-json -------------------------------------------------------


def round_trip(data):
    as_json = velka("to-json", "-", stdin=data, check=0).stdout
    return velka("from-json", "-", stdin=as_json, check=0).stdout


def test_torrents_round_trip_through_json(torrent):
    data = torrent.read_bytes()
    assert round_trip(data) == data
    compact = velka("to-json", "--compact", torrent, check=0).stdout
    assert compact.count(b"\n") == 1
    assert velka("from-json", "-", stdin=compact, check=0).stdout == data


def test_repository_torrent_round_trips():
    path = Path(__file__).parent / "data" / "multi-file.torrent"
    assert round_trip(path.read_bytes()) == path.read_bytes()


@pytest.mark.parametrize("editor", ["jq", "python"])
def test_editing_the_json_keeps_the_info_hashes(editor, torrent, tmp_path):
    as_json = velka("to-json", torrent, check=0).stdout
    if editor == "jq":
        if shutil.which("jq") is None:
            pytest.skip("jq is not installed")
        edit = subprocess.run(
            ["jq", '.announce = "udp://tracker.invalid:6969"'],
            input=as_json,
            capture_output=True,
            check=True,
        ).stdout
    else:
        document = json.loads(as_json)
        document["announce"] = "udp://tracker.invalid:6969"
        edit = json.dumps(document).encode()
    edited = tmp_path / "edited.torrent"
    velka("from-json", "-", "-o", edited, stdin=edit, check=0)
    assert decode(edited.read_bytes())[b"announce"] == b"udp://tracker.invalid:6969"
    assert info_hashes(edited) == info_hashes(torrent)


def test_escape_form_is_as_documented():
    value = {b"$ref": b"\xff\x00", b"\xfe": [b"ok", b"\xc3\x28"], b"$hex": b"$hex"}
    text = "".join(json_chunks(value, indent=None))
    assert text == ('{"$$ref":{"$hex":"ff00"},"$hex:fe":["ok",{"$hex":"c328"}],"$$hex":"$hex"}')
    assert from_json(text) == value


def deep_values():
    keys = st.binary(max_size=6) | st.sampled_from([b"$", b"$$", b"$hex", b"$hex:", b"\xff"])
    strings = st.binary(max_size=24) | st.text(max_size=12).map(str.encode)
    integers = st.integers() | st.integers(min_value=-(10**4299), max_value=10**4299)
    return st.recursive(
        integers | strings,
        lambda inner: st.lists(inner, max_size=5) | st.dictionaries(keys, inner, max_size=6),
        max_leaves=40,
    )


@settings(max_examples=examples(300), deadline=None)
@given(deep_values(), st.booleans())
def test_json_round_trip_is_exact(value, compact):
    data = encode(value)
    text = "".join(json_chunks(decode(data), indent=None if compact else 2))
    assert json.loads(text) is not None  # ordinary JSON that other tools read
    assert canonical_bencode(from_json(text)) == data


def test_deep_nesting_round_trips_through_the_command():
    # Deeper than the standard json module handles on 3.12.
    depth = 20_000
    data = b"ld1:a" * depth + b"i1e" + b"ee" * depth
    try:
        decode(data)
    except RecursionError:  # 3.12 counts the decoder's levels against a fixed limit
        depth = 600
        data = b"ld1:a" * depth + b"i1e" + b"ee" * depth
    assert round_trip(data) == data
    # Indentation stops growing, so the output stays in proportion to the input.
    for command in ("show", "to-json"):
        assert len(velka(command, "-", stdin=data, check=0).stdout) < 100 * len(data)


@pytest.mark.parametrize(
    ("document", "message"),
    [
        ('{"info": {"files": [{}, {}, {}, {"length": 1.5}]}}', "$.info.files[3].length: a float"),
        ('{"a": null}', "$.a: null has no bencode form"),
        ("[true]", "$[0]: true has no bencode form"),
        ('{"piece length": 1e3}', '$["piece length"]: a float has no bencode form'),
        ('{"x": {"$hex": "abc"}}', '$.x["$hex"]: "$hex" wants an even number of hex digits'),
        ('{"x": {"$hex": 12}}', '$.x["$hex"]: "$hex" wants a string of hex digits'),
        ('{"x": {"$hex": "00", "y": 1}}', "$.x: an escaped byte string is an object with"),
        ('{"$id": 1}', '$: the key "$id" is no escape'),
        ('{"a": 1, "$hex:61": 2}', '$: the keys "a" and "$hex:61" are the same bytes'),
        ('{"a": 1, "a": 2}', '$: the key "a" appears twice'),
        ('["\\udc80"]', "$[0]: a lone surrogate"),
        ("[1, 2", "$: not JSON: expected ',' or ']' (line 1, column 6)"),
        ("{'a': 1}", "$: not JSON: expected a key in double quotes (line 1, column 2)"),
        ("1 2", "$: not JSON: extra data after the value (line 1, column 3)"),
        ("", "$: not JSON: expected a value (line 1, column 1)"),
        ("9" * 5000, "$: an integer of more than 4300 digits"),
        pytest.param("[" * 300_000 + "]" * 300_000, "nested too deeply", id="deep"),
    ],
)
def test_from_json_refuses_with_the_json_path(document, message):
    result = velka("from-json", "-", stdin=document.encode(), check=1)
    assert result.stdout == b""
    assert err(result).startswith(f"<stdin>: {message}")
    assert len(err(result).splitlines()) == 1


def test_from_json_writes_canonical_bencode():
    document = '{"z": 1, "a": {"$hex": "ff"}, "$hex:00": [], "$$": -0}'
    result = velka("from-json", "-", stdin=document.encode(), check=0)
    assert result.stdout == b"d1:\x00le1:$i0e1:a1:\xff1:zi1ee"


# --- behaviour as a Unix tool ------------------------------------------------------


@skip_if_emulated(NATIVE_ONLY)
@pytest.mark.parametrize("command", ["show", "to-json"])
def test_a_pipe_closed_early_ends_quietly(command, tmp_path):
    big = tmp_path / "big"
    big.write_bytes(encode([{b"n": n, b"s": b"x" * 50} for n in range(200_000)]))
    process = subprocess.Popen(
        [VELKA, command, big],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert process.stdout.readline()
    process.stdout.close()
    stderr = process.stderr.read()
    assert process.wait(timeout=60) in (0, -signal.SIGPIPE)
    assert stderr == b""


def _wait_until_it_sleeps(process: subprocess.Popen, timeout: float = 60) -> None:
    # A starting interpreter runs or waits on the disk, never sleeps: a
    # process asleep at a quarter of a second's checks waits on its input,
    # however long a loaded machine took to get it there.
    stat = Path(f"/proc/{process.pid}/stat")
    deadline = time.monotonic() + timeout
    asleep = 0
    while asleep < 5:
        assert time.monotonic() < deadline, "the command never waited on its input"
        state = stat.read_text().rsplit(")", 1)[1].split()[0]
        asleep = asleep + 1 if state == "S" else 0
        time.sleep(0.05)


@skip_if_emulated(NATIVE_ONLY)
def test_interrupt_ends_without_a_traceback():
    process = subprocess.Popen(
        [VELKA, "check", "-"],
        stdin=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=interruptible,
    )
    _wait_until_it_sleeps(process)  # on its input
    process.send_signal(signal.SIGINT)
    assert process.wait(timeout=60) == 130
    assert process.stderr.read() == b""
    process.stdin.close()


@pytest.mark.parametrize("command", ["show", "info", "to-json"])
def test_deep_input_is_one_clean_line(command):
    result = velka(command, "-", stdin=b"l" * 300_000, check=1)
    assert err(result).startswith("<stdin>: nested too deeply (")
    assert len(err(result).splitlines()) == 1


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_command_passes_mypy_strict(tmp_path):
    result = subprocess.run(
        [sys.executable, "-P", "-m", "mypy", "--strict", "-p", "velka._cli", "-p", "velka.torrent"],
        cwd=tmp_path,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def make_many_files(root, count):
    for n in range(count):
        folder = root / f"set {n % 30:02d}" / f"part {n % 7}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"file {n:05d}.dat").write_bytes(bytes([n % 251]) * (n % 97 + 1))


def test_torrent_of_many_files(tmp_path):
    # The largest torrent the suite makes: thousands of entries in `files`.
    make_many_files(tmp_path / "many", 3000)
    path = make_torrent("mktorrent", tmp_path / "many", tmp_path / "many.torrent")
    data = path.read_bytes()
    assert velka("check", path, check=0).stdout.decode().endswith(f"ok ({len(data):,} bytes)\n")
    assert round_trip(data) == data
    result = json.loads(out(velka("info", "--json", path, check=0)))
    assert len(result["files"]) == 3000
    assert result["info_hash_v1"] == info_hashes(path)[0]
