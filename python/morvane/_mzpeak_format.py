"""Everything about the mzPeak archive that belongs to one version of the
format: the version written, the controlled vocabularies and their
versions, member names, entity types and data kinds, table and column
names, array descriptions, chunk encodings and the CV terms the writer
uses. The writer (morvane._mzpeak) takes every such choice from here, so
that following the next revision of the format is a change to this module.

Readings taken where the format's text leaves room (docs/mzpeak.md lists
them too):

* data kinds are written with underscores ("data_arrays", "selected_ions"),
  as the index file's JSON Schema and its example spell them;
* a chunk's `<array>_chunk_values` hold the chunk's values after its first
  (the start point is excluded for the basic and the delta encoding), so a
  chunk of n points has n - 1 values there and n in every other array;
* a chunk in MS-Numpress linear prediction (mz_encoding="numpress") holds
  all its m/z, start included, in the bytes column and a null
  `<array>_chunk_values`; a chunk numpress cannot hold (a non-finite m/z,
  or a single point, which decoders in use do not read) is delta-encoded,
  its row saying so in `chunk_encoding`;
* zero runs are stripped (three or more zero intensities keep their first
  and last point); the array index carries no transform for it, as readers
  assume stripped zero runs anyway;
* with zero runs stripped, profile chunks are null-marked (not numpress
  chunks, which hold no nulls): the two zeros left of each run become null
  m/z and null intensity, a spectrum's `mz_delta_model` holds its m/z step
  as a quadratic of m/z, coefficients from the highest power (as the
  metadata column says; the format's sample fit lists them from the
  lowest); a pair of zeros whose nulls a reader would not rebuild within
  NULL_MARKING_BOUND keeps its zeros (a spectrum with no pair left, a null
  model);
* a chunk whose first point is null keeps that null among its values
  (basic and delta encoding exclude only a first point that has a value);
  `<array>_chunk_start` and `_chunk_end` hold the m/z the nulls replaced;
* time columns are in minutes, also the chromatograms' time arrays;
* profile spectra go to the data-arrays file, centroid spectra (stored or
  picked) to the peaks file; a profile with picked centroids has a row in
  both, and its metadata row both counts.
"""

from __future__ import annotations

from typing import Any

FORMAT_VERSION = "0.9.0"
FORMAT_DRAFT = "0.9 Draft 5"

CV_LIST: tuple[dict[str, str], ...] = (
    {"id": "MS", "full_name": "Proteomics Standards Initiative Mass Spectrometry Ontology",
     "uri": "http://purl.obolibrary.org/obo/ms/4.1.249/psi-ms.obo", "version": "4.1.249"},
    {"id": "UO", "full_name": "Units of measurement ontology",
     "uri": "http://purl.obolibrary.org/obo/uo/releases/2026-01-16/uo.obo", "version": "2026-01-16"},
)

INDEX_NAME = "mzpeak_index.json"
SUFFIX = ".mzpeak"

# -- members: (name, entity_type, data_kind) ----------------------------------------------------
SPECTRUM = "spectrum"
CHROMATOGRAM = "chromatogram"
SPECTRA_METADATA = ("spectra_metadata.parquet", SPECTRUM, "metadata")
SPECTRA_SCANS = ("spectra_metadata_scans.parquet", SPECTRUM, "scans")
SPECTRA_PRECURSORS = ("spectra_metadata_precursors.parquet", SPECTRUM, "precursors")
SPECTRA_SELECTED_IONS = ("spectra_metadata_selected_ions.parquet", SPECTRUM, "selected_ions")
SPECTRA_DATA = ("spectra_data.parquet", SPECTRUM, "data_arrays")
SPECTRA_PEAKS = ("spectra_peaks.parquet", SPECTRUM, "peaks")
CHROMATOGRAMS_METADATA = ("chromatograms_metadata.parquet", CHROMATOGRAM, "metadata")
CHROMATOGRAMS_PRODUCTS = ("chromatograms_metadata_products.parquet", CHROMATOGRAM, "products")
CHROMATOGRAMS_DATA = ("chromatograms_data.parquet", CHROMATOGRAM, "data_arrays")

# Footer keys.
ARRAY_INDEX_KEY = "{entity}_array_index"
FILE_LEVEL_KEYS = ("cv_list", "file_description", "instrument_configuration_list", "software_list",
                   "data_processing_method_list", "sample_list", "run")

