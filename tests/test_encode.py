import copy
import enum
import random
import subprocess
import sys
import textwrap
from collections import OrderedDict
from collections.abc import Mapping, Sequence

import pytest
from emulation import skip_if_emulated

import velka.bencode as bencode
from velka.bencode import BencodeError, EncodeError, encode


class MyBytes(bytes):
    pass


class Color(enum.IntEnum):
    BLUE = 3


class LoudInt(int):
    def __str__(self):
        return "loud"

    __repr__ = __str__


class MyMap(Mapping):
    __getitem__ = __iter__ = __len__ = None


class MySeq(Sequence):
    __getitem__ = __len__ = None


class Boom(Exception):
    pass


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (True, b"i1e"),
        (False, b"i0e"),
        (-0, b"i0e"),
        (-12, b"i-12e"),
        (-(2**63), b"i-9223372036854775808e"),
        (-(2**63) - 1, b"i-9223372036854775809e"),
        (2**64, b"i18446744073709551616e"),
        (Color.BLUE, b"i3e"),
        (LoudInt(3), b"i3e"),
        (LoudInt(-(10**30)), b"i-1" + b"0" * 30 + b"e"),
        (b"", b"0:"),
        (b"spam", b"4:spam"),
        ([], b"le"),
        ({}, b"de"),
        ([1, [b"a"], {b"k": []}], b"li1el1:aed1:kleee"),
        ({b"spam": [b"a", b"b"]}, b"d4:spaml1:a1:bee"),
        ({b"b": 1, b"a": 2}, b"d1:ai2e1:bi1ee"),
        ({b"ab": 1, b"a": 2}, b"d1:ai2e2:abi1ee"),
        ({b"a": 1, b"Z": 2, b"\xff": 3}, b"d1:Zi2e1:ai1e1:\xffi3ee"),
        (OrderedDict([(b"b", 1), (b"a", 2)]), b"d1:ai2e1:bi1ee"),
        ({b"b": True, b"a": Color.BLUE}, b"d1:ai3e1:bi1ee"),
    ],
)
def test_canonical_output(value, expected):
    assert encode(value) == expected


@pytest.mark.parametrize(
    ("value", "name"),
    [
        ("spam", "str"),
        (1.5, "float"),
        (None, "NoneType"),
        ((1, 2), "tuple"),
        ({b"a"}, "set"),
        (bytearray(b"x"), "bytearray"),
        (memoryview(b"x"), "memoryview"),
        (int, "type"),
        (MyMap(), "MyMap"),
        (MySeq(), "MySeq"),
    ],
)
@pytest.mark.parametrize("wrap", [lambda v: v, lambda v: [1, v], lambda v: {b"a": v}])
def test_unsupported_type(value, name, wrap):
    with pytest.raises(EncodeError) as info:
        encode(wrap(value))
    assert info.value.args == (f"unsupported type: {name}",)
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    ("value", "exception", "message"),
    [
        (MyBytes(b"x"), TypeError, "Expected bytes, got MyBytes"),
        ([MyBytes(b"x")], TypeError, "Expected bytes, got MyBytes"),
        ({MyBytes(b"k"): 1}, TypeError, "Expected bytes, got MyBytes"),
        ({"a": 1}, EncodeError, "dict key must be bytes, got str"),
        ({"b": 1, "a": 2}, EncodeError, "dict key must be bytes, got str"),
        ({1: b"x"}, EncodeError, "dict key must be bytes, got int"),
        # the smallest key decides
        ({1.5: 0, 1: 0}, EncodeError, "dict key must be bytes, got int"),
        ({0.5: 0, 1: 0}, EncodeError, "dict key must be bytes, got float"),
        # an earlier key's value fails before a later key is tested
        ({b"a": 1.5, b"b": "x"}, EncodeError, "unsupported type: float"),
        ({b"a": 1.5, MyBytes(b"b"): 1}, EncodeError, "unsupported type: float"),
        ({MyBytes(b"a"): 1.5, b"b": 1}, TypeError, "Expected bytes, got MyBytes"),
        # keys are sorted before any is tested
        ({b"a": 1, "b": 2}, TypeError, "'<' not supported between instances of"),
        ({1: 1, "b": 2}, TypeError, "'<' not supported between instances of"),
    ],
)
def test_refused_values(value, exception, message):
    before = copy.deepcopy(value)
    with pytest.raises(exception) as info:
        encode(value)
    assert type(info.value) is exception
    assert str(info.value).startswith(message)
    assert value == before


