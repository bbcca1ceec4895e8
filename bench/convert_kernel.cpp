// The reader's YUV to BGR kernel against libyuv's conversion of the same planes (what the reader
// used before), in milliseconds per frame into a warm buffer: the 10th percentile of 300 runs.
//
//   g++ -std=c++20 -O3 -Isrc bench/convert_kernel.cpp src/live_feed/yuv_to_bgr.cpp -lhwy -lyuv \
//       -o /tmp/convert_kernel && /tmp/convert_kernel

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "live_feed/yuv_to_bgr.hpp"

namespace {

template <class Convert>
double milliseconds(Convert convert) {
    std::vector<double> runs;
    for (int i = 0; i < 300; ++i) {
        const auto started = std::chrono::steady_clock::now();
        convert();
        runs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
    }
    std::nth_element(runs.begin(), runs.begin() + runs.size() / 10, runs.end());
    return runs[runs.size() / 10];
}

}  // namespace

int main() {
    using namespace vantle::convert;
    const YuvGains bt709 = yuv_gains(0.2126, 0.0722, false);
    for (auto [width, height] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
        const int chroma_width = (width + 1) / 2;
        const int chroma_height = (height + 1) / 2;
        std::vector<std::uint8_t> y(width * height), u(chroma_width * chroma_height), v(u.size()), uv(2 * u.size());
        std::vector<std::uint8_t> bgr(3 * width * height);
        for (std::size_t i = 0; i < y.size(); ++i) y[i] = static_cast<std::uint8_t>(i * 7);
        for (std::size_t i = 0; i < u.size(); ++i) u[i] = uv[2 * i] = static_cast<std::uint8_t>(i * 3);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = uv[2 * i + 1] = static_cast<std::uint8_t>(i * 5);

        const double i420 = milliseconds([&] {
            planar_420_to_bgr({y.data(), width}, {u.data(), chroma_width}, {v.data(), chroma_width}, bgr.data(), width,
                              height, bt709);
        });
        const double i420_libyuv = milliseconds([&] {
            libyuv::I420ToRGB24Matrix(y.data(), width, u.data(), chroma_width, v.data(), chroma_width, bgr.data(),
                                      3 * width, &libyuv::kYuvH709Constants, width, height);
        });
        const double nv12 = milliseconds([&] {
            semi_planar_420_to_bgr({y.data(), width}, {uv.data(), 2 * chroma_width}, false, bgr.data(), width, height,
                                   bt709);
        });
        const double nv12_libyuv = milliseconds([&] {
            auto planes = std::make_unique_for_overwrite<std::uint8_t[]>(u.size() + v.size());
            libyuv::SplitUVPlane(uv.data(), 2 * chroma_width, planes.get(), chroma_width, planes.get() + u.size(),
                                 chroma_width, chroma_width, chroma_height);
            libyuv::I420ToRGB24MatrixFilter(y.data(), width, planes.get(), chroma_width, planes.get() + u.size(),
                                            chroma_width, bgr.data(), 3 * width, &libyuv::kYuvH709Constants, width,
                                            height, libyuv::kFilterBilinear);
        });
        std::printf("%dx%d  I420 %.3f ms (libyuv %.3f)  NV12 %.3f ms (libyuv %.3f)\n", width, height, i420, i420_libyuv,
                    nv12, nv12_libyuv);
    }
}
