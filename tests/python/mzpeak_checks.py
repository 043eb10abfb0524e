"""An mzPeak archive checked against the format's rules and read back,
with zipfile, json, jsonschema, numpy and pyarrow only: nothing of karvel
or morvane is used on this side, so the writer cannot excuse itself.

`problems(path)` lists every rule an archive (a ZIP file or a folder)
breaks, each as a short text starting with the rule's name; `read_spectra`
rebuilds every spectrum's arrays from the signal tables through the array
index alone (columns are never found by their names).

The rules, by name:
  index-schema      mzpeak_index.json validates against its JSON Schema,
                    with metadata.version MAJOR.MINOR.PATCH
  json-schema       the file-level JSON (index and footers) validates
  members           every listed member exists and is a readable Parquet file;
                    ZIP members are stored uncompressed
  arrow-schema      each member's Arrow schema fits its entity type and data kind
  cv-declared       every CV prefix used anywhere is declared with uri and version
  layout            one layout per signal file, named by the array index prefix;
                    chunk_start/end/encoding/values once each
  array-index       array index present, valid, its paths exist
  cv-parents        data_type, array_type and unit descend from their parents
  parallel          parallel arrays of an entity have equal length
  sorted            the sorting-rank-0 array of each entity is ascending
  foreign-key       every non-null reference resolves
  chunks            chunks ascending by start and non-overlapping
  minutes           time columns and arrays are declared in minutes
  page-index        every signal file has a page index on every column
  counts            number_of_data_points / number_of_peaks match the rows
  keys              index unique, from 0 by 1; index/source_index not null
  null-pairs        null-marked values decode chunk by chunk: a null stands
                    at an end of each run of values it closes (unpaired only
                    as a chunk's first or last), every run holds a value,
                    nulls of the m/z and the intensities coincide
  delta-model       mz_delta_model is a list of float64; an entity with a
                    null beside a single value stores its spacing model
  null-transforms   arrays holding nulls name how they read (m/z MS:1003902,
                    intensities MS:1003901)
"""

from __future__ import annotations

import io
import json
import re
import zipfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

SCHEMAS = Path(__file__).resolve().parent.parent / "data" / "mzpeak"
SEMVER = re.compile(r"^\d+\.\d+\.\d+$")
CURIE = re.compile(r"^([A-Za-z][A-Za-z0-9_]*):(\d+)$")
MINUTE = "UO:0000031"

# The terms a writer may use in an array index, with their required parent
# (from the PSI-MS and unit ontologies).
DATA_TYPES = {"MS:1000519", "MS:1000521", "MS:1000522", "MS:1000523", "MS:1001479"}
ARRAY_TYPES = {"MS:1000514", "MS:1000515", "MS:1000516", "MS:1000517", "MS:1000595", "MS:1000617",
               "MS:1002530", "MS:1002529", "MS:1002893", "MS:1003007", "MS:1002816", "MS:1003154",
               "MS:1003008", "MS:1003006", "MS:1003155", "MS:1003153", "MS:1002477", "MS:1003156",
               "MS:1000786", "MS:1000820", "MS:1000821", "MS:1000822"}
UNITS = {"MS:1000040", "MS:1000131", "UO:0000010", "UO:0000031", "UO:0000028", "UO:0000018", "UO:0000266",
         "UO:0000187", "UO:0000186", "UO:0000269", "MS:1002814", "UO:0000000"}
BUFFER_FORMATS = {"point", "chunk_start", "chunk_end", "chunk_values", "chunk_encoding", "chunk_secondary",
                  "chunk_transform"}
CHUNK_REQUIRED = ("chunk_start", "chunk_end", "chunk_encoding", "chunk_values")
# Chunk encodings and how the values of a chunk decode.
BASIC, DELTA, NUMPRESS_LINEAR = "MS:1000576", "MS:1003089", "MS:1002312"
NULL_MZ, NULL_INTENSITY = "MS:1003902", "MS:1003901"

