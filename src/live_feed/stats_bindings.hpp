#pragma once

// Python surface of a reader's statistics: LiveFeed.stats() as a dict.

#include <nanobind/nanobind.h>

#include "live_feed/live_feed.hpp"

namespace vantle {

// Adds stats() and _frames_converted to LiveFeed.
void define_stats(nanobind::class_<LiveFeed>& feed_class);

}  // namespace vantle
