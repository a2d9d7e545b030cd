"""Small torrents of every version built here from their files' bytes, by a
plain reading of BEP 3, 47 and 52 that shares no code with velka.torrent."""

import hashlib

from velka.bencode import encode

BLOCK = 16384
TRACKER = b"http://tracker.invalid/announce"


def _reduce(row, pad, width=1):
    """The root over *row*, padded with *pad* to a power of two (at least *width*)."""
    while width < len(row):
        width *= 2
    row = row + [pad] * (width - len(row))
    while len(row) > 1:
        row = [hashlib.sha256(row[i] + row[i + 1]).digest() for i in range(0, len(row), 2)]
    return row[0]


def merkle(data, piece_length):
    """(pieces root, piece layer or None) of one file's v2 hash tree."""
    leaves = [hashlib.sha256(data[i : i + BLOCK]).digest() for i in range(0, len(data), BLOCK)]
    if len(data) <= piece_length:
        return _reduce(leaves, bytes(32)), None
    per_piece = piece_length // BLOCK
    layer = [
        _reduce(leaves[i : i + per_piece], bytes(32), per_piece)
        for i in range(0, len(leaves), per_piece)
    ]
    zero_piece = _reduce([bytes(32)] * per_piece, bytes(32))
    return _reduce(layer, zero_piece), b"".join(layer)


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
            root, layer = merkle(data, piece_length)
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
