"""The `karvel` command line: the info summary and its failures."""

import os
import shutil
import subprocess
import sys
from collections import Counter

import pytest

import karvel_cli
from datafolder.run import RunBuilder
from datafolder.sample import build_sample

from runs import build_small_run


def run_info(path, capsys):
    status = karvel_cli.main(["info", str(path)])
    out, err = capsys.readouterr()
    return status, out, err


def field(out, label):
    for line in out.splitlines()[1:]:
        name, _, value = line.strip().partition("  ")
        if name == label:
            return value.strip()
    raise AssertionError(f"no {label!r} line in {out!r}")


def test_info_of_the_sample(tmp_path, capsys):
    sample = build_sample(tmp_path / "sample.d")
    status, out, err = run_info(sample.path, capsys)
    assert status == 0 and err == ""
    assert out.splitlines()[0] == "sample.d"
    assert field(out, "scans") == str(len(sample.spectra))
    assert field(out, "layout") == "MSScan.bin stride 284 bytes, header 92 bytes"
    levels = Counter(s.ms_level for s in sample.spectra)
    assert field(out, "MS levels") == ", ".join(f"MS{k}: {levels[k]}" for k in sorted(levels))
    times = [s.retention_time_sec for s in sample.spectra]
    assert field(out, "retention time").startswith(f"{min(times) / 60:.3f} to {max(times) / 60:.3f} min")
    assert field(out, "device") == "QTOF, model G6530B"
    assert field(out, "instrument") == " ".join(sample.instrument)
    assert field(out, "analyzer") == "tofms"
    sources = Counter(s.calibration_source for s in sample.spectra)
    assert field(out, "calibrations") == ", ".join(f"{k}: {sources[k]}" for k in sorted(sources))
    ms1 = [s for s in sample.spectra if s.ms_level == 1]
    top = max(ms1, key=lambda s: s.total_ion_current)
    assert field(out, "TIC maximum") == (f"{top.total_ion_current:.6g} at {top.retention_time_sec / 60:.3f} min "
                                         f"({top.native_id}, index {top.index})")
    mz, intensity = top.base_peak
    assert field(out, "base peak") == f"m/z {mz:.4f}, intensity {intensity:.6g} (most intense MS1 scan)"


def test_info_of_a_bare_quadrupole_run(tmp_path, capsys):
    builder = RunBuilder(186, device=None, acquired_time=None)
    builder.add_scan(1.0, ms_level=2)
    builder.add_scan(1.1, ms_level=2)
    status, out, _ = run_info(builder.build(tmp_path / "qqq.d").path, capsys)
    assert status == 0
    assert field(out, "device").startswith("unknown")
    assert field(out, "calibrations") == "none: 2"
    assert field(out, "TIC maximum") == "none (no MS1 scans)"
    assert field(out, "base peak") == "none (no MS1 scans)"
    assert "acquired" not in out


@pytest.mark.parametrize("make", ["missing", "no_acqdata", "bad_table", "null_byte"])
def test_bad_paths_give_one_line_and_status_1(tmp_path, capsys, make):
    path = tmp_path / "run.d"
    if make == "no_acqdata":
        path.mkdir()
    elif make == "bad_table":
        (path / "AcqData").mkdir(parents=True)
        (path / "AcqData" / "MSScan.bin").write_bytes(b"\x01\x01" + bytes(100))
    target = str(path) + ("\0x" if make == "null_byte" else "")
    status, out, err = run_info(target, capsys)
    assert status == 1 and out == ""
    assert len(err.splitlines()) == 1 and err.startswith("karvel: cannot read ")
    assert "Traceback" not in err


def test_usage_errors(capsys):
    for argv in ([], ["info"], ["frobnicate", "x"]):
        with pytest.raises(SystemExit) as exit_info:
            karvel_cli.main(argv)
        assert exit_info.value.code == 2
    capsys.readouterr()


def test_console_script(tmp_path):
    script = shutil.which("karvel", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the karvel console script is not installed beside this interpreter")
    run = build_small_run(tmp_path)
    good = subprocess.run([script, "info", str(run.path)], capture_output=True, text=True, timeout=60)
    assert good.returncode == 0 and good.stdout.startswith("run.d\n")
    bad = subprocess.run([script, "info", str(tmp_path / "none.d")], capture_output=True, text=True, timeout=60)
    assert bad.returncode == 1 and bad.stdout == ""
    assert bad.stderr.strip() == f"karvel: cannot read {tmp_path / 'none.d'}: No such file or directory"
