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

__version__ = "0.1.0"
