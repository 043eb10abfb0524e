"""Damaged runs: thousands of broken data folders derived deterministically
from a few valid synthetic runs, each opened with `RawReader` and streamed
with `iter_spectra` in worker subprocesses.

    python tests/python/malformed_runs.py [--size quick|full] [--workers N]

A case passes when every call ends in a result or in a `RuntimeError` with
a message. A worker that dies or stops answering fails the case it was
working on (that case is then re-run alone to confirm it); the batch goes on
in a new worker. Workers run under an address-space limit, so a block that
claims gigabytes cannot be allocated, and report their peak memory after
every case. Prints the number of cases tried and failed, and each failure.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import selectors
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
for folder in (HERE, HERE.parent):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

from datafolder.lzf import MAX_MATCH, MIN_MATCH, back_reference, literal_chunks  # noqa: E402
from datafolder.msscan import BLOCK_OFFSETS, MIN_HEADER_SIZE  # noqa: E402
from datafolder.profile import ProfileBlock, axis_header  # noqa: E402
from datafolder.run import Profile, RunBuilder  # noqa: E402
from datafolder.synth import STANDARD_DX, STANDARD_X0  # noqa: E402
from runs import mz_centroid, profile, small_run_builder, tof_centroid  # noqa: E402

ADDRESS_SPACE_LIMIT = 3 << 30
PEAK_MEMORY_CAP_KB = 2_500_000
CASE_TIMEOUT_SECONDS = float(os.environ.get("KARVEL_MALFORMED_CASE_TIMEOUT", "60"))
BATCH_SIZE = 100
MAX_STREAM_ITEMS = 100_000
SHOWN_FAILURES = 30

DATA_FILES = ("MSScan.bin", "MSProfile.bin", "MSPeak.bin", "MSMassCal.bin")
XML_FILES = ("DefaultMassCal.xml", "Devices.xml", "Contents.xml")
U32_MAX = 0xFFFFFFFF
U64_MAX = 0xFFFFFFFFFFFFFFFF
RUN_LENGTH_POINT_CAP = 134217728
LZF_CAP = 536870912


# ---------------------------------------------------------------------------
# Valid runs
# ---------------------------------------------------------------------------

def base_builders():
    """The valid runs that every case starts from."""
    yield "tof284", small_run_builder(284)
    yield "tof216", small_run_builder(216)
    yield "quad196", small_run_builder(196)
    yield "quad186", small_run_builder(186)
    builder = small_run_builder(220)
    builder.add_scan(1.04, profile=profile(3.0e3, points=64, encoding="run_length"))
    builder.add_scan(1.05, ms_level=2, target_mz=300.5, collision_energy=35.0, centroid=tof_centroid(7))
    builder.add_scan(1.06, centroid=mz_centroid(9), ion_polarity=1)
    yield "tof220", builder


@dataclass
class ZeroPaddedProfile(Profile):
    """An LZF profile whose stream decompresses to `length` bytes: header and
    points, then zeros (written as back references by hand; the generic
    compressor is too slow for megabytes)."""

    length: int = 0

    def encode(self) -> ProfileBlock:
        head = axis_header(self.x0, self.dx) + struct.pack(f"<{len(self.intensities)}i", *self.intensities)
        stream = bytearray(literal_chunks(head + b"\0"))
        left = self.length - len(head) - 1
        while left >= MIN_MATCH:
            take = min(MAX_MATCH, left)
            stream += back_reference(0, take)
            left -= take
        stream += literal_chunks(bytes(left))
        return ProfileBlock(bytes(stream), len(self.intensities), self.length, self.x0, self.dx,
                            tuple(self.intensities))


# Legal runs that must not make a reader hold memory sized by what the files
# declare, with the bound on the growth of the resident size while a
# RawReader holds them: eight 1-point profile scans, each declaring 32 MiB
# uncompressed (about 3 MB of MSProfile.bin).
RESIDENT_BOUNDS_MB = {"declared_32mib": 64}


def bounded_builders():
    builder = RunBuilder(stride=284)
    for k in range(8):
        builder.add_scan(1.0 + 0.01 * k,
                         profile=ZeroPaddedProfile(STANDARD_X0, STANDARD_DX, [1000 + k], length=32 << 20))
    yield "declared_32mib", builder


def build_bases(folder: Path) -> dict[str, dict]:
    """Writes the valid runs; returns per run its folder and scan table."""
    bases = {}
    for name, builder in [*base_builders(), *bounded_builders()]:
        run = builder.build(folder / f"{name}.d")
        bases[name] = {"path": str(run.path), "index": run.scan_index}
    return bases


# ---------------------------------------------------------------------------
# Damage
# ---------------------------------------------------------------------------
# A case is a base run and a list of operations on files of its AcqData
# folder, kept as plain lists so that they travel to workers as JSON:
#   ["truncate", file, size]       ["flip", file, position, mask]
#   ["put", file, position, struct format, value]
#   ["delete", file]               ["directory", file]
#   ["replace", file, old text, new text, count]
#   ["acqdata_file"]               ["empty_acqdata"]
# and ["resident_bound", megabytes], which damages nothing: the worker checks
# that a RawReader on the run grows the resident size by at most that much.
# and, to check the harness itself, ["abort"] and ["sleep", seconds].


def rewrite(path: Path, data: bytes) -> None:
    """Replaces the file by a new one: case folders hard-link the base files."""
    path.unlink(missing_ok=True)
    path.write_bytes(data)


def apply(acq: Path, operation: list) -> None:
    kind, *args = operation
    if kind == "abort":  # checks of this harness itself
        os.abort()
    if kind == "sleep":
        time.sleep(args[0])
        return
    if kind == "resident_bound":
        return
    if kind == "acqdata_file":
        shutil.rmtree(acq)
        acq.write_bytes(b"not a folder")
        return
    if kind == "empty_acqdata":
        shutil.rmtree(acq)
        acq.mkdir()
        return
    path = acq / args[0]
    if kind == "delete":
        path.unlink(missing_ok=True)
    elif kind == "directory":
        path.unlink(missing_ok=True)
        path.mkdir()
    elif kind == "truncate":
        rewrite(path, path.read_bytes()[: args[1]])
    elif kind == "flip":
        data = bytearray(path.read_bytes())
        data[args[1]] ^= args[2]
        rewrite(path, data)
    elif kind == "put":
        data = bytearray(path.read_bytes())
        position, fmt, value = args[1:]
        struct.pack_into(fmt, data, position, value)
        rewrite(path, data)
    elif kind == "replace":
        old, new, count = args[1:]
        rewrite(path, path.read_bytes().replace(old.encode(), new.encode(), count))
    else:
        raise ValueError(f"unknown operation {kind}")


def materialize(base: str, folder: Path, operations: list) -> None:
    """The base run at folder, its files hard-linked, then damaged. The
    folders of the previous case are reused: removing directories is slow."""
    acq = folder / "AcqData"
    if acq.is_dir() and not acq.is_symlink():
        for entry in os.scandir(acq):
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path)
            else:
                os.unlink(entry.path)
    else:
        acq.unlink(missing_ok=True)
        acq.mkdir(parents=True)
    for entry in os.scandir(Path(base) / "AcqData"):
        os.link(entry.path, acq / entry.name)
    for operation in operations:
        apply(acq, operation)


def spread(size: int, count: int) -> list[int]:
    """count positions spread over [0, size), plus both ends."""
    if size <= 0:
        return []
    points = {0, size - 1}
    points.update(size * k // count for k in range(count))
    return sorted(points)


def file_sizes(base: dict) -> dict[str, int]:
    acq = Path(base["path"]) / "AcqData"
    return {p.name: p.stat().st_size for p in acq.iterdir() if p.is_file()}


def param_field_cases(name: str, base: dict, sizes: dict[str, int]) -> list[list]:
    """Counts and offsets of the scan table set to 0, just past the end and huge."""
    index = base["index"]
    stride, header = index["stride"], index["global_header_size"]
    narrow = stride == 186
    # field -> (offset within the parameter block, struct format)
    fields = {"kind": (0, "<H" if narrow else "<I"),
              "offset": (2 if narrow else 4, "<Q"),
              "byte_count": (10 if narrow else 12, "<I"),
              "point_count": (14 if narrow else 16, "<I"),
              "uncompressed_byte_count": (18 if narrow else 20, "<I")}
    cases = []
    for number, record in enumerate(index["records"]):
        record_at = header + number * stride
        for slot, block_at in enumerate(BLOCK_OFFSETS[stride]):
            params = _params_in_slot(record, slot, stride)
            if params is None:
                continue
            target = "MSProfile.bin" if params["format_id"] == 1 else "MSPeak.bin"
            end = sizes.get(target, 0)
            values = {
                "kind": [0, 1, 2, 3, 4, 0xFFFF if narrow else U32_MAX],
                "offset": [0, end, end + 1, end - 1, params["offset"] + 1, 1 << 63, U64_MAX,
                           U64_MAX - params["byte_count"] + 2],
                "byte_count": [0, 1, end - params["offset"] + 1, params["byte_count"] - 1, U32_MAX],
                "point_count": [0, 1, params["point_count"] + 1, params["point_count"] * 2,
                                RUN_LENGTH_POINT_CAP + 1, 1 << 31, U32_MAX],
                "uncompressed_byte_count": [0, 16, (params["uncompressed_byte_count"] or 1) - 1,
                                            LZF_CAP, LZF_CAP + 1, U32_MAX],
            }
            for field, candidates in values.items():
                if field == "uncompressed_byte_count" and params["format_id"] != 1:
                    continue
                position, fmt = fields[field]
                limit = (1 << (8 * struct.calcsize(fmt))) - 1
                for value in sorted({v for v in candidates if 0 <= v <= limit}):
                    cases.append([name, [["put", "MSScan.bin", record_at + block_at + position, fmt, value]]])
    return cases


def _params_in_slot(record: dict, slot: int, stride: int) -> dict | None:
    """The parameters stored in that slot of a record written by RunBuilder:
    profile first unless absent (the builder fills slots in that order)."""
    stored = [p for p in (record["profile_params"], record["centroid_params"]) if p]
    if slot >= len(stored):
        return None
    return stored[slot]


def table_cases(name: str, base: dict, sizes: dict[str, int]) -> list[list]:
    size = sizes["MSScan.bin"]
    put = lambda at, fmt, value: [name, [["put", "MSScan.bin", at, fmt, value]]]  # noqa: E731
    cases = [put(88, "<I", v) for v in (0, 4, 91, MIN_HEADER_SIZE + 1, size - 1, size, size + 1, U32_MAX)]
    cases += [put(0, "<I", v) for v in (0, 256, 258, U32_MAX)]
    stride = base["index"]["stride"]
    for number in range(len(base["index"]["records"])):
        at = MIN_HEADER_SIZE + number * stride
        cases += [put(at, "<I", v) for v in (0, U32_MAX)]
        cases += [put(at + 20, "<H", v) for v in (0, 3, 0xFFFF)]
    return cases


def masscal_cases(name: str, sizes: dict[str, int]) -> list[list]:
    if "MSMassCal.bin" not in sizes:
        return []
    count = (sizes["MSMassCal.bin"] - 72) // 84
    return [[name, [["put", "MSMassCal.bin", 72 + 84 * k, "<I", v]]]
            for k in range(count) for v in (0, 1, 2, 9, 11, U32_MAX)]


def xml_text_cases(name: str, sizes: dict[str, int]) -> list[list]:
    """Numbers and names in the XML side files replaced by bad ones."""
    replacements = [
        ("DefaultMassCal.xml", "<NumberOfCoefficients>8<", "<NumberOfCoefficients>18446744073709551615<"),
        ("DefaultMassCal.xml", "<NumberOfCoefficients>8<", "<NumberOfCoefficients>4294967296<"),
        ("DefaultMassCal.xml", "<NumberOfCoefficients>2<", "<NumberOfCoefficients>0<"),
        ("DefaultMassCal.xml", 'Number="1"', 'Number="18446744073709551615"'),
        ("DefaultMassCal.xml", 'Number="2"', 'Number="0"'),
        ("DefaultMassCal.xml", "<ValueUseFlags>", "<ValueUseFlags>4294967295"),
        ("DefaultMassCal.xml", "<ValueUseFlags>", "<ValueUseFlags>-"),
        ("DefaultMassCal.xml", 'DefaultCalibrationID="1"', 'DefaultCalibrationID="2147483648"'),
        ("DefaultMassCal.xml", "Traditional", "Polynomial"),
        ("DefaultMassCal.xml", "<Values>", "<Values><Value Number=\"1\">nan</Value>"),
        ("DefaultMassCal.xml", "<Value ", "<!DOCTYPE x><Value "),
        ("DefaultMassCal.xml", ">", ">&undefined;"),
        ("Devices.xml", "<Name>", "<Name>&#0;"),
        ("Devices.xml", "<Device ", "<Device><Device "),
        ("Devices.xml", "<ModelNumber>", "<ModelNumber><![CDATA[]]>"),
        ("Contents.xml", "<AcquiredTime>", "<AcquiredTime>&#xD800;"),
        ("Contents.xml", "<AcquiredTime>", "<AcquiredTime><x/>"),
    ]
    cases = []
    for file, old, new in replacements:
        if file not in sizes:
            continue
        for count in (1, -1):
            cases.append([name, [["replace", file, old, new, count]]])
    return cases


def generate_cases(bases: dict[str, dict], size: str) -> list[list]:
    """Every case, in a fixed order; "quick" takes fewer points per kind."""
    cuts, flips = (24, 60) if size == "quick" else (160, 900)
    cases: list[list] = []
    for name, base in bases.items():
        if name in RESIDENT_BOUNDS_MB:
            cases.append([name, [["resident_bound", RESIDENT_BOUNDS_MB[name]]]])
            continue
        sizes = file_sizes(base)
        rng = random.Random(f"{name}-{size}")
        for file, length in sorted(sizes.items()):
            for cut in spread(length, cuts):
                cases.append([name, [["truncate", file, cut]]])
            for _ in range(flips if file in DATA_FILES else flips // 3):
                position = rng.randrange(length)
                cases.append([name, [["flip", file, position, 1 << rng.randrange(8)]]])
            for _ in range(flips // 10):
                ops = [["flip", file, rng.randrange(length), rng.randrange(1, 256)] for _ in range(8)]
                cases.append([name, ops])
            cases.append([name, [["delete", file]]])
            cases.append([name, [["directory", file]]])
            cases.append([name, [["truncate", file, 0]]])
        for file in XML_FILES:
            if file not in sizes:
                continue
            text = (Path(base["path"]) / "AcqData" / file).read_bytes()
            tags = [i for i, byte in enumerate(text) if byte == ord("<")]
            step = 1 if size == "full" else max(1, len(tags) // 12)
            for at in tags[::step]:
                # Cut inside the element name, and just after the "<".
                cases.append([name, [["truncate", file, at + 3]]])
                cases.append([name, [["truncate", file, at + 1]]])
        cases += param_field_cases(name, base, sizes)
        cases += table_cases(name, base, sizes)
        cases += masscal_cases(name, sizes)
        cases += xml_text_cases(name, sizes)
        cases.append([name, [["acqdata_file"]]])
        cases.append([name, [["empty_acqdata"]]])
    return cases


# ---------------------------------------------------------------------------
# Worker
# ---------------------------------------------------------------------------

def exercise(path: str) -> str:
    """Every reading call on one folder; returns "ok" or what went wrong."""
    import karvel

    problems = []

    def guarded(what, call):
        try:
            return call()
        except RuntimeError as error:
            if not str(error):
                problems.append(f"{what}: RuntimeError without a message")
        except BaseException as error:  # noqa: BLE001 - every other exception is a failure
            problems.append(f"{what}: {type(error).__name__}: {error}")
        return None

    reader = guarded("RawReader", lambda: karvel.RawReader(path))
    if reader is not None:
        guarded("scan_index", reader.scan_index)
        guarded("run_info", reader.run_info)
        guarded("device_info", reader.device_info)
        guarded("read_chromatograms", reader.read_chromatograms)
        for position in range(reader.scan_count):
            guarded("read_spectrum", lambda: len(reader.read_spectrum(position)))

    def drain():
        count = 0
        for spectrum in karvel.iter_spectra(path):
            count += 1
            len(spectrum)
            if count > MAX_STREAM_ITEMS:
                raise AssertionError("iter_spectra does not end")
        return count

    guarded("iter_spectra", drain)
    problems += exercise_morvane(path)
    return "ok" if not problems else "; ".join(problems)


def resident_mb() -> float:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / (1 << 20)


def resident_growth(path: str, bound_mb: float) -> str:
    """"ok" when a RawReader on the folder grows the resident size by at
    most bound_mb while it is held. Not checked under ASan, whose quarantine
    keeps freed memory resident."""
    import karvel

    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return "ok"
    before = resident_mb()
    reader = karvel.RawReader(path)
    grown = resident_mb() - before
    del reader
    if grown > bound_mb:
        return f"RawReader grew the resident size by {grown:.0f} MB (bound {bound_mb} MB)"
    return "ok"


def exercise_morvane(path: str) -> list[str]:
    """The same folder through morvane: failures must be FormatError or an
    OSError, each with a message."""
    import morvane

    problems = []

    def guarded(what, call):
        try:
            return call()
        except (morvane.FormatError, OSError) as error:
            if not str(error):
                problems.append(f"morvane {what}: {type(error).__name__} without a message")
        except BaseException as error:  # noqa: BLE001 - every other exception is a failure
            problems.append(f"morvane {what}: {type(error).__name__}: {error}")
        return None

    run = guarded("open", lambda: morvane.open(path))
    if run is None:
        return problems
    guarded("scans", lambda: run.scans.columns)
    guarded("info", lambda: run.info)
    guarded("device", lambda: run.device)
    for position in range(min(len(run), MAX_STREAM_ITEMS)):
        guarded("run[i]", lambda: len(run[position].mz))
    guarded("spectra", lambda: sum(len(s.intensity) for s in run.spectra(errors="skip", threads=2)))
    guarded("tic", run.tic)
    guarded("xic", lambda: run.xic(500.0, da=100.0, ms_level=[1, 2]))

    def peak_rows():
        import pyarrow
        return pyarrow.table(run.peaks(metadata=True, errors="skip")).num_rows

    guarded("peaks", peak_rows)
    return problems


def limit_address_space() -> None:
    # ASan reserves terabytes of address space for its shadow memory: under
    # it, its own allocation cap (set by the parent) stands in for the limit.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE_LIMIT, ADDRESS_SPACE_LIMIT))


def worker(cases_file: str, scratch: str) -> int:
    """Reads case numbers from stdin; for each prints "start N", then
    "result N ok" or "result N <problems>"."""
    limit_address_space()
    cases = json.loads(Path(cases_file).read_text())
    bases = cases["bases"]
    folder = Path(scratch) / "case.d"
    for line in sys.stdin:
        number = int(line)
        name, operations = cases["cases"][number]
        print(f"start {number}", flush=True)
        materialize(bases[name]["path"], folder, operations)
        outcome = exercise(str(folder))
        for operation in operations:
            if operation[0] == "resident_bound":
                growth = resident_growth(str(folder), operation[1])
                if growth != "ok":
                    outcome = growth if outcome == "ok" else f"{outcome}; {growth}"
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        if peak > PEAK_MEMORY_CAP_KB:
            outcome = f"peak memory {peak // 1024} MB" + ("" if outcome == "ok" else "; " + outcome)
        print(f"result {number} {outcome.replace(chr(10), ' ')}", flush=True)
    return 0


# ---------------------------------------------------------------------------
# Parent
# ---------------------------------------------------------------------------

@dataclass
class Failure:
    number: int
    case: list
    problem: str


def worker_environment() -> dict[str, str]:
    env = dict(os.environ)
    if "libasan" in env.get("LD_PRELOAD", ""):
        extra = f"allocator_may_return_null=1:max_allocation_size_mb={ADDRESS_SPACE_LIMIT >> 20}"
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), extra]))
    return env


def run_in_worker(numbers: list[int], cases_file: Path, scratch: Path) -> tuple[dict[int, str], int | None, str]:
    """Runs the cases in one worker until it ends or dies. Returns the
    results it gave, the case it was on when it died or hung (None when it
    finished) and how it ended."""
    # Standard error goes to a file: a worker that logs a lot must not block.
    stderr_path = scratch / "stderr.txt"
    with open(stderr_path, "w") as stderr_file:
        process = subprocess.Popen(
            [sys.executable, __file__, "--worker", str(cases_file), str(scratch)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr_file, bufsize=0,
            env=worker_environment())
    process.stdin.write("".join(f"{n}\n" for n in numbers).encode())
    process.stdin.close()
    results: dict[int, str] = {}
    current = None
    ending = ""
    pending = b""
    deadline = time.monotonic() + CASE_TIMEOUT_SECONDS
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while True:
            if not selector.select(timeout=max(0.0, deadline - time.monotonic())):
                process.kill()
                ending = f"no answer within {CASE_TIMEOUT_SECONDS:g} s (killed)"
                break
            chunk = os.read(process.stdout.fileno(), 65536)
            if not chunk:
                break
            *lines, pending = (pending + chunk).split(b"\n")
            for line in lines:
                word, number, *rest = line.decode(errors="replace").split(" ", 2)
                if word == "start":
                    current = int(number)
                    deadline = time.monotonic() + CASE_TIMEOUT_SECONDS
                elif word == "result":
                    results[int(number)] = rest[0] if rest else ""
                    current = None
    process.stdout.close()
    code = process.wait()
    stderr = stderr_path.read_text(errors="replace")
    if not ending and code != 0:
        ending = f"worker died with {'signal ' + str(-code) if code < 0 else 'exit status ' + str(code)}"
    if not ending and len(results) < len(numbers):
        ending = "worker ended early"
    if ending and stderr.strip():
        ending += ": " + _last_lines(stderr)
    if ending and current is None and len(results) < len(numbers):
        current = next(n for n in numbers if n not in results)
    return results, current, ending


def _last_lines(text: str, count: int = 6) -> str:
    return " | ".join(line for line in text.strip().splitlines()[-count:])


def run_batch(numbers: list[int], cases: list, cases_file: Path, scratch: Path) -> list[Failure]:
    failures = []
    pending = list(numbers)
    while pending:
        results, culprit, ending = run_in_worker(pending, cases_file, scratch)
        for number, outcome in results.items():
            if outcome != "ok":
                failures.append(Failure(number, cases[number], outcome))
        if culprit is None:
            break
        # Confirm the attribution with the case alone.
        _, alone, alone_ending = run_in_worker([culprit], cases_file, scratch)
        note = ending if alone is not None else f"{ending} (passes alone; the worker may have died of an earlier case)"
        failures.append(Failure(culprit, cases[culprit], note))
        pending = [n for n in pending if n not in results and n != culprit]
    return failures


def run_case_list(bases: dict[str, dict], cases: list, workers: int = 2) -> list[Failure]:
    """Runs the cases in batches on parallel workers; returns the failures."""
    with tempfile.TemporaryDirectory(prefix="karvel-malformed-") as tmp:
        tmp_path = Path(tmp)
        cases_file = tmp_path / "cases.json"
        cases_file.write_text(json.dumps({"bases": bases, "cases": cases}))
        batches = [list(range(start, min(start + BATCH_SIZE, len(cases))))
                   for start in range(0, len(cases), BATCH_SIZE)]
        scratches = [tmp_path / f"scratch{k}" for k in range(len(batches))]
        for scratch in scratches:
            scratch.mkdir()
        with ThreadPoolExecutor(max_workers=workers) as pool:
            outcomes = pool.map(lambda b: run_batch(b[0], cases, cases_file, b[1]), zip(batches, scratches))
            return sorted((f for batch in outcomes for f in batch), key=lambda f: f.number)


def run_cases(size: str, workers: int = 2, log=print) -> tuple[int, list[Failure]]:
    """Builds the valid runs, derives the cases and runs them; logs the
    counts and the failures."""
    with tempfile.TemporaryDirectory(prefix="karvel-bases-") as tmp:
        bases = build_bases(Path(tmp))
        cases = generate_cases(bases, size)
        failures = run_case_list(bases, cases, workers)
    log(f"malformed runs: {len(cases)} cases tried, {len(failures)} failed")
    for failure in failures[:SHOWN_FAILURES]:
        log(f"  case {failure.number} {json.dumps(failure.case)}: {failure.problem[:600]}")
    if len(failures) > SHOWN_FAILURES:
        log(f"  ... and {len(failures) - SHOWN_FAILURES} more")
    return len(cases), failures


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", choices=("quick", "full"), default="full")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--worker", nargs=2, metavar=("CASES", "SCRATCH"), help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    if options.worker:
        return worker(*options.worker)
    started = time.monotonic()
    _, failures = run_cases(options.size, options.workers)
    print(f"malformed runs: {time.monotonic() - started:.0f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
