"""morvane's whole-run passes: spectra on worker threads, the peak table
through the Arrow C stream interface, and the chromatograms."""

import gc

import numpy as np
import pyarrow as pa
import pytest

import karvel
import morvane
from datafolder.run import Fault, RunBuilder, cut_tail
from datafolder.sample import build_sample

from runs import profile, thread_count, tof_centroid, wait_for


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return build_sample(tmp_path_factory.mktemp("sample") / "sample.d")


@pytest.fixture(scope="module")
def faulty(tmp_path_factory):
    """Six scans; the ones at 2 and 4 cannot be decoded."""
    builder = RunBuilder()
    for i in range(6):
        fault = Fault(transform=cut_tail(9)) if i in (2, 4) else None
        builder.add_scan(1.0 + i / 100, ms_level=1 + i % 2, target_mz=400.0 + i, profile=profile(1.0e4 + i),
                         profile_fault=fault)
    return builder.build(tmp_path_factory.mktemp("faulty") / "faulty.d")


@pytest.mark.parametrize("threads", [1, 2, 5, None])
def test_spectra_in_index_order_with_filters(sample, threads):
    run = morvane.open(sample.path)
    table = run.scans
    everything = [s.index for s in run.spectra(threads=threads)]
    assert everything == list(range(len(run)))
    ms2 = [s.index for s in run.spectra(ms_level=2, threads=threads)]
    assert ms2 == np.flatnonzero(table.ms_level == 2).tolist()
    low, high = table.rt[5], table.rt[20]
    window = [s.index for s in run.spectra(ms_level=[1, 2], rt=(low, high), threads=threads)]
    assert window == list(run.rt_slice(low, high))
    picked = [s.index for s in run.spectra(indices=[7, 3, -1], threads=threads)]
    assert picked == [7, 3, len(run) - 1]
    first = next(iter(run.spectra(threads=threads)))
    assert first.mz.tobytes() == run[0].mz.tobytes()


def test_errors_raise_or_skip(faulty):
    run = morvane.open(faulty.path)
    with pytest.raises(RuntimeError) as reference:
        karvel.RawReader(str(faulty.path))
    stream = run.spectra(threads=2)
    assert [next(stream).index for _ in range(2)] == [0, 1]
    with pytest.raises(morvane.FormatError) as raised:
        next(stream)
    assert "vendor parser error: " + str(raised.value) == str(reference.value)
    assert list(stream) == []
    assert [s.index for s in run.spectra(errors="skip", threads=2)] == [0, 1, 3, 5]
    assert [index for index, _ in run.skipped] == [2, 4]
    # The reason beside its index: the failure less the scan it names.
    scan_id = int(run.scans["scan_id"][2])
    assert f"vendor parser error: scanId={scan_id}: " + run.skipped[0][1] == str(reference.value)
    with pytest.raises(ValueError):
        run.spectra(errors="ignore")


def test_dropping_the_iterator_stops_its_workers(tmp_path):
    builder = RunBuilder()
    for i in range(200):
        builder.add_scan(1.0 + i / 1000, profile=profile(1.0e4 + i, points=3000))
    run = morvane.open(builder.build(tmp_path / "long.d").path)
    baseline = thread_count()
    for _ in range(10):
        stream = run.spectra(threads=3)
        next(stream)
        del stream
    gc.collect()
    assert wait_for(lambda: thread_count() == baseline), "workers kept running"
    never_consumed = [run.spectra(threads=2) for _ in range(5)]
    del never_consumed
    assert wait_for(lambda: thread_count() == baseline)


def peak_table(run, **options):
    return pa.table(run.peaks(**options))


