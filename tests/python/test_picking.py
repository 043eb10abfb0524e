"""Peak picking where it is offered: the block modes of morvane (stored,
pick, pick-all, limited to MS levels), picked spectra at the true centres of
the synthetic peaks, mzML (centroid spectra, the peak picking step),
Parquet, karvel convert's options, and the threads."""

from __future__ import annotations

import re

import numpy as np
import pytest

import karvel_cli
import morvane
from datafolder.run import Centroid, Profile, RunBuilder
from datafolder.synth import STANDARD_CALIBRATION, gaussian_intensities

from mzml_checks import psims_problems

X0, DX, POINTS = 40000.0, 0.1, 3000
# Peak centres (point positions), heights and widths (points) of every profile.
PEAKS = [(300.3, 5.0e4, 2.0), (1200.71, 2.0e4, 2.6), (2500.5, 8.0e4, 1.7)]
STORED = 5  # points of each stored centroid block


def stored_centroid() -> Centroid:
    mzs = [300.0 + 50.0 * i for i in range(STORED)]
    return Centroid([STANDARD_CALIBRATION.flight_time(mz) for mz in mzs], [1000.0] * STORED)


def profile() -> Profile:
    return Profile(X0, DX, gaussian_intensities(POINTS, PEAKS))


@pytest.fixture(scope="module")
def run_path(tmp_path_factory):
    """0: MS1 profile and stored centroids; 1: MS1 profile only; 2: MS2
    centroids only; 3: MS2 profile only."""
    builder = RunBuilder(stride=284)
    builder.add_scan(0.50, profile=profile(), centroid=stored_centroid())
    builder.add_scan(0.51, profile=profile())
    builder.add_scan(0.52, ms_level=2, target_mz=500.0, collision_energy=20.0, centroid=stored_centroid())
    builder.add_scan(0.53, ms_level=2, target_mz=600.0, collision_energy=20.0, profile=profile())
    return builder.build(tmp_path_factory.mktemp("picking") / "picking.d").path


# What each scan's spectrum is: "profile", "stored" or "picked".
MODES = [
    ("auto", None, ["profile", "profile", "stored", "profile"]),
    ("centroid", None, ["stored", "profile", "stored", "profile"]),
    ("stored", None, ["stored", "profile", "stored", "profile"]),
    ("pick", None, ["stored", "picked", "stored", "picked"]),
    ("pick-all", None, ["picked", "picked", "stored", "picked"]),
    ("pick", 1, ["stored", "picked", "stored", "profile"]),
    ("pick-all", (2, None), ["profile", "profile", "stored", "picked"]),
    ("pick-all", (1, 2), ["picked", "picked", "stored", "picked"]),
    ("stored", (2, 2), ["profile", "profile", "stored", "profile"]),
]


def kind_of(spectrum) -> str:
    if spectrum.mode == "profile":
        assert len(spectrum) == POINTS
        return "profile"
    return "stored" if len(spectrum) == STORED else "picked"


