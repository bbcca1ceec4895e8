#pragma once

// Waiting for a reader's next frame without a clear-then-wait race: every stored frame carries
// the next number of its reader, waiters compare numbers, and a reader wakes the waiters
// registered with it after each stored frame and when it closes.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>


namespace vantle {

// Something to wake when a reader stored a frame or began closing. notify() runs on the
// streaming thread: it must neither throw nor block.
class FrameWatcher {
public:
    virtual ~FrameWatcher() = default;
    virtual void notify() noexcept = 0;
};

// One blocked thread; a single waiter may be registered with many readers (wait_any).
class FrameWaiter final : public FrameWatcher {
public:
    void notify() noexcept override;
    // Waits until notified or `seconds` passed, then forgets the notification; true when notified.
    bool wait_for(double seconds);

private:
    std::mutex mutex_;
    std::condition_variable notified_cv_;
    bool notified_ = false;
};

// The watchers of one reader. With none registered, notify() costs one atomic load, so the
// frame path pays nothing for waiting that nobody does.
class FrameWatchers {
public:
    using Id = std::uint64_t;

    // `reads_image`: the watcher's owner will read the frame's pixels once woken, so the frame
    // path converts the frame before waking it (aligned() waits for capture times only).
    Id add(std::shared_ptr<FrameWatcher> watcher, bool reads_image = true);
    void remove(Id id);
    // Calls every watcher outside the lock, so a watcher may take other locks (the GIL).
    void notify() noexcept;
    bool empty() const noexcept { return count_.load() == 0; }
    bool has_image_readers() const noexcept { return image_readers_.load() > 0; }

private:
    std::mutex mutex_;
    struct Entry {
        Id id;
        std::shared_ptr<FrameWatcher> watcher;
        bool reads_image;
    };
    std::vector<Entry> watchers_;
    Id next_id_ = 1;
    std::atomic<std::size_t> count_{0};
    std::atomic<std::size_t> image_readers_{0};
};

}  // namespace vantle
