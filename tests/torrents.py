"""Torrents made by the real tools for the tests, where they are installed."""

import shutil
import subprocess
from pathlib import Path

import pytest

TRACKER = "http://tracker.invalid/announce"


def make_torrent(tool: str, target: Path, out: Path) -> Path:
    """A torrent of `target` made by `tool` (mktorrent or transmission-create)
    at `out`; the test is skipped where the tool is missing."""
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed")
    flag = "-a" if tool == "mktorrent" else "-t"
    subprocess.run(
        [tool, flag, TRACKER, "-o", str(out), str(target)],
        check=True,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        timeout=120,
    )
    return out
