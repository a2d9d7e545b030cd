"""Torrents (.torrent files, v1, v2 and hybrid): read and checked, edited
without hashing again, and encoded back byte for byte."""

from ._model import File, Torrent, TorrentError, load

__all__ = ["File", "Torrent", "TorrentError", "load"]
