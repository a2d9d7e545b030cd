"""Answers that must not depend on the CPU: byte order, word size, compiler.

This module is also the short check run on every interpreter of every CPU the
wheels are built for (scripts/test-all.sh), so it covers a little of each
path: numbers and strings read and written word-wise, key order, the files
the tests ship, exact spans, and deep input.
"""

import hashlib
import sys
from pathlib import Path

import pytest

from velka.bencode import decode, decode_all, encode
from velka.raw import decode_prefix, span

DATA = Path(__file__).parent / "data"
# The v1 info-hash of tests/data/multi-file.torrent: the SHA-1 of the bytes
# between "4:info" and the closing "e" of the file (info is its last key).
MULTI_FILE_INFO_HASH = "c49c0efb969a7f71c6114227039c65eb05d8c3ca"


@pytest.mark.parametrize(
    ("data", "value"),
    [
        (b"i1234567890e", 1234567890),
        (b"i9223372036854775807e", 9223372036854775807),
        (b"i-9223372036854775808e", -9223372036854775808),
        (b"i18446744073709551615e", 18446744073709551615),
        (b"i4294967296e", 4294967296),
        (b"i2147483648e", 2147483648),
        (b"d3:cowi1e4:spaml1:ai2eee", {b"cow": 1, b"spam": [b"a", 2]}),
        (b"12:abcdefghijkl", b"abcdefghijkl"),
    ],
)
def test_known_answers(data, value):
    assert decode(data) == value
    assert encode(value) == data


@pytest.mark.parametrize(
    ("value", "data"),
    [
        (42, b"i42e"),
        (123456789, b"i123456789e"),
        (-1234567890123456789, b"i-1234567890123456789e"),
        ({b"spam": [b"a", 2], b"cow": 1}, b"d3:cowi1e4:spaml1:ai2eee"),
        ({b"abcdefgh2": 0, b"abcdefgh1": 0, b"b": 0, b"abcdefgh": 0},
         b"d8:abcdefghi0e9:abcdefgh1i0e9:abcdefgh2i0e1:bi0ee"),
    ],
)
def test_known_encodings(value, data):
    assert encode(value) == data


@pytest.mark.parametrize("path", sorted(DATA.iterdir()), ids=lambda path: path.name)
def test_files_round_trip(path):
    data = path.read_bytes()
    value = decode(data)
    assert encode(value) == data
    assert decode_all(data + data) == [value, value]
    assert decode_prefix(data + b"tail") == (value, len(data))
    assert span(data) == (0, len(data))


def test_info_hash_of_a_torrent():
    data = (DATA / "multi-file.torrent").read_bytes()
    start, end = span(data, b"info")
    assert hashlib.sha1(data[start:end]).hexdigest() == MULTI_FILE_INFO_HASH
    assert hashlib.sha1(encode(decode(data)[b"info"])).hexdigest() == MULTI_FILE_INFO_HASH


@pytest.mark.parametrize("make", ["decode(b'l' * 1_000_000)", "encode(nested)"])
def test_deep_input_raises_recursion_error(run_python, make):
    result = run_python(
        f"""
        from velka.bencode import decode, encode
        nested = []
        for _ in range(1_000_000):
            nested = [nested]
        try:
            {make}
        except RecursionError:
            print("RecursionError")
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout == "RecursionError\n"


def test_positions_are_the_platforms_size():
    # Lengths past the platform's Py_ssize_t are the interpreter's
    # OverflowError; one just inside it is data that is not there.
    with pytest.raises(OverflowError):
        decode(b"%d:x" % (sys.maxsize + 1))
    with pytest.raises(Exception, match="extends past end of data"):
        decode(b"%d:x" % sys.maxsize)
