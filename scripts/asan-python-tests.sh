#!/usr/bin/env bash
# Usage: scripts/asan-python-tests.sh [PYTEST_ARGUMENT...]
#
# Builds the extension modules with AddressSanitizer and UBSan (g++) in
# build/python-asan and installs it into build/python-asan/site, then runs the Python tests of the 3.14 environment
# against that build, with the sanitizer runtimes preloaded into the
# interpreter (which is not built with them). Leak detection is off here:
# CPython itself does not free everything at exit. PYTHONMALLOC=malloc sends
# Python's own allocations through ASan as well.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
JOBS=${JOBS:-2}
BUILD=build/python-asan

VENV=$(scripts/python-env.sh 3.14)
export PATH=$VENV/bin:$PATH
source scripts/build-env.sh
PYTHON=$VENV/bin/python

mkdir -p "$BUILD"
exec 9>"$BUILD/.lock"
flock 9
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKARVEL_SANITIZE=ON \
  -DKARVEL_PYTHON=ON -DKARVEL_TESTS=OFF -DPython_EXECUTABLE="$PYTHON" "${KARVEL_CMAKE_LAUNCHER[@]}" \
  >"$BUILD/.configure.log" ||
  { cat "$BUILD/.configure.log" >&2; exit 1; }
cmake --build "$BUILD" --parallel "$JOBS" --target karvel morvane_native_ext
# Both packages, the command-line module and the stubs, laid out as pip does.
SITE=$BUILD/site
cmake --install "$BUILD" --prefix "$SITE" >/dev/null

runtimes=$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD=$runtimes${LD_PRELOAD:+:$LD_PRELOAD}
export ASAN_OPTIONS=${ASAN_OPTIONS_PYTHON:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export PYTHONMALLOC=malloc
export PYTHONPATH=$REPO/$SITE${PYTHONPATH:+:$PYTHONPATH}

# The tests must load this build, not the one installed in the environment.
for module in karvel morvane._native; do
  loaded=$("$PYTHON" -c "import $module; print($module.__file__)")
  [[ $loaded == "$REPO/$SITE/"* ]] || { echo "asan: the tests would load $loaded" >&2; exit 1; }
done

echo "== Python tests with AddressSanitizer and UBSan (extension from $SITE)"
"$PYTHON" -m pytest -p no:cacheprovider tests/python "$@"
