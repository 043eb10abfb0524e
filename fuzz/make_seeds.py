"""Seed corpora for the fuzz targets, cut from synthetic runs.

    python fuzz/make_seeds.py OUTDIR

Builds a few small runs with the test-data writer (tests/datafolder), in
every scan-table layout and block encoding, and writes OUTDIR/<target>/
seed files in the input layout each target expects (see the comment at the
top of each fuzz_*.cpp). Deterministic: the same files on every run.
"""

from __future__ import annotations

import hashlib
import random
import struct
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))

from datafolder import Centroid, Profile, RunBuilder  # noqa: E402
from datafolder import xmlfiles  # noqa: E402
from datafolder.synth import STANDARD_CALIBRATION, STANDARD_DX, STANDARD_X0, random_centroids, random_profile  # noqa: E402

RUN_LENGTH_MARKER = 0x9002FF00
POINTS = 240


def small_run(stride: int, seed: int) -> RunBuilder:
    """A few scans of every kind of block the layout can carry."""
    rng = random.Random(seed)
    tof = stride in (284, 220, 216)
    builder = RunBuilder(stride=stride)
    for index in range(4):
        profile = centroid = None
        if tof and index % 2 == 0:
            encoding = "lzf" if index == 0 else "run_length"
            profile = Profile(STANDARD_X0, STANDARD_DX, random_profile(rng, POINTS, 3), encoding=encoding)
        if tof and stride == 284 or index % 2 == 1:
            fmt = 2 if tof and index < 3 else 3
            times, heights = random_centroids(rng, STANDARD_CALIBRATION, 5 + index, 100.0, 900.0)
            x = times if fmt == 2 else [STANDARD_CALIBRATION.mz(t) for t in times]
            centroid = Centroid(x, heights, format_id=fmt)
        builder.add_scan(0.5 + 0.01 * index, ms_level=1 + index % 2, profile=profile, centroid=centroid,
                         target_mz=450.25 if index % 2 else 0.0, collision_energy=20.0 if index % 2 else 0.0)
    return builder


def blocks(data: bytes, params: dict | None):
    if not params:
        return None
    return data[params["offset"]: params["offset"] + params["byte_count"]]


class Seeds:
    def __init__(self, out: Path) -> None:
        self.out = out

    def add(self, target: str, data: bytes) -> None:
        folder = self.out / target
        folder.mkdir(parents=True, exist_ok=True)
        (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)

    def add_run(self, acq: Path, scan_index: dict) -> None:
        files = {p.name: p.read_bytes() for p in acq.iterdir() if p.is_file()}
        self.add("fuzz_msscan", files["MSScan.bin"])
        for name, target in (("MSMassCal.bin", "fuzz_msmasscal"), ("DefaultMassCal.xml", "fuzz_defaultmasscal"),
                             ("Devices.xml", "fuzz_devices_xml"), ("Contents.xml", "fuzz_contents_xml")):
            if name in files:
                self.add(target, files[name])
        for record in scan_index["records"]:
            profile = record["profile_params"]
            block = blocks(files.get("MSProfile.bin", b""), profile)
            if block is not None:
                expected = profile["uncompressed_byte_count"]
                self.add("fuzz_profile_block", struct.pack("<IIB", profile["point_count"], expected, 0) + block)
                if len(block) >= 20 and struct.unpack_from("<I", block, 16)[0] == RUN_LENGTH_MARKER:
                    self.add("fuzz_run_length", struct.pack("<I", profile["point_count"]) + block[16:])
                else:
                    self.add("fuzz_lzf", struct.pack("<I", expected) + block)
            centroid = record["centroid_params"]
            block = blocks(files.get("MSPeak.bin", b""), centroid)
            if block is not None:
                header = struct.pack("<BBI", centroid["format_id"], 0, centroid["point_count"])
                self.add("fuzz_peak_block", header + block)

    def add_side_files(self) -> None:
        """XML shapes that a run's defaults do not show."""
        devices = [xmlfiles.DeviceSpec("Pump", "G1312B", device_id=2), xmlfiles.DeviceSpec("QTOF", "G6550A")]
        self.add("fuzz_devices_xml", xmlfiles.devices_xml(devices, nesting=2).encode())
        self.add("fuzz_devices_xml", xmlfiles.with_bom(xmlfiles.devices_xml(devices[1:])).encode())
        self.add("fuzz_contents_xml", xmlfiles.contents_xml("2020-01-02T03:04:05Z", nested=True).encode())
        self.add("fuzz_contents_xml", b"<Contents><AcquiredTime><![CDATA[x]]>&amp;y</AcquiredTime></Contents>")
        entries = [xmlfiles.DefaultCalibrationSpec.of(1, STANDARD_CALIBRATION),
                   xmlfiles.DefaultCalibrationSpec.of(2, STANDARD_CALIBRATION)]
        self.add("fuzz_defaultmasscal", xmlfiles.default_mass_cal_xml(entries, wrapper=False).encode())


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: make_seeds.py OUTDIR", file=sys.stderr)
        return 2
    seeds = Seeds(Path(argv[1]))
    with tempfile.TemporaryDirectory() as tmp:
        for number, stride in enumerate((284, 220, 216, 196, 186)):
            run = small_run(stride, seed=number).build(Path(tmp) / f"run{stride}.d")
            seeds.add_run(run.acq, run.scan_index)
    seeds.add_side_files()
    for folder in sorted(p for p in seeds.out.iterdir() if p.is_dir()):
        print(f"{folder.name}: {sum(1 for _ in folder.iterdir())} seeds")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
