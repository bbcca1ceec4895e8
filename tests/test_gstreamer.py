"""vantle.utils.gstreamer against real GStreamer: the Pipeline wrapper and the pad/caps helpers."""

import contextlib
import gc
import logging
import queue
import threading
import time
import weakref

import gi

gi.require_version("Gst", "1.0")
from gi.repository import GLib, Gst  # noqa: E402

import pytest  # noqa: E402

from vantle.feed_contract import StreamSetupError  # noqa: E402
from vantle.utils import gstreamer as vg  # noqa: E402

LOGGER = "qv_streaming"
H264_RTP = "application/x-rtp,media=video,encoding-name=H264,clock-rate=90000"
MADE_UP = "x-vantle-test/made-up"
TIMEOUT_TO_START = "^Timeout while waiting for stream to start$"


@pytest.fixture
def pipeline():
    """A fresh Pipeline, brought to NULL (children may be PLAYING) and released afterwards."""
    p = vg.Pipeline()
    yield p
    p.set_state(Gst.State.NULL)
    p.release_resources()


def caps(text):
    return Gst.Caps.from_string(text)


def pad_with_caps(text=None):
    """A lone active source pad; with `text`, negotiated to those caps by a caps event."""
    pad = Gst.Pad.new("src", Gst.PadDirection.SRC)
    pad.set_active(True)
    if text is not None:
        pad.push_event(Gst.Event.new_stream_start("test"))
        assert pad.push_event(Gst.Event.new_caps(caps(text)))
    return pad


def children_of(p, factory=None):
    return [c for c in p.gst_pipeline.children if factory is None or c.get_factory().get_name() == factory]


def state_of(element):
    return element.get_state(0)[1]


def logged(caplog, level, text):
    return any(r.name == LOGGER and r.levelno == level and text in r.getMessage() for r in caplog.records)


def state_changed(element, old, new):
    return Gst.Message.new_state_changed(element, old, new, Gst.State.VOID_PENDING)


class Recorder:
    """A weak-referenceable callable that queues its arguments, then returns `result` or raises."""

    def __init__(self, result=None, fail=False):
        self.calls, self.result, self.fail = queue.Queue(), result, fail

    def __call__(self, *args):
        self.calls.put(args)
        if self.fail:
            raise ValueError("callback failed on purpose")
        return self.result



def test_pipeline_names_and_passthrough():
    named, unnamed = vg.Pipeline("camera"), vg.Pipeline()
    assert named.get_name() == "camera" and unnamed.get_name() not in ("", None, "camera")
    assert isinstance(named.gst_pipeline, Gst.Pipeline) and named.get_bus() is not None
    assert named.set_state(Gst.State.READY) == Gst.StateChangeReturn.SUCCESS
    assert named.get_state(0)[1] == Gst.State.READY
    named.set_state(Gst.State.NULL)
    with pytest.raises(AttributeError):
        named.no_such_attribute


@pytest.mark.parametrize("launch, child", [("videotestsrc ! fakesink name=main_sink", "main_sink"),
                                           ("fakesink name=only", "only")])
def test_from_launch_string(launch, child):
    p = vg.Pipeline.from_launch_string(launch, "launched")
    assert p.get_name() == "launched" and isinstance(p.gst_pipeline, Gst.Pipeline)
    assert p.get_by_name(child) is not None


@pytest.mark.parametrize("launch, code, text", [
    ("nosuchelement ! fakesink", Gst.ParseError.NO_SUCH_ELEMENT, "nosuchelement"),
    ("videotestsrc ! ! fakesink", Gst.ParseError.SYNTAX, "syntax"),
    ("", Gst.ParseError.EMPTY, "empty"),
    ("audiotestsrc ! video/x-raw ! fakesink", Gst.ParseError.LINK, "link"),
])
def test_from_launch_string_parse_error(launch, code, text):
    with pytest.raises(GLib.Error) as info:
        vg.Pipeline.from_launch_string(launch, "bad")
    assert info.value.matches(Gst.parse_error_quark(), code) and text in info.value.message



