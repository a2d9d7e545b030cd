"""Smoke checks of the benchmark's parts: workload generators and equality checks.

No timings here: only that the inputs are what velka and the peers are fed,
and that a differing implementation is caught before it is timed.
"""

import random
import shutil
import sys
from collections import OrderedDict
from pathlib import Path

import pytest

from velka.bencode import decode, encode

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import check
import run
import workloads

SYNTHETIC = [
    (workloads.dht_queries, 300, 40, 300),
    (workloads.dht_responses, 300, 40, 300),
    (workloads.tracker_dict_peers, 5, 1000, 20000),
    (workloads.tracker_compact, 20, 100, 3000),
]


@pytest.mark.parametrize(("generator", "count", "smallest", "largest"), SYNTHETIC)
def test_messages_are_canonical_deterministic_and_sized(generator, count, smallest, largest):
    messages = generator(random.Random(7), count)
    assert messages == generator(random.Random(7), count)
    assert len(messages) == count
    for message in messages:
        assert smallest <= len(message) <= largest
        assert encode(decode(message)) == message


def test_krpc_messages_cover_every_kind():
    queries = [decode(m) for m in workloads.dht_queries(random.Random(1), 200)]
    assert {q[b"q"] for q in queries} == {b"ping", b"find_node", b"get_peers", b"announce_peer"}
    replies = [decode(m) for m in workloads.dht_responses(random.Random(1), 200)]
    bodies = [r[b"r"] for r in replies if r[b"y"] == b"r"]
    assert any(len(b.get(b"nodes", b"")) == 26 * 8 for b in bodies)
    assert any(b.get(b"values") and all(len(v) == 6 for v in b[b"values"]) for b in bodies)


def test_containers_have_the_promised_shape():
    integers = decode(workloads.mixed_integers(random.Random(1), 2000))
    assert len(integers) == 2000
    assert all(-(2**63) < value < 2**63 for value in integers)
    assert {value.bit_length() // 16 for value in integers} == {0, 1, 2, 3}
    keys = decode(workloads.binary_keys(random.Random(1), 500))
    assert len(keys) == 500
    assert any(not _is_utf8(key) for key in keys)


def _is_utf8(data: bytes) -> bool:
    try:
        data.decode()
    except UnicodeDecodeError:
        return False
    return True


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (-12, b"i-12e"),
        ({b"b": 1, b"a": [b"", 0]}, b"d1:al0:i0ee1:bi1ee"),
    ],
)
def test_reference_encoder(value, message):
    assert workloads.bencode(value) == message


@pytest.mark.skipif(
    not shutil.which("mktorrent") or not shutil.which("transmission-create"),
    reason="torrent tools not installed",
)
def test_tools_make_torrents_that_decode(tmp_path):
    tree = tmp_path / "tree"
    (tree / "sub").mkdir(parents=True)
    for index in range(5):
        (tree / "sub" / f"f{index}").write_bytes(random.Random(index).randbytes(70_000))
    for tool, piece in ((workloads._mktorrent, 15), (workloads._transmission, 16)):
        output = tmp_path / "out.torrent"
        tool(tree, output, piece)
        data = output.read_bytes()
        info = decode(data)[b"info"]
        assert len(info[b"files"]) == 5
        assert len(info[b"pieces"]) % 20 == 0
        assert encode(decode(data)) == data


def test_load_splits_messages(tmp_path, monkeypatch):
    monkeypatch.setattr(
        workloads,
        "SPECS",
        [
            workloads.Spec(
                "q",
                "queries",
                "q.bin",
                workloads._seeded(workloads.dht_queries, 1, 9),
                messages=True,
            ),
            workloads.Spec("i", "ints", "i.bin", workloads._seeded(workloads.mixed_integers, 1, 9)),
        ],
    )
    workloads.generate(tmp_path, log=lambda _text: None)
    loaded = workloads.load(tmp_path)
    assert [(w.name, len(w.inputs)) for w in loaded] == [("q", 9), ("i", 1)]
    assert loaded[0].inputs == workloads.dht_queries(random.Random(1), 9)


@pytest.mark.parametrize(
    ("got", "want", "where"),
    [
        ({b"a": [1, b"x"]}, {b"a": [1, b"x"]}, None),
        ({"a": 1}, {b"a": 1}, "key"),
        ([b"x"], ["x"], "$[0]"),
        (OrderedDict({b"a": 1}), {b"a": 1}, "OrderedDict"),
        ({b"b": 1, b"a": 2}, {b"a": 2, b"b": 1}, "keys"),
        ([True], [1], "bool"),
        ((1,), [1], "tuple"),
        ({b"a": [1, 2]}, {b"a": [1, 3]}, "$[b'a'][1]"),
        ([[1]], [[1, 2]], "1 items"),
    ],
)
def test_first_difference(got, want, where):
    found = check.first_difference(got, want)
    assert (found is None) if where is None else (where in found)