def test_peak_table_through_arrow(sample):
    run = morvane.open(sample.path)
    table = peak_table(run)
    assert table.schema == pa.schema([("spectrum_index", pa.uint32(), False), ("mz", pa.float64(), False),
                                      ("intensity", pa.float32(), False)])
    spectra = [run[i] for i in range(len(run))]
    assert table.num_rows == sum(len(s) for s in spectra)
    assert table["mz"].to_numpy().tobytes() == np.concatenate([s.mz for s in spectra]).tobytes()
    assert table["intensity"].to_numpy().tobytes() == np.concatenate([s.intensity for s in spectra]).tobytes()
    full = peak_table(run, ms_level=2, metadata=True)
    assert full.column_names == ["spectrum_index", "scan_id", "ms_level", "rt", "mz", "intensity",
                                 "precursor_mz", "polarity"]
    assert [f.type for f in full.schema] == [pa.uint32(), pa.uint32(), pa.uint8(), pa.float64(), pa.float64(),
                                             pa.float32(), pa.float64(), pa.int8()]
    rows = full.to_pylist()
    by_index = {s.index: s for s in spectra}
    for row in rows[:: max(1, len(rows) // 50)]:
        spectrum = by_index[row["spectrum_index"]]
        assert (row["scan_id"], row["ms_level"], row["rt"]) == (spectrum.scan_id, 2, spectrum.rt)
        assert row["precursor_mz"] == spectrum.precursor_mz
        assert row["polarity"] == {"positive": 1, "negative": -1}.get(spectrum.polarity, 0)
    ms1 = peak_table(run, ms_level=1, metadata=True)
    assert ms1["precursor_mz"].null_count == ms1.num_rows
    stream = run.peaks()
    assert pa.table(stream).equals(pa.table(stream))  # a fresh stream every call


def test_peak_batches_hold_whole_spectra(tmp_path):
    builder = RunBuilder()
    for i in range(4):
        builder.add_scan(1.0 + i / 100, profile=profile(points=400_000 + i))
    run = morvane.open(builder.build(tmp_path / "big.d").path)
    reader = pa.RecordBatchReader.from_stream(run.peaks())
    sizes = [batch.num_rows for batch in reader]
    assert sizes == [800_001, 800_005]  # two spectra each, below 1,048,576 rows


def test_peak_stream_errors(faulty):
    run = morvane.open(faulty.path)
    # pyarrow reading the stream itself: undecodable data is ArrowInvalid (a
    # ValueError, as FormatError is), not an I/O error.
    with pytest.raises(pa.ArrowInvalid, match="scanId=3: profile block: parse error: "):
        peak_table(run)
    skipped = peak_table(run, errors="skip")
    assert sorted(set(skipped["spectrum_index"].to_pylist())) == [0, 1, 3, 5]


def test_scan_table_through_arrow(sample):
    run = morvane.open(sample.path)
    table = pa.table(run.scans)
    assert table.column_names == list(run.scans.columns)
    for name in table.column_names:
        assert table[name].to_numpy().tobytes() == run.scans[name].tobytes()


@pytest.mark.parametrize("library", ["polars", "duckdb"])
def test_other_arrow_consumers(sample, library):
    module = pytest.importorskip(library)
    run = morvane.open(sample.path)
    expected = pa.table(run.peaks(metadata=True))
    peaks, scans = run.peaks(metadata=True), run.scans  # read straight from the stream by both
    if library == "polars":
        frame = module.DataFrame(peaks)
        assert frame.columns == expected.column_names and frame.height == expected.num_rows
        assert frame["precursor_mz"].null_count() == expected["precursor_mz"].null_count
        assert module.DataFrame(scans).height == len(run)
    else:
        rows, present = module.sql("select count(*), count(precursor_mz) from peaks").fetchall()[0]
        assert (rows, present) == (expected.num_rows, expected.num_rows - expected["precursor_mz"].null_count)
        assert module.sql("select count(*) from scans").fetchall()[0][0] == len(run)


def test_chromatograms_equal_karvel(sample):
    run = morvane.open(sample.path)
    tic, bpc = karvel.RawReader(str(sample.path)).read_chromatograms()
    for (rt, values), reference in ((run.tic(), tic), (run.bpc(threads=1), bpc)):
        # 64-bit values that karvel's 32-bit chromatograms hold rounded.
        assert rt.dtype == values.dtype == np.float64
        assert rt.astype(np.float32).tolist() == reference["time_sec"]
        assert values.astype(np.float32).tolist() == reference["intensity"]
        assert rt.tolist() == run.scans.rt[run.scans.ms_level == 1].tolist()


def test_xic_sums_the_window(tmp_path):
    builder = RunBuilder()
    for i in range(8):
        builder.add_scan(1.0 + i / 100, ms_level=1 + (i == 5), centroid=tof_centroid(5, 150.0 + i * 0.001))
    run = morvane.open(builder.build(tmp_path / "run.d").path)
    target = 187.5  # second centroid peak of every MS1 scan
    rt, inten = run.xic(target, da=0.01)
    ms1 = [run[i] for i in range(len(run)) if run[i].ms_level == 1]
    assert rt.tolist() == [s.rt for s in ms1]
    expected = [float(s.intensity[np.abs(s.mz - target) <= 0.01].astype(np.float64).sum()) for s in ms1]
    assert inten.tolist() == expected and all(value > 0 for value in expected)
    narrow_rt, narrow = run.xic(target, ppm=1.0, rt=(rt[2], rt[4]))
    assert narrow_rt.tolist() == rt[2:5].tolist()
    for bad in ({}, {"ppm": 1, "da": 1}):
        with pytest.raises(TypeError):
            run.xic(target, **bad)
