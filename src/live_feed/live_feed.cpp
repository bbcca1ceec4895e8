#include "live_feed/live_feed.hpp"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <cctype>
#include <cstring>

#include "builders/custom_factory.hpp"
#include "builders/url_factories.hpp"
#include "live_feed/resource_budget.hpp"
#include "loop_host/loop_host.hpp"
#include "utils/timing/timeout.hpp"

namespace vantle {

std::string url_scheme(const std::string& url) {
    const std::size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0]))) return "";
    std::string scheme;
    for (std::size_t i = 0; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(url[i]);
        if (!(std::isalnum(c) && c < 0x80) && c != '+' && c != '-' && c != '.') return "";
        scheme += static_cast<char>(std::tolower(c));
    }
    return scheme;
}

LiveFeed::LiveFeed(const std::string& url, const LiveFeedOptions& options)
    : logger_(logging::stream_logger(url)),
      url_(url),
      options_(options),
      keyframes_only_(options.keyframes_only),
      encoded_ring_(options.keep_encoded > 0 ? std::make_shared<clips::EncodedRing>(options.keep_encoded) : nullptr),
      opened_at_(wall_clock_seconds()),
      built_monotonic_(monotonic_seconds()) {}

LiveFeed::~LiveFeed() = default;

std::shared_ptr<LiveFeed> LiveFeed::open(const std::string& url, LiveFeedOptions options) {
    loop_host::assert_started();
    check_room_for_stream(logging::redact_url(url));
    std::shared_ptr<LiveFeed> feed(new LiveFeed(url, options));

    GMainContext* context = g_main_context_get_thread_default();
    if (context != nullptr && context != g_main_context_default()) {
        feed->logger_.warning(
            "A GStreamer pipeline is being created on a MainContext other than the global default. If this is a "
            "MainContext created by a QThread, asynchronous messages may not be sent properly.");
    }

    auto factory = feed->make_factory();
    auto pipeline = factory->build();
    {
        std::lock_guard lock(feed->state_mutex_);
        feed->pipeline_factory_ = factory;
        feed->pipeline_ = pipeline;
        feed->pipeline_facts_ = factory->facts();
    }
    if (options.must_play) {
        try {
            pipeline->wait_until_playing(options.state_change_timeout);
        } catch (...) {
            // No callback of this half-built reader may run any more.
            pipeline->release_resources();
            gst_element_set_state(pipeline->element(), GST_STATE_NULL);
            throw;
        }
    }
    auto thread = BackgroundThread::start("PipelineRestarterThread", [self = feed] { self->pipeline_restarter(); });
    std::lock_guard lock(feed->state_mutex_);
    feed->pipeline_restarter_thread_ = thread;
    return feed;
}

std::shared_ptr<builders::PipelineFactory> LiveFeed::make_factory() {
    // The callbacks refer to the reader without owning it, so that a factory kept by a pipeline
    // handler never keeps a reader alive.
    std::weak_ptr<LiveFeed> weak = weak_from_this();
    builders::Callbacks callbacks{
        [weak](GstElement* appsink) {
            auto self = weak.lock();
            return self ? self->on_new_sample(appsink) : GST_FLOW_FLUSHING;
        },
        [weak](GstBus* bus, GstMessage* message, gst::Pipeline& pipeline) {
            auto self = weak.lock();
            return self ? self->pipeline_watcher(bus, message, pipeline) : true;
        },
        [weak](GstPad* pad, GstPadProbeInfo* info) {
            auto self = weak.lock();
            return self ? self->buffer_pad_probe(pad, info) : GST_PAD_PROBE_OK;
        },
    };

    // A launch string's appsink takes what its author wrote; URL pipelines hand this reader the
    // decoder's own formats, which it converts on read.
    if (options_.pipeline_str) {
        if (encoded_ring_) throw StreamSetupError("keep_encoded needs an rtsp, http or https URL, not a launch string");
        return std::make_shared<builders::CustomPipelineFactory>(*options_.pipeline_str, url_, std::move(callbacks));
    }
    const std::string scheme = url_scheme(url_);
    std::shared_ptr<builders::PipelineFactory> factory;
    if (scheme == "rtsp") {
        factory = std::make_shared<builders::RTSPPipelineFactory>(url_, options_.latency, std::move(callbacks),
                                                                  options_.proxied);
    } else if (scheme == "http" || scheme == "https") {
        factory = std::make_shared<builders::HTTPPipelineFactory>(url_, std::move(callbacks));
    }
    if (factory) {
        factory->accept_decoded_formats();
        if (encoded_ring_) factory->tap_parsed([ring = encoded_ring_] { return ring->tap(); });
        return factory;
    }
    throw StreamSetupError("Unsupported scheme '" + scheme +
                           "'. Is the provided URL in a valid HTTP or RTSP format? Stream URL: " +
                           logging::redact_url(url_));
}

void LiveFeed::set_status(StreamStatus status) {
    StreamStatus current = status_.load();
    do {
        if (current == status || current == StreamStatus::Closed) return;
    } while (!status_.compare_exchange_weak(current, status));
    new_status_event_->set();
    if (status == StreamStatus::Closed) frame_watchers_.notify();
}

