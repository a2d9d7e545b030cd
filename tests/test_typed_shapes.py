# The typed walk's shortcuts: text shared by a small cache, lists made at
# their final size on the item stack of plain decode, records whose fields
# outgrow the walk's inline room.
import dataclasses
import random
from typing import Annotated

import pytest

from velka.bencode import decode as plain_decode
from velka.bencode import encode
from velka.typed import Decoder, Key, ValidationError, decode


def _texts() -> list[bytes]:
    rng = random.Random(7)
    alphabet = b"abcdefghij/._- "
    texts = [bytes(rng.choice(alphabet) for _ in range(rng.randint(0, 40))) for _ in range(3000)]
    # Runs alike in the bytes the cache picks its slot by (first, middle,
    # last and length), differing elsewhere, and text beyond ASCII of the
    # same lengths.
    texts += [b"a%02db" % i + b"x" * 6 + b"%02dz" % i for i in range(100)]
    texts += [("é" * n).encode() for n in range(1, 17)] + [("a" * n).encode() for n in range(33)]
    texts += [b"\xc3\xa9a", b"a\xc3\xa9", b"ab", b"\xc3\xa9"]
    rng.shuffle(texts)
    return texts + texts[:500]


@pytest.mark.parametrize("buffer", [bytes, memoryview])
def test_text_is_exactly_the_bytes_it_comes_from(buffer):
    texts = _texts()
    data = encode(texts)
    assert decode(buffer(data), list[str]) == [t.decode() for t in texts]
    keyed = {t: i for i, t in enumerate(texts)}
    assert decode(buffer(encode(keyed)), dict[str, int]) == {
        k.decode(): v for k, v in keyed.items()
    }


def test_shared_text_never_outlives_invalid_utf8():
    # A key of the right shape after a cached one must still be judged.
    data = encode([b"abcd", b"ab\xffd"])
    with pytest.raises(ValidationError, match=r"invalid UTF-8 at \$\[1\]"):
        decode(data, list[str])


@dataclasses.dataclass
class Leaf:
    n: int
    tags: list[str]


# 32 items fit the stack's inline room, 256 wait on the stack at most.
@pytest.mark.parametrize("count", [0, 1, 2, 31, 32, 33, 255, 256, 257, 513, 3000])
def test_lists_of_every_length(count):
    items = list(range(count))
    nested = [[Leaf(i, ["t"] * (i % 3)) for i in range(j % 40)] for j in range(count % 50 + 1)]
    plain = [[{b"n": x.n, b"tags": [b"t"] * len(x.tags)} for x in row] for row in nested]
    assert decode(encode(items), list[int]) == items
    assert decode(encode(items), tuple[int, ...]) == tuple(items)
    assert decode(encode([items, items]), list[list[int]]) == [items, items]
    assert decode(encode(plain), list[list[Leaf]]) == nested


@pytest.mark.parametrize("count", [1, 33, 257, 3000])
def test_fault_in_a_list_releases_what_was_read(count):
    items: list[object] = [b"x%d" % i for i in range(count)]
    items[count - 1] = 5
    with pytest.raises(ValidationError, match=rf"expected str, got integer at \$\[{count - 1}\]"):
        decode(encode(items), list[str])
    # The decoder is fit to go on after the fault.
    assert Decoder(list[str]).decode(encode(items[:-1])) == [b.decode() for b in items[:-1]]


Wide = dataclasses.make_dataclass(
    "Wide",
    [(f"f{i:02}", int) for i in range(0, 20, 2)]
    + [
        (f"f{i:02}", Annotated[str, Key(f"k{i:02}")], dataclasses.field(default="-"))
        for i in range(1, 20, 2)
    ],
)


def test_record_of_many_fields_is_built_as_init_builds_it():
    values = {f"f{i:02}": i for i in range(0, 20, 2)}
    raw = {f"f{i:02}".encode(): i for i in range(0, 20, 2)} | {b"k05": b"five"}
    got = decode(encode(raw), Wide)
    made = Wide(**values, f05="five")
    assert got == made
    assert list(vars(got)) == list(vars(made))
    assert plain_decode(encode(raw))[b"k05"] == b"five"


@pytest.mark.parametrize("absent", ["f00", "f10", "f18"])
def test_record_of_many_fields_names_its_missing_key(absent):
    raw = {f"f{i:02}".encode(): i for i in range(0, 20, 2) if f"f{i:02}" != absent}
    with pytest.raises(ValidationError, match=f"^missing key '{absent}' at \\$ "):
        decode(encode(raw), Wide)
