"""RawReader: construction, representation, scan count, the decoded scan
table in every layout, device information and the opening failures."""

import os
import struct

import pytest

import karvel
from datafolder.run import Fault, RunBuilder, cut_tail

from runs import ALL_STRIDES, QUADRUPOLE_STRIDES, build_small_run, mz_centroid, profile, run_python


@pytest.mark.parametrize("stride", ALL_STRIDES)
def test_scan_index_matches_the_written_table(tmp_path, stride):
    run = build_small_run(tmp_path, stride)
    reader = karvel.RawReader(str(run.path))
    index = reader.scan_index()
    assert list(index) == ["global_header_size", "stride", "records"]
    assert index["stride"] == stride
    assert len(index["records"]) == len(run.records) == reader.scan_count
    for actual, expected in zip(index["records"], run.scan_index["records"]):
        assert list(actual) == list(expected)
        for key, value in expected.items():
            assert actual[key] == value and type(actual[key]) is type(value), key
        for key in ("profile_params", "centroid_params"):
            if actual[key] is not None:
                assert list(actual[key]) == ["format_id", "offset", "byte_count", "point_count",
                                             "uncompressed_byte_count"]
    if stride in QUADRUPOLE_STRIDES:
        assert all(r["calibration_source"] is None and r["tic"] is None and r["min_x"] is None
                   for r in index["records"])


def test_scan_index_details(tmp_path):
    builder = RunBuilder(284, header_size=160)
    builder.add_scan(0.5, profile=profile(), centroid=mz_centroid(), ion_polarity=-3)
    builder.add_scan(0.6, mass_cal=None, calibration_id=-1, centroid=mz_centroid())
    builder.add_scan(0.7)  # no data blocks at all
    run = builder.build(tmp_path / "run.d")
    index = karvel.RawReader(str(run.path)).scan_index()
    assert index == run.scan_index
    assert index["global_header_size"] == 160
    first, second, last = index["records"]
    assert first["ion_polarity"] == -3 and second["calibration_id"] == -1
    assert isinstance(first["profile_params"]["uncompressed_byte_count"], int)
    assert first["centroid_params"]["uncompressed_byte_count"] is None
    assert last["profile_params"] is None and last["centroid_params"] is None
    sources = [r["calibration_source"] for r in index["records"]]
    assert sources == [s.calibration_source for s in run.spectra]


def test_scan_index_builds_new_objects_each_call(tmp_path):
    reader = karvel.RawReader(str(build_small_run(tmp_path).path))
    first, second = reader.scan_index(), reader.scan_index()
    assert first == second and first is not second
    first["records"][0]["scan_id"] = -1
    first["records"].clear()
    assert reader.scan_index() == second


def test_repr_count_and_keyword(tmp_path):
    run = build_small_run(tmp_path, name="it's.d")
    reader = karvel.RawReader(path=str(run.path))
    assert reader.scan_count == 4
    assert repr(reader) == f"RawReader('{run.path}', 4 scans)"


def test_relative_and_non_utf8_paths(tmp_path, monkeypatch):
    run = build_small_run(tmp_path, name="plain.d")
    monkeypatch.chdir(tmp_path)
    assert repr(karvel.RawReader("plain.d")) == "RawReader('plain.d', 4 scans)"
    odd = os.fsdecode(b"caf\xe9.d")
    os.rename(run.path, tmp_path / odd)
    reader = karvel.RawReader(odd)
    assert repr(reader) == f"RawReader('{odd}', 4 scans)"
    assert reader.run_info()["source_file_name"] == "caf\ufffd.d"


def test_device_info(tmp_path):
    with_device = build_small_run(tmp_path, name="a.d")
    assert karvel.RawReader(str(with_device.path)).device_info() == {"name": "QTOF", "model": "G6530B"}
    builder = RunBuilder(device=None)
    builder.add_scan(1.0, profile=profile())
    assert karvel.RawReader(str(builder.build(tmp_path / "b.d").path)).device_info() is None


def test_argument_errors():
    for args, kwargs in [((), {}), ((None,), {}), (("a", "b"), {}), ((), {"where": "a"}), (("a",), {"path": "a"})]:
        with pytest.raises(TypeError):
            karvel.RawReader(*args, **kwargs)
    with pytest.raises(TypeError, match="'path'"):
        karvel.RawReader(b"/tmp")
    with pytest.raises(ValueError, match="embedded null byte"):
        karvel.RawReader("run\0.d")


