"""Bencode decoded into the caller's own types, checked as it is read."""

from types import GenericAlias
from typing import Any, Generic, SupportsIndex, TypeVar, final, overload

from typing_extensions import Buffer

from velka._model.markers import Extra as Extra
from velka._model.markers import Key as Key
from velka._model.markers import Raw as Raw
from velka.bencode import DecodeError

_T = TypeVar("_T")

__all__ = ["Decoder", "Extra", "Key", "Raw", "ValidationError", "decode", "encode"]

class ValidationError(DecodeError):
    """Raised when well-formed bencode does not fit the type it is decoded into."""

    path: str
    position: int

@overload
def decode(data: Buffer | None, type: type[_T], *, forbid_unknown: bool = False) -> _T: ...
@overload
def decode(data: Buffer | None, type: Any, *, forbid_unknown: bool = False) -> Any: ...

@final
class Decoder(Generic[_T]):
    """Decodes bencode into *type* by a plan made once from its annotations."""

    @overload
    def __new__(cls, type: type[_T], *, forbid_unknown: bool = False) -> Decoder[_T]: ...
    @overload
    def __new__(cls, type: Any, *, forbid_unknown: bool = False) -> Decoder[Any]: ...
    def __class_getitem__(cls, item: Any, /) -> GenericAlias: ...
    @property
    def type(self) -> Any:
        """The type that the decoder decodes into."""

    def decode(self, data: Buffer | None, /) -> _T:
        """Decode one value from *data* into the decoder's type."""

    def decode_prefix(self, data: Buffer | None, start: SupportsIndex = 0) -> tuple[_T, int]:
        """Decode the value that begins at position *start* of *data*."""

def encode(value: object, /) -> bytes:
    """Encode a value, dataclass instances included, into canonical bencode."""
