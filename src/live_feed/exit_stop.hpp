#pragma once

// Readers still open when the interpreter exits are stopped then: a streaming thread that went
// on into the process's own exit could load a plugin while the C library runs destructors, and
// cameras, which often allow only a few sessions, would wait for theirs to time out.

#include <memory>

#include "live_feed/live_feed.hpp"

namespace vantle::exit_stop {

// How long the interpreter's exit waits, in all, for the readers it stops.
inline constexpr double kExitStopSeconds = 0.5;

// Remembers `feed`, without keeping it alive, until it closes.
void track(const std::shared_ptr<LiveFeed>& feed);

// Closes every remembered RTSP reader that is still open, and waits until all are closed or
// `limit_seconds` have passed in all. Their supervision threads stop their pipelines at the same
// time (the RTSP source sends its TEARDOWN on the way). Call without the GIL.
void stop_open_readers(double limit_seconds);

// Called by a reader's supervision thread once its pipeline is down: wakes stop_open_readers.
void note_taken_down() noexcept;

// In a child created by fork: the readers belong to the parent, whose threads the child lacks.
void forget_all() noexcept;

}  // namespace vantle::exit_stop
