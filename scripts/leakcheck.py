"""Repeat every path of the codec and fail if the interpreter's memory grows.

Run under a debug interpreter (one with sys.gettotalrefcount) against a build
of velka made for it; scripts/check-leaks.sh does both. One round of the
workload calls every operation on good input and along every error path:
each decode message, the buffer refusals, the encode errors (subclass paths
included), recursion errors and argument errors. After warm-up rounds the
rounds run in batches, and the total reference count and the number of
allocated memory blocks are taken after each batch.

A leak in any path repeats in every round, so it makes every batch grow by
at least the number of rounds in a batch. The interpreter's own caches
(type attribute cache, interned strings, free lists, specialisation) may grow
now and then, but not in every batch; so the check fails only when every
batch grows, the rule of CPython's own reference-leak hunter.
"""

import array
import collections
import dataclasses
import enum
import gc
import pathlib
import sys
from typing import Annotated, Any, Literal, NotRequired, TypedDict

from velka import _typed, bencode, raw, typed
from velka.bencode import DecodeError, EncodeError, decode, decode_all, encode
from velka.raw import IncompleteError, decode_prefix, span
from velka.typed import Decoder, Extra, Key, Raw, ValidationError

WARMUP_ROUNDS = 5
BATCHES = 5
ROUNDS_PER_BATCH = 10
ALLOCATIONS_FAILED = 400

TORRENT = (
    pathlib.Path(__file__).parent.parent / "tests" / "data" / "multi-file.torrent"
).read_bytes()

GOOD = [
    (b"i0e", 0),
    (b"i42e", 42),
    (b"i-42e", -42),
    (b"i+5e", 5),
    (b"i 01e", 1),
    (b"i1_0e", 10),
    (b"i" + b"9" * 30 + b"e", int("9" * 30)),
    (b"i" + b"1" * 4300 + b"e", int("1" * 4300)),
    (b"0:", b""),
    (b"4:spam", b"spam"),
    (b"1_0:klmnopqrst", b"klmnopqrst"),
    (b"3 :abc", b"abc"),
    (b"le", []),
    (b"lli1eeli2eee", [[1], [2]]),
    (b"de", {}),
    (b"d3:cow3:moo4:spam4:eggse", {b"cow": b"moo", b"spam": b"eggs"}),
    (b"d1:ad1:bleee", {b"a": {b"b": []}}),
    (b"l" * 100 + b"e" * 100, None),
]

# Deeper than any C stack holds.
DEEP_LIST = b"l" * 1_000_000 + b"e" * 1_000_000
DEEP_DICT = b"d1:a" * 1_000_000

# (input, message); every one is decoded through bytes and the other buffers.
BAD = [
    (b"d1:a", "unexpected end of data at position 4"),
    (b"x", "unexpected byte 'x' at position 0"),
    (b"\x80", "unexpected byte '\\x80' at position 0"),
    (b"i42", "expected 'e' not found after position 1"),
    (b"ie", "empty integer"),
    (b"i-0e", "negative zero is not allowed"),
    (b"i03e", "leading zero in integer: b'03'"),
    (b"i-01e", "leading zero in negative integer: b'-01'"),
    (b"i1.5e", "invalid integer: b'1.5'"),
    (b"i" + b"1" * 4301 + b"e", "invalid integer: " + repr(b"1" * 4301)),
    (b"li1e", "unterminated list"),
    (b"d1:ai1e", "unterminated dict"),
    (b"di1ei2ee", "dict key must be a byte string, got 'i' at position 1"),
    (b"d1:bi1e1:ai2ee", "dict keys out of order: b'b' >= b'a'"),
    (b"d1:ai1e1:ai2ee", "dict keys out of order: b'a' >= b'a'"),
    (b"d01:ai1ee", "leading zero in string length: b'01'"),
    (b"3abc:xyz", "invalid string length: b'3abc'"),
    (b"12", "expected ':' not found after position 0"),
    (b"3:ab", "string of length 3 extends past end of data (position 2, buffer length 4)"),
    (
        b"9223372036854775807:x",
        "string of length 9223372036854775807 extends past end of data "
        "(position 20, buffer length 21)",
    ),
    (b"li1e" + b"i" * 40, "expected 'e' not found after position 5"),
]


