"""MSScan.bin scan tables in the five record layouts (strides 284, 220, 216,
196 and 186), and the scan-table dicts a reader is expected to report."""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

MAGIC = 257
MIN_HEADER_SIZE = 92
STRIDES = (284, 220, 216, 196, 186)
TIME_OF_FLIGHT_STRIDES = (284, 220, 216)
PROFILE_KIND = 1
CENTROID_KINDS = (2, 3)

# Parameter block offsets inside a record, per stride.
BLOCK_OFFSETS = {284: (156, 220), 220: (156,), 216: (152,), 196: (144,), 186: (136,)}


@dataclass
class ParamBlock:
    """A spectrum parameter block: kind 1 = profile, 2 or 3 = centroid,
    anything else = no data."""

    kind: int
    offset: int = 0
    byte_count: int = 0
    point_count: int = 0
    uncompressed_byte_count: int = 0

    def params_dict(self) -> dict:
        return {
            "format_id": self.kind,
            "offset": self.offset,
            "byte_count": self.byte_count,
            "point_count": self.point_count,
            "uncompressed_byte_count": self.uncompressed_byte_count if self.kind == PROFILE_KIND else None,
        }


@dataclass
class ScanRecord:
    """Every field any layout carries; a layout writes the ones it has.

    `blocks` are written in order into the layout's parameter block slots
    (two for stride 284, one otherwise).
    """

    scan_id: int
    retention_time_min: float = 0.0
    ms_level: int = 1
    min_x: float = 0.0
    max_x: float = 0.0
    tic: float = 0.0
    base_peak_mz: float = 0.0
    base_peak_intensity: float = 0.0
    calibration_id: int = 0
    ion_polarity: int = 0
    mrm_channel_id: int = 0
    target_mz: float = 0.0
    collision_energy: float = 0.0
    blocks: list[ParamBlock] = field(default_factory=list)

    def profile_block(self) -> ParamBlock | None:
        return decoded_params(self.blocks)[0]

    def centroid_block(self) -> ParamBlock | None:
        return decoded_params(self.blocks)[1]


def decoded_params(blocks: list[ParamBlock]) -> tuple[ParamBlock | None, ParamBlock | None]:
    """(profile, centroid) as a reader sees them: later blocks win per kind."""
    profile = centroid = None
    for block in blocks:
        if block.kind == PROFILE_KIND:
            profile = block
        elif block.kind in CENTROID_KINDS:
            centroid = block
    return profile, centroid


def _put(buffer: bytearray, offset: int, fmt: str, value) -> None:
    struct.pack_into("<" + fmt, buffer, offset, value)


def _wide_block(buffer: bytearray, at: int, block: ParamBlock) -> None:
    struct.pack_into("<iQIII", buffer, at, block.kind, block.offset, block.byte_count,
                     block.point_count, block.uncompressed_byte_count)


def _narrow_block(buffer: bytearray, at: int, block: ParamBlock) -> None:
    struct.pack_into("<HQIII", buffer, at, block.kind & 0xFFFF, block.offset, block.byte_count,
                     block.point_count, block.uncompressed_byte_count)


def record_bytes(record: ScanRecord, stride: int, *, filler: int = 0) -> bytes:
    """One record of the given layout; bytes no field occupies hold `filler`."""
    if stride not in STRIDES:
        raise ValueError(f"unknown stride {stride}")
    slots = BLOCK_OFFSETS[stride]
    if len(record.blocks) > len(slots):
        raise ValueError(f"stride {stride} has room for {len(slots)} parameter block(s)")
    buffer = bytearray([filler]) * stride
    _put(buffer, 0, "I", record.scan_id)
    _put(buffer, 12, "d", record.retention_time_min)
    _put(buffer, 20, "H", record.ms_level)
    if stride in TIME_OF_FLIGHT_STRIDES:
        _put(buffer, 28, "d", record.tic)
        _put(buffer, 36, "d", record.base_peak_mz)
        _put(buffer, 44, "d", record.base_peak_intensity)
        _put(buffer, 52, "i", record.calibration_id)
        _put(buffer, 64, "i", record.ion_polarity)
        _put(buffer, 76, "d", record.collision_energy)
        _put(buffer, 84, "d", record.target_mz)
    else:
        _put(buffer, 4, "I", record.mrm_channel_id)
        if stride == 196:
            _put(buffer, 64, "i", record.ion_polarity)
        else:
            _put(buffer, 62, "H", record.ion_polarity & 0xFFFF)
    if stride == 284:
        _put(buffer, 244, "d", record.min_x)
        _put(buffer, 252, "d", record.max_x)
    empty = ParamBlock(kind=0)
    for slot, at in enumerate(slots):
        block = record.blocks[slot] if slot < len(record.blocks) else empty
        if stride == 186:
            _narrow_block(buffer, at, block)
        else:
            _wide_block(buffer, at, block)
    return bytes(buffer)


