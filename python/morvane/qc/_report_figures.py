"""The plotly figures of the QC reports, one function per figure. Every
figure names each run in its legend (one legend group per run), so that a
click on a run's legend item hides all of that run's traces in the figure."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt
import plotly.graph_objects as go  # type: ignore[import-untyped, import-not-found, unused-ignore]
from plotly.colors import qualitative  # type: ignore[import-untyped, import-not-found, unused-ignore]
from plotly.subplots import make_subplots  # type: ignore[import-untyped, import-not-found, unused-ignore]

from .._traces import TRACE_POINTS, thin
from ._report_data import IntensityMap, PeakList, RunTraces, scan_rate

# Traces of small multiples (one panel per run) are thinner still.
PANEL_POINTS = 500
# Precursor m/z points a run keeps (the extremes of each stretch of time).
PRECURSOR_POINTS = 1000
_PALETTE = qualitative.Dark24 + qualitative.Light24


def colour(position: int) -> str:
    return str(_PALETTE[position % len(_PALETTE)])


def _line(position: int, suffix: str) -> dict[str, object]:
    # A run's negative-mode trace is dotted in the run's colour.
    return {"color": colour(position), "width": 1, **({"dash": "dot"} if suffix == " (−)" else {})}


def _f32(values: npt.NDArray[np.float64]) -> np.ndarray:
    # Four bytes a value are plenty for positions (retention times, m/z),
    # rates, ppm, the map's log10 cells and the spectra (stored as float32),
    # and halve their share of the file.
    return np.asarray(values, dtype=np.float32)


#: The largest magnitude float32 holds.
F32_MAX = float(np.finfo(np.float32).max)


def _f64(values: npt.NDArray[np.float64]) -> np.ndarray:
    # Intensities: four bytes where float32 holds every value, eight where
    # it does not, so that a TIC of 1e300 stays a number and its run stays
    # in the plot instead of becoming float32's infinity.
    values = np.asarray(values, dtype=np.float64)
    finite = values[np.isfinite(values)]
    if finite.size and np.abs(finite).max() > F32_MAX:
        return values
    return values.astype(np.float32)


NO_DATA = "no data"


def _no_data(fig: go.Figure, **where: object) -> None:
    """Writes "no data" in the middle of an empty plot (or subplot)."""
    fig.add_annotation(text=NO_DATA, showarrow=False, font={"size": 12, "color": "#888"},
                       x=0.5, y=0.5, xref=str(where.get("xref", "x domain")),
                       yref=str(where.get("yref", "y domain")))


def _tozero(fig: go.Figure, **selector: object) -> None:
    # Counts and intensities start at 0; plotly then picks round ticks
    # above it, never a negative one.
    fig.update_yaxes(rangemode="tozero", exponentformat="e", **selector)


def _layout(fig: go.Figure, title: str, height: int, x_title: str, y_title: str | None = None) -> go.Figure:
    # The section heading above the figure names it; the title is what a
    # downloaded PNG of the figure shows.
    fig.update_layout(title={"text": title, "font": {"size": 13}}, height=height, template="plotly_white",
                      hovermode="closest", legend={"itemclick": "toggle", "itemdoubleclick": "toggleothers"},
                      margin={"l": 70, "r": 30, "t": 40, "b": 50})
    fig.update_xaxes(title_text=x_title)
    if y_title:
        fig.update_yaxes(title_text=y_title, exponentformat="e")
    return fig


def overlaid(runs: Sequence[RunTraces], which: str) -> go.Figure:
    """TIC or base-peak chromatograms ("tic"/"bpc") of every run on one y axis."""
    fig = go.Figure()
    for position, run in enumerate(runs):
        for suffix, rt, values in run.chromatograms(run.tic if which == "tic" else run.base_peak):
            rt, values = thin(rt, values)
            fig.add_trace(go.Scatter(x=_f32(rt), y=_f64(values), name=run.name + suffix, legendgroup=run.name,
                                     mode="lines", line=_line(position, suffix)))
    title = "Total ion current (MS1)" if which == "tic" else "Base peak intensity (MS1)"
    _layout(fig, title, 420, "retention time (s)", "intensity")
    if not fig.data:
        _no_data(fig)
    _tozero(fig)
    return fig


def single_run_chromatograms(run: RunTraces) -> go.Figure:
    """One run's TIC (left axis) and base-peak chromatogram (right axis)."""
    fig = make_subplots(specs=[[{"secondary_y": True}]])
    for which, values, secondary, position in (("TIC", run.tic, False, 0), ("BPC", run.base_peak, True, 1)):
        for suffix, rt, y in run.chromatograms(values):
            rt, y = thin(rt, y)
            fig.add_trace(go.Scatter(x=_f32(rt), y=_f64(y), name=which + suffix, mode="lines",
                                     line=_line(position, suffix)), secondary_y=secondary)
    _layout(fig, "TIC and base peak (MS1)", 420, "retention time (s)")
    if not run.has_ms1_signal:
        _no_data(fig)
    _tozero(fig)
    fig.update_yaxes(title_text="TIC", secondary_y=False)
    # Ticks of its own (not the left axis' grid lines carried over, which
    # fall on odd values).
    fig.update_yaxes(title_text="base peak intensity", secondary_y=True, showgrid=False, tickmode="auto")
    return fig


