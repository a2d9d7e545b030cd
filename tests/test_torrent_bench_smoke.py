"""Smoke checks of bench/torrent_bench.py: its data and its limit are what
the table says, and a quick run of velka and the limit reports every row."""

import os
import random
import sys
from pathlib import Path

import merkle_reference
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import torrent_bench

PIECE = torrent_bench.PIECE


def test_tree_sizes_are_seeded_exact_and_mixed():
    sizes = torrent_bench.tree_sizes(2 * torrent_bench.GIB, 1000, random.Random(28))
    assert sizes == torrent_bench.tree_sizes(2 * torrent_bench.GIB, 1000, random.Random(28))
    assert len(sizes) == 1000 and sum(sizes) == 2 * torrent_bench.GIB
    assert min(sizes) > 0
    small = sum(size < torrent_bench.BLOCK for size in sizes)
    assert 200 <= small <= 500


def test_the_limit_hashes_a_piece_as_v2_does():
    piece = random.Random(1).randbytes(torrent_bench.PIECE)
    root, _ = merkle_reference.tree(piece, torrent_bench.PIECE)
    assert torrent_bench._piece_root(memoryview(piece)) == root


@pytest.mark.skipif(bool(os.environ.get("VELKA_EMULATED")), reason="hashes 150 MiB")
@pytest.mark.parametrize(
    ("sizes", "version", "work"),
    [
        # (bytes through SHA-1, bytes through SHA-256) piece by piece
        ((3, 2), "v1", [(5, 0)]),
        ((PIECE + 1, 2), "v1", [(PIECE, 0), (3, 0)]),
        ((PIECE + 1, 2), "v2", [(0, PIECE), (0, 1), (0, 2)]),
        ((PIECE + 1, 2), "hybrid", [(PIECE, PIECE), (PIECE, 1), (PIECE, 2)]),
        ((PIECE + 1,), "hybrid", [(PIECE, PIECE), (1, 1)]),
    ],
)
def test_the_limit_hashes_what_the_torrent_does(sizes, version, work):
    workload = torrent_bench.Workload("w", Path("w"), sizes)
    assert torrent_bench.limit_work(workload, version) == work


def test_a_quick_run_reports_velka_and_the_limit(tmp_path):
    pytest.importorskip("velka.torrent")
    output = tmp_path / "report.md"
    arguments = ["--quick", "--rounds", "1", "--tools", "velka,limit"]
    assert (
        torrent_bench.main([*arguments, "--data", str(tmp_path / "data"), "--output", str(output)])
        == 0
    )
    text = output.read_text()
    assert "left out" not in text
    for workload in ("8 MiB file", "8 MiB in 60 files"):
        assert f"### {workload}" in text
    for version in torrent_bench.VERSIONS:
        for operation in ("create", "verify"):
            assert text.count(f"| {operation} | {version} | velka (") == 2
        assert text.count(f"| limit | {version} | hashlib") == 2
    assert not (tmp_path / "data").exists()
