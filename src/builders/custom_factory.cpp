#include "builders/custom_factory.hpp"

#include <cstdio>

#include "feed_contract/feed_contract.hpp"
#include "utils/gstreamer/gst_ptr.hpp"

namespace vantle::builders {
namespace {

// The URL is pasted into a launch string that GStreamer parses, so characters that the parser
// treats as syntax would let a URL add elements or properties of its own.
void check_url_is_inert(const std::string& url) {
    for (unsigned char c : url) {
        const bool control = c < 0x20 || c == 0x7f;
        if (control || c == ' ' || c == '"' || c == '\'' || c == '\\' || c == '!') {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
            std::string shown = control ? std::string(code) : "'" + std::string(1, static_cast<char>(c)) + "' (" + code + ")";
            std::string printable;
            for (unsigned char u : logging::redact_url(url)) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(u));
                printable += (u < 0x20 || u == 0x7f) ? std::string(escaped) : std::string(1, static_cast<char>(u));
            }
            throw InvalidCustomPipelineError("The stream URL contains the character " + shown +
                                             ", which is not allowed in a custom pipeline: " + printable);
        }
    }
}

// Writes `pipeline_str` with every "{url}" filled into `out` and returns how many there were.
// Every other brace is the launch string's own (list caps such as "format={ BGR, BGRx }");
// "{{" and "}}" read as "{" and "}", as in launch strings written for Python's str.format.
std::size_t fill_url_fields(const std::string& pipeline_str, const std::string& url, std::string& out) {
    static constexpr std::string_view kField = "{url}";
    std::size_t fields = 0;
    out.reserve(pipeline_str.size() + url.size());
    for (std::size_t i = 0; i < pipeline_str.size(); ++i) {
        const std::string_view rest = std::string_view(pipeline_str).substr(i);
        if (rest.starts_with(kField)) {
            out += url;
            i += kField.size() - 1;
            ++fields;
        } else if (rest.starts_with("{{") || rest.starts_with("}}")) {
            out += rest[0];
            ++i;
        } else {
            out += rest[0];
        }
    }
    return fields;
}

}  // namespace

CustomPipelineFactory::CustomPipelineFactory(const std::string& pipeline_str, std::string url, Callbacks callbacks)
    : PipelineFactory(std::move(url), kFramerateLimit), callbacks_(std::move(callbacks)) {
    if (fill_url_fields(pipeline_str, this->url(), pipeline_str_) == 0) {
        throw InvalidCustomPipelineError("Invalid pipeline format: '" + logging::redact_text(pipeline_str) +
                                         "'. Pipelines must contain a '{url}' portion to be filled by the source URL.");
    }
    check_url_is_inert(this->url());
}

std::shared_ptr<gst::Pipeline> CustomPipelineFactory::build() {
    // A launch string sets its own framerate: nothing is capped here.
    begin_facts()->update([](StreamFacts& facts) { facts.max_framerate = 0; });
    std::shared_ptr<gst::Pipeline> pipeline;
    try {
        pipeline = gst::Pipeline::from_launch_string(pipeline_str_, pipeline_name());
    } catch (const std::exception& error) {
        // GStreamer's own words: syntax errors, unknown elements or properties, failed links.
        throw InvalidCustomPipelineError("Cannot build the custom pipeline '" + logging::redact_text(pipeline_str_) +
                                         "': " + error.what());
    }
    attach_watcher(*pipeline, callbacks_.pipeline_watcher);

    gst::UniqueElement appsink(gst_bin_get_by_name(GST_BIN(pipeline->pipeline()), "main_sink"));
    if (!appsink) {
        throw InvalidCustomPipelineError("No element with name 'main_sink' element found in custom pipeline '" +
                                         logging::redact_text(pipeline_str_) + "'");
    }
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(appsink.get()), "max-buffers") == nullptr ||
        g_object_class_find_property(G_OBJECT_GET_CLASS(appsink.get()), "emit-signals") == nullptr) {
        throw InvalidCustomPipelineError(std::string("The element named 'main_sink' must be an appsink, not a ") +
                                         G_OBJECT_TYPE_NAME(appsink.get()));
    }
    apply_appsink_properties(appsink.get());
    pipeline->connect_new_sample(appsink.get(), callbacks_.on_new_sample);
    pipeline->set_appsink(appsink.get());

    gst::UniqueElement buffer_src(gst_bin_get_by_name(GST_BIN(pipeline->pipeline()), "buffer_src"));
    if (!buffer_src) {
        logger().warning(
            "Pipeline has no element named 'buffer_src' to attach the buffer probe to. Frames will not be skipped");
    } else {
        gst::UniquePad src(gst_element_get_static_pad(buffer_src.get(), "src"));
        if (!src) {
            throw InvalidCustomPipelineError(
                "Element named 'buffer_src' does not have a static pad named 'src' to attach a buffer probe to");
        }
        pipeline->add_pad_probe(src.get(), GST_PAD_PROBE_TYPE_BUFFER, callbacks_.buffer_probe);
    }
    gst_element_set_state(pipeline->element(), GST_STATE_PLAYING);
    return pipeline;
}

}  // namespace vantle::builders