# Columns the tables define; any other column must start with opt_.
DEFINED = {
    ("spectrum", "metadata"): {"index", "id", "time", "ms_level", "data_processing_id", "parameters",
                               "number_of_auxiliary_arrays", "auxiliary_arrays", "mz_delta_model",
                               "spectrum_representation", "scan_polarity", "spectrum_type", "number_of_data_points",
                               "number_of_peaks", "total_ion_current", "base_peak_mz", "base_peak_intensity",
                               "highest_observed_mz", "lowest_observed_mz", "lowest_observed_ion_mobility",
                               "highest_observed_ion_mobility", "spectrum_title",
                               "ion_mobility_frame_representation", "spectra_combination"},
    ("spectrum", "scans"): {"source_index", "scan_index", "spectrum_reference", "instrument_configuration_id",
                            "parameters", "ion_mobility_value", "ion_mobility_type", "scan_windows",
                            "scan_start_time", "preset_scan_configuration", "filter_string", "ion_injection_time",
                            "mass_resolution", "scan_rate", "zoom_scan", "dwell_time", "mass_resolving_power",
                            "analyzer_scan_offset", "elution_time", "interchannel_delay", "source_offset_voltage",
                            "first_column_elution_time", "second_column_elution_time"},
    ("spectrum", "precursors"): {"source_index", "precursor_index", "precursor_id", "isolation_window",
                                 "activation", "parameters"},
    ("spectrum", "selected_ions"): {"source_index", "precursor_index", "ion_mobility_value", "ion_mobility_type",
                                    "parameters", "selected_ion_mz", "charge_state", "intensity"},
    ("spectrum", "products"): {"source_index", "product_index", "isolation_window", "parameters"},
    ("chromatogram", "products"): {"source_index", "product_index", "isolation_window", "parameters"},
    ("chromatogram", "metadata"): {"index", "id", "scan_polarity", "chromatogram_type", "data_processing_id",
                                   "parameters", "number_of_auxiliary_arrays", "auxiliary_arrays",
                                   "number_of_data_points", "chromatogram_title", "lowest_observed_mz",
                                   "highest_observed_mz", "lowest_observed_wavelength",
                                   "highest_observed_wavelength", "lowest_observed_ion_mobility",
                                   "highest_observed_ion_mobility"},
}
METADATA_KINDS = {"metadata", "scans", "precursors", "selected_ions", "products"}
SIGNAL_KINDS = {"data_arrays", "data arrays", "peaks"}
FILE_LEVEL = {"file_description": "file_description.json", "instrument_configuration_list":
              "instrument_configuration.json", "data_processing_method_list": "data_processing.json",
              "software_list": "software.json", "sample_list": "sample.json", "cv_list": "cv_list.json",
              "run": "ms_run.json", "scan_settings_list": "scan_settings_list.json"}


# -- opening ------------------------------------------------------------------------------------------

class Archive:
    """A ZIP archive or a folder, read member by member."""

    def __init__(self, path: Path) -> None:
        self.path = Path(path)
        self.zip = None if self.path.is_dir() else zipfile.ZipFile(self.path)

    def names(self) -> list[str]:
        if self.zip is None:
            return [p.relative_to(self.path).as_posix() for p in self.path.rglob("*") if p.is_file()]
        return self.zip.namelist()

    def read(self, name: str) -> bytes:
        if self.zip is None:
            return (self.path / name).read_bytes()
        # The last of equal names counts.
        info = [i for i in self.zip.infolist() if i.filename == name][-1]
        return self.zip.read(info)

    def stored(self) -> list[str]:
        """Members that are compressed (must be none)."""
        if self.zip is None:
            return []
        return [i.filename for i in self.zip.infolist() if i.compress_type != zipfile.ZIP_STORED]

    def parquet(self, name: str) -> Any:
        import pyarrow.parquet as pq
        return pq.ParquetFile(io.BytesIO(self.read(name)))

    def close(self) -> None:
        if self.zip is not None:
            self.zip.close()


def _validator(name: str) -> Any:
    import jsonschema
    from referencing import Registry
    from referencing.jsonschema import DRAFT7

    schemas = {path.name: json.loads(path.read_text()) for path in SCHEMAS.glob("*.json")}
    registry = Registry()

    def refs(node: Any) -> list[str]:
        if isinstance(node, dict):
            found = [node["$ref"]] if isinstance(node.get("$ref"), str) else []
            return found + [r for value in node.values() for r in refs(value)]
        if isinstance(node, list):
            return [r for value in node for r in refs(value)]
        return []

    for schema in schemas.values():
        for ref in refs(schema):
            target = ref.split("#")[0]
            if target and target.rsplit("/", 1)[-1] in schemas:
                resource = DRAFT7.create_resource(schemas[target.rsplit("/", 1)[-1]])
                registry = registry.with_resource(target, resource)
    return _ECMA_VALIDATOR()(schemas[name], registry=registry)


def _ECMA_VALIDATOR() -> Any:
    """Draft 7 with patterns read as ECMA-262 regular expressions, as JSON
    Schema defines them: named groups are spelled (?<name>...) there."""
    import jsonschema
    from jsonschema import validators

    def pattern(validator: Any, patrn: str, instance: Any, schema: Any) -> Any:
        if validator.is_type(instance, "string") and not re.search(re.sub(r"\(\?<([A-Za-z_]\w*)>", r"(?P<\1>", patrn),
                                                                    instance):
            yield jsonschema.ValidationError(f"{instance!r} does not match {patrn!r}")

    return validators.extend(jsonschema.Draft7Validator, {"pattern": pattern})


def schema_errors(document: Any, schema: str) -> list[str]:
    return [f"{'/'.join(map(str, e.absolute_path))}: {e.message}" for e in _validator(schema).iter_errors(document)]


# -- the checks ----------------------------------------------------------------------------------------

