#pragma once

// Frames as Python sees them: read-only numpy views of the native frame record, made without
// the GIL.

#include <nanobind/nanobind.h>

#include <memory>

#include "live_feed/live_feed.hpp"

namespace vantle {

// One stored frame as Python sees it: its number, receive time and pixels.
struct Frame {
    std::shared_ptr<const FrameRecord> record;
    nanobind::object image;  // made on first read, then the same array every time
};

// A read-only numpy view of the record's BGR pixels that keeps the record alive for as long as it
// lives. Converts the record first if no one has yet, without the GIL.
nanobind::object frame_array(const std::shared_ptr<const FrameRecord>& record);

// A Frame for the record; None for none.
nanobind::object frame_or_none(std::shared_ptr<const FrameRecord> record);

namespace python {
// latest_frame's answer for one record, (receive time, array): every read of that record returns
// the same tuple and array. The array keeps its record alive, so `record` never names a newer
// one. Nothing in the tuple refers to a reader, so the cache closes no reference cycle that the
// garbage collector would have to see. `frame` goes with the GIL on whichever thread drops it.
struct FrameView {
    const FrameRecord* record;
    std::shared_ptr<nanobind::object> frame;
};
}  // namespace python

// LiveFeed.latest_frame: (receive time, array) of the newest frame, or None before the first.
nanobind::object latest_frame(LiveFeed& feed);

// Adds the Frame class to the module.
void define_frame(nanobind::module_& m);

}  // namespace vantle
