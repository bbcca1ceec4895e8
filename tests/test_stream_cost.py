"""What a stream costs the process in OS threads, and what happens when the process has no room
for another one. Each case runs in a child interpreter, so that only its own streams count."""

import json

import pytest

from tests.child import run_python

COUNT_THREADS = """
import json, os, sys, time
sys.path.insert(0, {root!r})
from tests.streams import RtspServer
from vantle import loop_host
from vantle.live_feed import LiveFeed
loop_host.start()

def threads():
    # GIO's worker pool ("pool-*" threads: name lookups, connects) is the process's, shared by all.
    names = [open(f"/proc/self/task/{{task}}/comm").read() for task in os.listdir("/proc/self/task")]
    return sum(not name.startswith("pool-") for name in names)

with RtspServer() as server:
    before = threads()
    feeds = [LiveFeed(server.url("/h264"), latency=200, runtime_options={{}}, proxied={tcp}) for _ in range(4)]
    deadline = time.monotonic() + 20
    while any(feed.frame_number < 5 for feed in feeds) and time.monotonic() < deadline:
        time.sleep(0.05)
    grown = threads() - before
    live = sum(feed.frame_number >= 5 for feed in feeds)
    for feed in feeds:
        feed.wait_until_closed()
print(json.dumps({{"live": live, "grown": grown}}))
"""


def root():
    import pathlib

    return str(pathlib.Path(__file__).resolve().parent.parent)


def count_threads(tcp, decoder_threads=None):
    done = run_python(COUNT_THREADS.format(root=root(), tcp=tcp), env={"VANTLE_DECODER_THREADS": decoder_threads})
    assert done.returncode == 0, done.stderr[-3000:]
    result = json.loads(done.stdout.splitlines()[-1])
    assert result["live"] == 4
    return result["grown"]


@pytest.mark.parametrize("tcp,per_stream", [(False, 7), (True, 5)], ids=["udp", "tcp"])
def test_a_stream_costs_a_fixed_number_of_threads(tcp, per_stream):
    # Four streams on this machine's cores: one decoder thread each, whatever the core count;
    # the process-wide setting gives each decoder threads of its own.
    shared = 3  # process-wide threads started with the first stream (GLib's and GIO's, the log thread)
    default = count_threads(tcp)
    assert default <= 4 * per_stream + shared
    assert count_threads(tcp, decoder_threads="4") >= default + 4 * 3


OUT_OF_ROOM = """
import os, resource, sys, time
sys.path.insert(0, {root!r})
from tests.streams import RtspServer
from vantle import loop_host
from vantle.feed_contract import StreamSetupError
from vantle.live_feed import LiveFeed
loop_host.start()

def status(name):
    for line in open("/proc/self/status"):
        if line.startswith(name + ":"):
            return int(line.split()[1])

with RtspServer() as server:
    url = server.url("/h264").replace("rtsp://", "rtsp://user:secret@")
    feeds = [LiveFeed(url, latency=200, runtime_options={{}}) for _ in range(2)]
    deadline = time.monotonic() + 20
    while any(feed.frame_number == 0 for feed in feeds) and time.monotonic() < deadline:
        time.sleep(0.05)
    if {limit!r} == "RLIMIT_NOFILE":
        resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) + 30, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    else:
        resource.setrlimit(resource.RLIMIT_AS, ((status("VmSize") + 100 * 1024) * 1024, resource.RLIM_INFINITY))
    refused = None
    for _ in range(20):
        try:
            feeds.append(LiveFeed(url, latency=200, runtime_options={{}}))
        except StreamSetupError as error:
            refused = str(error)
            break
    numbers = [feed.frame_number for feed in feeds[:2]]
    time.sleep(1.5)
    still_streaming = all(feed.frame_number > number for feed, number in zip(feeds, numbers))
    for feed in feeds:
        feed.close()
print(repr(refused))
print(still_streaming)
"""


@pytest.mark.parametrize("limit", ["RLIMIT_NOFILE", "RLIMIT_AS"])
def test_a_process_out_of_room_refuses_the_next_stream_and_keeps_the_others(limit):
    done = run_python(OUT_OF_ROOM.format(root=root(), limit=limit))
    assert done.returncode == 0, done.stderr[-3000:]
    refused, still_streaming = done.stdout.splitlines()[-2:]
    assert limit in refused and "Cannot open stream" in refused
    assert "secret" not in refused and "***" in refused
    assert still_streaming == "True"
