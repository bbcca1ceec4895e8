"""vantle.fleet on a two-node Ray cluster on this machine, reading the test RTSP server."""

import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

from tests.child import run_python
from tests.helpers import refused_url, wait_for

try:
    import ray
    from ray.cluster_utils import Cluster
except ImportError:
    ray = None

needs_ray = pytest.mark.skipif(ray is None, reason="Ray is not installed (no wheel for this Python?): pip install 'vantle[fleet]'")

NODE_RAY = {"num_cpus": 1, "object_store_memory": 200 * 2**20}
# Two of each mount, told apart by (unchecked) credentials, which stats() must not show.
MOUNTS = ["/h264", "/red", "/blue", "/fps20"]
COLOURS = {"/red": (0, 0, 255), "/blue": (255, 0, 0)}  # BGR


def proc_table():
    """{pid: (parent pid, state, command line)} of every process, read from /proc."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat_file:
                fields = stat_file.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline_file:
                cmdline = cmdline_file.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        table[int(entry)] = (int(fields[1]), fields[0], cmdline)
    return table


def live_pids(pids):
    table = proc_table()
    return {pid for pid in pids if pid in table and table[pid][1] != "Z"}


@pytest.fixture(scope="module")
def cluster():
    if ray is None:
        pytest.skip("Ray is not installed")
    nodes = Cluster(initialize_head=True, head_node_args={**NODE_RAY, "include_dashboard": False})
    nodes.add_node(**NODE_RAY)
    nodes.wait_for_nodes()  # a loaded machine registers the second node late
    ray.init(address=nodes.address, logging_level="warning")
    # The workers cannot import this test module: its functions travel by value.
    ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])
    yield nodes
    ray.shutdown()
    nodes.shutdown()


@pytest.fixture(scope="module")
def urls(rtsp_server):
    return [rtsp_server.url(mount, f"cam{i}", f"pw{i}") for i in range(2) for mount in MOUNTS]


@pytest.fixture(scope="module")
def fleet(cluster, urls):
    from vantle.fleet import Fleet

    with Fleet(urls, streams_per_worker=2, latency=200, address=cluster.address) as fleet:
        assert wait_for(lambda: all(entry["frame_number"] > 0 for entry in fleet.stats()), 30)
        yield fleet


def number_and_pid(url, frame):
    return frame.number, os.getpid()


class NotRed(LookupError):
    """Raised in the workers; a class of this module, so it travels by value."""


def red_only(url, frame):
    if not url.endswith("/red"):
        raise NotRed(f"{url.rsplit('/', 1)[1]} is not red")
    return frame.number


@needs_ray
def test_streams_spread_over_workers_without_passwords(fleet, urls):
    stats = fleet.stats()
    assert len(stats) == len(urls)
    # Which node each worker lands on is Ray's call: it takes the fleet's round-robin node affinity
    # as a preference, and on one machine's two-node cluster it often places otherwise.
    assert {entry["node"] for entry in stats} <= {node["NodeID"] for node in ray.nodes() if node["Alive"]}
    assert len({entry["worker_pid"] for entry in stats}) == 4  # two streams per worker
    for url, entry in zip(urls, stats):
        assert entry["status"] == "streaming"
        assert "pw" not in entry["url"] and url.split("@")[1] in entry["url"]


@needs_ray
def test_latest_frame_comes_from_its_own_stream(fleet, urls):
    for url in urls:
        received_at, image = fleet.latest(url)
        assert isinstance(received_at, float) and image.dtype == np.uint8 and image.shape[2] == 3
        assert not image.flags.writeable
        mount = "/" + url.rsplit("/", 1)[1]
        if mount in COLOURS:
            # A reader that joined between keyframes sees grey until the next one (a second).
            assert wait_for(lambda: np.abs(fleet.latest(url)[1].mean(axis=(0, 1)) - COLOURS[mount]).max() < 40, 5)
    with pytest.raises(KeyError):
        fleet.latest("rtsp://127.0.0.1:1/not-in-fleet")


@needs_ray
def test_apply_runs_in_the_stream_worker_and_never_repeats_a_frame(fleet, urls):
    pid_of = {url: entry["worker_pid"] for url, entry in zip(urls, fleet.stats())}
    seen = {url: [] for url in urls}
    rounds = [fleet.apply(number_and_pid, timeout=10)]
    rounds += [results for _, results in zip(range(4), fleet.apply(number_and_pid, every=0.3))]
    for results in rounds[:2]:
        assert list(results) == urls and results.skipped == {}
    for results in rounds:
        for url, (number, pid) in results.items():
            assert pid == pid_of[url]
            seen[url].append(number)
    for numbers in seen.values():
        assert numbers == sorted(set(numbers))
    with pytest.raises(ZeroDivisionError):
        fleet.apply(lambda url, frame: 1 / 0, urls[:1])
    # Errors of several streams, on several workers, each come back as that stream's result.
    results = fleet.apply(red_only, timeout=10, return_exceptions=True)
    assert list(results) == urls
    for url, result in results.items():
        if url.endswith("/red"):
            assert isinstance(result, int) and result > seen[url][-1]
        else:
            assert isinstance(result, NotRed) and str(result) == f"{url.rsplit('/', 1)[1]} is not red"
            assert "raised in vantle.fleet worker" in result.__notes__[0] and "red_only" in result.__notes__[0]

    # Two callers at once share the frames out between them: none goes to both.
    claimed, errors = [], []

    def call_apply():
        try:
            for _ in range(4):
                results = fleet.apply(number_and_pid, urls[:2], timeout=10)
                claimed.extend((url, number) for url, (number, _pid) in results.items())
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    callers = [threading.Thread(target=call_apply) for _ in range(2)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join(60)
    assert not errors
    assert len(claimed) == 16 and len(set(claimed)) == 16


@needs_ray
def test_killed_worker_comes_back_with_its_streams(fleet, urls):
    handed = {url: number for url, (number, _pid) in fleet.apply(number_and_pid, timeout=10).items()}
    before = fleet.stats()
    victim = before[0]["worker_pid"]
    its_streams = [i for i, entry in enumerate(before) if entry["worker_pid"] == victim]
    os.kill(victim, signal.SIGKILL)

    def back():
        stats = fleet.stats()
        return all(stats[i]["worker_pid"] != victim and stats[i]["frame_number"] > 0 for i in its_streams)

    assert wait_for(back, 30)
    after = fleet.stats()
    for i, entry in enumerate(after):
        restarted = i in its_streams
        assert entry["worker_restarts"] == int(restarted)
        assert entry["worker_reconstructed"] is restarted
        # The new process numbers its frames from 1; the fleet's numbers go on from the last one it handed out.
        assert entry["frame_number"] > handed[urls[i]]
    results = fleet.apply(number_and_pid, timeout=10)
    assert list(results) == urls
    for url, (number, _pid) in results.items():
        assert number > handed[url]


@needs_ray
def test_apply_skips_a_stream_that_is_down(cluster, rtsp_server):
    from vantle.fleet import Fleet

    up, down = rtsp_server.url("/h264"), refused_url()
    with Fleet([up, down], streams_per_worker=2, latency=200, address=cluster.address) as fleet:
        assert wait_for(lambda: fleet.stats()[0]["status"] == "streaming" and fleet.stats()[1]["halts"] > 0, 30)
        for _ in range(3):
            started = time.monotonic()
            results = fleet.apply(number_and_pid, timeout=10)
            # The stream that is up answers at its next frame: nothing waits out the timeout.
            assert time.monotonic() - started < 5
            assert list(results) == [up]
            assert list(results.skipped) == [down] and results.skipped[down] in ("halted", "initializing")
        results = fleet.apply(number_and_pid, [down], timeout=10, return_exceptions=True)
        assert results == {} and set(results.skipped) == {down}


@needs_ray
def test_close_ends_every_worker(cluster, urls):
    from vantle.fleet import Fleet

    fleet = Fleet(urls[:3], streams_per_worker=1, address=cluster.address)
    pids = {entry["worker_pid"] for entry in fleet.stats()}
    assert len(live_pids(pids)) == 3
    # A loop of rounds in another thread just ends.
    rounds, errors = [], []

    def repeat():
        try:
            rounds.extend(fleet.apply(number_and_pid, every=0.1))
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    looping = threading.Thread(target=repeat)
    looping.start()
    assert wait_for(lambda: len(rounds) >= 2, 20)
    fleet.close()
    looping.join(15)
    assert not looping.is_alive() and not errors
    assert wait_for(lambda: not live_pids(pids), 10)
    with pytest.raises(RuntimeError):
        fleet.stats()


@needs_ray
def test_fleet_that_started_ray_leaves_no_process(rtsp_server):
    result = run_python(
        f"""
        import os, sys, time
        sys.path.insert(0, {os.path.dirname(os.path.dirname(os.path.abspath(__file__)))!r})
        from tests.test_fleet import proc_table
        from vantle.fleet import Fleet

        def descendants():
            table = proc_table()
            found, frontier = set(), {{os.getpid()}}
            while frontier:
                frontier = {{pid for pid, (parent, state, _) in table.items() if parent in frontier and state != "Z"}}
                found |= frontier
            return {{pid: table[pid][2] for pid in found}}

        with Fleet([{rtsp_server.url("/h264")!r}], num_cpus=1) as fleet:
            assert len(fleet.apply(lambda url, frame: frame.number, timeout=20)) == 1
            assert any(cmd.startswith("ray::StreamWorker") for cmd in descendants().values())
        deadline = time.monotonic() + 15
        while descendants() and time.monotonic() < deadline:
            time.sleep(0.1)
        print("left:", descendants())
        """,
        timeout=80,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert "left: {}" in result.stdout


def test_fleet_without_ray_says_how_to_install(monkeypatch):
    from vantle.fleet import Fleet

    monkeypatch.setitem(sys.modules, "ray", None)
    with pytest.raises(ImportError, match=r"pip install 'vantle\[fleet\]'"):
        Fleet(["rtsp://127.0.0.1:1/x"])
