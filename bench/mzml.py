"""The benchmark runs' spectra as mzML, written with psims the way converters
usually write them: zlib-compressed 64-bit m/z and 32-bit intensity arrays.

The values are the writer's own predictions of the run's spectra (scan i is
template spectrum i % T), so the mzML holds exactly what karvel decodes.
"""

from __future__ import annotations

from pathlib import Path

from rundata import GeneratedRun

MZML_NAME = "peers.mzML"


def mzml_path(run: GeneratedRun) -> Path:
    return run.directory / MZML_NAME


def write_header(writer, contents: list[str]) -> None:
    """What a psims MzMLWriter writes before the run: the vocabularies, a
    file description of `contents`, the writer as software, one instrument
    configuration "IC1" and one data processing "DP1"."""
    writer.controlled_vocabularies()
    writer.file_description(contents)
    writer.software_list([{"id": "psims-writer", "version": "1", "params": ["python-psims"]}])
    writer.instrument_configuration_list([writer.InstrumentConfiguration(id="IC1", component_list=[])])
    writer.data_processing_list([writer.DataProcessing(
        [writer.ProcessingMethod(order=1, software_reference="psims-writer", params=["Conversion to mzML"])],
        id="DP1")])


def write_mzml(run: GeneratedRun) -> Path:
    """The run's mzML file, written unless it already exists."""
    import numpy as np
    from psims.mzml.writer import MzMLWriter

    target = mzml_path(run)
    if target.exists():
        return target
    template = [(np.asarray(mz, dtype=np.float64), np.asarray(intensity, dtype=np.float32))
                for mz, intensity in run.expected()]
    centroided = run.params.kind != "profile"
    encoding = {"m/z array": np.float64, "intensity array": np.float32}
    partial = target.with_suffix(".partial")
    with MzMLWriter(open(partial, "wb"), close=True) as writer:
        write_header(writer, ["MS1 spectrum", "centroid spectrum" if centroided else "profile spectrum"])
        with writer.run(id="run", instrument_configuration="IC1"):
            with writer.spectrum_list(count=run.params.scans):
                for i in range(run.params.scans):
                    mz, intensity = template[i % len(template)]
                    writer.write_spectrum(
                        mz, intensity, id=f"scanId={i + 1}", centroided=centroided,
                        scan_start_time=1.0 + i * 0.025, params=[{"ms level": 1}, "MS1 spectrum"],
                        compression="zlib", encoding=encoding)
    partial.rename(target)
    return target
