"""What the fuzzing harness does with each input.

Every target takes the input as bytes, runs the codec on it and returns
normally for every acceptable outcome. Anything a target raises is a finding
(the harness prints it and aborts, so libFuzzer keeps the input).

The oracles are small reference implementations of the decoding and encoding
rules, written for clarity rather than speed: the codec must give the same
value, or the same exception type with the same message, for every input and
for every kind of buffer (bytes, bytearray, memoryview, strided views in both
directions).
"""

import collections
import enum
import queue
import sys
import threading

from velka.bencode import DecodeError, EncodeError, decode, decode_all, encode
from velka.raw import decode_prefix, span

# Exceptions that hostile input may legitimately raise.
ACCEPTED = (
    DecodeError,
    EncodeError,
    RecursionError,
    OverflowError,
    ValueError,
    TypeError,
    KeyError,
)


class Finding(AssertionError):
    pass


def check(condition, *details):
    if not condition:
        raise Finding(*details)


# ---------------------------------------------------------------------------
# Reference decoder


class _RefDecodeError(Exception):
    pass


def _find_byte(data, target, pos):
    found = data.find(target, pos) if pos < len(data) else -1
    if found < 0:
        raise _RefDecodeError(f"expected {chr(target)!r} not found after position {pos}")
    return found


def _convert(text, what):
    try:
        return int(text)
    except ValueError as error:
        raise _RefDecodeError(f"{what}: {text!r}") from error


def _ref_int(data, pos):
    end = _find_byte(data, 0x65, pos + 1)
    text = data[pos + 1 : end]
    if not text:
        raise _RefDecodeError("empty integer")
    if text == b"-0":
        raise _RefDecodeError("negative zero is not allowed")
    if len(text) >= 2 and text[0] == 0x30:
        raise _RefDecodeError(f"leading zero in integer: {text!r}")
    if len(text) >= 2 and text[:2] == b"-0":
        raise _RefDecodeError(f"leading zero in negative integer: {text!r}")
    return _convert(text, "invalid integer"), end + 1


def _ref_bytes(data, pos):
    colon = _find_byte(data, 0x3A, pos)
    text = data[pos:colon]
    if len(text) >= 2 and text[0] == 0x30:
        raise _RefDecodeError(f"leading zero in string length: {text!r}")
    length = _convert(text, "invalid string length")
    if length >= 2**63:
        raise OverflowError("length does not fit a Py_ssize_t")
    start = colon + 1
    if length > len(data) - start:
        raise _RefDecodeError(
            f"string of length {length} extends past end of data "
            f"(position {start}, buffer length {len(data)})"
        )
    return data[start : start + length], start + length


def _ref_any(data, pos):
    if pos >= len(data):
        raise _RefDecodeError(f"unexpected end of data at position {pos}")
    byte = data[pos]
    if byte == 0x69:
        return _ref_int(data, pos)
    if byte == 0x6C:
        items = []
        pos += 1
        while True:
            if pos >= len(data):
                raise _RefDecodeError("unterminated list")
            if data[pos] == 0x65:
                return items, pos + 1
            item, pos = _ref_any(data, pos)
            items.append(item)
    if byte == 0x64:
        result = {}
        previous = None
        pos += 1
        while True:
            if pos >= len(data):
                raise _RefDecodeError("unterminated dict")
            byte = data[pos]
            if byte == 0x65:
                return result, pos + 1
            if not 0x30 <= byte <= 0x39:
                raise _RefDecodeError(
                    f"dict key must be a byte string, got {chr(byte)!r} at position {pos}"
                )
            key, pos = _ref_bytes(data, pos)
            if previous is not None and key <= previous:
                raise _RefDecodeError(f"dict keys out of order: {previous!r} >= {key!r}")
            previous = key
            result[key], pos = _ref_any(data, pos)
    if 0x30 <= byte <= 0x39:
        return _ref_bytes(data, pos)
    raise _RefDecodeError(f"unexpected byte {chr(byte)!r} at position {pos}")


def ref_decode(data):
    if not data:
        raise _RefDecodeError("empty data")
    value, pos = _ref_any(data, 0)
    if pos != len(data):
        raise _RefDecodeError(f"trailing data at position {pos}")
    return value


