"""`karvel convert` and `karvel info` as a pipeline step: exit codes,
messages naming the run or the output, empty selections, --skip-existing,
metadata with non-finite numbers, info from the scan table alone, the
reader's warnings, a closed standard output, stale temporary files."""

from __future__ import annotations

import json
import logging
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import karvel_cli
import morvane
from datafolder.run import RunBuilder
from export_runs import leftovers
from runs import profile, tof_centroid

SUFFIX = {"mzml": ".mzML", "parquet": ".parquet", "json": ".json"}
FORMAT_ARGS = {"mzml": ["--to", "mzml"], "parquet": ["--to", "parquet"], "json": ["--metadata-only"]}


def two_level_run(path: Path, *, tic: float | None = None) -> Path:
    """MS1 profiles and MS2 centroids from 60 s to 63 s."""
    builder = RunBuilder(stride=284)
    for i in range(4):
        if i % 2 == 0:
            builder.add_scan(1.0 + 0.01 * i, profile=profile(4.0e4 + 1e3 * i), tic=tic)
        else:
            builder.add_scan(1.0 + 0.01 * i, ms_level=2, target_mz=400.0, collision_energy=20.0,
                             centroid=tof_centroid(3))
    return builder.build(path).path


@pytest.fixture(scope="module")
def run_path(tmp_path_factory) -> Path:
    return two_level_run(tmp_path_factory.mktemp("runs") / "two.d")


def convert(argv, capsys):
    status = karvel_cli.main(["convert", *argv])
    out, err = capsys.readouterr()
    return status, out, err


def needs(to: str) -> None:
    if to == "parquet":
        pytest.importorskip("pyarrow")


@pytest.mark.parametrize("to", ["mzml", "parquet", "json"])
class TestEmptySelection:
    @pytest.mark.parametrize("argv, asked", [
        (["--rt", "120:180"], "retention time 120 to 180 s"),
        (["--ms-level", "3"], "MS level 3"),
        (["--rt", "0:10", "--ms-level", "2"], "retention time 0 to 10 s and MS level 2"),
    ])
    def test_fails_with_what_the_run_holds(self, run_path, tmp_path, capsys, to, argv, asked):
        needs(to)
        status, out, err = convert([str(run_path), "-o", str(tmp_path), *FORMAT_ARGS[to], *argv], capsys)
        assert status == 1 and out == ""
        (line,) = err.splitlines()
        assert line.startswith(f"karvel: cannot convert {run_path}: no spectra selected by {asked}: ")
        assert "60.00 to 61.80 s (1.000 to 1.030 min)" in line and "MS level 1, 2" in line
        assert list(tmp_path.iterdir()) == []

    def test_a_selection_that_keeps_something_succeeds(self, run_path, tmp_path, capsys, to):
        needs(to)
        status, _, err = convert([str(run_path), "-o", str(tmp_path), *FORMAT_ARGS[to], "--rt", "60:61"], capsys)
        assert status == 0 and err == ""


@pytest.mark.parametrize("to", ["mzml", "parquet", "json"])
class TestOutputFaults:
    def test_one_wording_naming_the_output(self, run_path, tmp_path, capsys, to):
        needs(to)
        target = tmp_path / ("two" + SUFFIX[to])
        target.mkdir()  # the output name is taken by a folder
        status, _, err = convert([str(run_path), "-o", str(tmp_path), *FORMAT_ARGS[to]], capsys)
        assert status == 1
        assert err.strip() == f"karvel: cannot convert {run_path}: Is a directory: {target}"
        assert leftovers(tmp_path) == []

    def test_the_api_sets_the_filename(self, run_path, tmp_path, to):
        if to == "json":
            pytest.skip("JSON is written by morvane.convert only")
        needs(to)
        target = tmp_path / ("two" + SUFFIX[to])
        target.mkdir()
        with morvane.open(run_path) as run, pytest.raises(OSError) as raised:
            getattr(run, f"to_{to}")(target)
        assert raised.value.filename == str(target)
        assert ".part" not in str(raised.value)


def test_a_missing_run_and_an_unwritable_output_folder(run_path, tmp_path, capsys):
    missing = tmp_path / "missing.d"
    status, _, err = convert([str(missing), "-o", str(tmp_path / "out")], capsys)
    assert (status, err.strip()) == (1, f"karvel: cannot convert {missing}: No such file or directory")
    blocker = tmp_path / "file"
    blocker.write_text("")
    status, _, err = convert([str(run_path), "-o", str(blocker)], capsys)
    assert status == 1 and str(blocker) in err and "Traceback" not in err


