#pragma once

// Python surface of waiting for frames: next_frame, wait_any, aligned and their awaitable forms.

#include <nanobind/nanobind.h>

#include "live_feed/live_feed.hpp"

namespace vantle {

// Adds wait_any, aligned and aligned_async to the module and the frame waits to LiveFeed.
void define_frame_waiting(nanobind::module_& m, nanobind::class_<LiveFeed>& feed_class);

}  // namespace vantle
