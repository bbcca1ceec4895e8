#include "builders/pipeline_factory.hpp"

#include <gst/video/video.h>

#include <cstring>
#include <string_view>

#include "feed_contract/feed_contract.hpp"
#include "utils/gstreamer/pads.hpp"

namespace vantle::builders {

void apply_appsink_properties(GstElement* appsink) {
    g_object_set(appsink, "max-buffers", static_cast<guint>(kAppsinkMaxBuffers), nullptr);
    g_object_set(appsink, "drop", TRUE, nullptr);
    g_object_set(appsink, "emit-signals", TRUE, nullptr);
}

namespace {

std::string source_url(const std::string& url) {
    if (auto encoded = logging::encode_credentials(url)) return *std::move(encoded);
    throw StreamSetupError("Cannot read the URL " + logging::redact_url(url) +
                           ": no host name follows the user name and password (up to its last '@')");
}

}  // namespace

PipelineFactory::PipelineFactory(std::string url, int max_framerate)
    : url_(source_url(url)), max_framerate_(max_framerate), logger_(logging::stream_logger(url)) {}

PipelineFactory::~PipelineFactory() = default;

std::shared_ptr<gst::Pipeline> PipelineFactory::build() {
    throw NotImplementedError("PipelineFactory.build() is provided by the concrete factories");
}

std::shared_ptr<PipelineFacts> PipelineFactory::facts() const {
    std::lock_guard lock(facts_mutex_);
    return facts_;
}

std::shared_ptr<PipelineFacts> PipelineFactory::begin_facts() {
    auto fresh = std::make_shared<PipelineFacts>();
    fresh->update([this](StreamFacts& facts) { facts.max_framerate = max_framerate_; });
    std::lock_guard lock(facts_mutex_);
    facts_ = fresh;
    return fresh;
}

std::string PipelineFactory::pipeline_name() const { return logging::redact_url(url_); }

void PipelineFactory::attach_watcher(gst::Pipeline& pipeline, const PipelineWatcher& watcher) const {
    // The watch refers to its pipeline without owning it: the pipeline owns the watch.
    std::weak_ptr<gst::Pipeline> weak = pipeline.shared_from_this();
    pipeline.add_bus_watch([watcher, weak](GstBus* bus, GstMessage* message) {
        if (auto owner = weak.lock()) return watcher(bus, message, *owner);
        return true;
    });
}

GstElement* PipelineFactory::add_appsink(gst::Pipeline& pipeline, const gst::NewSampleCallback& on_new_sample) const {
    // Started with the pipeline rather than on its own: a sink playing ahead of its pipeline
    // posts an async-done message for every state query until it prerolls.
    GstElement* appsink = pipeline.new_element("appsink", nullptr, &apply_appsink_properties, false);
    pipeline.set_appsink(appsink);
    pipeline.connect_new_sample(appsink, on_new_sample);
    if (decoded_formats_) accept_video_meta(pipeline, appsink);
    return appsink;
}

void PipelineFactory::accept_video_meta(gst::Pipeline& pipeline, GstElement* appsink) const {
    // The reader maps frames with their video meta (padded strides and plane offsets), so the
    // decoder may decode straight into the buffers it hands over. Without a pool and the meta
    // in this answer, avdec decodes into padded frames of its own and copies each one into a
    // second pool: a copy per frame, and about twice the frames held per stream.
    gst::UniquePad sink(gst_element_get_static_pad(appsink, "sink"));
    pipeline.add_pad_probe(sink.get(), GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM, [](GstPad*, GstPadProbeInfo* info) {
        GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
        if (query == nullptr || GST_QUERY_TYPE(query) != GST_QUERY_ALLOCATION) return GST_PAD_PROBE_OK;
        GstCaps* caps = nullptr;
        gst_query_parse_allocation(query, &caps, nullptr);
        GstVideoInfo video{};
        const bool system_memory =
            caps != nullptr && gst_caps_get_size(caps) > 0 &&
            (gst_caps_get_features(caps, 0) == nullptr ||
             gst_caps_features_is_equal(gst_caps_get_features(caps, 0), GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY));
        if (system_memory && gst_video_info_from_caps(&video, caps) && gst_query_get_n_allocation_pools(query) == 0) {
            std::unique_ptr<GstBufferPool, gst::ObjectUnref> pool(gst_video_buffer_pool_new());
            gst_query_add_allocation_pool(query, pool.get(), static_cast<guint>(GST_VIDEO_INFO_SIZE(&video)), 0, 0);
        }
        gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
        return GST_PAD_PROBE_HANDLED;
    });
}

void PipelineFactory::set_up_decoder(GstElement* element, GstPad* pad, gst::Pipeline& pipeline) {
    logger_.info("Making decoder for pad: " + gst::pad_to_string(pad));
    GstElement* decodebin = gst_element_factory_make("decodebin", nullptr);
    if (decodebin == nullptr) throw StreamSetupError("No element could be made from the factory 'decodebin'");
    apply_decoder_threads(decodebin);
    gst_bin_add(GST_BIN(pipeline.pipeline()), decodebin);
    if (parsed_tap_) tap_parser_in(decodebin, pipeline);
    gst_element_set_state(decodebin, GST_STATE_PLAYING);

    std::weak_ptr<gst::Pipeline> weak = pipeline.shared_from_this();
    pipeline.connect_pad_added(decodebin, [self = shared_from_this(), weak](GstElement* target, GstPad* new_pad) {
        if (auto owner = weak.lock()) self->set_up_appsink(target, new_pad, *owner);
    });
    if (!gst_element_link(element, decodebin)) pipeline.post_error("Failed to link with decodebin");
}

void PipelineFactory::set_up_appsink(GstElement* target, GstPad* pad, gst::Pipeline& pipeline) {
    try {
        logger_.info("Setting up an appsink for pad: " + gst::pad_to_string(pad));
        if (!gst::is_video_pad(pad)) {
            logger_.warning("Skipping pad because it does not appear to be for video");
            return;
        }

        std::string factory_name;
        if (GST_IS_GHOST_PAD(pad)) {
            gst::UniquePad decoder_pad(gst_ghost_pad_get_target(GST_GHOST_PAD(pad)));
            if (decoder_pad) {
                gst::UniqueElement decoder(gst_pad_get_parent_element(decoder_pad.get()));
                factory_name = gst::factory_name_of(decoder.get());
                record_decoder(decoder.get(), pad);
            }
        }
        logger_.info("The decodebin is using decoder: " + factory_name);

        const bool vaapi = factory_name == "vaapidecodebin";
        gst::UniqueCaps accepted(gst_caps_from_string(decoded_formats_ ? kDecodedCaps : kBgrCaps));
        // Given a choice, videoconvert would turn 4:4:4 or 10-bit frames into BGRx or I420 rather
        // than BGR: frames the reader cannot take as decoded go to BGR as they always did.
        if (decoded_formats_ && !vaapi) {
            gst::UniqueCaps decoded(gst_pad_get_current_caps(pad));
            const GstStructure* structure =
                decoded && gst_caps_get_size(decoded.get()) > 0 ? gst_caps_get_structure(decoded.get(), 0) : nullptr;
            const char* format = structure ? gst_structure_get_string(structure, "format") : nullptr;
            const std::string shown = format ? format : "unknown";
            if (decoded && gst_caps_can_intersect(decoded.get(), accepted.get())) {
                logger_.info("videoconvert passes the decoder's " + shown + " frames through");
            } else {
                logger_.info("videoconvert converts the decoder's " + shown + " frames to BGR");
                accepted.reset(gst_caps_from_string(kBgrCaps));
            }
        }

        target = limit_framerate(pipeline, target, pad);
        if (vaapi) {
            logger_.info("Using VA-API hardware decoding");
            GstElement* postproc = pipeline.new_element("vaapipostproc", target);
            target = pipeline.filter_caps(postproc, {kBgrCaps, kBgraCaps, kBgrxCaps});
        } else {
            logger_.info("Using software decoding");
        }
        target = pipeline.new_element("videoconvert", target);

        GstElement* appsink = pipeline.appsink();
        g_object_set(appsink, "caps", accepted.get(), nullptr);
        if (!gst_element_link(target, appsink)) {
            pipeline.post_error("Failed to link videoconvert to appsink");
            return;
        }
        logger_.info("The pipeline is complete!");
    } catch (const std::exception& error) {
        logger_.error(std::string("Failed to set up the appsink: ") + logging::redact_text(error.what()));
    }
}

void PipelineFactory::record_decoder(GstElement* decoder, GstPad* decoded_pad) {
    StreamFacts found;
    found.decoder = gst::factory_name_of(decoder);
    const gchar* klass = nullptr;
    if (GstElementFactory* factory = gst_element_get_factory(decoder)) {
        klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
    }
    // Hardware decoders say so in their class ("Codec/Decoder/Video/Hardware"); VA-API ones by name too.
    found.hardware =
        found.decoder.starts_with("vaapi") || (klass != nullptr && std::strstr(klass, "Hardware") != nullptr);
    gst::UniquePad sink(gst_element_get_static_pad(decoder, "sink"));
    gst::UniqueCaps coded(sink ? gst_pad_get_current_caps(sink.get()) : nullptr);
    if (coded && gst_caps_get_size(coded.get()) > 0) found.codec = codec_of(gst_caps_get_structure(coded.get(), 0));
    gst::UniqueCaps decoded(gst_pad_get_current_caps(decoded_pad));
    if (decoded && gst_caps_get_size(decoded.get()) > 0) {
        const GstStructure* structure = gst_caps_get_structure(decoded.get(), 0);
        gst_structure_get_int(structure, "width", &found.width);
        gst_structure_get_int(structure, "height", &found.height);
    }
    facts()->update([&](StreamFacts& facts) {
        facts.decoder = found.decoder;
        facts.hardware = found.hardware;
        facts.codec = found.codec;
        facts.width = found.width;
        facts.height = found.height;
    });
}

GstElement* PipelineFactory::limit_framerate(gst::Pipeline& pipeline, GstElement* target, GstPad* target_pad) {
    gst::UniqueCaps caps(gst_pad_get_current_caps(target_pad));
    if (!caps || gst_caps_get_size(caps.get()) == 0) {
        logger_.error("Could not determine the original framerate of the video stream. Giving up on limiting framerate.");
        return target;
    }
    const double current_framerate = gst::framerate_from_structure(gst_caps_get_structure(caps.get(), 0));
    if (current_framerate >= 0) facts()->update([&](StreamFacts& facts) { facts.framerate = current_framerate; });
    bool drop_only = true;
    if (current_framerate < 0) {
        logger_.error("Unexpected negative framerate value. Giving up on limiting framerate.");
        return target;
    }
    if (current_framerate == 0) {
        logger_.warning(
            "The stream's framerate cannot be determined because it is dynamic. Framerate limiting may be less "
            "effective.");
        drop_only = false;
    } else if (current_framerate <= max_framerate_) {
        logger_.info("Source framerate is " + logging::format_float(current_framerate) +
                     ", which is less than or equal to the maximum framerate of " + std::to_string(max_framerate_));
        return target;
    }
    logger_.info("Limiting framerate to " + std::to_string(max_framerate_) + " FPS");
    GstElement* videorate = pipeline.new_element(
        "videorate", target, [drop_only](GstElement* rate) { g_object_set(rate, "drop-only", drop_only, nullptr); });
    facts()->set_videorate(videorate);
    facts()->update([](StreamFacts& facts) { facts.limited = true; });
    const std::string limit = "video/x-raw,framerate=" + std::to_string(max_framerate_) + "/1";
    return pipeline.new_element("capsfilter", videorate, [&limit](GstElement* filter) {
        gst::UniqueCaps limit_caps(gst_caps_from_string(limit.c_str()));
        g_object_set(filter, "caps", limit_caps.get(), nullptr);
    });
}

}  // namespace vantle::builders
