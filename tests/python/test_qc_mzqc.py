"""The mzQC documents of morvane.qc: valid against the mzQC 1.0.0 schema,
every term a real PSI-MS or UO term with its exact name and definition,
every value in the shape and unit its term defines, readable by pymzqc and
clean under its semantic check (given the vocabularies on disk)."""

from __future__ import annotations

import gzip
import json
import os
import re
import warnings
from functools import cache
from pathlib import Path

import pytest

pytest.importorskip("pyarrow")
jsonschema = pytest.importorskip("jsonschema")

import morvane.qc as qc  # noqa: E402
from morvane.qc import _mzqc  # noqa: E402
from morvane.qc._terms import TERMS  # noqa: E402

from qc_runs import drifting_run, tic_run, two_polarity_run  # noqa: E402

SCHEMA = Path(__file__).resolve().parent.parent / "data" / "mzqc" / "mzqc_schema.json"


@cache
def obo_terms(name: str) -> dict[str, dict[str, list[str]]]:
    """id -> {"name": [...], "is_a": [...], "has_units": [...], ...} of one of
    psims' bundled vocabularies."""
    psims = pytest.importorskip("psims")
    path = Path(os.path.dirname(psims.__file__)) / "controlled_vocabulary" / "vendor" / name
    terms: dict[str, dict[str, list[str]]] = {}
    current: dict[str, list[str]] | None = None
    with gzip.open(path, "rt", encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("["):
                current = None if line != "[Term]" else {}
            elif current is not None and ": " in line:
                key, _, rest = line.partition(": ")
                if key == "id":
                    terms[rest] = current
                if key == "relationship":
                    key, _, rest = rest.partition(" ")
                if key in ("name", "is_a", "has_units", "has_value_type", "data-version"):
                    current.setdefault(key, []).append(rest.split(" ! ")[0].strip())
                if key == "def":
                    current.setdefault(key, []).append(rest[1:rest.rindex('"')].replace('\\"', '"'))
    return terms


def psi_ms_version() -> str:
    psims = pytest.importorskip("psims")
    path = Path(os.path.dirname(psims.__file__)) / "controlled_vocabulary" / "vendor" / "psi-ms.obo.gz"
    with gzip.open(path, "rt", encoding="utf-8") as f:
        for line in f:
            if line.startswith("data-version:"):
                return line.split(":", 1)[1].strip()
    return ""


def known_name(accession: str) -> str | None:
    prefix = accession.split(":")[0]
    if prefix == "MS":
        term = obo_terms("psi-ms.obo.gz").get(accession)
    elif prefix == "UO":
        term = obo_terms("unit.obo.gz").get(accession)
    else:
        return None
    return term["name"][0] if term else None


def all_cv_parameters(document: dict) -> list[dict]:
    """Every object with an accession anywhere in the document."""
    found = []

    def walk(node: object) -> None:
        if isinstance(node, dict):
            if "accession" in node:
                found.append(node)
            for child in node.values():
                walk(child)
        elif isinstance(node, list):
            for child in node:
                walk(child)

    walk(document)
    return found


@pytest.fixture(scope="module")
def documents(tmp_path_factory):
    """A run document for each kind of run, and the batch of all three."""
    root = tmp_path_factory.mktemp("mzqc")
    runs = [qc.metrics(builder.build(root / name).path)
            for name, builder in [("plain.d", tic_run([1, 2, 3, 40])), ("both.d", two_polarity_run()),
                                  ("drift.d", drifting_run())]]
    docs = {m.run_name: m.to_mzqc() for m in runs}
    docs["batch"] = _mzqc.batch_document(runs)
    return runs, docs


DOCUMENT_NAMES = ["plain", "both", "drift", "batch"]


@pytest.mark.parametrize("name", DOCUMENT_NAMES)
def test_documents_are_valid_mzqc(documents, name):
    schema = json.loads(SCHEMA.read_text())
    document = documents[1][name]
    jsonschema.validate(document, schema, format_checker=jsonschema.FormatChecker())
    # Plain JSON: no NaN or infinity anywhere.
    json.dumps(document, allow_nan=False)


@pytest.mark.parametrize("name", DOCUMENT_NAMES)
def test_every_term_exists_with_its_exact_name(documents, name):
    for parameter in all_cv_parameters(documents[1][name]):
        accession = parameter["accession"]
        assert known_name(accession) == parameter["name"], accession


@pytest.mark.parametrize("name", DOCUMENT_NAMES)
def test_declared_vocabularies_cover_every_prefix(documents, name):
    document = documents[1][name]["mzQC"]
    prefixes = {p["accession"].split(":")[0] for p in all_cv_parameters(document)}
    names = " ".join(cv["name"] for cv in document["controlledVocabularies"])
    assert "Mass Spectrometry" in names and "Unit Ontology" in names
    assert prefixes <= {"MS", "UO"}
    assert [cv["uri"] for cv in document["controlledVocabularies"]] == [_mzqc.PSI_MS_URI, _mzqc.UO_URI]


def test_psi_ms_version_is_not_newer_than_the_vocabulary_checked_against():
    # The terms and names are checked against psims' vocabulary above; the
    # version the documents name must be one that vocabulary includes.
    def parts(version: str) -> tuple[int, ...]:
        return tuple(int(p) for p in version.split("."))
    assert parts(_mzqc.PSI_MS_VERSION) <= parts(psi_ms_version())


PSI_TERMS = [t for t in TERMS if t.accession.startswith("MS:")]


@pytest.mark.parametrize("term", PSI_TERMS, ids=lambda t: t.accession)
def test_every_metric_term_matches_the_vocabulary(term):
    # Its name, its definition word for word, its unit; the value shapes
    # are checked on written documents below.
    entry = obo_terms("psi-ms.obo.gz")[term.accession]
    assert entry["name"] == [term.name]
    assert entry["def"] == [term.definition]
    assert ({term.unit[0]} if term.unit else set()) == set(entry.get("has_units", []))
    assert entry["is_a"][0] in ("MS:4000003", "MS:4000004")  # a single value or a tuple, no table
    assert "obsolete" not in term.name


def test_the_local_figures_stay_out_of_every_document(documents):
    local = {t.accession for t in TERMS if not t.accession.startswith("MS:")}
    runs, docs = documents
    assert local & {x.accession for m in runs for x in m.metrics}  # they are computed
    for document in docs.values():
        assert local.isdisjoint(p["accession"] for p in all_cv_parameters(document))


@pytest.mark.parametrize("name", ["plain", "both", "drift"])
def test_metric_values_have_their_terms_shapes(documents, name):
    ms = obo_terms("psi-ms.obo.gz")
    for quality in documents[1][name]["mzQC"]["runQualities"]:
        for metric in quality["qualityMetrics"]:
            accession, value = metric["accession"], metric["value"]
            entry = ms[accession]
            if entry["is_a"][0] == "MS:4000003":       # single value
                if set(entry.get("has_value_type", [])) & {"xsd:int", "xsd:integer"}:
                    assert type(value) is int, accession
                else:
                    assert isinstance(value, (int, float)), accession
            else:                                       # n-tuple
                assert isinstance(value, list) and value, accession
                assert all(v is None or isinstance(v, (int, float)) for v in value), accession


def test_run_document_contents(documents):
    runs, docs = documents
    plain = docs["plain"]["mzQC"]
    assert plain["version"] == "1.0.0"
    (quality,) = plain["runQualities"]
    metadata = quality["metadata"]
    assert metadata["label"] == "plain"
    (input_file,) = metadata["inputFiles"]
    folder = Path(runs[0].path).absolute()
    assert input_file["name"] == "plain.d"
    assert input_file["location"] == folder.as_uri()
    assert input_file["fileFormat"] == {"accession": "MS:1001509", "name": "Agilent MassHunter format"}
    properties = {p["accession"]: p for p in input_file["fileProperties"]}
    import hashlib
    assert properties["MS:1000569"]["value"] == hashlib.sha1((folder / "AcqData" / "MSScan.bin").read_bytes()).hexdigest()
    assert properties["MS:1000747"]["value"] == runs[0].info["start_timestamp"]
    assert runs[0].info["instrument"]["accession"] in properties
    (software,) = metadata["analysisSoftware"]
    assert software["value"] == "karvel" and software["version"]
    metrics = {m["accession"]: m for m in quality["qualityMetrics"]}
    assert metrics["MS:4000059"]["value"] == 4
    assert metrics["MS:4000067"]["unit"] == {"accession": "UO:0000010", "name": "second"}
    assert "unit" not in metrics["MS:4000029"]
    # No chromatography duration is known from the data: that term is absent.
    assert "MS:4000053" not in metrics


def test_each_polarity_is_a_run_quality_of_its_own(documents):
    qualities = documents[1]["both"]["mzQC"]["runQualities"]
    assert [q["metadata"]["label"] for q in qualities] == ["both", "both (positive)", "both (negative)"]
    assert "cvParameters" not in qualities[0]["metadata"]
    assert [(p["accession"], p["name"]) for p in qualities[1]["metadata"]["cvParameters"]] == \
        [("MS:1000130", "positive scan")]
    assert [(p["accession"], p["name"]) for p in qualities[2]["metadata"]["cvParameters"]] == \
        [("MS:1000129", "negative scan")]
    counts = [{m["accession"]: m["value"] for m in q["qualityMetrics"]}["MS:4000059"] for q in qualities]
    assert counts == [4, 2, 2]


def test_batch_document_holds_every_run(documents):
    runs, docs = documents
    batch = docs["batch"]["mzQC"]
    labels = [q["metadata"]["label"] for q in batch["runQualities"]]
    assert labels == ["plain", "both", "both (positive)", "both (negative)", "drift"]
    # No per-run values gathered under a single-value term for the set.
    assert "setQualities" not in batch
    assert batch["runQualities"] == [q for name in ("plain", "both", "drift")
                                     for q in docs[name]["mzQC"]["runQualities"]]
    with pytest.raises(ValueError):
        _mzqc.batch_document([])


@cache
def semantic_vocabularies() -> dict:
    """The vocabularies a document names, loaded by pronto from psims' copies
    on disk (no network): PSI-MS and UO by their URIs."""
    psims = pytest.importorskip("psims")
    pronto = pytest.importorskip("pronto")
    vendor = Path(os.path.dirname(psims.__file__)) / "controlled_vocabulary" / "vendor"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UnicodeWarning)  # pronto guessing the files' encoding
        return {_mzqc.PSI_MS_URI: pronto.Ontology(str(vendor / "psi-ms.obo.gz"), import_depth=0),
                _mzqc.UO_URI: pronto.Ontology(str(vendor / "unit.obo.gz"), import_depth=0)}


