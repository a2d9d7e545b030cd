import array
import contextlib
import hashlib
import inspect
import pickle
import re
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


@contextlib.contextmanager
def raises_exactly(cls, match=None):
    """pytest.raises, but a subclass does not pass: IncompleteError is a
    DecodeError, and telling the two apart is the point."""
    with pytest.raises(cls, match=match) as caught:
        yield caught
    assert caught.type is cls, caught.value


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
    with raises_exactly(DecodeError, match=r"^unexpected byte 'x' at position 10$"):
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
    with raises_exactly(DecodeError) as caught:
        function(data)
    assert str(caught.value) == message
    assert outcome(decode, data) == (DecodeError, message)


@pytest.mark.parametrize("data", KEYS_THAT_CAN_FOLLOW)
def test_a_cut_key_that_can_still_follow_is_incomplete(data):
    for function in (decode_prefix, span):
        with pytest.raises(IncompleteError):
            function(data)


@pytest.mark.parametrize("data", [b"i12", b"l", b"4:ab", b"", None])
def test_velka_bencode_still_raises_decode_error(data):
    with raises_exactly(DecodeError):
        decode(data)


def test_incomplete_error_is_a_decode_error():
    assert IncompleteError.__mro__[1] is DecodeError
    assert IncompleteError.__module__ == "velka.raw"


@pytest.mark.parametrize("function", [decode_prefix, span])
def test_empty_data(function):
    for data in (b"", None, bytearray(), memoryview(b"")):
        with pytest.raises(IncompleteError, match=r"^empty data$"):
            function(data)
    # A false value that is no data at all is refused as decode refuses it.
    with raises_exactly(DecodeError, match=r"^empty data$"):
        function(0)


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
    with raises_exactly(DecodeError, match="keys out of order"):
        span(b"d1:ai1e1:ci2e1:bi3ee", b"a")
    with raises_exactly(DecodeError, match=r"^trailing data at position 3$"):
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
    with raises_exactly(DecodeError, match="keys out of order"):
        span(make(b"d1:bi1e1:ai2ee"))
    # A cut key that can at best equal the one before it.
    with raises_exactly(DecodeError, match="extends past end of data"):
        span(make(b"d2:a\xffi1e2:a"))


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


# --- span: path steps match exactly -----------------------------------------------------


def _index(node, step):
    # Indexing the decoded value, except that only a dict takes bytes and only
    # a list an int, and a byte string has no items.
    if (isinstance(node, dict) and isinstance(step, bytes)) or (
        isinstance(node, list) and isinstance(step, int)
    ):
        return node[step]
    raise TypeError(step)


def check_span(data, path, make=bytes):
    """span(make(data), *path) against decode: the exception that indexing the
    decoded value raises, of that very class, or the span of exactly the bytes
    that encode gives for the value found (`data` is canonical)."""
    node = decode(data)
    try:
        for step in path:
            node = _index(node, step)
    except (KeyError, IndexError, TypeError) as error:
        with raises_exactly(type(error)):
            span(make(data), *path)
        return
    start, end = span(make(data), *path)
    assert data[start:end] == encode(node), path
    assert decode_prefix(data, start) == (node, end)


# Keys that are prefixes and extensions of each other, around the 8 and 16
# bytes that a word-wise compare takes at once.
LONG = b"abcdefghijklmnop"
KEYS = [b"", b"a", b"ab", b"abd", LONG[:7], LONG[:8], LONG[:9], LONG, LONG + b"q", b"b", b"\xff"]


