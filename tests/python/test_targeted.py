"""Targeted extraction: many m/z targets in one pass, target tables, and
MRM channels as columns."""

from __future__ import annotations

import random
import subprocess
import sys

import numpy as np
import pytest

import morvane
from datafolder.run import Centroid, Profile, RunBuilder
from datafolder.synth import STANDARD_CALIBRATION, STANDARD_DX, STANDARD_X0, random_centroids, random_profile

SEEDS = range(8)


def generated_run(path, seed: int):
    """MS1 profiles (LZF and run-length), some with stored centroids, and
    MS2 centroids as flight times or m/z, some stored out of m/z order."""
    rng = random.Random(seed)
    builder = RunBuilder(stride=284)
    for i in range(rng.randint(3, 14)):
        minute = 0.5 + i * 0.02
        if rng.random() < 0.6:
            values = random_profile(rng, rng.randint(50, 600), rng.randint(0, 6))
            centroid = None
            if rng.random() < 0.3:
                times, heights = random_centroids(rng, STANDARD_CALIBRATION, rng.randint(1, 8), 100.0, 300.0)
                centroid = Centroid(times, heights, format_id=2)
            builder.add_scan(minute, profile=Profile(STANDARD_X0, STANDARD_DX, values,
                                                     encoding=rng.choice(["lzf", "run_length"])),
                             centroid=centroid, ion_polarity=rng.randint(0, 1))
        else:
            mzs = [round(rng.uniform(100.0, 300.0), 2) for _ in range(rng.randint(0, 12))]
            if rng.random() < 0.5:
                mzs.sort()
            heights = [round(rng.uniform(10, 5e4), 1) for _ in mzs]
            builder.add_scan(minute, ms_level=rng.choice([1, 2]), target_mz=250.0, collision_energy=20.0,
                             centroid=Centroid(mzs, heights, format_id=3))
    return builder.build(path / f"run{seed}.d").path


def draw_targets(rng: random.Random, run: morvane.Run, count: int) -> np.ndarray:
    """m/z where the run has points (so that most sums are not zero) and
    anywhere in its range."""
    seen = np.concatenate([s.mz for s in run.spectra()] + [np.array([150.0])])
    picked = [float(rng.choice(seen)) if rng.random() < 0.7 else rng.uniform(90.0, 320.0) for _ in range(count)]
    return np.array(picked)


def sequential_sum(values: np.ndarray) -> float:
    total = 0.0
    for value in values.astype(np.float64):
        total += float(value)
    return total


@pytest.mark.parametrize("seed", SEEDS)
def test_many_targets_equal_each_alone_and_the_spectra(tmp_path, seed):
    rng = random.Random(1000 + seed)
    run = morvane.open(generated_run(tmp_path, seed))
    targets = draw_targets(rng, run, 30)
    ppm = np.array([rng.choice([0.0, 1.0, 10.0, 50.0, 400.0]) for _ in targets])
    for level, mode in ((1, "auto"), ([1, 2], "auto"), (None, "stored"), (1, "pick")):
        rt, sums = run.xic(targets, ppm=ppm, ms_level=level, mode=mode)
        assert sums.shape == (targets.size, rt.size) and sums.dtype == np.float64
        spectra = list(run.spectra(ms_level=level, mode=mode))
        assert rt.tolist() == [s.rt for s in spectra]
        for k, (mz, tolerance) in enumerate(zip(targets, ppm, strict=True)):
            alone_rt, alone = run.xic(float(mz), ppm=float(tolerance), ms_level=level, mode=mode)
            assert alone_rt.tolist() == rt.tolist()
            assert alone.tolist() == sums[k].tolist(), (level, mode, k)
            half = mz * tolerance * 1e-6
            expected = [sequential_sum(s.intensity[(s.mz >= mz - half) & (s.mz <= mz + half)]) for s in spectra]
            assert sums[k].tolist() == expected, (level, mode, k)
        shared, one_da = run.xic(targets, da=0.5, ms_level=level, mode=mode)
        assert one_da.tolist() == [run.xic(float(mz), da=0.5, ms_level=level, mode=mode)[1].tolist()
                                   for mz in targets]


