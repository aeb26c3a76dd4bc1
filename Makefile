# The set-up and the two commands of the README: `make demo` and `make test`.
SHELL := /bin/bash
PYTHON ?= python3
JOBS ?= $(shell nproc)
DEBIAN_PACKAGES := g++ cmake ninja-build pkg-config libzstd-dev libtbb-dev libgtest-dev libicu-dev
PY313 := $(shell python3.13 -c 'import sys; print(sys.executable)' 2>/dev/null || PYENV_VERSION=$$(pyenv versions --bare 2>/dev/null | grep '^3\.13' | head -1) python3.13 -c 'import sys; print(sys.executable)' 2>/dev/null)
PY_DEFAULT := $(shell $(PYTHON) -c 'import sys; print(sys.executable)' 2>/dev/null)
# Every interpreter the module is tested under: the default one, and a CPython 3.13 when found.
PYTHONS := $(PYTHON) $(filter-out $(PY_DEFAULT),$(PY313))

# The test stages run side by side, each with its own build directory (kept between runs) and
# its output in $(LOGS). The sanitizer build, the longest, takes every processor; the others
# half of them each.
LOGS := build/logs
STAGE_JOBS := $(shell n=$$(( $(JOBS) / 2 )); echo $$(( n > 1 ? n : 1 )))
CMAKE_FLAGS := -G Ninja -DQUIB_WERROR=ON
PY_INDICES := $(shell seq $(words $(PYTHONS)))
PY_STAGES := $(foreach i,$(PY_INDICES),test-python-$(i))
STAGE_NAMES := engine cpp asan $(foreach i,$(PY_INDICES),pytest-$(notdir $(word $(i),$(PYTHONS))))
# The module of each interpreter links the engine that the C++ stage compiles, in a build
# directory of its own beside the one `make install` uses.
PY_BUILD := -C build-dir=build/pytest-{wheel_tag} \
            -C cmake.define.QUIB_ENGINE_LIBRARY=$(CURDIR)/build/libquib_engine_core.a

.PHONY: setup build install test test-engine test-cpp test-asan test-python $(PY_STAGES) \
        test-summary \
        demo bench bench-query bench-all clean fuzz fuzz-setup torture

# Installs whatever Debian or Python package is missing; a no-op on a prepared machine.
setup:
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi
	@for py in $(PYTHONS); do $$py -c 'import pytest, hypothesis, scikit_build_core' 2>/dev/null || \
	  $$py -m pip install -q pytest hypothesis scikit-build-core; done

build: setup
	cmake -S . -B build $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS)

# Installs the module into the default interpreter; the build directory under build/ is kept.
install: setup
	$(PYTHON) -m pip install -q --no-build-isolation .

# Every stage, then one line per stage; a failing stage also shows its errors and the output of
# its failing tests, nothing of what passed.
test: setup
	@rm -rf $(LOGS); mkdir -p $(LOGS); start=$$(date +%s); \
	  echo "stages: $(STAGE_NAMES) (logs in $(LOGS)/)"; \
	  $(MAKE) --no-print-directory -k -j 5 test-cpp test-asan $(PY_STAGES) >/dev/null 2>&1; \
	  $(MAKE) --no-print-directory test-summary; status=$$?; \
	  [ $$status = 0 ] && verdict=passed || verdict=FAILED; \
	  echo "make test: $$verdict in $$(( $$(date +%s) - start ))s"; \
	  exit $$status

# Runs the commands $(2) as stage $(1): output to $(LOGS)/$(1).log, then "status seconds" to
# $(LOGS)/$(1).status. The stage's own target never fails, so the others run on.
define stage
	@mkdir -p $(LOGS); start=$$(date +%s); ( set -o pipefail; $(2) ) >$(LOGS)/$(1).log 2>&1; \
	  echo "$$? $$(( $$(date +%s) - start ))" >$(LOGS)/$(1).status
endef

# Each C++ stage gives its tests a temporary directory of their own.
test-engine:
	$(call stage,engine,cmake -S . -B build $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release && \
	  cmake --build build -j $(JOBS) --target quib_engine_core)