def ref_decode_all(data):
    values = []
    pos = 0
    while pos < len(data):
        value, pos = _ref_any(data, pos)
        values.append(value)
    return values


# ---------------------------------------------------------------------------
# Reference encoder


def _ref_encode(value, parts):
    if isinstance(value, int):
        known = _HUGE_ENCODED.get(value) if type(value) is int else None
        if isinstance(known, Exception):
            # A new exception each time: raising the stored one again would
            # chain every earlier traceback, and their frames, onto it.
            raise type(known)(*known.args)
        parts.append(known or b"i" + int.__repr__(value).encode() + b"e")
    elif isinstance(value, bytes):
        if type(value) is not bytes:
            raise TypeError(f"Expected bytes, got {type(value).__name__}")
        parts.append(b"%d:%s" % (len(value), value))
    elif isinstance(value, list):
        parts.append(b"l")
        if type(value) is list:
            i = 0
            while i < len(value):
                _ref_encode(value[i], parts)
                i += 1
        else:
            for item in value:
                _ref_encode(item, parts)
        parts.append(b"e")
    elif isinstance(value, dict):
        parts.append(b"d")
        keys = list(value.keys())
        keys.sort()
        for key in keys:
            if not isinstance(key, bytes):
                raise EncodeError(f"dict key must be bytes, got {type(key).__name__}")
            if type(key) is not bytes:
                raise TypeError(f"Expected bytes, got {type(key).__name__}")
            parts.append(b"%d:%s" % (len(key), key))
            _ref_encode(value[key], parts)
        parts.append(b"e")
    else:
        raise EncodeError(f"unsupported type: {type(value).__name__}")


def ref_encode(value):
    parts = []
    _ref_encode(value, parts)
    return b"".join(parts)


# ---------------------------------------------------------------------------
# Outcomes


def outcome(function, argument):
    """('ok', value) or ('raise', type name, message, cause type name)."""
    try:
        return ("ok", function(argument))
    except _RefDecodeError as error:
        return ("raise", "DecodeError", str(error), type(error.__cause__).__name__)
    except ACCEPTED as error:
        kind = type(error).__name__
        if isinstance(error, (RecursionError, OverflowError)):
            return ("raise", kind)  # the texts are the host's, not ours
        return ("raise", kind, str(error), type(error.__cause__).__name__)


def same(got, want, *context):
    if "RecursionError" in (got[1], want[1]) and got[0] == want[0] == "raise":
        return  # the two depth limits need not agree
    if want[1:2] == ("RecursionError",) and got[0] == "ok":
        return  # the reference recursed in Python and gave up first
    check(got == want, *context, got, want)


class Strided:
    """A one-dimensional buffer whose items are not adjacent in memory."""

    def __init__(self, data, step):
        if step > 0:
            spread = bytearray(len(data) * step)
            spread[::step] = data
            self._view = memoryview(spread)[::step]
        else:
            self._view = memoryview(bytearray(data[::-1]))[::-1]

    def __buffer__(self, flags):
        return self._view


def _resizable(array):
    array.append(0)
    array.pop()


# Every kind of buffer the decoder reads besides bytes, by name; the strided
# ones need at least one byte.
_KINDS = (
    ("bytearray", bytearray),
    ("memoryview", memoryview),
    ("stride 3", lambda data: Strided(data, 3)),
    ("stride -1", lambda data: Strided(data, -1)),
)


def _variants(data):
    """The same input in every kind of buffer the decoder reads."""
    for name, make in _KINDS if data else _KINDS[:2]:
        yield name, make(data)


# ---------------------------------------------------------------------------
# Targets


def _agrees_with_reference(function, reference, data):
    """`function` gives what `reference` gives, for every kind of buffer, and
    leaves no export behind."""
    want = outcome(reference, data)
    got = outcome(function, data)
    same(got, want, function.__name__, data)
    for name, argument in _variants(data):
        same(outcome(function, argument), got, function.__name__, name, data)
        if isinstance(argument, bytearray):
            _resizable(argument)
    return got