def test_target_sequences_of_every_kind_and_their_errors(tmp_path):
    run = morvane.open(generated_run(tmp_path, 3))
    rt, reference = run.xic([150.0, 200.0], da=1.0)
    for targets in ((150.0, 200.0), np.array([150.0, 200.0], dtype=np.float32), [np.float64(150.0), 200]):
        assert run.xic(targets, da=1.0)[1].tolist() == reference.tolist()
    assert run.xic([], da=1.0)[1].shape == (0, rt.size)
    bad = [
        ({"ppm": [1.0, 2.0, 3.0]}, ValueError, "3 tolerances for 2 targets"),
        ({"ppm": [1.0, -2.0]}, ValueError, "negative"),
        ({"da": [1.0, float("nan")]}, ValueError, "negative or NaN"),
        ({"ppm": 1.0, "da": 1.0}, TypeError, "exactly one"),
        ({}, TypeError, "exactly one"),
        ({"da": "wide"}, TypeError, "numbers"),
    ]
    for kwargs, error, message in bad:
        with pytest.raises(error, match=message):
            run.xic([150.0, 200.0], **kwargs)
    with pytest.raises(ValueError, match="finite"):
        run.xic([150.0, float("inf")], da=1.0)


# Target tables -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def varied(tmp_path_factory):
    return morvane.open(generated_run(tmp_path_factory.mktemp("varied"), 5))


def long_form_by_name(table) -> dict[str, tuple[list[float], list[float]]]:
    out: dict[str, tuple[list[float], list[float]]] = {}
    for name, rt, value in zip(table.column("name").to_pylist(), table.column("rt").to_pylist(),
                               table.column("intensity").to_pylist(), strict=True):
        out.setdefault(name, ([], []))
        out[name][0].append(rt)
        out[name][1].append(value)
    return out


@pytest.mark.parametrize("seed", SEEDS)
def test_extract_equals_xic_within_each_window(tmp_path, seed):
    pa = pytest.importorskip("pyarrow")
    rng = random.Random(2000 + seed)
    run = morvane.open(generated_run(tmp_path, seed))
    times = run.scans.rt
    rows = []
    for k, mz in enumerate(draw_targets(rng, run, 12)):
        start, end = sorted(rng.choice(times.tolist()) + rng.uniform(-1, 1) for _ in range(2))
        window = rng.choice([(None, None), (start, end), (start, None), (None, end)])
        level = rng.choice([None, 1, 1, 2])
        rows.append({"name": f"t{k}", "mz": float(mz), "ppm": rng.choice([5.0, 50.0]) if k % 2 else None,
                     "da": None if k % 2 else 0.2, "rt_start": window[0], "rt_end": window[1], "ms_level": level})
    selectable = [r for r in rows if ((times >= (r["rt_start"] or -np.inf)) & (times <= (r["rt_end"] or np.inf))
                                       & (run.scans.ms_level == (r["ms_level"] or 1))).any()]
    if not selectable:
        pytest.skip("no target window holds a spectrum")
    for mode in ("auto", "pick"):
        table = run.extract(pa.Table.from_pylist(selectable), mode=mode)
        assert table.column_names == ["name", "rt", "intensity"]
        traces = long_form_by_name(table)
        assert list(traces) == [r["name"] for r in selectable]  # table order
        for r in selectable:
            tolerance = {"ppm": r["ppm"]} if r["ppm"] is not None else {"da": r["da"]}
            window = (r["rt_start"] if r["rt_start"] is not None else -np.inf,
                      r["rt_end"] if r["rt_end"] is not None else np.inf)
            rt, values = run.xic(r["mz"], ms_level=r["ms_level"] or 1, rt=window, mode=mode, **tolerance)
            assert traces[r["name"]] == (rt.tolist(), values.tolist()), r


def test_extract_accepts_pandas_polars_and_dicts(varied):
    pa = pytest.importorskip("pyarrow")
    columns = {"name": ["a", "b"], "mz": [150.0, 200.0], "ppm": [20.0, 20.0]}
    reference = varied.extract(pa.table(columns))
    assert reference.num_rows == 2 * int((varied.scans.ms_level == 1).sum())
    tables = [columns]
    try:
        import pandas
        tables.append(pandas.DataFrame(columns))
    except ImportError:
        pass
    try:
        import polars
        tables.append(polars.DataFrame(columns))
    except ImportError:
        pass
    for table in tables:
        assert varied.extract(table).equals(reference), type(table)


