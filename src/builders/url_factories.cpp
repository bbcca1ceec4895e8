#include "builders/url_factories.hpp"

#include <gst/rtsp/gstrtsptransport.h>

#include <optional>

#include "feed_contract/feed_contract.hpp"
#include "utils/gstreamer/pads.hpp"
#include "utils/timing/timeout.hpp"

namespace vantle::builders {
namespace {

using ElementAddedCallback = std::function<void(GstElement*)>;

void deep_element_added_trampoline(GstBin*, GstBin*, GstElement* element, gpointer data) {
    try {
        (*static_cast<ElementAddedCallback*>(data))(element);
    } catch (...) {
        // Never into GStreamer; the stream then fails the way it would have without us.
    }
}

void destroy_element_added(gpointer data, GClosure*) { delete static_cast<ElementAddedCallback*>(data); }

// Calls `callback` for every element added anywhere inside `pipeline` (decodebin's children too).
void on_deep_element_added(gst::Pipeline& pipeline, ElementAddedCallback callback) {
    auto* data = new ElementAddedCallback(std::move(callback));
    const gulong id = g_signal_connect_data(pipeline.element(), "deep-element-added",
                                            G_CALLBACK(deep_element_added_trampoline), data, &destroy_element_added,
                                            GConnectFlags{});
    pipeline.record_signal_handler(pipeline.element(), id);
}

// Parts of a multipart/x-mixed-replace body carry no timestamps, and their rate is the
// camera's whim. A part is kept when it arrives at least one period of the framerate limit after
// the previous kept one, less a quarter period for jitter, else dropped before it is decoded;
// kept parts are stamped one period apart. The limit's videorate then passes them as they come:
// it never repeats a picture of a camera slower than the limit.
class MotionJpegPacer {
public:
    explicit MotionJpegPacer(int max_framerate) : period_(1.0 / max_framerate) {}

    // The timestamp of a part that arrived at `now` (monotonic seconds), or none to drop it.
    std::optional<GstClockTime> keep(double now) noexcept {
        if (next_due_ && now + period_ / 4 < *next_due_) return std::nullopt;
        // After a gap the count starts again, so a burst cannot use up the time the gap saved.
        next_due_ = !next_due_ || now > *next_due_ + period_ ? now + period_ : *next_due_ + period_;
        return static_cast<GstClockTime>(static_cast<double>(kept_++) * period_ * GST_SECOND);
    }

private:
    double period_;
    std::optional<double> next_due_;
    std::uint64_t kept_ = 0;
};

void pace_parts(gst::Pipeline& pipeline, GstPad* pad, int max_framerate, std::shared_ptr<PipelineFacts> facts) {
    auto pacer = std::make_shared<MotionJpegPacer>(max_framerate);
    pipeline.add_pad_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, [pacer, facts](GstPad*, GstPadProbeInfo* info) {
        const auto pts = pacer->keep(monotonic_seconds());
        if (!pts) {
            facts->count_limit_drop();
            return GST_PAD_PROBE_DROP;
        }
        GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
        GST_PAD_PROBE_INFO_DATA(info) = buffer;
        GST_BUFFER_PTS(buffer) = *pts;
        GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
        return GST_PAD_PROBE_OK;
    });
}

}  // namespace

namespace {

// Asks for the sender's wall-clock time on every packet once a sender report (or an RFC 7273
// clock) maps the RTP clock to it: the reference-timestamp meta then travels through the
// depayloader and the decoder to the decoded frame. Older GStreamer lacks the property.
void add_reference_timestamps(GstElement* element) {
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), "add-reference-timestamp-meta") != nullptr) {
        g_object_set(element, "add-reference-timestamp-meta", TRUE, nullptr);
    }
}

// rtspsrc's "new-manager": its rtpbin, which stamps sender-report times only when asked itself.
void on_new_manager(GstElement*, GstElement* manager, gpointer) { add_reference_timestamps(manager); }

}  // namespace

RTSPPipelineFactory::RTSPPipelineFactory(std::string url, int latency, Callbacks callbacks, bool force_tcp)
    : PipelineFactory(std::move(url), kFramerateLimit),
      latency_(latency),
      callbacks_(std::move(callbacks)),
      force_tcp_(force_tcp) {}

std::shared_ptr<gst::Pipeline> RTSPPipelineFactory::build() {
    logger().info("Building an RTSP pipeline");
    begin_facts()->update([this](StreamFacts& facts) { facts.latency_ms = latency_; });
    auto pipeline = gst::Pipeline::create(pipeline_name());
    attach_watcher(*pipeline, callbacks_.pipeline_watcher);
    GstElement* appsink = add_appsink(*pipeline, callbacks_.on_new_sample);
    // RTSP is always live and its jitter buffer already paces the stream: waiting for the clock
    // again at the sink would only add latency to every frame.
    g_object_set(appsink, "sync", FALSE, nullptr);

    GstElement* source = pipeline->new_element(
        "rtspsrc", nullptr,
        [this](GstElement* rtspsrc) {
            g_object_set(rtspsrc, "location", url().c_str(), nullptr);
            g_object_set(rtspsrc, "latency", static_cast<guint>(latency_), nullptr);
            if (force_tcp_) g_object_set(rtspsrc, "protocols", GST_RTSP_LOWER_TRANS_TCP, nullptr);
            add_reference_timestamps(rtspsrc);
            g_signal_connect(rtspsrc, "new-manager", G_CALLBACK(on_new_manager), nullptr);
            // No dummy packets to open a NAT for UDP: they cost every stream a thread for its
            // lifetime, and a reader that receives no UDP falls back to TCP after rtspsrc's timeout.
            gst_util_set_object_arg(G_OBJECT(rtspsrc), "nat-method", "none");
        },
        false);
    std::weak_ptr<gst::Pipeline> weak = pipeline;
    auto self = std::static_pointer_cast<RTSPPipelineFactory>(shared_from_this());
    pipeline->connect_pad_added(source, [self, weak](GstElement* element, GstPad* pad) {
        if (auto owner = weak.lock()) self->set_up_depayloader(element, pad, *owner);
    });
    gst_element_set_state(pipeline->element(), GST_STATE_PLAYING);
    return pipeline;
}

