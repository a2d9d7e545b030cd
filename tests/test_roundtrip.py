import random
from collections import OrderedDict

import pytest
from emulation import examples
from hypothesis import given, settings
from hypothesis import strategies as st

from velka.bencode import DecodeError, decode, decode_all, encode

integers = st.one_of(
    st.integers(),
    st.integers(min_value=-(2**64), max_value=2**64),
    st.integers(min_value=-(10**4299), max_value=10**4299),
    st.booleans(),
)
keys = st.binary(max_size=8) | st.sampled_from([b"", b"a", b"ab", b"Z", b"\xff", b"\x00"])
values = st.recursive(
    integers | st.binary(max_size=64),
    lambda children: st.lists(children, max_size=6) | st.dictionaries(keys, children, max_size=20),
    max_leaves=60,
)


class ListSub(list):
    pass


class DictSub(dict):
    pass


def through_subclasses(value):
    """The same value built from list and dict subclasses, keys in reverse."""
    if isinstance(value, list):
        return ListSub(through_subclasses(item) for item in value)
    if isinstance(value, dict):
        items = [(k, through_subclasses(v)) for k, v in reversed(value.items())]
        return DictSub(items) if len(items) % 2 else OrderedDict(items)
    return value


@settings(max_examples=examples(300))
@given(values)
def test_decode_inverts_encode(value):
    assert decode(encode(value)) == value


@settings(max_examples=examples(300))
@given(values)
def test_canonical_input_reencodes_identically(value):
    canonical = encode(value)
    assert encode(decode(canonical)) == canonical
    assert decode_all(canonical * 2) == [value, value]


@settings(max_examples=examples(200))
@given(values)
def test_subclasses_encode_like_exact_types(value):
    assert encode(through_subclasses(value)) == encode(value)


@given(st.dictionaries(keys, st.integers(), min_size=17, max_size=80))
def test_large_dicts_sort_by_raw_bytes(value):
    body = b"".join(b"%d:%si%de" % (len(k), k, value[k]) for k in sorted(value))
    assert encode(value) == b"d" + body + b"e"
    assert encode(dict(reversed(value.items()))) == b"d" + body + b"e"


# Keys that share long prefixes, or differ only past the eighth byte or in
# trailing zero bytes, are where a sort on fixed-width prefixes must defer to
# the full comparison; hundreds of keys take the radix path.
@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("size", [256, 700])
def test_many_keys_sort_by_raw_bytes(seed, size):
    rng = random.Random(seed)
    stems = [b"", b"\x00", b"prefix__", b"\xff" * 9]
    key_set = {rng.choice(stems) + rng.randbytes(rng.randint(0, 3)) for _ in range(size)}
    value = dict.fromkeys(key_set, 0)
    body = b"".join(b"%d:%si0e" % (len(k), k) for k in sorted(key_set))
    assert encode(value) == b"d" + body + b"e"


# Long lists leave the decoder's item stack in batches of 256; every batch
# boundary must keep every item, in order, and fail cleanly after it.
@pytest.mark.parametrize("size", [255, 256, 257, 512, 513, 3000, 20000])
def test_long_lists_keep_every_item(size):
    value = [[n, [b"ab"] * (n % 3), {b"k": n}] for n in range(size)]
    assert decode(encode(value)) == value
    assert decode(encode([value[:5], list(range(size))])) == [value[:5], list(range(size))]


@pytest.mark.parametrize("size", [255, 256, 257, 512, 513, 3000])
def test_long_lists_fail_cleanly(size):
    body = encode(list(range(size)))[:-1]
    with pytest.raises(DecodeError) as refused:
        decode(body)
    assert refused.value.args == ("unterminated list",)
    with pytest.raises(DecodeError) as refused:
        decode(body + b"xe")
    assert refused.value.args == (f"unexpected byte 'x' at position {len(body)}",)
