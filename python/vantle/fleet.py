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
# How often a waiting apply looks whether a stream it waits for went down.
_DOWN_CHECK_INTERVAL = 0.25


def _ray():
    try:
        import ray
    except ImportError as exc:
        raise ImportError(INSTALL_HINT) from exc
    return ray


class ApplyResult(dict):
    """{url: result} of one `Fleet.apply` round, in the order of the urls asked for.

    `skipped` maps every url left out to why: its status ("halted", "initializing" after a
    failure, "closed") when the stream was down, or "timeout" when no new frame came in time.
    """

    def __init__(self, results=(), skipped=None):
        super().__init__(results)
        self.skipped: Dict[str, str] = dict(skipped or {})

    def __repr__(self) -> str:
        return f"ApplyResult({dict.__repr__(self)}, skipped={self.skipped!r})"

    def __reduce__(self):
        return (ApplyResult, (dict(self), self.skipped))


class FleetFrame:
    """The frame `apply` gives its function: a `vantle.live_feed.Frame` whose `number` goes on
    rising across restarts of the worker process (a new process numbers its frames from 1)."""

    __slots__ = ("_frame", "number")

    def __init__(self, frame, base: int):
        self._frame = frame
        self.number = base + frame.number

    @property
    def image(self):
        return self._frame.image

    @property
    def received_at(self) -> float:
        return self._frame.received_at

    @property
    def age(self) -> float:
        return self._frame.age

    def __repr__(self) -> str:
        return f"FleetFrame(number={self.number}, received_at={self.received_at:.3f})"


def _down_status(stats: Mapping[str, Any]) -> Optional[str]:
    """Why a stream is not worth waiting for, or None. A stream starting for the first time is
    waited for; one starting again after a failure is down."""
    status = stats["status"]
    if status == "streaming":
        return None
    if status == "initializing" and not (stats.get("halts") or stats.get("rebuilds") or stats.get("failing_since")):
        return None
    return status


