#pragma once

#include <gst/gst.h>
#include <gst/video/video.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "utils/gstreamer/gst_ptr.hpp"

namespace vantle {

// One decoded picture and its receive time. Never changed once stored, as far as callers can
// tell: readers share it, and a holder keeps it valid after the reader stored a newer one. The
// decoded buffer is kept as GStreamer handed it and converted to BGR on the first call of
// pixels(), so a frame replaced before anyone reads it costs no conversion.
struct FrameRecord {
    std::uint64_t number = 0;       // the reader's count of stored frames, this one included
    double received_at = 0;         // wall clock, for callers
    double received_monotonic = 0;  // monotonic clock, for the stall check
    std::optional<double> captured_at;  // the sender's wall clock when it took the picture, if known
    int height = 0;
    int width = 0;

    // height x width x 3 bytes, packed rows, blue-green-red. The first call converts (under a
    // millisecond for 720p; callers release the GIL around it) and later or concurrent calls get
    // the same bytes.
    const std::uint8_t* pixels() const;
    bool converted() const noexcept { return converted_.load(std::memory_order_acquire); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(height) * width * 3; }

    // The decoded frame that pixels() converts, set before the record is shared, and the counter
    // of conversions that it adds to.
    void keep_decoded(gst::UniqueBuffer buffer, const GstVideoInfo& info,
                      std::shared_ptr<std::atomic<std::uint64_t>> conversions);

private:
    void convert_decoded() const;

    GstVideoInfo info_{};
    std::shared_ptr<std::atomic<std::uint64_t>> conversions_;
    // Released once converted. Kept past its pipeline, a system-memory buffer only keeps its
    // (inactive) pool object, and is freed with the record.
    mutable gst::UniqueBuffer decoded_;
    mutable std::unique_ptr<std::uint8_t[]> pixels_;
    mutable std::once_flag conversion_;
    mutable std::atomic<bool> converted_{false};
};

}  // namespace vantle
