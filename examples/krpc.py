"""The DHT's KRPC messages (BEP 5) as one union for velka.typed, told apart
by their `y` key: "q" a query, "r" a response, "e" an error.

    from velka import typed
    from krpc import Message, Query

    message = typed.decode(packet, Message)
    if isinstance(message, Query) and message.q == "get_peers":
        ...

`y` sorts after the keys it decides (`a`, `e`, `q`, `r`), and the decoder
finds it first all the same. Transaction ids, node ids, tokens and compact
addresses are bytes: they are binary, often not valid UTF-8.
"""

import ipaddress
from dataclasses import dataclass, field
from typing import Annotated, Literal

from velka.bencode import BencodeValue
from velka.typed import Extra

Extras = Annotated[dict[bytes, BencodeValue], Extra]


@dataclass(kw_only=True)
class Arguments:
    """A query's arguments: `id` always, the others as the method needs."""

    id: bytes
    target: bytes | None = None  # find_node
    info_hash: bytes | None = None  # get_peers, announce_peer
    port: int | None = None  # announce_peer
    implied_port: bool | None = None  # announce_peer: use the packet's port
    token: bytes | None = None  # announce_peer: from an earlier get_peers
    extra: Extras = field(default_factory=dict)


@dataclass(kw_only=True)
class Query:
    t: bytes
    y: Literal["q"]
    q: str  # ping, find_node, get_peers, announce_peer
    a: Arguments
    v: bytes | None = None  # the sender's client and version
    extra: Extras = field(default_factory=dict)


@dataclass(kw_only=True)
class Values:
    """A response's values: `id` always, the others as the query asked."""

    id: bytes
    nodes: bytes | None = None  # compact node info: 26 bytes a node
    nodes6: bytes | None = None  # the same for IPv6: 38 bytes a node
    token: bytes | None = None
    values: list[bytes] | None = None  # compact peers: 6 bytes each
    extra: Extras = field(default_factory=dict)


@dataclass(kw_only=True)
class Response:
    t: bytes
    y: Literal["r"]
    r: Values
    ip: bytes | None = None  # the requester's address as the responder sees it
    v: bytes | None = None
    extra: Extras = field(default_factory=dict)


@dataclass(kw_only=True)
class Error:
    t: bytes
    y: Literal["e"]
    e: tuple[int, str]  # a code (201 to 204) and a message
    v: bytes | None = None
    extra: Extras = field(default_factory=dict)


Message = Query | Response | Error


def peer(compact: bytes) -> tuple[str, int]:
    """The address and port of a compact peer: 4 or 16 address bytes, then
    the port, most significant byte first."""
    if len(compact) not in (6, 18):
        raise ValueError(f"a compact peer is 6 or 18 bytes, not {len(compact)}")
    return str(ipaddress.ip_address(compact[:-2])), int.from_bytes(compact[-2:], "big")


def nodes(compact: bytes) -> list[tuple[bytes, str, int]]:
    """(node id, address, port) of each node in compact node info (IPv4)."""
    if len(compact) % 26:
        raise ValueError(f"compact node info is 26 bytes a node, not {len(compact)} in all")
    return [
        (compact[i : i + 20], *peer(compact[i + 20 : i + 26])) for i in range(0, len(compact), 26)
    ]
