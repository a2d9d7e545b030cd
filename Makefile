# velka builds and is tested on CPython 3.11, 3.12, 3.13, 3.14 and 3.15.
# scripts/python-env VERSION runs a command where that version lives: 3.11
# and 3.12 are the host's own (pyenv), 3.13 to 3.15 are Debian sid's, in a
# root that scripts/sid makes once and enters. The tools that need one version only
# (the development build, benchmark, fuzzing, leak check, lint) use 3.14 in
# the sid root. Other CPUs (ARCHES: aarch64 armv7l i686 ppc64le riscv64
# s390x, or all) get wheels cross-built in that root and are tested in roots
# of their own under qemu-user (scripts/sid --arch ARCH); their 3.11 is
# Debian bookworm's, in a bookworm root of each (not riscv64, which bookworm
# lacks).
SID := scripts/sid
PYTHONS ?= 3.11 3.12 3.13 3.14 3.15
# make test: the native CPU only, unless ARCHES names others; make dist and
# dist-check: every CPU, unless ARCHES names fewer (ARCHES=x86_64: none).
ARCHES ?=
DIST_ARCHES := $(if $(ARCHES),$(ARCHES),all)
VENV := .venv
PYTHON := $(VENV)/bin/python
TORRENT ?= tests/data/multi-file.torrent

.PHONY: all build test test-clang demo clean bench bench-torrent dist dist-check lint fuzz check-leaks

all: test

build:
	$(SID) scripts/install-dev.sh

# For each version in PYTHONS: a wheel built with it, retagged manylinux,
# installed into a fresh virtual environment of that version, and the suite
# run against it; then, on each CPU of ARCHES, the same with 3.14; the runs
# side by side, as many as there are CPUs, and a line per run at the end.
# PYTEST_ARGS go to pytest. WHEELS=DIR tests the wheels make dist put there
# instead of building them (what make dist-check runs), with SDIST=VERSION
# its sdist on that version too. VELKA_ONCE=3.14 adds, in that version's
# native run, the long tests marked once.
test:
	PYTEST_ARGS='$(PYTEST_ARGS)' scripts/test-all.sh --arches '$(ARCHES)' \
		$(if $(WHEELS),--wheels '$(WHEELS)') $(if $(SDIST),--sdist '$(SDIST)') $(PYTHONS)

# The same on 3.14 against a wheel built with clang instead of g++, so that
# the sources lean on no one compiler.
test-clang:
	CXX=clang++ PYTEST_ARGS='$(PYTEST_ARGS)' scripts/test-all.sh 3.14

# examples/torrent_info.py on a torrent the repository ships (or TORRENT=path),
# with the development build on 3.14.
demo: build
	scripts/demo.sh $(TORRENT)

# The sdist, a manylinux wheel per version in PYTHONS, and one per version
# (3.13 to 3.15, and 3.11 where bookworm has it) on each other CPU, into
# dist/.
dist:
	scripts/dist.sh --arches '$(DIST_ARCHES)' $(PYTHONS)

# What make dist made, installed: each native wheel into a fresh environment
# of its version with the suite run against it, the sdist, built by pip with
# build isolation, the same way on 3.12, and each other CPU's wheels on that
# CPU: the short check (tests/test_platform.py) against each, but the suite
# against the 3.14 wheels of s390x and i686 (big-endian 64-bit, 32-bit).
dist-check: dist
	$(MAKE) test WHEELS=dist SDIST=3.12 ARCHES='$(DIST_ARCHES)'

# ruff (check and format), clang-format and clang-tidy; clang-tidy reads the
# compile_commands.json of the development build.
lint: build
	$(SID) scripts/lint.sh

clean:
	rm -rf build dist $(VENV) .pytest_cache .hypothesis

# The benchmark: peers from PyPI in their own environment, workloads made by
# real tools (once, into bench/data), then the run; results in bench/results.
bench: build
	$(SID) bench/setup-peers.sh
	$(SID) $(PYTHON) bench/workloads.py
	$(SID) $(PYTHON) bench/run.py

# velka.torrent's create and verify against mktorrent, transmission-create,
# libtorrent's binding and torf, and against hashlib's limit on as many
# threads, on 4 GiB of data in tmpfs; the table in bench/results/torrent.md.
bench-torrent: build
	$(SID) $(PYTHON) bench/torrent_bench.py

# Coverage-guided fuzzing of decode, decode_all, the round trip, encode,
# decode_prefix, span and the typed decoder and encoder under AddressSanitizer and
# UndefinedBehaviorSanitizer: FUZZ_SECONDS per harness, as many harnesses at
# once as there are CPUs (FUZZ_JOBS); new inputs collect in
# fuzz/build/corpus, findings in fuzz/build/findings.
FUZZ_SECONDS ?= 15
fuzz:
	$(SID) fuzz/run.sh $(FUZZ_SECONDS)

# Every path of the codec, repeated under the debug interpreter against a
# build made for it; fails when references or memory blocks keep growing.
check-leaks:
	$(SID) scripts/check-leaks.sh
