#include "utils/gstreamer/pipeline.hpp"

#include <algorithm>

#include "feed_contract/feed_contract.hpp"
#include "logger/logger.hpp"
#include "runtime/without_gil.hpp"
#include "utils/timing/timeout.hpp"

namespace vantle::gst {
namespace {

void log_callback_failure(const char* callback, const char* what) noexcept {
    logging::root().error(std::string("Unhandled error in ") + callback + ": " + logging::redact_text(what));
}

// Trampolines: GStreamer calls these with the callback as user data. Nothing escapes them.
template <class Callback>
void destroy_callback(gpointer data, GClosure*) {
    delete static_cast<Callback*>(data);
}
template <class Callback>
void destroy_notify(gpointer data) {
    delete static_cast<Callback*>(data);
}

// Runs a callback for GStreamer: an exception is logged and `fallback` returned instead.
template <class R, class Call>
R guarded(const char* callback, R fallback, Call&& call) noexcept {
    try {
        return call();
    } catch (const std::exception& error) {
        log_callback_failure(callback, error.what());
    } catch (...) {
        log_callback_failure(callback, "unknown error");
    }
    return fallback;
}

void pad_added_trampoline(GstElement* element, GstPad* pad, gpointer data) {
    guarded("pad-added handler", 0, [&] {
        (*static_cast<PadAddedCallback*>(data))(element, pad);
        return 0;
    });
}

GstFlowReturn new_sample_trampoline(GstElement* appsink, gpointer data) {
    return guarded("new-sample handler", GST_FLOW_ERROR,
                   [&] { return (*static_cast<NewSampleCallback*>(data))(appsink); });
}

gboolean bus_trampoline(GstBus* bus, GstMessage* message, gpointer data) {
    return guarded("bus watch", TRUE,
                   [&] { return (*static_cast<BusCallback*>(data))(bus, message) ? TRUE : FALSE; });
}

GstPadProbeReturn probe_trampoline(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    return guarded("pad probe", GST_PAD_PROBE_OK, [&] { return (*static_cast<PadProbeCallback*>(data))(pad, info); });
}

void set_null_state(GstElement* element, gpointer) { gst_element_set_state(element, GST_STATE_NULL); }

GstClockTime clock_time_from_seconds(double seconds) {
    return seconds <= 0 ? 0 : static_cast<GstClockTime>(seconds * GST_SECOND);
}

}  // namespace

Pipeline::Pipeline(GstPipeline* adopted)
    : pipeline_(static_cast<GstPipeline*>(g_object_ref_sink(adopted))), bus_(gst_pipeline_get_bus(adopted)) {}

std::shared_ptr<Pipeline> Pipeline::create(const std::optional<std::string>& name) {
    GstElement* pipeline = gst_pipeline_new(name ? name->c_str() : nullptr);
    return std::shared_ptr<Pipeline>(new Pipeline(GST_PIPELINE(pipeline)));
}

std::shared_ptr<Pipeline> Pipeline::from_launch_string(const std::string& launch, const std::string& name) {
    GError* raw_error = nullptr;
    GstElement* parsed = gst_parse_launch(launch.c_str(), &raw_error);
    UniqueError error(raw_error);
    UniqueElement element(parsed ? static_cast<GstElement*>(g_object_ref_sink(parsed)) : nullptr);
    if (error) throw GErrorException(*error);
    if (!element) throw StreamSetupError("The launch string did not describe a pipeline");

    std::shared_ptr<Pipeline> wrapper;
    if (GST_IS_PIPELINE(element.get())) {
        wrapper = std::shared_ptr<Pipeline>(new Pipeline(GST_PIPELINE(element.get())));
    } else {
        // A lone element: give it a pipeline so that it has a bus and a clock.
        wrapper = std::shared_ptr<Pipeline>(new Pipeline(GST_PIPELINE(gst_pipeline_new(nullptr))));
        gst_bin_add(GST_BIN(wrapper->pipeline()), element.get());
    }
    gst_object_set_name(GST_OBJECT(wrapper->pipeline()), name.c_str());
    return wrapper;
}

Pipeline::~Pipeline() {
    try {
        release_resources();
    } catch (const std::exception& error) {
        logging::root().error(std::string("Failed to release a pipeline's resources: ") + error.what());
    }
    // A pipeline (or an element started on its own) dropped while running would keep its
    // streaming threads; bring it all to NULL on GStreamer's own worker so that this never
    // blocks: the last reference may go on any thread, a streaming thread included.
    gst_element_call_async(element(), &set_null_state, nullptr, nullptr);
}

void Pipeline::append(ReleaseAction action) {
    std::lock_guard lock(mutex_);
    destructors_.push_back(std::move(action));
}

std::size_t Pipeline::pending_release_actions() const {
    std::lock_guard lock(mutex_);
    return destructors_.size();
}

void Pipeline::record_signal_handler(gpointer instance, gulong handler_id) {
    append([instance = SharedRef<GObject>(G_OBJECT(instance)), handler_id] {
        if (g_signal_handler_is_connected(instance.get(), handler_id)) {
            g_signal_handler_disconnect(instance.get(), handler_id);
        }
    });
}

void Pipeline::record_bus_watch() {
    // Refers back to this wrapper without owning it: only this wrapper runs its actions.
    append([this] { gst_bus_remove_watch(bus_.get()); });
}

void Pipeline::record_pad_probe(GstPad* pad, gulong probe_id) {
    append([pad = SharedRef<GstPad>(pad), probe_id] { gst_pad_remove_probe(pad.get(), probe_id); });
}

void Pipeline::connect_pad_added(GstElement* element, PadAddedCallback callback) {
    auto* data = new PadAddedCallback(std::move(callback));
    const gulong id = g_signal_connect_data(element, "pad-added", G_CALLBACK(pad_added_trampoline), data,
                                            &destroy_callback<PadAddedCallback>, GConnectFlags{});
    record_signal_handler(element, id);
}

void Pipeline::connect_new_sample(GstElement* appsink, NewSampleCallback callback) {
    auto* data = new NewSampleCallback(std::move(callback));
    const gulong id = g_signal_connect_data(appsink, "new-sample", G_CALLBACK(new_sample_trampoline), data,
                                            &destroy_callback<NewSampleCallback>, GConnectFlags{});
    record_signal_handler(appsink, id);
}

void Pipeline::add_bus_watch(BusCallback callback) {
    auto* data = new BusCallback(std::move(callback));
    gst_bus_add_watch_full(bus_.get(), G_PRIORITY_DEFAULT, &bus_trampoline, data, &destroy_notify<BusCallback>);
    record_bus_watch();
}

void Pipeline::add_pad_probe(GstPad* pad, GstPadProbeType type, PadProbeCallback callback) {
    auto* data = new PadProbeCallback(std::move(callback));
    const gulong id = gst_pad_add_probe(pad, type, &probe_trampoline, data, &destroy_notify<PadProbeCallback>);
    record_pad_probe(pad, id);
}

void Pipeline::release_resources() {
    for (;;) {
        ReleaseAction action;
        {
            std::lock_guard lock(mutex_);
            if (destructors_.empty()) return;
            action = std::move(destructors_.front());
            destructors_.pop_front();
        }
        action();
    }
}

void Pipeline::post_error(const std::string& message, std::source_location where) {
    post_error_at(message, where.file_name(), where.function_name(), static_cast<int>(where.line()));
}

void Pipeline::post_error_at(const std::string& message, const char* file, const char* function, int line) {
    const std::string redacted = logging::redact_text(message);
    logging::root().warning("Posting error to bus: " + redacted);
    gst_element_message_full(element(), GST_MESSAGE_ERROR, GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, nullptr,
                             g_strdup(redacted.c_str()), file, function, line);
}

GstState Pipeline::current_state() const {
    GstState state = GST_STATE_VOID_PENDING;
    gst_element_get_state(element(), &state, nullptr, 0);
    return state;
}

void Pipeline::wait_until_playing(double timeout_seconds) {
    WithoutGil without_gil;
    if (current_state() == GST_STATE_PLAYING) return;

    Timeout timeout(timeout_seconds, false);
    const auto filter = static_cast<GstMessageType>(GST_MESSAGE_STATE_CHANGED | GST_MESSAGE_ERROR);
    while (timeout) {
        // Each pop waits only for the time left, so the limit holds whatever arrives meanwhile.
        const double remaining = timeout_seconds - timeout.elapsed();
        UniqueMessage message(gst_bus_timed_pop_filtered(bus_.get(), clock_time_from_seconds(remaining), filter));
        if (!message) continue;
        if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
            GError* raw_error = nullptr;
            gst_message_parse_error(message.get(), &raw_error, nullptr);
            UniqueError error(raw_error);
            throw StreamSetupError(logging::redact_text(error && error->message ? error->message : ""));
        }
        GstState new_state = GST_STATE_VOID_PENDING;
        gst_message_parse_state_changed(message.get(), nullptr, &new_state, nullptr);
        if (new_state == GST_STATE_PLAYING) return;
    }
    if (current_state() == GST_STATE_PLAYING) return;
    gst_element_set_state(element(), GST_STATE_NULL);
    throw StreamSetupError("Timeout while waiting for stream to start");
}

