"""velka.torrent against the real tools: the reference torrents that
libtorrent, mktorrent, transmission-create and torf made of the trees of
tests/torrent_trees.py (tests/torrent_references.py says where they are).

- create gives libtorrent's info dictionary byte for byte, its info-hashes
  and its piece layers, for v1 (files in velka's order), v2 and hybrid;
- load reads every tool's torrents with the info-hashes libtorrent reports,
  and gives back their bytes;
- verify passes every tool's torrents of the same data, and names exactly
  the damaged files;
- load refuses hostile paths, and so does verify, before it reads;
- libtorrent and transmission-show read velka's torrents with the same
  info-hashes, where the sid root can be entered to run them.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
import torrent_references
from torrent_references import CHECKOUT, Case, Trees
from torrent_trees import component_order

from velka.bencode import DecodeError, decode, encode

torrent = pytest.importorskip("velka.torrent")

CASES = torrent_references.cases()
VERSIONS = ["v1", "v2", "hybrid"]
VERSION_NUMBERS = {"v1": (1,), "v2": (2,), "hybrid": (1, 2)}


@pytest.fixture(scope="module")
def trees(tmp_path_factory: pytest.TempPathFactory) -> Trees:
    return Trees(tmp_path_factory.mktemp("trees"))


def _metainfo(data: bytes) -> dict[bytes, object]:
    value = decode(data)
    assert isinstance(value, dict)
    return value


def _difference(got: object, want: object, where: str = "info") -> str | None:
    """Where two decoded values first differ, for a readable failure."""
    if isinstance(got, dict) and isinstance(want, dict):
        if list(got) != list(want):
            return f"{where}: keys {sorted(got)} != {sorted(want)}"
        for key in got:
            found = _difference(got[key], want[key], f"{where}[{key!r}]")
            if found:
                return found
        return None
    if isinstance(got, list) and isinstance(want, list):
        for index, (left, right) in enumerate(zip(got, want, strict=False)):
            found = _difference(left, right, f"{where}[{index}]")
            if found:
                return found
        return None if len(got) == len(want) else f"{where}: {len(got)} items != {len(want)}"
    return None if got == want else f"{where}: {got!r:.80} != {want!r:.80}"


def _create(case: Case, trees: Trees, version: str) -> torrent.Torrent:
    return torrent.create(
        trees(case.tree),
        version=version,
        piece_length=case.tree.piece_length,
        creation_date=None,
    )


@pytest.mark.parametrize("version", VERSIONS)
@pytest.mark.parametrize("case", CASES, ids=str)
def test_create_makes_what_libtorrent_makes(case: Case, version: str, trees: Trees):
    torrent_references.skip_if_heavy(case.tree)
    reference = case.find("libtorrent", version)
    made = _create(case, trees, version)
    want = _metainfo(reference.path.read_bytes())
    got = _metainfo(made.encode())
    info = encode(got[b"info"])
    assert info == encode(want[b"info"]), _difference(got[b"info"], want[b"info"])
    assert got.get(b"piece layers") == want.get(b"piece layers")
    assert (made.info_hash_v1, made.info_hash_v2) == (
        reference.info_hash_v1,
        reference.info_hash_v2,
    )


@pytest.mark.parametrize("version", VERSIONS)
@pytest.mark.parametrize("label", ["names-16k", "single-16k"])
def test_private_and_source_are_libtorrents_info_and_no_more(label: str, version: str, trees):
    """libtorrent writes private; source, which it cannot write, is its info
    dictionary with that key added."""
    case = torrent_references.case(label)
    private = case.find("libtorrent", version, private=True)
    made = torrent.create(
        trees(case.tree),
        version=version,
        piece_length=case.tree.piece_length,
        creation_date=None,
        private=True,
    )
    assert encode(_metainfo(made.encode())[b"info"]) == encode(
        _metainfo(private.path.read_bytes())[b"info"]
    )
    assert (made.info_hash_v1, made.info_hash_v2) == (private.info_hash_v1, private.info_hash_v2)
    sourced = torrent.create(
        trees(case.tree),
        version=version,
        piece_length=case.tree.piece_length,
        creation_date=None,
        source="example",
    )
    want = _metainfo(case.find("libtorrent", version).path.read_bytes())[b"info"]
    assert isinstance(want, dict)
    want[b"source"] = b"example"
    assert encode(_metainfo(sourced.encode())[b"info"]) == encode(want)


@pytest.mark.parametrize("case", CASES, ids=str)
def test_load_reads_every_tool_as_libtorrent_does(case: Case):
    for reference in case.torrents:
        data = reference.path.read_bytes()
        for source in (reference.path, data, memoryview(data)):
            loaded = torrent.load(source)
            hashes = (loaded.info_hash_v1, loaded.info_hash_v2)
            assert hashes == (reference.info_hash_v1, reference.info_hash_v2), reference.file
        assert loaded.encode() == data, reference.file
        assert loaded.piece_length == case.tree.piece_length
        assert loaded.single_file == case.tree.single
        assert loaded.versions == VERSION_NUMBERS[reference.version]
    # libtorrent's files, in its order (velka's for v1): every file, with
    # the executable bit as attribute x.
    ordered = component_order(case.tree.entries)
    want = [(entry.path, entry.size, entry.executable) for entry in ordered]
    for version in VERSIONS:
        loaded = torrent.load(case.find("libtorrent", version).path)
        found = [(file.path, file.length, "x" in file.attr) for file in loaded.files]
        assert found == want, version
        assert loaded.total_size == case.tree.total


@pytest.mark.parametrize("case", CASES, ids=str)
def test_verify_passes_every_tool_on_the_same_data(case: Case, trees: Trees):
    torrent_references.skip_if_heavy(case.tree)
    top = trees(case.tree)
    for reference in case.torrents:
        result = torrent.verify(torrent.load(reference.path), top)
        assert (result.ok, result.failed) == (True, []), reference.file


# Damage -----------------------------------------------------------------

DAMAGE = {
    "flip": "hash",
    "truncate": "size",
    "missing": "missing",
    "longer": "size",
}
DAMAGED_TOOLS = [("libtorrent", "v1"), ("libtorrent", "v2"), ("libtorrent", "hybrid")]
DAMAGED_TOOLS.append(("mktorrent", "v1"))
# (tree, file): one spanning several pieces, one sharing its v1 pieces with
# its neighbours, and a single-file torrent.
TARGETS = [
    ("sizes-32k", ("f01-98305",)),
    ("sizes-32k", ("sub", "f06-16383")),
    ("single-256k", ()),
]


def _damage(path: Path, how: str) -> int:
    """Damages the file at `path`; returns the offset of a changed byte (for
    a flip), or -1."""
    if how == "missing":
        path.unlink()
        return -1
    data = path.read_bytes()
    if how == "flip":
        at = len(data) // 2
        path.write_bytes(data[:at] + bytes([data[at] ^ 0x40]) + data[at + 1 :])
        return at
    if how == "truncate":
        path.write_bytes(data[: len(data) // 2])
    else:
        path.write_bytes(data + b"\0")
    return -1


def _v1_layout(metainfo: dict[bytes, object]) -> list[tuple[str | None, int, int]]:
    """(path, or None for a pad file, offset, length) of each v1 file."""
    info = metainfo[b"info"]
    assert isinstance(info, dict)
    if b"files" not in info:
        return [(info[b"name"].decode(), 0, info[b"length"])]
    layout = []
    offset = 0
    for entry in info[b"files"]:
        pad = b"p" in entry.get(b"attr", b"")
        path = None if pad else "/".join(part.decode() for part in entry[b"path"])
        layout.append((path, offset, entry[b"length"]))
        offset += entry[b"length"]
    return layout


def _sharing(layout, piece_length: int, first: int, last: int) -> list[str]:
    """The files, in torrent order, with bytes in pieces first to last."""
    begin, end = first * piece_length, (last + 1) * piece_length
    return [
        path
        for path, offset, length in layout
        if path is not None and length and offset < end and offset + length > begin
    ]


@pytest.mark.parametrize(
    ("label", "target"), TARGETS, ids=["/".join(path) or label for label, path in TARGETS]
)
@pytest.mark.parametrize(("tool", "version"), DAMAGED_TOOLS, ids=map("-".join, DAMAGED_TOOLS))
@pytest.mark.parametrize("how", list(DAMAGE))
def test_verify_names_exactly_the_damaged_files(label, target, tool, version, how, trees, tmp_path):
    case = torrent_references.case(label)
    reference = case.find(tool, version)
    top = trees.copy(case.tree, tmp_path)
    damaged = top.joinpath(*target)
    name = "/".join(target) or case.tree.name
    at = _damage(damaged, how)

    loaded = torrent.load(reference.path)
    if how == "missing" and not target:
        # A single-file torrent's path is its file: not there, it is the
        # path given that is missing.
        with pytest.raises(FileNotFoundError):
            torrent.verify(loaded, top)
        return
    result = torrent.verify(loaded, top)

    assert not result.ok
    faults = {fault.path: fault for fault in result.faults}
    assert faults[name].reason == DAMAGE[how]
    assert sorted(result.failed) == sorted(faults)
    length = case.tree.piece_length
    if version != "v1":
        # Each file is checked through its own tree: no neighbour is named.
        assert result.failed == [name]
        return
    layout = _v1_layout(_metainfo(reference.path.read_bytes()))
    order = [path for path, _, _ in layout if path is not None]
    assert result.failed == sorted(result.failed, key=order.index)
    offset, size = next((o, n) for path, o, n in layout if path == name)
    if how == "flip":
        piece = (offset + at) // length
        assert result.failed == _sharing(layout, length, piece, piece)
        assert piece in faults[name].pieces
    else:
        # A piece of the file that fails fails its neighbours in it too,
        # whether or not they are read as far as the damaged file; an empty
        # file has no bytes in any piece, so it never fails.
        last = (offset + max(size, 1) - 1) // length
        assert set(result.failed) <= set(_sharing(layout, length, offset // length, last))


# Hostile torrents -------------------------------------------------------------

PIECES = b"\x11" * 20


def _v1_files(*paths: list[bytes], name: bytes = b"folder") -> bytes:
    files = [{b"length": 1, b"path": path} for path in paths]
    info = {b"files": files, b"name": name, b"piece length": 16384, b"pieces": PIECES}
    return encode({b"info": info})


def _v1_single(name: bytes) -> bytes:
    info = {b"length": 1, b"name": name, b"piece length": 16384, b"pieces": PIECES}
    return encode({b"info": info})


def _v2_tree(tree: dict[bytes, object], name: bytes = b"folder") -> bytes:
    info = {b"file tree": tree, b"meta version": 2, b"name": name, b"piece length": 16384}
    return encode({b"info": info})


LEAF = {b"": {b"length": 1, b"pieces root": b"\x22" * 32}}
HOSTILE = {
    "dot-dot": _v1_files([b"..", b"x"]),
    "dot-dot-last": _v1_files([b"a", b".."]),
    "dot": _v1_files([b".", b"x"]),
    "slash": _v1_files([b"a/b"]),
    "absolute": _v1_files([b"/etc", b"passwd"]),
    "nul": _v1_files([b"a\0b"]),
    "empty": _v1_files([b"a", b""]),
    "no-path": _v1_files([]),
    "one-good-one-bad": _v1_files([b"a"], [b"..", b"..", b"x"]),
    "name-dot-dot": _v1_single(b".."),
    "name-slash": _v1_single(b"../x"),
    "name-nul": _v1_single(b"x\0"),
    "name-empty": _v1_single(b""),
    "folder-name-dot-dot": _v1_files([b"x"], name=b".."),
    "v2-dot-dot": _v2_tree({b"..": {b"x": LEAF}}),
    "v2-slash": _v2_tree({b"a/b": LEAF}),
    "v2-nul": _v2_tree({b"a\0": LEAF}),
    "v2-dot": _v2_tree({b".": {b"x": LEAF}}),
}


@pytest.mark.parametrize("data", HOSTILE.values(), ids=HOSTILE.keys())
def test_load_refuses_hostile_paths(data: bytes):
    with pytest.raises(torrent.TorrentError) as raised:
        torrent.load(data)
    assert isinstance(raised.value, DecodeError)
    assert str(raised.value)


def test_verify_refuses_a_hostile_torrent_before_reading(tmp_path: Path):
    saved = tmp_path / "hostile.torrent"
    saved.write_bytes(HOSTILE["dot-dot"])
    (tmp_path / "folder").mkdir()
    (tmp_path / "x").write_bytes(b"\0")  # where ../x points from the folder
    with pytest.raises(torrent.TorrentError):
        torrent.verify(saved, tmp_path / "folder")


# Other tools reading velka's torrents --------------------------------------


def _sid_python() -> list[str] | None:
    """How to run the sid root's python3 (which imports libtorrent) from
    here: directly inside the x86_64 root, through scripts/sid from the host
    as root; None elsewhere (other CPUs' roots, no root)."""
    inside = os.environ.get("VELKA_IN_SID")
    if inside:
        return ["/usr/bin/python3"] if inside == "x86_64" else None
    sid = CHECKOUT / "scripts" / "sid"
    if sys.platform != "linux" or os.geteuid() != 0 or not sid.exists():
        return None
    return [str(sid), "python3"]


def test_libtorrent_and_transmission_read_velka_torrents(trees: Trees):
    torrent_references.require()
    command = _sid_python()
    if command is None or os.environ.get("VELKA_EMULATED"):
        pytest.skip("the sid root's tools cannot be run from here")
    # Under the checkout's build/, which the root sees at the same path.
    (CHECKOUT / "build").mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="velka-torrents-", dir=CHECKOUT / "build") as out:
        made = {}
        for case in CASES:
            if case.tree.total > torrent_references.EMULATED_LIMIT:
                continue  # the small trees cover every layout; keep this quick
            for version in VERSIONS:
                path = Path(out) / f"{case.tree.label}.{version}.torrent"
                _create(case, trees, version).save(path)
                made[str(path)] = str(case.find("libtorrent", version).path)
        reader = CHECKOUT / "tests" / "oracle" / "read_torrents.py"
        done = subprocess.run(
            [*command, str(reader), out, *sorted(set(made.values()))],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=300,
            cwd=CHECKOUT,
        )
    assert done.returncode == 0, done.stderr
    read = json.loads(done.stdout)
    for velkas, libtorrents in made.items():
        # Both tools read velka's torrent as they read libtorrent's own. That
        # includes transmission-show's refusals: it cannot read v2-only
        # torrents, nor hybrids with two pad files of one length (their
        # paths, ".pad/N", are the same), which libtorrent makes too.
        assert read[velkas] == read[libtorrents], velkas
        if ".v1." in velkas:
            assert read[velkas]["transmission"] == read[velkas]["libtorrent"][0]
    assert any(read[v]["transmission"] for v in made if ".hybrid." in v)
