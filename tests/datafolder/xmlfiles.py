"""XML side files: DefaultMassCal.xml, Devices.xml and Contents.xml, with
helpers for damaged variants (missing elements, bad numbers, byte-order
marks, invalid UTF-8, document type declarations)."""

from __future__ import annotations

from dataclasses import dataclass, field
from xml.sax.saxutils import escape, quoteattr

from .calibration import Calibration

XML_DECLARATION = '<?xml version="1.0" encoding="utf-8"?>\n'
NAMESPACES = ('xmlns:xsd="http://www.w3.org/2001/XMLSchema" '
              'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"')
STEP_ELEMENTS = ("CalibrationFormula", "ValueUseFlags", "NumberOfCoefficients", "Values")


def number_text(value: float | str) -> str:
    """Shortest text that reads back as the same binary64 (strings pass through)."""
    return value if isinstance(value, str) else repr(float(value))


@dataclass
class StepSpec:
    """One <Step>.  Texts given as str are written verbatim, so bad numbers
    and odd spacing can be produced; `omit` names child elements to leave
    out; `numbers` overrides the Number attribute texts (None drops it)."""

    formula: str
    values: list[float | str]
    flags: int | str = 0
    count: int | str | None = None
    omit: frozenset[str] = frozenset()
    numbers: list[str | None] | None = None
    reverse_values: bool = False

    def to_xml(self, indent: str) -> str:
        inner = indent + "  "
        parts = [f"{indent}<Step>"]
        count = len(self.values) if self.count is None else self.count
        texts = {
            "CalibrationFormula": self.formula,
            "ValueUseFlags": str(self.flags),
            "NumberOfCoefficients": str(count),
        }
        for name in STEP_ELEMENTS[:3]:
            if name not in self.omit:
                parts.append(f"{inner}<{name}>{escape(texts[name])}</{name}>")
        if "Values" not in self.omit:
            parts.append(f"{inner}<Values>")
            numbers = self.numbers or [str(k + 1) for k in range(len(self.values))]
            entries = list(zip(numbers, self.values))
            if self.reverse_values:
                entries.reverse()
            for number, value in entries:
                attribute = "" if number is None else f" Number={quoteattr(number)}"
                parts.append(f"{inner}  <Value{attribute}>{escape(number_text(value))}</Value>")
            parts.append(f"{inner}</Values>")
        parts.append(f"{indent}</Step>")
        return "\n".join(parts)


def traditional_step(a: float, t0: float, flags: int = 3) -> StepSpec:
    return StepSpec("Traditional", [a, t0], flags)


def polynomial_step(values: list[float], flags: int) -> StepSpec:
    return StepSpec("Polynomial", list(values), flags)


@dataclass
class DefaultCalibrationSpec:
    """One <DefaultCalibration>; `calibration_id` may be a raw attribute text,
    or None to leave the attribute out."""

    calibration_id: int | str | None
    steps: list[StepSpec] = field(default_factory=list)

    @classmethod
    def of(cls, calibration_id: int, calibration: Calibration) -> "DefaultCalibrationSpec":
        return cls(calibration_id, [traditional_step(calibration.a, calibration.t0),
                                    polynomial_step(calibration.polynomial_values(), calibration.flags)])

    def to_xml(self, indent: str) -> str:
        attribute = "" if self.calibration_id is None else \
            f" DefaultCalibrationID={quoteattr(str(self.calibration_id))}"
        body = "\n".join(step.to_xml(indent + "  ") for step in self.steps)
        return f"{indent}<DefaultCalibration{attribute}>\n{body}\n{indent}</DefaultCalibration>"


def default_mass_cal_xml(entries: list[DefaultCalibrationSpec], *, wrapper: bool = True) -> str:
    """The document; entries sit inside a <DefaultCalibrations> wrapper unless
    `wrapper` is False (they are then direct children of the root)."""
    if wrapper:
        body = "\n".join(e.to_xml("    ") for e in entries)
        inner = f"  <DefaultCalibrations>\n{body}\n  </DefaultCalibrations>" if entries else \
            "  <DefaultCalibrations />"
    else:
        inner = "\n".join(e.to_xml("  ") for e in entries)
    return (f"{XML_DECLARATION}<CalibrationFile {NAMESPACES}>\n  <Version>1</Version>\n"
            f"{inner}\n</CalibrationFile>\n")


@dataclass
class DeviceSpec:
    name: str | None
    model: str | None
    serial: str = "SG00000000"
    device_id: int = 1


def device_xml(device: DeviceSpec, indent: str) -> str:
    inner = indent + "  "
    parts = [f'{indent}<Device DeviceID="{device.device_id}">']
    if device.name is not None:
        parts.append(f"{inner}<Name>{escape(device.name)}</Name>")
    if device.model is not None:
        parts.append(f"{inner}<ModelNumber>{escape(device.model)}</ModelNumber>")
    parts.append(f"{inner}<SerialNumber>{escape(device.serial)}</SerialNumber>")
    parts.append(f"{indent}</Device>")
    return "\n".join(parts)


def devices_xml(devices: list[DeviceSpec], *, nesting: int = 0) -> str:
    """Devices.xml listing the devices in order; `nesting` wraps them in that
    many extra <Group> levels (the reader finds the first Device at any depth)."""
    indent = "  " * (nesting + 1)
    body = "\n".join(device_xml(d, indent) for d in devices)
    for level in range(nesting, 0, -1):
        pad = "  " * level
        body = f"{pad}<Group>\n{body}\n{pad}</Group>"
    return f"{XML_DECLARATION}<Devices {NAMESPACES}>\n  <Version>1</Version>\n{body}\n</Devices>\n"


def contents_xml(acquired_time: str | None, *, nested: bool = False) -> str:
    """Contents.xml; `nested` puts AcquiredTime one level too deep."""
    lines = ["  <Version>2</Version>"]
    if acquired_time is not None:
        element = f"<AcquiredTime>{escape(acquired_time)}</AcquiredTime>"
        lines.append(f"  <Details>\n    {element}\n  </Details>" if nested else f"  {element}")
    lines.append("  <AcqStatus>2</AcqStatus>")
    body = "\n".join(lines)
    return f"{XML_DECLARATION}<Contents {NAMESPACES}>\n{body}\n</Contents>\n"


# Damaged variants, applied to finished documents.

def with_bom(text: str, count: int = 1) -> str:
    return "\ufeff" * count + text


def with_doctype(text: str) -> str:
    """Insert a document type declaration after the XML declaration."""
    head, rest = text.split("\n", 1) if text.startswith("<?xml") else ("", text)
    root = rest.lstrip("\ufeff")[1:].split()[0].rstrip(">")
    doctype = f"<!DOCTYPE {root} [<!ENTITY x \"y\">]>"
    return f"{head}\n{doctype}\n{rest}" if head else f"{doctype}\n{rest}"


def with_invalid_utf8(text: str, marker: str = "<Version>") -> bytes:
    """The document as UTF-8 with a stray 0xFF byte after `marker`."""
    data = text.encode("utf-8")
    at = data.find(marker.encode())
    at = len(data) // 2 if at < 0 else at + len(marker)
    return data[:at] + b"\xff" + data[at:]


def truncated(text: str, keep: float = 0.5) -> str:
    """A document cut off part-way (not well formed)."""
    return text[: int(len(text) * keep)]
