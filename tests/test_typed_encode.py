"""velka._typed.encode: values by their own types, dataclass instances
included, into canonical bencode."""

import collections
import copy
import dataclasses
import enum
import gc
import re
import weakref
from typing import Annotated, Any

import pytest
from emulation import examples
from hypothesis import given, settings
from hypothesis import strategies as st

from velka._model.markers import Extra, Key, Raw
from velka._typed import encode
from velka.bencode import EncodeError
from velka.bencode import encode as plain_encode


class Shade(enum.Enum):
    DARK = b"dark"
    PAIR = (1, "two")
    NESTED = ({"k": 1},)


class Level(enum.IntEnum):
    HIGH = 7


class Tone(enum.StrEnum):
    LOW = "löw"


class Text(str):
    pass


Point = collections.namedtuple("Point", "x y")


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("", b"0:"),
        ("spam", b"4:spam"),
        ("é€😀", b"9:\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"),
        (Text("ab"), b"2:ab"),
        ((), b"le"),
        ((1, b"a", ("x",)), b"li1e1:al1:xee"),
        (Point(1, 2), b"li1ei2ee"),
        (True, b"i1e"),
        ([False, True], b"li0ei1ee"),
        (Level.HIGH, b"i7e"),
        (Tone.LOW, b"4:l\xc3\xb6w"),
        (Shade.DARK, b"4:dark"),
        (Shade.PAIR, b"li1e3:twoe"),
        (Shade.NESTED, b"ld1:ki1eee"),
        (Raw(b"i+5e"), b"i+5e"),
        ([Raw(b"d1:al0:ee"), Raw(b"0:")], b"ld1:al0:ee0:e"),
        ({"b": 1, b"a": "x", Tone.LOW: ()}, b"d1:a1:x1:bi1e4:l\xc3\xb6wlee"),
        # Raw bytes order, not code point order: U+FFFD sorts before U+10000
        # in UTF-8, and b"\xff" after both.
        ({"😀": 1, "\ufffd": 2, b"\xff": 3}, b"d3:\xef\xbf\xbdi2e4:\xf0\x9f\x98\x80i1e1:\xffi3ee"),
        (collections.OrderedDict([("z", 1), (b"a", 2)]), b"d1:ai2e1:zi1ee"),
    ],
)
def test_kinds(value, expected):
    assert encode(value) == expected


bencode_values = st.recursive(
    st.integers() | st.binary(max_size=12),
    lambda inner: (
        st.lists(inner, max_size=5) | st.dictionaries(st.binary(max_size=6), inner, max_size=5)
    ),
    max_leaves=30,
)


@settings(max_examples=examples(300))
@given(bencode_values)
def test_plain_values_as_velka_bencode_writes_them(value):
    assert encode(value) == plain_encode(value)


@settings(max_examples=examples(200))
@given(st.dictionaries(st.text(max_size=4) | st.binary(max_size=4), st.integers(), max_size=12))
def test_text_and_byte_keys_in_canonical_order(mapping):
    raw = {}
    for key, value in mapping.items():
        raw.setdefault(key.encode() if isinstance(key, str) else key, []).append(value)
    if any(len(values) > 1 for values in raw.values()):
        with pytest.raises(EncodeError, match=r"^duplicate dict key: "):
            encode(mapping)
    else:
        assert encode(mapping) == plain_encode({key: values[0] for key, values in raw.items()})


@dataclasses.dataclass
class File:
    length: int
    path: list[str]
    md5: bytes | None = None


@dataclasses.dataclass
class Info:
    name: str
    piece_length: Annotated[int, Key("piece length")]
    files: list[File] = dataclasses.field(default_factory=list)
    private: bool = False
    extra: Annotated[dict[bytes, Any], Extra] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Torrent:
    info: Info
    announce: str | None = None
    info_raw: Annotated[Raw | None, Key("info")] = None
    sig: Annotated[Raw | None, Key(b"\x00sig")] = None


@dataclasses.dataclass(frozen=True, slots=True, kw_only=True)
class Base:
    b: int
    cached: int = dataclasses.field(default=0, init=False)


@dataclasses.dataclass(frozen=True, slots=True, kw_only=True)
class Derived(Base):
    a: tuple[str, ...]