test-cpp: test-engine
	$(call stage,cpp,cmake --build build -j $(STAGE_JOBS) && mkdir -p build/tmp && \
	  TMPDIR=$(CURDIR)/build/tmp TEST_TMPDIR=$(CURDIR)/build/tmp \
	  ctest --test-dir build --output-on-failure -j $(STAGE_JOBS))

# The sanitizer build, the longest stage, compiles the engine at -O0: a third of its compile
# time at -O1, with the same checks. The tests compile at -O0 too (a quarter less compile time,
# a few seconds more run), except those whose own loops are heavy (CMakeLists.txt).
test-asan:
	$(call stage,asan,cmake -S . -B build-asan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug \
	  '-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g1' -DQUIB_SANITIZE=ON && cmake --build build-asan -j $(JOBS) && \
	  mkdir -p build-asan/tmp && \
	  TMPDIR=$(CURDIR)/build-asan/tmp TEST_TMPDIR=$(CURDIR)/build-asan/tmp \
	  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j $(STAGE_JOBS))

# pytest's exit status 5 means "no tests collected", which is not a failure here.
$(PY_STAGES): test-python-%: test-engine
	$(call stage,pytest-$(notdir $(word $*,$(PYTHONS))),py=$(word $*,$(PYTHONS)); \
	  $$py -m pip install -q --no-build-isolation $(PY_BUILD) . && \
	  { $$py -m pytest -q tests; s=$$?; [ $$s -eq 0 ] || [ $$s -eq 5 ]; })

test-python: $(PY_STAGES)

# One line per stage from its status and log. For a failing stage, the log without the lines of
# what went well: build progress, tests that passed, pytest's progress dots.
RESULT_LINE := [0-9]+% tests passed.*|[0-9]+ (passed|failed).*in [0-9.]+s
WENT_WELL := ^\[[0-9]+/[0-9]+\] |^ *Start +[0-9]+: |Passed +[0-9.]+ sec$$|^[.sxX]+ *(\[ *[0-9]+%\])?$$
test-summary:
	@failed=0; for name in $(STAGE_NAMES); do \
	  log=$(LOGS)/$$name.log; read status seconds <$(LOGS)/$$name.status || status=1; \
	  result=$$(grep -E -h -o '$(RESULT_LINE)' $$log | tail -1); \
	  if [ "$$status" = 0 ]; then mark=ok; else mark=FAILED; failed=1; fi; \
	  [ -n "$$result" ] || { [ "$$status" = 0 ] && result=built || result="did not finish"; }; \
	  printf '%-7s %-18s %s (%ss)\n' "$$mark" "$$name" "$$result" "$$seconds"; \
	  if [ "$$status" != 0 ]; then grep -v -E '$(WENT_WELL)|^WARNING: Running pip as' $$log | \
	    sed 's/^/    /' | tail -n 200; fi; \
	done; exit $$failed

# Builds fresh databases from the sample data in examples/ and prints what they hold: the
# quickstart, then a database whose schema is written before its first ingest.
demo: install
	rm -rf demo_db demo_db_by_region demo_schema_db
	$(PYTHON) examples/quickstart.py demo_db
	$(PYTHON) examples/stored_schema.py demo_schema_db

# The ingestion benchmark (bench/README.md); ROWS=1000000 times one file size.
bench: install
	$(PYTHON) -m pip install -q -r bench/requirements.txt
	$(PYTHON) bench/ingest.py $(if $(ROWS),--rows $(ROWS))

# The query benchmark (bench/README.md): statements timed against DuckDB, polars and numpy peers.
bench-query: install
	$(PYTHON) -m pip install -q -r bench/requirements.txt
	$(PYTHON) bench/query.py $(if $(ROWS),--rows $(ROWS))

# Every figure the READMEs quote, from one run: ingestion at 1M rows, many distributions, the
# query statements and the store sizes, with the load average between them (bench/run_all.sh).
bench-all: install
	$(PYTHON) -m pip install -q -r bench/requirements.txt
	PYTHON=$(PYTHON) bench/run_all.sh

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
	set -o pipefail; cmake --build build-fuzz -j $(JOBS) | tail -1
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
