#pragma once

// What a factory learns about a stream while it builds a pipeline for it, for the reader's
// statistics: read from the pipeline's own elements and caps, never from log text.

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "utils/gstreamer/gst_ptr.hpp"

namespace vantle::builders {

struct StreamFacts {
    std::string codec;             // "h264", "h265", "jpeg", ...; empty until the decoder is known
    int width = 0;                 // of the decoded picture; 0 until known
    int height = 0;
    std::optional<double> framerate;  // frames per second of the source; 0 when dynamic
    bool limited = false;          // videorate and the framerate cap filter are in the pipeline
    int max_framerate = 0;         // the cap the factory applies to faster sources
    std::string decoder;           // factory name of the element that decodebin picked
    bool hardware = false;         // a hardware decoder (VA-API)
    std::string depayloader;       // RTSP: type name of the depayloader element
    std::string transport;         // RTSP lower transport: "tcp", "udp", "udp-mcast"
    std::optional<int> latency_ms; // RTSP jitter buffer latency
};

// The facts of one pipeline plus the elements whose counters the reader reads. Written by the
// pad-added handlers on streaming threads, read by stats() on any thread.
class PipelineFacts {
public:
    StreamFacts snapshot() const;
    template <class Update>
    void update(Update&& update) {
        std::lock_guard lock(mutex_);
        update(facts_);
    }
    void set_videorate(GstElement* videorate);
    // Counts a frame dropped before decoding to keep a stream within the framerate limit.
    void count_limit_drop() noexcept { limit_drops_.fetch_add(1, std::memory_order_relaxed); }
    // Drops the hold on the pipeline's elements once their counters were read for the last time.
    void forget_elements() noexcept { videorate_.set(nullptr); }
    // Frames this pipeline dropped: those counted above, videorate's "drop" count and the
    // appsink's own drops (frames that came too late for the clock), read from the elements.
    std::uint64_t dropped_frames(GstElement* appsink) const;

private:
    mutable std::mutex mutex_;
    StreamFacts facts_;
    gst::WeakRef<GstElement> videorate_;  // weak: the facts outlive the pipeline
    std::atomic<std::uint64_t> limit_drops_{0};
};

// "h264" for video/x-h264, "h265" for video/x-h265, "jpeg" for image/jpeg, "mpeg2" for
// video/mpeg,mpegversion=2; the media type itself otherwise.
std::string codec_of(const GstStructure* structure);

// Which lower transport an rtspsrc uses, from the elements it made: none of udpsrc means
// interleaved over the RTSP TCP connection.
std::string rtsp_transport(GstElement* rtspsrc);

}  // namespace vantle::builders