def _portable(error: BaseException) -> BaseException:
    """`error` as it can travel to the driver: with the worker's traceback as a note, and as a
    RuntimeError naming it when the exception itself cannot be pickled."""
    import traceback

    from ray import cloudpickle

    where = f"raised in vantle.fleet worker {os.getpid()}:\n" + "".join(traceback.format_exception(error)).rstrip()
    try:
        cloudpickle.dumps(error)
    except Exception:  # noqa: BLE001 - anything that fails to pickle is replaced, not lost
        error = RuntimeError(f"{type(error).__qualname__}: {error}")
    error.add_note(where)
    return error


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
        # Added to this process's frame numbers; see _continue_numbers.
        self._base = dict.fromkeys(urls, 0)
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

    def stats(self, handed: Mapping[str, int]) -> List[Dict[str, Any]]:
        self._continue_numbers(handed)
        entries = []
        for url, feed in self._feeds.items():
            entry = {**feed.stats(), **self._identity}
            if entry["frame_number"]:
                entry["frame_number"] += self._base[url]
            entries.append(entry)
        return entries

    def apply(self, fn: Callable[[str, Any], Any], urls: Sequence[str], timeout: float,
              handed: Mapping[str, int], return_exceptions: bool):
        """fn(url, frame) on each stream's newest frame not yet given to apply, streams in the order their
        frames arrive. Returns (results, skipped, numbers): streams that are down are skipped at once,
        those without a new frame within `timeout` seconds once it has passed, each with the reason;
        `numbers` are the fleet frame numbers given to fn."""
        from vantle.live_feed import wait_any

        self._continue_numbers(handed)
        deadline = time.monotonic() + timeout
        results: Dict[str, Any] = {}
        skipped: Dict[str, str] = {}
        numbers: Dict[str, int] = {}
        waiting = {}
        for url in urls:
            feed = self._feeds[url]
            down = _down_status(feed.stats())
            if down:
                skipped[url] = down
            else:
                waiting[feed] = url
        while waiting:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            with self._given_lock:
                pending = {feed: self._given[url] for feed, url in waiting.items()}
            # In slices, so a stream that fails while we wait is let go rather than waited out.
            for feed in wait_any(pending, timeout=min(left, _DOWN_CHECK_INTERVAL)):
                url = waiting[feed]
                frame = feed.next_frame(after=pending[feed], timeout=0)
                if frame is None or not self._claim(url, frame.number):
                    continue  # another apply took it first; wait for the next one
                del waiting[feed]
                given = FleetFrame(frame, self._base[url])
                numbers[url] = given.number
                results[url] = self._call(fn, url, given, return_exceptions)
            for feed, url in list(waiting.items()):
                down = _down_status(feed.stats())
                if down:
                    skipped[url] = down
                    del waiting[feed]
        skipped.update(dict.fromkeys(waiting.values(), "timeout"))
        return results, skipped, numbers

    def _call(self, fn, url, frame, return_exceptions):
        if not return_exceptions:
            return fn(url, frame)
        try:
            return fn(url, frame)
        except Exception as error:  # noqa: BLE001 - handed back to the caller as this stream's result
            return _portable(error)

    def _continue_numbers(self, handed: Mapping[str, int]) -> None:
        """Fleet frame numbers are this process's numbers plus a base: after a restart the base is the
        last number the driver handed out, so numbers go on rising rather than start again at 1."""
        with self._given_lock:
            for url, number in handed.items():
                if url in self._base:
                    self._base[url] = max(self._base[url], number - self._given[url])

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
    """Scheduling options for `count` workers: round-robin over the alive nodes. The affinity is
    soft, so that a worker whose node is gone restarts elsewhere; Ray takes it as a preference, as
    it does SPREAD, and may place a worker on another node. A caller's own strategy wins."""
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
        # The last frame number handed out per stream: a restarted worker goes on from there.
        self._handed = dict.fromkeys(self.urls, 0)
        self._handed_lock = threading.Lock()
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
        return_exceptions: bool = False,
    ):
        """Runs fn(url, frame) inside the worker that holds each stream, on the newest frame not yet given
        to apply, and returns an `ApplyResult`: {url: result}, with `skipped` naming every stream left
        out and why. Only results cross processes, so they must be picklable. `frame` has `number`,
        `received_at`, `age` and `image` like a `vantle.live_feed.Frame`; its numbers keep rising when a
        worker restarts.

        A stream that is down (halted, closed, or starting again after a failure) is skipped at once;
        one that goes down while apply waits is let go within a quarter of a second; a streaming one
        without a new frame within `timeout` seconds is skipped as "timeout". An exception raised by fn
        is raised here, and the round's other results are lost; with `return_exceptions=True` it
        becomes that stream's result instead (with the worker's traceback as a note), and so does the
        error of a worker that died for good. With `every`, returns a generator that applies fn every
        `every` seconds (waiting at most that long for new frames) and yields each round's result."""
        self._check_open()
        targets = self.urls if urls is None else list(dict.fromkeys(urls))
        for url in targets:
            self._worker(url)
        fn_ref = self._ray.put(fn)  # shipped to the object store once, not with every call
        if every is None:
            return self._apply_round(fn_ref, targets, timeout, return_exceptions)
        if every <= 0:
            raise ValueError("every must be positive")
        return self._apply_every(fn_ref, targets, every, min(timeout, every), return_exceptions)

    def _apply_every(self, fn_ref, targets, every: float, timeout: float, return_exceptions: bool
                     ) -> Iterator[ApplyResult]:
        next_round = time.monotonic()
        while not self._closed:
            try:
                results = self._apply_round(fn_ref, targets, timeout, return_exceptions)
            except self._ray.exceptions.RayActorError:
                if self._closed:
                    return  # closed by another thread while this round ran
                raise
            if self._closed:
                return  # closed by another thread while this round ran
            yield results
            next_round += every
            delay = next_round - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                next_round = time.monotonic()  # running late: start again from now rather than bursting

    def _apply_round(self, fn_ref, targets: Sequence[str], timeout: float, return_exceptions: bool
                     ) -> ApplyResult:
        ray = self._ray
        by_worker: Dict[int, List[str]] = {}
        for url in targets:
            by_worker.setdefault(self._worker_of[url], []).append(url)
        calls = [(group, self._workers[index].apply.remote(fn_ref, group, timeout, self._handed_of(group),
                                                           return_exceptions))
                 for index, group in by_worker.items()]
        merged: Dict[str, Any] = {}
        skipped: Dict[str, str] = {}
        for group, call in calls:
            try:
                results, left_out, numbers = ray.get(call)
            except ray.exceptions.RayActorError as error:
                if not return_exceptions:
                    raise
                merged.update(dict.fromkeys(group, error))
                continue
            merged.update(results)
            skipped.update(left_out)
            self._note_handed(numbers)
        return ApplyResult(((url, merged[url]) for url in targets if url in merged),
                           {url: skipped[url] for url in targets if url in skipped})

    def _handed_of(self, group: Sequence[str]) -> Dict[str, int]:
        with self._handed_lock:
            return {url: self._handed[url] for url in group}

    def _note_handed(self, numbers: Mapping[str, int]) -> None:
        """Remembers the highest frame number handed out per stream."""
        with self._handed_lock:
            for url, number in numbers.items():
                self._handed[url] = max(self._handed[url], number)

    def stats(self) -> List[Dict[str, Any]]:
        """One dict per stream, in the order of `urls`: the reader's stats() (its `url` without password;
        its `frame_number` counting on across worker restarts, like the numbers apply hands out) plus `node` (Ray node id), `worker_pid`, `worker_started_at` (wall clock), `worker_reconstructed`
        (whether Ray restarted this worker) and `worker_restarts` (replaced worker processes this fleet
        has seen)."""
        self._check_open()
        per_worker = self._ray.get([w.stats.remote(self._handed_of(group))
                                    for w, group in zip(self._workers, self._groups)])
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
