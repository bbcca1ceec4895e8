"""What a type checker makes of vantle's public API through the installed stubs; checked by mypy
in tests/test_stubs.py, never run."""

import os
from typing import Any, assert_type

import numpy
import numpy.typing
from gi.repository import Gst

from vantle import builders, feed_contract, logger, loop_host
from vantle.live_feed import Clip, Frame, LiveFeed, aligned, aligned_async, wait_any
from vantle.utils import gstreamer, timing


def readers() -> None:
    loop_host.start()
    feed = LiveFeed("rtsp://127.0.0.1/camera", latency=feed_contract.StreamReader.DEFAULT_LATENCY, history=4)
    reader: feed_contract.StreamReader = feed
    assert_type(reader.status, feed_contract.StreamStatus)
    assert_type(feed.latest_frame, tuple[float, numpy.ndarray] | None)
    assert_type(feed.new_frame_event.wait(1.0), bool)
    frame = feed.next_frame(after=feed.frame_number, timeout=None)
    assert_type(frame, Frame | None)
    if frame is not None:
        assert_type(frame.image, numpy.typing.NDArray[numpy.uint8])
        assert_type(frame.captured_at, float | None)
    assert_type(wait_any({feed: 0}, timeout=0.5), list[LiveFeed])
    assert_type(aligned([feed], tolerance=0.01), dict[LiveFeed, Frame] | None)
    assert_type(feed.stats(), dict[str, Any])
    feed.set_runtime_option_vals({"keyframes_only": True})
    with LiveFeed("http://127.0.0.1/stream", keep_encoded=10.0) as other:
        clip = other.save_clip(os.path.join("clips", "a.mp4"), before=2.0)
        assert_type(clip.wait(timeout=5.0), Clip)
        assert_type(clip.error, str | None)
    feed_contract.check_runtime_options({"keyframes_only": True}, LiveFeed._SUPPORTED_RUNTIME_OPTIONS)
    assert_type(logger.get_stream_logger("rtsp://127.0.0.1/camera").name, str)
    assert_type(timing.Timeout(2).time_seconds, int | float)


async def waiting(feed: LiveFeed) -> None:
    assert_type(await feed.next_frame_async(timeout=1.0), Frame | None)
    assert_type(await aligned_async([feed]), dict[LiveFeed, Frame] | None)
    async for frame in feed.frames():
        assert_type(frame, Frame)
    assert_type(await feed.save_clip("clip.mkv"), Clip)


def pipelines(pad: Gst.Pad, caps: Gst.Caps) -> None:
    pipeline = gstreamer.Pipeline.from_launch_string("videotestsrc ! appsink name=main_sink", "test")
    assert_type(pipeline.gst_pipeline, Gst.Pipeline)
    assert_type(pipeline.filter_caps(pipeline.appsink, ["video/x-raw"]), Gst.Element | None)
    pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, lambda pad, info: Gst.PadProbeReturn.OK)
    assert_type(gstreamer.find_element(caps, 0), Gst.Element)
    factory = builders.CustomPipelineFactory(
        "videotestsrc ! appsink name=main_sink",
        url="{url}",
        on_new_sample=lambda sink: Gst.FlowReturn.OK,
        pipeline_watcher=lambda bus, message, pipeline: True,
        buffer_probe=lambda pad, info: Gst.PadProbeReturn.OK,
    )
    assert_type(factory.build(), gstreamer.Pipeline)
