"""Short strings that repeat are shared within one decode; a string that
merely resembles one seen before must never be taken for it.

Every input here puts near-misses next to each other: strings of one length
that differ in a single byte, at every position and by every possible
difference, so that whatever the cache's slot function, many pairs share a
slot and a comparison that skips any byte returns the wrong string.
"""

import random
import re

import numpy as np
import pytest

from velka.bencode import DecodeError, decode, decode_all, encode

# Past the longest shared key and value on both sides.
LENGTHS = range(1, 35)


def _string(data):
    return b"%d:%s" % (len(data), data)


def _list_of_dicts(dicts):
    parts = (
        b"d" + b"".join(_string(key) + value for key, value in item.items()) + b"e"
        for item in dicts
    )
    return b"l" + b"".join(parts) + b"e"


def _with_byte(base, position, value):
    return base[:position] + bytes([value]) + base[position + 1 :]


def _bases(length):
    rng = random.Random(length)
    printable = bytes(0x61 + (i * 7) % 26 for i in range(length))
    return [rng.randbytes(length), printable]


def _near_misses(base):
    """Every string that differs from `base` in one byte, then every string
    one byte longer that starts with it."""
    for position in range(len(base)):
        for difference in range(1, 256):
            yield _with_byte(base, position, base[position] ^ difference)
    for extra in range(256):
        yield base + bytes([extra])


def _pairs(bases=2):
    for length in LENGTHS:
        for base in _bases(length)[:bases]:
            for variant in _near_misses(base):
                yield base, variant


def test_values_that_differ_in_one_byte():
    # base, variant, base, variant, ...: each string follows its near-miss.
    expected = [string for pair in _pairs() for string in pair]
    data = b"l" + b"".join(map(_string, expected)) + b"e"
    assert decode(data) == expected


def test_keys_that_differ_in_one_byte():
    # The variant alone, then both in order: each key follows its near-miss
    # both ways round, also within one dict.
    expected = [
        item
        for base, variant in _pairs()
        for item in ({variant: 0}, dict.fromkeys(sorted((base, variant)), 0))
    ]
    data = _list_of_dicts({key: b"i0e" for key in item} for item in expected)
    assert decode(data) == expected


def test_keys_and_values_share_nothing_wrongly():
    # The same strings as keys and as values of each other, in one call.
    expected = []
    for base, variant in _pairs(bases=1):
        if len(base) == len(variant):
            low, high = sorted((base, variant))
            expected.append({low: high, high: low})
    data = _list_of_dicts({key: _string(value) for key, value in item.items()} for item in expected)
    assert decode(data) == expected


@pytest.mark.parametrize("direction", [1, -1])
def test_strided_input(direction):
    # A buffer whose bytes are not adjacent goes through a copy first.
    expected = [
        string
        for length in range(2, 34)
        for base in _bases(length)[:1]
        for position in range(length)
        for difference in (0x01, 0x40, 0x80, 0xC0, 0xFF)
        for string in (base, _with_byte(base, position, base[position] ^ difference))
    ]
    data = b"l" + b"".join(map(_string, expected)) + b"e"
    spread = np.zeros(2 * len(data), "u1")
    spread[::2] = np.frombuffer(data[::direction], "u1")
    strided = spread[::2][::direction]
    assert strided.tobytes() == data
    assert decode_all(strided) == [expected]


def test_sharing_across_values_and_calls():
    # decode_all shares strings across its values; separate calls share none.
    base = b"abcdefgh"
    decode(_string(base))
    for variant in _near_misses(base):
        assert decode_all(_string(base) + _string(variant)) == [base, variant]
        assert decode(_string(variant)) == variant


@pytest.mark.parametrize("distinct_before", [0, 3000])
def test_repeated_strings_stay_shared_and_exact(distinct_before):
    # Keys and short values that repeat are one object each, also after a
    # run of distinct strings long enough to stop the lookups; either way
    # every string equals its text.
    rng = random.Random(distinct_before)
    flood = [rng.randbytes(rng.randint(2, 32)) for _ in range(distinct_before)]
    records = [{b"length": i, b"path": [b"dir", b"file%d" % i]} for i in range(200)]
    data = encode([flood, records])
    got_flood, got_records = decode(data)
    assert got_flood == flood
    assert got_records == records
    if distinct_before == 0:
        keys = {id(key) for record in got_records[2:] for key in record}
        directories = {id(record[b"path"][0]) for record in got_records[2:]}
        assert len(keys) == 2
        assert len(directories) == 1


def test_strings_met_once_leave_repeated_ones_shared():
    # Unique strings between the repeats, some of them in the repeated
    # string's slot: the repeat stays one object all the same.
    rng = random.Random(7)
    records = [
        {
            b"id": rng.randbytes(rng.randint(2, 16)),
            b"path": [b"dir", rng.randbytes(rng.randint(2, 16))],
        }
        for _ in range(300)
    ]
    got = decode(encode(records))
    assert got == records
    assert len({id(record[b"path"][0]) for record in got[2:]}) == 1


