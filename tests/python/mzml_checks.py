"""Checks of written mzML files: the external validators (OpenMS FileInfo,
psims' XSD check, pyopenms' semantic check) and our own check of the index
offsets and the SHA-1 file checksum. Each returns a list of problems, empty
when the file passes."""

from __future__ import annotations

import hashlib
import re
import shutil
import subprocess
from pathlib import Path

_OFFSET = re.compile(rb'<offset idRef="([^"]*)">(\d+)</offset>')
_INDEX = re.compile(rb'<index name="(\w+)">(.*?)</index>', re.S)
_LIST_OFFSET = re.compile(rb"<indexListOffset>(\d+)</indexListOffset>")
_CHECKSUM = re.compile(rb"<fileChecksum>([0-9a-f]{40})</fileChecksum>\s*</indexedmzML>\s*$")
_ELEMENT = {b"spectrum": b"<spectrum ", b"chromatogram": b"<chromatogram "}


def _unescape(text: bytes) -> bytes:
    return text.replace(b"&quot;", b'"').replace(b"&lt;", b"<").replace(b"&gt;", b">").replace(b"&amp;", b"&")


def index_problems(path: Path) -> list[str]:
    """Every index offset points at the '<' of its element with that id,
    indexListOffset at <indexList, and the checksum is the SHA-1 of the
    file up to and including <fileChecksum>."""
    data = path.read_bytes()
    problems = []
    checksum = _CHECKSUM.search(data)
    if checksum is None:
        return ["no fileChecksum at the end"]
    covered = data[: checksum.start(1)]
    if hashlib.sha1(covered).hexdigest().encode() != checksum.group(1):
        problems.append("fileChecksum is not the SHA-1 of the file")
    list_offset = _LIST_OFFSET.search(data)
    if list_offset is None:
        return problems + ["no indexListOffset"]
    start = int(list_offset.group(1))
    if not data.startswith(b"<indexList ", start):
        problems.append(f"indexListOffset {start} does not point at <indexList")
    for name, body in _INDEX.findall(data[start:]):
        element = _ELEMENT.get(name)
        if element is None:
            problems.append(f"unknown index {name!r}")
            continue
        for ref, offset in _OFFSET.findall(body):
            at = int(offset)
            tag = data[at : data.find(b">", at)]
            if not tag.startswith(element) or b' id="' + ref + b'"' not in tag:
                problems.append(f"{name} offset {at} of {_unescape(ref)!r} points at {tag[:60]!r}")
    return problems


def fileinfo_problems(path: Path) -> list[str]:
    """OpenMS FileInfo: -v (schema and mapping rules) and -i (the index)."""
    problems = []
    for flag, success in (("-v", "Success - the file is semantically valid!"), ("-i", "Found a valid indexed")):
        done = subprocess.run(["FileInfo", "-in", str(path), flag], capture_output=True, text=True, timeout=120)
        output = done.stdout + done.stderr
        issues = [line for line in output.splitlines() if line.startswith(("Error", "Warning"))]
        if done.returncode != 0 or success not in output or issues:
            problems.append(f"FileInfo {flag}: exit {done.returncode}: " + "; ".join(issues or output.splitlines()[-3:]))
    return problems


def fileinfo_available() -> bool:
    return shutil.which("FileInfo") is not None


def psims_problems(path: Path) -> list[str]:
    """psims' XSD validation against mzML1.1.2_idx.xsd."""
    from psims.validation.validator import validate

    valid, schema = validate(str(path))
    if valid:
        return []
    return [f"XSD: {error.message} (line {error.line})" for error in schema.error_log]


def pyopenms_problems(path: Path) -> list[str]:
    """pyopenms' semantic validation (the mapping rules, no schema)."""
    import pyopenms

    valid, errors, warnings = _semantic_result(pyopenms.MzMLFile().isSemanticallyValid(str(path)))
    if valid and not errors and not warnings:
        return []
    return [f"pyopenms: {text}" for text in [*errors, *warnings]] or ["pyopenms: not semantically valid"]


def _semantic_result(result: object) -> tuple[bool, list[str], list[str]]:
    # (valid, errors, warnings); the lists hold bytes or str by version.
    valid, errors, warnings = result  # type: ignore[misc]
    text = [e.decode() if isinstance(e, bytes) else str(e) for e in errors]
    warned = [w.decode() if isinstance(w, bytes) else str(w) for w in warnings]
    return bool(valid), text, warned
