#pragma once

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "builders/pipeline_factory.hpp"
#include "live_feed/capture_time.hpp"
#include "live_feed/frame_record.hpp"
#include "live_feed/frame_waiting.hpp"
#include "live_feed/resource_budget.hpp"
#include "live_feed/stats.hpp"
#include "feed_contract/event.hpp"
#include "feed_contract/feed_contract.hpp"
#include "live_feed/convert.hpp"
#include "live_feed/encoded_ring.hpp"
#include "runtime/background_thread.hpp"
#include "logger/logger.hpp"
#include "utils/gstreamer/pipeline.hpp"

namespace vantle {

namespace python {
struct FrameView;  // the Python bindings' (frame_bindings.hpp)
}

inline constexpr double kDefaultRetryInterval = 0.5;
// Short enough that a camera back after any outage streams again within about three seconds.
inline constexpr double kDefaultMaxRetryInterval = 2.0;

// Seconds to wait before rebuilding after the `failure`-th failure (1 for the first) of one
// failure episode: 0, then `first`, doubling, at most `cap`.
double retry_delay(unsigned failure, double first, double cap) noexcept;

struct LiveFeedOptions {
    int latency = kDefaultLatency;
    bool keyframes_only = false;
    std::optional<std::string> pipeline_str;
    bool must_play = false;
    bool proxied = false;
    double state_change_timeout = 30;
    double frame_timeout = 120;
    std::size_t history = 0;  // newest frames kept for history(), beyond the newest one
    // Retry policy after a failure: the first rebuild at once, then after retry_interval seconds,
    // doubling up to max_retry_interval, until a frame arrives.
    double retry_interval = kDefaultRetryInterval;
    double max_retry_interval = kDefaultMaxRetryInterval;
    double keep_encoded = 0;  // seconds of encoded access units kept for clips; 0: none
};

// Reads one live stream: builds its pipeline, keeps the newest frame and the status, and runs
// the supervision thread that rebuilds the pipeline after errors, end of stream, a start that
// never comes or a stall.
class LiveFeed : public std::enable_shared_from_this<LiveFeed> {
public:
    // Builds the first pipeline and starts supervision; throws StreamSetupError (unsupported
    // scheme, failed build, failed must-play wait) or std::runtime_error (host not started).
    static std::shared_ptr<LiveFeed> open(const std::string& url, LiveFeedOptions options);
    ~LiveFeed();

    const std::string& url() const noexcept { return url_; }
    const logging::Logger& logger() const noexcept { return logger_; }

    StreamStatus status() const noexcept { return status_.load(); }
    // Stores a new status and sets the new-status event; nothing leads out of CLOSED.
    void set_status(StreamStatus status);
    std::shared_ptr<const FrameRecord> latest_frame() const;
    const std::shared_ptr<Event>& new_frame_event() const noexcept { return new_frame_event_; }
    const std::shared_ptr<Event>& new_status_event() const noexcept { return new_status_event_; }

    // Number of the newest stored frame: 0 before the first, counting on across rebuilds.
    std::uint64_t frame_number() const noexcept { return frame_number_.load(); }
    // The newest frame when it is numbered above `after`, else null.
    std::shared_ptr<const FrameRecord> frame_after(std::uint64_t after) const;
    // Closing was asked for or the status is CLOSED: waiting for a frame is pointless.
    bool closing() const noexcept;
    // Woken after every stored frame and when the reader begins closing.
    FrameWatchers& frame_watchers() noexcept { return frame_watchers_; }
    // Counters and facts about the stream; cheap (no pipeline walk, no GIL).
    FeedStats stats() const;
    // The newest frames, oldest first: the newest one plus up to `history` earlier ones as the
    // options asked for; empty before the first frame.
    std::vector<std::shared_ptr<const FrameRecord>> history() const;
    // Replaces a vague root cause of `episode`, while it runs, with a clearer one.
    void name_root_cause(std::uint64_t episode, std::string_view text);

    bool keyframes_only() const noexcept { return keyframes_only_.load(std::memory_order_relaxed); }
    void set_keyframes_only(bool value) noexcept { keyframes_only_.store(value, std::memory_order_relaxed); }
    // How many frames this reader converted to BGR (those read, the newest when its pipeline
    // goes, and every one whose buffer it could not hold); a diagnostic.
    std::uint64_t frames_converted() const noexcept { return conversions_->load(std::memory_order_relaxed); }

    // What latest_frame last handed to Python, kept by the bindings; touched only with the GIL held.
    std::shared_ptr<python::FrameView>& frame_view() noexcept { return frame_view_; }

    // The stream's recent encoded access units for clips; null unless keep_encoded was asked for.
    const std::shared_ptr<clips::EncodedRing>& encoded_ring() const noexcept { return encoded_ring_; }

    // Stops handing out frames, marks the reader CLOSED and asks the supervision thread to take
    // the pipeline down; returns at once.
    void close();
    // The supervision thread has taken the last pipeline down (CLOSED is set earlier, by close()).
    bool taken_down() const noexcept { return taken_down_.load(); }
    // close(), then waits for the pipeline to reach NULL and for the supervision thread to end.
    // `join` waits for that thread (the bindings pass one that Python signals can interrupt).
    void wait_until_closed(const std::function<void(const BackgroundThread&)>& join = {});