@pytest.mark.parametrize("name", DOCUMENT_NAMES)
def test_pymzqc_semantic_check_finds_no_issue(documents, name, monkeypatch):
    pytest.importorskip("mzqc")
    from mzqc import MZQCFile, SemanticCheck

    loaded = semantic_vocabularies()

    def ontology(uri, import_depth=0):
        return loaded[uri]  # an unknown URI fails the load, as offline

    monkeypatch.setattr(SemanticCheck, "Ontology", ontology)
    document = MZQCFile.JsonSerialisable.from_json(json.dumps(documents[1][name]))
    check = SemanticCheck.SemanticCheck(document)
    check.validate()
    # The published PSI-MS file carries the UO units it uses as terms of its
    # own, so the check finds those in both vocabularies the document
    # (rightly) names; that is the one issue it may raise.
    carried = {term.id for term in loaded[_mzqc.PSI_MS_URI].terms() if term.id.startswith("UO:")}
    issues = [i._to_string() for found in check.values() for i in found
              if not (i.name == "Ambiguous CVTerms" and re.search(r"Term\('(UO:\d+)'", i.message)
                      and re.search(r"Term\('(UO:\d+)'", i.message).group(1) in carried)]
    assert issues == []


@pytest.mark.parametrize("name", DOCUMENT_NAMES)
def test_pymzqc_reads_the_documents_back(documents, name):
    mzqc = pytest.importorskip("mzqc")
    from mzqc import MZQCFile
    document = documents[1][name]
    read = MZQCFile.JsonSerialisable.from_json(json.dumps(document))
    assert read.version == "1.0.0"
    qualities = read.runQualities + read.setQualities
    written = document["mzQC"].get("runQualities", []) + document["mzQC"].get("setQualities", [])
    assert len(qualities) == len(written)
    for got, want in zip(qualities, written, strict=True):
        assert got.metadata.label == want["metadata"]["label"]
        assert [(m.accession, m.name, m.value) for m in got.qualityMetrics] == \
            [(m["accession"], m["name"], m["value"]) for m in want["qualityMetrics"]]
    assert mzqc is not None