void RTSPPipelineFactory::set_up_depayloader(GstElement* element, GstPad* pad, gst::Pipeline& pipeline) {
    try {
        logger().info("rtspsrc element got a new pad: " + gst::pad_to_string(pad));
        const std::string transport = rtsp_transport(element);
        facts()->update([&](StreamFacts& facts) { facts.transport = transport; });
        GstCaps* raw_caps = nullptr;
        g_object_get(pad, "caps", &raw_caps, nullptr);
        gst::UniqueCaps caps(raw_caps);
        if (!caps) {
            pipeline.post_error("Source pad has no caps!");
            return;
        }
        if (gst::is_rtp_audio_pad(pad)) {
            logger().info("Ignoring this RTP pad because it appears to be audio");
            return;
        }

        gst::UniqueElement depayloader;
        try {
            depayloader = gst::find_element(caps.get(), GST_ELEMENT_FACTORY_TYPE_DEPAYLOADER);
        } catch (const StreamSetupError& error) {
            pipeline.post_error(error.what());
            return;
        }
        gst_bin_add(GST_BIN(pipeline.pipeline()), depayloader.get());
        gst_element_set_state(depayloader.get(), GST_STATE_PLAYING);
        logger().info(std::string("Found depayloader: ") + G_OBJECT_TYPE_NAME(depayloader.get()));
        const std::string depayloader_type = G_OBJECT_TYPE_NAME(depayloader.get());
        facts()->update([&](StreamFacts& facts) { facts.depayloader = depayloader_type; });

        gst::UniquePad depayloader_src(gst_element_get_static_pad(depayloader.get(), "src"));
        gst::UniquePad depayloader_sink(gst_element_get_static_pad(depayloader.get(), "sink"));
        pipeline.add_pad_probe(depayloader_src.get(), GST_PAD_PROBE_TYPE_BUFFER, callbacks_.buffer_probe);

        const GstPadLinkReturn linked = gst_pad_link(pad, depayloader_sink.get());
        if (linked != GST_PAD_LINK_OK) {
            pipeline.post_error(std::string("Failed to link source with depayloader: ") + gst_pad_link_get_name(linked));
            return;
        }
        logger().info("Linked rtspsrc to depayloader");
        set_up_decoder(depayloader.get(), depayloader_src.get(), pipeline);
    } catch (const std::exception& error) {
        logger().error(std::string("Failed to set up the depayloader: ") + logging::redact_text(error.what()));
    }
}

HTTPPipelineFactory::HTTPPipelineFactory(std::string url, Callbacks callbacks)
    : PipelineFactory(std::move(url), kFramerateLimit), callbacks_(std::move(callbacks)) {}

std::shared_ptr<gst::Pipeline> HTTPPipelineFactory::build() {
    begin_facts();
    auto pipeline = gst::Pipeline::create(pipeline_name());
    attach_watcher(*pipeline, callbacks_.pipeline_watcher);
    add_appsink(*pipeline, callbacks_.on_new_sample);

    GstElement* source = pipeline->new_element(
        "souphttpsrc", nullptr, [this](GstElement* src) { g_object_set(src, "location", url().c_str(), nullptr); });
    gst::UniquePad source_pad(gst_element_get_static_pad(source, "src"));
    pipeline->add_pad_probe(source_pad.get(), GST_PAD_PROBE_TYPE_BUFFER, callbacks_.buffer_probe);
    // Motion JPEG: souphttpsrc gives the response's content type as caps, decodebin picks
    // multipartdemux for multipart/x-mixed-replace and a JPEG decoder for its parts.
    std::weak_ptr<gst::Pipeline> weak = pipeline;
    auto self = shared_from_this();
    on_deep_element_added(*pipeline, [self, weak](GstElement* element) {
        if (gst::factory_name_of(element) != "multipartdemux") return;
        self->logger().info("The stream is multipart (Motion JPEG)");
        // One stream of pictures: without no-more-pads decodebin waits for more streams, and
        // exposes the one there is only once its queue is full, which a slow camera takes long to fill.
        g_object_set(element, "single-stream", TRUE, nullptr);
        if (auto owner = weak.lock()) {
            // Paced by the camera: the pacer's stamps are no times to wait for.
            g_object_set(owner->appsink(), "sync", FALSE, nullptr);
            owner->connect_pad_added(element, [self, weak](GstElement*, GstPad* pad) {
                if (auto demuxed = weak.lock()) pace_parts(*demuxed, pad, self->max_framerate(), self->facts());
            });
        }
    });
    set_up_decoder(source, source_pad.get(), *pipeline);
    gst_element_set_state(pipeline->element(), GST_STATE_PLAYING);
    return pipeline;
}

}  // namespace vantle::builders