# A dict in a list reads the keys of the dict before it by comparing bytes;
# what follows must decode exactly as it does after a dict whose keys it
# cannot share (one of the same size, so that positions in messages agree).
SHAPE = b"d2:ab1:ci0e2:dei0ee"
OTHER = b"d2:xy1:zi0e2:wvi0ee"


@pytest.mark.parametrize(
    "item",
    [
        b"d2:ab1:ci1e2:dei2ee",  # the same keys
        b"d2:abi1ee",  # fewer
        b"d2:ab1:ci1e2:dei2e1:fi3ee",  # more
        b"d2:ab1:ci1e1:di2ee",  # a key of the shape's length, another text
        b"d2:ab2:abi1ee",  # a repeat after a key of the shape
        b"d2:ab1:ci1e1:ci2ee",  # a repeat of a later key
        b"d1:ci1e2:abi2ee",  # out of order, the second key the shape's first
        b"d02:abi1ee",  # a leading zero in a length
        b"d2:ab1:ci1e2:d",  # cut off in a key
        b"d2:ab1:ci1e3:dei2ee",  # a length past the key
        b"d2:aci1ee",  # the shape's length, another key
        b"de",
    ],
)
def test_dicts_in_a_list_read_as_dicts_alone(item):
    def outcome(before):
        data = b"l" + before + item + b"e"
        try:
            return ("value", decode(data)[1])
        except Exception as error:
            return (type(error).__name__, str(error))

    assert outcome(SHAPE) == outcome(OTHER)


@pytest.mark.parametrize(
    ("last_key", "expected"),
    [
        (b"1:n", [{b"m": 0, b"n": 0}, {b"m": [{b"a": 0, b"b": 0}], b"n": 0}]),
        # The inner dicts' second key: it must not pass for one of the
        # shape they put in place of the outer dicts'.
        (b"1:b", "dict keys out of order: b'm' >= b'b'"),
    ],
)
def test_keys_after_a_value_with_a_shape_of_its_own_ascend(last_key, expected):
    data = b"ld1:mi0e1:ni0eed1:mld1:ai0e1:bi0eee" + last_key + b"i0eee"
    if isinstance(expected, str):
        with pytest.raises(DecodeError, match=re.escape(expected)):
            decode(data)
    else:
        assert decode(data) == expected


def test_dicts_in_a_list_share_their_keys():
    records = [{b"ip": b"10.0.0.%d" % i, b"peer id": b"x" * 20, b"port": i} for i in range(50)]
    got = decode(encode({b"peers": records}))[b"peers"]
    assert got == records
    assert len({id(key) for record in got for key in record}) == 3


# A list that is the value of a shaped dict's key reads the items that the
# list there in the dict before began with by comparing bytes; what follows
# must decode exactly as it does after lists it can share nothing with. A
# dict after the one under test shows what the guessing goes on from.
PATH = b"l3:abc2:de1:fi7el1:gee"
OTHER_PATH = b"l3:xyz2:uv1:wi8el1:hee"


@pytest.mark.parametrize(
    "item",
    [
        PATH,
        b"l3:abc2:dee",  # fewer items
        b"l3:abc2:de1:fi7el1:ge1:ge",  # more
        b"l3:abc2:xy1:fi7el1:gee",  # one differs, those after match again
        b"l3:abd2:de1:fe",  # the first differs in its last byte
        b"l2:ab2:dee",  # the first shorter
        b"l03:abc2:dee",  # a leading zero in a length
        b"l3:abc02:dee",  # one after a match
        b"l3:abc2:d",  # cut off in an item
        b"l3:abc2:de",  # cut off after one
        b"l3:abc9:dee",  # a length past the end
        b"l3:abci1e1:fe",  # an integer where a string was
        b"l3:abcl2:dee1:fe",  # a list where a string was
        b"l3:abc2:de1:fi7e1:ge",  # a string where a list was
        b"le",
        b"3:abc",  # a string where the list was
        b"d2:abi1ee",  # a dict where the list was
    ],
)
def test_lists_in_dicts_of_a_list_read_as_lists_alone(item):
    def outcome(before):
        dicts = (b"d1:p" + value + b"e" for value in (before, before, item, PATH))
        try:
            return ("value", decode(b"l" + b"".join(dicts) + b"e")[2:])
        except Exception as error:
            return (type(error).__name__, str(error))

    assert outcome(PATH) == outcome(OTHER_PATH)


def test_paths_share_their_leading_directories():
    # Enough distinct strings first to stop the string lookups: the
    # directories are shared all the same, from the path before (from the
    # second file on, the first having made the shape).
    rng = random.Random(3)
    flood = [rng.randbytes(rng.randint(2, 32)) for _ in range(3000)]
    files = [
        {b"length": i, b"path": [b"top", b"sub%d" % (i // 10), b"file%d" % i]} for i in range(100)
    ]
    got_flood, got_files = decode(encode([flood, files]))
    assert (got_flood, got_files) == (flood, files)
    assert len({id(file[b"path"][0]) for file in got_files[1:]}) == 1
    assert len({id(file[b"path"][1]) for file in got_files[1:]}) == 10
