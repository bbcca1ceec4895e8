"""Raised errors stay Python exceptions whatever the process loaded before vantle.

Debian's GStreamer links libunwind and PyGObject loads libraries into the global symbol scope,
while numpy brings libstdc++ and libgcc_s in first: each child process loads numpy, PyGObject
(with GStreamer initialized) and vantle in one order, then raises an error through every
module, including errors thrown in one module and unwound through or translated by another.
"""

import itertools
import json
import textwrap

import pytest

from tests.child import run_python

STEPS = {
    "numpy": "import numpy",
    # numpy's FFT throws a C++ exception (libstdc++ through libgcc_s) and reports it as RuntimeError.
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

RAISE_EVERYWHERE = """
import json
from gi.repository import GLib
from vantle import builders, feed_contract, live_feed, loop_host
from vantle.utils import gstreamer, timing

raised = {}

def expect(case, action):
    try:
        action()
    except Exception as error:
        raised[case] = f"{type(error).__module__}.{type(error).__qualname__}"
        if isinstance(error, GLib.Error):
            raised[case] = "GLib.Error"
    else:
        raised[case] = None

def callback(*args):
    return None

callbacks = dict(on_new_sample=callback, pipeline_watcher=callback, buffer_probe=callback)
url = "rtsp://127.0.0.1:9/stream"
bad_launch = "fakesrc name={url} ! no_such_element_here ! appsink name=main_sink"

def link_sources():
    pipeline = gstreamer.Pipeline()
    pipeline.new_element("fakesrc", link_to=pipeline.new_element("fakesrc"))

expect("loop_host.assert_started", loop_host.assert_started)
loop_host.start()
expect("builders.PipelineFactory.build", lambda: builders.PipelineFactory(url, 20).build())
expect("builders.template_key", lambda: builders.CustomPipelineFactory("{url} {nope}", url=url, **callbacks))
expect("builders.no_url_field", lambda: builders.CustomPipelineFactory("fakesrc", url=url, **callbacks))
expect("builders.bad_launch", lambda: builders.CustomPipelineFactory(bad_launch, url=url, **callbacks).build())
expect("gstreamer.bad_launch", lambda: gstreamer.Pipeline.from_launch_string("no_such_element_here", "bad"))
expect("gstreamer.no_factory", lambda: gstreamer.Pipeline().new_element("no_such_element_here"))
expect("gstreamer.not_linked", link_sources)
expect("gstreamer.no_caps", lambda: gstreamer.find_element(None, 0))
expect("timing.Timeout", lambda: bool(timing.Timeout(0)))
expect("feed_contract.check_runtime_options", lambda: feed_contract.check_runtime_options({"nope": 1}, {}))
expect("live_feed.scheme", lambda: live_feed.LiveFeed("ftp://127.0.0.1/x", runtime_options={}))
expect("live_feed.option", lambda: live_feed.LiveFeed(url, runtime_options={"nope": 1}))
expect("live_feed.bad_launch", lambda: live_feed.LiveFeed(url, pipeline_str=bad_launch, runtime_options={}))
print(json.dumps(raised))
"""

EXPECTED = {
    "loop_host.assert_started": "builtins.RuntimeError",
    "builders.PipelineFactory.build": "builtins.NotImplementedError",
    "builders.template_key": "builtins.KeyError",
    "builders.no_url_field": "vantle.feed_contract.InvalidCustomPipelineError",
    "builders.bad_launch": "GLib.Error",
    "gstreamer.bad_launch": "GLib.Error",
    "gstreamer.no_factory": "vantle.feed_contract.StreamSetupError",
    "gstreamer.not_linked": "vantle.utils.gstreamer.NotLinkedError",
    "gstreamer.no_caps": "builtins.ValueError",
    "timing.Timeout": "builtins.TimeoutError",
    "feed_contract.check_runtime_options": "vantle.feed_contract.InvalidRuntimeOptionError",
    "live_feed.scheme": "vantle.feed_contract.StreamSetupError",
    "live_feed.option": "vantle.feed_contract.InvalidRuntimeOptionError",
    "live_feed.bad_launch": "GLib.Error",
}


@pytest.mark.parametrize("order", ORDERS, ids=["-".join(order) for order in ORDERS])
def test_errors_raise_whatever_was_loaded_first(order):
    code = "\n".join(textwrap.dedent(STEPS[step]) for step in order) + RAISE_EVERYWHERE
    child = run_python(code, timeout=60)
    assert child.returncode == 0, f"exit status {child.returncode}\n{child.stderr[-3000:]}"
    assert json.loads(child.stdout.strip().splitlines()[-1]) == EXPECTED
