// Python surface of vantle.live_feed. Frames reach Python as read-only numpy views of the
// native frame record; nothing on the frame path takes the GIL.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <optional>

#include "feed_contract/interruptible_wait.hpp"
#include "live_feed/live_feed.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using vantle::LiveFeed;
using vantle::StreamStatus;

namespace {

nb::object status_type() { return nb::module_::import_("vantle.feed_contract").attr("StreamStatus"); }

StreamStatus status_from_python(nb::handle value) {
    nb::object member = status_type()(value);
    const std::string text = nb::cast<std::string>(member.attr("value"));
    for (auto status : {StreamStatus::Initializing, StreamStatus::Streaming, StreamStatus::Halted, StreamStatus::Closed}) {
        if (vantle::status_text(status) == text) return status;
    }
    throw nb::value_error("unknown stream status");
}

// The newest frame as (receive time, read-only numpy array). Every read of one record returns the
// same tuple and array: the last one built is cached on the Python reader object (where it is
// only touched with the GIL held), keyed by the record it views. The array borrows the record's
// pixels and keeps the record alive, so a cached key never names a newer record.
constexpr const char* kFrameCache = "_frame_view";

bool caches(nb::handle cached, std::uintptr_t key) {
    return !cached.is_none() && nb::cast<std::uintptr_t>(nb::tuple(nb::borrow(cached))[0]) == key;
}

nb::object latest_frame(nb::handle self) {
    const LiveFeed& feed = nb::cast<const LiveFeed&>(self);
    std::shared_ptr<const vantle::FrameRecord> record = feed.latest_frame();
    if (!record) return nb::none();
    const auto key = reinterpret_cast<std::uintptr_t>(record.get());
    nb::object cached = nb::getattr(self, kFrameCache, nb::none());
    if (caches(cached, key)) return cached[1];

    if (!record->converted()) {
        nb::gil_scoped_release release;
        record->pixels();
        // Another thread may have built the view while this one waited for the conversion.
    }
    cached = nb::getattr(self, kFrameCache, nb::none());
    if (caches(cached, key)) return cached[1];

    auto* owner = new std::shared_ptr<const vantle::FrameRecord>(record);
    nb::capsule keep_alive(owner, [](void* p) noexcept { delete static_cast<std::shared_ptr<const vantle::FrameRecord>*>(p); });
    const std::size_t shape[3] = {static_cast<std::size_t>(record->height), static_cast<std::size_t>(record->width), 3};
    nb::ndarray<nb::numpy, const std::uint8_t, nb::ndim<3>, nb::c_contig> array(record->pixels(), 3, shape,
                                                                                 keep_alive);
    nb::object frame = nb::make_tuple(record->received_at, array.cast());
    nb::setattr(self, kFrameCache, nb::make_tuple(key, frame));
    return frame;
}

double module_number(const char* name) {
    return nb::cast<double>(nb::module_::import_("vantle.live_feed").attr(name));
}

}  // namespace

