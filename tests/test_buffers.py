import array
import ctypes
import mmap
import pickle
import sys

import pytest

from velka.bencode import DecodeError, decode, decode_all

np = pytest.importorskip("numpy")
testbuffer = pytest.importorskip("_testbuffer")

MISMATCH = "Buffer dtype mismatch, expected 'const unsigned char' but got "
# Byte-order marks of the host's order and of the other one; only the other
# is refused.
if sys.byteorder == "little":
    HOST_ORDERS, FOREIGN_ORDERS = ("<",), (">", "!")
    FOREIGN_ORDER_MESSAGE = "Big-endian buffer not supported on little-endian compiler"
else:
    HOST_ORDERS, FOREIGN_ORDERS = (">", "!"), ("<",)
    FOREIGN_ORDER_MESSAGE = "Little-endian buffer not supported on big-endian compiler"
HOST_FORMATS = [order + "B" for order in HOST_ORDERS]
PAYLOAD = b"d3:cowl1:ai-12ee4:spami42e1:zi-123ee"
VALUE = {b"cow": [b"a", -12], b"spam": 42, b"z": -123}


def _mmap(data):
    mapped = mmap.mmap(-1, len(data))
    mapped.write(data)
    return mapped


def _ndarray(fmt, data=PAYLOAD):
    return testbuffer.ndarray(list(data), shape=[len(data)], format=fmt)


def _spread(data, filler=b"x"):
    """Every byte of data followed by a filler byte."""
    return bytes(x for pair in zip(data, filler * len(data), strict=True) for x in pair)


def _array(typecode, data):
    result = array.array(typecode)
    result.frombytes(data)
    return result


class BytesSubclass(bytes):
    pass


ACCEPTED = {
    "bytes": lambda d: d,
    "bytes subclass": BytesSubclass,
    "bytearray": bytearray,
    "array B": lambda d: array.array("B", d),
    "mmap": _mmap,
    "memoryview": memoryview,
    "read-only memoryview": lambda d: memoryview(bytearray(d)).toreadonly(),
    "memoryview 2-D": lambda d: memoryview(d).cast("B", (3, len(d) // 3)),
    "memoryview of array H": lambda d: memoryview(_array("H", d)),
    "memoryview of 2-D numpy": lambda d: memoryview(np.frombuffer(d, "u1").reshape(3, -1)),
    "ctypes char array": lambda d: (ctypes.c_char * len(d)).from_buffer_copy(d),
    "numpy u1": lambda d: np.frombuffer(d, "u1"),
    "numpy bool": lambda d: np.frombuffer(d, "u1").view("?"),
    "numpy strided": lambda d: np.frombuffer(_spread(d), "u1")[::2],
    "numpy reversed": lambda d: np.frombuffer(d[::-1], "u1")[::-1],
    "numpy reversed strided": lambda d: np.frombuffer(_spread(d[::-1]), "u1")[::2][::-1],
    "pickle buffer": lambda d: pickle.PickleBuffer(bytearray(d)),
    **{f"format {f!r}": lambda d, f=f: _ndarray(f, d) for f in [*HOST_FORMATS, "=B", "1B", " B"]},
    "format 'c'": lambda d: testbuffer.ndarray([bytes([b]) for b in d], shape=[len(d)], format="c"),
}


@pytest.mark.parametrize("make", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted(make):
    assert decode_all(make(PAYLOAD * 2)) == [VALUE, VALUE]
    data = make(PAYLOAD)
    if not isinstance(data, np.ndarray):  # an array's truth test is ambiguous
        assert decode(data) == VALUE


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (_array("b", b"i1e"), MISMATCH + "'signed char'"),
        (_array("H", b"i1"), MISMATCH + "'unsigned short'"),
        (np.zeros((2, 2), "u1"), "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (np.zeros((), "u1"), "Buffer has wrong number of dimensions (expected 1, got 0)"),
        (
            pickle.PickleBuffer(memoryview(b"i1ei2e").cast("B", (2, 3))),
            "Buffer has wrong number of dimensions (expected 1, got 2)",
        ),
        (np.zeros(3, FOREIGN_ORDERS[0] + "u2"), FOREIGN_ORDER_MESSAGE),
        *((_ndarray(order + "B"), FOREIGN_ORDER_MESSAGE) for order in FOREIGN_ORDERS),
        (np.zeros(3, "S1"), MISMATCH + "a string"),
        (np.zeros(3, [("a", "u1")]), MISMATCH + "a struct"),
        (np.zeros(3, "c8"), MISMATCH + "'complex float'"),
        (np.zeros(3, "f2"), "Does not understand character buffer dtype format string ('e')"),
        (_ndarray("P", [0]), MISMATCH + "a pointer"),
    ],
    ids=repr,
)
def test_refused_by_layout(data, message):
    # An array's truth test is ambiguous, so decode refuses it before that.
    functions = [decode_all] if isinstance(data, np.ndarray) else [decode, decode_all]
    for function in functions:
        with pytest.raises(ValueError) as caught:
            function(data)
        assert str(caught.value) == message
        assert not isinstance(caught.value, DecodeError)


@pytest.mark.parametrize("fmt", ["2B", "BB", "xB", "Bx", "3s"], ids=repr)
def test_refused_item_formats(fmt):
    items = {"2B": [(1, 2)], "BB": [(1, 2)], "xB": [1], "Bx": [1], "3s": [b"abc"]}[fmt]
    with pytest.raises(ValueError, match=r"^Buffer dtype mismatch"):
        decode_all(testbuffer.ndarray(items, shape=[1], format=fmt))


def _released():
    view = memoryview(b"i1e")
    view.release()
    return view


@pytest.mark.parametrize(
    ("data", "error", "message"),
    [
        (memoryview(b"li1ee")[::2], TypeError, "casts are restricted to C-contiguous views"),
        (memoryview(np.zeros((2, 0), "u1")), TypeError, "cannot cast view with zeros in shape"),
        (_released(), ValueError, "operation forbidden on released memoryview object"),
    ],
)
def test_memoryview_refused(data, error, message):
    for function in (decode, decode_all):
        with pytest.raises(error, match=message):
            function(data)


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b"i1ex", "unexpected byte 'x' at position 3"),
        (b"i1e3:ab", "string of length 3 extends past end of data (position 5, buffer length 7)"),
        (b"d2:bbi1e2:aai2ee", "dict keys out of order: b'bb' >= b'aa'"),
        (b"i12", "expected 'e' not found after position 1"),
        (b"12", "expected ':' not found after position 0"),
        (b"i1__2e", "invalid integer: b'1__2'"),
        (b"1 2:ab", "invalid string length: b'1 2'"),
    ],
)
@pytest.mark.parametrize("direction", [1, -1])
def test_strided_positions_count_items(data, message, direction):
    strided = np.frombuffer(_spread(data[::direction], b"e"), "u1")[::2][::direction]
    assert bytes(strided) == data
    with pytest.raises(DecodeError) as caught:
        decode_all(strided)
    assert str(caught.value) == message


