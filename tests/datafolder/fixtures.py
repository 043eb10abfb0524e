"""Small deterministic fixture files for the C++ unit tests.

    python -m datafolder.fixtures OUTDIR

Every binary fixture comes with a text file of the same stem.  Text files
hold one `key value...` entry per line, `#` starts a comment line; binary64
values are written as 16 hexadecimal digits of their bit pattern, binary32
values as 8, integers in decimal, an absent value as `-`.  The layout of
each kind of text file is described in README.txt of the output directory.
"""

from __future__ import annotations

import random
import struct
import sys
from pathlib import Path

from . import lzf, msscan
from .calibration import Calibration, flags_for_powers
from .msmasscal import msmasscal_bytes
from .peak import format2_block, format3_block
from .profile import ProfileBlock, lzf_block, run_length_block
from .synth import STANDARD_CALIBRATION, gaussian_intensities
from .xmlfiles import DefaultCalibrationSpec, default_mass_cal_xml

README = """\
Fixture files written by `python -m datafolder.fixtures` (tests/datafolder).

Text files: one entry per line, `key value...`; lines starting with `#` are
comments.  f64 values are 16 hex digits (bit pattern), f32 values 8 hex
digits, integers decimal, `-` an absent value.

lzf_<name>.lzf / lzf_<name>.raw
    an LZF stream and the exact bytes it decompresses to.

profile_<name>.bin + profile_<name>.txt
    one MSProfile.bin block.  Keys: encoding (lzf | run_length), point_count,
    uncompressed_byte_count, x0, dx (f64), calibration (ten f64), flags;
    then `points N` followed by N lines `<mz f64> <intensity f32>`.

centroid_<name>.bin + centroid_<name>.txt
    one MSPeak.bin block.  Keys: format_id, point_count, calibration and
    flags (format 2 only); then points as for profile blocks.

calibration_eval.txt
    groups of `calibration <ten f64>`, `flags <mask>`, then lines
    `eval <t f64> <mz f64>`.

MSMassCal.bin + MSMassCal.txt
    `record <i> <count> <f64>...` per record (the decoded coefficients).

DefaultMassCal.xml + DefaultMassCal.txt
    `entry <id> <flags> <ten f64 coefficients: A, T0, eight polynomial values>`.

msscan_<stride>.bin + msscan_<stride>.txt
    `global_header_size`, `stride`, `records`, then per record a line
    `record <i>` followed by one line per field (names as in ScanRecord);
    profile_params / centroid_params give
    `<format_id> <offset> <byte_count> <point_count> <uncompressed_byte_count>`.
"""


def h64(value: float) -> str:
    return struct.pack(">d", value).hex()


def h32(value: float) -> str:
    return struct.pack(">f", value).hex()


def calibration_lines(calibration: Calibration) -> list[str]:
    return ["calibration " + " ".join(h64(v) for v in calibration.coefficient_list()),
            f"flags {calibration.flags}"]


def point_lines(mz: list[float], intensity: list[float]) -> list[str]:
    return [f"points {len(mz)}"] + [f"{h64(m)} {h32(i)}" for m, i in zip(mz, intensity)]


class Writer:
    def __init__(self, out: Path) -> None:
        self.out = out
        out.mkdir(parents=True, exist_ok=True)

    def binary(self, name: str, data: bytes) -> None:
        (self.out / name).write_bytes(data)

    def text(self, name: str, lines: list[str]) -> None:
        (self.out / name).write_text("\n".join(lines) + "\n")


def write_lzf(w: Writer) -> None:
    rng = random.Random(11)
    streams = {
        "text": (b"time-of-flight spectra repeat time-of-flight spectra " * 12, False),
        "zeros": (bytes(3000) + b"\x01\x02\x03" + bytes(700), False),
        "literal": (bytes(rng.randrange(256) for _ in range(300)), True),
        "far": (bytes(rng.randrange(256) for _ in range(5000)) * 2, False),
    }
    for name, (raw, literal_only) in streams.items():
        w.binary(f"lzf_{name}.lzf", lzf.compress(raw, literal_only=literal_only))
        w.binary(f"lzf_{name}.raw", raw)


