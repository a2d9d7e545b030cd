"""A tracker's announce response as a model for velka.typed: peers as a
list of dictionaries (BEP 3) or compact, 6 bytes a peer (BEP 23), with
IPv6 peers in `peers6`; or a failure reason alone.

    from velka import typed
    from tracker import Announce

    response = typed.decode(body, Announce)
    if response.failure_reason is not None:
        raise RuntimeError(response.failure_reason)
    for address, port in response.addresses():
        ...
"""

import ipaddress
from dataclasses import dataclass, field
from typing import Annotated

from velka.bencode import BencodeValue
from velka.typed import Extra, Key

Extras = Annotated[dict[bytes, BencodeValue], Extra]


@dataclass(kw_only=True)
class Peer:
    """A peer as a dictionary: its address as text (IPv4, IPv6 or a name)."""

    ip: str
    port: int
    peer_id: Annotated[bytes | None, Key("peer id")] = None
    extra: Extras = field(default_factory=dict)


@dataclass(kw_only=True)
class Announce:
    failure_reason: Annotated[str | None, Key("failure reason")] = None
    warning_message: Annotated[str | None, Key("warning message")] = None
    interval: int | None = None  # seconds to wait before the next announce
    min_interval: Annotated[int | None, Key("min interval")] = None
    tracker_id: Annotated[bytes | None, Key("tracker id")] = None
    complete: int | None = None  # seeders
    incomplete: int | None = None  # leechers
    #: A byte string (compact) or a list: the token tells which.
    peers: bytes | list[Peer] | None = None
    peers6: bytes | None = None  # compact IPv6 peers, 18 bytes each
    extra: Extras = field(default_factory=dict)

    def addresses(self) -> list[tuple[str, int]]:
        """Every peer's (address, port), compact or not, IPv4 then IPv6."""
        if isinstance(self.peers, list):
            found = [(p.ip, p.port) for p in self.peers]
        else:
            found = _compact(self.peers or b"", 4)
        return found + _compact(self.peers6 or b"", 16)


def _compact(data: bytes, width: int) -> list[tuple[str, int]]:
    # An address, then the port, most significant byte first.
    step = width + 2
    if len(data) % step:
        raise ValueError(f"compact peers are {step} bytes each, not {len(data)} in all")
    return [
        (
            str(ipaddress.ip_address(data[i : i + width])),
            int.from_bytes(data[i + width : i + step], "big"),
        )
        for i in range(0, len(data), step)
    ]
