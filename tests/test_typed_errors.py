import dataclasses
import gc
import re
import threading
import weakref
from typing import Annotated, Any, Literal

import pytest
from emulation import examples
from hypothesis import given, settings
from hypothesis import strategies as st

from velka._model.plan import describe
from velka._typed import _weak_decoder
from velka.bencode import DecodeError, encode
from velka.bencode import decode as plain_decode
from velka.raw import IncompleteError
from velka.typed import Decoder, Extra, Key, Raw, ValidationError, decode
from velka.typed import encode as encode_typed


@dataclasses.dataclass
class File:
    length: int
    path: list[str]


@dataclasses.dataclass
class Info:
    name: str
    piece_length: Annotated[int, Key("piece length")]
    files: list[File] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Torrent:
    announce: str
    info: Info


@dataclasses.dataclass
class Keys:
    plain: int = 0
    spaced: Annotated[int, Key("a b")] = 0
    binary: Annotated[int, Key(b"\x14\xff")] = 0
    items: list[dict[bytes, int]] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Flag:
    on: bool


@dataclasses.dataclass
class Pair:
    pair: tuple[int, int]


@dataclasses.dataclass
class Ordered:
    low: int
    high: int

    def __post_init__(self) -> None:
        if self.low > self.high:
            raise ValueError("low above high")


@dataclasses.dataclass
class Holder:
    inner: Ordered


@dataclasses.dataclass
class Ping:
    y: Literal["q"]
    q: Literal["ping"]


@dataclasses.dataclass
class Pong:
    y: Literal["r"]
    r: dict[str, bytes]


@dataclasses.dataclass
class Open:
    a: int
    extra: Annotated[dict[bytes, Any], Extra]


@dataclasses.dataclass
class Outer:
    open: Open
    closed: Flag


INFO = {b"name": b"n", b"piece length": 1}


@pytest.mark.parametrize(
    ("value", "form", "message", "path", "position"),
    [
        (
            {b"announce": b"a", b"info": {**INFO, b"name": 5}},
            Torrent,
            "expected str, got integer",
            "$.info.name",
            27,
        ),
        (
            {b"announce": b"a", b"info": {b"name": b"n"}},
            Torrent,
            "missing key 'piece length'",
            "$.info",
            20,
        ),
        (
            {b"announce": b"a", b"info": {**INFO, b"files": [{b"length": 1, b"path": [b"\xff"]}]}},
            Torrent,
            "invalid UTF-8",
            "$.info.files[0].path[0]",
            48,
        ),
        ({b"a b": b"x"}, Keys, "expected int, got byte string", "$['a b']", 6),
        ({b"\x14\xff": []}, Keys, "expected int, got list", "$[b'\\x14\\xff']", 5),
        ({b"items": [{}, {b"k": b"v"}]}, Keys, "expected int, got byte string", "$.items[1].k", 15),
        ({b"on": 2}, Flag, "expected bool (0 or 1), got 2", "$.on", 5),
        ({b"pair": [1]}, Pair, "expected tuple of 2 items, got 1 items", "$.pair", 7),
        ({b"pair": [1, 2, 3]}, Pair, "expected tuple of 2 items, got 3 items", "$.pair", 7),
        (
            {b"inner": {b"high": 1, b"low": 2}},
            Holder,
            "invalid Ordered: low above high",
            "$.inner",
            8,
        ),
        ({b"q": b"ping", b"y": b"x"}, Ping | Pong, "expected one of 'q', 'r', got 'x'", "$.y", 13),
        ({b"q": b"ping"}, Ping | Pong, "missing key 'y'", "$", 0),
        # values that share bytes with a tag or literal but are not one
        (
            {b"q": b"ping", b"y": b"qq"},
            Ping | Pong,
            "expected one of 'q', 'r', got 'qq'",
            "$.y",
            13,
        ),
        ({b"q": b"ping", b"y": b""}, Ping | Pong, "expected one of 'q', 'r', got ''", "$.y", 13),
        ({b"q": b"pin", b"y": b"q"}, Ping | Pong, "expected Literal['ping'], got 'pin'", "$.q", 4),
        (
            {b"q": b"pong", b"y": b"q"},
            Ping | Pong,
            "expected Literal['ping'], got 'pong'",
            "$.q",
            4,
        ),
        ([1], dict[str, int], "expected dict, got list", "$", 0),
        ({b"\xff": 1}, dict[str, int], "invalid UTF-8", "$", 1),
    ],
)
def test_validation_errors(value, form, message, path, position):
    data = encode(value)
    with pytest.raises(ValidationError) as caught:
        decode(data, form)
    error = caught.value
    assert str(error) == f"{message} at {path} (position {position})"
    assert (error.path, error.position) == (path, position)
    assert isinstance(error, DecodeError)
    # The same through a Decoder, and through decode_prefix.
    with pytest.raises(ValidationError, match="^" + re.escape(message)):
        Decoder(form).decode_prefix(data + b"tail")


