"""morvane as pandas, polars and pyarrow users reach for it: the scan table
as a mapping of columns and as data frames, lookups by native id, slices and
retention time, the length of a spectra selection, and one dtype per
quantity on every surface."""

import math
import pickle
import re
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

def pandas_from_arrow(table):
    pandas = pytest.importorskip("pandas")
    if not hasattr(pandas.DataFrame, "from_arrow"):
        pytest.skip("this pandas reads Arrow streams through pyarrow only")
    return pandas.DataFrame.from_arrow(table)


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
    ("pandas.DataFrame", lambda table: pytest.importorskip("pandas").DataFrame(table), False),
    ("to_pandas", lambda table: table.to_pandas(), False),
    ("pandas.DataFrame.from_arrow", pandas_from_arrow, False),
    ("polars.DataFrame", lambda table: pytest.importorskip("polars").DataFrame(table), False),
    ("to_polars", lambda table: table.to_polars(), True),
    ("to_arrow", lambda table: table.to_arrow(), True),
    ("RecordBatchReader.from_stream", lambda table: pa.RecordBatchReader.from_stream(table).read_all(), True),
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
    copy = pickle.loads(pickle.dumps(table))
    assert type(copy) is dict and list(copy) == list(table)
    assert all(copy[name].tobytes() == table[name].tobytes() for name in table)


@pytest.mark.parametrize("method, library, extra", [
    ("to_pandas", "pandas", "karvel[pandas]"),
    ("to_polars", "polars", "karvel[polars]"),
    ("to_arrow", "pyarrow", "karvel[parquet]"),
])
def test_frame_libraries_missing(run, monkeypatch, method, library, extra):
    monkeypatch.setitem(sys.modules, library, None)  # import raises ImportError
    with pytest.raises(ImportError, match=f"{library}: pip install '{extra.replace('[', '\\[')}'"):
        getattr(run.scans, method)()


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


# -- lookups: native ids, slices, retention times, selections ------------------------

# (retention time in minutes, MS level, scan id): seconds 60, 90, ..., 180, 180.
SCANS = [(1.0, 1, 7), (1.5, 2, 8), (2.0, 1, 9), (2.5, 2, 10), (3.0, 1, 20), (3.0, 1, 21)]


def build_lookup_run(path, faulty=()):
    from datafolder.run import Fault, cut_tail
    from runs import mz_centroid

    builder = RunBuilder()
    for i, (minutes, level, scan_id) in enumerate(SCANS):
        fault = Fault(transform=cut_tail(9)) if i in faulty else None
        builder.add_scan(minutes, ms_level=level, scan_id=scan_id, target_mz=400.0 + i if level == 2 else 0.0,
                         profile=profile(1.0e4 + i), profile_fault=fault)
    return builder.build(path)


@pytest.fixture(scope="module")
def lookup_run(tmp_path_factory):
    built = build_lookup_run(tmp_path_factory.mktemp("lookup") / "lookup.d")
    with morvane.open(built.path) as opened:
        yield opened


@pytest.fixture(scope="module")
def faulty_run(tmp_path_factory):
    """The lookup run whose spectra 1 and 4 cannot be decoded."""
    built = build_lookup_run(tmp_path_factory.mktemp("faulty") / "faulty.d", faulty=(1, 4))
    with morvane.open(built.path) as opened:
        yield opened


@pytest.mark.parametrize("native_id, index", [("scanId=7", 0), ("scanId=10", 3), ("scanId=21", 5)])
def test_native_id_lookup(lookup_run, native_id, index):
    spectrum = lookup_run[native_id]
    assert (spectrum.index, spectrum.native_id) == (index, native_id)
    assert lookup_run.by_native_id(native_id).index == index


@pytest.mark.parametrize("key, error", [(key, KeyError) for key in ("scanId=11", "scanId=6", "scanId=", "scan=7",
                                                                     "scanId=7 ", "7", "")]
                         + [(key, TypeError) for key in (1.0, None, b"scanId=7", (0,), True)])
def test_keys_that_find_nothing(lookup_run, key, error):
    with pytest.raises(error) as raised:
        lookup_run[key]
    if error is KeyError:  # the message names the id and the run
        assert repr(key) in str(raised.value) and lookup_run.path in str(raised.value)


