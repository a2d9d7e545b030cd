"""Torrents (.torrent files, v1, v2 and hybrid): read and checked, edited
without hashing again and encoded back byte for byte, made from files on
every core, and verified against the data they describe."""

from ._create import create
from ._layout import piece_length_for
from ._model import File, Torrent, TorrentError, load
from ._verify import FileFault, Verification, verify

__all__ = [
    "File",
    "FileFault",
    "Torrent",
    "TorrentError",
    "Verification",
    "create",
    "load",
    "piece_length_for",
    "verify",
]
