"""karvel's benchmark suite: `make bench` (or `make bench ARGS=--quick`).

Generates deterministic runs with the synthetic data-folder writer (cached
in build/bench-data/ under a hash of their parameters), builds and runs the
C++ benchmarks, runs every Python measurement in a fresh interpreter so that
its peak RSS is its own, and prints one table in which every figure stands
beside its reference, measured in the same run. The table is also written
as JSON (build/bench-results.json, or --json PATH).

Nothing here asserts a time: the goals are shown, not enforced.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
sys.path.insert(0, str(BENCH))

import conversions  # noqa: E402
import rundata  # noqa: E402
from measure import measure  # noqa: E402
from rundata import GeneratedRun, RunParams  # noqa: E402

BUILD_DIR = REPO / "build" / "bench"
DATA_DIR = REPO / "build" / "bench-data"
BENCH_BINARY = BUILD_DIR / "bench" / "karvel_bench"
PEERS = ("pyteomics", "pymzml")


@dataclass(frozen=True)
class Sizes:
    runs: tuple[RunParams, ...]
    stream_small_scans: int
    peer_profile_scans: int
    peer_centroid_scans: int
    noisy_profile: RunParams  # picking against decoding on a noisy baseline
    list_samples: int
    list_repeats: int
    min_time: float
    repetitions: int  # of every timing; the fastest counts


FULL = Sizes(
    runs=(
        RunParams("profile_lzf", "profile", 2000, 100_000, "lzf"),
        RunParams("profile_rle", "profile", 2000, 100_000, "run_length"),
        RunParams("centroid_f2", "centroid", 20_000, 2000, "2"),
        RunParams("centroid_f3", "centroid", 20_000, 2000, "3"),
        RunParams("mrm", "mrm", 100_000, 1, "3", template_scans=50),
    ),
    stream_small_scans=500, peer_profile_scans=100, peer_centroid_scans=2000,
    noisy_profile=RunParams("profile_noisy", "noisy_profile", 200, 100_000, "lzf"),
    list_samples=50, list_repeats=3, min_time=0.5, repetitions=3)

QUICK = Sizes(
    runs=(
        RunParams("profile_lzf", "profile", 40, 20_000, "lzf"),
        RunParams("profile_rle", "profile", 40, 20_000, "run_length"),
        RunParams("centroid_f2", "centroid", 400, 500, "2"),
        RunParams("centroid_f3", "centroid", 400, 500, "3"),
        RunParams("mrm", "mrm", 2000, 1, "3", template_scans=20),
    ),
    stream_small_scans=20, peer_profile_scans=10, peer_centroid_scans=100,
    noisy_profile=RunParams("profile_noisy", "noisy_profile", 20, 20_000, "lzf"),
    list_samples=10, list_repeats=3, min_time=0.01, repetitions=1)


def log(text: str) -> None:
    print(f"bench: {text}", file=sys.stderr, flush=True)


# Building and running ----------------------------------------------------------

def build_cpp() -> None:
    jobs = os.environ.get("JOBS", "2")
    if not (BUILD_DIR / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(BUILD_DIR), "-G", "Ninja", "-DKARVEL_PYTHON=OFF",
                        "-DKARVEL_BENCH=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD_DIR), "-j", jobs, "--target", "karvel_bench"],
                   check=True, stdout=subprocess.DEVNULL)


def run_cpp(run: GeneratedRun, sizes: Sizes) -> dict[str, dict]:
    """Benchmark name without the run suffix ("decode/karvel") -> its figures,
    the fastest of the repetitions."""
    out = run.directory / "cpp-bench.json"
    subprocess.run([str(BENCH_BINARY), f"--benchmark_min_time={sizes.min_time}",
                    f"--benchmark_repetitions={sizes.repetitions}", "--benchmark_format=json",
                    f"--benchmark_out={out}", "--benchmark_out_format=json", f"{run.params.name}={run.path}"],
                   check=True, stdout=subprocess.DEVNULL)
    results: dict[str, dict] = {}
    for entry in json.loads(out.read_text())["benchmarks"]:
        if entry.get("error_occurred"):
            raise RuntimeError(f"{entry['name']}: {entry.get('error_message')}")
        if entry.get("run_type", "iteration") != "iteration":
            continue
        key = "/".join(entry["name"].split("/")[:2])
        figures = {
            "seconds": entry["real_time"] / 1000.0,  # the benchmarks report milliseconds
            "items_per_second": entry.get("items_per_second"),
            "bytes_per_second": entry.get("bytes_per_second"),
        }
        if key not in results or figures["seconds"] < results[key]["seconds"]:
            results[key] = figures
    return results


def install_peers() -> None:
    """Installs the packages of requirements-bench.txt that do not import yet,
    one at a time: a package that does not install on this interpreter is
    reported in the table, it does not stop the benchmarks."""
    for line in (REPO / "requirements-bench.txt").read_text().splitlines():
        requirement = line.split("#", 1)[0].strip()
        if not requirement or peer_available(requirement) is None:
            continue
        log(f"installing {requirement}")
        completed = subprocess.run([sys.executable, "-m", "pip", "install", "--disable-pip-version-check", "-q",
                                    requirement], capture_output=True, text=True)
        if completed.returncode != 0:
            log(f"{requirement} does not install here; its figures will be missing")


def peer_available(name: str) -> str | None:
    """None when the peer imports on this interpreter, else the reason."""
    completed = subprocess.run([sys.executable, "-c", f"import {name}"], capture_output=True, text=True)
    if completed.returncode == 0:
        return None
    lines = completed.stderr.strip().splitlines()
    return lines[-1] if lines else "does not import"


def verify(run: GeneratedRun) -> None:
    """The first template cycle decodes as the writer predicts (later scans
    reuse the same stored blocks)."""
    import karvel
    expected = run.expected()
    wanted = min(len(expected), run.params.scans)
    for spectrum in karvel.iter_spectra(str(run.path)):
        mz, intensity = expected[spectrum.index % len(expected)]
        if spectrum.mz != mz or spectrum.intensity != intensity:
            raise RuntimeError(f"{run.params.name}: scan {spectrum.index} does not decode as the writer predicts")
        if spectrum.index + 1 >= wanted:
            break


# The table ---------------------------------------------------------------------

@dataclass
class Row:
    section: str
    name: str
    unit: str
    karvel: float | None
    reference: float | None
    reference_name: str
    goal: str = ""
    met: bool | None = None
    note: str = ""

    @property
    def ratio(self) -> float | None:
        if self.karvel is None or not self.reference:
            return None
        return self.karvel / self.reference

    def as_dict(self) -> dict:
        return {"section": self.section, "name": self.name, "unit": self.unit, "karvel": self.karvel,
                "reference": self.reference, "reference_name": self.reference_name, "ratio": self.ratio,
                "goal": self.goal, "met": self.met, "note": self.note}


def goal_met(ratio: float | None, goal: str) -> bool | None:
    if ratio is None or not goal:
        return None
    sign, value = goal.split()
    return ratio >= float(value) if sign == ">=" else ratio <= float(value)


def row(section, name, unit, karvel, reference, reference_name, goal="", note="") -> Row:
    r = Row(section, name, unit, karvel, reference, reference_name, goal, None, note)
    r.met = goal_met(r.ratio, goal)
    return r


def fmt(value: float | None) -> str:
    if value is None:
        return "-"
    if value == 0:
        return "0"
    magnitude = abs(value)
    if magnitude >= 100:
        return f"{value:,.0f}"
    if magnitude >= 10:
        return f"{value:.1f}"
    if magnitude >= 0.01:
        return f"{value:.3f}"
    return f"{value:.2e}"


def render(rows: list[Row]) -> str:
    header = ("measurement", "unit", "karvel", "reference", "value", "karvel/ref", "goal", "")
    lines = [header]
    for r in rows:
        verdict = "" if r.met is None else ("met" if r.met else "NOT met")
        if r.note and r.karvel is None:
            verdict = r.note
        lines.append((f"{r.section}: {r.name}", r.unit, fmt(r.karvel), r.reference_name, fmt(r.reference),
                      "-" if r.ratio is None else f"{r.ratio:.2f}x", r.goal.replace(">=", "≥").replace("<=", "≤"),
                      verdict))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    out = []
    for n, line in enumerate(lines):
        cells = [cell.ljust(widths[i]) if i in (0, 1, 3, 6, 7) else cell.rjust(widths[i])
                 for i, cell in enumerate(line)]
        out.append("  ".join(cells).rstrip())
        if n == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


# Measurements ------------------------------------------------------------------

def mega(value: float | None) -> float | None:
    return None if value is None else value / 1e6


def cpp_rows(runs: dict[str, GeneratedRun], cpp: dict[str, dict]) -> list[Row]:
    rows = []
    lzf = cpp["profile_lzf"]
    rows.append(row("1 LZF", "decompress (profile_lzf blocks)", "MB/s", mega(lzf["lzf/karvel"]["bytes_per_second"]),
                    mega(lzf["lzf/liblzf"]["bytes_per_second"]), "liblzf", ">= 1.0"))
    for name in runs:
        figures = cpp[name]
        goal = ">= 0.8" if name.startswith("profile") else ""
        rows.append(row("2 decode", name, "Mpoints/s", mega(figures["decode/karvel"]["items_per_second"]),
                        mega(figures["decode/floor"]["items_per_second"]), "floor", goal))
    for name in runs:
        # Passes that never read the extra map do not build it.
        figures = cpp[name]
        rows.append(row("2 decode", f"{name} records without extra map", "s", figures["records/points"]["seconds"],
                        figures["records/extra"]["seconds"], "with extra map", "<= 1.05"))
    return rows


def raw_reader_rows(runs: dict[str, GeneratedRun], cpp: dict[str, dict], sizes: Sizes) -> list[Row]:
    rows = []
    for name, run in runs.items():
        result = measure("raw_reader", sizes.repetitions, path=str(run.path))
        if "error" in result:
            rows.append(row("3 RawReader", f"{name} construction", "s", None, None, "floor", note=result["error"]))
            continue
        points = run.params.scans * run.params.points
        floor = cpp[name]["run/floor"]["seconds"]
        core = cpp[name]["run/karvel"]["seconds"]
        if run.params.kind == "mrm":
            # One point per scan: the cost is per scan, which the floor (one
            # read of the data file) does not have.
            rows.append(row("3 RawReader", f"{name} construction", "s", result["seconds"], floor, "floor"))
            rows.append(row("3 RawReader", f"{name} per scan", "us/scan", result["seconds"] / run.params.scans * 1e6,
                            core / run.params.scans * 1e6, "C++ core"))
        else:
            rows.append(row("3 RawReader", f"{name} construction", "s", result["seconds"], floor, "floor",
                            "<= 1.3"))
            arrays = cpp[name]["run/arrays"]["seconds"]
            rows.append(row("3 RawReader", f"{name} construction", "s", result["seconds"], floor + arrays,
                            "floor+arrays", "<= 1.3"))
            rows.append(row("3 RawReader", f"{name} points/s", "Mpoints/s", points / result["seconds"] / 1e6,
                            points / core / 1e6, "C++ core"))
        rows.append(row("3 RawReader", f"{name} peak RSS", "MB", result["peak_rss_mb"] - result["baseline_rss_mb"],
                        points * 12 / 2 ** 20, "arrays"))
    return rows


def to_list_rows(run: GeneratedRun, sizes: Sizes) -> list[Row]:
    result = measure("to_list", path=str(run.path), samples=sizes.list_samples, repeats=sizes.list_repeats)
    if "error" in result:
        return [row("4 to list", "mz + intensity", "ns/point", None, None, "array.tolist", note=result["error"])]
    per_point = 1e9 / result["points"]
    return [
        row("4 to list", "spectrum.mz + .intensity", "ns/point", result["convert_seconds"] * per_point,
            result["floor_seconds"] * per_point, "array.tolist", "<= 1.2"),
        row("4 to list", "read_spectrum(i) (record copy)", "ns/point", result["read_seconds"] * per_point,
            result["floor_seconds"] * per_point, "array.tolist"),
    ]


def stream_rows(small: GeneratedRun, large: GeneratedRun, sizes: Sizes) -> list[Row]:
    rows = []
    figures = {}
    for label, run in (("small", small), ("large", large)):
        result = measure("karvel_stream", sizes.repetitions, path=str(run.path))
        if "error" in result:
            rows.append(row("5 iter_spectra", f"{label} run", "Mpoints/s", None, None, "", note=result["error"]))
            return rows
        figures[label] = result
    s, l = figures["small"], figures["large"]
    rows.append(row("5 iter_spectra", f"throughput, {l['spectra']} scans", "Mpoints/s",
                    l["points"] / l["seconds"] / 1e6, s["points"] / s["seconds"] / 1e6,
                    f"{s['spectra']} scans"))
    rows.append(row("5 iter_spectra", f"peak RSS, {l['spectra']} scans", "MB", l["peak_rss_mb"], s["peak_rss_mb"],
                    f"{s['spectra']} scans", "<= 1.1"))
    return rows


def peer_rows(peer_runs: list[GeneratedRun], unavailable: dict[str, str], sizes: Sizes) -> list[Row]:
    import mzml
    rows = []
    for run in peer_runs:
        label = f"{run.params.name} ({run.params.scans} x {run.params.points})"
        try:
            path = str(mzml.write_mzml(run))
        except Exception as error:  # noqa: BLE001 - psims missing or failing: report it in the table
            rows.append(row("6 peers", label, "s", None, None, "mzML", note=f"psims: {error}"))
            continue
        mine = measure("karvel_stream", sizes.repetitions, path=str(run.path))
        for peer in PEERS:
            if peer in unavailable:
                rows.append(row("6 peers", f"{label} vs {peer}", "s", mine.get("seconds"), None, peer,
                                note=f"{peer} unavailable: {unavailable[peer]}"))
                continue
            result = measure(f"{peer}_stream", sizes.repetitions, mzml=path)
            if "error" in result or "error" in mine:
                rows.append(row("6 peers", f"{label} vs {peer}", "s", mine.get("seconds"), None, peer,
                                note=result.get("error") or mine.get("error")))
                continue
            note = "" if abs(result["checksum"] - mine["checksum"]) <= 1e-9 * abs(mine["checksum"]) \
                else "checksums differ"
            rows.append(row("6 peers", f"{label} vs {peer}", "s", mine["seconds"], result["seconds"], peer,
                            "<= 1.0", note))
    return rows


# Main --------------------------------------------------------------------------

def machine() -> dict:
    info = {"cpus": os.cpu_count(), "machine": platform.machine(), "python": platform.python_version(),
            "load_average": os.getloadavg()}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                info["cpu"] = line.split(":", 1)[1].strip()
                break
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                info["memory_gb"] = round(int(line.split()[1]) / 1024 ** 2, 1)
                break
    except OSError:
        pass
    return info


def all_params(sizes: Sizes) -> list[RunParams]:
    """Every run that a mode uses."""
    by_kind = {params.name: params for params in sizes.runs}
    return [*sizes.runs,
            by_kind["profile_lzf"].with_scans("profile_lzf", sizes.stream_small_scans),
            by_kind["centroid_f3"].with_scans("centroid_f3", sizes.peer_centroid_scans),
            by_kind["profile_lzf"].with_scans("profile_lzf", sizes.peer_profile_scans),
            sizes.noisy_profile]


def prune_cache() -> None:
    """Removes cached runs that neither mode uses any more (older parameters
    or writer sources): the full runs take gigabytes."""
    if not DATA_DIR.is_dir():
        return
    wanted = {f"{params.name}-{params.key()}" for sizes in (FULL, QUICK) for params in all_params(sizes)}
    for entry in DATA_DIR.iterdir():
        if entry.is_dir() and entry.name not in wanted:
            log(f"removing the outdated run {entry.name}")
            shutil.rmtree(entry, ignore_errors=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small runs (seconds, for CI)")
    parser.add_argument("--json", type=Path, help="where to write the results")
    args = parser.parse_args()
    sizes = QUICK if args.quick else FULL
    started = time.perf_counter()
    json_path = args.json or REPO / "build" / ("bench-results-quick.json" if args.quick else "bench-results.json")

    install_peers()
    log("building the C++ benchmarks")
    build_cpp()
    prune_cache()
    generated = [rundata.generate(params, DATA_DIR, log) for params in all_params(sizes)]
    runs = {run.params.name: run for run in generated[:len(sizes.runs)]}
    stream_small, *peer_runs, noisy = generated[len(sizes.runs):]
    log("checking that the runs decode as the writer predicts")
    for run in [*runs.values(), stream_small, *peer_runs, noisy]:
        verify(run)

    log("C++ benchmarks")
    cpp = {name: run_cpp(run, sizes) for name, run in runs.items()}
    log("Python: RawReader construction")
    rows = cpp_rows(runs, cpp) + raw_reader_rows(runs, cpp, sizes)
    log("Python: spectra to lists")
    rows += to_list_rows(peer_runs[1], sizes)
    log("Python: iter_spectra")
    rows += stream_rows(stream_small, runs["profile_lzf"], sizes)
    log("peers: mzML with pyteomics and pymzml")
    unavailable = {name: reason for name in PEERS if (reason := peer_available(name)) is not None}
    rows += peer_rows(peer_runs, unavailable, sizes)
    log("morvane: opening, arrays, spectra(), xic against pyopenms, pymzml and pyteomics")
    import morvane_bench
    rows += morvane_bench.rows(row, runs, cpp, rows, stream_small, sizes.repetitions)
    log("mzML export: to_mzml against the C++ floor and psims")
    import mzml_export
    rows += mzml_export.rows(runs, stream_small, peer_runs, cpp, sizes.repetitions, row)
    log("conversions: Parquet, Dask, memory")
    scratch = REPO / "build" / "bench-scratch"
    scratch.mkdir(parents=True, exist_ok=True)
    rows += conversions.rows(peer_runs=peer_runs, small=stream_small, large=runs["profile_lzf"], scratch=scratch,
                             repetitions=sizes.repetitions, row=row)
    log("quality control: karvel qc against a decoding pass")
    import qc_bench
    rows += qc_bench.rows(runs, scratch=scratch, repetitions=sizes.repetitions, row=row)
    log("picking and MS-Numpress")
    import picking_bench
    rows += picking_bench.rows(runs=runs, noisy=noisy, scratch=scratch, repetitions=sizes.repetitions, row=row,
                               quick=args.quick)
    log("mzPeak: sizes, writing against to_parquet, reads against pyopenms")
    import mzpeak_bench
    rows += mzpeak_bench.rows(runs=runs, scratch=scratch, repetitions=sizes.repetitions, row=row)
    log("targeted: many-target xic, MRM transitions, channel chromatograms")
    import targeted_bench
    rows += targeted_bench.rows(runs, cpp, sizes.repetitions, row, scratch)

    table = render(rows)
    print(table)
    result = {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "mode": "quick" if args.quick else "full",
        "machine": machine(),
        "runs": {run.params.name + f"[{run.params.scans}]": {"scans": run.params.scans, "points_per_scan": run.params.points,
                                                         "encoding": run.params.encoding,
                                                         "data_bytes": run.data_bytes()}
                 for run in [*runs.values(), stream_small, *peer_runs]},
        "rows": [r.as_dict() for r in rows],
        "cpp": cpp,
        "seconds": time.perf_counter() - started,
    }
    json_path.parent.mkdir(parents=True, exist_ok=True)
    json_path.write_text(json.dumps(result, indent=1) + "\n")
    log(f"results written to {json_path.relative_to(REPO) if json_path.is_relative_to(REPO) else json_path} "
        f"({result['seconds']:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
