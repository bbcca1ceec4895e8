"""Camera fleets on Ray: each stream is decoded by a worker process, and the work goes to the frame.

A decoded 1080p BGR frame is 6 MB, about 1 Gbit/s per camera at 20 fps, so frames stay in the
process that decodes them. `Fleet` spreads the streams over worker actors (one process each,
holding GStreamer's loop thread and the streams' `LiveFeed` readers) across the cluster's nodes;
`apply` ships a function to those workers and brings back only its results. Ray restarts a
worker that dies, and the new process reopens its streams.

    from vantle.fleet import Fleet

    with Fleet(urls, streams_per_worker=8) as fleet:
        for results in fleet.apply(count_people, every=1.0):
            ...                                  # {url: count_people(url, frame)}

Ray is an optional dependency: ``pip install 'vantle[fleet]'``. Every node of the cluster needs
vantle installed in the Python that runs its Ray workers.
"""

from __future__ import annotations

import os
import threading
import time
import warnings
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

INSTALL_HINT = "vantle.fleet needs Ray; install it with: pip install 'vantle[fleet]'"

# Ray started by a fleet stays small: the workers ask for no CPU (their decoding threads are
# GStreamer's, not Ray tasks), so the CPUs declared here only bound the user's own Ray tasks.
_LOCAL_RAY = {"object_store_memory": 256 * 2**20, "include_dashboard": False, "logging_level": "warning"}

# A call to a worker that dies in the middle is run again on its restarted process this many times.
_TASK_RETRIES = 3
_READY_TIMEOUT = 120.0
_CLOSE_TIMEOUT = 10.0


def _ray():
    try:
        import ray
    except ImportError as exc:
        raise ImportError(INSTALL_HINT) from exc
    return ray


class StreamWorker:
    """One worker process: GStreamer's main loop and the readers of a few streams.

    Runs as a threaded Ray actor, so `latest` and `stats` are answered while an `apply` waits.
    """

    def __init__(self, urls: Sequence[str], latency: int, runtime_options: Mapping[str, Any]):
        import ray

        from vantle import loop_host
        from vantle.live_feed import LiveFeed

        loop_host.start()
        self._feeds = {url: LiveFeed(url, latency=latency, runtime_options=dict(runtime_options)) for url in urls}
        # Number of the last frame of each stream given to apply: a frame is never processed twice.
        self._given = dict.fromkeys(urls, 0)
        self._given_lock = threading.Lock()
        context = ray.get_runtime_context()
        with warnings.catch_warnings():
            # Ray's own property reads a deprecated attribute of the same context.
            warnings.simplefilter("ignore", DeprecationWarning)
            reconstructed = context.was_current_actor_reconstructed
        self._identity = {
            "node": context.get_node_id(),
            "worker_pid": os.getpid(),
            "worker_started_at": time.time(),
            "worker_reconstructed": reconstructed,
        }

    def __repr__(self) -> str:
        # Ray prefixes the worker's log lines with this; stream URLs may hold passwords.
        return f"StreamWorker({len(self._feeds)} streams)"

    def identity(self) -> Dict[str, Any]:
        return dict(self._identity)

    def latest(self, url: str) -> Optional[Tuple[float, Any]]:
        # The array goes into Ray's object store as the task's result: readers on this node map
        # it without a copy.
        return self._feeds[url].latest_frame

    def stats(self) -> List[Dict[str, Any]]:
        return [{**feed.stats(), **self._identity} for feed in self._feeds.values()]

    def apply(self, fn: Callable[[str, Any], Any], urls: Sequence[str], timeout: float) -> Dict[str, Any]:
        """fn(url, frame) on each stream's newest frame not yet given to apply, streams in the order their
        frames arrive; streams without such a frame within `timeout` seconds are left out."""
        from vantle.live_feed import wait_any

        deadline = time.monotonic() + timeout
        waiting = {self._feeds[url]: url for url in urls}
        results: Dict[str, Any] = {}
        while waiting:
            with self._given_lock:
                pending = {feed: self._given[url] for feed, url in waiting.items()}
            ready = wait_any(pending, timeout=max(0.0, deadline - time.monotonic()))
            if not ready:
                break
            for feed in ready:
                url = waiting[feed]
                frame = feed.next_frame(after=pending[feed], timeout=0)
                if frame is None or not self._claim(url, frame.number):
                    continue  # another apply took it first; wait for the next one
                del waiting[feed]
                results[url] = fn(url, frame)
        return results

    def _claim(self, url: str, number: int) -> bool:
        with self._given_lock:
            if number <= self._given[url]:
                return False
            self._given[url] = number
            return True

    def close(self) -> None:
        from vantle import loop_host

        for feed in self._feeds.values():
            feed.close()
        for feed in self._feeds.values():
            feed.wait_until_closed()
        loop_host.close()


