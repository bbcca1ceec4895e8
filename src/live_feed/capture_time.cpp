#include "live_feed/capture_time.hpp"

#include <algorithm>
#include <cstring>

namespace vantle {

namespace {

// Seconds from the NTP epoch (1900) to the Unix epoch (1970).
constexpr double kNtpToUnix = 2208988800.0;

}  // namespace

std::optional<CaptureTime> capture_time_of(GstBuffer* buffer) noexcept {
    gpointer state = nullptr;
    while (GstMeta* meta = gst_buffer_iterate_meta_filtered(buffer, &state, GST_REFERENCE_TIMESTAMP_META_API_TYPE)) {
        const auto* reference = reinterpret_cast<const GstReferenceTimestampMeta*>(meta);
        if (reference->reference == nullptr || !GST_CLOCK_TIME_IS_VALID(reference->timestamp) ||
            gst_caps_get_size(reference->reference) == 0) {
            continue;
        }
        const GstStructure* structure = gst_caps_get_structure(reference->reference, 0);
        if (!gst_structure_has_name(structure, "timestamp/x-ntp")) continue;
        // Sender reports give a bare timestamp/x-ntp; an RFC 7273 clock names its server.
        const CaptureClock clock = gst_structure_n_fields(structure) == 0 ? CaptureClock::Rtcp : CaptureClock::Rfc7273;
        return CaptureTime{static_cast<double>(reference->timestamp) / GST_SECOND - kNtpToUnix, clock};
    }
    return std::nullopt;
}

const char* capture_clock_text(CaptureClock clock) noexcept {
    switch (clock) {
        case CaptureClock::Rtcp:
            return "rtcp";
        case CaptureClock::Rfc7273:
            return "rfc7273";
        case CaptureClock::None:
            break;
    }
    return nullptr;
}

void CaptureOffsets::add(double received_monotonic, double offset) noexcept {
    samples_[next_] = {received_monotonic, offset};
    next_ = (next_ + 1) % samples_.size();
    count_ = std::min(count_ + 1, samples_.size());
}

std::optional<double> CaptureOffsets::median_ms(double since) const noexcept {
    std::array<double, std::tuple_size_v<decltype(samples_)>> recent;
    std::size_t n = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        if (samples_[i].first >= since) recent[n++] = samples_[i].second;
    }
    if (n == 0) return std::nullopt;
    auto middle = recent.begin() + n / 2;
    std::nth_element(recent.begin(), middle, recent.begin() + n);
    double median = *middle;
    if (n % 2 == 0) median = (median + *std::max_element(recent.begin(), middle)) / 2;
    return median * 1000;
}

}  // namespace vantle
