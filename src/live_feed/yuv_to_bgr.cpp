// Compiled once per SIMD target by Highway's foreach_target; HWY_ONCE marks the part compiled once.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "live_feed/yuv_to_bgr.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "live_feed/yuv_to_bgr.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

// Fixed point: luma enters as Y * 128 and chroma as (C - 128) * 256, and MulFixedPoint15 (the
// rounded a * b / 2^15) scales them by gains that leave 6 fraction bits, so each product is
// within 1/128 of a level and the sums are within 3/128 of the exact value before the one final
// rounding. Sums beyond the 16-bit range saturate, beyond what 0-255 clamps anyway.

HWY_BEFORE_NAMESPACE();
namespace vantle::convert::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D16 = hn::ScalableTag<std::int16_t>;  // one lane per pixel
using V16 = hn::Vec<D16>;

struct Gains {
    explicit Gains(const YuvGains& g)
        : luma(hn::Set(D16(), g.luma)),
          luma_bias(hn::Set(D16(), g.luma_bias)),
          u_to_blue(hn::Set(D16(), g.u_to_blue)),
          u_to_green(hn::Set(D16(), g.u_to_green)),
          v_to_green(hn::Set(D16(), g.v_to_green)),
          v_to_red(hn::Set(D16(), g.v_to_red)) {}
    V16 luma, luma_bias, u_to_blue, u_to_green, v_to_green, v_to_red;
};

// Lanes(D16) pixels from their luma (Y * 128) and chroma ((C - 128) * 256).
HWY_INLINE void StorePixels(const Gains& g, V16 luma, V16 u, V16 v, std::uint8_t* HWY_RESTRICT bgr) {
    const hn::Rebind<std::uint8_t, D16> d8;
    const V16 y = hn::Add(hn::MulFixedPoint15(luma, g.luma), g.luma_bias);
    const V16 blue = hn::SaturatedAdd(y, hn::MulFixedPoint15(u, g.u_to_blue));
    const V16 green = hn::SaturatedAdd(hn::SaturatedAdd(y, hn::MulFixedPoint15(u, g.u_to_green)),
                                       hn::MulFixedPoint15(v, g.v_to_green));
    const V16 red = hn::SaturatedAdd(y, hn::MulFixedPoint15(v, g.v_to_red));
    hn::StoreInterleaved3(hn::DemoteTo(d8, hn::ShiftRight<6>(blue)), hn::DemoteTo(d8, hn::ShiftRight<6>(green)),
                          hn::DemoteTo(d8, hn::ShiftRight<6>(red)), d8, bgr);
}

HWY_INLINE V16 LoadLuma(const std::uint8_t* HWY_RESTRICT y) {
    const D16 d;
    return hn::ShiftLeft<7>(hn::PromoteTo(d, hn::LoadU(hn::Rebind<std::uint8_t, D16>(), y)));
}

// Lanes(D16) / 2 chroma samples, each for two neighbouring pixels, as (C - 128) * 256.
HWY_INLINE V16 LoadChromaPairs(const std::uint8_t* HWY_RESTRICT chroma) {
    const D16 d;
    const hn::Repartition<std::uint32_t, D16> d32;
    const auto samples = hn::PromoteTo(d32, hn::LoadU(hn::Rebind<std::uint8_t, decltype(d32)>(), chroma));
    // The sample into the high byte of both 16-bit halves; flipping the sign bit subtracts 128.
    return hn::Xor(hn::BitCast(d, hn::Mul(samples, hn::Set(d32, 0x01000100u))), hn::SignBit(d));
}

// Room for one vector of pixels past the end of a row, for rows whose width is no multiple of it.
struct RowTail {
    explicit RowTail(std::size_t lanes) : luma(lanes), u(lanes), v(lanes), bgr(3 * lanes) {}
    std::vector<std::uint8_t> luma, u, v, bgr;
};

void Planar420Row(const std::uint8_t* HWY_RESTRICT y, const std::uint8_t* HWY_RESTRICT u,
                  const std::uint8_t* HWY_RESTRICT v, std::uint8_t* HWY_RESTRICT bgr, std::size_t width,
                  const Gains& g, RowTail& tail) {
    const std::size_t lanes = hn::Lanes(D16());
    std::size_t x = 0;
    for (; x + lanes <= width; x += lanes) {
        StorePixels(g, LoadLuma(y + x), LoadChromaPairs(u + x / 2), LoadChromaPairs(v + x / 2), bgr + 3 * x);
    }
    if (x == width) return;
    const std::size_t pixels = width - x;
    const std::size_t samples = (pixels + 1) / 2;
    std::memcpy(tail.luma.data(), y + x, pixels);
    std::memcpy(tail.u.data(), u + x / 2, samples);
    std::memcpy(tail.v.data(), v + x / 2, samples);
    StorePixels(g, LoadLuma(tail.luma.data()), LoadChromaPairs(tail.u.data()), LoadChromaPairs(tail.v.data()),
                tail.bgr.data());
    std::memcpy(bgr + 3 * x, tail.bgr.data(), 3 * pixels);
}

