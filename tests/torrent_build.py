"""Small torrents of every version built here from their files' bytes, by a
plain reading of BEP 3, 47 and 52 that shares no code with velka.torrent (the
v2 hash tree is merkle_reference's, which is checked against libtorrent)."""

import hashlib

import merkle_reference
from merkle_reference import BLOCK

from velka.bencode import encode

TRACKER = b"http://tracker.invalid/announce"


def write_tree(root, files):
    """Writes *files* ({relative path: bytes}) under *root*; returns *root*."""
    for relative, data in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return root


def build_info(
    files, *, version="hybrid", piece_length=BLOCK, name=b"album", single=False, tail_pad=True
):
    """(info dictionary, piece layers) of *files*, {path tuple of bytes: data}.

    A single-file torrent takes one file, named *name*. A hybrid pads each
    non-empty file that ends off a piece boundary, the last only when
    *tail_pad*.
    """
    ordered = sorted(files.items())
    info = {b"name": name, b"piece length": piece_length}
    layers = {}
    if version in ("v2", "hybrid"):
        tree = {}
        for path, data in ordered:
            root, layer = merkle_reference.tree(data, piece_length)
            leaf = {b"length": len(data)}
            if data:
                leaf[b"pieces root"] = root
            if layer is not None:
                layers[root] = layer
            node = tree
            for part in (name,) if single else path:
                node = node.setdefault(part, {})
            node[b""] = leaf
        info[b"file tree"] = tree
        info[b"meta version"] = 2
    if version in ("v1", "hybrid"):
        stream = b""
        entries = []
        for number, (path, data) in enumerate(ordered):
            entries.append({b"length": len(data), b"path": list(path)})
            stream += data
            pad = -len(data) % piece_length
            last = number == len(ordered) - 1
            if version == "hybrid" and data and pad and (tail_pad or not last):
                entries.append({b"attr": b"p", b"length": pad, b"path": [b".pad", b"%d" % pad]})
                stream += bytes(pad)
        if single:
            info[b"length"] = len(ordered[0][1])
        else:
            info[b"files"] = entries
        info[b"pieces"] = b"".join(
            hashlib.sha1(stream[i : i + piece_length]).digest()
            for i in range(0, len(stream), piece_length)
        )
    return info, layers


def build(files, *, outer=None, info_extra=None, **options):
    """The bencoding of a torrent of *files* (see build_info), with *outer*
    keys beside 'info' and *info_extra* keys inside it."""
    info, layers = build_info(files, **options)
    info.update(info_extra or {})
    meta = {b"announce": TRACKER, b"creation date": 1_700_000_000, b"info": info}
    if layers:
        meta[b"piece layers"] = layers
    meta.update(outer or {})
    return encode(meta)


#: Files of several sizes around one 32 KiB piece: empty, a block, within a
#: piece, longer than a piece (a piece layer), in folders that sort
#: differently by full path and by component.
ALBUM = {
    (b"a b", b"x"): b"1" * 100,
    (b"a-b", b"x"): b"",
    (b"a", b"x"): bytes(range(256)) * 200,
    (b"a.b",): b"3" * BLOCK,
    (b"z",): b"4" * 70000,
}
