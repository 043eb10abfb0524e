# Everyday entry points. Each target does its own setup: system packages,
# CPython and the virtual environment are obtained on first use and cached.
#
#   make demo       build, install into .venv-3.14 and show a sample run
#   make test       C++ unit tests, then the Python tests on 3.14 and 3.15
#   make test-asan  C++ unit tests (with LeakSanitizer) and the Python tests
#                   under AddressSanitizer and UBSan
#   make fuzz       each libFuzzer target for FUZZ_SECONDS seconds (default 180)
#   make fuzz-campaign HOURS=N  fuzz every target for N hours in all, on all
#                   cores at low priority, adding what covers more to the kept
#                   corpus and a line per target to fuzz/campaign.tsv
#   make test-malformed  the full malformed-run corpus (make test runs a quick one)
#   make test-interop  INTEROP_RUNS drawn runs from INTEROP_SEED converted to mzML
#                   and loaded by every consumer (make test runs a fixed few);
#                   as many to mzPeak, checked and read back with pyarrow
#   make ci         what CI runs: test, test-interop, test-wheel, test-asan and fuzz
#                   with FUZZ_SECONDS=30
#   make wheel      the repaired (manylinux) wheel of karvel and morvane in dist/
#   make test-wheel build the wheel, install it into a clean 3.14 venv, import both
#   make install    build and install into .venv-3.14
#   make bench      benchmarks against references (ARGS=--quick: small runs)
#   make clean      remove build trees (keeps downloads and environments)

SHELL := bash
.SHELLFLAGS := -euo pipefail -c
# The steps share caches and build trees: run them one after the other.
.NOTPARALLEL:

JOBS ?= 2
export JOBS

VENV := .venv-3.14
SAMPLE := examples/sample.d

.PHONY: all demo test test-cpp test-python test-asan install bench deps env clean distclean \
	fuzz fuzz-campaign test-malformed test-interop ci wheel test-wheel

all: test

deps:
	@scripts/system-deps.sh

env: deps
	@scripts/python-env.sh 3.14 >/dev/null

install: env
	@scripts/install.sh $(VENV)

demo: install
	@if [[ -d $(SAMPLE) ]]; then \
	  echo "== karvel info $(SAMPLE)"; \
	  $(VENV)/bin/karvel info $(SAMPLE); \
	else \
	  echo "== karvel --help ($(SAMPLE) is not there yet)"; \
	  $(VENV)/bin/karvel --help; \
	fi

test: deps env test-cpp test-python

test-cpp: deps env
	@echo "== C++ unit tests"
	@scripts/cpp-tests.sh build/cpp

test-python: deps env
	@scripts/python-tests.sh 3.14
	@scripts/python-tests.sh 3.15 --optional

test-asan: deps env
	@echo "== C++ unit tests with AddressSanitizer and UBSan"
	@ASAN_OPTIONS=$${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1} \
	 UBSAN_OPTIONS=$${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
	 scripts/cpp-tests.sh build/cpp-asan -DKARVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	@scripts/asan-python-tests.sh

FUZZ_SECONDS ?= 180

fuzz: deps env
	@scripts/system-deps.sh fuzz
	@echo "== Fuzzing each target for $(FUZZ_SECONDS) s"
	@FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz.sh

HOURS ?= 1

fuzz-campaign: deps env
	@scripts/system-deps.sh fuzz
	@scripts/fuzz-campaign.sh $(HOURS)

test-malformed: install
	@$(VENV)/bin/python tests/python/malformed_runs.py --size full

INTEROP_RUNS ?= 300
INTEROP_SEED ?= 1000

test-interop: install
	@echo "== $(INTEROP_RUNS) drawn runs to mzML, loaded by every consumer"
	@$(VENV)/bin/python -W ignore tests/python/interop.py --runs $(INTEROP_RUNS) --seed $(INTEROP_SEED)
	@echo "== $(INTEROP_RUNS) more drawn runs to mzPeak, checked and read back with pyarrow"
	@cd tests/python && MZPEAK_SEEDS=$(INTEROP_RUNS) $(CURDIR)/$(VENV)/bin/python -m pytest -q -p no:cacheprovider \
	  test_mzpeak.py -k generated_runs

ci:
	@$(MAKE) --no-print-directory test
	@$(MAKE) --no-print-directory test-interop
	@$(MAKE) --no-print-directory test-wheel
	@$(MAKE) --no-print-directory test-asan
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=30

wheel: env
	@scripts/wheel.sh

test-wheel: wheel
	@scripts/test-wheel.sh

bench: install
	@$(VENV)/bin/python bench/run.py $(ARGS)

clean:
	rm -rf build

distclean: clean
	rm -rf .cache .venv-*
