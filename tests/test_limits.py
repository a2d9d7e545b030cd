"""Limits, threads and state: large and truncated input, concurrent callers,
buffer exports and the module namespace after failing calls.

Set VELKA_SLOW_TESTS=1 to also run the slow ones (a 256 MiB byte string).
"""

import os
import sys
import threading
import tracemalloc
from collections import OrderedDict
from pathlib import Path

import pytest

from velka import bencode
from velka.bencode import DecodeError, EncodeError, decode, decode_all, encode
from velka.raw import span

TORRENT = (Path(__file__).parent / "data" / "multi-file.torrent").read_bytes()

slow = pytest.mark.skipif(
    not os.environ.get("VELKA_SLOW_TESTS"), reason="slow; set VELKA_SLOW_TESTS=1"
)


def test_torrent_is_multi_file():
    info = decode(TORRENT)[b"info"]
    assert len(info[b"files"]) == 3
    assert encode(decode(TORRENT)) == TORRENT


@pytest.mark.parametrize("function", [decode, decode_all])
@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview])
def test_every_truncation_of_a_torrent_fails(function, wrap):
    for end in range(1, len(TORRENT)):
        with pytest.raises(DecodeError):
            function(wrap(TORRENT[:end]))


@pytest.mark.parametrize(
    "size", [16 << 20, pytest.param(256 << 20, marks=slow, id="256MiB")], ids=str
)
def test_large_byte_string_and_memory_returned(size):
    data = b"%d:" % size + b"\xab" * size
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        value = decode(data)
        assert len(value) == size and value[:1] == value[-1:] == b"\xab"
        assert encode(value) == data
        assert decode_all(memoryview(data)) == [value]
        del value
        assert tracemalloc.get_traced_memory()[0] - before < 1 << 20
    finally:
        tracemalloc.stop()


class Keys(dict):
    """Runs Python code mid-encode, so threads switch inside encode()."""

    def keys(self):
        return list(dict.keys(self))


class Items(list):
    def __iter__(self):
        yield from list.__iter__(self)


def outcome(function, argument):
    try:
        return "ok", function(argument)
    except (DecodeError, EncodeError, TypeError, ValueError, OverflowError) as error:
        return type(error).__name__, str(error)


def test_threads_agree_with_one_thread():
    krpc = b"d1:ad2:id20:" + bytes(range(20)) + b"e1:q4:ping1:t2:aa1:y1:qe"
    inputs = [TORRENT, bytearray(krpc), memoryview(TORRENT), b"d1:bi1e1:ai2ee", b"i-0e", None]
    values = [
        decode(TORRENT),
        Keys({b"b": Items([1, b"x", Keys({b"z": []})]), b"a": 2**70}),
        OrderedDict([(b"y", 1), (b"x", Items(range(50)))]),
        {b"k": 1.5},
        {"k": 1},
    ]
    calls = [(f, x) for x in inputs for f in (decode, decode_all)]
    calls += [(encode, v) for v in values]
    want = [outcome(f, x) for f, x in calls]
    barrier = threading.Barrier(8)
    failures = []

    def worker():
        barrier.wait()
        for _ in range(200):
            got = [outcome(f, x) for f, x in calls]
            if got != want:
                failures.append(got)
                return

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert not failures
    assert inputs[1] == bytearray(krpc)  # only read


FAILING_INPUTS = [
    b"i1ei2ex",
    b"d1:a",
    b"x",
    b"i42",
    b"ie",
    b"i-0e",
    b"i03e",
    b"i1.5e",
    b"li1e",
    b"d1:ai1e",
    b"di1ei2ee",
    b"d1:bi1e1:ai2ee",
    b"d01:ai1ee",
    b"3abc:xyz",
    b"3:ab",
    b"9223372036854775807:x",
    b"9223372036854775808:",
    b"l" * 1_000_000,
]


@pytest.mark.parametrize("function", [decode, decode_all])
@pytest.mark.parametrize("data", FAILING_INPUTS, ids=lambda data: repr(data[:24]))
def test_failing_calls_leave_no_export_and_no_change(function, data):
    argument = bytearray(data)
    namespace = dict(vars(bencode))
    with pytest.raises((DecodeError, OverflowError, RecursionError)):
        function(argument)
    assert argument == data
    argument.extend(b"xy")  # a held export would refuse the resize
    del argument[-2:]
    assert vars(bencode) == namespace


def test_namespace_unchanged_by_any_call():
    namespace = dict(vars(bencode))
    for call in (
        lambda: decode(TORRENT),
        lambda: decode_all(TORRENT * 2),
        lambda: encode(decode(TORRENT)),
        lambda: encode({b"a": [1, {b"b": b"c"}]}),
        lambda: encode(1.5),
        lambda: encode({1: 2}),
        lambda: encode(bytearray()),
        lambda: decode(b""),
        lambda: decode("i1e"),
        lambda: decode(),
        lambda: encode(value=1, other=2),
    ):
        try:
            call()
        except (DecodeError, EncodeError, TypeError):
            pass
    assert vars(bencode) == namespace
    assert all(vars(bencode)[name] is value for name, value in namespace.items())


# A thread's stack can be far smaller than the main thread's; deep values must
# still end in RecursionError there, which needs every nesting level of the
# walkers to take little stack and, before 3.14 (whose interpreter counts
# levels instead of measuring the stack), a measure of the stack of our own.
@pytest.mark.parametrize(
    "make",
    [
        "decode(b'd1:a' * 100_000)",
        "decode(b'l' * 100_000)",
        "decode_prefix(b'd1:a' * 100_000)",
        "span(b'l' * 100_000)",
        "encode(value := nest({}, lambda inner: {b'k': inner}))",
        "encode(value := nest([], lambda inner: [inner]))",
        "encode(value := nest({}, lambda inner: {b'k' * 8: inner, b'v': [1, b'x']}))",
    ],
)
def test_deep_values_on_a_small_thread_stack(run_python, make):
    result = run_python(
        f"""
        import threading
        from velka.bencode import decode, encode
        from velka.raw import decode_prefix, span

        def nest(leaf, wrap):
            value = leaf
            for _ in range(100_000):
                value = wrap(value)
            return value

        def take_apart(value):
            # Cut the links one level at a time: the interpreter's own release
            # of a deep value overflows a small stack on 3.13.
            while isinstance(value, (list, dict)) and value:
                if isinstance(value, list):
                    value = value.pop()
                else:
                    deeper = [k for k, v in value.items() if isinstance(v, (list, dict))]
                    value = value.pop(deeper[0]) if deeper else None

        outcome = []
        def work():
            value = None
            try:
                {make}
            except RecursionError:
                outcome.append("RecursionError")
            take_apart(value)

        threading.stack_size(256 << 10)
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        print(outcome)
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "['RecursionError']"


# How deep a value may be does not hang on how deep in Python the caller is:
# the codec's levels are counted apart from Python frames (by the interpreter
# from 3.12 on, by velka itself on 3.11, where the two shared one limit).
@pytest.mark.parametrize("function", ["decode", "encode", "span"])
def test_nesting_bound_does_not_hang_on_the_callers_depth(function):
    depth = 700
    data = b"l" * depth + b"e" * depth
    value = decode(data)
    call = {"decode": lambda: decode(data), "encode": lambda: encode(value)}.get(
        function, lambda: span(data)
    )

    def at_depth(frames):
        return call() if frames == 0 else at_depth(frames - 1)

    result = at_depth(sys.getrecursionlimit() - 100)
    assert result == {"decode": value, "encode": data}.get(function, (0, len(data)))
