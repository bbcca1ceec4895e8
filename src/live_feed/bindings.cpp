// Python surface of vantle.live_feed. Frames reach Python as read-only numpy views of the
// native frame record; nothing on the frame path takes the GIL.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <nanobind/stl/vector.h>

#include <cmath>
#include <optional>

#include "runtime/interruptible_wait.hpp"
#include "live_feed/frame_history.hpp"
#include "live_feed/clip_bindings.hpp"
#include "live_feed/arguments.hpp"
#include "live_feed/exit_stop.hpp"
#include "live_feed/live_feed.hpp"
#include "runtime/python_bridge.hpp"
#include "runtime/without_gil.hpp"
#include "utils/stub_names.hpp"
#include "utils/timing/timeout.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using vantle::LiveFeed;
using vantle::StreamStatus;
namespace stub = vantle::stub;

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

// A read-only numpy view of the record's BGR pixels that keeps the record alive for as long as it
// lives. Converts the record first if no one has yet, without the GIL.
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

// latest_frame: (receive time, array) of the newest frame. Every read of one record returns the
// same tuple and array: the last one built is cached on the Python reader object (where it is
// only touched with the GIL held), keyed by the record it views. The array keeps its record
// alive, so a cached key never names a newer record.
constexpr const char* kFrameCache = "_frame_view";

