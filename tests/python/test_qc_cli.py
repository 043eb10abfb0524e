"""`karvel qc`: the files it writes, its exit codes and its messages."""

from __future__ import annotations

import json
import os
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import pytest

pq = pytest.importorskip("pyarrow.parquet")

import karvel_cli  # noqa: E402
import morvane.qc as qc  # noqa: E402
from morvane.qc import _cli  # noqa: E402

from qc_runs import drifting_run, failing_run, tic_run, two_polarity_run  # noqa: E402


def run_qc(args, capsys):
    status = karvel_cli.main(["qc", *map(str, args)])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def no_report(monkeypatch):
    """The report extra absent, whatever this environment has."""
    monkeypatch.setattr(_cli, "report_writers", lambda: None)


def leftovers(folder: Path) -> list[str]:
    return [p.name for p in folder.iterdir() if p.name.startswith(".")]


def test_one_run_writes_its_mzqc_and_scan_table(tmp_path, capsys, no_report):
    run = tic_run([1, 2, 3]).build(tmp_path / "RUN1.d")
    out_dir = tmp_path / "out" / "nested"
    status, out, err = run_qc([run.path, "-o", out_dir], capsys)
    assert status == 0
    assert sorted(p.name for p in out_dir.iterdir()) == ["RUN1.mzQC", "RUN1_ms_info.parquet"]
    document = json.loads((out_dir / "RUN1.mzQC").read_text())
    assert document["mzQC"]["runQualities"][0]["metadata"]["label"] == "RUN1"
    table = pq.read_table(out_dir / "RUN1_ms_info.parquet")
    assert table.equals(qc.metrics(run.path).scans)
    assert out.splitlines() == [f"{out_dir / 'RUN1.mzQC'}  4 scans, 3 MS1"]
    # Without the report extra: one line saying how to get the reports.
    assert err.splitlines() == [_cli.REPORT_HINT]
    assert "pip install 'karvel[report]'" in err


def test_batch_writes_every_run_and_the_batch(tmp_path, capsys, no_report):
    paths = [tic_run([1, 2]).build(tmp_path / "a.d").path, two_polarity_run().build(tmp_path / "b.d").path,
             drifting_run().build(tmp_path / "c.d").path]
    out_dir = tmp_path / "out"
    status, out, _ = run_qc([*paths, "-o", out_dir, "--quiet"], capsys)
    assert status == 0 and out == ""
    names = sorted(p.name for p in out_dir.iterdir())
    assert names == ["a.mzQC", "a_ms_info.parquet", "b.mzQC", "b_ms_info.parquet", "batch.mzQC", "c.mzQC",
                     "c_ms_info.parquet"]
    batch = json.loads((out_dir / "batch.mzQC").read_text())["mzQC"]
    assert [q["metadata"]["inputFiles"][0]["name"] for q in batch["runQualities"]] == \
        ["a.d", "b.d", "b.d", "b.d", "c.d"]


def test_a_failing_run_fails_alone(tmp_path, capsys, no_report):
    good = tic_run([1, 2]).build(tmp_path / "good.d").path
    missing = tmp_path / "missing.d"
    not_a_run = tmp_path / "empty.d"
    not_a_run.mkdir()
    out_dir = tmp_path / "out"
    status, out, err = run_qc([good, missing, not_a_run, "-o", out_dir], capsys)
    assert status == 1
    assert (out_dir / "good.mzQC").is_file()
    assert (out_dir / "batch.mzQC").is_file()
    failures = [line for line in err.splitlines() if line != _cli.REPORT_HINT]
    assert len(failures) == 2
    assert str(missing) in failures[0] and str(not_a_run) in failures[1]
    assert leftovers(out_dir) == []


def test_a_run_with_a_damaged_block_still_succeeds(tmp_path, capsys, no_report):
    run = failing_run().build(tmp_path / "damaged.d")
    status, _, _ = run_qc([run.path, "-o", tmp_path / "out", "-q"], capsys)
    assert status == 0
    table = pq.read_table(tmp_path / "out" / "damaged_ms_info.parquet")
    assert table.column("decoded").to_pylist() == [True, False, True]


def test_runs_of_the_same_name_clash(tmp_path, capsys, no_report):
    first = tic_run([1]).build(tmp_path / "x" / "RUN.d").path
    second = tic_run([1, 2]).build(tmp_path / "y" / "RUN.d").path
    status, _, err = run_qc([first, second, "-o", tmp_path / "out", "-q"], capsys)
    assert status == 1
    assert "also named RUN" in err
    # The first one's files stay.
    assert json.loads((tmp_path / "out" / "RUN.mzQC").read_text())["mzQC"]["runQualities"][0][
        "qualityMetrics"][0]["value"] == 1


