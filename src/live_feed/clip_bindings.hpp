#pragma once

#include <nanobind/nanobind.h>

#include "live_feed/live_feed.hpp"

namespace vantle {

// Adds ClipError and Clip to the module and save_clip / encoded_buffer to LiveFeed.
void define_clips(nanobind::module_& m, nanobind::class_<LiveFeed>& feed_class);

}  // namespace vantle