@dataclass
class Report:
    problems: list[str] = field(default_factory=list)

    def add(self, rule: str, text: str) -> None:
        self.problems.append(f"{rule}: {text}")


def _curies(node: Any) -> set[str]:
    if isinstance(node, str):
        return {node.split(":")[0]} if CURIE.match(node) else set()
    if isinstance(node, dict):
        return {p for value in node.values() for p in _curies(value)}
    if isinstance(node, list):
        return {p for value in node for p in _curies(value)}
    return set()


def _table_curies(table: Any) -> set[str]:
    import pyarrow as pa
    import pyarrow.compute as pc
    found: set[str] = set()

    def visit(array: Any) -> None:
        kind = array.type
        if pa.types.is_struct(kind):
            for i in range(kind.num_fields):
                visit(pc.struct_field(array, [i]))
        elif pa.types.is_list(kind) or pa.types.is_large_list(kind):
            visit(pc.list_flatten(array))
        elif pa.types.is_string(kind) or pa.types.is_large_string(kind):
            for value in pc.unique(array).to_pylist():
                if value is not None and CURIE.match(value):
                    found.add(value.split(":")[0])
    for column in table.columns:
        visit(column.combine_chunks() if column.num_chunks else column)
    return found


def _is_list(kind: Any) -> bool:
    import pyarrow as pa
    return pa.types.is_list(kind) or pa.types.is_large_list(kind)


def _is_string(kind: Any) -> bool:
    import pyarrow as pa
    return pa.types.is_string(kind) or pa.types.is_large_string(kind)


def parameters_type_problem(kind: Any) -> str | None:
    """Whether a parameters column has the fixed list-of-struct shape."""
    import pyarrow as pa
    if not _is_list(kind):
        return "not a list"
    item = kind.value_type
    if not pa.types.is_struct(item):
        return "items are not structs"
    names = {item.field(i).name: item.field(i).type for i in range(item.num_fields)}
    for text in ("accession", "name", "unit"):
        if text not in names or not _is_string(names[text]):
            return f"no string {text}"
    value = names.get("value")
    if value is None or not pa.types.is_struct(value):
        return "no value group"
    slots = {value.field(i).name: value.field(i).type for i in range(value.num_fields)}
    wanted = {"integer": pa.types.is_int64, "float": pa.types.is_float64, "string": _is_string,
              "boolean": pa.types.is_boolean}
    for slot, test in wanted.items():
        if slot not in slots or not test(slots[slot]):
            return f"value.{slot} missing or mistyped"
    return None


def _parameters_columns(schema: Any, prefix: str = "") -> list[tuple[str, Any]]:
    import pyarrow as pa
    found = []
    for i in range(len(schema)) if hasattr(schema, "names") else range(schema.num_fields):
        f = schema.field(i)
        if f.name == "parameters":
            found.append((prefix + f.name, f.type))
        elif pa.types.is_struct(f.type):
            found.extend(_parameters_columns(f.type, prefix + f.name + "."))
    return found


def _numbers(array: Any) -> np.ndarray:
    return np.asarray(array.to_numpy(zero_copy_only=False))


def problems(path: Path) -> list[str]:
    """Every rule the archive at path breaks."""
    report = Report()
    archive = Archive(path)
    try:
        check(archive, report)
    finally:
        archive.close()
    return report.problems


