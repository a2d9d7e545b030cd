"""The velka.typed rows of the benchmark: typed decode and encode against plain.

For each torrent, KRPC and tracker workload, timed in the same rounds in a
shuffled order (the ratios are medians of the per-round ratios):

- decode: ``velka.bencode.decode``; ``Decoder.decode`` into the models of
  typed_models.py; ``decode`` followed by the same conversion in plain Python;
  the models with extra-keys fields and ``Raw``; msgspec decoding MessagePack
  of the same object graphs into the same dataclasses, and untyped.
- encode: ``velka.bencode.encode`` of the plain tree the model's encoding
  gives; ``velka.typed.encode`` of the model; the same for the lossless
  models against the whole input's tree; msgspec's MessagePack encoder.

Every result is checked before anything is timed. The memory pass takes
tracemalloc's peak during one typed decode against the size of the objects it
returns plus the size of the decoder's plan.
"""

from __future__ import annotations

import gc
import random
import statistics
import sys
import tracemalloc
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field, fields, is_dataclass
from typing import Any

from timing import batch_items, calibrate, timed
from typed_models import Family, family_of
from workloads import Workload

import velka.typed
from velka.bencode import decode, encode
from velka.typed import Decoder

DECODE = ("decode", "typed", "reference", "typed+extra", "msgspec", "msgspec untyped")
ENCODE = ("encode", "typed", "encode whole", "typed+extra", "msgspec")


@dataclass
class Runner:
    """A function over a list of items, and how many calls one pass makes."""

    batch: Callable[[list], object]
    items: list
    calls: int


@dataclass
class TypedCase:
    workload: Workload
    decode_times: dict[str, float] = field(default_factory=dict)
    encode_times: dict[str, float] = field(default_factory=dict)
    # name -> median over the rounds of (name's time / its base's time)
    decode_ratios: dict[str, float] = field(default_factory=dict)
    encode_ratios: dict[str, float] = field(default_factory=dict)
    # peak of typed decodes, size of their results, size of the plan; the
    # same peak and result size for plain decode
    memory: tuple[int, int, int] = (0, 0, 0)
    plain_memory: tuple[int, int] = (0, 0)
    notes: list[str] = field(default_factory=list)


def _mapped(function: Callable) -> Callable[[list], object]:
    return lambda items: deque(map(function, items), 0)


def _grouped(items: list) -> None:
    # items are (function, inputs) pairs: one loop per group, no per-call shim
    for function, inputs in items:
        deque(map(function, inputs), 0)


def _msgspec() -> Any:
    try:
        import msgspec
    except ImportError:
        return None
    return msgspec


def check(workload: Workload, family: Family) -> tuple[list, list]:
    """The typed and lossless results; AssertionError where anything disagrees."""
    typed = Decoder(family.model)
    extra = Decoder(family.extra_model)
    objects, lossless = [], []
    for data in workload.inputs:
        value = typed.decode(data)
        assert value == family.reference(decode(data)), workload.name
        assert encode(decode(velka.typed.encode(value))) == velka.typed.encode(value)
        whole = extra.decode(data)
        assert velka.typed.encode(whole) == data, f"{workload.name}: lossless model loses data"
        objects.append(value)
        lossless.append(whole)
    return objects, lossless