def test_signal_handler_gets_extra_args_and_is_disconnected(pipeline):
    identity, callback, buffer = Gst.ElementFactory.make("identity"), Recorder(), Gst.Buffer.new()
    pipeline.connect_signal_handler(identity, "handoff", callback, "extra", 7)
    assert pipeline.pending_release_actions == 1
    identity.emit("handoff", buffer)
    element, _, *extra = callback.calls.get(timeout=5)
    assert element == identity and extra == ["extra", 7]
    pipeline.release_resources()
    identity.emit("handoff", buffer)
    assert callback.calls.empty() and pipeline.pending_release_actions == 0


@pytest.mark.parametrize("factory, signal, args, fallback", [
    ("appsink", "new-sample", (), Gst.FlowReturn.ERROR),
    ("identity", "handoff", (Gst.Buffer.new(),), None),
])
def test_failing_signal_handler_is_logged_and_returns_fallback(pipeline, caplog, factory, signal, args, fallback):
    element = Gst.ElementFactory.make(factory)
    pipeline.connect_signal_handler(element, signal, Recorder(fail=True))
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        assert element.emit(signal, *args) == fallback
    assert logged(caplog, logging.ERROR, "callback failed on purpose")


def test_pad_probe_runs_with_extra_args_survives_failure_and_is_removed(pipeline, caplog):
    pad, probe, failing = pad_with_caps(), Recorder(result=Gst.PadProbeReturn.OK), Recorder(fail=True)
    pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, probe, "x")
    pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, failing)
    assert pipeline.pending_release_actions == 2
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        assert pad.push_event(Gst.Event.new_stream_start("s"))  # the failing probe does not drop it
    probed_pad, _, extra = probe.calls.get(timeout=5)
    assert probed_pad == pad and extra == "x" and failing.calls.qsize() == 1
    assert logged(caplog, logging.ERROR, "callback failed on purpose")
    pipeline.release_resources()
    pad.push_event(Gst.Event.new_caps(caps("video/x-raw")))
    assert probe.calls.empty() and failing.calls.qsize() == 1


def test_release_runs_in_attachment_order_once_and_drops_callbacks(pipeline):
    released, pad, identity = [], Gst.Pad.new("src", Gst.PadDirection.SRC), Gst.ElementFactory.make("identity")

    def tracked(tag):
        callback = Recorder(result=Gst.PadProbeReturn.OK)
        weakref.finalize(callback, released.append, tag)
        return callback

    pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, tracked("probe-1"))
    pipeline.connect_signal_handler(identity, "handoff", tracked("signal"))
    pipeline.add_bus_watch(tracked("watch"))
    pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, tracked("probe-2"))
    gc.collect()
    assert released == [] and pipeline.pending_release_actions == 4
    pipeline.release_resources()
    gc.collect()
    assert released == ["probe-1", "signal", "watch", "probe-2"] and pipeline.pending_release_actions == 0
    pipeline.release_resources()  # nothing left to do
    assert pipeline.pending_release_actions == 0
    pipeline.add_bus_watch(Recorder(result=True))  # the old watch is gone, so the bus takes a new one
    assert pipeline.pending_release_actions == 1


def test_bus_watch_delivers_and_survives_a_failing_callback(pipeline, caplog):
    seen = queue.Queue()

    def watch(bus, message, tag):
        seen.put((bus, message.type, tag))
        raise ValueError("callback failed on purpose")

    with caplog.at_level(logging.ERROR, logger=LOGGER):
        pipeline.add_bus_watch(watch, "tag")
        pipeline.post_error("first")
        pipeline.post_error("second")
        first, second = seen.get(timeout=5), seen.get(timeout=5)
    assert first == (pipeline.get_bus(), Gst.MessageType.ERROR, "tag") and second[1] == Gst.MessageType.ERROR
    assert logged(caplog, logging.ERROR, "callback failed on purpose")
    pipeline.release_resources()
    pipeline.post_error("third")
    time.sleep(0.2)
    assert seen.empty()


