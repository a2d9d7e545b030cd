"""What a model's annotations may name besides ordinary types."""

from __future__ import annotations

from typing import Final, final


class Raw(bytes):
    """The exact bytes of one bencoded value, as they stand in the input.

    A field typed ``Raw`` receives the encoding of its value unchanged (its
    span), so that a hash of it is the hash of the input's own bytes. Encoding
    writes it verbatim, after checking that it holds exactly one valid value.
    """

    __slots__ = ()

    def __repr__(self) -> str:
        return f"Raw({bytes.__repr__(self)})"


@final
class Key:
    """Names the dictionary key of a field, when it is not the field's name:
    ``Annotated[int, Key("piece length")]``, or ``Key(b"\\x00id")`` for a key
    that is not text."""

    __slots__ = ("name",)
    name: str | bytes

    def __init__(self, name: str | bytes) -> None:
        if not isinstance(name, (str, bytes)):
            raise TypeError(f"Key() takes a str or bytes, not {type(name).__name__}")
        object.__setattr__(self, "name", name)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Key is immutable")

    def __repr__(self) -> str:
        return f"Key({self.name!r})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Key):
            return NotImplemented
        return type(self.name) is type(other.name) and self.name == other.name

    def __hash__(self) -> int:
        return hash((Key, self.name))

    @property
    def raw(self) -> bytes:
        """The key as it stands in the input."""
        return self.name.encode() if isinstance(self.name, str) else self.name


@final
class _ExtraMarker:
    __slots__ = ()

    def __repr__(self) -> str:
        return "Extra"

    def __reduce__(self) -> str:
        return "Extra"


#: Marks the one field of a record that receives every key no other field
#: names: ``Annotated[dict[bytes, BencodeValue], Extra]``.
Extra: Final = _ExtraMarker()
