# Every Python-side command runs through scripts/py314, which provides
# Python 3.14 (a Debian sid root on machines that lack it).
PY314 := scripts/py314
VENV := .venv
PYTHON := $(VENV)/bin/python

.PHONY: all build test clean bench dist lint fuzz check-leaks

all: test

build:
	$(PY314) scripts/install-dev.sh

# The suite runs against a wheel installed into a fresh virtual environment
# (build/test-venv), not against the source tree; the wheel's meson build tree
# (build/wheel) is kept, so rebuilds are incremental. PYTEST_ARGS go to pytest.
test:
	$(PY314) scripts/test-installed.sh $(PYTEST_ARGS)

# The sdist and the wheel, as a release would ship them, into dist/.
dist:
	$(PY314) python3 -m build --no-isolation --outdir dist

# ruff (check and format), clang-format and clang-tidy; clang-tidy reads the
# compile_commands.json of the development build.
lint: build
	$(PY314) scripts/lint.sh

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis

# The benchmark: peers from PyPI in their own environment, workloads made by
# real tools (once, into bench/data), then the run; results in bench/results.
bench: build
	$(PY314) bench/setup-peers.sh
	$(PY314) $(PYTHON) bench/workloads.py
	$(PY314) $(PYTHON) bench/run.py

# Coverage-guided fuzzing of decode, decode_all, the round trip, encode,
# decode_prefix and span under AddressSanitizer and
# UndefinedBehaviorSanitizer: FUZZ_SECONDS per harness, as many harnesses at once as there are CPUs (FUZZ_JOBS); new
# inputs collect in fuzz/build/corpus, findings in fuzz/build/findings.
FUZZ_SECONDS ?= 15
fuzz:
	$(PY314) fuzz/run.sh $(FUZZ_SECONDS)

# Every path of the codec, repeated under the debug interpreter against a
# build made for it; fails when references or memory blocks keep growing.
check-leaks:
	$(PY314) scripts/check-leaks.sh
