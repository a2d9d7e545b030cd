import array
import hashlib
import inspect
import pickle
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velka.bencode import DecodeError, decode, encode
from velka.raw import IncompleteError, decode_prefix, span

# Well-formed values, among them every spelling that only int() accepts.
WELL_FORMED = [
    b"i0e",
    b"i-42e",
    b"i+5e",
    b"i 1_000 e",
    b"i-1_0e",
    b"i" + b"9" * 25 + b"e",
    b"0:",
    b"4:spam",
    b"1_0:klmnopqrst",
    b"3 :abc",
    b"le",
    b"de",
    b"l4:spami42eli-1eee",
    b"d3:cowd1:ai1ee4:spaml1:a1:bee",
]

# Input that no more data could make well-formed, with decode's message.
MALFORMED = [
    (b"i-0", "expected 'e' not found after position 1"),
    (b"i1x2", "expected 'e' not found after position 1"),
    (b"i1 2", "expected 'e' not found after position 1"),
    (b"i01", "expected 'e' not found after position 1"),
    (b"00", "expected ':' not found after position 0"),
    (b"1x", "expected ':' not found after position 0"),
    (b"99999999999999999999", "expected ':' not found after position 0"),
    (b"i-0e", "negative zero is not allowed"),
    (b"x", "unexpected byte 'x' at position 0"),
    (b"li1ex", "unexpected byte 'x' at position 4"),
    (b"d1:bi1e1:a", "dict keys out of order: b'b' >= b'a'"),
    (b"di1e", "dict key must be a byte string, got 'i' at position 1"),
    # A key cut off where no completion of it could follow the key before it.
    (b"d1:bi1e2:a", "string of length 2 extends past end of data (position 9, buffer length 10)"),
    (b"d2:\xff\xffi1e1 ", "expected ':' not found after position 8"),
    (b"d1:bi1e0", "expected ':' not found after position 7"),
]

# Keys cut off where some completion of them could still follow the key before.
KEYS_THAT_CAN_FOLLOW = [b"d1:bi1e2:b", b"d1:ai1e1:", b"d2:\xff\xffi1e1", b"d2:abi1e3:ab"]


def outcome(function, *arguments):
    """What a call gives: ("ok", result) or (exception class, message)."""
    try:
        return "ok", function(*arguments)
    except (DecodeError, OverflowError, RecursionError) as error:
        return type(error), str(error)


def value_at(value, path):
    for step in path:
        value = value[step]
    return value


# --- decode_prefix ----------------------------------------------------------------------


@pytest.mark.parametrize("data", WELL_FORMED)
@pytest.mark.parametrize("tail", [b"", b"e", b"i1e", b"\xff raw piece"])
def test_decode_prefix_leaves_what_follows(data, tail):
    assert decode_prefix(data + tail) == (decode(data), len(data))
    head = b"\x00garbage"
    assert decode_prefix(head + data + tail, len(head)) == (decode(data), len(head) + len(data))


def test_decode_prefix_walks_a_stream():
    stream = b"d1:ai1ee" + b"l4:spame" + b"i-3e"
    values, pos = [], 0
    while pos < len(stream):
        value, pos = decode_prefix(stream, pos)
        values.append(value)
    assert values == [{b"a": 1}, [b"spam"], -3]


def test_decode_prefix_positions_count_from_the_buffer_start():
    with pytest.raises(DecodeError, match=r"^unexpected byte 'x' at position 10$"):
        decode_prefix(b"i1ei2eli3ex", 6)
    with pytest.raises(IncompleteError, match=r"^unexpected end of data at position 3$"):
        decode_prefix(b"i1e", 3)


@pytest.mark.parametrize(
    ("start", "error", "message"),
    [
        (-1, ValueError, "start must not be negative, got -1"),
        (4, ValueError, r"start 4 is past the end of the data \(length 3\)"),
        (2**70, ValueError, "is past the end of the data"),
        ("1", TypeError, "argument 'start' must be int, not str"),
        (1.0, TypeError, "argument 'start' must be int, not float"),
    ],
)
def test_decode_prefix_refuses_a_bad_start(start, error, message):
    with pytest.raises(error, match=message):
        decode_prefix(b"i1e", start)


def test_argument_binding():
    assert decode_prefix(data=b"xi1e", start=1) == (1, 4)
    assert str(inspect.signature(decode_prefix)) == "(data, start=0)"
    assert str(inspect.signature(span)) == "(data, /, *path)"
    with pytest.raises(TypeError, match="missing required argument 'data'"):
        decode_prefix()
    with pytest.raises(TypeError, match="unexpected keyword argument 'end'"):
        decode_prefix(b"i1e", end=1)
    with pytest.raises(TypeError, match="multiple values for argument 'data'"):
        decode_prefix(b"i1e", data=b"i1e")
    with pytest.raises(TypeError, match="takes from 1 to 2 positional arguments"):
        decode_prefix(b"i1e", 0, 0)
    with pytest.raises(TypeError, match="no keyword arguments"):
        span(data=b"i1e")
    with pytest.raises(TypeError, match="missing required argument 'data'"):
        span()