def test_digit_limit_passes_through():
    with pytest.raises(ValueError, match="4300 digits"):
        encode([1, 10**4300])
    assert encode(10**4299) == b"i1" + b"0" * 4299 + b"e"
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        assert encode(-(10**5000)) == b"i-1" + b"0" * 5000 + b"e"
    finally:
        sys.set_int_max_str_digits(limit)


def test_dict_subclass_uses_its_own_methods_in_order():
    calls = []

    class Tracking(dict):
        def keys(self):
            calls.append("keys")
            return iter([b"c", b"a", b"b"])

        def __getitem__(self, key):
            calls.append(key)
            return super().__getitem__(key)

        def __missing__(self, key):
            calls.append(("missing", key))
            return [key]

    value = Tracking({b"a": 1, b"b": 2, b"x": 9})
    assert encode(value) == b"d1:ai1e1:bi2e1:cl1:cee"
    assert calls == ["keys", b"a", b"b", b"c", ("missing", b"c")]


class BadKeys(dict):
    def keys(self):
        raise Boom


class BadGetitem(dict):
    def __getitem__(self, key):
        raise Boom


class BadIter(list):
    def __iter__(self):
        raise Boom


class BadNext(list):
    def __iter__(self):
        yield 1
        raise Boom


@pytest.mark.parametrize(
    "value", [BadKeys({b"k": 1}), BadGetitem({b"k": 1}), BadIter([1]), BadNext([1])]
)
def test_errors_of_subclass_methods_pass_through(value):
    with pytest.raises(Boom):
        encode([{b"k": value}])


def test_vanished_key_raises_key_error():
    class Liar(dict):
        def keys(self):
            return [b"a", b"gone"]

    with pytest.raises(KeyError) as info:
        encode(Liar({b"a": 1}))
    assert info.value.args == (b"gone",)


def test_keys_named_twice_are_refused():
    class Twice(dict):
        def keys(self):
            return [b"b", b"a", b"b"]

    with pytest.raises(EncodeError, match=r"^duplicate dict key: b'b'$"):
        encode(Twice({b"a": 1, b"b": 2}))


def test_exact_dict_values_looked_up_again_after_callers_code_ran():
    target = {b"a": None, b"b": 1, b"c": 2}

    class Mutator(list):
        def __iter__(self):
            target[b"b"] = b"new"
            target[b"0"] = 0  # keys are fixed on entry: not written
            return iter([])

    target[b"a"] = Mutator()
    assert encode(target) == b"d1:ale1:b3:new1:ci2ee"

    class Deleter(list):
        def __iter__(self):
            del target[b"c"]
            return iter([])

    target = {b"a": Deleter(), b"b": 1, b"c": 2}
    with pytest.raises(KeyError):
        encode({b"outer": [target]})


def test_list_walks():
    class Shown(list):
        def __iter__(self):
            return iter([b"x", 2])

    assert encode(Shown([1, 2, 3])) == b"l1:xi2ee"

    outer = [None, 1, 2, 3]

    class Shrinker(list):
        def __iter__(self):
            del outer[2:]
            outer.append(b"z")
            return iter([])

    outer[0] = Shrinker()
    assert encode(outer) == b"llei1e1:ze"


