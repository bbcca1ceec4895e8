#pragma once

// The arguments of LiveFeed() as Python passes them, checked one by one so that each wrong one
// raises a TypeError or ValueError that names it.

#include <nanobind/nanobind.h>

#include <atomic>
#include <string>

#include "live_feed/live_feed.hpp"

namespace vantle::live_feed_arguments {

struct Checked {
    std::string url;
    // latency, keyframes_only, pipeline_str, must_play, proxied, and the timeouts below
    LiveFeedOptions options;
};

// Seconds that new readers allow for a state change and between frames. Python reads and sets
// them as vantle.live_feed._STATE_CHANGE_TIMEOUT and _FRAME_TIMEOUT (tests shorten them).
inline std::atomic<double> state_change_timeout{LiveFeedOptions{}.state_change_timeout};
inline std::atomic<double> frame_timeout{LiveFeedOptions{}.frame_timeout};

// Looks up what the checks need from Python once, when the module loads, so that LiveFeed()
// imports nothing.
void prepare();

// The runtime options a reader takes, name to type (LiveFeed._SUPPORTED_RUNTIME_OPTIONS).
nanobind::dict supported_runtime_options();

Checked check(nanobind::handle url, nanobind::handle latency, nanobind::handle runtime_options,
              nanobind::handle pipeline_str, nanobind::handle must_play, nanobind::handle proxied);

// `runtime_options` (None, or a mapping of option name to value) against the reader's options;
// InvalidRuntimeOptionError for an unknown name or a value of the wrong type.
nanobind::object checked_runtime_options(nanobind::handle runtime_options);

}  // namespace vantle::live_feed_arguments