INFO = Info("x", 16, [File(3, ["a", "b"])], extra={b"source": b"y", "zz": (1,)})


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (File(3, ["a"]), b"d6:lengthi3e4:pathl1:aee"),
        (File(3, [], b"m"), b"d6:lengthi3e3:md51:m4:pathlee"),
        # defaults written, Extra keys merged in canonical order
        (
            INFO,
            b"d5:filesld6:lengthi3e4:pathl1:a1:beee4:name1:x12:piece lengthi16e"
            b"7:privatei0e6:source1:y2:zzli1eee",
        ),
        # the Raw beside the typed field of its key is not written; a Raw
        # alone on its key is, verbatim
        (
            Torrent(Info("n", 1, private=True), "u", Raw(b"de"), Raw(b"i+1e")),
            b"d4:\x00sigi+1e8:announce1:u4:infod5:filesle4:name1:n12:piece lengthi1e7:privatei1eee",
        ),
        (Derived(a=("p",), b=2), b"d1:al1:pe1:bi2ee"),
        ([Derived(a=(), b=1)] * 2, b"ld1:ale1:bi1eed1:ale1:bi1eee"),
    ],
)
def test_dataclasses(value, expected):
    assert encode(value) == expected


@pytest.mark.parametrize(
    ("value", "error", "message"),
    [
        (1.5, EncodeError, "unsupported type: float at $"),
        ({"info": {"length": 1.5}}, EncodeError, "unsupported type: float at $.info.length"),
        ([0, (1, [None])], EncodeError, r"unsupported type: NoneType at $[1][1][0]"),
        (
            {b"\x14\xff": {"piece length": {1}}},
            EncodeError,
            r"unsupported type: set at $[b'\x14\xff']['piece length']",
        ),
        ({"a.b": [1j]}, EncodeError, "unsupported type: complex at $['a.b'][0]"),
        (File(1, ["ok", 2.0]), EncodeError, "unsupported type: float at $.path[1]"),
        (
            Torrent(Info("n", 1, extra={b"k": [object()]})),
            EncodeError,
            "unsupported type: object at $.info.k[0]",
        ),
        ({"a": 1, b"a": 2}, EncodeError, "duplicate dict key: b'a' at $"),
        ([{1: 2}], EncodeError, "dict key must be bytes or str, got int at $[0]"),
        (["\ud800"], EncodeError, "cannot encode str as UTF-8: .* surrogates not allowed at $[0]"),
        ({"\udfff": 1}, EncodeError, "cannot encode str as UTF-8: .* at $"),
        (
            Info("n", 1, extra={b"name": 1}),
            EncodeError,
            "extra key b'name' is also the key of field name at $",
        ),
        (
            Info("n", 1, extra={"private": 1}),
            EncodeError,
            "extra key b'private' is also the key of field private at $",
        ),
        (Info("n", 1, extra=[1]), EncodeError, "extra keys must be a dict, got list at $"),
        (
            Torrent(Info("n", 1), sig=Raw(b"")),
            EncodeError,
            r"invalid Raw value: empty data at $['\x00sig']",
        ),
        ([Raw(b"i1ei2e")], EncodeError, r"invalid Raw value: trailing data at position 3 at $[0]"),
        (
            [Raw(b"d1:bi1e1:ai2ee")],
            EncodeError,
            r"invalid Raw value: dict keys out of order: b'b' >= b'a' at $[0]",
        ),
        ([Raw(b"l")], EncodeError, "invalid Raw value: unterminated list at $[0]"),
        (
            {"k": [collections.UserString("s")]},
            EncodeError,
            "unsupported type: UserString at $.k[0]",
        ),
        ({b"a": bytearray(b"x")}, EncodeError, "unsupported type: bytearray at $.a"),
        ([[b"ok", type("B", (bytes,), {})(b"x")]], TypeError, r"Expected bytes, got B at $[0][1]"),
    ],
)
def test_errors_name_the_path(value, error, message):
    with pytest.raises(error) as caught:
        encode(value)
    assert type(caught.value) is error
    assert re.fullmatch(".*".join(map(re.escape, message.split(".*"))), str(caught.value))


def test_refused_text_and_raw_keep_their_cause():
    with pytest.raises(EncodeError) as caught:
        encode("\ud800")
    assert isinstance(caught.value.__cause__, UnicodeEncodeError)
    with pytest.raises(EncodeError) as caught:
        encode(Raw(b"x"))
    assert type(caught.value.__cause__).__name__ == "DecodeError"


