#!/usr/bin/env bash
# Usage: scripts/python-tests.sh VERSION [--optional]
#
# Builds and installs karvel into the CPython VERSION virtual environment and
# runs the Python tests there. With --optional, a VERSION that cannot be
# obtained on this machine is reported in one line and skipped.
set -euo pipefail

VERSION=${1:?usage: python-tests.sh VERSION [--optional]}
OPTIONAL=${2:-}
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"

# The development tools too: some tests check the type stub with mypy.
status=0
VENV=$(scripts/python-env.sh "$VERSION" requirements-dev.txt) || status=$?
if ((status == 2)); then
  # python-env.sh printed the reason instead of a path.
  if [[ $OPTIONAL == --optional ]]; then
    echo "CPython $VERSION is not obtainable ($VENV): skipping the Python tests on $VERSION."
    exit 0
  fi
  echo "CPython $VERSION is not obtainable: $VENV" >&2
fi
((status == 0)) || exit "$status"

scripts/install.sh "$VENV"

echo "== Python tests on CPython $VERSION"
status=0
"$VENV/bin/python" -m pytest tests/python || status=$?
if ((status == 5)); then
  echo "No Python tests collected yet on CPython $VERSION."
  exit 0
fi
exit "$status"
