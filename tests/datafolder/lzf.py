"""LZF compressor producing raw streams (no header, length prefix or checksum).

Stream chunks, each led by a control byte:
  * ctrl < 32: a literal run of ctrl + 1 bytes that follow;
  * ctrl >= 32: a back reference with length code ctrl >> 5 (7 means "add
    the next byte"), then the low 8 bits of the distance (high 5 bits are
    ctrl & 31).  It copies length code + 2 bytes from distance + 1 bytes
    back, byte by byte, so it may overlap its own output.

The compressor is greedy: a table keyed by the next three bytes remembers the
latest position they were seen at, and every hit is extended as far as it
goes (up to 264 bytes, reaching at most 8192 bytes back).
"""

from __future__ import annotations

MAX_LITERAL_RUN = 32
MIN_MATCH = 3
MAX_MATCH = 7 + 255 + 2
MAX_DISTANCE = 8191


def literal_chunks(data: bytes) -> bytes:
    """Encode data as literal runs only (a valid, uncompressed LZF stream)."""
    out = bytearray()
    for start in range(0, len(data), MAX_LITERAL_RUN):
        run = data[start:start + MAX_LITERAL_RUN]
        out.append(len(run) - 1)
        out += run
    return bytes(out)


def back_reference(distance: int, length: int) -> bytes:
    """One back reference copying `length` bytes from `distance` + 1 bytes back."""
    if not 0 <= distance <= MAX_DISTANCE:
        raise ValueError(f"distance {distance} out of range")
    if not MIN_MATCH <= length <= MAX_MATCH:
        raise ValueError(f"match length {length} out of range")
    code = length - 2
    high = distance >> 8
    low = distance & 0xFF
    if code < 7:
        return bytes([(code << 5) | high, low])
    return bytes([(7 << 5) | high, code - 7, low])


def match_length(data: bytes, earlier: int, here: int) -> int:
    limit = min(MAX_MATCH, len(data) - here)
    length = 0
    while length < limit and data[earlier + length] == data[here + length]:
        length += 1
    return length


def compress(data: bytes, *, literal_only: bool = False) -> bytes:
    """Compress data into an LZF stream; literal_only skips all matching."""
    data = bytes(data)
    if literal_only:
        return literal_chunks(data)
    out = bytearray()
    pending = bytearray()
    last_seen: dict[bytes, int] = {}
    position = 0
    end = len(data)
    while position < end:
        if position + MIN_MATCH <= end:
            key = data[position:position + MIN_MATCH]
            earlier = last_seen.get(key)
            last_seen[key] = position
            if earlier is not None and position - earlier - 1 <= MAX_DISTANCE:
                length = match_length(data, earlier, position)
                if length >= MIN_MATCH:
                    out += literal_chunks(bytes(pending))
                    pending.clear()
                    out += back_reference(position - earlier - 1, length)
                    for covered in range(position + 1, min(position + length, end - MIN_MATCH + 1)):
                        last_seen[data[covered:covered + MIN_MATCH]] = covered
                    position += length
                    continue
        pending.append(data[position])
        position += 1
    out += literal_chunks(bytes(pending))
    return bytes(out)