NB_MODULE(live_feed, m) {
    nb::set_leak_warnings(false);
    for (const char* dependency : {"vantle.logger", "vantle.loop_host", "vantle.feed_contract", "vantle.utils.timing",
                                   "vantle.utils.gstreamer", "vantle.builders"}) {
        nb::module_::import_(dependency);
    }
    m.doc() = "LiveFeed: one live stream, its newest BGR frame, its status and its supervision.";
    m.attr("_STATE_CHANGE_TIMEOUT") = 30;
    m.attr("_FRAME_TIMEOUT") = 120;

    nb::object feed_contract = nb::module_::import_("vantle.feed_contract");
    nb::dict supported_options;
    supported_options["keyframes_only"] = nb::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));

    nb::class_<LiveFeed> cls(
        m, "LiveFeed", nb::dynamic_attr(),
        "Reads one live stream (rtsp, http, https, or a custom launch string with a '{url}' portion), keeps its "
        "newest frame with the wall-clock receive time, and rebuilds its pipeline after errors, end of stream, a "
        "start that never comes, or a stall.");
    cls.attr("_SUPPORTED_RUNTIME_OPTIONS") = supported_options;
    cls.def(nb::new_([](const std::string& url, int latency, nb::dict runtime_options,
                        std::optional<std::string> pipeline_str, bool must_play, bool proxied) {
                nb::module_::import_("vantle.feed_contract")
                    .attr("check_runtime_options")(runtime_options,
                                                   nb::type<LiveFeed>().attr("_SUPPORTED_RUNTIME_OPTIONS"));
                vantle::LiveFeedOptions options;
                options.latency = latency;
                if (runtime_options.contains("keyframes_only")) {
                    options.keyframes_only = nb::cast<bool>(runtime_options["keyframes_only"]);
                }
                options.pipeline_str = std::move(pipeline_str);
                options.must_play = must_play;
                options.proxied = proxied;
                options.state_change_timeout = module_number("_STATE_CHANGE_TIMEOUT");
                options.frame_timeout = module_number("_FRAME_TIMEOUT");
                nb::gil_scoped_release release;
                return LiveFeed::open(url, options);
            }),
            "url"_a, nb::kw_only(), "latency"_a = vantle::kDefaultLatency, "runtime_options"_a,
            "pipeline_str"_a = nb::none(), "must_play"_a = false, "proxied"_a = false)
        .def_prop_rw(
            "status", [](const LiveFeed& feed) { return status_type()(std::string(vantle::status_text(feed.status()))); },
            [](LiveFeed& feed, nb::handle value) { feed.set_status(status_from_python(value)); },
            "The reader's current StreamStatus.")
        .def_prop_ro(
            "latest_frame", &latest_frame,
            "(receive time, frame) of the newest frame, or None before the first: the frame is a read-only uint8 "
            "array of shape (height, width, 3) in blue-green-red order.")
        .def_prop_ro("_frames_converted", &LiveFeed::frames_converted,
                     "How many frames this reader converted to BGR: a frame never read is never converted, unless "
                     "its decoder's buffers are too scarce to hold.")
        .def_prop_ro("new_frame_event", &LiveFeed::new_frame_event, "Set whenever a new frame is available.")
        .def_prop_ro("new_status_event", &LiveFeed::new_status_event, "Set whenever the status changes.")
        .def(
            "set_runtime_option_vals",
            [](LiveFeed& feed, nb::dict runtime_options) {
                nb::module_::import_("vantle.feed_contract")
                    .attr("check_runtime_options")(runtime_options,
                                                   nb::type<LiveFeed>().attr("_SUPPORTED_RUNTIME_OPTIONS"));
                if (runtime_options.contains("keyframes_only")) {
                    feed.set_keyframes_only(nb::cast<bool>(runtime_options["keyframes_only"]));
                }
            },
            "runtime_options"_a, "Sets the runtime options for this stream reader.")
        .def("close", &LiveFeed::close, nb::call_guard<nb::gil_scoped_release>(),
             "Sends a close request to the stream reader.")
        .def(
            "wait_until_closed",
            [](LiveFeed& feed) {
                nb::gil_scoped_release release;
                feed.wait_until_closed([](const vantle::BackgroundThread& thread) {
                    nb::gil_scoped_acquire gil;
                    vantle::python::interruptible_wait(std::nullopt,
                                                       [&](double slice) { return thread.join_for(slice); });
                });
            },
            "Blocks until the stream reader is done closing.")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
        .def(
            "__exit__",
            [](LiveFeed& feed, nb::args) {
                nb::gil_scoped_release release;
                feed.wait_until_closed();
            },
            "Closes the reader and waits until it is done.")
        .def("__repr__", [](const LiveFeed& feed) {
            return "<LiveFeed url='" + vantle::logging::redact_url(feed.url()) + "' status=" +
                   std::string(vantle::status_text(feed.status())) + ">";
        });

    feed_contract.attr("StreamReader").attr("register")(cls);
}