def panels(runs: Sequence[RunTraces]) -> go.Figure:
    """One row per run, named by its run, each with its own y axes: TIC
    left, base peak right; "no data" in the row of a run without MS1."""
    rows = len(runs)
    fig = make_subplots(rows=rows, cols=2, shared_xaxes=True, column_titles=["TIC", "base peak"],
                        row_titles=[run.name for run in runs],
                        vertical_spacing=min(0.04, 0.3 / max(rows, 1)), horizontal_spacing=0.08)
    for position, run in enumerate(runs):
        for col, values in ((1, run.tic), (2, run.base_peak)):
            for part, (suffix, rt, y) in enumerate(run.chromatograms(values)):
                rt, y = thin(rt, y, limit=PANEL_POINTS)
                fig.add_trace(go.Scatter(x=_f32(rt), y=_f64(y), name=run.name + suffix, legendgroup=run.name,
                                         showlegend=col == 1 and part == 0, mode="lines",
                                         line=_line(position, suffix)),
                              row=position + 1, col=col)
            if not run.has_ms1_signal:
                axis = 2 * position + col
                suffix = "" if axis == 1 else str(axis)
                _no_data(fig, xref=f"x{suffix} domain", yref=f"y{suffix} domain")
                fig.update_yaxes(showticklabels=False, row=position + 1, col=col)
    _layout(fig, "TIC and base peak, one row per run (own y axes)", 120 + 110 * rows, "")
    _tozero(fig)
    fig.update_yaxes(nticks=3)
    # Run names at the right of their rows, clear of the right column's axis.
    fig.for_each_annotation(lambda a: a.update(textangle=0, xanchor="left", x=1.01)
                            if a.text in {run.name for run in runs} else None)
    fig.update_layout(margin={"r": 150})
    fig.update_xaxes(title_text="retention time (s)", row=rows)
    return fig


def scan_rates(runs: Sequence[RunTraces]) -> go.Figure:
    """MS1 and MS2 (and higher) scans per minute over retention time, each
    point the rate over the last few intervals between scans of that level."""
    fig = make_subplots(rows=2, cols=1, shared_xaxes=True, subplot_titles=["MS1", "MS2 and higher"],
                        vertical_spacing=0.1)
    for row, level in ((1, 1), (2, 2)):
        for position, run in enumerate(runs):
            rt, rate = scan_rate(run, level)
            if rt.size == 0:
                continue
            rt, rate = thin(rt, rate)
            fig.add_trace(go.Scatter(x=_f32(rt), y=_f32(rate), name=run.name, legendgroup=run.name,
                                     showlegend=row == 1, mode="lines",
                                     line={"color": colour(position), "width": 1}),
                          row=row, col=1)
    _layout(fig, "Scan rate", 480, "")
    _tozero(fig)
    fig.update_yaxes(title_text="scans per minute")
    fig.update_xaxes(title_text="retention time (s)", row=2)
    return fig


def ms2_per_cycle(runs: Sequence[RunTraces]) -> go.Figure:
    """The number of MS2 (and higher) scans after each MS1 scan, over
    retention time."""
    fig = go.Figure()
    for position, run in enumerate(runs):
        rt, counts = run.ms2_per_cycle()
        if rt.size == 0 or not counts.any():
            continue
        rt, values = thin(rt, counts.astype(np.float64))
        fig.add_trace(go.Scatter(x=_f32(rt), y=_f32(values), name=run.name, legendgroup=run.name,
                                 mode="lines", line={"color": colour(position), "width": 1, "shape": "hv"}))
    _layout(fig, "MS2 scans per cycle", 380, "retention time (s)", "MS2 scans after the MS1 scan")
    _tozero(fig)
    return fig


def precursors(runs: Sequence[RunTraces]) -> go.Figure:
    """Precursor m/z of the MS2 (and higher) scans over retention time."""
    fig = go.Figure()
    for position, run in enumerate(runs):
        rt, mz = run.precursors()
        if rt.size == 0:
            continue
        rt, mz = thin(rt, mz, limit=PRECURSOR_POINTS)
        fig.add_trace(go.Scatter(x=_f32(rt), y=_f32(mz), name=run.name, legendgroup=run.name,
                                 mode="markers", marker={"size": 3, "color": colour(position)}))
    return _layout(fig, "Precursor m/z", 420, "retention time (s)", "precursor m/z")