def decode_target(data):
    _agrees_with_reference(decode, ref_decode, data)


def decode_all_target(data):
    got = _agrees_with_reference(decode_all, ref_decode_all, data)
    single = outcome(decode, data)
    if single[0] == "ok" and got[0] == "ok":
        check(got[1] == [single[1]], "decode_all disagrees with decode", data)


def roundtrip_target(data):
    try:
        value = decode(data)
    except ACCEPTED:
        return
    encoded = encode(value)
    check(encoded == ref_encode(value), "encode", value)
    again = decode(encoded)
    check(again == value, "round trip", data, encoded)
    check(encode(again) == encoded, "encoding is not canonical", data)
    check(decode_all(encoded + encoded) == [value, value], "decode_all", data)


# Strings that differ in one byte, side by side: a decoder that shares
# repeated short strings must never hand out one for the other.


def _near_misses(base, difference, start):
    """`base` with some of its bytes changed in turn, from `start` on (at
    most _MOST_NEAR_MISSES of them): by `difference`, or by one of the bits a
    word-wise comparison could lose (the lowest, the highest, the two top
    ones), taken in turn from a place the difference picks."""
    changes = (difference, 0x01, 0x40, 0x80, 0xC0)
    changing = bytearray(base)
    for step in range(min(len(base), _MOST_NEAR_MISSES)):
        position = (start + step) % len(base)
        change = changes[(position + difference) % len(changes)]
        changing[position] ^= change
        yield bytes(changing)
        changing[position] ^= change


# Near misses an input makes at most: each input then costs about the same,
# a few dozen objects (every one a sanitised allocation), and the fuzzer's
# time goes to many inputs rather than to a few long ones.
_MOST_NEAR_MISSES = 4

# The length fields of the bases (up to 34 bytes) and of their longer misses.
_LENGTHS = tuple(b"%d:" % length for length in range(36))


def _shared_strings_case(base, difference, start, pieces, want):
    """For one base: appends to `pieces` the bencoded items of three lists,
    and to `want` the values they decode to; returns how many near misses
    it made. Each near miss follows its base, so that it meets the base in
    the cache: as a list item ([base, miss, base, miss, ...]), as a key
    before the base as value ({miss: base}, ...), and as key and value
    beside the base ({base: miss, miss: miss} in key order, ...). Each
    piece is added once, as a reference to a bytes object that the document
    is joined from in C: every object made here is a sanitised allocation,
    and most inputs would spend more on making them than the decoder
    spends on the document."""
    items, keyed, paired = pieces
    item_values, keyed_values, paired_values = want
    prefix = _LENGTHS[len(base)]
    encoded_base = prefix + base
    longer = base + bytes((difference,))
    misses = [*_near_misses(base, difference, start), longer]
    # Near misses either side of the base in key order: {base: miss, miss:
    # miss} for those after it, then {miss: miss, base: miss} for those
    # before it.
    before, before_values = [], []
    for miss in misses:
        encoded = _LENGTHS[len(miss)] + miss
        items += (encoded_base, encoded)
        item_values += (base, miss)
        keyed += (b"d", encoded, encoded_base, b"e")
        keyed_values.append({miss: base})
        if base < miss:
            paired += (b"d", encoded_base, encoded, encoded, encoded, b"e")
            paired_values.append({base: miss, miss: miss})
        else:
            before += (b"d", encoded, encoded, encoded_base, encoded, b"e")
            before_values.append({miss: miss, base: miss})
    paired += before
    paired_values += before_values
    return len(misses)


def shared_strings_target(data):
    # The input is cut into bases (a length byte, then that many bytes, up to
    # 34 so that the longest shared strings and the shortest unshared ones
    # take part), a difference and a first position for each.
    pieces = ([b"ll"], [b"el"], [b"el"])  # opening the document's lists
    want = [[], [], []]
    reader = _Reader(data)
    made = 0
    while reader.more() and made < _MOST_NEAR_MISSES:
        base = reader.take(reader.byte() % 35)
        difference = reader.byte() or 0xFF
        made += _shared_strings_case(base, difference, reader.byte(), pieces, want)
    items, keyed, paired = pieces
    items += keyed
    items += paired
    items.append(b"ee")
    document = b"".join(items)
    check(outcome(decode, document) == ("ok", want), "shared strings", data)
    # One other kind of buffer an input, chosen by it: each reads the strings
    # through a path of its own into the same cache.
    name, make = _KINDS[len(data) % len(_KINDS)]
    check(outcome(decode, make(document)) == ("ok", want), "shared strings", name, data)


