# Every Python-side command runs through scripts/py314, which provides
# Python 3.14 (a Debian sid root on machines that lack it).
PY314 := scripts/py314
VENV := .venv
PYTHON := $(VENV)/bin/python

.PHONY: all build test clean

all: test

build:
	$(PY314) scripts/install-dev.sh

test: build
	$(PY314) $(PYTHON) -m pytest

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis
