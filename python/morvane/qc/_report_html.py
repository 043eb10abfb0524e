"""One self-contained HTML file: the page's text, plotly's JavaScript and
the figures, all inside it. The JavaScript library (about 4.8 MB) and the
figures' JSON are stored gzip-compressed and base64-encoded, and unpacked
by the browser (DecompressionStream) when the page loads, which keeps a
report of a large batch to a few megabytes. Nothing is fetched: the file
opens from disk without a network or a server."""

from __future__ import annotations

import base64
import gzip
import html
import json
import os
import secrets
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import plotly.graph_objects as go  # type: ignore[import-untyped, import-not-found, unused-ignore]
import plotly.io as pio  # type: ignore[import-untyped, import-not-found, unused-ignore]
from plotly.offline import get_plotlyjs  # type: ignore[import-untyped, import-not-found, unused-ignore]

from ._report_data import MetricRow, RunSummaryRow


@dataclass(frozen=True)
class Section:
    title: str
    figure: go.Figure | None = None   # drawn into the section
    note: str | None = None           # text shown instead of (or under) the figure
    html: str | None = None           # ready markup (the metrics table)


def _packed(data: bytes) -> str:
    # mtime=0: the same report gives the same bytes.
    return base64.b64encode(gzip.compress(data, compresslevel=9, mtime=0)).decode("ascii")


_plotlyjs: list[str] = []  # packed once per process


def _packed_plotlyjs() -> str:
    if not _plotlyjs:
        _plotlyjs.append(_packed(get_plotlyjs().encode("utf-8")))
    return _plotlyjs[0]


_STYLE = """
body { font-family: system-ui, sans-serif; margin: 1.5em auto; max-width: 1400px; padding: 0 1em; color: #222; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; }
h2 { font-size: 1.15em; margin: 1.6em 0 0.4em; border-bottom: 1px solid #ddd; }
.meta { color: #666; font-size: 0.9em; }
.note { color: #666; font-style: italic; }
.qc-figure { min-height: 200px; }
table.metrics { border-collapse: collapse; font-size: 0.85em; }
table.metrics th, table.metrics td { border: 1px solid #ddd; padding: 3px 8px; text-align: right; }
table.metrics th:first-child, table.metrics td:first-child { text-align: left; }
table.metrics td.high { background: #fdd; }
table.metrics td.low { background: #ddf; }
table.metrics td.flagged { background: #fdd; text-align: left; }
table.metrics td.nodata { color: #888; font-style: italic; }
.headline { font-size: 1.05em; }
#qc-status { color: #a00; }
"""

# Unpacks the library and the figures, draws each figure into the element of
# its id, then marks the page rendered (data-rendered on <body>) so that a
# waiting reader knows the plots are there.
_LOADER = """
(async () => {
  const unpack = async (id) => {
    const text = atob(document.getElementById(id).textContent.trim());
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream("gzip"));
    return await new Response(stream).text();
  };
  const library = document.createElement("script");
  library.textContent = await unpack("qc-plotly");
  document.head.appendChild(library);
  const figures = JSON.parse(await unpack("qc-figures"));
  const config = {responsive: true, displaylogo: false};
  for (const [id, figure] of Object.entries(figures)) {
    await Plotly.newPlot(id, figure.data, figure.layout, config);
  }
  document.body.dataset.rendered = "true";
})().catch((error) => {
  document.getElementById("qc-status").textContent = "The plots could not be drawn: " + error;
  console.error(error);
});
"""


def metrics_table(names: Sequence[str], rows: Sequence[MetricRow]) -> str:
    """The metrics as an HTML table: one row per metric, one column per run;
    cells beyond the batch's fences are shaded and marked."""
    e = html.escape
    head = "".join(f"<th>{e(n)}</th>" for n in names)
    lines = [f'<table class="metrics"><thead><tr><th>metric</th><th>unit</th>{head}</tr></thead><tbody>']
    for row in rows:
        label = e(row.name) + (f" ({e(row.polarity)})" if row.polarity else "")
        cells = []
        for text, flag in zip(row.texts, row.flags, strict=True):
            if flag is None:
                cells.append(f"<td>{e(text)}</td>")
            else:
                mark = "▲" if flag == "high" else "▼"
                cells.append(f'<td class="{flag}" title="outlier: {flag} (beyond 1.5 IQR of the batch)">'
                             f"{e(text)} {mark}</td>")
        lines.append(f'<tr><td title="{e(row.accession)}">{label}</td><td>{e(row.unit)}</td>{"".join(cells)}</tr>')
    lines.append("</tbody></table>")
    return "\n".join(lines)