def test_causes():
    with pytest.raises(ValidationError) as caught:
        decode(b"d5:innerd4:highi1e3:lowi2eee", Holder)
    assert isinstance(caught.value.__cause__, ValueError)
    with pytest.raises(ValidationError) as caught:
        decode(b"1:\xff", str)
    assert isinstance(caught.value.__cause__, UnicodeDecodeError)


@pytest.mark.parametrize(
    ("data", "form"),
    [
        (b"d8:announcei5e4:infod4:name1:n12:piece lengthi1eeee", Torrent),  # trailing data
        (b"d8:announcei5e4:infod4:name1:n12:piece lengthi1ee", Torrent),  # unterminated
        (b"d8:announcei5e4:infod4:name1:n12:piece lengthi01eee", Torrent),  # leading zero
        (b"d8:announcei5e4:infod4:name1:n4:namei1eee", Torrent),  # keys out of order
        (b"li1ei2ei3ex", Pair),
        (b"d4:pairli1eee3:zzz", Pair),
        (b"d1:q4:ping1:yi1e1:ze", Ping | Pong),
        (b"d1:q4:ping1:y5:qe", Ping | Pong),  # the tag runs past the end
        (b"d1:q4:ping1:y01:qe", Ping | Pong),  # the tag's length has a leading zero
        (b"d1:q9:ping1:y1:qe", Ping | Pong),  # the literal runs past the end
        (b"1:\xffi1e", str),
    ],
)
def test_malformed_input_wins_over_an_earlier_fault(data, form):
    with pytest.raises(DecodeError) as plain:
        plain_decode(data)
    with pytest.raises(DecodeError) as typed:
        decode(data, form)
    assert type(typed.value) is DecodeError
    assert str(typed.value) == str(plain.value)