# Membership reads the scan table only: in the faulty run, scans 8 and 20
# cannot be decoded and are members all the same.
MEMBERS = [("scanId=7", True), ("scanId=8", True), ("scanId=20", True), ("scanId=21", True),
           ("scanId=11", False), ("scanId=07", False), ("scanId=", False), ("scanId=7 ", False), ("7", False),
           (7, False), (0, False), (None, False), (b"scanId=7", False), (("scanId=7",), False)]


@pytest.mark.parametrize("item, member", MEMBERS, ids=repr)
def test_membership_by_native_id(faulty_run, item, member):
    assert (item in faulty_run) is member


def test_membership_of_spectra(lookup_run, tmp_path):
    assert all(spectrum in lookup_run for spectrum in lookup_run)
    # The same native id at the same position, but another scan (retention
    # time), and a native id of this run at another position.
    other = RunBuilder()
    other.add_scan(5.0, scan_id=7, profile=profile())
    other.add_scan(5.1, scan_id=9, profile=profile())
    with morvane.open(other.build(tmp_path / "other.d").path) as foreign:
        assert [s in lookup_run for s in foreign] == [False, False]
        assert [s in foreign for s in lookup_run] == [False] * len(SCANS)


def test_spectra_equal_when_they_hold_the_same_points(lookup_run):
    first, again = lookup_run[0], lookup_run["scanId=7"]
    assert first is not again and first == again and not first != again and hash(first) == hash(again)
    assert lookup_run[0] != lookup_run[2]
    assert lookup_run[0] != lookup_run.spectrum(0, mode="pick")  # the same scan read another way
    assert lookup_run[0] != "scanId=7" and lookup_run[0] != 0
    assert list(lookup_run) == list(lookup_run)
    assert len(set(lookup_run) | set(lookup_run)) == len(SCANS)


def test_a_spent_selection_walks_again(lookup_run, faulty_run):
    stream = lookup_run.spectra(ms_level=1)
    assert [s.index for s in stream] == [0, 2, 4, 5]
    assert [s.index for s in stream] == [0, 2, 4, 5] and len(stream) == 4
    # Not yet spent: iterating continues where next() stopped.
    stream = lookup_run.spectra()
    assert next(stream).index == 0
    assert [s.index for s in stream] == [1, 2, 3, 4, 5]
    assert [s.index for s in iter(stream)] == [0, 1, 2, 3, 4, 5]
    # A closed pass is spent too; each pass records what it skipped.
    stream = faulty_run.spectra(errors="skip")
    assert next(stream).index == 0
    stream.close()
    assert [s.index for s in stream] == [0, 2, 3, 5]
    assert [index for index, _ in faulty_run.skipped] == [1, 4] == [index for index, _ in stream.skipped]
    assert [s.index for s in stream] == [0, 2, 3, 5] and len(faulty_run.skipped) == 2


@pytest.mark.parametrize("metadata", [False, True])
def test_peak_table_converts_whole(run, metadata):
    pandas = pytest.importorskip("pandas")
    table = run.peaks(metadata=metadata)
    arrow = pa.table(table)
    again = pa.table(table)  # a fresh stream for each reader
    assert again.equals(arrow) and table.to_arrow().equals(arrow)
    frame = table.to_pandas()
    assert list(frame.columns) == arrow.column_names and len(frame) == arrow.num_rows > 0
    for name in arrow.column_names:
        np.testing.assert_array_equal(frame[name].to_numpy(), column_of(arrow, name), err_msg=name)
    if hasattr(pandas.DataFrame, "from_arrow"):
        assert pandas.DataFrame.from_arrow(table).equals(frame)
    polars = pytest.importorskip("polars")
    assert table.to_polars().equals(polars.from_arrow(arrow))


SLICES = [slice(0, 3), slice(None, None, 2), slice(None, None, -1), slice(-2, None), slice(4, 1, -1),
          slice(10, None), slice(3, 3), slice(None, None, -4), slice(-100, 100), slice(1, None, 3)]


@pytest.mark.parametrize("key", SLICES, ids=str)
def test_slices_are_sequence_views(lookup_run, key):
    expected = list(range(len(SCANS)))[key]
    view = lookup_run[key]
    assert isinstance(view, morvane.SpectrumSlice)
    assert len(view) == len(expected) and list(view.positions) == expected
    assert [s.index for s in view] == expected
    assert [view[i].index for i in range(-len(view), len(view))] == expected + expected
    assert [s.index for s in reversed(view)] == expected[::-1]
    for inner in SLICES:
        assert list(view[inner].positions) == expected[inner]
    for outside in (len(view), -len(view) - 1):
        with pytest.raises(IndexError):
            view[outside]
    with pytest.raises(TypeError):
        view["scanId=7"]


