#!/usr/bin/env bash
# Usage: scripts/install.sh VENV
#
# Builds karvel and installs it into the virtual environment VENV, which must
# already hold the build requirements. The build tree build/<wheel tag> is
# kept, so rebuilds are incremental.
set -euo pipefail

VENV=${1:?usage: install.sh VENV}
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}
source scripts/build-env.sh

mkdir -p build
# One build per interpreter at a time: they share build/<wheel tag>.
tag=$("$VENV/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
exec 9>"build/.install-$tag.lock"
flock 9

echo "== Building and installing karvel into $VENV"
"$VENV/bin/python" -m pip install --no-build-isolation --no-deps --disable-pip-version-check -q .
