"""morvane as pandas, polars and pyarrow users reach for it: the scan table
as a mapping of columns and as data frames, lookups by native id, slices and
retention time, the length of a spectra selection, and one dtype per
quantity on every surface."""

import math
import sys

import numpy as np
import pytest

import morvane
from datafolder.run import RunBuilder
from datafolder.sample import build_sample

from runs import profile, tof_centroid

pa = pytest.importorskip("pyarrow")


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return build_sample(tmp_path_factory.mktemp("sample") / "sample.d")


@pytest.fixture(scope="module")
def run(sample):
    with morvane.open(sample.path) as opened:
        yield opened


# -- the scan table as a mapping and as frames -------------------------------------

def pandas_frame(table):
    return pytest.importorskip("pandas").DataFrame(table)


def pandas_from_arrow(table):
    pandas = pytest.importorskip("pandas")
    if not hasattr(pandas.DataFrame, "from_arrow"):
        pytest.skip("this pandas reads Arrow streams through pyarrow only")
    return pandas.DataFrame.from_arrow(table)


def polars_frame(table):
    return pytest.importorskip("polars").DataFrame(table)


def arrow_stream(table):
    return pa.RecordBatchReader.from_stream(table).read_all()


def column_of(frame, name):
    """A column of any of the frames as numpy, nulls as NaN."""
    if isinstance(frame, pa.Table):
        column = frame[name]
        if column.null_count:
            column = column.fill_null(math.nan)
        return column.to_numpy()
    if type(frame).__module__.startswith("polars"):
        column = frame[name]
        return (column.fill_null(math.nan) if column.null_count() else column).to_numpy()
    return frame[name].to_numpy()


# (consumer, how it builds a frame, whether absent values are Arrow nulls)
FRAMES = [
    ("pandas.DataFrame", pandas_frame, False),
    ("to_pandas", lambda table: table.to_pandas(), False),
    ("pandas.DataFrame.from_arrow", pandas_from_arrow, False),
    ("polars.DataFrame", polars_frame, False),
    ("to_polars", lambda table: table.to_polars(), True),
    ("to_arrow", lambda table: table.to_arrow(), True),
    ("RecordBatchReader.from_stream", arrow_stream, True),
]


@pytest.mark.parametrize("name, make, nulls", FRAMES, ids=[f[0] for f in FRAMES])
def test_scan_table_frames_equal_the_numpy_columns(run, name, make, nulls):
    table = run.scans
    frame = make(table)
    assert list(frame.columns if not isinstance(frame, pa.Table) else frame.column_names) == list(table)
    assert len(frame) == table.num_rows == len(run)
    for column in table:
        values = column_of(frame, column)
        assert values.dtype == table[column].dtype, column
        assert values.tobytes() == table[column].tobytes(), column
    if nulls:
        absent = int(np.isnan(table["precursor_mz"]).sum())
        frame_nulls = (frame["precursor_mz"].null_count if isinstance(frame, pa.Table)
                       else frame["precursor_mz"].null_count())
        assert 0 < absent == frame_nulls


def test_scan_table_is_a_read_only_mapping_of_columns(run):
    table = run.scans
    assert list(table.keys()) == list(table) == list(table.columns)
    assert len(table) == len(table.columns) == table.shape[1]
    assert "rt" in table and "mz" not in table
    assert dict(table)["rt"] is table["rt"] is table.rt
    assert [name for name, _ in table.items()] == list(table.columns)
    with pytest.raises(KeyError):
        table["mz"]
    with pytest.raises(AttributeError):
        table.mz
    mutations = [
        lambda: table.__setitem__("rt", table.rt), lambda: table.__delitem__("rt"), lambda: table.pop("rt"),
        lambda: table.popitem(), lambda: table.clear(), lambda: table.update(rt=None),
        lambda: table.setdefault("x", None), lambda: table.__ior__({"x": None}),
    ]
    for mutate in mutations:
        with pytest.raises(TypeError, match="read-only"):
            mutate()
    assert list(table) == list(run.scans.columns) and table is run.scans
    assert table == table and table != dict(table)


@pytest.mark.parametrize("method, library, extra", [
    ("to_pandas", "pandas", "karvel[pandas]"),
    ("to_polars", "polars", "karvel[polars]"),
    ("to_arrow", "pyarrow", "karvel[parquet]"),
])
def test_frame_libraries_missing(run, monkeypatch, method, library, extra):
    monkeypatch.setitem(sys.modules, library, None)  # import raises ImportError
    with pytest.raises(ImportError, match=f"{library}: pip install '{extra.replace('[', '\\[')}'"):
        getattr(run.scans, method)()