def test_rt_windows_prune_what_is_decoded(tmp_path):
    """A target whose window leaves out a damaged scan extracts; one whose
    window holds it fails at that scan, or leaves it out with errors="skip"."""
    from datafolder.run import Fault, cut_tail
    from runs import profile
    builder = RunBuilder()
    for i in range(5):
        fault = Fault(transform=cut_tail(9)) if i == 3 else None
        builder.add_scan(1.0 + i / 60, profile=profile(1.0e4 + i), profile_fault=fault)
    run = morvane.open(builder.build(tmp_path / "damaged.d").path)
    times = run.scans.rt.tolist()
    early = {"name": ["early"], "mz": [200.0], "da": [50.0], "rt_start": [times[0]], "rt_end": [times[2]]}
    table = run.extract(early)
    assert table.column("rt").to_pylist() == times[:3]
    everything = {"name": ["all"], "mz": [200.0], "da": [50.0]}
    with pytest.raises(morvane.FormatError):
        run.extract(everything)
    skipped = run.extract(everything, errors="skip")
    assert skipped.column("rt").to_pylist() == times[:3] + times[4:]
    assert [index for index, _ in run.skipped] == [3]


@pytest.mark.parametrize(("columns", "message"), [
    ({"name": ["a"], "mz": [150.0], "ppm": [5.0], "rt_stop": [3.0]}, r"unknown column\(s\) 'rt_stop'"),
    ({"mz": [150.0], "ppm": [5.0]}, r"missing column\(s\) 'name'"),
    ({"name": ["a"], "mz": [150.0]}, "needs a 'ppm' or a 'da' column"),
    ({"name": [], "mz": [], "ppm": []}, "no rows"),
    ({"name": ["a", ""], "mz": [150.0, 160.0], "ppm": [5.0, 5.0]}, "target row 2: name must be a non-empty"),
    ({"name": ["a", "a"], "mz": [150.0, 160.0], "ppm": [5.0, 5.0]}, "row 2 \\('a'\\): the name is already that of row 1"),
    ({"name": ["a", "b"], "mz": [150.0, -1.0], "ppm": [5.0, 5.0]}, "row 2 \\('b'\\): mz must be a positive number"),
    ({"name": ["a", "b"], "mz": [150.0, None], "ppm": [5.0, 5.0]}, "row 2 \\('b'\\): mz must be a positive number"),
    ({"name": ["a"], "mz": ["150"], "ppm": [5.0]}, "row 1 \\('a'\\): mz must be a number"),
    ({"name": ["a", "b"], "mz": [150.0, 160.0], "ppm": [5.0, None], "da": [None, None]},
     "row 2 \\('b'\\): give exactly one of ppm and da"),
    ({"name": ["a"], "mz": [150.0], "ppm": [5.0], "da": [0.1]}, "row 1 \\('a'\\): give exactly one"),
    ({"name": ["a"], "mz": [150.0], "ppm": [-5.0]}, "row 1 \\('a'\\): the tolerance must be a non-negative"),
    ({"name": ["a"], "mz": [150.0], "ppm": [5.0], "rt_start": [40.0], "rt_end": [30.0]},
     "row 1 \\('a'\\): rt_start 40.0 is after rt_end 30.0"),
    ({"name": ["a"], "mz": [150.0], "ppm": [5.0], "ms_level": [1.5]}, "row 1 \\('a'\\): ms_level must be"),
    ({"name": ["a", "b"], "mz": [150.0, 160.0], "ppm": [5.0, 5.0], "rt_start": [None, 1e6]},
     "row 2 \\('b'\\): no MS1 spectrum in rt 1e\\+06 to inf s"),
    ({"name": ["a"], "mz": [150.0], "ppm": [5.0], "ms_level": [7]}, "row 1 \\('a'\\): no MS7 spectrum .* none at all"),
])
def test_malformed_target_tables_name_the_row(varied, columns, message):
    pytest.importorskip("pyarrow")
    with pytest.raises(ValueError, match=message):
        varied.extract(columns)


def test_extract_refuses_what_is_not_a_table(varied):
    pytest.importorskip("pyarrow")
    with pytest.raises(TypeError, match="targets must be"):
        varied.extract([("a", 150.0, 5.0)])


