"""Benchmark velka.torrent's create and verify against the torrent tools, and
against the limit: hashlib doing the same hashing on data in memory.

Run in the sid root on Python 3.14, where the peers are (``make bench-torrent``):

    scripts/sid .venv/bin/python bench/torrent_bench.py [--rounds N] [--quick]

The data lives in tmpfs (/dev/shm), so that the disk is out of the measure:
a 2 GiB file, and a 2 GiB tree of 1,000 files of mixed sizes (a third under
16 KiB), both drawn from a fixed seed. Every tool makes and checks torrents
of 1 MiB pieces, on as many threads as the process may use where it takes a
thread count:

- create: velka (v1, v2, hybrid), mktorrent and transmission-create (v1),
  libtorrent's binding (v1, v2, hybrid), torf (v1);
- verify: velka, libtorrent (a session's check of a torrent added without
  resume data, which hashes every piece), torf (Torrent.verify), each on
  velka's torrent of that version;
- limit: hashlib on the same number of threads over a buffer in memory
  larger than the caches: SHA-1 of each piece (v1), SHA-256 of each 16 KiB
  block and the tree above them (v2), both (hybrid).

Each round runs every measurement once, in a shuffled order; the report
gives the median rate over at least 5 rounds, each tool's time over velka's
(the median of the rounds' ratios) and the spread of its times. A check that
does not pass, or a tool that fails, is reported and left out.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from datetime import UTC, datetime
from itertools import pairwise
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from velka.torrent import Torrent

HERE = Path(__file__).resolve().parent
KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB
BLOCK = 16 * KIB
PIECE = MIB
TRACKER = "http://tracker.invalid/announce"
VERSIONS = ("v1", "v2", "hybrid")
SEED = 28


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


# Data ----------------------------------------------------------------------


@dataclass(frozen=True)
class Workload:
    name: str
    path: Path  # the file, or the tree's folder
    sizes: tuple[int, ...]  # of its files, in the order torrents list them

    @property
    def size(self) -> int:
        return sum(self.sizes)


def _write_random(path: Path, size: int, rng: random.Random) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as out:
        left = size
        while left:
            step = min(left, 64 * MIB)
            out.write(rng.randbytes(step))
            left -= step


def tree_sizes(total: int, count: int, rng: random.Random) -> list[int]:
    """`count` sizes summing to `total`, spread evenly on a log scale from
    256 bytes to 16 MiB before scaling: about a third under 16 KiB."""
    raw = [2 ** rng.uniform(8, 24) for _ in range(count)]
    scale = total / sum(raw)
    sizes = [max(1, int(size * scale)) for size in raw]
    sizes[-1] += total - sum(sizes)
    return sizes


def make_data(folder: Path, size: int, count: int) -> list[Workload]:
    """The two workloads, written once: a stamp file records what was made."""
    stamp = folder / f"made-{size}-{count}-{SEED}"
    single = folder / "one" / "file.bin"
    tree = folder / "tree" / "mixed"
    if not stamp.exists():
        shutil.rmtree(folder, ignore_errors=True)
        log(f"writing twice {_size_text(size)} of data into {folder}")
        rng = random.Random(SEED)
        _write_random(single, size, rng)
        for index, file_size in enumerate(tree_sizes(size, count, rng)):
            _write_random(tree / f"d{index % 20:02d}" / f"f{index:04d}.bin", file_size, rng)
        stamp.write_bytes(b"")
    listed = sorted(path for path in tree.rglob("*") if path.is_file())
    return [
        Workload(f"{_size_text(size)} file", single, (size,)),
        Workload(
            f"{_size_text(size)} in {count} files",
            tree,
            tuple(path.stat().st_size for path in listed),
        ),
    ]


def _size_text(size: int) -> str:
    return f"{size / GIB:g} GiB" if size >= GIB else f"{size / MIB:g} MiB"


# Tools ----------------------------------------------------------------------


@dataclass
class Tool:
    """A way to create or verify, for one version; `run` returns a problem
    (a check that failed), or None."""

    name: str
    operation: str  # "create", "verify" or "limit"
    version: str
    run: Callable[[Workload, Path], str | None]
    # Setting up before the clock starts, and clearing up after it stops.
    before: Callable[[], None] | None = None
    after: Callable[[], None] | None = None


def _velka_tools(threads: int) -> list[Tool]:
    try:
        from velka import torrent
    except ImportError as error:
        log(f"velka.torrent is not there ({error}): no velka rows")
        return []

    def creator(version: str) -> Callable[[Workload, Path], str | None]:
        def run(workload: Workload, scratch: Path) -> str | None:
            torrent.create(
                workload.path,
                version=version,
                piece_length=PIECE,
                creation_date=None,
                threads=threads,
            ).save(scratch / "velka.torrent")
            return None

        return run

    def verifier(version: str) -> Callable[[Workload, Path], str | None]:
        def run(workload: Workload, scratch: Path) -> str | None:
            result = torrent.verify(reference(workload, version), workload.path, threads=threads)
            return None if result.ok else f"failed: {result.failed[:3]}"

        return run

    tools = [Tool("velka", "create", v, creator(v)) for v in VERSIONS]
    return tools + [Tool("velka", "verify", v, verifier(v)) for v in VERSIONS]


_REFERENCES: dict[tuple[str, str], Torrent] = {}


def reference(workload: Workload, version: str) -> Torrent:
    """velka's torrent of the workload, which every tool verifies."""
    key = (workload.name, version)
    if key not in _REFERENCES:
        from velka import torrent

        _REFERENCES[key] = torrent.create(
            workload.path, version=version, piece_length=PIECE, creation_date=None
        )
    return _REFERENCES[key]


