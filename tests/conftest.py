import logging
import sys
from pathlib import Path

import pytest

# Make ``tests.streams`` importable however pytest was started.
ROOT = str(Path(__file__).resolve().parent.parent)
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from tests.helpers import shortened_timeouts  # noqa: E402
from tests.streams import HttpServer, RtspServer  # noqa: E402


@pytest.fixture(scope="session", autouse=True)
def started_loop_host():
    """GStreamer and its main-loop thread, started once for the run as an application starts them.
    The host's own behaviour is tested in child interpreters (test_loop_host.py)."""
    from vantle import loop_host

    loop_host.start()


# The shared servers live as long as the run, however slow the machine; they also end with the
# process that started them.
SESSION_LIFETIME = 6 * 3600.0


@pytest.fixture(scope="session")
def rtsp_server():
    """Shared RTSP server: ``.url("/h264")``, ``.port``, ``.restart()``, ``.stop()``."""
    with RtspServer(lifetime=SESSION_LIFETIME) as server:
        yield server


@pytest.fixture
def own_rtsp_server():
    """A private RTSP server for tests that stop or restart it."""
    with RtspServer() as server:
        yield server


@pytest.fixture(scope="session")
def http_server():
    """Shared HTTP server: ``.url("/live.ts")``, ``.url("/missing", user, password)``."""
    with HttpServer(lifetime=SESSION_LIFETIME) as server:
        yield server


@pytest.fixture
def short_timeouts():
    """Readers built during the test give up and rebuild after 2 s instead of 30 and 120."""
    with shortened_timeouts():
        yield


@pytest.fixture
def logs(caplog):
    """Every record of the streaming loggers, debug included."""
    caplog.set_level(logging.DEBUG, logger="qv_streaming")
    return caplog