# MRM channels ----------------------------------------------------------------------------

def mrm_run(path, seed: int):
    """A triple-quadrupole run: cycles over channels of one product m/z each
    (channel 3's changes halfway), one or two points a scan, and scans
    that are not MRM scans (MS1 rows that name a channel)."""
    rng = random.Random(seed)
    builder = RunBuilder(stride=rng.choice([196, 186]))
    # (The collision energies given are not stored: these layouts have no field for them.)
    channels = {c: (round(rng.uniform(100, 900), 3), float(rng.choice([10, 15, 25]))) for c in (1, 2, 3, 9)}
    cycles = rng.randint(2, 12)
    minute = 0.2
    for cycle in range(cycles):
        for channel, (product, energy) in channels.items():
            if rng.random() < 0.15:
                builder.add_scan(minute, centroid=Centroid([product], [1.0], format_id=3), mrm_channel_id=channel)
            mz = product + (0.5 if channel == 3 and cycle >= cycles // 2 else 0.0)
            points = [mz] if rng.random() < 0.8 else [mz, mz + 1.0]
            builder.add_scan(minute + 0.001, ms_level=2, collision_energy=energy, mrm_channel_id=channel,
                             ion_polarity=0 if channel != 9 else 1,
                             centroid=Centroid(points, [round(rng.uniform(0, 1e5), 1) for _ in points],
                                               format_id=3))
            minute += 0.002
    return builder.build(path / f"mrm{seed}.d").path


@pytest.mark.parametrize("seed", range(6))
def test_transitions_match_the_spectra(tmp_path, seed):
    pytest.importorskip("pyarrow")
    import karvel
    path = mrm_run(tmp_path, seed)
    run = morvane.open(path)
    table = run.transitions()
    assert table.column_names == ["channel", "rt", "mz", "intensity", "collision_energy", "polarity",
                                  "spectrum_index"]
    assert [str(t) for t in table.schema.types] == ["uint32", "double", "double", "float", "double", "int8",
                                                   "uint32"]
    reader = karvel.RawReader(str(path))
    expected = []
    for spectrum in (reader.read_spectrum(i) for i in range(reader.scan_count)):
        precursor = spectrum.precursor or {}
        channel = (precursor.get("precursor_native_id") or "").removeprefix("mrm_channel=")
        if not channel:
            continue
        for mz, intensity in zip(spectrum.mz, spectrum.intensity, strict=True):
            expected.append({"channel": int(channel), "rt": spectrum.retention_time_sec, "mz": mz,
                             "intensity": intensity, "collision_energy": precursor.get("collision_energy"),
                             "polarity": {"positive": 1, "negative": -1}.get(spectrum.polarity, 0),
                             "spectrum_index": spectrum.index})
    assert table.to_pylist() == expected

    traces = run.channel_chromatograms()
    assert [t.channel for t in traces] == sorted({row["channel"] for row in expected})
    for trace in traces:
        rows = [row for row in expected if row["channel"] == trace.channel]
        by_scan: dict[int, list[dict]] = {}
        for row in rows:
            by_scan.setdefault(row["spectrum_index"], []).append(row)
        assert trace.rt.tolist() == [points[0]["rt"] for points in by_scan.values()]
        assert trace.intensity.tolist() == [sum(float(p["intensity"]) for p in points) for points in by_scan.values()]
        products = {row["mz"] for row in rows}
        assert trace.product_mz == (products.pop() if len(products) == 1 else None)
        assert trace.collision_energy == rows[0]["collision_energy"]
        assert trace.polarity == (-1 if trace.channel == 9 else 1)
        assert trace.native_id == f"mrm_channel={trace.channel}"


def test_a_run_without_mrm_scans_has_no_transitions(varied):
    pytest.importorskip("pyarrow")
    assert varied.transitions().num_rows == 0
    assert varied.channel_chromatograms() == []


@pytest.mark.parametrize("seed", range(4))
def test_the_parquet_chromatogram_table_is_the_channel_chromatograms(tmp_path, seed):
    parquet = pytest.importorskip("pyarrow.parquet")
    import karvel_cli
    path = mrm_run(tmp_path, seed)
    traces = morvane.open(path).channel_chromatograms()
    out = tmp_path / "out"
    table_path = out / f"mrm{seed}.chromatograms.parquet"

    def convert(*argv: str) -> dict[str, list]:
        assert karvel_cli.main(["convert", str(path), "-o", str(out), "--to", "parquet", "-q", *argv]) == 0
        return parquet.read_table(table_path).to_pydict() if table_path.exists() else {}

    table = convert()
    expected: dict[str, list] = {name: [] for name in table}
    for trace in traces:
        for rt, value in zip(trace.rt.tolist(), trace.intensity.tolist(), strict=True):
            for name, item in (("native_id", trace.native_id), ("channel", trace.channel), ("rt", rt),
                               ("intensity", value), ("product_mz", trace.product_mz),
                               ("collision_energy", trace.collision_energy), ("polarity", trace.polarity)):
                expected[name].append(item)
    assert list(expected) == ["native_id", "channel", "rt", "intensity", "product_mz", "collision_energy",
                              "polarity"]
    assert table == expected
    # Only the channels of the spectra written; --no-srm: none, and the earlier table goes.
    late = float(np.median([rt for trace in traces for rt in trace.rt]))
    table = convert("--rt", f"{late}:")
    assert {(n, rt) for n, rt in zip(table["native_id"], table["rt"], strict=True)} == \
        {(t.native_id, rt) for t in traces for rt in t.rt.tolist() if rt >= late}
    assert convert("--no-srm") == {}
    assert (out / f"mrm{seed}.parquet").exists()


@pytest.mark.parametrize("seed", range(3))
def test_channel_chromatograms_in_mzml_load_in_pyopenms(tmp_path, seed):
    pyopenms = pytest.importorskip("pyopenms")
    pytest.importorskip("pyarrow")
    run = morvane.open(mrm_run(tmp_path, seed))
    traces = run.channel_chromatograms()
    ms1 = bool((run.scans.ms_level == 1).any())
    srm_type = pyopenms.ChromatogramSettings.ChromatogramType.SELECTED_REACTION_MONITORING_CHROMATOGRAM
    for srm, expected_count in ((True, len(traces)), (False, 0)):
        out = tmp_path / f"srm{srm}.mzML"
        run.to_mzml(out, srm=srm)
        experiment = pyopenms.MSExperiment()
        pyopenms.MzMLFile().load(str(out), experiment)
        chromatograms = experiment.getChromatograms()
        assert len(chromatograms) == expected_count + (2 if ms1 else 0)
        reactions = [c for c in chromatograms if c.getChromatogramType() == srm_type]
        assert len(reactions) == expected_count
        for chromatogram, trace in zip(reactions, traces, strict=False):
            assert chromatogram.getNativeID() == f"mrm_channel={trace.channel}"
            rt, intensity = chromatogram.get_peaks()
            assert rt.tolist() == trace.rt.tolist()
            assert intensity.tolist() == trace.intensity.astype(np.float32).tolist()
            assert chromatogram.getProduct().getMZ() == (trace.product_mz or 0.0)
            # Quadrupole scan tables hold no collision energy: none written.
            assert trace.collision_energy is None
            assert chromatogram.getPrecursor().getActivationEnergy() == 0.0

    # Only the channels of the spectra written.
    late = float(np.median(run.scans.rt))
    out = tmp_path / "late.mzML"
    run.to_mzml(out, rt=(late, np.inf))
    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(str(out), experiment)
    written = {c.getNativeID(): c.get_peaks()[0].tolist() for c in experiment.getChromatograms()
               if c.getChromatogramType() == srm_type}
    assert written == {t.native_id: t.rt[t.rt >= late].tolist() for t in traces if (t.rt >= late).any()}


@pytest.mark.parametrize("call", ["run.transitions()",
                                  "run.extract(pyarrow.csv.read_csv(io.BytesIO(b'name,mz,da\\nA,500,100\\n')))"])
def test_arrow_results_leave_pandas_unimported(tmp_path, call):
    """pyarrow.array() imports pandas where it is installed: half a second
    on a first call that needs nothing of it."""
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    path = mrm_run(tmp_path, 0) if "transitions" in call else generated_run(tmp_path, 5)
    code = (f"import io, sys, morvane, pyarrow.csv\nrun = morvane.open({str(path)!r})\n"
            f"assert {call}.num_rows > 0\nassert 'pandas' not in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)
