// The tap behind the parser that decodebin plugs: parsed access units, with their caps, exactly
// as the decoder gets them. The decode path itself is left as it is.

#include <atomic>
#include <cstring>

#include "builders/pipeline_factory.hpp"
#include "utils/gstreamer/pads.hpp"

namespace vantle::builders {
namespace {

struct ParserTap {
    gst::PadProbeCallback probe;
    std::weak_ptr<gst::Pipeline> pipeline;
    logging::Logger logger;
    std::atomic<bool> tapped{false};
};

bool is_video_parser(GstElement* element) {
    GstElementFactory* factory = gst_element_get_factory(element);
    const gchar* klass = factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS) : nullptr;
    return klass != nullptr && std::strstr(klass, "Parser") != nullptr && std::strstr(klass, "Video") != nullptr;
}

void on_element_added(GstBin*, GstBin*, GstElement* element, gpointer data) {
    auto* tap = static_cast<ParserTap*>(data);
    try {
        if (!is_video_parser(element) || tap->tapped.exchange(true)) return;
        auto pipeline = tap->pipeline.lock();
        gst::UniquePad src(gst_element_get_static_pad(element, "src"));
        if (!pipeline || !src) return;
        pipeline->add_pad_probe(src.get(),
                                static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                                tap->probe);
        tap->logger.info("Keeping the encoded access units of parser " + gst::factory_name_of(element));
    } catch (const std::exception& error) {
        tap->logger.error(std::string("Cannot keep the encoded access units: ") + error.what());
    }
}

}  // namespace

void PipelineFactory::tap_parser_in(GstElement* decodebin, gst::Pipeline& pipeline) {
    auto* tap = new ParserTap{parsed_tap_(), pipeline.weak_from_this(), logger_};
    const gulong id = g_signal_connect_data(
        decodebin, "deep-element-added", G_CALLBACK(&on_element_added), tap,
        [](gpointer data, GClosure*) { delete static_cast<ParserTap*>(data); }, GConnectFlags(0));
    pipeline.record_signal_handler(decodebin, id);
}

}  // namespace vantle::builders
