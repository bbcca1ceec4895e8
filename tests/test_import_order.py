"""Raised errors stay Python exceptions whatever the process loaded before vantle.

Debian's GStreamer links libunwind and PyGObject loads libraries into the global symbol scope,
while numpy brings libstdc++ and libgcc_s in first: each child process loads numpy, PyGObject
(with GStreamer initialized) and vantle in one order, then raises an error through every
module, including errors thrown in one module and unwound through or translated by another.
"""

import importlib.util
import itertools
import json
import textwrap

import pytest

from tests.child import run_python

STEPS = {
    "numpy": "import numpy",
    # numpy's FFT throws a C++ exception (libstdc++ through libgcc_s) and reports it as RuntimeError
    # (numpy 2; see THROWING_EXTENSION).
    "numpy-throws": """
        import numpy
        from numpy.fft import _pocketfft_umath
        try:
            _pocketfft_umath.fft(numpy.zeros(0, complex), 1.0, out=numpy.zeros(0, complex))
        except RuntimeError:
            pass
        """,
    "gi": """
        import gi
        gi.require_version("Gst", "1.0")
        from gi.repository import Gst
        Gst.init(None)
        """,
    "vantle": """
        import vantle.builders, vantle.feed_contract, vantle.live_feed, vantle.logger, vantle.loop_host
        import vantle.utils.gstreamer, vantle.utils.timing
        """,
}

ORDERS = [list(order) for order in itertools.permutations(["numpy", "gi", "vantle"])] + [
    ["numpy-throws", "gi", "vantle"],
    ["gi", "numpy-throws", "vantle"],
    ["gi", "vantle", "numpy-throws"],
]

# The C++ extension that throws before vantle is loaded. It is a private module of numpy 2, the
# numpy of the development environments (scripts/requirements-dev.txt); numpy 1.x has no C++
# extension, so there the orders that need one are skipped rather than failed.
THROWING_EXTENSION = "numpy.fft._pocketfft_umath"


def skip_without_throwing_extension(order):
    if "numpy-throws" in order and importlib.util.find_spec(THROWING_EXTENSION) is None:
        import numpy

        pytest.skip(f"numpy {numpy.__version__} has no C++ extension that throws ({THROWING_EXTENSION} is numpy 2's)")


# Each error, its expression and the Python exception it must arrive as. Several are thrown in one
# native module and unwound through, caught by or translated in another.
ERRORS = {
    "loop_host.assert_started": ("loop_host.assert_started()", "builtins.RuntimeError"),
    "builders.PipelineFactory.build": ("builders.PipelineFactory(url, 20).build()", "builtins.NotImplementedError"),
    "builders.no_url_field": (
        "builders.CustomPipelineFactory('fakesrc', url=url, **callbacks)",
        "vantle.feed_contract.InvalidCustomPipelineError"),
    "builders.bad_launch": ("builders.CustomPipelineFactory(bad_launch, url=url, **callbacks).build()",
                            "vantle.feed_contract.InvalidCustomPipelineError"),
    "gstreamer.bad_launch": ("gstreamer.Pipeline.from_launch_string('no_such_element_here', 'bad')", "GLib.Error"),
    "gstreamer.no_factory": (
        "gstreamer.Pipeline().new_element('no_such_element_here')", "vantle.feed_contract.StreamSetupError"),
    "gstreamer.not_linked": ("link_two_sources()", "vantle.utils.gstreamer.NotLinkedError"),
    "gstreamer.no_caps": ("gstreamer.find_element(None, 0)", "builtins.ValueError"),
    "timing.Timeout": ("bool(timing.Timeout(0))", "builtins.TimeoutError"),
    "feed_contract.check_runtime_options": (
        "feed_contract.check_runtime_options({'nope': 1}, {})", "vantle.feed_contract.InvalidRuntimeOptionError"),
    "live_feed.scheme": (
        "live_feed.LiveFeed('ftp://127.0.0.1/x', runtime_options={})", "vantle.feed_contract.StreamSetupError"),
    "live_feed.option": (
        "live_feed.LiveFeed(url, runtime_options={'nope': 1})", "vantle.feed_contract.InvalidRuntimeOptionError"),
    "live_feed.bad_launch": ("live_feed.LiveFeed(url, pipeline_str=bad_launch, runtime_options={})",
                             "vantle.feed_contract.InvalidCustomPipelineError"),
}

