"""Timing a batch of calls: how long, and how many repeats fill a target time."""

from __future__ import annotations

import time
from collections.abc import Callable

# A batch holds at least this many calls, so that a workload of one large
# input (a single-file torrent) is not timed together with the cost of
# starting the batch, which would bring every ratio closer to 1.
MIN_BATCH = 64


def batch_items(items: list) -> list:
    """`items`, repeated until a batch of them is at least MIN_BATCH long."""
    return items * -(-MIN_BATCH // len(items)) if len(items) < MIN_BATCH else items


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
