"""vantle.feed_contract: statuses, frames, errors, the StreamReader contract, options and Event."""

import enum
import threading
import time

import pytest

from vantle import feed_contract as fc

PROPERTIES = ["status", "latest_frame", "new_frame_event", "new_status_event"]
METHODS = ["set_runtime_option_vals", "close", "wait_until_closed"]


def reader_class(omit=None):
    body = {name: property(lambda self: None) for name in PROPERTIES if name != omit}
    body.update({name: (lambda self, *args: None) for name in METHODS if name != omit})
    return type("Reader", (fc.StreamReader,), body)


def test_stream_status_and_frame():
    assert issubclass(fc.StreamStatus, enum.Enum)
    assert [s.value for s in fc.StreamStatus] == ["initializing", "streaming", "halted", "closed"]
    assert fc.StreamStatus("halted") is fc.StreamStatus.HALTED


@pytest.mark.parametrize(
    "error, is_setup_error",
    [
        (fc.StreamSetupError, True),
        (fc.InvalidCustomPipelineError, True),
        (fc.SourceNotFoundError, True),
        (fc.StreamReadError, False),
        (fc.InvalidRuntimeOptionError, False),
    ],
)
def test_errors(error, is_setup_error):
    assert issubclass(error, Exception)
    assert issubclass(error, fc.StreamSetupError) is is_setup_error
    with pytest.raises(Exception) as caught:
        try:
            raise error("boom")
        except fc.StreamSetupError:
            raise LookupError("caught as a setup error")
    assert (type(caught.value) is LookupError) is is_setup_error


@pytest.mark.parametrize("omit", PROPERTIES + METHODS + [None])
def test_reader_needs_every_member(omit):
    if omit is None:
        assert isinstance(reader_class()(), fc.StreamReader)
    else:
        with pytest.raises(TypeError, match=omit):
            reader_class(omit)()


@pytest.mark.parametrize("name", PROPERTIES + METHODS)
def test_base_members_raise_not_implemented(name):
    member = vars(fc.StreamReader)[name]
    call = member.fget if name in PROPERTIES else member
    with pytest.raises(NotImplementedError) as caught:
        call(reader_class()(), *([{}] if name == "set_runtime_option_vals" else []))
    # A real source file: tracebacks show the line, coverage counts it.
    assert caught.traceback[-1].path.name == "_stream_reader.py"
    assert fc.StreamReader.__module__ == "vantle.feed_contract"


WRONG_BOOL = "Option 'keyframes_only' should be of type 'bool', got 'int'"
VALID = "'keyframes_only', 'latency', 'label'"


@pytest.mark.parametrize(
    "supplied, message",
    [
        ({}, None),
        ({"keyframes_only": True, "label": "x"}, None),
        ({"latency": True}, None),  # bool is a subclass of int
        ({"keyframes_only": 1}, WRONG_BOOL),
        ({"label": None}, "Option 'label' should be of type 'str', got 'NoneType'"),
        ({"x": True}, "Unknown option 'x'; valid options: " + VALID),
        ({"keyframes_only": 1, "x": True}, WRONG_BOOL),
        ({"x": 1, "keyframes_only": 1}, "Unknown option 'x'; valid options: " + VALID),
    ],
)
def test_check_runtime_options(supplied, message):
    supported = {"keyframes_only": bool, "latency": int, "label": str}
    if message is None:
        fc.check_runtime_options(supplied, supported)
    else:
        with pytest.raises(fc.InvalidRuntimeOptionError) as caught:
            fc.check_runtime_options(supplied, supported)
        assert str(caught.value) == message


@pytest.mark.parametrize("timeout", [-1, 0, 0.05])
def test_event_behaves_like_threading_event(timeout):
    ours, theirs = fc.Event(), threading.Event()
    for action in ["is_set", "wait", "set", "set", "is_set", "wait", "clear", "is_set", "wait"]:
        args = (timeout,) if action == "wait" else ()
        assert getattr(ours, action)(*args) == getattr(theirs, action)(*args), action


def test_wait_releases_the_gil():
    counted, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            counted[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.05)
        before = counted[0]
        assert fc.Event().wait(0.5) is False
        assert counted[0] - before > 1000
    finally:
        stop.set()
        counter.join()


@pytest.mark.parametrize("timeout", [None, 30])
def test_set_from_another_thread_wakes_a_waiter(timeout):
    event = fc.Event()
    setter = threading.Timer(0.1, event.set)
    setter.start()
    began = time.monotonic()
    assert event.wait(timeout) is True and time.monotonic() - began < 10
    setter.join()
