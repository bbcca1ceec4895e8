#pragma once

// Owning holders for GStreamer and GLib handles: one alias per handle type, so that every
// reference, error and mapping is released on every way out of a scope.

#include <gst/gst.h>

#include <memory>
#include <utility>

namespace vantle::gst {

struct ObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
struct CapsUnref {
    void operator()(GstCaps* caps) const noexcept { gst_caps_unref(caps); }
};
struct SampleUnref {
    void operator()(GstSample* sample) const noexcept { gst_sample_unref(sample); }
};
struct BufferUnref {
    void operator()(GstBuffer* buffer) const noexcept { gst_buffer_unref(buffer); }
};
struct MessageUnref {
    void operator()(GstMessage* message) const noexcept { gst_message_unref(message); }
};
struct ErrorFree {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};
struct GFree {
    void operator()(gpointer memory) const noexcept { g_free(memory); }
};
struct PluginFeatureListFree {
    void operator()(GList* list) const noexcept { gst_plugin_feature_list_free(list); }
};

using UniqueElement = std::unique_ptr<GstElement, ObjectUnref>;
using UniquePipeline = std::unique_ptr<GstPipeline, ObjectUnref>;
using UniqueBus = std::unique_ptr<GstBus, ObjectUnref>;
using UniquePad = std::unique_ptr<GstPad, ObjectUnref>;
using UniqueElementFactory = std::unique_ptr<GstElementFactory, ObjectUnref>;
using UniqueCaps = std::unique_ptr<GstCaps, CapsUnref>;
using UniqueSample = std::unique_ptr<GstSample, SampleUnref>;
using UniqueBuffer = std::unique_ptr<GstBuffer, BufferUnref>;
using UniqueMessage = std::unique_ptr<GstMessage, MessageUnref>;
using UniqueError = std::unique_ptr<GError, ErrorFree>;
using UniqueString = std::unique_ptr<gchar, GFree>;
using UniqueFactoryList = std::unique_ptr<GList, PluginFeatureListFree>;

// A new owning reference to `object` (sinking a floating one).
template <class T>
std::unique_ptr<T, ObjectUnref> ref(T* object) {
    return std::unique_ptr<T, ObjectUnref>(object ? static_cast<T*>(g_object_ref_sink(object)) : nullptr);
}

// A copyable owning reference, for entries that std::function must copy.
template <class T>
class SharedRef {
public:
    SharedRef() = default;
    explicit SharedRef(T* object) : object_(object ? static_cast<T*>(g_object_ref_sink(object)) : nullptr) {}
    SharedRef(const SharedRef& other) : SharedRef(other.object_) {}
    SharedRef(SharedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    SharedRef& operator=(SharedRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~SharedRef() {
        if (object_) g_object_unref(object_);
    }
    T* get() const noexcept { return object_; }

private:
    T* object_ = nullptr;
};

// A reference that never keeps its object alive: a pipeline's parts must go with it.
template <class T>
class WeakRef {
public:
    WeakRef() noexcept { g_weak_ref_init(&ref_, nullptr); }
    WeakRef(const WeakRef&) = delete;
    WeakRef& operator=(const WeakRef&) = delete;
    ~WeakRef() { g_weak_ref_clear(&ref_); }
    void set(T* object) noexcept { g_weak_ref_set(&ref_, object); }
    // A strong reference while the object lives, else null.
    std::unique_ptr<T, ObjectUnref> lock() const noexcept {
        return std::unique_ptr<T, ObjectUnref>(static_cast<T*>(g_weak_ref_get(&ref_)));
    }

private:
    mutable GWeakRef ref_;
};

// A read mapping of a buffer, unmapped when the holder goes.
class BufferMap {
public:
    explicit BufferMap(GstBuffer* buffer) : buffer_(buffer), mapped_(gst_buffer_map(buffer, &info_, GST_MAP_READ)) {}
    BufferMap(const BufferMap&) = delete;
    BufferMap& operator=(const BufferMap&) = delete;
    ~BufferMap() {
        if (mapped_) gst_buffer_unmap(buffer_, &info_);
    }
    bool mapped() const noexcept { return mapped_; }
    const guint8* data() const noexcept { return info_.data; }
    gsize size() const noexcept { return info_.size; }

private:
    GstBuffer* buffer_;
    GstMapInfo info_{};
    bool mapped_;
};

}  // namespace vantle::gst
