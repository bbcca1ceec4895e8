#pragma once

// Packed BGR from the raw formats decoders hand out, in one pass from the mapped planes into the
// caller's buffer, with strides and odd sizes as they come. libyuv copies packed RGB; YUV goes
// through our own SIMD kernel (yuv_to_bgr.hpp), exact for every matrix and range.

#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstdint>
#include <memory>

namespace vantle::convert {

// A read mapping of one video frame (planes, strides and offsets from the video meta or the
// caps), unmapped when the holder goes.
class VideoFrameMap {
public:
    VideoFrameMap(const GstVideoInfo& info, GstBuffer* buffer)
        : mapped_(gst_video_frame_map(&frame_, const_cast<GstVideoInfo*>(&info), buffer, GST_MAP_READ)) {}
    VideoFrameMap(const VideoFrameMap&) = delete;
    VideoFrameMap& operator=(const VideoFrameMap&) = delete;
    ~VideoFrameMap() {
        if (mapped_) gst_video_frame_unmap(&frame_);
    }
    bool mapped() const noexcept { return mapped_; }
    const GstVideoFrame& frame() const noexcept { return frame_; }

private:
    GstVideoFrame frame_{};
    bool mapped_;
};

// The formats converted here rather than by videoconvert (builders::kDecodedCaps lists the same):
// packed BGR (copied), BGRx/BGRA (VA-API post-processing), 4:2:0 I420/YV12 and NV12/NV21.
bool handles(GstVideoFormat format) noexcept;

// Writes `frame` (a format handles() accepts) as height rows of width x 3 bytes, blue-green-red,
// with the YUV matrix and range of the frame's colorimetry.
void to_bgr(const GstVideoFrame& frame, std::uint8_t* destination);

// Whether holding `buffer` until someone reads it could starve its producer: memory that is not
// plain system memory (device surfaces) or a buffer from a pool with a fixed maximum.
bool holds_scarce_memory(GstBuffer* buffer) noexcept;

}  // namespace vantle::convert
