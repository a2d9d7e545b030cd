"""Timing a batch of calls: how long, and how many repeats fill a target time."""

from __future__ import annotations

import time
from collections import deque
from collections.abc import Callable

# A batch holds at least this many calls, unless that would make it more
# than this many bytes of input: then a workload of one large input that is
# quick to read (a single-file torrent) is not timed together with the cost
# of starting the batch, which would bring every ratio closer to 1, while a
# large one that takes long (a torrent tree) stays one call per batch.
MIN_BATCH = 64
MAX_BATCH_BYTES = 4 << 20


def batch_items(items: list, input_bytes: int) -> list:
    """`items` (which `input_bytes` of encoded input make up), repeated to
    make a batch of about MIN_BATCH calls."""
    wanted = -(-MIN_BATCH // len(items))
    return items * max(1, min(wanted, MAX_BATCH_BYTES // max(input_bytes, 1)))


def batch_of(function: Callable) -> Callable[[list], object]:
    """Calls `function` on every item of a batch and drops the results."""
    return lambda items: deque(map(function, items), 0)


def timed(batch: Callable[[list], object], items: list, repeat_count: int) -> int:
    started = time.perf_counter_ns()
    for _ in range(repeat_count):
        batch(items)
    return time.perf_counter_ns() - started


def calibrate(batch: Callable[[list], object], items: list, target_ns: int) -> int:
    batch(items)  # warm up
    repeat_count = 1
    for _ in range(4):
        elapsed = max(timed(batch, items, repeat_count), 1)
        if elapsed >= target_ns * 0.8:
            break
        repeat_count = max(repeat_count + 1, int(repeat_count * target_ns / elapsed))
    return repeat_count
