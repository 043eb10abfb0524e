"""morvane: MassHunter-style LC-MS runs as numpy arrays and Arrow tables.

Open a data folder with :func:`open`; the run reads its scan table and side
files at once and decodes each spectrum's block only when asked.
"""

from ._convert import ConversionResult, convert
from ._integrity import Event as IntegrityEvent
from ._integrity import IntegrityError
from ._native import FormatError, Spectrum
from ._mzml import to_mzml
from ._mzpeak import to_mzpeak
from ._parquet import to_parquet
from ._picking import pick_peaks
from ._run import Run, open
from ._scans import ScanTable
from ._slices import SpectrumSlice
from ._targeted import ChannelTrace
from ._version import __version__

__all__ = ["ChannelTrace", "ConversionResult", "FormatError", "IntegrityError", "IntegrityEvent", "Run", "ScanTable",
           "Spectrum", "SpectrumSlice", "__version__", "convert", "open", "pick_peaks", "to_mzml", "to_mzpeak",
           "to_parquet"]
