#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "builders/stream_facts.hpp"
#include "feed_contract/feed_contract.hpp"

namespace vantle {

// One error a reader noted, password hidden.
struct FeedError {
    double at = 0;  // wall clock
    std::string message;
};

// A reader's counters and what its pipeline found out about the stream, at one moment.
struct FeedStats {
    StreamStatus status = StreamStatus::Initializing;
    std::uint64_t frame_number = 0;      // newest stored frame
    std::uint64_t frames_received = 0;   // samples pulled from the appsink
    std::uint64_t frames_converted = 0;  // stored frames turned into BGR: on first read, or on arrival
                                         // where the decoder's buffer cannot be held
    std::uint64_t frames_dropped = 0;    // dropped by the framerate limit or as late at the appsink
    std::uint64_t rebuilds = 0;          // pipelines built after the first
    std::uint64_t halts = 0;             // failure episodes
    std::optional<std::string> last_error;  // first error of the newest failure episode, password hidden
    std::vector<FeedError> errors;       // the newest errors, oldest first
    std::optional<double> failing_since;  // wall clock start of the failure episode under way
    std::optional<double> next_retry_in;  // seconds until the scheduled rebuild
    double opened_at = 0;                // wall clock
    std::optional<double> first_frame_after;  // seconds from opening to the first frame
    std::optional<double> age;           // seconds since the newest frame was received
    builders::StreamFacts facts;
    std::string url;                     // password hidden
    const char* capture_clock = nullptr;  // what maps the newest frame to capture time ("rtcp"...)
    std::optional<double> capture_offset_ms;  // median receive minus capture time over the last second
};

}  // namespace vantle
