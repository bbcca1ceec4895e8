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

// Fixed point: luma enters as Y * 256 and chroma as (C - 128) * 256, and 16-bit multiplies that
// keep the high half (MulHigh for luma, the rounding MulFixedPoint15 for chroma) scale them by
// gains that leave 6 fraction bits, so that the sums are within 1/32 of a level of the exact
// value before the one final rounding. Sums beyond the 16-bit range saturate, beyond what 0-255
// clamps anyway.
//
// A step takes 2N pixels (N lanes of 16 bits) as N even and N odd ones: each pair of bytes of a
// luma row splits into its two pixels, and the N chroma samples of 4:2:0 line up with both halves.

HWY_BEFORE_NAMESPACE();
namespace vantle::convert::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D16 = hn::ScalableTag<std::int16_t>;
using DU16 = hn::RebindToUnsigned<D16>;
using D8 = hn::Repartition<std::uint8_t, D16>;  // one lane per pixel of a step
using V16 = hn::Vec<D16>;

#if HWY_TARGET == HWY_SCALAR
using RowGains = YuvGains;
#else
struct Gains {
    explicit Gains(const YuvGains& g)
        : luma(hn::Set(DU16(), static_cast<std::uint16_t>(g.luma))),
          luma_bias(hn::Set(D16(), g.luma_bias)),
          u_to_blue(hn::Set(D16(), g.u_to_blue)),
          u_to_green(hn::Set(D16(), g.u_to_green)),
          v_to_green(hn::Set(D16(), g.v_to_green)),
          v_to_red(hn::Set(D16(), g.v_to_red)) {}
    hn::Vec<DU16> luma;
    V16 luma_bias, u_to_blue, u_to_green, v_to_green, v_to_red;
};
using RowGains = Gains;
#endif

#if HWY_TARGET != HWY_SCALAR
// What chroma adds to each channel, with 6 fraction bits.
struct ChromaTerms {
    V16 blue, green, red;
};

HWY_INLINE ChromaTerms Terms(const Gains& g, V16 u, V16 v) {
    return {hn::MulFixedPoint15(u, g.u_to_blue),
            hn::Add(hn::MulFixedPoint15(u, g.u_to_green), hn::MulFixedPoint15(v, g.v_to_green)),
            hn::MulFixedPoint15(v, g.v_to_red)};
}

// N chroma samples as (C - 128) * 256: shifted up, flipping the sign bit subtracts 128.
HWY_INLINE V16 LoadChroma(const std::uint8_t* HWY_RESTRICT chroma) {
    const D16 d;
    return hn::Xor(hn::ShiftLeft<8>(hn::PromoteTo(d, hn::LoadU(hn::Rebind<std::uint8_t, D16>(), chroma))),
                   hn::SignBit(d));
}

#undef VANTLE_PACK_UNSIGNED  // this file is compiled once per target
#if HWY_ARCH_X86 && HWY_TARGET != HWY_EMU128 && HWY_TARGET != HWY_SCALAR
// The x86 pack instructions saturate two vectors of 16-bit lanes into one of bytes, per 128-bit
// block; Highway 1.0 has no operation for them.
HWY_INLINE __m128i PackUnsigned(__m128i a, __m128i b) { return _mm_packus_epi16(a, b); }
#if HWY_TARGET <= HWY_AVX2
HWY_INLINE __m256i PackUnsigned(__m256i a, __m256i b) { return _mm256_packus_epi16(a, b); }
#endif
#if HWY_TARGET <= HWY_AVX3
HWY_INLINE __m512i PackUnsigned(__m512i a, __m512i b) { return _mm512_packus_epi16(a, b); }
#endif
#define VANTLE_PACK_UNSIGNED 1
#endif

// One channel of the even and the odd pixels of a step (6 fraction bits) as bytes in pixel order,
// clamped to 0-255.
HWY_INLINE hn::Vec<D8> Channel(V16 even, V16 odd) {
    const D8 d8;
    even = hn::ShiftRight<6>(even);
    odd = hn::ShiftRight<6>(odd);
#ifdef VANTLE_PACK_UNSIGNED
    // Each block packs to its 8 even pixels, then its 8 odd ones: shuffled back into pixel order.
    alignas(16) static constexpr std::uint8_t kPixelOrder[16] = {0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15};
    return hn::TableLookupBytes(hn::Vec<D8>{PackUnsigned(even.raw, odd.raw)}, hn::LoadDup128(d8, kPixelOrder));
#else
    const D16 d;
    const DU16 du;
    auto clamped = [&](V16 v) { return hn::BitCast(du, hn::Min(hn::Max(v, hn::Zero(d)), hn::Set(d, 255))); };
    return hn::BitCast(d8, hn::Or(clamped(even), hn::ShiftLeft<8>(clamped(odd))));
#endif
}