def expect(exception, message, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except exception as error:
        if message is not None and str(error) != message:
            raise AssertionError(f"{function.__name__}: {error!r}, wanted {message!r}") from None
        return
    shown = repr(args)[:200]
    raise AssertionError(f"{function.__name__}{shown} did not raise {exception.__name__}")


class Exporter:
    """Hands out whatever view it was given through the buffer protocol."""

    def __init__(self, view, truth=True):
        self.view = view
        self.truth = truth

    def __buffer__(self, flags):
        return self.view

    def __bool__(self):
        if self.truth is None:
            raise RuntimeError("no truth")
        return self.truth


def strided(data, step):
    if step > 0:
        spread = bytearray(len(data) * step)
        spread[::step] = data
        return Exporter(memoryview(spread)[::step])
    return Exporter(memoryview(bytearray(data[::-1]))[::-1])


def buffers(data):
    yield data
    yield bytearray(data)
    yield memoryview(data)
    yield array.array("B", data)
    yield strided(data, 2)
    yield strided(data, -1)


def decoding():
    for data, value in GOOD:
        for argument in buffers(data):
            got = decode(argument)
            assert value is None or got == value, (data, got)
            assert decode_all(argument) == [got]
    assert decode(TORRENT)[b"info"][b"files"]
    assert decode_all(TORRENT + TORRENT + b"i1e")[2] == 1
    for data, message in BAD:
        for argument in buffers(data):
            expect(DecodeError, message, decode, argument)
            expect(DecodeError, message, decode_all, argument)
        array_argument = bytearray(data)
        expect(DecodeError, message, decode, array_argument)
        array_argument.append(0)  # no export is left behind
    for argument in buffers(b"i1ei2e"):
        expect(DecodeError, "trailing data at position 3", decode, argument)
    for prefix in range(len(TORRENT)):
        expect(DecodeError, None, decode, TORRENT[:prefix] or b"x")
    expect(OverflowError, None, decode, b"9223372036854775808:")
    expect(OverflowError, None, decode_all, strided(b"9" * 30 + b":", 2))
    expect(RecursionError, None, decode, DEEP_LIST)
    expect(RecursionError, None, decode_all, DEEP_DICT)


def refusals():
    for empty in (b"", bytearray(), memoryview(b""), None, 0, False, "", []):
        expect(DecodeError, "empty data", decode, empty)
    assert decode_all(b"") == [] and decode_all(None) == []
    for not_a_buffer in ("i1e", 5, True, [1]):
        expect(TypeError, None, decode, not_a_buffer)
        expect(TypeError, None, decode_all, not_a_buffer)
    expect(DecodeError, "unexpected end of data at position 0", decode, Exporter(memoryview(b"")))
    expect(RuntimeError, "no truth", decode, Exporter(memoryview(b"i1e"), truth=None))
    assert decode_all(Exporter(memoryview(b"i1e"), truth=None)) == [1]
    wrong_kind = "Buffer dtype mismatch, expected 'const unsigned char' but got "
    expect(ValueError, wrong_kind + "'signed char'", decode, array.array("b", b"i1e"))
    expect(ValueError, wrong_kind + "'unsigned short'", decode_all, array.array("H", [1]))
    assert decode(memoryview(array.array("H", [0x3169, 0x6532]))) == 12
    two_dimensional = memoryview(b"i12e").cast("B", (2, 2))
    expect(
        ValueError,
        "Buffer has wrong number of dimensions (expected 1, got 2)",
        decode,
        Exporter(two_dimensional),
    )
    assert decode(two_dimensional) == 12  # the cast flattens it
    expect(TypeError, None, decode, memoryview(b"i1ei2e")[::2])
    released = memoryview(b"i1e")
    released.release()
    expect(ValueError, None, decode, released)
    expect(ValueError, None, decode_all, released)
    try:
        import ctypes
    except ImportError:
        return
    big_endian = (ctypes.c_uint16.__ctype_be__ * 2)()
    expect(
        ValueError, "Big-endian buffer not supported on little-endian compiler", decode, big_endian
    )


class MyBytes(bytes):
    pass


class MyMap(collections.abc.Mapping):
    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


class MyList(list):
    pass


class Failing(list):
    def __iter__(self):
        raise RuntimeError("iteration fails")


class BadKeys(dict):
    def keys(self):
        raise RuntimeError("keys fails")


class Missing(dict):
    def __getitem__(self, key):
        raise KeyError(key)


class Loud(int):
    def __repr__(self):
        return "loud"

    __str__ = __repr__


def encoding():
    cases = [
        (True, b"i1e"),
        (-12, b"i-12e"),
        (2**64, b"i18446744073709551616e"),
        (Loud(3), b"i3e"),
        (b"spam", b"4:spam"),
        ([1, [b"a"], {b"k": []}], b"li1el1:aed1:kleee"),
        ({b"b": 1, b"a": 2}, b"d1:ai2e1:bi1ee"),
        ({b"a": 1, b"Z": 2, b"\xff": 3}, b"d1:Zi2e1:ai1e1:\xffi3ee"),
        (collections.OrderedDict([(b"b", 1), (b"a", 2)]), b"d1:ai2e1:bi1ee"),
        (MyList([1]), b"li1ee"),
        (10**4299, b"i" + str(10**4299).encode() + b"e"),
    ]
    for value, encoded in cases:
        assert encode(value) == encoded, value
        assert encode(value=value) == encoded
    assert decode(encode(decode(TORRENT))) == decode(TORRENT)
    for value, name in [
        (1.5, "float"),
        (None, "NoneType"),
        ("spam", "str"),
        ((1, 2), "tuple"),
        (bytearray(b"x"), "bytearray"),
        (memoryview(b"x"), "memoryview"),
        (int, "type"),
        (MyMap(), "MyMap"),
        ([1, "x"], "str"),
        ({b"a": 1.5, b"b": "x"}, "float"),
    ]:
        expect(EncodeError, "unsupported type: " + name, encode, value)
    expect(EncodeError, "dict key must be bytes, got str", encode, {"b": 1, "a": 2})
    expect(EncodeError, "dict key must be bytes, got int", encode, {1: b"x"})
    expect(TypeError, None, encode, {b"a": 1, "b": 2})
    expect(TypeError, "Expected bytes, got MyBytes", encode, MyBytes(b"x"))
    expect(TypeError, "Expected bytes, got MyBytes", encode, {MyBytes(b"k"): 1})
    expect(TypeError, "Expected bytes, got MyBytes", encode, [1, {b"a": [MyBytes(b"x")]}])
    expect(RuntimeError, "iteration fails", encode, [Failing()])
    expect(RuntimeError, "keys fails", encode, {b"a": BadKeys()})
    expect(KeyError, None, encode, Missing({b"a": 1}))
    expect(ValueError, None, encode, [10**4300])
    looped_list = [1]
    looped_list.append(looped_list)
    expect(RecursionError, None, encode, looped_list)
    looped_list.clear()
    looped_dict = {b"a": 1}
    looped_dict[b"self"] = looped_dict
    expect(RecursionError, None, encode, looped_dict)
    looped_dict.clear()


class Shade(enum.Enum):
    DARK = (b"dark", "é")


@dataclasses.dataclass
class ShadeInfo:
    name: str
    piece_length: Annotated[int, Key("piece length")]
    private: int | None = None
    extra: Annotated[dict[bytes, Any], Extra] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass(frozen=True, slots=True)
class ShadeTorrent:
    info: ShadeInfo
    info_raw: Annotated[Raw | None, Key("info")] = None
    sig: Annotated[Raw | None, Key("sig")] = None


def typed_encoding():
    typed = _typed.encode
    info = ShadeInfo("n", 16, extra={b"a": [1], "zz": (Shade.DARK,)})
    assert typed(ShadeTorrent(info, Raw(b"de"), Raw(b"i1e"))) == (
        b"d4:infod1:ali1ee4:name1:n12:piece lengthi16e2:zzll4:dark2:\xc3\xa9eee3:sigi1ee"
    )
    assert typed({"b": "é", b"a": (True,)}) == b"d1:ali1ee1:b2:\xc3\xa9e"
    assert typed(collections.OrderedDict([("z", 1), (b"a", 2)])) == b"d1:ai2e1:zi1ee"
    # A class made and dropped every round: its layout comes and goes.
    passing = dataclasses.make_dataclass("Passing", [("x", int)])
    assert typed([passing(1)]) == b"ld1:xi1eee"
    for value, error in [
        ({"k": [1.5]}, EncodeError),
        ({"a": 1, b"a": 2}, EncodeError),
        ({1: 2}, EncodeError),
        ("\ud800", EncodeError),
        ({"\ud800": 1}, EncodeError),
        ([Raw(b"")], EncodeError),
        ([Raw(b"i1ei2e")], EncodeError),
        ([Raw(b"l")], EncodeError),
        (Raw(DEEP_LIST), RecursionError),
        (ShadeTorrent(ShadeInfo("n", 1, extra={b"name": 1})), EncodeError),
        (ShadeTorrent(ShadeInfo("n", 1, extra=[1])), EncodeError),
        (ShadeTorrent(ShadeInfo("n", 1, extra={b"x": object()})), EncodeError),
        ([MyBytes(b"x")], TypeError),
        ({b"a": BadKeys()}, RuntimeError),
        ({"a": Missing({b"a": 1})}, KeyError),
    ]:
        expect(error, None, typed, value)
    looped = [1]
    looped.append((looped,))
    expect(RecursionError, None, typed, looped)
    looped.clear()


def arguments():
    for function, parameter in ((decode, "data"), (decode_all, "data"), (encode, "value")):
        name = function.__name__
        expect(TypeError, f"{name}() takes exactly 1 positional argument (0 given)", function)
        expect(
            TypeError,
            f"{name}() takes exactly 1 positional argument (2 given)",
            function,
            b"a",
            b"b",
        )
        expect(
            TypeError,
            f"{name}() got multiple values for keyword argument '{parameter}'",
            function,
            b"a",
            **{parameter: b"b"},
        )
        expect(TypeError, f"{name}() got an unexpected keyword argument 'buf'", function, buf=b"a")


def rebinding():
    class Other(Exception):
        pass

    original = bencode.DecodeError
    try:
        bencode.DecodeError = Other
        expect(Other, "empty data", decode, b"")
        del bencode.DecodeError
        expect(NameError, "name 'DecodeError' is not defined", decode, b"x")
        bencode.DecodeError = str  # not an exception class
        expect(TypeError, "exceptions must derive from BaseException", decode, b"x")
    finally:
        bencode.DecodeError = original


def raw_paths():
    for data, value in GOOD:
        for argument in buffers(data + b"e"):
            if value is not None:
                assert decode_prefix(argument) == (value, len(data))
        for argument in buffers(data):
            assert span(argument) == (0, len(data))
    for data, message in BAD:
        for argument in buffers(data):
            expect(DecodeError, message, decode_prefix, argument)
            expect(DecodeError, message, span, argument)
    for prefix in range(len(TORRENT)):
        expect(IncompleteError, None, decode_prefix, TORRENT[:prefix])
        expect(IncompleteError, None, span, TORRENT[:prefix])
    expect(
        DecodeError,
        "string of length 2 extends past end of data (position 9, buffer length 10)",
        span,
        b"d1:bi1e2:a",
    )
    info = decode(TORRENT)[b"info"]
    start, end = span(TORRENT, b"info", b"files", -1)
    assert decode(TORRENT[start:end]) == info[b"files"][-1]
    expect(KeyError, None, span, TORRENT, b"nope")
    expect(IndexError, None, span, TORRENT, b"info", b"files", 99)
    expect(IndexError, None, span, TORRENT, b"info", b"files", 2**70)
    expect(TypeError, None, span, TORRENT, b"info", 0)
    expect(TypeError, None, span, TORRENT, "info")
    expect(KeyError, None, span, TORRENT, *[b"x"] * 20)
    expect(ValueError, None, decode_prefix, b"i1e", -1)
    expect(ValueError, None, decode_prefix, b"i1e", 4)
    expect(TypeError, None, decode_prefix, b"i1e", "0")
    expect(TypeError, None, decode_prefix, b"i1e", end=1)
    expect(TypeError, None, span, data=b"i1e")
    expect(RecursionError, None, decode_prefix, DEEP_LIST)
    expect(RecursionError, None, span, DEEP_DICT)
    expect(OverflowError, None, span, b"9223372036854775808:")


# --- the typed decoder and encoder ----------------------------------------------------


class Colour(enum.IntEnum):
    RED = 1


class Word(enum.Enum):
    SPAM = "spam"


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


@dataclasses.dataclass(slots=True)
class Torrent:
    info: Info
    info_raw: Annotated[Raw, Key("info")]
    announce: str | None = None
    rest: Annotated[dict[bytes, Any], Extra] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass(frozen=True)
class Node:
    name: str
    children: list["Node"] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Ping:
    t: bytes
    y: Literal["q"]
    a: dict[str, Any]


@dataclasses.dataclass
class Pong:
    t: bytes
    y: Literal["r"]
    r: Raw


@dataclasses.dataclass
class Checked:
    low: int
    high: int

    def __post_init__(self):
        if self.low > self.high:
            raise ValueError("low above high")


class Options(TypedDict, total=False):
    a: int
    b: NotRequired[list[bytes]]


@dataclasses.dataclass
class Kinds:
    flag: bool = False
    colour: Colour | None = None
    word: Word | None = None
    pair: tuple[int, bytes] | None = None
    mark: Literal[1, "x"] | None = None


class Unwritable:
    pass


@dataclasses.dataclass
class Clash:
    a: int | None = None
    rest: Annotated[dict[bytes, Any], Extra] = dataclasses.field(default_factory=dict)


TYPED_GOOD = [
    (b"d1:ad2:idi1ee1:t2:aa1:y1:qe", Ping | Pong),
    (b"d1:r3:abc1:t0:1:y1:re", Ping | Pong),
    (b"d8:childrenld4:name1:bee4:name1:ae", Node),
    (b"d4:highi2e3:lowi1ee", Checked),
    (b"d1:ai1e1:bl1:xee", Options),
    (b"d6:colouri1e4:flagi1e4:marki1e4:pairli2e1:xe4:word4:spame", Kinds),
    (b"li1ei2ee", list[int]),
    (b"d1:a1:be", dict[str, str]),
    (b"d1:a1:be", Any),
]

# (input, model, what the message holds); every one a ValidationError
TYPED_INVALID = [
    (b"i1e", str, "expected str"),
    (b"d4:name2:\xc3\x28e", Node, "invalid UTF-8"),
    (b"de", Node, "missing key 'name'"),
    (b"i2e", bool, "expected bool"),
    (b"d6:colouri7ee", Kinds, "colour"),
    (b"d4:word3:egge", Kinds, "word"),
    (b"d4:pairli1eee", Kinds, "pair"),
    (b"d4:marki2ee", Kinds, "mark"),
    (b"d1:t0:1:y1:xe", Ping | Pong, None),
    (b"d1:t0:e", Ping | Pong, None),
    (b"d4:highi1e3:lowi2ee", Checked, "low above high"),
    (b"d4:name1:a1:zi0ee", Node, "unknown"),
    (b"d8:childrenli1ee4:name1:ae", Node, "children[0]"),
]


def typed_paths():
    for data, form in TYPED_GOOD:
        value = typed.decode(data, form)
        assert typed.decode(typed.encode(value), form) == value, (data, form)
        assert Decoder(form).decode_prefix(data + b"x") == (value, len(data))
    torrent = Decoder(Torrent).decode(TORRENT)
    assert typed.encode(torrent) == TORRENT
    assert bytes(torrent.info_raw) == TORRENT[slice(*span(TORRENT, b"info"))]
    for data, form, fragment in TYPED_INVALID:
        decoder = Decoder(form, forbid_unknown=True)
        try:
            decoder.decode(data)
        except ValidationError as error:
            assert fragment is None or fragment in str(error), (error, fragment)
        else:
            raise AssertionError(f"{data!r} fits {form}")
    for data, message in BAD[:6]:
        for argument in buffers(data):
            expect(DecodeError, message, typed.decode, argument, Torrent)
            expect(DecodeError, message, typed.decode, argument, Any)
    # malformed input after a fault of fit: decode's error wins
    expect(DecodeError, "unterminated dict", typed.decode, b"d4:namei1e", Node)
    for prefix in range(0, len(TORRENT), 97):
        expect(IncompleteError, None, Decoder(Torrent).decode_prefix, TORRENT[:prefix])
    expect(RecursionError, None, typed.decode, DEEP_LIST, Any)
    expect(RecursionError, None, typed.decode, b"d8:childrenl" * 100_000, Node)
    expect(TypeError, None, Decoder, float)
    expect(TypeError, None, Decoder, str | bytes)
    expect(TypeError, None, typed.decode, b"i1e", set[int])
    expect(EncodeError, None, typed.encode, Unwritable())
    expect(EncodeError, None, typed.encode, [1, Raw(b"i1")])
    expect(EncodeError, None, typed.encode, Clash(a=1, rest={b"a": 2}))
    expect(EncodeError, None, typed.encode, {"a": 1, b"a": 2})
    looped = []
    looped.append(looped)
    expect(RecursionError, None, typed.encode, looped)
    looped.clear()


def workload():
    typed_paths()
    decoding()
    raw_paths()
    refusals()
    encoding()
    typed_encoding()
    arguments()
    rebinding()


def allocation_failures():
    """Each of the first allocations of a typed decode and encode made to
    fail in turn: the call gives MemoryError or succeeds, and never crashes."""
    import _testcapi

    calls = [
        (Decoder(Torrent).decode, TORRENT),
        (Decoder(Node).decode, b"d8:childrenld4:name1:bee4:name1:ae"),
        (Decoder(Ping | Pong).decode, b"d1:ad2:idi1ee1:t2:aa1:y1:qe"),
        (Decoder(Checked).decode, b"d4:highi2e3:lowi1ee"),
        (Decoder(Options).decode, b"d1:ai1e1:bl1:xee"),
        (typed.encode, typed.decode(TORRENT, Torrent)),
    ]
    for function, *args in calls:
        function(*args)  # plans and layouts made, as a plan's failures are its own
        for start in range(ALLOCATIONS_FAILED):
            # one allocation fails, not every one after it: the
            # interpreter's own allocations after the call must not fail
            _testcapi.set_nomemory(start, start + 1)
            try:
                function(*args)
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
    print(f"leakcheck: each of the first {ALLOCATIONS_FAILED} allocations failed in turn")
    return calls


def long_list_allocation_failures():
    """Each allocation of decoding lists longer than the item stack holds made
    to fail in turn, where the list grows batch by batch: nothing the failed
    calls read may be kept. Returns whether references stayed put."""
    import _testcapi

    data = encode([list(range(1000, 1600)), list(range(2000, 2300))])
    decode(data)
    before = snapshot()
    for start in range(1000):
        _testcapi.set_nomemory(start, start + 1)
        try:
            decode(data)
        except MemoryError:
            pass
        finally:
            _testcapi.remove_mem_hooks()
    grown = snapshot()[0] - before[0]
    print(f"leakcheck: long lists with an allocation failing: reference delta {grown}")
    return grown < 100


def snapshot():
    # The type attribute cache keeps the names it was asked for; empty it, as
    # CPython's own leak hunter does, so that only live objects are counted.
    getattr(sys, "_clear_internal_caches", sys._clear_type_cache)()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("leakcheck: needs a debug interpreter (python3.14-dbg)")
    namespace = dict(vars(bencode))
    raw_namespace = dict(vars(raw))
    typed_namespace = dict(vars(typed))
    allocation_failures()
    long_lists_released = long_list_allocation_failures()
    for _ in range(WARMUP_ROUNDS):
        workload()
    ref_deltas, block_deltas = [], []
    before = snapshot()
    for _ in range(BATCHES):
        for _ in range(ROUNDS_PER_BATCH):
            workload()
        after = snapshot()
        ref_deltas.append(after[0] - before[0])
        block_deltas.append(after[1] - before[1])
        before = after
    print(f"leakcheck: {BATCHES} batches of {ROUNDS_PER_BATCH} rounds")
    print(f"leakcheck: reference count deltas {ref_deltas}")
    print(f"leakcheck: allocated block deltas {block_deltas}")
    failed = not long_lists_released
    if failed:
        print("leakcheck: FAILED: a long list keeps its items when it cannot grow")
    if all(delta >= 1 for delta in ref_deltas):
        print("leakcheck: FAILED: references grow in every batch")
        failed = True
    if all(delta >= 1 for delta in block_deltas):
        print("leakcheck: FAILED: allocated blocks grow in every batch")
        failed = True
    if vars(bencode) != namespace or vars(raw) != raw_namespace or vars(typed) != typed_namespace:
        print("leakcheck: FAILED: a module namespace changed")
        failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