@pytest.mark.parametrize("from_thread", [False, True])
def test_post_error(pipeline, caplog, from_thread):
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        if from_thread:
            worker = threading.Thread(target=pipeline.post_error, args=("decoder went away",))
            worker.start()
            worker.join()
        else:
            pipeline.post_error("decoder went away")
    message = pipeline.get_bus().timed_pop_filtered(Gst.SECOND, Gst.MessageType.ERROR)
    assert message is not None and message.src == pipeline.gst_pipeline
    error, debug = message.parse_error()
    assert error.domain == "gst-stream-error-quark" and error.code == Gst.StreamError.FAILED
    assert "decoder went away" in debug
    assert logged(caplog, logging.WARNING, "Posting error to bus: decoder went away")



def test_wait_until_playing_real_pipeline():
    p = vg.Pipeline.from_launch_string("videotestsrc is-live=true ! fakesink", "live")
    try:
        p.set_state(Gst.State.PLAYING)
        p.wait_until_playing(10)
        assert p.get_state(5 * Gst.SECOND)[1] == Gst.State.PLAYING
    finally:
        p.set_state(Gst.State.NULL)


def test_wait_until_playing_returns_at_once_when_playing(pipeline):
    assert pipeline.set_state(Gst.State.PLAYING) == Gst.StateChangeReturn.SUCCESS
    pipeline.post_error("left alone")
    head = pipeline.get_bus().peek().get_seqnum()
    pipeline.wait_until_playing(1)
    assert pipeline.get_bus().peek().get_seqnum() == head  # nothing popped, the error included


def test_wait_until_playing_ends_on_any_element_reaching_playing(pipeline):
    pipeline.set_state(Gst.State.READY)
    child = pipeline.new_element("identity", auto_play=False)
    pipeline.get_bus().post(state_changed(child, Gst.State.READY, Gst.State.PAUSED))
    pipeline.get_bus().post(state_changed(child, Gst.State.PAUSED, Gst.State.PLAYING))
    pipeline.wait_until_playing(5)
    assert state_of(pipeline) == Gst.State.READY


@pytest.mark.parametrize("source", ["custom", "post_error"])
def test_wait_until_playing_raises_bus_error_and_keeps_state(pipeline, source):
    pipeline.set_state(Gst.State.READY)
    if source == "custom":
        error = GLib.Error.new_literal(Gst.resource_error_quark(), "camera unplugged", Gst.ResourceError.NOT_FOUND)
        pipeline.get_bus().post(Gst.Message.new_error(pipeline.gst_pipeline, error, "details"))
    else:
        pipeline.post_error("boom")
    with pytest.raises(StreamSetupError) as info:
        pipeline.wait_until_playing(5)
    assert source != "custom" or str(info.value) == "camera unplugged"
    assert state_of(pipeline) == Gst.State.READY


def test_wait_until_playing_timeout_sets_null(pipeline):
    pipeline.set_state(Gst.State.READY)
    started = time.monotonic()
    with pytest.raises(StreamSetupError, match=TIMEOUT_TO_START):
        pipeline.wait_until_playing(0.3)
    assert time.monotonic() - started < 5 and state_of(pipeline) == Gst.State.NULL


def test_wait_until_playing_limit_is_not_restarted_by_a_late_message(pipeline):
    """A message that is not PLAYING arriving shortly before the limit must not extend the wait."""
    pipeline.set_state(Gst.State.READY)
    late = state_changed(pipeline.new_element("identity", auto_play=False), Gst.State.NULL, Gst.State.READY)
    timer = threading.Timer(1.5, pipeline.get_bus().post, args=(late,))
    started = time.monotonic()
    timer.start()
    try:
        with pytest.raises(StreamSetupError, match=TIMEOUT_TO_START):
            pipeline.wait_until_playing(2.0)
    finally:
        timer.join()
    assert time.monotonic() - started < 3.0


def test_wait_until_playing_zero_timeout_pops_nothing(pipeline):
    pipeline.post_error("still queued")
    with pytest.raises(StreamSetupError, match=TIMEOUT_TO_START):
        pipeline.wait_until_playing(0)
    assert pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR) is not None


