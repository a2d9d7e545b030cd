"""Benchmark velka against other bencode codecs and CPython's own serialisers.

Run in the sid root on Python 3.14 (``scripts/sid``), with velka installed (``make bench``):

    scripts/sid .venv/bin/python bench/run.py [--rounds N] [--quick]

Every implementation's output is checked against velka's before it is timed;
one that differs is reported and left out of that workload's ratios. Timing
interleaves the implementations round by round, in a shuffled order each
round, and reports medians of per-call times and of the per-round ratios.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import importlib.metadata
import marshal
import os
import pickle
import platform
import random
import shutil
import site
import statistics
import sys
import time
import tracemalloc
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field
from datetime import UTC, datetime
from itertools import repeat
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:  # also under ``python -P``
    sys.path.insert(0, str(HERE))

import raw_bench  # noqa: E402
import typed_bench  # noqa: E402
from check import first_byte_difference, first_difference, graph_size  # noqa: E402
from timing import batch_items, batch_of, calibrate, timed  # noqa: E402
from workloads import DATA, Workload, load  # noqa: E402

ROOT = HERE.parent
PEERS_VENV = HERE / ".venv-peers"
RESULTS = HERE / "results"
DOCS_CHART = ROOT / "docs" / "bench.png"
OPS = ("decode", "encode")
FLOORS = ("marshal", "pickle")


def log(text: str = "", end: str = "\n") -> None:
    print(text, end=end, file=sys.stderr, flush=True)


# --- implementations ---------------------------------------------------------------


@dataclass
class Impl:
    name: str
    version: str
    decode: Callable[[bytes], object]
    encode: Callable[[object], bytes]
    # Times a batch: calls the function on every item and drops the results.
    decode_batch: Callable[[list], object]
    encode_batch: Callable[[list], object]
    # marshal and pickle decode their own serialisation of the same graphs.
    floor: bool = False


def _codec(name: str, version: str, decode: Callable, encode: Callable) -> Impl:
    return Impl(name, version, decode, encode, batch_of(decode), batch_of(encode))


def _version(distribution: str, module: object = None) -> str:
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return str(getattr(module, "__version__", "?"))


def _velka() -> Impl:
    from velka.bencode import decode, encode

    return _codec("velka", _version("velka"), decode, encode)


def _fastbencode() -> Impl:
    import fastbencode

    return _codec(
        "fastbencode",
        _version("fastbencode", fastbencode),
        fastbencode.bdecode,
        fastbencode.bencode,
    )


def _libtorrent() -> Impl:
    import libtorrent

    return _codec(
        "libtorrent", _version("libtorrent", libtorrent), libtorrent.bdecode, libtorrent.bencode
    )


def _bencode2() -> Impl:
    import bencode2

    version = _version("bencode2", bencode2)
    if not getattr(bencode2, "COMPILED", True):
        version += " (pure Python)"
    return _codec("bencode2", version, bencode2.bdecode, bencode2.bencode)


def _bencode_py() -> Impl:
    import bencodepy

    # The module-level functions decode strings and keys to bytes, dicts to dict.
    return _codec(
        "bencode.py", _version("bencode.py", bencodepy), bencodepy.decode, bencodepy.encode
    )


def _marshal() -> Impl:
    return Impl(
        "marshal",
        f"format {marshal.version}",
        marshal.loads,
        marshal.dumps,
        batch_of(marshal.loads),
        batch_of(marshal.dumps),
        floor=True,
    )


def _pickle() -> Impl:
    def dumps(value: object) -> bytes:
        return pickle.dumps(value, 5)

    return Impl(
        "pickle",
        "protocol 5",
        pickle.loads,
        dumps,
        batch_of(pickle.loads),
        lambda items: deque(map(pickle.dumps, items, repeat(5)), 0),
        floor=True,
    )


LOADERS: dict[str, Callable[[], Impl]] = {
    "velka": _velka,
    "fastbencode": _fastbencode,
    "libtorrent": _libtorrent,
    "bencode2": _bencode2,
    "bencode.py": _bencode_py,
    "marshal": _marshal,
    "pickle": _pickle,
}
PEERS = ("fastbencode", "libtorrent", "bencode2", "bencode.py")


def load_impls(names: list[str], peers_venv: Path, notes: list[str]) -> list[Impl]:
    for packages in sorted(peers_venv.glob("lib/python3*/site-packages")):
        site.addsitedir(str(packages))
    impls = []
    for name in names:
        try:
            impls.append(LOADERS[name]())
        except Exception as error:  # an unimportable peer is skipped, not fatal
            if name == "velka":
                raise
            note = f"skipping {name}: cannot import it ({type(error).__name__}: {error})"
            log(f"bench: {note}")
            notes.append(note)
    return impls


# --- checking ----------------------------------------------------------------------


@dataclass
class Case:
    """One workload and direction: the inputs of each implementation."""

    workload: Workload
    op: str
    items: dict[str, list] = field(default_factory=dict)
    # name -> median per-call ns; base -> name -> median of the per-round ratios
    times: dict[str, float] = field(default_factory=dict)
    ratios: dict[str, dict[str, float]] = field(default_factory=dict)
    excluded: dict[str, str] = field(default_factory=dict)
    memory: dict[str, float] = field(default_factory=dict)
    memory_bytes: dict[str, tuple[int, int]] = field(default_factory=dict)


def prepare(workload: Workload, impls: list[Impl], notes: list[str]) -> tuple[Case, Case]:
    """Check every implementation against velka; the cases to time."""
    velka = impls[0]
    graphs = [velka.decode(data) for data in workload.inputs]
    encoded = [velka.encode(graph) for graph in graphs]
    if encoded != workload.inputs:
        notes.append(f"{workload.name}: velka's encode does not give back its input")
    decode_case, encode_case = Case(workload, "decode"), Case(workload, "encode")
    for impl in impls:
        if impl.floor:
            own = [impl.encode(graph) for graph in graphs]
            decode_case.items[impl.name] = own
            encode_case.items[impl.name] = graphs
            problem = _decode_difference(impl, own, graphs)  # the round trip
            if problem:
                decode_case.excluded[impl.name] = encode_case.excluded[impl.name] = problem
            continue
        decode_case.items[impl.name] = workload.inputs
        encode_case.items[impl.name] = graphs
        problem = _decode_difference(impl, workload.inputs, graphs)
        if problem:
            decode_case.excluded[impl.name] = problem
        problem = _encode_difference(impl, graphs, encoded)
        if problem:
            encode_case.excluded[impl.name] = problem
    for case in (decode_case, encode_case):
        for name, problem in case.excluded.items():
            note = (
                f"{workload.name} {case.op}: {name} differs from velka ({problem}); "
                "left out of the ratios"
            )
            log(f"bench: {note}")
            notes.append(note)
    return decode_case, encode_case


def _first_difference(call, arguments: list, wants: list, compare) -> str | None:
    """The first input on which `call` fails or differs from what is wanted."""
    for index, (argument, want) in enumerate(zip(arguments, wants, strict=True)):
        try:
            got = call(argument)
        except Exception as error:
            return f"input {index}: raised {type(error).__name__}: {error}"
        problem = compare(got, want)
        if problem:
            return f"input {index}: {problem}"
    return None


def _decode_difference(impl: Impl, inputs: list[bytes], graphs: list) -> str | None:
    return _first_difference(impl.decode, inputs, graphs, first_difference)


def _encode_difference(impl: Impl, graphs: list, encoded: list[bytes]) -> str | None:
    return _first_difference(impl.encode, graphs, encoded, first_byte_difference)


# --- timing --------------------------------------------------------------------------


def time_case(
    case: Case, impls: list[Impl], rounds: int, target_ns: int, rng: random.Random
) -> None:
    measured = [
        impl for impl in impls if impl.name in case.items and impl.name not in case.excluded
    ]
    batches = {impl.name: getattr(impl, f"{case.op}_batch") for impl in measured}
    counts = {}
    gc.collect()
    gc.disable()  # as timeit does: the collector's pauses are noise here
    try:
        for impl in measured:
            items = batch_items(case.items[impl.name], case.workload.size)
            counts[impl.name] = calibrate(batches[impl.name], items, target_ns)
        samples: dict[str, list[float]] = {impl.name: [] for impl in measured}
        for _ in range(rounds):
            for impl in rng.sample(measured, len(measured)):
                items = batch_items(case.items[impl.name], case.workload.size)
                elapsed = timed(batches[impl.name], items, counts[impl.name])
                samples[impl.name].append(elapsed / (counts[impl.name] * len(items)))
            log(".", end="")
    finally:
        gc.enable()
    for name, values in samples.items():
        case.times[name] = statistics.median(values)
        for base in ("velka", *FLOORS):
            if base in samples:
                case.ratios.setdefault(base, {})[name] = statistics.median(
                    value / reference
                    for value, reference in zip(values, samples[base], strict=True)
                )


# --- memory ------------------------------------------------------------------------------


def _empty_free_lists() -> tuple:
    """Objects that empty the interpreter's free lists while they live.

    Lists, dicts, their key tables and ints are taken from free lists before
    the allocator is asked, and tracemalloc sees only the allocator: with the
    lists empty, every object a call makes is seen.
    """
    return (
        [[] for _ in range(400)],
        [{i: i} for i in range(400)],
        [i + 1_000_000 for i in range(400)],
    )


def measure_memory(case: Case, impls: list[Impl], limit: int = 200) -> None:
    """tracemalloc's peak during each call, over the size of what the call returns."""
    for impl in impls:
        if impl.name not in case.items or impl.name in case.excluded:
            continue
        function = getattr(impl, case.op)
        peak_total = size_total = 0
        gc.collect()
        tracemalloc.start()
        try:
            for item in case.items[impl.name][:limit]:
                held = _empty_free_lists()
                tracemalloc.reset_peak()
                base = tracemalloc.get_traced_memory()[0]
                result = function(item)
                peak_total += tracemalloc.get_traced_memory()[1] - base
                size_total += graph_size(result)
                del result, held
        finally:
            tracemalloc.stop()
        case.memory[impl.name] = peak_total / size_total
        case.memory_bytes[impl.name] = (peak_total, size_total)


