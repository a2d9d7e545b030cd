"""Typed use of velka.bencode: this file passes `mypy --strict`.

Decoded values are `BencodeValue`, a union, so code narrows them with
isinstance() before use; values built for `encode` are annotated with the
alias so that the invariant list and dict types match.
"""

from velka.bencode import BencodeValue, DecodeError, decode, decode_all, encode


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


if __name__ == "__main__":
    wire = make_message(b"have", [1, 2, 3])
    print(wire)
    print(announce_url(decode(encode({b"announce": b"http://tracker.invalid/announce"}))))
    print(count_messages(wire + wire))
    print(safe_decode(b"i01e"))
