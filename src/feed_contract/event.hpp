#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>


namespace vantle {

// A flag that any thread can set, clear and wait on. set() never blocks on anything but the
// event's own short lock, so streaming threads can set it on every frame.
class Event {
public:
    void set();
    void clear();
    bool is_set() const;
    // Waits until the flag is set or `timeout_seconds` passed (forever when absent);
    // returns the flag. Call without the GIL.
    bool wait(std::optional<double> timeout_seconds = std::nullopt) const;
    // Somebody is waiting now: a setter about to wake a reader may prepare what it will read.
    bool has_waiters() const noexcept { return waiters_.load(std::memory_order_relaxed) > 0; }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool flag_ = false;
    mutable std::atomic<int> waiters_{0};
};

}  // namespace vantle
