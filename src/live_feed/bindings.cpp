// Python surface of vantle.live_feed: the module and the LiveFeed class. Frames, frame waits and
// stats have binding files of their own (frame_bindings, waiting_bindings, stats_bindings).

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <atomic>
#include <cmath>
#include <optional>

#include "runtime/interruptible_wait.hpp"
#include "live_feed/clip_bindings.hpp"
#include "live_feed/arguments.hpp"
#include "live_feed/exit_stop.hpp"
#include "live_feed/frame_bindings.hpp"
#include "live_feed/live_feed.hpp"
#include "live_feed/stats_bindings.hpp"
#include "live_feed/waiting_bindings.hpp"
#include "runtime/python_bridge.hpp"
#include "runtime/without_gil.hpp"
#include "utils/stub_names.hpp"

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

void set_retry_policy(vantle::LiveFeedOptions& options, double first, double cap) {
    if (!std::isfinite(first) || !std::isfinite(cap) || first <= 0 || cap < first) {
        throw nb::value_error("retry_interval and max_retry_interval must be finite seconds with "
                              "0 < retry_interval <= max_retry_interval");
    }
    options.retry_interval = first;
    options.max_retry_interval = cap;
}

// The module's timeouts are native values behind properties of the module's own type: setting
// vantle.live_feed._STATE_CHANGE_TIMEOUT changes what the next LiveFeed() reads, and LiveFeed()
// looks nothing up in Python for it.
void define_timeout_settings(nb::module_& m) {
    nb::handle property(reinterpret_cast<PyObject*>(&PyProperty_Type));
    nb::dict members;
    auto add = [&](const char* name, std::atomic<double>& seconds, const char* doc) {
        members[name] = property(nb::cpp_function([&seconds](nb::handle) { return seconds.load(); }),
                                 nb::cpp_function([&seconds](nb::handle, double value) { seconds.store(value); }),
                                 nb::none(), doc);
    };
    add("_STATE_CHANGE_TIMEOUT", vantle::live_feed_arguments::state_change_timeout,
        "Seconds a new reader allows its pipeline to start playing, and to stop.");
    add("_FRAME_TIMEOUT", vantle::live_feed_arguments::frame_timeout,
        "Seconds without a frame after which a new reader rebuilds its pipeline.");
    members["__module__"] = "vantle.live_feed";
    nb::handle module_type(reinterpret_cast<PyObject*>(&PyModule_Type));
    nb::handle type_type(reinterpret_cast<PyObject*>(&PyType_Type));
    m.attr("__class__") = type_type("LiveFeedModule", nb::make_tuple(module_type), members);
}

}  // namespace

