"""run.to_mzml as a Python API: arguments, atomic output, determinism."""

from __future__ import annotations

import re
import sys
import types

import pytest

import morvane
from datafolder.run import Fault
from export_runs import recorded_bars
from runs import build_small_run, profile, small_run_builder


def files_in(directory) -> list[str]:
    return sorted(path.name for path in directory.iterdir())


def test_same_run_same_bytes_with_its_acquisition_time(tmp_path):
    built = build_small_run(tmp_path)
    with morvane.open(built.path) as run:
        run.to_mzml(tmp_path / "a.mzML", threads=1)
        morvane.to_mzml(run, str(tmp_path / "b.mzML"))
        run.to_mzml(tmp_path / "c.mzML", threads=3, mode="centroid", zlib=False)
        run.to_mzml(tmp_path / "d.mzML", mode="centroid", zlib=False)
    first = (tmp_path / "a.mzML").read_bytes()
    assert first == (tmp_path / "b.mzML").read_bytes()
    assert (tmp_path / "c.mzML").read_bytes() == (tmp_path / "d.mzML").read_bytes()
    assert re.search(rb'<run [^>]*startTimeStamp="2019-03-04T10:22:13.1234567-05:00"', first)


def test_a_failing_spectrum_leaves_the_output_as_it_was(tmp_path):
    builder = small_run_builder()
    builder.add_scan(1.1, profile=profile(), profile_fault=Fault(byte_count=10**6))
    built = builder.build(tmp_path / "damaged.d")
    out = tmp_path / "damaged.mzML"
    out.write_text("previous")
    with morvane.open(built.path) as run:
        for threads in (1, 2):
            with pytest.raises(morvane.FormatError, match="scanId=5"):
                run.to_mzml(out, threads=threads)
        # The failing scan left out, the rest converts.
        run.to_mzml(tmp_path / "first.mzML", rt=(0, 61.5))
    assert out.read_text() == "previous"
    assert files_in(tmp_path) == ["damaged.d", "damaged.mzML", "first.mzML"]


def test_an_unfinished_writer_leaves_nothing(tmp_path):
    built = build_small_run(tmp_path)
    with morvane.open(built.path) as run:
        writer = morvane._native.MzmlWriter(run._handle, str(tmp_path / "out.mzML"), run._select(None, None))
        assert (writer.total, writer.write_next(1), writer.written) == (4, 1, 1)
        del writer
    assert files_in(tmp_path) == ["run.d"]


@pytest.mark.parametrize("options, error", [
    ({"mode": "profile"}, ValueError),
    ({"intensity_bits": 16}, ValueError),
    ({"rt": (1.0,)}, ValueError),
    ({"threads": 0}, ValueError),
])
def test_bad_arguments(tmp_path, options, error):
    built = build_small_run(tmp_path)
    with morvane.open(built.path) as run:
        with pytest.raises(error):
            run.to_mzml(tmp_path / "out.mzML", **options)
    assert files_in(tmp_path) == ["run.d"]


def test_closed_run_and_missing_directory(tmp_path):
    built = build_small_run(tmp_path)
    run = morvane.open(built.path)
    with pytest.raises(FileNotFoundError):
        run.to_mzml(tmp_path / "missing" / "out.mzML")
    run.close()
    with pytest.raises(ValueError, match="closed"):
        run.to_mzml(tmp_path / "out.mzML")


def test_progress_is_silent_off_a_terminal(tmp_path, capfd):
    built = build_small_run(tmp_path)
    with morvane.open(built.path) as run:
        run.to_mzml(tmp_path / "out.mzML", progress=True)
    assert capfd.readouterr().err == ""


def test_progress_bar_on_a_terminal(tmp_path, capsys, monkeypatch):
    pytest.importorskip("tqdm")
    built = build_small_run(tmp_path)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    with morvane.open(built.path) as run:
        run.to_mzml(tmp_path / "out.mzML", progress=True)
    assert "run.d:" in capsys.readouterr().err


class _Shell:
    """What IPython's get_ipython() returns: its type names the front end."""


@pytest.mark.parametrize("shell, shown", [("ZMQInteractiveShell", True), ("TerminalInteractiveShell", False),
                                          (None, False)])
@pytest.mark.parametrize("write", ["mzml", "parquet"])
def test_progress_bar_in_a_notebook(tmp_path, monkeypatch, shell, shown, write):
    """In a notebook's kernel (standard error no terminal) the bar is
    tqdm.auto's, which draws a widget there; in a terminal IPython shell
    without a terminal there is none."""
    tqdm_auto = pytest.importorskip("tqdm.auto")
    if write == "parquet":
        pytest.importorskip("pyarrow")
    bars = recorded_bars(monkeypatch, tqdm_auto)
    fake = types.ModuleType("IPython")
    fake.get_ipython = lambda: None if shell is None else type(shell, (_Shell,), {})()
    monkeypatch.setitem(sys.modules, "IPython", fake)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: False)
    built = build_small_run(tmp_path)
    with morvane.open(built.path) as run:
        getattr(run, f"to_{write}")(tmp_path / f"out.{write}", progress=True)
        if shown:
            assert [(bar.total, bar.n) for bar in bars] == [(len(run), len(run))]
        else:
            assert bars == []