def profile_text(block: ProfileBlock, encoding: str, calibration: Calibration, comment: str) -> list[str]:
    mz = calibration.mz_list(block.x_values())
    return [f"# {comment}", f"encoding {encoding}", f"point_count {block.point_count}",
            f"uncompressed_byte_count {block.uncompressed_byte_count}",
            f"x0 {h64(block.x0)}", f"dx {h64(block.dx)}",
            *calibration_lines(calibration), *point_lines(mz, block.expected_intensities())]


def write_profiles(w: Writer) -> None:
    calibration = STANDARD_CALIBRATION
    x0, dx = 30000.0, 2.5
    peaks = gaussian_intensities(300, [(40.0, 9000.0, 2.0), (120.5, 150000.0, 1.6), (230.0, 90.0, 2.5)])
    signed = [v if i % 7 else -v for i, v in enumerate(peaks)]
    signed[5] = -1
    signed[6] = 2**31 - 1
    widths = [0] * 40 + [5, 9, 0, 100] + [0] * 30 + [300, 20000] + [0] * 150 + \
        [70000, (1 << 40) + 1, 12] + [0] * 40 + [3, 0]
    cases = {
        "lzf": (lzf_block(x0, dx, peaks), "lzf", "Gaussian peaks, greedy LZF"),
        "lzf_literal": (lzf_block(x0, dx, signed, literal_only=True, trailing=b"\x07" * 5), "lzf",
                        "negative and extreme intensities, literal-only LZF, 5 trailing bytes"),
        "run_length": (run_length_block(x0, dx, peaks), "run_length", "Gaussian peaks, run-length"),
        "run_length_widths": (run_length_block(x0, dx, widths), "run_length",
                              "items of widths 1, 2, 4 and 8 bytes"),
    }
    for name, (block, encoding, comment) in cases.items():
        w.binary(f"profile_{name}.bin", block.data)
        w.text(f"profile_{name}.txt", profile_text(block, encoding, calibration, comment))


def write_centroids(w: Writer) -> None:
    calibration = STANDARD_CALIBRATION
    times = [21000.5, 35000.25, 52000.0, 79999.75, 85000.0]
    heights = [12.5, 40000.0, -3.0, 1e-3, 7.0]
    block = format2_block(times, heights)
    w.binary("centroid_format2.bin", block.data)
    w.text("centroid_format2.txt", ["# x values are flight times; the last lies above the polynomial range",
                                    "format_id 2", f"point_count {block.point_count}",
                                    *calibration_lines(calibration),
                                    *point_lines(calibration.mz_list(times), block.expected_intensities())])
    mzs = [500.25, 120.0001, 1999.9999, 0.0]
    values = [1234.5, 0.1, 3e38, -0.0]
    block = format3_block(mzs, values, trailing=b"\xaa" * 6)
    w.binary("centroid_format3.bin", block.data)
    w.text("centroid_format3.txt", ["# m/z stored directly; 6 trailing bytes", "format_id 3",
                                    f"point_count {block.point_count}",
                                    *point_lines(mzs, block.expected_intensities())])


def evaluation_calibrations() -> list[tuple[Calibration, list[float]]]:
    times = [15000.0, 20000.0, 20000.5, 45678.125, 80000.0, 95000.0]
    return [
        (Calibration(4.8e-4, 12.5), times),
        (STANDARD_CALIBRATION, times),
        (Calibration(3.1e-4, -7.25, 1000.0, 1000.0, (1e-3, 0, 0, 0, 0, 0), flags_for_powers(0)), [0.0, 1000.0, 5e4]),
        (Calibration(5.0e-4, 0.0, 100.0, 2.0e5, (2.0e-6, -1.5e-20, 3.0e-110, 0, 0, 0),
                     flags_for_powers(1, 3, 22)), times),
        (Calibration(5.0e-4, 0.0, 0.5, 1.5, (1.0, 1.0, 1.0, 1.0, 1.0, 1.0), flags_for_powers(0, 1, 2, 5, 17, 31)),
         [0.0, 0.75, 1.25, 2.0]),
    ]