# Values for the encoder, built by a small stack machine driven by the input.

# Integers about as long as a decimal conversion may be (4,300 digits), either
# side of that bound, and the reference's answer for each, made once: their
# conversion would otherwise be most of an input's cost.
_HUGE = tuple(10 ** (4290 + extra) for extra in range(20))


def _encoded_int(value):
    try:
        return b"i" + int.__repr__(value).encode() + b"e"
    except ValueError as error:
        return error


_HUGE_ENCODED = {value: _encoded_int(value) for value in _HUGE}


class BBytes(bytes):
    pass


class BList(list):
    pass


class BDict(dict):
    pass


class Loud(int):
    def __repr__(self):
        return "loud"

    __str__ = __repr__


class Colour(enum.IntEnum):
    RED = 3


class Backwards(list):
    def __iter__(self):
        return list.__reversed__(self)


class Remapped(dict):
    """A dict whose own keys() and item lookup disagree with its storage."""

    def keys(self):
        return [k for k in dict.keys(self) if not (isinstance(k, bytes) and k.startswith(b"h"))]

    def __getitem__(self, key):
        value = dict.__getitem__(self, key)
        return [value] if isinstance(value, int) else value


class Vandal(list):
    """Clears the container it was told about while being walked."""

    victim = None

    def __iter__(self):
        victim = self.victim
        if victim is not None:
            victim.clear()
        return list.__iter__(self)


_ATOMS = (
    lambda r: r.byte() - 128,
    lambda r: int.from_bytes(r.take(r.byte() % 40), "little", signed=True),
    lambda r: r.take(r.byte() % 16),
    lambda r: bool(r.byte() & 1),
    lambda r: BBytes(r.take(2)),
    lambda r: Loud(r.byte()),
    lambda r: Colour.RED,
    lambda r: r.take(2).decode("latin-1"),
    lambda r: r.byte() / 7,
    lambda r: None,
    lambda r: tuple(r.take(2)),
    lambda r: bytearray(r.take(2)),
    lambda r: r.huge(),
)

_LISTS = (list, BList, Backwards, Vandal)
_DICTS = (dict, BDict, collections.OrderedDict, Remapped)


class _Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0
        # Converting a huge integer costs more than the rest of an input, so
        # a value gets one at most; and a value that contains itself is
        # walked until the stack runs out, converting what it holds at each
        # level, so it gets either a huge integer or cycles, not both.
        self.cyclic = False
        self.has_huge = False

    def more(self):
        return self.pos < len(self.data)

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def huge(self):
        if self.cyclic or self.has_huge:
            return 0
        self.has_huge = True
        return _HUGE[self.byte() % len(_HUGE)]

    def take(self, count):
        chunk = self.data[self.pos : self.pos + count]
        self.pos += count
        return chunk


# Operations a value is built from at most: each input then costs about the
# same, and the fuzzer's time goes to many inputs rather than to a few long
# ones.
_MOST_OPERATIONS = 32