# --- IncompleteError --------------------------------------------------------------------


@pytest.mark.parametrize("data", WELL_FORMED)
@pytest.mark.parametrize("function", [decode_prefix, span])
def test_every_proper_prefix_is_incomplete(data, function):
    for cut in range(len(data)):
        _, message = outcome(decode, data[:cut] or None)
        with pytest.raises(IncompleteError) as caught:
            function(data[:cut])
        assert str(caught.value) == message


@pytest.mark.parametrize(("data", "message"), MALFORMED)
@pytest.mark.parametrize("function", [decode_prefix, span])
def test_other_faults_are_plain_decode_errors(data, message, function):
    with pytest.raises(DecodeError) as caught:
        function(data)
    assert type(caught.value) is DecodeError
    assert str(caught.value) == message
    assert outcome(decode, data) == (DecodeError, message)


@pytest.mark.parametrize("data", KEYS_THAT_CAN_FOLLOW)
def test_a_cut_key_that_can_still_follow_is_incomplete(data):
    for function in (decode_prefix, span):
        with pytest.raises(IncompleteError):
            function(data)


@pytest.mark.parametrize("data", [b"i12", b"l", b"4:ab", b"", None])
def test_velka_bencode_still_raises_decode_error(data):
    with pytest.raises(DecodeError) as caught:
        decode(data)
    assert type(caught.value) is DecodeError


def test_incomplete_error_is_a_decode_error():
    assert IncompleteError.__mro__[1] is DecodeError
    assert IncompleteError.__module__ == "velka.raw"


@pytest.mark.parametrize("function", [decode_prefix, span])
def test_empty_data(function):
    for data in (b"", None, bytearray(), memoryview(b"")):
        with pytest.raises(IncompleteError, match=r"^empty data$"):
            function(data)
    # A false value that is no data at all is refused as decode refuses it.
    with pytest.raises(DecodeError, match=r"^empty data$") as caught:
        function(0)
    assert type(caught.value) is DecodeError


def test_a_reader_waits_for_the_rest():
    message = encode({b"pieces": b"\x01" * 50, b"t": b"aa"})
    received, values = b"", []
    for at in range(0, len(message), 7):
        received += message[at : at + 7]
        try:
            value, end = decode_prefix(received)
        except IncompleteError:
            continue
        values.append(value)
        received = received[end:]
    assert values == [decode(message)] and received == b""


# --- span -------------------------------------------------------------------------------

NESTED = b"d4:infod5:filesld6:lengthi3e4:pathl1:aeed6:lengthi4e4:pathl1:beee4:name1:xe1:zi-1ee"


@pytest.mark.parametrize(
    "path",
    [
        (),
        (b"info",),
        (b"z",),
        (b"info", b"files"),
        (b"info", b"files", 0),
        (b"info", b"files", 1, b"path", 0),
        (b"info", b"files", -1),
        (b"info", b"files", -2, b"length"),
        (b"info", b"name"),
        (b"info", b"files", True),
    ],
)
def test_span_slices_the_value_at_the_path(path):
    start, end = span(NESTED, *path)
    assert decode(NESTED[start:end]) == value_at(decode(NESTED), path)


@pytest.mark.parametrize(
    ("path", "error", "message"),
    [
        ((b"nope",), KeyError, "b'nope'"),
        ((b"info", b"files", 2), IndexError, r"step 3: list index 2 out of range \(2 items\)"),
        ((b"info", b"files", -3), IndexError, "list index -3 out of range"),
        ((b"info", b"files", 2**70), IndexError, "out of range"),
        ((b"info", 0), TypeError, "step 2: a dict is indexed by bytes, not int"),
        ((b"info", b"files", b"x"), TypeError, "step 3: a list is indexed by int, not bytes"),
        ((b"z", 0), TypeError, "step 2: an int has no items"),
        ((b"info", b"name", 0), TypeError, "step 3: a byte string has no items"),
        (("info",), TypeError, "step 1: a dict is indexed by bytes, not str"),
    ],
)
def test_span_path_errors(path, error, message):
    with pytest.raises(error, match=message):
        span(NESTED, *path)


