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

GIB = 1024**3
PIECE = 4 * 1024**2
# What may differ besides the hashes: the allocator's arenas, a longer
# piece list in the torrent object, page tables.
SLACK = 16 * 1024**2

CHILD = """
import json, resource, sys
from velka.torrent import create, verify

path, piece = sys.argv[1], int(sys.argv[2])
made = create(path, version="v2", piece_length=piece, creation_date=None)
checked = verify(made, path)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"ok": checked.ok, "failed": checked.failed, "pieces": made.piece_count,
                  "peak": peak}))
"""


def _measure(path, run_python) -> dict[str, object]:
    code = f"import sys; sys.argv[1:] = [{str(path)!r}, '{PIECE}']\n" + CHILD
    done = run_python(code, timeout=1800)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


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
    assert (measured["ok"], measured["failed"], measured["pieces"]) == (True, [], pieces)
    assert baseline["ok"]
    # 32 bytes of SHA-256 per piece, held while hashing, and once more in
    # the torrent's encoded form.
    hashes = 2 * pieces * 32
    grown = measured["peak"] - baseline["peak"]
    assert grown <= hashes + SLACK, (
        f"64 GiB took {grown / 2**20:.1f} MiB more than 256 MiB at peak; "
        f"the hashes are {hashes / 2**20:.1f} MiB"
    )
