"""velka.torrent.create: the files it finds, its options and its faults.

Agreement with libtorrent, byte for byte, is tested on generated trees in
test_torrent_agreement.py; here are the rules that are velka's own.
"""

import errno
import hashlib
import os
import socket
import threading

import pytest
from torrent_build import write_tree

from velka.bencode import decode
from velka.torrent._create import create
from velka.torrent._layout import piece_length_for

KIB = 1024
MIB = 1024 * KIB


def info_of(torrent):
    return decode(torrent.encode())[b"info"]


@pytest.fixture
def folder(tmp_path):
    return write_tree(
        tmp_path / "share",
        {"a/x": b"1" * 40000, "a b/x": b"2", "a-b/x": b"3" * 16384, "a.b": b"", "z": b"4" * 5},
    )


def test_files_ordered_by_component_hidden_and_empty_kept_empty_folders_dropped(folder):
    (folder / ".hidden").write_bytes(b"h")
    (folder / "empty folder" / "inner").mkdir(parents=True)
    torrent = create(folder, piece_length=16 * KIB, creation_date=None)
    assert [f.path for f in torrent.files] == [
        (".hidden",),
        ("a", "x"),
        ("a b", "x"),
        ("a-b", "x"),
        ("a.b",),
        ("z",),
    ]
    empty = torrent.files[4]
    assert empty.length == 0 and empty.pieces_root is None


@pytest.mark.parametrize(
    ("files", "pads"),
    [
        # A pad after each non-empty file off a boundary, the last included.
        ({"a": b"1" * 5, "b": b"", "c": b"2" * 16384, "d": b"3"}, [16379, 16383]),
        # One file in a folder: none.
        ({"only": b"1" * 5}, []),
        # An empty file makes two: the other is padded.
        ({"a": b"", "b": b"1" * 5}, [16379]),
    ],
)
def test_hybrid_pad_files(tmp_path, files, pads):
    torrent = create(write_tree(tmp_path / "t", files), piece_length=16 * KIB, creation_date=None)
    entries = info_of(torrent)[b"files"]
    found = [e[b"length"] for e in entries if e.get(b"attr") == b"p"]
    assert found == pads
    for entry in entries:
        if entry.get(b"attr") == b"p":
            assert entry[b"path"] == [b".pad", str(entry[b"length"]).encode()]
    v1 = info_of(create(tmp_path / "t", version="v1", creation_date=None))
    assert all(b"attr" not in entry for entry in v1[b"files"])


def test_executable_bit_becomes_attr_x(tmp_path):
    root = write_tree(tmp_path / "t", {"run": b"#!/bin/sh\n", "data": b"d"})
    os.chmod(root / "run", 0o744)
    torrent = create(root, creation_date=None)
    assert {f.path: f.attr for f in torrent.files} == {("data",): "", ("run",): "x"}
    single = create(root / "run", creation_date=None)
    assert info_of(single)[b"attr"] == b"x"
    assert single.single_file and single.name == "run"


def test_symbolic_links_are_followed(tmp_path):
    outside = write_tree(tmp_path / "outside", {"real": b"r" * 100})
    root = write_tree(tmp_path / "t", {"a": b"a"})
    (root / "link").symlink_to(outside / "real")
    (root / "dir").symlink_to(outside)
    torrent = create(root, creation_date=None)
    assert {f.path: f.length for f in torrent.files} == {
        ("a",): 1,
        ("dir", "real"): 100,
        ("link",): 100,
    }


