"""Benchmark rows of the mzPeak writer (section 16), each measurement in a
fresh interpreter (`python bench/mzpeak_bench.py TASK JSON`):

- archive size against zlib mzML, MS-Numpress mzML (linear m/z, SLOF
  intensities) and karvel's Parquet of the same run, profile and centroid;
- write throughput of `Run.to_mzpeak` against `Run.to_parquet`;
- one spectrum by index, and one XIC over the whole run, read from the
  archive with pyarrow alone (footer statistics choose the row groups)
  against the same from indexed mzML with pyopenms (OnDiscMSExperiment),
  each timed from opening the file.

`python bench/mzpeak_bench.py [--quick] [--scans=PROFILE,CENTROID]` prints
this section alone, optionally on runs of fewer scans than `make bench`'s.
"""

from __future__ import annotations

import json
import tempfile
import time
import zipfile
from pathlib import Path
from typing import Any, Callable

from measure import measure as shared_measure, serve

SCRIPT = Path(__file__).resolve()
SECTION = "16 mzPeak"
XIC_PPM = 20.0


def warm_imports() -> None:
    """Loads what pyarrow loads on first use (its pandas shim included), so
    that timings, like pyopenms', leave out the libraries' loading."""
    import numpy  # noqa: F401
    import pyarrow as pa
    import pyarrow.compute  # noqa: F401
    import pyarrow.parquet  # noqa: F401
    pa.array([0]).to_numpy(zero_copy_only=False)


# Writing -------------------------------------------------------------------------------------

def write(args: dict) -> dict:
    """Sizes of every output of the run, and the fastest of `repeats`
    to_mzpeak and to_parquet times (one thread each, as in a batch)."""
    import morvane
    warm_imports()
    run = morvane.open(args["path"])
    points = int(run.scans["points"].sum())
    out = Path(args["out"])
    out.mkdir(parents=True, exist_ok=True)
    times = {"mzpeak": float("inf"), "parquet": float("inf")}
    for _ in range(args["repeats"]):
        for kind, target in (("mzpeak", out / "run.mzpeak"), ("parquet", out / "run.parquet")):
            start = time.perf_counter()
            getattr(run, f"to_{kind}")(target, threads=1)
            times[kind] = min(times[kind], time.perf_counter() - start)
    run.to_mzpeak(out / "numpress.mzpeak", threads=1, mz_encoding="numpress")
    run.to_mzml(out / "zlib.mzML", threads=1)
    run.to_mzml(out / "numpress.mzML", threads=1, numpress_mz="linear", numpress_intensity="slof")
    sizes = {name: (out / name).stat().st_size for name in ("run.mzpeak", "numpress.mzpeak", "run.parquet",
                                                             "zlib.mzML", "numpress.mzML")}
    return {"seconds": times, "bytes": sizes, "points": points, "spectra": len(run)}


# Reading the archive with pyarrow alone ---------------------------------------------------------

class Archive:
    """The archive's members as zero-copy slices of the memory-mapped file:
    members are stored, so a member's bytes are a range of the archive."""

    def __init__(self, path: str) -> None:
        import pyarrow as pa
        self.map = pa.memory_map(path)
        with zipfile.ZipFile(path) as archive:
            self.members = {}
            for info in archive.infolist():
                self.map.seek(info.header_offset + 26)
                name_length, extra_length = (int.from_bytes(self.map.read(2), "little") for _ in range(2))
                start = info.header_offset + 30 + name_length + extra_length
                self.members[info.filename] = (start, info.file_size)
        self.index = json.loads(self.read("mzpeak_index.json").to_pybytes())

    def read(self, name: str) -> Any:
        start, size = self.members[name]
        self.map.seek(start)
        return self.map.read_buffer(size)

    def parquet(self, entity: str, kind: str) -> Any:
        import pyarrow as pa
        import pyarrow.parquet as pq
        name = next(f["name"] for f in self.index["files"] if f["entity_type"] == entity and f["data_kind"] == kind)
        return pq.ParquetFile(pa.BufferReader(self.read(name)))


