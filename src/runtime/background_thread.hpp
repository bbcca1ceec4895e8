#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>


namespace vantle {

// A named daemon thread that the host interpreter lists among its threads (so Python's
// threading.enumerate() shows it) while its body runs native code without the GIL.
// An exception that escapes the body is reported as Python reports an unhandled error of a thread.
class BackgroundThread {
public:
    BackgroundThread() = default;

    // Starts `body` on a new thread named `name`. Callable with or without the GIL.
    static BackgroundThread start(const std::string& name, std::function<void()> body);

    // Waits until the body has returned and the interpreter's thread has ended. Must be called
    // without the GIL.
    void join() const;
    // Waits at most `seconds`; true when the thread has ended.
    bool join_for(double seconds) const;

    struct State {
        std::mutex mutex;
        std::condition_variable done_changed;
        bool done = false;
        std::shared_ptr<void> python_thread;  // the interpreter's thread object
    };

private:
    explicit BackgroundThread(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace vantle
