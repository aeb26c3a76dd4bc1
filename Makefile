# The set-up and the two commands of the README: `make demo` and `make test`.
SHELL := /bin/bash
PYTHON ?= python3
JOBS ?= $(shell nproc)
DEBIAN_PACKAGES := g++ cmake ninja-build pkg-config libzstd-dev libtbb-dev libgtest-dev libicu-dev
PY313 := $(shell python3.13 -c 'import sys; print(sys.executable)' 2>/dev/null || PYENV_VERSION=$$(pyenv versions --bare 2>/dev/null | grep '^3\.13' | head -1) python3.13 -c 'import sys; print(sys.executable)' 2>/dev/null)

.PHONY: setup build test test-cpp test-asan test-python install demo bench bench-query clean

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

# The query benchmark (bench/README.md): statements timed against pandas and DuckDB + scipy.
bench-query: install
	$(PYTHON) -m pip install -q -r bench/requirements.txt
	$(PYTHON) bench/query.py $(if $(ROWS),--rows $(ROWS))

clean:
	rm -rf build build-asan
