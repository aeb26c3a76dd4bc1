# The set-up and the two commands of the README: `make demo` and `make test`.
SHELL := /bin/bash
PYTHON ?= python3
JOBS ?= $(shell nproc)
DEBIAN_PACKAGES := g++ cmake ninja-build pkg-config libzstd-dev libtbb-dev libgtest-dev
PY313 := $(shell python3.13 -c 'import sys; print(sys.executable)' 2>/dev/null || PYENV_VERSION=$$(pyenv versions --bare 2>/dev/null | grep '^3\.13' | head -1) python3.13 -c 'import sys; print(sys.executable)' 2>/dev/null)

.PHONY: setup build test test-cpp test-asan test-python install demo bench clean fuzz fuzz-setup \
	torture

# Installs whatever Debian or Python package is missing; a no-op on a prepared machine.
setup:
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi
	@$(PYTHON) -c 'import pytest, scikit_build_core' 2>/dev/null || \
	  $(PYTHON) -m pip install -q pytest scikit-build-core

build: setup
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUIB_WERROR=ON
	cmake --build build -j $(JOBS)

test-cpp: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIB_WERROR=ON -DQUIB_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# Installs the module into the interpreter that runs the tests.
install: setup
	$(PYTHON) -m pip install -q --no-build-isolation .

# pytest's exit status 5 means "no tests collected", which is not a failure here.
test-python: install
	@[ -d tests ] || exit 0; $(PYTHON) -m pytest -q tests; s=$$?; [ $$s -eq 0 ] || [ $$s -eq 5 ] || exit $$s
	@if [ -n "$(PY313)" ]; then \
	  $(MAKE) --no-print-directory test-python-313; fi

test-python-313:
	@$(PY313) -c 'import pytest, scikit_build_core' 2>/dev/null || \
	  $(PY313) -m pip install -q pytest scikit-build-core
	$(PY313) -m pip install -q --no-build-isolation .
	@[ -d tests ] || exit 0; $(PY313) -m pytest -q tests; s=$$?; [ $$s -eq 0 ] || [ $$s -eq 5 ] || exit $$s

test: test-cpp test-asan test-python

# Builds a fresh database from the sample data in examples/ and prints what it holds.
demo: install
	rm -rf demo_db
	$(PYTHON) examples/quickstart.py demo_db

# The ingestion benchmark (bench/README.md); ROWS=1000000 times one file size.
bench: install
	$(PYTHON) -m pip install -q -r bench/requirements.txt
	$(PYTHON) bench/ingest.py $(if $(ROWS),--rows $(ROWS))

# Neither of the two runs below is part of `make test`: they take minutes and look for new faults
# rather than guard known ones (a fault they find becomes a test).

# libFuzzer over every reader of outside bytes (fuzz/), FUZZ_SECONDS per target; clang and
# libFuzzer are installed when missing.
FUZZ_SECONDS ?= 60
FUZZ_PACKAGES := clang libfuzzer-14-dev

fuzz-setup: setup
	@missing=""; for p in $(FUZZ_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi

fuzz: fuzz-setup
	CC=clang CXX=clang++ cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  >/dev/null
	cmake --build build-fuzz -j $(JOBS) | tail -1
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh build-fuzz

# SIGKILLs at random points of create and ingest (KILLS, default 300), then failing writes, fsyncs
# and renames of ingests through an LD_PRELOAD shim; checks the database after each trial. The
# module is built into build-torture/, so the interpreter's own installation stays as it is.
KILLS ?= 300

torture: setup
	mkdir -p build-torture
	cc -shared -fPIC -O2 -Wall -Wextra -o build-torture/fault_shim.so tools/torture/fault_shim.c -ldl
	$(PYTHON) -m pip install -q --no-build-isolation --upgrade --target build-torture/site .
	PYTHONPATH=build-torture/site $(PYTHON) tools/torture/torture.py \
	  --shim build-torture/fault_shim.so --kills $(KILLS)

clean:
	rm -rf build build-asan build-fuzz build-torture
