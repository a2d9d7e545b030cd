"""The models of the typed benchmark, and the same conversion in plain Python.

What a reader writes first for each workload: a torrent's name, sizes, files
and trackers; KRPC messages as one union tagged by ``y``; a tracker's
announce response with dictionary or compact peers. Beside them, the same
shapes with an extra-keys field in every record and the info dictionary's
exact bytes, for lossless editing.

The reference converters take what ``velka.bencode.decode`` gives and build
the same objects as a careful hand-written reader would: every type checked,
text decoded as strict UTF-8, missing keys refused, records built with
``cls(**fields)``.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Annotated, Any, Literal

from velka.bencode import BencodeValue
from velka.typed import Extra, Key, Raw

# --- torrents ------------------------------------------------------------------------


@dataclass(slots=True)
class File:
    length: int
    path: list[str]


@dataclass(slots=True)
class Info:
    name: str
    piece_length: Annotated[int, Key("piece length")]
    pieces: bytes
    length: int | None = None
    files: list[File] | None = None
    private: bool = False


@dataclass(slots=True)
class Torrent:
    info: Info
    announce: str | None = None
    announce_list: Annotated[list[list[str]] | None, Key("announce-list")] = None
    comment: str | None = None
    created_by: Annotated[str | None, Key("created by")] = None
    creation_date: Annotated[int | None, Key("creation date")] = None


Rest = Annotated[dict[bytes, BencodeValue], Extra]


@dataclass(slots=True)
class FileX:
    length: int
    path: list[str]
    rest: Rest = field(default_factory=dict)


@dataclass(slots=True)
class InfoX:
    name: str
    piece_length: Annotated[int, Key("piece length")]
    pieces: bytes
    length: int | None = None
    files: list[FileX] | None = None
    rest: Rest = field(default_factory=dict)


@dataclass(slots=True)
class TorrentX:
    info: InfoX
    info_raw: Annotated[Raw, Key("info")]
    announce: str | None = None
    rest: Rest = field(default_factory=dict)


# --- KRPC messages -------------------------------------------------------------------


@dataclass(slots=True)
class Arguments:
    id: bytes
    target: bytes | None = None
    info_hash: bytes | None = None
    implied_port: bool | None = None
    port: int | None = None
    token: bytes | None = None


@dataclass(slots=True)
class Query:
    t: bytes
    y: Literal["q"]
    q: str
    a: Arguments
    v: bytes | None = None


@dataclass(slots=True)
class Reply:
    id: bytes
    nodes: bytes | None = None
    token: bytes | None = None
    values: list[bytes] | None = None


@dataclass(slots=True)
class Response:
    t: bytes
    y: Literal["r"]
    r: Reply
    ip: bytes | None = None
    v: bytes | None = None


@dataclass(slots=True)
class Error:
    t: bytes
    y: Literal["e"]
    e: tuple[int, str]
    v: bytes | None = None


Krpc = Query | Response | Error


@dataclass(slots=True)
class QueryX:
    t: bytes
    y: Literal["q"]
    q: str
    a: dict[str, Any]
    rest: Rest = field(default_factory=dict)


@dataclass(slots=True)
class ResponseX:
    t: bytes
    y: Literal["r"]
    r: Raw
    rest: Rest = field(default_factory=dict)


@dataclass(slots=True)
class ErrorX:
    t: bytes
    y: Literal["e"]
    e: tuple[int, str]
    rest: Rest = field(default_factory=dict)


KrpcX = QueryX | ResponseX | ErrorX


# --- tracker responses ---------------------------------------------------------------


@dataclass(slots=True)
class Peer:
    ip: str
    port: int
    peer_id: Annotated[bytes | None, Key("peer id")] = None


@dataclass(slots=True)
class Announce:
    interval: int
    peers: list[Peer] | bytes
    complete: int | None = None
    incomplete: int | None = None
    min_interval: Annotated[int | None, Key("min interval")] = None
    peers6: bytes | None = None


@dataclass(slots=True)
class PeerX:
    ip: str
    port: int
    rest: Rest = field(default_factory=dict)


@dataclass(slots=True)
class AnnounceX:
    interval: int
    peers: list[PeerX] | bytes
    rest: Rest = field(default_factory=dict)


# --- the same conversion in plain Python ----------------------------------------------


class ConversionError(ValueError):
    pass


def _get(value: dict, key: bytes) -> Any:
    try:
        return value[key]
    except KeyError:
        raise ConversionError(f"missing key {key!r}") from None


def _dict(value: Any) -> dict:
    if type(value) is not dict:
        raise ConversionError(f"expected dict, got {type(value).__name__}")
    return value


def _int(value: Any) -> int:
    if type(value) is not int:
        raise ConversionError(f"expected int, got {type(value).__name__}")
    return value


def _bool(value: Any) -> bool:
    if type(value) is int and (value == 0 or value == 1):
        return value == 1
    raise ConversionError(f"expected bool, got {value!r}")


def _bytes(value: Any) -> bytes:
    if type(value) is not bytes:
        raise ConversionError(f"expected bytes, got {type(value).__name__}")
    return value


def _str(value: Any) -> str:
    if type(value) is not bytes:
        raise ConversionError(f"expected str, got {type(value).__name__}")
    try:
        return value.decode()
    except UnicodeDecodeError as error:
        raise ConversionError("invalid UTF-8") from error


def _list(value: Any) -> list:
    if type(value) is not list:
        raise ConversionError(f"expected list, got {type(value).__name__}")
    return value


def _optional(value: dict, key: bytes, convert: Any) -> Any:
    item = value.get(key)
    return None if item is None else convert(item)


def _file(value: Any) -> File:
    value = _dict(value)
    return File(
        length=_int(_get(value, b"length")),
        path=[_str(part) for part in _list(_get(value, b"path"))],
    )


def _info(value: Any) -> Info:
    value = _dict(value)
    files = value.get(b"files")
    return Info(
        name=_str(_get(value, b"name")),
        piece_length=_int(_get(value, b"piece length")),
        pieces=_bytes(_get(value, b"pieces")),
        length=_optional(value, b"length", _int),
        files=None if files is None else [_file(item) for item in _list(files)],
        private=_bool(value.get(b"private", 0)),
    )


def _tiers(value: Any) -> list[list[str]]:
    return [[_str(url) for url in _list(tier)] for tier in _list(value)]


def torrent(value: Any) -> Torrent:
    value = _dict(value)
    return Torrent(
        info=_info(_get(value, b"info")),
        announce=_optional(value, b"announce", _str),
        announce_list=_optional(value, b"announce-list", _tiers),
        comment=_optional(value, b"comment", _str),
        created_by=_optional(value, b"created by", _str),
        creation_date=_optional(value, b"creation date", _int),
    )


def _arguments(value: Any) -> Arguments:
    value = _dict(value)
    return Arguments(
        id=_bytes(_get(value, b"id")),
        target=_optional(value, b"target", _bytes),
        info_hash=_optional(value, b"info_hash", _bytes),
        implied_port=_optional(value, b"implied_port", _bool),
        port=_optional(value, b"port", _int),
        token=_optional(value, b"token", _bytes),
    )


def _reply(value: Any) -> Reply:
    value = _dict(value)
    values = value.get(b"values")
    return Reply(
        id=_bytes(_get(value, b"id")),
        nodes=_optional(value, b"nodes", _bytes),
        token=_optional(value, b"token", _bytes),
        values=None if values is None else [_bytes(item) for item in _list(values)],
    )


def _error_body(value: Any) -> tuple[int, str]:
    value = _list(value)
    if len(value) != 2:
        raise ConversionError(f"expected 2 items, got {len(value)}")
    return (_int(value[0]), _str(value[1]))


def krpc(value: Any) -> Krpc:
    value = _dict(value)
    kind = _get(value, b"y")
    t = _bytes(_get(value, b"t"))
    v = _optional(value, b"v", _bytes)
    if kind == b"q":
        return Query(t=t, y="q", q=_str(_get(value, b"q")), a=_arguments(_get(value, b"a")), v=v)
    if kind == b"r":
        return Response(
            t=t, y="r", r=_reply(_get(value, b"r")), ip=_optional(value, b"ip", _bytes), v=v
        )
    if kind == b"e":
        return Error(t=t, y="e", e=_error_body(_get(value, b"e")), v=v)
    raise ConversionError(f"unknown message kind {kind!r}")


def _peer(value: Any) -> Peer:
    value = _dict(value)
    return Peer(
        ip=_str(_get(value, b"ip")),
        port=_int(_get(value, b"port")),
        peer_id=_optional(value, b"peer id", _bytes),
    )


def announce(value: Any) -> Announce:
    value = _dict(value)
    peers = _get(value, b"peers")
    return Announce(
        interval=_int(_get(value, b"interval")),
        peers=_bytes(peers) if type(peers) is bytes else [_peer(item) for item in _list(peers)],
        complete=_optional(value, b"complete", _int),
        incomplete=_optional(value, b"incomplete", _int),
        min_interval=_optional(value, b"min interval", _int),
        peers6=_optional(value, b"peers6", _bytes),
    )


@dataclass(frozen=True)
class Family:
    """One kind of workload: its models and its plain-Python reference."""

    model: Any
    extra_model: Any
    reference: Any
    # msgspec cannot decode a union of several dataclasses: there each input
    # is decoded into the member that the typed decoder chose for it.
    union: bool = False


FAMILIES = {
    "torrent": Family(Torrent, TorrentX, torrent),
    "dht": Family(Krpc, KrpcX, krpc, union=True),
    "tracker": Family(Announce, AnnounceX, announce),
}


def family_of(workload_name: str) -> Family | None:
    return FAMILIES.get(workload_name.split("-", 1)[0])