def test_encode_error_looked_up_at_raise_time(monkeypatch):
    class Replacement(Exception):
        pass

    monkeypatch.setattr(bencode, "EncodeError", Replacement)
    with pytest.raises(Replacement, match=r"^unsupported type: float$"):
        encode(1.5)
    monkeypatch.undo()
    with pytest.raises(EncodeError):
        encode(1.5)
    assert issubclass(EncodeError, BencodeError)
    assert not issubclass(EncodeError, (TypeError, ValueError))


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "encode() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, "encode() takes exactly 1 positional argument (2 given)"),
        ((1,), {"value": 2}, "encode() got multiple values for keyword argument 'value'"),
        ((), {"data": 1}, "encode() got an unexpected keyword argument 'data'"),
    ],
)
def test_argument_binding(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        encode(*args, **kwargs)
    assert str(info.value) == message
    assert encode(value=5) == encode(5) == b"i5e"


def test_failures_leak_no_references():
    shared = b"shared" * 4
    inner = [shared]
    cases = [[shared, inner, 1.5], {shared: inner, b"z": None}, {shared: 1, "a": inner}]
    before = sys.getrefcount(shared), sys.getrefcount(inner)
    for _ in range(100):
        for case in cases:
            with pytest.raises((BencodeError, TypeError)):
                encode(case)
    assert (sys.getrefcount(shared), sys.getrefcount(inner)) == before


def _numbers_of_every_width():
    for width in range(1, 21):
        for digits in ("12345678901234567890", "98765432109876543210", "10203040506070809000"):
            yield int(digits[:width])
        yield 10 ** (width - 1)
        yield 10**width - 1
    yield from (2**30 - 1, 2**30, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64)


@pytest.mark.parametrize("number", sorted(set(_numbers_of_every_width())))
def test_integers_of_every_width(number):
    for value in (number, -number):
        expected = b"i%de" % value
        assert encode(value) == expected
        # Next to other output, which digits written past the end must not spoil.
        assert encode([value, b"", value, value]) == b"l%s0:%s%se" % (expected, expected, expected)
        assert encode({b"k": value}) == b"d1:k%se" % expected


def test_string_lengths_of_every_width():
    # No two neighbouring bytes alike, so a byte copied to the wrong place shows.
    lengths = [*range(120), 999, 1000, 9999, 10_000, 123_456]
    strings = [bytes((i * 7 + n) % 251 for i in range(n)) for n in lengths]
    assert encode(strings) == b"l" + b"".join(b"%d:%s" % (len(s), s) for s in strings) + b"e"


@pytest.mark.parametrize("count", [7, 255, 256, 1000])
def test_key_order_at_every_short_length(count):
    # Keys of up to ten bytes that share beginnings and hold the extreme bytes.
    alphabet = [0x00, 0x01, 0x7F, 0x80, 0xFF]
    rng = random.Random(count)
    keys = set()
    while len(keys) < count:
        keys.add(bytes(rng.choices(alphabet, k=rng.randrange(11))))
    shuffled = list(keys)
    rng.shuffle(shuffled)
    value = {key: len(key) for key in shuffled}
    expected = b"".join(b"%d:%si%de" % (len(k), k, len(k)) for k in sorted(keys))
    assert encode(value) == b"d" + expected + b"e"


@pytest.mark.parametrize("size", [*range(2030, 2060), 4096, 4097, 5 * 2**20])
def test_output_sizes(size):
    # "l", the length, ":" and "e" around the payload
    payload = bytes(range(256)) * (size // 256) + b"x" * (size % 256)
    assert encode([payload]) == b"l%d:%se" % (size, payload)


def test_large_output_of_many_pieces():
    pieces = [b"x" * (n % 300) for n in range(40_000)]
    value = [pieces, {b"k%05d" % n: n for n in range(20_000)}]
    expected = (
        b"ll"
        + b"".join(b"%d:%s" % (len(p), p) for p in pieces)
        + b"ed"
        + b"".join(b"6:k%05di%de" % (n, n) for n in range(20_000))
        + b"ee"
    )
    assert encode(value) == expected


NESTED = "v = []\nfor _ in range(1_000_000):\n    v = [v]\n"


@pytest.mark.parametrize(
    ("build", "expected"),
    [
        (NESTED, "RecursionError"),
        (NESTED.replace("[v]", "{b'k': v}"), "RecursionError"),
        ("class L(list): pass\n" + NESTED.replace("[v]", "L([v])"), "RecursionError"),
        ("class D(dict): pass\n" + NESTED.replace("[v]", "D({b'k': v})"), "RecursionError"),
        ("v = []\nv.append(v)", "RecursionError"),
        ("v = {}\nv[b'k'] = [v]", "RecursionError"),
        ("class L(list):\n    def __iter__(self):\n        yield self\nv = L()", "RecursionError"),
        pytest.param(
            "import resource\nresource.setrlimit(resource.RLIMIT_AS, (2**30, 2**30))\n"
            "v = [b'x' * 2**20] * 1100",
            "MemoryError",
            marks=skip_if_emulated("qemu-user does not enforce RLIMIT_AS"),
        ),
    ],
)
def test_runaway_values_fail_cleanly(build, expected):
    # In a child process: a crash or a hang must not take the test run down.
    script = build + textwrap.dedent(
        """
        from velka.bencode import encode
        try:
            encode(v)
        except Exception as error:
            print(type(error).__name__)
        """
    )
    result = subprocess.run(
        [sys.executable, "-P", "-c", script],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (result.returncode, result.stdout) == (0, expected + "\n"), result.stderr