def near_misses(key):
    yield from (key, key[:-1], key[1:], key + b"\x00", key + b"a", key + b"\xff")
    for at in sorted({0, len(key) // 2, len(key) - 1} & set(range(len(key)))):
        for change in (1, -1):
            yield key[:at] + bytes([(key[at] + change) % 256]) + key[at + 1 :]


PROBES = sorted({probe for key in KEYS for probe in near_misses(key)})


def keyed(keys):
    """A dict of `keys`, each value a list to go on into."""
    return {key: [n, b"v%d" % n] for n, key in enumerate(keys)}


# The dict under test, placed at several depths; each placement has a path
# that the one-pass search follows, and one with a negative index, which
# only the second walk follows.
PLACEMENTS = {
    "top": (lambda d: d, [()]),
    "list": (lambda d: [0, d, b"x"], [(1,), (-2,)]),
    "deep": (
        lambda d: {b"a": 1, b"x": [{b"y": d}], b"z": [d]},
        [(b"x", 0, b"y"), (b"x", -1, b"y")],
    ),
}


KEY_SETS = {
    "all": KEYS,
    **{f"only {key!r}": [key] for key in KEYS},
    **{f"all but {key!r}": [k for k in KEYS if k != key] for key in KEYS},
}


@pytest.mark.parametrize("placement", PLACEMENTS)
@pytest.mark.parametrize("keys", KEY_SETS.values(), ids=list(KEY_SETS))
def test_span_matches_keys_exactly(placement, keys):
    wrap, prefixes = PLACEMENTS[placement]
    data = encode(wrap(keyed(keys)))
    for prefix in prefixes:
        for probe in PROBES:
            for tail in ((), (-1,), (0,)):
                check_span(data, (*prefix, probe, *tail))


@pytest.mark.parametrize("make", [bytes, lambda b: _strided(b, -2)], ids=["bytes", "strided"])
def test_span_matches_keys_exactly_in_any_buffer(make):
    data = encode({b"x": [keyed(KEYS)]})
    for probe in PROBES:
        check_span(data, (b"x", 0, probe, 1), make)
        check_span(data, (b"x", -1, probe, 1), make)


@pytest.mark.parametrize("count", [0, 1, 2, 3])
@pytest.mark.parametrize("outer", [(), (0,), (-1,), (b"k", 1), (b"k", -1)])
def test_span_list_indexes_at_the_bounds(count, outer):
    items = [[n, b"x"] for n in range(count)]
    data = encode(items if not outer else [items] if len(outer) == 1 else {b"k": [0, items]})
    indexes = [
        *range(-count - 2, count + 2),
        True,
        False,
        2**31,
        2**63 - 1,
        -(2**63),
        2**64,
        -(2**70),
    ]
    for index in indexes:
        check_span(data, (*outer, index))
        check_span(data, (*outer, index, 1))


# --- what more data can complete --------------------------------------------------------

# Completions longer than this are judged by their bytes, not built.
LARGEST_BUILT = 4096


def _accepts(data):
    return outcome(decode, data)[0] == "ok"


def _length_of(text):
    """The string length that number text spells, where decode reads it as one; else None."""
    kind, result = outcome(decode, text + b":")
    if kind == "ok":
        return 0
    found = re.match(r"string of length (\d+) extends past end of data", result)
    return int(found[1]) if found else None


def completable(data):
    """Whether more data can make `data` one well-formed value. Walks it as
    the format reads it and, where it ends, adds the greatest completion (the
    rest of a key as 0xff, one more digit where number text takes one, "0:"
    for a value still due, an "e" per open container), which decode must then
    accept: a key that cannot follow the key before it that way cannot at all."""
    stack = []  # per open container: [is a dict, the key before, a value due]
    pos = 0

    def finish(added):
        closing = b"".join((b"0:" if due else b"") + b"e" for _, _, due in reversed(stack))
        assert _accepts(data + added + closing), (data, added + closing)
        return True

    while pos < len(data):
        if not stack and pos:
            return False  # more after a whole value
        top = stack[-1] if stack else None
        byte = data[pos : pos + 1]
        key_due = top is not None and top[0] and not top[2]
        if byte == b"e" and top is not None and not (top[0] and top[2]):
            stack.pop()
            pos += 1
            continue
        if key_due and not byte.isdigit():
            return False
        if top is not None and top[0] and top[2]:
            top[2] = False  # its value begins here
        if byte in (b"l", b"d"):
            stack.append([byte == b"d", None, False])
            pos += 1
        elif byte == b"i":
            end = data.find(b"e", pos)
            if end < 0:
                text = data[pos:]
                return any(_accepts(text + added) and finish(added) for added in (b"e", b"1e"))
            if not _accepts(data[pos : end + 1]):
                return False
            pos = end + 1
        elif byte.isdigit():
            before = top[1] if key_due else None
            colon = data.find(b":", pos)
            if colon < 0:
                text = data[pos:]
                digits = text if _length_of(text) is not None else text + b"1"
                if _length_of(digits) is None:
                    return False
                while before is not None and _length_of(digits) <= len(before):
                    if _length_of(digits + b"1") is None:
                        break
                    digits += b"1"
                length = _length_of(digits)
                if before is not None and b"\xff" * length <= before:
                    return False
                if key_due:
                    top[2] = True
                return length > LARGEST_BUILT or finish(
                    digits[len(text) :] + b":" + b"\xff" * length
                )
            length = _length_of(data[pos:colon])
            if length is None:
                return False
            available = data[colon + 1 : colon + 1 + length]
            missing = length - len(available)
            if before is not None and available + b"\xff" * min(missing, LARGEST_BUILT) <= before:
                return False
            if key_due:
                top[1:] = [available, True]
            if missing:
                return missing > LARGEST_BUILT or finish(b"\xff" * missing)
            pos = colon + 1 + length
        else:
            return False
    # Empty data still lacks its value; a whole value lacks nothing.
    return not data or (bool(stack) and finish(b""))


def test_the_completion_oracle():
    cases = {
        b"": True,
        b"i": True,
        b"i-": True,
        b"i-0": False,
        b"i 1_": True,
        b"i1e": False,
        b"3 ": True,
        b"0": True,
        b"1x": False,
        b"d": True,
        b"di": False,
        b"d0": True,
        b"d1:ai1e": True,
        b"d1:ai1e1": True,
        b"d1:ai1e0": False,
        b"d1:b1:xe": False,
        b"d2:a\xff0:1:a": False,
        b"d2:a\xff0:2:a": False,
        b"d2:a\xff0:3:a": True,
        b"d1:a0:1": True,
        b"d1:ai1e1:": True,
        b"i1ei": False,
        b"l1:ae": False,
    }
    assert {data: completable(data) for data in cases} == cases


def check_cut_keys(outer, before, key):
    """A dict whose second key is cut at every byte: IncompleteError (of that
    very class) exactly when some completion of it sorts after the first key,
    a plain DecodeError otherwise, with decode's message either way."""
    head = outer + b"d%d:%si1e" % (len(before), before)
    tail = b"%d:%s" % (len(key), key)
    digits = len(tail) - len(key) - 1
    for cut in range(len(tail) + 1):
        data = head + tail[:cut]
        if cut <= digits:
            # Any length can still come, unless the text so far allows only 0.
            can_follow = tail[:cut] != b"0"
        else:
            available = key[: cut - digits - 1]
            can_follow = available + b"\xff" * (len(key) - len(available)) > before
        assert completable(data) == can_follow, data
        _, message = outcome(decode, data)
        expected = (IncompleteError if can_follow else DecodeError, message)
        assert outcome(span, data) == expected, data
        assert outcome(decode_prefix, data) == expected, data


OUTERS = [b"", b"l", b"d1:k", b"ld0:li0e"]


@pytest.mark.parametrize(
    ("before", "key"),
    [
        (b"a", b"a"),
        (b"a\xff", b"a\xff"),
        (b"a\xff", b"a"),
        (b"a", b"a\xff"),
        (b"ab", b"a"),
        (b"b", b"a\xff\xff"),
        (b"", b""),
        (b"", b"\x00"),
        *(
            (LONG[:n] + b"\xff", LONG[:n] + end)
            for n in (7, 8, 15, 16)
            for end in (b"\xff", b"\xfe", b"")
        ),
        *(((LONG + b"q")[:n], LONG[: n - 1] + b"\xff") for n in (8, 9, 16, 17)),
    ],
)
def test_cut_keys_against_the_key_before(before, key):
    for outer in OUTERS:
        check_cut_keys(outer, before, key)


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
        # The same message and class, but IncompleteError exactly where more
        # data can still complete the value.
        if expected[0] is DecodeError and completable(data):
            expected = (IncompleteError, expected[1])
        assert got == expected
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
        assert completable(data[:cut])
        for function in (span, decode_prefix):
            with raises_exactly(IncompleteError):
                function(data[:cut])


# Keys that share long runs and differ near the end of a word.
near_keys = st.builds(
    bytes.__add__,
    st.sampled_from([b"", LONG[:7], LONG[:8], LONG[:15], LONG]),
    st.lists(st.sampled_from(b"\x00a\xfe\xff"), max_size=3).map(bytes),
)


@settings(max_examples=150, deadline=None)
@given(near_keys, st.data())
def test_cut_keys_near_the_key_before(before, draw):
    # The same key, a prefix or an extension of it, or one that departs from it anywhere.
    tails = st.lists(st.sampled_from(b"\x00a\xfe\xff"), max_size=3).map(bytes)
    key = draw.draw(
        st.just(before)
        | st.builds(lambda n, tail: before[:n] + tail, st.integers(0, len(before)), tails)
    )
    check_cut_keys(draw.draw(st.sampled_from(OUTERS)), before, key)


def _mutated(key, draw):
    """A key near `key`: cut, extended, or one byte changed."""
    choice = draw.draw(st.integers(0, 3 if key else 1))
    if choice == 0:
        return key + draw.draw(st.sampled_from([b"\x00", b"a", b"\xff"]))
    if choice == 1:
        return key[: draw.draw(st.integers(0, max(len(key) - 1, 0)))]
    at = draw.draw(st.integers(0, len(key) - 1))
    return key[:at] + bytes([(key[at] + (1 if choice == 2 else -1)) % 256]) + key[at + 1 :]


@settings(max_examples=200, deadline=None)
@given(
    st.recursive(
        st.integers(-2, 2) | near_keys,
        lambda children: (
            st.lists(children, max_size=3) | st.dictionaries(near_keys, children, max_size=4)
        ),
        max_leaves=10,
    ),
    st.data(),
)
def test_span_of_paths_that_lead_anywhere(value, draw):
    """Steps that exist, near misses of them and steps of the wrong kind,
    at every depth: span raises what indexing the decoded value raises."""
    path, node = [], value
    for _ in range(draw.draw(st.integers(0, 4))):
        if isinstance(node, dict) and node and draw.draw(st.booleans()):
            key = draw.draw(st.sampled_from(sorted(node)))
            step = key if draw.draw(st.booleans()) else _mutated(key, draw)
        elif isinstance(node, list) and draw.draw(st.booleans()):
            step = draw.draw(st.integers(-len(node) - 2, len(node) + 1))
        else:
            step = draw.draw(near_keys | st.integers(-3, 3))
        path.append(step)
        try:
            node = _index(node, step)
        except (KeyError, IndexError, TypeError):
            node = None
    check_span(encode(value), tuple(path))