def test_wait_until_null(pipeline):
    timeout_to_null = "^Timeout while waiting for stream to reach null state$"
    pipeline.wait_until_null(1)  # already NULL
    with pytest.raises(StreamSetupError, match=timeout_to_null):
        pipeline.wait_until_null(0)  # fails without looking
    pipeline.set_state(Gst.State.READY)
    with pytest.raises(StreamSetupError, match=timeout_to_null):
        pipeline.wait_until_null(0.2)
    timer = threading.Timer(0.2, pipeline.set_state, args=(Gst.State.NULL,))
    timer.start()
    pipeline.wait_until_null(5)
    timer.join()


@pytest.mark.parametrize("wait", ["wait_until_playing", "wait_until_null"])
def test_waits_release_the_gil(pipeline, wait):
    pipeline.set_state(Gst.State.READY)
    stamps, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.01)

    worker = threading.Thread(target=tick)
    worker.start()
    try:
        started = time.monotonic()
        with pytest.raises(StreamSetupError):
            getattr(pipeline, wait)(0.6)
        ended = time.monotonic()
    finally:
        stop.set()
        worker.join()
    assert any(started + 0.1 < t < ended - 0.1 for t in stamps)  # Python ran inside the blocking call



def test_appsink_property(pipeline):
    with pytest.raises(StreamSetupError, match="^The appsink has not been set for this pipeline yet$"):
        pipeline.appsink
    sink = Gst.ElementFactory.make("appsink")
    pipeline.appsink = sink
    assert pipeline.appsink == sink
    with pytest.raises(TypeError):
        pipeline.appsink = "not an element"


@pytest.mark.parametrize("auto_play, state", [(True, Gst.State.PLAYING), (False, Gst.State.NULL)])
@pytest.mark.parametrize("order", [("sleep-time", "datarate", "silent"), ("silent", "datarate", "sleep-time")])
def test_new_element_sets_properties_in_order_then_starts_and_links(pipeline, auto_play, state, order):
    values, notified = {"sleep-time": 3, "datarate": 5, "silent": False}, []
    # The element is in the pipeline before its properties are set, so the pipeline sees each one.
    pipeline.gst_pipeline.connect("deep-notify", lambda _p, obj, pspec: notified.append((pspec.name, state_of(obj))))
    upstream = pipeline.new_element("fakesrc", auto_play=False)
    element = pipeline.new_element("identity", upstream, {name: values[name] for name in order}, auto_play)
    assert element.get_parent() == pipeline.gst_pipeline
    assert [(name, s) for name, s in notified if name in values] == [(name, Gst.State.NULL) for name in order]
    assert all(element.get_property(name) == values[name] for name in order)
    assert state_of(element) == state
    assert upstream.get_static_pad("src").get_peer() == element.get_static_pad("sink")


def test_new_element_link_failure_and_unknown_factory(pipeline):
    audio = pipeline.new_element("audiotestsrc", auto_play=False)
    with pytest.raises(vg.NotLinkedError, match="^Failed to link videoconvert$"):
        pipeline.new_element("videoconvert", audio)
    (convert,) = children_of(pipeline, "videoconvert")
    assert state_of(convert) == Gst.State.PLAYING and not convert.get_static_pad("sink").is_linked()
    assert issubclass(vg.NotLinkedError, Exception)
    with pytest.raises(Exception, match="nosuchfactory"):
        pipeline.new_element("nosuchfactory")
    assert len(children_of(pipeline)) == 2


def test_filter_caps_takes_first_option_that_links(pipeline):
    src = pipeline.new_element("videotestsrc", auto_play=False)
    chosen = pipeline.filter_caps(src, ["audio/x-raw", "video/x-raw,format=I420", "video/x-raw"])
    assert chosen.get_property("caps").is_equal(caps("video/x-raw,format=I420"))
    assert state_of(chosen) == Gst.State.PLAYING
    assert src.get_static_pad("src").get_peer() == chosen.get_static_pad("sink")
    (rejected,) = [f for f in children_of(pipeline, "capsfilter") if f != chosen]  # third option never tried
    assert not rejected.get_static_pad("sink").is_linked()


