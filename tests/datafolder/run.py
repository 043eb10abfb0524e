"""Whole data folders: `RunBuilder` lays out every file of a synthetic run and
predicts, independently of any reader, what each spectrum must decode to.

    builder = RunBuilder(stride=284)
    builder.add_scan(0.5, profile=Profile(20000.0, 2.5, intensities))
    builder.add_scan(0.51, ms_level=2, target_mz=500.2,
                     centroid=Centroid(flight_times, heights, format_id=2))
    run = builder.build(tmp_path / "run.d")
    run.spectra[0].mz, run.spectra[0].intensity, run.scan_index, ...
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Callable

from . import msscan, xmlfiles
from .calibration import Calibration, DefaultEntry, f32, select_calibration
from .msmasscal import msmasscal_bytes
from .msscan import ParamBlock, ScanRecord
from .peak import PeakBlock, peak_block
from .profile import ProfileBlock, lzf_block, run_length_block
from .synth import STANDARD_CALIBRATION

MS_SCAN = "MSScan.bin"
MS_PROFILE = "MSProfile.bin"
MS_PEAK = "MSPeak.bin"
MS_MASS_CAL = "MSMassCal.bin"
DEFAULT_MASS_CAL = "DefaultMassCal.xml"
DEVICES = "Devices.xml"
CONTENTS = "Contents.xml"

NO_CALIBRATION = "profile block has no mass calibration"
NO_CENTROID_CALIBRATION = "Q-TOF centroid block has no mass calibration"

INSTRUMENTS = {
    "g6410a": ("MS:1003526", "6410A Triple Quadrupole LC/MS"),
    "g6530a": ("MS:1002786", "6530A Q-TOF LC/MS"),
    "g6530b": ("MS:1002787", "6530B Q-TOF LC/MS"),
    "g6550a": ("MS:1002784", "6550A iFunnel Q-TOF LC/MS"),
}


class _FromDefault:
    def __repr__(self) -> str:
        return "FROM_DEFAULT"


# Per-scan MSMassCal.bin record copied from the default entry of the scan's id.
FROM_DEFAULT = _FromDefault()


@dataclass
class Profile:
    """Profile data on an even flight-time axis x0 + i * dx.

    encoding "lzf" (signed 32-bit intensities, compressed; `literal_only`
    writes an uncompressed LZF stream) or "run_length" (non-negative
    intensities; `start` is the first addressed point)."""

    x0: float
    dx: float
    intensities: list[int]
    encoding: str = "lzf"
    literal_only: bool = False
    start: int | None = None
    trailing: bytes = b""

    def encode(self) -> ProfileBlock:
        if self.encoding == "lzf":
            return lzf_block(self.x0, self.dx, list(self.intensities),
                             literal_only=self.literal_only, trailing=self.trailing)
        if self.encoding == "run_length":
            return run_length_block(self.x0, self.dx, list(self.intensities), start=self.start)
        raise ValueError(f"unknown profile encoding {self.encoding!r}")


@dataclass
class Centroid:
    """Centroid peaks: flight times (format 2) or m/z values (format 3)."""

    x: list[float]
    intensities: list[float]
    format_id: int = 2

    def encode(self) -> PeakBlock:
        return peak_block(self.format_id, list(self.x), list(self.intensities))


@dataclass
class Fault:
    """Damage to one scan's data block.

    `transform` rewrites the stored bytes (the stored byte count follows
    the result); the other fields override what the scan table says.
    The scan is then expected to fail with `error` (a message the reader's
    text must contain; None when not predicted), unless `fails` is False.
    """

    transform: Callable[[bytes], bytes] | None = None
    kind: int | None = None
    offset: int | None = None
    byte_count: int | None = None
    point_count: int | None = None
    uncompressed_byte_count: int | None = None
    error: str | None = None
    fails: bool = True


@dataclass
class ExpectedSpectrum:
    """What the reader must produce for one scan (fields named as the
    Python `Spectrum` properties).  When `fails` is true the scan must fail;
    `error` is then a text the failure message contains (None if unknown)."""

    index: int
    scan_number: int
    native_id: str
    ms_level: int
    polarity: str | None
    scan_mode: str
    analyzer: str
    retention_time_sec: float
    reported_total_ion_current: float | None
    reported_base_peak_mz: float | None
    reported_base_peak_intensity: float | None
    low_mz: float | None
    high_mz: float | None
    precursor: dict | None
    mz: list[float]
    intensity: list[float]
    extra: dict[str, str]
    calibration_source: str | None
    fails: bool = False
    error: str | None = None
    block: str | None = None

    @property
    def total_ion_current(self) -> float:
        if self.reported_total_ion_current is not None:
            return self.reported_total_ion_current
        total = -0.0
        for value in self.intensity:
            total += value
        return total

    @property
    def base_peak(self) -> tuple[float, float] | None:
        if self.reported_base_peak_mz is not None and self.reported_base_peak_intensity is not None:
            return self.reported_base_peak_mz, self.reported_base_peak_intensity
        if not self.intensity:
            return None
        best = 0
        for i, value in enumerate(self.intensity):
            if value > self.intensity[best]:
                best = i
        return self.mz[best], self.intensity[best]


@dataclass
class BuiltRun:
    path: Path
    spectra: list[ExpectedSpectrum]
    scan_index: dict
    calibrations: list[Calibration | None]
    device_info: dict | None
    acquired_time: str | None
    instrument: tuple[str, str]
    analyzer: str
    records: list[ScanRecord]

    @property
    def acq(self) -> Path:
        return self.path / "AcqData"

    def good_spectra(self) -> list[ExpectedSpectrum]:
        return [s for s in self.spectra if not s.fails]


@dataclass
class _Scan:
    record: ScanRecord
    profile: Profile | None
    centroid: Centroid | None
    mass_cal: object
    mass_cal_count: int | None
    profile_fault: Fault | None
    centroid_fault: Fault | None
    extra_blocks: list[ParamBlock]
    centroid_first: bool
    summary: dict


def ascii_lower(text: str) -> str:
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


class RunBuilder:
    """Assembles one `.d` folder.

    `stride` picks the scan-table layout (284, 220, 216: time-of-flight;
    196, 186: triple quadrupole).  `calibration` is registered as default
    calibration id 1 (time-of-flight strides only; pass None for none).
    Calibration sources in the expected scan index are computed from the
    calibration files exactly as the reader chooses them.
    """

    def __init__(self, stride: int = 284, *, calibration: Calibration | None | _FromDefault = FROM_DEFAULT,
                 header_size: int = msscan.MIN_HEADER_SIZE, first_scan_id: int = 1,
                 write_mass_cal: bool = True, device: tuple[str, str] | None | _FromDefault = FROM_DEFAULT,
                 acquired_time: str | None = "2019-03-04T10:22:13.1234567-05:00") -> None:
        if stride not in msscan.STRIDES:
            raise ValueError(f"unknown stride {stride}")
        self.stride = stride
        self.tof = stride in msscan.TIME_OF_FLIGHT_STRIDES
        self.header_size = header_size
        self.next_scan_id = first_scan_id
        self.write_mass_cal = write_mass_cal and self.tof
        self.scans: list[_Scan] = []
        self.defaults: list[DefaultEntry] = []
        self.default_xml_override: tuple[bytes, list[DefaultEntry]] | None = None
        if device is FROM_DEFAULT:
            device = ("QTOF", "G6530B") if self.tof else ("TandemQuadrupole", "G6410A")
        self.device = device
        self.devices_override: tuple[bytes, dict | None] | None = None
        self.acquired_time = acquired_time
        self.contents_override: tuple[bytes, str | None] | None = None
        self.omitted: set[str] = set()
        self.truncations: dict[str, int] = {}
        self.mass_cal_counts: dict[int, int] = {}
        self.mass_cal_record_delta = 0
        self.data_prefix = {MS_PROFILE: b"", MS_PEAK: b""}
        self.block_gap = 0
        self.msscan_filler = 0
        self.check_stride = True
        if calibration is FROM_DEFAULT:
            calibration = STANDARD_CALIBRATION if self.tof else None
        if calibration is not None:
            self.add_default_calibration(1, calibration)

    # Calibrations -------------------------------------------------------

    def add_default_calibration(self, calibration_id: int, calibration: Calibration | DefaultEntry) -> None:
        """A DefaultMassCal.xml entry (a DefaultEntry may hold invalid values)."""
        entry = calibration if isinstance(calibration, DefaultEntry) else DefaultEntry.of(calibration_id, calibration)
        self.defaults.append(replace(entry, calibration_id=calibration_id))

    def set_default_mass_cal_xml(self, data: str | bytes, parsed_entries: list[DefaultEntry]) -> None:
        """Write this document instead; `parsed_entries` is what a reader gets
        from it (empty when it must fail to parse)."""
        raw = data.encode("utf-8") if isinstance(data, str) else data
        self.default_xml_override = (raw, list(parsed_entries))

    def damage_default_mass_cal(self, damage: str) -> None:
        """Write a damaged DefaultMassCal.xml built from the current entries.

        "bom" (two byte-order marks; still usable), "doctype", "invalid_utf8",
        "truncated", "bad_number" (a Value text that is no number),
        "missing_values" (a Polynomial step without <Values>), "no_entries",
        "duplicate_id"; all but "bom" leave the reader without defaults."""
        specs = [self._entry_spec(e) for e in self.defaults]
        if damage == "no_entries":
            specs = []
        elif damage == "duplicate_id":
            specs = specs + specs[:1]
        elif damage == "bad_number":
            specs[0].steps[1].values[2] = "1.0.0"
        elif damage == "missing_values":
            specs[0].steps[1].omit = frozenset({"Values"})
        text = xmlfiles.default_mass_cal_xml(specs)
        if damage == "bom":
            self.set_default_mass_cal_xml(xmlfiles.with_bom(text, 2), self.defaults)
        elif damage == "doctype":
            self.set_default_mass_cal_xml(xmlfiles.with_doctype(text), [])
        elif damage == "invalid_utf8":
            self.set_default_mass_cal_xml(xmlfiles.with_invalid_utf8(text), [])
        elif damage == "truncated":
            self.set_default_mass_cal_xml(xmlfiles.truncated(text), [])
        elif damage in ("no_entries", "duplicate_id", "bad_number", "missing_values"):
            self.set_default_mass_cal_xml(text, [])
        else:
            raise ValueError(f"unknown damage {damage!r}")

    @staticmethod
    def _entry_spec(entry: DefaultEntry) -> xmlfiles.DefaultCalibrationSpec:
        return xmlfiles.DefaultCalibrationSpec(entry.calibration_id, [
            xmlfiles.traditional_step(entry.a, entry.t0),
            xmlfiles.polynomial_step(list(entry.polynomial_values), entry.flags)])

    # Side files and faults ---------------------------------------------

    def set_devices_xml(self, data: str | bytes, expected_device: dict | None) -> None:
        self.devices_override = (data.encode("utf-8") if isinstance(data, str) else data, expected_device)

    def set_contents_xml(self, data: str | bytes, expected_time: str | None) -> None:
        self.contents_override = (data.encode("utf-8") if isinstance(data, str) else data, expected_time)

    def omit(self, *names: str) -> None:
        """Leave these AcqData files out."""
        self.omitted.update(names)

    def truncate(self, name: str, size: int) -> None:
        """Cut this AcqData file to `size` bytes after writing it; scans whose
        block then runs past the end are expected to fail."""
        self.truncations[name] = size

    # Scans --------------------------------------------------------------

    def add_scan(self, retention_time_min: float, *, ms_level: int = 1,
                 profile: Profile | None = None, centroid: Centroid | None = None,
                 scan_id: int | None = None, ion_polarity: int = 0, calibration_id: int = 1,
                 mass_cal: object = FROM_DEFAULT, mass_cal_count: int | None = None,
                 target_mz: float = 0.0, collision_energy: float = 0.0, mrm_channel_id: int = 0,
                 tic: float | None = None, base_peak_mz: float | None = None,
                 base_peak_intensity: float | None = None, min_x: float | None = None,
                 max_x: float | None = None, profile_fault: Fault | None = None,
                 centroid_fault: Fault | None = None, extra_blocks: list[ParamBlock] | None = None,
                 centroid_first: bool = False) -> int:
        """Add one scan and return its index.

        `mass_cal` is the scan's MSMassCal.bin record: FROM_DEFAULT (the
        coefficients of the default entry for `calibration_id`, or an empty
        record when there is none), a Calibration, a raw coefficient list
        (up to ten values, any content) or None (an empty record).
        `mass_cal_count` overrides the stored count.  Summary values (tic,
        base peak, min_x/max_x) default to values computed from the points.
        `extra_blocks` fill remaining parameter slots (e.g. unknown kinds);
        `centroid_first` puts the centroid block in the first slot.
        """
        if scan_id is None:
            scan_id = self.next_scan_id
        self.next_scan_id = scan_id + 1
        record = ScanRecord(scan_id=scan_id, retention_time_min=retention_time_min, ms_level=ms_level,
                            calibration_id=calibration_id, ion_polarity=ion_polarity,
                            mrm_channel_id=mrm_channel_id, target_mz=target_mz,
                            collision_energy=collision_energy)
        summary = {"tic": tic, "base_peak_mz": base_peak_mz, "base_peak_intensity": base_peak_intensity,
                   "min_x": min_x, "max_x": max_x}
        self.scans.append(_Scan(record, profile, centroid, mass_cal, mass_cal_count, profile_fault,
                                centroid_fault, list(extra_blocks or []), centroid_first, summary))
        return len(self.scans) - 1

    # Building -----------------------------------------------------------

    def build(self, path: str | Path) -> BuiltRun:
        path = Path(path)
        acq = path / "AcqData"
        acq.mkdir(parents=True, exist_ok=True)
        files: dict[str, bytes] = {}
        profile_blocks, files[MS_PROFILE] = self._lay_out(MS_PROFILE, [s.profile for s in self.scans],
                                                          [s.profile_fault for s in self.scans])
        peak_blocks, files[MS_PEAK] = self._lay_out(MS_PEAK, [s.centroid for s in self.scans],
                                                    [s.centroid_fault for s in self.scans])
        defaults_text, parsed_defaults = self._default_mass_cal()
        if defaults_text is not None:
            files[DEFAULT_MASS_CAL] = defaults_text
        mass_cal_records = self._mass_cal_records()
        if self.write_mass_cal:
            files[MS_MASS_CAL] = msmasscal_bytes(mass_cal_records, counts=self.mass_cal_counts)
        calibrations, sources = self._select_calibrations(files, parsed_defaults, mass_cal_records)
        device_text, device_info = self._devices()
        if device_text is not None:
            files[DEVICES] = device_text
        contents_text, acquired_time = self._contents()
        if contents_text is not None:
            files[CONTENTS] = contents_text

        decoded = [self._expected_points(i, calibrations[i], profile_blocks[i], peak_blocks[i], files)
                   for i in range(len(self.scans))]
        for scan, block_p, block_c, points in zip(self.scans, profile_blocks, peak_blocks, decoded):
            self._fill_record(scan, block_p, block_c, points)
        records = [s.record for s in self.scans]
        files[MS_SCAN] = msscan.msscan_bytes(records, self.stride, header_size=self.header_size,
                                             filler=self.msscan_filler)
        if self.check_stride and records and MS_SCAN not in self.truncations \
                and msscan.inferred_stride(files[MS_SCAN]) != self.stride:
            raise ValueError("the scan table's stride would be inferred differently; "
                             "change scan ids or the scan count")

        for name, data in files.items():
            if name in self.omitted:
                continue
            if name in (MS_PROFILE, MS_PEAK) and not data and not self.data_prefix[name] \
                    and not any((s.profile if name == MS_PROFILE else s.centroid) for s in self.scans):
                continue
            (acq / name).write_bytes(data[: self.truncations.get(name, len(data))])

        analyzer = self._analyzer(device_info)
        spectra = [self._expected_spectrum(i, scan, points, sources[i], analyzer)
                   for i, (scan, points) in enumerate(zip(self.scans, decoded))]
        index = msscan.expected_scan_index(records, self.stride, self.header_size, sources)
        return BuiltRun(path, spectra, index, calibrations, device_info, acquired_time,
                        self._instrument(device_info), analyzer, records)

    def _lay_out(self, name: str, contents: list, faults: list[Fault | None]) -> tuple[list, bytes]:
        """Encode blocks back to back; returns per scan (encoded, ParamBlock) or None."""
        out = bytearray(self.data_prefix[name])
        placed: list = []
        for content, fault in zip(contents, faults):
            if content is None:
                placed.append(None)
                continue
            encoded = content.encode()
            stored = encoded.data if fault is None or fault.transform is None else fault.transform(encoded.data)
            kind = 1 if name == MS_PROFILE else encoded.format_id
            ucb = encoded.uncompressed_byte_count if name == MS_PROFILE else 0
            block = ParamBlock(kind, len(out), len(stored), encoded.point_count, ucb)
            if fault is not None:
                for key in ("kind", "offset", "byte_count", "point_count", "uncompressed_byte_count"):
                    if getattr(fault, key) is not None:
                        setattr(block, key, getattr(fault, key))
            placed.append((encoded, block))
            out += stored + bytes(self.block_gap)
        return placed, bytes(out)

    def _default_mass_cal(self) -> tuple[bytes | None, list[DefaultEntry]]:
        if self.default_xml_override is not None:
            return self.default_xml_override
        if not self.defaults:
            return None, []
        text = xmlfiles.default_mass_cal_xml([self._entry_spec(e) for e in self.defaults])
        return text.encode("utf-8"), list(self.defaults)

    def _mass_cal_records(self) -> list[list[float]]:
        records = []
        for scan in self.scans:
            value = scan.mass_cal
            if value is FROM_DEFAULT:
                entry = next((e for e in self.defaults if e.calibration_id == scan.record.calibration_id), None)
                value = entry.coefficient_list() if entry else []
            elif isinstance(value, Calibration):
                value = value.coefficient_list()
            records.append(list(value or []))
        for i, scan in enumerate(self.scans):
            if scan.mass_cal_count is not None:
                self.mass_cal_counts[i] = scan.mass_cal_count
        if self.mass_cal_record_delta < 0:
            records = records[: len(records) + self.mass_cal_record_delta]
        else:
            records += [records[-1] if records else []] * self.mass_cal_record_delta
        return records

    def _select_calibrations(self, files, parsed_defaults, records):
        count = len(self.scans)
        if not self.tof:
            return [None] * count, [None] * count
        defaults = parsed_defaults if DEFAULT_MASS_CAL in files and DEFAULT_MASS_CAL not in self.omitted \
            and DEFAULT_MASS_CAL not in self.truncations else []
        decoded = None
        if self.write_mass_cal and MS_MASS_CAL not in self.omitted and MS_MASS_CAL not in self.truncations:
            if all(c <= 10 for c in self.mass_cal_counts.values()) and len(records) == count:
                decoded = []
                for i, record in enumerate(records):
                    c = self.mass_cal_counts.get(i, len(record))
                    decoded.append((record + [0.0] * 10)[:c])
        calibrations, sources = [], []
        for i, scan in enumerate(self.scans):
            calibration, source = select_calibration(decoded[i] if decoded else None,
                                                     scan.record.calibration_id, defaults)
            calibrations.append(calibration)
            sources.append(source)
        return calibrations, sources

    def _devices(self) -> tuple[bytes | None, dict | None]:
        if self.devices_override is not None:
            return self.devices_override
        if self.device is None:
            return None, None
        name, model = self.device
        text = xmlfiles.devices_xml([xmlfiles.DeviceSpec(name, model),
                                     xmlfiles.DeviceSpec("BinaryPump", "G1312B", device_id=2)])
        info = {"name": name.strip(), "model": model.strip()} if name.strip() and model.strip() else None
        return text.encode("utf-8"), info

    def _contents(self) -> tuple[bytes | None, str | None]:
        if self.contents_override is not None:
            return self.contents_override
        if self.acquired_time is None:
            return None, None
        time = self.acquired_time.strip() or None
        return xmlfiles.contents_xml(self.acquired_time).encode("utf-8"), time

    def _visible_device(self, device_info: dict | None) -> dict | None:
        return None if DEVICES in self.omitted else device_info

    def _analyzer(self, device_info: dict | None) -> str:
        device = self._visible_device(device_info)
        if device is not None and ascii_lower(device["name"]) == "qtof":
            return "tofms"
        if device is not None and ascii_lower(device["name"]) == "tandemquadrupole":
            return "tqms"
        return "tofms" if self.tof else "tqms"

    def _instrument(self, device_info: dict | None) -> tuple[str, str]:
        device = self._visible_device(device_info)
        if device is None:
            return ("MS:1000461", "Agilent Q-TOF" if self.tof else "Agilent QQQ")
        model = device["model"]
        if len(model) == 6 and ascii_lower(model) in INSTRUMENTS:
            return INSTRUMENTS[ascii_lower(model)]
        return ("MS:1000490", "Agilent instrument model")

    # Expected results ---------------------------------------------------

    def _block_unreadable(self, name: str, block: ParamBlock, files: dict[str, bytes]) -> str | None:
        """Why reading the block fails (None when it reads fine)."""
        if name in self.omitted:
            return ""
        size = min(len(files[name]), self.truncations.get(name, len(files[name])))
        if block.offset + block.byte_count > size:
            return "read_bytes: requested"
        return None

    def _expected_points(self, index, calibration, profile, centroid, files) -> dict:
        """Points the reader must decode, or the failure it must report."""
        scan = self.scans[index]
        blocks = self._param_blocks(scan, profile, centroid)
        p_block, c_block = msscan.decoded_params(blocks)
        result = {"blocks": blocks, "mz": [], "intensity": [], "mode": "centroid",
                  "fails": False, "error": None, "block": None}

        def fail(block_kind: str, error: str | None) -> dict:
            result.update(fails=True, error=error or None, block=block_kind)
            return result

        if p_block is not None:
            fault = scan.profile_fault
            if calibration is None:
                return fail("profile", NO_CALIBRATION)
            if fault is not None and fault.fails:
                return fail("profile", fault.error)
            if profile is None or p_block is not profile[1]:
                return fail("profile", None)
            unreadable = self._block_unreadable(MS_PROFILE, p_block, files)
            if unreadable is not None:
                return fail("profile", unreadable)
            mz = calibration.mz_list(profile[0].x_values())
            if mz or c_block is None:
                result.update(mz=mz, intensity=profile[0].expected_intensities(), mode="profile")
                return result
        if c_block is not None:
            fault = scan.centroid_fault
            if fault is not None and fault.fails:
                return fail("centroid", fault.error)
            if centroid is None or c_block is not centroid[1]:
                return fail("centroid", None)
            unreadable = self._block_unreadable(MS_PEAK, c_block, files)
            if unreadable is not None:
                return fail("centroid", unreadable)
            encoded = centroid[0]
            if c_block.kind == 3:
                mz = list(encoded.x_values)
            elif calibration is None:
                return fail("centroid", NO_CENTROID_CALIBRATION)
            else:
                mz = calibration.mz_list(list(encoded.x_values))
            result.update(mz=mz, intensity=encoded.expected_intensities(), mode="centroid")
        return result

    def _param_blocks(self, scan: _Scan, profile, centroid) -> list[ParamBlock]:
        blocks = [b for b in (profile and profile[1], centroid and centroid[1]) if b is not None]
        if scan.centroid_first:
            blocks.reverse()
        return blocks + scan.extra_blocks

    def _fill_record(self, scan: _Scan, profile, centroid, points: dict) -> None:
        record = scan.record
        record.blocks = points["blocks"]
        mz, intensity = points["mz"], points["intensity"]
        summary = scan.summary
        if not mz and (profile or centroid) and points["fails"]:
            source = profile or centroid
            intensity = source[0].expected_intensities()
        record.tic = summary["tic"] if summary["tic"] is not None else math.fsum(intensity)
        best = max(range(len(intensity)), key=lambda i: (intensity[i], -i), default=None)
        record.base_peak_intensity = summary["base_peak_intensity"] if summary["base_peak_intensity"] is not None \
            else (intensity[best] if best is not None else 0.0)
        record.base_peak_mz = summary["base_peak_mz"] if summary["base_peak_mz"] is not None \
            else (mz[best] if best is not None and mz else 0.0)
        record.min_x = summary["min_x"] if summary["min_x"] is not None else (min(mz) if mz else 0.0)
        record.max_x = summary["max_x"] if summary["max_x"] is not None else (max(mz) if mz else 0.0)

    def _expected_spectrum(self, index: int, scan: _Scan, points: dict, source: str | None,
                           analyzer: str) -> ExpectedSpectrum:
        row = msscan.expected_record(scan.record, self.stride, source)
        polarity = {0: "positive", 1: "negative"}.get(row["ion_polarity"])
        precursor = None
        if row["ms_level"] >= 2:
            mrm = row["mrm_channel_id"]
            precursor = {
                "target_mz": None if mrm is not None else row["target_mz"],
                "selected_mz": None, "isolation_width": None, "charge": None, "intensity": None,
                "collision_energy": row["collision_energy"], "ce_is_nce": False,
                "precursor_native_id": None if mrm is None else f"mrm_channel={mrm}",
                "activation": None, "analyzer": None, "ccs": None,
            }
        return ExpectedSpectrum(
            index=index, scan_number=row["scan_id"], native_id=f"scanId={row['scan_id']}",
            ms_level=row["ms_level"], polarity=polarity, scan_mode=points["mode"], analyzer=analyzer,
            retention_time_sec=row["retention_time_min"] * 60.0,
            reported_total_ion_current=row["tic"], reported_base_peak_mz=row["base_peak_mz"],
            reported_base_peak_intensity=row["base_peak_intensity"],
            low_mz=row["min_x"], high_mz=row["max_x"], precursor=precursor,
            mz=points["mz"], intensity=points["intensity"], extra=expected_extra(row),
            calibration_source=source, fails=points["fails"], error=points["error"], block=points["block"])


def expected_extra(row: dict) -> dict[str, str]:
    """The "karvel."-prefixed extra values of a spectrum, ordered by key."""
    extra: dict[str, str] = {}
    if row["mrm_channel_id"] is not None:
        extra["karvel.mrm_channel_id"] = str(row["mrm_channel_id"])
    for kind in ("profile", "centroid"):
        params = row[f"{kind}_params"]
        if params is None:
            continue
        for key, value in params.items():
            if value is not None:
                extra[f"karvel.{kind}.{key}"] = str(value)
    if row["calibration_id"] is not None:
        extra["karvel.calibration_id"] = str(row["calibration_id"])
    if row["ion_polarity"] not in (0, 1):
        extra["karvel.ion_polarity"] = str(row["ion_polarity"])
    return {key: extra[key] for key in sorted(extra, key=lambda k: k.encode())}


def float_bits(value: float) -> int:
    """The binary64 bit pattern (for exact comparisons that tell -0.0 and NaNs apart)."""
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def f32_bits(value: float) -> int:
    return struct.unpack("<I", struct.pack("<f", f32(value)))[0]


def cut_tail(count: int) -> Callable[[bytes], bytes]:
    """Fault transform: drop the last `count` bytes of a block."""
    return lambda data: data[: max(0, len(data) - count)]


def overwrite(at: int, patch: bytes) -> Callable[[bytes], bytes]:
    """Fault transform: replace bytes from offset `at` (negative counts from the end)."""
    def apply(data: bytes) -> bytes:
        start = at if at >= 0 else len(data) + at
        return data[:start] + patch + data[start + len(patch):]
    return apply
