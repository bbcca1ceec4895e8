#include "live_feed/frame_record.hpp"

#include <cstring>

#include "live_feed/convert.hpp"

namespace vantle {

void FrameRecord::keep_decoded(gst::UniqueBuffer buffer, const GstVideoInfo& info,
                               std::shared_ptr<std::atomic<std::uint64_t>> conversions) {
    decoded_ = std::move(buffer);
    info_ = info;
    conversions_ = std::move(conversions);
}

const std::uint8_t* FrameRecord::pixels() const {
    if (!converted()) std::call_once(conversion_, [this] { convert_decoded(); });
    return pixels_.get();
}

void FrameRecord::convert_decoded() const {
    auto bgr = std::make_unique_for_overwrite<std::uint8_t[]>(size());
    // Mapped once already on arrival; should a second mapping fail all the same, the record
    // (which never changes) holds a black frame.
    bool filled = false;
    if (decoded_) {
        convert::VideoFrameMap frame(info_, decoded_.get());
        if (frame.mapped()) {
            convert::to_bgr(frame.frame(), bgr.get());
            filled = true;
        }
    }
    if (!filled) std::memset(bgr.get(), 0, size());
    decoded_.reset();
    pixels_ = std::move(bgr);
    if (conversions_) conversions_->fetch_add(1, std::memory_order_relaxed);
    converted_.store(true, std::memory_order_release);
}

}  // namespace vantle
