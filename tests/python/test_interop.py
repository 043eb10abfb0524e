"""Every mzML consumer loads what run.to_mzml writes, for drawn runs.

A fixed set of seeds runs here; `make test-interop` draws a few hundred
more (tests/python/interop.py). The tests below also check the harness
itself: that the fixed seeds reach every kind of scan and option, that a
seed always draws the same run, and that a damaged file is noticed by
every consumer."""

from __future__ import annotations

import base64
import math
import re
import struct
from pathlib import Path

import numpy as np
import pytest

from datafolder.run import Centroid, RunBuilder
from interop import (CONSUMERS, KNOWN_FAULTS, OPTIONS, SCAN_KINDS_QUADRUPOLE, SCAN_KINDS_TOF, Case, Choice,
                     Consumer, KnownFault, Outcome, array_problem, consumer_problems, convert, draw_case,
                     expected_arrays, has_no_spectra, holds_empty_zlib_stream, run_case)

FIXED_SEEDS = tuple(range(1, 31))
AVAILABLE = tuple(c for c in CONSUMERS if c.available())
# -- the drawn runs ----------------------------------------------------------------------------

@pytest.mark.parametrize("seed", FIXED_SEEDS)
def test_every_consumer_loads_the_drawn_run(seed, tmp_path):
    outcome = run_case(seed, tmp_path, AVAILABLE)
    reasons = outcome.explained()
    if reasons:
        pytest.xfail("known: " + "; ".join(reasons))
    failed = {name: problems for name, problems in outcome.problems.items() if problems}
    assert failed == {}, outcome.case.describe()


# -- the harness -------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def fixed_cases(tmp_path_factory) -> list[Case]:
    root = tmp_path_factory.mktemp("drawn")
    return [draw_case(seed, root / str(seed)) for seed in FIXED_SEEDS]


def _nonfinite_summary(case: Case) -> bool:
    fields = ("tic", "base_peak_mz", "base_peak_intensity", "target_mz", "collision_energy")
    return any(not math.isfinite(getattr(r, f)) or abs(getattr(r, f)) > 1e300
               for r in case.run.records for f in fields)


def _filters(case: Case) -> list[Choice]:
    return [case.choices[i] for i, option in enumerate(OPTIONS) if option.name == "filter"]


def _filter_kind(label: str) -> str:
    for marker, kind in (("(one)", "one"), ("(none)", "none"), ("ms_level", "ms_level"), ("rt", "rt")):
        if marker in label:
            return kind
    return label


def _intensities(case: Case) -> list[float]:
    return [v for s in case.run.spectra for v in s.intensity]


COVERAGE = [
    ("every time-of-flight scan kind", lambda cases: set(SCAN_KINDS_TOF),
     lambda cases: {k for c in cases if c.stride in (284, 220, 216) for k in c.scans}),
    ("every triple-quadrupole scan kind", lambda cases: set(SCAN_KINDS_QUADRUPOLE),
     lambda cases: {k for c in cases if c.stride in (196, 186) for k in c.scans}),
    ("every layout", lambda cases: {284, 220, 216, 196, 186}, lambda cases: {c.stride for c in cases}),
    ("MS levels 0 to 3", lambda cases: {0, 1, 2, 3},
     lambda cases: {r.ms_level for c in cases for r in c.run.records}),
    ("both polarities and an unknown one", lambda cases: {0, 1, 2},
     lambda cases: {r.ion_polarity for c in cases for r in c.run.records}),
    ("every option value", lambda cases: {c.label for o in OPTIONS for c in o.choices},
     lambda cases: {choice.label for c in cases for choice in c.choices}),
    ("every kind of filter", lambda cases: {"all", "ms_level", "rt", "one", "none"},
     lambda cases: {_filter_kind(ch.label) for c in cases for ch in _filters(c)}),
    ("NaN, infinite and subnormal intensities", lambda cases: {"nan", "inf", "subnormal"},
     lambda cases: {kind for c in cases for v in _intensities(c)
                    for kind in (("nan",) if math.isnan(v) else ("inf",) if math.isinf(v)
                                 else ("subnormal",) if 0 < abs(v) < 1.1754943508222875e-38 else ())}),
    ("huge or non-finite summary values", lambda cases: {True},
     lambda cases: {_nonfinite_summary(c) for c in cases} & {True}),
    ("runs with a single scan", lambda cases: {1}, lambda cases: {len(c.scans) for c in cases} & {1}),
]


@pytest.mark.parametrize("what,wanted,reached", COVERAGE, ids=[row[0] for row in COVERAGE])
def test_fixed_seeds_reach(fixed_cases, what, wanted, reached):
    assert wanted(fixed_cases) <= reached(fixed_cases)


