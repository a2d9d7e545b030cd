"""velka.torrent's reading of a torrent: facts, info-hashes from the exact
info bytes, encoding back byte for byte, edits that change only what they
edit, atomic saving, and every torrent it refuses."""

import copy
import hashlib
import os
import pickle
import stat

import pytest
from merkle_reference import tree
from torrent_build import ALBUM, BLOCK, TRACKER, build
from torrents import make_torrent

from velka.bencode import DecodeError, decode, encode
from velka.raw import span
from velka.torrent import File, TorrentError, load

VERSIONS = ["v1", "v2", "hybrid"]


def hashes(data):
    start, end = span(data, b"info")
    return hashlib.sha1(data[start:end]).hexdigest(), hashlib.sha256(data[start:end]).hexdigest()


# --- reading -------------------------------------------------------------------


@pytest.mark.parametrize("version", VERSIONS)
@pytest.mark.parametrize("piece_length", [BLOCK, 2 * BLOCK, 4 * BLOCK])
def test_files_and_facts_of_each_version(version, piece_length):
    data = build(ALBUM, version=version, piece_length=piece_length)
    torrent = load(data)
    v1, v2 = hashes(data)
    assert torrent.versions == {"v1": (1,), "v2": (2,), "hybrid": (1, 2)}[version]
    assert torrent.info_hash_v1 == (v1 if version != "v2" else None)
    assert torrent.info_hash_v2 == (v2 if version != "v1" else None)
    assert torrent.name == "album"
    assert not torrent.single_file
    assert torrent.piece_length == piece_length
    # Files in the v2 order (by component, byte-wise), pads left out.
    paths = [("a", "x"), ("a b", "x"), ("a-b", "x"), ("a.b",), ("z",)]
    assert [f.path for f in torrent.files] == paths
    assert [f.length for f in torrent.files] == [51200, 100, 0, BLOCK, 70000]
    assert torrent.total_size == sum(map(len, ALBUM.values()))
    assert [torrent.file_path(f) for f in torrent.files][:2] == ["a/x", "a b/x"]
    # v1 pieces run across files; v2 (and so a hybrid) starts each file a piece.
    per_file = sum(-(-f.length // piece_length) for f in torrent.files)
    in_one = -(-torrent.total_size // piece_length)
    assert torrent.piece_count == (in_one if version == "v1" else per_file)
    meta = decode(data)
    if version == "v1":
        assert all(f.pieces_root is None for f in torrent.files)
        assert torrent.v1_size == torrent.total_size
    else:
        roots = [f.pieces_root for f in torrent.files]
        assert roots[2] is None  # the empty file
        assert all(len(root) == 32 for root in roots[:2] + roots[3:])
        assert torrent.piece_layers == meta.get(b"piece layers", {})
    if version == "v2":
        assert torrent.pieces is None and torrent.v1_files == () and torrent.v1_size == 0
        assert all(f.offset is None for f in torrent.files)
    else:
        assert torrent.pieces == meta[b"info"][b"pieces"]
        stream = torrent.v1_files
        assert [f.offset for f in stream] == [
            sum(f.length for f in stream[:i]) for i in range(len(stream))
        ]
        assert torrent.v1_size == sum(f.length for f in stream)
        assert [f for f in stream if not f.is_pad] == list(torrent.files)
    if version == "hybrid":
        # Each file with data starts a piece, the last one padded too.
        assert all(f.offset % piece_length == 0 for f in torrent.files if f.length)
        assert torrent.v1_size % piece_length == 0
        assert all(f.path[0] == ".pad" and f.attr == "p" for f in stream if f.is_pad)


@pytest.mark.parametrize("version", VERSIONS)
def test_single_file(version):
    data = build({("song.flac",): b"x" * 40000}, version=version, name=b"song.flac", single=True)
    torrent = load(data)
    assert torrent.single_file
    assert torrent.files == (
        File((), 40000, "", torrent.files[0].pieces_root, None if version == "v2" else 0),
    )
    assert torrent.file_path(torrent.files[0]) == "song.flac"
    assert torrent.encode() == data


def test_a_one_file_tree_not_named_as_the_torrent_is_a_folder():
    torrent = load(build({(b"one",): b"1"}, version="v2", name=b"folder"))
    assert not torrent.single_file
    assert [torrent.file_path(f) for f in torrent.files] == ["one"]


@pytest.mark.parametrize(
    "data",
    [
        build(ALBUM, version="hybrid", tail_pad=False),
        # Keys no model names, at every level, and attributes.
        build(
            {(b"run",): b"#!", (b"x",): b"1"},
            version="hybrid",
            outer={b"comment": b"hi", b"zzz": [1, {b"a": b""}], b"created by": b"me"},
            info_extra={b"source": b"SRC", b"private": 1, b"x-cross-seed": b"abc"},
        ),
        encode(
            {
                b"info": {
                    b"files": [
                        {b"attr": b"x", b"length": 3, b"path": [b"a"], b"sha1": bytes(20)},
                        {b"attr": b"p", b"path": [b"pad"]},  # a pad with no length
                    ],
                    b"name": b"n",
                    b"name.utf-8": b"n",
                    b"piece length": 3,  # any length does for v1
                    b"pieces": bytes(20),
                },
                b"url-list": b"http://seed.invalid/",
            }
        ),
    ],
)
def test_load_and_encode_give_back_the_same_bytes(data, tmp_path):
    torrent = load(data)
    assert torrent.encode() == data
    assert (torrent.info_hash_v1, torrent.info_hash_v2 or hashes(data)[1]) == hashes(data)
    path = tmp_path / "t.torrent"
    path.write_bytes(data)
    for source in (path, str(path), bytearray(data), memoryview(data)):
        assert load(source).encode() == data


@pytest.mark.parametrize("tool", ["mktorrent", "transmission-create"])
@pytest.mark.parametrize("single", [False, True])
def test_torrents_of_the_real_tools(tool, single, content, tmp_path):
    target = content / "notes.txt" if single else content
    path = make_torrent(tool, target, tmp_path / "t.torrent")
    data = path.read_bytes()
    torrent = load(path)
    assert torrent.encode() == data
    assert torrent.info_hash_v1 == hashes(data)[0]
    assert torrent.single_file == single
    assert sorted(torrent.file_path(f) for f in torrent.files) == (
        ["notes.txt"] if single else ["day 1/beach.jpg", "notes.txt"]
    )
    assert torrent.trackers == [[TRACKER.decode()]]


def test_names_that_are_not_utf8_survive_as_surrogates():
    data = build({(b"d\xff", b"caf\xe9"): b"1"}, version="hybrid", name=b"\xe9t\xe9")
    torrent = load(data)
    assert torrent.name == "\udce9t\udce9"
    assert torrent.files[0].path == ("d\udcff", "caf\udce9")
    assert "dn=%E9t%E9" in torrent.magnet
    torrent.comment = "\udcff"
    assert decode(torrent.encode())[b"comment"] == b"\xff"
    torrent.comment = None
    assert torrent.encode() == data


def test_utf8_copies_of_names_are_preferred():
    info = {
        b"files": [{b"length": 1, b"path": [b"\xe9"], b"path.utf-8": [b"\xc3\xa9"]}],
        b"name": b"caf\xe9",
        b"name.utf-8": b"caf\xc3\xa9",
        b"piece length": BLOCK,
        b"pieces": bytes(20),
    }
    torrent = load(encode({b"info": info, b"comment": b"x", b"comment.utf-8": b"\xc3\xa9"}))
    assert (torrent.name, torrent.files[0].path, torrent.comment) == ("café", ("é",), "é")


@pytest.mark.parametrize(
    ("version", "start"),
    [
        ("v1", "magnet:?xt=urn:btih:{v1}&"),
        ("v2", "magnet:?xt=urn:btmh:1220{v2}&"),
        ("hybrid", "magnet:?xt=urn:btih:{v1}&xt=urn:btmh:1220{v2}&"),
    ],
)
def test_magnet(version, start):
    data = build(
        {(b"a",): b"1"},
        version=version,
        name=b"a b&c",
        outer={
            b"announce-list": [[TRACKER], [b"udp://tracker.invalid:6969", TRACKER]],
            b"url-list": [b"http://seed.invalid/a b"],
        },
    )
    v1, v2 = hashes(data)
    assert load(data).magnet == start.format(v1=v1, v2=v2) + (
        "dn=a%20b%26c&tr=http%3A%2F%2Ftracker.invalid%2Fannounce"
        "&tr=udp%3A%2F%2Ftracker.invalid%3A6969&ws=http%3A%2F%2Fseed.invalid%2Fa%20b"
    )


# --- editing -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("field", "value", "keys"),
    [
        ("trackers", [], {b"announce": None}),
        ("trackers", ["http://b.invalid/"], {b"announce": b"http://b.invalid/"}),
        (
            "trackers",
            [["http://b.invalid/", "http://c.invalid/"], "udp://d.invalid:1"],
            {
                b"announce": b"http://b.invalid/",
                b"announce-list": [
                    [b"http://b.invalid/", b"http://c.invalid/"],
                    [b"udp://d.invalid:1"],
                ],
            },
        ),
        ("web_seeds", ["http://s.invalid/"], {b"url-list": b"http://s.invalid/"}),
        (
            "web_seeds",
            ["http://s.invalid/", "ftp://s.invalid/"],
            {b"url-list": [b"http://s.invalid/", b"ftp://s.invalid/"]},
        ),
        ("comment", "good", {b"comment": b"good"}),
        ("created_by", "velka", {b"created by": b"velka"}),
        ("creation_date", None, {b"creation date": None}),
        ("creation_date", 5, {b"creation date": 5}),
    ],
)
@pytest.mark.parametrize("version", VERSIONS)
def test_editing_outside_info_keeps_the_info_hashes(field, value, keys, version):
    data = build(
        ALBUM, version=version, outer={b"announce-list": [[TRACKER], [b"udp://x.invalid:1"]]}
    )
    torrent = load(data)
    before = torrent.info_hash_v1, torrent.info_hash_v2
    setattr(torrent, field, value)
    edited = torrent.encode()
    assert hashes(edited) == hashes(data)
    assert (torrent.info_hash_v1, torrent.info_hash_v2) == before
    old, new = decode(data), decode(edited)
    for key, wanted in keys.items():
        assert new.get(key) == wanted
        old.pop(key, None)
        new.pop(key, None)
    if field == "trackers" and len(value) < 2:
        old.pop(b"announce-list")
    assert new == old
    again = load(edited)
    assert getattr(again, field) == (
        [[v] if isinstance(v, str) else v for v in value] if field == "trackers" else value
    )


@pytest.mark.parametrize("version", VERSIONS)
def test_editing_source_and_private_changes_the_info_hashes(version):
    data = build(ALBUM, version=version)
    torrent = load(data)
    torrent.source = "XYZ"
    torrent.private = True
    edited = torrent.encode()
    info = decode(edited)[b"info"]
    assert (info[b"source"], info[b"private"]) == (b"XYZ", 1)
    v1, v2 = hashes(edited)
    assert (torrent.info_hash_v1, torrent.info_hash_v2) == (
        None if version == "v2" else v1,
        None if version == "v1" else v2,
    )
    assert hashes(edited) != hashes(data)
    again = load(edited)
    assert (again.source, again.private, again.info_hash_v1, again.info_hash_v2) == (
        "XYZ",
        True,
        torrent.info_hash_v1,
        torrent.info_hash_v2,
    )
    # Not private is the key left out: undone, the edits give back the bytes.
    torrent.private = False
    torrent.source = None
    assert torrent.encode() == data
    assert (torrent.info_hash_v1, torrent.info_hash_v2) == (
        load(data).info_hash_v1,
        load(data).info_hash_v2,
    )


@pytest.mark.parametrize(
    ("field", "value", "error"),
    [
        ("trackers", "http://a.invalid/", TypeError),
        ("trackers", [["http://a.invalid/", b"http://b.invalid/"]], TypeError),
        ("trackers", [[""]], ValueError),
        ("trackers", [""], ValueError),
        ("web_seeds", ["http://a.invalid/", None], TypeError),
        ("web_seeds", "http://a.invalid/", TypeError),
        ("comment", b"x", TypeError),
        ("private", 1, TypeError),
        ("creation_date", True, TypeError),
        ("source", 5, TypeError),
    ],
)
def test_bad_edits_are_refused_and_change_nothing(field, value, error):
    data = build(ALBUM, version="hybrid")
    torrent = load(data)
    with pytest.raises(error):
        setattr(torrent, field, value)
    assert torrent.encode() == data


@pytest.mark.parametrize(
    "duplicate", [copy.copy, copy.deepcopy, lambda t: pickle.loads(pickle.dumps(t))]
)
def test_a_copy_is_edited_apart_from_its_original(duplicate):
    data = build(ALBUM)
    original = load(data)
    twin = duplicate(original)
    twin.private = True
    twin.trackers = []
    assert original.encode() == data and not original.private
    assert twin.info_hash_v1 != original.info_hash_v1


# --- saving ----------------------------------------------------------------------


def test_save_replaces_the_file_whole_and_keeps_its_mode_and_link(tmp_path):
    data = build(ALBUM)
    target = tmp_path / "t.torrent"
    target.write_bytes(data)
    target.chmod(0o640)
    link = tmp_path / "link.torrent"
    link.symlink_to(target.name)
    torrent = load(link)
    torrent.comment = "saved"
    torrent.save(link)
    assert link.is_symlink()
    assert target.read_bytes() == torrent.encode()
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["link.torrent", "t.torrent"]
    longest = tmp_path / ("é" * 118 + ".torrent")  # 254 bytes
    torrent.save(longest)
    assert longest.read_bytes() == torrent.encode()


def test_a_failed_save_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch):
    data = build(ALBUM)
    target = tmp_path / "t.torrent"
    target.write_bytes(data)
    torrent = load(target)
    torrent.comment = "lost"

    def fail(*args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", fail)
    with pytest.raises(OSError, match="No space"):
        torrent.save(target)
    assert target.read_bytes() == data
    assert os.listdir(tmp_path) == ["t.torrent"]
    with pytest.raises(FileNotFoundError):
        torrent.save(tmp_path / "no such folder" / "t.torrent")


# --- refusals ----------------------------------------------------------------------


GONE = object()


def change(meta, steps, value):
    """Sets (or deletes, for GONE) the value at *steps*; a callable is given
    the old value and returns the new."""
    *parents, last = steps
    for step in parents:
        meta = meta[step]
    if value is GONE:
        del meta[last]
    else:
        meta[last] = value(meta[last]) if callable(value) else value


def v1_entries(edit):
    """Edits a v1 file list, leaving it as many piece hashes as it needs."""

    def edit_info(info):
        info[b"files"] = edit(info[b"files"])
        size = sum(f.get(b"length", 0) for f in info[b"files"])
        info[b"pieces"] = bytes(20) * -(-size // info[b"piece length"])
        return info

    return edit_info


def pad(length):
    return {b"attr": b"p", b"length": length, b"path": [b".pad", b"%d" % length]}


BAD_PARTS = [
    (b"..", "path component '..'"),
    (b".", "path component '.'"),
    (b"", "empty path component"),
    (b"a/b", "holds '/'"),
    (b"a\0b", "holds NUL"),
]
INFO = (b"info",)
TREE = (b"info", b"file tree")
LAYER_A_X = (b"piece layers", tree(ALBUM[b"a", b"x"], BLOCK)[0])

# Every hybrid below is ALBUM in 16 KiB pieces: a/x (51,200 bytes, 4 pieces,
# then a pad), a b/x (100, a pad), a-b/x (empty), a.b (16 KiB), z (70,000, a
# pad): 11 pieces.
REFUSALS = [
    *[((*INFO, b"files", 2, b"path"), [b"ok", p], m + " in file entry 3") for p, m in BAD_PARTS],
    *[((*INFO, b"files", 0, b"path.utf-8"), [p], m + " in file entry 1") for p, m in BAD_PARTS],
    *[((*INFO, b"name"), p, m + " in 'name'") for p, m in BAD_PARTS],
    *[
        ((*TREE, b"a"), {p: {b"": {b"length": 0}}}, m + " in the file tree under 'a'")
        for p, m in BAD_PARTS
        if p
    ],
    (TREE, lambda t: {**t, b"": t[b"z"]}, "empty path component in the file tree"),
    ((*INFO, b"pieces"), lambda p: p[:-20], "'pieces' holds 10 hashes, the files need 11"),
    ((*INFO, b"pieces"), lambda p: p + b"x", "'pieces' is 221 bytes, not a multiple of 20"),
    (LAYER_A_X, lambda v: v[:-1] + b"?", "layer of file 'a/x' does not hash to its 'pieces root'"),
    (LAYER_A_X, lambda v: v + bytes(32), "layer of file 'a/x' is 160 bytes, its 4 pieces need 128"),
    (LAYER_A_X, GONE, "'piece layers' has no layer for file 'a/x'"),
    ((b"piece layers",), GONE, "'piece layers' has no layer for file 'a/x'"),
    ((*TREE, b"z", b"", b"pieces root"), bytes(31), "'pieces root' of file 'z' is 31 bytes"),
    ((*TREE, b"z", b"", b"pieces root"), GONE, "file 'z' has no 'pieces root'"),
    ((*TREE, b"z", b"", b"length"), -1, "file 'z': negative length -1"),
    ((*INFO, b"piece length"), 3 * BLOCK, "'piece length' 49,152 is not a power of two"),
    ((*INFO, b"piece length"), BLOCK // 2, "'piece length' 8,192 is not a power of two"),
    ((*INFO, b"piece length"), 0, "'piece length' is 0, not a positive number"),
    ((*INFO, b"files", 0, b"length"), -5, "file entry 1: negative length -5"),
    ((*INFO, b"files", 0, b"length"), 51199, "file 'a/x' is 51,199 bytes in the v1 file list but"),
    ((*INFO, b"files"), lambda f: [f[2], f[1], f[0], *f[3:]], "file 1 is 'a b/x' in the v1 file"),
    (
        INFO,
        v1_entries(lambda f: f[:4] + f[5:]),
        "the v1 file list holds 4 files, the v2 file tree 5",
    ),
    (
        INFO,
        v1_entries(lambda f: f[:1] + f[2:]),
        "'a b/x' starts at byte 51,200 of the v1 pieces, off",
    ),
    (
        INFO,
        v1_entries(lambda f: [*f[:6], pad(BLOCK), *f[6:]]),
        "'z' starts at byte 114,688 of the v1 pieces, a piece too",
    ),
    (
        INFO,
        v1_entries(lambda f: [*f, pad(BLOCK)]),
        "the v1 file list pads 28,304 bytes after the last",
    ),
    ((*INFO, b"files"), [], "'files' is empty"),
    ((*INFO, b"meta version"), 3, "unknown 'meta version' 3"),
    ((*INFO, b"meta version"), GONE, "has a 'file tree' but no 'meta version' 2"),
    (TREE, GONE, "'meta version' is 2, but the info dictionary has no 'file tree'"),
    (TREE, {}, "the file tree holds no files"),
    ((*TREE, b"a", b""), {b"length": 0}, "'a' in the file tree is a file and a folder"),
    ((*TREE, b"empty"), {}, "folder 'empty' in the file tree is empty"),
    ((*TREE, b"f"), 1, "'f' in the file tree is not a dictionary"),
]


@pytest.mark.parametrize(("steps", "value", "message"), REFUSALS)
def test_inconsistent_and_hostile_torrents_are_refused(steps, value, message):
    meta = decode(build(ALBUM, version="hybrid"))
    change(meta, steps, value)
    with pytest.raises(TorrentError) as raised:
        load(encode(meta))
    assert message in str(raised.value)
    assert isinstance(raised.value, DecodeError)


@pytest.mark.parametrize(
    ("single_v1", "message"),
    [
        (True, "the v1 info is a single file and the v2 file tree a folder"),
        (False, "the v1 info is a folder and the v2 file tree a single file"),
    ],
)
def test_a_hybrid_single_file_must_be_one_in_both_views(single_v1, message):
    files = {(b"album",): b"1" * 100}
    meta = decode(build(files, version="hybrid", single=True))
    info = meta[b"info"]
    if single_v1:
        tree = info[b"file tree"]
        tree[b"other"] = tree.pop(b"album")
    else:
        info[b"files"] = [{b"length": info.pop(b"length"), b"path": [b"album"]}]
    with pytest.raises(TorrentError, match=message):
        load(encode(meta))


@pytest.mark.parametrize("data", [b"", b"d4:info", b"i1e", b"d4:infoi1ee"])
def test_what_is_not_a_torrent(data):
    with pytest.raises(DecodeError) as raised:
        load(data)
    # Malformed bencode keeps the codec's own error; a misfit is the torrent's.
    assert isinstance(raised.value, TorrentError) == data.startswith((b"i", b"d4:infoi"))


def test_a_deep_file_tree_is_refused_cleanly():
    node = {b"": {b"length": 1, b"pieces root": bytes(32)}}
    for _ in range(200):
        node = {b"d": node}
    info = {b"file tree": node, b"meta version": 2, b"name": b"n", b"piece length": BLOCK}
    torrent = load(encode({b"info": info}))
    assert torrent.files[0].path == ("d",) * 200
