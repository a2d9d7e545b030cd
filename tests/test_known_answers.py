"""Known answers for the code that handles several bytes as one word, over
every width it treats differently: digit scanning and formatting, and the key
order of the encoder's sort. A word read or stored in the wrong byte order,
or a 64-bit assumption on a 32-bit host, gives wrong numbers or a wrong order
here with no error. (The short list of classic answers, run on every CPU and
interpreter, is in test_platform.py.)
"""

import random
import sys

import pytest

from velka.bencode import DecodeError, decode, decode_all, encode
from velka.raw import decode_prefix, span


def _integers():
    for width in range(1, 21):
        yield int("98765432109876543210"[:width])
        yield int("12345678901234567890"[:width])
        yield 10 ** (width - 1)
    for power in (31, 32, 63, 64):
        yield from (2**power - 1, 2**power, 2**power + 1)


@pytest.mark.parametrize("number", sorted({s * n for n in _integers() for s in (1, -1)}))
def test_integers_of_every_digit_count(number):
    text = b"i%de" % number
    assert encode(number) == text
    # Followed by 0 to 9 more values, so that the digits are read both a
    # word at a time and, near the end of the data, byte by byte.
    for more in range(10):
        data = text + b"le" * more
        assert decode_all(data) == [number] + [[]] * more
        assert decode_prefix(data) == (number, len(text))
        assert span(b"l" + data + b"e", 0) == (1, 1 + len(text))


@pytest.mark.parametrize("width", range(1, 21))
def test_string_lengths_of_every_digit_count(width):
    # The length is read exactly, or found too large for the platform's
    # sizes (Py_ssize_t), as the interpreter itself finds it.
    length = int("98765432109876543210"[:width])
    for more in range(10):
        data = b"l%d:" % length + b"x" * more
        if length > sys.maxsize:
            with pytest.raises(OverflowError):
                decode(data)
            continue
        start = len(data) - more
        if length <= more:
            with pytest.raises(DecodeError, match=r"^unterminated list$"):
                decode(data)
            continue
        message = (
            f"string of length {length} extends past end of data "
            f"(position {start}, buffer length {len(data)})"
        )
        with pytest.raises(DecodeError) as caught:
            decode(data)
        assert str(caught.value) == message


@pytest.mark.parametrize(
    "length",
    [
        # Around the largest length the platform's sizes hold.
        *(sys.maxsize + d for d in (-1, 0, 1)),
        2**31 - 1,
        2**31,
        2**63 - 1,
        10**18 - 1,
    ],
)
def test_string_length_near_the_platform_limit(length):
    data = b"%d:x" % length
    if length > sys.maxsize:
        with pytest.raises(OverflowError):
            decode(data)
        return
    with pytest.raises(DecodeError) as caught:
        decode(data)
    assert str(caught.value) == (
        f"string of length {length} extends past end of data "
        f"(position {len(data) - 1}, buffer length {len(data)})"
    )


def _keys_differing_in_one_byte(length):
    """A key, every proper prefix of it, the key with one more byte, and the
    key changed in one byte at each position to values on both sides."""
    base = bytes(0x41 + 3 * i for i in range(length))
    keys = {base[:n] for n in range(length)} | {base, base + b"\x00", base + b"\xff"}
    for position in range(length):
        for byte in (0x00, 0x01, base[position] - 1, base[position] + 1, 0x7F, 0x80, 0xFF):
            keys.add(base[:position] + bytes([byte]) + base[position + 1 :])
    return keys


@pytest.mark.parametrize("length", [*range(1, 11), 12, 16, "all"])
def test_keys_that_differ_in_one_byte(length):
    # One length alone is a small dict; "all" together are enough keys for
    # the encoder to sort them by radix on their first eight bytes.
    lengths = range(1, 17) if length == "all" else [length]
    keys = sorted(set().union(*map(_keys_differing_in_one_byte, lengths)))
    shuffled = keys[:]
    random.Random(len(keys)).shuffle(shuffled)
    value = {key: index for index, key in enumerate(shuffled)}
    expected = b"d" + b"".join(b"%d:%si%de" % (len(k), k, value[k]) for k in keys) + b"e"
    assert encode(value) == expected
    assert list(decode(expected)) == keys
