// A reader's short history of its newest frames, the capture-time figures of stats(), and the
// choice of frames that several readers took at the same moment.

#include "live_feed/frame_history.hpp"

#include <algorithm>

#include "utils/timing/timeout.hpp"

namespace vantle {

std::shared_ptr<const FrameRecord> LiveFeed::remember_frame(std::shared_ptr<const FrameRecord> replaced) {
    if (latest_frame_->captured_at) {
        capture_offsets_.add(latest_frame_->received_monotonic, latest_frame_->received_at - *latest_frame_->captured_at);
    }
    if (options_.history == 0 || !replaced) return replaced;
    history_.push_back(std::move(replaced));
    if (history_.size() <= options_.history) return nullptr;
    auto forgotten = std::move(history_.front());
    history_.pop_front();
    return forgotten;
}

std::vector<std::shared_ptr<const FrameRecord>> LiveFeed::history() const {
    std::vector<std::shared_ptr<const FrameRecord>> frames;
    std::lock_guard lock(frame_mutex_);
    if (!latest_frame_) return frames;
    frames.reserve(history_.size() + 1);
    frames.assign(history_.begin(), history_.end());
    frames.push_back(latest_frame_);
    return frames;
}

void LiveFeed::fill_capture_stats(FeedStats& stats) const {
    const double since = monotonic_seconds() - 1.0;
    std::lock_guard lock(frame_mutex_);
    stats.capture_clock = capture_clock_text(capture_clock_);
    stats.capture_offset_ms = capture_offsets_.median_ms(since);
}

std::optional<std::vector<std::shared_ptr<const FrameRecord>>> newest_aligned_set(
    const std::vector<std::vector<std::shared_ptr<const FrameRecord>>>& candidates, double tolerance) {
    if (candidates.empty()) return std::nullopt;
    // The earliest capture time of a set is one of its frames' times: try each, latest first.
    std::vector<double> starts;
    for (const auto& frames : candidates) {
        for (const auto& frame : frames) {
            if (frame->captured_at) starts.push_back(*frame->captured_at);
        }
    }
    std::sort(starts.begin(), starts.end(), std::greater<>());
    for (const double start : starts) {
        std::vector<std::shared_ptr<const FrameRecord>> set;
        for (const auto& frames : candidates) {
            // Of this reader's frames in [start, start + tolerance], the one nearest the start.
            std::shared_ptr<const FrameRecord> chosen;
            for (const auto& frame : frames) {
                if (!frame->captured_at || *frame->captured_at < start || *frame->captured_at > start + tolerance) continue;
                if (!chosen || *frame->captured_at < *chosen->captured_at) chosen = frame;
            }
            if (!chosen) break;
            set.push_back(std::move(chosen));
        }
        if (set.size() == candidates.size()) return set;
    }
    return std::nullopt;
}

}  // namespace vantle
