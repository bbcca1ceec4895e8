// Keeping a reader's stream alive: the supervision thread, the bus watcher and closing.

#include <algorithm>
#include <chrono>
#include <exception>

#include <gio/gio.h>

#include "live_feed/exit_stop.hpp"
#include "live_feed/live_feed.hpp"
#include "utils/gstreamer/pads.hpp"
#include "utils/timing/timeout.hpp"

namespace vantle {
namespace {

void request_null_state(GstElement* element, gpointer) { gst_element_set_state(element, GST_STATE_NULL); }

// Brings a pipeline to NULL on GStreamer's worker threads: the bus watch runs on the shared
// main-loop thread, and a source's teardown (an RTSP TEARDOWN, say) must not stall it.
void set_null_without_waiting(gst::Pipeline& pipeline) {
    gst_element_call_async(pipeline.element(), &request_null_state, nullptr, nullptr);
}

// souphttpsrc reports a refused connection or a name that does not resolve only as a generic
// "Internal data stream error": an error of the HTTP source with no better message.
bool is_vague_http_source_error(GstMessage* message, const GError* error) {
    if (error == nullptr || !g_error_matches(error, GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED)) return false;
    GstObject* source = GST_MESSAGE_SRC(message);
    return source != nullptr && GST_IS_ELEMENT(source) && gst::factory_name_of(GST_ELEMENT(source)) == "souphttpsrc";
}

struct ConnectionCheck {
    std::weak_ptr<LiveFeed> feed;
    std::uint64_t episode;
};

void connection_checked(GObject* client, GAsyncResult* result, gpointer data) {
    std::unique_ptr<ConnectionCheck> check(static_cast<ConnectionCheck*>(data));
    GError* raw_error = nullptr;
    const std::unique_ptr<GSocketConnection, gst::ObjectUnref> connection(
        g_socket_client_connect_to_uri_finish(G_SOCKET_CLIENT(client), result, &raw_error));
    gst::UniqueError error(raw_error);
    try {
        if (auto feed = check->feed.lock(); feed && error && error->message) {
            feed->name_root_cause(check->episode, error->message);
        }
    } catch (...) {
        // Out of memory: the vague error stays the root cause.
    }
}

}  // namespace

void LiveFeed::check_connection(std::uint64_t episode) {
    // GIO's own connection attempt to the same host and port names what went wrong (refused,
    // unreachable, no such name). Asynchronous, on the main loop: the bus watch must not wait.
    // The attempt holds its own reference to the client until it has called back.
    const std::unique_ptr<GSocketClient, gst::ObjectUnref> client(g_socket_client_new());
    g_socket_client_set_timeout(client.get(), 10);
    const guint16 default_port = url_scheme(url_) == "https" ? 443 : 80;
    auto check = std::make_unique<ConnectionCheck>(ConnectionCheck{weak_from_this(), episode});
    g_socket_client_connect_to_uri_async(client.get(), url_.c_str(), default_port, nullptr, &connection_checked,
                                         check.release());
}

double retry_delay(unsigned failure, double first, double cap) noexcept {
    if (failure <= 1) return 0;
    double delay = first;
    for (unsigned i = 2; i < failure && delay < cap; ++i) delay *= 2;
    return std::min(delay, cap);
}

bool LiveFeed::pipeline_watcher(GstBus*, GstMessage* message, gst::Pipeline& pipeline) {
    // A source torn down by close() often reports the lost connection on its way out: that is
    // not a halt, and the status must go straight to CLOSED.
    if (closing_.load()) return true;
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_EOS:
            logger_.warning("Received EOS on pipeline, retrying connection to the stream...");
            pipeline_failed_.store(true);  // before the episode begins: a frame still in flight ends none
            note_error("End of stream");
            set_status(StreamStatus::Halted);
            set_null_without_waiting(pipeline);
            wake_supervision(&pipeline);
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
            pipeline_failed_.store(true);
            const std::uint64_t episode = note_error(why);
            if (episode != 0 && is_vague_http_source_error(message, error.get())) check_connection(episode);
            set_status(StreamStatus::Halted);
            set_null_without_waiting(pipeline);
            wake_supervision(&pipeline);
            break;
        }
        case GST_MESSAGE_STATE_CHANGED:
            // A pipeline falling back to READY or PAUSED after its start is taken down at once.
            if (GST_MESSAGE_SRC(message) == GST_OBJECT(pipeline.element())) wake_supervision();
            break;
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
    taken_down_.store(true);
    exit_stop::note_taken_down();
    set_status(StreamStatus::Closed);
    // Reported as Python reports an unhandled error of a thread, once the reader is closed.
    if (failure) std::rethrow_exception(failure);
}