// 2N pixels from their luma bytes and the chroma terms of the even and of the odd ones.
HWY_INLINE void StorePixels(const Gains& g, const std::uint8_t* HWY_RESTRICT y, const ChromaTerms& even,
                            const ChromaTerms& odd, std::uint8_t* HWY_RESTRICT bgr) {
    const D16 d;
    const DU16 du;
    const D8 d8;
    const auto pairs = hn::BitCast(du, hn::LoadU(d8, y));
    const V16 luma_even = hn::Add(hn::BitCast(d, hn::MulHigh(hn::ShiftLeft<8>(pairs), g.luma)), g.luma_bias);
    const V16 luma_odd =
        hn::Add(hn::BitCast(d, hn::MulHigh(hn::And(pairs, hn::Set(du, 0xFF00)), g.luma)), g.luma_bias);
    hn::StoreInterleaved3(
        Channel(hn::SaturatedAdd(luma_even, even.blue), hn::SaturatedAdd(luma_odd, odd.blue)),
        Channel(hn::SaturatedAdd(luma_even, even.green), hn::SaturatedAdd(luma_odd, odd.green)),
        Channel(hn::SaturatedAdd(luma_even, even.red), hn::SaturatedAdd(luma_odd, odd.red)), d8, bgr);
}

#endif  // HWY_TARGET != HWY_SCALAR

// Room for one step past the end of a row, for rows whose width is no multiple of it.
struct RowTail {
    explicit RowTail(std::size_t lanes) : luma(2 * lanes), u(lanes), v(lanes), bgr(6 * lanes) {}
    std::vector<std::uint8_t> luma, u, v, bgr;
};

#if HWY_TARGET == HWY_SCALAR
// Without SIMD (Highway's one-lane target, for CPUs without SSSE3 and the like): the same
// arithmetic, one pixel at a time.
void StorePixel(const YuvGains& g, std::uint8_t y, int u, int v, std::uint8_t* HWY_RESTRICT bgr) {
    auto mul_fixed_point15 = [](int a, int b) { return (a * b + (1 << 14)) >> 15; };
    auto channel = [](int sum) {
        return static_cast<std::uint8_t>(std::clamp(std::clamp(sum, -32768, 32767) >> 6, 0, 255));
    };
    const int luma = ((y << 8) * static_cast<std::uint16_t>(g.luma) >> 16) + g.luma_bias;
    bgr[0] = channel(luma + mul_fixed_point15(u, g.u_to_blue));
    bgr[1] = channel(luma + mul_fixed_point15(u, g.u_to_green) + mul_fixed_point15(v, g.v_to_green));
    bgr[2] = channel(luma + mul_fixed_point15(v, g.v_to_red));
}

void Planar420Row(const std::uint8_t* HWY_RESTRICT y, const std::uint8_t* HWY_RESTRICT u,
                  const std::uint8_t* HWY_RESTRICT v, std::uint8_t* HWY_RESTRICT bgr, std::size_t width,
                  const YuvGains& g, RowTail&) {
    for (std::size_t x = 0; x < width; ++x) {
        StorePixel(g, y[x], (u[x / 2] - 128) * 256, (v[x / 2] - 128) * 256, bgr + 3 * x);
    }
}
#else
void Planar420Row(const std::uint8_t* HWY_RESTRICT y, const std::uint8_t* HWY_RESTRICT u,
                  const std::uint8_t* HWY_RESTRICT v, std::uint8_t* HWY_RESTRICT bgr, std::size_t width,
                  const Gains& g, RowTail& tail) {
    const std::size_t step = 2 * hn::Lanes(D16());
    std::size_t x = 0;
    for (; x + step <= width; x += step) {
        const ChromaTerms terms = Terms(g, LoadChroma(u + x / 2), LoadChroma(v + x / 2));
        StorePixels(g, y + x, terms, terms, bgr + 3 * x);
    }
    if (x == width) return;
    const std::size_t pixels = width - x;
    const std::size_t samples = (pixels + 1) / 2;
    std::memcpy(tail.luma.data(), y + x, pixels);
    std::memcpy(tail.u.data(), u + x / 2, samples);
    std::memcpy(tail.v.data(), v + x / 2, samples);
    const ChromaTerms terms = Terms(g, LoadChroma(tail.u.data()), LoadChroma(tail.v.data()));
    StorePixels(g, tail.luma.data(), terms, terms, tail.bgr.data());
    std::memcpy(bgr + 3 * x, tail.bgr.data(), 3 * pixels);
}

#endif  // HWY_TARGET == HWY_SCALAR