# --- reporting -------------------------------------------------------------------------


def _time_text(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def _ratio_text(case: Case, name: str, base: str) -> str:
    if name in case.excluded or base in case.excluded:
        return "≠"
    if name not in case.ratios.get(base, {}):
        return "-"
    return f"{case.ratios[base][name]:.2f}"


def _size_text(size: int) -> str:
    for unit, scale in (("MB", 1e6), ("KB", 1e3)):
        if size >= scale:
            return f"{size / scale:.3g} {unit}"
    return f"{size} B"


def report(cases: list[Case], impls: list[Impl], notes: list[str], args) -> str:
    names = [impl.name for impl in impls]
    peers = [name for name in names if name in PEERS]
    workloads = list(dict.fromkeys(case.workload for case in cases))
    lines = [
        "# velka benchmark",
        "",
        f"{datetime.now(UTC):%Y-%m-%d %H:%M} UTC · Python {platform.python_version()} · "
        f"{platform.machine()}, {os.cpu_count()} CPUs · {args.rounds} rounds of about "
        f"{args.target_ms} ms per implementation · garbage collector off while timing",
        "",
        "Implementations: " + ", ".join(f"{impl.name} {impl.version}" for impl in impls) + ".",
        "",
        "## Workloads",
        "",
        "| workload | what | calls | bytes per call |",
        "| --- | --- | ---: | ---: |",
    ]
    for workload in workloads:
        count = len(workload.inputs)
        lines.append(
            f"| {workload.name} | {workload.title} | {count:,} | "
            f"{_size_text(workload.size // count)} |"
        )
    lines += [
        "",
        "## Time",
        "",
        "Per call, median over the rounds. The ratios are medians of the ratios measured "
        "within each round: below 1 is faster. *velka ÷ marshal*: velka's time over "
        "`marshal.loads`/`marshal.dumps` on the same object graph; *peer ÷ velka*: how many "
        "times velka's time the peer takes. ≠: output differs from velka's (see below); "
        "-: not measured.",
        "",
        "| workload | op | velka | velka ÷ marshal | velka ÷ pickle |"
        + "".join(f" {name} ÷ velka |" for name in peers),
        "| --- | --- | ---: | ---: | ---: |" + " ---: |" * len(peers),
    ]
    for case in cases:
        velka_time = case.times.get("velka")
        row = [
            case.workload.name,
            case.op,
            _time_text(velka_time) if velka_time else "-",
            _ratio_text(case, "velka", "marshal"),
            _ratio_text(case, "velka", "pickle"),
        ]
        row += [_ratio_text(case, name, "velka") for name in peers]
        lines.append("| " + " | ".join(row) + " |")
    lines += [
        "",
        "### Median time per call, every implementation",
        "",
        "| workload | op | " + " | ".join(names) + " |",
        "| --- | --- |" + " ---: |" * len(names),
    ]
    for case in cases:
        row = [case.workload.name, case.op]
        row += [
            "≠"
            if name in case.excluded
            else _time_text(case.times[name])
            if name in case.times
            else "-"
            for name in names
        ]
        lines.append("| " + " | ".join(row) + " |")
    if any(case.memory for case in cases):
        lines += [
            "",
            "## Memory",
            "",
            "tracemalloc's peak during a call over the size of what the call returns: for "
            "decode, the sum of `sys.getsizeof` over the result graph (shared objects once, "
            "immortal ones such as small ints and one-byte strings not at all); "
            "for encode, `sys.getsizeof` of the output. 1.00 means nothing beyond the result. "
            "tracemalloc sees only the Python allocators: native scratch memory (C++ `new`, "
            "Rust's allocator, plain `malloc`) does not show. Many-message workloads: the "
            "first 200 messages, peaks summed.",
            "",
            "| workload | op | velka peak | " + " | ".join(names) + " |",
            "| --- | --- | ---: |" + " ---: |" * len(names),
        ]
        for case in cases:
            peak = case.memory_bytes.get("velka", (0, 0))[0]
            row = [case.workload.name, case.op, _size_text(peak)]
            row += [
                "≠"
                if name in case.excluded
                else f"{case.memory[name]:.2f}"
                if name in case.memory
                else "-"
                for name in names
            ]
            lines.append("| " + " | ".join(row) + " |")
    lines += ["", "## Differences and skipped implementations", ""]
    lines += [f"- {note}" for note in notes] or ["None: every implementation matched velka."]
    return "\n".join(lines) + "\n"


def chart(cases: list[Case], impls: list[Impl], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import ticker

    names = [impl.name for impl in impls if impl.name != "marshal"]
    workloads = list(dict.fromkeys(case.workload.name for case in cases))
    colours = dict(
        zip(
            names,
            ["#d62728", "#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#7f7f7f", "#8c564b"],
            strict=False,
        )
    )
    figure, axes = plt.subplots(2, 1, figsize=(13, 8.5), sharex=True)
    width = 0.8 / len(names)
    for axis, op in zip(axes, OPS, strict=True):
        by_name = {case.workload.name: case for case in cases if case.op == op}
        for offset, name in enumerate(names):
            xs, ys = [], []
            for x, workload in enumerate(workloads):
                case = by_name.get(workload)
                to_marshal = case.ratios.get("marshal", {}) if case else {}
                if name in to_marshal and name not in case.excluded:
                    xs.append(x + (offset - (len(names) - 1) / 2) * width)
                    ys.append(to_marshal[name])
            axis.bar(
                xs,
                ys,
                width,
                label=name,
                color=colours[name],
                edgecolor="black" if name == "velka" else "none",
                linewidth=0.8,
            )
        axis.axhline(1.0, color="black", linewidth=1, linestyle="--", label="marshal")
        axis.set_yscale("log")
        axis.yaxis.set_major_locator(ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
        axis.yaxis.set_major_formatter(ticker.FormatStrFormatter("%g"))
        axis.yaxis.set_minor_formatter(ticker.NullFormatter())
        axis.set_ylabel(f"{op}: time ÷ marshal")
        axis.grid(axis="y", which="major", alpha=0.3)
    handles, labels = axes[0].get_legend_handles_labels()
    order = sorted(range(len(labels)), key=lambda i: labels[i] == "marshal")  # marshal last
    figure.legend(
        [handles[i] for i in order],
        [labels[i] for i in order],
        ncol=len(labels),
        fontsize=9,
        loc="upper center",
        bbox_to_anchor=(0.5, 0.955),
        frameon=False,
    )
    figure.suptitle(
        f"bencode codecs on Python {platform.python_version()}: time per call relative to "
        "marshal (lower is faster; median of per-round ratios)"
    )
    axes[1].set_xticks(range(len(workloads)), workloads, rotation=20, ha="right")
    figure.tight_layout(rect=(0, 0, 1, 0.93))
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=100)
    plt.close(figure)


# --- main ------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument(
        "--target-ms",
        type=float,
        default=30.0,
        help="time of one measurement of one implementation",
    )
    parser.add_argument("--quick", action="store_true", help="3 rounds of 5 ms: a smoke run")
    parser.add_argument("--workloads", nargs="+", metavar="NAME", help="only these workloads")
    parser.add_argument(
        "--impls",
        nargs="+",
        metavar="NAME",
        choices=list(LOADERS),
        help="only these implementations (velka always runs)",
    )
    parser.add_argument("--no-memory", action="store_true", help="skip the tracemalloc pass")
    parser.add_argument("--no-raw", action="store_true", help="skip the velka.raw rows")
    parser.add_argument("--no-typed", action="store_true", help="skip the velka.typed rows")
    parser.add_argument(
        "--only-typed", action="store_true", help="only the velka.typed rows (no peers timed)"
    )
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--peers-venv", type=Path, default=PEERS_VENV)
    parser.add_argument("--results", type=Path, default=RESULTS)
    parser.add_argument("--no-docs", action="store_true", help="do not copy the chart to docs/")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.target_ms = 3, 5.0

    notes: list[str] = []
    wanted = ["velka"] + [
        name for name in LOADERS if name != "velka" and (not args.impls or name in args.impls)
    ]
    impls = load_impls(wanted, args.peers_venv, notes)
    workloads = load(args.data, args.workloads)
    rng = random.Random(1)
    started = time.monotonic()
    cases: list[Case] = []
    if args.only_typed:
        args.no_raw, args.no_typed = True, False
    for workload in workloads if not args.only_typed else ():
        cases.extend(prepare(workload, impls, notes))
    for index, case in enumerate(cases, 1):
        log(f"[{index}/{len(cases)}] {case.workload.name} {case.op} ", end="")
        time_case(case, impls, args.rounds, int(args.target_ms * 1e6), rng)
        velka = case.times.get("velka")
        to_marshal = case.ratios.get("marshal", {}).get("velka", float("nan"))
        log(
            f" velka {_time_text(velka)}, {to_marshal:.2f}x marshal"
            f"  ({time.monotonic() - started:.0f} s)"
        )
    # velka.raw against decode, timed before the memory pass, like the rest.
    raw_cases = []
    if not args.no_raw:
        for workload in workloads:
            log(f"raw: {workload.name} ", end="")
            raw_cases.append(
                raw_bench.measure(workload, args.rounds, int(args.target_ms * 1e6), rng)
            )
            log(f"({time.monotonic() - started:.0f} s)")
    # velka.typed against plain decode and encode, with its own memory pass.
    typed_cases = []
    if not args.no_typed:
        for workload in workloads:
            log(f"typed: {workload.name} ", end="")
            typed_case = typed_bench.measure(
                workload,
                args.rounds,
                int(args.target_ms * 1e6),
                rng,
                _empty_free_lists,
                memory=not args.no_memory,
            )
            if typed_case is not None:
                typed_cases.append(typed_case)
            log(f"({time.monotonic() - started:.0f} s)")
    if not args.no_memory:
        log("memory: ", end="")
        for case in cases:
            measure_memory(case, impls)
            log(".", end="")
        log(f" ({time.monotonic() - started:.0f} s)")

    text = report(cases, impls, notes, args)
    if raw_cases:
        text += "\n".join(raw_bench.report(raw_cases, _time_text)) + "\n"
    if typed_cases:
        text += "\n".join(typed_bench.report(typed_cases, _time_text)) + "\n"
    print(text)
    args.results.mkdir(parents=True, exist_ok=True)
    (args.results / "latest.md").write_text(text)
    try:
        import matplotlib  # noqa: F401
    except ImportError as error:
        # An interpreter without matplotlib (a newer one than Debian builds
        # it for) still gets the table.
        log(f"bench: wrote {args.results / 'latest.md'} (no chart: {error})")
        return 0
    chart_path = args.results / "chart.png"
    chart(cases, impls, chart_path)
    if not args.no_docs:
        DOCS_CHART.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(chart_path, DOCS_CHART)
    log(
        f"bench: wrote {args.results / 'latest.md'} and {chart_path}"
        + ("" if args.no_docs else f" (copied to {DOCS_CHART.relative_to(ROOT)})")
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
