# Properties of the typed layer over generated values and inputs: values built
# from the models come back equal through encode and decode, and any input a
# model's decoder is given fails exactly as plain decode fails, or fits, or
# (only when plain decode accepts it) is refused as a ValidationError.
from __future__ import annotations

import dataclasses
import enum
from typing import Annotated, Any, Literal, NotRequired, TypedDict

import pytest
from emulation import examples
from hypothesis import given, settings
from hypothesis import strategies as st

from velka.bencode import BencodeValue, DecodeError, encode
from velka.bencode import decode as plain_decode
from velka.typed import Decoder, Extra, Key, Raw, ValidationError
from velka.typed import encode as typed_encode


class Colour(enum.IntEnum):
    RED = 1
    BLUE = -2


class Word(enum.Enum):
    SPAM = "spam"
    EGGS = b"eggs"


@dataclasses.dataclass(frozen=True)
class Node:
    name: str
    children: list[Node] = dataclasses.field(default_factory=list)


@dataclasses.dataclass(slots=True)
class Record:
    count: int
    flag: bool
    text: Annotated[str, Key("some text")]
    blob: Annotated[bytes, Key(b"\xffblob")]
    pair: tuple[int, str]
    many: tuple[bytes, ...]
    colour: Colour
    word: Word | None = None
    mark: Literal[0, "x", b"y"] | None = None
    either: int | bytes | list[int] | None = None
    table: dict[bytes, list[str]] = dataclasses.field(default_factory=dict)
    node: Node | None = None


@dataclasses.dataclass
class Query:
    t: bytes
    y: Literal["q"]
    q: str
    a: dict[str, BencodeValue]


@dataclasses.dataclass
class Response:
    t: bytes
    y: Literal["r"]
    r: Raw
    rest: Annotated[dict[bytes, BencodeValue], Extra] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Failure:
    t: bytes
    y: Literal["e"]
    e: tuple[int, str]


class Options(TypedDict, total=False):
    a: int
    b: NotRequired[list[bytes]]
    c: dict[str, Options]


integers = st.integers(min_value=-(2**70), max_value=2**70)
texts = st.text(max_size=8)
blobs = st.binary(max_size=8)
plain_values = st.recursive(
    integers | blobs,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(blobs, inner, max_size=3),
    max_leaves=8,
)
nodes = st.recursive(
    st.builds(Node, texts),
    lambda inner: st.builds(Node, texts, st.lists(inner, max_size=3)),
    max_leaves=10,
)
records = st.builds(
    Record,
    count=integers,
    flag=st.booleans(),
    text=texts,
    blob=blobs,
    pair=st.tuples(integers, texts),
    many=st.lists(blobs, max_size=4).map(tuple),
    colour=st.sampled_from(Colour),
    word=st.none() | st.sampled_from(Word),
    mark=st.sampled_from([None, 0, "x", b"y"]),
    either=st.none() | integers | blobs | st.lists(integers, max_size=3),
    table=st.dictionaries(blobs, st.lists(texts, max_size=3), max_size=3),
    node=st.none() | nodes,
)
messages = (
    st.builds(Query, blobs, st.just("q"), texts, st.dictionaries(texts, plain_values, max_size=3))
    | st.builds(
        Response,
        blobs,
        st.just("r"),
        plain_values.map(lambda value: Raw(encode(value))),
        # keys the record's own fields name are not extra keys
        st.dictionaries(blobs.filter(lambda key: key not in (b"t", b"y", b"r")), plain_values),
    )
    | st.builds(Failure, blobs, st.just("e"), st.tuples(integers, texts))
)
options = st.recursive(
    st.fixed_dictionaries({}, optional={"a": integers, "b": st.lists(blobs, max_size=3)}),
    lambda inner: st.fixed_dictionaries(
        {}, optional={"a": integers, "c": st.dictionaries(texts, inner, max_size=2)}
    ),
    max_leaves=6,
)
MODELS = [
    (Record, records),
    (Node, nodes),
    (Query | Response | Failure, messages),
    (Options, options),
    (list[Record], st.lists(records, max_size=3)),
]


@pytest.mark.parametrize(("form", "values"), MODELS, ids=lambda item: getattr(item, "__name__", ""))
def test_values_come_back_through_encode_and_decode(form, values):
    decoder = Decoder(form)

    @settings(max_examples=examples(150), deadline=None)
    @given(values)
    def round_trip(value):
        data = typed_encode(value)
        assert encode(plain_decode(data)) == data  # canonical
        assert decoder.decode(data) == value

    round_trip()


def _mangled(data: bytes, position: int, byte: int, cut: bool) -> bytes:
    position %= len(data) + 1
    if cut:
        return data[:position]
    return data[:position] + bytes([byte]) + data[position:]


@pytest.mark.parametrize(("form", "values"), MODELS, ids=lambda item: getattr(item, "__name__", ""))
def test_any_input_fails_as_plain_decode_fails(form, values):
    decoder = Decoder(form)

    @settings(max_examples=examples(200), deadline=None)
    @given(
        values.map(typed_encode),
        st.integers(min_value=0),
        st.sampled_from(b"ilde:0123456789-x\xff"),
        st.booleans(),
    )
    def same_fault(data, position, byte, cut):
        data = _mangled(data, position, byte, cut)
        try:
            expected = plain_decode(data)
        except DecodeError as error:
            with pytest.raises(DecodeError) as caught:
                decoder.decode(data)
            assert type(caught.value) is type(error)
            assert str(caught.value) == str(error)
            return
        try:
            decoder.decode(data)
        except ValidationError as error:
            assert 0 <= error.position < len(data)
            assert error.path.startswith("$")
        del expected

    same_fault()


@settings(max_examples=examples(200), deadline=None)
@given(plain_values)
def test_any_gives_plain_decode_values_of_every_kind(value):
    data = encode(value)
    assert Decoder(Any).decode(data) == plain_decode(data)
    assert Decoder(dict[bytes, Any] | list[Any] | int | bytes).decode(data) == plain_decode(data)
