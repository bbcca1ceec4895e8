#pragma once

#include "builders/pipeline_factory.hpp"

namespace vantle::builders {

// Pipelines from a caller's launch string: an appsink named "main_sink" receives the frames and
// an optional element named "buffer_src" carries the buffer probe on its "src" pad.
class CustomPipelineFactory : public PipelineFactory {
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