void Planar420ToBgr(PlaneView y, PlaneView u, PlaneView v, std::uint8_t* bgr, int width, int height,
                    const YuvGains& gains) {
    const Gains g(gains);
    RowTail tail(hn::Lanes(D16()));
    for (int row = 0; row < height; ++row) {
        Planar420Row(y.data + row * y.stride, u.data + row / 2 * u.stride, v.data + row / 2 * v.stride,
                     bgr + static_cast<std::ptrdiff_t>(row) * width * 3, width, g, tail);
    }
}

// 3 * near + far for each chroma sample of a row of pairs, U and V apart, into u[0, samples) and
// v[0, samples).
void BlendChromaRows(const std::uint8_t* HWY_RESTRICT near, const std::uint8_t* HWY_RESTRICT far,
                     std::uint16_t* HWY_RESTRICT u, std::uint16_t* HWY_RESTRICT v, std::size_t samples) {
    const hn::ScalableTag<std::uint16_t> d;
    const hn::Rebind<std::uint8_t, decltype(d)> d8;
    const std::size_t lanes = hn::Lanes(d);
    if (samples < lanes) {
        for (std::size_t i = 0; i < samples; ++i) {
            u[i] = static_cast<std::uint16_t>(3 * near[2 * i] + far[2 * i]);
            v[i] = static_cast<std::uint16_t>(3 * near[2 * i + 1] + far[2 * i + 1]);
        }
        return;
    }
    auto blend = [&](std::size_t i) {
        hn::Vec<decltype(d8)> near_u, near_v, far_u, far_v;
        hn::LoadInterleaved2(d8, near + 2 * i, near_u, near_v);
        hn::LoadInterleaved2(d8, far + 2 * i, far_u, far_v);
        const auto wide_near_u = hn::PromoteTo(d, near_u);
        const auto wide_near_v = hn::PromoteTo(d, near_v);
        hn::StoreU(hn::Add(hn::Add(hn::ShiftLeft<1>(wide_near_u), wide_near_u), hn::PromoteTo(d, far_u)), d, u + i);
        hn::StoreU(hn::Add(hn::Add(hn::ShiftLeft<1>(wide_near_v), wide_near_v), hn::PromoteTo(d, far_v)), d, v + i);
    };
    std::size_t i = 0;
    for (; i + lanes <= samples; i += lanes) blend(i);
    if (i < samples) blend(samples - lanes);  // the last vector again, ending at the last sample
}

// From blended[-1, samples + 1) (3:1 vertical blends, the outermost repeated once on either side),
// the chroma of each pixel, 3:1 horizontally, as (C - 128) * 256: pixel 2i takes 3 * blended[i] +
// blended[i - 1], pixel 2i + 1 takes 3 * blended[i] + blended[i + 1], 16 times C in all. Writes up
// to 2 * samples rounded up to two vectors.
void InterpolateChromaRow(const std::uint16_t* HWY_RESTRICT blended, std::int16_t* HWY_RESTRICT pixels,
                          std::size_t samples) {
    const D16 d;
    const hn::RebindToUnsigned<D16> du;
    const std::size_t lanes = hn::Lanes(d);
    const V16 offset = hn::Set(d, 16 * 128);
    for (std::size_t i = 0; i < samples; i += lanes) {
        const auto middle = hn::LoadU(du, blended + i);
        const auto triple = hn::Add(hn::Add(middle, middle), middle);
        const V16 even = hn::BitCast(d, hn::Add(triple, hn::LoadU(du, blended + i - 1)));
        const V16 odd = hn::BitCast(d, hn::Add(triple, hn::LoadU(du, blended + i + 1)));
        hn::StoreInterleaved2(hn::ShiftLeft<4>(hn::Sub(even, offset)), hn::ShiftLeft<4>(hn::Sub(odd, offset)), d,
                              pixels + 2 * i);
    }
}