def test_empty_scan_table_frames(tmp_path):
    builder = RunBuilder()
    builder.add_scan(1.0, profile=profile())
    with morvane.open(builder.build(tmp_path / "one.d").path) as one:
        frame = one.scans.to_pandas()
        assert frame.shape == (1, len(one.scans)) and frame["points"].tolist() == [400]


# -- one dtype per quantity ------------------------------------------------------------

# quantity: (numpy dtype, Arrow type, nullable)
DTYPES = {
    "spectrum_index": (np.uint32, pa.uint32(), False),
    "scan_id": (np.uint32, pa.uint32(), False),
    "ms_level": (np.uint8, pa.uint8(), False),
    "rt": (np.float64, pa.float64(), False),
    "mz": (np.float64, pa.float64(), False),
    "intensity": (np.float32, pa.float32(), False),
    "chromatogram": (np.float64, pa.float64(), False),
    "precursor_mz": (np.float64, pa.float64(), True),
    "polarity": (np.int8, pa.int8(), False),
    # The scan table's own columns: what the scan record reports, when it does.
    "tic": (np.float64, pa.float64(), True),
    "base_peak_mz": (np.float64, pa.float64(), True),
    "base_peak_intensity": (np.float64, pa.float64(), True),
    "collision_energy": (np.float64, pa.float64(), True),
    "points": (np.uint32, pa.uint32(), False),
}
# Column names that hold one of the quantities under another name.
ALIASES = {"index": "spectrum_index"}


def numpy_surfaces(run):
    """(surface, quantity, array) for every numpy array morvane hands out."""
    scans = run.scans
    for name in scans:
        quantity = ALIASES.get(name, name)
        if quantity in DTYPES:
            yield "scans", quantity, scans[name]
    spectrum = run[0]
    yield "spectrum", "mz", spectrum.mz
    yield "spectrum", "intensity", spectrum.intensity
    for surface, (rt, values) in (("tic", run.tic()), ("bpc", run.bpc()), ("xic", run.xic(500.0, da=1.0))):
        yield surface, "rt", rt
        yield surface, "chromatogram", values


def arrow_surfaces(run, tmp_path):
    """(surface, schema) for every Arrow table morvane writes or streams."""
    yield "scans", pa.RecordBatchReader.from_stream(run.scans).schema
    yield "peaks", pa.RecordBatchReader.from_stream(run.peaks()).schema
    yield "peaks+metadata", pa.RecordBatchReader.from_stream(run.peaks(metadata=True)).schema
    parquet = pytest.importorskip("pyarrow.parquet")
    run.to_parquet(tmp_path / "run.parquet")
    yield "parquet", parquet.read_schema(tmp_path / "run.parquet")


def test_one_dtype_per_quantity_on_every_surface(run, tmp_path):
    seen = set()
    for surface, quantity, array in numpy_surfaces(run):
        assert array.dtype == DTYPES[quantity][0], (surface, quantity)
        seen.add(quantity)
    for surface, schema in arrow_surfaces(run, tmp_path):
        for field in schema:
            quantity = ALIASES.get(field.name, field.name)
            _, arrow_type, nullable = DTYPES[quantity]
            assert (field.type, field.nullable) == (arrow_type, nullable), (surface, field.name)
            seen.add(quantity)
    assert seen == set(DTYPES)


def test_absent_precursor_is_nan_in_numpy_and_null_in_arrow(run, tmp_path):
    scans = run.scans
    arrow = scans.to_arrow()
    absent = np.isnan(scans.precursor_mz)
    assert 0 < absent.sum() < len(absent)
    assert arrow["precursor_mz"].is_null().to_numpy(zero_copy_only=False).tolist() == absent.tolist()
    peaks = pa.table(run.peaks(metadata=True))
    ms1 = peaks.filter(pa.compute.equal(peaks["ms_level"], 1))
    assert ms1.num_rows > 0 and ms1["precursor_mz"].null_count == ms1.num_rows
    parquet = pytest.importorskip("pyarrow.parquet")
    run.to_parquet(tmp_path / "run.parquet")
    stored = parquet.read_table(tmp_path / "run.parquet")
    assert stored["precursor_mz"].null_count == peaks["precursor_mz"].null_count
    # The nulls sit exactly where the scan table has NaN.
    by_spectrum = dict(zip(peaks["spectrum_index"].to_pylist(), peaks["precursor_mz"].to_pylist()))
    for index, value in by_spectrum.items():
        assert (value is None) == bool(absent[index]), index
