#pragma once

#include <gst/gst.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <stdexcept>
#include <string>
#include <vector>

#include "logger/logger.hpp"
#include "utils/gstreamer/gst_ptr.hpp"

namespace vantle {

class NotLinkedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A GError passed on with its domain and code (a launch string that does not parse, for
// example). GStreamer writes element names into its messages, and an element may be named
// after the stream URL, so the text keeps no password.
class GErrorException : public std::runtime_error {
public:
    explicit GErrorException(const GError& error)
        : std::runtime_error(logging::redact_text(error.message ? error.message : "")),
          domain(error.domain),
          code(error.code) {}
    GQuark domain;
    int code;
};

namespace gst {

// Callbacks that GStreamer calls. The trampolines that call them catch every exception (and
// log it), so an error never unwinds into GStreamer.
using BusCallback = std::function<bool(GstBus*, GstMessage*)>;
using PadProbeCallback = std::function<GstPadProbeReturn(GstPad*, GstPadProbeInfo*)>;
using NewSampleCallback = std::function<GstFlowReturn(GstElement*)>;
using PadAddedCallback = std::function<void(GstElement*, GstPad*)>;
// Sets an element's properties; runs between adding the element and starting it.
using PropertySetter = std::function<void(GstElement*)>;

// One GStreamer pipeline plus a record of every signal handler, bus watch and pad probe
// attached to it, so that one call detaches them all before the pipeline is thrown away.
class Pipeline : public std::enable_shared_from_this<Pipeline> {
public:
    using ReleaseAction = std::function<void()>;

    // A new, empty pipeline; GStreamer names it when `name` is absent.
    static std::shared_ptr<Pipeline> create(const std::optional<std::string>& name = std::nullopt);
    // The pipeline that `launch` describes, named `name`. Throws GErrorException when it does not parse.
    static std::shared_ptr<Pipeline> from_launch_string(const std::string& launch, const std::string& name);

    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    GstPipeline* pipeline() const noexcept { return pipeline_.get(); }
    GstElement* element() const noexcept { return GST_ELEMENT(pipeline_.get()); }
    GstBus* bus() const noexcept { return bus_.get(); }

    // Attachments. Each records the action that undoes it.
    void connect_pad_added(GstElement* element, PadAddedCallback callback);
    void connect_new_sample(GstElement* appsink, NewSampleCallback callback);
    void add_bus_watch(BusCallback callback);
    void add_pad_probe(GstPad* pad, GstPadProbeType type, PadProbeCallback callback);
    // For handlers, watches and probes attached by other means (the Python bindings).
    void record_signal_handler(gpointer instance, gulong handler_id);
    void record_bus_watch();
    void record_pad_probe(GstPad* pad, gulong probe_id);
    std::size_t pending_release_actions() const;

    // Runs the release actions in attachment order, each once. An action that throws is
    // already out of the list; the rest stay for the next call.
    void release_resources();

    // Posts a stream error from this pipeline on its own bus; `message` travels in the debug
    // string together with the caller's location. Safe from any thread.
    void post_error(const std::string& message, std::source_location where = std::source_location::current());
    void post_error_at(const std::string& message, const char* file, const char* function, int line);

    // Both throw StreamSetupError when the state is not reached in time.
    void wait_until_playing(double timeout_seconds);
    void wait_until_null(double timeout_seconds);

    // Borrowed reference; throws StreamSetupError when none was set.
    GstElement* appsink() const;
    void set_appsink(GstElement* appsink);

    // Creates an element of `factory_name`, adds it, sets its properties, starts it when
    // `auto_play` and links `link_to` to it. Throws NotLinkedError when the link fails (the
    // element stays in the pipeline) and StreamSetupError for an unknown factory.
    // Returns a borrowed reference (the pipeline owns the element).
    GstElement* new_element(const std::string& factory_name, GstElement* link_to = nullptr,
                            const PropertySetter& set_properties = {}, bool auto_play = true);
    // A capsfilter for the first of `options` that links; nullptr for no options.
    GstElement* filter_caps(GstElement* link_to, const std::vector<std::string>& options, bool auto_play = true);

    GstState current_state() const;

private:
    explicit Pipeline(GstPipeline* adopted);
    // Blocks until the pipeline is in `wanted` or `timeout_seconds` passed; true when it is.
    bool wait_for_state(GstState wanted, double timeout_seconds) const;
    void append(ReleaseAction action);

    UniquePipeline pipeline_;
    UniqueBus bus_;
    mutable std::mutex mutex_;
    std::deque<ReleaseAction> destructors_;
    SharedRef<GstElement> appsink_;
};

}  // namespace gst
}  // namespace vantle
