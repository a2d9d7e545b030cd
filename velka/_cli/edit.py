"""``velka edit``: change a torrent's trackers, web seeds, comment, source or
private flag without hashing its data again."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from velka.torrent import Torrent

from ._input import Failure, opened
from .info import read_torrent

SUMMARY = (
    "Edit a .torrent file without hashing again: trackers, web seeds, comment, source "
    "and the private flag. What is not edited stays byte for byte; a new source or "
    "private flag changes the info-hashes, which it prints."
)


def add_parser(commands: Any) -> argparse.ArgumentParser:
    """Adds ``edit`` to the subcommands *commands* (argparse's subparsers)."""
    sub: argparse.ArgumentParser = commands.add_parser(
        "edit",
        help=SUMMARY.split(":", 1)[0] + ".",
        description=SUMMARY,
        epilog="example:\n  velka edit a.torrent --clear-trackers "
        "-t http://tracker.invalid/announce,udp://tracker.invalid:6969 --source XYZ",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub.set_defaults(run=run, usage_error=sub.error)
    sub.add_argument("file", metavar="FILE", help="a .torrent file, or - for standard input")
    sub.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="write to OUT (- for standard output) instead of rewriting FILE in place",
    )
    sub.add_argument(
        "-t",
        "--tracker",
        action="append",
        default=[],
        metavar="URL[,URL...]",
        help="add a tier of trackers (URLs separated by commas); may be repeated",
    )
    sub.add_argument(
        "--clear-trackers", action="store_true", help="remove the trackers before adding any"
    )
    sub.add_argument(
        "--web-seed", action="append", default=[], metavar="URL", help="add a web seed"
    )
    sub.add_argument(
        "--clear-web-seeds", action="store_true", help="remove the web seeds before adding any"
    )
    sub.add_argument("--comment", metavar="C", help="set the comment ('' removes it)")
    sub.add_argument(
        "--source", metavar="S", help="set the source ('' removes it); changes the info-hashes"
    )
    private = sub.add_mutually_exclusive_group()
    private.add_argument(
        "--private",
        action="store_true",
        default=None,
        help="mark the torrent private; changes the info-hashes",
    )
    private.add_argument(
        "--no-private",
        dest="private",
        action="store_false",
        help="mark the torrent public; changes the info-hashes",
    )
    return sub


def _tiers(values: list[str]) -> list[list[str]]:
    tiers = []
    for value in values:
        tier = [url.strip() for url in value.split(",") if url.strip()]
        if not tier:
            raise ValueError(f"-t {value!r} names no URL")
        tiers.append(tier)
    return tiers


def _edited(torrent: Torrent, args: argparse.Namespace) -> bool:
    """Applies the edits *args* ask for; False when they ask for none."""
    edited = False
    if args.clear_trackers or args.tracker:
        old = [] if args.clear_trackers else torrent.trackers
        known = {url for tier in old for url in tier}
        tiers = list(old)
        for tier in _tiers(args.tracker):
            # A URL already listed stays in its tier: one URL, one place.
            new = [url for url in dict.fromkeys(tier) if url not in known]
            known.update(new)
            if new:
                tiers.append(new)
        torrent.trackers = tiers
        edited = True
    if args.clear_web_seeds or args.web_seed:
        seeds = [] if args.clear_web_seeds else torrent.web_seeds
        torrent.web_seeds = list(dict.fromkeys(seeds + args.web_seed))
        edited = True
    if args.comment is not None:
        torrent.comment = args.comment or None
        edited = True
    if args.source is not None:
        torrent.source = args.source or None
        edited = True
    if args.private is not None:
        torrent.private = args.private
        edited = True
    return edited


def run(args: argparse.Namespace) -> int:
    with opened(args.file) as data:
        torrent = read_torrent(data)
    before = (torrent.info_hash_v1, torrent.info_hash_v2)
    edited = False
    try:
        edited = _edited(torrent, args)
    except ValueError as error:
        args.usage_error(str(error))
    if not edited:
        args.usage_error(
            "nothing to edit: give -t, --clear-trackers, --web-seed, --clear-web-seeds, "
            "--comment, --source, --private or --no-private"
        )
    output = args.output if args.output is not None else args.file
    to_stdout = output == "-"
    if to_stdout:
        sys.stdout.buffer.write(torrent.encode())
        sys.stdout.buffer.flush()
    else:
        try:
            torrent.save(output)
        except OSError as error:
            raise Failure(error.strerror or str(error), output) from None
    after = (torrent.info_hash_v1, torrent.info_hash_v2)
    if after != before:
        report = sys.stderr if to_stdout else sys.stdout
        for version, value in enumerate(after, 1):
            if value is not None:
                print(f"info-hash v{version}:  {value}", file=report)
        print(f"magnet:        {torrent.magnet}", file=report, flush=True)
    return 0
