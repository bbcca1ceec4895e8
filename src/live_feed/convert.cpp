#include "live_feed/convert.hpp"

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>

#include <memory>
#include <utility>

namespace vantle::convert {
namespace {

// libyuv names formats by the order of a little-endian word: its "RGB24" is B, G, R in memory
// (our BGR) and its "ARGB" is B, G, R, A in memory (GStreamer's BGRA and BGRx).
const libyuv::YuvConstants* yuv_constants(const GstVideoColorimetry& colorimetry) noexcept {
    const bool full_range = colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255;
    switch (colorimetry.matrix) {
        case GST_VIDEO_COLOR_MATRIX_BT709:
        case GST_VIDEO_COLOR_MATRIX_SMPTE240M:  // close to BT.709; libyuv has no constants of its own for it
            return full_range ? &libyuv::kYuvF709Constants : &libyuv::kYuvH709Constants;
        case GST_VIDEO_COLOR_MATRIX_BT2020:
            return full_range ? &libyuv::kYuvV2020Constants : &libyuv::kYuv2020Constants;
        default:  // BT.601, FCC (close to it), and a matrix the caps leave unknown
            return full_range ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants;
    }
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
    const libyuv::YuvConstants* matrix = yuv_constants(GST_VIDEO_INFO_COLORIMETRY(&frame.info));

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
                return static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, index));
            };
            const int u = GST_VIDEO_COMP_U;
            const int v = GST_VIDEO_COMP_V;
            libyuv::I420ToRGB24Matrix(plane(0), stride(0), component(u), GST_VIDEO_FRAME_COMP_STRIDE(&frame, u),
                                      component(v), GST_VIDEO_FRAME_COMP_STRIDE(&frame, v), destination,
                                      destination_stride, matrix, width, height);
            break;
        }
        case GST_VIDEO_FORMAT_NV12:
        case GST_VIDEO_FORMAT_NV21: {
            // videoconvert repeats each chroma sample of I420 but interpolates those of NV12/NV21;
            // splitting the quarter-size chroma plane lets libyuv's bilinear I420 path match that.
            const int chroma_width = (width + 1) / 2;
            const int chroma_height = (height + 1) / 2;
            const std::size_t chroma_size = static_cast<std::size_t>(chroma_width) * chroma_height;
            auto chroma = std::make_unique_for_overwrite<std::uint8_t[]>(2 * chroma_size);
            std::uint8_t* u = chroma.get();
            std::uint8_t* v = chroma.get() + chroma_size;
            std::uint8_t* first = u;
            std::uint8_t* second = v;
            if (GST_VIDEO_FRAME_FORMAT(&frame) == GST_VIDEO_FORMAT_NV21) std::swap(first, second);
            libyuv::SplitUVPlane(plane(1), stride(1), first, chroma_width, second, chroma_width, chroma_width,
                                 chroma_height);
            libyuv::I420ToRGB24MatrixFilter(plane(0), stride(0), u, chroma_width, v, chroma_width, destination,
                                            destination_stride, matrix, width, height, libyuv::kFilterBilinear);
            break;
        }
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
