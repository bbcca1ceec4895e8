// Keeping a reader's stream alive: the supervision thread, the bus watcher and closing.

#include <chrono>
#include <exception>

#include "live_feed/live_feed.hpp"
#include "utils/timing/timeout.hpp"

namespace vantle {
namespace {

void request_null_state(GstElement* element, gpointer) { gst_element_set_state(element, GST_STATE_NULL); }

// Brings a pipeline to NULL on GStreamer's worker threads: the bus watch runs on the shared
// main-loop thread, and a source's teardown (an RTSP TEARDOWN, say) must not stall it.
void set_null_without_waiting(gst::Pipeline& pipeline) {
    gst_element_call_async(pipeline.element(), &request_null_state, nullptr, nullptr);
}

}  // namespace

bool LiveFeed::pipeline_watcher(GstBus*, GstMessage* message, gst::Pipeline& pipeline) {
    // A source torn down by close() often reports the lost connection on its way out: that is
    // not a halt, and the status must go straight to CLOSED.
    if (closing_.load()) return true;
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_EOS:
            logger_.warning("Received EOS on pipeline, retrying connection to the stream...");
            note_error("End of stream");
            set_status(StreamStatus::Halted);
            set_null_without_waiting(pipeline);
            break;
        case GST_MESSAGE_ERROR: {
            GError* raw_error = nullptr;
            gchar* raw_debug = nullptr;
            gst_message_parse_error(message, &raw_error, &raw_debug);
            gst::UniqueError error(raw_error);
            gst::UniqueString debug(raw_debug);
            logger_.warning("Error message on pipeline for " + logging::redact_url(url_) + ": " +
                            (debug ? logging::redact_text(debug.get()) : std::string("None")));
            std::string why = error && error->message ? error->message : "Pipeline error";
            if (debug) why += std::string(" (") + debug.get() + ")";
            note_error(why);
            set_status(StreamStatus::Halted);
            set_null_without_waiting(pipeline);
            break;
        }
        default:
            break;
    }
    return true;
}

void LiveFeed::pipeline_restarter() {
    std::exception_ptr failure;
    try {
        supervise();
    } catch (...) {
        failure = std::current_exception();
    }
    shut_down();
    status_.store(StreamStatus::Closed);
    new_status_event_->set();
    // Reported as Python reports an unhandled error of a thread, once the reader is closed.
    if (failure) std::rethrow_exception(failure);
}

void LiveFeed::supervise() {
    Timeout setup_timeout(options_.state_change_timeout, false);
    for (;;) {
        {
            std::unique_lock lock(state_mutex_);
            if (closing_.load()) return;
            // close() wakes this pause, so closing does not wait for the rest of it.
            close_requested_.wait_for(lock, std::chrono::milliseconds(100), [&] { return closing_.load(); });
        }
        std::shared_ptr<gst::Pipeline> pipeline = current_pipeline();
        const GstState state = pipeline->current_state();
        if (setup_timeout) continue;

        // Ages on the monotonic clock: a step of the wall clock neither stalls every stream
        // nor hides a stalled one.
        const auto frame = latest_frame();
        const bool received_frame_recently =
            frame && (monotonic_seconds() - frame->received_monotonic) < options_.frame_timeout;

        if (state == GST_STATE_NULL) {
            logger_.error("Pipeline state is null. Restarting...");
            pipeline->release_resources();
            std::shared_ptr<builders::PipelineFactory> factory;
            {
                std::lock_guard lock(state_mutex_);
                factory = pipeline_factory_;
            }
            note_build();
            replace_pipeline(factory->build());
            setup_timeout.reset();
        } else if (state == GST_STATE_READY || state == GST_STATE_PAUSED) {
            logger_.error("Pipeline failed to start playing before timeout. Shutting the pipeline down...");
            note_error("The pipeline did not start playing within " +
                       logging::format_float(options_.state_change_timeout) + " s");
            gst_element_set_state(pipeline->element(), GST_STATE_NULL);
        } else if (state == GST_STATE_PLAYING && !received_frame_recently) {
            logger_.error("Pipeline hasn't produced a frame recently. Shutting the pipeline down...");
            note_error("No frame arrived within " + logging::format_float(options_.frame_timeout) + " s");
            gst_element_set_state(pipeline->element(), GST_STATE_NULL);
        }
    }
}

void LiveFeed::shut_down() noexcept {
    // A closed reader keeps no pipeline: dropping the last one frees its sockets and its bus's
    // descriptors now, not when the reader object goes.
    std::shared_ptr<gst::Pipeline> pipeline;
    {
        std::lock_guard lock(state_mutex_);
        pipeline = std::move(pipeline_);
    }
    if (!pipeline) return;
    gst_element_set_state(pipeline->element(), GST_STATE_NULL);
    try {
        pipeline->wait_until_null(options_.state_change_timeout);
    } catch (const std::exception& error) {
        logger_.error(std::string("Failed to stop the pipeline: ") + error.what());
    }
    try {
        retire_drop_counters(*pipeline);
        pipeline->release_resources();
    } catch (const std::exception& error) {
        logger_.error(std::string("Failed to release the pipeline's resources: ") + error.what());
    } catch (...) {
        logger_.error("Failed to release the pipeline's resources");
    }
}

void LiveFeed::close() {
    {
        std::lock_guard lock(state_mutex_);
        closing_.store(true);
    }
    close_requested_.notify_all();
    frame_watchers_.notify();
}

void LiveFeed::wait_until_closed(const std::function<void(const BackgroundThread&)>& join) {
    close();
    if (auto pipeline = current_pipeline()) pipeline->wait_until_null(options_.state_change_timeout);
    BackgroundThread thread;
    {
        std::lock_guard lock(state_mutex_);
        thread = pipeline_restarter_thread_;
    }
    if (join) {
        join(thread);
    } else {
        thread.join();
    }
    std::shared_ptr<builders::PipelineFactory> dropped;
    std::lock_guard lock(state_mutex_);
    dropped = std::move(pipeline_factory_);
}

}  // namespace vantle
