"""How each of the command's subcommands is declared."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

Run = Callable[[argparse.Namespace], int]


def add_command(
    commands: Any,
    name: str,
    summary: str,
    example: str,
    run: Run,
    *,
    short: str | None = None,
    notes: str | None = None,
) -> argparse.ArgumentParser:
    """Adds the subcommand *name* to *commands* (argparse's subparsers).

    *summary* is what ``velka NAME --help`` says first, and *short* (or
    *summary*) its line in ``velka --help``; *notes* and then *example* close
    its help. *run* is called with the parsed arguments.
    """
    epilog = f"example:\n  {example}"
    if notes is not None:
        epilog = f"{notes}\n\n{epilog}"
    sub: argparse.ArgumentParser = commands.add_parser(
        name,
        help=short or summary,
        description=summary,
        epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub.set_defaults(run=run)
    return sub