def test_a_seed_always_draws_the_same_run_and_options(tmp_path):
    first, second = draw_case(7, tmp_path / "a"), draw_case(7, tmp_path / "b")
    assert first.describe() == second.describe()
    assert first.options == second.options
    for name in ("MSScan.bin", "MSProfile.bin", "MSPeak.bin"):
        a, b = first.run.acq / name, second.run.acq / name
        assert a.exists() == b.exists()
        if a.exists():
            assert a.read_bytes() == b.read_bytes(), name


ARRAY_CASES = [
    # (what, actual, expected, dtype, tolerance, differs)
    ("same values", np.array([1.0, 2.5], np.float64), np.array([1.0, 2.5]), np.float64, None, False),
    ("NaNs of other payloads", np.array([struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000001))[0]]),
     np.array([math.nan]), np.float64, None, False),
    ("a NaN where a number is", np.array([math.nan, 1.0]), np.array([2.0, 1.0]), np.float64, None, True),
    ("-0.0 for 0.0", np.array([-0.0]), np.array([0.0]), np.float64, None, True),
    ("one ulp off", np.array([np.nextafter(1.0, 2.0)]), np.array([1.0]), np.float64, None, True),
    ("one ulp within a tolerance", np.array([np.nextafter(1.0, 2.0)]), np.array([1.0]), np.float64, (1e-9, 0.0), False),
    ("outside a tolerance", np.array([1.001]), np.array([1.0]), np.float64, (1e-6, 0.0), True),
    ("within an absolute tolerance", np.array([0.4]), np.array([0.0]), np.float64, (1e-6, 0.5), False),
    ("NaN where a tolerance allows any number", np.array([math.nan]), np.array([1.0]), np.float64, (1.0, 1e9),
     True),
    ("a value missing", np.array([1.0]), np.array([1.0, 2.0]), np.float64, None, True),
    ("float32 widened exactly", np.array([0.1], np.float32).astype(np.float64), np.array([0.1], np.float32),
     np.float64, None, False),
    ("float32 rounded differently", np.array([0.1], np.float64), np.array([0.1], np.float32), np.float64, None, True),
    ("infinities of the other sign", np.array([-math.inf]), np.array([math.inf]), np.float32, None, True),
    ("subnormals kept", np.array([1e-45], np.float32), np.array([1e-45], np.float32), np.float32, None, False),
    ("subnormals flushed", np.array([0.0], np.float32), np.array([1e-45], np.float32), np.float32, None, True),
]


@pytest.mark.parametrize("what,actual,expected,dtype,tolerance,differs", ARRAY_CASES,
                         ids=[c[0] for c in ARRAY_CASES])
def test_array_comparison(what, actual, expected, dtype, tolerance, differs):
    assert (array_problem(actual, expected, dtype, tolerance) is not None) == differs


def _small_case(tmp_path: Path, options: Choice) -> Case:
    builder = RunBuilder(stride=216)
    for i in range(3):
        builder.add_scan(1.0 + 0.01 * i, centroid=Centroid([200.0 + i, 300.0 + i, 400.0 + i],
                                                           [10.0, 20.0 + i, 30.0], format_id=3))
    run = builder.build(tmp_path / "run.d")
    return Case(0, 216, ["centroid_f3"] * 3, [options], run)


def _first_binary(data: bytes) -> re.Match:
    return re.search(rb"<binary>([^<]+)</binary>", data)


def _nudge_first_value(data: bytes) -> bytes:
    """The first stored m/z value one ulp larger (uncompressed file; same length)."""
    found = _first_binary(data)
    raw = bytearray(base64.b64decode(found.group(1)))
    raw[0] ^= 1
    return data[: found.start(1)] + base64.b64encode(bytes(raw)) + data[found.end(1):]


def _break_first_stream(data: bytes) -> bytes:
    """The first zlib stream's deflate data garbled (same length)."""
    found = _first_binary(data)
    raw = bytearray(base64.b64decode(found.group(1)))
    for i in range(2, len(raw) - 4):
        raw[i] = 0xFF
    return data[: found.start(1)] + base64.b64encode(bytes(raw)) + data[found.end(1):]


def _misname_attribute(data: bytes) -> bytes:
    """The first spectrum's required index attribute misspelt (same length)."""
    return data.replace(b'<spectrum index="0"', b'<spectrum indez="0"', 1)


