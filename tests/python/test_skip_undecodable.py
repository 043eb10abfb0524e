"""errors="skip" on whole-run passes: conversions to mzML and Parquet,
chromatograms and `karvel convert --errors skip` write every decodable
spectrum, name the ones left out, and keep the file consistent."""

from __future__ import annotations

import json
import logging
import re
import sys
from pathlib import Path
from typing import Any

import numpy as np
import pytest

import karvel_cli
import morvane
from morvane._logging import forward, keep_reader_records
from datafolder.run import Fault, RunBuilder, cut_tail
from export_runs import assert_same_columns, expected_columns, leftovers, recorded_bars
from mzml_checks import fileinfo_available, index_problems
from runs import mz_centroid, profile, tof_centroid


def cut_profile_file(path: Path, count: int = 100) -> Path:
    """The run with the last count bytes of its profile file cut off."""
    data = path / "AcqData" / "MSProfile.bin"
    data.write_bytes(data.read_bytes()[:-count])
    return path


def middle_damaged(path: Path) -> Path:
    """Six MS1/MS2 scans; the third's (MS1) profile block is cut short."""
    builder = RunBuilder(stride=284)
    for i in range(6):
        fault = Fault(transform=cut_tail(7)) if i == 2 else None
        if i % 2 == 0:
            builder.add_scan(1.0 + 0.01 * i, profile=profile(4.0e4 + 1e3 * i), profile_fault=fault)
        else:
            builder.add_scan(1.0 + 0.01 * i, ms_level=2, target_mz=400.0 + i, collision_energy=20.0,
                             centroid=tof_centroid(3))
    return builder.build(path).path


def tail_cut(path: Path) -> Path:
    """Eight MS1 profile scans whose profile file lost its last 100 bytes."""
    builder = RunBuilder(stride=284)
    for i in range(8):
        builder.add_scan(1.0 + 0.01 * i, profile=profile(3.0e4 + 1e3 * i))
    return cut_profile_file(builder.build(path).path)


RUNS = {"middle": (middle_damaged, ["scanId=3"]), "tail": (tail_cut, ["scanId=8"])}


@pytest.fixture(scope="module")
def damaged(tmp_path_factory) -> dict[str, Path]:
    folder = tmp_path_factory.mktemp("damaged")
    return {name: build(folder / f"{name}.d") for name, (build, _) in RUNS.items()}


def sound_spectra(run) -> list:
    return list(run.spectra(errors="skip"))


@pytest.mark.parametrize("name", RUNS)
class TestMzml:
    def test_raise_is_the_default(self, damaged, tmp_path, name):
        with morvane.open(damaged[name]) as run, pytest.raises((morvane.FormatError, OSError)):
            run.to_mzml(tmp_path / "out.mzML")
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize("threads", [1, 3])
    def test_skip_writes_the_rest_and_names_the_skipped(self, damaged, tmp_path, name, threads):
        out = tmp_path / "out.mzML"
        with morvane.open(damaged[name]) as run:
            skipped = run.to_mzml(out, errors="skip", threads=threads)
            assert run.skipped == [(s.index, s.reason) for s in skipped]
            sound = sound_spectra(run)
        assert [s.native_id for s in skipped] == RUNS[name][1]
        text = out.read_text()
        run_start = re.search(r"<run [^>]*>\s*(.*?)<spectrumList count=\"(\d+)\"", text, re.S)
        assert run_start is not None, "the skipped list precedes <spectrumList>"
        params = re.findall(r'<userParam name="skipped spectrum" value="([^"]*)"', run_start.group(1))
        assert [value.split(": ", 1)[0] for value in params] == RUNS[name][1]
        assert all(value.split(": ", 1)[1] for value in params)
        assert int(run_start.group(2)) == len(sound)
        assert re.findall(r'<spectrum [^>]*id="([^"]*)"', text) == [s.native_id for s in sound]
        assert index_problems(out) == []
        assert leftovers(tmp_path) == []

    def test_chromatograms_hold_the_written_spectra_only(self, damaged, tmp_path, name):
        out = tmp_path / "out.mzML"
        with morvane.open(damaged[name]) as run:
            run.to_mzml(out, errors="skip")
            ms1_times = [s.rt for s in sound_spectra(run) if s.ms_level == 1]
        pyteomics = pytest.importorskip("pyteomics.mzml")
        with pyteomics.MzML(str(out)) as reader:
            tic = reader.get_by_id("TIC")
        assert np.allclose(tic["time array"], np.array(ms1_times) / 60.0) or \
            np.allclose(tic["time array"], ms1_times)

    @pytest.mark.skipif(not fileinfo_available(), reason="OpenMS FileInfo is not installed")
    def test_openms_loads_it(self, damaged, tmp_path, name):
        import subprocess

        out = tmp_path / "out.mzML"
        with morvane.open(damaged[name]) as run:
            run.to_mzml(out, errors="skip")
        done = subprocess.run(["FileInfo", "-in", str(out)], capture_output=True, text=True, timeout=120)
        assert "error" not in (done.stdout + done.stderr).lower()


