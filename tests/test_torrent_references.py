"""The reference torrents and the plain hash tree reference, checked against
each other: libtorrent's pieces roots and piece layers must be what
tests/merkle_reference.py computes from the same files, and the manifest's
info-hashes those of the torrents' info dictionaries. Neither side is velka's
torrent code, so a fault found here is in the references."""

from __future__ import annotations

import hashlib

import merkle_reference
import pytest
import torrent_references
import torrent_trees
from torrent_references import Case

from velka.bencode import decode, encode

CASES = torrent_references.cases()


# The libtorrent whose layout velka's is checked against. Another release may
# lay torrents out otherwise (pad files, order): a change is to be reviewed,
# not taken silently.
LIBTORRENT = "2.0.14"


def test_references_are_there_and_made_by_the_libtorrent_checked_against():
    torrent_references.require()
    version = torrent_references.tool_versions()["libtorrent"]
    assert version in (LIBTORRENT, f"{LIBTORRENT}.0"), version


@pytest.mark.parametrize("case", CASES, ids=str)
def test_manifest_hashes_are_the_info_dictionaries(case: Case):
    for reference in case.torrents:
        info = encode(decode(reference.path.read_bytes())[b"info"])
        v1 = hashlib.sha1(info).hexdigest() if reference.version != "v2" else None
        v2 = hashlib.sha256(info).hexdigest() if reference.version != "v1" else None
        assert (reference.info_hash_v1, reference.info_hash_v2) == (v1, v2), reference.file


def _file_tree(tree: dict[bytes, object], prefix: tuple[str, ...] = ()):
    for key, value in tree.items():
        assert isinstance(value, dict)
        if key == b"":
            yield prefix, value
        else:
            yield from _file_tree(value, (*prefix, key.decode()))


@pytest.mark.parametrize("case", CASES, ids=str)
@pytest.mark.parametrize("version", ["v2", "hybrid"])
def test_merkle_reference_agrees_with_libtorrent(case: Case, version: str):
    torrent_references.skip_if_heavy(case.tree)
    metainfo = decode(case.find("libtorrent", version).path.read_bytes())
    layers = metainfo.get(b"piece layers", {})
    length = case.tree.piece_length
    contents = {
        ((case.tree.name,) if case.tree.single else entry.path): torrent_trees.content(
            case.tree, entry
        )
        for entry in case.tree.entries
    }
    found = dict(_file_tree(metainfo[b"info"][b"file tree"]))
    assert found.keys() == contents.keys()
    for path, leaf in found.items():
        root, layer = merkle_reference.tree(contents[path], length)
        assert leaf.get(b"pieces root") == root, path
        assert layers.get(root) == layer, path
    assert len(layers) == sum(len(data) > length for data in contents.values())
