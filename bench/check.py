"""Checks for the benchmark: strict equality of decoded graphs, sizes of graphs."""

from __future__ import annotations

import sys


def first_difference(got: object, want: object, path: str = "$") -> str | None:
    """Where ``got`` differs from ``want``, or None when they are the same graph.

    Stricter than ``==``: every node must have the exact type of its
    counterpart (an ``OrderedDict`` for a ``dict``, a ``str`` for ``bytes``, a
    ``bool`` for an ``int`` or a tuple for a list all count as differences),
    and dict keys must come in the same order.
    """
    stack = [(got, want, path)]
    while stack:
        got, want, path = stack.pop()
        if type(got) is not type(want):
            return f"{path}: {type(got).__name__} where {type(want).__name__} was expected"
        if isinstance(want, dict):
            got_keys, want_keys = list(got), list(want)
            if got_keys != want_keys:
                return f"{path}: keys {_clip(got_keys)} where {_clip(want_keys)} were expected"
            stack.extend((got[key], want[key], f"{path}[{key!r}]") for key in reversed(want_keys))
            # The keys themselves must have the exact type too.
            stack.extend(
                (g, w, f"{path} key {w!r}") for g, w in zip(got_keys, want_keys, strict=True)
            )
        elif isinstance(want, list):
            if len(got) != len(want):
                return f"{path}: {len(got)} items where {len(want)} were expected"
            stack.extend(
                (g, w, f"{path}[{i}]")
                for i, (g, w) in reversed(list(enumerate(zip(got, want, strict=True))))
            )
        elif got != want:
            return f"{path}: {_clip(got)} where {_clip(want)} was expected"
    return None


def first_byte_difference(got: object, want: bytes) -> str | None:
    """Where the bytes ``got`` differ from ``want``, or None when equal."""
    if type(got) is not bytes:
        return f"returned {type(got).__name__}, not bytes"
    if got == want:
        return None
    offset = next(
        (i for i, (a, b) in enumerate(zip(got, want, strict=False)) if a != b),
        min(len(got), len(want)),
    )
    return (
        f"{len(got)} bytes where {len(want)} were expected; first difference at offset "
        f"{offset}: {_clip(got[offset : offset + 24])} vs {_clip(want[offset : offset + 24])}"
    )


def _is_immortal(value: object) -> bool:
    # sys._is_immortal is new in 3.14; on 3.12 and 3.13 an immortal object's
    # reference count is pinned at 2**30 - 1 or more, which no mortal reaches.
    check = getattr(sys, "_is_immortal", None)
    if check is not None:
        return bool(check(value))
    return sys.getrefcount(value) >= 1 << 29


def graph_size(value: object) -> int:
    """Bytes held by a graph: ``sys.getsizeof`` of every node, shared nodes once.

    Immortal objects (small ints, empty and one-byte ``bytes``) are the
    interpreter's, shared by everything, and not counted.
    """
    seen: set[int] = set()
    total = 0
    stack = [value]
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        if not _is_immortal(node):
            total += sys.getsizeof(node)
        if isinstance(node, dict):
            stack.extend(node)
            stack.extend(node.values())
        elif isinstance(node, list | tuple):
            stack.extend(node)
    return total


def _clip(value: object, limit: int = 60) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."
