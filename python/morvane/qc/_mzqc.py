"""mzQC 1.0.0 documents of runs: one runQuality per run (and one per
polarity for runs with both); a batch document holds the runQualities of
all its runs.

Every metric is a PSI-MS quality metric (MS:4000xxx) with its name and
definition as PSI-MS `PSI_MS_VERSION` gives them, so that a validator
loading the two vocabularies the document names (PSI-MS and UO) finds each
term. karvel's own figures (the calibration drift, the scan window range),
which no PSI-MS term means, are not written. A batch has no setQuality:
every per-run value belongs to its runQuality, and karvel computes no
metric whose term is defined over a set of runs."""

from __future__ import annotations

import datetime
import hashlib
import importlib.metadata
import os
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .. import __version__
from ._terms import DEFINITIONS, Metric

if TYPE_CHECKING:  # RunMetrics writes its document with this module
    from ._run_metrics import RunMetrics

MZQC_VERSION = "1.0.0"
#: The psi-ms.obo data-version whose terms and names the metrics use.
PSI_MS_VERSION = "4.1.258"
PSI_MS_URI = "https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo"
UO_URI = "http://purl.obolibrary.org/obo/uo.obo"
#: Where karvel is described when its distribution declares no home page.
FALLBACK_SOFTWARE_URI = "urn:karvel"

FILE_FORMAT = {"accession": "MS:1001509", "name": "Agilent MassHunter format"}
# Metadata terms, with their PSI-MS definitions (which a validator compares).
SOFTWARE_TERM = {"accession": "MS:1000799", "name": "custom unreleased software tool",
                 "description": "A software tool that has not yet been released. The value should describe the "
                                "software. Please do not use this term for publicly available software - contact "
                                "the PSI-MS working group in order to have another CV term added."}
POLARITY_TERMS = {
    "positive": {"accession": "MS:1000130", "name": "positive scan",
                 "description": "Polarity of the scan is positive."},
    "negative": {"accession": "MS:1000129", "name": "negative scan",
                 "description": "Polarity of the scan is negative."},
}


def software_version() -> str:
    try:
        return importlib.metadata.version("karvel")
    except importlib.metadata.PackageNotFoundError:
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
    out: dict[str, Any] = {"accession": metric.accession, "name": metric.name}
    if metric.accession in DEFINITIONS:
        out["description"] = DEFINITIONS[metric.accession]
    out["value"] = metric.value
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
        metrics = [quality_metric(x) for x in m.metrics if x.polarity == polarity and x.in_mzqc]
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


def integrity_notes(runs: Sequence[RunMetrics]) -> str:
    """The problems the reader met and worked around in each run, one
    sentence per run that has any: "Integrity of RUN: calibration_fallback
    6 (first: ...); ...". PSI-MS has no term for them, so they go into the
    document's description, where every mzQC reader shows them."""
    sentences = []
    for m in runs:
        events = getattr(m, "integrity", ())
        if events:
            listed = "; ".join(f"{event.kind} {event.count} (first: {event.first})" for event in events)
            sentences.append(f"Integrity of {m.run_name}: {listed}.")
    return " ".join(sentences)


def _document(body: dict[str, Any], runs: Sequence[RunMetrics] = ()) -> dict[str, Any]:
    now = datetime.datetime.now(datetime.UTC).replace(microsecond=0)
    description = "ID-free quality metrics of MassHunter LC-MS runs, computed by karvel."
    notes = integrity_notes(runs)
    return {"mzQC": {
        "version": MZQC_VERSION,
        "creationDate": now.isoformat().replace("+00:00", "Z"),
        "description": f"{description} {notes}" if notes else description,
        **body,
        "controlledVocabularies": controlled_vocabularies(),
    }}


def run_document(m: RunMetrics) -> dict[str, Any]:
    return _document({"runQualities": run_qualities(m)}, [m])


def batch_document(runs: Sequence[RunMetrics]) -> dict[str, Any]:
    """Every run's runQualities, in the order given."""
    if not runs:
        raise ValueError("a batch document needs at least one run")
    return _document({"runQualities": [q for m in runs for q in run_qualities(m)]}, runs)
