"""``velka verify``: check files against a .torrent file."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterable, Iterator
from typing import Any

from velka.torrent._verify import FileFault, Verification, verify

from ._input import Failure, opened
from .create import thread_count
from .info import read_torrent
from .progress import progress_line

SUMMARY = (
    "Check files against a .torrent file, v1, v2 or hybrid, from any creator: "
    "says which files fail (missing, of the wrong size, or with pieces that do not "
    "match) and which pieces. Exit status 0 only when every file matches."
)

_REASONS = {"missing": "missing", "size": "wrong size", "hash": "pieces differ"}


def add_parser(commands: Any) -> argparse.ArgumentParser:
    """Adds ``verify`` to the subcommands *commands* (argparse's subparsers)."""
    sub: argparse.ArgumentParser = commands.add_parser(
        "verify",
        help="Check files against a .torrent file.",
        description=SUMMARY,
        epilog="PATH is the folder that holds the files of a multi-file torrent, whatever "
        "its name, or the file of a single-file torrent.\n\nexample:\n"
        "  velka verify photos.torrent ~/Downloads/photos",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub.set_defaults(run=run)
    sub.add_argument("file", metavar="FILE.torrent", help="the torrent, or - for standard input")
    sub.add_argument("path", metavar="PATH", help="the torrent's folder, or its file")
    sub.add_argument(
        "--threads", type=thread_count, metavar="N", help="hash on N threads; every core by default"
    )
    sub.add_argument("--json", action="store_true", help="print one JSON object")
    sub.add_argument("-q", "--quiet", action="store_true", help="show no progress line")
    return sub


def pieces_text(pieces: Iterable[int], most: int = 20) -> str:
    """``3, 7-9, 12``: runs of pieces, at most *most* of them, then how many more."""
    runs: list[list[int]] = []
    for piece in pieces:
        if runs and runs[-1][1] + 1 == piece:
            runs[-1][1] = piece
        else:
            runs.append([piece, piece])
    shown = [str(a) if a == b else f"{a}-{b}" for a, b in runs[:most]]
    if len(runs) > most:
        left = sum(b - a + 1 for a, b in runs[most:])
        shown.append(f"and {left} more")
    return ", ".join(shown)


def fault_line(fault: FileFault) -> str:
    text = f"{fault.path}: {_REASONS[fault.reason]}"
    if fault.pieces:
        word = "piece" if len(fault.pieces) == 1 else "pieces"
        text += f"; {word} {pieces_text(fault.pieces)} fail"
    return text


def _lines(result: Verification, files: int) -> Iterator[str]:
    for fault in result.faults:
        yield fault_line(fault)
    if result.ok:
        yield f"all {files} files match" if files != 1 else "the file matches"
    else:
        yield f"{len(result.faults)} of {files} files fail"


def run(args: argparse.Namespace) -> int:
    with opened(args.file) as data:
        torrent = read_torrent(data)
    line = progress_line(args.quiet)
    try:
        result = verify(torrent, args.path, threads=args.threads, progress=line)
    except OSError as error:
        name = error.filename if error.filename is not None else args.path
        raise Failure(error.strerror or str(error), os.fsdecode(name)) from None
    finally:
        if line is not None:
            line.close()
    if args.json:
        report = {
            "ok": result.ok,
            "failed": result.failed,
            "faults": [
                {"path": f.path, "reason": f.reason, "pieces": list(f.pieces)}
                for f in result.faults
            ],
        }
        text = json.dumps(report, ensure_ascii=False, indent=2) + "\n"
    else:
        text = "".join(line + "\n" for line in _lines(result, len(torrent.files)))
    sys.stdout.buffer.write(text.encode("utf-8", "surrogateescape"))
    sys.stdout.flush()
    return 0 if result.ok else 1
