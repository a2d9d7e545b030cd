import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, settings


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


# Under CPU emulation (scripts/test-installed.sh on another CPU's root) the
# interpreter runs many times slower: no deadline, and no health check that
# judges generation speed by the clock.
if os.environ.get("VELKA_EMULATED"):
    settings.register_profile(
        "emulated", deadline=None, suppress_health_check=[HealthCheck.too_slow]
    )
    settings.load_profile("emulated")