// Sleeps until the next deadline (end of the grace period, stall limit, scheduled rebuild) or
// an event (a failure on the bus, a state change, close()).
void LiveFeed::supervise() {
    double grace_ends = built_monotonic_.load() + options_.state_change_timeout;
    std::optional<double> retry_at;
    for (;;) {
        std::shared_ptr<gst::Pipeline> pipeline;
        bool reported = false;
        std::uint64_t events = 0;
        {
            std::lock_guard lock(state_mutex_);
            if (closing_.load()) return;
            pipeline = pipeline_;
            reported = failed_pipeline_ == pipeline.get();
            events = supervision_events_;
        }
        double now = monotonic_seconds();
        double wake_at = 0;
        if (retry_at) {
            if (now >= *retry_at) {
                rebuild(*pipeline);
                retry_at.reset();
                grace_ends = monotonic_seconds() + options_.state_change_timeout;
                continue;
            }
            wake_at = *retry_at;
        } else {
            // A pipeline that failed is rebuilt at once; one still starting gets its grace period.
            const GstState state = pipeline->current_state();
            bool failed = reported || state == GST_STATE_NULL;
            if (!failed && now >= grace_ends) {
                if (state == GST_STATE_READY || state == GST_STATE_PAUSED) {
                    logger_.error("Pipeline failed to start playing before timeout. Shutting the pipeline down...");
                    note_error("The pipeline did not start playing within " +
                               logging::format_float(options_.state_change_timeout) + " s");
                    failed = true;
                } else {
                    // Ages on the monotonic clock: a step of the wall clock neither stalls every
                    // stream nor hides a stalled one. Never a frame: stalled once the grace is over.
                    const auto frame = latest_frame();
                    const double stalls_at = frame ? frame->received_monotonic + options_.frame_timeout : now;
                    if (state == GST_STATE_PLAYING && now >= stalls_at) {
                        logger_.error("Pipeline hasn't produced a frame recently. Shutting the pipeline down...");
                        note_error("No frame arrived within " + logging::format_float(options_.frame_timeout) + " s");
                        failed = true;
                    } else {
                        wake_at = std::max(stalls_at, now + 1);
                    }
                }
            } else if (!failed) {
                wake_at = grace_ends;
            }
            if (failed) {
                retry_at = schedule_retry(*pipeline);
                continue;
            }
        }
        std::unique_lock lock(state_mutex_);
        now = monotonic_seconds();
        if (wake_at > now) {
            supervision_wakeup_.wait_for(lock, std::chrono::duration<double>(wake_at - now),
                                         [&] { return closing_.load() || supervision_events_ != events; });
        }
    }
}

double LiveFeed::schedule_retry(gst::Pipeline& failed) {
    // Whatever brought it down, the failed pipeline is stopped now: its sockets close before
    // the wait for the rebuild.
    pipeline_failed_.store(true);
    gst_element_set_state(failed.element(), GST_STATE_NULL);
    if (!failing_.load()) note_error("The pipeline stopped");
    const unsigned failure = count_failure();
    retries_in_episode_ = failure;
    const double delay = retry_delay(failure, options_.retry_interval, options_.max_retry_interval);
    const double at = monotonic_seconds() + delay;
    retry_at_.store(at);
    if (failure > 1) logger_.info("Rebuilding the pipeline in " + logging::format_float(delay) + " s");
    return at;
}

void LiveFeed::rebuild(gst::Pipeline& failed) {
    // The first rebuild of a failure episode is an error worth seeing; the retries after it are not.
    if (retries_in_episode_ > 1) {
        logger_.info("Pipeline state is null. Restarting...");
    } else {
        logger_.error("Pipeline state is null. Restarting...");
    }
    failed.release_resources();
    std::shared_ptr<builders::PipelineFactory> factory;
    {
        // The failed pipeline is still referenced, so no new one can share its address.
        std::lock_guard lock(state_mutex_);
        factory = pipeline_factory_;
        failed_pipeline_ = nullptr;
    }
    pipeline_failed_.store(false);
    note_build();
    replace_pipeline(factory->build());
    retry_at_.store(-1);
}

void LiveFeed::replace_pipeline(std::shared_ptr<gst::Pipeline> rebuilt) {
    std::shared_ptr<gst::Pipeline> old = current_pipeline();
    if (old) retire_drop_counters(*old);
    {
        std::lock_guard lock(state_mutex_);
        old = std::exchange(pipeline_, std::move(rebuilt));
        pipeline_facts_ = pipeline_factory_ ? pipeline_factory_->facts() : nullptr;
    }
    rebuilds_.fetch_add(1, std::memory_order_relaxed);
}

void LiveFeed::wake_supervision(const gst::Pipeline* failed) {
    {
        std::lock_guard lock(state_mutex_);
        if (failed != nullptr) failed_pipeline_ = failed;
        ++supervision_events_;
    }
    supervision_wakeup_.notify_all();
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
        // Taken in this order nowhere else; the frame path checks the flag under frame_mutex_.
        std::scoped_lock lock(state_mutex_, frame_mutex_);
        closing_.store(true);
    }
    supervision_wakeup_.notify_all();
    // The supervision thread still takes the pipeline down, and may mark the reader CLOSED before
    // this line does: the frame waiters are woken here whoever marks it, or one that looked just
    // before the flag was set would sleep on.
    set_status(StreamStatus::Closed);
    frame_watchers_.notify();
}

bool LiveFeed::closing() const noexcept { return closing_.load() || status() == StreamStatus::Closed; }

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