def build_value(data):
    reader = _Reader(data)
    stack = []
    containers = []
    for _ in range(_MOST_OPERATIONS):
        if not reader.more():
            break
        op = reader.byte()
        kind = op % 8
        if kind < 3 or not stack:
            stack.append(_ATOMS[reader.byte() % len(_ATOMS)](reader))
        elif kind == 3:  # list of the top n
            n = min(op >> 3, len(stack))
            items, stack[len(stack) - n :] = stack[len(stack) - n :], []
            made = _LISTS[reader.byte() % len(_LISTS)](items)
            containers.append(made)
            stack.append(made)
        elif kind == 4:  # dict of the top n under keys from the input
            n = min(op >> 3, len(stack))
            values, stack[len(stack) - n :] = stack[len(stack) - n :], []
            made = _DICTS[reader.byte() % len(_DICTS)]()
            for value in values:
                selector = reader.byte()
                if selector < 200:
                    key = reader.take(selector % 4)
                elif selector < 230:
                    key = reader.take(1).decode("latin-1")
                elif selector < 245:
                    key = BBytes(reader.take(1))
                else:
                    key = selector
                made[key] = value
            containers.append(made)
            stack.append(made)
        elif op == 5 and containers and not reader.has_huge and reader.byte() % 8 == 0:
            # A container inside itself: rare, since its walk is the slowest.
            reader.cyclic = True
            target = containers[reader.byte() % len(containers)]
            if isinstance(target, list):
                target.append(target)
            else:
                target[b"self"] = target
        elif kind == 6 and containers:  # a walker that clears a container
            for item in reversed(stack):
                if isinstance(item, Vandal):
                    item.victim = containers[reader.byte() % len(containers)]
                    break
        elif kind == 7 and len(stack) > 1:
            stack[-1], stack[-2] = stack[-2], stack[-1]
    return (stack[-1] if stack else None), containers, reader.cyclic


class _SmallStack:
    """Runs outcome() for values that contain themselves, whose walk never
    ends, in one thread with a small stack and under a low recursion limit,
    so that both encoders give up after a few hundred levels instead of tens
    of thousands. The thread is made once: starting one costs more than the
    walk."""

    def __init__(self):
        self._requests = queue.SimpleQueue()
        self._results = queue.SimpleQueue()
        self._thread = None

    def _serve(self):
        while True:
            function, argument = self._requests.get()
            try:
                result = (True, outcome(function, argument))
            except BaseException as error:  # a finding: the caller raises it
                result = (False, error)
            self._results.put(result)
            del function, argument, result

    def outcome(self, function, argument):
        if self._thread is None:
            previous_stack = threading.stack_size(128 << 10)
            try:
                self._thread = threading.Thread(target=self._serve, daemon=True)
                self._thread.start()
            finally:
                threading.stack_size(previous_stack)
        previous_limit = sys.getrecursionlimit()
        sys.setrecursionlimit(200)
        try:
            self._requests.put((function, argument))
            finished, result = self._results.get()
        finally:
            sys.setrecursionlimit(previous_limit)
        if not finished:
            raise result
        return result


_on_small_stack = _SmallStack().outcome


def _release(containers):
    """Breaks the cycles an input's program may have made, so that every
    input returns its memory at once (libFuzzer runs a leak scan
    otherwise)."""
    for container in containers:
        if isinstance(container, Vandal):
            container.victim = None
        container.clear()


def _outcome_on(function, value, containers, cyclic):
    """The outcome of `function` on a value built from an input, which it
    then releases."""
    try:
        return (_on_small_stack if cyclic else outcome)(function, value)
    finally:
        _release(containers)


def encode_target(data):
    value, containers, cyclic = build_value(data)
    if cyclic or any(isinstance(item, Vandal) and item.victim is not None for item in containers):
        # Encoding may change this value, so the reference gets one of its
        # own. The codec goes first: on a value that contains itself it
        # nearly always runs out of stack, and then the reference has
        # nothing to add.
        got = _outcome_on(encode, value, containers, cyclic)
        if cyclic and got[1] == "RecursionError":
            return
        want = _outcome_on(ref_encode, *build_value(data))
        if cyclic and want[1] == "RecursionError":
            return  # on the small stack the two need not give up together
    else:
        try:
            want = outcome(ref_encode, value)
            got = outcome(encode, value)
        finally:
            _release(containers)
    same(got, want, "encode", data)
    if got[0] == "ok":
        decode(got[1])


# ---------------------------------------------------------------------------
# velka.raw: decode_prefix and span against decode, and a reference for
# incomplete input


# Completions longer than this are judged by their bytes, not built.
_LARGEST_BUILT = 1 << 16


def _accepts(data):
    try:
        decode(data)
    except ACCEPTED:
        return False
    return True


