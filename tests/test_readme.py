"""Every Python example in README.md runs as shown.

`pycon` blocks are run as doctests, so their shown output is checked; `python`
blocks are run as scripts in a folder holding an `example.torrent`, and a
comment line right after a print() call is checked as that call's output.
"""

import doctest
import itertools
import re
import sys
import types
from pathlib import Path

import pytest

from velka.bencode import encode

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^```(python|pycon)\n(.*?)^```", re.MULTILINE | re.DOTALL)


def _blocks() -> list[pytest.param]:
    text = README.read_text(encoding="utf-8")
    return [
        pytest.param(m[1], m[2], id=f"{m[1]}-line{text.count(chr(10), 0, m.start()) + 1}")
        for m in BLOCK.finditer(text)
    ]


BLOCKS = _blocks()


def test_readme_has_examples_of_both_kinds():
    kinds = [p.values[0] for p in BLOCKS]
    assert kinds.count("pycon") >= 2 and kinds.count("python") >= 4


@pytest.fixture
def example_torrent(tmp_path, monkeypatch):
    meta = {
        b"announce": b"http://tracker.invalid/announce",
        b"info": {
            b"name": b"example",
            b"piece length": 16384,
            b"pieces": bytes(40),
            b"files": [
                {b"length": 5, b"path": [b"a.txt"]},
                {b"length": 20000, b"path": [b"sub", b"b.bin"]},
            ],
        },
    }
    (tmp_path / "example.torrent").write_bytes(encode(meta))
    monkeypatch.chdir(tmp_path)


def _expected_prints(code: str) -> list[str]:
    lines = code.splitlines()
    return [
        nxt[2:]
        for line, nxt in itertools.pairwise(lines)
        if line.startswith("print(") and nxt.startswith("# ")
    ]


@pytest.mark.usefixtures("example_torrent")
@pytest.mark.parametrize(("kind", "code"), BLOCKS)
def test_readme_example_runs(kind, code, capsys, monkeypatch):
    if kind == "pycon":
        parser = doctest.DocTestParser()
        test = parser.get_doctest(code, {}, "README", str(README), 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        report: list[str] = []
        result = runner.run(test, out=report.append)
        assert result.failed == 0, "".join(report)
        return
    # Run as a script is: in a module of its own named __main__, where
    # typing.get_type_hints finds the names its classes' annotations use.
    module = types.ModuleType("__main__")
    monkeypatch.setitem(sys.modules, "__main__", module)
    exec(compile(code, str(README), "exec"), module.__dict__)
    printed = capsys.readouterr().out.splitlines()
    for expected in _expected_prints(code):
        assert expected in printed
