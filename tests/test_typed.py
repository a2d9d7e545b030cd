# Models here are written under postponed evaluation, as many users write
# them: every annotation is a string that the planner resolves.
from __future__ import annotations

import dataclasses
import enum
import hashlib
from typing import Annotated, Any, Literal, NewType, NotRequired, Optional, Required, TypedDict

import pytest

from velka.bencode import BencodeValue, encode
from velka.bencode import decode as plain_decode
from velka.typed import Decoder, Extra, Key, Raw, decode

Port = NewType("Port", int)


@dataclasses.dataclass
class File:
    length: int
    path: list[str]


@dataclasses.dataclass
class Info:
    name: str
    piece_length: Annotated[int, Key("piece length")]
    pieces: bytes
    files: list[File] = dataclasses.field(default_factory=list)
    length: int | None = None
    private: bool = False


@dataclasses.dataclass
class Torrent:
    announce: str
    info: Info
    info_raw: Annotated[Raw, Key("info")]
    comment: Optional[str] = None  # noqa: UP045 (the spelling is under test)


@dataclasses.dataclass
class Lossless:
    announce: str
    rest: Annotated[dict[bytes, BencodeValue], Extra]


@dataclasses.dataclass(frozen=True, slots=True, kw_only=True)
class Peer:
    ip: str
    port: Port
    peer_id: Annotated[bytes, Key("peer id")] = b""


@dataclasses.dataclass
class Base:
    a: int
    b: list[int] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Derived(Base):
    c: str = "c"
    d: list[str] = dataclasses.field(init=False, default_factory=lambda: ["made"])
    e: int = dataclasses.field(init=False, default=7)


@dataclasses.dataclass(slots=True)
class SlotsWithHidden:
    a: int
    hidden: int = dataclasses.field(init=False, default=3)


@dataclasses.dataclass
class Checked:
    low: int
    high: int

    def __post_init__(self) -> None:
        if self.low > self.high:
            raise ValueError("low above high")


@dataclasses.dataclass
class OwnInit:
    x: int

    def __init__(self, x: int) -> None:
        self.x = x * 10


@dataclasses.dataclass
class Tree:
    value: int
    children: list[Tree] = dataclasses.field(default_factory=list)


class Movie(TypedDict):
    title: str
    year: NotRequired[int]


class Partial(TypedDict, total=False):
    title: Required[str]
    year: int


class Colour(enum.Enum):
    RED = "red"
    BLUE = b"blue"


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


@dataclasses.dataclass
class Query:
    t: bytes
    y: Literal["q"]
    q: str
    a: dict[str, Any]


@dataclasses.dataclass
class Response:
    t: bytes
    y: Literal["r"]
    r: dict[str, Any]


@dataclasses.dataclass
class Failure:
    t: bytes
    y: Literal["e"]
    e: tuple[int, str]


Message = Query | Response | Failure


TORRENT = {
    b"announce": b"http://tracker.invalid/announce",
    b"created by": b"hand",
    b"info": {
        b"files": [{b"length": 3000, b"path": [b"a.bin"]}, {b"length": 6, b"path": [b"sub", b"b"]}],
        b"name": b"pack",
        b"piece length": 32768,
        b"pieces": b"\x01" * 20,
    },
}


def test_torrent_model():
    data = encode(TORRENT)
    torrent = decode(data, Torrent)
    assert torrent == Torrent(
        announce="http://tracker.invalid/announce",
        info=Info(
            name="pack",
            piece_length=32768,
            pieces=b"\x01" * 20,
            files=[File(3000, ["a.bin"]), File(6, ["sub", "b"])],
        ),
        info_raw=Raw(encode(TORRENT[b"info"])),
    )
    assert type(torrent.info_raw) is Raw
    start = data.index(b"4:info") + 6
    assert torrent.info_raw == data[start:-1]
    assert Decoder(Torrent).decode(bytearray(data)) == torrent
    assert Decoder(Torrent).decode(memoryview(data)[::1]) == torrent


def test_raw_keeps_the_spelling_of_the_input():
    data = b"d8:announce1:a4:infod4:name1:n12:piece lengthi+5e6:pieces0:ee"
    torrent = decode(data, Torrent)
    assert torrent.info.piece_length == 5
    assert torrent.info_raw == b"d4:name1:n12:piece lengthi+5e6:pieces0:e"
    info = data[data.index(b"4:info") + 6 : -1]
    assert hashlib.sha1(torrent.info_raw).digest() == hashlib.sha1(info).digest()


