#pragma once

#include <gst/gst.h>

#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "builders/decoder_threads.hpp"
#include "builders/stream_facts.hpp"
#include "logger/logger.hpp"
#include "utils/gstreamer/pipeline.hpp"

namespace vantle::builders {

// Caps the appsink accepts (packed 8-bit BGR), then the fallbacks after VA-API post-processing.
inline constexpr const char* kBgrCaps = "video/x-raw,format=(string)BGR";
inline constexpr const char* kBgraCaps = "video/x-raw,format=(string)BGRA";
inline constexpr const char* kBgrxCaps = "video/x-raw,format=(string)BGRx";
// Caps of a reader that converts frames itself (src/live_feed/convert.hpp): BGR, the 8-bit 4:2:0
// formats software decoders hand out, and VA-API post-processing's BGRx/BGRA. videoconvert
// passes these through untouched and converts anything else to BGR.
inline constexpr const char* kDecodedCaps = "video/x-raw,format=(string){ BGR, I420, YV12, NV12, NV21, BGRx, BGRA }";
inline constexpr int kFramerateLimit = 20;

// Every appsink a factory creates or adopts: at most 60 queued samples, the oldest dropped, and
// a new-sample signal per sample (a slow reader never stalls the pipeline).
inline constexpr int kAppsinkMaxBuffers = 60;
void apply_appsink_properties(GstElement* appsink);

using PipelineWatcher = std::function<bool(GstBus*, GstMessage*, gst::Pipeline&)>;

// The reader's three callbacks, attached to every pipeline a factory builds.
struct Callbacks {
    gst::NewSampleCallback on_new_sample;
    PipelineWatcher pipeline_watcher;
    gst::PadProbeCallback buffer_probe;
};

class NotImplementedError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Holds the configuration of one stream and builds a new, started pipeline for it on every
// build(). URL factories share the tail built here: decodebin, then (once the decoded pad
// appears) the framerate limit, VA-API post-processing when a VA-API decoder was picked,
// videoconvert to BGR and the link into the appsink.
class PipelineFactory : public std::enable_shared_from_this<PipelineFactory> {
public:
    PipelineFactory(std::string url, int max_framerate);
    virtual ~PipelineFactory();

    // A new pipeline, asked to play but not waited for.
    virtual std::shared_ptr<gst::Pipeline> build();

    const std::string& url() const noexcept { return url_; }
    int max_framerate() const noexcept { return max_framerate_; }
    const logging::Logger& logger() const noexcept { return logger_; }
    // What is known about the newest pipeline this factory built (codec, size, decoder...).
    std::shared_ptr<PipelineFacts> facts() const;

    // Lets the appsink of every later build take kDecodedCaps instead of BGR alone: only for a
    // reader whose native frame path converts them (Python callbacks keep getting BGR).
    void accept_decoded_formats() noexcept { decoded_formats_ = true; }
    bool accepts_decoded_formats() const noexcept { return decoded_formats_; }

    // Makes a pad probe for each new pipeline's video parser, which sees every parsed access
    // unit on its way to the decoder (the reader's encoded ring buffer); none while unset.
    using ParsedTap = std::function<gst::PadProbeCallback()>;
    void tap_parsed(ParsedTap make_probe) { parsed_tap_ = std::move(make_probe); }

    // Adds a decodebin behind `element` and completes the chain when it exposes its pads.
    void set_up_decoder(GstElement* element, GstPad* pad, gst::Pipeline& pipeline);
    // The decodebin's pad-added handler: limit, [VA-API], convert, appsink. Never throws.
    void set_up_appsink(GstElement* target, GstPad* pad, gst::Pipeline& pipeline);
    // Adds videorate and a caps filter behind `target` when the stream is faster than the
    // limit or dynamic; returns the element to link from next.
    GstElement* limit_framerate(gst::Pipeline& pipeline, GstElement* target, GstPad* target_pad);

protected:
    // Probes the src pad of the first video parser that `decodebin` plugs, with parsed_tap_'s probe.
    void tap_parser_in(GstElement* decodebin, gst::Pipeline& pipeline);
    // Starts a fresh record of facts for the pipeline being built; returns it.
    std::shared_ptr<PipelineFacts> begin_facts();
    // Notes the decoder decodebin picked, its input codec and the decoded size.
    void record_decoder(GstElement* decoder, GstPad* decoded_pad);
    // The pipeline name: the URL with its password hidden.
    std::string pipeline_name() const;
    // Bus watch and appsink with its new-sample handler, common to the URL factories.
    void attach_watcher(gst::Pipeline& pipeline, const PipelineWatcher& watcher) const;
    GstElement* add_appsink(gst::Pipeline& pipeline, const gst::NewSampleCallback& on_new_sample) const;
    // Tells upstream that the appsink takes frames described by a video meta.
    void accept_video_meta(gst::Pipeline& pipeline, GstElement* appsink) const;

private:
    std::string url_;
    int max_framerate_;
    logging::Logger logger_;
    bool decoded_formats_ = false;
    ParsedTap parsed_tap_;
    mutable std::mutex facts_mutex_;
    std::shared_ptr<PipelineFacts> facts_ = std::make_shared<PipelineFacts>();
    OpenStreamCount counted_;  // shares the cores out among the decoders
};

}  // namespace vantle::builders