def _placements(ray, count, options):
    """Scheduling options for `count` workers: round-robin over the alive nodes, so that every node
    takes its share at once (Ray's SPREAD is a preference that a busy cluster may ignore). The
    affinity is soft: a worker whose node is gone restarts elsewhere. A caller's own strategy wins."""
    if "scheduling_strategy" in options:
        return [{}] * count
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

    nodes = sorted(node["NodeID"] for node in ray.nodes() if node.get("Alive"))
    if not nodes:
        return [{"scheduling_strategy": "SPREAD"}] * count
    return [{"scheduling_strategy": NodeAffinitySchedulingStrategy(nodes[i % len(nodes)], soft=True)}
            for i in range(count)]


class Fleet:
    """Streams spread over Ray worker actors across a cluster's nodes.

    Args:
        urls: the stream URLs (rtsp, http, https), each read by one `LiveFeed`.
        streams_per_worker: streams per worker process; the workers are spread over the nodes.
        latency, runtime_options: given to every `LiveFeed`.
        address: the Ray cluster to join (as `ray.init` takes it, e.g. "auto" or "ray://host:10001").
            None joins $RAY_ADDRESS if set, else starts a private local Ray that `close` shuts down
            again; a process already connected to Ray keeps its connection.
        num_cpus: CPUs a Ray started here declares (default: this machine's).
        worker_options: extra `.options()` for the worker actors, e.g. {"resources": {"cameras": 1}}
            to keep them on nodes that can reach the cameras.
    """

    def __init__(
        self,
        urls: Sequence[str],
        *,
        streams_per_worker: int = 8,
        latency: Optional[int] = None,
        runtime_options: Optional[Mapping[str, Any]] = None,
        address: Optional[str] = None,
        num_cpus: Optional[int] = None,
        worker_options: Optional[Mapping[str, Any]] = None,
    ):
        ray = _ray()
        from vantle.feed_contract import StreamReader, check_runtime_options
        from vantle.live_feed import LiveFeed

        self.urls: List[str] = list(dict.fromkeys(urls))
        if not self.urls:
            raise ValueError("a fleet needs at least one stream")
        if streams_per_worker < 1:
            raise ValueError("streams_per_worker must be at least 1")
        runtime_options = dict(runtime_options or {"keyframes_only": False})
        # Checked here: a worker whose __init__ raises would fail every call, not restart.
        check_runtime_options(runtime_options, LiveFeed._SUPPORTED_RUNTIME_OPTIONS)
        latency = StreamReader.DEFAULT_LATENCY if latency is None else int(latency)

        self._ray = ray
        self._closed = False
        self._owns_ray = False
        if not ray.is_initialized():
            address = address or os.environ.get("RAY_ADDRESS") or None
            if address is None:
                # "local": a private instance even when a `ray start` cluster runs on this machine.
                cpus = os.cpu_count() if num_cpus is None else num_cpus
                ray.init(address="local", num_cpus=cpus, **_LOCAL_RAY)
                self._owns_ray = True
            else:
                ray.init(address=address, logging_level="warning")

        options = {
            "num_cpus": 0,
            "max_restarts": -1,
            "max_task_retries": _TASK_RETRIES,
            "max_concurrency": 8,
            **(worker_options or {}),
        }
        groups = [self.urls[i:i + streams_per_worker] for i in range(0, len(self.urls), streams_per_worker)]
        placements = _placements(ray, len(groups), options)
        self._workers = []
        self._worker_of: Dict[str, int] = {}
        self._groups = groups
        try:
            for index, (group, placement) in enumerate(zip(groups, placements)):
                actor_class = ray.remote(StreamWorker).options(**options, **placement)
                self._workers.append(actor_class.remote(group, latency, runtime_options))
                self._worker_of.update(dict.fromkeys(group, index))
            identities = ray.get([w.identity.remote() for w in self._workers], timeout=_READY_TIMEOUT)
        except BaseException:
            self.close()
            raise
        self._seen_pids = [identity["worker_pid"] for identity in identities]
        self._restarts_seen = [0] * len(groups)

    def latest(self, url: str) -> Optional[Tuple[float, Any]]:
        """The newest (received_at, frame) of one stream, or None before its first frame. The frame is a
        read-only BGR array that comes through Ray's object store: mapped without a copy on the worker's
        node, copied over the network from any other."""
        return self._ray.get(self._worker(url).latest.remote(url))

    def apply(
        self,
        fn: Callable[[str, Any], Any],
        urls: Optional[Sequence[str]] = None,
        *,
        every: Optional[float] = None,
        timeout: float = 5.0,
    ):
        """Runs fn(url, frame) inside the worker that holds each stream, on the newest frame not yet given
        to apply (`frame` is a `vantle.live_feed.Frame`), and returns {url: result}; only results cross
        processes, so they must be picklable. Streams with no such frame within `timeout` seconds are left
        out. With `every`, returns a generator that applies fn every `every` seconds (waiting at most that
        long for new frames) and yields each round's dict."""
        self._check_open()
        targets = self.urls if urls is None else list(dict.fromkeys(urls))
        for url in targets:
            self._worker(url)
        fn_ref = self._ray.put(fn)  # shipped to the object store once, not with every call
        if every is None:
            return self._apply_round(fn_ref, targets, timeout)
        if every <= 0:
            raise ValueError("every must be positive")
        return self._apply_every(fn_ref, targets, every, min(timeout, every))

    def _apply_every(self, fn_ref, targets, every: float, timeout: float) -> Iterator[Dict[str, Any]]:
        next_round = time.monotonic()
        while not self._closed:
            try:
                results = self._apply_round(fn_ref, targets, timeout)
            except self._ray.exceptions.RayActorError:
                if self._closed:
                    return  # closed by another thread while this round ran
                raise
            yield results
            next_round += every
            delay = next_round - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                next_round = time.monotonic()  # running late: start again from now rather than bursting

    def _apply_round(self, fn_ref, targets: Sequence[str], timeout: float) -> Dict[str, Any]:
        by_worker: Dict[int, List[str]] = {}
        for url in targets:
            by_worker.setdefault(self._worker_of[url], []).append(url)
        calls = [self._workers[index].apply.remote(fn_ref, group, timeout) for index, group in by_worker.items()]
        merged: Dict[str, Any] = {}
        for results in self._ray.get(calls):
            merged.update(results)
        return {url: merged[url] for url in targets if url in merged}

    def stats(self) -> List[Dict[str, Any]]:
        """One dict per stream, in the order of `urls`: the reader's stats() (its `url` without password)
        plus `node` (Ray node id), `worker_pid`, `worker_started_at` (wall clock), `worker_reconstructed`
        (whether Ray restarted this worker) and `worker_restarts` (replaced worker processes this fleet
        has seen)."""
        self._check_open()
        per_worker = self._ray.get([w.stats.remote() for w in self._workers])
        by_url: Dict[str, Dict[str, Any]] = {}
        for index, (group, entries) in enumerate(zip(self._groups, per_worker)):
            pid = entries[0]["worker_pid"]
            if pid != self._seen_pids[index]:
                self._seen_pids[index] = pid
                self._restarts_seen[index] += 1
            for url, entry in zip(group, entries):
                by_url[url] = {**entry, "worker": index, "worker_restarts": self._restarts_seen[index]}
        return [by_url[url] for url in self.urls]

    def close(self) -> None:
        """Closes every reader, ends every worker process and, if this fleet started Ray, shuts it down."""
        if self._closed:
            return
        self._closed = True
        ray = self._ray
        workers = getattr(self, "_workers", [])
        try:
            if workers:
                ray.wait([w.close.remote() for w in workers], num_returns=len(workers), timeout=_CLOSE_TIMEOUT)
        finally:
            for worker in workers:
                ray.kill(worker, no_restart=True)
            self._workers = []
            if self._owns_ray:
                ray.shutdown()

    def __enter__(self) -> "Fleet":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _worker(self, url: str):
        self._check_open()
        try:
            return self._workers[self._worker_of[url]]
        except KeyError:
            raise KeyError(f"not a stream of this fleet: {_redact(url)}") from None

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("the fleet is closed")


def _redact(url: str) -> str:
    from vantle.logger import redact_url

    return redact_url(url)
