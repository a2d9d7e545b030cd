import random
import sys

import pytest

from velka.bencode import DecodeError, decode, decode_all

# (input, value); every input is one complete value.
VALID = [
    (b"i0e", 0),
    (b"i-42e", -42),
    (b"i+5e", 5),
    (b"i\t7\ne", 7),
    (b"i\x0b7 \x0ce", 7),
    (b"i-1_000e", -1000),
    (b"i+01e", 1),
    (b"i -0e", 0),
    (b"i" + b"9" * 30 + b"e", int("9" * 30)),
    (b"i" + b"1" * 4300 + b"e", int("1" * 4300)),
    (b"i" + b"1_" * 4299 + b"1e", int("1" * 4300)),
    (b"0:", b""),
    (b"3:a:b", b"a:b"),
    (b"3:\x00\xffe", b"\x00\xffe"),
    (b"1_0:klmnopqrst", b"klmnopqrst"),
    (b"3\r\n:abc", b"abc"),
    (b"l4:spami42ee", [b"spam", 42]),
    (b"lli1eeli2eee", [[1], [2]]),
    (b"de", {}),
    (b"d1:ai1e2:abi2ee", {b"a": 1, b"ab": 2}),
    (b"d0:i1e1:Ai1e1:ai2ee", {b"": 1, b"A": 1, b"a": 2}),
    (b"d1:bd1:ai1ee1:ci2ee", {b"b": {b"a": 1}, b"c": 2}),
    (b"d1:a1:b1:\x80i1ee", {b"a": b"b", b"\x80": 1}),
]


@pytest.mark.parametrize(("data", "value"), VALID)
def test_valid_value_and_end_position(data, value):
    result = decode(data)
    assert result == value
    assert type(result) is type(value)
    # The value ends exactly where the input does: one more byte is left over.
    with pytest.raises(DecodeError, match=rf"^trailing data at position {len(data)}$"):
        decode(data + b"x")
    assert decode_all(data * 3) == [value] * 3


@pytest.mark.parametrize(
    "number",
    [s * (b + d) for b in (10**17, 10**18, 2**63, 2**64) for d in (-1, 0, 1) for s in (1, -1)],
)
def test_integers_around_machine_sizes(number):
    assert decode(b"i%de" % number) == number
    assert decode(b"i%se" % format(number, "_").encode()) == number


