#include "builders/decoder_threads.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>

namespace vantle::builders {
namespace {

std::atomic<int> open_streams{0};

std::optional<int> threads_override() noexcept {
    const char* text = std::getenv("VANTLE_DECODER_THREADS");
    if (text == nullptr) return std::nullopt;
    int value = -1;
    const std::string_view view(text);
    auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (error != std::errc() || end != view.data() + view.size() || value < 0) return std::nullopt;
    return value;
}

void on_element_added(GstBin*, GstElement* element, gpointer) {
    GObjectClass* klass = G_OBJECT_GET_CLASS(element);
    GParamSpec* property = g_object_class_find_property(klass, "max-threads");
    if (property == nullptr || property->value_type != G_TYPE_INT) return;
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    g_object_set(element, "max-threads", decoder_threads_for(OpenStreamCount::now(), cores), nullptr);
}

}  // namespace

int decoder_threads_for(int streams, int cores) noexcept {
    if (auto forced = threads_override()) return *forced;
    return std::max(1, cores / std::max(1, streams));
}

OpenStreamCount::OpenStreamCount() noexcept { open_streams.fetch_add(1, std::memory_order_relaxed); }
OpenStreamCount::~OpenStreamCount() { open_streams.fetch_sub(1, std::memory_order_relaxed); }
int OpenStreamCount::now() noexcept { return open_streams.load(std::memory_order_relaxed); }

void apply_decoder_threads(GstElement* decodebin) {
    // The handler keeps no state, so it may outlive anything: it dies with the decodebin.
    g_signal_connect(decodebin, "element-added", G_CALLBACK(on_element_added), nullptr);
}

}  // namespace vantle::builders
