"""What the typed harness does with each input.

Every input is decoded with ``velka.bencode.decode`` once (the oracle), then
into each model of a fixed set, recursive ones and tagged unions among them.
For each model the typed decode must either succeed, or raise exactly the
DecodeError (or OverflowError, for a length past any buffer) that plain
decode raised (same type, same message), or, only
where plain decode succeeded, a ValidationError with a path and a position
inside the input. Decoding into Any must give plain decode's value. Whatever
decodes must encode back to bencode that decodes into an equal object (from
canonical input; from any input, encoding is stable after one pass), and
the lossless models must give back the input's own bytes when it was
canonical. The models are planned once, at import; the work per input is a
few walks over at most max_len bytes.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field
from typing import Annotated, Any, Literal, NotRequired, TypedDict

from velka.bencode import BencodeValue, DecodeError, decode, encode
from velka.typed import Decoder, Extra, Key, Raw, ValidationError
from velka.typed import encode as typed_encode


class Finding(AssertionError):
    pass


def check(condition: object, *details: object) -> None:
    if not condition:
        raise Finding(*details)


class Colour(enum.IntEnum):
    RED = 1
    GREEN = 2


class Kind(enum.Enum):
    A = b"a"
    B = "b"


@dataclass
class Node:
    """Recursive through a list and an optional field."""

    name: str
    children: list[Node] = field(default_factory=list)
    parent: Node | None = None


@dataclass(frozen=True, slots=True)
class Tree:
    value: int | bytes | list[Tree]
    label: Annotated[bytes, Key("x y")] = b""


@dataclass
class Query:
    t: bytes
    y: Literal["q"]
    q: str
    a: dict[str, BencodeValue]


@dataclass(slots=True)
class Response:
    t: bytes
    y: Literal["r"]
    r: Raw
    rest: Annotated[dict[bytes, BencodeValue], Extra] = field(default_factory=dict)


@dataclass(kw_only=True)
class Failure:
    t: bytes
    y: Literal["e"]
    e: tuple[int, str]
    colour: Colour = Colour.RED


class Options(TypedDict, total=False):
    a: int
    b: list[bytes]
    c: NotRequired[dict[bytes, Options]]


@dataclass
class Checked:
    low: int
    high: int = 10

    def __post_init__(self) -> None:
        if self.low > self.high:
            raise ValueError("low above high")


@dataclass
class Lossless:
    """Keeps every key: any canonical dictionary encodes back as it was."""

    a: int | bytes | None = None
    b: Raw | None = None
    rest: Annotated[dict[bytes, Any], Extra] = field(default_factory=dict)


@dataclass
class Mixed:
    kind: Kind | None = None
    flag: bool = False
    pair: tuple[int, bytes] | None = None
    table: dict[bytes, list[int]] = field(default_factory=dict)
    checked: Checked | None = None
    info: Lossless | None = None
    info_raw: Annotated[Raw | None, Key("info")] = None


MODELS: list[Any] = [
    Any,
    int,
    bool,
    str,
    bytes,
    Raw,
    list[int | bytes],
    dict[str, Any],
    dict[bytes, str],
    tuple[int, ...],
    Literal[1, "one", b"x"],
    Node,
    Tree,
    Query | Response | Failure,
    Options,
    Checked,
    Lossless,
    Mixed,
]
DECODERS = [Decoder(model) for model in MODELS]
STRICT = [Decoder(model, forbid_unknown=True) for model in (Node, Mixed)]
LOSSLESS = DECODERS[MODELS.index(Lossless)]


ALL_DECODERS = [*DECODERS, *STRICT]


def _refuses_alike(data: bytes, plain_error: Exception) -> None:
    """Every model refuses malformed input with plain decode's own error (of
    the same type, with the same message); a RecursionError aside, as the
    depth limits need not agree. Most inputs are malformed, so this loop is
    the harness's hot path: one frame for all the models, and the error's
    type and text taken once."""
    kind = type(plain_error)
    message = str(plain_error)
    for decoder in ALL_DECODERS:
        try:
            decoder.decode(data)
        except RecursionError:
            continue
        except Exception as error:
            if type(error) is not kind or str(error) != message:
                raise Finding(decoder.type, "not decode's error", error, plain_error) from error
            continue
        raise Finding(decoder.type, "success where decode failed", plain_error)


def _fits(decoder: Any, data: bytes, plain: Any, canonical: bool) -> None:
    """On input that decode accepts: the model gives a value or a
    ValidationError with a path and a position inside the input."""
    form = decoder.type
    try:
        value = decoder.decode(data)
    except ValidationError as error:
        check(isinstance(error.path, str) and error.path.startswith("$"), form, error.path)
        check(0 <= error.position < len(data), form, "position", error.position, len(data))
        return
    except (DecodeError, OverflowError) as error:
        raise Finding(form, "error where decode succeeded", error) from error
    except RecursionError:
        return
    if form is Any:
        check(value == plain and type(value) is type(plain), "Any differs from decode", value)
    # A Raw field keeps the input's own spelling of a number (i+5e) that the
    # encoder writes canonically: from canonical input the round trip gives
    # the same object, from any input the encoding is stable after one pass.
    encoded = typed_encode(value)
    again = decoder.decode(encoded)
    if canonical:
        check(again == value, form, "round trip", value, again)
    else:
        check(typed_encode(again) == encoded, form, "encoding not stable", value, again)


def _all_fit(data: bytes, plain: Any) -> None:
    """Input that decode accepts, in every model; the lossless one gives back
    canonical input byte for byte."""
    canonical = encode(plain) == data
    for decoder in ALL_DECODERS:
        _fits(decoder, data, plain, canonical)
    if canonical and type(plain) is dict:
        try:
            value = LOSSLESS.decode(data)
        except ValidationError:
            return
        check(typed_encode(value) == data, "lossless model lost data", value)


def typed_target(data: bytes) -> None:
    try:
        plain = decode(data)
    except (DecodeError, OverflowError) as error:
        plain_error: Exception = error
    except RecursionError:
        return
    else:
        _all_fit(data, plain)
        return
    # Outside the handler, so that what the models raise is not chained to
    # plain decode's error.
    _refuses_alike(data, plain_error)