def msscan_bytes(records: list[ScanRecord], stride: int, *, header_size: int = MIN_HEADER_SIZE,
                 magic: int = MAGIC, filler: int = 0) -> bytes:
    """The whole file: magic at 0, header size at 88, records from header_size."""
    if header_size < MIN_HEADER_SIZE:
        raise ValueError("the global header is at least 92 bytes")
    header = bytearray(header_size)
    _put(header, 0, "I", magic)
    _put(header, 88, "I", header_size)
    return bytes(header) + b"".join(record_bytes(r, stride, filler=filler) for r in records)


def inferred_stride(data: bytes) -> int | None:
    """The stride a reader infers for a complete file, or None if none fits."""
    if len(data) < MIN_HEADER_SIZE or struct.unpack_from("<I", data, 0)[0] != MAGIC:
        return None
    header_size = struct.unpack_from("<I", data, 88)[0]
    if len(data) < header_size:
        return None
    payload = data[header_size:]
    if len(payload) <= 3:
        return None
    first = struct.unpack_from("<I", payload, 0)[0]
    limit = min(first + 100000, 0xFFFFFFFF)
    for stride in STRIDES:
        if len(payload) % stride:
            continue
        if len(payload) == stride:
            return stride
        second = struct.unpack_from("<I", payload, stride)[0]
        level = struct.unpack_from("<H", payload, stride + 20)[0]
        if first < second < limit and level in (1, 2):
            return stride
    return None


def expected_record(record: ScanRecord, stride: int, calibration_source: str | None = None) -> dict:
    """The dict a reader reports for this record in `scan_index()["records"]`.

    `calibration_source` is decided by calibration selection, so the caller
    supplies it (RunBuilder computes it from the run's calibration files).
    """
    tof = stride in TIME_OF_FLIGHT_STRIDES
    precursor = tof and record.ms_level >= 2
    profile, centroid = decoded_params(record.blocks)
    if stride == 186:
        polarity = struct.unpack("<h", struct.pack("<H", record.ion_polarity & 0xFFFF))[0]
        profile, centroid = decoded_params([_narrow_kind(b) for b in record.blocks])
    else:
        polarity = record.ion_polarity
    return {
        "scan_id": record.scan_id,
        "retention_time_min": record.retention_time_min,
        "ms_level": record.ms_level,
        "min_x": record.min_x if stride == 284 else None,
        "max_x": record.max_x if stride == 284 else None,
        "tic": record.tic if tof else None,
        "base_peak_mz": record.base_peak_mz if tof else None,
        "base_peak_intensity": record.base_peak_intensity if tof else None,
        "calibration_id": record.calibration_id if tof else None,
        "ion_polarity": polarity,
        "calibration_source": calibration_source if tof else None,
        "mrm_channel_id": None if tof else record.mrm_channel_id,
        "target_mz": record.target_mz if precursor else None,
        "collision_energy": record.collision_energy if precursor else None,
        "profile_params": profile.params_dict() if profile else None,
        "centroid_params": centroid.params_dict() if centroid else None,
    }


def _narrow_kind(block: ParamBlock) -> ParamBlock:
    """The block as a 16-bit kind field stores it."""
    return ParamBlock(block.kind & 0xFFFF, block.offset, block.byte_count,
                      block.point_count, block.uncompressed_byte_count)


def expected_scan_index(records: list[ScanRecord], stride: int, header_size: int = MIN_HEADER_SIZE,
                        calibration_sources: list[str | None] | None = None) -> dict:
    sources = calibration_sources or []
    return {
        "global_header_size": header_size,
        "stride": stride,
        "records": [expected_record(r, stride, sources[i] if i < len(sources) else None)
                    for i, r in enumerate(records)],
    }