def _length_of(text):
    """The length that length text gives, when decode accepts it; else None."""
    try:
        decode(text + b":")
    except DecodeError as error:
        message = str(error)
        prefix = "string of length "
        if message.startswith(prefix) and "extends past end of data" in message:
            return int(message[len(prefix) :].split(" ", 1)[0])
        return None
    except OverflowError:
        return None
    return 0


def _most_key(available, length):
    """The largest key that `available` bytes can begin (its first bytes
    beyond them 0xff), long enough to compare with any key before it."""
    return available + b"\xff" * min(length - len(available), _LARGEST_BUILT)


class _Completion:
    """Whether more data can make a cut-off input one well-formed value.

    Walks the input as the format reads it; at its end, it writes the
    missing bytes (one more digit, 0xff for the rest of a key, zeros for the
    rest of a string, "0:" for a missing value, "e" for every open
    container) and has decode judge the whole. Completions too long to build
    are judged from their bytes.
    """

    def __init__(self, data):
        self.data = data
        self.stack = []  # [kind, key before, awaiting a value] per container
        self.pos = 0
        self.done = False  # the whole value has been read

    def closing(self):
        suffix = b""
        for _, _, awaiting in reversed(self.stack):
            suffix += (b"0:" if awaiting else b"") + b"e"
        return suffix

    def finish(self, added):
        candidate = self.data + added + self.closing()
        check(_accepts(candidate), "completion refused", self.data, candidate)
        return True

    def value_done(self):
        if not self.stack:
            self.done = True
        elif self.stack[-1][0] == "d":
            self.stack[-1][2] = False

    def run(self):
        data = self.data
        if not data:
            return True
        while True:
            if self.done:
                return False  # a whole value, maybe with more after it
            top = self.stack[-1] if self.stack else None
            if self.pos >= len(data):
                return self.finish(b"")
            byte = data[self.pos]
            if top is not None and top[0] == "d" and not top[2]:
                if byte == 0x65:
                    self.stack.pop()
                    self.pos += 1
                    self.value_done()
                    continue
                if not 0x30 <= byte <= 0x39:
                    return False
                result = self.string(top)
            elif top is not None and top[0] == "d" and byte == 0x65:
                return False  # a key without its value
            else:
                if top is not None and top[0] == "d":
                    top[2] = False  # its value begins here
                result = self.value(byte, top)
            if result is not None:
                return result

    def value(self, byte, top):
        if byte == 0x69:
            return self.integer()
        if byte in (0x6C, 0x64):
            self.stack.append(["l" if byte == 0x6C else "d", None, False])
            self.pos += 1
            return None
        if byte == 0x65 and top is not None and top[0] == "l":
            self.stack.pop()
            self.pos += 1
            self.value_done()
            return None
        if 0x30 <= byte <= 0x39:
            return self.string(None)
        return False

    def integer(self):
        data = self.data
        end = data.find(b"e", self.pos + 1)
        if end < 0:
            text = data[self.pos + 1 :]
            for added in (b"e", b"1e"):
                if _accepts(b"i" + text + added):
                    return self.finish(added)
            return False
        if not _accepts(data[self.pos : end + 1]):
            return False
        self.pos = end + 1
        self.value_done()
        return None

    def string(self, dict_frame):
        """A string at pos; a key when `dict_frame` is the dict it belongs to."""
        data = self.data
        before = dict_frame[1] if dict_frame is not None else None
        colon = data.find(b":", self.pos)
        if colon < 0:
            return self.cut_length(data[self.pos :], dict_frame is not None, before)
        length = _length_of(data[self.pos : colon])
        if length is None:
            return False
        start = colon + 1
        available = data[start : start + length]
        if len(available) < length:
            if dict_frame is None:
                missing = length - len(available)
                return missing > _LARGEST_BUILT or self.finish(b"\x00" * missing)
            most = _most_key(available, length)
            if before is not None and most <= before:
                return False
            if length - len(available) > _LARGEST_BUILT:
                return True
            dict_frame[2] = True
            return self.finish(most[len(available) :])
        if dict_frame is not None:
            if before is not None and available <= before:
                return False
            dict_frame[1] = available
            dict_frame[2] = True
        self.pos = start + length
        if dict_frame is None:
            self.value_done()
        return None

    def cut_length(self, text, is_key, before):
        as_is = _length_of(text)
        grows = _length_of(text + b"1") is not None
        if as_is is None and not grows:
            return False
        if is_key and before is not None:
            digits = text
            if grows:
                while (_length_of(digits) or 0) <= len(before):
                    digits += b"1"
            length = _length_of(digits)
            if _most_key(b"", length) <= before:
                return False
            if length > _LARGEST_BUILT:
                return True
            self.stack[-1][2] = True
            return self.finish(digits[len(text) :] + b":" + b"\xff" * length)
        digits = text if as_is is not None else text + b"1"
        length = _length_of(digits)
        if length > _LARGEST_BUILT:
            return True
        if is_key:
            self.stack[-1][2] = True
        return self.finish(digits[len(text) :] + b":" + b"\xff" * length)


