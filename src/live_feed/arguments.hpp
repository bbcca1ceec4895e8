#pragma once

// The arguments of LiveFeed() as Python passes them, checked one by one so that each wrong one
// raises a TypeError or ValueError that names it.

#include <nanobind/nanobind.h>

#include <string>

#include "live_feed/live_feed.hpp"

namespace vantle::live_feed_arguments {

struct Checked {
    std::string url;
    LiveFeedOptions options;  // latency, keyframes_only, pipeline_str, must_play, proxied
};

Checked check(nanobind::handle url, nanobind::handle latency, nanobind::handle runtime_options,
              nanobind::handle pipeline_str, nanobind::handle must_play, nanobind::handle proxied);

// `runtime_options` (None, or a mapping of option name to value) against the reader's options;
// InvalidRuntimeOptionError for an unknown name or a value of the wrong type.
nanobind::object checked_runtime_options(nanobind::handle runtime_options);

}  // namespace vantle::live_feed_arguments
