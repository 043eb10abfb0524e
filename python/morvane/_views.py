"""How runs and spectra show themselves in notebooks: a run's HTML summary
(with a TIC sparkline from its scan table, drawn as inline SVG without
decoding any spectrum) and plotly figures of a spectrum and of a run's
chromatograms. Plotly is imported only by the plotting functions."""

from __future__ import annotations

import html
import math
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import numpy.typing as npt

from . import _native
from ._traces import thin

if TYPE_CHECKING:
    from ._native import Spectrum

REPORT_HINT = "plotting needs plotly, which is not installed: pip install 'karvel[report]'"

SPARK_WIDTH = 240
SPARK_HEIGHT = 40
SPARK_POINTS = 240


def _plotly() -> Any:
    try:
        import plotly.graph_objects as go  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError as error:
        raise ImportError(REPORT_HINT) from error
    return go


def sparkline(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64], *, width: int = SPARK_WIDTH,
              height: int = SPARK_HEIGHT) -> str:
    """The trace (x, y) as an inline SVG polyline of at most SPARK_POINTS
    points, scaled to width x height; non-finite points are left out, and
    an empty <svg> stands for a trace without any."""
    keep = np.isfinite(x) & np.isfinite(y)
    x, y = thin(np.asarray(x, np.float64)[keep], np.asarray(y, np.float64)[keep], SPARK_POINTS)
    svg = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" role="img" aria-label="TIC">')
    if x.size == 0:
        return svg + "</svg>"
    span_x = float(x[-1] - x[0]) or 1.0
    low, high = float(y.min()), float(y.max())
    span_y = (high - low) or 1.0
    px = (x - x[0]) / span_x * (width - 2) + 1
    py = height - 1 - (y - low) / span_y * (height - 2)
    points = " ".join(f"{a:.1f},{b:.1f}" for a, b in zip(px, py, strict=True))
    return svg + f'<polyline fill="none" stroke="#1f77b4" stroke-width="1" points="{points}"/></svg>'


def _instrument(info: dict[str, Any], device: dict[str, str] | None) -> str:
    instrument = info.get("instrument") if isinstance(info, dict) else None
    name = instrument.get("name") if isinstance(instrument, dict) else None
    if name:
        return str(name)
    if device:
        return " ".join(v for v in (device.get("name"), device.get("model")) if v)
    return "unknown"


def _minutes(seconds: float) -> str:
    return f"{seconds:.2f} s ({seconds / 60:.2f} min)"


class _RunLike(Protocol):
    """What the views read of a morvane.Run."""

    @property
    def path(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    @property
    def scans(self) -> Any: ...
    @property
    def info(self) -> dict[str, Any]: ...
    @property
    def device(self) -> dict[str, str] | None: ...
    def tic(self, *, threads: int | None = None) -> tuple[Any, Any]: ...
    def bpc(self, *, threads: int | None = None) -> tuple[Any, Any]: ...


class RunViews:
    """Notebook views of a morvane.Run (mixed into Run)."""

    def _repr_html_(self: _RunLike) -> str:
        """A summary table: path, scans by MS level, RT range, instrument and
        a sparkline of the MS1 TIC of the scan table."""
        e = html.escape
        if self.closed:
            return f"<p>morvane.Run <code>{e(self.path)}</code> (closed)</p>"
        scans = self.scans
        levels, counts = np.unique(scans["ms_level"], return_counts=True)
        by_level = ", ".join(f"MS{int(level)}: {int(count):,}" for level, count in zip(levels, counts, strict=True))
        rt = np.asarray(scans["rt"], np.float64)
        finite = rt[np.isfinite(rt)]
        rt_range = (f"{_minutes(float(finite.min()))} – {_minutes(float(finite.max()))}" if finite.size else "–")
        ms1 = np.asarray(scans["ms_level"]) == 1
        chosen = ms1 if ms1.any() else np.ones(rt.shape, dtype=bool)
        spark = sparkline(rt[chosen], np.asarray(scans["tic"], np.float64)[chosen])
        rows = [
            ("path", f"<code>{e(self.path)}</code>"),
            ("scans", f"{len(rt):,} ({e(by_level)})" if len(rt) else "0"),
            ("retention time", e(rt_range)),
            ("instrument", e(_instrument(self.info, self.device))),
            ("TIC" + (" (MS1)" if ms1.any() else ""), spark),
        ]
        body = "".join(f'<tr><th style="text-align:left">{k}</th><td style="text-align:left">{v}</td></tr>'
                       for k, v in rows)
        return f'<table class="morvane-run"><caption>morvane.Run</caption>{body}</table>'

    def plot_tic(self: _RunLike, *, base_peak: bool = False, threads: int | None = None, **layout: Any) -> Any:
        """The run's MS1 total-ion-current chromatogram as a plotly figure
        (with base_peak=True also the base-peak chromatogram, on a second y
        axis); layout keywords go to the figure's update_layout. Needs
        plotly: pip install 'karvel[report]'."""
        go = _plotly()
        rt, tic = self.tic(threads=threads)
        fig = go.Figure()
        x, y = thin(np.asarray(rt, np.float64), np.asarray(tic, np.float64))
        fig.add_trace(go.Scatter(x=x, y=y, mode="lines", name="TIC", line={"width": 1}))
        if base_peak:
            rt_b, bpc = self.bpc(threads=threads)
            xb, yb = thin(np.asarray(rt_b, np.float64), np.asarray(bpc, np.float64))
            fig.add_trace(go.Scatter(x=xb, y=yb, mode="lines", name="BPC", yaxis="y2", line={"width": 1}))
            fig.update_layout(yaxis2={"title": {"text": "base peak intensity"}, "overlaying": "y", "side": "right",
                                      "exponentformat": "e"})
        fig.update_layout(title={"text": f"TIC of {self.path}"}, template="plotly_white",
                          xaxis={"title": {"text": "retention time (s)"}},
                          yaxis={"title": {"text": "intensity"}, "exponentformat": "e"})
        fig.update_layout(**layout)
        return fig


def plot_spectrum(spectrum: Spectrum, **layout: Any) -> Any:
    """One spectrum as a plotly figure: a line for a profile, a stick for
    each peak of a centroid spectrum (as Spectrum.plot). Needs plotly."""
    go = _plotly()
    mz = np.asarray(spectrum.mz, np.float64)
    intensity = np.asarray(spectrum.intensity, np.float64)
    if spectrum.mode == "centroid":
        mz, intensity = thin(mz, intensity, 3000)
        x = np.repeat(mz, 3)
        y = np.column_stack([np.zeros_like(intensity), intensity, np.full_like(intensity, np.nan)]).ravel()
    else:
        x, y = thin(mz, intensity, 20000)
    title = f"{spectrum.native_id} · MS{spectrum.ms_level} · RT {spectrum.rt:.2f} s"
    if spectrum.precursor_mz is not None and not math.isnan(spectrum.precursor_mz):
        title += f" · precursor m/z {spectrum.precursor_mz:.4f}"
    fig = go.Figure(go.Scatter(x=x, y=y, mode="lines", name=spectrum.native_id, line={"width": 1},
                               hovertemplate="m/z %{x:.4f}<br>intensity %{y:.4g}<extra></extra>"))
    fig.update_layout(title={"text": title}, template="plotly_white", xaxis={"title": {"text": "m/z"}},
                      yaxis={"title": {"text": "intensity"}, "exponentformat": "e"})
    fig.update_layout(**layout)
    return fig


# Spectrum.plot draws with this function: the package hands it to the
# extension, which imports nothing of the package.
_native.set_spectrum_plot(plot_spectrum)
