"""Problems the reader works around are loud and recorded: random generated
runs, each damaged in one way, must report exactly the kinds of problem
made (counted as the run writer predicts), log each once at the first
access that meets it, say so on the command line, record it in every
output, and fail under strict."""

from __future__ import annotations

import json
import logging
import random
import shutil
import zipfile
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import pytest

import karvel_cli
import morvane
from datafolder.run import RunBuilder
from interop import draw_case
from runs import profile, tof_centroid

pq = pytest.importorskip("pyarrow.parquet")

SEEDS = range(12)


def unknown_polarities(run) -> int:
    return sum(1 for record in run.records if record.ion_polarity not in (0, 1))


def events(path: Path) -> dict[str, int]:
    with morvane.open(path) as run:
        list(run.spectra(errors="skip"))
        return {event.kind: event.count for event in run.integrity}


# -- damage, one kind at a time ---------------------------------------------------------------

def cut_mass_cal(built) -> dict[str, int]:
    """The last 100 bytes of MSMassCal.bin cut off: every scan falls back."""
    target = built.acq / "MSMassCal.bin"
    target.write_bytes(target.read_bytes()[:-100])
    return {"calibration_fallback": len(built.records)}


def cut_scan_record(built) -> dict[str, int]:
    """The last record cut off MSScan.bin: the calibrations no longer match."""
    target = built.acq / "MSScan.bin"
    stride = len(target.read_bytes()[built_header(target):]) // len(built.records)
    target.write_bytes(target.read_bytes()[:-stride])
    return {"calibration_mismatch": 1, "scan_table_short": 1, "calibration_fallback": len(built.records) - 1}


def built_header(path: Path) -> int:
    return int.from_bytes(path.read_bytes()[88:92], "little")


def garbage_devices(built) -> dict[str, int]:
    (built.acq / "Devices.xml").write_bytes(b"<Devices><Device>")
    return {"unreadable_side_file": 1}


def cut_profile_file(built) -> dict[str, int]:
    """The last profile block cut short: that spectrum cannot be decoded."""
    target = built.acq / "MSProfile.bin"
    target.write_bytes(target.read_bytes()[:-3])
    return {"undecodable_spectrum": 1}


@dataclass(frozen=True)
class Damage:
    name: str
    apply: Callable[..., dict[str, int]]
    applies: Callable[..., bool]


def time_of_flight(built) -> bool:
    return (built.acq / "MSMassCal.bin").exists()


def several_scans(built) -> bool:
    return time_of_flight(built) and len(built.records) >= 3


def last_is_profile(built) -> bool:
    last = built.spectra[-1]
    return (built.acq / "MSProfile.bin").exists() and last.scan_mode == "profile" and len(last.mz) > 0 \
        and not last.fails


DAMAGES = (
    Damage("mass_cal_cut", cut_mass_cal, time_of_flight),
    Damage("scan_record_cut", cut_scan_record, several_scans),
    Damage("devices_garbage", garbage_devices, lambda built: True),
    Damage("profile_cut", cut_profile_file, last_is_profile),
)


def expected_sound(built) -> dict[str, int]:
    """What an undamaged generated run reports: its unknown polarity codes,
    and its scans the writer made undecodable."""
    out = {}
    if unknown_polarities(built):
        out["unrecognised_value"] = unknown_polarities(built)
    failing = sum(1 for spectrum in built.spectra if spectrum.fails)
    if failing:
        out["undecodable_spectrum"] = failing
    return out


@pytest.mark.parametrize("seed", SEEDS)
def test_generated_runs_report_exactly_the_damage_made(tmp_path, seed):
    case = draw_case(seed, tmp_path)
    built = case.run
    sound = expected_sound(built)
    assert events(built.path) == sound
    checked = 0
    for damage in DAMAGES:
        if not damage.applies(built):
            continue
        copy = tmp_path / f"{damage.name}.d"
        shutil.copytree(built.path, copy)
        made = damage.apply(type(built)(**{**built.__dict__, "path": copy}))
        expected = dict(sound)
        if damage.name == "scan_record_cut" and built.records[-1].ion_polarity not in (0, 1):
            expected["unrecognised_value"] -= 1
            if not expected["unrecognised_value"]:
                del expected["unrecognised_value"]
        if damage.name == "scan_record_cut" and built.spectra[-1].fails:
            expected["undecodable_spectrum"] -= 1
            if not expected["undecodable_spectrum"]:
                del expected["undecodable_spectrum"]
        for kind, count in made.items():
            expected[kind] = expected.get(kind, 0) + count
        assert events(copy) == expected, damage.name
        checked += 1
    assert checked >= 1


