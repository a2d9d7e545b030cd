"""velka.torrent.verify: which files fail, why, and that it reads only what it should."""

import os
import shutil

import pytest
from torrent_build import build, write_tree

from velka.bencode import decode, encode
from velka.torrent import load
from velka.torrent._create import create
from velka.torrent._verify import FileFault, verify

KIB = 1024
PIECE = 16 * KIB


# Whole pieces each, so that in v1 too a damaged file shares no piece.
FILES = {
    "a/first": bytes(range(256)) * 64 * 3,  # three pieces
    "a/second": b"s" * PIECE,
    "b": b"b" * (2 * PIECE),
    "c/empty": b"",
    "d": b"d" * PIECE,
}


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    root = write_tree(tmp_path_factory.mktemp("verify") / "share", FILES)
    return root, {v: create(root, version=v, piece_length=PIECE) for v in ("v1", "v2", "hybrid")}


def damage(root, relative, kind):
    path = root / relative
    if kind == "flip":
        data = bytearray(path.read_bytes())
        data[len(data) // 2] ^= 1
        path.write_bytes(data)
    elif kind == "truncate":
        os.truncate(path, path.stat().st_size - 1)
    elif kind == "missing":
        path.unlink()
    else:
        with open(path, "ab") as f:
            f.write(b"!")


@pytest.mark.parametrize("version", ["v1", "v2", "hybrid"])
def test_untouched_files_match(made, version):
    root, torrents = made
    result = verify(torrents[version], root)
    assert result.ok and result.failed == [] and result.faults == []


@pytest.mark.parametrize("version", ["v1", "v2", "hybrid"])
@pytest.mark.parametrize(
    ("kind", "reason", "pieces"),
    [
        ("flip", "hash", (1,)),
        ("truncate", "size", (2,)),
        ("missing", "missing", (0, 1, 2)),
        ("longer", "size", ()),
    ],
)
def test_each_kind_of_damage_names_exactly_the_file(made, tmp_path, version, kind, reason, pieces):
    root, torrents = made
    copy = tmp_path / "copy"
    shutil.copytree(root, copy)
    damage(copy, "a/first", kind)
    result = verify(torrents[version], copy)
    assert not result.ok
    assert result.faults == [FileFault("a/first", reason, pieces)]


@pytest.mark.parametrize("version", ["v1", "v2", "hybrid"])
def test_damage_in_several_files(made, tmp_path, version):
    root, torrents = made
    copy = tmp_path / "copy"
    shutil.copytree(root, copy)
    damage(copy, "b", "flip")
    damage(copy, "d", "missing")
    (copy / "c" / "empty").write_bytes(b"x")
    result = verify(torrents[version], copy)
    assert result.failed == ["b", "c/empty", "d"]
    assert [f.reason for f in result.faults] == ["hash", "size", "missing"]


def test_a_v1_piece_names_every_file_it_covers(tmp_path):
    files = {"a": b"a" * 100, "b": b"b" * 100, "b0": b"", "c": b"c" * (PIECE * 2)}
    root = write_tree(tmp_path / "t", files)
    torrent = create(root, version="v1", piece_length=PIECE)
    damage(root, "a", "flip")
    # The empty file inside the piece has no bytes in it.
    assert verify(torrent, root).faults == [
        FileFault("a", "hash", (0,)),
        FileFault("b", "hash", (0,)),
        FileFault("c", "hash", (0,)),
    ]


@pytest.mark.parametrize(
    ("version", "expected"),
    [
        ("v1", [FileFault("other", "hash", (0,)), FileFault("zeros", "missing", (0, 1))]),
        ("v2", [FileFault("zeros", "missing", (1, 2))]),
        ("hybrid", [FileFault("zeros", "missing", (1, 2))]),
    ],
)
def test_zeros_in_place_of_a_missing_file_still_fail(tmp_path, version, expected):
    # Read as zeros, the missing file would match: its pieces fail all the same.
    root = write_tree(tmp_path / "t", {"other": b"o", "zeros": bytes(PIECE + 1)})
    torrent = create(root, version=version, piece_length=PIECE)
    (root / "zeros").unlink()
    assert verify(torrent, root).faults == expected


def test_single_file_torrent(tmp_path):
    (tmp_path / "movie").write_bytes(b"m" * 40000)
    torrent = create(tmp_path / "movie")
    assert verify(torrent, tmp_path / "movie").ok
    (tmp_path / "renamed").write_bytes(b"m" * 39999 + b"!")
    assert verify(torrent, tmp_path / "renamed").faults == [FileFault("movie", "hash", (2,))]
    with pytest.raises(IsADirectoryError):
        verify(torrent, tmp_path)


def test_a_multi_file_torrent_needs_a_folder(made, tmp_path):
    _, torrents = made
    (tmp_path / "file").write_bytes(b"")
    with pytest.raises(NotADirectoryError):
        verify(torrents["v2"], tmp_path / "file")
    with pytest.raises(FileNotFoundError) as caught:
        verify(torrents["v2"], tmp_path / "nothing")
    assert caught.value.filename == str(tmp_path / "nothing")


def test_the_torrent_may_be_given_as_bytes_or_a_path(made, tmp_path):
    root, torrents = made
    data = torrents["hybrid"].encode()
    (tmp_path / "t.torrent").write_bytes(data)
    assert verify(data, root).ok
    assert verify(tmp_path / "t.torrent", root).ok


@pytest.mark.parametrize("tail_pad", [True, False])
def test_hybrids_with_and_without_a_tail_pad(tmp_path, tail_pad):
    files = {(b"a",): b"a" * 20000, (b"b",): b"b" * 5}
    torrent = load(build(files, version="hybrid", tail_pad=tail_pad))
    root = write_tree(tmp_path / "album", {"a": files[(b"a",)], "b": files[(b"b",)]})
    assert verify(torrent, root).ok
    damage(root, "b", "flip")
    assert verify(torrent, root).failed == ["b"]


def test_v1_pad_files_are_zeros(tmp_path):
    # A v1-only torrent with pad files, as some creators make them.
    files = {(b"a",): b"a" * 100, (b"b",): b"b" * 100}
    hybrid = load(build(files, version="hybrid"))
    info = build(files, version="hybrid")
    meta = decode(info)
    del meta[b"info"][b"file tree"], meta[b"info"][b"meta version"]
    meta.pop(b"piece layers", None)
    v1 = load(encode(meta))
    assert v1.versions == (1,) and len(v1.v1_files) == 4 and hybrid.versions == (1, 2)
    root = write_tree(tmp_path / "album", {"a": b"a" * 100, "b": b"b" * 100})
    assert verify(v1, root).ok


def test_only_regular_files_inside_the_folder_are_opened(made, tmp_path, monkeypatch):
    root, torrents = made
    copy = tmp_path / "copy"
    shutil.copytree(root, copy)
    outside = write_tree(tmp_path / "outside", {"b": FILES["b"]})
    (copy / "b").unlink()
    (copy / "b").symlink_to(outside / "b")  # the same bytes, but out of the folder
    (copy / "d").unlink()
    os.mkfifo(copy / "d")  # opening it would block
    shutil.rmtree(copy / "c")
    (copy / "c").symlink_to(tmp_path)
    opened = []
    real_open = os.open

    def spy(path, flags, *args, **kwargs):
        opened.append(os.fsdecode(path))
        return real_open(path, flags, *args, **kwargs)

    monkeypatch.setattr(os, "open", spy)
    result = verify(torrents["hybrid"], copy)
    assert {f.path: f.reason for f in result.faults} == {
        "b": "missing",
        "c/empty": "missing",
        "d": "missing",
    }
    assert opened and all(path.startswith(str(copy) + "/") for path in opened)
    assert not any(".pad" in path for path in opened)


def test_progress_and_its_exception(made):
    root, torrents = made
    seen = []
    assert verify(torrents["hybrid"], root, progress=lambda d, t: seen.append((d, t))).ok
    total = sum(len(data) for data in FILES.values())
    assert seen[-1] == (total, total)

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        verify(torrents["v1"], root, progress=stop)


@pytest.mark.parametrize("version", ["v1", "hybrid"])
def test_a_file_that_shrinks_while_read_fails_whole(tmp_path, monkeypatch, version):
    root = write_tree(tmp_path / "t", {"a": b"a" * (4 * PIECE), "b": b"b" * PIECE})
    torrent = create(root, version=version, piece_length=PIECE)
    real_preadv = os.preadv

    def truncating(fd, buffers, offset, *args):
        if os.fstat(fd).st_size == 4 * PIECE:
            os.truncate(root / "a", 2 * PIECE)
        return real_preadv(fd, buffers, offset, *args)

    monkeypatch.setattr(os, "preadv", truncating)
    assert verify(torrent, root, threads=1).faults == [FileFault("a", "size", (0, 1, 2, 3))]