def test_opening_failures(tmp_path):
    with pytest.raises(RuntimeError) as missing:
        karvel.RawReader(str(tmp_path / "nowhere.d"))
    assert str(missing.value) == "parse error: AcqData directory not found"
    (tmp_path / "empty.d").mkdir()
    with pytest.raises(RuntimeError, match="^parse error: AcqData directory not found$"):
        karvel.RawReader(str(tmp_path / "empty.d"))
    (tmp_path / "file.d").mkdir()
    (tmp_path / "file.d" / "AcqData").write_bytes(b"")
    with pytest.raises(RuntimeError, match="^I/O error: "):
        karvel.RawReader(str(tmp_path / "file.d"))
    (tmp_path / "noscan.d" / "AcqData").mkdir(parents=True)
    with pytest.raises(RuntimeError, match="^I/O error: "):
        karvel.RawReader(str(tmp_path / "noscan.d"))


def header(magic=257, size=92, length=92):
    data = bytearray(length)
    struct.pack_into("<I", data, 0, magic)
    struct.pack_into("<I", data, 88, size)
    return bytes(data)


@pytest.mark.parametrize("data, message", [
    (bytes(91), "MSScan.bin too small for header"),
    (header(magic=258), "Invalid MSScan magic: 258"),
    (header(size=5000, length=4000), "MSScan.bin truncated header"),
    (header(), "Cannot determine record stride for payload len 0"),
    (header() + bytes(3), "Cannot determine record stride for payload len 3"),
    (header() + bytes(568), "Cannot determine record stride for payload len 568"),
])
def test_malformed_scan_table(tmp_path, data, message):
    acq = tmp_path / "bad.d" / "AcqData"
    acq.mkdir(parents=True)
    (acq / "MSScan.bin").write_bytes(data)
    with pytest.raises(RuntimeError) as error:
        karvel.RawReader(str(tmp_path / "bad.d"))
    assert str(error.value) == "parse error: " + message


def test_failing_scan_fails_the_constructor(tmp_path):
    builder = RunBuilder()
    builder.add_scan(1.0, profile=profile())
    builder.add_scan(1.1, profile=profile(), profile_fault=Fault(transform=cut_tail(7)))
    builder.add_scan(1.2, profile=profile())
    run = builder.build(tmp_path / "run.d")
    failing = run.spectra[1]
    assert failing.fails
    with pytest.raises(RuntimeError) as error:
        karvel.RawReader(str(run.path))
    text = str(error.value)
    assert text.startswith(f"vendor parser error: scanId={failing.scan_number}: profile block: parse error: ")
    if failing.error:
        assert failing.error in text


def test_scan_without_calibration_fails_the_constructor(tmp_path):
    builder = RunBuilder(calibration=None)
    builder.add_scan(1.0, profile=profile(), mass_cal=None)
    run = builder.build(tmp_path / "run.d")
    with pytest.raises(RuntimeError, match="scanId=1: profile block: .*no mass calibration"):
        karvel.RawReader(str(run.path))


def test_damaged_scan_tables_never_crash(tmp_path):
    # Truncations and random byte changes of valid tables in every layout:
    # each open either succeeds or raises RuntimeError. A crash would kill
    # the child process, so the loop runs there.
    for stride in ALL_STRIDES:
        build_small_run(tmp_path, stride, f"r{stride}.d")
    result = run_python(f"""
        import pathlib, random, shutil, karvel
        base = pathlib.Path({str(tmp_path)!r})
        rng = random.Random(7)
        outcomes = {{"ok": 0, "error": 0}}
        for stride in {ALL_STRIDES!r}:
            source = base / f"r{{stride}}.d"
            table = (source / "AcqData" / "MSScan.bin").read_bytes()
            target = base / f"m{{stride}}.d"
            shutil.copytree(source, target)
            scan = target / "AcqData" / "MSScan.bin"
            variants = [table[:n] for n in range(0, len(table) + 1, 7)]
            for _ in range(150):
                data = bytearray(table)
                for _ in range(rng.randint(1, 8)):
                    data[rng.randrange(len(data))] = rng.randrange(256)
                variants.append(bytes(data))
            for data in variants:
                scan.write_bytes(data)
                try:
                    reader = karvel.RawReader(str(target))
                    reader.scan_index(); reader.run_info(); reader.read_chromatograms()
                    outcomes["ok"] += 1
                except RuntimeError:
                    outcomes["error"] += 1
        print(outcomes["ok"], outcomes["error"])
    """, timeout=600)
    assert result.returncode == 0, result.stderr
    ok, errors = map(int, result.stdout.split())
    assert ok > 0 and errors > 0