void FullChromaRow(const std::uint8_t* HWY_RESTRICT y, const std::int16_t* HWY_RESTRICT u,
                   const std::int16_t* HWY_RESTRICT v, std::uint8_t* HWY_RESTRICT bgr, std::size_t width,
                   const Gains& g, RowTail& tail) {
    const D16 d;
    const std::size_t lanes = hn::Lanes(d);
    std::size_t x = 0;
    for (; x + lanes <= width; x += lanes) {
        StorePixels(g, LoadLuma(y + x), hn::LoadU(d, u + x), hn::LoadU(d, v + x), bgr + 3 * x);
    }
    if (x == width) return;
    const std::size_t pixels = width - x;
    std::memcpy(tail.luma.data(), y + x, pixels);
    StorePixels(g, LoadLuma(tail.luma.data()), hn::LoadU(d, u + x), hn::LoadU(d, v + x), tail.bgr.data());
    std::memcpy(bgr + 3 * x, tail.bgr.data(), 3 * pixels);
}

void SemiPlanar420ToBgr(PlaneView y, PlaneView chroma, bool v_first, std::uint8_t* bgr, int width, int height,
                        const YuvGains& gains) {
    const Gains g(gains);
    const std::size_t lanes = hn::Lanes(D16());
    RowTail tail(lanes);
    const std::size_t samples = (static_cast<std::size_t>(width) + 1) / 2;
    const int sample_rows = (height + 1) / 2;
    // Zeroed, so that the vectors past the last sample compute with defined values.
    std::vector<std::uint16_t> blended_u(samples + 2 + lanes), blended_v(samples + 2 + lanes);
    std::vector<std::int16_t> pixels_u(2 * (samples + lanes)), pixels_v(2 * (samples + lanes));
    std::uint16_t* first = (v_first ? blended_v : blended_u).data() + 1;
    std::uint16_t* second = (v_first ? blended_u : blended_v).data() + 1;
    for (int row = 0; row < height; ++row) {
        // Rows of pixels, like columns, lie a quarter of a sample from their nearest sample row.
        const int near = row / 2;
        const int far = std::clamp(row % 2 ? near + 1 : near - 1, 0, sample_rows - 1);
        BlendChromaRows(chroma.data + near * chroma.stride, chroma.data + far * chroma.stride, first, second,
                        samples);
        for (auto* blended : {&blended_u, &blended_v}) {
            (*blended)[0] = (*blended)[1];
            (*blended)[samples + 1] = (*blended)[samples];
        }
        InterpolateChromaRow(blended_u.data() + 1, pixels_u.data(), samples);
        InterpolateChromaRow(blended_v.data() + 1, pixels_v.data(), samples);
        FullChromaRow(y.data + row * y.stride, pixels_u.data(), pixels_v.data(),
                      bgr + static_cast<std::ptrdiff_t>(row) * width * 3, width, g, tail);
    }
}

}  // namespace vantle::convert::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantle::convert {

HWY_EXPORT(Planar420ToBgr);
HWY_EXPORT(SemiPlanar420ToBgr);

YuvGains yuv_gains(double kr, double kb, bool full_range) noexcept {
    // Limited range: luma 16-235 and chroma 16-240 (around 128) span the full 0-255 of the result.
    const double luma_scale = full_range ? 1.0 : 255.0 / 219.0;
    const double chroma_scale = full_range ? 1.0 : 255.0 / 224.0;
    const double kg = 1.0 - kr - kb;
    auto fixed = [](double value) { return static_cast<std::int16_t>(std::lround(value)); };
    // Y * 128 times luma / 2^15 = Y * luma_scale * 64; (C - 128) * 256 times gain / 2^15 =
    // (C - 128) * coefficient * 64. The bias also adds the half for the final rounding.
    const double chroma_gain = chroma_scale * 64 * 128;
    return YuvGains{
        .luma = fixed(luma_scale * 64 * 256),
        .luma_bias = fixed((full_range ? 0.0 : -16.0 * luma_scale * 64) + 32),
        .u_to_blue = fixed(2 * (1 - kb) * chroma_gain),
        .u_to_green = fixed(-2 * kb * (1 - kb) / kg * chroma_gain),
        .v_to_green = fixed(-2 * kr * (1 - kr) / kg * chroma_gain),
        .v_to_red = fixed(2 * (1 - kr) * chroma_gain),
    };
}

void planar_420_to_bgr(PlaneView y, PlaneView u, PlaneView v, std::uint8_t* bgr, int width, int height,
                       const YuvGains& gains) {
    HWY_DYNAMIC_DISPATCH(Planar420ToBgr)(y, u, v, bgr, width, height, gains);
}

void semi_planar_420_to_bgr(PlaneView y, PlaneView chroma, bool v_first, std::uint8_t* bgr, int width, int height,
                            const YuvGains& gains) {
    HWY_DYNAMIC_DISPATCH(SemiPlanar420ToBgr)(y, chroma, v_first, bgr, width, height, gains);
}

}  // namespace vantle::convert
#endif  // HWY_ONCE