@pytest.mark.parametrize(
    ("got", "want", "where"),
    [
        (b"i1e", b"i1e", None),
        (b"i12e", b"i13e", "offset 2"),
        (b"i1", b"i1e", "offset 2"),
        ("i1e", b"i1e", "str"),
    ],
)
def test_first_byte_difference(got, want, where):
    found = check.first_byte_difference(got, want)
    assert (found is None) if where is None else (where in found)


def test_graph_size_counts_shared_nodes_once_and_no_immortals():
    leaf = b"x" * 100
    assert check.graph_size([leaf, leaf]) == sys.getsizeof([leaf, leaf]) + sys.getsizeof(leaf)
    # The one-byte value made as the decoder makes it: a constant loaded from
    # a cached .pyc is a copy of its own, not the interpreter's shared one.
    one_byte = bytes([97])
    assert check.graph_size([1, one_byte, b""]) == sys.getsizeof([1, one_byte, b""])


def test_a_differing_peer_is_left_out_of_the_ratios():
    velka = run._velka()

    def wrong_decode(data):
        result = decode(data)
        result[b"extra"] = 1
        return result

    wrong = run._codec("wrong", "0", wrong_decode, lambda value: encode(value) + b" ")
    sample = workloads.Workload("w", "sample", [b"d1:ai1ee", b"d1:bi2ee"])
    notes: list[str] = []
    decode_case, encode_case = run.prepare(sample, [velka, wrong, run._marshal()], notes)
    assert set(decode_case.excluded) == {"wrong"}
    assert set(encode_case.excluded) == {"wrong"}
    assert "b'extra'" in decode_case.excluded["wrong"]
    assert "offset 8" in encode_case.excluded["wrong"]
    assert len(notes) == 2


def _typed_workloads():
    rng = random.Random(3)
    return [
        workloads.Workload(
            "dht-sample", "KRPC", workloads.dht_queries(rng, 20) + workloads.dht_responses(rng, 40)
        ),
        workloads.Workload(
            "tracker-sample",
            "tracker",
            workloads.tracker_dict_peers(rng, 2) + workloads.tracker_compact(rng, 3),
        ),
        workloads.Workload("ints-sample", "not typed", [workloads.mixed_integers(rng, 10)]),
    ]


def test_typed_rows_are_checked_measured_and_reported():
    pytest.importorskip("velka.typed")
    import typed_bench

    cases = []
    for workload in _typed_workloads():
        case = typed_bench.measure(workload, 1, 10_000, random.Random(1), run._empty_free_lists)
        if workload.name == "ints-sample":
            assert case is None
            continue
        assert set(case.decode_times) >= {"decode", "typed", "reference", "typed+extra"}
        assert set(case.encode_times) >= {"encode", "typed", "encode whole", "typed+extra"}
        assert case.decode_ratios["decode"] == case.encode_ratios["encode"] == 1.0
        peak, size, plan = case.memory
        assert size > 0 and plan > 0 and peak > 0
        cases.append(case)
    text = "\n".join(typed_bench.report(cases, run._time_text))
    assert "| dht-sample |" in text and "| tracker-sample |" in text


def test_typed_reference_refuses_what_the_typed_decoder_refuses():
    pytest.importorskip("velka.typed")
    import typed_models

    from velka.typed import ValidationError
    from velka.typed import decode as typed_decode

    bad = [
        (b"d8:intervali1e5:peersi3ee", typed_models.Announce),
        (b"d8:intervali1e5:peersld2:ip1:\xff4:porti1eeee", typed_models.Announce),
        (b"d1:ad2:idi1ee1:q4:ping1:t0:1:y1:qe", typed_models.Krpc),
        (b"d4:infod4:name1:a6:pieces0:ee", typed_models.Torrent),
    ]
    for data, form in bad:
        family = typed_models.FAMILIES[
            {typed_models.Announce: "tracker", typed_models.Torrent: "torrent"}.get(form, "dht")
        ]
        with pytest.raises(ValidationError):
            typed_decode(data, form)
        with pytest.raises(typed_models.ConversionError):
            family.reference(decode(data))


def test_typed_memory_counts_records_and_their_fields():
    pytest.importorskip("velka.typed")
    import typed_bench
    import typed_models

    # Made at run time: a constant would be interned, and so immortal on 3.12.
    ip = "".join(["x"] * 50)
    peer = typed_models.Peer(ip=ip, port=1)
    assert typed_bench.object_size(peer) == sys.getsizeof(peer) + sys.getsizeof(ip)
    assert typed_bench.object_size([peer, peer]) == sys.getsizeof([peer, peer]) + (
        typed_bench.object_size(peer)
    )
