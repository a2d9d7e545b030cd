import os
import platform
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, settings


@pytest.fixture
def content(tmp_path):
    """A folder of files to make torrents of."""
    root = tmp_path / "Holiday Photos"
    (root / "day 1").mkdir(parents=True)
    (root / "day 1" / "beach.jpg").write_bytes(bytes(range(256)) * 300)
    (root / "notes.txt").write_bytes(b"sunny\n")
    return root


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter (the installed package, not the
    source tree) and returns the completed process."""

    def run(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-P", "-c", textwrap.dedent(code)],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run


# Under CPU emulation the interpreter runs many times slower: no deadline, no
# health check that judges generation speed by the clock, and a tenth of the
# examples where a test does not set its own (emulation.examples).
if os.environ.get("VELKA_EMULATED"):
    settings.register_profile(
        "emulated",
        max_examples=10,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    settings.load_profile("emulated")


# Tests marked `once` are long (a 64 GiB sparse file) and need run in one
# test run only, not once per Python version and CPU: in the run of the
# version VELKA_ONCE names (.ci/run gives 3.14 to make test, whose
# scripts/test-all.sh keeps it from the other CPUs' runs).
def pytest_collection_modifyitems(config, items):
    version = ".".join(platform.python_version_tuple()[:2])
    if os.environ.get("VELKA_ONCE") == version:
        return
    skip = pytest.mark.skip(reason=f"runs once per test run (VELKA_ONCE={version} runs it)")
    for item in items:
        if "once" in item.keywords:
            item.add_marker(skip)
