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

bool is_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string expand_url_template(const std::string& pipeline_str, const std::string& url) {
    std::string out;
    out.reserve(pipeline_str.size() + url.size());
    for (std::size_t i = 0; i < pipeline_str.size(); ++i) {
        const char c = pipeline_str[i];
        if (c == '}') {
            if (i + 1 < pipeline_str.size() && pipeline_str[i + 1] == '}') {
                out += '}';
                ++i;
                continue;
            }
            throw TemplateValueError("Single '}' encountered in format string");
        }
        if (c != '{') {
            out += c;
            continue;
        }
        if (i + 1 < pipeline_str.size() && pipeline_str[i + 1] == '{') {
            out += '{';
            ++i;
            continue;
        }
        const std::size_t close = pipeline_str.find('}', i + 1);
        if (close == std::string::npos) {
            if (i + 1 == pipeline_str.size()) throw TemplateValueError("Single '{' encountered in format string");
            throw TemplateValueError("expected '}' before end of string");
        }
        const std::string field = pipeline_str.substr(i + 1, close - i - 1);
        const std::string name = field.substr(0, field.find_first_of("!:.["));
        if (name.find('{') != std::string::npos) throw TemplateValueError("unexpected '{' in field name");
        if (field == "url") {
            out += url;
        } else if (name.empty() || is_digits(name)) {
            const std::string index = name.empty() ? "0" : name;
            throw TemplateIndexError("Replacement index " + index + " out of range for positional args tuple");
        } else if (name != "url") {
            throw TemplateKeyError(name);
        } else {
            throw TemplateValueError("Only plain '{url}' fields are supported in a custom pipeline, not '{" + field + "}'");
        }
        i = close;
    }
    return out;
}

CustomPipelineFactory::CustomPipelineFactory(const std::string& pipeline_str, std::string url, Callbacks callbacks)
    : PipelineFactory(std::move(url), kFramerateLimit), callbacks_(std::move(callbacks)) {
    if (pipeline_str.find("{url}") == std::string::npos) {
        throw InvalidCustomPipelineError("Invalid pipeline format: '" + logging::redact_text(pipeline_str) +
                                         "'. Pipelines must contain a '{url}' portion to be filled by the source URL.");
    }
    check_url_is_inert(this->url());
    pipeline_str_ = expand_url_template(pipeline_str, this->url());
}

std::shared_ptr<gst::Pipeline> CustomPipelineFactory::build() {
    // A launch string sets its own framerate: nothing is capped here.
    begin_facts()->update([](StreamFacts& facts) { facts.max_framerate = 0; });
    auto pipeline = gst::Pipeline::from_launch_string(pipeline_str_, pipeline_name());
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
