#include "live_feed/convert.hpp"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>

#include <memory>

#include "live_feed/yuv_to_bgr.hpp"

namespace vantle::convert {
namespace {

// The gains of the caps' matrix and range. GStreamer knows each matrix's weights (SMPTE 240M and
// FCC included); a matrix the caps leave unknown is taken as BT.601.
YuvGains gains_of(const GstVideoColorimetry& colorimetry) noexcept {
    gdouble kr = 0.299;
    gdouble kb = 0.114;
    if (!gst_video_color_matrix_get_Kr_Kb(colorimetry.matrix, &kr, &kb)) {
        kr = 0.299;
        kb = 0.114;
    }
    return yuv_gains(kr, kb, colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255);
}

}  // namespace

bool handles(GstVideoFormat format) noexcept {
    switch (format) {
        case GST_VIDEO_FORMAT_BGR:
        case GST_VIDEO_FORMAT_BGRx:
        case GST_VIDEO_FORMAT_BGRA:
        case GST_VIDEO_FORMAT_I420:
        case GST_VIDEO_FORMAT_YV12:
        case GST_VIDEO_FORMAT_NV12:
        case GST_VIDEO_FORMAT_NV21:
            return true;
        default:
            return false;
    }
}

void to_bgr(const GstVideoFrame& frame, std::uint8_t* destination) {
    const int width = GST_VIDEO_FRAME_WIDTH(&frame);
    const int height = GST_VIDEO_FRAME_HEIGHT(&frame);
    const int destination_stride = width * 3;
    auto plane = [&frame](int index) { return static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, index)); };
    auto stride = [&frame](int index) { return GST_VIDEO_FRAME_PLANE_STRIDE(&frame, index); };
    auto view = [&plane, &stride](int index) { return PlaneView{plane(index), stride(index)}; };

    // libyuv names formats by the order of a little-endian word: its "RGB24" is B, G, R in memory
    // (our BGR) and its "ARGB" is B, G, R, A in memory (GStreamer's BGRA and BGRx).
    switch (GST_VIDEO_FRAME_FORMAT(&frame)) {
        case GST_VIDEO_FORMAT_BGR:
            libyuv::CopyPlane(plane(0), stride(0), destination, destination_stride, destination_stride, height);
            break;
        case GST_VIDEO_FORMAT_BGRx:
        case GST_VIDEO_FORMAT_BGRA:
            libyuv::ARGBToRGB24(plane(0), stride(0), destination, destination_stride, width, height);
            break;
        case GST_VIDEO_FORMAT_I420:
        case GST_VIDEO_FORMAT_YV12: {
            // By component, not plane: YV12 stores V before U.
            auto component = [&frame](int index) {
                return PlaneView{static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, index)),
                                 GST_VIDEO_FRAME_COMP_STRIDE(&frame, index)};
            };
            planar_420_to_bgr(view(0), component(GST_VIDEO_COMP_U), component(GST_VIDEO_COMP_V), destination, width,
                              height, gains_of(GST_VIDEO_INFO_COLORIMETRY(&frame.info)));
            break;
        }
        case GST_VIDEO_FORMAT_NV12:
        case GST_VIDEO_FORMAT_NV21:
            // Like videoconvert, which repeats each chroma sample of I420 but interpolates NV12's.
            semi_planar_420_to_bgr(view(0), view(1), GST_VIDEO_FRAME_FORMAT(&frame) == GST_VIDEO_FORMAT_NV21,
                                   destination, width, height, gains_of(GST_VIDEO_INFO_COLORIMETRY(&frame.info)));
            break;
        default:
            break;
    }
}

bool holds_scarce_memory(GstBuffer* buffer) noexcept {
    for (guint i = 0; i < gst_buffer_n_memory(buffer); ++i) {
        if (!gst_memory_is_type(gst_buffer_peek_memory(buffer, i), GST_ALLOCATOR_SYSMEM)) return true;
    }
    if (buffer->pool == nullptr) return false;
    std::unique_ptr<GstStructure, decltype(&gst_structure_free)> config(gst_buffer_pool_get_config(buffer->pool),
                                                                         &gst_structure_free);
    guint max_buffers = 0;
    return config && gst_buffer_pool_config_get_params(config.get(), nullptr, nullptr, nullptr, &max_buffers) &&
           max_buffers != 0;
}

}  // namespace vantle::convert