def write_calibration_eval(w: Writer) -> None:
    lines = ["# m/z = (A(t - T0))^2 - polynomial at t clamped to the range"]
    for calibration, times in evaluation_calibrations():
        lines += calibration_lines(calibration)
        lines += [f"eval {h64(t)} {h64(calibration.mz(t))}" for t in times]
    w.text("calibration_eval.txt", lines)


def write_mass_cal(w: Writer) -> None:
    records = [STANDARD_CALIBRATION.coefficient_list(),
               [4.8e-4, 12.5],
               [],
               [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0]]
    w.binary("MSMassCal.bin", msmasscal_bytes(records, filler=-1.0))
    w.text("MSMassCal.txt", ["# slots beyond each count hold -1.0"] +
           [f"record {i} {len(r)} " + " ".join(h64(v) for v in r) for i, r in enumerate(records)])
    second = Calibration(4.75e-4, 11.0, 20000.0, 80000.0, (0.5, 0, 0, 0, 0, 0), flags_for_powers(2))
    entries = [(1, STANDARD_CALIBRATION), (-4, second)]
    w.text("DefaultMassCal.txt", [f"entry {i} {c.flags} " + " ".join(h64(v) for v in c.coefficient_list())
                                  for i, c in entries])
    w.binary("DefaultMassCal.xml", default_mass_cal_xml(
        [DefaultCalibrationSpec.of(i, c) for i, c in entries]).encode("utf-8"))


def scan_table_records() -> list[msscan.ScanRecord]:
    block = msscan.ParamBlock
    return [
        msscan.ScanRecord(100, 0.25, 1, 91.5, 1499.75, 1.5e6, 524.25, 9.5e4, 1, 0, 0, 0.0, 0.0,
                          [block(1, 0, 812, 400, 1616), block(2, 0, 120, 10)]),
        msscan.ScanRecord(101, 0.2625, 2, 60.0, 530.0, 2.5e4, 200.125, 3e3, 1, 1, 7, 524.25, 25.0,
                          [block(3, 120, 48, 4), block(9, 77, 1, 1)]),
        msscan.ScanRecord(105, 0.275, 2, 0.0, 0.0, 0.0, 0.0, 0.0, -2, 5, 9, 0.0, -1.0,
                          [block(0)]),
    ]


HEADER_SIZES = {284: 92, 220: 128, 216: 100, 196: 92, 186: 256}


def write_scan_tables(w: Writer) -> None:
    for stride in msscan.STRIDES:
        records = scan_table_records()
        if stride != 284:
            records = [msscan.ScanRecord(**{**r.__dict__, "blocks": r.blocks[:1]}) for r in records]
        header = HEADER_SIZES[stride]
        data = msscan.msscan_bytes(records, stride, header_size=header, filler=0x5A)
        assert msscan.inferred_stride(data) == stride
        expected = msscan.expected_scan_index(records, stride, header)
        lines = [f"global_header_size {header}", f"stride {stride}", f"records {len(records)}"]
        for i, row in enumerate(expected["records"]):
            lines.append(f"record {i}")
            for key, value in row.items():
                if key == "calibration_source":
                    continue
                lines.append(f"{key} {format_field(value)}")
        w.binary(f"msscan_{stride}.bin", data)
        w.text(f"msscan_{stride}.txt", lines)


def format_field(value) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return h64(value)
    if isinstance(value, dict):
        return " ".join(format_field(v) for v in value.values())
    return str(value)


def write_all(out: Path) -> None:
    w = Writer(out)
    (out / "README.txt").write_text(README)
    write_lzf(w)
    write_profiles(w)
    write_centroids(w)
    write_calibration_eval(w)
    write_mass_cal(w)
    write_scan_tables(w)


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: python -m datafolder.fixtures OUTDIR", file=sys.stderr)
        return 2
    write_all(Path(argv[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