def test_span_checks_all_the_data_before_the_path():
    # The fault lies after the value that the path names: decode's error wins.
    with pytest.raises(DecodeError, match="keys out of order"):
        span(b"d1:ai1e1:ci2e1:bi3ee", b"a")
    with pytest.raises(DecodeError, match=r"^trailing data at position 3$"):
        span(b"i1ei2e")


def test_span_gives_the_bytes_as_they_stand():
    # A tolerated spelling does not survive re-encoding; the span keeps it.
    torrent = b"d8:announce3:url4:infod6:lengthi+5e4:name1:a12:piece lengthi 16384e6:pieces0:ee"
    start, end = span(torrent, b"info")
    info = torrent[start:end]
    assert info == b"d6:lengthi+5e4:name1:a12:piece lengthi 16384e6:pieces0:e"
    assert encode(decode(torrent)[b"info"]) != info
    assert hashlib.sha1(info).hexdigest() == hashlib.sha1(torrent[start:end]).hexdigest()


def _strided(data, step):
    """A view of data whose items lie `step` bytes apart (backwards for a negative step)."""
    np = pytest.importorskip("numpy")
    spread = bytes(x for byte in data for x in (byte, *b"x" * (abs(step) - 1)))
    view = np.frombuffer(spread if step > 0 else spread[::-1], "u1")
    # Wrapped, since an array's own truth test is ambiguous.
    return pickle.PickleBuffer(view[::step])


@pytest.mark.parametrize(
    "make",
    [
        bytes,
        bytearray,
        memoryview,
        lambda b: array.array("B", b),
        lambda b: _strided(b, 3),
        lambda b: _strided(b, -2),
    ],
    ids=["bytes", "bytearray", "memoryview", "array", "strided", "reversed strided"],
)
def test_every_buffer_kind(make):
    start, end = span(make(NESTED), b"info", b"files", -1)
    assert decode(NESTED[start:end]) == {b"length": 4, b"path": [b"b"]}
    assert decode_prefix(make(NESTED + b"tail")) == (decode(NESTED), len(NESTED))
    with pytest.raises(IncompleteError):
        span(make(NESTED[:-1]))
    with pytest.raises(DecodeError, match="keys out of order"):
        span(make(b"d1:bi1e1:ai2ee"))


@pytest.mark.parametrize("function", [decode_prefix, span])
def test_deep_nesting_fails_cleanly(function):
    with pytest.raises(RecursionError):
        function(b"l" * 1_000_000)


def test_span_holds_nothing_that_grows_with_the_input():
    def peak(data):
        tracemalloc.start()
        try:
            span(data, b"info", b"files", -1)
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    def torrent(count):
        files = [{b"length": n, b"path": [b"d", b"f%d" % n]} for n in range(count)]
        return encode({b"info": {b"files": files, b"pieces": b"\x00" * 20 * count}})

    assert peak(torrent(20_000)) < 2_000
    assert peak(torrent(20_000)) <= peak(torrent(20)) + 200


# --- properties -------------------------------------------------------------------------

values = st.recursive(
    st.integers() | st.binary(max_size=12),
    lambda children: (
        st.lists(children, max_size=4)
        | st.dictionaries(st.binary(max_size=6), children, max_size=4)
    ),
    max_leaves=12,
)


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=40) | st.lists(st.sampled_from(list(b"ild0123:e-+_ 9x")), max_size=30))
def test_span_and_decode_prefix_agree_with_decode(data):
    data = bytes(data)
    expected = outcome(decode, data)
    got = outcome(span, data)
    if expected[0] == "ok":
        assert got == ("ok", (0, len(data)))
        assert outcome(decode_prefix, data) == ("ok", (expected[1], len(data)))
    else:
        # The same message; IncompleteError only where the data ends too soon.
        assert issubclass(got[0], expected[0]) and got[1] == expected[1]
        prefix = outcome(decode_prefix, data)
        if not expected[1].startswith("trailing data"):
            assert prefix == got


@settings(max_examples=200, deadline=None)
@given(values, st.data())
def test_span_of_every_path(value, draw):
    data = encode(value)
    path, node = [], value
    while isinstance(node, (list, dict)) and node and draw.draw(st.booleans()):
        if isinstance(node, dict):
            step = draw.draw(st.sampled_from(sorted(node)))
        else:
            step = draw.draw(st.integers(-len(node), len(node) - 1))
        path.append(step)
        node = node[step]
    start, end = span(data, *path)
    assert decode(data[start:end]) == node
    assert decode_prefix(data, start) == (node, end)


@settings(max_examples=100, deadline=None)
@given(values)
def test_proper_prefixes_of_encoded_values_are_incomplete(value):
    data = encode(value)
    for cut in range(len(data)):
        with pytest.raises(IncompleteError):
            span(data[:cut])
