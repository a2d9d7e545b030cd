"""A lossless mapping between bencoded values and JSON.

Integers are JSON numbers and byte strings that are valid UTF-8 are JSON
strings. Everything else is spelled with a leading ``$``, which is therefore
reserved at the start of object keys:

- a byte string that is not UTF-8 is the object ``{"$hex": "<hex digits>"}``;
- a dictionary key that is not UTF-8 is the key ``"$hex:<hex digits>"``;
- a dictionary key that begins with ``$`` is written with the ``$`` doubled
  (``b"$id"`` is the key ``"$$id"``).

Since every ordinary key that begins with ``$`` is doubled, an object with
the key ``"$hex"`` can only be an escaped byte string, and a key ``"$hex:..."``
only an escaped key. Both walks keep their own stack instead of recursing,
so a value nests as deeply as the decoder allows.
"""

from __future__ import annotations

import json
import re
import sys
from collections.abc import Callable, Iterator
from json.encoder import encode_basestring

from velka.bencode import BencodeValue

# Indentation stops growing past this many levels, so that the output of
# deeply nested input grows with the input, not with the square of its depth.
MAX_INDENT = 64
HEX_KEY = "$hex"

# The json module's own string reader (C where built): its escapes, its errors.
_scanstring: Callable[[str, int, bool], tuple[str, int]] = json.decoder.scanstring  # type: ignore[attr-defined]
HEX_KEY_PREFIX = "$hex:"


class JSONFormError(Exception):
    """JSON that has no bencode form; the message names the JSON path of the fault."""

    def __init__(self, path: str, message: str) -> None:
        super().__init__(f"{path}: {message}")


# --- bencode to JSON -----------------------------------------------------------


def _string(raw: bytes, colon: str) -> str:
    try:
        return encode_basestring(raw.decode("utf-8"))
    except UnicodeDecodeError:
        return f'{{"{HEX_KEY}"{colon}"{raw.hex()}"}}'


def _key(raw: bytes) -> str:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return f'"{HEX_KEY_PREFIX}{raw.hex()}"'
    return encode_basestring("$" + text if text.startswith("$") else text)


def json_chunks(value: BencodeValue, indent: int | None = 2) -> Iterator[str]:
    """The JSON text of *value*, in pieces; dictionaries keep their order."""
    separator = ","
    colon = ":" if indent is None else ": "
    # Each entry is an iterator over a container's items and its closing bracket.
    stack: list[tuple[Iterator[tuple[bytes | None, BencodeValue]], str]] = []
    first = True
    pending: BencodeValue | None = value
    while True:
        if pending is not None:
            item = pending
            pending = None
            if isinstance(item, bytes):
                yield _string(item, colon)
            elif isinstance(item, int):
                yield str(item)
            elif isinstance(item, list):
                if not item:
                    yield "[]"
                else:
                    yield "["
                    stack.append((((None, v) for v in item), "]"))
                    first = True
            elif not item:
                yield "{}"
            else:
                yield "{"
                stack.append((iter(item.items()), "}"))
                first = True
        if not stack:
            return
        items, closing = stack[-1]
        entry = next(items, None)
        newline = "" if indent is None else "\n" + " " * (indent * min(len(stack), MAX_INDENT))
        if entry is None:
            stack.pop()
            level = min(len(stack), MAX_INDENT)
            yield ("" if indent is None else "\n" + " " * (indent * level)) + closing
            first = False
            continue
        key, pending = entry
        yield ("" if first else separator) + newline
        first = False
        if key is not None:
            yield _key(key) + colon


# --- JSON to bencode -----------------------------------------------------------

_SPACE = re.compile(r"[ \t\n\r]*")
_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?")
_HEX = re.compile(r"(?:[0-9a-fA-F]{2})*")
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_LITERALS = ("true", "false", "null")


def _step(component: str | int) -> str:
    if isinstance(component, int):
        return f"[{component}]"
    if _NAME.fullmatch(component):
        return f".{component}"
    return f"[{json.dumps(component, ensure_ascii=False)}]"


