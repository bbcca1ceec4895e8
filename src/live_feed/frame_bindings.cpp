// Python surface of frames: latest_frame's (receive time, array) and the Frame class.

#include "live_feed/frame_bindings.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "runtime/without_gil.hpp"
#include "utils/timing/timeout.hpp"

namespace nb = nanobind;

namespace vantle {
namespace {

// latest_frame: (receive time, array) of the newest frame. Every read of one record returns the
// same tuple and array: the last one built is cached on the Python reader object (where it is
// only touched with the GIL held), keyed by the record it views. The array keeps its record
// alive, so a cached key never names a newer record.
constexpr const char* kFrameCache = "_frame_view";

bool caches(nb::handle cached, std::uintptr_t key) {
    return !cached.is_none() && nb::cast<std::uintptr_t>(nb::tuple(nb::borrow(cached))[0]) == key;
}

}  // namespace

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

nb::object latest_frame(nb::handle self) {
    std::shared_ptr<const vantle::FrameRecord> record = nb::cast<const LiveFeed&>(self).latest_frame();
    if (!record) return nb::none();
    const auto key = reinterpret_cast<std::uintptr_t>(record.get());
    nb::object cached = nb::getattr(self, kFrameCache, nb::none());
    if (caches(cached, key)) return cached[1];
    nb::object array = frame_array(record);
    // Another thread may have built the view while this one waited for the conversion.
    cached = nb::getattr(self, kFrameCache, nb::none());
    if (caches(cached, key)) return cached[1];
    nb::object frame = nb::make_tuple(record->received_at, array);
    nb::setattr(self, kFrameCache, nb::make_tuple(key, frame));
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
            "captured_at", [](const Frame& frame) { return nb::cast(frame.record->captured_at); },
            "Wall-clock time (seconds since the epoch) when the sender took the picture, by the sender's clock as "
            "its RTCP sender reports (or RFC 7273 clock) tell; None until the first report, and for sources "
            "without one.")
        .def_prop_ro(
            "image",
            [](Frame& frame) {
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
