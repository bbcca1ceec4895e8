#pragma once

// When the sender took a picture: the reference-timestamp meta that rtpbin attaches once a
// sender report (or an RFC 7273 clock) maps the stream's RTP clock to the sender's wall clock.
// The depayloader and the decoder carry it to the decoded frame.

#include <gst/gst.h>

#include <array>
#include <cstdint>
#include <optional>
#include <utility>


namespace vantle {

enum class CaptureClock : std::uint8_t { None, Rtcp, Rfc7273 };

struct CaptureTime {
    double seconds = 0;  // since the epoch, on the sender's wall clock
    CaptureClock clock = CaptureClock::None;
};

// The capture time a decoded buffer carries, if any.
std::optional<CaptureTime> capture_time_of(GstBuffer* buffer) noexcept;
// "rtcp", "rfc7273", or null for None.
const char* capture_clock_text(CaptureClock clock) noexcept;

// Receive minus capture time of the newest frames, to report a stream's delay. Written by the
// frame path under the reader's frame lock, read by stats() under the same lock.
class CaptureOffsets {
public:
    void add(double received_monotonic, double offset) noexcept;
    // Median offset in milliseconds of the samples received since `since` (monotonic), if any.
    std::optional<double> median_ms(double since) const noexcept;

private:
    // Enough for one second of any frame rate the framerate limit lets through, and then some.
    std::array<std::pair<double, double>, 128> samples_{};
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};

}  // namespace vantle
