"""MSProfile.bin blocks: LZF-compressed arrays and run-length streams.

Both encodings start with the axis header (x0, dx as binary64).  An LZF block
compresses header + one signed 32-bit intensity per point.  A run-length
block is stored as is: header, marker 0x9002FF00, the negated index of the
first addressed point, then signed items whose width starts at 4 bytes.  An
item >= 0 is the intensity of the current point; a negative item v with
n = -v - 1 skips n >> 2 points and makes later items 1 << (n & 3) bytes wide.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

from . import lzf
from .calibration import int_to_f32

RUN_LENGTH_MARKER = 0x9002FF00
AXIS_HEADER = struct.Struct("<dd")
WIDTH_CODES = {1: 0, 2: 1, 4: 2, 8: 3}
ITEM_FORMATS = {1: "<b", 2: "<h", 4: "<i", 8: "<q"}
# A zero stretch shorter than this inside a peak is written as zero items.
MIN_SKIP = 3


@dataclass(frozen=True)
class ProfileBlock:
    """One encoded profile block and what the scan table must say about it."""

    data: bytes
    point_count: int
    uncompressed_byte_count: int
    x0: float
    dx: float
    intensities: tuple[int, ...]

    def x_values(self) -> list[float]:
        return [self.x0 + float(i) * self.dx for i in range(self.point_count)]

    def expected_intensities(self) -> list[float]:
        return [int_to_f32(v) for v in self.intensities]


def axis_header(x0: float, dx: float) -> bytes:
    return AXIS_HEADER.pack(x0, dx)


def lzf_block(x0: float, dx: float, intensities: list[int], *,
              literal_only: bool = False, trailing: bytes = b"") -> ProfileBlock:
    """LZF encoding; `trailing` bytes after the intensities are compressed too
    and counted in the uncompressed byte count (the reader ignores them)."""
    raw = axis_header(x0, dx) + struct.pack(f"<{len(intensities)}i", *intensities) + trailing
    return ProfileBlock(lzf.compress(raw, literal_only=literal_only), len(intensities),
                        len(raw), x0, dx, tuple(intensities))


def item_width(value: int) -> int:
    """Narrowest item width that holds a non-negative value."""
    for width in (1, 2, 4, 8):
        if value < 1 << (8 * width - 1):
            return width
    raise ValueError(f"intensity {value} does not fit a 64-bit item")


def max_skip(width: int) -> int:
    """Largest skip a control item of this width can carry."""
    return ((1 << (8 * width - 1)) - 4) >> 2


def control_item(skip: int, next_width: int) -> int:
    return -(((skip << 2) | WIDTH_CODES[next_width]) + 1)


def pack_item(value: int, width: int) -> bytes:
    return struct.pack(ITEM_FORMATS[width], value)


class RunLengthWriter:
    """Accumulates items, tracking the current width."""

    def __init__(self) -> None:
        self.width = 4
        self.items = bytearray()

    def control(self, skip: int, next_width: int) -> None:
        """Skip points and switch width; a skip the current width cannot
        carry is split, widening the items on the way."""
        while skip > max_skip(self.width):
            wider = 4 if skip <= max_skip(4) else 8
            step = max_skip(self.width)
            self.items += pack_item(control_item(step, wider), self.width)
            self.width = wider
            skip -= step
        self.items += pack_item(control_item(skip, next_width), self.width)
        self.width = next_width

    def value(self, value: int) -> None:
        self.items += pack_item(value, self.width)


def stretches(intensities: list[int], start: int) -> list[tuple[int, int]]:
    """(first, end) of the stretches to write: non-zero points joined across
    zero gaps shorter than MIN_SKIP."""
    found: list[tuple[int, int]] = []
    i = start
    n = len(intensities)
    while i < n:
        if intensities[i] == 0:
            i += 1
            continue
        first = i
        end = i + 1
        while end < n:
            if intensities[end] != 0:
                end += 1
                continue
            gap = end
            while gap < n and intensities[gap] == 0:
                gap += 1
            if gap < n and gap - end < MIN_SKIP:
                end = gap
            else:
                break
        found.append((first, end))
        i = end
    return found


def run_length_items(intensities: list[int], start: int) -> RunLengthWriter:
    writer = RunLengthWriter()
    point = start
    for first, end in stretches(intensities, start):
        width = item_width(max(intensities[first:end]))
        if first != point or width != writer.width:
            writer.control(first - point, width)
        for value in intensities[first:end]:
            writer.value(value)
        point = end
    return writer


def run_length_block(x0: float, dx: float, intensities: list[int], *,
                     start: int | None = None, trailing_control: bool = False) -> ProfileBlock:
    """Run-length encoding of non-negative intensities.

    `start` is the first addressed point (default: the first non-zero one);
    `trailing_control` appends a final control item that skips nothing.
    The uncompressed byte count is the size an LZF array would need.
    """
    if any(v < 0 for v in intensities):
        raise ValueError("run-length blocks cannot hold negative intensities")
    if x0 <= 0.0:
        raise ValueError("run-length blocks need x0 > 0 to be recognised")
    if start is None:
        start = next((i for i, v in enumerate(intensities) if v), 0)
    if any(intensities[:start]):
        raise ValueError("start lies after a non-zero point")
    writer = run_length_items(list(intensities), start)
    if trailing_control:
        writer.control(0, writer.width)
    data = axis_header(x0, dx) + struct.pack("<Ii", RUN_LENGTH_MARKER, -start) + bytes(writer.items)
    return ProfileBlock(data, len(intensities), 16 + 4 * len(intensities), x0, dx, tuple(intensities))
