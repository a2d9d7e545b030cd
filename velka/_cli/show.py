"""``velka show``: a readable tree of any bencoded value, one item a line."""

from __future__ import annotations

from collections.abc import Iterator
from json.encoder import encode_basestring

from velka.bencode import BencodeValue

# Byte strings longer than these are cut unless --full is given: a SHA-256
# digest still shows whole, a v1 `pieces` string does not.
HEX_PREVIEW = 32
TEXT_PREVIEW = 200
# Indentation stops growing past this many levels, so that the output of
# deeply nested input grows with the input, not with the square of its depth.
MAX_INDENT = 64
INLINE_ITEMS = 16
INLINE_WIDTH = 76
_LAYOUT = frozenset("\t\n\r")


def _text(raw: bytes) -> str | None:
    """*raw* as text, if it is UTF-8 that prints (tabs and line breaks allowed)."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return None
    if text.isprintable() or all(c.isprintable() or c in _LAYOUT for c in text):
        return text
    return None


def byte_string(raw: bytes, full: bool) -> str:
    text = _text(raw)
    if text is not None:
        if full or len(text) <= TEXT_PREVIEW:
            return encode_basestring(text)
        return f"{encode_basestring(text[:TEXT_PREVIEW])}... ({len(raw)} bytes)"
    if full or len(raw) <= HEX_PREVIEW:
        return f"<{len(raw)} bytes: {raw.hex()}>"
    return f"<{len(raw)} bytes: {raw[: HEX_PREVIEW // 2].hex()}...>"


def _inline(items: list[BencodeValue], full: bool) -> str | None:
    """A short list of scalars and empty containers, such as a path, on one line."""
    if len(items) > INLINE_ITEMS:
        return None
    parts = []
    for item in items:
        if isinstance(item, bytes):
            parts.append(byte_string(item, full))
        elif isinstance(item, int):
            parts.append(str(item))
        elif item:
            return None
        else:
            parts.append("[]" if isinstance(item, list) else "{}")
    text = ", ".join(parts)
    return f"[{text}]" if len(text) <= INLINE_WIDTH else None


def _summary(value: list[BencodeValue] | dict[bytes, BencodeValue]) -> str:
    count = len(value)
    if isinstance(value, list):
        return f"[...] ({count} item{'s' * (count != 1)})"
    return f"{{...}} ({count} key{'s' * (count != 1)})"


def show_lines(
    value: BencodeValue, *, full: bool = False, depth: int | None = None
) -> Iterator[str]:
    """The lines of the tree; dictionaries in their order, containers below
    *depth* levels of nesting summarised by their size."""
    # Each entry: the items still to show of an open container, and its closing bracket.
    stack: list[tuple[Iterator[tuple[str, BencodeValue]], str]] = []
    prefix = ""
    item: BencodeValue | None = value
    while True:
        if item is not None:
            indent = "  " * min(len(stack), MAX_INDENT)
            if isinstance(item, bytes):
                yield f"{indent}{prefix}{byte_string(item, full)}"
            elif isinstance(item, int):
                yield f"{indent}{prefix}{item}"
            elif not item:
                yield f"{indent}{prefix}{'[]' if isinstance(item, list) else '{}'}"
            elif depth is not None and len(stack) >= depth:
                yield f"{indent}{prefix}{_summary(item)}"
            elif isinstance(item, list) and (inline := _inline(item, full)) is not None:
                yield f"{indent}{prefix}{inline}"
            elif isinstance(item, list):
                yield f"{indent}{prefix}["
                stack.append(((("", v) for v in item), "]"))
            else:
                yield f"{indent}{prefix}{{"
                entries = ((f"{byte_string(k, True)}: ", v) for k, v in item.items())
                stack.append((entries, "}"))
        if not stack:
            return
        entry = next(stack[-1][0], None)
        if entry is None:
            closing = stack.pop()[1]
            yield "  " * min(len(stack), MAX_INDENT) + closing
            item = None
            continue
        prefix, item = entry
