"""Instructions per call of decode and span, counted by callgrind: steadier than time
on a shared machine, and comparable between two builds.

Run in the sid root on Python 3.14, with valgrind:

    scripts/sid .venv/bin/python bench/instructions.py [--baseline VENV] [--workloads NAME...]

For each workload, and each build (this one, and the one installed in VENV
if given), valgrind runs this script again to call decode (then span) on
every input a few times; only the instructions executed inside the
module's entry point are counted, and a run without those calls is taken
off, so that the count is that of the calls alone.
"""

from __future__ import annotations

import argparse
import gc
import os
import re
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:  # also under ``python -P``
    sys.path.insert(0, str(HERE))

from workloads import DATA, load  # noqa: E402

# The entry points whose instructions (their callees' included) are counted.
ENTRY = {"decode": "velka::decode(_object*)", "span": "velka::span(*", "marshal": "marshal_loads*"}
# marshal.loads of the same object graphs, for reference: one build only.
OPS = ("decode", "span")
PASSES = 3


def _functions(baseline: Path | None) -> dict[str, Callable[[bytes], object]]:
    if baseline is None:
        import velka.bencode
        import velka.raw

        return {"decode": velka.bencode.decode, "span": velka.raw.span}
    from compare import load_baseline

    return {
        "decode": load_baseline(baseline, "bencode").decode,
        "span": load_baseline(baseline, "raw").span,
    }


def child(workload: str, op: str, baseline: Path | None, data: Path, passes: int) -> None:
    """Runs under valgrind: one pass to warm up, then `passes` more."""
    inputs = load(data, [workload])[0].inputs
    if op == "marshal":
        import marshal

        import velka.bencode

        inputs = [marshal.dumps(velka.bencode.decode(item)) for item in inputs]
        function: Callable[[bytes], object] = marshal.loads
    else:
        function = _functions(baseline)[op]
    gc.disable()  # a collection would be counted inside whichever call set it off
    for item in inputs:
        function(item)
    for _ in range(passes):
        for item in inputs:
            function(item)


def _total(workload: str, op: str, baseline: Path | None, data: Path, passes: int) -> int:
    """Instructions counted in one run of the child with `passes` passes."""
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "callgrind.out"
        command = [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            f"--toggle-collect={ENTRY[op]}",
            sys.executable,
            "-P",
            __file__,
            "--child",
            workload,
            "--op",
            op,
            "--passes",
            str(passes),
            "--data",
            str(data),
        ]
        if baseline is not None:
            command += ["--baseline", str(baseline)]
        # Hashes decide how often dictionaries collide: the same in every run.
        environment = {**os.environ, "PYTHONHASHSEED": "0"}
        subprocess.run(command, capture_output=True, text=True, check=True, env=environment)
        total = re.search(r"^totals: (\d+)", out.read_text(), re.MULTILINE)
        if total is None:
            raise SystemExit(f"instructions: no totals for {workload} {op}")
        return int(total.group(1))


def count(workload: str, op: str, baseline: Path | None, data: Path) -> float:
    """Instructions per call: a run with PASSES passes less one with none,
    which leaves out the warm-up pass and whatever else the entry point
    counted (marshal.loads also reads the modules that Python imports)."""
    calls = len(load(data, [workload])[0].inputs) * PASSES
    more = _total(workload, op, baseline, data, PASSES)
    return (more - _total(workload, op, baseline, data, 0)) / calls


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", type=Path, help="venv of the other build")
    parser.add_argument("--workloads", nargs="+", metavar="NAME", help="only these workloads")
    parser.add_argument("--ops", nargs="+", choices=list(ENTRY), default=list(OPS))
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--child", metavar="WORKLOAD", help=argparse.SUPPRESS)
    parser.add_argument("--op", choices=list(ENTRY), help=argparse.SUPPRESS)
    parser.add_argument("--passes", type=int, default=PASSES, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.op, args.baseline, args.data, args.passes)
        return 0
    names = args.workloads or [workload.name for workload in load(args.data)]
    header = "| workload | op | instructions per call |"
    rule = "| --- | --- | ---: |"
    if args.baseline:
        header = "| workload | op | before | after | after ÷ before |"
        rule = "| --- | --- | ---: | ---: | ---: |"
    print(header + "\n" + rule, flush=True)
    for name in names:
        for op in args.ops:
            after = count(name, op, None, args.data)
            if op == "marshal" and args.baseline:
                print(f"| {name} | {op} | {after:,.0f} | {after:,.0f} | |", flush=True)
                continue
            if args.baseline is None:
                print(f"| {name} | {op} | {after:,.0f} |", flush=True)
                continue
            before = count(name, op, args.baseline, args.data)
            print(
                f"| {name} | {op} | {before:,.0f} | {after:,.0f} | {after / before:.3f} |",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
