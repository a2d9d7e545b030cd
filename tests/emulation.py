"""What the suite does less of under CPU emulation.

scripts/test-installed.sh sets VELKA_EMULATED to the CPU's name when the suite
runs in another CPU's root under qemu-user, where the interpreter runs ten to
fifty times slower: property tests then draw a tenth of their examples (their
cases still reach every path of the word-wise code), and tests that cannot
work there, or that only repeat what the native run has shown, are skipped
with the reason given.
"""

import os

import pytest

EMULATED = os.environ.get("VELKA_EMULATED", "")


def examples(native: int) -> int:
    """A property test's number of examples on this CPU."""
    return max(20, native // 10) if EMULATED else native


def skip_if_emulated(reason: str) -> pytest.MarkDecorator:
    return pytest.mark.skipif(bool(EMULATED), reason=f"under emulation ({EMULATED}): {reason}")
