"""Converted runs loaded by every mzML consumer we know of.

A case is drawn from a seed: a synthetic run (layout, scans of every kind,
odd values) and the conversion options (one choice per row of `OPTIONS`).
The run is converted with `Run.to_mzml`, and each consumer in `CONSUMERS`
loads the whole file, binary arrays included (OpenMS FileInfo -v validates
it instead). Every array a consumer returns must equal morvane's own: bit
for bit where the option is lossless (NaNs in the same places), within the
option's tolerance where it is not. Failures that a known fault of the
writer explains (`KNOWN_FAULTS`) are reported apart from new ones.

New output options join as rows of `OPTIONS`; new consumers as entries of
`CONSUMERS`.
"""

from __future__ import annotations

import base64
import contextlib
import io
import math
import random
import re
import shutil
import subprocess
import sys
import warnings
import zlib
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

# Also run as a script: the run writer sits one level up.
HERE = Path(__file__).resolve().parent
for folder in (HERE, HERE.parent):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

from datafolder.calibration import f32  # noqa: E402
from datafolder.run import BuiltRun, Centroid, Profile, RunBuilder  # noqa: E402
from datafolder.synth import STANDARD_CALIBRATION, STANDARD_DX, STANDARD_X0, random_profile  # noqa: E402

import morvane  # noqa: E402

# Float32 intensities that readers tend to get wrong.
SPECIAL_INTENSITIES = (math.nan, math.inf, -math.inf, 1.0e-45, 1.2e-40, -0.0, 0.0, 3.4028234663852886e38,
                       -1.5e4, 1.0)
# Summary values of the scan table that the writer copies into cvParams.
HUGE_VALUES = (1.0e308, -1.0e308, math.inf, -math.inf, math.nan, 5.0e-324, -0.0, 1.7976931348623157e308)
SCAN_KINDS_TOF = ("empty", "profile_lzf", "profile_rle", "profile_none", "profile_one", "centroid_f2",
                  "centroid_f3", "centroid_none", "centroid_one", "special", "both")
SCAN_KINDS_QUADRUPOLE = ("empty", "centroid_f3", "centroid_none", "centroid_one", "special")


# -- conversion options ------------------------------------------------------------------------

# (relative, absolute) tolerance of a lossy encoding; None: bit for bit.
Tolerance = tuple[float, float] | None


@dataclass(frozen=True)
class Choice:
    """One value of an output option: keyword arguments of `to_mzml`, and
    how closely the m/z and intensity arrays read back must match. A lossy
    encoding joins as, e.g., Choice("numpress", {"numpress": ...},
    mz_tolerance=(0, 5e-7), intensity_tolerance=(2e-4, 0.5))."""

    label: str
    options: dict[str, Any] = field(default_factory=dict)
    mz_tolerance: Tolerance = None
    intensity_tolerance: Tolerance = None


@dataclass(frozen=True)
class Option:
    """A row of the option table: its choices, or a function of the drawn
    run that makes them (filters depend on what the run holds)."""

    name: str
    choices: tuple[Choice, ...] = ()
    from_run: Callable[[random.Random, BuiltRun], Choice] | None = None

    def draw(self, rng: random.Random, run: BuiltRun) -> Choice:
        if self.from_run is not None:
            return self.from_run(rng, run)
        return rng.choice(self.choices)


def _filter(rng: random.Random, run: BuiltRun) -> Choice:
    """No filter, MS levels, an rt window, a window around one scan (keeps
    exactly that one), or a window that keeps nothing."""
    times = [s.retention_time_sec for s in run.spectra]
    kind = rng.choice(("none", "none", "ms_level", "rt", "one", "nothing"))
    if kind == "ms_level":
        levels = sorted({s.ms_level for s in run.spectra})
        kept = sorted(rng.sample(levels, rng.randint(1, len(levels))))
        return Choice(f"ms_level={kept}", {"ms_level": kept})
    if kind == "rt":
        low, high = sorted((rng.choice(times), rng.choice(times)))
        return Choice(f"rt={low:g}:{high:g}", {"rt": (low, high)})
    if kind == "one":
        at = rng.choice(times)
        if times.count(at) == 1:
            return Choice(f"rt={at:g} (one)", {"rt": (at, at)})
    if kind == "nothing":
        return Choice("rt past the end (none)", {"rt": (max(times) + 1.0, max(times) + 2.0)})
    return Choice("all")


