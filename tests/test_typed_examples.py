"""The models in examples/ (metainfo, KRPC, tracker) on real data: torrents
made by real tools, messages as the benchmark's generators make them."""

import hashlib
import random
import sys
from dataclasses import replace
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st
from test_cli import ALBUM, v2_torrent
from torrents import TRACKER, make_torrent

from velka import typed
from velka.bencode import decode, encode
from velka.raw import span

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "examples"))

import krpc  # noqa: E402
import metainfo  # noqa: E402
import tracker  # noqa: E402
import workloads  # noqa: E402
from metainfo import Metainfo  # noqa: E402


@pytest.fixture(params=["mktorrent", "transmission-create", "single", "v2", "hybrid"])
def torrent(request, content, tmp_path):
    path = tmp_path / f"{request.param}.torrent"
    if request.param in ("v2", "hybrid"):
        path.write_bytes(v2_torrent(ALBUM, request.param == "hybrid"))
        return path
    target = content / "notes.txt" if request.param == "single" else content
    return make_torrent("mktorrent" if request.param == "single" else request.param, target, path)


def test_torrent_reads_as_plain_decode_shows_it(torrent):
    data = torrent.read_bytes()
    meta, plain = typed.decode(data, Metainfo), decode(data)
    info = plain[b"info"]
    start, end = span(data, b"info")
    assert meta.info_raw == data[start:end]
    assert meta.info.name == info[b"name"].decode()
    assert meta.info.piece_length == info[b"piece length"]
    assert meta.announce == TRACKER
    assert meta.info_hash_v1 == (
        hashlib.sha1(data[start:end]).hexdigest() if b"pieces" in info else None
    )
    assert meta.info_hash_v2 == (
        hashlib.sha256(data[start:end]).hexdigest() if b"file tree" in info else None
    )
    if torrent.stem in ("v2", "hybrid"):
        assert metainfo.v2_files(meta.info) == [
            ("album/art/cover.png", 400),
            ("album/one.flac", 40000),
        ]
        assert meta.url_list == ["http://seed.invalid/album/"]
    if b"pieces" in info:
        files = metainfo.v1_files(meta.info)
        assert sum(length for _, length in files) == sum(
            f[b"length"] for f in info.get(b"files", [info]) if b"p" not in f.get(b"attr", b"")
        )


def test_torrent_round_trips_and_an_edit_changes_only_itself(torrent):
    data = torrent.read_bytes()
    meta = typed.decode(data, Metainfo)
    assert typed.encode(meta) == data
    new = "udp://tracker.invalid:1337/new"
    edited = typed.encode(replace(meta, announce=new))
    assert decode(edited) == {**decode(data), b"announce": new.encode()}
    start, end = span(edited, b"info")
    assert edited[start:end] == meta.info_raw
    old = b"8:announce%d:%s" % (len(TRACKER), TRACKER.encode())
    assert edited.replace(b"8:announce30:" + new.encode(), old, 1) == data


# Canonical torrents with every optional key present or not, and keys no
# model names at every level.
_text = st.text(st.characters(codec="utf-8"), max_size=8)
_plain = st.recursive(
    st.integers() | st.binary(max_size=8),
    lambda inner: (
        st.lists(inner, max_size=3) | st.dictionaries(st.binary(max_size=4), inner, max_size=3)
    ),
    max_leaves=6,
)


def _unknown(known):
    return st.dictionaries(
        st.binary(max_size=6).filter(lambda k: k not in known), _plain, max_size=2
    )


def _record(required, optional, known):
    fixed = st.fixed_dictionaries(required, optional=optional)
    return st.tuples(fixed, _unknown(known)).map(lambda p: {**p[1], **p[0]})


_file = _record(
    {b"length": st.integers(0, 2**40), b"path": st.lists(_text.map(str.encode), min_size=1)},
    {b"attr": st.sampled_from([b"p", b"x", b"ph"])},
    {b"length", b"path", b"attr"},
)
_INFO_KEYS = {
    b"name",
    b"piece length",
    b"pieces",
    b"length",
    b"files",
    b"private",
    b"meta version",
    b"file tree",
}
_info = _record(
    {b"name": _text.map(str.encode), b"piece length": st.integers(1, 2**24)},
    {
        b"pieces": st.binary(max_size=60),
        b"length": st.integers(0, 2**50),
        b"files": st.lists(_file, max_size=3),
        b"private": st.integers(0, 1),
        b"meta version": st.just(2),
        b"file tree": st.dictionaries(_text.map(str.encode), _plain, max_size=2),
    },
    _INFO_KEYS,
)
_url = _text.map(lambda t: f"http://{t}.invalid/".encode())
_torrents = _record(
    {b"info": _info},
    {
        b"announce": _url,
        b"announce-list": st.lists(st.lists(_url, max_size=2), max_size=2),
        b"url-list": _url | st.lists(_url, max_size=2),
        b"creation date": st.integers(-(2**40), 2**40),
        b"created by": _text.map(str.encode),
        b"comment": _text.map(str.encode),
        b"piece layers": st.dictionaries(
            st.binary(min_size=32, max_size=32), st.binary(max_size=64), max_size=2
        ),
    },
    {
        b"info",
        b"announce",
        b"announce-list",
        b"url-list",
        b"creation date",
        b"created by",
        b"comment",
        b"piece layers",
    },
)


