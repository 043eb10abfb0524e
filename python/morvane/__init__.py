"""morvane: MassHunter-style LC-MS runs as numpy arrays and Arrow tables.

Open a data folder with :func:`open`; the run reads its scan table and side
files at once and decodes each spectrum's block only when asked.
:func:`opened` also takes an archive of one (RUN.d.zip, .tar, .tar.gz).
"""

from ._archives import ArchiveError
from ._convert import ConversionResult, convert, json_ready
from ._integrity import Event as IntegrityEvent
from ._integrity import IntegrityError
from ._logging import forward as forward_log_records
from ._logging import keep_reader_records as reader_log_level
from ._messages import describe as error_message
from ._native import FormatError, Spectrum
from ._mzml import to_mzml
from ._mzpeak import to_mzpeak
from ._parquet import to_parquet
from ._picking import pick_peaks
from ._run import Run, open, opened
from ._scans import ScanTable
from ._slices import SpectrumSlice
from ._targeted import ChannelTrace, TargetError
from ._version import __version__

__all__ = ["ArchiveError", "ChannelTrace", "ConversionResult", "FormatError", "IntegrityError", "IntegrityEvent",
           "Run", "ScanTable", "Spectrum", "SpectrumSlice", "TargetError", "__version__", "convert", "error_message",
           "forward_log_records", "json_ready", "open", "opened", "pick_peaks", "reader_log_level", "to_mzml",
           "to_mzpeak", "to_parquet"]
