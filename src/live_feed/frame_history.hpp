#pragma once

// Frames of several readers that show the same moment: their capture times lie within a
// tolerance of each other.

#include <memory>
#include <optional>
#include <vector>

#include "live_feed/live_feed.hpp"

namespace vantle {

// `candidates` holds, per reader, the frames it may contribute. Returns one frame per reader,
// in the same order: the set with the latest earliest capture time whose capture times all lie
// within `tolerance` seconds; none when no such set exists.
std::optional<std::vector<std::shared_ptr<const FrameRecord>>> newest_aligned_set(
    const std::vector<std::vector<std::shared_ptr<const FrameRecord>>>& candidates, double tolerance);

}  // namespace vantle
