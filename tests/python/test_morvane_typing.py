"""morvane is typed: its stub of _native agrees with the extension, and code
that uses the package type-checks against the installed package."""

import importlib.util
import subprocess
import sys
import textwrap

import pytest

import morvane

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def run_mypy(args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=300)


def test_stubtest_agrees(tmp_path):
    if "-packages" not in morvane.__file__:
        pytest.skip("morvane is loaded from a build tree, not from an installation")
    result = run_mypy(["mypy.stubtest", "morvane"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_user_code_type_checks(tmp_path):
    (tmp_path / "use.py").write_text(textwrap.dedent("""
        import numpy as np
        import numpy.typing as npt
        import morvane

        def strongest(path: str) -> float:
            with morvane.open(path) as run:
                rt: npt.NDArray[np.float64]
                rt, intensity = run.xic(445.12, ppm=10)
                best = max(run.spectra(ms_level=1), key=lambda s: s.tic)
                mz: npt.NDArray[np.float64] = best.mz
                return float(intensity.max()) + float(mz[0]) + float(run.scans["rt"][0])

        def wrong(run: morvane.Run) -> str:
            return run[0].mz
    """))
    result = run_mypy(["mypy", "--strict", "use.py"], tmp_path)
    assert "use.py:15: error: Incompatible return value" in result.stdout
    assert result.stdout.count("error:") == 1, result.stdout
