"""Notebook views of runs and spectra: the HTML summary of a run with its
TIC sparkline, and the plotly figures of Run.plot_tic and Spectrum.plot."""

from __future__ import annotations

import html
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import morvane
from morvane import _views

from export_runs import varied_run
from runs import build_small_run


@pytest.fixture(scope="module")
def varied(tmp_path_factory):
    return varied_run(tmp_path_factory.mktemp("views") / "varied.d")


def polyline_points(svg: str) -> np.ndarray:
    match = re.search(r'points="([^"]*)"', svg)
    if match is None:
        return np.empty((0, 2))
    return np.array([[float(v) for v in p.split(",")] for p in match.group(1).split()])


class TestSparkline:
    @pytest.mark.parametrize("x, y", [
        (np.arange(10.0), np.arange(10.0) ** 2),
        (np.arange(5000.0), np.sin(np.arange(5000.0) / 300)),
        (np.array([1.0, 2, 3, 4]), np.array([np.nan, 5, np.inf, 1])),
        (np.array([3.0, 4, 5]), np.array([7.0, 7, 7])),           # flat
        (np.array([8.0]), np.array([2.0])),                        # one point
    ])
    def test_points_fill_the_box_highest_at_the_top(self, x, y):
        svg = _views.sparkline(x, y, width=200, height=30)
        assert svg.startswith("<svg") and svg.endswith("</svg>")
        points = polyline_points(svg)
        finite = np.isfinite(x) & np.isfinite(y)
        assert 1 <= len(points) <= min(_views.SPARK_POINTS, int(finite.sum()))
        assert points[:, 0].min() >= 1 - 1e-9 and points[:, 0].max() <= 199 + 1e-9
        assert points[:, 1].min() >= 1 - 1e-9 and points[:, 1].max() <= 29 + 1e-9
        if finite.sum() > 1 and np.ptp(y[finite]) > 0:
            assert points[:, 0].min() == 1.0 and points[:, 0].max() == 199.0
            top = np.argmin(points[:, 1])
            assert points[top, 1] == 1.0            # the largest value touches the top
            assert points[:, 1].max() == 29.0       # the smallest the bottom

    @pytest.mark.parametrize("y", [np.array([]), np.array([np.nan, np.nan])])
    def test_no_finite_point_draws_nothing(self, y):
        svg = _views.sparkline(np.arange(float(y.size)), y)
        assert "<polyline" not in svg and svg.endswith("</svg>")


class TestRunSummary:
    def test_names_path_levels_rt_range_and_instrument(self, varied):
        with morvane.open(varied) as run:
            page = run._repr_html_()
            scans = run.scans
            levels = scans["ms_level"]
            assert f"<code>{html.escape(str(varied))}</code>" in page
            assert f"{len(run):,} (MS1: {(levels == 1).sum()}, MS2: {(levels == 2).sum()})" in page
            assert f"{scans['rt'].min():.2f} s" in page and f"{scans['rt'].max():.2f} s" in page
            assert html.escape(run.info["instrument"]["name"]) in page
            points = polyline_points(page)
            assert len(points) == (levels == 1).sum()    # one point per MS1 scan of this short run

    def test_the_path_is_escaped(self, tmp_path):
        odd = tmp_path / "a<b&c>.d"
        build_small_run(tmp_path, name=odd.name)
        with morvane.open(odd) as run:
            page = run._repr_html_()
        assert "a&lt;b&amp;c&gt;.d" in page and "a<b" not in page

    def test_no_spectrum_is_decoded(self, varied):
        class ScanTableOnly:
            """The run's handle, except that every decoding call fails."""

            def __init__(self, handle):
                self._handle = handle

            def __getattr__(self, name):
                if name in ("spectrum", "spectra", "peaks", "xic", "chromatograms"):
                    raise AssertionError(f"{name}() called")
                return getattr(self._handle, name)

        with morvane.open(varied) as run:
            expected = run._repr_html_()
            fresh = morvane.open(varied)
            fresh._handle = ScanTableOnly(fresh._handle)
            assert fresh._repr_html_() == expected

    def test_a_closed_run_says_so(self, varied):
        run = morvane.open(varied)
        run.close()
        assert "(closed)" in run._repr_html_()


plotly = pytest.importorskip("plotly")


class TestFigures:
    @pytest.mark.parametrize("base_peak", [False, True])
    def test_plot_tic_draws_the_run_chromatograms(self, varied, base_peak):
        with morvane.open(varied) as run:
            fig = run.plot_tic(base_peak=base_peak, height=321)
            rt, tic = run.tic()
            _, bpc = run.bpc()
        assert [t.name for t in fig.data] == (["TIC", "BPC"] if base_peak else ["TIC"])
        assert np.array_equal(fig.data[0].x, rt.astype(np.float64))
        assert np.array_equal(fig.data[0].y, tic.astype(np.float64))
        if base_peak:
            assert fig.data[1].yaxis == "y2" and np.array_equal(fig.data[1].y, bpc.astype(np.float64))
        assert fig.layout.height == 321

    def test_a_profile_spectrum_is_a_line_through_its_points(self, varied):
        with morvane.open(varied) as run:
            spectrum = run[0]
            assert spectrum.mode == "profile"
            fig = spectrum.plot(width=500)
            assert np.array_equal(fig.data[0].x, spectrum.mz)
            assert np.array_equal(fig.data[0].y, spectrum.intensity.astype(np.float64))
            assert spectrum.native_id in fig.layout.title.text and fig.layout.width == 500

    def test_a_centroid_spectrum_is_one_stick_a_peak(self, varied):
        with morvane.open(varied) as run:
            spectrum = next(s for s in run if s.mode == "centroid")
            fig = spectrum.plot()
            x, y = np.asarray(fig.data[0].x), np.asarray(fig.data[0].y, dtype=np.float64)
            assert np.array_equal(x, np.repeat(spectrum.mz, 3))
            assert np.array_equal(y[0::3], np.zeros(len(spectrum)))
            assert np.array_equal(y[1::3], spectrum.intensity.astype(np.float64))
            assert np.isnan(y[2::3]).all()
            assert f"precursor m/z {spectrum.precursor_mz:.4f}" in fig.layout.title.text


def test_without_plotly_the_summary_works_and_plots_say_how_to_get_it(varied):
    code = textwrap.dedent(f"""
        import sys
        sys.modules["plotly"] = None
        import morvane
        run = morvane.open({str(varied)!r})
        assert "<svg" in run._repr_html_()
        for plot in (run.plot_tic, run[0].plot):
            try:
                plot()
            except ImportError as error:
                assert "pip install 'karvel[report]'" in str(error), error
            else:
                raise AssertionError("no ImportError")
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == "ok", result.stderr