    // Callbacks that the factory attaches to every pipeline. None of them throws.
    GstFlowReturn on_new_sample(GstElement* appsink);
    bool pipeline_watcher(GstBus* bus, GstMessage* message, gst::Pipeline& pipeline);
    GstPadProbeReturn buffer_pad_probe(GstPad* pad, GstPadProbeInfo* info) const;

private:
    LiveFeed(const std::string& url, const LiveFeedOptions& options);
    std::shared_ptr<builders::PipelineFactory> make_factory();
    GstFlowReturn reject_sample(const std::string& message);
    // Body of the supervision thread: supervises until close() or an error, and always ends
    // in CLOSED with the status event set.
    void pipeline_restarter();
    void supervise();
    // Brings a failed pipeline to NULL and schedules its rebuild; returns when that is due.
    double schedule_retry(gst::Pipeline& failed);
    void rebuild(gst::Pipeline& failed);
    // Wakes the supervision thread (a bus error or EOS of `failed`, a state change, close()).
    void wake_supervision(const gst::Pipeline* failed = nullptr);
    void shut_down() noexcept;
    // The pipeline now in use; null once the reader is closed.
    std::shared_ptr<gst::Pipeline> current_pipeline() const;
    // Remembers why the stream stopped, password hidden, for stats(): the first failure since
    // the newest frame (or since opening) begins a failure episode and becomes last_error.
    // Returns the number of the episode it began (its halts count), else 0.
    std::uint64_t note_error(std::string_view text);
    // Starts a connection attempt of our own whose error names the root cause of `episode`.
    void check_connection(std::uint64_t episode);
    // The first frame after failures ends the episode and resets the retry interval.
    void end_failure_episode() noexcept;
    // Counts one more failure of the current episode; returns how many it had.
    unsigned count_failure();
    // Times the first frame after the latest build.
    void note_first_frame() noexcept;
    // Starts the first-frame clock of the pipeline about to be built.
    void note_build() noexcept;
    // Replaces the pipeline after a failure, keeping the counters of the old one.
    void replace_pipeline(std::shared_ptr<gst::Pipeline> rebuilt);
    // Adds the drops of a pipeline at NULL to the reader's total and lets go of its elements.
    void retire_drop_counters(const gst::Pipeline& retired);
    // Under frame_mutex_, once a new frame is stored: keeps the frame it replaced in the history
    // and the new one's delay for stats(); returns the frame the history let go of, to be
    // released outside the lock.
    std::shared_ptr<const FrameRecord> remember_frame(std::shared_ptr<const FrameRecord> replaced);
    void fill_capture_stats(FeedStats& stats) const;

    const logging::Logger logger_;
    const std::string url_;
    const LiveFeedOptions options_;
    std::atomic<bool> keyframes_only_;
    std::atomic<StreamStatus> status_{StreamStatus::Initializing};
    std::atomic<bool> closing_{false};
    std::atomic<bool> taken_down_{false};
    const std::shared_ptr<Event> new_frame_event_ = std::make_shared<Event>();
    const std::shared_ptr<Event> new_status_event_ = std::make_shared<Event>();
    const std::shared_ptr<clips::EncodedRing> encoded_ring_;

    const std::shared_ptr<std::atomic<std::uint64_t>> conversions_ = std::make_shared<std::atomic<std::uint64_t>>(0);
    mutable std::mutex frame_mutex_;
    std::shared_ptr<const FrameRecord> latest_frame_;
    std::atomic<std::uint64_t> frame_number_{0};
    FrameWatchers frame_watchers_;
    std::shared_ptr<python::FrameView> frame_view_;
    std::deque<std::shared_ptr<const FrameRecord>> history_;  // earlier frames, oldest first
    CaptureOffsets capture_offsets_;
    CaptureClock capture_clock_ = CaptureClock::None;  // of the newest frame

    // Statistics (see stats()).
    const double opened_at_;
    std::atomic<double> built_monotonic_;  // when the current pipeline was built
    std::atomic<bool> awaiting_first_frame_{true};
    std::atomic<std::uint64_t> frames_received_{0};
    std::atomic<double> first_frame_after_{-1};
    std::atomic<std::uint64_t> rebuilds_{0};
    std::atomic<std::uint64_t> halts_{0};
    std::atomic<double> retry_at_{-1};  // monotonic; negative when no rebuild is scheduled
    std::atomic<bool> failing_{false};  // a failure episode is under way
    // The current pipeline failed: frames it still had in flight end no failure episode.
    std::atomic<bool> pipeline_failed_{false};
    mutable std::mutex error_mutex_;    // guards the episode below
    std::string last_error_;
    std::deque<FeedError> errors_;
    std::optional<double> failing_since_;  // wall clock
    unsigned episode_failures_ = 0;

    mutable std::mutex state_mutex_;  // guards the pipeline, the factory and the thread handle
    std::condition_variable supervision_wakeup_;
    std::uint64_t supervision_events_ = 0;
    const gst::Pipeline* failed_pipeline_ = nullptr;  // reported a failure on its bus
    unsigned retries_in_episode_ = 0;                 // the supervision thread's own
    std::shared_ptr<gst::Pipeline> pipeline_;
    std::shared_ptr<builders::PipelineFactory> pipeline_factory_;
    std::shared_ptr<builders::PipelineFacts> pipeline_facts_;  // of pipeline_
    std::atomic<std::uint64_t> dropped_by_earlier_pipelines_{0};
    BackgroundThread pipeline_restarter_thread_;
    StartingStream starting_;  // until the first packet or frame: see check_room_for_stream()
};

// The scheme of `url` as RFC 3986 delimits it, lower-cased; "" when there is none.
std::string url_scheme(const std::string& url);

}  // namespace vantle