std::shared_ptr<const FrameRecord> LiveFeed::latest_frame() const {
    std::lock_guard lock(frame_mutex_);
    return latest_frame_;
}

std::shared_ptr<const FrameRecord> LiveFeed::frame_after(std::uint64_t after) const {
    std::lock_guard lock(frame_mutex_);
    if (latest_frame_ && latest_frame_->number > after) return latest_frame_;
    return nullptr;
}

GstFlowReturn LiveFeed::reject_sample(const std::string& message) {
    logger_.error(message);
    note_error(message);
    set_status(StreamStatus::Halted);
    return GST_FLOW_ERROR;
}

GstFlowReturn LiveFeed::on_new_sample(GstElement* appsink) {
    const double received_at = wall_clock_seconds();
    const double received_monotonic = monotonic_seconds();
    gst::UniqueSample sample(gst_app_sink_pull_sample(GST_APP_SINK(appsink)));
    if (!sample) return reject_sample("pull_sample did not return a frame");
    frames_received_.fetch_add(1, std::memory_order_relaxed);

    GstCaps* caps = gst_sample_get_caps(sample.get());
    const GstStructure* structure = caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
    int width = 0;
    int height = 0;
    if (!structure || !gst_structure_get_int(structure, "width", &width)) {
        return reject_sample("Sample caps structure does not have width");
    }
    if (!gst_structure_get_int(structure, "height", &height)) {
        return reject_sample("Sample caps structure does not have height");
    }

    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (buffer == nullptr) return reject_sample("Failed to map frame buffer");
    const GstClockTime pts = GST_BUFFER_PTS(buffer);

    const char* format = gst_structure_get_string(structure, "format");
    GstVideoInfo info;
    if (format == nullptr || !convert::handles(gst_video_format_from_string(format)) ||
        !gst_video_info_from_caps(&info, caps)) {
        return reject_sample(std::string("Received a frame with an unsupported color format: ") +
                             (format ? format : "None"));
    }

    // Mapping checks the planes against the buffer's size (with the video meta's strides and
    // offsets where there is one), so that the conversion later cannot read past the buffer.
    bool whole_frame;
    {
        convert::VideoFrameMap frame(info, buffer);
        whole_frame = frame.mapped();
    }
    if (width <= 0 || height <= 0 || !whole_frame) {
        logger_.error("Frame buffer of " + std::to_string(gst_buffer_get_size(buffer)) + " bytes is too small for a " +
                      std::to_string(width) + "x" + std::to_string(height) + " " + format + " frame");
        return GST_FLOW_OK;
    }

    auto record = std::make_shared<FrameRecord>();
    record->received_at = received_at;
    record->received_monotonic = received_monotonic;
    const std::optional<CaptureTime> captured = capture_time_of(buffer);
    if (captured) record->captured_at = captured->seconds;
    record->height = height;
    record->width = width;
    // Device memory and fixed-size pools would run dry while readers hold their buffers: such
    // frames are converted now, and their buffers go back at once.
    const bool convert_now = convert::holds_scarce_memory(buffer);
    record->keep_decoded(gst::UniqueBuffer(gst_buffer_ref(buffer)), info, conversions_);
    sample.reset();
    if (convert_now) record->pixels();

    std::shared_ptr<const FrameRecord> replaced;
    std::shared_ptr<const FrameRecord> forgotten;
    std::shared_ptr<const FrameRecord> stored = record;
    {
        std::lock_guard lock(frame_mutex_);
        // close() sets the flag under this lock: once it returned, no frame is stored.
        if (closing_.load()) return GST_FLOW_FLUSHING;
        record->number = frame_number_.load(std::memory_order_relaxed) + 1;
        frame_number_.store(record->number);
        capture_clock_ = captured ? captured->clock : CaptureClock::None;
        replaced = std::exchange(latest_frame_, std::move(record));
        forgotten = remember_frame(replaced);
    }
    // A thread already waiting for this frame will read it: converting here, before it wakes,
    // spares it dropping and retaking the GIL around the conversion. Pollers still convert on
    // their first read, and frames nobody waits for are never converted.
    if (new_frame_event_->has_waiters() || frame_watchers_.has_image_readers()) stored->pixels();
    stored.reset();
    if (encoded_ring_) encoded_ring_->note_frame(frame_number_.load(), pts, received_monotonic);
    note_first_frame();
    starting_.release();
    if (!pipeline_failed_.load(std::memory_order_relaxed)) end_failure_episode();
    set_status(StreamStatus::Streaming);
    new_frame_event_->set();
    frame_watchers_.notify();
    return GST_FLOW_OK;
}

GstPadProbeReturn LiveFeed::buffer_pad_probe(GstPad*, GstPadProbeInfo* info) const {
    starting_.release();
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (buffer != nullptr && GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT) && keyframes_only()) {
        return GST_PAD_PROBE_DROP;
    }
    return GST_PAD_PROBE_OK;
}

std::shared_ptr<gst::Pipeline> LiveFeed::current_pipeline() const {
    std::lock_guard lock(state_mutex_);
    return pipeline_;
}

}  // namespace vantle