DAMAGES = [
    # (what, options, damage, consumers that cannot see it)
    ("one m/z value changed", Choice("no zlib", {"zlib": False}), _nudge_first_value, {"FileInfo", "FileInfo -v"}),
    ("a zlib stream garbled", Choice("zlib"), _break_first_stream, {"FileInfo -v"}),
    # Only the validator sees what every reader passes over.
    ("a required attribute misspelt", Choice("zlib"), _misname_attribute,
     {"FileInfo", "pyopenms MzMLFile", "pyopenms OnDisc", "pyteomics", "pymzml"}),
]


@pytest.mark.parametrize("consumer", AVAILABLE, ids=[c.name for c in AVAILABLE])
@pytest.mark.parametrize("what,options,damage,blind", DAMAGES, ids=[d[0] for d in DAMAGES])
def test_consumers_notice_a_damaged_file(tmp_path, consumer: Consumer, what, options, damage, blind):
    case = _small_case(tmp_path, options)
    out = convert(case, tmp_path / "run.mzML")
    expected = expected_arrays(case)
    assert consumer_problems(consumer, case, out, expected) == []
    out.write_bytes(damage(out.read_bytes()))
    problems = consumer_problems(consumer, case, out, expected)
    assert (problems == []) == (consumer.name in blind), problems


def _outcome(problems: dict[str, list[str]], shown: tuple[KnownFault, ...]) -> Outcome:
    return Outcome(Case(0, 284, [], []), problems, shown)


ZLIB_FAULT, NO_SPECTRA_FAULT = KNOWN_FAULTS
EXPLAINED_CASES = [
    ("nothing failed", {"FileInfo": [], "pyteomics": []}, (ZLIB_FAULT,), []),
    ("a failure the file shows", {"FileInfo": ["load failed: Decompression error?"]}, (ZLIB_FAULT,),
     [ZLIB_FAULT.reason]),
    ("the fault's message but the file does not show it", {"FileInfo": ["Decompression error?"]}, (), None),
    ("another consumer fails too", {"FileInfo": ["Decompression error?"], "pyteomics": ["2 values differ"]},
     (ZLIB_FAULT,), None),
    ("one of the consumer's problems is something else",
     {"FileInfo": ["Decompression error?", "3 peaks, expected 4"]}, (ZLIB_FAULT,), None),
    ("two known faults", {"FileInfo": ["Decompression error?"], "FileInfo -v": ["content model '(offset+)'"]},
     (ZLIB_FAULT, NO_SPECTRA_FAULT), [ZLIB_FAULT.reason, NO_SPECTRA_FAULT.reason]),
    ("a known message from the wrong consumer", {"pyteomics": ["Decompression error?"]}, (ZLIB_FAULT,), None),
]


@pytest.mark.parametrize("what,problems,shown,reasons", EXPLAINED_CASES, ids=[c[0] for c in EXPLAINED_CASES])
def test_known_faults_explain_only_their_own_failures(what, problems, shown, reasons):
    assert _outcome(problems, shown).explained() == reasons


def test_a_file_without_spectra_is_recognised(tmp_path):
    path = tmp_path / "file.mzML"
    for text, empty in (('<spectrumList count="0" defaultDataProcessingRef="c">', True),
                        ('<spectrumList count="10" defaultDataProcessingRef="c">', False)):
        path.write_text(text)
        assert has_no_spectra(path) == empty, text


def test_an_empty_zlib_stream_is_recognised(tmp_path):
    empty = base64.b64encode(__import__("zlib").compress(b"")).decode()
    cases = {f"<binary>{empty}</binary>": True, "<binary></binary>": False,
             "<binary>AAAAAAAA8D8=</binary>": False}
    for text, holds in cases.items():
        path = tmp_path / "file.mzML"
        path.write_text(f"<mzML>{text}</mzML>")
        assert holds_empty_zlib_stream(path) == holds, text


TOLERANCE_CASES = [
    ("lossless choices", [Choice("a"), Choice("b", {"zlib": False})], None),
    ("one lossy choice", [Choice("a"), Choice("lossy", intensity_tolerance=(1e-4, 0.5))], (1e-4, 0.5)),
    ("the loosest of two", [Choice("x", intensity_tolerance=(1e-4, 0.0)),
                            Choice("y", intensity_tolerance=(1e-6, 0.5))], (1e-4, 0.5)),
]


@pytest.mark.parametrize("what,choices,intensity", TOLERANCE_CASES, ids=[c[0] for c in TOLERANCE_CASES])
def test_case_tolerance_is_the_loosest_of_its_choices(what, choices, intensity):
    case = Case(0, 284, [], choices)
    assert case.tolerance("intensity") == intensity
    assert case.tolerance("mz") is None