def test_errors_of_the_callers_code_are_left_as_they_are():
    class Failing(dict):
        def keys(self):
            raise KeyError("from the caller")

    with pytest.raises(KeyError) as caught:
        encode({"a": [Failing()]})
    assert caught.value.args == ("from the caller",)


def test_the_callers_objects_are_left_untouched():
    value = [INFO, {"k": ("é", Shade.PAIR), b"b": [Raw(b"i1e")]}, Derived(a=("x",), b=1)]
    before = copy.deepcopy(value)
    extra_before = dict(INFO.extra)
    encode(value)
    assert value == before
    assert INFO.extra == extra_before
    assert list(INFO.extra) == list(extra_before)


def test_callers_code_runs_in_the_plain_encoders_order():
    calls = []

    class Logged(dict):
        def keys(self):
            calls.append("keys")
            return super().keys()

        def __getitem__(self, key):
            calls.append(key)
            return super().__getitem__(key)

    value = Logged({b"b": 1, b"a": Logged({b"y": 2, b"x": 3})})
    typed = encode(value)
    typed_calls, calls[:] = calls[:], []
    assert typed == plain_encode(value)
    assert typed_calls == calls == ["keys", b"a", "keys", b"x", b"y", b"b"]


def test_attributes_are_read_in_key_order():
    reads = []

    @dataclasses.dataclass
    class Watched:
        zeta: int
        alpha: int

        def __getattribute__(self, name):
            reads.append(name)
            return object.__getattribute__(self, name)

    assert encode(Watched(1, 2)) == b"d5:alphai2e4:zetai1ee"
    assert reads == ["alpha", "zeta"]


@dataclasses.dataclass
class Node:
    children: list["Node"]


def deep(depth, wrap):
    value = wrap(None)
    for _ in range(depth):
        value = wrap(value)
    return value


@pytest.mark.parametrize(
    "value",
    [
        deep(100_000, lambda inner: (inner,) if inner is not None else ()),
        deep(100_000, lambda inner: {"k": inner} if inner is not None else {}),
        deep(100_000, lambda inner: Node([inner] if inner is not None else [])),
        Raw(b"l" * 1_000_000 + b"e" * 1_000_000),
    ],
    ids=["tuples", "text-keyed dicts", "dataclasses", "raw"],
)
def test_deep_values_raise_recursion_error(value):
    with pytest.raises(RecursionError):
        encode(value)


class CountingMeta(type):
    asked = 0

    def __getattribute__(cls, name):
        if name == "__dataclass_fields__":
            CountingMeta.asked += 1
        return super().__getattribute__(name)


def test_a_class_is_looked_at_once_and_not_kept_alive():
    class Plain(metaclass=CountingMeta):
        pass

    @dataclasses.dataclass
    class Record(metaclass=CountingMeta):
        x: int

    for instance in (Plain(), Record(1)):
        CountingMeta.asked = 0
        outcomes = set()
        for attempt in range(4):
            try:
                outcomes.add(encode([instance]))
            except EncodeError as error:
                outcomes.add(str(error))
            if attempt == 0:
                asked_first = CountingMeta.asked
        assert CountingMeta.asked == asked_first >= 1
        assert len(outcomes) == 1
    refs = [weakref.ref(Plain), weakref.ref(Record)]
    del Plain, Record, instance
    gc.collect()
    assert [ref() for ref in refs] == [None, None]


def test_a_model_that_cannot_be_laid_out_raises_type_error():
    @dataclasses.dataclass
    class Broken:
        x: "NoSuchName"  # noqa: F821

    with pytest.raises(TypeError, match="Broken"):
        encode(Broken(1))


# --- reading fields: slots straight, everything else as attribute lookup would ---


@dataclasses.dataclass(slots=True)
class Slotted:
    x: int
    y: bytes | None = None


@dataclasses.dataclass(slots=True)
class SlottedChild(Slotted):
    z: int = 0


class WithDict(Slotted):  # no __slots__: its instances have a __dict__ too
    pass


class Shadowed(Slotted):
    x = property(lambda self: 5, lambda self, value: None)


