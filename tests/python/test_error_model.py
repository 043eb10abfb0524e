"""One error model in morvane: the kind of a failure decides its exception
(an OSError subclass carrying errno and the file it concerns, FormatError
for undecodable data), whichever path meets it: opening the run, one
spectrum, a stream of spectra, the Arrow peak stream under Parquet, the mzML
writer, a batch conversion. Messages carry no layer prefixes."""

from __future__ import annotations

import errno
import os
from pathlib import Path

import pytest

import karvel_cli
import morvane
from datafolder.run import Fault, RunBuilder, cut_tail
from runs import profile, tof_centroid

# Every way of reading a run's spectra.
READS = {
    "getitem": lambda run, tmp: [run[i] for i in range(len(run))],
    "spectra": lambda run, tmp: list(run.spectra()),
    "spectra-threads": lambda run, tmp: list(run.spectra(threads=2)),
    "to_mzml": lambda run, tmp: run.to_mzml(tmp / "out.mzML"),
    "to_mzml-threads": lambda run, tmp: run.to_mzml(tmp / "out.mzML", threads=2),
    "to_parquet": lambda run, tmp: run.to_parquet(tmp / "out.parquet", threads=1),
    "to_parquet-threads": lambda run, tmp: run.to_parquet(tmp / "out.parquet", threads=2),
    "xic": lambda run, tmp: run.xic(500.0, da=1.0),
}


def centroid_run(path: Path, omitted: str | None = None, fault: Fault | None = None) -> Path:
    """Two MS1 profiles, then an MS2 scan with its centroids alone."""
    builder = RunBuilder(stride=284)
    builder.add_scan(1.0, profile=profile())
    builder.add_scan(1.01, profile=profile(), profile_fault=fault)
    builder.add_scan(1.02, ms_level=2, target_mz=400.0, centroid=tof_centroid())
    if omitted:
        builder.omit(omitted)
    return builder.build(path).path


@pytest.fixture(scope="module")
def without_peaks(tmp_path_factory) -> Path:
    return centroid_run(tmp_path_factory.mktemp("nopeak") / "nopeak.d", omitted="MSPeak.bin")


@pytest.fixture(scope="module")
def cut_profile(tmp_path_factory) -> Path:
    return centroid_run(tmp_path_factory.mktemp("cut") / "cut.d", fault=Fault(transform=cut_tail(9)))


def needs(read: str) -> None:
    if "parquet" in read:
        pytest.importorskip("pyarrow")


@pytest.mark.parametrize("read", READS)
class TestEveryReadMapsByKind:
    def test_a_missing_data_file_is_file_not_found_naming_it(self, without_peaks, tmp_path, read):
        needs(read)
        if read == "xic":
            pytest.skip("the trace reads MS1 profiles only")
        with morvane.open(without_peaks) as run, pytest.raises(FileNotFoundError) as raised:
            READS[read](run, tmp_path)
        error = raised.value
        assert error.errno == errno.ENOENT
        assert error.filename == str(without_peaks / "AcqData" / "MSPeak.bin")
        assert error.strerror.endswith("centroid block: No such file or directory"), error.strerror
        assert "vendor parser error" not in str(error) and "I/O error" not in str(error)
        assert not list(tmp_path.iterdir())

    def test_an_undecodable_block_is_a_format_error_with_the_scan(self, cut_profile, tmp_path, read):
        needs(read)
        with morvane.open(cut_profile) as run:
            scan_id = int(run.scans["scan_id"][1])
            with pytest.raises(morvane.FormatError) as raised:
                READS[read](run, tmp_path)
        assert str(raised.value).startswith(f"scanId={scan_id}: profile block: parse error: LZF: "), \
            str(raised.value)
        assert not list(tmp_path.iterdir())


OPEN_FAULTS = [
    # (file left out, exception, file it names)
    ("MSScan.bin", FileNotFoundError, "MSScan.bin"),
]


@pytest.mark.parametrize("omitted, error, named", OPEN_FAULTS)
def test_a_missing_scan_table_names_its_file(tmp_path, capsys, omitted, error, named):
    path = centroid_run(tmp_path / "run.d", omitted=omitted)
    with pytest.raises(error) as raised:
        morvane.open(path)
    expected = str(path / "AcqData" / named)
    assert raised.value.filename == expected
    assert str(raised.value) == f"[Errno 2] No such file or directory: {expected!r}"
    # The command line says which file is missing.
    status = karvel_cli.main(["convert", str(path), "-o", str(tmp_path / "out")])
    assert status == 1
    assert capsys.readouterr().err.strip() == \
        f"karvel: cannot convert {path}: No such file or directory: {expected}"


def test_a_skipped_spectrum_has_its_reason_without_prefixes(cut_profile, tmp_path):
    with morvane.open(cut_profile) as run:
        stream = run.spectra(errors="skip")
        assert [s.index for s in stream] == [0, 2]
        ((index, reason),) = stream.skipped
        assert index == 1 and reason.startswith("profile block: parse error: LZF: "), reason
        (skipped,) = run.to_mzml(tmp_path / "out.mzML", errors="skip")
        assert (skipped.index, skipped.reason) == (1, reason)
        text = (tmp_path / "out.mzML").read_text()
    scan_id = skipped.native_id.removeprefix("scanId=")
    assert f'value="scanId={scan_id}: {reason}"' in text


def test_zero_threads_is_a_value_error_everywhere(cut_profile, tmp_path):
    """threads=0 is not "unset": every entry point refuses it alike."""
    calls = {
        "spectra": lambda run: run.spectra(threads=0),
        "peaks": lambda run: run.peaks(threads=0),
        "xic": lambda run: run.xic(500.0, da=1.0, threads=0),
        "tic": lambda run: run.tic(threads=0),
        "to_mzml": lambda run: run.to_mzml(tmp_path / "x.mzML", threads=0),
        "convert jobs": lambda run: morvane.convert([run.path], tmp_path / "out", jobs=0),
    }
    with morvane.open(cut_profile) as run:
        for name, call in calls.items():
            with pytest.raises(ValueError, match=r"(threads|jobs) must be a positive int or None, not 0"):
                call(run)
    assert not (tmp_path / "out").exists() or not list((tmp_path / "out").iterdir())


def test_jobs_default_to_the_affinity_mask(tmp_path, monkeypatch):
    """One core count everywhere: the processors this process may run on."""
    from morvane import _args, _convert

    monkeypatch.setattr(os, "sched_getaffinity", lambda pid: {0})
    monkeypatch.setattr(os, "cpu_count", lambda: 64)
    assert _args.available_cores() == 1 and _args.threads(None) == 1
    seen = []
    monkeypatch.setattr(_convert, "in_this_process", lambda paths, *rest: seen.append(len(paths)) or [])
    monkeypatch.setattr(_convert, "in_processes", lambda *a, **k: pytest.fail("workers beyond the mask"))
    morvane.convert([str(tmp_path / "a.d"), str(tmp_path / "b.d")], tmp_path / "out")
    assert seen == [2]


def test_the_extension_imports_nothing_of_the_package(tmp_path):
    """Spectrum.plot draws with the function the package registered."""
    from morvane import _native, _views

    calls = []
    _native.set_spectrum_plot(lambda spectrum, **layout: calls.append((spectrum.index, layout)) or "figure")
    try:
        builder = RunBuilder(stride=284)
        builder.add_scan(1.0, profile=profile())
        with morvane.open(builder.build(tmp_path / "plot.d").path) as run:
            assert run[0].plot(title="t") == "figure"
    finally:
        _native.set_spectrum_plot(_views.plot_spectrum)
    assert calls == [(0, {"title": "t"})]