# -- one fixed damaged run through every entry point -------------------------------------------

def fallback_run(path: Path) -> Path:
    builder = RunBuilder(stride=284)
    for i in range(6):
        if i % 3 == 2:
            builder.add_scan(1.0 + 0.01 * i, ms_level=2, target_mz=400.0, collision_energy=20.0,
                             centroid=tof_centroid(3))
        else:
            builder.add_scan(1.0 + 0.01 * i, profile=profile(3.0e4 + 1e3 * i))
    built = builder.build(path)
    cut_mass_cal(built)
    return built.path


@pytest.fixture(scope="module")
def damaged(tmp_path_factory) -> Path:
    return fallback_run(tmp_path_factory.mktemp("integrity") / "drift.d")


@pytest.mark.parametrize("access", [
    pytest.param(lambda run: run[0], id="first-spectrum"),
    pytest.param(lambda run: list(run.spectra(threads=2)), id="spectra-pass"),
    pytest.param(lambda run: run.tic(), id="tic"),
])
def test_logged_once_at_the_first_access(damaged, caplog, access):
    caplog.set_level(logging.WARNING, logger="karvel")
    with morvane.open(damaged) as run:
        access(run)
        access(run)
        run[1]
    lines = [r.getMessage() for r in caplog.records if "fell back to the default calibration" in r.getMessage()]
    assert len(lines) == 1
    assert lines[0].startswith("drift.d: 6 scans fell back") and "MSMassCal.bin" in lines[0]


def test_an_unrecognised_value_is_logged_once(tmp_path, caplog):
    builder = RunBuilder(stride=284)
    builder.add_scan(1.0, profile=profile(), ion_polarity=7)
    caplog.set_level(logging.WARNING, logger="karvel")
    with morvane.open(builder.build(tmp_path / "odd.d").path) as run:
        run[0]
        assert [event.kind for event in run.integrity] == ["unrecognised_value"]
        morvane.forward_log_records()
    assert len([r for r in caplog.records if "IonPolarity" in r.getMessage()]) == 1


CLI_CASES = [
    # (flags, exit status, output written, warning lines on stderr)
    ([], 0, True, 1),
    (["-v"], 0, True, 2),  # the reader's own warning too, the event once
    (["-q"], 0, True, 0),
    (["--strict"], 1, False, 0),
    (["--to", "parquet", "--strict"], 1, False, 0),
]


@pytest.mark.parametrize("flags, status, written, lines", CLI_CASES)
def test_convert_warns_once_per_kind_and_strict_fails(damaged, tmp_path, capsys, flags, status, written, lines):
    out = tmp_path / "out"
    assert karvel_cli.main(["convert", str(damaged), "-o", str(out), *flags]) == status
    err = capsys.readouterr().err
    warnings = [line for line in err.splitlines() if line.startswith("karvel: warning:")]
    assert len(warnings) == lines
    assert sum("6 scans fell back to the default calibration" in line for line in warnings) == min(lines, 1)
    assert any(out.glob("drift.*")) == written
    if status:
        assert "strict" in err and "fell back" in err


def test_every_output_records_the_events(damaged, tmp_path):
    with morvane.open(damaged) as run:
        run.to_mzml(tmp_path / "run.mzML")
        run.to_parquet(tmp_path / "run.parquet")
    text = (tmp_path / "run.mzML").read_text()
    assert 'name="integrity event" value="calibration_fallback: 6 ' in text
    metadata = pq.read_schema(tmp_path / "run.parquet").metadata
    assert json.loads(metadata[b"integrity"])[0] | {"first": ""} == \
        {"kind": "calibration_fallback", "count": 6, "first": ""}


def test_a_sound_run_records_nothing(tmp_path):
    case = draw_case(3, tmp_path)
    with morvane.open(case.run.path) as run:
        kinds = {event.kind for event in run.integrity}
        run.to_mzml(tmp_path / "run.mzML", errors="skip")
    text = (tmp_path / "run.mzML").read_text()
    assert text.count('name="integrity event"') == len(kinds)


