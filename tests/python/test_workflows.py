"""The workflow wrappers of karvel convert in examples/, run by the engines
themselves: the CWL tool by cwltool (without a container) and the Snakemake
workflow by snakemake, on generated runs and on a run whose MSProfile.bin is
cut short. Outputs, exit statuses and logs are what a workflow author would
rely on; the files hold morvane's arrays."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import morvane
from export_runs import quadrupole_run, varied_run
from interop import Arrays, array_problem, load_pyteomics

REPO = Path(__file__).resolve().parents[2]
CWL_TOOL = REPO / "examples" / "cwl" / "karvel-convert.cwl"
SNAKEFILE = REPO / "examples" / "snakemake" / "Snakefile"
BIN = Path(sys.executable).parent
GOOD = ("alpha", "beta", "qqq")
DAMAGED = "damaged"


def _tool(name: str) -> Path | None:
    found = BIN / name
    return found if found.exists() else (Path(p) if (p := shutil.which(name)) else None)


def _env() -> dict[str, str]:
    """The environment a workflow engine runs karvel in: this interpreter's
    scripts first on PATH."""
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([str(BIN), env.get("PATH", "")])
    return env


needs_cwltool = pytest.mark.skipif(_tool("cwltool") is None, reason="cwltool is not installed")
needs_snakemake = pytest.mark.skipif(_tool("snakemake") is None, reason="snakemake is not installed")


@pytest.fixture(scope="module")
def runs(tmp_path_factory) -> Path:
    """Three good runs and one whose MSProfile.bin ends halfway."""
    root = tmp_path_factory.mktemp("raw")
    varied_run(root / "alpha.d", cycles=3)
    varied_run(root / "beta.d", cycles=2)
    quadrupole_run(root / "qqq.d")
    varied_run(root / f"{DAMAGED}.d", cycles=2)
    profile = root / f"{DAMAGED}.d" / "AcqData" / "MSProfile.bin"
    profile.write_bytes(profile.read_bytes()[: profile.stat().st_size // 2])
    return root


def assert_holds_the_run(mzml: Path, run_path: Path, *, errors: str = "raise", intensity_bits: int = 32,
                         **selection) -> None:
    """The file's spectra are morvane's (those the selection keeps), bit for
    bit, with intensities of that width."""
    loaded = load_pyteomics(mzml).spectra
    assert {np.asarray(s.intensity).dtype.itemsize * 8 for s in loaded} <= {intensity_bits}
    with morvane.open(run_path) as run:
        expected = [Arrays(s.native_id, np.array(s.mz), np.array(s.intensity))
                    for s in run.spectra(errors=errors, **selection)]
    assert [s.native_id for s in loaded] == [e.native_id for e in expected]
    for got, want in zip(loaded, expected):
        assert array_problem(got.mz, want.mz, np.float64, None) is None, want.native_id
        dtype = np.float64 if intensity_bits == 64 else np.float32
        assert array_problem(got.intensity, want.intensity, dtype, None) is None, want.native_id


# -- CWL -------------------------------------------------------------------------------------

def cwltool(tmp_path: Path, job: dict) -> tuple[subprocess.CompletedProcess, Path]:
    out = tmp_path / "out"
    job_file = tmp_path / "job.json"
    job_file.write_text(json.dumps(job))
    done = subprocess.run([str(_tool("cwltool")), "--no-container", "--outdir", str(out),
                           str(CWL_TOOL), str(job_file)],
                          capture_output=True, text=True, env=_env(), cwd=tmp_path, timeout=600)
    return done, out


def directories(runs: Path, names) -> list[dict]:
    return [{"class": "Directory", "path": str(runs / f"{name}.d")} for name in names]


@needs_cwltool
def test_cwl_tool_converts_each_run_with_its_options(runs, tmp_path):
    done, out = cwltool(tmp_path, {"runs": directories(runs, GOOD), "centroid": "stored", "no_zlib": True,
                                   "intensity_bits": 64})
    assert done.returncode == 0, done.stderr[-2000:]
    assert "Final process status is success" in done.stderr
    outputs = json.loads(done.stdout)
    assert sorted(f["basename"] for f in outputs["converted"]) == [f"{name}.mzML" for name in sorted(GOOD)]
    written = Path(outputs["log"]["path"]).read_text()
    assert all(f"{name}.mzML" in written for name in GOOD)
    assert outputs["errors_log"]["size"] == 0
    for name in GOOD:
        mzml = out / f"{name}.mzML"
        assert b'name="no compression"' in mzml.read_bytes()
        assert_holds_the_run(mzml, runs / f"{name}.d", intensity_bits=64, mode="centroid")


@needs_cwltool
def test_cwl_job_fails_on_a_damaged_run_and_keeps_the_others(runs, tmp_path):
    done, out = cwltool(tmp_path, {"runs": directories(runs, ["alpha", DAMAGED])})
    assert done.returncode != 0
    assert "completed permanentFail" in done.stderr
    assert (out / "alpha.mzML").exists() and not (out / f"{DAMAGED}.mzML").exists()
    message = (out / "karvel-convert.err").read_text()
    assert "cannot convert" in message and f"{DAMAGED}.d" in message and "MSProfile.bin" in message
    assert_holds_the_run(out / "alpha.mzML", runs / "alpha.d")


@needs_cwltool
def test_cwl_job_skips_what_a_damaged_run_cannot_decode(runs, tmp_path):
    done, out = cwltool(tmp_path, {"runs": directories(runs, [DAMAGED]), "errors": "skip"})
    assert done.returncode == 0, done.stderr[-2000:]
    assert_holds_the_run(out / f"{DAMAGED}.mzML", runs / f"{DAMAGED}.d", errors="skip")


# -- Snakemake -------------------------------------------------------------------------------

def snakemake(tmp_path: Path, runs: Path, **config: str) -> subprocess.CompletedProcess:
    settings = [f"runs={runs}", f"out={tmp_path / 'mzml'}", *(f"{k}={v}" for k, v in config.items())]
    return subprocess.run([str(_tool("snakemake")), "--snakefile", str(SNAKEFILE), "--directory", str(tmp_path),
                           "--cores", "2", "--keep-going", "--config", *settings],
                          capture_output=True, text=True, env=_env(), timeout=600)


@needs_snakemake
def test_snakemake_converts_every_run_and_fails_the_damaged_job_alone(runs, tmp_path):
    done = snakemake(tmp_path, runs)
    assert done.returncode != 0
    assert "Error in rule convert" in done.stderr
    assert f"wildcards: run={DAMAGED}" in done.stderr
    assert done.stderr.count("Error in rule convert") == 1
    assert sorted(p.name for p in (tmp_path / "mzml").iterdir()) == [f"{name}.mzML" for name in sorted(GOOD)]
    for name in GOOD:
        assert (tmp_path / "logs" / f"{name}.log").read_text() == ""
        assert_holds_the_run(tmp_path / "mzml" / f"{name}.mzML", runs / f"{name}.d")
    log = (tmp_path / "logs" / f"{DAMAGED}.log").read_text()
    assert log.startswith("karvel: cannot convert") and "MSProfile.bin" in log


@needs_snakemake
def test_snakemake_passes_options_to_every_job(tmp_path, runs):
    good = tmp_path / "raw"
    good.mkdir()
    for name in GOOD:
        shutil.copytree(runs / f"{name}.d", good / f"{name}.d")
    done = snakemake(tmp_path, good, options="--ms-level 2 --intensity-bits 64")
    assert done.returncode == 0, done.stderr[-2000:]
    for name in GOOD:
        assert_holds_the_run(tmp_path / "mzml" / f"{name}.mzML", runs / f"{name}.d", intensity_bits=64,
                             ms_level=2)


@needs_snakemake
def test_snakemake_with_errors_skip_converts_the_damaged_run(runs, tmp_path):
    done = snakemake(tmp_path, runs, errors="skip")
    assert done.returncode == 0, done.stderr[-2000:]
    assert_holds_the_run(tmp_path / "mzml" / f"{DAMAGED}.mzML", runs / f"{DAMAGED}.d", errors="skip")