def test_slices_decode_only_what_is_asked_for(faulty_run):
    view = faulty_run[::-1]  # spectra 1 and 4 cannot be decoded
    inner = view[1:3]
    assert len(view) == 6 and list(inner.positions) == [4, 3]
    assert inner[1].index == 3
    with pytest.raises(morvane.FormatError):
        inner[0]
    with pytest.raises(morvane.FormatError):
        list(view)
    assert [s.index for s in faulty_run[2:4]] == [2, 3]


# (rt in seconds, ms_level, expected index)
NEAREST = [
    (60.0, None, 0),
    (75.0, None, 0),                  # halfway: the earlier
    (75.5, None, 1),
    (179.0, None, 4),
    (180.0, None, 4),                 # two scans at 180 s: the earlier
    (1e9, None, 4),
    (math.inf, None, 4),
    (-1e9, None, 0),
    (-math.inf, None, 0),
    (90.0, 1, 0),                     # halfway between the MS1 scans at 60 and 120
    (95.0, 1, 2),
    (95.0, 2, 1),
    (10.0, [2], 1),
    (1e9, (2,), 3),
    (np.float64(150.0), 2, 3),
    (np.float32(121.0), None, 2),
    (121, [1, 2], 2),
]


@pytest.mark.parametrize("rt, ms_level, index", NEAREST)
def test_nearest_rt(lookup_run, rt, ms_level, index):
    assert lookup_run.nearest_rt(rt, ms_level=ms_level).index == index


@pytest.mark.parametrize("rt, ms_level, error, words", [
    (math.nan, None, ValueError, "NaN"),
    (np.float64("nan"), 1, ValueError, "NaN"),
    ("60", None, TypeError, "seconds"),
    (None, None, TypeError, "seconds"),
    (60.0, 3, IndexError, "MS level 3"),
    (60.0, [3, 4], IndexError, "MS level [3, 4]"),
    (60.0, [], IndexError, "no spectrum"),
    (60.0, -1, ValueError, "MS levels"),
    (60.0, 0, IndexError, "MS level 0"),
])
def test_nearest_rt_refuses(lookup_run, rt, ms_level, error, words):
    with pytest.raises(error, match=re.escape(words)) as raised:
        lookup_run.nearest_rt(rt, ms_level=ms_level)
    if error is IndexError:
        assert lookup_run.path in str(raised.value)


# (filters of Run.spectra, expected indices)
SELECTIONS = [
    ({}, [0, 1, 2, 3, 4, 5]),
    ({"ms_level": 1}, [0, 2, 4, 5]),
    ({"ms_level": [2], "rt": (80.0, 200.0)}, [1, 3]),
    ({"rt": (100.0, math.inf)}, [2, 3, 4, 5]),
    ({"indices": [5, 0, 0]}, [5, 0, 0]),
    ({"indices": range(5, -1, -2)}, [5, 3, 1]),
    ({"ms_level": 3}, []),
]


@pytest.mark.parametrize("filters, expected", SELECTIONS)
def test_len_of_a_selection(lookup_run, filters, expected):
    stream = lookup_run.spectra(**filters)
    assert len(stream) == len(expected)
    assert [s.index for s in stream] == expected
    assert len(stream) == len(expected)  # the total, not what is left


def test_len_counts_selected_spectra_even_when_some_are_skipped(faulty_run):
    faulty_run.skipped.clear()
    stream = faulty_run.spectra(errors="skip")
    assert len(stream) == 6
    assert [s.index for s in stream] == [0, 2, 3, 5]
    assert [index for index, _ in faulty_run.skipped] == [1, 4]


# -- arguments: one vocabulary, one set of checks ------------------------------------