OPTIONS: tuple[Option, ...] = (
    Option("mode", (Choice("auto"), Choice("centroid", {"mode": "centroid"}))),
    Option("zlib", (Choice("zlib"), Choice("no zlib", {"zlib": False}))),
    Option("intensity_bits", (Choice("32-bit"), Choice("64-bit", {"intensity_bits": 64}))),
    Option("threads", (Choice("threads=1", {"threads": 1}), Choice("threads=2", {"threads": 2}))),
    Option("filter", from_run=_filter),
    # Linear m/z within 0.1 ppm of a spectrum's largest m/z (a few 1e-4 here);
    # slof within about 7e-4 of (intensity + 1); pic to the nearest integer.
    Option("numpress", (
        Choice("no numpress"),
        Choice("numpress linear+slof", {"numpress_mz": "linear", "numpress_intensity": "slof"},
               mz_tolerance=(1e-7, 5e-4), intensity_tolerance=(1e-3, 1e-3)),
        Choice("numpress linear+pic", {"numpress_mz": "linear", "numpress_intensity": "pic"},
               mz_tolerance=(1e-7, 5e-4), intensity_tolerance=(0.0, 0.5)),
    )),
)


# -- drawn runs --------------------------------------------------------------------------------

@dataclass
class Case:
    seed: int
    stride: int
    scans: list[str]
    choices: list[Choice]
    run: BuiltRun | None = None

    @property
    def options(self) -> dict[str, Any]:
        merged: dict[str, Any] = {}
        for choice in self.choices:
            merged.update(choice.options)
        return merged

    def tolerance(self, array: str) -> Tolerance:
        """The loosest tolerance the choices allow for this array ("mz" or
        "intensity"); None when every choice is lossless."""
        given = [t for c in self.choices if (t := getattr(c, f"{array}_tolerance")) is not None]
        if not given:
            return None
        return max(t[0] for t in given), max(t[1] for t in given)

    def describe(self) -> str:
        return (f"seed {self.seed}: stride {self.stride}, {len(self.scans)} scans [{', '.join(self.scans)}]; "
                + ", ".join(c.label for c in self.choices))


def _special_intensities(rng: random.Random, count: int) -> list[float]:
    return [rng.choice(SPECIAL_INTENSITIES) for _ in range(count)]


def _mz_values(rng: random.Random, count: int) -> list[float]:
    return sorted(rng.uniform(100.0, 1400.0) for _ in range(count))


def _centroid(rng: random.Random, format_id: int, count: int, special: bool = False) -> Centroid:
    mzs = _mz_values(rng, count)
    x = mzs if format_id == 3 else [STANDARD_CALIBRATION.flight_time(mz) for mz in mzs]
    heights = _special_intensities(rng, count) if special else [f32(rng.uniform(1.0, 1.0e6)) for _ in mzs]
    return Centroid(x, heights, format_id=format_id)