void Planar420ToBgr(PlaneView y, PlaneView u, PlaneView v, std::uint8_t* bgr, int width, int height,
                    const YuvGains& gains) {
    const RowGains g(gains);
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
    const DU16 d;
    const hn::Rebind<std::uint8_t, DU16> d8;
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
// blended[i - 1], pixel 2i + 1 takes 3 * blended[i] + blended[i + 1], 16 times C in all. Writes
// even[0, samples) and odd[0, samples), rounded up to whole vectors.
void InterpolateChromaRow(const std::uint16_t* HWY_RESTRICT blended, std::int16_t* HWY_RESTRICT even,
                          std::int16_t* HWY_RESTRICT odd, std::size_t samples) {
    const D16 d;
    const DU16 du;
    const std::size_t lanes = hn::Lanes(d);
    const V16 offset = hn::Set(d, 16 * 128);
    for (std::size_t i = 0; i < samples; i += lanes) {
        const auto middle = hn::LoadU(du, blended + i);
        const auto triple = hn::Add(hn::Add(middle, middle), middle);
        const V16 left = hn::BitCast(d, hn::Add(triple, hn::LoadU(du, blended + i - 1)));
        const V16 right = hn::BitCast(d, hn::Add(triple, hn::LoadU(du, blended + i + 1)));
        hn::StoreU(hn::ShiftLeft<4>(hn::Sub(left, offset)), d, even + i);
        hn::StoreU(hn::ShiftLeft<4>(hn::Sub(right, offset)), d, odd + i);
    }
}

// The chroma of each pixel as InterpolateChromaRow leaves it, for the even and the odd pixels.
struct PixelChroma {
    explicit PixelChroma(std::size_t size) : u_even(size), u_odd(size), v_even(size), v_odd(size) {}
    std::vector<std::int16_t> u_even, u_odd, v_even, v_odd;
};

#if HWY_TARGET == HWY_SCALAR
void FullChromaRow(const std::uint8_t* HWY_RESTRICT y, const PixelChroma& chroma, std::uint8_t* HWY_RESTRICT bgr,
                   std::size_t width, const YuvGains& g, RowTail&) {
    for (std::size_t x = 0; x < width; ++x) {
        const bool odd = x % 2;
        StorePixel(g, y[x], (odd ? chroma.u_odd : chroma.u_even)[x / 2], (odd ? chroma.v_odd : chroma.v_even)[x / 2],
                   bgr + 3 * x);
    }
}
#else
void FullChromaRow(const std::uint8_t* HWY_RESTRICT y, const PixelChroma& chroma, std::uint8_t* HWY_RESTRICT bgr,
                   std::size_t width, const Gains& g, RowTail& tail) {
    const D16 d;
    const std::size_t step = 2 * hn::Lanes(d);
    auto terms = [&](const std::vector<std::int16_t>& u, const std::vector<std::int16_t>& v, std::size_t x) {
        return Terms(g, hn::LoadU(d, u.data() + x / 2), hn::LoadU(d, v.data() + x / 2));
    };
    std::size_t x = 0;
    for (; x + step <= width; x += step) {
        StorePixels(g, y + x, terms(chroma.u_even, chroma.v_even, x), terms(chroma.u_odd, chroma.v_odd, x),
                    bgr + 3 * x);
    }
    if (x == width) return;
    const std::size_t pixels = width - x;
    std::memcpy(tail.luma.data(), y + x, pixels);
    StorePixels(g, tail.luma.data(), terms(chroma.u_even, chroma.v_even, x), terms(chroma.u_odd, chroma.v_odd, x),
                tail.bgr.data());
    std::memcpy(bgr + 3 * x, tail.bgr.data(), 3 * pixels);
}

#endif  // HWY_TARGET == HWY_SCALAR

void SemiPlanar420ToBgr(PlaneView y, PlaneView chroma, bool v_first, std::uint8_t* bgr, int width, int height,
                        const YuvGains& gains) {
    const RowGains g(gains);
    const std::size_t lanes = hn::Lanes(D16());
    RowTail tail(lanes);
    const std::size_t samples = (static_cast<std::size_t>(width) + 1) / 2;
    const int sample_rows = (height + 1) / 2;
    // Zeroed, so that the vectors past the last sample compute with defined values.
    std::vector<std::uint16_t> blended_u(samples + 2 + lanes), blended_v(samples + 2 + lanes);
    PixelChroma pixels(samples + lanes);
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
        InterpolateChromaRow(blended_u.data() + 1, pixels.u_even.data(), pixels.u_odd.data(), samples);
        InterpolateChromaRow(blended_v.data() + 1, pixels.v_even.data(), pixels.v_odd.data(), samples);
        FullChromaRow(y.data + row * y.stride, pixels, bgr + static_cast<std::ptrdiff_t>(row) * width * 3, width, g,
                      tail);
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
    // Y * 256 times luma / 2^16 = Y * luma_scale * 64; (C - 128) * 256 times gain / 2^15 =
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