@pytest.mark.parametrize(
    ("value", "form", "expected"),
    [
        (5, int, 5),
        (-(2**80), int, -(2**80)),
        (0, bool, False),
        (1, bool, True),
        (b"ab", bytes, b"ab"),
        ("h\u00e9llo".encode(), str, "h\u00e9llo"),
        ([1, 2], list[int], [1, 2]),
        ([1, 2, 3], tuple[int, ...], (1, 2, 3)),
        ([1, b"x"], tuple[int, bytes], (1, b"x")),
        ([], tuple[()], ()),
        ({b"a": 1}, dict[str, int], {"a": 1}),
        ({b"\xff": 1}, dict[bytes, int], {b"\xff": 1}),
        ({b"a": [1, {b"b": b"c"}]}, Any, {b"a": [1, {b"b": b"c"}]}),
        ({b"a": 1}, object, {b"a": 1}),
        ([b"a"], BencodeValue, [b"a"]),
        (b"q", Literal["q", "r"], "q"),
        (b"q", Literal[b"q"], b"q"),
        (3, Literal[3, "x"], 3),
        (b"x", Literal[3, "x"], "x"),
        (b"red", Colour, Colour.RED),
        (b"blue", Colour, Colour.BLUE),
        (2, Level, Level.HIGH),
        (7, int | bytes, 7),
        (b"7", int | bytes | list[int], b"7"),
        ([7], int | list[int], [7]),
        ({b"title": b"T"}, int | Movie, {"title": "T"}),
        (8080, Port, 8080),
        ({b"title": b"T", b"year": 1999}, Movie, {"title": "T", "year": 1999}),
        ({b"title": b"T"}, Movie, {"title": "T"}),
        ({b"title": b"T"}, Partial, {"title": "T"}),
    ],
)
def test_types(value, form, expected):
    result = decode(encode(value), form)
    assert result == expected
    assert type(result) is type(expected)


def test_records_match_their_own_init():
    cases = [
        (Peer, {b"ip": b"::1", b"port": 6881}, Peer(ip="::1", port=Port(6881))),
        (Derived, {b"a": 1}, Derived(1)),
        (Derived, {b"a": 1, b"b": [2], b"c": b"x"}, Derived(1, [2], "x")),
        (SlotsWithHidden, {b"a": 1}, SlotsWithHidden(1)),
        (OwnInit, {b"x": 2}, OwnInit(2)),
        (Checked, {b"high": 2, b"low": 1}, Checked(1, 2)),
    ]
    for cls, value, expected in cases:
        result = decode(encode(value), cls)
        assert result == expected
        assert type(result) is cls
        if hasattr(expected, "__dict__"):
            assert list(vars(result).items()) == list(vars(expected).items())
        for field in dataclasses.fields(cls):
            assert getattr(result, field.name) == getattr(expected, field.name)
    first, second = decode(b"d1:ai1ee", Derived), decode(b"d1:ai1ee", Derived)
    assert first.b is not second.b and first.d is not second.d
    with pytest.raises(dataclasses.FrozenInstanceError):
        decode(b"d2:ip3:::14:porti1ee", Peer).port = 2  # type: ignore[misc]


def test_recursive_record():
    value = {b"children": [{b"value": 2}, {b"children": [{b"value": 4}], b"value": 3}], b"value": 1}
    assert decode(encode(value), Tree) == Tree(1, [Tree(2), Tree(3, [Tree(4)])])


def test_extra_keeps_every_unknown_key():
    value = {b"announce": b"a", b"info": {b"x": [1]}, b"zz": 2}
    assert decode(encode(value), Lossless) == Lossless("a", {b"info": {b"x": [1]}, b"zz": 2})
    result = decode(b"d8:announce1:ae", Lossless)
    assert result.rest == {}
    assert result.rest is not decode(b"d8:announce1:ae", Lossless).rest


@pytest.mark.parametrize(
    ("value", "form"),
    [
        ({b"a": {b"id": b"x"}, b"q": b"ping", b"t": b"aa", b"y": b"q"}, Message),
        ({b"r": {b"id": b"x"}, b"t": b"aa", b"y": b"r"}, Message),
        ({b"e": [201, b"Generic Error"], b"t": b"aa", b"y": b"e"}, Message),
    ],
)
def test_tagged_union_finds_the_tag_after_the_fields(value, form):
    result = decode(encode(value), form)
    kind = {b"q": Query, b"r": Response, b"e": Failure}[value[b"y"]]
    assert type(result) is kind
    assert result.y == value[b"y"].decode()


def test_decode_prefix():
    data = b"d8:msg_typei1e5:piecei0eeRAWDATA"
    decoder = Decoder(dict[str, int])
    assert decoder.decode_prefix(data) == ({"msg_type": 1, "piece": 0}, 25)
    assert Decoder(int).decode_prefix(b"xxi1ei2e", start=2) == (1, 5)


def test_same_as_plain_decode_for_any():
    data = encode(TORRENT)
    assert decode(data, Any) == plain_decode(data)


def test_any_values_that_init_lets_go_leave_no_trace():
    # Decoding a value of kind Any remembers the lists of dicts in a list,
    # to read the next one alike; the first record's __post_init__ drops
    # its value, and new lists may take the memory of the old ones.
    marker = bytes(bytearray(b"dir"))
    made: list[list[bytes]] = []

    @dataclasses.dataclass
    class Holder:
        data: Any

        def __post_init__(self) -> None:
            if not made:
                self.data = None
                made.extend([marker, marker] for _ in range(100))

    files = [{b"p": [b"dir", b"f%d" % i]} for i in range(3)]
    got = decode(encode([{b"data": files}] * 3), list[Holder])
    assert got[1:] == [Holder(files)] * 2
    assert not any(file[b"p"][0] is marker for holder in got[1:] for file in holder.data)