void Pipeline::wait_until_null(double timeout_seconds) {
    WithoutGil without_gil;
    // A limit that has passed fails without looking, like every expired Timeout.
    if (timeout_seconds > 0 && wait_for_state(GST_STATE_NULL, timeout_seconds)) return;
    throw StreamSetupError("Timeout while waiting for stream to reach null state");
}

bool Pipeline::wait_for_state(GstState wanted, double timeout_seconds) const {
    // gst_element_get_state() only waits for an asynchronous change, and changes down to NULL
    // never are. But every completed change, whoever made it (GStreamer's workers, a caller
    // holding the GObject), updates the state under the object lock and then broadcasts the
    // element's state condition: wait on that, until one monotonic deadline.
    GstElement* pipeline = element();
    constexpr double kLongestWait = 365.0 * 24 * 3600;  // keeps the microseconds in range
    const gint64 deadline =
        g_get_monotonic_time() + static_cast<gint64>(std::min(timeout_seconds, kLongestWait) * G_USEC_PER_SEC);
    GST_OBJECT_LOCK(pipeline);
    bool reached = GST_STATE(pipeline) == wanted;
    while (!reached && GST_STATE_WAIT_UNTIL(pipeline, deadline)) reached = GST_STATE(pipeline) == wanted;
    reached = GST_STATE(pipeline) == wanted;
    GST_OBJECT_UNLOCK(pipeline);
    return reached;
}