class TestModes:
    @pytest.mark.parametrize("mode, levels, kinds", MODES)
    def test_each_scan_reads_the_block_its_mode_chooses(self, run_path, mode, levels, kinds):
        run = morvane.open(run_path)
        table = run.peaks(mode=mode, centroid_ms_levels=levels, metadata=True)
        import pyarrow

        rows = pyarrow.table(table)
        counts = np.bincount(rows["spectrum_index"].to_numpy(), minlength=4)
        expected = {"profile": POINTS, "stored": STORED, "picked": len(PEAKS)}
        assert counts.tolist() == [expected[k] for k in kinds]
        if levels is None:
            assert [kind_of(s) for s in run.spectra(mode=mode)] == kinds
            assert [kind_of(run.spectrum(i, mode=mode)) for i in range(4)] == kinds

    def test_picked_peaks_sit_at_the_true_centres(self, run_path):
        run = morvane.open(run_path)
        spectrum = run.spectrum(1, mode="pick")
        assert spectrum.mode == "centroid"
        true_mz = np.array([STANDARD_CALIBRATION.mz(X0 + centre * DX) for centre, _, _ in PEAKS])
        assert np.abs(spectrum.mz - true_mz).max() / true_mz.max() * 1e6 < 0.01
        heights = np.array([height for _, height, _ in PEAKS])
        assert np.allclose(spectrum.intensity, heights, rtol=1e-4)
        # The scan table's fields stay those of the scan.
        assert (spectrum.rt, spectrum.ms_level, spectrum.tic) == (run[1].rt, run[1].ms_level, run[1].tic)

    @pytest.mark.parametrize("threads", [1, 2, 4])
    def test_threads_pick_the_same(self, run_path, threads):
        run = morvane.open(run_path)
        one = [(s.mz.copy(), s.intensity.copy()) for s in run.spectra(mode="pick-all", threads=1)]
        many = [(s.mz, s.intensity) for s in run.spectra(mode="pick-all", threads=threads)]
        for (mz, intensity), (mz2, intensity2) in zip(one, many, strict=True):
            assert np.array_equal(mz, mz2) and np.array_equal(intensity, intensity2)

    @pytest.mark.parametrize("call", [
        lambda run: run.spectrum(0, mode="picked"),
        lambda run: list(run.spectra(mode="centroids")),
        lambda run: run.spectrum(0, mode="pick", snr=-1),
        lambda run: run.spectrum(0, mode="pick", snr=float("nan")),
        lambda run: run.peaks(mode="pick", centroid_ms_levels=(2, 1)),
        lambda run: run.peaks(mode="pick", centroid_ms_levels="1-"),
        lambda run: run[1].centroided(snr=-0.5),
    ])
    def test_wrong_arguments_are_value_errors(self, run_path, call):
        with pytest.raises(ValueError):
            call(morvane.open(run_path))

    def test_pick_peaks_on_arrays_is_the_spectrum_picker(self, run_path):
        profile_spectrum = morvane.open(run_path)[1]
        mz, intensity = morvane.pick_peaks(profile_spectrum.mz.tolist(), profile_spectrum.intensity)
        picked = profile_spectrum.centroided()
        assert mz.dtype == np.float64 and intensity.dtype == np.float32
        assert np.array_equal(mz, picked.mz) and np.array_equal(intensity, picked.intensity)

    @pytest.mark.parametrize("baseline", [0.0, 20.0])
    def test_spikes_are_dropped_unless_kept(self, run_path, baseline):
        profile_spectrum = morvane.open(run_path)[1]
        intensity = profile_spectrum.intensity + np.float32(baseline)
        intensity[2000] += 1e5
        mz = profile_spectrum.mz
        default = morvane.pick_peaks(mz, intensity)[0]
        kept = morvane.pick_peaks(mz, intensity, keep_spikes=True)[0]
        assert len(default) == len(PEAKS)
        assert len(kept) == len(PEAKS) + 1
        assert np.min(np.abs(kept - mz[2000])) < 1e-3 * (mz[2001] - mz[2000]) + abs(mz[2001] - mz[2000])

    @pytest.mark.parametrize("call", [
        lambda: morvane.pick_peaks([1.0, 2.0], [1.0, 2.0], snr=-1),
        lambda: morvane.pick_peaks([1.0, 2.0], [1.0, 2.0], snr=float("inf")),
        lambda: morvane.pick_peaks([1.0, 2.0], [1.0, 2.0], snr=True),
    ])
    def test_pick_peaks_wrong_arguments(self, call):
        with pytest.raises(ValueError):
            call()

    def test_threshold_drops_baseline_maxima(self, tmp_path):
        builder = RunBuilder(stride=284)
        rng = np.random.default_rng(3)
        noisy = (rng.integers(0, 40, POINTS) + np.array(gaussian_intensities(POINTS, PEAKS))).tolist()
        builder.add_scan(0.5, profile=Profile(X0, DX, noisy))
        run = morvane.open(builder.build(tmp_path / "noisy.d").path)
        assert len(run.spectrum(0, mode="pick")) == len(PEAKS)
        everything = run.spectrum(0, mode="pick", snr=0)
        assert len(everything) > 10 * len(PEAKS)
        assert len(run[0].centroided(snr=0)) == len(everything)
        assert len(run[0].centroided()) == len(PEAKS)