def _saved_reference(workload: Workload, version: str, scratch: Path) -> Path:
    path = scratch / f"reference-{version}.torrent"
    if not path.exists():
        reference(workload, version).save(path)
    return path


def _command(*command: str) -> str | None:
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return None if done.returncode == 0 else f"{command[0]}: {done.stderr.strip()[:200]}"


def _program_tools(threads: int) -> list[Tool]:
    tools = []
    if shutil.which("mktorrent"):
        exponent = str(PIECE.bit_length() - 1)

        def mktorrent(workload: Workload, scratch: Path) -> str | None:
            out = scratch / "mktorrent.torrent"
            out.unlink(missing_ok=True)
            flags = ("-d", "-a", TRACKER, "-l", exponent, "-t", str(threads), "-o", str(out))
            return _command("mktorrent", *flags, str(workload.path))

        tools.append(Tool("mktorrent", "create", "v1", mktorrent))
    if shutil.which("transmission-create"):

        def transmission(workload: Workload, scratch: Path) -> str | None:
            out = scratch / "transmission.torrent"
            out.unlink(missing_ok=True)
            flags = ("--anonymize", "-s", str(PIECE // KIB), "-o", str(out))
            return _command("transmission-create", *flags, str(workload.path))

        tools.append(Tool("transmission-create", "create", "v1", transmission))
    return tools


def _libtorrent_tools(threads: int) -> list[Tool]:
    try:
        import libtorrent as lt  # type: ignore[import-not-found]  # no stubs
    except ImportError:
        return []
    flags = {"v1": lt.create_torrent.v1_only, "v2": lt.create_torrent.v2_only, "hybrid": 0}

    def creator(version: str) -> Callable[[Workload, Path], str | None]:
        def run(workload: Workload, scratch: Path) -> str | None:
            files = lt.file_storage()
            lt.add_files(files, str(workload.path))
            maker = lt.create_torrent(files, PIECE, flags[version])
            lt.set_piece_hashes(maker, str(workload.path.parent))
            (scratch / "libtorrent.torrent").write_bytes(lt.bencode(maker.generate()))
            return None

        return run

    # A session keeps threads of its own (network, disk, timers), so it is
    # made for each recheck before the clock starts and closed after it
    # stops: alive through the whole run, it took a few percent from every
    # tool measured beside it.
    sessions: list[Any] = []

    def start() -> None:
        sessions.append(
            lt.session(
                {
                    "listen_interfaces": "127.0.0.1:0",
                    "enable_dht": False,
                    "enable_lsd": False,
                    "enable_upnp": False,
                    "enable_natpmp": False,
                    "hashing_threads": threads,
                    "aio_threads": threads,
                    "alert_mask": lt.alert_category.status | lt.alert_category.error,
                }
            )
        )

    def _wait(session: Any, kind: type, seconds: float = 600) -> object:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            session.wait_for_alert(100)
            for alert in session.pop_alerts():
                if isinstance(alert, kind):
                    return alert
                if isinstance(alert, lt.torrent_error_alert):
                    raise RuntimeError(alert.message())
        raise TimeoutError(f"no {kind.__name__} from libtorrent")

    def verifier(version: str) -> Callable[[Workload, Path], str | None]:
        def run(workload: Workload, scratch: Path) -> str | None:
            session = sessions[-1]
            params = lt.add_torrent_params()
            params.ti = lt.torrent_info(str(_saved_reference(workload, version, scratch)))
            params.save_path = str(workload.path.parent)
            # Neither paused nor queued: a torrent added without resume data
            # is then checked piece by piece at once, libtorrent's recheck.
            params.flags &= ~lt.torrent_flags.auto_managed
            params.flags &= ~lt.torrent_flags.paused
            handle = session.add_torrent(params)
            _wait(session, lt.torrent_checked_alert)
            passed = handle.status().num_pieces
            if passed != params.ti.num_pieces():
                return f"{passed} of {params.ti.num_pieces()} pieces pass"
            return None

        return run

    def close() -> None:
        while sessions:
            # Dropping the last reference stops the session and joins its
            # threads.
            del sessions[-1]

    tools = [Tool("libtorrent", "create", v, creator(v)) for v in VERSIONS]
    return tools + [Tool("libtorrent", "verify", v, verifier(v), start, close) for v in VERSIONS]


def _torf_tools(threads: int) -> list[Tool]:
    try:
        import torf
    except ImportError:
        return []

    def create(workload: Workload, scratch: Path) -> str | None:
        made = torf.Torrent(
            path=str(workload.path), piece_size=PIECE, created_by=None, creation_date=None
        )
        made.generate(threads=threads)
        made.write(str(scratch / "torf.torrent"), overwrite=True)
        return None

    def verify(workload: Workload, scratch: Path) -> str | None:
        loaded = torf.Torrent.read(str(_saved_reference(workload, "v1", scratch)))
        return None if loaded.verify(str(workload.path), threads=threads) else "does not verify"

    return [Tool("torf", "create", "v1", create), Tool("torf", "verify", "v1", verify)]


# The limit ---------------------------------------------------------------------


def _piece_root(piece: memoryview) -> bytes:
    """SHA-256 of each 16 KiB block, then the tree above them to one hash,
    padded with zero leaves to a power of two."""
    level = [hashlib.sha256(piece[at : at + BLOCK]).digest() for at in range(0, len(piece), BLOCK)]
    level += [bytes(32)] * ((1 << (len(level) - 1).bit_length()) - len(level))
    while len(level) > 1:
        level = [hashlib.sha256(level[i] + level[i + 1]).digest() for i in range(0, len(level), 2)]
    return level[0]


def limit_work(workload: Workload, version: str) -> list[tuple[int, int]]:
    """The hashing a torrent of the workload takes, piece by piece: (bytes
    through SHA-1, bytes through SHA-256 in 16 KiB blocks). A v1 stream runs
    on from file to file; in v2 each file starts a piece, and in a hybrid of
    several files the pad files after each one are hashed as zeros by SHA-1."""
    if version == "v1":
        full, rest = divmod(workload.size, PIECE)
        return [(PIECE, 0)] * full + [(rest, 0)] * bool(rest)
    padded = version == "hybrid" and len(workload.sizes) > 1
    work: list[tuple[int, int]] = []
    for size in workload.sizes:
        full, rest = divmod(size, PIECE)
        sha1 = PIECE if version == "hybrid" else 0
        work += [(sha1, PIECE)] * full
        if rest:
            # SHA-1 takes the pad's zeros after the last bytes too, in a
            # hybrid of several files; a single file has no pad.
            tail = 0 if version == "v2" else PIECE if padded else rest
            work.append((tail, rest))
    return work


def _limit_tools(threads: int, buffer_size: int) -> list[Tool]:
    # Larger than the caches, so that the data comes from memory as the
    # files' bytes do, but hashed where it lies: no reading, no copying.
    memory = memoryview(random.Random(SEED).randbytes(buffer_size))
    slots = buffer_size // PIECE

    def share(work: list[tuple[int, int]]) -> list[bytes]:
        roots = []
        for index, (sha1, sha256) in enumerate(work):
            at = (index % slots) * PIECE
            if sha1:
                hashlib.sha1(memory[at : at + sha1]).digest()
            if sha256:
                roots.append(_piece_root(memory[at : at + sha256]))
        return roots

    def limit(version: str) -> Callable[[Workload, Path], str | None]:
        def run(workload: Workload, scratch: Path) -> str | None:
            work = limit_work(workload, version)
            bounds = [len(work) * n // threads for n in range(threads + 1)]
            with ThreadPoolExecutor(threads) as pool:
                parts = pool.map(share, [work[a:b] for a, b in pairwise(bounds)])
                roots = [root for part in parts for root in part]
            while len(roots) > 1:  # the layers above the pieces
                if len(roots) % 2:
                    roots.append(bytes(32))
                pairs = zip(roots[::2], roots[1::2], strict=True)
                roots = [hashlib.sha256(left + right).digest() for left, right in pairs]
            return None

        return run

    return [Tool("limit (hashlib)", "limit", v, limit(v)) for v in VERSIONS]


# Measuring ------------------------------------------------------------------


@dataclass
class Result:
    times: dict[tuple[str, str, str, str], list[float]] = field(default_factory=dict)
    problems: dict[tuple[str, str, str, str], str] = field(default_factory=dict)


def measure(workloads: list[Workload], tools: list[Tool], rounds: int, scratch: Path) -> Result:
    result = Result()
    for round_number in range(rounds):
        jobs = [(w, t) for w in workloads for t in tools]
        random.Random(round_number).shuffle(jobs)
        log(f"round {round_number + 1} of {rounds}: {len(jobs)} measurements")
        for workload, tool in jobs:
            key = (workload.name, tool.operation, tool.version, tool.name)
            if key in result.problems:
                continue
            folder = scratch / _slug(workload.name)
            elapsed = 0.0
            try:
                if tool.operation == "verify":  # velka's torrent, made before the clock starts
                    _saved_reference(workload, tool.version, folder)
                if tool.before:
                    tool.before()
                started = time.perf_counter()
                problem = tool.run(workload, folder)
                elapsed = time.perf_counter() - started
            except Exception as error:  # a peer's fault is reported, not fatal
                problem = f"{type(error).__name__}: {error}"
            finally:
                if tool.after:
                    tool.after()
            if problem:
                result.problems[key] = problem
                log(f"  {tool.name} {tool.operation} {tool.version} on {workload.name}: {problem}")
            else:
                result.times.setdefault(key, []).append(elapsed)
    return result


def _slug(text: str) -> str:
    return "".join(c if c.isalnum() else "-" for c in text)


def versions() -> dict[str, str]:
    """The release of each tool that is there."""
    import importlib.metadata

    found = {}
    for tool, module in (("velka", "velka"), ("libtorrent", "libtorrent"), ("torf", "torf")):
        try:
            found[tool] = importlib.metadata.version(module)
        except importlib.metadata.PackageNotFoundError:
            try:
                found[tool] = str(__import__(module).__version__)
            except (ImportError, AttributeError):
                pass
    for tool, flag in (("mktorrent", "-h"), ("transmission-create", "--version")):
        if shutil.which(tool):
            done = subprocess.run([tool, flag], capture_output=True, text=True, check=False)
            words = (done.stdout + done.stderr).split()
            found[tool] = words[1] if len(words) > 1 else "?"
    return found


def report(workloads: list[Workload], result: Result, rounds: int, threads: int) -> str:
    lines = [
        f"Torrent benchmark, {datetime.now(UTC):%Y-%m-%d %H:%M} UTC: {platform.machine()}, "
        f"{threads} threads, Python {platform.python_version()}, {rounds} rounds, "
        f"pieces of {PIECE // MIB} MiB, data in tmpfs. Median rate; time over velka's "
        "(median of the rounds' ratios); spread of the times (min-max). "
        "velka is at the given share of the limit; the limit's time is over velka's create.",
        "",
        "Versions: " + ", ".join(f"{tool} {version}" for tool, version in versions().items()),
        "",
    ]
    for workload in workloads:
        lines += [
            f"### {workload.name}",
            "",
            "| operation | version | tool | GB/s | time / velka's | spread (s) |",
            "|---|---|---|--:|--:|--:|",
        ]
        for version in VERSIONS:
            limit = result.times.get((workload.name, "limit", version, "limit (hashlib)"))
            for operation in ("create", "verify"):
                velkas = result.times.get((workload.name, operation, version, "velka"))
                rows = sorted(
                    (key[3], times)
                    for key, times in result.times.items()
                    if key[:3] == (workload.name, operation, version)
                )
                rows.sort(key=lambda row: row[0] != "velka")
                for tool, times in rows:
                    if tool == "velka" and limit:
                        share = statistics.median(limit) / statistics.median(times)
                        tool = f"velka ({share:.0%} of the limit)"
                    lines.append(_row(operation, version, tool, workload, times, velkas))
            if limit:
                velkas = result.times.get((workload.name, "create", version, "velka"))
                tool = f"hashlib, {threads} threads"
                lines.append(_row("limit", version, tool, workload, limit, velkas))
        lines.append("")
    for key, problem in sorted(result.problems.items()):
        lines.append(f"- left out: {key[3]} {key[1]} {key[2]} on {key[0]}: {problem}")
    return "\n".join(lines).rstrip() + "\n"


def _row(
    operation: str,
    version: str,
    tool: str,
    workload: Workload,
    times: list[float],
    velkas: list[float] | None,
) -> str:
    rate = workload.size / statistics.median(times) / 1e9
    spread = f"{min(times):.2f}-{max(times):.2f}"
    ratio = _ratio(times, velkas)
    return f"| {operation} | {version} | {tool} | {rate:.2f} | {ratio} | {spread} |"


def _ratio(times: list[float], velkas: list[float] | None) -> str:
    if not velkas:
        return "-"
    ratios = [mine / theirs for mine, theirs in zip(times, velkas, strict=False)]
    return f"{statistics.median(ratios):.2f}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds (5)")
    parser.add_argument("--quick", action="store_true", help="8 MiB of data: a smoke run")
    parser.add_argument("--size", type=int, help="MiB in each workload (2048; 8 with --quick)")
    parser.add_argument("--files", type=int, help="files in the tree (1000; 60 with --quick)")
    parser.add_argument("--data", type=Path, help="where the data goes (/dev/shm/...)")
    parser.add_argument("--keep", action="store_true", help="keep the data for the next run")
    parser.add_argument("--tools", help="comma-separated tool names to run (all)")
    parser.add_argument("--output", type=Path, help="the report (bench/results/torrent.md)")
    args = parser.parse_args(argv)
    size, count = (8 * MIB, 60) if args.quick else (2 * GIB, 1000)
    size = size if args.size is None else args.size * MIB
    count = count if args.files is None else args.files
    data = args.data or Path("/dev/shm") / f"velka-torrent-bench-{os.getuid()}"
    threads = len(os.sched_getaffinity(0))
    workloads = make_data(data, size, count)
    tools = _velka_tools(threads) + _program_tools(threads)
    tools += _libtorrent_tools(threads) + _torf_tools(threads)
    tools += _limit_tools(threads, min(size, 256 * MIB))
    if args.tools:
        wanted = set(args.tools.split(","))
        tools = [tool for tool in tools if tool.name.split()[0] in wanted]
    try:
        with tempfile.TemporaryDirectory(prefix="torrent-bench-", dir=data) as scratch:
            for workload in workloads:
                (Path(scratch) / _slug(workload.name)).mkdir()
            result = measure(workloads, tools, args.rounds, Path(scratch))
    finally:
        if not args.keep:
            shutil.rmtree(data, ignore_errors=True)
    text = report(workloads, result, args.rounds, threads)
    print(text)
    output = args.output or HERE / "results" / ("torrent-quick.md" if args.quick else "torrent.md")
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
