"""`karvel convert`, `karvel --version` and morvane.convert with local worker
processes: output names, exit status, failures of single runs, JSON."""

import json
import math
import sys

import numpy as np
import pytest

import karvel_cli
import morvane

from export_runs import damaged_run, leftovers, quadrupole_run, varied_run

HAS_MZML = hasattr(getattr(morvane, "Run", None), "to_mzml")
FORMATS = ["parquet", pytest.param("mzml", marks=pytest.mark.skipif(not HAS_MZML, reason="no mzML writer")), "json",
           "mzpeak"]
SUFFIX = {"parquet": ".parquet", "mzml": ".mzML", "json": ".json", "mzpeak": ".mzpeak"}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Two good runs, one whose scan table is garbage, one with a damaged
    data block and one missing, by name."""
    folder = tmp_path_factory.mktemp("runs")
    garbage = folder / "garbage.d" / "AcqData"
    garbage.mkdir(parents=True)
    (garbage / "MSScan.bin").write_bytes(b"\x01\x01" + bytes(100))
    return {"varied": str(varied_run(folder / "varied.d")), "qqq": str(quadrupole_run(folder / "QQQ.D")),
            "garbage": str(garbage.parent), "damaged": str(damaged_run(folder / "damaged.d")),
            "missing": str(folder / "missing.d")}


def convert(argv, capsys):
    status = karvel_cli.main(["convert", *argv])
    out, err = capsys.readouterr()
    return status, out, err


def outputs(stem, to):
    """The files a run's conversion writes: Parquet adds the chromatograms
    of the MRM channels of the quadrupole run beside its peaks."""
    return sorted([stem + SUFFIX[to]] + (["QQQ.chromatograms.parquet"] if (stem, to) == ("QQQ", "parquet") else []))


def format_args(to):
    return ["--metadata-only"] if to == "json" else ["--to", to]


@pytest.mark.parametrize("to", FORMATS)
@pytest.mark.parametrize("names, failed", [
    (["varied", "qqq"], []),
    (["varied", "garbage", "qqq", "missing"], ["garbage", "missing"]),
    (["missing"], ["missing"]),
])
def test_exit_status_files_and_failure_lines(tmp_path, capsys, runs, to, names, failed):
    out_dir = tmp_path / "out"
    status, out, err = convert([runs[name] for name in names] + ["-o", str(out_dir), "-j", "2", *format_args(to)],
                               capsys)
    assert status == (1 if failed else 0)
    assert err.splitlines() == [line for name in failed for line in err.splitlines()
                                if line.startswith(f"karvel: cannot convert {runs[name]}: ")]
    assert len(err.splitlines()) == len(failed)
    stems = {"varied": "varied", "qqq": "QQQ", "garbage": "garbage", "missing": "missing"}
    written = [name for n in names if n not in failed for name in outputs(stems[n], to)]
    assert sorted(p.name for p in out_dir.iterdir()) == sorted(written)
    assert len(out.splitlines()) == len(names) - len(failed)


@pytest.mark.parametrize("to", [f for f in FORMATS if f != "json"])
def test_a_run_failing_midway_leaves_no_file(tmp_path, capsys, runs, to):
    status, _, err = convert([runs["damaged"], runs["qqq"], "-o", str(tmp_path), *format_args(to)], capsys)
    assert status == 1 and err.startswith(f"karvel: cannot convert {runs['damaged']}: ")
    assert sorted(p.name for p in tmp_path.iterdir()) == outputs("QQQ", to)


@pytest.mark.parametrize("to, argv, options", [
    ("parquet", ["--ms-level", "1"], {"ms_level": [1]}),
    ("parquet", ["--rt", "31:", "--centroid"], {"rt": (31.0, math.inf), "mode": "pick"}),
    pytest.param("mzml", [], {"zlib": True, "intensity_bits": 32},
                 marks=pytest.mark.skipif(not HAS_MZML, reason="no mzML writer")),
    pytest.param("mzml", ["--no-zlib", "--intensity-bits", "64", "--ms-level", "2,1", "--rt", ":33"],
                 {"zlib": False, "intensity_bits": 64, "ms_level": [1, 2], "rt": (-math.inf, 33.0)},
                 marks=pytest.mark.skipif(not HAS_MZML, reason="no mzML writer")),
    pytest.param("mzml", ["--centroid"], {"mode": "pick"},
                 marks=pytest.mark.skipif(not HAS_MZML, reason="no mzML writer")),
    pytest.param("mzml", ["--centroid", "stored"], {"mode": "centroid"},
                 marks=pytest.mark.skipif(not HAS_MZML, reason="no mzML writer")),
])
def test_flags_reach_the_writer(tmp_path, capsys, runs, to, argv, options):
    status, _, _ = convert([runs["varied"], "-o", str(tmp_path / "cli"), "--to", to, *argv], capsys)
    assert status == 0
    direct = tmp_path / ("direct" + SUFFIX[to])
    run = morvane.open(runs["varied"])
    getattr(run, f"to_{to}")(direct, **options)
    assert (tmp_path / "cli" / ("varied" + SUFFIX[to])).read_bytes() == direct.read_bytes()


def test_quiet_prints_only_failures(tmp_path, capsys, runs):
    status, out, err = convert([runs["varied"], runs["missing"], "-o", str(tmp_path), "--to", "parquet", "-q"],
                               capsys)
    assert status == 1 and out == "" and len(err.splitlines()) == 1


def test_metadata_json(tmp_path, capsys, runs):
    status, _, _ = convert([runs["varied"], "-o", str(tmp_path), "--metadata-only", "--ms-level", "2",
                            "--rt", "30:45"], capsys)
    assert status == 0
    document = json.loads((tmp_path / "varied.json").read_text())
    run = morvane.open(runs["varied"])
    assert document["run_info"] == run.info and document["device"] == run.device
    scans = run.scans
    keep = (scans["ms_level"] == 2) & (scans["rt"] >= 30) & (scans["rt"] <= 45)
    assert 0 < keep.sum() < scans.num_rows
    assert [row["index"] for row in document["scans"]] == scans["index"][keep].tolist()
    for name in scans.columns:
        column = [row[name] for row in document["scans"]]
        wanted = scans[name][keep].tolist()
        assert column == [None if isinstance(v, float) and math.isnan(v) else v for v in wanted], name


@pytest.mark.parametrize("argv, message", [
    (["--to", "parquet", "--no-zlib"], "--no-zlib"),
    (["--metadata-only", "--intensity-bits", "64"], "--intensity-bits"),
    (["--rt", "300:120"], "--rt"),
    (["--rt", "abc"], "--rt"),
    (["--ms-level", "1,x"], "--ms-level"),
    (["--ms-level", "0"], "--ms-level"),
    (["-j", "0"], "-j"),
    (["--to", "json"], "--to"),
    ([], "-o"),
])
def test_usage_errors_exit_2(capsys, runs, argv, message):
    output = [] if argv == [] else ["-o", "out"]
    with pytest.raises(SystemExit) as stop:
        karvel_cli.main(["convert", runs["varied"], *output, *argv])
    assert stop.value.code == 2
    assert message in capsys.readouterr().err


def test_two_runs_with_one_output_name_fail_before_writing(tmp_path, capsys, runs):
    copy = tmp_path / "other" / "varied.d"
    copy.parent.mkdir()
    copy.symlink_to(runs["varied"])
    status, out, err = convert([runs["varied"], str(copy), "-o", str(tmp_path / "out"), "--to", "parquet"], capsys)
    assert status == 1 and out == "" and "varied.parquet" in err
    assert not (tmp_path / "out").exists() or list((tmp_path / "out").iterdir()) == []


def test_version(capsys):
    with pytest.raises(SystemExit) as stop:
        karvel_cli.main(["--version"])
    assert stop.value.code == 0
    text = capsys.readouterr().out.strip()
    assert text.startswith("karvel ") and text != "karvel unknown"


@pytest.mark.parametrize("to", FORMATS)
def test_worker_processes_write_what_this_process_writes(tmp_path, runs, to):
    paths = [runs["varied"], runs["qqq"], runs["damaged"], runs["garbage"]]
    options = {} if to == "json" else {"ms_level": [1, 2]}
    here = morvane.convert(paths, tmp_path / "here", to=to, jobs=1, **options)
    there = morvane.convert(paths, tmp_path / "there", to=to, jobs=2, **options)
    assert [r.path for r in there] == paths
    for mine, theirs in zip(here, there):
        assert (mine.error is None) == (theirs.error is None) and mine.spectra == theirs.spectra
        if mine.output is not None:
            assert open(mine.output, "rb").read() == open(theirs.output, "rb").read()
    varied = morvane.open(runs["varied"])
    assert there[0].spectra == len(varied) and there[0].seconds > 0


@pytest.mark.parametrize("to, options, error", [
    ("pdf", {}, ValueError),
    ("parquet", {"zlib": False}, TypeError),
    ("json", {"mode": "centroid"}, TypeError),
])
def test_bad_requests_raise_before_any_work(tmp_path, runs, to, options, error):
    with pytest.raises(error):
        morvane.convert([runs["varied"]], tmp_path / "out", to=to, **options)
    assert not (tmp_path / "out").exists()


def test_without_dask_a_scheduler_address_says_how_to_install_it(tmp_path, capsys, monkeypatch, runs):
    monkeypatch.setitem(sys.modules, "dask.distributed", None)
    status, out, err = convert([runs["varied"], "-o", str(tmp_path), "--scheduler", "tcp://127.0.0.1:9"], capsys)
    assert status == 1 and out == ""
    assert err.strip() == "karvel: converting on a Dask cluster needs dask.distributed: pip install 'karvel[dask]'"