class TestOutputs:
    def test_mzml_has_centroid_spectra_and_the_peak_picking_step(self, run_path, tmp_path):
        run = morvane.open(run_path)
        out = tmp_path / "picked.mzML"
        run.to_mzml(out, mode="pick", centroid_ms_levels=(1, None), snr=2.5)
        text = out.read_text()
        assert psims_problems(out) == []
        processing = text[text.index("<dataProcessingList"):text.index("</dataProcessingList>")]
        assert 'accession="MS:1000035"' in processing
        assert re.search(r'name="peak picking signal-to-noise threshold" value="2.5"', processing)
        assert re.search(r'name="peak picking mode" value="pick"', processing)
        assert re.search(r'name="peak picking ms levels" value="1-"', processing)
        assert 'name="peak picking single-point spikes" value="dropped"' in processing
        kept = tmp_path / "kept.mzML"
        run.to_mzml(kept, mode="pick", keep_spikes=True)
        assert 'name="peak picking single-point spikes" value="kept"' in kept.read_text()
        spectra = text.split("<spectrum ")[1:]
        kinds = ["MS:1000127" if k != "profile" else "MS:1000128" for k in ["stored", "picked", "stored", "picked"]]
        for spectrum, accession in zip(spectra, kinds, strict=True):
            assert f'accession="{accession}"' in spectrum
        plain = tmp_path / "plain.mzML"
        run.to_mzml(plain, mode="stored")
        assert "MS:1000035" not in plain.read_text()

    def test_mzml_arrays_are_the_picked_spectra(self, run_path, tmp_path):
        pyteomics = pytest.importorskip("pyteomics.mzml")
        run = morvane.open(run_path)
        out = tmp_path / "picked.mzML"
        run.to_mzml(out, mode="pick-all")
        with pyteomics.MzML(str(out), use_index=False) as reader:
            written = [(s["m/z array"], s["intensity array"]) for s in reader]
        for (mz, intensity), spectrum in zip(written, run.spectra(mode="pick-all"), strict=True):
            assert np.array_equal(mz, spectrum.mz) and np.array_equal(intensity, spectrum.intensity)

    def test_parquet_rows_are_the_picked_spectra(self, run_path, tmp_path):
        parquet = pytest.importorskip("pyarrow.parquet")
        run = morvane.open(run_path)
        out = tmp_path / "picked.parquet"
        run.to_parquet(out, mode="pick")
        table = parquet.read_table(out)
        spectra = list(run.spectra(mode="pick"))
        assert np.array_equal(table["mz"].to_numpy(), np.concatenate([s.mz for s in spectra]))
        assert np.array_equal(table["intensity"].to_numpy(), np.concatenate([s.intensity for s in spectra]))


CLI_CASES = [
    (["--centroid", "pick"], {"mode": "pick"}),
    (["--centroid", "pick-all", "--centroid-ms-levels", "2"], {"mode": "pick-all", "centroid_ms_levels": (2, 2)}),
    (["--centroid", "pick", "--centroid-ms-levels", "1-"], {"mode": "pick", "centroid_ms_levels": (1, None)}),
    (["--centroid"], {"mode": "pick"}),
    (["--centroid", "stored"], {"mode": "stored"}),
    (["--centroid", "--numpress-mz", "linear"], {"mode": "pick", "numpress_mz": "linear"}),
    (["--centroid", "pick-all", "--keep-spikes"], {"mode": "pick-all", "keep_spikes": True}),
]


@pytest.mark.parametrize("argv, options", CLI_CASES)
def test_convert_options_reach_the_writer(run_path, tmp_path, capsys, argv, options):
    # The run after the options: a bare --centroid does not take it.
    status = karvel_cli.main(["convert", "-o", str(tmp_path / "cli"), "-q", *argv, str(run_path)])
    capsys.readouterr()
    assert status == 0
    direct = tmp_path / "direct.mzML"
    morvane.open(run_path).to_mzml(direct, **options)
    assert (tmp_path / "cli" / "picking.mzML").read_bytes() == direct.read_bytes()


@pytest.mark.parametrize("argv", [["--centroid-ms-levels", "0-"], ["--centroid-ms-levels", "2-1"],
                                  ["--centroid-ms-levels", "x"], ["--centroid", "pick", "--to", "parquet",
                                                                  "--numpress-mz", "linear"]])
def test_convert_refuses_wrong_options(run_path, tmp_path, capsys, argv):
    with pytest.raises(SystemExit) as exit_info:
        karvel_cli.main(["convert", str(run_path), "-o", str(tmp_path), *argv])
    assert exit_info.value.code == 2
    capsys.readouterr()


