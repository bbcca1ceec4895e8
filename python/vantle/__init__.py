"""vantle: live video streams for Python, decoded natively to the newest BGR frame.

Modules:
    vantle.loop_host        start GStreamer and its main-loop thread once per process
    vantle.live_feed        LiveFeed, the stream reader
    vantle.feed_contract    StreamReader, StreamStatus, errors, Event
    vantle.builders         pipeline factories for RTSP, HTTP and custom launch strings
    vantle.utils.gstreamer  the Pipeline wrapper and pad, caps and factory helpers
    vantle.utils.timing     Timeout
    vantle.logger           the 'qv_streaming' loggers
"""

import ctypes as _ctypes
import os as _os

# GStreamer links libunwind, and introspection loads GStreamer into the global symbol scope, so
# C++ code loaded afterwards could bind its unwinding calls to libunwind while libstdc++ throws
# through libgcc_s: exceptions would then abort the process. Putting libgcc_s in the global
# scope first keeps every C++ exception on one unwinder.
try:
    _ctypes.CDLL("libgcc_s.so.1", mode=_os.RTLD_GLOBAL)
except OSError:
    pass

__version__ = "0.1.0"
