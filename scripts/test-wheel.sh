#!/usr/bin/env bash
# Usage: scripts/test-wheel.sh
#
# Installs the wheel from dist/ into a new, empty CPython 3.14 virtual
# environment (its dependencies come from the package index) and, from
# outside the source tree, imports both modules and reads a synthetic run
# with each. Also checks that the extensions need no shared library beyond
# the ones every Linux system has (the manylinux policy's base set).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"

wheel=$(compgen -G "dist/karvel-*.whl" | head -n 1 || true)
[[ -n $wheel ]] || { echo "no wheel in dist/: run make wheel first" >&2; exit 1; }
DEV_VENV=$(scripts/python-env.sh 3.14)
python=$("$DEV_VENV/bin/python" -c 'import sys; print(sys._base_executable)')

venv=build/wheel-venv
rm -rf "$venv"
"$python" -m venv --without-pip "$venv"
base=$("$python" -c 'import sys; print(sys.base_prefix)')
pip_wheel=$(compgen -G "$base/share/python-wheels/pip-*.whl" | head -n 1 || true)
if [[ -n $pip_wheel ]]; then
  "$venv/bin/python" "$pip_wheel/pip" install -q --no-index --disable-pip-version-check "$pip_wheel"
else
  "$venv/bin/python" -m ensurepip --default-pip >/dev/null
fi
echo "== Installing $wheel into a clean virtual environment"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel"

site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
echo "== Shared libraries of the installed extensions"
missing=0
for so in "$site"/karvel*.so "$site"/morvane/_native*.so; do
  # Everything must resolve, and only to the C and C++ runtimes of the
  # system, to expat and zlib (which the manylinux policy counts as part of
  # every system: CPython's own pyexpat and zlib modules need them) or to
  # libraries inside the wheel.
  while read -r line; do
    case $line in
      *"not found"*) echo "  $so: $line"; missing=1 ;;
      *"=> /"*)
        lib=${line%% =>*}
        case $lib in
          libc.so.*|libm.so.*|libstdc++.so.*|libgcc_s.so.*|libpthread.so.*|libdl.so.*|ld-linux*) ;;
          libexpat.so.1|libz.so.1) ;;
          *) [[ $line == *"$site"* ]] || { echo "  $so: $line (outside the wheel)"; missing=1; } ;;
        esac ;;
    esac
  done < <(env -u LD_LIBRARY_PATH ldd "$so")
done
((missing == 0)) || exit 1

echo "== Importing both modules from outside the source tree"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
PYTHONPATH=$REPO/tests "$REPO/$venv/bin/python" - "$work" <<'PY'
import sys
from pathlib import Path

from datafolder.sample import build_sample

sys.path.remove(next(p for p in sys.path if p.endswith("tests")))
import karvel
import morvane

assert "site-packages" in karvel.__file__ and "site-packages" in morvane.__file__
run_path = build_sample(Path(sys.argv[1]) / "sample.d").path
reader = karvel.RawReader(str(run_path))
with morvane.open(run_path) as run:
    assert len(run) == reader.scan_count
    assert run[3].mz.tolist() == reader.read_spectrum(3).mz
    assert sum(len(s) for s in run.spectra(threads=2)) == sum(run.scans.points)
print(f"karvel and morvane from the wheel read {len(run)} spectra")
PY