# A request for centroids never writes a profile spectrum: the bare flag
# picks what the run does not store; only an explicit "stored" keeps profiles.
BARE_CASES = [
    (["--centroid"], {"centroid"}),
    (["--centroid", "pick-all"], {"centroid"}),
    (["--centroid", "stored"], {"centroid", "profile"}),
    ([], {"centroid", "profile"}),
]


@pytest.mark.parametrize("argv, kinds", BARE_CASES)
def test_a_request_for_centroids_gives_centroids(run_path, tmp_path, capsys, argv, kinds):
    assert karvel_cli.main(["convert", str(run_path), "-o", str(tmp_path), "-q", *argv]) == 0
    capsys.readouterr()
    text = next(tmp_path.glob("*.mzML")).read_text()
    written = {kind for kind, term in (("centroid", "MS:1000127"), ("profile", "MS:1000128"))
               if f'accession="{term}"' in text}
    assert written == kinds


SPIKE = 2000  # a single-point spike in every profile of the spiky run


@pytest.fixture(scope="module")
def spiky_path(tmp_path_factory):
    values = gaussian_intensities(POINTS, PEAKS)
    values[SPIKE] += 100_000
    builder = RunBuilder(stride=284)
    builder.add_scan(0.50, profile=Profile(X0, DX, values))
    builder.add_scan(0.51, ms_level=2, target_mz=600.0, collision_energy=20.0, profile=Profile(X0, DX, values))
    return builder.build(tmp_path_factory.mktemp("spiky") / "spiky.d").path


def mzml_counts(run, out, **options):
    pyteomics = pytest.importorskip("pyteomics.mzml")
    run.to_mzml(out / "spiky.mzML", mode="pick-all", **options)
    with pyteomics.MzML(str(out / "spiky.mzML"), use_index=False) as reader:
        return [len(s["m/z array"]) for s in reader]


def parquet_counts(run, out, **options):
    parquet = pytest.importorskip("pyarrow.parquet")
    run.to_parquet(out / "spiky.parquet", mode="pick-all", **options)
    index = parquet.read_table(out / "spiky.parquet")["spectrum_index"].to_numpy()
    return np.bincount(index, minlength=len(run)).tolist()


# Every way to pick: the peak count of each spectrum.
PICKING_ROUTES = {
    "spectrum": lambda run, out, **o: [len(run.spectrum(i, mode="pick-all", **o)) for i in range(len(run))],
    "spectra": lambda run, out, **o: [len(s) for s in run.spectra(mode="pick-all", **o)],
    "peaks": lambda run, out, **o: np.bincount(
        __import__("pyarrow").table(run.peaks(mode="pick-all", **o))["spectrum_index"].to_numpy(),
        minlength=len(run)).tolist(),
    "centroided": lambda run, out, **o: [len(run[i].centroided(**o)) for i in range(len(run))],
    "to_mzml": mzml_counts,
    "to_parquet": parquet_counts,
}


@pytest.mark.parametrize("route", sorted(PICKING_ROUTES))
def test_spikes_are_dropped_unless_kept_on_every_route(spiky_path, tmp_path, route):
    if route in ("peaks", "to_parquet"):
        pytest.importorskip("pyarrow")
    run = morvane.open(spiky_path)
    pick = PICKING_ROUTES[route]
    assert pick(run, tmp_path) == [len(PEAKS)] * len(run)
    assert pick(run, tmp_path, keep_spikes=True) == [len(PEAKS) + 1] * len(run)


def test_convert_keep_spikes_keeps_them(spiky_path, tmp_path, capsys):
    pyteomics = pytest.importorskip("pyteomics.mzml")
    for argv, expected in ((["--centroid", "pick-all"], len(PEAKS)),
                           (["--centroid", "pick-all", "--keep-spikes"], len(PEAKS) + 1)):
        out = tmp_path / str(len(argv))
        assert karvel_cli.main(["convert", "-o", str(out), "-q", *argv, str(spiky_path)]) == 0
        capsys.readouterr()
        with pyteomics.MzML(str(out / "spiky.mzML"), use_index=False) as reader:
            assert [len(s["m/z array"]) for s in reader] == [expected, expected]