def test_qc_records_the_events_and_leaves_out_the_drift(damaged, tmp_path, capsys):
    from morvane.qc import metrics
    m = metrics(damaged)
    accessions = {x.accession for x in m.metrics}
    assert not accessions & {"KARVEL:0000001", "KARVEL:0000002"}
    assert [(e.kind, e.count) for e in m.integrity] == [("calibration_fallback", 6)]
    assert "Integrity of drift: calibration_fallback 6 (first: MSMassCal.bin" in m.to_mzqc()["mzQC"]["description"]
    assert karvel_cli.main(["qc", str(damaged), "-o", str(tmp_path / "qc"), "--no-report"]) == 0
    assert "fell back" in capsys.readouterr().err
    assert karvel_cli.main(["qc", str(damaged), "-o", str(tmp_path / "strict"), "--no-report", "--strict"]) == 1
    assert not any((tmp_path / "strict").glob("*.mzQC"))


def test_qc_says_how_many_spectra_cannot_be_decoded(tmp_path, capsys):
    builder = RunBuilder(stride=284)
    for i in range(5):
        builder.add_scan(1.0 + 0.01 * i, profile=profile(3.0e4 + 1e3 * i))
    built = builder.build(tmp_path / "cut.d")
    cut_profile_file(built)
    assert karvel_cli.main(["qc", str(built.path), "-o", str(tmp_path / "qc"), "--no-report"]) == 0
    out, err = capsys.readouterr()
    assert "1 spectra cannot be decoded" in out and "1 spectra cannot be decoded" in err
    document = json.loads((tmp_path / "qc" / "cut.mzQC").read_text())
    assert "Integrity of cut: undecodable_spectrum 1 (first: scanId=5" in document["mzQC"]["description"]


@pytest.mark.parametrize("to", ["mzml", "parquet", "mzpeak"])
def test_strict_refuses_an_undecodable_spectrum_even_when_skipping(tmp_path, capsys, to):
    builder = RunBuilder(stride=284)
    for i in range(3):
        builder.add_scan(1.0 + 0.01 * i, profile=profile(3.0e4 + 1e3 * i))
    built = builder.build(tmp_path / "cut.d")
    cut_profile_file(built)
    out = tmp_path / "out"
    flags = ["--to", to, "--errors", "skip", "-q"]
    assert karvel_cli.main(["convert", str(built.path), "-o", str(out), *flags]) == 0
    assert karvel_cli.main(["convert", str(built.path), "-o", str(tmp_path / "strict"), *flags, "--strict"]) == 1
    assert not any((tmp_path / "strict").glob("cut.*"))


# -- archives -----------------------------------------------------------------------------------

def zipped(folder: Path, archive: Path, top: str | None) -> Path:
    with zipfile.ZipFile(archive, "w") as out:
        for item in sorted(folder.rglob("*")):
            name = item.relative_to(folder).as_posix()
            out.write(item, f"{top}/{name}" if top else name)
    return archive


@pytest.mark.parametrize("top", [None, "inner.d"])
def test_an_archived_run_is_named_by_its_archive(damaged, tmp_path, capsys, top):
    archive = zipped(damaged, tmp_path / "packed.d.zip", top)
    out = tmp_path / "out"
    assert karvel_cli.main(["convert", str(archive), "-o", str(out), "-q"]) == 0
    text = (out / "packed.mzML").read_text()
    location = f"packed.d.zip/{top}/AcqData" if top else "packed.d.zip/AcqData"
    assert f'location="file://{archive.parent}/{location}"' in text.replace("%2F", "/")
    assert "karvel-unpacked" not in text
    assert karvel_cli.main(["qc", str(archive), "-o", str(tmp_path / "qc"), "--no-report", "-q"]) == 0
    document = json.loads((tmp_path / "qc" / "packed.mzQC").read_text())
    (entry,) = document["mzQC"]["runQualities"][0]["metadata"]["inputFiles"]
    assert "karvel-unpacked" not in json.dumps(document)
    assert entry["location"].endswith(location.removesuffix("/AcqData"))


def test_random_scan_order_of_access_does_not_change_the_counts(damaged):
    rng = random.Random(7)
    with morvane.open(damaged) as run:
        for _ in range(20):
            run[rng.randrange(len(run))]
        assert [(e.kind, e.count) for e in run.integrity] == [("calibration_fallback", 6)]
