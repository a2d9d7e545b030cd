"""The velka.raw rows of the benchmark: decode_prefix and span against decode.

Each workload's inputs go through ``velka.bencode.decode``,
``velka.raw.decode_prefix`` and ``velka.raw.span`` (and, for torrents,
``span(data, b"info")``), interleaved round by round in a shuffled order;
the ratios are medians of the ratios within each round. Every result is
checked against decode's before anything is timed.
"""

from __future__ import annotations

import gc
import random
import statistics
import tracemalloc
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field
from itertools import repeat

from timing import batch_items, batch_of, calibrate, timed
from workloads import Workload

from velka.bencode import decode
from velka.raw import decode_prefix, span

INFO = b"info"


def _batch_with(function: Callable, argument: object) -> Callable[[list], object]:
    return lambda items: deque(map(function, items, repeat(argument)), 0)


@dataclass
class RawCase:
    workload: Workload
    times: dict[str, float] = field(default_factory=dict)
    # name -> median over the rounds of (name's time / decode's time)
    ratios: dict[str, float] = field(default_factory=dict)
    # span's tracemalloc peak over all inputs, in bytes, and the largest input
    span_peak: int = 0
    largest_input: int = 0


def _is_torrent(workload: Workload) -> bool:
    return workload.name.startswith("torrent")


def check(workload: Workload) -> None:
    """Raises AssertionError where decode_prefix or span disagrees with decode."""
    for data in workload.inputs:
        value = decode(data)
        assert decode_prefix(data) == (value, len(data)), workload.name
        assert decode_prefix(data + b"trailing") == (value, len(data)), workload.name
        assert span(data) == (0, len(data)), workload.name
        if _is_torrent(workload):
            start, end = span(data, INFO)
            assert decode(data[start:end]) == value[INFO], workload.name


def measure(workload: Workload, rounds: int, target_ns: int, rng: random.Random) -> RawCase:
    check(workload)
    functions = {
        "decode": batch_of(decode),
        "decode_prefix": batch_of(decode_prefix),
        "span": batch_of(span),
    }
    if _is_torrent(workload):
        functions["span(info)"] = _batch_with(span, INFO)
    items = batch_items(workload.inputs, workload.size)
    case = RawCase(workload)
    gc.collect()
    gc.disable()
    try:
        counts = {name: calibrate(batch, items, target_ns) for name, batch in functions.items()}
        samples: dict[str, list[float]] = {name: [] for name in functions}
        for _ in range(rounds):
            for name in rng.sample(list(functions), len(functions)):
                elapsed = timed(functions[name], items, counts[name])
                samples[name].append(elapsed / (counts[name] * len(items)))
    finally:
        gc.enable()
    for name, values in samples.items():
        case.times[name] = statistics.median(values)
        case.ratios[name] = statistics.median(
            value / reference for value, reference in zip(values, samples["decode"], strict=True)
        )
    tracemalloc.start()
    try:
        for data in workload.inputs[:200]:
            tracemalloc.reset_peak()
            base = tracemalloc.get_traced_memory()[0]
            span(data)
            case.span_peak = max(case.span_peak, tracemalloc.get_traced_memory()[1] - base)
    finally:
        tracemalloc.stop()
    case.largest_input = max(map(len, workload.inputs))
    return case


def report(cases: list[RawCase], time_text: Callable[[float], str]) -> list[str]:
    lines = [
        "",
        "## velka.raw",
        "",
        "`decode_prefix` and `span` against `decode` on the same inputs, timed in the same "
        "rounds: the ratios are medians of the per-round ratios of their time over "
        '`decode`\'s (below 1 is faster); *span(info)* is `span(data, b"info")`. *span '
        "peak*: the most tracemalloc saw `span` hold during one call, beside the size of "
        "the largest input.",
        "",
        "| workload | decode | decode_prefix ÷ decode | span ÷ decode | span(info) ÷ decode "
        "| decode ÷ span(info) | span peak | largest input |",
        "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |",
    ]
    for case in cases:
        info = case.ratios.get("span(info)")
        lines.append(
            f"| {case.workload.name} | {time_text(case.times['decode'])} "
            f"| {case.ratios['decode_prefix']:.3f} | {case.ratios['span']:.3f} "
            f"| {'-' if info is None else f'{info:.3f}'} "
            f"| {'-' if info is None else f'{1 / info:.1f}x'} "
            f"| {case.span_peak} B | {case.largest_input:,} B |"
        )
    return lines