@given(_torrents.map(encode))
def test_generated_canonical_torrents_round_trip(data):
    meta = typed.decode(data, Metainfo)
    assert typed.encode(meta) == data
    start, end = span(data, b"info")
    assert meta.info_raw == data[start:end]


# --- KRPC --------------------------------------------------------------------


@pytest.mark.parametrize("generate", [workloads.dht_queries, workloads.dht_responses])
def test_krpc_messages_round_trip_into_their_member(generate):
    kinds = {"q": krpc.Query, "r": krpc.Response, "e": krpc.Error}
    seen = set()
    for message in generate(random.Random(7), 300):
        value, plain = typed.decode(message, krpc.Message), decode(message)
        assert type(value) is kinds[plain[b"y"].decode()]
        assert value.t == plain[b"t"] and value.v == plain.get(b"v")
        assert value.extra == {}
        assert typed.encode(value) == message
        seen.add(type(value))
        if isinstance(value, krpc.Query):
            assert value.q == plain[b"q"].decode() and value.a.id == plain[b"a"][b"id"]
        elif isinstance(value, krpc.Response) and value.r.values is not None:
            assert all(0 < krpc.peer(p)[1] < 65536 for p in value.r.values)
        elif isinstance(value, krpc.Error):
            assert value.e == (plain[b"e"][0], plain[b"e"][1].decode())
    assert seen == (
        {krpc.Query} if generate is workloads.dht_queries else {krpc.Response, krpc.Error}
    )


@pytest.mark.parametrize(
    ("message", "fault"),
    [
        (b"d1:t2:aa1:y1:xe", "$.y"),  # no member is tagged "x"
        (b"d1:t2:aae", "$"),  # no tag at all
        (b"d1:q4:ping1:t2:aa1:y1:qe", "$"),  # a query without arguments
        (b"d1:eli201ee1:t2:aa1:y1:ee", "$.e"),  # an error without its message
        (b"d1:ad2:id1:xe1:q2:\xff\xfe1:t2:aa1:y1:qe", "$.q"),  # method not UTF-8
    ],
)
def test_krpc_misfits_name_the_field(message, fault):
    with pytest.raises(typed.ValidationError) as raised:
        typed.decode(message, krpc.Message)
    assert raised.value.path == fault


@pytest.mark.parametrize(
    ("compact", "expected"),
    [
        (bytes([127, 0, 0, 1, 0x1A, 0xE1]), ("127.0.0.1", 6881)),
        (bytes(15) + b"\x01\xff\x01", ("::1", 65281)),
    ],
)
def test_compact_peer_is_read_most_significant_byte_first(compact, expected):
    assert krpc.peer(compact) == expected
    node_id = bytes(range(20))
    if len(compact) == 6:
        assert krpc.nodes(node_id + compact) == [(node_id, *expected)]


# --- tracker -----------------------------------------------------------------


@pytest.mark.parametrize("generate", [workloads.tracker_compact, workloads.tracker_dict_peers])
def test_tracker_responses_round_trip_with_every_peer(generate):
    for body in generate(random.Random(3), 20):
        response, plain = typed.decode(body, tracker.Announce), decode(body)
        assert typed.encode(response) == body
        assert response.interval == 1800 and response.failure_reason is None
        peers = plain[b"peers"]
        count = len(peers) // 6 if isinstance(peers, bytes) else len(peers)
        count += len(plain.get(b"peers6", b"")) // 18
        addresses = response.addresses()
        assert len(addresses) == count
        if isinstance(peers, list):
            assert addresses[0] == (peers[0][b"ip"].decode(), peers[0][b"port"])


def test_tracker_failure_and_a_bad_peer():
    failure = typed.decode(b"d14:failure reason9:not founde", tracker.Announce)
    assert (failure.failure_reason, failure.peers, failure.addresses()) == ("not found", None, [])
    with pytest.raises(typed.ValidationError, match=r"missing key 'port' at \$\.peers\[1\]"):
        typed.decode(b"d5:peersld2:ip1:a4:porti1eed2:ip1:beee", tracker.Announce)
    with pytest.raises(ValueError, match="6 bytes each"):
        tracker.Announce(peers=bytes(7)).addresses()