def _overrun(length, start, size):
    return (
        f"string of length {length} extends past end of data "
        f"(position {start}, buffer length {size})"
    )


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b"ie", "empty integer"),
        (b"i-0e", "negative zero is not allowed"),
        (b"i0 e", "leading zero in integer: b'0 '"),
        (b"i0_1e", "leading zero in integer: b'0_1'"),
        (b"i01234567890123456789e", "leading zero in integer: b'01234567890123456789'"),
        (b"i-00e", "leading zero in negative integer: b'-00'"),
        (b"i", "expected 'e' not found after position 1"),
        (b"li1", "expected 'e' not found after position 2"),
        (b"3:ab", _overrun(3, 2, 4)),
        (b"l1:", _overrun(1, 3, 3)),
        (b"01", "expected ':' not found after position 0"),
        (b"l5", "expected ':' not found after position 1"),
        (b"00:", "leading zero in string length: b'00'"),
        (b"0 :", "leading zero in string length: b'0 '"),
        (b"0_1:a", "leading zero in string length: b'0_1'"),
        (b"lde", "unterminated list"),
        (b"d1:ai1e", "unterminated dict"),
        (b"d1:ai1e0:i2ee", "dict keys out of order: b'a' >= b''"),
        (b"d1:ai1e1:ai2ee", "dict keys out of order: b'a' >= b'a'"),
        (b"d2:abi1e1:ai2ee", "dict keys out of order: b'ab' >= b'a'"),
        (b"d1:\xffi1e1:ai2ee", "dict keys out of order: b'\\xff' >= b'a'"),
        (b"d1:bi1e1:a", "dict keys out of order: b'b' >= b'a'"),
        (b"d1:'i1e1:\"i2ee", "dict keys out of order: b\"'\" >= b'\"'"),
        (b"d1:a", "unexpected end of data at position 4"),
        (b"d1:ae", "unexpected byte 'e' at position 4"),
        (b"d1:ai1eli2ei3ee", "dict key must be a byte string, got 'l' at position 7"),
        (b"d1:ai1e\x80", "dict key must be a byte string, got '\\x80' at position 7"),
        (b"d01:ai1ee", "leading zero in string length: b'01'"),
        (b"-1", "unexpected byte '-' at position 0"),
        (b"\x80", "unexpected byte '\\x80' at position 0"),
        (b"\xe9", "unexpected byte '\u00e9' at position 0"),
        (b"'", 'unexpected byte "\'" at position 0'),
        (b"d1:al" * 50 + b"i-0e", "negative zero is not allowed"),
        (b"d1:al" * 50 + b"x", "unexpected byte 'x' at position 250"),
        (b"i1ei2e", "trailing data at position 3"),
        (b"4:spam ", "trailing data at position 6"),
    ],
)
def test_decode_error(data, message):
    with pytest.raises(DecodeError) as caught:
        decode(data)
    assert caught.value.args == (message,)
    assert caught.value.__cause__ is None


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b"i-e", "invalid integer: b'-'"),
        (b"i e", "invalid integer: b' '"),
        (b"i1.5e", "invalid integer: b'1.5'"),
        (b"i- 1e", "invalid integer: b'- 1'"),
        (b"i1__0e", "invalid integer: b'1__0'"),
        (b"i1\x00e", "invalid integer: b'1\\x00'"),
        (b"li124:spame", "invalid integer: b'124:spam'"),
        (b"i" + b"1" * 4301 + b"e", "invalid integer: " + repr(b"1" * 4301)),
        (b"3abc:xyz", "invalid string length: b'3abc'"),
        (b"1_ :x", "invalid string length: b'1_ '"),
        (b"1 2:ab", "invalid string length: b'1 2'"),
        (b"1+:a", "invalid string length: b'1+'"),
        (b"d1x:ai1ee", "invalid string length: b'1x'"),
        (b"1" * 4301 + b":", "invalid string length: " + repr(b"1" * 4301)),
    ],
)
def test_decode_error_caused_by_int_conversion(data, message):
    with pytest.raises(DecodeError) as caught:
        decode(data)
    assert str(caught.value) == message
    assert type(caught.value.__cause__) is ValueError
    assert caught.value.__suppress_context__


@pytest.mark.parametrize(
    "data", [b"9223372036854775808:", b"l18446744073709551616:xe", b"1" * 4300 + b":"]
)
def test_length_beyond_machine_size_overflows(data):
    with pytest.raises(OverflowError):
        decode(data)


def test_digit_limit_follows_the_interpreter():
    data = b"i" + b"7" * 4500 + b"e"
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(5000)
    try:
        assert decode(data) == int("7" * 4500)
    finally:
        sys.set_int_max_str_digits(old)
    with pytest.raises(DecodeError, match=r"^invalid integer"):
        decode(data)


@pytest.mark.parametrize(
    ("data", "values"), [(b"", []), (None, []), (b"i1ei2e", [1, 2]), (b"lede0:", [[], {}, b""])]
)
def test_decode_all(data, values):
    assert decode_all(data) == values


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b"i1ex", "unexpected byte 'x' at position 3"),
        (b"i1e2:a", _overrun(2, 5, 6)),
        (b"lei-0e", "negative zero is not allowed"),
    ],
)
def test_decode_all_stops_at_first_fault(data, message):
    with pytest.raises(DecodeError) as caught:
        decode_all(data)
    assert str(caught.value) == message