def _leaf(metadata: Any, path: str) -> int:
    return next(i for i in range(metadata.num_columns) if metadata.schema.column(i).path == path)


def _decode(table: Any, array_index: dict) -> tuple[Any, Any, Any]:
    """(entity index per point, axis, intensity) of the table's rows."""
    import numpy as np
    import pyarrow.compute as pc
    prefix = array_index["prefix"]
    root = table.column(prefix).combine_chunks()

    def column(path: str) -> Any:
        return pc.struct_field(root, [root.type.get_field_index(path.split(".", 1)[1])])
    entries = array_index["entries"]
    index = pc.struct_field(root, [0]).to_numpy(zero_copy_only=False)
    if prefix == "point":
        axis = next(e for e in entries if e.get("sorting_rank") == 0)
        intensity = next(e for e in entries if e["array_type"] == "MS:1000515")
        return index, column(axis["path"]).to_numpy(zero_copy_only=False), column(intensity["path"]).to_numpy(zero_copy_only=False)
    by = {e["buffer_format"]: e for e in entries}
    intensity_entry = next(e for e in entries if e["buffer_format"] == "chunk_secondary"
                           and e["array_type"] == "MS:1000515")
    starts = column(by["chunk_start"]["path"]).to_numpy(zero_copy_only=False)
    values = column(by["chunk_values"]["path"])
    intensities = column(intensity_entry["path"])
    encodings = column(by["chunk_encoding"]["path"]).to_pylist()
    flat = values.values.fill_null(0.0).to_numpy(zero_copy_only=False)
    present = values.values.is_valid().to_numpy(zero_copy_only=False)
    offsets = values.offsets.to_numpy(zero_copy_only=False)
    points = np.diff(intensities.offsets.to_numpy(zero_copy_only=False))
    axes = []
    for row in range(len(starts)):
        rest, valid = flat[offsets[row]:offsets[row + 1]], present[offsets[row]:offsets[row + 1]]
        # A null-marked first point stays among the values; null-marked
        # points (intensity 0) keep a NaN m/z here, adding nothing to sums.
        head = [] if len(rest) == points[row] else [starts[row]]
        if encodings[row] == "MS:1003089" and valid.all():
            rest = starts[row] + np.cumsum(rest)
        elif encodings[row] == "MS:1003089":
            # a value after a null is the m/z itself, the others steps
            begins = valid & ~np.concatenate(([bool(head)], valid[:-1]))
            sums = np.concatenate(([0.0], np.cumsum(rest)))
            first = np.maximum.accumulate(np.where(begins, np.arange(rest.size), 0))
            rest = np.where(valid, sums[1:] - sums[first] + np.where(first == 0, starts[row] if head else 0.0, 0.0),
                            np.nan)
        else:
            rest = np.where(valid, rest, np.nan)
        axes.append(np.concatenate((head, rest)))
    if not axes:
        return index[:0], np.zeros(0), np.zeros(0, np.float32)
    return np.repeat(index, points), np.concatenate(axes), \
        intensities.values.fill_null(0.0).to_numpy(zero_copy_only=False)


def mzpeak_spectrum(args: dict) -> dict:
    import numpy as np
    import pyarrow.compute as pc
    warm_imports()
    start = time.perf_counter()
    wanted = args["index"]
    parquet = Archive(args["archive"]).parquet("spectrum", args["kind"])
    metadata = parquet.metadata
    array_index = json.loads(metadata.metadata[b"spectrum_array_index"])
    leaf = _leaf(metadata, f"{array_index['prefix']}.spectrum_index")
    groups = [g for g in range(metadata.num_row_groups)
              if (s := metadata.row_group(g).column(leaf).statistics) is not None and s.min <= wanted <= s.max]
    table = parquet.read_row_groups(groups)
    # only the wanted spectrum's rows (points or chunks) are decoded
    root = table.column(array_index["prefix"]).combine_chunks()
    table = table.filter(pc.equal(pc.struct_field(root, [0]), wanted))
    owners, axis, intensity = _decode(table, array_index)
    keep = owners == wanted
    mz, values = axis[keep], intensity[keep]
    return {"seconds": time.perf_counter() - start, "points": int(mz.size), "checksum": float(np.sum(values, dtype=np.float64))}


