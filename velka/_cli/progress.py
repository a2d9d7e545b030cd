"""The progress line of ``velka create`` and ``velka verify``: bytes done, rate
and time left, redrawn in place on standard error when it is a terminal."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import TextIO

_UNITS = ("B", "kB", "MB", "GB", "TB", "PB")


def size(count: float) -> str:
    """*count* bytes in decimal units, three significant figures."""
    unit = 0
    while count >= 1000 and unit < len(_UNITS) - 1:
        count /= 1000
        unit += 1
    if unit == 0:
        return f"{int(count)} B"
    return f"{count:.3g} {_UNITS[unit]}"


def duration(seconds: float) -> str:
    whole = int(seconds + 0.5)
    hours, rest = divmod(whole, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}:{minutes:02}:{secs:02}" if hours else f"{minutes}:{secs:02}"


class ProgressLine:
    """A callable for ``progress=``: draws ``done of total, rate, time left``."""

    def __init__(self, stream: TextIO, clock: Callable[[], float] = time.monotonic) -> None:
        self.stream = stream
        self.clock = clock
        self.start = self.clock()
        self.drawn = False

    def __call__(self, done: int, total: int) -> None:
        elapsed = self.clock() - self.start
        share = done / total if total else 1.0
        text = f"{share:4.0%}  {size(done)} of {size(total)}"
        if elapsed > 0 and done:
            rate = done / elapsed
            text += f"  {size(rate)}/s  {duration((total - done) / rate)} left"
        self.stream.write(f"\r{text}\x1b[K")
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        """Clears the line, so that what follows starts on a clean one."""
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.drawn = False


def progress_line(quiet: bool) -> ProgressLine | None:
    """A progress line on standard error, or None with *quiet* or when standard
    error is not a terminal."""
    if quiet:
        return None
    try:
        terminal = sys.stderr.isatty()
    except (AttributeError, ValueError):
        terminal = False
    return ProgressLine(sys.stderr) if terminal else None
