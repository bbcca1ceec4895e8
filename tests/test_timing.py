"""vantle.utils.timing.Timeout: an elapsed-time guard for polling loops."""

import logging
import re
import time

import pytest

from vantle.utils.timing import Timeout


def expired(limit, **options):
    """A guard of `limit` seconds whose limit passed a second ago."""
    timeout = Timeout(limit, **options)
    timeout.start -= limit + 1
    return timeout


@pytest.mark.parametrize(
    "field, value",
    [("start", 123.25), ("time_seconds", 7), ("time_seconds", 0.5), ("raise_error", False), ("print_timeout", True)],
)
def test_fields_are_writable(field, value):
    timeout = Timeout(5)
    assert (timeout.time_seconds, timeout.raise_error, timeout.print_timeout) == (5, True, False)
    setattr(timeout, field, value)
    assert getattr(timeout, field) == value and type(getattr(timeout, field)) is type(value)


@pytest.mark.parametrize("limit, shown", [(0, "0"), (0.0, "0.0"), (1.5, "1.5"), (2, "2")])
def test_expired_guard_raises(limit, shown):
    timeout = Timeout(limit) if limit == 0 else expired(limit)
    with pytest.raises(TimeoutError) as caught:
        bool(timeout)
    match = re.fullmatch(rf"Timer of {re.escape(shown)} seconds timed out at (\S+) seconds!", str(caught.value))
    assert match and float(match.group(1)) >= limit, str(caught.value)


@pytest.mark.parametrize("limit", [0, -1, -0.001])
def test_zero_or_negative_limit_is_false_at_once(limit):
    timeout = Timeout(limit, raise_error=False)
    assert not timeout
    timeout.reset()
    assert not timeout


def test_polling_loop_runs_for_its_limit():
    began = time.monotonic()
    guard = Timeout(1, raise_error=False)
    while guard:
        time.sleep(0.01)
    assert 0.9 <= time.monotonic() - began <= 3


def test_reset_revives_an_expired_guard():
    timeout = expired(30, raise_error=False)
    assert not timeout
    timeout.reset()
    assert timeout and abs(timeout.start - time.time()) < 1


@pytest.mark.parametrize("raise_error", [False, True])
def test_start_is_wall_clock_and_moves_the_deadline(raise_error):
    def has_expired(timeout):
        if not raise_error:
            return not timeout
        with pytest.raises(TimeoutError, match=r"Timer of 5 seconds timed out at"):
            bool(timeout)
        return True

    before = time.time()
    timeout = Timeout(5, raise_error=raise_error)
    assert before <= timeout.start <= time.time()
    timeout.start = time.time() - 10  # began ten seconds ago: long expired
    assert has_expired(timeout)
    timeout.start = time.time() - 4.5  # half a second left
    assert timeout
    time.sleep(0.6)
    assert has_expired(timeout)
    timeout.start = time.time() + 100  # begins in the future: going for another 105 s
    assert timeout and timeout.start > time.time() + 99


@pytest.mark.parametrize("tests", [1, 3])
def test_print_timeout_warns_once_per_test(caplog, tests):
    assert Timeout(60, print_timeout=True)
    timeout = expired(0.5, raise_error=False, print_timeout=True)
    assert [bool(timeout) for _ in range(tests)] == [False] * tests
    warnings = [r for r in caplog.records if r.name == "qv_streaming" and r.levelno == logging.WARNING]
    assert len(warnings) == tests
    for record in warnings:
        assert re.fullmatch(r"Timer timed out! Time: \d+\.\d+", record.getMessage())


def test_warning_comes_before_the_error():
    events = []
    recorder = logging.Handler()
    recorder.emit = lambda record: events.append(record.getMessage())
    logging.getLogger("qv_streaming").addHandler(recorder)
    try:
        bool(expired(1, print_timeout=True))
    except TimeoutError as error:
        events.append(str(error))
    finally:
        logging.getLogger("qv_streaming").removeHandler(recorder)
    assert len(events) == 2
    assert events[0].startswith("Timer timed out! Time: ") and events[1].startswith("Timer of 1 seconds timed out at ")