def mzpeak_xic(args: dict) -> dict:
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc
    warm_imports()
    start = time.perf_counter()
    low, high = args["mz"] * (1 - XIC_PPM * 1e-6), args["mz"] * (1 + XIC_PPM * 1e-6)
    archive = Archive(args["archive"])
    meta = archive.parquet("spectrum", "metadata").read(columns=["index", "time", "ms_level"])
    parquet = archive.parquet("spectrum", args["kind"])
    array_index = json.loads(parquet.metadata.metadata[b"spectrum_array_index"])
    table = parquet.read()
    if array_index["prefix"] == "chunk":
        # Only the chunks whose m/z range meets the window are decoded.
        by = {e["buffer_format"]: e["path"].split(".", 1)[1] for e in array_index["entries"]}
        root = table.column("chunk")
        starts = np.asarray(pc.struct_field(root, [root.type.get_field_index(by["chunk_start"])]))
        ends = np.asarray(pc.struct_field(root, [root.type.get_field_index(by["chunk_end"])]))
        table = table.filter(pa.array((starts <= high) & (ends >= low)))
    owners, axis, intensity = _decode(table, array_index)
    inside = (axis >= low) & (axis <= high)
    ms1 = np.asarray(meta.column("index"))[np.asarray(meta.column("ms_level").fill_null(0)) == 1]
    sums = np.bincount(owners[inside].astype(np.int64), weights=intensity[inside].astype(np.float64),
                       minlength=int(meta.num_rows))[ms1]
    return {"seconds": time.perf_counter() - start, "checksum": float(sums.sum()), "points": int(ms1.size)}


def pyopenms_spectrum(args: dict) -> dict:
    import numpy as np
    import pyopenms
    start = time.perf_counter()
    experiment = pyopenms.OnDiscMSExperiment()
    experiment.openFile(args["mzml"])
    mz, intensity = experiment.getSpectrum(args["index"]).get_peaks()
    return {"seconds": time.perf_counter() - start, "points": int(len(mz)),
            "checksum": float(np.sum(intensity, dtype=np.float64)), "version": pyopenms.__version__}


def pyopenms_xic(args: dict) -> dict:
    import numpy as np
    import pyopenms
    start = time.perf_counter()
    low, high = args["mz"] * (1 - XIC_PPM * 1e-6), args["mz"] * (1 + XIC_PPM * 1e-6)
    experiment = pyopenms.OnDiscMSExperiment()
    experiment.openFile(args["mzml"])
    total, count = 0.0, 0
    for position in range(experiment.getNrSpectra()):
        spectrum = experiment.getSpectrum(position)
        if spectrum.getMSLevel() != 1:
            continue
        mz, intensity = spectrum.get_peaks()
        inside = (mz >= low) & (mz <= high)
        total += float(np.sum(intensity[inside], dtype=np.float64))
        count += 1
    return {"seconds": time.perf_counter() - start, "checksum": total, "points": count,
            "version": pyopenms.__version__}


TASKS = {f.__name__: f for f in (write, mzpeak_spectrum, mzpeak_xic, pyopenms_spectrum, pyopenms_xic)}


# Rows -------------------------------------------------------------------------------------------

def measure(task: str, repetitions: int = 1, **arguments: Any) -> dict:
    return shared_measure(task, repetitions, script=str(SCRIPT), **arguments)


