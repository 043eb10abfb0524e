"""The version of the installed distribution; the build takes it from the
project's version in CMakeLists.txt, the only place it is written."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("karvel")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"
