"""The v2 hash tree: SHA-256 over 16 KiB blocks, paired up to one root.

Shared by the reader, which checks that each piece layer leads to its file's
root, and by the hashing engine, which builds both.
"""

from __future__ import annotations

import hashlib

BLOCK = 16 * 1024
"""Bytes that one leaf of a v2 hash tree covers."""

_SHA256 = hashlib.sha256


def _zero_roots() -> list[bytes]:
    # ZERO_ROOTS[k] is the root of a tree of 2**k leaves that are all 32 zero
    # bytes: the padding of a v2 tree at height k.
    roots = [bytes(32)]
    for _ in range(63):
        roots.append(_SHA256(roots[-1] * 2).digest())
    return roots


ZERO_ROOTS = _zero_roots()


def merkle_root(level: list[bytes], width: int, height: int = 0) -> bytes:
    """The root over *level* padded to *width* nodes (a power of two) at *height*.

    Padding nodes are the roots of all-zero subtrees of that height. *level* is
    consumed.
    """
    while width > 1:
        if len(level) & 1:
            level.append(ZERO_ROOTS[height])
        level = [_SHA256(level[i] + level[i + 1]).digest() for i in range(0, len(level), 2)]
        width >>= 1
        height += 1
    return level[0]


def layer_root(layer: bytes | bytearray, piece_length: int) -> bytes:
    """The pieces root of a file from its piece layer (32 bytes per piece).

    Works on one level at a time in a buffer half as long, so that a file of
    many pieces costs no object per piece.
    """
    count = len(layer) // 32
    height = (piece_length // BLOCK).bit_length() - 1
    width = 1 << (count - 1).bit_length()
    view = memoryview(layer)
    while width > 1:
        pairs = count // 2
        above = bytearray(32 * ((count + 1) // 2))
        for j in range(pairs):
            above[32 * j : 32 * j + 32] = _SHA256(view[64 * j : 64 * j + 64]).digest()
        if count & 1:
            above[-32:] = _SHA256(bytes(view[-32:]) + ZERO_ROOTS[height]).digest()
        view = memoryview(above)
        count = (count + 1) // 2
        width >>= 1
        height += 1
    return bytes(view)
