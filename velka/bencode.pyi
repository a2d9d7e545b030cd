"""Bencode encoding and decoding (compiled, speed-optimised variant)."""

from typing import TypeAlias

from typing_extensions import Buffer

# What `decode` returns and `encode` accepts. Containers are invariant, so a
# value built up in code is best annotated as `list[BencodeValue]` or
# `dict[bytes, BencodeValue]` before it is handed to `encode`. At runtime the
# alias is a typing.Union, not a `type` statement's TypeAliasType.
BencodeValue: TypeAlias = int | bytes | list[BencodeValue] | dict[bytes, BencodeValue]

class BencodeError(Exception):
    """Base exception for bencode operations."""

class DecodeError(BencodeError):
    """Raised when bencoded data cannot be decoded."""

class EncodeError(BencodeError):
    """Raised when a value cannot be bencoded."""

def decode(data: Buffer | None) -> BencodeValue:
    """Decode a single bencoded value from *data*.

    Raises :class:`DecodeError` on malformed input.
    """

def decode_all(data: Buffer | None) -> list[BencodeValue]:
    """Decode *all* concatenated bencoded values from *data*."""

def encode(value: BencodeValue) -> bytes:
    """Encode a Python value into bencode format.

    Raises :class:`EncodeError` on unsupported types.
    """
