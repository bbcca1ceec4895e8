#include "builders/stream_facts.hpp"

#include <gst/base/gstbasesink.h>

#include <cstdlib>

#include "utils/gstreamer/pads.hpp"

namespace vantle::builders {
namespace {

// IPv4 224.0.0.0/4 or IPv6 ff00::/8.
bool is_multicast(const std::string& address) {
    if (address.size() >= 2 && (address[0] == 'f' || address[0] == 'F') && (address[1] == 'f' || address[1] == 'F')) {
        return true;
    }
    const int first = std::atoi(address.c_str());
    return address.find('.') != std::string::npos && first >= 224 && first <= 239;
}

}  // namespace

StreamFacts PipelineFacts::snapshot() const {
    std::lock_guard lock(mutex_);
    return facts_;
}

void PipelineFacts::set_videorate(GstElement* videorate) {
    videorate_.set(videorate);
}

std::uint64_t PipelineFacts::dropped_frames(GstElement* appsink) const {
    std::uint64_t dropped = limit_drops_.load(std::memory_order_relaxed);
    const auto videorate = videorate_.lock();
    if (videorate.get() != nullptr) {
        guint64 rate_dropped = 0;
        guint64 in = 0;
        guint64 out = 0;
        gboolean drop_only = FALSE;
        g_object_get(videorate.get(), "drop", &rate_dropped, "in", &in, "out", &out, "drop-only", &drop_only, nullptr);
        // In drop-only mode videorate passes or drops each frame at once but does not count
        // the drops; there every frame in and not out was dropped.
        dropped += drop_only ? (in > out ? in - out : 0) : rate_dropped;
    }
    // The appsink never overflows its queue (the reader pulls every sample inside the
    // new-sample signal), so its only losses are late frames, which the base sink counts.
    if (appsink != nullptr && GST_IS_BASE_SINK(appsink)) {
        const std::unique_ptr<GstStructure, decltype(&gst_structure_free)> sink_stats(
            gst_base_sink_get_stats(GST_BASE_SINK(appsink)), &gst_structure_free);
        guint64 sink_dropped = 0;
        if (sink_stats && gst_structure_get_uint64(sink_stats.get(), "dropped", &sink_dropped)) dropped += sink_dropped;
    }
    return dropped;
}

std::string codec_of(const GstStructure* structure) {
    if (structure == nullptr) return "";
    const std::string name = gst_structure_get_name(structure);
    if (name == "image/jpeg") return "jpeg";
    if (name == "video/mpeg") {
        int version = 0;
        if (gst_structure_get_int(structure, "mpegversion", &version)) return "mpeg" + std::to_string(version);
        return "mpeg";
    }
    constexpr std::string_view prefix = "video/x-";
    if (name.starts_with(prefix)) return name.substr(prefix.size());
    return name;
}

std::string rtsp_transport(GstElement* rtspsrc) {
    if (rtspsrc == nullptr || !GST_IS_BIN(rtspsrc)) return "";
    std::string transport = "tcp";
    GstIterator* iterator = gst_bin_iterate_recurse(GST_BIN(rtspsrc));
    GValue item = G_VALUE_INIT;
    bool done = false;
    while (!done) {
        switch (gst_iterator_next(iterator, &item)) {
            case GST_ITERATOR_OK: {
                auto* element = GST_ELEMENT(g_value_get_object(&item));
                if (gst::factory_name_of(element) == "udpsrc") {
                    gchar* address = nullptr;
                    g_object_get(element, "address", &address, nullptr);
                    gst::UniqueString owned(address);
                    transport = address != nullptr && is_multicast(address) ? "udp-mcast" : "udp";
                }
                g_value_reset(&item);
                break;
            }
            case GST_ITERATOR_RESYNC:
                gst_iterator_resync(iterator);
                transport = "tcp";
                break;
            default:
                done = true;
                break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(iterator);
    return transport;
}

}  // namespace vantle::builders