bool caches(nb::handle cached, std::uintptr_t key) {
    return !cached.is_none() && nb::cast<std::uintptr_t>(nb::tuple(nb::borrow(cached))[0]) == key;
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

// One stored frame as Python sees it: its number, receive time and pixels.
struct Frame {
    std::shared_ptr<const vantle::FrameRecord> record;
    nb::object image;  // made on first read, then the same array every time
};

nb::object frame_or_none(std::shared_ptr<const vantle::FrameRecord> record) {
    if (!record) return nb::none();
    return nb::cast(Frame{std::move(record), nb::object()});
}

// A watcher registration that ends with its scope.
class Watching {
public:
    Watching(LiveFeed& feed, std::shared_ptr<vantle::FrameWatcher> watcher, bool reads_image = true)
        : feed_(&feed), id_(feed.frame_watchers().add(std::move(watcher), reads_image)) {}
    Watching(Watching&& other) noexcept : feed_(std::exchange(other.feed_, nullptr)), id_(other.id_) {}
    Watching(const Watching&) = delete;
    Watching& operator=(const Watching&) = delete;
    ~Watching() {
        if (feed_) feed_->frame_watchers().remove(id_);
    }

private:
    LiveFeed* feed_;
    vantle::FrameWatchers::Id id_;
};

std::shared_ptr<const vantle::FrameRecord> wait_for_frame(LiveFeed& feed, std::uint64_t after,
                                                          std::optional<double> timeout) {
    if (auto frame = feed.frame_after(after)) return frame;
    if (feed.closing()) return nullptr;
    auto waiter = std::make_shared<vantle::FrameWaiter>();
    Watching watching(feed, waiter);
    auto ready = [&] { return feed.frame_number() > after || feed.closing(); };
    vantle::python::interruptible_wait(timeout, [&](double slice) {
        if (ready()) return true;
        waiter->wait_for(slice);
        return ready();
    });
    return feed.frame_after(after);
}

// The readers of `pending` (reader -> last seen frame number) that have a newer frame; waits
// for one with a single waiter registered with all of them. [] at once when all are closed.
nb::typed<nb::list, LiveFeed> wait_any(stub::Handle<stub::SeenFrames> pending, std::optional<double> timeout) {
    struct Entry {
        nb::object key;
        LiveFeed* feed;
        std::uint64_t after;
    };
    std::vector<Entry> entries;
    for (nb::handle item : pending.attr("items")()) {
        nb::object key = nb::borrow(item[0]);
        if (!nb::isinstance<LiveFeed>(key)) throw nb::type_error("wait_any() waits for LiveFeed readers only");
        entries.push_back({key, &nb::cast<LiveFeed&>(key), nb::cast<std::uint64_t>(item[1])});
    }
    auto newer = [](const Entry& entry) { return entry.feed->frame_number() > entry.after; };
    auto ready = [&] {
        bool all_closed = true;
        for (const auto& entry : entries) {
            if (newer(entry)) return true;
            all_closed = all_closed && entry.feed->closing();
        }
        return all_closed;
    };
    if (!ready()) {
        auto waiter = std::make_shared<vantle::FrameWaiter>();
        std::vector<Watching> watching;
        watching.reserve(entries.size());
        for (const auto& entry : entries) watching.emplace_back(*entry.feed, waiter);
        vantle::python::interruptible_wait(timeout, [&](double slice) {
            if (ready()) return true;
            waiter->wait_for(slice);
            return ready();
        });
    }
    nb::list result;
    for (const auto& entry : entries) {
        if (newer(entry)) result.append(entry.key);
    }
    return result;
}

// Calls a Python callable once, on the first frame above a number or when the reader closes:
// the GIL is taken only then, and only while a coroutine awaits the reader.
class PythonWake final : public vantle::FrameWatcher {
public:
    explicit PythonWake(std::shared_ptr<nb::object> callback) : callback_(std::move(callback)) {}
    void notify() noexcept override {
        if (fired_.exchange(true)) return;
        vantle::python::call("frame wake-up", [&] { (*callback_)(); });
    }

private:
    std::shared_ptr<nb::object> callback_;
    std::atomic<bool> fired_{false};
};

nb::object optional_double(const std::optional<double>& value) { return value ? nb::cast(*value) : nb::none(); }

// aligned(): the newest set of frames, one per reader, whose capture times lie within
// `tolerance` seconds, each numbered above the reader's entry in `after`; waits for new frames
// (one waiter for all readers, without the GIL) until `timeout`. None on timeout, and as soon as
// a reader closes while no set is there.
stub::Object<stub::AlignedFrames> aligned(stub::Handle<stub::Feeds> feeds, double tolerance,
                                                   std::optional<double> timeout,
                                                   stub::Handle<stub::SeenFrames> after) {
    struct Member {
        nb::object key;
        LiveFeed* feed;
        std::uint64_t after;
    };
    if (!(tolerance >= 0)) throw nb::value_error("aligned() needs a tolerance of 0 seconds or more");
    std::vector<Member> members;
    for (nb::handle item : nb::iter(feeds)) {
        if (!nb::isinstance<LiveFeed>(item)) throw nb::type_error("aligned() aligns LiveFeed readers only");
        std::uint64_t seen = 0;
        if (!after.is_none()) seen = nb::cast<std::uint64_t>(after.attr("get")(item, 0));
        members.push_back({nb::borrow(item), &nb::cast<LiveFeed&>(item), seen});
    }
    if (members.empty()) throw nb::value_error("aligned() needs at least one reader");

    std::optional<std::vector<std::shared_ptr<const vantle::FrameRecord>>> found;
    bool closed = false;
    auto look = [&] {
        std::vector<std::vector<std::shared_ptr<const vantle::FrameRecord>>> candidates;
        candidates.reserve(members.size());
        for (const auto& member : members) {
            auto frames = member.feed->history();
            std::erase_if(frames, [&](const auto& frame) { return frame->number <= member.after; });
            candidates.push_back(std::move(frames));
            closed = closed || member.feed->closing();
        }
        found = vantle::newest_aligned_set(candidates, tolerance);
        return found.has_value() || closed;
    };
    {
        vantle::WithoutGil released;
        look();
    }
    if (!found && !closed && (!timeout || *timeout > 0)) {
        auto waiter = std::make_shared<vantle::FrameWaiter>();
        std::vector<Watching> watching;
        watching.reserve(members.size());
        for (const auto& member : members) watching.emplace_back(*member.feed, waiter, false);
        vantle::python::interruptible_wait(timeout, [&](double slice) {
            // A new frame need not complete a set: wait on until the slice ends.
            const double end = vantle::monotonic_seconds() + slice;
            while (!look()) {
                const double left = end - vantle::monotonic_seconds();
                if (left <= 0) return false;
                waiter->wait_for(left);
            }
            return true;
        });
    }
    if (!found) return nb::none();
    nb::dict result;
    for (std::size_t i = 0; i < members.size(); ++i) {
        result[members[i].key] = nb::cast(Frame{std::move((*found)[i]), nb::object()});
    }
    return result;
}

nb::dict stats_to_python(const vantle::FeedStats& stats) {
    nb::dict out;
    const auto& facts = stats.facts;
    out["status"] = std::string(vantle::status_text(stats.status));
    out["frame_number"] = stats.frame_number;
    out["frames_received"] = stats.frames_received;
    out["frames_converted"] = stats.frames_converted;
    out["frames_dropped"] = stats.frames_dropped;
    out["rebuilds"] = stats.rebuilds;
    out["halts"] = stats.halts;
    out["last_error"] = stats.last_error ? nb::cast(*stats.last_error) : nb::none();
    nb::list errors;
    for (const auto& error : stats.errors) {
        nb::dict entry;
        entry["at"] = error.at;
        entry["message"] = error.message;
        errors.append(entry);
    }
    out["errors"] = errors;
    out["failing_since"] = optional_double(stats.failing_since);
    out["next_retry_in"] = optional_double(stats.next_retry_in);
    out["opened_at"] = stats.opened_at;
    out["first_frame_after"] = optional_double(stats.first_frame_after);
    out["age"] = optional_double(stats.age);
    if (!facts.codec.empty() || facts.width > 0) {
        nb::dict source;
        source["codec"] = facts.codec.empty() ? nb::none() : nb::cast(facts.codec);
        source["width"] = facts.width > 0 ? nb::cast(facts.width) : nb::none();
        source["height"] = facts.height > 0 ? nb::cast(facts.height) : nb::none();
        // 0.0: the source declares a variable framerate.
        source["framerate"] = facts.framerate ? nb::cast(*facts.framerate) : nb::none();
        out["source"] = source;
    } else {
        out["source"] = nb::none();
    }
    out["limited"] = facts.limited;
    out["max_framerate"] = facts.max_framerate > 0 ? nb::cast(facts.max_framerate) : nb::none();
    out["depayloader"] = facts.depayloader.empty() ? nb::none() : nb::cast(facts.depayloader);
    out["decoder"] = facts.decoder.empty() ? nb::none() : nb::cast(facts.decoder);
    out["hardware"] = facts.hardware;
    out["transport"] = facts.transport.empty() ? nb::none() : nb::cast(facts.transport);
    out["latency_ms"] = facts.latency_ms ? nb::cast(*facts.latency_ms) : nb::none();
    out["url"] = stats.url;
    out["capture_clock"] = stats.capture_clock ? nb::cast(std::string(stats.capture_clock)) : nb::none();
    out["capture_offset_ms"] = optional_double(stats.capture_offset_ms);
    return out;
}

void set_retry_policy(vantle::LiveFeedOptions& options, double first, double cap) {
    if (!std::isfinite(first) || !std::isfinite(cap) || first <= 0 || cap < first) {
        throw nb::value_error("retry_interval and max_retry_interval must be finite seconds with "
                              "0 < retry_interval <= max_retry_interval");
    }
    options.retry_interval = first;
    options.max_retry_interval = cap;
}

nb::object frames_async_module() { return nb::module_::import_("vantle._frames_async"); }

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
                return optional_double(frame.record->captured_at);
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

    m.def("wait_any", &wait_any, "pending"_a, "timeout"_a = nb::none(),
          "Waits until one of the readers in `pending` (a mapping of reader to the frame number the caller last saw) "
          "has a newer frame and returns those that do; [] on timeout, or at once when every reader is closed. "
          "One wait for all readers, without the GIL.");
    m.def("aligned", &aligned, "feeds"_a, "tolerance"_a = 0.02, "timeout"_a = 1.0, "after"_a = nb::none(),
          "The newest set of frames, one per reader in `feeds`, whose capture times lie within `tolerance` seconds "
          "of each other, as {reader: Frame}; frames come from each reader's history (LiveFeed(history=N)) and, "
          "with `after` (reader -> frame number), are numbered above it. Waits for new frames without the GIL; None "
          "on timeout or when a reader closed while no set is there.");
    m.def(
        "aligned_async",
        [](stub::Handle<stub::Feeds> feeds, double tolerance, std::optional<double> timeout,
           stub::Handle<stub::SeenFrames> after) -> stub::Object<stub::AlignedLater> {
            return frames_async_module().attr("aligned_async")(feeds, tolerance, timeout, after);
        },
        "feeds"_a, "tolerance"_a = 0.02, "timeout"_a = 1.0, "after"_a = nb::none(),
        "Awaitable aligned(): never blocks the event loop.");
    nb::dict supported_options;
    supported_options["keyframes_only"] = nb::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));

    nb::class_<LiveFeed> cls(
        m, "LiveFeed", nb::dynamic_attr(), nb::sig("class LiveFeed(vantle.feed_contract.StreamReader)"),
        "Reads one live stream (rtsp, http, https, or a custom launch string with a '{url}' portion), keeps its "
        "newest frame with the wall-clock receive time, and rebuilds its pipeline after errors, end of stream, a "
        "start that never comes, or a stall.");
    cls.attr("_SUPPORTED_RUNTIME_OPTIONS") = supported_options;
    cls.def(nb::new_([](nb::handle url, nb::handle latency, nb::handle runtime_options, nb::handle pipeline_str,
                        nb::handle must_play, nb::handle proxied, double retry_interval, double max_retry_interval,
                        int history, std::optional<double> keep_encoded) {
                auto [checked_url, options] = vantle::live_feed_arguments::check(url, latency, runtime_options,
                                                                                 pipeline_str, must_play, proxied);
                if (history < 0) throw nb::value_error("history must be 0 or more frames");
                options.history = static_cast<std::size_t>(history);
                if (keep_encoded && !(*keep_encoded >= 0)) throw nb::value_error("keep_encoded is seconds, 0 or more");
                options.keep_encoded = keep_encoded.value_or(0);
                options.state_change_timeout = module_number("_STATE_CHANGE_TIMEOUT");
                options.frame_timeout = module_number("_FRAME_TIMEOUT");
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
            [](const LiveFeed& feed) -> stub::Object<stub::StreamStatus> {
                return status_type()(std::string(vantle::status_text(feed.status())));
            },
            [](LiveFeed& feed, stub::Handle<stub::StreamStatus> value) { feed.set_status(status_from_python(value)); },
            "The reader's current StreamStatus.")
        .def_prop_ro(
            "latest_frame", [](nb::handle self) -> stub::Object<stub::Frame> { return latest_frame(self); },
            "(receive time, frame) of the newest frame, or None before the first: the frame is a read-only uint8 "
            "array of shape (height, width, 3) in blue-green-red order.")
        .def_prop_ro("frame_number", &LiveFeed::frame_number,
                     "Number of the newest stored frame: 0 before the first; numbers go on across rebuilds.")
        .def(
            "next_frame",
            [](LiveFeed& feed, std::uint64_t after,
               std::optional<double> timeout) -> stub::Object<std::optional<Frame>> {
                return frame_or_none(wait_for_frame(feed, after, timeout));
            },
            "after"_a = 0, "timeout"_a = nb::none(),
            "Waits (without the GIL) until a frame numbered above `after` is stored and returns the newest such "
            "Frame; None on timeout, and at once when the reader is closed.")
        .def(
            "next_frame_async",
            [](nb::handle self, std::uint64_t after, std::optional<double> timeout) -> stub::Object<stub::FrameLater> {
                return frames_async_module().attr("next_frame_async")(self, after, timeout);
            },
            "after"_a = 0, "timeout"_a = nb::none(),
            "Awaitable next_frame(): never blocks the event loop.")
        .def(
            "frames",
            [](nb::handle self) -> stub::Object<stub::FrameStream> {
                return frames_async_module().attr("frames")(self);
            },
            "Async iterator over new frames (each newer than the last), until the reader closes.")
        .def(
            "_watch_next_frame",
            [](LiveFeed& feed, std::uint64_t after, stub::Object<stub::WakeUp> callback) {
                auto wake = std::make_shared<PythonWake>(vantle::python::hold(std::move(callback)));
                const auto id = feed.frame_watchers().add(wake);
                if (feed.frame_number() > after || feed.closing()) wake->notify();
                return id;
            },
            "after"_a, "callback"_a,
            "Calls `callback` once, from a streaming thread, when a frame above `after` is stored or the reader "
            "closes; returns a token for _unwatch.")
        .def(
            "_unwatch", [](LiveFeed& feed, vantle::FrameWatchers::Id token) { feed.frame_watchers().remove(token); },
            "token"_a)
        .def(
            "stats",
            [](const LiveFeed& feed) -> nb::typed<nb::dict, std::string, stub::Any> {
                vantle::FeedStats stats;
                {
                    // Reading the element counters takes GStreamer's object locks.
                    vantle::WithoutGil released;
                    stats = feed.stats();
                }
                return stats_to_python(stats);
            },
            "Counters and facts about the stream: frame counts, drops, rebuilds, halts, last error, timings, "
            "source codec/size/framerate, decoder, transport. Passwords are hidden.")
        .def_prop_ro("_frames_converted", &LiveFeed::frames_converted,
                     "How many frames this reader converted to BGR: those read, the newest one when its pipeline "
                     "goes, and every one whose decoder buffers are too scarce to hold. A frame replaced before "
                     "anyone read it is never converted.")
        .def_prop_ro("new_frame_event", &LiveFeed::new_frame_event, "Set whenever a new frame is available.")
        .def_prop_ro("new_status_event", &LiveFeed::new_status_event, "Set whenever the status changes.")
        .def(
            "set_runtime_option_vals",
            [](LiveFeed& feed, stub::Handle<stub::Options> runtime_options) {
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
        .def("__enter__", [](nb::handle self) -> stub::Object<stub::Self> { return nb::borrow(self); })
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