ENTRY_POINTS = {
    "spectrum": (lambda run, tmp, **kw: run.spectrum(0, **kw), {"mode", "snr"}),
    "spectra": (lambda run, tmp, **kw: run.spectra(**kw), {"mode", "snr", "ms_level", "rt", "errors", "threads"}),
    "peaks": (lambda run, tmp, **kw: run.peaks(**kw), {"mode", "snr", "ms_level", "rt", "errors", "threads"}),
    "xic": (lambda run, tmp, **kw: run.xic(500.0, da=0.5, **kw), {"ms_level", "rt", "threads"}),
    "tic": (lambda run, tmp, **kw: run.tic(**kw), {"threads"}),
    "to_mzml": (lambda run, tmp, **kw: run.to_mzml(tmp / "out.mzML", **kw), {"mode", "snr", "ms_level", "rt", "threads"}),
    "morvane.to_mzml": (lambda run, tmp, **kw: morvane.to_mzml(run, tmp / "out.mzML", **kw),
                        {"mode", "snr", "ms_level", "rt", "threads"}),
    "to_parquet": (lambda run, tmp, **kw: run.to_parquet(tmp / "out.parquet", **kw),
                   {"mode", "snr", "ms_level", "rt", "threads"}),
    "nearest_rt": (lambda run, tmp, **kw: run.nearest_rt(60.0, **kw), {"ms_level"}),
    # Raised before any run is converted, not as each run's error.
    "convert": (lambda run, tmp, **kw: morvane.convert([run.path], tmp, to="parquet", jobs=1, **kw),
                {"mode", "ms_level", "rt", "threads"}),
}

# (argument, value, error, words of the message)
BAD_ARGUMENTS = [
    ("mode", "vendor", ValueError, "mode must be one of 'auto', 'stored', 'centroid', 'pick', 'pick-all'"),
    ("mode", "Centroid", ValueError, "mode must be one of"),
    ("mode", None, ValueError, "mode must be one of"),
    # Peak picking's own arguments, wherever a mode can pick.
    ("snr", -1.0, ValueError, "snr must be a non-negative number"),
    ("snr", math.nan, ValueError, "snr must be a non-negative number"),
    ("threads", 0, ValueError, "threads must be a positive int or None"),
    ("threads", -2, ValueError, "threads must be a positive int or None"),
    ("threads", 1.5, ValueError, "threads must be a positive int or None"),
    ("threads", True, ValueError, "threads must be a positive int or None"),
    ("errors", "ignore", ValueError, "errors must be 'raise' or 'skip'"),
    ("ms_level", -1, ValueError, "MS levels lie in 0..255"),
    ("ms_level", 256, ValueError, "MS levels lie in 0..255"),
    ("ms_level", "1", TypeError, "ms_level must be an int"),
    ("ms_level", [1, "2"], TypeError, "MS levels must be ints"),
    ("ms_level", [1.0], TypeError, "MS levels must be ints"),
    ("rt", (1.0,), ValueError, "rt must be a (low, high) pair"),
    ("rt", (1.0, 2.0, 3.0), ValueError, "rt must be a (low, high) pair"),
    ("rt", (math.nan, 2.0), ValueError, "rt low must not be NaN"),
    ("rt", (1.0, math.nan), ValueError, "rt high must not be NaN"),
    ("rt", "1:2", TypeError, "rt must be a (low, high) pair"),
    ("rt", ("1", 2), TypeError, "rt low must be a number of seconds"),
]


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_every_entry_point_checks_its_arguments_alike(lookup_run, tmp_path, entry):
    call, accepted = ENTRY_POINTS[entry]
    checked = 0
    for argument, value, error, words in BAD_ARGUMENTS:
        if argument not in accepted:
            continue
        with pytest.raises(error, match=re.escape(words)):
            call(lookup_run, tmp_path, **{argument: value})
        checked += 1
    assert checked > 0
    assert list(tmp_path.iterdir()) == []  # nothing written, not even a temporary


# Writers of a file: a filter that keeps no spectrum is refused before
# anything is written, with what the run holds, as on the command line.
WRITERS = {
    "to_mzml": lambda run, tmp, **kw: run.to_mzml(tmp / "out.mzML", **kw),
    "morvane.to_mzml": lambda run, tmp, **kw: morvane.to_mzml(run, tmp / "out.mzML", **kw),
    "to_parquet": lambda run, tmp, **kw: run.to_parquet(tmp / "out.parquet", **kw),
    "morvane.to_parquet": lambda run, tmp, **kw: morvane.to_parquet(run, tmp / "out.parquet", **kw),
    "to_mzpeak": lambda run, tmp, **kw: run.to_mzpeak(tmp / "out.mzpeak", **kw),
}
EMPTY_SELECTIONS = [
    ({"rt": (0.0, 30.0)}, "retention time 0 to 30 s"),
    ({"rt": (181.0, float("inf"))}, "retention time 181 to any s"),
    ({"ms_level": 3}, "MS level 3"),
    ({"ms_level": [0, 3]}, "MS level 0, 3"),
    ({"rt": (60.0, 90.0), "ms_level": 4}, "retention time 60 to 90 s and MS level 4"),
]


