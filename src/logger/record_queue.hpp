#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "logger/logger.hpp"

namespace vantle::logging {

struct Record {
    std::string logger_name;
    Level level;
    std::string message;
};

// Records from threads that Python must not see (GStreamer's streaming threads), on their way
// to the one Python thread that emits them. Bounded: when the emitter falls that far behind,
// new records are dropped and counted rather than piling up.
class RecordQueue {
public:
    explicit RecordQueue(std::size_t capacity) : capacity_(capacity) {}

    // Never blocks on the emitter and never throws.
    void push(const std::string& logger_name, Level level, std::string_view message) noexcept;

    // Waits until records are queued, then takes them all; `dropped` gets the number of
    // records dropped since the last call.
    std::vector<Record> take(std::size_t& dropped);

private:
    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<Record> records_;
    std::size_t dropped_ = 0;
};

}  // namespace vantle::logging