def summary_table(rows: Sequence[RunSummaryRow], batch: bool) -> str:
    """The summary header: a headline (runs, scans, flagged runs) and one
    line per run."""
    e = html.escape
    flagged = [r for r in rows if r.flagged]
    failed = [r for r in rows if r.undecoded]
    headline = [f"{len(rows)} run{'s' if len(rows) != 1 else ''}",
                f"{sum(r.scans for r in rows):,} scans"]
    if batch:
        headline.append(f"{len(flagged)} flagged")
    if failed:
        headline.append(f"{len(failed)} with undecodable spectra")
    lines = [f'<p class="headline">{e(" · ".join(headline))}</p>',
             '<table class="metrics summary"><thead><tr><th>run</th><th>scans</th><th>MS1</th><th>MS2+</th>'
             '<th>retention time (s)</th><th>undecodable</th>'
             + ("<th>flags</th>" if batch else "") + "</tr></thead><tbody>"]
    for r in rows:
        if r.scans == 0:
            cells = f'<td class="nodata" colspan="{5 + batch}">no data</td>'
        else:
            span = "–" if r.rt_range is None else f"{r.rt_range[0]:.1f} – {r.rt_range[1]:.1f}"
            cells = (f"<td>{r.scans:,}</td><td>{r.ms1:,}</td><td>{r.msn:,}</td><td>{e(span)}</td>"
                     f"<td>{r.undecoded:,}</td>")
            if batch:
                text = ", ".join(r.flagged)
                cells += (f'<td class="flagged" title="{e(text)}">{len(r.flagged)}: {e(text)}</td>' if r.flagged
                          else "<td>0</td>")
        lines.append(f"<tr><td>{e(r.name)}</td>{cells}</tr>")
    lines.append("</tbody></table>")
    return "\n".join(lines)


def page(title: str, subtitle: str, sections: Sequence[Section]) -> str:
    figures: dict[str, object] = {}
    body = [f"<h1>{html.escape(title)}</h1>", f'<p class="meta">{html.escape(subtitle)}</p>',
            '<p id="qc-status"></p>']
    for number, section in enumerate(sections):
        body.append(f"<h2>{html.escape(section.title)}</h2>")
        if section.html:
            body.append(section.html)
        if section.figure is not None:
            element = f"qc-figure-{number}"
            figures[element] = json.loads(pio.to_json(section.figure, validate=False))
            # The element keeps the figure's height; plotly fits its width.
            height = section.figure.layout.height or 450
            body.append(f'<div id="{element}" class="qc-figure" style="height:{int(height)}px"></div>')
        if section.note:
            body.append(f'<p class="note">{html.escape(section.note)}</p>')
    packed_figures = _packed(json.dumps(figures, separators=(",", ":")).encode("utf-8"))
    return "\n".join([
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{html.escape(title)}</title><style>{_STYLE}</style></head><body>",
        *body,
        f'<script id="qc-plotly" type="application/octet-stream">{_packed_plotlyjs()}</script>',
        f'<script id="qc-figures" type="application/octet-stream">{packed_figures}</script>',
        f"<script>{_LOADER}</script>",
        "</body></html>",
        "",
    ])


def write(path: str | os.PathLike[str], text: str) -> None:
    """Writes text to path through a temporary file in the same folder, so
    that a failure leaves no half report under the final name. The file
    gets the mode any new file gets under the umask (as the other outputs
    do), not a temporary file's private one."""
    target = Path(path)
    folder = target.parent or Path(".")
    while True:
        temporary = folder / f".{target.name}.{secrets.token_hex(6)}.tmp"
        try:
            handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
