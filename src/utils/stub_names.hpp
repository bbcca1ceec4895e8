// Python names of what the bindings take or return as plain Python objects (PyGObject instances,
// callables, the typing aliases of the modules), for the type stubs that are generated from the
// bindings: nb::typed<nb::handle, vantle::stub::GstElement> converts like nb::handle and reads
// as gi.repository.Gst.Element in a signature.

#pragma once

#include <nanobind/nanobind.h>

#define VANTLE_STUB_NAME(tag, python_name)                                                  \
    namespace vantle::stub {                                                                 \
    struct tag;                                                                              \
    }                                                                                        \
    template <>                                                                              \
    struct nanobind::detail::type_caster<vantle::stub::tag> {                                \
        static constexpr auto Name = nanobind::detail::const_name(python_name);              \
    };

VANTLE_STUB_NAME(Any, "typing.Any")
VANTLE_STUB_NAME(Self, "typing.Self")
VANTLE_STUB_NAME(Logger, "logging.Logger")
VANTLE_STUB_NAME(GObject, "gi.repository.GObject.Object")
VANTLE_STUB_NAME(GstElement, "gi.repository.Gst.Element")
VANTLE_STUB_NAME(GstElementOrNone, "gi.repository.Gst.Element | None")
VANTLE_STUB_NAME(GstElementFactory, "gi.repository.Gst.ElementFactory")
VANTLE_STUB_NAME(GstPipeline, "gi.repository.Gst.Pipeline")
VANTLE_STUB_NAME(GstPad, "gi.repository.Gst.Pad")
VANTLE_STUB_NAME(GstPadProbeType, "gi.repository.Gst.PadProbeType")
VANTLE_STUB_NAME(GstCaps, "gi.repository.Gst.Caps")
VANTLE_STUB_NAME(GstStructure, "gi.repository.Gst.Structure")
VANTLE_STUB_NAME(Callback, "collections.abc.Callable[..., typing.Any]")
VANTLE_STUB_NAME(BusWatch, "collections.abc.Callable[..., bool]")
VANTLE_STUB_NAME(PadProbe, "collections.abc.Callable[..., gi.repository.Gst.PadProbeReturn]")
VANTLE_STUB_NAME(WakeUp, "collections.abc.Callable[[], typing.Any]")
VANTLE_STUB_NAME(OnNewSample, "vantle.builders._ON_NEW_SAMPLE")
VANTLE_STUB_NAME(PipelineWatcher, "vantle.builders._PIPELINE_WATCHER")
VANTLE_STUB_NAME(BufferProbe, "vantle.builders._BUFFER_PROBE")
VANTLE_STUB_NAME(Options, "collections.abc.Mapping[str, typing.Any]")
VANTLE_STUB_NAME(OptionTypes, "collections.abc.Mapping[str, type]")
VANTLE_STUB_NAME(FiguresOrNone, "dict[str, typing.Any] | None")
VANTLE_STUB_NAME(Number, "int | float")
VANTLE_STUB_NAME(Path, "str | os.PathLike[str]")
VANTLE_STUB_NAME(StreamStatus, "vantle.feed_contract.StreamStatus")
VANTLE_STUB_NAME(Frame, "vantle.feed_contract.FRAME")
VANTLE_STUB_NAME(StatusValue, "vantle.feed_contract.StreamStatus | str")
VANTLE_STUB_NAME(Image, "numpy.typing.NDArray[numpy.uint8]")
VANTLE_STUB_NAME(SeenFrames, "collections.abc.Mapping[vantle.live_feed.LiveFeed, int]")
VANTLE_STUB_NAME(Feeds, "collections.abc.Iterable[vantle.live_feed.LiveFeed]")
VANTLE_STUB_NAME(AlignedFrames, "dict[vantle.live_feed.LiveFeed, vantle.live_feed.Frame] | None")
VANTLE_STUB_NAME(AlignedLater, "collections.abc.Coroutine[typing.Any, typing.Any, "
                               "dict[vantle.live_feed.LiveFeed, vantle.live_feed.Frame] | None]")
VANTLE_STUB_NAME(FrameLater, "collections.abc.Coroutine[typing.Any, typing.Any, vantle.live_feed.Frame | None]")
VANTLE_STUB_NAME(FrameStream, "collections.abc.AsyncIterator[vantle.live_feed.Frame]")
VANTLE_STUB_NAME(ClipLater, "collections.abc.Generator[typing.Any, None, vantle.live_feed.Clip]")

#undef VANTLE_STUB_NAME

namespace vantle::stub {
// A Python object that the stubs call `Name`: an argument, or a result.
template <class Name>
using Handle = nanobind::typed<nanobind::handle, Name>;
template <class Name>
using Object = nanobind::typed<nanobind::object, Name>;
}  // namespace vantle::stub
