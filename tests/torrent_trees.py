"""The folders the torrent agreement tests are made of, shared by the tests
and by tests/oracle/make_references.py, which has libtorrent and the other
tools make torrents of them once per test run.

Plain standard library only: the reference script runs on the sid root's
system interpreter, where velka is not installed. A tree is a list of files
(path, size, executable bit); its content is drawn from a seed, so that any
Python version on any CPU writes the same bytes from the manifest alone.
"""

from __future__ import annotations

import os
import random
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

KIB = 1024
MIB = 1024 * KIB
BLOCK = 16 * KIB


@dataclass(frozen=True)
class Entry:
    path: tuple[str, ...]  # below the tree's folder; () for a single-file tree
    size: int
    executable: bool = False


@dataclass(frozen=True)
class Tree:
    """A folder (or, with single, a file) named `name`, made for torrents of
    `piece_length`."""

    label: str
    name: str
    piece_length: int
    entries: tuple[Entry, ...]
    single: bool = False

    @property
    def total(self) -> int:
        return sum(entry.size for entry in self.entries)

    def to_json(self) -> dict[str, object]:
        return {
            "label": self.label,
            "name": self.name,
            "piece_length": self.piece_length,
            "single": self.single,
            "files": [
                {"path": list(e.path), "size": e.size, "executable": e.executable}
                for e in self.entries
            ],
        }

    @classmethod
    def from_json(cls, data: dict[str, object]) -> Tree:
        files = data["files"]
        assert isinstance(files, list)
        return cls(
            label=str(data["label"]),
            name=str(data["name"]),
            piece_length=int(str(data["piece_length"])),
            single=bool(data["single"]),
            entries=tuple(
                Entry(tuple(f["path"]), int(f["size"]), bool(f["executable"])) for f in files
            ),
        )


def component_order(entries: tuple[Entry, ...]) -> tuple[Entry, ...]:
    """By path component, each compared as UTF-8 bytes: the order of BEP 52's
    file tree, which velka keeps for v1 too."""
    return tuple(sorted(entries, key=lambda e: [part.encode() for part in e.path]))


def _sizes(piece_length: int) -> list[int]:
    """The file sizes where piece and block arithmetic goes wrong, in an order
    that is not their sorted one."""
    length = piece_length
    sizes = [1, 3 * length + 1, 0, length - 1, BLOCK + 1, length, BLOCK - 1, length + 1, BLOCK]
    if 3 * BLOCK < length:
        sizes.append(2 * BLOCK + 100)  # three blocks, the last short, inside one piece
    unique: list[int] = []
    for size in sizes:
        if size not in unique:
            unique.append(size)
    return unique


def _sizes_tree(piece_length: int, sizes: list[int] | None = None) -> Tree:
    chosen = _sizes(piece_length) if sizes is None else sizes
    entries = []
    for index, size in enumerate(chosen):
        # Every third one a level down, so that folders and files interleave.
        path = (f"f{index:02d}-{size}",) if index % 3 else ("sub", f"f{index:02d}-{size}")
        entries.append(Entry(path, size))
    label = f"sizes-{piece_length // KIB}k"
    return Tree(label, "Sizes Ä", piece_length, tuple(entries))


def _names_tree(piece_length: int) -> Tree:
    entries = (
        # Ordered by full path these are "a b/x", "a-b/x", "a.b", "a/x"; by
        # component, "a/x" comes first.
        Entry(("a b", "x"), 5000),
        Entry(("a-b", "x"), BLOCK + 1),
        Entry(("a.b",), 1),
        Entry(("a", "x"), 20000, executable=True),
        Entry(("ünïcödé", "日本語.txt"), 2 * BLOCK + 7),
        Entry(("Ωmega",), 100),
        Entry((".hidden",), 300),
        # Last by component (U+03C9 sorts after U+03A9 and U+00FC), and empty.
        Entry(("ω", "empty"), 0),
    )
    return Tree(f"names-{piece_length // KIB}k", "names", piece_length, entries)


def _single(piece_length: int, size: int) -> Tree:
    entry = Entry((), size)
    return Tree(f"single-{piece_length // KIB}k", "single file.bin", piece_length, (entry,), True)


def _in_folder(piece_length: int, size: int) -> Tree:
    entry = Entry(("only.bin",), size)
    return Tree(f"in-folder-{piece_length // KIB}k", "folder", piece_length, (entry,))


def trees() -> list[Tree]:
    """Every tree, about 21 MiB of data in all."""
    found = [_sizes_tree(length) for length in (16 * KIB, 32 * KIB, 64 * KIB, 256 * KIB, MIB)]
    length = 4 * MIB
    found.append(_sizes_tree(length, [0, 1, BLOCK + 1, length - 1, length + 1]))
    found += [_names_tree(16 * KIB), _names_tree(64 * KIB)]
    found += [_single(16 * KIB, 3 * 16 * KIB + 1), _single(256 * KIB, 256 * KIB - 1)]
    found += [_in_folder(32 * KIB, 3 * 32 * KIB + 1), _in_folder(64 * KIB, 64 * KIB + 1)]
    return found


def content(tree: Tree, entry: Entry) -> bytes:
    """The file's bytes: Mersenne Twister output from a string seed, the same
    on every platform and Python version."""
    seed = "/".join((tree.label, *entry.path))
    return random.Random(seed).randbytes(entry.size)


def write(tree: Tree, parent: Path) -> Path:
    """Writes the tree into `parent` and returns the path of its folder (or
    file)."""
    top = parent / tree.name
    for entry in tree.entries:
        target = top.joinpath(*entry.path)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content(tree, entry))
        os.chmod(target, 0o755 if entry.executable else 0o644)
    return top


def files(tree: Tree, top: Path) -> Iterator[tuple[Entry, Path]]:
    for entry in tree.entries:
        yield entry, top.joinpath(*entry.path)