# -- CV terms ---------------------------------------------------------------------------------------
MZ_ARRAY = ("MS:1000514", "m/z array")
INTENSITY_ARRAY = ("MS:1000515", "intensity array")
TIME_ARRAY = ("MS:1000595", "time array")
FLOAT32 = "MS:1000521"
FLOAT64 = "MS:1000523"
MZ_UNIT = "MS:1000040"
COUNTS_UNIT = "MS:1000131"
MINUTE = "UO:0000031"
PROFILE = "MS:1000128"
CENTROID = "MS:1000127"
MS1_SPECTRUM = ("MS:1000579", "MS1 spectrum")
MSN_SPECTRUM = ("MS:1000580", "MSn spectrum")
# A spectrum whose scan states no MS level (level 0): neither MS1 nor MSn.
MASS_SPECTRUM = ("MS:1000294", "mass spectrum")
CID = ("MS:1000133", "collision-induced dissociation")
TIC_CHROMATOGRAM = ("MS:1000235", "total ion current chromatogram")
BPC_CHROMATOGRAM = ("MS:1000628", "basepeak chromatogram")
SRM_CHROMATOGRAM = ("MS:1001473", "selected reaction monitoring chromatogram")
COLLISION_ENERGY = ("MS:1000045", "collision energy")
ELECTRONVOLT = "UO:0000266"
NO_COMBINATION = ("MS:1000795", "no combination")
SHA1 = ("MS:1000569", "SHA-1")
SOURCE_FORMAT = ("MS:1001509", "Agilent MassHunter format")
NATIVE_ID_FORMAT = ("MS:1001508", "Agilent MassHunter nativeID format")
CUSTOM_SOFTWARE = ("MS:1000799", "custom unreleased software tool")
FILE_FORMAT_CONVERSION = ("MS:1000530", "file format conversion")
PEAK_PICKING = ("MS:1000035", "peak picking")
ELECTROSPRAY = ("MS:1000073", "electrospray ionization")
IONIZATION_TYPE = ("MS:1000008", "ionization type")
DETECTOR_TYPE = ("MS:1000026", "detector type")
INSTRUMENT_MODEL = ("MS:1000031", "instrument model")
AGILENT_MODEL = ("MS:1000490", "Agilent instrument model")
SERIAL_NUMBER = ("MS:1000529", "instrument serial number")
# The reader's analyzer names; Fourier-transform runs keep the generic term.
ANALYZERS = {
    "tofms": ("MS:1000084", "time-of-flight"),
    "tqms": ("MS:1000081", "quadrupole"),
    "sqms": ("MS:1000081", "quadrupole"),
    "itms": ("MS:1000264", "ion trap"),
    "sector": ("MS:1000080", "magnetic sector"),
}
ANALYZER_TYPE = ("MS:1000443", "mass analyzer type")

# -- chunk encodings -------------------------------------------------------------------------------
BASIC_ENCODING = "MS:1000576"   # no compression: the values after the start, as they are
DELTA_ENCODING = "MS:1003089"   # truncation, delta prediction: differences to the previous value
NUMPRESS_LINEAR = "MS:1002312"  # MS-Numpress linear prediction: the chunk's values, start included, as bytes
ENCODINGS = {"basic": BASIC_ENCODING, "delta": DELTA_ENCODING, "numpress": NUMPRESS_LINEAR}
DEFAULT_CHUNK_WIDTH = 50.0       # m/z per chunk

# -- null marking ----------------------------------------------------------------------------------
NULL_MZ = "MS:1003902"         # transform of an m/z array whose nulls the spacing model fills
NULL_INTENSITY = "MS:1003901"  # transform of an intensity array whose nulls read as zero
# A spectrum is null-marked only when every null m/z rebuilds within this
# fraction of its distance to the value it is rebuilt from (the local step).
NULL_MARKING_BOUND = 0.25
MZ_DELTA_MODEL_DEGREE = 2      # mz_delta_model: m/z step = polynomial of m/z, highest power first

# -- signal layouts --------------------------------------------------------------------------------
POINT = "point"
CHUNK = "chunk"
SPECTRUM_INDEX = "spectrum_index"
CHROMATOGRAM_INDEX = "chromatogram_index"
MZ = "mz"
INTENSITY = "intensity"
TIME = "time"


def chunk_column(array: str, part: str) -> str:
    """mz, start -> mz_chunk_start."""
    return f"{array}_chunk_{part}"


CHUNK_ENCODING_COLUMN = "chunk_encoding"
NUMPRESS_LINEAR_COLUMN = "mz_numpress_linear_bytes"


def array_entry(context: str, path: str, array: tuple[str, str], data_type: str, unit: str, buffer_format: str,
                sorting_rank: int | None) -> dict[str, Any]:
    return {
        "context": context,
        "path": path,
        "data_type": data_type,
        "array_type": array[0],
        "array_name": array[1],
        "unit": unit,
        "buffer_format": buffer_format,
        "transform": None,
        "data_processing_id": None,
        "buffer_priority": "primary",
        "sorting_rank": sorting_rank,
    }