def _profile(rng: random.Random, encoding: str, points: int) -> Profile:
    intensities = random_profile(rng, points, max(1, points // 80)) if points >= 20 \
        else [rng.randint(0, 50000) for _ in range(points)]
    if intensities and rng.random() < 0.3:
        # Extremes: signed 32-bit ones (LZF), wide run-length items (up to 64 bits).
        extremes = (-(2 ** 31), 2 ** 31 - 1, -1) if encoding == "lzf" else (2 ** 15, 2 ** 31 + 5, 2 ** 62 + 1)
        intensities[rng.randrange(len(intensities))] = rng.choice(extremes)
    return Profile(STANDARD_X0, STANDARD_DX, intensities, encoding=encoding)


def _scan_data(rng: random.Random, kind: str, tof: bool) -> dict[str, Any]:
    """The profile and centroid blocks of one scan of this kind."""
    format_id = rng.choice((2, 3)) if tof else 3
    if kind == "empty":
        return {}
    if kind == "profile_lzf":
        return {"profile": _profile(rng, "lzf", rng.randint(2, 600))}
    if kind == "profile_rle":
        return {"profile": _profile(rng, "run_length", rng.randint(2, 600))}
    if kind == "profile_none":
        return {"profile": _profile(rng, "lzf", 0)}
    if kind == "profile_one":
        return {"profile": _profile(rng, rng.choice(("lzf", "run_length")), 1)}
    if kind == "centroid_f2":
        return {"centroid": _centroid(rng, 2, rng.randint(2, 40))}
    if kind == "centroid_f3":
        return {"centroid": _centroid(rng, 3, rng.randint(2, 40))}
    if kind == "centroid_none":
        return {"centroid": _centroid(rng, format_id, 0)}
    if kind == "centroid_one":
        return {"centroid": _centroid(rng, format_id, 1)}
    if kind == "special":
        return {"centroid": _centroid(rng, format_id, rng.randint(1, 12), special=True)}
    if kind == "both":
        return {"profile": _profile(rng, rng.choice(("lzf", "run_length")), rng.randint(0, 300)),
                "centroid": _centroid(rng, format_id, rng.randint(0, 20), special=rng.random() < 0.3)}
    raise ValueError(f"unknown scan kind {kind!r}")


def _summary(rng: random.Random) -> dict[str, float]:
    """Scan-table summary values replaced by huge or non-finite ones."""
    names = ("tic", "base_peak_mz", "base_peak_intensity", "min_x", "max_x", "target_mz", "collision_energy")
    return {name: rng.choice(HUGE_VALUES) for name in rng.sample(names, rng.randint(1, len(names)))}


def _add_scans(builder: RunBuilder, rng: random.Random, kinds: list[str], tof: bool) -> None:
    minute = rng.uniform(0.0, 30.0)
    for position, kind in enumerate(kinds):
        minute += rng.choice((0.001, 0.01, 0.2))
        # The second record's MS level is what tells the layout apart: keep it 1 or 2.
        level = rng.choice((1, 2)) if position == 1 else rng.choice((0, 1, 1, 2, 2, 3))
        scan: dict[str, Any] = dict(_scan_data(rng, kind, tof), ms_level=level,
                                    ion_polarity=rng.choice((0, 0, 1, 1, 2)))
        if level >= 2:
            scan.update(target_mz=rng.choice((0.0, round(rng.uniform(100, 1200), 4))),
                        collision_energy=rng.choice((0.0, 10.0, 35.5)))
        if not tof:
            scan["mrm_channel_id"] = rng.randint(0, 5)
        if rng.random() < 0.15:
            scan.update(_summary(rng))
        builder.add_scan(minute, **scan)


def draw_case(seed: int, folder: Path) -> Case:
    """The run and options of one seed, with the run written to folder/run.d."""
    rng = random.Random(seed)
    stride = rng.choice((284, 284, 220, 216, 196, 186))
    tof = stride in (284, 220, 216)
    pool = SCAN_KINDS_TOF if tof else SCAN_KINDS_QUADRUPOLE
    if stride != 284:
        pool = tuple(k for k in pool if k != "both")
    kinds = [rng.choice(pool) for _ in range(rng.choice((1, 1, 2, 3, 5, 8, 13)))]
    # Layout inference may read another stride into some tables: add scans until it does not.
    for extra in range(8):
        builder = RunBuilder(stride=stride)
        _add_scans(builder, random.Random(rng.random()), kinds, tof)
        try:
            run = builder.build(folder / "run.d")
            break
        except ValueError:
            shutil.rmtree(folder / "run.d", ignore_errors=True)
            kinds.append("centroid_one")
    else:
        raise RuntimeError(f"seed {seed}: no scan count gives an unambiguous layout")
    choices = [option.draw(rng, run) for option in OPTIONS]
    return Case(seed, stride, kinds, choices, run)


# -- what morvane holds ------------------------------------------------------------------------

@dataclass
class Arrays:
    native_id: str | None
    mz: np.ndarray
    intensity: np.ndarray


def expected_arrays(case: Case) -> list[Arrays]:
    options = case.options
    selection = {key: options[key] for key in ("ms_level", "rt", "mode") if key in options}
    assert case.run is not None
    with morvane.open(case.run.path) as run:
        return [Arrays(s.native_id, np.array(s.mz), np.array(s.intensity)) for s in run.spectra(**selection)]


def convert(case: Case, out: Path) -> Path:
    assert case.run is not None
    with morvane.open(case.run.path) as run:
        run.to_mzml(out, **case.options)
    return out


# -- comparisons -------------------------------------------------------------------------------

def _bits(values: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(values).view(f"u{values.dtype.itemsize}")


def array_problem(actual: Any, expected: np.ndarray, dtype: type, tolerance: Tolerance = None) -> str | None:
    """Why actual differs from expected (taken as dtype), or None. Without a
    tolerance the bit patterns must be equal, except that any NaN equals any
    NaN; with one, |actual - expected| <= atol + rtol * |expected|."""
    got = np.asarray(actual)
    want = np.asarray(expected).astype(dtype)
    if got.shape != want.shape:
        return f"{got.shape[0] if got.ndim else 0} values, expected {want.shape[0]}"
    if got.dtype != want.dtype and tolerance is None:
        got = got.astype(want.dtype)
    nan_got, nan_want = np.isnan(got), np.isnan(want)
    if not np.array_equal(nan_got, nan_want):
        return f"NaN at {np.flatnonzero(nan_got != nan_want)[:5].tolist()}"
    keep = ~nan_want
    if tolerance is None:
        differ = np.flatnonzero(_bits(got[keep]) != _bits(want[keep]))
    else:
        rtol, atol = tolerance
        differ = np.flatnonzero(~np.isclose(got[keep], want[keep], rtol=rtol, atol=atol))
    if differ.size:
        i = int(differ[0])
        return f"{differ.size} values differ, first {got[keep][i]!r} for {want[keep][i]!r}"
    return None


@dataclass
class Loaded:
    """What a consumer read: the spectra's arrays with their dtypes as the
    consumer keeps them, or only counts when it shows no arrays."""

    spectra: list[Arrays] | None = None
    spectrum_count: int | None = None
    peak_count: int | None = None
    mz_dtype: type = np.float64
    intensity_dtype: type | None = None  # None: as the file holds them


def compare(case: Case, loaded: Loaded, expected: list[Arrays]) -> list[str]:
    problems = []
    bits = case.options.get("intensity_bits", 32)
    file_dtype = np.float64 if bits == 64 else np.float32
    if loaded.spectrum_count is not None and loaded.spectrum_count != len(expected):
        problems.append(f"{loaded.spectrum_count} spectra, expected {len(expected)}")
    if loaded.peak_count is not None:
        peaks = sum(len(e.mz) for e in expected)
        if loaded.peak_count != peaks:
            problems.append(f"{loaded.peak_count} peaks, expected {peaks}")
    if loaded.spectra is None:
        return problems
    if len(loaded.spectra) != len(expected):
        return problems + [f"{len(loaded.spectra)} spectra, expected {len(expected)}"]
    for got, want in zip(loaded.spectra, expected):
        if got.native_id is not None and got.native_id != want.native_id:
            problems.append(f"id {got.native_id!r}, expected {want.native_id!r}")
            continue
        for name, actual, wanted, dtype in (
                ("m/z", got.mz, want.mz, loaded.mz_dtype),
                ("intensity", got.intensity, want.intensity, loaded.intensity_dtype or file_dtype)):
            problem = array_problem(actual, wanted, dtype, case.tolerance("mz" if name == "m/z" else "intensity"))
            if problem:
                problems.append(f"{want.native_id} {name}: {problem}")
    return problems


# -- consumers ---------------------------------------------------------------------------------

_FILEINFO_SPECTRA = re.compile(r"^Number of spectra: (\d+)", re.M)
_FILEINFO_PEAKS = re.compile(r"^Total number of peaks: (\d+)", re.M)
_CHROMATOGRAM = re.compile(rb'<chromatogram [^>]*id="([^"]*)" defaultArrayLength="(\d+)"')


def load_fileinfo(path: Path) -> Loaded:
    """OpenMS FileInfo loads the whole file; it exits 0 even when that
    fails, so its output is searched for errors."""
    done = subprocess.run(["FileInfo", "-in", str(path)], capture_output=True, text=True, timeout=300)
    output = done.stdout + done.stderr
    errors = [line.strip() for line in output.splitlines() if "error" in line.lower()]
    if done.returncode != 0 or errors:
        raise RuntimeError(f"FileInfo exit {done.returncode}: " + "; ".join(errors or output.splitlines()[-3:]))
    spectra, peaks = _FILEINFO_SPECTRA.search(output), _FILEINFO_PEAKS.search(output)
    if spectra is None or peaks is None:
        raise RuntimeError("FileInfo printed no spectrum or peak count")
    # Its peak total counts the points of every chromatogram but the TIC too.
    chromatogram_points = sum(int(n) for id_, n in _CHROMATOGRAM.findall(path.read_bytes()) if id_ != b"TIC")
    return Loaded(spectrum_count=int(spectra.group(1)), peak_count=int(peaks.group(1)) - chromatogram_points)


def load_pyopenms(path: Path) -> Loaded:
    import pyopenms

    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(str(path), experiment)
    spectra = [Arrays(s.getNativeID(), *s.get_peaks()) for s in experiment]
    # OpenMS keeps intensities as float32 whatever the file holds.
    return Loaded(spectra, mz_dtype=np.float64, intensity_dtype=np.float32)


def load_pyopenms_ondisc(path: Path) -> Loaded:
    import pyopenms

    experiment = pyopenms.OnDiscMSExperiment()
    if not experiment.openFile(str(path)):
        raise RuntimeError("OnDiscMSExperiment.openFile failed")
    spectra = []
    for i in range(experiment.getNrSpectra()):
        spectrum = experiment.getSpectrum(i)
        spectra.append(Arrays(spectrum.getNativeID(), *spectrum.get_peaks()))
    return Loaded(spectra, mz_dtype=np.float64, intensity_dtype=np.float32)


def load_pyteomics(path: Path) -> Loaded:
    from pyteomics import mzml

    with warnings.catch_warnings(), mzml.MzML(str(path)) as reader:
        warnings.simplefilter("ignore")
        spectra = [Arrays(s["id"], s["m/z array"], s["intensity array"]) for s in reader]
    return Loaded(spectra)


def load_pymzml(path: Path) -> Loaded:
    import pymzml

    spectra = []
    # pymzml prints every term its vocabulary lacks: keep that out of the report.
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        for s in pymzml.run.Reader(str(path)):
            if isinstance(s, pymzml.spec.Chromatogram):
                continue
            spectra.append(Arrays(None, s.mz, s.i))  # its ids are the scan numbers alone
    # pymzml hands out float64 arrays; they hold the file's values exactly.
    return Loaded(spectra, intensity_dtype=np.float64)


def validate_fileinfo(path: Path) -> Loaded:
    """OpenMS FileInfo -v: the XML schema, then the mapping rules of the
    controlled vocabulary. Reads no arrays."""
    done = subprocess.run(["FileInfo", "-v", "-in", str(path)], capture_output=True, text=True, timeout=300)
    output = done.stdout + done.stderr
    issues = [line.strip() for line in output.splitlines() if re.search(r"error|warning", line, re.I)]
    if done.returncode != 0 or issues or "Success - the file is semantically valid!" not in output:
        raise RuntimeError(f"FileInfo -v exit {done.returncode}: " + "; ".join(issues or output.splitlines()[-3:]))
    return Loaded()


def fileinfo_available() -> bool:
    return shutil.which("FileInfo") is not None


def _importable(name: str) -> Callable[[], bool]:
    def check() -> bool:
        import importlib.util

        return importlib.util.find_spec(name) is not None
    return check


def _without_numpress(options: dict[str, Any]) -> bool:
    return not (options.get("numpress_mz") or options.get("numpress_intensity"))


def _numpress_decodable(options: dict[str, Any]) -> bool:
    """pyteomics decodes MS-Numpress through pynumpress, which not every
    interpreter has."""
    return _without_numpress(options) or _importable("pynumpress")()


@dataclass(frozen=True)
class Consumer:
    """A reader of mzML; `reads` says which conversion options it is given
    (a reader that cannot read a valid encoding from any writer is not
    asked to)."""

    name: str
    load: Callable[[Path], Loaded]
    available: Callable[[], bool]
    reads: Callable[[dict[str, Any]], bool] = lambda options: True


CONSUMERS: tuple[Consumer, ...] = (
    Consumer("FileInfo", load_fileinfo, fileinfo_available),
    Consumer("pyopenms MzMLFile", load_pyopenms, _importable("pyopenms")),
    Consumer("pyopenms OnDisc", load_pyopenms_ondisc, _importable("pyopenms")),
    Consumer("pyteomics", load_pyteomics, _importable("pyteomics"), _numpress_decodable),
    # pymzml's spectrum objects (2.7) decode no numpress array of any
    # writer; test_numpress.py checks its numpress decoder on our arrays.
    Consumer("pymzml", load_pymzml, _importable("pymzml"), _without_numpress),
    Consumer("FileInfo -v", validate_fileinfo, fileinfo_available),
)


def consumer_problems(consumer: Consumer, case: Case, path: Path, expected: list[Arrays]) -> list[str]:
    try:
        loaded = consumer.load(path)
    except Exception as error:  # any failure to load is what we look for
        return [f"load failed: {type(error).__name__}: {str(error)[:300]}"]
    return compare(case, loaded, expected)


# -- faults of ours that are known ------------------------------------------------------------

_SHORT_BINARY = re.compile(rb"<binary>([A-Za-z0-9+/=]{1,40})</binary>")


def holds_empty_zlib_stream(path: Path) -> bool:
    for text in _SHORT_BINARY.findall(path.read_bytes()):
        try:
            if zlib.decompress(base64.b64decode(text)) == b"":
                return True
        except (zlib.error, ValueError):
            continue
    return False


def has_no_spectra(path: Path) -> bool:
    return b'<spectrumList count="0"' in path.read_bytes()


@dataclass(frozen=True)
class KnownFault:
    """A fault of the writer that a consumer reports, known and reported
    until it is fixed: it explains a failure of `consumer` when the file
    shows it and each of the consumer's problems contains `message`."""

    reason: str
    consumer: str
    message: str
    shown_by: Callable[[Path], bool]


KNOWN_FAULTS: tuple[KnownFault, ...] = (
    # Valid indexed mzML 1.1.2; OpenMS 2.6 validates against 1.1.0, whose
    # index needs an offset. It still loads the file.
    KnownFault("a file without spectra has a spectrum index without offsets, which OpenMS 2.6's schema forbids",
               "FileInfo -v", "content model '(offset+)'", has_no_spectra),
)


# -- one case, many cases ----------------------------------------------------------------------

def writer_problems(case: Case, expected: list[Arrays]) -> list[str]:
    """morvane's own arrays against what the run writer predicted (auto mode,
    no filter), so that every consumer is compared with known values."""
    assert case.run is not None
    if case.options.get("mode") == "centroid" or {"ms_level", "rt"} & set(case.options):
        return []
    predicted = case.run.good_spectra()
    if len(predicted) != len(expected):
        return [f"morvane has {len(expected)} spectra, the run writer predicted {len(predicted)}"]
    problems = []
    for got, want in zip(expected, predicted):
        for name, actual, wanted, dtype in (("m/z", got.mz, want.mz, np.float64),
                                            ("intensity", got.intensity, want.intensity, np.float32)):
            problem = array_problem(actual, np.asarray(wanted, np.float64), dtype, None)
            if problem:
                problems.append(f"morvane {want.native_id} {name}: {problem}")
    return problems


@dataclass
class Outcome:
    case: Case
    problems: dict[str, list[str]]   # consumer name -> problems (empty: loaded and equal)
    shown: tuple[KnownFault, ...]    # the known faults the file shows

    @property
    def passed(self) -> bool:
        return not any(self.problems.values())

    def explained(self) -> list[str] | None:
        """The reasons of the known faults that explain every failure (empty
        when nothing failed), or None when some failure is not explained."""
        reasons: list[str] = []
        for name, problems in self.problems.items():
            if not problems:
                continue
            fault = next((f for f in self.shown if f.consumer == name
                          and all(f.message in p for p in problems)), None)
            if fault is None:
                return None
            if fault.reason not in reasons:
                reasons.append(fault.reason)
        return reasons


def refusal_problems(case: Case, out: Path) -> list[str]:
    """What is wrong with the writer's answer to a filter that keeps no
    spectrum: it must raise a ValueError saying so and write nothing."""
    try:
        convert(case, out)
    except ValueError as refused:
        if "no spectra selected" not in str(refused):
            return [f"refused with an unexpected message: {refused}"]
    else:
        return ["wrote a file for a selection of nothing"]
    leftovers = sorted(p.name for p in out.parent.iterdir() if p.name.startswith(out.name))
    return [f"left {leftovers} behind"] if leftovers else []


def run_case(seed: int, folder: Path, consumers: tuple[Consumer, ...] = CONSUMERS) -> Outcome:
    folder.mkdir(parents=True, exist_ok=True)
    case = draw_case(seed, folder)
    expected = expected_arrays(case)
    if not expected and ({"ms_level", "rt"} & case.options.keys()):
        # A filter that keeps nothing is refused before anything is written.
        return Outcome(case, {"morvane": refusal_problems(case, folder / "run.mzML")}, ())
    out = convert(case, folder / "run.mzML")
    problems = {"morvane": writer_problems(case, expected)}
    if holds_empty_zlib_stream(out):
        # OpenMS 2.6 and others refuse it: empty arrays are written as an empty <binary>.
        problems["morvane"].append("an empty array stored as a zlib stream of nothing")
    for consumer in consumers:
        if consumer.reads(case.options):
            problems[consumer.name] = consumer_problems(consumer, case, out, expected)
    return Outcome(case, problems, tuple(f for f in KNOWN_FAULTS if f.shown_by(out)))


def main(argv: list[str] | None = None) -> int:
    import argparse
    import tempfile
    import time

    parser = argparse.ArgumentParser(description="Convert drawn runs to mzML and load them with every consumer.")
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1, help="first seed; runs use seed, seed+1, ...")
    parser.add_argument("--keep", type=Path, help="keep the runs and files of failed cases here")
    args = parser.parse_args(argv)
    consumers = tuple(c for c in CONSUMERS if c.available())
    missing = [c.name for c in CONSUMERS if c not in consumers]
    if missing:
        print(f"not installed, not run: {', '.join(missing)}")
    passed = {name: 0 for name in ["morvane", *(c.name for c in consumers)]}
    # Runs a consumer was given a file of (not: options it cannot read, or
    # a selection of nothing, which is refused and writes no file).
    given = dict.fromkeys(passed, 0)
    failed: list[Outcome] = []
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="interop-") as root:
        for seed in range(args.seed, args.seed + args.runs):
            folder = Path(root) / str(seed)
            outcome = run_case(seed, folder, consumers)
            for name, problems in outcome.problems.items():
                given[name] += 1
                passed[name] += not problems
            if not outcome.passed:
                failed.append(outcome)
                if args.keep is not None:
                    shutil.copytree(folder, args.keep / str(seed), dirs_exist_ok=True)
            shutil.rmtree(folder, ignore_errors=True)
    seconds = time.monotonic() - started
    print(f"{args.runs} runs (seeds {args.seed}..{args.seed + args.runs - 1}) in {seconds:.0f} s")
    for name, count in passed.items():
        print(f"  {name:<20} {count:>5} passed {given[name] - count:>5} failed {args.runs - given[name]:>5} not given")
    # Failures the known faults explain first, each with its reasons.
    failed.sort(key=lambda o: o.explained() is None)
    for outcome in failed:
        reasons = outcome.explained()
        print(("KNOWN  " if reasons is not None else "FAILED ") + outcome.case.describe())
        for reason in reasons or []:
            print(f"    known: {reason}")
        for name, problems in outcome.problems.items():
            for problem in problems[:3]:
                print(f"    {name}: {problem}")
    unknown = [o for o in failed if o.explained() is None]
    by_reason: dict[str, int] = {}
    for outcome in failed:
        for reason in outcome.explained() or []:
            by_reason[reason] = by_reason.get(reason, 0) + 1
    for reason, count in by_reason.items():
        print(f"{count} runs show the known fault: {reason}")
    print(f"{len(failed) - len(unknown)} runs failed only by known faults, {len(unknown)} otherwise")
    return 1 if unknown else 0


if __name__ == "__main__":
    sys.exit(main())