@pytest.mark.parametrize("version", ["v1", "v2", "hybrid"])
def test_same_files_same_bytes(folder, version, monkeypatch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    one = create(folder, version=version, threads=1)
    two = create(folder, version=version, threads=3)
    assert one.encode() == two.encode()
    assert one.creation_date == 1700000000


def test_name_and_options(folder, monkeypatch):
    monkeypatch.chdir(folder)
    torrent = create(
        ".",
        trackers=[
            "http://tracker.invalid/1",
            ["udp://tracker.invalid:2", "http://tracker.invalid/3"],
        ],
        web_seeds=["http://example.com/files/"],
        private=True,
        source="XYZ",
        comment="café",
        created_by=None,
        creation_date=None,
    )
    meta = decode(torrent.encode())
    assert meta[b"info"][b"name"] == b"share"
    assert meta[b"announce"] == b"http://tracker.invalid/1"
    assert meta[b"announce-list"] == [
        [b"http://tracker.invalid/1"],
        [b"udp://tracker.invalid:2", b"http://tracker.invalid/3"],
    ]
    assert meta[b"url-list"] == [b"http://example.com/files/"]
    assert meta[b"info"][b"private"] == 1 and meta[b"info"][b"source"] == b"XYZ"
    assert meta[b"comment"] == "café".encode()
    assert b"created by" not in meta and b"creation date" not in meta

    plain = decode(create(folder, trackers=["http://tracker.invalid/1"]).encode())
    assert b"announce-list" not in plain and b"private" not in plain[b"info"]
    assert plain[b"created by"].startswith(b"velka")


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"trackers": "http://tracker.invalid/"}, TypeError, "bare str"),
        ({"trackers": [[]]}, ValueError, "tier is empty"),
        ({"web_seeds": "http://example.com/"}, TypeError, "bare str"),
        ({"version": "v3"}, ValueError, "version"),
        ({"piece_length": 3 * 16 * KIB}, ValueError, "not a power of two"),
        ({"piece_length": 8 * KIB}, ValueError, "under 16 KiB"),
        ({"piece_length": 8 * KIB, "version": "v2"}, ValueError, "under 16 KiB"),
        ({"name": "a/b"}, ValueError, "name"),
        ({"name": ".."}, ValueError, "name"),
        ({"creation_date": 1.5}, TypeError, "creation_date"),
        ({"threads": 0}, ValueError, "threads"),
        ({"exclude": [""]}, ValueError, "exclude"),
    ],
)
def test_bad_options_are_refused_before_any_work(tmp_path, options, error, message):
    with pytest.raises(error, match=message):
        create(tmp_path / "not there", **options)


def test_v1_takes_a_small_piece_length(folder):
    assert create(folder, version="v1", piece_length=8 * KIB).piece_length == 8 * KIB


def test_source_date_epoch(folder, monkeypatch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "soon")
    with pytest.raises(ValueError, match="SOURCE_DATE_EPOCH"):
        create(folder)
    assert create(folder, creation_date=5).creation_date == 5


@pytest.mark.parametrize(
    ("size", "expected"),
    [
        (0, 16 * KIB),
        (1, 16 * KIB),
        (16 * MIB, 16 * KIB),
        (16 * MIB + 1, 32 * KIB),
        (1024 * MIB, MIB),
        (16 * 1024 * MIB, 16 * MIB),
        (1 << 50, 16 * MIB),
    ],
)
def test_piece_length_rule(size, expected):
    # The rule is a promise: the same files give the same torrent from release
    # to release.
    assert piece_length_for(size) == expected
    assert piece_length_for(size, "v1") == expected


@pytest.mark.parametrize(
    ("exclude", "left"),
    [
        (["*.tmp"], {("a", "keep"), ("b",)}),
        (["a"], {("b",), ("b.tmp",)}),
        (["a/*.tmp"], {("a", "keep"), ("b",), ("b.tmp",)}),
        (["a/*"], {("b",), ("b.tmp",)}),
    ],
)
def test_exclude_matches_names_or_paths_with_a_slash(tmp_path, exclude, left):
    root = write_tree(tmp_path / "t", {"a/keep": b"k", "a/x.tmp": b"x", "b": b"b", "b.tmp": b"t"})
    torrent = create(root, exclude=exclude, creation_date=None)
    assert {f.path for f in torrent.files} == left


def _fault(path, expected_errno, message, **options):
    with pytest.raises(OSError, match=message) as caught:
        create(path, **options)
    assert caught.value.errno == expected_errno
    return caught.value


@pytest.mark.parametrize(
    ("files", "options", "message"),
    [
        ({}, {}, "nothing to hash: no files"),
        ({"a.tmp": b"1"}, {"exclude": ["*.tmp"]}, "nothing to hash: no files"),
        ({"a": b"", "b/c": b""}, {}, "every file is empty"),
    ],
)
def test_nothing_to_hash(tmp_path, files, options, message):
    root = write_tree(tmp_path / "t", files)
    root.mkdir(exist_ok=True)
    error = _fault(root, errno.ENODATA, message, **options)
    assert error.filename == str(root)


def test_empty_single_file(tmp_path):
    (tmp_path / "e").write_bytes(b"")
    _fault(tmp_path / "e", errno.ENODATA, "the file is empty")


def test_missing_path(tmp_path):
    error = _fault(tmp_path / "nope", errno.ENOENT, "No such file")
    assert error.filename == str(tmp_path / "nope")