@pytest.mark.parametrize("writer", WRITERS)
def test_writers_refuse_a_selection_of_nothing(lookup_run, tmp_path, writer):
    for filters, asked in EMPTY_SELECTIONS:
        with pytest.raises(ValueError) as raised:
            WRITERS[writer](lookup_run, tmp_path, **filters)
        assert str(raised.value) == (f"no spectra selected by {asked}: the run's spectra span 60.00 to 180.00 s "
                                     "(1.000 to 3.000 min) at MS level 1, 2"), filters
        assert list(tmp_path.iterdir()) == []
    # The same writers with a filter that keeps something write a file.
    WRITERS[writer](lookup_run, tmp_path, rt=(60.0, 60.0))
    assert len(list(tmp_path.iterdir())) == 1


def test_convert_fails_the_run_of_an_empty_selection(lookup_run, tmp_path):
    (result,) = morvane.convert([lookup_run.path], tmp_path, to="mzml", jobs=1, ms_level=3)
    assert not result.ok and result.error.startswith("no spectra selected by MS level 3: the run's spectra span ")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("mode, points", [("auto", 400), ("stored", 5), ("centroid", 5)])
def test_mode_vocabulary(tmp_path, mode, points):
    builder = RunBuilder()
    builder.add_scan(1.0, profile=profile(), centroid=tof_centroid(5))
    with morvane.open(builder.build(tmp_path / "run.d").path) as two_blocks:
        # mode= chooses the block; the spectrum's own mode says what it holds.
        spectrum = two_blocks.spectrum(0, mode=mode)
        assert (len(spectrum), spectrum.mode) == (points, "profile" if points == 400 else "centroid")
        assert [len(s) for s in two_blocks.spectra(mode=mode)] == [points]
        assert pa.table(two_blocks.peaks(mode=mode)).num_rows == points


# -- the package itself ------------------------------------------------------------------

def test_version_is_written_once():
    import importlib.metadata

    import karvel
    from runs import TESTS_DIR

    cmake = (TESTS_DIR.parent / "CMakeLists.txt").read_text()
    declared = re.search(r"project\(karvel VERSION ([0-9.]+)", cmake).group(1)
    assert morvane.__version__ == importlib.metadata.version("karvel") == declared
    sample_run = TESTS_DIR.parent / "examples" / "sample.d"
    if sample_run.is_dir():
        assert karvel.RawReader(str(sample_run)).run_info()["software_version"] == declared


def package_imports():
    """{module: the package's modules it imports anywhere in its body}; the
    package imports itself by relative imports only."""
    import ast
    from pathlib import Path

    root = Path(morvane.__file__).parent
    names = {path.name.split(".")[0] for path in root.iterdir() if path.suffix in (".py", ".so")}
    graph = {}
    for path in root.glob("*.py"):
        found = graph.setdefault(path.stem, set())
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                # from .x import y: x; from . import x: x, or a name of __init__
                found |= ({node.module.split(".")[0]} if node.module else
                          {alias.name if alias.name in names else "__init__" for alias in node.names})
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                modules = [alias.name for alias in node.names] if isinstance(node, ast.Import) else [node.module]
                assert not any((m or "").split(".")[0] == "morvane" for m in modules), path.name
    return graph


def test_modules_import_one_way():
    graph = package_imports()
    assert {"_run", "_mzml", "_args", "_scans", "_slices"} <= set(graph)
    order = []
    state = {}

    def visit(module, trail):
        if state.get(module) == "done":
            return
        assert state.get(module) != "open", f"import cycle: {' -> '.join(trail + [module])}"
        state[module] = "open"
        for imported in sorted(graph.get(module, ())):
            visit(imported, trail + [module])
        state[module] = "done"
        order.append(module)

    for module in sorted(graph):
        visit(module, [])
    # The checks come before everything that takes arguments.
    assert order.index("_args") < min(order.index(m) for m in ("_scans", "_mzml", "_run"))
