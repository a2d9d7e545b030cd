"""A plain, slow reference of BEP 52's per-file hash tree, for the tests.

Written from the rules alone and checked against libtorrent's torrents
(tests/test_torrent_agreement.py), never against velka:

- the leaves are the SHA-256 of each 16 KiB block of the file; the last
  block may be short;
- a file no longer than one piece pads its leaves to the next power of two
  with 32 zero bytes (not the hash of a zero block), and its root is the
  root of that tree;
- a longer file's piece layer is the row where each hash covers one piece
  (the last piece's leaves padded like a short file's, to a whole piece);
  its root pads that row to a power of two with the root of a piece whose
  leaves are all padding, and the padding is not part of the layer;
- an empty file has no root.
"""

from __future__ import annotations

import hashlib

BLOCK = 16 * 1024
ZERO = bytes(32)


def leaves(data: bytes) -> list[bytes]:
    return [hashlib.sha256(data[at : at + BLOCK]).digest() for at in range(0, len(data), BLOCK)]


def root(row: list[bytes], width: int, pad: bytes = ZERO) -> bytes:
    """The root of a tree whose bottom row is `row`, padded with `pad` to
    `width` (a power of two) entries."""
    assert width & (width - 1) == 0 and len(row) <= width
    level = row + [pad] * (width - len(row))
    while len(level) > 1:
        level = [hashlib.sha256(level[i] + level[i + 1]).digest() for i in range(0, len(level), 2)]
    return level[0]


def _power_of_two(count: int) -> int:
    return 1 << max(count - 1, 0).bit_length()


def tree(data: bytes, piece_length: int) -> tuple[bytes | None, bytes | None]:
    """(pieces root, piece layer) of a file holding `data`; the layer is None
    for a file of at most one piece, both are None for an empty file."""
    if not data:
        return None, None
    hashes = leaves(data)
    if len(data) <= piece_length:
        return root(hashes, _power_of_two(len(hashes))), None
    per_piece = piece_length // BLOCK
    layer = [
        root(hashes[at : at + per_piece], per_piece) for at in range(0, len(hashes), per_piece)
    ]
    empty_piece = root([], per_piece)
    return root(layer, _power_of_two(len(layer)), empty_piece), b"".join(layer)
