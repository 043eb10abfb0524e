import sys
from pathlib import Path

import pytest

TESTS_DIR = Path(__file__).resolve().parent.parent
if str(TESTS_DIR) not in sys.path:
    sys.path.insert(0, str(TESTS_DIR))

from datafolder.run import RunBuilder  # noqa: E402


@pytest.fixture
def run_builder():
    """A fresh time-of-flight run builder (stride 284, standard calibration)."""
    return RunBuilder()


@pytest.fixture
def build_run(tmp_path):
    """build_run(builder, name="run.d") writes the run under tmp_path and returns its BuiltRun."""
    def build(builder, name="run.d"):
        return builder.build(tmp_path / name)
    return build