@pytest.mark.parametrize("name", RUNS)
class TestParquet:
    def test_skip_writes_the_rest_and_lists_the_skipped(self, damaged, tmp_path, name):
        pq = pytest.importorskip("pyarrow.parquet")
        out = tmp_path / "out.parquet"
        with morvane.open(damaged[name]) as run:
            with pytest.raises((morvane.FormatError, OSError)):
                run.to_parquet(out)
            rows = run.to_parquet(out, errors="skip")
            expected = expected_columns(run, errors="skip")
        table = pq.read_table(out)
        assert rows == table.num_rows
        assert_same_columns({name: table.column(name).to_numpy() for name in table.column_names}, expected)
        skipped = json.loads(pq.read_metadata(out).metadata[b"skipped"])
        assert [entry["native_id"] for entry in skipped] == RUNS[name][1]
        assert all(entry["reason"] and not entry["reason"].startswith("vendor") for entry in skipped)
        assert leftovers(tmp_path) == []

    def test_a_sound_run_lists_nothing(self, tmp_path, name):
        pq = pytest.importorskip("pyarrow.parquet")
        builder = RunBuilder(stride=284)
        builder.add_scan(1.0, profile=profile())
        path = builder.build(tmp_path / "sound.d").path
        with morvane.open(path) as run:
            run.to_parquet(tmp_path / "out.parquet", errors="skip")
            assert run.skipped == []
        assert json.loads(pq.read_metadata(tmp_path / "out.parquet").metadata[b"skipped"]) == []


@pytest.mark.parametrize("name", RUNS)
class TestChromatograms:
    def test_xic_skips_only_with_skip(self, damaged, name):
        with morvane.open(damaged[name]) as run:
            with pytest.raises((morvane.FormatError, OSError)):
                run.xic(500.0, da=50.0, ms_level=None)
            times, values = run.xic(500.0, da=50.0, ms_level=None, errors="skip")
            sound = sound_spectra(run)
        assert times.tolist() == [s.rt for s in sound]
        assert len(values) == len(sound)

    def test_tic_and_bpc_accept_skip(self, damaged, name):
        with morvane.open(damaged[name]) as run:
            for trace in (run.tic, run.bpc):
                times, values = trace(errors="skip")
                assert len(times) == len(values) <= len(run)


def unreported_damaged(path: Path) -> Path:
    """Six MS1 centroid scans of a table that reports no TIC (so the TIC
    decodes them); the third's block is cut short."""
    builder = RunBuilder(stride=196)
    for i in range(6):
        fault = Fault(transform=cut_tail(5)) if i == 2 else None
        builder.add_scan(1.0 + 0.01 * i, centroid=mz_centroid(4 + i), centroid_fault=fault)
    return builder.build(path).path


def decoded_once(path: Path, caplog, call) -> Any:
    """call(run) on the run at path, which must leave out its third spectrum
    having decoded it once: each failing decode leaves one reader record.
    Returns what call returned."""
    keep_reader_records(logging.DEBUG)
    try:
        with morvane.open(path) as run, caplog.at_level(logging.DEBUG, logger="karvel"):
            forward()
            caplog.clear()
            result = call(run)
            skipped = list(run.skipped)
    finally:
        keep_reader_records(logging.WARNING)
    failures = [r.getMessage() for r in caplog.records if "failed to decode" in r.getMessage()]
    assert [index for index, _ in skipped] == [2]
    assert len(failures) == 1 and "block for scanId=3 " in failures[0]
    return result


@pytest.mark.parametrize("threads", [1, 3])
def test_tic_with_skip_decodes_each_spectrum_once(tmp_path, threads, caplog):
    path = unreported_damaged(tmp_path / "run.d")
    with morvane.open(path) as run:
        sound = sound_spectra(run)
    times, tic = decoded_once(path, caplog, lambda run: run.tic(errors="skip", threads=threads))
    assert times.tolist() == [s.rt for s in sound] and tic.tolist() == [s.tic for s in sound]