# A class written in Python exports a buffer (__buffer__) from 3.12 on.
python_buffers = pytest.mark.skipif(
    sys.version_info < (3, 12), reason="classes written in Python export buffers from 3.12 on"
)


class _Truth:
    def __init__(self, truth, content):
        self.truth, self.content = truth, content

    def __bool__(self):
        if isinstance(self.truth, Exception):
            raise self.truth
        return self.truth

    def __buffer__(self, flags):
        return memoryview(self.content)


@pytest.mark.parametrize(
    ("data", "values"),
    [
        (b"", []),
        (bytearray(), []),
        (memoryview(b""), []),
        (None, []),
        pytest.param(_Truth(False, b"i1e"), [1], marks=python_buffers),
    ],
)
def test_empty_data(data, values):
    with pytest.raises(DecodeError, match=r"^empty data$"):
        decode(data)
    assert decode_all(data) == values


@pytest.mark.parametrize(
    ("data", "empty"), [(False, 1), (0, 1), ("", 1), ([], 1), (True, 0), ("i1e", 0)]
)
def test_non_buffers(data, empty):
    if empty:
        with pytest.raises(DecodeError, match=r"^empty data$"):
            decode(data)
    functions = [decode_all] if empty else [decode, decode_all]
    for function in functions:
        with pytest.raises(TypeError, match=r"bytes-like object is required"):
            function(data)


@python_buffers
def test_truth_test_raises_or_passes_an_empty_buffer():
    data = _Truth(LookupError("no truth"), b"i7e")
    with pytest.raises(LookupError, match=r"no truth"):
        decode(data)
    assert decode_all(data) == [7]
    data = _Truth(True, b"")
    with pytest.raises(DecodeError, match=r"^unexpected end of data at position 0$"):
        decode(data)
    assert decode_all(data) == []


def test_nesting_100_deep():
    nested_list, nested_dict = [], 1
    for _ in range(99):
        nested_list = [nested_list]
    for _ in range(100):
        nested_dict = {b"a": nested_dict}
    assert decode(b"l" * 100 + b"e" * 100) == nested_list
    assert decode(b"d1:a" * 100 + b"i1e" + b"e" * 100) == nested_dict


@pytest.mark.parametrize("prefix", [b"l", b"d1:a", b"ld1:a"])
def test_very_deep_nesting_fails_cleanly(run_python, prefix):
    result = run_python(
        f"""
        from velka.bencode import decode, decode_all
        for function in (decode, decode_all):
            try:
                function({prefix!r} * 1_000_000)
            except RecursionError:
                pass
            else:
                raise SystemExit("no RecursionError")
        print(decode(b"l" * 50 + b"e" * 50) is not None)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True\n"


def _encode(value):
    if isinstance(value, int):
        return b"i%de" % value
    if isinstance(value, bytes):
        return b"%d:%s" % (len(value), value)
    if isinstance(value, list):
        return b"l" + b"".join(map(_encode, value)) + b"e"
    return b"d" + b"".join(_encode(k) + _encode(v) for k, v in sorted(value.items())) + b"e"


def _random_value(rng, depth):
    kind = rng.randrange(4 if depth < 4 else 2)
    if kind == 0:
        return rng.choice([0, -1, 2**70, -(10**18), rng.randrange(-(10**20), 10**20)])
    if kind == 1:
        return rng.randbytes(rng.choice([0, 1, 2, 5, 32, 33, 100]))
    items = [_random_value(rng, depth + 1) for _ in range(rng.choice([0, 1, 3, 40]))]
    if kind == 2:
        return items
    # Keys of every length, many of them repeated across dictionaries.
    return {
        rng.choice([b"", b"length", b"path", rng.randbytes(rng.randrange(40))]): v for v in items
    }


@pytest.mark.parametrize("seed", range(20))
def test_random_structures(seed):
    value = _random_value(random.Random(seed), 0)
    data = _encode(value)
    assert decode(data) == value
    assert decode_all(data * 2) == [value, value]
