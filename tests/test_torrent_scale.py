"""A 64 GiB file, sparse, made into a torrent and verified within the memory
bound: the buffers plus the torrent's hashes, whatever the size of the data.

Long (every byte is read and hashed twice: three minutes of CPU time, 128
GiB of zeros read from the holes, 90 s on two idle cores): marked
`once`, so it runs in one test run only (tests/conftest.py). v2, where a
tree of 16 KiB leaves is what would grow with the data (4 Mi leaves, 128 MiB
of hashes, if they were all kept). Each side runs in a child process
whose peak RSS is the measure; a small file of the same piece length gives
the same buffers, so the difference between the two is what the size of the
data costs, which must be the hashes and little else.
"""

from __future__ import annotations

import json

import pytest

pytestmark = pytest.mark.once

MIB = 1024**2
GIB = 1024**3
PIECE = 4 * 1024**2
# What may come on top of the buffers and hashes: the allocator's arenas,
# the threads' stacks, page tables.
SLACK = 16 * 1024**2

CHILD = """
import json, os, resource, sys
import velka.torrent

def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

imported = peak()
path, piece = sys.argv[1], int(sys.argv[2])
made = velka.torrent.create(path, version="v2", piece_length=piece, creation_date=None)
checked = velka.torrent.verify(made, path)
print(json.dumps({"ok": checked.ok, "failed": checked.failed, "pieces": made.piece_count,
                  "imported": imported, "peak": peak(),
                  "threads": len(os.sched_getaffinity(0))}))
"""


def _measure(path, run_python) -> dict[str, int]:
    code = f"import sys; sys.argv[1:] = [{str(path)!r}, '{PIECE}']\n" + CHILD
    done = run_python(code, timeout=1800)
    assert done.returncode == 0, done.stderr
    measured = json.loads(done.stdout)
    assert (measured["ok"], measured["failed"]) == (True, [])
    return measured


def test_a_64_gib_sparse_file_is_made_and_verified_in_bounded_memory(tmp_path, run_python):
    small = tmp_path / "small.bin"
    big = tmp_path / "big.bin"
    with open(small, "wb") as file:
        file.truncate(64 * PIECE + 1)
    with open(big, "wb") as file:
        file.truncate(64 * GIB + 1)
    baseline = _measure(small, run_python)
    measured = _measure(big, run_python)
    pieces = (64 * GIB) // PIECE + 1
    assert measured["pieces"] == pieces
    # 32 bytes of SHA-256 per piece, held while hashing, in the encoded
    # torrent and in the Torrent loaded from it.
    hashes = 3 * pieces * 32
    grown = measured["peak"] - baseline["peak"]
    assert grown <= hashes + SLACK, (
        f"64 GiB took {grown / MIB:.1f} MiB more than 256 MiB at peak; "
        f"the hashes are {hashes / MIB:.1f} MiB"
    )
    # The bound the README states: a buffer of 1 MiB per thread plus the
    # hashes, above what the interpreter and velka take once imported.
    bound = measured["imported"] + measured["threads"] * MIB + hashes + SLACK
    assert measured["peak"] <= bound, (
        f"peak RSS {measured['peak'] / MIB:.1f} MiB, over the bound of {bound / MIB:.1f} MiB "
        f"({measured['imported'] / MIB:.1f} MiB once imported, {measured['threads']} threads)"
    )
