#include "utils/gstreamer/pads.hpp"

#include <stdexcept>

#include "feed_contract/feed_contract.hpp"

namespace vantle::gst {
namespace {

std::string caps_text(GstCaps* caps) {
    if (caps == nullptr) return "None";
    UniqueString text(gst_caps_to_string(caps));
    return text ? text.get() : "None";
}

const GstStructure* first_structure(const UniqueCaps& caps, const char* no_caps, const char* no_structures) {
    if (!caps) throw std::runtime_error(no_caps);
    if (gst_caps_get_size(caps.get()) == 0) throw std::runtime_error(no_structures);
    return gst_caps_get_structure(caps.get(), 0);
}

const char* direction_name(GstPadDirection direction) {
    switch (direction) {
        case GST_PAD_SRC: return "src";
        case GST_PAD_SINK: return "sink";
        default: return "unknown";
    }
}

}  // namespace

UniqueElementFactory find_element_factory(const GstCaps* caps, GstElementFactoryListType type) {
    if (caps == nullptr) throw std::invalid_argument("Caps must not be None when finding an element");
    UniqueFactoryList candidates(gst_element_factory_list_get_elements(type, GST_RANK_MARGINAL));
    // Prefer factories whose sink template covers the caps entirely: a mere overlap lets a
    // template without "encoding-name" (the H.263 depayloader's) win for H.264 caps.
    UniqueFactoryList accepting(gst_element_factory_list_filter(candidates.get(), caps, GST_PAD_SINK, TRUE));
    if (!accepting) accepting.reset(gst_element_factory_list_filter(candidates.get(), caps, GST_PAD_SINK, FALSE));
    if (!accepting) {
        throw StreamSetupError("Could not find compatible element for caps: " + caps_text(const_cast<GstCaps*>(caps)));
    }
    return UniqueElementFactory(static_cast<GstElementFactory*>(gst_object_ref(accepting.get()->data)));
}

UniqueElement find_element(const GstCaps* caps, GstElementFactoryListType type) {
    UniqueElementFactory factory = find_element_factory(caps, type);
    GstElement* element = gst_element_factory_create(factory.get(), nullptr);
    if (element == nullptr) {
        throw StreamSetupError(std::string("Could not create an element of the factory ") +
                               gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory.get())));
    }
    return UniqueElement(static_cast<GstElement*>(g_object_ref_sink(element)));
}

double framerate_from_structure(const GstStructure* structure) {
    gint numerator = 0;
    gint denominator = 1;
    if (structure == nullptr || !gst_structure_get_fraction(structure, "framerate", &numerator, &denominator)) {
        throw std::runtime_error("Unsupported framerate format. This should have been taken care of by normalize");
    }
    return static_cast<double>(numerator) / static_cast<double>(denominator);
}

bool is_video_pad(GstPad* pad) {
    UniqueCaps caps(gst_pad_get_current_caps(pad));
    const GstStructure* structure = first_structure(caps, "Pad has no caps", "Pad caps have no structures");
    return g_str_has_prefix(gst_structure_get_name(structure), "video/");
}

bool is_rtp_audio_pad(GstPad* pad) {
    UniqueCaps caps(gst_pad_get_current_caps(pad));
    const GstStructure* structure =
        first_structure(caps, "Demuxer pad has no caps", "Demuxer pad caps have no structures");
    const gchar* media = gst_structure_get_string(structure, "media");
    if (media == nullptr) throw std::runtime_error("Demuxer pad caps have no 'media' field");
    return std::string_view(media).find("audio") != std::string_view::npos;
}

std::string pad_to_string(GstPad* pad) {
    UniqueCaps current(gst_pad_get_current_caps(pad));
    UniqueCaps allowed(gst_pad_get_allowed_caps(pad));
    UniqueString parent_name;
    if (GstObject* parent = gst_object_get_parent(GST_OBJECT(pad))) {
        parent_name.reset(gst_object_get_name(parent));
        gst_object_unref(parent);
    }
    UniqueString pad_name(gst_object_get_name(GST_OBJECT(pad)));

    std::string text = "<GstPad ";
    if (parent_name) text += std::string(parent_name.get()) + ":";
    text += pad_name ? pad_name.get() : "";
    text += ">(current_caps=" + caps_text(current.get());
    text += ", allowed_caps=" + caps_text(allowed.get());
    text += std::string(", direction=") + direction_name(gst_pad_get_direction(pad));
    text += std::string(", linked=") + (gst_pad_is_linked(pad) ? "True" : "False");
    text += std::string(", active=") + (gst_pad_is_active(pad) ? "True" : "False");
    text += ")";
    return text;
}

std::string factory_name_of(GstElement* element) {
    GstElementFactory* factory = element ? gst_element_get_factory(element) : nullptr;
    return factory ? gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)) : "";
}

}  // namespace vantle::gst