def _completable(data):
    return _Completion(data).run()


def _check_incomplete(got, want, data, name):
    """`got` is decode's fault `want`, as IncompleteError exactly when more
    data could complete the value."""
    if want[1] != "DecodeError":
        same(got, want, name, data)
        return
    check(got[0] == "raise" and got[2:] == want[2:], name, "message", data, got, want)
    if got[1] == "IncompleteError":
        check(_completable(data), name, "incomplete, but nothing completes it", data)
    else:
        check(got[1] == "DecodeError", name, got, want)
        check(not _completable(data), name, "complete-able, but not incomplete", data)


def _cuts(size):
    if size <= 64:
        return range(size)
    return sorted({*range(16), *range(size - 16, size), *range(0, size, size // 32)})


def _check_cuts(function, data):
    """`function` refuses every proper prefix of a whole value `data` (some
    64 of them at most) with IncompleteError. One frame for all the cuts,
    and the outcome made only for a finding: on a whole value the cuts are
    most of the input's work."""
    for cut in _cuts(len(data)):
        part = data[:cut]
        try:
            function(part)
        except ACCEPTED as error:
            if type(error).__name__ == "IncompleteError":
                continue
        raise Finding("proper prefix", data, cut, outcome(function, part))


def _paths(value, path=(), limit=64):
    """Paths to the values inside `value`, indexes from both ends."""
    found = [path]
    if isinstance(value, dict):
        steps = list(value)
    elif isinstance(value, list):
        steps = [*range(len(value)), *range(-len(value), 0)]
    else:
        steps = []
    for step in steps:
        if len(found) >= limit:
            break
        found += _paths(value[step], (*path, step), limit - len(found))
    return found


def _value_at(value, path):
    for step in path:
        value = value[step]
    return value


def prefix_target(data):
    want = outcome(decode, data)
    got = outcome(decode_prefix, data)
    if want[0] == "ok":
        check(got == ("ok", (want[1], len(data))), "decode_prefix", data, got)
        _check_cuts(decode_prefix, data)
        shifted = outcome(lambda framed: decode_prefix(framed, 1), b"x" + data + b"x")
        check(shifted == ("ok", (want[1], len(data) + 1)), "decode_prefix at 1", data, shifted)
    elif want[1] == "DecodeError" and want[2].startswith("trailing data at position "):
        end = int(want[2].rsplit(" ", 1)[1])
        check(got == ("ok", (decode(data[:end]), end)), "decode_prefix", data, got)
    else:
        _check_incomplete(got, want, data, "decode_prefix")
    for name, argument in _variants(data):
        same(outcome(decode_prefix, argument), got, "decode_prefix", name, data)


def span_target(data):
    want = outcome(decode, data)
    got = outcome(span, data)
    if want[0] != "ok":
        _check_incomplete(got, want, data, "span")
        for name, argument in _variants(data):
            same(outcome(span, argument), got, "span", name, data)
        return
    check(got == ("ok", (0, len(data))), "span", data, got)
    _check_cuts(span, data)
    strided = Strided(data, -1)
    for path in _paths(want[1]):
        start, end = span(data, *path)
        check(decode(data[start:end]) == _value_at(want[1], path), "span", data, path)
        check(span(strided, *path) == (start, end), "span strided", data, path)


# The typed decoder and encoder have a harness of their own models.
from typed_targets import typed_target  # noqa: E402,F401