def test_strided_keys():
    keys = [b"k%02d" % i * (i % 5 + 1) for i in range(40)]
    keys.sort()
    data = b"d" + b"".join(b"%d:%si%de" % (len(k), k, i) for i, k in enumerate(keys)) + b"e"
    strided = np.frombuffer(_spread(data, b"\0"), "u1")[::2]
    assert decode_all(strided) == [{k: i for i, k in enumerate(keys)}]


class Exporter:
    """Counts its buffer exports and releases."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.exports = self.releases = 0

    def __buffer__(self, flags):
        self.exports += 1
        return memoryview(self.data)

    def __release_buffer__(self, view):
        self.releases += 1
        view.release()


INPUTS = [b"", b"i1e", b"li1ee", b"li1e", b"i1ei2e", b"d1:bi1e1:ai2ee", b"9223372036854775808:"]


@pytest.mark.parametrize("data", INPUTS)
@pytest.mark.parametrize("function", [decode, decode_all])
def test_no_export_left_behind(function, data):
    for wrap in (lambda b: b, memoryview):
        target = bytearray(data)
        argument = wrap(target)
        try:
            function(argument)
        except (DecodeError, OverflowError):
            pass
        if isinstance(argument, memoryview):
            argument.release()  # refused while a cast view of it is alive
        target.append(0)  # refused while exported


@pytest.mark.skipif(
    sys.version_info < (3, 12), reason="classes written in Python export buffers from 3.12 on"
)
@pytest.mark.parametrize("data", INPUTS)
@pytest.mark.parametrize("function", [decode, decode_all])
def test_no_export_of_a_python_class_left_behind(function, data):
    exporter = Exporter(data)
    try:
        function(exporter)
    except (DecodeError, OverflowError):
        pass
    assert exporter.exports == exporter.releases <= 1


@pytest.mark.parametrize("function", [decode, decode_all])
def test_no_export_left_after_refusal(function):
    refused = _array("b", b"i1e")
    with pytest.raises(ValueError):
        function(refused)
    refused.append(0)
