"""The installed package: where it comes from, what the wheel ships, typing."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

import velka
import velka.bencode

ROOT = Path(__file__).resolve().parent.parent


def test_suite_runs_against_the_installed_package():
    # The source folder has no compiled module; importing from it would fail,
    # but a stale in-place build could shadow the installed one.
    assert not Path(velka.__file__).resolve().is_relative_to(ROOT / "velka")


@pytest.mark.parametrize("name", ["bencode.pyi", "raw.pyi", "typed.pyi", "_typed.pyi", "py.typed"])
def test_typing_files_are_installed_beside_the_module(name):
    assert (Path(velka.bencode.__file__).parent / name).is_file()


needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)


def _run(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-P", "-m", *args],
        cwd=cwd,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=300,
    )


@needs_mypy
@pytest.mark.parametrize("module", ["velka.bencode", "velka.raw", "velka.typed", "velka._typed"])
def test_stub_matches_the_runtime_module(tmp_path, module):
    result = _run(["mypy.stubtest", module], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_examples_pass_mypy_strict(tmp_path):
    # Run outside the checkout, so the installed stub is the one checked.
    result = _run(["mypy", "--strict", str(ROOT / "examples")], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_typed_decoding_has_the_model_type(tmp_path):
    source = tmp_path / "use_typed.py"
    source.write_text(
        "import dataclasses\n"
        "from velka.typed import Decoder, decode\n"
        "@dataclasses.dataclass\n"
        "class Torrent:\n"
        "    announce: str\n"
        "def name(data: bytes) -> str:\n"
        "    first: Torrent = decode(data, Torrent)\n"
        "    decoder: Decoder[Torrent] = Decoder(Torrent)\n"
        "    second, end = decoder.decode_prefix(data)\n"
        "    reveal_type(decoder.decode(data))\n"
        "    return first.announce + second.announce + str(end)\n"
    )
    result = _run(["mypy", "--strict", str(source)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert 'Revealed type is "use_typed.Torrent"' in result.stdout
