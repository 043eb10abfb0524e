"""MSMassCal.bin: a 72-byte header, then one 84-byte record per scan holding a
coefficient count (unsigned 32-bit) and room for ten binary64 coefficients."""

from __future__ import annotations

import struct

HEADER_SIZE = 72
RECORD_SIZE = 84
SLOTS = 10


def record_bytes(coefficients: list[float], *, count: int | None = None, filler: float = 0.0) -> bytes:
    """One record; `count` overrides the stored count (faulty counts such as
    11 are written as is, the slots hold at most ten values).  Slots beyond
    the coefficients hold `filler`, which the reader must ignore."""
    if len(coefficients) > SLOTS:
        raise ValueError("a record holds at most ten coefficients")
    stored = len(coefficients) if count is None else count
    slots = list(coefficients) + [filler] * (SLOTS - len(coefficients))
    return struct.pack("<I10d", stored, *slots)


def msmasscal_bytes(records: list[list[float]], *, counts: dict[int, int] | None = None,
                    header: bytes | None = None, filler: float = 0.0) -> bytes:
    """The whole file; `counts` maps record positions to overriding counts."""
    counts = counts or {}
    if header is None:
        header = bytes(HEADER_SIZE)
    if len(header) != HEADER_SIZE:
        raise ValueError("the header is 72 bytes")
    body = b"".join(record_bytes(r, count=counts.get(i), filler=filler) for i, r in enumerate(records))
    return header + body
