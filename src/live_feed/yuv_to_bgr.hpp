#pragma once

// 4:2:0 YUV to packed BGR, within a level of the exact result for every matrix and range.
//
// Our own kernel rather than libyuv's: libyuv's x86 kernels multiply chroma by signed 8-bit
// coefficients with 6 fraction bits, so a blue gain above 127/64 is capped, which turns BT.709
// and BT.2020 limited-range blues and yellows up to 18 levels wrong (Debian 12's libyuv and 13's
// alike), and no other call path or custom YuvConstants avoids it. Here every product is a 16-bit
// multiply keeping 15 or 16 fraction bits, written once with Highway (Debian 12 and 13 ship it)
// and compiled for each SIMD target, the best one chosen at run time (SSSE3 to AVX-512, NEON,
// ...). It costs about 0.7 times libyuv's conversion.

#include <cstddef>
#include <cstdint>

namespace vantle::convert {

// The gains of one matrix and range in the kernel's fixed point (see yuv_gains()).
struct YuvGains {
    std::int16_t luma, luma_bias, u_to_blue, u_to_green, v_to_green, v_to_red;
};

// kr and kb: the matrix's weights of red and blue in luma (0.2126 and 0.0722 for BT.709).
YuvGains yuv_gains(double kr, double kb, bool full_range) noexcept;

struct PlaneView {
    const std::uint8_t* data;
    std::ptrdiff_t stride;
};

// Separate U and V planes (I420, YV12): each chroma sample covers its 2x2 block of pixels.
void planar_420_to_bgr(PlaneView y, PlaneView u, PlaneView v, std::uint8_t* bgr, int width, int height,
                       const YuvGains& gains);

// One plane of interleaved chroma pairs (NV12: U first, NV21: V first), interpolated between the
// samples around each pixel with weights 3:1 along each axis (chroma sited between the pixels of
// its block); the outermost pixels take the outermost samples.
void semi_planar_420_to_bgr(PlaneView y, PlaneView chroma, bool v_first, std::uint8_t* bgr, int width, int height,
                            const YuvGains& gains);

}  // namespace vantle::convert
