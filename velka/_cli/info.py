"""``velka info``: what a .torrent file describes, and its info-hashes."""

from __future__ import annotations

from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any

from velka.torrent import File, Torrent, TorrentError
from velka.torrent._model import announce_list

from ._input import CODEC_ERRORS, Failure, decode_failure

if TYPE_CHECKING:
    # The buffer protocol's type is collections.abc.Buffer from 3.12 on;
    # only the type checker needs it, and this name stands for it on 3.11 too.
    from typing_extensions import Buffer


def shown(text: str) -> str:
    """Text from a torrent as the command prints it: bytes that are not UTF-8
    (kept by the model as surrogates) escaped, not garbled."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def read_torrent(data: Buffer) -> Torrent:
    with memoryview(data) as view:
        try:
            return Torrent(view)
        except TorrentError as error:
            raise Failure(f"not a torrent: {error}") from None
        except CODEC_ERRORS as error:
            raise decode_failure(error, len(view)) from None


def _display_path(torrent: Torrent, file: File) -> str:
    """A file's path with the torrent's name in front, as a client saves it."""
    return shown("/".join((torrent.name, *file.path)))


def info_json(torrent: Torrent) -> dict[str, Any]:
    files = torrent.files
    paths = [_display_path(torrent, f) for f in files]
    return {
        "name": shown(torrent.name),
        "meta_versions": list(torrent.versions),
        "total_size": torrent.total_size,
        "files": [{"path": p, "length": f.length} for p, f in zip(paths, files, strict=True)],
        "piece_length": torrent.piece_length,
        "piece_count": torrent.piece_count,
        "announce": _optional(torrent.announce),
        "announce_list": [[shown(url) for url in tier] for tier in announce_list(torrent)],
        "web_seeds": [shown(url) for url in torrent.web_seeds],
        "private": torrent.private,
        "source": _optional(torrent.source),
        "creation_date": torrent.creation_date,
        "created_by": _optional(torrent.created_by),
        "comment": _optional(torrent.comment),
        "info_hash_v1": torrent.info_hash_v1,
        "info_hash_v2": torrent.info_hash_v2,
        "magnet": torrent.magnet,
        # By path as in "files": the keys of file entries stay what they were.
        "attributes": {p: shown(f.attr) for p, f in zip(paths, files, strict=True) if f.attr},
        "pieces_roots": {
            p: f.pieces_root.hex()
            for p, f in zip(paths, files, strict=True)
            if f.pieces_root is not None
        },
    }


def _optional(text: str | None) -> str | None:
    return None if text is None else shown(text)


_FLAGS = {"x": "executable", "h": "hidden", "l": "link"}


def _attributes(attr: str) -> str:
    if not attr:
        return ""
    words = [_FLAGS.get(flag, f"attribute {shown(flag)!r}") for flag in attr]
    return f"  ({', '.join(words)})"


def size(n: int) -> str:
    value = float(n)
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB"):
        if value < 1024 or unit == "TiB":
            return f"{n:,} bytes" if unit == "bytes" else f"{value:.1f} {unit} ({n:,} bytes)"
        value /= 1024
    raise AssertionError("unreachable")


def date(timestamp: int) -> str:
    try:
        return datetime.fromtimestamp(timestamp, UTC).strftime("%Y-%m-%d %H:%M:%S UTC")
    except (OverflowError, OSError, ValueError):
        return f"{timestamp} (not a date)"


def info_lines(torrent: Torrent) -> list[str]:
    kind = {(1,): "v1", (2,): "v2", (1, 2): "hybrid (v1 and v2)"}[torrent.versions]
    lines = [
        f"name:          {shown(torrent.name)}",
        f"kind:          {kind}",
        f"total size:    {size(torrent.total_size)}",
        f"files:         {len(torrent.files):,}",
    ]
    width = max((len(f"{f.length:,}") for f in torrent.files), default=0)
    lines += [
        f"  {f.length:>{width},}  {_display_path(torrent, f)}{_attributes(f.attr)}"
        for f in torrent.files
    ]
    roots = [(f.pieces_root, f) for f in torrent.files if f.pieces_root is not None]
    if roots:
        lines.append("pieces roots:")
        lines += [f"  {root.hex()}  {_display_path(torrent, f)}" for root, f in roots]
    lines.append(f"piece length:  {size(torrent.piece_length)}")
    lines.append(f"pieces:        {torrent.piece_count:,}")
    if torrent.announce is not None:
        lines.append(f"announce:      {shown(torrent.announce)}")
    tiers = announce_list(torrent)
    if tiers:
        lines.append("announce-list:")
    for number, tier in enumerate(tiers, 1):
        label = f"tier {number}:"
        for url in tier:
            lines.append(f"  {label:<12} {shown(url)}")
            label = ""
    for seed in torrent.web_seeds:
        lines.append(f"web seed:      {shown(seed)}")
    lines.append(f"private:       {'yes' if torrent.private else 'no'}")
    if torrent.source is not None:
        lines.append(f"source:        {shown(torrent.source)}")
    if torrent.creation_date is not None:
        lines.append(f"created:       {date(torrent.creation_date)}")
    if torrent.created_by is not None:
        lines.append(f"created by:    {shown(torrent.created_by)}")
    if torrent.comment is not None:
        lines.append(f"comment:       {shown(torrent.comment)}")
    if torrent.info_hash_v1 is not None:
        lines.append(f"info-hash v1:  {torrent.info_hash_v1}")
    if torrent.info_hash_v2 is not None:
        lines.append(f"info-hash v2:  {torrent.info_hash_v2}")
    lines.append(f"magnet:        {torrent.magnet}")
    return lines
