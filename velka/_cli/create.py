"""``velka create``: make a .torrent file of a file or a folder."""

from __future__ import annotations

import argparse
import dataclasses
import os
import re
import sys
from typing import Any

from velka.torrent import Torrent
from velka.torrent._create import Options, build, check_name, default_date, options
from velka.torrent._files import default_name
from velka.torrent._layout import check_piece_length

from ._input import Failure
from .progress import ProgressLine, progress_line

SUMMARY = (
    "Make a .torrent file of a file or a folder: v1, v2 or hybrid (the default), "
    "laid out as libtorrent lays it out, hashed on every core."
)

_UNITS = {"": 1, "k": 1 << 10, "kib": 1 << 10, "m": 1 << 20, "mib": 1 << 20}


def piece_length(text: str) -> int:
    """``--piece-length``: bytes, or with K/KiB or M/MiB."""
    match = re.fullmatch(r"\s*(\d+)\s*([a-zA-Z]*)\s*", text)
    if match is None or match[2].lower() not in _UNITS:
        raise argparse.ArgumentTypeError(f"not a length in bytes, KiB or MiB: {text!r}")
    return int(match[1]) * _UNITS[match[2].lower()]


def thread_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(f"not a number of threads: {text!r}")
    return count


def tier(text: str) -> list[str]:
    urls = [url.strip() for url in text.split(",") if url.strip()]
    if not urls:
        raise argparse.ArgumentTypeError(f"no tracker URL in {text!r}")
    return urls


def add_parser(commands: Any) -> argparse.ArgumentParser:
    """Adds ``create`` to the subcommands *commands* (argparse's subparsers)."""
    sub: argparse.ArgumentParser = commands.add_parser(
        "create",
        help="Make a .torrent file of a file or a folder.",
        description=SUMMARY,
        epilog="Prints the info-hashes. The creation date is now, or SOURCE_DATE_EPOCH "
        "when set.\n\nexample:\n  velka create photos -t http://tracker.invalid/announce "
        "--exclude '*.tmp'",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub.set_defaults(run=run)
    sub.add_argument("path", metavar="PATH", help="the file or folder to share")
    sub.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="where to write the torrent (- for standard output); NAME.torrent by default",
    )
    sub.add_argument("--name", metavar="N", help="the torrent's name; PATH's last part by default")
    kind = sub.add_mutually_exclusive_group()
    for flag, version in (("--v1", "v1"), ("--v2", "v2"), ("--hybrid", "hybrid")):
        kind.add_argument(
            flag,
            dest="version",
            action="store_const",
            const=version,
            help=f"make a {version} torrent" + (" (the default)" if version == "hybrid" else ""),
        )
    sub.set_defaults(version="hybrid")
    sub.add_argument(
        "--piece-length",
        type=piece_length,
        metavar="N",
        help="bytes per piece, a power of two (e.g. 262144, 256K, 4M); by default from the size",
    )
    sub.add_argument(
        "-t",
        "--tracker",
        type=tier,
        action="append",
        default=[],
        metavar="URL[,URL...]",
        help="add a tier of trackers (URLs separated by commas); may be repeated",
    )
    sub.add_argument(
        "--web-seed", action="append", default=[], metavar="URL", help="add a web seed"
    )
    sub.add_argument("--private", action="store_true", help="mark the torrent private")
    sub.add_argument("--source", metavar="S", help="set the source (changes the info-hashes)")
    sub.add_argument("--comment", metavar="C", help="set the comment")
    sub.add_argument("--no-date", action="store_true", help="write no creation date")
    sub.add_argument(
        "--threads", type=thread_count, metavar="N", help="hash on N threads; every core by default"
    )
    sub.add_argument(
        "--exclude",
        action="append",
        default=[],
        metavar="GLOB",
        help="leave out files and folders whose name matches GLOB, or whose path under "
        "PATH does when GLOB holds a /; may be repeated",
    )
    sub.add_argument("--force", action="store_true", help="replace the output file if it exists")
    sub.add_argument("-q", "--quiet", action="store_true", help="show no progress line")
    return sub


def _options(args: argparse.Namespace) -> Options:
    """The API's options from the command line; a bad one fails naming its option."""
    if args.name is not None:
        _check("--name", check_name, args.name)
    if args.piece_length is not None:
        _check("--piece-length", check_piece_length, args.piece_length, args.version)
    date = None if args.no_date else _check("SOURCE_DATE_EPOCH", default_date)
    try:
        return options(
            version=args.version,
            name=args.name,
            piece_length=args.piece_length,
            trackers=args.tracker,
            web_seeds=args.web_seed,
            private=args.private,
            source=args.source,
            comment=args.comment,
            creation_date=date,
            exclude=args.exclude,
            threads=args.threads,
        )
    except (ValueError, TypeError) as error:
        raise Failure(str(error), "velka create") from None


def _check(option: str, check: Any, *values: Any) -> Any:
    try:
        return check(*values)
    except (ValueError, TypeError) as error:
        raise Failure(str(error), option) from None


def _output(args: argparse.Namespace) -> str:
    if args.output is not None:
        return str(args.output)
    name = args.name if args.name is not None else default_name(args.path)
    return f"{name}.torrent"


def run(args: argparse.Namespace) -> int:
    chosen = _options(args)
    output = _output(args)
    leave_out = []
    if output != "-":
        try:
            st = os.stat(output)
        except FileNotFoundError:
            pass
        except OSError as error:
            raise Failure(error.strerror or str(error), output) from None
        else:
            if not args.force:
                raise Failure("exists; give --force to replace it", output)
            # The old torrent, if it lies in the folder, is no part of the new.
            leave_out.append((st.st_dev, st.st_ino))
        folder = os.path.dirname(os.path.abspath(output))
        if not os.path.isdir(folder):
            raise Failure("no such folder to write to", output)
    line = progress_line(args.quiet)
    try:
        torrent = build(args.path, _with_progress(chosen, line), leave_out)
    except OSError as error:
        name = error.filename if error.filename is not None else args.path
        raise Failure(error.strerror or str(error), os.fsdecode(name)) from None
    except ValueError as error:
        # The name that PATH gives, when it gives none (the root folder).
        raise Failure(str(error), args.path) from None
    finally:
        if line is not None:
            line.close()
    _write(torrent, output, args.force)
    _print_hashes(torrent, sys.stderr if output == "-" else sys.stdout)
    return 0


def _with_progress(chosen: Options, line: ProgressLine | None) -> Options:
    return chosen if line is None else dataclasses.replace(chosen, progress=line)


def _write(torrent: Torrent, output: str, force: bool) -> None:
    if output == "-":
        sys.stdout.buffer.write(torrent.encode())
        sys.stdout.buffer.flush()
        return
    if not force and os.path.lexists(output):
        raise Failure("exists; give --force to replace it", output)
    try:
        torrent.save(output)
    except OSError as error:
        raise Failure(error.strerror or str(error), output) from None


def _print_hashes(torrent: Torrent, out: Any) -> None:
    for version, value in ((1, torrent.info_hash_v1), (2, torrent.info_hash_v2)):
        if value is not None:
            print(f"info-hash v{version}: {value}", file=out)
    out.flush()
