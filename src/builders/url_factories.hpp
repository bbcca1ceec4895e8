#pragma once

#include "builders/pipeline_factory.hpp"

namespace vantle::builders {

// rtspsrc, then per video RTP pad a depayloader chosen by the pad's caps, then the shared tail.
class RTSPPipelineFactory : public PipelineFactory {
public:
    RTSPPipelineFactory(std::string url, int latency, Callbacks callbacks, bool force_tcp);

    std::shared_ptr<gst::Pipeline> build() override;
    // rtspsrc's pad-added handler. Never throws.
    void set_up_depayloader(GstElement* element, GstPad* pad, gst::Pipeline& pipeline);

    int latency() const noexcept { return latency_; }
    bool force_tcp() const noexcept { return force_tcp_; }
    const Callbacks& callbacks() const noexcept { return callbacks_; }

private:
    int latency_;
    Callbacks callbacks_;
    bool force_tcp_;
};

// souphttpsrc linked straight to the shared tail; used for http and https.
class HTTPPipelineFactory : public PipelineFactory {
public:
    HTTPPipelineFactory(std::string url, Callbacks callbacks);

    std::shared_ptr<gst::Pipeline> build() override;
    const Callbacks& callbacks() const noexcept { return callbacks_; }

private:
    Callbacks callbacks_;
};

}  // namespace vantle::builders