def test_filter_caps_all_rejected_empty_and_auto_play(pipeline):
    src = pipeline.new_element("videotestsrc", auto_play=False)
    with pytest.raises(vg.NotLinkedError, match="^Failed to link capsfilter$"):
        pipeline.filter_caps(src, ["audio/x-raw", "image/jpeg"])
    assert len(children_of(pipeline, "capsfilter")) == 2
    assert pipeline.filter_caps(src, []) is None
    assert len(children_of(pipeline, "capsfilter")) == 2
    assert state_of(pipeline.filter_caps(src, ["video/x-raw"], auto_play=False)) == Gst.State.NULL



def _stand_in(letter):
    name = f"VantleTestStandIn{letter}"
    cls = type(name, (Gst.Element,), {"__gtype_name__": name})
    cls.set_metadata(f"Stand-in {letter}", "Codec/Decoder/Video", "Accepts a made-up media type", "tests")
    cls.add_pad_template(Gst.PadTemplate.new("sink", Gst.PadDirection.SINK, Gst.PadPresence.ALWAYS, caps(MADE_UP)))
    assert Gst.Element.register(None, name.lower(), Gst.Rank.NONE, cls.__gtype__)
    return Gst.ElementFactory.find(name.lower())


@pytest.fixture(scope="module")
def stand_ins():
    """Two decoder factories for MADE_UP caps; 'a' sorts before 'z' by name, so only ranks decide."""
    factories = {"a": _stand_in("A"), "z": _stand_in("Z")}
    yield factories
    for factory in factories.values():
        factory.set_rank(Gst.Rank.NONE)


@pytest.mark.parametrize("rank_a, rank_z, expected", [
    (Gst.Rank.NONE, Gst.Rank.NONE, None),
    (Gst.Rank.NONE, Gst.Rank.MARGINAL - 1, None),
    (Gst.Rank.MARGINAL, Gst.Rank.NONE, "a"),
    (Gst.Rank.MARGINAL, Gst.Rank.PRIMARY, "z"),
    (Gst.Rank.PRIMARY, Gst.Rank.SECONDARY, "a"),
    (Gst.Rank.NONE, Gst.Rank.PRIMARY, "z"),
])
def test_find_element_factory_by_rank_and_type(stand_ins, rank_a, rank_z, expected):
    stand_ins["a"].set_rank(rank_a)
    stand_ins["z"].set_rank(rank_z)
    if expected is None:
        with pytest.raises(StreamSetupError, match=f"^Could not find compatible element for caps: {MADE_UP}$"):
            vg.find_element_factory(caps(MADE_UP), Gst.ELEMENT_FACTORY_TYPE_DECODER)
    else:
        assert vg.find_element_factory(caps(MADE_UP), Gst.ELEMENT_FACTORY_TYPE_DECODER) == stand_ins[expected]
    with pytest.raises(StreamSetupError):  # a decoder is no depayloader
        vg.find_element_factory(caps(MADE_UP), Gst.ELEMENT_FACTORY_TYPE_DEPAYLOADER)


@pytest.mark.parametrize("caps_text", [H264_RTP, H264_RTP + ",payload=96"])
def test_find_h264_depayloader(caps_text):
    depayloader = Gst.ELEMENT_FACTORY_TYPE_DEPAYLOADER
    assert vg.find_element_factory(caps(caps_text), depayloader).get_name() == "rtph264depay"
    element = vg.find_element(caps(caps_text), depayloader)
    assert element.get_factory().get_name() == "rtph264depay" and element.get_parent() is None
    for find in (vg.find_element_factory, vg.find_element):
        with pytest.raises(ValueError, match="^Caps must not be None when finding an element$"):
            find(None, depayloader)



@pytest.mark.parametrize("field, expected", [
    (",framerate=30/1", 30.0), (",framerate=30000/1001", 30000 / 1001), (",framerate=0/1", 0.0),
    (",framerate=(fraction)[1/1,30/1]", None), (",framerate=(fraction){25/1,30/1}", None),
    (",framerate=(int)30", None), ("", None),
])
def test_framerate_from_structure(field, expected):
    structure = Gst.Structure.new_from_string("video/x-raw" + field)
    if expected is None:
        with pytest.raises(RuntimeError, match="^Unsupported framerate format. This should have been taken care of by"):
            vg.framerate_from_structure(structure)
    else:
        assert vg.framerate_from_structure(structure) == pytest.approx(expected)


