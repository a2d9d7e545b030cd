import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter (the installed package, not the
    source tree) and returns the completed process."""

    def run(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-P", "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run