def check(archive: Archive, report: Report) -> None:
    if "mzpeak_index.json" not in archive.names():
        report.add("members", "no mzpeak_index.json at the root")
        return
    for name in archive.stored():
        report.add("members", f"{name} is compressed in the ZIP")
    try:
        index = json.loads(archive.read("mzpeak_index.json").decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        report.add("index-schema", f"not UTF-8 JSON: {error}")
        return
    for text in schema_errors(index, "mzpeak_index.json"):
        report.add("index-schema", text)
    metadata = index.get("metadata", {})
    if not SEMVER.match(str(metadata.get("version", ""))):
        report.add("index-schema", f"metadata.version {metadata.get('version')!r} is not MAJOR.MINOR.PATCH")
    for key, schema in FILE_LEVEL.items():
        if key in metadata:
            for text in schema_errors(metadata[key], schema):
                report.add("json-schema", f"metadata.{key}: {text}")
    cv_list = metadata.get("cv_list", [])
    declared = {cv.get("id") for cv in cv_list if cv.get("uri") and cv.get("version")}
    used = _curies(index)

    tables: dict[tuple[str, str], Any] = {}
    signal: dict[tuple[str, str], tuple[Any, dict[str, Any]]] = {}
    for entry in index.get("files", []):
        name, entity, kind = entry.get("name"), entry.get("entity_type"), entry.get("data_kind")
        if name not in archive.names():
            report.add("members", f"{name} is listed but absent")
            continue
        try:
            parquet = archive.parquet(name)
            table = parquet.read()
        except Exception as error:  # noqa: BLE001 - any pyarrow failure means an unreadable member
            report.add("members", f"{name} is not a readable Parquet file: {error}")
            continue
        footer = {k.decode(): v.decode() for k, v in (parquet.metadata.metadata or {}).items()}
        for key, schema in FILE_LEVEL.items():
            if key in footer:
                try:
                    document = json.loads(footer[key])
                except json.JSONDecodeError:
                    report.add("json-schema", f"{name} footer {key} is not JSON")
                    continue
                used |= _curies(document)
                for text in schema_errors(document, schema):
                    report.add("json-schema", f"{name} footer {key}: {text}")
        for mapping in entry.get("column_mapping", []):
            if not _path_exists(table.schema, mapping.get("path", "")):
                report.add("arrow-schema", f"{name}: column mapping path {mapping.get('path')} is not a column")
        if kind in METADATA_KINDS:
            check_metadata_table(report, name, entity, kind, table)
            used |= _table_curies(table)
            tables[(entity, kind)] = table
        elif kind in SIGNAL_KINDS:
            array_index = check_signal_table(report, name, entity, parquet, table, footer)
            if array_index is not None:
                used |= _curies(array_index)
                signal[(entity, "peaks" if kind == "peaks" else "data_arrays")] = (table, array_index)
            used |= _table_curies(table)
    for prefix in sorted(used - declared):
        report.add("cv-declared", f"prefix {prefix} is used but not declared in metadata.cv_list")
    check_relations(report, metadata, tables, signal, index)


def _path_exists(schema: Any, dotted: str) -> bool:
    import pyarrow as pa
    kind: Any = schema
    for part in dotted.split("."):
        if _is_list(kind) if not isinstance(kind, pa.Schema) else False:
            kind = kind.value_type
        names = kind.names if isinstance(kind, pa.Schema) else [kind.field(i).name for i in range(kind.num_fields)] \
            if pa.types.is_struct(kind) else []
        if part not in names:
            return False
        kind = kind.field(part).type if isinstance(kind, pa.Schema) else kind.field(names.index(part)).type
    return True


def _leaf_type(schema: Any, dotted: str) -> Any:
    parts = dotted.split(".")
    kind = schema.field(parts[0]).type
    for part in parts[1:]:
        kind = kind.field(kind.get_field_index(part)).type
    return kind


def check_metadata_table(report: Report, name: str, entity: str, kind: str, table: Any) -> None:
    import pyarrow as pa
    names = table.schema.names
    first = "index" if kind == "metadata" else "source_index"
    if not names or names[0] != first:
        report.add("arrow-schema", f"{name}: the first column is {names[:1]}, not {first}")
        return
    if not pa.types.is_integer(table.schema.field(first).type):
        report.add("arrow-schema", f"{name}: {first} is not an integer column")
        return
    if table.column(first).null_count:
        report.add("keys", f"{name}: {first} holds nulls")
    if kind == "metadata":
        values = _numbers(table.column("index"))
        if len(np.unique(values)) != len(values):
            report.add("keys", f"{name}: index values are not unique")
        if entity == "spectrum" and not np.array_equal(values, np.arange(len(values))):
            report.add("keys", f"{name}: index does not run from 0 by 1")
    defined = DEFINED.get((entity, kind))
    if defined is not None:
        for column in names:
            if column not in defined and not column.startswith("opt_"):
                report.add("arrow-schema", f"{name}: column {column} is neither defined nor opt_")
    for column, kind_ in _parameters_columns(table.schema):
        problem = parameters_type_problem(kind_)
        if problem:
            report.add("arrow-schema", f"{name}: {column} {problem}")
    expected_types = {"time": pa.types.is_floating, "scan_start_time": pa.types.is_floating,
                      "ms_level": pa.types.is_integer, "scan_polarity": pa.types.is_integer,
                      "id": _is_string, "spectrum_representation": _is_string, "spectrum_type": _is_string,
                      "chromatogram_type": _is_string, "number_of_data_points": pa.types.is_integer,
                      "number_of_peaks": pa.types.is_integer, "mz_delta_model": _is_list,
                      "scan_windows": _is_list, "auxiliary_arrays": _is_list}
    for column, test in expected_types.items():
        if column in names and not test(table.schema.field(column).type):
            report.add("arrow-schema", f"{name}: {column} has type {table.schema.field(column).type}")
    if "mz_delta_model" in names and _is_list(table.schema.field("mz_delta_model").type) \
            and not pa.types.is_float64(table.schema.field("mz_delta_model").type.value_type):
        report.add("delta-model", f"{name}: mz_delta_model holds {table.schema.field('mz_delta_model').type}")


def check_signal_table(report: Report, name: str, entity: str, parquet: Any, table: Any,
                       footer: dict[str, str]) -> dict[str, Any] | None:
    import pyarrow as pa
    key = f"{entity}_array_index"
    if key not in footer:
        report.add("array-index", f"{name}: no {key} in the footer")
        return None
    try:
        array_index = json.loads(footer[key])
    except json.JSONDecodeError:
        report.add("array-index", f"{name}: {key} is not JSON")
        return None
    for text in schema_errors(array_index, "array_index.json"):
        report.add("array-index", f"{name}: {text}")
    prefix = array_index.get("prefix")
    if table.schema.names != [prefix] or not pa.types.is_struct(table.schema.field(prefix).type):
        report.add("layout", f"{name}: the root is {table.schema.names}, not the struct {prefix!r}")
        return None
    root = table.schema.field(prefix).type
    if root.num_fields == 0 or root.field(0).name != f"{entity}_index" or not pa.types.is_integer(root.field(0).type):
        report.add("arrow-schema", f"{name}: the first column under {prefix} is not the integer {entity}_index")
    formats = [e.get("buffer_format") for e in array_index.get("entries", [])]
    if prefix == "point":
        if any(f != "point" for f in formats):
            report.add("layout", f"{name}: point layout with buffer formats {sorted(set(formats))}")
    elif prefix == "chunk":
        if "point" in formats:
            report.add("layout", f"{name}: chunk layout mixes in point entries")
        for required in CHUNK_REQUIRED:
            if formats.count(required) != 1:
                report.add("layout", f"{name}: {required} appears {formats.count(required)} times")
    else:
        report.add("layout", f"{name}: unknown layout prefix {prefix!r}")
    values_entry = next((e for e in array_index.get("entries", []) if e.get("buffer_format") == "chunk_values"), {})
    for entry in array_index.get("entries", []):
        if entry.get("buffer_format") == "chunk_transform":
            same = ("array_type", "array_name", "data_type", "unit", "data_processing_id")
            if entry.get("transform") is None or any(entry.get(k) != values_entry.get(k) for k in same) \
                    and entry.get("transform") == NUMPRESS_LINEAR:
                report.add("array-index", f"{name}: transform column {entry.get('path')} does not match its values")
            if _path_exists(table.schema, entry.get("path", "")):
                kind = _leaf_type(table.schema, entry["path"])
                if not (_is_list(kind) and pa.types.is_uint8(kind.value_type)):
                    report.add("arrow-schema", f"{name}: {entry['path']} is {kind}, not a list of bytes")
        if not _path_exists(table.schema, entry.get("path", "")):
            report.add("array-index", f"{name}: {entry.get('path')} is not a column")
        if entry.get("buffer_format") not in BUFFER_FORMATS:
            report.add("array-index", f"{name}: buffer format {entry.get('buffer_format')}")
        for field_, allowed, parent in (("data_type", DATA_TYPES, "MS:1000518"),
                                        ("array_type", ARRAY_TYPES, "MS:1000513"), ("unit", UNITS, "UO:0000000")):
            if entry.get(field_) not in allowed:
                report.add("cv-parents", f"{name}: {field_} {entry.get(field_)} is not known under {parent}")
        if entry.get("array_type") == "MS:1000595" and entry.get("unit") != MINUTE:
            report.add("minutes", f"{name}: time array {entry.get('path')} in {entry.get('unit')}")
    metadata = parquet.metadata
    for group in range(metadata.num_row_groups):
        for column in range(metadata.num_columns):
            chunk = metadata.row_group(group).column(column)
            # A page holding only NaN has no minimum and maximum to index, so
            # Parquet writers leave out the column index of such a chunk; the
            # offset index that locates its pages is always there.
            no_bounds = chunk.statistics is None or not chunk.statistics.has_min_max
            if not (chunk.has_offset_index and (chunk.has_column_index or no_bounds)):
                report.add("page-index", f"{name}: {chunk.path_in_schema} in row group {group} has no page index")
                return array_index
    return array_index


# -- rebuilding the arrays from the array index alone --------------------------------------------------

@dataclass
class Entity:
    axis: np.ndarray
    arrays: dict[str, np.ndarray]  # array_type -> values
    chunk_bounds: list[tuple[float, float]] = field(default_factory=list)
    # (first, end, error bound) of each numpress-encoded stretch of the axis
    numpress_bounds: list[tuple[int, int, float]] = field(default_factory=list)
    # position of each null-marked axis value -> the position it was rebuilt from
    rebuilt_from: dict[int, int] = field(default_factory=dict)


class NullMarkingError(ValueError):
    """Null-marked values that cannot be rebuilt; args[0] names the rule."""


def second_median(values: np.ndarray) -> float:
    median = np.median(values)
    return float(np.median(values[values <= median]))


def fill_nulls(axis: np.ndarray, nulls: np.ndarray, model: list[float] | None) -> dict[int, int]:
    """Fills the null-marked values of one chunk in place, as the format
    describes: the array splits into runs bounded by nulls (a null closes
    the run before it and the next opens the following one); a null beside
    two or more values takes their second-median step, one beside a single
    value the spacing model's step at that value (coefficients from the
    highest power). Returns each null's position -> the value's it came
    from."""
    where = np.flatnonzero(nulls)
    if where.size == 0:
        return {}
    bounds = ([0] if where[0] != 0 else []) + where.tolist() + ([len(axis) - 1] if where[-1] != len(axis) - 1 else [])
    if len(bounds) % 2:
        raise NullMarkingError("null-pairs", "a null stands inside a run of values")
    origins = {}
    for first, last in zip(bounds[0::2], bounds[1::2]):
        present = np.flatnonzero(~nulls[first:last + 1]) + first
        if np.any(nulls[first + 1:last]) or present.size == 0:
            raise NullMarkingError("null-pairs", f"the run {first}..{last} has no values or an inner null")
        if present.size == 1:
            if not model:
                raise NullMarkingError("delta-model", "a null beside a single value, and no spacing model")
            step = float(np.polyval(model, axis[present[0]]))
        else:
            step = second_median(np.diff(axis[present]))
        if nulls[first]:
            axis[first] = axis[first + 1] - step
            origins[first] = first + 1
        if nulls[last] and last != first:
            axis[last] = axis[last - 1] + step
            origins[last] = last - 1
    return origins


def _delta_decode(start: float | None, values: np.ndarray, nulls: np.ndarray) -> np.ndarray:
    """Differences to the previous value; a value after a null is itself."""
    out = np.empty(values.size)
    last = start
    for i, (value, null) in enumerate(zip(values, nulls)):
        if null:
            out[i], last = np.nan, None
        else:
            out[i] = last = value if last is None else last + value
    return out


def _column(table: Any, dotted: str) -> Any:
    import pyarrow.compute as pc
    parts = dotted.split(".")
    array = table.column(parts[0]).combine_chunks()
    for part in parts[1:]:
        array = pc.struct_field(array, [array.type.get_field_index(part)])
    return array


def entities(table: Any, array_index: dict[str, Any], entity: str,
             models: dict[int, list[float] | None] | None = None) -> dict[int, Entity]:
    """Every entity's arrays keyed by its index, found through the array
    index; null-marked values rebuilt with the entities' spacing models."""
    prefix = array_index["prefix"]
    entries = array_index["entries"]
    index = _numbers(_column(table, f"{prefix}.{entity}_index")).astype(np.int64)
    found: dict[int, Entity] = {}
    if prefix == "point":
        axis_entry = next(e for e in entries if e.get("sorting_rank") == 0)
        axis = _numbers(_column(table, axis_entry["path"]))
        others = {e["array_type"]: _numbers(_column(table, e["path"])) for e in entries if e is not axis_entry}
        order = np.argsort(index, kind="stable")
        bounds = np.flatnonzero(np.diff(index[order])) + 1
        for part in np.split(order, bounds) if order.size else []:
            key = int(index[part[0]])
            found[key] = Entity(axis[part], {t: v[part] for t, v in others.items()})
        return found
    by_format = {e["buffer_format"]: e for e in entries}
    starts = _numbers(_column(table, by_format["chunk_start"]["path"]))
    ends = _numbers(_column(table, by_format["chunk_end"]["path"]))
    encodings = _column(table, by_format["chunk_encoding"]["path"]).to_pylist()
    values = _column(table, by_format["chunk_values"]["path"]).to_pylist()
    secondary = {e["array_type"]: _column(table, e["path"]).to_pylist() for e in entries
                 if e["buffer_format"] == "chunk_secondary"}
    transformed = {e["transform"]: _column(table, e["path"]).to_pylist() for e in entries
                   if e["buffer_format"] == "chunk_transform" and e["array_type"] == by_format["chunk_values"]["array_type"]}
    for row in range(len(index)):
        key = int(index[row])
        if encodings[row] == NUMPRESS_LINEAR:
            import pynumpress
            raw = bytes(transformed[NUMPRESS_LINEAR][row])
            axis = np.asarray(pynumpress.decode_linear(np.frombuffer(raw, dtype=np.uint8)), dtype=np.float64)
            factor = float(np.frombuffer(raw[:8], dtype=">f8")[0])
            found.setdefault(key, Entity(np.zeros(0), {t: np.zeros(0) for t in secondary})).numpress_bounds.append(
                (len(found[key].axis), len(found[key].axis) + axis.size, 0.5 / factor))
        else:
            listed = values[row]
            nulls = np.array([v is None for v in listed], dtype=bool)
            rest = np.array([0.0 if v is None else v for v in listed], dtype=np.float64)
            points = len(next(iter(secondary.values()))[row]) if secondary else rest.size + 1
            # A first point that is null stays among the values.
            start = None if rest.size == points and nulls.size and nulls[0] else starts[row]
            if encodings[row] == DELTA:
                decoded = _delta_decode(start, rest, nulls) if nulls.any() else starts[row] + np.cumsum(rest)
            elif encodings[row] == BASIC:
                decoded = np.where(nulls, np.nan, rest)
            else:
                raise ValueError(f"unknown chunk encoding {encodings[row]}")
            axis = decoded if start is None else np.concatenate(([starts[row]], decoded))
            nulls = nulls if start is None else np.concatenate(([False], nulls))
            for array_type, lists in secondary.items():
                marked = np.array([v is None for v in lists[row]], dtype=bool)
                if marked.shape == nulls.shape and not np.array_equal(marked, nulls):
                    raise NullMarkingError("null-pairs", f"{entity} {key}: nulls of m/z and {array_type} differ")
            origins = fill_nulls(axis, nulls, (models or {}).get(key)) if nulls.any() else {}
        item = found.setdefault(key, Entity(np.zeros(0), {t: np.zeros(0) for t in secondary}))
        if encodings[row] != NUMPRESS_LINEAR:
            item.rebuilt_from.update({len(item.axis) + k: len(item.axis) + v for k, v in origins.items()})
        item.axis = np.concatenate((item.axis, axis))
        for array_type, lists in secondary.items():
            item.arrays[array_type] = np.concatenate(
                (item.arrays[array_type], np.array([0.0 if v is None else v for v in lists[row]])))
        item.chunk_bounds.append((float(starts[row]), float(ends[row])))
    return found


def delta_models(metadata: Any) -> dict[int, list[float] | None]:
    if metadata is None or "mz_delta_model" not in metadata.schema.names:
        return {}
    return dict(zip(metadata.column("index").to_pylist(), metadata.column("mz_delta_model").to_pylist()))


def _ascending(values: np.ndarray) -> bool:
    """Ascending, NaN only at the end (where a sort puts it)."""
    nan = np.isnan(values)
    if nan.any() and not nan[np.argmax(nan):].all():
        return False
    finite = values[~nan]
    return bool(np.all(finite[1:] >= finite[:-1]))


def check_relations(report: Report, metadata: dict[str, Any], tables: dict[tuple[str, str], Any],
                    signal: dict[tuple[str, str], tuple[Any, dict[str, Any]]], index: dict[str, Any]) -> None:
    instruments = {c.get("id") for c in metadata.get("instrument_configuration_list", [])}
    software = {s.get("id") for s in metadata.get("software_list", [])}
    processing = {d.get("id") for d in metadata.get("data_processing_method_list", [])}
    sources = {s.get("id") for s in metadata.get("file_description", {}).get("source_files", [])}
    run = metadata.get("run", {})
    for key, pool in (("default_instrument_id", instruments), ("default_data_processing_id", processing),
                      ("default_source_file_id", sources)):
        if key in run and run[key] not in pool:
            report.add("foreign-key", f"run.{key} {run[key]!r} names nothing")
    for configuration in metadata.get("instrument_configuration_list", []):
        if configuration.get("software_reference") not in software:
            report.add("foreign-key", f"instrument configuration {configuration.get('id')} names unknown software")
    for method_list in metadata.get("data_processing_method_list", []):
        for method in method_list.get("methods", []):
            if "software_reference" in method and method["software_reference"] not in software:
                report.add("foreign-key", f"processing method names unknown software {method['software_reference']}")
    for file in index.get("files", []):
        for mapping in file.get("column_mapping", []):
            if mapping.get("path", "").split(".")[-1] in ("time", "scan_start_time") and mapping.get("unit") != MINUTE:
                report.add("minutes", f"{file['name']}: {mapping['path']} is mapped in {mapping.get('unit')}")

    for entity in ("spectrum", "chromatogram"):
        main = tables.get((entity, "metadata"))
        keys = set(_numbers(main.column("index")).tolist()) if main is not None else set()
        for (owner, kind), table in tables.items():
            if owner != entity or kind == "metadata":
                continue
            for column in ("source_index", "precursor_index"):
                if column in table.schema.names:
                    values = table.column(column).drop_null().to_pylist()
                    missing = set(values) - keys
                    if missing:
                        report.add("foreign-key", f"{entity} {kind}: {column} {sorted(missing)[:3]} name no entity")
            if "instrument_configuration_id" in table.schema.names:
                missing = set(table.column("instrument_configuration_id").drop_null().to_pylist()) - instruments
                if missing:
                    report.add("foreign-key", f"{entity} scans: instrument configuration {sorted(missing)} unknown")
            if "data_processing_id" in table.schema.names:
                missing = set(table.column("data_processing_id").drop_null().to_pylist()) - processing
                if missing:
                    report.add("foreign-key", f"{entity} {kind}: data processing {sorted(missing)} unknown")
        if main is not None and "data_processing_id" in main.schema.names:
            missing = set(main.column("data_processing_id").drop_null().to_pylist()) - processing
            if missing:
                report.add("foreign-key", f"{entity} metadata: data processing {sorted(missing)} unknown")
        precursors = tables.get((entity, "precursors"))
        ions = tables.get((entity, "selected_ions"))
        if precursors is not None and ions is not None:
            pairs = set(zip(precursors.column("source_index").to_pylist(),
                            precursors.column("precursor_index").to_pylist()))
            for pair in zip(ions.column("source_index").to_pylist(), ions.column("precursor_index").to_pylist()):
                if pair not in pairs:
                    report.add("foreign-key", f"{entity} selected ion {pair} has no precursor row")
        for kind, count_column in (("data_arrays", "number_of_data_points"), ("peaks", "number_of_peaks")):
            if (entity, kind) not in signal:
                continue
            table, array_index = signal[(entity, kind)]
            try:
                found = entities(table, array_index, entity, delta_models(main))
            except NullMarkingError as error:
                report.add(error.args[0], f"{entity} {kind}: {error.args[1]}")
                continue
            except (KeyError, StopIteration, ValueError) as error:
                report.add("array-index", f"{entity} {kind}: arrays cannot be rebuilt: {error}")
                continue
            if any(item.rebuilt_from for item in found.values()):
                transforms = {e.get("buffer_format"): e.get("transform") for e in array_index["entries"]}
                if transforms.get("chunk_values") != NULL_MZ or transforms.get("chunk_secondary") != NULL_INTENSITY:
                    report.add("null-transforms", f"{entity} {kind}: null-marked arrays without their transforms")
            unknown = set(found) - keys
            if unknown:
                report.add("foreign-key", f"{entity} {kind}: {entity}_index {sorted(unknown)[:3]} names no entity")
            for key, item in found.items():
                for array_type, values in item.arrays.items():
                    if len(values) != len(item.axis):
                        report.add("parallel", f"{entity} {key} {kind}: {array_type} has {len(values)} values, "
                                               f"the axis {len(item.axis)}")
                if not _ascending(item.axis):
                    report.add("sorted", f"{entity} {key} {kind}: the sorting-rank-0 array is not ascending")
                bounds = item.chunk_bounds
                for (s0, e0), (s1, e1) in zip(bounds, bounds[1:]):
                    if not (s0 <= e0 < s1 <= e1):
                        report.add("chunks", f"{entity} {key}: chunks [{s0}, {e0}] and [{s1}, {e1}] "
                                             "are not ascending and apart")
            if main is not None and count_column in main.schema.names:
                counts = dict(zip(main.column("index").to_pylist(), main.column(count_column).to_pylist()))
                for key, count in counts.items():
                    have = len(found[key].axis) if key in found else 0
                    if (count or 0) != have:
                        report.add("counts", f"{entity} {key}: {count_column} {count}, {have} stored")
    spectra = tables.get(("spectrum", "metadata"))
    scans = tables.get(("spectrum", "scans"))
    if spectra is not None and scans is not None and "time" in spectra.schema.names:
        times = dict(zip(spectra.column("index").to_pylist(), spectra.column("time").to_pylist()))
        for source, start in zip(scans.column("source_index").to_pylist(), scans.column("scan_start_time").to_pylist()):
            if start is not None and times.get(source) is not None and not np.isclose(times[source], start):
                report.add("minutes", f"spectrum {source}: time {times[source]} but scan start time {start}")


# -- reading back ------------------------------------------------------------------------------------------

@dataclass
class ReadBack:
    metadata: Any                       # the spectrum metadata table
    profiles: dict[int, Entity]
    centroids: dict[int, Entity]
    chromatograms: dict[str, tuple[np.ndarray, np.ndarray]]
    index: dict[str, Any]


def read_spectra(path: Path) -> ReadBack:
    """Everything the archive holds about spectra and chromatograms, found
    through the index's entity types and data kinds."""
    archive = Archive(path)
    try:
        index = json.loads(archive.read("mzpeak_index.json"))
        found: dict[tuple[str, str], Any] = {}
        for entry in index["files"]:
            kind = "data_arrays" if entry["data_kind"] in SIGNAL_KINDS - {"peaks"} else entry["data_kind"]
            parquet = archive.parquet(entry["name"])
            found[(entry["entity_type"], kind)] = (parquet.read(), parquet.metadata.metadata or {})

        def signal(entity: str, kind: str) -> dict[int, Entity]:
            if (entity, kind) not in found:
                return {}
            table, footer = found[(entity, kind)]
            models = delta_models(found[(entity, "metadata")][0]) if (entity, "metadata") in found else {}
            return entities(table, json.loads(footer[f"{entity}_array_index".encode()]), entity, models)

        chromatograms = {}
        if ("chromatogram", "metadata") in found:
            meta = found[("chromatogram", "metadata")][0]
            traces = signal("chromatogram", "data_arrays")
            for key, name in zip(meta.column("index").to_pylist(), meta.column("id").to_pylist()):
                item = traces.get(key)
                chromatograms[name] = (item.axis, item.arrays["MS:1000515"]) if item else (np.zeros(0), np.zeros(0))
        return ReadBack(found[("spectrum", "metadata")][0], signal("spectrum", "data_arrays"),
                        signal("spectrum", "peaks"), chromatograms, index)
    finally:
        archive.close()
