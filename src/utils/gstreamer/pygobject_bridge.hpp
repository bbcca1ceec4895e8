#pragma once

// Hands GStreamer objects to Python as PyGObject objects and back. Binding files only; every
// function needs the GIL.

#include <gst/gst.h>
#include <nanobind/nanobind.h>


namespace vantle::gi {

// Imports PyGObject's C API and makes sure Gst.init ran from Python (PyGObject's Gst overrides
// refuse to work before that). Called when vantle.utils.gstreamer loads.
void ensure_ready();

// A PyGObject wrapper of `object` (None for null). The wrapper takes its own reference; a
// floating reference is sunk first and then given to the wrapper.
nanobind::object wrap(gpointer object);
// A PyGObject wrapper owning a copy (for mini objects, a new reference) of a boxed value.
nanobind::object wrap_boxed(GType type, gconstpointer boxed);

// The GObject inside a PyGObject wrapper, checked to be of `type`; nullptr for None when
// `allow_none`. Raises TypeError naming `what` otherwise. Borrowed.
gpointer unwrap(nanobind::handle object, GType type, const char* what, bool allow_none = false);
// The boxed value inside a PyGObject boxed wrapper (Gst.Caps, Gst.Structure, ...); for
// GST_TYPE_STRUCTURE also inside the StructureWrapper of GStreamer's Python overrides.
// Borrowed, valid while `object` lives. Raises TypeError naming `what` and the type it got.
gpointer unwrap_boxed(nanobind::handle object, GType type, const char* what, bool allow_none = false);

// A Gst.PadProbeInfo that points at `info` for as long as this object lives; the Python
// object must not be used after that.
class BorrowedProbeInfo {
public:
    explicit BorrowedProbeInfo(GstPadProbeInfo* info);
    ~BorrowedProbeInfo();
    BorrowedProbeInfo(const BorrowedProbeInfo&) = delete;
    BorrowedProbeInfo& operator=(const BorrowedProbeInfo&) = delete;
    nanobind::handle object() const { return object_; }

private:
    nanobind::object object_;
    gpointer original_;
};

template <class T>
T* unwrap_as(nanobind::handle object, GType type, const char* what, bool allow_none = false) {
    return static_cast<T*>(unwrap(object, type, what, allow_none));
}

}  // namespace vantle::gi