def point_array_index(context: str, axis: str, axis_array: tuple[str, str], axis_unit: str) -> dict[str, Any]:
    """Point layout: the axis (64-bit, sorted first) and 32-bit intensities."""
    return {"prefix": POINT, "entries": [
        array_entry(context, f"{POINT}.{axis}", axis_array, FLOAT64, axis_unit, "point", 0),
        array_entry(context, f"{POINT}.{INTENSITY}", INTENSITY_ARRAY, FLOAT32, COUNTS_UNIT, "point", None),
    ]}


def chunk_array_index(context: str, numpress: bool = False, null_marking: bool = False) -> dict[str, Any]:
    """Chunked layout of spectra: m/z chunks and 32-bit intensities (and the
    numpress bytes of the m/z chunks when asked); with null marking, the
    m/z values and the intensities name how their nulls read."""
    def mz(part: str, column: str) -> dict[str, Any]:
        return array_entry(context, f"{CHUNK}.{column}", MZ_ARRAY, FLOAT64, MZ_UNIT, part, 0)
    entries = [
        mz("chunk_start", chunk_column(MZ, "start")),
        mz("chunk_end", chunk_column(MZ, "end")),
        {**mz("chunk_values", chunk_column(MZ, "values")), "transform": NULL_MZ if null_marking else None},
        mz("chunk_encoding", CHUNK_ENCODING_COLUMN),
        {**array_entry(context, f"{CHUNK}.{INTENSITY}", INTENSITY_ARRAY, FLOAT32, COUNTS_UNIT, "chunk_secondary",
                       None), "transform": NULL_INTENSITY if null_marking else None},
    ]
    if numpress:
        entries.append({**mz("chunk_transform", NUMPRESS_LINEAR_COLUMN), "transform": NUMPRESS_LINEAR})
    return {"prefix": CHUNK, "entries": entries}


# -- column mappings of the metadata tables: (name, path, accession, unit) --------------------------
SPECTRUM_COLUMNS = (
    ("scan start time", "time", "MS:1000016", MINUTE),
    ("ms level", "ms_level", "MS:1000511", None),
    ("scan polarity", "scan_polarity", "MS:1000465", None),
    ("spectrum representation", "spectrum_representation", "MS:1000525", None),
    ("spectrum type", "spectrum_type", "MS:1000559", None),
    ("lowest observed m/z", "lowest_observed_mz", "MS:1000528", MZ_UNIT),
    ("highest observed m/z", "highest_observed_mz", "MS:1000527", MZ_UNIT),
    ("number of data points", "number_of_data_points", "MS:1003060", None),
    ("number of peaks", "number_of_peaks", "MS:1003059", None),
    ("base peak m/z", "base_peak_mz", "MS:1000504", MZ_UNIT),
    ("base peak intensity", "base_peak_intensity", "MS:1000505", COUNTS_UNIT),
    ("total ion current", "total_ion_current", "MS:1000285", COUNTS_UNIT),
)
SCAN_COLUMNS = (
    ("scan start time", "scan_start_time", "MS:1000016", MINUTE),
    ("preset scan configuration", "preset_scan_configuration", "MS:1000616", None),
    ("scan window lower limit", "scan_windows.scan_window_lower_limit", "MS:1000501", MZ_UNIT),
    ("scan window upper limit", "scan_windows.scan_window_upper_limit", "MS:1000500", MZ_UNIT),
)
PRECURSOR_COLUMNS = (
    ("isolation window target m/z", "isolation_window.isolation_window_target", "MS:1000827", MZ_UNIT),
    ("isolation window lower offset", "isolation_window.isolation_window_lower_offset", "MS:1000828", MZ_UNIT),
    ("isolation window upper offset", "isolation_window.isolation_window_upper_offset", "MS:1000829", MZ_UNIT),
    ("collision energy", "activation.collision_energy", "MS:1000045", "UO:0000266"),
)
SELECTED_ION_COLUMNS = (
    ("selected ion m/z", "selected_ion_mz", "MS:1000744", MZ_UNIT),
    ("charge state", "charge_state", "MS:1000041", None),
    ("peak intensity", "intensity", "MS:1000042", COUNTS_UNIT),
)
PRODUCT_COLUMNS = (
    ("isolation window target m/z", "isolation_window.isolation_window_target", "MS:1000827", MZ_UNIT),
)
CHROMATOGRAM_COLUMNS = (
    ("scan polarity", "scan_polarity", "MS:1000465", None),
    ("chromatogram type", "chromatogram_type", "MS:1000626", None),
    ("number of data points", "number_of_data_points", "MS:1003060", None),
)


def column_mapping(columns: tuple[tuple[str, str, str | None, str | None], ...]) -> list[dict[str, Any]]:
    return [{"name": name, "path": path, "accession": accession, "unit": unit}
            for name, path, accession, unit in columns]