@pytest.mark.parametrize("to", ["mzml", "parquet", "json"])
class TestSkipExisting:
    def test_complete_outputs_are_kept(self, run_path, tmp_path, capsys, to):
        needs(to)
        args = [str(run_path), "-o", str(tmp_path), *FORMAT_ARGS[to], "--skip-existing"]
        assert convert(args, capsys)[0] == 0
        target = tmp_path / ("two" + SUFFIX[to])
        before = target.stat().st_mtime_ns
        status, out, _ = convert(args, capsys)
        assert status == 0 and out.strip() == f"{target}  already complete, kept"
        assert target.stat().st_mtime_ns == before

    @pytest.mark.parametrize("damage", ["truncated", "flipped", "empty"])
    def test_incomplete_outputs_are_converted_again(self, run_path, tmp_path, capsys, to, damage):
        needs(to)
        args = [str(run_path), "-o", str(tmp_path), *FORMAT_ARGS[to]]
        assert convert(args, capsys)[0] == 0
        target = tmp_path / ("two" + SUFFIX[to])
        good = target.read_bytes()
        if damage == "truncated":
            target.write_bytes(good[: len(good) // 2])
        elif damage == "flipped":
            # A byte in the middle of the header (mzML: covered by the checksum),
            # or the tail (Parquet's footer, JSON's closing brace).
            position = 200 if to == "mzml" else len(good) - 3
            target.write_bytes(good[:position] + bytes([good[position] ^ 0x20]) + good[position + 1:])
        else:
            target.write_bytes(b"")
        status, out, _ = convert([*args, "--skip-existing"], capsys)
        assert status == 0 and "already complete" not in out
        assert target.read_bytes() == good


# (options of the first conversion, of the second, whether the second keeps the output)
OPTION_CHANGES = [
    ([], ["--ms-level", "1"], False),
    (["--ms-level", "1"], ["--ms-level", "1"], True),
    (["--ms-level", "1,2"], ["--ms-level", "2,1"], True),
    (["--ms-level", "1"], [], False),
    (["--rt", "60:61"], ["--rt", "60:62"], False),
    ([], ["-j", "2"], True),  # how many workers does not change the output
]


@pytest.mark.parametrize("to", ["mzml", "parquet", "json"])
@pytest.mark.parametrize("first, second, kept", OPTION_CHANGES)
def test_skip_existing_keeps_only_outputs_made_the_same_way(run_path, tmp_path, capsys, to, first, second, kept):
    needs(to)
    base = [str(run_path), "-o", str(tmp_path), *FORMAT_ARGS[to]]
    assert convert([*base, *first], capsys)[0] == 0
    target = tmp_path / ("two" + SUFFIX[to])
    status, out, _ = convert([*base, *second, "--skip-existing"], capsys)
    assert status == 0
    assert ("already complete, kept" in out) == kept, out
    again = tmp_path / "again"
    assert convert([str(run_path), "-o", str(again), *FORMAT_ARGS[to], *second], capsys)[0] == 0
    if to != "parquet":  # Parquet files record no options but their writer's, which may differ in time
        assert target.read_bytes() == (again / target.name).read_bytes()


def test_skip_existing_remakes_an_output_of_unknown_options(run_path, tmp_path, capsys):
    """An output without a record (written by the API, or copied without
    its attributes) is made again rather than trusted."""
    with morvane.open(run_path) as run:
        run.to_mzml(tmp_path / "two.mzML", ms_level=2)
    status, out, _ = convert([str(run_path), "-o", str(tmp_path), "--skip-existing"], capsys)
    assert status == 0 and "already complete" not in out
    assert "  4 spectra, " in out


class TestMetadataJson:
    @pytest.mark.parametrize("value", [math.inf, -math.inf, math.nan])
    def test_non_finite_numbers_are_null(self, tmp_path, capsys, value):
        path = two_level_run(tmp_path / "odd.d", tic=value)
        status, _, err = convert([str(path), "-o", str(tmp_path / "out"), "--metadata-only"], capsys)
        assert status == 0 and err == ""
        document = json.loads((tmp_path / "out" / "odd.json").read_text())
        tics = [row["tic"] for row in document["scans"]]
        assert tics[0] is None and tics[2] is None and all(isinstance(t, float) for t in tics[1::2])


class TestInfo:
    def test_reads_no_spectrum(self, run_path, tmp_path, capsys):
        """With every data block overwritten by zeros, the summary is the same."""
        whole = karvel_cli.main(["info", str(run_path)]), capsys.readouterr().out
        bare = tmp_path / "two.d"
        shutil.copytree(run_path, bare)
        for name in ("MSProfile.bin", "MSPeak.bin"):
            data = bare / "AcqData" / name
            if data.exists():
                data.write_bytes(bytes(data.stat().st_size))
        with morvane.open(bare) as run, pytest.raises((morvane.FormatError, OSError)):
            run[0]
        assert (karvel_cli.main(["info", str(bare)]), capsys.readouterr().out) == whole

    def test_json_one_object_per_run_matching_the_lines(self, run_path, tmp_path, capsys):
        other = two_level_run(tmp_path / "other.d")
        assert karvel_cli.main(["info", "--json", str(run_path), str(other)]) == 0
        lines = capsys.readouterr().out.splitlines()
        objects = [json.loads(line) for line in lines]
        assert [o["name"] for o in objects] == ["two.d", "other.d"]
        first = objects[0]
        assert first["scans"] == 4 and first["ms_levels"] == {"1": 2, "2": 2}
        assert first["rt_sec"] == [60.0, pytest.approx(61.8)]
        assert first["tic_max"]["native_id"] == "scanId=3" and first["analyzer"] == "tofms"
        assert first["stride"] == 284

    def test_a_bad_run_among_good_ones(self, run_path, tmp_path, capsys):
        status = karvel_cli.main(["info", str(run_path), str(tmp_path / "none.d"), str(run_path)])
        out, err = capsys.readouterr()
        assert status == 1 and out.count("two.d\n") == 2
        assert err.strip() == f"karvel: cannot read {tmp_path / 'none.d'}: No such file or directory"


class TestReaderWarnings:
    def test_reach_the_karvel_logger(self, tmp_path, caplog):
        from morvane import _logging

        path = two_level_run(tmp_path / "cut.d")
        data = path / "AcqData" / "MSProfile.bin"
        data.write_bytes(data.read_bytes()[:-100])
        _logging.forward()
        caplog.clear()
        with caplog.at_level(logging.WARNING, logger="karvel"), morvane.open(path) as run:
            list(run.spectra(errors="skip"))
            assert _logging.forward() >= 1
        assert any(r.name == "karvel" and "scanId=3" in r.getMessage() for r in caplog.records)

    @pytest.mark.parametrize("flag, shown", [("-v", True), ("", False), ("-q", False)])
    def test_shown_with_verbose_only(self, tmp_path, capsys, flag, shown):
        path = two_level_run(tmp_path / "cut.d")
        data = path / "AcqData" / "MSProfile.bin"
        data.write_bytes(data.read_bytes()[:-100])
        argv = [str(path), "-o", str(tmp_path / "out"), "--errors", "skip"] + ([flag] if flag else [])
        status, _, err = convert(argv, capsys)
        assert status == 0
        skip_lines = [line for line in err.splitlines() if "skipped 1 spectrum" in line]
        assert len(skip_lines) == 1
        reader_lines = [line for line in err.splitlines() if line not in skip_lines]
        assert bool(reader_lines) == shown
        assert all(line.startswith("karvel: ") for line in reader_lines)


def test_stale_temporaries_are_removed_and_live_ones_kept(run_path, tmp_path, capsys):
    from morvane._atomic import host_name

    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True,
                          text=True, check=True)
    dead_pid, host = int(dead.stdout), host_name()
    stale = [tmp_path / f".two.mzML.part-{host}-{dead_pid}-0", tmp_path / f".other.parquet.part-{dead_pid}-3",
             tmp_path / f".x.json.part-{host}-{dead_pid}-12"]
    kept = [tmp_path / f".two.mzML.part-{host}-{os.getpid()}-99",  # alive
            tmp_path / f".two.mzML.part-other.host-{dead_pid}-0",  # another machine's: cannot tell
            tmp_path / f".two.mzML.part-{host}-{dead_pid}-0.txt"]  # not a temporary name
    for path in [*stale, *kept]:
        path.write_bytes(b"partial")
    assert convert([str(run_path), "-o", str(tmp_path)], capsys)[0] == 0
    assert not any(path.exists() for path in stale) and all(path.exists() for path in kept)
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".two.mzML.part-")) == \
        sorted(p.name for p in kept if p.name.startswith(".two.mzML.part-"))


