"""mzQC 1.0.0 documents of runs: one runQuality per run (and one per
polarity for runs with both), and for a batch one setQuality over all runs.

The metric terms are PSI-MS quality metrics (MS:4000xxx) checked against
PSI-MS `PSI_MS_VERSION`; karvel's own metrics (the calibration drift, which
no PSI-MS term covers) use the local vocabulary KARVEL, declared in the
document's controlledVocabularies."""

from __future__ import annotations

import datetime
import hashlib
import importlib.metadata
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from . import Metric, RunMetrics
from ._metrics import KARVEL_CV

MZQC_VERSION = "1.0.0"
#: The psi-ms.obo data-version whose terms and names the metrics use.
PSI_MS_VERSION = "4.1.258"
PSI_MS_URI = "https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo"
UO_URI = "http://purl.obolibrary.org/obo/uo.obo"
#: Where karvel is described when its distribution declares no home page.
FALLBACK_SOFTWARE_URI = "urn:karvel"

FILE_FORMAT = {"accession": "MS:1001509", "name": "Agilent MassHunter format"}
SOFTWARE_TERM = {"accession": "MS:1000799", "name": "custom unreleased software tool"}
POLARITY_TERMS = {
    "positive": {"accession": "MS:1000130", "name": "positive scan"},
    "negative": {"accession": "MS:1000129", "name": "negative scan"},
}


def software_version() -> str:
    try:
        return importlib.metadata.version("karvel")
    except importlib.metadata.PackageNotFoundError:
        from .. import __version__
        return __version__


def software_uri() -> str:
    """The home page karvel's distribution declares, else a URN naming it."""
    try:
        meta = importlib.metadata.metadata("karvel")
    except importlib.metadata.PackageNotFoundError:
        return FALLBACK_SOFTWARE_URI
    for entry in meta.get_all("Project-URL") or []:
        label, _, url = str(entry).partition(",")
        if label.strip().lower() in ("homepage", "home", "documentation", "source") and url.strip():
            return url.strip()
    home = meta.get("Home-page")
    return str(home) if home else FALLBACK_SOFTWARE_URI


def sha1_of(path: str | os.PathLike[str]) -> str:
    digest = hashlib.sha1()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


def controlled_vocabularies() -> list[dict[str, str]]:
    return [
        {"name": "Proteomics Standards Initiative Mass Spectrometry Ontology", "uri": PSI_MS_URI,
         "version": PSI_MS_VERSION},
        {"name": "Unit Ontology", "uri": UO_URI},
        {"name": f"{KARVEL_CV}: karvel's own quality metrics (see karvel's README, Quality control)",
         "uri": software_uri(), "version": software_version()},
    ]


def input_file(m: RunMetrics) -> dict[str, Any]:
    """The run folder as an mzQC inputFile: its location, name, format, the
    SHA-1 of its scan table, its acquisition time and instrument model."""
    folder = Path(m.path).absolute()
    properties: list[dict[str, Any]] = []
    scan_table = folder / "AcqData" / "MSScan.bin"
    if scan_table.is_file():
        properties.append({"accession": "MS:1000569", "name": "SHA-1", "value": sha1_of(scan_table)})
    acquired = m.info.get("start_timestamp")
    if acquired:
        properties.append({"accession": "MS:1000747", "name": "completion time", "value": acquired})
    instrument = m.info.get("instrument")
    if instrument and instrument.get("accession"):
        properties.append({"accession": instrument["accession"], "name": instrument["name"]})
    entry: dict[str, Any] = {"location": folder.as_uri(), "name": folder.name, "fileFormat": dict(FILE_FORMAT)}
    if properties:
        entry["fileProperties"] = properties
    return entry


def analysis_software() -> list[dict[str, Any]]:
    return [{**SOFTWARE_TERM, "value": "karvel", "version": software_version(), "uri": software_uri()}]


def quality_metric(metric: Metric) -> dict[str, Any]:
    out: dict[str, Any] = {"accession": metric.accession, "name": metric.name, "value": metric.value}
    if metric.unit:
        units = [{"accession": a, "name": n} for a, n in metric.unit]
        out["unit"] = units[0] if len(units) == 1 else units
    return out


def run_qualities(m: RunMetrics) -> list[dict[str, Any]]:
    """The whole run, then one runQuality per polarity (labelled
    "RUN (positive)", with the scan polarity term in its cvParameters)."""
    files = [input_file(m)]
    out = []
    polarities = [None] + sorted({x.polarity for x in m.metrics if x.polarity is not None}, reverse=True)
    for polarity in polarities:
        metrics = [quality_metric(x) for x in m.metrics if x.polarity == polarity]
        if not metrics:
            continue
        metadata: dict[str, Any] = {
            "label": m.run_name if polarity is None else f"{m.run_name} ({polarity})",
            "inputFiles": files,
            "analysisSoftware": analysis_software(),
        }
        if polarity is not None:
            metadata["cvParameters"] = [dict(POLARITY_TERMS[polarity])]
        out.append({"metadata": metadata, "qualityMetrics": metrics})
    return out


def set_quality(runs: Sequence[RunMetrics], label: str) -> dict[str, Any]:
    """One setQuality over runs: each whole-run single-value metric (a count,
    a duration, an area, the drift figures) as one value per run, in the
    order of the set's inputFiles (None where a run has no value)."""
    columns: dict[tuple[str, str], list[Any]] = {}
    units: dict[tuple[str, str], list[tuple[str, str]] | None] = {}
    for i, m in enumerate(runs):
        for x in m.metrics:
            if x.polarity is not None or isinstance(x.value, (list, dict)):
                continue
            key = (x.accession, x.name)
            columns.setdefault(key, [None] * len(runs))[i] = x.value
            units[key] = x.unit
    metrics = [quality_metric(Metric(a, n, values, units[(a, n)])) for (a, n), values in columns.items()]
    return {
        "metadata": {
            "label": label,
            "inputFiles": [input_file(m) for m in runs],
            "analysisSoftware": analysis_software(),
        },
        "qualityMetrics": metrics,
    }


def _document(body: dict[str, Any]) -> dict[str, Any]:
    now = datetime.datetime.now(datetime.UTC).replace(microsecond=0)
    return {"mzQC": {
        "version": MZQC_VERSION,
        "creationDate": now.isoformat().replace("+00:00", "Z"),
        "description": "ID-free quality metrics of MassHunter LC-MS runs, computed by karvel",
        **body,
        "controlledVocabularies": controlled_vocabularies(),
    }}


def run_document(m: RunMetrics) -> dict[str, Any]:
    return _document({"runQualities": run_qualities(m)})


def batch_document(runs: Sequence[RunMetrics], label: str = "batch") -> dict[str, Any]:
    """Every run's runQualities and one setQuality over all of them."""
    qualities = [q for m in runs for q in run_qualities(m)]
    body: dict[str, Any] = {"runQualities": qualities} if qualities else {}
    if runs:
        body["setQualities"] = [set_quality(runs, label)]
    return _document(body)
