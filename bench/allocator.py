"""Decode against marshal.loads of the same object graphs, split where time
measures what the decoder does not choose: user and system CPU time per call,
and the allocator's arenas mapped per call.

When a large result is freed, the interpreter's allocator returns to the
system every 1 MiB arena that the result alone occupied, but one; the next
call maps them again and faults their pages in, which is system time. How
many arenas that is depends on where each object fell among the arenas that
longer-lived objects hold, so it can differ between two decoders that make
the same objects, and between two runs of one of them that follow different
work. This shows that part apart from the rest:

    scripts/sid .venv/bin/python bench/allocator.py [--seconds S] [--rounds N]
        [--workloads NAME...]

Each round times decode and marshal.loads in turns, for `--seconds` each,
in an order that alternates between rounds, with the collector off.
"""

from __future__ import annotations

import argparse
import gc
import marshal
import os
import re
import resource
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:  # also under ``python -P``
    sys.path.insert(0, str(HERE))

from workloads import DATA, load  # noqa: E402

import velka.bencode  # noqa: E402

_ARENAS = re.compile(r"# arenas allocated total\s*=\s*([\d,]+)")


def arenas_allocated() -> int:
    """How many arenas the allocator has mapped since the process started."""
    # The statistics go to the C-level standard error.
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as captured:
        os.dup2(captured.fileno(), 2)
        try:
            sys._debugmallocstats()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        captured.seek(0)
        text = captured.read().decode()
    found = _ARENAS.search(text)
    if found is None:  # an interpreter built without its own allocator
        return 0
    return int(found.group(1).replace(",", ""))


class Split:
    """Totals over the rounds of one function on one workload."""

    def __init__(self) -> None:
        self.calls = 0
        self.user = 0.0
        self.system = 0.0
        self.arenas = 0

    def per_call(self, total: float) -> float:
        return total / self.calls if self.calls else 0.0


def measure(
    function: Callable[[bytes], object], inputs: list[bytes], seconds: float, into: Split
) -> None:
    arenas = arenas_allocated()
    before = resource.getrusage(resource.RUSAGE_SELF)
    deadline = time.perf_counter() + seconds
    calls = 0
    while time.perf_counter() < deadline:
        for item in inputs:
            function(item)
        calls += len(inputs)
    after = resource.getrusage(resource.RUSAGE_SELF)
    into.arenas += arenas_allocated() - arenas
    into.calls += calls
    into.user += after.ru_utime - before.ru_utime
    into.system += after.ru_stime - before.ru_stime


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=0.5, help="per function and round")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--workloads", nargs="*", help="names (default: every workload)")
    parser.add_argument("--data", type=Path, default=DATA)
    args = parser.parse_args()

    print(
        "| workload | user: decode | marshal | ratio | system: decode | marshal "
        "| arenas mapped per call: decode | marshal |"
    )
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for workload in load(args.data, args.workloads):
        graphs = [marshal.dumps(velka.bencode.decode(item)) for item in workload.inputs]
        runs = {
            "decode": (velka.bencode.decode, workload.inputs, Split()),
            "marshal": (marshal.loads, graphs, Split()),
        }
        gc.collect()
        gc.disable()
        try:
            for round_number in range(args.rounds):
                order = ("decode", "marshal") if round_number % 2 else ("marshal", "decode")
                for name in order:
                    function, inputs, split = runs[name]
                    measure(function, inputs, args.seconds, split)
        finally:
            gc.enable()
        decode, reference = runs["decode"][2], runs["marshal"][2]
        micro = 1e6
        print(
            f"| {workload.name} | {decode.per_call(decode.user) * micro:.1f} µs "
            f"| {reference.per_call(reference.user) * micro:.1f} µs "
            f"| {decode.per_call(decode.user) / reference.per_call(reference.user):.3f} "
            f"| {decode.per_call(decode.system) * micro:.1f} µs "
            f"| {reference.per_call(reference.system) * micro:.1f} µs "
            f"| {decode.per_call(decode.arenas):.2f} | {reference.per_call(reference.arenas):.2f} |"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
