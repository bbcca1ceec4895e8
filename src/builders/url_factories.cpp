#include "builders/url_factories.hpp"

#include <gst/rtsp/gstrtsptransport.h>

#include "feed_contract/feed_contract.hpp"
#include "utils/gstreamer/pads.hpp"

namespace vantle::builders {

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
    set_up_decoder(source, source_pad.get(), *pipeline);
    gst_element_set_state(pipeline->element(), GST_STATE_PLAYING);
    return pipeline;
}

}  // namespace vantle::builders
