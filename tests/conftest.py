import sys
from pathlib import Path

import pytest

# Make ``tests.streams`` importable however pytest was started.
ROOT = str(Path(__file__).resolve().parent.parent)
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from tests.streams import HttpServer, RtspServer  # noqa: E402


@pytest.fixture(scope="session")
def rtsp_server():
    """Shared RTSP server: ``.url("/h264")``, ``.port``, ``.restart()``, ``.stop()``."""
    with RtspServer() as server:
        yield server


@pytest.fixture
def own_rtsp_server():
    """A private RTSP server for tests that stop or restart it."""
    with RtspServer() as server:
        yield server


@pytest.fixture(scope="session")
def http_server():
    """Shared HTTP server: ``.url("/live.ts")``, ``.url("/missing", user, password)``."""
    with HttpServer() as server:
        yield server
