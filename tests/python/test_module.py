"""The module's public surface: names, signatures, docstrings, classes that
cannot be constructed, and the module entry points."""

import ctypes
import importlib.util
import inspect
import sys

import pytest

import karvel

from runs import build_small_run, run_python

SPECTRUM_PROPERTIES = [
    "index", "scan_number", "native_id", "ms_level", "polarity", "scan_mode", "analyzer",
    "acquisition_event_id", "filter", "retention_time_sec", "total_ion_current",
    "reported_total_ion_current", "base_peak_mz", "reported_base_peak_mz", "base_peak_intensity",
    "reported_base_peak_intensity", "low_mz", "high_mz", "ion_injection_time_ms", "inv_mobility",
    "faims_cv", "precursor", "mz", "intensity", "inv_mobility_per_peak", "extra",
]


def test_public_names_in_registration_order():
    assert karvel.__all__ == ["RawReader", "Spectrum", "SpectrumIter", "iter_spectra"]
    own = {name for name in vars(karvel) if not name.startswith("__")}
    assert own == set(karvel.__all__)
    assert karvel.__doc__ is None


def test_classes_and_function_belong_to_the_module():
    for name in ("RawReader", "Spectrum", "SpectrumIter"):
        cls = getattr(karvel, name)
        assert cls.__name__ == name
        assert cls.__module__ == "karvel"
        assert cls.__bases__ == (object,)
    assert karvel.iter_spectra.__module__ == "karvel"
    assert karvel.iter_spectra.__self__ is karvel


def test_signatures():
    assert str(inspect.signature(karvel.RawReader)) == "(path)"
    assert str(inspect.signature(karvel.RawReader.read_spectrum)) == "(self, /, scan_index)"
    assert str(inspect.signature(karvel.iter_spectra)) == "(path)"
    for name in ("run_info", "device_info", "read_chromatograms", "scan_index"):
        assert str(inspect.signature(getattr(karvel.RawReader, name))) == "(self, /)"


def test_docstrings():
    assert karvel.RawReader.__text_signature__ == "(path)"
    assert not karvel.RawReader.__doc__
    assert karvel.RawReader.device_info.__doc__ == \
        "Instrument name and model decoded from Devices.xml, when available."
    assert karvel.RawReader.scan_index.__doc__ == "The decoded MSScan.bin header and scan records."
    for name in ("read_spectrum", "run_info", "read_chromatograms"):
        assert getattr(karvel.RawReader, name).__doc__ is None
    assert karvel.iter_spectra.__doc__ == \
        "Decode spectra one at a time without buffering the whole acquisition."
    assert karvel.Spectrum.__doc__ == ("A complete vendor-neutral spectrum record. Peak arrays remain Python lists\n"
                                       "for compatibility with the original native binding.")
    assert karvel.SpectrumIter.__doc__ is None


def test_spectrum_properties_in_declared_order_without_docstrings():
    declared = [name for name, value in vars(karvel.Spectrum).items()
                if inspect.isgetsetdescriptor(value)]
    assert declared == SPECTRUM_PROPERTIES
    for name in declared:
        assert getattr(karvel.Spectrum, name).__doc__ is None


@pytest.mark.parametrize("cls", [karvel.Spectrum, karvel.SpectrumIter])
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls.__new__(cls)


def test_spectrum_properties_are_read_only(tmp_path):
    spectrum = karvel.RawReader(str(build_small_run(tmp_path).path)).read_spectrum(0)
    for name in SPECTRUM_PROPERTIES:
        with pytest.raises(AttributeError):
            setattr(spectrum, name, None)
        with pytest.raises(AttributeError):
            delattr(spectrum, name)


def test_second_module_instance_has_its_own_types(tmp_path):
    run = build_small_run(tmp_path)
    spec = importlib.util.find_spec("karvel")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other is not karvel
    assert other.__all__ == karvel.__all__
    assert other.RawReader is not karvel.RawReader
    reader = other.RawReader(str(run.path))
    assert type(reader.read_spectrum(0)) is other.Spectrum
    assert type(next(other.iter_spectra(str(run.path)))) is other.Spectrum
    assert type(next(karvel.iter_spectra(str(run.path)))) is karvel.Spectrum


def test_entry_symbols():
    library = ctypes.CDLL(karvel.__file__)
    assert hasattr(library, "PyInit_karvel")
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.argtypes = [ctypes.py_object]
    get_def.restype = ctypes.c_void_p
    if sys.version_info >= (3, 15):
        # The host builds the module from the exported slot array, which
        # carries no module definition.
        assert hasattr(library, "PyModExport_karvel")
        assert get_def(karvel) is None
    else:
        assert get_def(karvel) is not None


def test_imports_in_a_subinterpreter():
    interpreters = pytest.importorskip("concurrent.interpreters")
    interp = interpreters.create()
    try:
        interp.exec("import karvel; assert karvel.__all__[0] == 'RawReader'")
    finally:
        interp.close()


def test_module_declares_no_need_for_the_interpreter_lock():
    # On a free-threaded host importing the module must not turn the lock on.
    result = run_python("""
        import sys, karvel
        enabled = getattr(sys, "_is_gil_enabled", lambda: True)()
        print(enabled)
    """)
    assert result.returncode == 0, result.stderr
    free_threaded = bool(__import__("sysconfig").get_config_var("Py_GIL_DISABLED"))
    assert result.stdout.strip() == ("False" if free_threaded else "True")