RAISE = """
import json, os
from gi.repository import GLib
from vantle import builders, feed_contract, live_feed, loop_host
from vantle.utils import gstreamer, timing

def callback(*args):
    return None

callbacks = dict(on_new_sample=callback, pipeline_watcher=callback, buffer_probe=callback)
url = "rtsp://127.0.0.1:9/stream"
bad_launch = "fakesrc name={url} ! no_such_element_here ! appsink name=main_sink"

def link_two_sources():
    pipeline = gstreamer.Pipeline()
    pipeline.new_element("fakesrc", link_to=pipeline.new_element("fakesrc"))

raised = {}
for case, expression in json.loads(os.environ["RAISED_ERRORS"]).items():
    if case != "loop_host.assert_started":
        loop_host.start()
    try:
        eval(expression)
    except Exception as error:
        raised[case] = "GLib.Error" if isinstance(error, GLib.Error) else (
            f"{type(error).__module__}.{type(error).__qualname__}")
    else:
        raised[case] = None
print(json.dumps(raised))
"""


def raise_in_child(order, cases):
    skip_without_throwing_extension(order)
    code = "\n".join(textwrap.dedent(STEPS[step]) for step in order) + RAISE
    child = run_python(code, env={"RAISED_ERRORS": json.dumps({case: ERRORS[case][0] for case in cases})}, timeout=60)
    assert child.returncode == 0, f"exit status {child.returncode}\n{child.stderr[-3000:]}"
    assert json.loads(child.stdout.strip().splitlines()[-1]) == {case: ERRORS[case][1] for case in cases}


@pytest.mark.parametrize("order", ORDERS, ids=["-".join(order) for order in ORDERS])
def test_errors_raise_whatever_was_loaded_first(order):
    raise_in_child(order, list(ERRORS))


# The error is the first one the process raises through vantle: no earlier raise prepared anything.
# Without numpy's throwing extension numpy is only imported first.
@pytest.mark.parametrize("case", ERRORS)
def test_first_error_of_the_process(case):
    first = "numpy-throws" if importlib.util.find_spec(THROWING_EXTENSION) else "numpy"
    raise_in_child([first, "gi", "vantle"], [case])


# Python code still running on native threads when the interpreter exits: Python 3.11 to 3.13 end
# such a thread by unwinding it from inside Python, through our frames.
EXIT_WHILE_CALLING_PYTHON = {
    "glib-callback-on-loop-thread": """
        import time
        from gi.repository import GLib
        from vantle import loop_host
        loop_host.start()
        def busy():
            time.sleep(0.001)
            return True
        for _ in range(4):
            GLib.timeout_add(1, busy)
        time.sleep(0.2)
        """,
    "sample-callback-on-streaming-threads": """
        import time
        import gi
        gi.require_version("Gst", "1.0")
        from gi.repository import Gst
        from vantle import loop_host
        from vantle.builders import CustomPipelineFactory
        loop_host.start()
        def on_new_sample(appsink):
            appsink.emit("pull-sample")
            time.sleep(0.0005)
            return Gst.FlowReturn.OK
        launch = "videotestsrc name={url} ! video/x-raw,width=64,height=48 ! appsink name=main_sink"
        pipelines = [CustomPipelineFactory(launch, url=f"source{i}", on_new_sample=on_new_sample,
                                           pipeline_watcher=lambda *args: True,
                                           buffer_probe=lambda *args: Gst.PadProbeReturn.OK).build()
                     for i in range(4)]
        for pipeline in pipelines:
            pipeline.gst_pipeline.set_state(Gst.State.PLAYING)
        time.sleep(0.3)
        """,
}


@pytest.mark.parametrize("script", EXIT_WHILE_CALLING_PYTHON)
def test_exit_while_native_threads_call_python(script):
    for _ in range(3):
        child = run_python(textwrap.dedent(EXIT_WHILE_CALLING_PYTHON[script]) + "\nprint('exiting')\n", timeout=30)
        assert (child.returncode, child.stdout) == (0, "exiting\n"), child.stderr[-3000:]
