"""vantle.loop_host: process-wide GStreamer start-up and the GLib main loop thread.

The host's state belongs to the whole process, so every case runs in a child interpreter.
"""

import json

import pytest

from tests.child import run_python

NOT_STARTED = "The GObject libraries have not been initialized yet. They can be initialized with loop_host.start()"

PRELUDE = """
import json, threading, time
from vantle import loop_host

def started():
    try:
        loop_host.assert_started()
        return True
    except RuntimeError as error:
        return str(error)

def loop_threads():
    return [t for t in threading.enumerate() if t.name == "LoopHostThread"]
"""


def run_host(code, timeout=20, env=None):
    """Runs PRELUDE + `code` in a child interpreter; returns the JSON value it printed last."""
    result = run_python(PRELUDE + code, env=env, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


@pytest.mark.parametrize(
    "steps, expected",
    [
        ("", NOT_STARTED),
        ("loop_host.close(); loop_host.close()", NOT_STARTED),
        ("loop_host.start()", True),
        ("loop_host.start(False)", True),
        ("loop_host.start(); loop_host.close()", NOT_STARTED),
        ("loop_host.start(False); loop_host.close()", NOT_STARTED),
        ("loop_host.start(); loop_host.close(); loop_host.close()", NOT_STARTED),
        ("loop_host.start(); loop_host.close(); loop_host.start()", True),
    ],
)
def test_started_state(steps, expected):
    assert run_host(f"{steps}\nprint(json.dumps(started()))") == expected


@pytest.mark.parametrize(
    "steps, threads", [("loop_host.start(); loop_host.start()", 1), ("loop_host.start(False); loop_host.start()", 0)]
)
def test_loop_thread_count(steps, threads):
    found = run_host(f"{steps}\nprint(json.dumps([t.daemon and t.is_alive() for t in loop_threads()]))")
    assert found == [True] * threads


def test_restart_runs_a_new_loop_thread():
    code = """
loop_host.start()
first = loop_threads()[0]
loop_host.close()
first.join(10)
loop_host.start()
print(json.dumps([first.is_alive(), [t is not first and t.is_alive() for t in loop_threads()]]))
"""
    assert run_host(code) == [False, [True]]


def test_loop_dispatches_the_default_context():
    code = """
from gi.repository import GLib
loop_host.start()
fired = threading.Event()
GLib.timeout_add(10, lambda: fired.set() or False)
print(json.dumps(fired.wait(10)))
"""
    assert run_host(code) is True


def test_close_before_the_loop_runs_returns():
    # The trace hook holds the new loop thread back (without the GIL) until close() has been called.
    code = """
def hold_back(frame, event, arg):
    if event == "call" and threading.current_thread().name == "LoopHostThread":
        time.sleep(0.2)

threading.settrace(hold_back)
loop_host.start()
threading.settrace(None)
loop_host.close()
print(json.dumps(started()))
"""
    assert run_host(code) == NOT_STARTED


def test_only_nvcodec_decoders_are_disabled():
    # Without nvcodec decoders (this machine), start() logs no "Disabling element type: " line.
    code = """
import logging, sys
logging.basicConfig(stream=sys.stdout, level=logging.DEBUG, format="%(message)s")
import gi
gi.require_version("Gst", "1.0")
from gi.repository import Gst
Gst.init(None)
decoders = Gst.ElementFactory.list_get_elements(Gst.ELEMENT_FACTORY_TYPE_DECODER, Gst.Rank.MARGINAL)
nvcodec = sorted(f.get_name() for f in decoders if f.get_plugin_name() == "nvcodec")
loop_host.start()
print(json.dumps(nvcodec))
"""
    result = run_python(PRELUDE + code, env={"STREAMING_LOGLEVEL": "DEBUG"}, timeout=20)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    disabled = sorted(line.split(": ", 1)[1] for line in lines if line.startswith("Disabling element type: "))
    assert disabled == json.loads(lines[-1])


def test_process_exits_cleanly_while_the_loop_runs():
    result = run_python("from vantle import loop_host\nloop_host.start()\nprint('running')", timeout=20)
    assert (result.returncode, result.stdout, result.stderr) == (0, "running\n", "")


def test_loop_thread_does_not_hold_the_gil():
    code = """
def count(seconds=1.0):
    end, n = time.perf_counter() + seconds, 0
    while time.perf_counter() < end:
        n += 1
    return n

alone = count()
loop_host.start()
print(json.dumps([alone, count()]))
"""
    alone, with_loop = run_host(code)
    assert with_loop > 0.5 * alone
