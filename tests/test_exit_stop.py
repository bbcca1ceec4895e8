"""RTSP readers still open when the interpreter exits are stopped then, in parallel and within
about half a second, tearing their sessions down; and many exits of processes holding readers in every
state (streaming, failing, just opened) all end with status 0 and nothing on stderr.
scripts/exit_churn.py runs the same exits by the hundred."""

import socketserver
import subprocess
import sys
import tempfile
import threading

import pytest

from tests.exit_churn import run_exits, stream_urls
from tests.faults import report
from tests.helpers import wait_for
from tests.streams import FaultServer
from tests.streams.fault_server import PUBLIC, SDP_H264, SESSION, Conversation, sdp_reply


class RecordingCamera(socketserver.ThreadingTCPServer):
    """An RTSP camera on 127.0.0.1 that plays sessions over TCP (sending no media) and records
    the methods it receives."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self):
        self.methods = []
        camera = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                talk = Conversation(self.request)
                try:
                    while (request := talk.request()) is not None:
                        method, headers = request
                        camera.methods.append(method)
                        if method == "OPTIONS":
                            talk.reply(headers, extra=PUBLIC)
                        elif method == "DESCRIBE":
                            sdp_reply(SDP_H264)(talk, headers)
                        elif method == "SETUP":
                            talk.reply(headers, extra=SESSION + "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")
                        else:
                            talk.reply(headers, extra=SESSION)
                except OSError:
                    pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def url(self, path):
        return f"rtsp://127.0.0.1:{self.server_address[1]}{path}"


SESSIONS_CHILD = """
import sys
from vantle import loop_host
from vantle.live_feed import LiveFeed
loop_host.start()
feeds = [LiveFeed(url, latency=200, proxied=True) for url in sys.argv[1:]]
sys.stdin.readline()  # until the camera plays every session
"""


def test_exit_tears_down_rtsp_sessions():
    camera = RecordingCamera()
    try:
        urls = [camera.url(f"/cam{n}") for n in range(4)]
        child = subprocess.Popen([sys.executable, "-c", SESSIONS_CHILD, *urls], stdin=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, cwd=tempfile.gettempdir())
        assert wait_for(lambda: camera.methods.count("PLAY") == len(urls), 20), camera.methods
        _, stderr = child.communicate("go\n", timeout=30)
        assert (child.returncode, stderr) == (0, "")
        assert wait_for(lambda: camera.methods.count("TEARDOWN") == len(urls), 2), camera.methods
    finally:
        camera.shutdown()
        camera.server_close()


@pytest.fixture(scope="module")
def urls(rtsp_server, http_server):
    with FaultServer("silent") as silent, FaultServer("rtsp-unauthorized") as unauthorized:
        yield stream_urls(rtsp_server, http_server, silent, unauthorized)


# scripts/exit_churn.py runs hundreds more.
EXITS = 50


def test_many_exits_with_readers_in_every_state(urls):
    outcome = run_exits(urls, count=EXITS)
    times = sorted(outcome.exit_seconds)
    report("exit-churn", exits=outcome.exits, unclean=len(outcome.unclean), exit_s_median=times[len(times) // 2],
           exit_s_worst=times[-1])
    assert outcome.exits == EXITS and outcome.unclean == []
