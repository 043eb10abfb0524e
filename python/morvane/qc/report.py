"""HTML quality-control reports of runs: one self-contained file per run
(``RUN.html``) and one for a batch (``report.html``), drawn with plotly and
readable offline.

Each report opens with a summary of its runs (scans, levels, retention
time range, undecodable spectra, outlying metrics) and shows the MS1 TIC
and base-peak chromatograms (overlaid on one y axis, and one named row per
run on its own axes), the MS1 and MS2 scan rates over retention time,
where each quarter of the TIC accumulates, the metrics table (in a batch,
values beyond 1.5 IQR of the batch flagged), the MS2 scans per cycle and
the precursor m/z where runs have MS2 scans, the mass calibration drift
over retention time, an RT x m/z map of the MS1 intensity and the spectrum
at the TIC maximum. The last two are read from the run's
data folder (``RunMetrics.path``); without it they are left out with a note.

Needs plotly: ``pip install 'karvel[report]'``.
"""

from __future__ import annotations

import os
from collections.abc import Sequence



def _require_plotly() -> None:
    try:
        import plotly  # type: ignore[import-untyped, import-not-found, unused-ignore]  # noqa: F401
    except ImportError as error:
        raise ImportError(
            "morvane.qc.report draws with plotly, which is not installed: pip install 'karvel[report]'"
        ) from error


_require_plotly()

from .. import __version__
from . import _report_figures as figures
from ._report_data import (RunTraces, intensity_map, metric_rows, summary_rows, tic_maximum_spectrum,
                           tic_quarters)
from ._report_html import Section, metrics_table, page, summary_table, write
from ._run_metrics import RunMetrics

__all__ = ["write_run_report", "write_batch_report"]

# The intensity map's grid: rows of retention time by columns of m/z. A
# batch shows one run's map at a time, on a coarser grid that keeps the
# maps of 20 runs to about a megabyte.
RUN_MAP_GRID = (200, 400)
BATCH_MAP_GRID = (60, 150)


def quarters_section(metrics: Sequence[RunMetrics]) -> Section:
    spans = [(m.run_name, tic_quarters(m)) for m in metrics]
    shown = [(name, q) for name, q in spans if q is not None]
    if not shown:
        return Section("TIC quarters", note="The metrics hold no TIC quantile RT fractions.")
    return Section("TIC quarters", figures.quarters([n for n, _ in shown], [q for _, q in shown]),
                   note="Each bar spans the retention times over which a quarter of the run's MS1 TIC "
                   "accumulated (TIC quantile RT fraction, MS:4000183).")


def _sections(metrics: Sequence[RunMetrics], batch: bool, threads: int | None) -> list[Section]:
    runs = [RunTraces.of(m) for m in metrics]
    names = [r.name for r in runs]
    rows = metric_rows(metrics)
    rt_bins, mz_bins = BATCH_MAP_GRID if batch else RUN_MAP_GRID
    maps = [intensity_map(r, rt_bins, mz_bins, threads) for r in runs]
    peaks = [tic_maximum_spectrum(r) for r in runs]
    missing = [r.name for r, m in zip(runs, maps, strict=True) if m is None]
    missing_note = (f"Not shown for {', '.join(missing)}: no data folder to read, no MS1 scan, "
                    "or its MS1 spectra could not be decoded." if missing else None)
    without_ms1 = [r.name for r in runs if not r.has_ms1_signal]
    ms1_note = f"No MS1 data in {', '.join(without_ms1)}." if without_ms1 else None
    sections: list[Section] = [Section("Summary", html=summary_table(summary_rows(runs, rows), batch))]
    if batch:
        sections += [
            Section("TIC", figures.overlaid(runs, "tic"), note=ms1_note),
            Section("Base peak", figures.overlaid(runs, "bpc"), note=ms1_note),
            Section("TIC and base peak by run", figures.panels(runs)),
        ]
    else:
        sections.append(Section("TIC and base peak", figures.single_run_chromatograms(runs[0]), note=ms1_note))
    sections += [
        Section("Scan rate", figures.scan_rates(runs),
                note="Scans per minute over the last five intervals between scans of each level."),
        quarters_section(metrics),
        Section("Metrics", html=metrics_table(names, rows)
                + ('<p class="note">Shaded values lie beyond 1.5 IQR of the batch (▲ above, ▼ below).</p>'
                   if batch else "")),
    ]
    with_msn = [r for r in runs if r.msn.any()]
    if with_msn:
        sections.append(Section("MS2 per cycle", figures.ms2_per_cycle(runs)))
        if any(r.precursors()[0].size for r in runs):
            sections.append(Section("Precursor m/z", figures.precursors(runs)))
        else:
            sections.append(Section("Precursor m/z", note="No MS2 scan records a precursor m/z."))
    else:
        sections.append(Section("MS2", note="No MS2 scans in " + ("these runs." if batch else "this run.")))
    if any(r.has_drift for r in runs):
        sections.append(Section("Mass calibration drift", figures.drift(runs)))
    else:
        sections.append(Section("Mass calibration drift", note="No per-scan mass calibration in "
                                + ("these runs." if batch else "this run.")))
    if any(m is not None for m in maps):
        sections.append(Section("MS1 intensity map", figures.intensity_maps(runs, maps), note=missing_note))
    else:
        sections.append(Section("MS1 intensity map", note=missing_note))
    if any(p is not None for p in peaks):
        sections.append(Section("Spectrum at the TIC maximum", figures.spectra(runs, peaks)))
    else:
        sections.append(Section("Spectrum at the TIC maximum", note="No spectrum could be read from a data folder."))
    return sections


def write_run_report(m: RunMetrics, path: str | os.PathLike[str], *, threads: int | None = None) -> None:
    """Writes the report of one run to path (conventionally ``RUN.html``).
    threads: decoding threads for the intensity map (default: all cores)."""
    subtitle = f"{m.path} · {m.scans.num_rows:,} scans · morvane {__version__}"
    write(path, page(f"QC report: {m.run_name}", subtitle, _sections([m], False, threads)))


def write_batch_report(ms: Sequence[RunMetrics], path: str | os.PathLike[str], *,
                       threads: int | None = None) -> None:
    """Writes the report of a batch of runs to path (conventionally
    ``report.html``), the runs overlaid in the order given."""
    if not ms:
        raise ValueError("a batch report needs at least one run")
    subtitle = f"{len(ms)} runs · {sum(m.scans.num_rows for m in ms):,} scans · morvane {__version__}"
    write(path, page("QC report: batch of runs", subtitle, _sections(list(ms), True, threads)))
