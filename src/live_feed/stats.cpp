// A reader's statistics: counters kept by the frame path and the supervision thread, plus the
// facts the pipeline factory recorded while it built the current pipeline.

#include "live_feed/live_feed.hpp"
#include <algorithm>

#include "utils/timing/timeout.hpp"

namespace vantle {

namespace {

// How many errors stats() lists.
constexpr std::size_t kErrorsKept = 8;

}  // namespace

// A failure episode runs from the first failure after opening or after a frame (an error or end
// of stream on the bus, a rejected sample, a start or stall timeout) until the next frame. Its
// first error is the root cause: what follows (a decoder's "Internal data stream error", the
// refused connections of the retries) only joins the list of errors.
std::uint64_t LiveFeed::note_error(std::string_view text) {
    std::string redacted = logging::redact_text(text);
    const double now = wall_clock_seconds();
    std::uint64_t began = 0;
    std::lock_guard lock(error_mutex_);
    if (!failing_.load()) {
        failing_.store(true);
        failing_since_ = now;
        last_error_ = redacted;
        began = halts_.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    errors_.push_back({now, std::move(redacted)});
    if (errors_.size() > kErrorsKept) errors_.pop_front();
    return began;
}

void LiveFeed::name_root_cause(std::uint64_t episode, std::string_view text) {
    std::string redacted = logging::redact_text(text);
    const double now = wall_clock_seconds();
    std::lock_guard lock(error_mutex_);
    if (!failing_.load() || halts_.load() != episode) return;  // that episode is over
    last_error_ = redacted;
    errors_.push_back({now, std::move(redacted)});
    if (errors_.size() > kErrorsKept) errors_.pop_front();
}

void LiveFeed::end_failure_episode() noexcept {
    // One relaxed load per frame while all is well.
    if (!failing_.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(error_mutex_);
    failing_.store(false);
    failing_since_.reset();
    episode_failures_ = 0;
}

unsigned LiveFeed::count_failure() {
    std::lock_guard lock(error_mutex_);
    return ++episode_failures_;
}

void LiveFeed::note_first_frame() noexcept {
    if (!awaiting_first_frame_.load(std::memory_order_relaxed) || !awaiting_first_frame_.exchange(false)) return;
    first_frame_after_.store(monotonic_seconds() - built_monotonic_.load(), std::memory_order_relaxed);
}

namespace {

GstElement* appsink_of(const gst::Pipeline& pipeline) {
    try {
        return pipeline.appsink();
    } catch (const std::exception&) {
        return nullptr;  // a custom pipeline that failed before its appsink was adopted
    }
}

}  // namespace

void LiveFeed::note_build() noexcept {
    built_monotonic_.store(monotonic_seconds());
    awaiting_first_frame_.store(true);
}

void LiveFeed::retire_drop_counters(const gst::Pipeline& retired) {
    std::shared_ptr<builders::PipelineFacts> facts;
    {
        std::lock_guard lock(state_mutex_);
        facts = pipeline_facts_;
    }
    if (!facts) return;
    // The retired pipeline is at NULL: its counters are final.
    dropped_by_earlier_pipelines_.fetch_add(facts->dropped_frames(appsink_of(retired)));
    facts->forget_elements();
}

FeedStats LiveFeed::stats() const {
    FeedStats stats;
    stats.status = status();
    stats.url = logging::redact_url(url_);
    stats.opened_at = opened_at_;
    stats.frames_received = frames_received_.load(std::memory_order_relaxed);
    stats.rebuilds = rebuilds_.load(std::memory_order_relaxed);
    stats.halts = halts_.load(std::memory_order_relaxed);
    const double first = first_frame_after_.load(std::memory_order_relaxed);
    if (first >= 0) stats.first_frame_after = first;

    if (const auto frame = latest_frame()) {
        stats.frame_number = frame->number;
        stats.age = monotonic_seconds() - frame->received_monotonic;
    }
    stats.frames_converted = frames_converted();
    fill_capture_stats(stats);
    {
        std::lock_guard lock(error_mutex_);
        if (!last_error_.empty()) stats.last_error = last_error_;
        stats.errors.assign(errors_.begin(), errors_.end());
        stats.failing_since = failing_since_;
    }
    const double retry_at = retry_at_.load();
    if (retry_at >= 0) stats.next_retry_in = std::max(0.0, retry_at - monotonic_seconds());

    std::shared_ptr<gst::Pipeline> pipeline;
    std::shared_ptr<builders::PipelineFacts> facts;
    {
        std::lock_guard lock(state_mutex_);
        pipeline = pipeline_;
        facts = pipeline_facts_;
    }
    stats.frames_dropped = dropped_by_earlier_pipelines_.load();
    if (facts) {
        stats.facts = facts->snapshot();
        stats.frames_dropped += facts->dropped_frames(pipeline ? appsink_of(*pipeline) : nullptr);
    }
    return stats;
}

}  // namespace vantle
