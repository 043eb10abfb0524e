"""mzPeak archives: every one written passes the format's rules (see
mzpeak_checks, which reads with pyarrow and jsonschema only) and reads back
to morvane's own spectra; the checker itself catches each kind of fault;
the writer keeps the promises of the other writers (skipped spectra,
atomic output, the command line)."""

from __future__ import annotations

import io
import json
import os
import random
import shutil
import zipfile
from pathlib import Path

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("jsonschema")

import karvel_cli  # noqa: E402
import morvane  # noqa: E402

import mzpeak_checks  # noqa: E402
from export_runs import damaged_run, leftovers, varied_run  # noqa: E402
from interop import draw_case  # noqa: E402

# The fixed draw of `make test`; MZPEAK_SEEDS=N draws N more (make test-interop).
FIXED_SEEDS = tuple(range(14))
EXTRA_SEEDS = tuple(range(1000, 1000 + int(os.environ.get("MZPEAK_SEEDS", "0"))))
EPS = np.finfo(np.float64).eps


# -- what morvane holds, as the archive should hold it --------------------------------------------------

def bits(values: np.ndarray) -> np.ndarray:
    values = np.ascontiguousarray(values)
    return values.view(f"u{values.dtype.itemsize}")


def by_mz(mz: np.ndarray, intensity: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    order = np.argsort(mz, kind="stable")
    return mz[order], intensity[order]


def without_zero_runs(mz: np.ndarray, intensity: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Zero runs cut to their ends, written from the rule itself: a zero
    goes when the points on both sides are zeros or the array's end."""
    keep = []
    for i, value in enumerate(intensity):
        zero_before = i == 0 or intensity[i - 1] == 0
        zero_after = i == len(intensity) - 1 or intensity[i + 1] == 0
        keep.append(not (value == 0 and zero_before and zero_after))
    keep = np.array(keep, dtype=bool)
    return mz[keep], intensity[keep]


def expected(run, positions_options: dict, mode: str, strip: bool):
    """(spectrum, profile arrays or None, centroid arrays or None) per spectrum written."""
    selection = {k: positions_options[k] for k in ("ms_level", "rt") if k in positions_options}
    own = list(run.spectra(**selection))
    other = list(run.spectra(**selection, mode=mode)) if mode != "auto" else [None] * len(own)
    rows = []
    for spectrum, alternative in zip(own, other, strict=True):
        mz, intensity = by_mz(np.asarray(spectrum.mz), np.asarray(spectrum.intensity))
        if spectrum.mode == "profile":
            profile = without_zero_runs(mz, intensity) if strip else (mz, intensity)
            centroid = by_mz(np.asarray(alternative.mz), np.asarray(alternative.intensity)) \
                if alternative is not None and alternative.mode == "centroid" else None
            rows.append((spectrum, profile, centroid))
        else:
            rows.append((spectrum, None, (mz, intensity)))
    return rows


def assert_exact(got: np.ndarray, want: np.ndarray, what: str) -> None:
    assert got.dtype == want.dtype, what
    assert np.array_equal(bits(got), bits(want)), what


def assert_within_delta_bound(got: np.ndarray, want: np.ndarray, bounds, what: str) -> None:
    """Delta-encoded m/z: within the chunk's length times one unit in the
    last place of its largest value."""
    assert got.shape == want.shape, what
    finite = np.isfinite(want)
    assert np.array_equal(finite, np.isfinite(got)), what
    limit = max(len(want), 1) * EPS * np.nanmax(np.abs(np.where(finite, want, 0.0)), initial=0.0)
    assert np.all(np.abs(got[finite] - want[finite]) <= limit), what


def assert_within_numpress_bounds(stored, want: np.ndarray, what: str) -> None:
    """Numpress stretches within 0.5 / f of each value (f from the bytes),
    delta-encoded chunks (those numpress cannot hold) within their bound."""
    got = stored.axis
    assert got.shape == want.shape, what
    covered = np.zeros(got.size, dtype=bool)
    for first, end, bound in stored.numpress_bounds:
        assert np.all(np.abs(got[first:end] - want[first:end]) <= bound * (1 + 1e-9)), what
        covered[first:end] = True
    if not covered.all():
        assert_within_delta_bound(got[~covered], want[~covered], None, what)


# Null-marked m/z rebuild within this fraction of the step to the value
# each is rebuilt from (docs/mzpeak.md).
NULL_BOUND = 0.25


def rebuilt_apart(stored, want: np.ndarray, what: str) -> np.ndarray:
    """Checks the null-marked m/z against their bound; returns a mask of
    the other positions."""
    got = stored.axis
    others = np.ones(want.size, dtype=bool)
    for position, origin in stored.rebuilt_from.items():
        step = abs(want[position] - want[origin])
        slack = 8 * len(want) * EPS * abs(want[position])
        assert abs(got[position] - want[position]) <= NULL_BOUND * step + slack, what
        others[position] = False
    return others


def compare(path: Path, run, options: dict, mode: str, strip: bool, encoding: str) -> None:
    back = mzpeak_checks.read_spectra(path)
    rows = expected(run, options, mode, strip)
    meta = back.metadata.to_pydict()
    assert meta["index"] == list(range(len(rows)))
    assert meta["id"] == [s.native_id for s, _, _ in rows]
    assert meta["time"] == pytest.approx([s.rt / 60 for s, _, _ in rows], rel=1e-15, abs=0)
    assert meta["ms_level"] == [s.ms_level or None for s, _, _ in rows]
    assert meta["scan_polarity"] == [{"positive": 1, "negative": -1}.get(s.polarity) for s, _, _ in rows]
    for key, (spectrum, profile, centroid) in enumerate(rows):
        what = f"{spectrum.native_id}"
        if profile is None:
            assert key not in back.profiles and meta["number_of_data_points"][key] is None, what
        elif len(profile[0]) == 0:
            assert key not in back.profiles and meta["number_of_data_points"][key] == 0, what
        else:
            stored = back.profiles[key]
            assert_exact(stored.arrays["MS:1000515"].astype(np.float32), profile[1], what + " intensity")
            assert not stored.rebuilt_from or strip and encoding != "numpress", what
            kept = rebuilt_apart(stored, profile[0], what + " null-marked m/z")
            if encoding == "basic":
                assert_exact(stored.axis[kept], profile[0][kept], what + " m/z")
            elif encoding == "numpress":
                assert_within_numpress_bounds(stored, profile[0], what + " m/z")
            else:
                assert_within_delta_bound(stored.axis[kept], profile[0][kept], stored.chunk_bounds, what + " m/z")
        if centroid is None:
            assert key not in back.centroids and meta["number_of_peaks"][key] is None, what
        elif len(centroid[0]) == 0:
            assert key not in back.centroids and meta["number_of_peaks"][key] == 0, what
        else:
            stored = back.centroids[key]
            assert_exact(stored.axis, centroid[0], what + " peak m/z")
            assert_exact(stored.arrays["MS:1000515"], centroid[1], what + " peak intensity")
    archive = mzpeak_checks.Archive(path)
    try:
        scans = next(f["name"] for f in back.index["files"] if f["data_kind"] == "scans")
        windows = archive.parquet(scans).read().column("scan_windows").to_pylist()
    finally:
        archive.close()
    stated = [s.scan_window for s, _, _ in rows]
    with np.errstate(over="ignore"):
        limits = [None if w is None else (np.float32(w[0]), np.float32(w[1])) for w in stated]
    # a window is written when its 32-bit limits are finite and in order
    assert windows == [[] if w is None or not (np.isfinite(w).all() and w[0] <= w[1]) else [
        {"scan_window_lower_limit": float(w[0]), "scan_window_upper_limit": float(w[1]), "parameters": []}]
        for w in limits]
    ms1 = [s for s, _, _ in rows if s.ms_level == 1]
    tic_time, tic = back.chromatograms["TIC"]
    order = np.argsort([s.rt for s in ms1], kind="stable")
    assert tic_time.tolist() == pytest.approx([ms1[i].rt / 60 for i in order], rel=1e-15, abs=0)
    assert_exact(tic, np.array([ms1[i].tic for i in order], dtype=np.float64), "TIC")
    if "ms_level" not in options and "rt" not in options:
        channels = run.channel_chromatograms()
        written = {name: trace for name, trace in back.chromatograms.items() if name.startswith("mrm_channel=")}
        assert sorted(written) == sorted(t.native_id for t in channels)
        for trace in channels:
            times, sums = written[trace.native_id]
            order = np.argsort(trace.rt, kind="stable")
            assert times.tolist() == pytest.approx((trace.rt[order] / 60).tolist(), rel=1e-15, abs=0)
            assert_exact(sums, trace.intensity[order], trace.native_id)


# -- property test over generated runs ---------------------------------------------------------------------

def draw_options(seed: int, case) -> dict:
    rng = random.Random(seed * 7919 + 1)
    options = {k: v for k, v in case.options.items() if k in ("ms_level", "rt")}
    options.update(mode=rng.choice(("auto", "auto", "stored", "pick", "pick-all")),
                   layout=rng.choice(("zip", "folder")), mz_encoding=rng.choice(("delta", "basic", "numpress")),
                   chunk_width=rng.choice((0.5, 5.0, 50.0, 1.0e6)), strip_zero_runs=rng.random() < 0.8,
                   threads=rng.choice((1, 2)))
    return options


@pytest.mark.parametrize("seed", FIXED_SEEDS + EXTRA_SEEDS)
def test_generated_runs_conform_and_read_back(tmp_path, seed):
    case = draw_case(seed, tmp_path)
    options = draw_options(seed, case)
    if options["mz_encoding"] == "numpress":
        pytest.importorskip("pynumpress", reason="the numpress chunks are checked with pynumpress")
    out = tmp_path / "run.mzpeak"
    with morvane.open(case.run.path) as run:
        if not len(run._select(options.get("ms_level"), options.get("rt"))):
            options.pop("ms_level", None)
            options.pop("rt", None)
        assert run.to_mzpeak(out, **options) == []
        assert mzpeak_checks.problems(out) == [], case.describe()
        compare(out, run, options, options["mode"], options["strip_zero_runs"], options["mz_encoding"])
    assert out.is_dir() == (options["layout"] == "folder")
    assert leftovers(tmp_path) == []


# -- the checker catches what it should --------------------------------------------------------------------

@pytest.fixture(scope="module")
def good_archive(tmp_path_factory):
    folder = tmp_path_factory.mktemp("good")
    with morvane.open(varied_run(folder / "varied.d")) as run:
        run.to_mzpeak(folder / "varied.mzpeak", layout="folder", mode="pick", chunk_width=0.5)
    assert mzpeak_checks.problems(folder / "varied.mzpeak") == []
    return folder / "varied.mzpeak"


def _edit_index(folder: Path, change) -> None:
    index = json.loads((folder / "mzpeak_index.json").read_text())
    change(index)
    (folder / "mzpeak_index.json").write_text(json.dumps(index))


def _rewrite(folder: Path, name: str, change_table=None, change_footer=None, **options) -> None:
    parquet = pq.ParquetFile(folder / name)
    table = parquet.read()
    footer = dict(parquet.metadata.metadata or {})
    if change_table is not None:
        table = change_table(table)
    if change_footer is not None:
        change_footer(footer)
    pq.write_table(table.replace_schema_metadata(footer), folder / name,
                   **{"write_page_index": True, **options})


def _array_index(footer, change) -> None:
    key = b"spectrum_array_index"
    document = json.loads(footer[key])
    change(document)
    footer[key] = json.dumps(document).encode()


def _reverse_chunks(table):
    return table.take(pa.array(np.arange(table.num_rows)[::-1].copy()))


def _bump(table, column, by):
    values = np.asarray(table.column(column).to_numpy(zero_copy_only=False)) + by
    return table.set_column(table.schema.get_field_index(column), column, pa.array(values, table.schema.field(column).type))


def _null_inside(table):
    """The third point of the first chunk of four or more made null."""
    rows = table.to_pylist()
    chunk = next(r["chunk"] for r in rows if len(r["chunk"]["intensity"]) >= 4)
    chunk["mz_chunk_values"][1] = chunk["intensity"][2] = None
    return pa.Table.from_pylist(rows, schema=table.schema)


def _retype(table, column, kind):
    return table.set_column(table.schema.get_field_index(column), column, table.column(column).cast(kind))


FAULTS = {
    "version not MAJOR.MINOR.PATCH": ("index-schema", lambda f: _edit_index(f, lambda i: i["metadata"].update(version="0.9"))),
    "UO not declared": ("cv-declared", lambda f: _edit_index(
        f, lambda i: i["metadata"].update(cv_list=[c for c in i["metadata"]["cv_list"] if c["id"] != "UO"]))),
    "source file without location": ("json-schema", lambda f: _edit_index(
        f, lambda i: i["metadata"]["file_description"]["source_files"][0].pop("location"))),
    "member missing": ("members", lambda f: (f / "spectra_peaks.parquet").unlink()),
    "data type that is an array": ("cv-parents", lambda f: _rewrite(
        f, "spectra_data.parquet", change_footer=lambda m: _array_index(
            m, lambda a: a["entries"][0].update(data_type="MS:1000514")))),
    "chunk layout naming a point entry": ("layout", lambda f: _rewrite(
        f, "spectra_data.parquet", change_footer=lambda m: _array_index(
            m, lambda a: a["entries"][-1].update(buffer_format="point")))),
    "array index path that is no column": ("array-index", lambda f: _rewrite(
        f, "spectra_peaks.parquet", change_footer=lambda m: _array_index(
            m, lambda a: a["entries"][1].update(path="point.height")))),
    "no page index": ("page-index", lambda f: _rewrite(f, "spectra_data.parquet", write_page_index=False)),
    "chunks in descending order": ("chunks", lambda f: _rewrite(f, "spectra_data.parquet", _reverse_chunks)),
    "peaks out of order": ("sorted", lambda f: _rewrite(f, "spectra_peaks.parquet", _reverse_chunks)),
    "scan of no spectrum": ("foreign-key", lambda f: _rewrite(
        f, "spectra_metadata_scans.parquet", lambda t: _bump(t, "source_index", 1000))),
    "peak counts off by one": ("counts", lambda f: _rewrite(
        f, "spectra_metadata.parquet", lambda t: _bump(t, "number_of_peaks", 1))),
    "index from 1": ("keys", lambda f: _rewrite(f, "spectra_metadata.parquet", lambda t: _bump(t, "index", 1))),
    "time in seconds beside the scans": ("minutes", lambda f: _rewrite(
        f, "spectra_metadata.parquet", lambda t: t.set_column(2, "time", pa.compute.multiply(t.column("time"), 60.0)))),
    "null inside a run of values": ("null-pairs", lambda f: _rewrite(f, "spectra_data.parquet", _null_inside)),
    "spacing model of 32-bit floats": ("delta-model", lambda f: _rewrite(
        f, "spectra_metadata.parquet", lambda t: _retype(t, "mz_delta_model", pa.large_list(pa.float32())))),
    "null-marked m/z without its transform": ("null-transforms", lambda f: _rewrite(
        f, "spectra_data.parquet", change_footer=lambda m: _array_index(
            m, lambda a: a["entries"][2].update(transform=None)))),
    "undeclared column": ("arrow-schema", lambda f: _rewrite(
        f, "spectra_metadata.parquet", lambda t: t.append_column("mass", pa.array([0.0] * t.num_rows)))),
}


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_the_checker_names_each_fault(tmp_path, good_archive, fault):
    rule, damage = FAULTS[fault]
    copy = tmp_path / "copy.mzpeak"
    shutil.copytree(good_archive, copy)
    damage(copy)
    found = mzpeak_checks.problems(copy)
    assert any(p.startswith(rule + ":") for p in found), found


def test_the_checker_refuses_compressed_members(tmp_path, good_archive):
    packed = tmp_path / "deflated.mzpeak"
    with zipfile.ZipFile(packed, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for member in sorted(good_archive.iterdir()):
            archive.write(member, member.name)
    assert any(p.startswith("members:") for p in mzpeak_checks.problems(packed))


# -- the writer's promises ---------------------------------------------------------------------------------

def test_skipped_spectra_are_left_out_and_recorded(tmp_path):
    with morvane.open(damaged_run(tmp_path / "damaged.d")) as run:
        with pytest.raises(morvane.FormatError):
            run.to_mzpeak(tmp_path / "raise.mzpeak")
        skipped = run.to_mzpeak(tmp_path / "skip.mzpeak", errors="skip")
        assert [s.native_id for s in skipped] == ["scanId=3"] and run.skipped == [(2, skipped[0].reason)]
    assert not (tmp_path / "raise.mzpeak").exists() and leftovers(tmp_path) == []
    out = tmp_path / "skip.mzpeak"
    assert mzpeak_checks.problems(out) == []
    back = mzpeak_checks.read_spectra(out)
    assert back.metadata.column("id").to_pylist() == ["scanId=1", "scanId=2", "scanId=4"]
    recorded = back.index["metadata"]["run"]["parameters"]
    assert [p["value"] for p in recorded if p["name"] == "skipped spectrum"] == [f"scanId=3: {skipped[0].reason}"]


@pytest.mark.parametrize("layout", ["zip", "folder"])
def test_a_failure_while_writing_leaves_the_old_output(tmp_path, monkeypatch, layout):
    from morvane import _mzpeak
    run_path = varied_run(tmp_path / "varied.d")
    out = tmp_path / "varied.mzpeak"
    with morvane.open(run_path) as run:
        run.to_mzpeak(out, layout=layout)
        before = sorted(p.name for p in out.iterdir()) if layout == "folder" else out.read_bytes()

        def broken(*args, **kwargs):
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(_mzpeak, "chromatogram_tables", broken)
        with pytest.raises(OSError):
            run.to_mzpeak(out, layout=layout)
    after = sorted(p.name for p in out.iterdir()) if layout == "folder" else out.read_bytes()
    assert after == before and mzpeak_checks.problems(out) == []
    assert leftovers(tmp_path) == []


def test_a_stop_the_moment_the_member_folder_is_made_leaves_nothing(tmp_path, monkeypatch):
    """A stop signal's exception raised as mkdir returns (a SIGTERM test
    once left the folder behind)."""
    made = Path.mkdir

    def mkdir_then_stop(self, *args, **kwargs):
        made(self, *args, **kwargs)
        raise KeyboardInterrupt

    run_path = varied_run(tmp_path / "varied.d")
    monkeypatch.setattr(Path, "mkdir", mkdir_then_stop)
    with morvane.open(run_path) as run, pytest.raises(KeyboardInterrupt):
        run.to_mzpeak(tmp_path / "varied.mzpeak")
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("rename, done", [(1, False), (1, True), (2, False)])
def test_a_stop_between_the_folder_renames_keeps_the_earlier_output(tmp_path, monkeypatch, rename, done):
    """A stop signal's exception raised at the rename that sets the earlier
    folder aside or the one that puts the new folder in its place, before
    or after the rename itself."""
    from morvane import _mzpeak
    run_path = varied_run(tmp_path / "varied.d")
    out = tmp_path / "varied.mzpeak"
    calls = []
    real = os.replace

    def replace_then_stop(source, target):
        calls.append(source)
        if len(calls) == rename and not done:
            raise KeyboardInterrupt
        real(source, target)
        if len(calls) == rename:
            raise KeyboardInterrupt

    with morvane.open(run_path) as run:
        run.to_mzpeak(out, layout="folder")
        before = {p.name: p.read_bytes() for p in out.iterdir()}
        monkeypatch.setattr(_mzpeak.os, "replace", replace_then_stop)
        with pytest.raises(KeyboardInterrupt):
            run.to_mzpeak(out, layout="folder", strip_zero_runs=False)
    monkeypatch.undo()
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("options, message", [
    ({"layout": "tar"}, "layout"),
    ({"mz_encoding": "slof"}, "mz_encoding"),
    ({"numpress_mz_ppm": 0.0}, "numpress_mz_ppm"),
    ({"chunk_width": 0.0}, "chunk_width"),
    ({"chunk_width": float("nan")}, "chunk_width"),
    ({"errors": "ignore"}, "errors"),
    ({"mode": "smooth"}, "mode"),
])
def test_bad_options_raise_before_writing(tmp_path, options, message):
    with morvane.open(varied_run(tmp_path / "varied.d")) as run, pytest.raises(ValueError, match=message):
        run.to_mzpeak(tmp_path / "out.mzpeak", **options)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["varied.d"]


def test_command_line_folder_layout_and_skip_existing(tmp_path, capsys):
    run_path = varied_run(tmp_path / "varied.d")
    out = tmp_path / "out"
    argv = ["convert", str(run_path), "-o", str(out), "--to", "mzpeak", "--mzpeak-layout", "folder", "-q"]
    assert karvel_cli.main(argv) == 0
    assert mzpeak_checks.problems(out / "varied.mzpeak") == []
    stamp = (out / "varied.mzpeak" / "mzpeak_index.json").stat().st_mtime_ns
    assert karvel_cli.main([*argv, "--skip-existing"]) == 0
    assert (out / "varied.mzpeak" / "mzpeak_index.json").stat().st_mtime_ns == stamp
    with pytest.raises(SystemExit) as exit_:
        karvel_cli.main(["convert", str(run_path), "-o", str(out), "--mzpeak-layout", "zip"])
    assert exit_.value.code == 2 and "--mzpeak-layout" in capsys.readouterr().err


def test_file_level_metadata_names_every_source_file_with_its_sha1(tmp_path):
    import hashlib
    run_path = Path(varied_run(tmp_path / "varied.d"))
    with morvane.open(run_path) as run:
        run.to_mzpeak(tmp_path / "varied.mzpeak", mode="pick-all", snr=2.0)
    index = mzpeak_checks.read_spectra(tmp_path / "varied.mzpeak").index
    sources = index["metadata"]["file_description"]["source_files"]
    files = sorted(p for p in run_path.rglob("*") if p.is_file())
    assert sorted(s["name"] for s in sources) == sorted(p.name for p in files)
    digests = {s["name"]: next(p["value"] for p in s["parameters"] if p["accession"] == "MS:1000569")
               for s in sources}
    assert digests == {p.name: hashlib.sha1(p.read_bytes()).hexdigest() for p in files}
    default = index["metadata"]["run"]["default_source_file_id"]
    assert [s["name"] for s in sources if s["id"] == default] == ["MSScan.bin"]
    steps = index["metadata"]["data_processing_method_list"][0]["methods"]
    assert [p["accession"] for step in steps for p in step["parameters"] if p["accession"]] == \
        ["MS:1000530", "MS:1000035"]
    # the footers of the metadata tables carry the same documents
    with zipfile.ZipFile(tmp_path / "varied.mzpeak") as archive:
        footer = pq.ParquetFile(io.BytesIO(archive.read("spectra_metadata.parquet"))).metadata.metadata
    assert json.loads(footer[b"file_description"]) == index["metadata"]["file_description"]


@pytest.mark.parametrize("keep_spikes", [False, True])
def test_the_picking_step_is_recorded_as_in_mzml(tmp_path, keep_spikes):
    import re
    with morvane.open(varied_run(tmp_path / "varied.d")) as run:
        options = {"mode": "pick-all", "snr": 2.5, "centroid_ms_levels": (1, 2), "keep_spikes": keep_spikes}
        run.to_mzpeak(tmp_path / "varied.mzpeak", **options)
        run.to_mzml(tmp_path / "varied.mzML", **options)
    steps = mzpeak_checks.read_spectra(tmp_path / "varied.mzpeak").index["metadata"][
        "data_processing_method_list"][0]["methods"]
    recorded = [(p["name"], p["value"]) for p in steps[1]["parameters"] if not p["accession"]]
    text = (tmp_path / "varied.mzML").read_text()
    method = text[text.index('<processingMethod order="1"'):]
    method = method[:method.index("</processingMethod>")]
    assert recorded == re.findall(r'<userParam name="([^"]+)" value="([^"]*)"', method)
    assert ("peak picking single-point spikes", "kept" if keep_spikes else "dropped") in recorded


def test_mrm_channels_become_srm_chromatograms_with_their_product(tmp_path):
    from export_runs import quadrupole_run
    with morvane.open(quadrupole_run(tmp_path / "qqq.d")) as run:
        run.to_mzpeak(tmp_path / "qqq.mzpeak", layout="folder")
        channels = run.channel_chromatograms()
    assert channels, "the run has MRM channels"
    folder = tmp_path / "qqq.mzpeak"
    assert mzpeak_checks.problems(folder) == []
    meta = pq.read_table(folder / "chromatograms_metadata.parquet").to_pydict()
    srm = {i: name for i, name, kind in zip(meta["index"], meta["id"], meta["chromatogram_type"])
           if kind == "MS:1001473"}
    assert sorted(srm.values()) == sorted(t.native_id for t in channels)
    products = pq.read_table(folder / "chromatograms_metadata_products.parquet").to_pylist()
    by_id = {srm[p["source_index"]]: p["isolation_window"]["isolation_window_target"] for p in products}
    assert by_id == {t.native_id: t.product_mz for t in channels if t.product_mz is not None}


# -- MS-Numpress linear chunks ----------------------------------------------------------------------------

@pytest.mark.parametrize("values, packed", [
    ([0], [0x80]),                      # head 8: eight leading zero nibbles
    ([-1], [0xFF]),                     # head 15 and one 0xf nibble
    ([23], [0x67, 0x10]),               # head 6, then 7 and 1, padded
    ([0, 23], [0x86, 0x71]),            # two values share bytes
    ([0x12345678], [0x08, 0x76, 0x54, 0x32, 0x10]),  # no leading nibble: head 0 and all eight
    ([-(2 ** 31)], [0x00, 0x00, 0x00, 0x00, 0x80]),  # top nibble 8: neither 0x0 nor 0xf
])
def test_half_byte_packing(values, packed):
    from morvane._mzpeak import _half_bytes
    assert _half_bytes(np.array(values, dtype=np.int64)).tolist() == packed


@pytest.mark.parametrize("values, ppm", [
    ([100.0, 100.5], 0.1),
    (list(np.linspace(200.0, 250.0, 1000)), 0.1),
    (list(np.sqrt(np.linspace(1.0e4, 4.0e6, 3000))), 1.0),
    ([1.0e-3, 2.0e-3, 5.0], 10.0),
    ([0.0, 0.0, 0.0], 0.1),
    ([3.0e9, 3.0e9 + 1, 3.0e9 + 5], 0.1),      # large: the factor shrinks to keep 32-bit integers
])
def test_numpress_linear_decodes_with_pynumpress_within_its_bound(values, ppm):
    pynumpress = pytest.importorskip("pynumpress")
    from morvane._mzpeak import numpress_linear
    data = np.array(values, dtype=np.float64)
    packed = numpress_linear(data, ppm)
    factor = float(np.frombuffer(packed[:8].tobytes(), ">f8")[0])
    decoded = np.asarray(pynumpress.decode_linear(packed))
    assert decoded.shape == data.shape
    assert np.all(np.abs(decoded - data) <= 0.5 / factor * (1 + 1e-9))
    promised = max(np.abs(data).max() * ppm * 1e-6, 0.5 / (0x7FFFFFFF / (np.abs(data).max() + 1)))
    assert 0.5 / factor <= promised * (1 + 1e-12)


@pytest.mark.parametrize("values", [[], [100.0], [1.0, float("nan")], [float("inf"), 2.0]])
def test_numpress_linear_refuses_what_it_cannot_hold(values):
    from morvane._mzpeak import numpress_linear
    assert numpress_linear(np.array(values, dtype=np.float64), 0.1) is None


def test_member_folders_of_killed_conversions_are_removed(tmp_path):
    from morvane._atomic import host_name
    dead = tmp_path / f".varied.mzpeak.part-{host_name()}-999999999-0"
    alive = tmp_path / f".varied.mzpeak.part-{host_name()}-{os.getpid()}-7"
    for folder in (dead, alive):
        folder.mkdir()
        (folder / "spectra_data.parquet").write_bytes(b"partial")
    with morvane.open(varied_run(tmp_path / "varied.d")) as run:
        run.to_mzpeak(tmp_path / "varied.mzpeak")
    assert not dead.exists() and alive.exists()


def test_an_archived_run_converts_like_its_folder(tmp_path):
    run_path = Path(varied_run(tmp_path / "varied.d"))
    archive = shutil.make_archive(str(tmp_path / "varied.d"), "zip", tmp_path, "varied.d")
    folder, packed = (morvane.convert([source], tmp_path / name, to="mzpeak", jobs=1)[0]
                      for source, name in ((str(run_path), "folder"), (archive, "archive")))
    assert folder.ok and packed.ok and Path(packed.output).name == "varied.mzpeak"
    assert mzpeak_checks.problems(Path(packed.output)) == []
    mine, theirs = (mzpeak_checks.read_spectra(Path(r.output)) for r in (folder, packed))
    assert mine.metadata.column("id").to_pylist() == theirs.metadata.column("id").to_pylist()
    assert theirs.index["metadata"]["run"]["id"] == "varied"
    digests = [{s["name"]: [p.get("value") for p in s["parameters"] if p["accession"] == "MS:1000569"]
                for s in r.index["metadata"]["file_description"]["source_files"]} for r in (mine, theirs)]
    assert digests[0] == digests[1]
