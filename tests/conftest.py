import os
import sys

import pytest
from hypothesis import HealthCheck, settings

# No test may depend on how fast the machine is: a loaded machine, the
# sanitizer build and the debug interpreter all run many times slower. So
# hypothesis has no per-example deadline and no health check that times
# example generation; example counts stay as each test sets them. A test's
# own @settings(...) inherits what it does not set from this profile.
settings.register_profile("kavell", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("kavell")

# The test-only native module is built beside the package by scripts/test.sh.
_testing_dir = os.environ.get("KAVELL_TESTING_DIR")
if _testing_dir:
    sys.path.insert(0, _testing_dir)


@pytest.fixture(scope="session")
def native():
    """The test-only module exposing the native core."""
    return pytest.importorskip("_kavell_testing") if not _testing_dir else __import__("_kavell_testing")


@pytest.fixture(autouse=True)
def no_tqdm_monitor_thread(monkeypatch):
    """tqdm's bars start a monitor thread that outlives them; the fork tests need a single-threaded process."""
    try:
        from tqdm import std
    except ImportError:
        return
    monkeypatch.setattr(std.tqdm, "monitor_interval", 0)
