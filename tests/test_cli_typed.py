"""`velka info` reads torrents through velka.typed models: where that reading
could differ from a plain decode (names not UTF-8, optional keys missing,
values of the wrong type), it says what it said before."""

import pytest

from velka._cli._input import Failure
from velka._cli.info import info_lines, read_torrent
from velka.bencode import encode

INFO = {b"name": b"x", b"piece length": 16384, b"pieces": bytes(20), b"length": 3}


def lines(meta):
    return info_lines(read_torrent(encode(meta)))


@pytest.mark.parametrize(
    ("meta", "expected"),
    [
        ({b"info": {**INFO, b"name": b"caf\xe9"}}, "name:          caf\\xe9"),
        (
            {b"info": INFO, b"announce": b"http://\xff.invalid/"},
            "announce:      http://\\xff.invalid/",
        ),
        ({b"info": INFO, b"comment": b"\xc3("}, "comment:       \\xc3("),
        (
            {b"info": {**INFO, b"files": [{b"length": 1, b"path": [b"d\xff", b"f"]}]}},
            "  1  x/d\\xff/f",
        ),
        (
            {
                b"info": {
                    b"name": b"\xfe",
                    b"piece length": 16384,
                    b"meta version": 2,
                    b"file tree": {b"\xfe": {b"": {b"length": 7, b"pieces root": bytes(32)}}},
                }
            },
            "  7  \\xfe",
        ),
    ],
)
def test_names_that_are_not_utf8_are_shown_escaped(meta, expected):
    assert expected in lines(meta)


def test_missing_optional_keys_leave_their_lines_out():
    shown = lines({b"info": INFO})
    assert shown[:8] == [
        "name:          x",
        "kind:          v1",
        "total size:    3 bytes",
        "files:         1",
        "  3  x",
        "piece length:  16.0 KiB (16,384 bytes)",
        "pieces:        1",
        "private:       no",
    ]
    assert [line[:14] for line in shown[8:]] == ["info-hash v1: ", "magnet:       "]


@pytest.mark.parametrize(
    ("meta", "message"),
    [
        (1, "the top-level value is not a dictionary"),
        ({}, "the top-level value has no 'info'"),
        ({b"info": []}, "the top-level value: 'info' is not dict"),
        ({b"info": {**INFO, b"name": 5}}, "'info': 'name' is not bytes"),
        ({b"info": {**INFO, b"piece length": b"1"}}, "'info': 'piece length' is not int"),
        ({b"info": {**INFO, b"files": {}}}, "'info': 'files' is not list"),
        ({b"info": {**INFO, b"files": [b"a"]}}, "file entry 1 is not a dictionary"),
        (
            {b"info": {**INFO, b"files": [{b"length": 1}]}},
            "file entry 1: 'path' is not a list of byte strings",
        ),
        (
            {b"info": {**INFO, b"files": [{b"length": 1, b"path": 1}]}},
            "file entry 1: 'path' is not list",
        ),
        ({b"info": {**INFO, b"files": [{b"path": [b"a"]}]}}, "file entry 1 has no 'length'"),
        ({b"info": {**INFO, b"file tree": 3}}, "'info': 'file tree' is not dict"),
        (
            {b"info": INFO, b"announce-list": b"u"},
            "the top-level value: 'announce-list' is not list",
        ),
        (
            {b"info": INFO, b"creation date": b"now"},
            "the top-level value: 'creation date' is not int",
        ),
        ({b"info": {**INFO, b"private": b"yes"}}, "'info': 'private' is not int"),
    ],
)
def test_a_torrent_that_does_not_fit_gets_the_message_it_always_got(meta, message):
    with pytest.raises(Failure) as raised:
        lines(meta)
    assert str(raised.value) == f"not a torrent: {message}"


@pytest.mark.parametrize(
    "meta",
    [
        # Read leniently, as before: tiers and URLs of other types are skipped.
        {b"info": INFO, b"announce-list": [1, [], [2, b"http://a.invalid/"]], b"url-list": 4},
        # A padding file needs no length.
        {
            b"info": {
                **INFO,
                b"files": [{b"length": 1, b"path": [b"a"]}, {b"attr": b"p", b"path": [b"p"]}],
            }
        },
    ],
)
def test_what_was_tolerated_still_is(meta):
    assert lines(meta)[0] == "name:          x"
