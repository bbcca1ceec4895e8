"""Every error path of a URL that holds a password: wrong password (401), missing path (404),
refused connection, RTSP authentication refused, custom pipelines with the password in {url},
and launch strings that fail to parse. The password shows in no log record, repr, error text,
nor in the output of a child process that logs everything."""

import json

import pytest

from vantle.live_feed import LiveFeed

from tests.child import run_python
from tests.faults import close_within, rebuilds, error_texts, record_texts
from tests.helpers import refused_url, wait_for
from tests.streams import FaultServer

pytestmark = pytest.mark.usefixtures("short_timeouts")

USER, PASSWORD = "admin", "s3cr3t@pw"  # '@' is percent-encoded in the URL: s3cr3t%40pw
LEAK = "s3cr3t"
RTSP_CUSTOM = ("rtspsrc location={url} latency=0 ! rtph264depay name=buffer_src ! decodebin ! videoconvert ! "
               "video/x-raw,format=BGR ! appsink name=main_sink")
HTTP_CUSTOM = "souphttpsrc location={url} ! decodebin ! videoconvert ! video/x-raw,format=BGR ! appsink name=main_sink"


def with_credentials(url):
    scheme, rest = url.split("://", 1)
    return f"{scheme}://{USER}:{PASSWORD.replace('@', '%40')}@{rest}"


@pytest.fixture(scope="module")
def servers(rtsp_server, http_server):
    with FaultServer("rtsp-unauthorized") as unauthorized:
        yield {"rtsp": rtsp_server, "http": http_server, "unauthorized": unauthorized}


# case -> servers -> (url, pipeline_str, must_play)
CASES = {
    "http-wrong-password": lambda s: (s["http"].url("/private.ts", USER, PASSWORD), None, False),
    "http-not-found": lambda s: (s["http"].url("/missing", USER, PASSWORD), None, False),
    "http-must-play-wrong-password": lambda s: (s["http"].url("/private.ts", USER, PASSWORD), HTTP_CUSTOM, True),
    "rtsp-not-found": lambda s: (s["rtsp"].url("/missing", USER, PASSWORD), None, False),
    "rtsp-unauthorized": lambda s: (s["unauthorized"].url("/cam", USER, PASSWORD), None, False),
    "rtsp-refused": lambda s: (with_credentials(refused_url("rtsp")), None, False),
    "http-refused": lambda s: (with_credentials(refused_url("http")), None, False),
    "custom-rtsp-refused": lambda s: (with_credentials(refused_url("rtsp")), RTSP_CUSTOM, False),
    "custom-http-wrong-password": lambda s: (s["http"].url("/private.ts", USER, PASSWORD), HTTP_CUSTOM, False),
    "launch-unknown-element": lambda s: (s["rtsp"].url("/h264", USER, PASSWORD),
                                         "nosuchsrc location={url} ! appsink name=main_sink", False),
    # The parser's error quotes the value it could not set.
    "launch-bad-property-value": lambda s: (s["rtsp"].url("/h264", USER, PASSWORD),
                                            "videotestsrc pattern={url} ! appsink name=main_sink", False),
    "launch-syntax-error": lambda s: (s["rtsp"].url("/h264", USER, PASSWORD),
                                      "rtspsrc location={url} ! ! appsink name=main_sink", False),
    "launch-without-sink": lambda s: (s["rtsp"].url("/h264", USER, PASSWORD), "rtspsrc location={url} ! fakesink",
                                      False),
}


@pytest.mark.parametrize("case", CASES)
def test_password_never_shows(servers, logs, case):
    url, pipeline_str, must_play = CASES[case](servers)
    shown = []
    try:
        feed = LiveFeed(url, latency=200, runtime_options={}, pipeline_str=pipeline_str, must_play=must_play)
    except Exception as error:  # noqa: BLE001 (what it shows is checked below)
        shown += error_texts(error)
    else:
        shown.append(repr(feed))
        # Every path below ends the pipeline and rebuilds it, having logged why.
        assert wait_for(lambda: rebuilds(feed) >= 1, 8), [r.getMessage() for r in logs.records]
        shown.append(repr(feed))
        close_within(feed)
        assert logs.records
    shown += [text for record in logs.records for text in record_texts(record)]
    assert [text for text in shown if LEAK in text] == []


CHILD = """
import json, logging, os, sys, time
logging.basicConfig(level=logging.DEBUG, stream=sys.stderr, format="%(name)s %(levelname)s %(message)s")
from vantle import loop_host
import vantle.live_feed as live_feed
from vantle.live_feed import LiveFeed
live_feed._STATE_CHANGE_TIMEOUT = 2
live_feed._FRAME_TIMEOUT = 2
loop_host.start()
feeds = []
for url, pipeline_str, must_play in json.loads(os.environ["FAULT_CASES"]):
    try:
        feeds.append(LiveFeed(url, latency=200, runtime_options={}, pipeline_str=pipeline_str, must_play=must_play))
    except Exception as error:
        print("error:", type(error).__name__, error, repr(error.args))
time.sleep(3)
for feed in feeds:
    print(repr(feed))
    feed.wait_until_closed()
print("done", len(feeds))
"""


def test_password_never_shows_in_a_child_process(servers):
    cases = [CASES[case](servers) for case in CASES]
    result = run_python(CHILD, env={"FAULT_CASES": json.dumps(cases), "GST_DEBUG": None}, timeout=60)
    output = result.stdout + result.stderr
    assert result.returncode == 0, result.stderr[-2000:]
    assert "done" in result.stdout and "Restarting" in result.stderr
    leaks = [line for line in output.splitlines() if LEAK in line]
    assert leaks == []
