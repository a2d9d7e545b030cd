"""Typed use of velka.bencode and velka.raw: this file passes `mypy --strict`.

Decoded values are `BencodeValue`, a union, so code narrows them with
isinstance() before use; values built for `encode` are annotated with the
alias so that the invariant list and dict types match.
"""

import hashlib

from velka.bencode import BencodeValue, DecodeError, decode, decode_all, encode
from velka.raw import IncompleteError, decode_prefix, span


def announce_url(meta: BencodeValue) -> str | None:
    """The tracker URL of a decoded torrent, if it has one."""
    if isinstance(meta, dict):
        url = meta.get(b"announce")
        if isinstance(url, bytes):
            return url.decode("utf-8", errors="replace")
    return None


def make_message(kind: bytes, ids: list[int]) -> bytes:
    payload: list[BencodeValue] = [*ids]
    message: dict[bytes, BencodeValue] = {b"kind": kind, b"ids": payload}
    return encode(message)


def count_messages(stream: bytes | bytearray | memoryview) -> int:
    messages: list[BencodeValue] = decode_all(stream)
    return len(messages)


def safe_decode(data: bytes) -> BencodeValue | None:
    try:
        return decode(data)
    except DecodeError:
        return None


def split_messages(buffer: bytes) -> tuple[list[BencodeValue], bytes]:
    """The complete messages at the front of a buffer, and what is left."""
    messages: list[BencodeValue] = []
    pos = 0
    while pos < len(buffer):
        try:
            message, pos_after = decode_prefix(buffer, pos)
        except IncompleteError:
            break
        messages.append(message)
        pos = pos_after
    return messages, buffer[pos:]


def info_hash(torrent: bytes) -> str:
    start, end = span(torrent, b"info")
    return hashlib.sha1(torrent[start:end]).hexdigest()


if __name__ == "__main__":
    wire = make_message(b"have", [1, 2, 3])
    print(wire)
    print(announce_url(decode(encode({b"announce": b"http://tracker.invalid/announce"}))))
    print(count_messages(wire + wire))
    print(safe_decode(b"i01e"))
    print(split_messages(wire + wire[:5]))
    print(info_hash(encode({b"info": {b"name": b"x"}})))