NB_MODULE(live_feed, m) {
    nb::set_leak_warnings(false);
    for (const char* dependency : {"vantle.logger", "vantle.loop_host", "vantle.feed_contract", "vantle.utils.timing",
                                   "vantle.utils.gstreamer", "vantle.builders"}) {
        nb::module_::import_(dependency);
    }
    m.doc() = "LiveFeed: one live stream, its newest BGR frame, its status and its supervision.";
    define_timeout_settings(m);
    vantle::live_feed_arguments::prepare();

    nb::object feed_contract = nb::module_::import_("vantle.feed_contract");

    vantle::define_frame(m);

    nb::class_<LiveFeed> cls(
        m, "LiveFeed", nb::dynamic_attr(), nb::sig("class LiveFeed(vantle.feed_contract.StreamReader)"),
        "Reads one live stream (rtsp, http, https, or a custom launch string with a '{url}' portion), keeps its "
        "newest frame with the wall-clock receive time, and rebuilds its pipeline after errors, end of stream, a "
        "start that never comes, or a stall.");
    cls.attr("_SUPPORTED_RUNTIME_OPTIONS") = vantle::live_feed_arguments::supported_runtime_options();
    cls.def(nb::new_([](nb::handle url, nb::handle latency, nb::handle runtime_options, nb::handle pipeline_str,
                        nb::handle must_play, nb::handle proxied, double retry_interval, double max_retry_interval,
                        int history, std::optional<double> keep_encoded) {
                auto [checked_url, options] = vantle::live_feed_arguments::check(url, latency, runtime_options,
                                                                                 pipeline_str, must_play, proxied);
                if (history < 0) throw nb::value_error("history must be 0 or more frames");
                options.history = static_cast<std::size_t>(history);
                if (keep_encoded && !(*keep_encoded >= 0)) throw nb::value_error("keep_encoded is seconds, 0 or more");
                options.keep_encoded = keep_encoded.value_or(0);
                set_retry_policy(options, retry_interval, max_retry_interval);
                vantle::WithoutGil released;
                auto feed = LiveFeed::open(checked_url, options);
                vantle::exit_stop::track(feed);
                return feed;
            }),
            // Every argument arrives as it is (None too): the check names the one that is wrong.
            "url"_a.none(), nb::kw_only(), "latency"_a.none() = vantle::kDefaultLatency,
            "runtime_options"_a.none() = nb::none(), "pipeline_str"_a.none() = nb::none(), "must_play"_a.none() = false,
            "proxied"_a.none() = false, "retry_interval"_a = vantle::kDefaultRetryInterval,
            "max_retry_interval"_a = vantle::kDefaultMaxRetryInterval, "history"_a = 0, "keep_encoded"_a = nb::none())
        .def_prop_rw(
            "status",
            [](const LiveFeed& feed) -> vantle::stub::Object<vantle::stub::StreamStatus> {
                return status_type()(std::string(vantle::status_text(feed.status())));
            },
            [](LiveFeed& feed, vantle::stub::Handle<vantle::stub::StreamStatus> value) {
                feed.set_status(status_from_python(value));
            },
            "The reader's current StreamStatus.")
        .def_prop_ro(
            "latest_frame", [](LiveFeed& feed) -> vantle::stub::Object<vantle::stub::Frame> { return vantle::latest_frame(feed); },
            "(receive time, frame) of the newest frame, or None before the first: the frame is a read-only uint8 "
            "array of shape (height, width, 3) in blue-green-red order.")
        .def_prop_ro("frame_number", &LiveFeed::frame_number,
                     "Number of the newest stored frame: 0 before the first; numbers go on across rebuilds.")
        .def_prop_ro("new_frame_event", &LiveFeed::new_frame_event, "Set whenever a new frame is available.")
        .def_prop_ro("new_status_event", &LiveFeed::new_status_event, "Set whenever the status changes.")
        .def(
            "set_runtime_option_vals",
            [](LiveFeed& feed, vantle::stub::Handle<vantle::stub::Options> runtime_options) {
                nb::object options = vantle::live_feed_arguments::checked_runtime_options(runtime_options);
                if (nb::cast<bool>(options.attr("__contains__")("keyframes_only"))) {
                    feed.set_keyframes_only(nb::cast<bool>(options["keyframes_only"]));
                }
            },
            "runtime_options"_a.none(), "Sets the runtime options for this stream reader.")
        .def("close", &LiveFeed::close, nb::call_guard<vantle::WithoutGil>(),
             "Closes the reader at once: from now on it stores no frame and its status reads CLOSED; the supervision "
             "thread takes the pipeline down behind it (wait_until_closed() waits for that).")
        .def(
            "wait_until_closed",
            [](LiveFeed& feed) {
                vantle::WithoutGil released;
                feed.wait_until_closed([](const vantle::BackgroundThread& thread) {
                    vantle::python::TakenGil gil;
                    vantle::python::interruptible_wait(std::nullopt,
                                                       [&](double slice) { return thread.join_for(slice); });
                });
            },
            "Blocks until the stream reader is done closing.")
        .def("__enter__", [](nb::handle self) -> vantle::stub::Object<vantle::stub::Self> { return nb::borrow(self); })
        .def(
            "__exit__",
            [](LiveFeed& feed, nb::args) {
                vantle::WithoutGil released;
                feed.wait_until_closed();
            },
            "Closes the reader and waits until it is done.")
        .def("__repr__", [](const LiveFeed& feed) {
            return "<LiveFeed url='" + vantle::logging::redact_url(feed.url()) + "' status=" +
                   std::string(vantle::status_text(feed.status())) + ">";
        });

    vantle::define_frame_waiting(m, cls);
    vantle::define_stats(cls);
    vantle::define_clips(m, cls);
    feed_contract.attr("StreamReader").attr("register")(cls);

    // Registered after vantle.logger's exit hook, so it runs before it: the readers' threads may
    // still log while their pipelines stop.
    m.def("_stop_open_readers", [] {
        vantle::WithoutGil released;
        vantle::exit_stop::stop_open_readers(vantle::exit_stop::kExitStopSeconds);
    });
    nb::module_::import_("atexit").attr("register")(m.attr("_stop_open_readers"));
    m.def("_forget_readers_after_fork", &vantle::exit_stop::forget_all);
    nb::module_::import_("os").attr("register_at_fork")("after_in_child"_a = m.attr("_forget_readers_after_fork"));
}
