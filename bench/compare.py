"""Two builds of velka side by side: decode and span, before and after a change.

Run in the sid root on Python 3.14, with the current build in .venv and the
other one installed into a virtual environment of its own:

    scripts/sid .venv/bin/python bench/compare.py --baseline build/baseline/venv

The other build's compiled modules are loaded under another package name,
so that both run in one process, interleaved round by round in a shuffled
order with ``marshal.loads`` of the same object graphs; the ratios are
medians of the ratios measured within each round.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import marshal
import random
import statistics
import sys
from collections import deque
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:  # also under ``python -P``
    sys.path.insert(0, str(HERE))

from timing import batch_items, batch_of, calibrate, timed  # noqa: E402
from workloads import DATA, Workload, load  # noqa: E402

import velka.bencode  # noqa: E402
import velka.raw  # noqa: E402

BASELINE_PACKAGE = "velka_baseline"

Batch = Callable[[list], object]


def load_baseline(venv: Path, name: str) -> ModuleType:
    """The compiled module `name` of the build installed in `venv`."""
    found = sorted(venv.glob(f"lib/python3*/site-packages/velka/{name}.*.so"))
    if not found:
        raise SystemExit(f"compare: no velka/{name} module under {venv}")
    # The init function is named after the last part of the module's name.
    spec = importlib.util.spec_from_file_location(f"{BASELINE_PACKAGE}.{name}", found[0])
    if spec is None or spec.loader is None:
        raise SystemExit(f"compare: cannot load {found[0]}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _span_batch(span: Callable[[bytes], object]) -> Batch:
    return lambda items: deque(map(span, items), 0)


def _median_ratios(samples: dict[str, list[float]], base: str) -> dict[str, float]:
    return {
        name: statistics.median(a / b for a, b in zip(values, samples[base], strict=True))
        for name, values in samples.items()
    }


def measure(
    batches: dict[str, tuple[Batch, list]], rounds: int, target_ns: int, rng: random.Random
) -> dict[str, list[float]]:
    """Per-call times of each batch over the rounds, interleaved."""
    counts = {name: calibrate(batch, items, target_ns) for name, (batch, items) in batches.items()}
    samples: dict[str, list[float]] = {name: [] for name in batches}
    names = list(batches)
    for _ in range(rounds):
        for name in rng.sample(names, len(names)):
            batch, items = batches[name]
            elapsed = timed(batch, items, counts[name])
            samples[name].append(elapsed / (counts[name] * len(items)))
    return samples


def compare(
    workload: Workload, old: ModuleType, old_raw: ModuleType, rounds: int, target_ns: int
) -> list[str]:
    """The table rows of one workload: decode against marshal, span against the old span."""
    graphs = [velka.bencode.decode(data) for data in workload.inputs]
    if [old.decode(data) for data in workload.inputs] != graphs:
        raise SystemExit(f"compare: {workload.name}: the builds decode differently")
    own = [marshal.dumps(graph) for graph in graphs]
    items = batch_items(workload.inputs, workload.size)
    marshal_items = batch_items(own, sum(map(len, own)))
    rng = random.Random(1)
    gc.collect()
    gc.disable()
    try:
        decoding = measure(
            {
                "after": (batch_of(velka.bencode.decode), items),
                "before": (batch_of(old.decode), items),
                "marshal": (batch_of(marshal.loads), marshal_items),
            },
            rounds,
            target_ns,
            rng,
        )
        spanning = measure(
            {
                "after": (_span_batch(velka.raw.span), items),
                "before": (_span_batch(old_raw.span), items),
            },
            rounds,
            target_ns,
            rng,
        )
    finally:
        gc.enable()
    to_marshal = _median_ratios(decoding, "marshal")
    to_before = _median_ratios(decoding, "before")
    span_to_before = _median_ratios(spanning, "before")
    decode_ns = statistics.median(decoding["after"])
    return [
        f"| {workload.name} | {decode_ns / 1e3:.1f} µs | {to_marshal['before']:.3f} "
        f"| {to_marshal['after']:.3f} | {to_before['after']:.3f} "
        f"| {span_to_before['after']:.3f} |"
    ]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", type=Path, required=True, help="venv of the other build")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--target-ms", type=float, default=20.0)
    parser.add_argument("--workloads", nargs="+", metavar="NAME", help="only these workloads")
    parser.add_argument("--data", type=Path, default=DATA)
    args = parser.parse_args()

    old = load_baseline(args.baseline, "bencode")
    old_raw = load_baseline(args.baseline, "raw")
    lines = [
        f"{args.rounds} rounds of about {args.target_ms:g} ms per build, interleaved; "
        "medians of the per-round ratios. before: the build in "
        f"{args.baseline}; after: this one.",
        "",
        "| workload | decode after | before ÷ marshal | after ÷ marshal | after ÷ before "
        "| span after ÷ before |",
        "| --- | ---: | ---: | ---: | ---: | ---: |",
    ]
    print("\n".join(lines), flush=True)
    for workload in load(args.data, args.workloads):
        for line in compare(workload, old, old_raw, args.rounds, int(args.target_ms * 1e6)):
            print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
