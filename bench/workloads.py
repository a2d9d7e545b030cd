"""Benchmark workloads: bencoded inputs made from real data by real tools.

Run in the sid root (``scripts/sid``), on Python 3.14:

    python bench/workloads.py [--force] [--data DIR]

makes whatever is missing in ``bench/data``. Torrents come from ``mktorrent``
and ``transmission-create`` run over a file of pseudo-random data and over
real directory trees of the root; DHT messages (BEP 5) and tracker responses
(BEP 3, BEP 23) are built from seeded pseudo-random data and written with
the small reference encoder below, so that no input depends on the codecs
being measured. Everything but the directory trees is deterministic.

A workload is a list of inputs, each decoded by one call: one input for a
torrent or a large list, many for messages.
"""

from __future__ import annotations

import argparse
import json
import random
import shutil
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TypeAlias

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
MANIFEST = "manifest.json"
# Bump when a generator changes what it makes: older data is then remade.
VERSION = 1
# A loopback announce address: the torrents name no real tracker.
ANNOUNCE = "http://127.0.0.1:6969/announce"
RANDOM_FILE_SIZE = 200 * 1024 * 1024

# A recursive alias that 3.11 can read: the annotation is a string.
Value: TypeAlias = "int | bytes | list[Value] | dict[bytes, Value]"


def bencode(value: Value) -> bytes:
    """Reference encoder for the generators: canonical bencode of a value."""
    out: list[bytes] = []

    def put(item: Value) -> None:
        if isinstance(item, int):
            out.append(b"i%de" % item)
        elif isinstance(item, bytes):
            out.append(b"%d:" % len(item))
            out.append(item)
        elif isinstance(item, list):
            out.append(b"l")
            for element in item:
                put(element)
            out.append(b"e")
        elif isinstance(item, dict):
            out.append(b"d")
            for key in sorted(item):
                put(key)
                put(item[key])
            out.append(b"e")
        else:
            raise TypeError(f"cannot bencode {type(item).__name__}")

    put(value)
    return b"".join(out)


@dataclass(frozen=True, eq=False)
class Workload:
    name: str
    title: str
    inputs: list[bytes]

    @property
    def size(self) -> int:
        return sum(map(len, self.inputs))


# --- torrents, made by the real tools ------------------------------------