def quarters(names: Sequence[str], spans: Sequence[npt.NDArray[np.float64]]) -> go.Figure:
    """For each run, the retention-time spans over which each quarter of its
    MS1 TIC accumulated (see tic_quarters), as stacked horizontal bars."""
    fig = go.Figure()
    shades = ["#c6dbef", "#6baed6", "#2171b5", "#08306b"]
    for quarter in range(4):
        starts = np.array([s[quarter] for s in spans])
        ends = np.array([s[quarter + 1] for s in spans])
        fig.add_trace(go.Bar(y=names, x=ends - starts, base=starts, orientation="h", name=f"Q{quarter + 1}",
                             marker={"color": shades[quarter]},
                             hovertemplate="%{y}: %{base:.1f} – %{x:.1f} s later<extra>Q" + str(quarter + 1)
                             + "</extra>"))
    _layout(fig, "Where each quarter of the TIC accumulates", 160 + 28 * len(names), "retention time (s)")
    fig.update_layout(barmode="overlay")
    fig.update_yaxes(autorange="reversed", type="category")
    return fig


def drift(runs: Sequence[RunTraces]) -> go.Figure:
    """Per-scan mass calibration drift (ppm) over retention time."""
    fig = go.Figure()
    for position, run in enumerate(runs):
        if not run.has_drift:
            continue
        assert run.drift_ppm is not None
        keep = np.isfinite(run.drift_ppm)
        rt, ppm = thin(run.rt[keep], run.drift_ppm[keep])
        fig.add_trace(go.Scatter(x=_f32(rt), y=_f32(ppm), name=run.name, legendgroup=run.name,
                                   mode="lines+markers", marker={"size": 3, "color": colour(position)},
                                   line={"color": colour(position), "width": 1}))
    return _layout(fig, "Mass calibration drift", 380, "retention time (s)", "drift (ppm)")


def intensity_maps(runs: Sequence[RunTraces], maps: Sequence[IntensityMap | None]) -> go.Figure:
    """log10 of the summed MS1 intensity on the RT x m/z grid; with several
    runs a menu chooses the run shown."""
    fig = go.Figure()
    shown = [(run, m) for run, m in zip(runs, maps, strict=True) if m is not None]
    for position, (run, m) in enumerate(shown):
        cells = np.where(m.cells > 0, np.log10(np.where(m.cells > 0, m.cells, 1.0)), np.nan)
        mz_width = float(m.mz_edges[1] - m.mz_edges[0])
        rt_width = float(m.rt_edges[1] - m.rt_edges[0]) or 1.0
        fig.add_trace(go.Heatmap(
            z=_f32(cells), x0=float(m.mz_edges[0]) + mz_width / 2, dx=mz_width,
            y0=float(m.rt_edges[0]) + rt_width / 2, dy=rt_width, name=run.name, visible=position == 0,
            colorscale="Viridis", colorbar={"title": {"text": "log10 intensity"}},
            hovertemplate="m/z %{x:.2f}<br>RT %{y:.1f} s<br>log10 intensity %{z:.2f}<extra>%{fullData.name}</extra>"))
    _layout(fig, "MS1 intensity over retention time and m/z", 560, "m/z", "retention time (s)")
    if len(shown) > 1:
        buttons = [{"label": run.name, "method": "update",
                    "args": [{"visible": [i == j for j in range(len(shown))]}]}
                   for i, (run, _) in enumerate(shown)]
        fig.update_layout(updatemenus=[{"buttons": buttons, "x": 1.0, "y": 1.12, "xanchor": "right",
                                        "direction": "down"}])
    return fig


def spectra(runs: Sequence[RunTraces], peaks: Sequence[PeakList | None]) -> go.Figure:
    """Each run's spectrum at its TIC maximum (the first run's shown, the
    others a legend click away)."""
    fig = go.Figure()
    first = True
    for position, (run, p) in enumerate(zip(runs, peaks, strict=True)):
        if p is None:
            continue
        if p.centroid:
            # Sticks: each peak a vertical line from zero, three points a peak.
            mz, intensity = thin(p.mz, p.intensity.astype(np.float64), TRACE_POINTS // 3)
            x = np.repeat(mz, 3)
            y = np.column_stack([np.zeros_like(intensity), intensity, np.full_like(intensity, np.nan)]).ravel()
        else:
            x, y = thin(p.mz, p.intensity.astype(np.float64))
        fig.add_trace(go.Scatter(x=_f32(x), y=_f32(y), name=f"{run.name} ({p.rt:.1f} s)", legendgroup=run.name,
                                   mode="lines", line={"color": colour(position), "width": 1},
                                   visible=True if first else "legendonly"))
        first = False
    return _layout(fig, "Spectrum at the TIC maximum", 420, "m/z", "intensity")
