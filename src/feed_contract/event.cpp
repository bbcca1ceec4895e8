#include "feed_contract/event.hpp"

#include <chrono>

namespace vantle {

void Event::set() {
    {
        std::lock_guard lock(mutex_);
        flag_ = true;
    }
    changed_.notify_all();
}

void Event::clear() {
    std::lock_guard lock(mutex_);
    flag_ = false;
}

bool Event::is_set() const {
    std::lock_guard lock(mutex_);
    return flag_;
}

bool Event::wait(std::optional<double> timeout_seconds) const {
    std::unique_lock lock(mutex_);
    waiters_.fetch_add(1, std::memory_order_relaxed);
    struct Leaving {
        std::atomic<int>& count;
        ~Leaving() { count.fetch_sub(1, std::memory_order_relaxed); }
    } leaving{waiters_};
    if (!timeout_seconds) {
        changed_.wait(lock, [&] { return flag_; });
        return true;
    }
    if (*timeout_seconds <= 0) return flag_;
    return changed_.wait_for(lock, std::chrono::duration<double>(*timeout_seconds), [&] { return flag_; });
}

}  // namespace vantle
