"""MSPeak.bin centroid blocks (12 bytes per peak, uncompressed).

Format 2 stores all x values (binary64 flight times) and then all
intensities (binary32); format 3 interleaves binary64 m/z and binary32
intensity per peak.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

from .calibration import f32


@dataclass(frozen=True)
class PeakBlock:
    data: bytes
    format_id: int
    point_count: int
    x_values: tuple[float, ...]
    intensities: tuple[float, ...]

    def expected_intensities(self) -> list[float]:
        return [f32(v) for v in self.intensities]


def format2_block(x_values: list[float], intensities: list[float], *, trailing: bytes = b"") -> PeakBlock:
    if len(x_values) != len(intensities):
        raise ValueError("x and intensity lists differ in length")
    n = len(x_values)
    data = struct.pack(f"<{n}d", *x_values) + struct.pack(f"<{n}f", *intensities) + trailing
    return PeakBlock(data, 2, n, tuple(x_values), tuple(intensities))


def format3_block(mz_values: list[float], intensities: list[float], *, trailing: bytes = b"") -> PeakBlock:
    if len(mz_values) != len(intensities):
        raise ValueError("m/z and intensity lists differ in length")
    data = b"".join(struct.pack("<df", mz, value) for mz, value in zip(mz_values, intensities)) + trailing
    return PeakBlock(data, 3, len(mz_values), tuple(mz_values), tuple(intensities))


def peak_block(format_id: int, x_values: list[float], intensities: list[float], **options) -> PeakBlock:
    if format_id == 2:
        return format2_block(x_values, intensities, **options)
    if format_id == 3:
        return format3_block(x_values, intensities, **options)
    raise ValueError(f"no centroid layout for format {format_id}")