GstElement* Pipeline::appsink() const {
    std::lock_guard lock(mutex_);
    if (!appsink_.get()) throw StreamSetupError("The appsink has not been set for this pipeline yet");
    return appsink_.get();
}

void Pipeline::set_appsink(GstElement* appsink) {
    SharedRef<GstElement> replacement(appsink);
    std::lock_guard lock(mutex_);
    appsink_ = std::move(replacement);
}

GstElement* Pipeline::new_element(const std::string& factory_name, GstElement* link_to,
                                  const PropertySetter& set_properties, bool auto_play) {
    GstElement* element = gst_element_factory_make(factory_name.c_str(), nullptr);
    if (element == nullptr) {
        throw StreamSetupError("No element could be made from the factory '" + factory_name +
                               "': it is not installed or failed to load");
    }
    gst_bin_add(GST_BIN(pipeline_.get()), element);
    if (set_properties) set_properties(element);
    if (auto_play) gst_element_set_state(element, GST_STATE_PLAYING);
    if (link_to != nullptr && !gst_element_link(link_to, element)) {
        throw NotLinkedError("Failed to link " + factory_name);
    }
    return element;
}

GstElement* Pipeline::filter_caps(GstElement* link_to, const std::vector<std::string>& options, bool auto_play) {
    for (std::size_t i = 0; i < options.size(); ++i) {
        UniqueCaps caps(gst_caps_from_string(options[i].c_str()));
        try {
            return new_element(
                "capsfilter", link_to, [&](GstElement* filter) { g_object_set(filter, "caps", caps.get(), nullptr); },
                auto_play);
        } catch (const NotLinkedError&) {
            if (i + 1 == options.size()) throw;
        }
    }
    return nullptr;
}

}  // namespace vantle::gst