def test_framerate_from_structure_takes_what_caps_hand_out():
    # A Gst.Structure, or with GStreamer's own Python overrides (python3-gst-1.0, 1.26 on Debian 13)
    # a StructureWrapper, the context manager around one that keeps the caps alive until it exits.
    video_caps = Gst.Caps.from_string("video/x-raw,width=8,framerate=25/1")
    handed = video_caps.get_structure(0)
    assert vg.framerate_from_structure(handed) == 25.0
    if hasattr(handed, "__enter__"):
        with video_caps.get_structure(0) as structure:
            assert vg.framerate_from_structure(structure) == 25.0


WRONG_ARGUMENTS = {
    "str for a structure": (vg.framerate_from_structure, lambda: "video/x-raw,framerate=25/1",
                            "^structure must be a GstStructure or the StructureWrapper that holds one, not str$"),
    "None for a structure": (vg.framerate_from_structure, lambda: None, "^structure must be a GstStructure or .*, not None$"),
    "caps for a structure": (vg.framerate_from_structure, lambda: caps("video/x-raw"), "^structure must be a .*, not .*Caps$"),
    # Only GStreamer's wrapper is entered, never another context manager.
    "another context manager": (vg.framerate_from_structure,
                                lambda: contextlib.nullcontext(Gst.Structure.new_from_string("video/x-raw,framerate=1/1")),
                                "^structure must be a .*, not .*nullcontext$"),
    "structure for caps": (vg.find_element_factory, lambda: Gst.Structure.new_from_string("video/x-raw"),
                           "^caps must be a GstCaps, not .*Structure$"),
    "element for a pad": (vg.is_video_pad, lambda: Gst.ElementFactory.make("fakesrc"), "^pad must be a GstPad, not .*FakeSrc$"),
}


@pytest.mark.parametrize("case", WRONG_ARGUMENTS)
def test_wrong_gstreamer_arguments_raise_type_error(case):
    function, argument, message = WRONG_ARGUMENTS[case]
    extra = (Gst.ELEMENT_FACTORY_TYPE_DECODER,) if function is vg.find_element_factory else ()
    with pytest.raises(TypeError, match=message):
        function(argument(), *extra)


@pytest.mark.parametrize("helper, caps_text, expected", [
    (vg.is_video_pad, "video/x-raw,format=BGR", True),
    (vg.is_video_pad, "video/x-h264,stream-format=byte-stream", True),
    (vg.is_video_pad, "audio/mpeg,mpegversion=4", False),
    (vg.is_video_pad, "image/jpeg", False),
    (vg.is_video_pad, "application/x-rtp,media=video", False),
    (vg.is_video_pad, None, "^Pad has no caps$"),
    (vg.is_rtp_audio_pad, "application/x-rtp,media=audio,clock-rate=8000", True),
    (vg.is_rtp_audio_pad, "application/x-rtp,media=video,clock-rate=90000", False),
    (vg.is_rtp_audio_pad, None, "^Demuxer pad has no caps$"),
])
def test_pad_media_helpers(helper, caps_text, expected):
    pad = pad_with_caps(caps_text)
    if isinstance(expected, str):
        with pytest.raises(RuntimeError, match=expected):
            helper(pad)
    else:
        assert helper(pad) is expected


def test_pad_to_string():
    text = vg.pad_to_string(Gst.Pad.new("lonely", Gst.PadDirection.SRC))
    for part in ("lonely", "current_caps=None", "allowed_caps=None", "direction=src", "linked=False"):
        assert part in text
    bin_, src, sink = Gst.Bin.new(), Gst.ElementFactory.make("videotestsrc", "cam"), Gst.ElementFactory.make("fakesink")
    bin_.add(src)
    bin_.add(sink)
    assert src.link(sink)
    linked = vg.pad_to_string(src.get_static_pad("src"))
    assert "cam:src" in linked and "linked=True" in linked and "allowed_caps=video/x-raw" in linked