def rows(*, runs: dict, scratch: Path, repetitions: int, row: Callable[..., Any]) -> list:
    out = []
    for name, kind, goal in (("profile_lzf", "data_arrays", "<= 0.5"), ("centroid_f3", "peaks", "")):
        run = runs[name]
        label = f"{name} ({run.params.scans} x {run.params.points})"
        folder = Path(tempfile.mkdtemp(dir=scratch, prefix="mzpeak-"))
        result = measure("write", 1, path=str(run.path), out=str(folder), repeats=max(1, repetitions))
        if "error" in result:
            out.append(row(SECTION, f"{label} size", "MB", None, None, "zlib mzML", note=result["error"]))
            continue
        mb = {key: value / 1e6 for key, value in result["bytes"].items()}
        out.append(row(SECTION, f"{label} size vs zlib mzML", "MB", mb["run.mzpeak"], mb["zlib.mzML"], "zlib mzML",
                       goal))
        out.append(row(SECTION, f"{label} size vs numpress mzML", "MB", mb["run.mzpeak"], mb["numpress.mzML"],
                       "numpress mzML"))
        out.append(row(SECTION, f"{label} size vs Parquet", "MB", mb["run.mzpeak"], mb["run.parquet"],
                       "to_parquet"))
        out.append(row(SECTION, f"{label} size, numpress m/z chunks, vs numpress mzML", "MB",
                       mb["numpress.mzpeak"], mb["numpress.mzML"], "numpress mzML"))
        seconds = result["seconds"]
        points = result["points"]
        out.append(row(SECTION, f"{label} write", "Mpoints/s", points / seconds["mzpeak"] / 1e6,
                       points / seconds["parquet"] / 1e6, "to_parquet", ">= 0.7"))
        archive = str(folder / "run.mzpeak")
        mzml = str(folder / "zlib.mzML")
        middle = result["spectra"] // 2
        for task, what, arguments in (("spectrum", f"one spectrum (#{middle})", {"index": middle}),
                                      ("xic", "XIC over the run", {"mz": _target(run)})):
            mine = measure(f"mzpeak_{task}", repetitions, archive=archive, kind=kind, **arguments)
            theirs = measure(f"pyopenms_{task}", repetitions, mzml=mzml, **arguments)
            if "error" in mine or "error" in theirs:
                out.append(row(SECTION, f"{label} {what}", "s", mine.get("seconds"), None, "pyopenms",
                               note=mine.get("error") or theirs.get("error")))
                continue
            same = abs(mine["checksum"] - theirs["checksum"]) <= 1e-3 * max(1.0, abs(theirs["checksum"]))
            name_ = f"{label} {what} vs pyopenms {theirs['version']}" + ("" if same else " (sums differ)")
            out.append(row(SECTION, name_, "s", mine["seconds"], theirs["seconds"], "pyopenms indexed mzML", "< 1"))
    return out


def _target(run: Any) -> float:
    template_mz = run.expected()[0][0]
    return float(template_mz[len(template_mz) // 2])


def standalone(quick: bool, scans: tuple[int, int] | None) -> None:
    import run as bench_run
    import rundata
    sizes = bench_run.QUICK if quick else bench_run.FULL
    chosen = [p for p in sizes.runs if p.name in ("profile_lzf", "centroid_f3")]
    if scans is not None:
        chosen = [p.with_scans(p.name, scans[p.name == "centroid_f3"]) for p in chosen]
    runs = {p.name: rundata.generate(p, bench_run.DATA_DIR, bench_run.log) for p in chosen}
    scratch = bench_run.REPO / "build" / "bench-scratch"
    scratch.mkdir(parents=True, exist_ok=True)
    print(bench_run.render(rows(runs=runs, scratch=scratch, repetitions=sizes.repetitions, row=bench_run.row)))


if __name__ == "__main__":
    import sys
    if len(sys.argv) >= 2 and sys.argv[1] in TASKS:
        serve(TASKS)
    else:
        counts = next((a.split("=", 1)[1] for a in sys.argv if a.startswith("--scans=")), None)
        standalone("--quick" in sys.argv, tuple(int(n) for n in counts.split(",")) if counts else None)
