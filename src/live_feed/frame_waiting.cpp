#include "live_feed/frame_waiting.hpp"

#include <algorithm>
#include <chrono>

namespace vantle {

void FrameWaiter::notify() noexcept {
    {
        std::lock_guard lock(mutex_);
        notified_ = true;
    }
    notified_cv_.notify_all();
}

bool FrameWaiter::wait_for(double seconds) {
    std::unique_lock lock(mutex_);
    const bool notified =
        notified_cv_.wait_for(lock, std::chrono::duration<double>(std::max(seconds, 0.0)), [&] { return notified_; });
    notified_ = false;
    return notified;
}

FrameWatchers::Id FrameWatchers::add(std::shared_ptr<FrameWatcher> watcher, bool reads_image) {
    std::lock_guard lock(mutex_);
    const Id id = next_id_++;
    watchers_.push_back({id, std::move(watcher), reads_image});
    if (reads_image) image_readers_.fetch_add(1);
    count_.store(watchers_.size());
    return id;
}

void FrameWatchers::remove(Id id) {
    std::shared_ptr<FrameWatcher> removed;  // dropped after the lock: its owner may take the GIL
    std::lock_guard lock(mutex_);
    auto found =
        std::find_if(watchers_.begin(), watchers_.end(), [id](const auto& entry) { return entry.id == id; });
    if (found == watchers_.end()) return;
    removed = std::move(found->watcher);
    if (found->reads_image) image_readers_.fetch_sub(1);
    watchers_.erase(found);
    count_.store(watchers_.size());
}

void FrameWatchers::notify() noexcept {
    // A waiter registers before it reads the frame number, and the frame path stores the number
    // before it reads the count (both sequentially consistent): either the waiter sees the new
    // number or this sees the waiter.
    if (count_.load() == 0) return;
    std::vector<std::shared_ptr<FrameWatcher>> current;
    try {
        std::lock_guard lock(mutex_);
        current.reserve(watchers_.size());
        for (const auto& entry : watchers_) current.push_back(entry.watcher);
    } catch (...) {
        return;  // out of memory: the waiters' time slices still end their waits
    }
    for (const auto& watcher : current) watcher->notify();
}

}  // namespace vantle