def test_closed_standard_output_ends_quietly(run_path):
    script = shutil.which("karvel", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the karvel console script is not installed beside this interpreter")
    # Far more than a pipe holds, so that writing goes on after the reader left.
    with subprocess.Popen([script, "info", *[str(run_path)] * 600], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as process:
        assert process.stdout is not None and process.stderr is not None
        assert process.stdout.readline() == b"two.d\n"
        process.stdout.close()
        err = process.stderr.read()
        status = process.wait(timeout=120)
    assert err == b"" and status == karvel_cli.EXIT_BROKEN_PIPE


def test_one_wording_for_a_damaged_run_in_every_format_and_process(tmp_path, capsys):
    pytest.importorskip("pyarrow")
    path = two_level_run(tmp_path / "cut.d")
    data = path / "AcqData" / "MSProfile.bin"
    data.write_bytes(data.read_bytes()[:-100])
    lines = set()
    for to in ("mzml", "parquet"):
        for jobs in ("1", "2"):
            # Two runs, so that -j 2 converts in worker processes.
            status, _, err = convert([str(path), str(two_level_run(tmp_path / f"good-{to}-{jobs}.d")),
                                      "-o", str(tmp_path / f"out-{to}-{jobs}"), "--to", to, "-j", jobs], capsys)
            assert status == 1
            lines |= set(err.splitlines())
    (line,) = lines
    assert line.startswith(f"karvel: cannot convert {path}: scanId=3: profile block: ")
    assert "vendor parser error" not in line and "Traceback" not in line
