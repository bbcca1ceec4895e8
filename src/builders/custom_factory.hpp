#pragma once

#include <stdexcept>

#include "builders/pipeline_factory.hpp"

namespace vantle::builders {

// Brace-template errors, as Python's str.format names them: a field other than "url"
// (KeyError), a positional field (IndexError), a malformed template (ValueError).
class VANTLE_EXPORT TemplateKeyError : public std::runtime_error {
public:
    explicit TemplateKeyError(std::string key) : std::runtime_error(key), key(std::move(key)) {}
    std::string key;
};
class VANTLE_EXPORT TemplateIndexError : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
};
class VANTLE_EXPORT TemplateValueError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Fills every "{url}" of `pipeline_str` with `url`; "{{" and "}}" are literal braces.
VANTLE_EXPORT std::string expand_url_template(const std::string& pipeline_str, const std::string& url);

// Pipelines from a caller's launch string: an appsink named "main_sink" receives the frames and
// an optional element named "buffer_src" carries the buffer probe on its "src" pad.
class VANTLE_EXPORT CustomPipelineFactory : public PipelineFactory {
public:
    CustomPipelineFactory(const std::string& pipeline_str, std::string url, Callbacks callbacks);

    std::shared_ptr<gst::Pipeline> build() override;

    const std::string& pipeline_str() const noexcept { return pipeline_str_; }
    const Callbacks& callbacks() const noexcept { return callbacks_; }

private:
    std::string pipeline_str_;
    Callbacks callbacks_;
};

}  // namespace vantle::builders
