# Everyday entry points. Each target does its own setup: system packages,
# CPython and the virtual environment are obtained on first use and cached.
#
#   make demo       build, install into .venv-3.14 and show a sample run
#   make test       C++ unit tests, then the Python tests on 3.14 and 3.15
#   make test-asan  C++ unit tests under AddressSanitizer and UBSan
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

.PHONY: all demo test test-cpp test-python test-asan install bench deps env clean distclean

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

bench: install
	@$(VENV)/bin/python bench/run.py $(ARGS)

clean:
	rm -rf build

distclean: clean
	rm -rf .cache .venv-*
