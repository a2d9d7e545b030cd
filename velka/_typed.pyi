"""The compiled half of velka.typed: bencode to and from the caller's own
classes."""

from typing import Any

from velka.typed import Decoder as Decoder
from velka.typed import ValidationError as ValidationError

def _weak_decoder(type: Any, description: Any, references: Any, /) -> Decoder[Any]:
    """The decoder of a cached plan, which holds the caller's objects weakly."""

def encode(value: object, /) -> bytes:
    """Encode a value, dataclass instances included, into canonical bencode.

    Takes what velka.bencode.encode takes, and also str (as its UTF-8
    bytes, in values and dict keys), tuples (as lists), enum members (as
    their values), dataclass instances (as dicts of their fields by key,
    a field holding None left out, the keys of an Extra field merged in)
    and Raw values (written as they are, once checked to be exactly one
    valid value). Dict keys are written in the order of their bytes.

    Raises velka.bencode.EncodeError, naming the path of the value at
    fault, for what it cannot write.
    """