def unreported_mrm_damaged(path: Path) -> Path:
    """Six MRM scans of one point each; the third's block is cut short."""
    builder = RunBuilder(stride=196)
    for i in range(6):
        fault = Fault(transform=cut_tail(5)) if i == 2 else None
        builder.add_scan(1.0 + 0.01 * i, ms_level=2, mrm_channel_id=1 + i % 2, centroid=mz_centroid(1),
                         centroid_fault=fault)
    return builder.build(path).path


# Each pass over the whole selection with errors="skip", and the run it
# reads: what it returns besides run.skipped does not matter here.
ONE_PASS = {
    "mzml": lambda run, tmp, threads: run.to_mzml(tmp / "a.mzML", errors="skip", threads=threads),
    "parquet": lambda run, tmp, threads: run.to_parquet(tmp / "a.parquet", errors="skip", threads=threads),
    "mzpeak": lambda run, tmp, threads: run.to_mzpeak(tmp / "a.mzpeak", errors="skip", threads=threads),
    "xic": lambda run, tmp, threads: run.xic(500.0, da=1000.0, errors="skip", threads=threads),
    "transitions": lambda run, tmp, threads: run.transitions(errors="skip"),
}


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("output", ONE_PASS)
def test_writers_with_skip_decode_each_spectrum_once(tmp_path, threads, output, caplog):
    if output in ("parquet", "mzpeak", "transitions"):
        pytest.importorskip("pyarrow")
    build = unreported_mrm_damaged if output == "transitions" else unreported_damaged
    decoded_once(build(tmp_path / "run.d"), caplog, lambda run: ONE_PASS[output](run, tmp_path, threads))
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("output", ["mzml", "parquet", "mzpeak"])
def test_a_progress_bar_with_skip_ends_full(tmp_path, monkeypatch, output):
    """The spectra left out count as done: the bar does not stop short."""
    pytest.importorskip("pyarrow")
    tqdm_auto = pytest.importorskip("tqdm.auto")
    bars = recorded_bars(monkeypatch, tqdm_auto)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    path = unreported_damaged(tmp_path / "run.d")
    with morvane.open(path) as run:
        getattr(run, f"to_{output}")(tmp_path / f"a.{output}", errors="skip", progress=True)
        assert run.skipped
        assert [(bar.total, bar.n) for bar in bars] == [(len(run), len(run))]


class TestArguments:
    @pytest.mark.parametrize("call", [
        lambda run, tmp: run.to_mzml(tmp / "a.mzML", errors="ignore"),
        lambda run, tmp: run.to_parquet(tmp / "a.parquet", errors="warn"),
        lambda run, tmp: run.xic(500.0, da=1.0, errors="Skip"),
        lambda run, tmp: run.tic(errors=None),
    ])
    def test_unknown_errors_value(self, damaged, tmp_path, call):
        with morvane.open(damaged["middle"]) as run, pytest.raises(ValueError, match="errors"):
            call(run, tmp_path)


@pytest.mark.parametrize("to, suffix", [("mzml", ".mzML"), ("parquet", ".parquet")])
class TestCommandLine:
    def test_skip_exits_0_with_one_warning_line(self, damaged, tmp_path, capsys, to, suffix):
        if to == "parquet":
            pytest.importorskip("pyarrow")
        paths = [str(damaged[name]) for name in RUNS]
        status = karvel_cli.main(["convert", *paths, "-o", str(tmp_path), "--to", to, "--errors", "skip", "-j", "1"])
        out, err = capsys.readouterr()
        assert status == 0
        warnings = err.splitlines()
        assert len(warnings) == 2
        for line, (name, (_, ids)) in zip(warnings, RUNS.items(), strict=True):
            assert line.startswith(f"karvel: warning: {damaged[name]}: skipped 1 spectrum")
            assert f"first {ids[0]}: " in line
        assert sorted(p.name for p in tmp_path.iterdir()) == sorted(name + suffix for name in RUNS)

    def test_raise_fails_the_run(self, damaged, tmp_path, capsys, to, suffix):
        if to == "parquet":
            pytest.importorskip("pyarrow")
        status = karvel_cli.main(["convert", str(damaged["tail"]), "-o", str(tmp_path), "--to", to])
        assert status == 1
        assert "cannot convert" in capsys.readouterr().err
        assert list(tmp_path.iterdir()) == []

    def test_results_carry_the_skipped(self, damaged, tmp_path, to, suffix):
        if to == "parquet":
            pytest.importorskip("pyarrow")
        results = morvane.convert([damaged["middle"]], tmp_path, to=to, errors="skip", jobs=2)
        (result,) = results
        assert result.ok and [s.native_id for s in result.skipped] == ["scanId=3"]
        assert result.spectra == 5