@pytest.mark.parametrize("args", [[], ["run.d"], ["-o", "out"], ["run.d", "-o", "out", "--threads", "0"],
                                  ["run.d", "-o", "out", "--bogus"]])
def test_usage_errors_exit_with_2(tmp_path, capsys, args, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit_info:
        karvel_cli.main(["qc", *args])
    assert exit_info.value.code == 2
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


def test_outputs_replace_older_ones_and_keep_the_umask(tmp_path, capsys, no_report):
    run = tic_run([1, 2]).build(tmp_path / "r.d")
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    (out_dir / "r.mzQC").write_text("old")
    old_umask = os.umask(0o027)
    try:
        status, _, _ = run_qc([run.path, "-o", out_dir, "-q"], capsys)
    finally:
        os.umask(old_umask)
    assert status == 0
    assert json.loads((out_dir / "r.mzQC").read_text())["mzQC"]["version"] == "1.0.0"
    for name in ("r.mzQC", "r_ms_info.parquet"):
        assert stat.S_IMODE((out_dir / name).stat().st_mode) == 0o640
    assert leftovers(out_dir) == []


def test_a_failing_write_leaves_no_temporary(tmp_path, capsys, monkeypatch, no_report):
    run = tic_run([1, 2]).build(tmp_path / "r.d")
    out_dir = tmp_path / "out"

    def broken(table, path):
        Path(path).write_bytes(b"partial")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr("morvane.qc._ms_info.write_ms_info", broken)
    status, _, err = run_qc([run.path, "-o", out_dir, "-q"], capsys)
    assert status == 1
    assert "No space left on device" in err
    assert not (out_dir / "r_ms_info.parquet").exists()
    assert leftovers(out_dir) == []


def test_reports_are_written_when_the_extra_is_there(tmp_path, capsys, monkeypatch):
    calls = []

    def run_report(m, path):
        calls.append(("run", m.run_name))
        Path(path).write_text(f"<html>{m.run_name}</html>")

    def batch_report(ms, path):
        calls.append(("batch", [m.run_name for m in ms]))
        Path(path).write_text("<html>batch</html>")

    monkeypatch.setattr(_cli, "report_writers", lambda: (run_report, batch_report))
    paths = [tic_run([1]).build(tmp_path / "a.d").path, tic_run([2]).build(tmp_path / "b.d").path]
    status, _, err = run_qc([*paths, "-o", tmp_path / "out", "-q"], capsys)
    assert status == 0 and err == ""
    assert calls == [("run", "a"), ("run", "b"), ("batch", ["a", "b"])]
    assert (tmp_path / "out" / "a.html").read_text() == "<html>a</html>"
    assert (tmp_path / "out" / "report.html").read_text() == "<html>batch</html>"
    # --no-report writes none and says nothing about the extra.
    calls.clear()
    status, _, err = run_qc([paths[0], "-o", tmp_path / "out2", "--no-report"], capsys)
    assert status == 0 and calls == [] and err == ""
    assert not (tmp_path / "out2" / "a.html").exists()


def test_the_installed_command(tmp_path):
    script = shutil.which("karvel", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("karvel is not installed beside this interpreter")
    run = tic_run([1, 2]).build(tmp_path / "r.d")
    good = subprocess.run([script, "qc", str(run.path), "-o", str(tmp_path / "out"), "--no-report"],
                          capture_output=True, text=True, timeout=120)
    assert good.returncode == 0, good.stderr
    assert (tmp_path / "out" / "r.mzQC").is_file()
    usage = subprocess.run([script, "qc", str(run.path)], capture_output=True, text=True, timeout=60)
    assert usage.returncode == 2


def test_a_failed_run_does_not_take_its_name(tmp_path, capsys, no_report):
    missing = tmp_path / "x" / "RUN.d"
    good = tic_run([1]).build(tmp_path / "y" / "RUN.d").path
    status, _, err = run_qc([missing, good, "-o", tmp_path / "out", "-q"], capsys)
    assert status == 1
    assert "also named" not in err
    assert (tmp_path / "out" / "RUN.mzQC").is_file()


def test_without_pyarrow_one_line_says_what_to_install(tmp_path, capsys, monkeypatch, no_report):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    run = tic_run([1]).build(tmp_path / "r.d")
    status, out, err = run_qc([run.path, "-o", tmp_path / "out"], capsys)
    assert status == 1 and out == ""
    assert err.splitlines() == ["karvel: karvel qc needs pyarrow: pip install 'karvel[qc]'"]
