"""The reference torrents of tests/oracle/make_references.py, as the tests
read them.

They live in VELKA_TORRENT_REFERENCES (build/torrent-references of the
checkout by default), made once per test run by scripts/torrent-references.sh
in the sid root, where libtorrent is; every Python version and CPU reads the
same ones. Where they are missing the tests that need them skip, unless
VELKA_REQUIRE_REFERENCES is set (scripts/test-all.sh sets it), which makes
that a failure.
"""

from __future__ import annotations

import json
import os
import shutil
from dataclasses import dataclass
from functools import cache
from pathlib import Path

import pytest
import torrent_trees
from torrent_trees import Tree

CHECKOUT = Path(__file__).resolve().parent.parent
REFERENCES = Path(
    os.environ.get("VELKA_TORRENT_REFERENCES") or CHECKOUT / "build" / "torrent-references"
)
EMULATED = bool(os.environ.get("VELKA_EMULATED"))
# Under emulation hashing runs many times slower: the larger trees are left
# to the native runs.
EMULATED_LIMIT = 2 * torrent_trees.MIB


@dataclass(frozen=True)
class Reference:
    tool: str
    version: str  # "v1", "v2" or "hybrid"
    file: str
    info_hash_v1: str | None
    info_hash_v2: str | None
    private: bool = False

    @property
    def path(self) -> Path:
        return REFERENCES / self.file

    @property
    def label(self) -> str:
        return f"{self.tool}-{self.version}"


@dataclass(frozen=True)
class Case:
    tree: Tree
    torrents: tuple[Reference, ...]

    def find(self, tool: str, version: str = "v1", private: bool = False) -> Reference:
        for reference in self.torrents:
            if (reference.tool, reference.version, reference.private) == (tool, version, private):
                return reference
        raise LookupError(f"{self.tree.label} has no {tool} {version} torrent")

    def __str__(self) -> str:
        return self.tree.label


@cache
def manifest() -> dict[str, object] | None:
    try:
        loaded = json.loads((REFERENCES / "manifest.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    assert isinstance(loaded, dict)
    return loaded


def cases() -> list[Case]:
    found = manifest()
    if found is None:
        return []
    listed = found["cases"]
    assert isinstance(listed, list)
    return [
        Case(
            Tree.from_json(case["tree"]),
            tuple(Reference(**torrent) for torrent in case["torrents"]),
        )
        for case in listed
    ]


def tool_versions() -> dict[str, str]:
    found = manifest()
    return {} if found is None else dict(found["tools"])  # type: ignore[call-overload]


def case(label: str) -> Case:
    for found in cases():
        if found.tree.label == label:
            return found
    pytest.skip(f"no reference torrents of {label} in {REFERENCES}")


def require() -> None:
    """Skips (or, under VELKA_REQUIRE_REFERENCES, fails) without references."""
    if manifest() is not None:
        return
    reason = f"no reference torrents in {REFERENCES} (scripts/torrent-references.sh makes them)"
    if os.environ.get("VELKA_REQUIRE_REFERENCES"):
        pytest.fail(reason)
    pytest.skip(reason)


def skip_if_heavy(tree: Tree) -> None:
    if EMULATED and tree.total > EMULATED_LIMIT:
        pytest.skip("the larger trees are checked on the native CPU")


class Trees:
    """Each tree written once per session, below one folder; `copy` gives a
    private copy for a test that damages it."""

    def __init__(self, parent: Path) -> None:
        self._parent = parent
        self._written: dict[str, Path] = {}

    def __call__(self, tree: Tree) -> Path:
        if tree.label not in self._written:
            self._written[tree.label] = torrent_trees.write(tree, self._parent / tree.label)
        return self._written[tree.label]

    def copy(self, tree: Tree, into: Path) -> Path:
        source = self(tree)
        target = into / source.name
        if tree.single:
            shutil.copy2(source, target)
        else:
            shutil.copytree(source, target)
        return target