def _run(command: list[str]) -> None:
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _random_file(directory: Path) -> Path:
    """A file of seeded pseudo-random data (the same bytes on every run)."""
    path = directory / "random-200M.bin"
    if path.exists() and path.stat().st_size == RANDOM_FILE_SIZE:
        return path
    rng = random.Random(20240501)
    chunk = 8 * 1024 * 1024
    with open(path, "wb") as out:
        for _ in range(RANDOM_FILE_SIZE // chunk):
            out.write(rng.randbytes(chunk))
    return path


def _mktorrent(target: Path, output: Path, log2_piece: int) -> None:
    output.unlink(missing_ok=True)
    _run(["mktorrent", "-d", "-l", str(log2_piece), "-a", ANNOUNCE, "-o", str(output), str(target)])


def _transmission(target: Path, output: Path, piece_kib: int) -> None:
    output.unlink(missing_ok=True)
    _run(
        [
            "transmission-create",
            "--anonymize",
            "-s",
            str(piece_kib),
            "-t",
            ANNOUNCE,
            "-o",
            str(output),
            str(target),
        ]
    )


def _single(tool: Callable[[Path, Path, int], None], file: str, piece: int):
    def make(directory: Path) -> None:
        tool(_random_file(directory), directory / file, piece)

    return make


# The trees hold thousands of real files with real names and depths.
MULTI_MKTORRENT_TREE = Path("/usr/lib/python3/dist-packages")
MULTI_TRANSMISSION_TREE = Path("/usr/share")


# --- DHT messages (BEP 5) --------------------------------------------------


def _node_id(rng: random.Random) -> bytes:
    return rng.randbytes(20)


def _compact_peer(rng: random.Random) -> bytes:
    return rng.randbytes(4) + rng.randrange(1024, 65536).to_bytes(2, "big")


def _compact_nodes(rng: random.Random, count: int) -> bytes:
    return b"".join(_node_id(rng) + _compact_peer(rng) for _ in range(count))


def _krpc(rng: random.Random, kind: bytes, body_key: bytes, body: dict) -> dict:
    message: dict[bytes, Value] = {b"t": rng.randbytes(2), b"y": kind, body_key: body}
    if rng.random() < 0.5:  # many clients add their version
        message[b"v"] = b"LT" + rng.randbytes(2)
    return message


def dht_queries(rng: random.Random, count: int) -> list[bytes]:
    """ping, find_node, get_peers and announce_peer queries."""
    messages = []
    for _ in range(count):
        method = rng.choice([b"ping", b"find_node", b"get_peers", b"announce_peer"])
        args: dict[bytes, Value] = {b"id": _node_id(rng)}
        if method == b"find_node":
            args[b"target"] = _node_id(rng)
        elif method == b"get_peers":
            args[b"info_hash"] = _node_id(rng)
        elif method == b"announce_peer":
            args[b"info_hash"] = _node_id(rng)
            args[b"implied_port"] = rng.choice([0, 1])
            args[b"port"] = rng.randrange(1024, 65536)
            args[b"token"] = rng.randbytes(rng.choice([4, 8, 20]))
        message = _krpc(rng, b"q", b"a", args)
        message[b"q"] = method
        messages.append(bencode(message))
    return messages


def dht_responses(rng: random.Random, count: int) -> list[bytes]:
    """Responses to ping/announce_peer, find_node and get_peers; a few errors."""
    messages = []
    for _ in range(count):
        answer = rng.choices([b"id", b"nodes", b"values", b"error"], [3, 3, 4, 0.3])[0]
        if answer == b"error":
            error = [rng.choice([201, 202, 203, 204]), b"A Generic Error Ocurred"]
            messages.append(bencode({b"t": rng.randbytes(2), b"y": b"e", b"e": error}))
            continue
        reply: dict[bytes, Value] = {b"id": _node_id(rng)}
        if answer == b"nodes":
            reply[b"nodes"] = _compact_nodes(rng, 8)
        elif answer == b"values":
            reply[b"token"] = rng.randbytes(8)
            reply[b"values"] = [_compact_peer(rng) for _ in range(rng.randint(1, 24))]
        message = _krpc(rng, b"r", b"r", reply)
        if rng.random() < 0.3:  # BEP 42: the requester's address as seen
            message[b"ip"] = _compact_peer(rng)
        messages.append(bencode(message))
    return messages


# --- tracker responses (BEP 3, BEP 23) --------------------------------------


def _tracker_head(rng: random.Random) -> dict[bytes, Value]:
    return {
        b"complete": rng.randrange(0, 5000),
        b"incomplete": rng.randrange(0, 20000),
        b"interval": 1800,
        b"min interval": 900,
    }


def _dotted_ip(rng: random.Random) -> bytes:
    if rng.random() < 0.15:
        return ":".join(f"{rng.getrandbits(16):x}" for _ in range(8)).encode()
    return ".".join(str(rng.randrange(1, 255)) for _ in range(4)).encode()


def tracker_dict_peers(rng: random.Random, count: int) -> list[bytes]:
    """BEP 3 announce responses with a list of peer dicts (20 to 200 peers)."""
    responses = []
    for _ in range(count):
        response = _tracker_head(rng)
        response[b"peers"] = [
            {
                b"ip": _dotted_ip(rng),
                b"peer id": b"-XX0001-" + rng.randbytes(12),
                b"port": rng.randrange(1024, 65536),
            }
            for _ in range(rng.randint(20, 200))
        ]
        responses.append(bencode(response))
    return responses


def tracker_compact(rng: random.Random, count: int) -> list[bytes]:
    """BEP 23 compact announce responses (with BEP 7 peers6 in some)."""
    responses = []
    for _ in range(count):
        response = _tracker_head(rng)
        response[b"peers"] = b"".join(_compact_peer(rng) for _ in range(rng.randint(20, 200)))
        if rng.random() < 0.3:
            response[b"peers6"] = b"".join(
                rng.randbytes(16) + rng.randrange(1024, 65536).to_bytes(2, "big")
                for _ in range(rng.randint(1, 50))
            )
        responses.append(bencode(response))
    return responses


# --- synthetic containers ----------------------------------------------------


def mixed_integers(rng: random.Random, count: int = 100_000) -> bytes:
    """A list of integers whose widths spread evenly over 1 to 64 bits (signed)."""
    values = []
    for _ in range(count):
        bits = rng.randint(1, 63)
        value = rng.getrandbits(bits)
        values.append(-value if rng.random() < 0.5 else value)
    return bencode(values)


def binary_keys(rng: random.Random, count: int = 10_000) -> bytes:
    """A dict of binary keys (4 to 32 random bytes) to integers."""
    table: dict[bytes, Value] = {}
    while len(table) < count:
        table[rng.randbytes(rng.randint(4, 32))] = rng.getrandbits(31)
    return bencode(table)


# --- the workload table ---------------------------------------------------------


@dataclass(frozen=True)
class Spec:
    name: str
    title: str
    file: str
    make: Callable[[Path], list[bytes] | None]  # None: the tool wrote the file
    messages: bool = False


def _seeded(generator: Callable[..., object], seed: int, *args: int) -> Callable:
    def make(_directory: Path) -> list[bytes]:
        made = generator(random.Random(seed), *args)
        return made if isinstance(made, list) else [made]

    return make


def _tree(tool: Callable[[Path, Path, int], None], tree: Path, file: str, piece: int):
    def make(directory: Path) -> None:
        tool(tree, directory / file, piece)

    return make


SPECS = [
    Spec(
        "torrent-1file-mk",
        "single-file torrent, 200 MB in 32 KiB pieces (mktorrent)",
        "single-mktorrent.torrent",
        _single(_mktorrent, "single-mktorrent.torrent", 15),
    ),
    Spec(
        "torrent-1file-tr",
        "single-file torrent, 200 MB in 16 KiB pieces (transmission-create)",
        "single-transmission.torrent",
        _single(_transmission, "single-transmission.torrent", 16),
    ),
    Spec(
        "torrent-tree-mk",
        f"multi-file torrent of {MULTI_MKTORRENT_TREE} (mktorrent)",
        "multi-mktorrent.torrent",
        _tree(_mktorrent, MULTI_MKTORRENT_TREE, "multi-mktorrent.torrent", 16),
    ),
    Spec(
        "torrent-tree-tr",
        f"multi-file torrent of {MULTI_TRANSMISSION_TREE} (transmission-create)",
        "multi-transmission.torrent",
        _tree(_transmission, MULTI_TRANSMISSION_TREE, "multi-transmission.torrent", 32),
    ),
    Spec(
        "dht-queries",
        "BEP 5 queries: ping, find_node, get_peers, announce_peer",
        "dht-queries.bin",
        _seeded(dht_queries, 5, 2000),
        messages=True,
    ),
    Spec(
        "dht-responses",
        "BEP 5 responses: id, compact nodes, values, errors",
        "dht-responses.bin",
        _seeded(dht_responses, 55, 2000),
        messages=True,
    ),
    Spec(
        "tracker-dict",
        "BEP 3 tracker responses, peer dicts (20-200 peers)",
        "tracker-dict.bin",
        _seeded(tracker_dict_peers, 3, 100),
        messages=True,
    ),
    Spec(
        "tracker-compact",
        "BEP 23 compact tracker responses (20-200 peers)",
        "tracker-compact.bin",
        _seeded(tracker_compact, 23, 300),
        messages=True,
    ),
    Spec(
        "ints-100k",
        "list of 100,000 integers of 1 to 64 bits",
        "ints.bin",
        _seeded(mixed_integers, 100),
    ),
    Spec(
        "keys-10k", "dict of 10,000 binary keys (4-32 bytes)", "keys.bin", _seeded(binary_keys, 10)
    ),
]


def _read_manifest(directory: Path) -> dict:
    try:
        manifest = json.loads((directory / MANIFEST).read_text())
    except (OSError, ValueError):
        return {}
    if not isinstance(manifest, dict) or manifest.get("version") != VERSION:
        return {}
    return manifest


def generate(directory: Path = DATA, force: bool = False, log=print) -> None:
    """Make every workload file that is missing (all of them with ``force``)."""
    directory.mkdir(parents=True, exist_ok=True)
    manifest = {} if force else _read_manifest(directory)
    entries: dict = manifest.get("workloads", {})
    for spec in SPECS:
        path = directory / spec.file
        if spec.name in entries and path.exists():
            continue
        started = time.monotonic()
        made = spec.make(directory)
        if made is not None:
            path.write_bytes(b"".join(made))
        lengths = [len(item) for item in made] if made is not None and spec.messages else None
        entries[spec.name] = {"file": spec.file, "lengths": lengths}
        log(
            f"bench: made {spec.name} ({path.stat().st_size:,} bytes) "
            f"in {time.monotonic() - started:.1f} s"
        )
    (directory / MANIFEST).write_text(
        json.dumps({"version": VERSION, "workloads": entries}, indent=1) + "\n"
    )
    # The 200 MB source of the single-file torrents is quickly made again.
    (directory / "random-200M.bin").unlink(missing_ok=True)


def load(directory: Path = DATA, names: list[str] | None = None) -> list[Workload]:
    """The workloads in table order, read from ``directory``."""
    entries = _read_manifest(directory).get("workloads")
    if not entries:
        raise FileNotFoundError(f"no workloads in {directory}: run bench/workloads.py")
    workloads = []
    for spec in SPECS:
        if names and spec.name not in names:
            continue
        entry = entries[spec.name]
        data = (directory / entry["file"]).read_bytes()
        inputs = [data]
        if entry["lengths"] is not None:
            inputs, offset = [], 0
            for length in entry["lengths"]:
                inputs.append(data[offset : offset + length])
                offset += length
        workloads.append(Workload(spec.name, spec.title, inputs))
    return workloads


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DATA, help="where to write the workloads")
    parser.add_argument("--force", action="store_true", help="remake everything")
    args = parser.parse_args()
    missing = [tool for tool in ("mktorrent", "transmission-create") if not shutil.which(tool)]
    if missing:
        print(f"bench: missing tools {', '.join(missing)}; run inside scripts/sid", file=sys.stderr)
        return 1
    try:
        generate(args.data, args.force, log=lambda text: print(text, file=sys.stderr))
    except subprocess.CalledProcessError as error:
        print(
            f"bench: {' '.join(error.cmd)} failed: {error.stderr.decode(errors='replace')}",
            file=sys.stderr,
        )
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
