// Python surface of frames: latest_frame's (receive time, array) and the Frame class.

#include "live_feed/frame_bindings.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "runtime/python_bridge.hpp"
#include "runtime/without_gil.hpp"
#include "utils/stub_names.hpp"
#include "utils/timing/timeout.hpp"

namespace nb = nanobind;

namespace vantle {

nb::object frame_array(const std::shared_ptr<const vantle::FrameRecord>& record) {
    if (!record->converted()) {
        vantle::WithoutGil released;
        record->pixels();
    }
    auto* owner = new std::shared_ptr<const vantle::FrameRecord>(record);
    nb::capsule keep_alive(owner, [](void* p) noexcept { delete static_cast<std::shared_ptr<const vantle::FrameRecord>*>(p); });
    const std::size_t shape[3] = {static_cast<std::size_t>(record->height), static_cast<std::size_t>(record->width), 3};
    nb::ndarray<nb::numpy, const std::uint8_t, nb::ndim<3>, nb::c_contig> array(record->pixels(), 3, shape,
                                                                                 keep_alive);
    return array.cast();
}

nb::object latest_frame(LiveFeed& feed) {
    std::shared_ptr<const FrameRecord> record = feed.latest_frame();
    if (!record) return nb::none();
    auto cached = [&] {
        const auto& view = feed.frame_view();
        return view && view->record == record.get() ? *view->frame : nb::object();
    };
    if (nb::object frame = cached(); frame.is_valid()) return frame;
    nb::object array = frame_array(record);
    // Another thread may have built the view while this one waited for the conversion.
    if (nb::object frame = cached(); frame.is_valid()) return frame;
    nb::object frame = nb::make_tuple(record->received_at, array);
    feed.frame_view() = std::make_shared<python::FrameView>(python::FrameView{record.get(), python::hold(frame)});
    return frame;
}

nb::object frame_or_none(std::shared_ptr<const vantle::FrameRecord> record) {
    if (!record) return nb::none();
    return nb::cast(Frame{std::move(record), nb::object()});
}

void define_frame(nb::module_& m) {
    nb::class_<Frame>(m, "Frame", "One stored frame of a reader: its number, receive time and BGR pixels.")
        .def_prop_ro(
            "number", [](const Frame& frame) { return frame.record->number; },
            "The reader's count of stored frames when this one was stored (1 for the first).")
        .def_prop_ro(
            "received_at", [](const Frame& frame) { return frame.record->received_at; },
            "Wall-clock time (seconds since the epoch) when the frame was received.")
        .def_prop_ro(
            "captured_at",
            [](const Frame& frame) -> nb::typed<nb::object, std::optional<double>> {
                return nb::cast(frame.record->captured_at);
            },
            "Wall-clock time (seconds since the epoch) when the sender took the picture, by the sender's clock as "
            "its RTCP sender reports (or RFC 7273 clock) tell; None until the first report, and for sources "
            "without one.")
        .def_prop_ro(
            "image",
            [](Frame& frame) -> stub::Object<stub::Image> {
                if (!frame.image.is_valid()) frame.image = frame_array(frame.record);
                return frame.image;
            },
            "Read-only uint8 array of shape (height, width, 3), blue-green-red: the pixels latest_frame gives "
            "(converted on the first read of either).")
        .def_prop_ro(
            "age", [](const Frame& frame) { return vantle::monotonic_seconds() - frame.record->received_monotonic; },
            "Seconds since the frame was received, as of this read.")
        .def("__repr__", [](const Frame& frame) {
            return "<Frame number=" + std::to_string(frame.record->number) + " " +
                   std::to_string(frame.record->width) + "x" + std::to_string(frame.record->height) + ">";
        });
}

}  // namespace vantle