@settings(max_examples=examples(400))
@given(
    st.binary(max_size=40)
    | st.builds(
        lambda v: encode(v),
        st.recursive(
            st.integers() | st.binary(max_size=4),
            lambda inner: (
                st.lists(inner, max_size=3)
                | st.dictionaries(st.binary(max_size=3), inner, max_size=3)
            ),
            max_leaves=8,
        ),
    ).map(lambda d: d[: len(d) // 2] if len(d) % 3 == 0 else d)
)
def test_any_is_plain_decode(data):
    try:
        expected = plain_decode(data)
    except Exception as error:
        with pytest.raises(type(error)) as caught:
            decode(data, Any)
        assert str(caught.value) == str(error)
        assert type(caught.value.__cause__) is type(error.__cause__)
    else:
        assert decode(data, Any) == expected


@pytest.mark.parametrize(
    ("data", "error", "message"),
    [
        (b"", DecodeError, "empty data"),
        (None, DecodeError, "empty data"),
        (b"i1e ", DecodeError, "trailing data at position 3"),
        (b"x", DecodeError, "unexpected byte 'x' at position 0"),
    ],
)
def test_input_acceptance(data, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        decode(data, int)


@pytest.mark.parametrize(
    ("data", "start", "error"),
    [(b"", 0, IncompleteError), (b"d1:ai1e", 0, IncompleteError), (b"xxi1", 2, IncompleteError)],
)
def test_decode_prefix_incomplete(data, start, error):
    with pytest.raises(error):
        Decoder(dict[str, int] | int).decode_prefix(data, start)
    with pytest.raises(ValueError, match="start 9 is past the end"):
        Decoder(int).decode_prefix(b"i1e", start=9)


def test_forbid_unknown():
    data = encode({b"closed": {b"on": 1, b"zz": 0}, b"open": {b"a": 1, b"b": 2}})
    assert decode(data, Outer).closed == Flag(True)
    with pytest.raises(ValidationError, match=r"^unknown key 'zz' at \$.closed \(position 17\)$"):
        decode(data, Outer, forbid_unknown=True)
    assert Decoder(Open, forbid_unknown=True).decode(b"d1:ai1e1:bi2ee").extra == {b"b": 2}


@pytest.mark.parametrize(
    ("form", "message"),
    [
        (float, "float has no bencode form"),
        (set[int], "has no bencode form"),
        (str | bytes, "ambiguous"),
        (list[int] | tuple[int, ...], "ambiguous"),
        (Literal["a", b"a"], "cannot tell apart"),
        (dict[int, int], "keys must be str or bytes"),
        (Raw | int, "ambiguous"),
        (Ping | Flag, "ambiguous"),
    ],
)
def test_plan_refusals(form, message):
    with pytest.raises(TypeError, match=message):
        Decoder(form)


def test_plan_refusals_name_the_field():
    @dataclasses.dataclass
    class Bad:
        ratio: float

    @dataclasses.dataclass
    class Twice:
        a: int
        b: Annotated[int, Key("a")]

    @dataclasses.dataclass
    class WithInitVar:
        a: dataclasses.InitVar[int]

    with pytest.raises(TypeError, match=r"Bad\.ratio: float"):
        Decoder(Bad)
    with pytest.raises(TypeError, match="name one key"):
        Decoder(Twice)
    with pytest.raises(TypeError, match="InitVar"):
        Decoder(WithInitVar)


def _exhausted() -> Any:
    raise MemoryError


@dataclasses.dataclass
class _Unresolvable:
    a: "undefined_name"  # type: ignore[name-defined]  # noqa: F821


@dataclasses.dataclass
class _OutOfMemory:
    a: "_exhausted()"  # type: ignore[valid-type]


def test_annotations_that_do_not_resolve_are_a_type_error_but_the_interpreters_own_pass():
    with pytest.raises(TypeError, match="cannot resolve the annotations of _Unresolvable"):
        Decoder(_Unresolvable)
    with pytest.raises(MemoryError):
        Decoder(_OutOfMemory)
    with pytest.raises(MemoryError):
        encode_typed(_OutOfMemory(1))


def test_the_cache_keeps_no_class_alive():
    def make():
        @dataclasses.dataclass
        class Local:
            a: int
            sub: list[int] = dataclasses.field(default_factory=list)

        return Local

    cls = make()
    assert decode(b"d1:ai1ee", cls) == cls(1)
    assert decode(b"i2e", list[cls] | int) == 2
    assert decode(b"ld1:ai3eee", list[cls] | int) == [cls(3)]
    ref = weakref.ref(cls)
    del cls
    gc.collect()
    assert ref() is None


def test_a_decoder_holds_its_classes():
    def make():
        @dataclasses.dataclass
        class Local:
            a: int

        return Local

    decoder = Decoder(make())
    gc.collect()
    assert decoder.decode(b"d1:ai1ee").a == 1
    assert decoder.type.__name__ == "Local"


def test_threads_share_a_decoder():
    decoder = Decoder(Torrent)
    data = encode(
        {b"announce": b"a", b"info": {**INFO, b"files": [{b"length": 1, b"path": [b"p"]}] * 50}}
    )
    expected = decoder.decode(data)
    failures = []

    def work():
        for _ in range(200):
            if decoder.decode(data) != expected:
                failures.append(1)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures


@dataclasses.dataclass
class Deep:
    n: "Deep | None" = None


@pytest.mark.parametrize(
    ("data", "form"),
    [
        (b"l" * 100_000 + b"e" * 100_000, list[Any]),
        (b"l" * 100_000 + b"e" * 100_000, Any),
        (b"d1:n" * 100_000 + b"de" + b"e" * 100_000, Deep),
    ],
)
def test_deep_input_is_a_recursion_error(data, form):
    with pytest.raises(RecursionError):
        plain_decode(data)
    with pytest.raises(RecursionError):
        decode(data, form)


def _description_with(change):
    root, nodes, objects, held = describe(Ping | Pong, False)
    nodes, objects = list(nodes), list(objects)
    change(nodes, objects)
    return (root, tuple(nodes), tuple(objects), held)


def _tag_out_of_range(nodes, objects):
    tagged = next(node for node in nodes if node[0] == 14)
    objects[tagged[3]] = {key: 5 for key in objects[tagged[3]]}


def _member_not_a_record(nodes, objects):
    at = next(i for i, node in enumerate(nodes) if node[0] == 14)
    bytes_node = next(i for i, node in enumerate(nodes) if node[0] == 3)
    nodes[at] = (*nodes[at][:4], (bytes_node, bytes_node), *nodes[at][5:])


@pytest.mark.parametrize("change", [_tag_out_of_range, _member_not_a_record])
def test_a_description_the_walk_could_not_follow_is_refused(change):
    # The planner never makes one; the compiled plan must not trust it either.
    description = _description_with(change)
    with pytest.raises(TypeError, match="malformed plan description"):
        _weak_decoder(None, description, description[3])