def test_link_loop_and_dangling_link_name_the_link(tmp_path):
    root = write_tree(tmp_path / "t", {"sub/a": b"a"})
    (root / "sub" / "up").symlink_to(root)
    assert _fault(root, errno.ELOOP, "loop").filename == str(root / "sub" / "up")
    (root / "sub" / "up").unlink()
    (root / "gone").symlink_to(tmp_path / "nothing")
    assert _fault(root, errno.ENOENT, "to nothing").filename == str(root / "gone")


def test_a_socket_is_a_fault(tmp_path):
    root = write_tree(tmp_path / "t", {"a": b"a"})
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(root / "sock"))
        assert _fault(root, errno.EINVAL, "not a regular file").filename == str(root / "sock")


def test_a_name_not_utf8_is_refused_naming_it(tmp_path):
    root = write_tree(tmp_path / "t", {"a": b"a"})
    bad = os.path.join(os.fsencode(root), b"caf\xe9")
    with open(bad, "wb") as f:
        f.write(b"x")
    error = _fault(root, errno.EILSEQ, "not UTF-8")
    assert os.fsencode(error.filename) == bad


def test_an_unreadable_file_stops_before_hashing(tmp_path, monkeypatch):
    root = write_tree(tmp_path / "t", {"a": b"a", "b": b"b"})
    real_open = os.open

    def refusing(path, flags, *args, **kwargs):
        if os.fsencode(path).endswith(b"/b"):
            raise PermissionError(errno.EACCES, "Permission denied", path)
        return real_open(path, flags, *args, **kwargs)

    monkeypatch.setattr(os, "open", refusing)
    calls = []
    with pytest.raises(PermissionError):
        create(root, progress=lambda *a: calls.append(a))
    assert calls == []


@pytest.mark.parametrize("change", ["grow", "vanish", "rewrite"])
def test_a_file_changed_while_hashed(tmp_path, change):
    root = write_tree(tmp_path / "t", {"a": b"a" * 50000, "b": b"b"})

    def meddle(done, total):
        if done == total:  # the last call, before the files are looked at again
            if change == "grow":
                with open(root / "a", "ab") as f:
                    f.write(b"!")
            elif change == "vanish":
                (root / "a").unlink()
            else:
                os.utime(root / "a", ns=(0, 0))

    message = "vanished" if change == "vanish" else "changed"
    with pytest.raises(OSError, match=message) as caught:
        create(root, progress=meddle)
    assert caught.value.filename == str(root / "a")


def test_progress_reports_to_the_end_on_the_calling_thread(tmp_path):
    root = write_tree(tmp_path / "t", {"a": os.urandom(3 * MIB), "b": b"b" * 1000})
    seen = []
    create(
        root,
        piece_length=16 * KIB,
        progress=lambda d, t: seen.append((d, t, threading.get_ident())),
    )
    assert seen[-1][:2] == (3 * MIB + 1000, 3 * MIB + 1000)
    assert all(t == 3 * MIB + 1000 for _, t, _ in seen)
    assert [d for d, _, _ in seen] == sorted(d for d, _, _ in seen)
    assert {ident for _, _, ident in seen} == {threading.get_ident()}


def test_an_exception_from_progress_stops_the_work(tmp_path):
    root = write_tree(tmp_path / "t", {"a": b"a" * 1000})
    before = threading.active_count()

    def stop(done, total):
        raise LookupError("enough")

    with pytest.raises(LookupError, match="enough"):
        create(root, progress=stop, threads=2)
    assert threading.active_count() == before


def test_the_v2_tree_of_a_file_of_one_block(tmp_path):
    # The simplest tree there is: a file of one block is its own root.
    (tmp_path / "one").write_bytes(b"x" * 100)
    torrent = create(tmp_path / "one", version="v2")
    assert torrent.files[0].pieces_root == hashlib.sha256(b"x" * 100).digest()
    assert torrent.piece_layers == {}


def test_a_file_truncated_between_reads(tmp_path, monkeypatch):
    root = write_tree(tmp_path / "t", {"a": b"a" * (3 * MIB), "b": b"b"})
    real_preadv = os.preadv

    def truncating(fd, buffers, offset, *args):
        if offset > 0:
            os.truncate(root / "a", MIB)
        return real_preadv(fd, buffers, offset, *args)

    monkeypatch.setattr(os, "preadv", truncating)
    with pytest.raises(OSError, match="changed size while it was hashed") as caught:
        create(root, piece_length=MIB, threads=1)
    assert caught.value.filename == str(root / "a")
