"""Writers of synthetic MassHunter-style `.d` data folders for tests.

Modules: `msscan` (scan tables), `lzf` (compressor), `profile` and `peak`
(data blocks), `calibration` (m/z evaluation and calibration choice),
`msmasscal`, `xmlfiles`, `synth` (synthetic spectra), `run` (RunBuilder:
whole folders with expected spectra) and `sample` (the example run,
runnable with `python -m`).
"""

from .calibration import Calibration, DefaultEntry, f32
from .run import FROM_DEFAULT, BuiltRun, Centroid, ExpectedSpectrum, Fault, Profile, RunBuilder, cut_tail, overwrite

__all__ = ["Calibration", "DefaultEntry", "f32", "FROM_DEFAULT", "BuiltRun", "Centroid", "ExpectedSpectrum",
           "Fault", "Profile", "RunBuilder", "cut_tail", "overwrite"]
