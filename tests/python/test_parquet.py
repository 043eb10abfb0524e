"""Runs written as Parquet and read back with pyarrow, DuckDB and polars."""

import io
import json
import sys

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

import morvane  # noqa: E402

from export_runs import (assert_same_columns, damaged_run, expected_columns, leftovers,  # noqa: E402
                         quadrupole_run, varied_run)

RUNS = {"varied": varied_run, "quadrupole": quadrupole_run}
FILTERS = [
    pytest.param({}, id="all"),
    pytest.param({"ms_level": 1}, id="ms1"),
    pytest.param({"ms_level": [2]}, id="ms2"),
    pytest.param({"rt": (31.0, 33.0)}, id="rt"),
    pytest.param({"ms_level": 2, "rt": (1e6, 2e6)}, id="nothing"),
]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return tmp_path_factory.mktemp("parquet")


@pytest.fixture(scope="module")
def written(folder):
    """The varied run and its peaks as Parquet in row groups of 100 rows."""
    run = morvane.open(varied_run(folder / "varied.d"))
    out = folder / "varied.parquet"
    rows = run.to_parquet(out, row_group_size=100)
    return run, out, rows


def read_columns(path):
    table = pq.read_table(path)
    return {name: table.column(name).to_numpy() for name in table.column_names}


@pytest.mark.parametrize("filters", FILTERS)
@pytest.mark.parametrize("kind", RUNS)
def test_rows_are_the_runs_peaks_bit_for_bit(tmp_path, kind, filters):
    run = morvane.open(RUNS[kind](tmp_path / "run.d"))
    out = tmp_path / "run.parquet"
    expected = expected_columns(run, **filters)
    if len(list(run.spectra(**filters))) == 0:
        # A filter that keeps nothing is refused; nothing is written.
        with pytest.raises(ValueError, match="^no spectra selected by "):
            run.to_parquet(out, row_group_size=64, **filters)
        assert not out.exists() and leftovers(tmp_path) == []
        return
    rows = run.to_parquet(out, row_group_size=64, **filters)
    assert rows == len(expected["mz"]) == pq.ParquetFile(out).metadata.num_rows
    assert_same_columns(read_columns(out), expected)
    table = pq.read_table(out)
    assert table.column("precursor_mz").null_count == int(np.isnan(expected["precursor_mz"]).sum())
    assert leftovers(tmp_path) == []


def test_file_layout(written):
    run, out, rows = written
    parquet = pq.ParquetFile(out)
    assert [(field.name, str(field.type)) for field in parquet.schema_arrow] == [
        ("spectrum_index", "uint32"), ("scan_id", "uint32"), ("ms_level", "uint8"), ("rt", "double"),
        ("mz", "double"), ("intensity", "float"), ("precursor_mz", "double"), ("polarity", "int8")]
    metadata = parquet.metadata
    sizes = [metadata.row_group(i).num_rows for i in range(metadata.num_row_groups)]
    assert rows > 300 and sizes[:-1] == [100] * (len(sizes) - 1) and 0 < sizes[-1] <= 100
    for group in range(metadata.num_row_groups):
        for i in range(metadata.num_columns):
            column = metadata.row_group(group).column(i)
            assert column.compression == "ZSTD"
            assert column.has_offset_index and column.has_column_index
            if column.path_in_schema in ("rt", "mz", "intensity", "precursor_mz"):
                assert "BYTE_STREAM_SPLIT" in column.encodings
    stored = parquet.schema_arrow.metadata
    assert json.loads(stored[b"run_info"]) == run.info
    assert json.loads(stored[b"device"]) == run.device


def test_duckdb_reads_the_rows_and_computes_the_xic(written):
    duckdb = pytest.importorskip("duckdb")
    run, out, rows = written
    connection = duckdb.connect()
    assert connection.execute("select count(*) from read_parquet(?)", [str(out)]).fetchone()[0] == rows
    expected = expected_columns(run)
    peaks = connection.execute("select mz, intensity from read_parquet(?)", [str(out)]).fetchnumpy()
    assert_same_columns({"mz": peaks["mz"], "intensity": peaks["intensity"]},
                        {"mz": expected["mz"], "intensity": expected["intensity"]})
    for target, ppm in ((expected["mz"][100], 20.0), (250.0, 50.0)):
        tolerance = target * ppm * 1e-6
        # One point per MS1 spectrum, zero where nothing falls in the window.
        times, values = zip(*connection.execute(
            """select rt, coalesce(sum(intensity::double) filter (where mz between ? and ?), 0)
               from read_parquet(?) where ms_level = 1 group by spectrum_index, rt order by spectrum_index""",
            [target - tolerance, target + tolerance, str(out)]).fetchall())
        xic_rt, xic_intensity = run.xic(target, ppm=ppm)
        assert np.array_equal(np.asarray(times), xic_rt)
        assert np.allclose(np.asarray(values), xic_intensity, rtol=1e-12, atol=0)


def test_polars_reads_the_same_rows(written):
    polars = pytest.importorskip("polars")
    run, out, rows = written
    frame = polars.read_parquet(out)
    assert frame.height == rows
    assert_same_columns({name: frame[name].to_numpy() for name in frame.columns}, expected_columns(run))


def test_a_damaged_run_leaves_no_file(tmp_path):
    run = morvane.open(damaged_run(tmp_path / "damaged.d"))
    with pytest.raises(Exception, match="LZF|block|size|short"):
        run.to_parquet(tmp_path / "damaged.parquet")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["damaged.d"]


def test_without_pyarrow_the_error_says_how_to_install_it(tmp_path, monkeypatch, written):
    run = written[0]
    for name in [name for name in sys.modules if name == "pyarrow" or name.startswith("pyarrow.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r"pip install 'karvel\[parquet\]'"):
        run.to_parquet(tmp_path / "x.parquet")
    assert list(tmp_path.iterdir()) == []



class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("row_group_size", [7, 100, 1_048_576])
def test_progress_on_a_terminal_counts_every_spectrum(tmp_path, monkeypatch, written, row_group_size):
    tqdm = pytest.importorskip("tqdm")
    run, out, _ = written
    steps = []
    update = tqdm.tqdm.update
    monkeypatch.setattr(tqdm.tqdm, "update", lambda bar, n=1: (steps.append(n), update(bar, n))[1])
    monkeypatch.setattr(sys, "stderr", Terminal())
    run.to_parquet(tmp_path / "x.parquet", progress=True, row_group_size=row_group_size)
    with_peaks = len(set(pq.read_table(out).column("spectrum_index").to_pylist()))
    # Spectra are counted as their rows are written; those without peaks at the end.
    assert all(step >= 0 for step in steps) and sum(steps) == len(run)
    assert sum(steps[:-1]) == with_peaks
    assert sys.stderr.getvalue()
