// Python surface of waiting for frames: one native waiter per wait, registered with every reader
// it waits for, and released GIL while waiting.

#include "live_feed/waiting_bindings.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/vector.h>

#include <optional>

#include "live_feed/frame_bindings.hpp"
#include "live_feed/frame_history.hpp"
#include "runtime/interruptible_wait.hpp"
#include "runtime/python_bridge.hpp"
#include "runtime/without_gil.hpp"
#include "utils/stub_names.hpp"
#include "utils/timing/timeout.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vantle {
namespace {

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

// aligned(): the newest set of frames, one per reader, whose capture times lie within
// `tolerance` seconds, each numbered above the reader's entry in `after`; waits for new frames
// (one waiter for all readers, without the GIL) until `timeout`. None on timeout, and as soon as
// a reader closes while no set is there.
stub::Object<stub::AlignedFrames> aligned(stub::Handle<stub::Feeds> feeds, double tolerance, std::optional<double> timeout,
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


}  // namespace

void define_frame_waiting(nb::module_& m, nb::class_<LiveFeed>& cls) {
    m.def("wait_any", &wait_any, "pending"_a, "timeout"_a = nb::none(),
          "Waits until one of the readers in `pending` (a mapping of reader to the frame number the caller last saw) "
          "has a newer frame and returns those that do; [] on timeout, or at once when every reader is closed. "
          "One wait for all readers, without the GIL.");
    m.def("aligned", &aligned, "feeds"_a, "tolerance"_a = 0.02, "timeout"_a = 1.0, "after"_a = nb::none(),
          "The newest set of frames, one per reader in `feeds`, whose capture times lie within `tolerance` seconds "
          "of each other, as {reader: Frame}; frames come from each reader's history (LiveFeed(history=N)) and, "
          "with `after` (reader -> frame number), are numbered above it. Waits for new frames without the GIL; None "
          "on timeout or when a reader closed while no set is there.");
    // The awaitable forms are asyncio glue, written in Python (python/vantle/_frames_async.py).
    nb::object glue = nb::module_::import_("vantle._frames_async");
    m.attr("aligned_async") = glue.attr("aligned_async");
    cls.attr("next_frame_async") = glue.attr("next_frame_async");
    cls.attr("frames") = glue.attr("frames");
    cls.def(
            "next_frame",
            [](LiveFeed& feed, std::uint64_t after, std::optional<double> timeout) -> stub::Object<std::optional<Frame>> {
                return frame_or_none(wait_for_frame(feed, after, timeout));
            },
            "after"_a = 0, "timeout"_a = nb::none(),
            "Waits (without the GIL) until a frame numbered above `after` is stored and returns the newest such "
            "Frame; None on timeout, and at once when the reader is closed.")
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
        .def_prop_ro("_closing", &LiveFeed::closing,
                     "Closing was asked for or the status is CLOSED: no newer frame will come.");
}

}  // namespace vantle
