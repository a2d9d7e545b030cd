"""The ``velka`` command: look at, check and edit bencoded files from a shell.

Results go to standard output and messages to standard error; the exit status
is 0 on success, 1 when an input is invalid or cannot be read, and 2 on wrong
usage.
"""

from __future__ import annotations

import argparse
import itertools
import json
import signal
import sys
from collections.abc import Callable, Iterable
from typing import BinaryIO

from velka.bencode import BencodeValue, decode
from velka.raw import span

from . import create, edit, verify
from ._input import CODEC_ERRORS, Failure, decode_failure, display_name, opened
from .check import check
from .info import info_json, info_lines, read_torrent
from .json_form import JSONFormError, canonical_bencode, from_json, json_chunks
from .show import show_lines

__all__ = ["main"]

_FILE_HELP = "a file, or - for standard input"


def _write_text(lines: Iterable[str], out: BinaryIO) -> None:
    """Writes *lines* as UTF-8 whatever the locale, in blocks, so that a long
    output starts at once and a reader that stops early stops the walk."""
    block: list[str] = []
    size = 0
    for line in lines:
        block.append(line)
        size += len(line)
        if size > 1 << 16:
            out.write("".join(block).encode("utf-8"))
            block.clear()
            size = 0
    out.write("".join(block).encode("utf-8"))
    out.flush()


def _decode_file(name: str) -> BencodeValue:
    with opened(name) as data, memoryview(data) as view:
        try:
            return decode(view)
        except CODEC_ERRORS as error:
            raise decode_failure(error, len(view)) from None


def _show(args: argparse.Namespace) -> int:
    value = _decode_file(args.file)
    lines = (line + "\n" for line in show_lines(value, full=args.full, depth=args.depth))
    _write_text(lines, sys.stdout.buffer)
    return 0


def _check(args: argparse.Namespace) -> int:
    status = 0
    for name in args.files:
        try:
            with opened(name) as data:
                verdict = check(data, args.all)
        except Failure as failure:
            sys.stdout.flush()
            print(f"{display_name(name)}: {failure}", file=sys.stderr)
            status = 1
        else:
            print(f"{display_name(name)}: {verdict}", flush=True)
    return status


def _info(args: argparse.Namespace) -> int:
    with opened(args.file) as data:
        torrent = read_torrent(data)
    if args.json:
        text = json.dumps(info_json(torrent), ensure_ascii=False, indent=2) + "\n"
        _write_text([text], sys.stdout.buffer)
    else:
        _write_text((line + "\n" for line in info_lines(torrent)), sys.stdout.buffer)
    return 0


def _magnet(args: argparse.Namespace) -> int:
    with opened(args.file) as data:
        torrent = read_torrent(data)
    _write_text([torrent.magnet + "\n"], sys.stdout.buffer)
    return 0


def _to_json(args: argparse.Namespace) -> int:
    value = _decode_file(args.file)
    chunks = json_chunks(value, indent=None if args.compact else 2)
    _write_text(itertools.chain(chunks, "\n"), sys.stdout.buffer)
    return 0


def _from_json(args: argparse.Namespace) -> int:
    with opened(args.file) as data, memoryview(data) as view:
        try:
            text = str(view, "utf-8")
        except UnicodeDecodeError as error:
            raise Failure(f"not JSON: not UTF-8 at byte {error.start}") from None
    try:
        encoded = canonical_bencode(from_json(text))
    except JSONFormError as error:
        raise Failure(str(error)) from None
    try:
        # Never write what the decoder would refuse: nesting too deep for it.
        span(encoded)
    except RecursionError as error:
        raise Failure(f"nested too deeply ({error})") from None
    if args.output is None:
        sys.stdout.buffer.write(encoded)
        sys.stdout.buffer.flush()
    else:
        try:
            with open(args.output, "wb") as out:
                out.write(encoded)
        except OSError as error:
            raise Failure(error.strerror or str(error), args.output) from None
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velka",
        description="Look at, check and edit bencoded data (.torrent files, resume "
        "files, DHT and tracker messages).",
        epilog="Exit status: 0 on success, 1 when an input is invalid or cannot be "
        "read, 2 on wrong usage. Run 'velka COMMAND --help' for a command's options.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(
        name: str, summary: str, example: str, run: Callable[[argparse.Namespace], int]
    ) -> argparse.ArgumentParser:
        sub = commands.add_parser(
            name,
            help=summary,
            description=summary,
            epilog=f"example:\n  {example}",
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        sub.set_defaults(run=run)
        return sub

    show = command(
        "show",
        "Print any bencoded value as a readable tree, dictionaries in file order.",
        "velka show --depth 2 a.torrent",
        _show,
    )
    show.add_argument("file", metavar="FILE", help=_FILE_HELP)
    show.add_argument("--full", action="store_true", help="show long byte strings whole")
    show.add_argument(
        "--depth",
        type=_depth,
        metavar="N",
        help="show N levels of nesting; deeper lists and dictionaries by their size only",
    )

    check_ = command(
        "check",
        "Check that each file is exactly one well-formed bencoded value.",
        "velka check *.torrent",
        _check,
    )
    check_.add_argument("files", nargs="+", metavar="FILE", help=_FILE_HELP)
    check_.add_argument(
        "--all", action="store_true", help="accept any number of concatenated values"
    )

    info = command(
        "info",
        "Describe a .torrent file: name, files, pieces, trackers, info-hashes and magnet link.",
        "velka info --json a.torrent | jq .info_hash_v1",
        _info,
    )
    info.add_argument("file", metavar="FILE", help=_FILE_HELP)
    info.add_argument("--json", action="store_true", help="print one JSON object")

    magnet = command(
        "magnet",
        "Print a .torrent file's magnet link: info-hashes, name, trackers and web seeds.",
        "velka magnet a.torrent",
        _magnet,
    )
    magnet.add_argument("file", metavar="FILE", help=_FILE_HELP)

    edit.add_parser(commands)

    to_json = command(
        "to-json",
        "Print a bencoded value as JSON that from-json turns back into the same bytes. "
        'Byte strings that are not UTF-8 become {"$hex": "..."}, dictionary keys that '
        'are not UTF-8 "$hex:...", and keys that begin with "$" have it doubled.',
        "velka to-json a.torrent | jq '.announce = \"udp://tracker.invalid:6969\"' "
        "| velka from-json - > b.torrent",
        _to_json,
    )
    to_json.add_argument("file", metavar="FILE", help=_FILE_HELP)
    to_json.add_argument("--compact", action="store_true", help="print it on one line")

    from_json_ = command(
        "from-json",
        "Write the canonical bencoding of JSON in the form to-json prints.",
        "velka from-json edited.json -o b.torrent",
        _from_json,
    )
    from_json_.add_argument("file", metavar="FILE", help=_FILE_HELP)
    from_json_.add_argument(
        "-o", "--output", metavar="PATH", help="write to PATH instead of standard output"
    )

    create.add_parser(commands)
    verify.add_parser(commands)
    return parser


def _depth(text: str) -> int:
    try:
        depth = int(text)
    except ValueError:
        depth = -1
    if depth < 0:
        raise argparse.ArgumentTypeError(f"not a number of levels: {text!r}")
    return depth


def main(argv: list[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    try:
        # Die of a closed pipe as other Unix tools do: quietly, at once.
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    except (AttributeError, ValueError):
        pass  # no SIGPIPE here, or not the main thread
    args = _parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except Failure as failure:
        sys.stdout.flush()
        name = failure.name if failure.name is not None else args.file
        print(f"{display_name(name)}: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
