#!/usr/bin/env bash
# Usage: scripts/cpp-tests.sh BUILD_DIR [CMAKE_OPTION...]
#
# Configures BUILD_DIR with the C++ unit tests enabled (and the Python module
# disabled), builds it and runs the tests with ctest. cmake and ninja come from
# the 3.14 virtual environment. JOBS (default 2) limits the parallelism.
set -euo pipefail

BUILD_DIR=${1:?usage: cpp-tests.sh BUILD_DIR [CMAKE_OPTION...]}
shift
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-2}
cd "$REPO"

VENV=$(scripts/python-env.sh 3.14)
export PATH=$VENV/bin:$PATH
source scripts/build-env.sh

mkdir -p "$BUILD_DIR"
# One build per tree at a time.
exec 9>"$BUILD_DIR/.lock"
flock 9

cmake -S . -B "$BUILD_DIR" -G Ninja -DKARVEL_PYTHON=OFF -DKARVEL_TESTS=ON "${KARVEL_CMAKE_LAUNCHER[@]}" "$@" >"$BUILD_DIR/.configure.log" ||
  { cat "$BUILD_DIR/.configure.log" >&2; exit 1; }
cmake --build "$BUILD_DIR" --parallel "$JOBS"
ctest --test-dir "$BUILD_DIR" --output-on-failure --parallel "$JOBS"