class _Frame:
    """An open JSON array or object while the parser is inside it."""

    __slots__ = ("escape", "items", "key", "members", "raw", "spelling")

    def __init__(self, is_object: bool) -> None:
        self.items: list[BencodeValue] | None = None if is_object else []
        self.members: dict[bytes, BencodeValue] = {}
        self.spelling: dict[bytes, str] = {}  # raw key -> the key as written
        self.key: str | None = None  # the key being read, as written
        self.raw = b""  # and as bytes
        self.escape: bytes | None = None  # the value of an {"$hex": ...} object


class _Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.stack: list[_Frame] = []

    def path(self, depth: int | None = None) -> str:
        frames = self.stack if depth is None else self.stack[:depth]
        steps = ["$"]
        for frame in frames:
            if frame.items is not None:
                steps.append(_step(len(frame.items)))
            elif frame.key is not None:
                steps.append(_step(frame.key))
        return "".join(steps)

    def fail(self, message: str, depth: int | None = None) -> JSONFormError:
        return JSONFormError(self.path(depth), message)

    def syntax(self, message: str, pos: int, depth: int | None = None) -> JSONFormError:
        line = self.text.count("\n", 0, pos) + 1
        column = pos - self.text.rfind("\n", 0, pos)
        return self.fail(f"not JSON: {message} (line {line}, column {column})", depth)

    def skip(self, pos: int) -> int:
        match = _SPACE.match(self.text, pos)
        assert match is not None  # the pattern matches the empty string
        return match.end()

    def string(self, pos: int) -> tuple[str, int]:
        try:
            return _scanstring(self.text, pos + 1, True)
        except json.JSONDecodeError as error:
            raise self.syntax(error.msg, error.pos) from None

    def utf8(self, text: str, depth: int | None = None) -> bytes:
        try:
            return text.encode("utf-8")
        except UnicodeEncodeError:
            raise self.fail(
                "a lone surrogate (\\ud800 to \\udfff) has no UTF-8 form", depth
            ) from None

    def key_bytes(self, key: str) -> bytes:
        if not key.startswith("$"):
            return self.utf8(key)
        if key.startswith("$$"):
            return self.utf8(key[1:])
        if key.startswith(HEX_KEY_PREFIX) and _HEX.fullmatch(key, len(HEX_KEY_PREFIX)):
            return bytes.fromhex(key[len(HEX_KEY_PREFIX) :])
        raise self.fail(
            f"the key {json.dumps(key, ensure_ascii=False)} is no escape: a key that begins "
            f'with "$" is written with it doubled, and one that is not UTF-8 as '
            f'"{HEX_KEY_PREFIX}<hex digits>"',
            len(self.stack) - 1,
        )

    def parse(self) -> BencodeValue:
        text = self.text
        end = len(text)
        pos = self.skip(0)
        while True:
            # A value begins at pos: a scalar is made at once, a container opened.
            char = text[pos] if pos < end else ""
            parent = self.stack[-1] if self.stack else None
            value: BencodeValue | str
            if char and char in "[{":
                if parent is not None and parent.key == HEX_KEY:
                    raise self.fail('"$hex" wants a string of hex digits')
                self.stack.append(_Frame(char == "{"))
                pos = self.skip(pos + 1)
                if char == "[":
                    if text.startswith("]", pos):
                        pos += 1
                        value = self.close()
                    else:
                        continue
                elif text.startswith("}", pos):
                    pos += 1
                    value = self.close()
                else:
                    pos = self.open_key(pos)
                    continue
            elif char == '"':
                value, pos = self.string(pos)
            elif char and char in "-0123456789":
                match = _NUMBER.match(text, pos)
                if match is None:
                    raise self.syntax("expected a value", pos)
                if match[1] or match[2]:
                    raise self.fail("a float has no bencode form")
                try:
                    value = int(match[0])
                except ValueError:
                    # Decoding refuses such integers too, so they cannot round-trip.
                    limit = sys.get_int_max_str_digits()
                    raise self.fail(f"an integer of more than {limit} digits") from None
                pos = match.end()
            else:
                for literal in _LITERALS:
                    if text.startswith(literal, pos):
                        raise self.fail(f"{literal} has no bencode form")
                raise self.syntax("expected a value", pos)

            # The value is complete: place it, closing every container it completes.
            while True:
                frame = self.stack[-1] if self.stack else None
                in_escape = frame is not None and frame.key == HEX_KEY
                if isinstance(value, str):
                    if in_escape:
                        if not _HEX.fullmatch(value):
                            raise self.fail('"$hex" wants an even number of hex digits')
                        value = bytes.fromhex(value)
                    else:
                        value = self.utf8(value)
                elif in_escape:
                    raise self.fail('"$hex" wants a string of hex digits')
                if frame is None:
                    pos = self.skip(pos)
                    if pos != end:
                        raise self.syntax("extra data after the value", pos)
                    return value
                pos = self.skip(pos)
                closing = "]" if frame.items is not None else "}"
                if frame.items is not None:
                    frame.items.append(value)
                elif frame.key == HEX_KEY:
                    assert isinstance(value, bytes)  # made from the hex digits above
                    frame.escape = value
                else:
                    frame.members[frame.raw] = value
                if text.startswith(",", pos):
                    pos = self.skip(pos + 1)
                    if frame.items is None:
                        pos = self.open_key(pos)
                    break  # the next value begins at pos
                if not text.startswith(closing, pos):
                    raise self.syntax(f"expected ',' or '{closing}'", pos, len(self.stack) - 1)
                pos += 1
                value = self.close()

    def open_key(self, pos: int) -> int:
        """Reads an object's key and its colon; returns where its value begins."""
        frame = self.stack[-1]
        if not self.text.startswith('"', pos):
            raise self.syntax("expected a key in double quotes", pos)
        key, pos = self.string(pos)
        frame.key = key
        # An escape object holds its one key and nothing else, whatever the order.
        if frame.escape is not None or (key == HEX_KEY and frame.members):
            raise self.fail(
                'an escaped byte string is an object with the one key "$hex"',
                len(self.stack) - 1,
            )
        if key != HEX_KEY:
            frame.raw = self.key_bytes_checked(frame)
        pos = self.skip(pos)
        if not self.text.startswith(":", pos):
            raise self.syntax("expected ':'", pos)
        return self.skip(pos + 1)

    def key_bytes_checked(self, frame: _Frame) -> bytes:
        assert frame.key is not None
        raw = self.key_bytes(frame.key)
        if raw in frame.members:
            first = json.dumps(frame.spelling[raw], ensure_ascii=False)
            again = json.dumps(frame.key, ensure_ascii=False)
            message = (
                f"the key {again} appears twice"
                if first == again
                else f"the keys {first} and {again} are the same bytes"
            )
            raise self.fail(message, len(self.stack) - 1)
        frame.spelling[raw] = frame.key
        return raw

    def close(self) -> BencodeValue:
        frame = self.stack.pop()
        if frame.items is not None:
            return frame.items
        if frame.escape is not None:
            return frame.escape
        return frame.members


def canonical_bencode(value: BencodeValue) -> bytes:
    """The canonical bencoding of *value*, as ``encode`` writes it, but with a
    stack of our own: the encoder's native stack holds fewer levels of
    dictionaries than the decoder's, and what to-json printed must come back."""
    out: list[bytes] = []
    stack: list[Iterator[BencodeValue]] = []
    item: BencodeValue | None = value
    while item is not None:
        if isinstance(item, bytes):
            out += (b"%d:" % len(item), item)
        elif isinstance(item, int):
            out.append(b"i%de" % item)
        elif isinstance(item, list):
            out.append(b"l")
            stack.append(iter(item))
        else:
            out.append(b"d")
            # Keys interleaved with their values, in raw byte order.
            stack.append(iter([part for key in sorted(item) for part in (key, item[key])]))
        item = None
        while stack and item is None:
            item = next(stack[-1], None)
            if item is None:
                stack.pop()
                out.append(b"e")
    return b"".join(out)


def from_json(text: str) -> BencodeValue:
    """The bencode value that the JSON *text* stands for (the inverse of json_chunks)."""
    return _Parser(text).parse()