def _runners(
    workload: Workload, family: Family, objects: list, lossless: list, notes: list[str]
) -> tuple[dict[str, Runner], dict[str, Runner]]:
    inputs = workload.inputs
    size = workload.size

    def plain(function: Callable, items: list) -> Runner:
        batch = batch_items(items, size)
        return Runner(_mapped(function), batch, len(batch))

    reference = family.reference
    decoders = {
        "decode": plain(decode, inputs),
        "typed": plain(Decoder(family.model).decode, inputs),
        "reference": plain(lambda data: reference(decode(data)), inputs),
        "typed+extra": plain(Decoder(family.extra_model).decode, inputs),
    }
    trees = [decode(velka.typed.encode(value)) for value in objects]
    encoders = {
        "encode": plain(encode, trees),
        "typed": plain(velka.typed.encode, objects),
        "encode whole": plain(encode, [decode(data) for data in inputs]),
        "typed+extra": plain(velka.typed.encode, lossless),
    }
    msgspec = _msgspec()
    if msgspec is None:
        notes.append("msgspec is not installed in the peers' environment: no msgspec rows")
        return decoders, encoders
    packer = msgspec.msgpack.Encoder()
    packed = [packer.encode(value) for value in objects]
    if family.union:
        by_class: dict[type, list[bytes]] = {}
        for value, data in zip(objects, packed, strict=True):
            by_class.setdefault(type(value), []).append(data)
        groups = []
        for cls, group in by_class.items():
            reader = msgspec.msgpack.Decoder(type=cls)
            assert [reader.decode(data) for data in group] == [
                value for value in objects if type(value) is cls
            ]
            groups.append((reader.decode, group))
        batch = batch_items(groups, size)
        decoders["msgspec"] = Runner(_grouped, batch, len(inputs) * len(batch) // len(groups))
    else:
        reader = msgspec.msgpack.Decoder(type=family.model)
        assert [reader.decode(data) for data in packed] == objects, workload.name
        decoders["msgspec"] = plain(reader.decode, packed)
    decoders["msgspec untyped"] = plain(msgspec.msgpack.Decoder().decode, packed)
    encoders["msgspec"] = plain(packer.encode, objects)
    return decoders, encoders


def _time(
    runners: dict[str, Runner],
    base: dict[str, str],
    rounds: int,
    target_ns: int,
    rng: random.Random,
) -> tuple[dict[str, float], dict[str, float]]:
    gc.collect()
    gc.disable()
    try:
        counts = {
            name: calibrate(runner.batch, runner.items, target_ns)
            for name, runner in runners.items()
        }
        samples: dict[str, list[float]] = {name: [] for name in runners}
        for _ in range(rounds):
            for name in rng.sample(list(runners), len(runners)):
                runner = runners[name]
                elapsed = timed(runner.batch, runner.items, counts[name])
                samples[name].append(elapsed / (counts[name] * runner.calls))
    finally:
        gc.enable()
    times = {name: statistics.median(values) for name, values in samples.items()}
    ratios = {
        name: statistics.median(
            value / reference for value, reference in zip(values, samples[base[name]], strict=True)
        )
        for name, values in samples.items()
    }
    return times, ratios


# Each row's ratio is over the plain operation it stands in for.
DECODE_BASE = {name: "decode" for name in DECODE} | {"reference": "typed"}
ENCODE_BASE = {name: "encode" for name in ENCODE} | {
    "encode whole": "encode whole",
    "typed+extra": "encode whole",
}


def _allocated_int_sizes() -> dict[int, int]:
    """What the allocator holds for an int that decode makes, by what
    sys.getsizeof reports for it.

    The two can differ: on 3.14 an int of one digit made from a C long takes
    32 bytes, where sys.getsizeof says 28. Measured once, for ints of one to
    three digits, as tracemalloc sees them (it must not be tracing yet).
    """
    sizes = {}
    for digits in range(1, 4):
        low = max(1000, 1 << (30 * (digits - 1)))  # above the cached small ints
        data = encode([low + n for n in range(1000)])
        held = [low + n for n in range(1000)]  # takes what the free list holds
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            made = decode(data)
            total = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        del held
        reported = sys.getsizeof(made[0])
        sizes[reported] = max(reported, round((total - sys.getsizeof(made)) / len(made)))
    return sizes


_INT_SIZES = _allocated_int_sizes()


def _size_of(node: object) -> int:
    size = sys.getsizeof(node)
    return _INT_SIZES.get(size, size) if type(node) is int else size


def object_size(value: object) -> int:
    """Bytes held by a graph of records, lists, tuples and dicts, shared nodes once,
    each as the allocator sized it."""
    seen: set[int] = set()
    total = 0
    stack = [value]
    is_immortal = getattr(sys, "_is_immortal", lambda node: sys.getrefcount(node) >= 1 << 29)
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        # None, the bools and small ints are the interpreter's own singletons
        # (immortal from 3.12 on, merely shared before).
        shared = node is None or isinstance(node, bool) or (type(node) is int and -5 <= node <= 256)
        if not shared and not is_immortal(node):
            total += _size_of(node)
        if isinstance(node, dict):
            stack.extend(node)
            stack.extend(node.values())
        elif isinstance(node, list | tuple):
            stack.extend(node)
        elif is_dataclass(node) and not isinstance(node, type):
            if hasattr(node, "__dict__"):
                total += sys.getsizeof(node.__dict__)
            stack.extend(getattr(node, item.name) for item in fields(node))
    return total


def plan_size(form: Any) -> int:
    """What a fresh Decoder for `form` holds, as tracemalloc sees it."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        decoder = Decoder(form)
        gc.collect()
        size = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    del decoder
    return size


def _peaks(function: Callable, inputs: list, sizer: Callable, empty: Callable) -> tuple[int, int]:
    peak_total = size_total = 0
    gc.collect()
    tracemalloc.start()
    try:
        for data in inputs:
            held = empty()
            tracemalloc.reset_peak()
            base = tracemalloc.get_traced_memory()[0]
            result = function(data)
            peak_total += tracemalloc.get_traced_memory()[1] - base
            size_total += sizer(result)
            del result, held
    finally:
        tracemalloc.stop()
    return peak_total, size_total


def measure(
    workload: Workload,
    rounds: int,
    target_ns: int,
    rng: random.Random,
    empty_free_lists: Callable[[], object] = tuple,
    memory: bool = True,
) -> TypedCase | None:
    family = family_of(workload.name)
    if family is None:
        return None
    case = TypedCase(workload)
    objects, lossless = check(workload, family)
    decoders, encoders = _runners(workload, family, objects, lossless, case.notes)
    case.decode_times, case.decode_ratios = _time(decoders, DECODE_BASE, rounds, target_ns, rng)
    case.encode_times, case.encode_ratios = _time(encoders, ENCODE_BASE, rounds, target_ns, rng)
    if memory:
        sample = workload.inputs[:200]
        typed = Decoder(family.model).decode
        peak, size = _peaks(typed, sample, object_size, empty_free_lists)
        case.memory = (peak, size, plan_size(family.model))
        case.plain_memory = _peaks(decode, sample, object_size, empty_free_lists)
    return case


def _ratio(ratios: dict[str, float], name: str) -> str:
    return f"{ratios[name]:.2f}" if name in ratios else "-"


def report(cases: list[TypedCase], time_text: Callable[[float], str]) -> list[str]:
    lines = [
        "",
        "## velka.typed",
        "",
        "Decoding into the dataclass models of bench/typed_models.py and encoding them, timed "
        "in the same rounds as the plain operations on the same data; ratios are medians of "
        "the per-round ratios (below 1 is faster). *typed ÷ decode*: `Decoder.decode` over "
        "`velka.bencode.decode` (goal: at most 1.3); *reference ÷ typed*: `decode` followed "
        "by the same conversion in plain Python, over the typed decode (goal: at least 3); "
        "*+extra*: the models with an extra-keys field in every record and `Raw`. msgspec "
        "decodes MessagePack of the same object graphs, into the same dataclasses and "
        "untyped, for scale (KRPC: each message into its own class, as msgspec takes no union "
        "of dataclasses).",
        "",
        "| workload | decode | typed ÷ decode | reference ÷ typed | +extra ÷ decode "
        "| msgspec ÷ decode | msgspec untyped ÷ decode |",
        "| --- | ---: | ---: | ---: | ---: | ---: | ---: |",
    ]
    for case in cases:
        ratios = case.decode_ratios
        lines.append(
            f"| {case.workload.name} | {time_text(case.decode_times['decode'])} "
            f"| {_ratio(ratios, 'typed')} | {_ratio(ratios, 'reference')} "
            f"| {_ratio(ratios, 'typed+extra')} | {_ratio(ratios, 'msgspec')} "
            f"| {_ratio(ratios, 'msgspec untyped')} |"
        )
    lines += [
        "",
        "*typed ÷ encode*: `velka.typed.encode` of the models over `velka.bencode.encode` of "
        "the plain tree they encode to (goal: at most 1.3); *+extra ÷ encode whole*: the "
        "lossless models over `encode` of the whole input's tree.",
        "",
        "| workload | encode | typed ÷ encode | +extra ÷ encode whole | msgspec ÷ encode |",
        "| --- | ---: | ---: | ---: | ---: |",
    ]
    for case in cases:
        ratios = case.encode_ratios
        lines.append(
            f"| {case.workload.name} | {time_text(case.encode_times['encode'])} "
            f"| {_ratio(ratios, 'typed')} | {_ratio(ratios, 'typed+extra')} "
            f"| {_ratio(ratios, 'msgspec')} |"
        )
    if any(case.memory[1] for case in cases):
        lines += [
            "",
            "Memory: tracemalloc's peak during typed decodes (the first 200 inputs, summed) "
            "over the size of the records, lists and strings they return plus the size of "
            "the decoder's plan (goal: at most 1.00); plain decode's peak over its result "
            "beside it.",
            "",
            "| workload | typed peak | result | plan | peak ÷ (result + plan) "
            "| decode: peak ÷ result |",
            "| --- | ---: | ---: | ---: | ---: | ---: |",
        ]
        for case in cases:
            peak, size, plan = case.memory
            plain_peak, plain_size = case.plain_memory
            lines.append(
                f"| {case.workload.name} | {peak:,} B | {size:,} B | {plan:,} B "
                f"| {peak / (size + plan):.2f} | {plain_peak / plain_size:.2f} |"
            )
    notes = sorted({note for case in cases for note in case.notes})
    lines += [f"- {note}" for note in notes]
    return lines
