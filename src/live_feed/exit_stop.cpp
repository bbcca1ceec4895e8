#include "live_feed/exit_stop.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace vantle::exit_stop {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::weak_ptr<LiveFeed>> feeds;
    std::condition_variable taken_down;  // a reader's pipeline went down
};

Registry*& registry() {
    // Never destroyed: streaming threads may outlive static destruction. Replaced after fork,
    // where a lock held by a parent's thread would never be released.
    static Registry* instance = new Registry();
    return instance;
}

bool is_open(const std::weak_ptr<LiveFeed>& weak) {
    auto feed = weak.lock();
    return feed && !feed->taken_down();
}

}  // namespace

void track(const std::shared_ptr<LiveFeed>& feed) {
    Registry& r = *registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.feeds, [](const auto& weak) { return !is_open(weak); });
    r.feeds.push_back(feed);
}

void stop_open_readers(double limit_seconds) {
    std::vector<std::shared_ptr<LiveFeed>> open;
    {
        Registry& r = *registry();
        std::lock_guard lock(r.mutex);
        for (const auto& weak : r.feeds) {
            auto feed = weak.lock();
            // HTTP sources are left running: libsoup's session thread can crash when many of
            // them stop at once just as they start.
            if (feed && !feed->taken_down() && url_scheme(feed->url()) == "rtsp") open.push_back(feed);
        }
        r.feeds.clear();
    }
    for (const auto& feed : open) feed->close();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit_seconds);
    // CLOSED is set by close() itself: what the exit waits for is the pipelines being down.
    auto all_down = [&] {
        return std::all_of(open.begin(), open.end(), [](const auto& feed) { return feed->taken_down(); });
    };
    Registry& r = *registry();
    std::unique_lock lock(r.mutex);
    r.taken_down.wait_until(lock, deadline, all_down);
}

void note_taken_down() noexcept {
    Registry& r = *registry();
    // Taken and let go so that a waiter between its check and its sleep cannot miss the wake-up.
    { std::lock_guard lock(r.mutex); }
    r.taken_down.notify_all();
}

void forget_all() noexcept { registry() = new Registry(); }

}  // namespace vantle::exit_stop