class Constant:
    def __get__(self, instance, owner):
        return 6

    def __set__(self, instance, value):
        pass


class Described(Slotted):
    x = Constant()


class Fallback(Slotted):
    def __getattr__(self, name):
        return 7


class Doubling(Slotted):
    def __getattribute__(self, name):
        value = object.__getattribute__(self, name)
        return value * 2 if name == "x" else value


def with_dict_entry():
    value = WithDict(1)
    value.__dict__["x"] = 99  # the slot, a data descriptor, comes first
    value.__dict__["y"] = b"d"
    return value


def unset(cls):
    value = cls(1)
    del value.x
    return value


@dataclasses.dataclass(slots=True)
class SlottedExtra:
    a: int
    rest: Annotated[dict[bytes, Any], Extra] = dataclasses.field(default_factory=dict)


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda: Slotted(1, b"y"), b"d1:xi1e1:y1:ye"),
        (lambda: SlottedChild(1, None, 3), b"d1:xi1e1:zi3ee"),
        (with_dict_entry, b"d1:xi1ee"),
        (lambda: Shadowed(1), b"d1:xi5ee"),
        (lambda: Described(1), b"d1:xi6ee"),
        (lambda: unset(Fallback), b"d1:xi7ee"),
        (lambda: Doubling(4), b"d1:xi8ee"),
        (lambda: SlottedExtra(1, {b"b": 2, "0": 3}), b"d1:0i3e1:ai1e1:bi2ee"),
        (lambda: SlottedExtra(1, None), b"d1:ai1ee"),
    ],
)
def test_fields_read_as_attribute_lookup_reads_them(make, expected):
    for _ in range(2):  # the class is laid out, then its layout is reused
        assert encode([make(), make()]) == b"l" + expected * 2 + b"e"


@pytest.mark.parametrize("cls", [Slotted, SlottedChild, SlottedExtra])
def test_an_unset_slot_raises_what_attribute_lookup_raises(cls):
    value = cls(1)
    name = dataclasses.fields(cls)[0].name
    delattr(value, name)
    with pytest.raises(AttributeError) as expected:
        getattr(value, name)
    with pytest.raises(AttributeError) as raised:
        encode(value)
    assert str(raised.value) == str(expected.value)


def test_a_class_changed_after_its_layout_was_made():
    class Middle(Slotted):
        pass

    @dataclasses.dataclass(slots=True)
    class Leaf(Middle):
        z: int = 0

    value = Leaf(1, b"y", 2)
    assert encode(value) == b"d1:xi1e1:y1:y1:zi2ee"
    Middle.x = property(lambda self: 40)
    assert encode(value) == b"d1:xi40e1:y1:y1:zi2ee"
    Leaf.__getattr__ = lambda self, name: b"late"
    del value.z
    assert encode(value) == b"d1:xi40e1:y1:y1:z4:latee"
    del Middle.x, Leaf.__getattr__
    value.z = 3
    assert encode(value) == b"d1:xi1e1:y1:y1:zi3ee"


def test_a_class_made_where_a_dead_one_was():
    # A new class may be given the address of one that died: what was kept
    # of the dead one must not be used for it.
    def make(field, kind):
        return dataclasses.make_dataclass("Made", [(field, kind)], slots=True)

    first = make("a", int)
    assert encode(first(1)) == b"d1:ai1ee"
    address = id(first)
    del first
    gc.collect()
    made = []
    for _ in range(100):
        made.append(make("b", bytes))
        assert encode(made[-1](b"v")) == b"d1:b1:ve"
        if id(made[-1]) == address:
            break
    else:
        pytest.skip("no class was made at the address of the dead one")


def test_a_class_let_go_while_its_instance_is_encoded():
    # A property that gives the instance another class drops the last
    # reference to its own: what the encoder knows of that class must
    # outlive the record being written.
    @dataclasses.dataclass
    class Kept:
        a: int
        b: int

    def made() -> Any:
        @dataclasses.dataclass
        class Doomed:
            a: int
            b: int

        return Doomed

    for _ in range(20):
        cls = made()
        value = cls(1, 2)

        def moving(self: Any) -> int:
            self.__class__ = Kept
            gc.collect()
            return 1

        cls.a = property(moving)  # type: ignore[assignment]
        del cls
        assert encode([value]) == b"ld1:ai1e1:bi2eee"
