"""Reads raw MassHunter LC-MS data folders (.d) without vendor software."""

from typing import TypedDict, final, type_check_only

__all__ = ["RawReader", "Spectrum", "SpectrumIter", "iter_spectra"]

@type_check_only
class SpectrumParams(TypedDict):
    format_id: int
    offset: int
    byte_count: int
    point_count: int
    uncompressed_byte_count: int | None

@type_check_only
class ScanRecord(TypedDict):
    scan_id: int
    retention_time_min: float
    ms_level: int
    min_x: float | None
    max_x: float | None
    tic: float | None
    base_peak_mz: float | None
    base_peak_intensity: float | None
    calibration_id: int | None
    ion_polarity: int
    calibration_source: str | None
    mrm_channel_id: int | None
    target_mz: float | None
    collision_energy: float | None
    profile_params: SpectrumParams | None
    centroid_params: SpectrumParams | None

@type_check_only
class ScanIndex(TypedDict):
    global_header_size: int
    stride: int
    records: list[ScanRecord]

@type_check_only
class DeviceInfo(TypedDict):
    name: str
    model: str

@type_check_only
class CvTerm(TypedDict):
    accession: str
    name: str

@type_check_only
class RunInfo(TypedDict):
    source_file_name: str
    source_file_format: CvTerm
    native_id_format: CvTerm
    instrument: CvTerm
    instrument_serial_number: str | None
    software_name: str
    software_version: str
    acquisition_software_name: str | None
    acquisition_software_version: str | None
    start_timestamp: str | None
    mobility_array_kind: str | None
    analyzers: list[str]
    extra: dict[str, str]

@type_check_only
class Chromatogram(TypedDict):
    index: int
    id: str
    chromatogram_type: CvTerm | None
    precursor_mz: float | None
    product_mz: float | None
    time_sec: list[float]
    intensity: list[float]

@type_check_only
class Precursor(TypedDict):
    target_mz: float | None
    selected_mz: float | None
    isolation_width: float | None
    charge: int | None
    intensity: float | None
    collision_energy: float | None
    ce_is_nce: bool
    precursor_native_id: str | None
    activation: str | None
    analyzer: str | None
    ccs: float | None

@final
class RawReader:
    def __new__(cls, path: str) -> RawReader: ...
    @property
    def scan_count(self) -> int: ...
    def read_spectrum(self, /, scan_index: int) -> Spectrum: ...
    def run_info(self, /) -> RunInfo: ...
    def device_info(self, /) -> DeviceInfo | None:
        """Instrument name and model decoded from Devices.xml, when available."""
    def read_chromatograms(self, /) -> list[Chromatogram]: ...
    def scan_index(self, /) -> ScanIndex:
        """The decoded MSScan.bin header and scan records."""

@final
class Spectrum:
    """A complete vendor-neutral spectrum record. Peak arrays remain Python lists
    for compatibility with the original native binding."""

    def __len__(self) -> int: ...
    @property
    def index(self) -> int: ...
    @property
    def scan_number(self) -> int: ...
    @property
    def native_id(self) -> str: ...
    @property
    def ms_level(self) -> int: ...
    @property
    def polarity(self) -> str | None: ...
    @property
    def scan_mode(self) -> str | None: ...
    @property
    def analyzer(self) -> str | None: ...
    @property
    def acquisition_event_id(self) -> int | None: ...
    @property
    def filter(self) -> str | None: ...
    @property
    def retention_time_sec(self) -> float: ...
    @property
    def total_ion_current(self) -> float: ...
    @property
    def reported_total_ion_current(self) -> float | None: ...
    @property
    def base_peak_mz(self) -> float | None: ...
    @property
    def reported_base_peak_mz(self) -> float | None: ...
    @property
    def base_peak_intensity(self) -> float | None: ...
    @property
    def reported_base_peak_intensity(self) -> float | None: ...
    @property
    def low_mz(self) -> float | None: ...
    @property
    def high_mz(self) -> float | None: ...
    @property
    def ion_injection_time_ms(self) -> float | None: ...
    @property
    def inv_mobility(self) -> float | None: ...
    @property
    def faims_cv(self) -> float | None: ...
    @property
    def precursor(self) -> Precursor | None: ...
    @property
    def mz(self) -> list[float]: ...
    @property
    def intensity(self) -> list[float]: ...
    @property
    def inv_mobility_per_peak(self) -> list[float] | None: ...
    @property
    def extra(self) -> dict[str, str]: ...

@final
class SpectrumIter:
    def __iter__(self) -> SpectrumIter: ...
    def __next__(self) -> Spectrum: ...

def iter_spectra(path: str) -> SpectrumIter:
    """Decode spectra one at a time without buffering the whole acquisition."""
