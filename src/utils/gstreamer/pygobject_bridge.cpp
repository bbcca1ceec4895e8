#include "utils/gstreamer/pygobject_bridge.hpp"

#include <pygobject.h>

#include <string>

namespace nb = nanobind;

namespace vantle::gi {

void ensure_ready() {
    static bool ready = false;
    if (ready) return;
    if (pygobject_init(-1, -1, -1) == nullptr) throw nb::python_error();
    nb::object gi = nb::module_::import_("gi");
    gi.attr("require_version")("Gst", "1.0");
    gi.attr("require_version")("GstApp", "1.0");
    nb::object repository = nb::module_::import_("gi.repository");
    nb::object gst = nb::module_::import_("gi.repository.Gst");
    nb::module_::import_("gi.repository.GstApp");
    gst.attr("init")(nb::none());
    ready = true;
}

nb::object wrap(gpointer object) {
    if (object == nullptr) return nb::none();
    if (g_object_is_floating(object)) {
        g_object_ref_sink(object);
        nb::object wrapper = nb::steal(pygobject_new(G_OBJECT(object)));
        g_object_unref(object);
        if (!wrapper.is_valid()) throw nb::python_error();
        return wrapper;
    }
    nb::object wrapper = nb::steal(pygobject_new(G_OBJECT(object)));
    if (!wrapper.is_valid()) throw nb::python_error();
    return wrapper;
}

nb::object wrap_boxed(GType type, gconstpointer boxed) {
    if (boxed == nullptr) return nb::none();
    nb::object wrapper = nb::steal(pyg_boxed_new(type, const_cast<gpointer>(boxed), TRUE, TRUE));
    if (!wrapper.is_valid()) throw nb::python_error();
    return wrapper;
}

gpointer unwrap(nb::handle object, GType type, const char* what, bool allow_none) {
    if (object.is_none() && allow_none) return nullptr;
    if (!PyObject_TypeCheck(object.ptr(), &PyGObject_Type) ||
        !G_TYPE_CHECK_INSTANCE_TYPE(pygobject_get(object.ptr()), type)) {
        throw nb::type_error((std::string(what) + " must be a " + g_type_name(type)).c_str());
    }
    return pygobject_get(object.ptr());
}

gpointer unwrap_boxed(nb::handle object, GType type, const char* what, bool allow_none) {
    if (object.is_none() && allow_none) return nullptr;
    if (!PyObject_TypeCheck(object.ptr(), &PyGBoxed_Type) ||
        !g_type_is_a(reinterpret_cast<PyGBoxed*>(object.ptr())->gtype, type)) {
        throw nb::type_error((std::string(what) + " must be a " + g_type_name(type)).c_str());
    }
    return pyg_boxed_get_ptr(object.ptr());
}

BorrowedProbeInfo::BorrowedProbeInfo(GstPadProbeInfo* info) {
    object_ = nb::module_::import_("gi.repository.Gst").attr("PadProbeInfo")();
    auto* pointer = reinterpret_cast<PyGPointer*>(object_.ptr());
    original_ = pointer->pointer;
    pointer->pointer = info;
}

BorrowedProbeInfo::~BorrowedProbeInfo() { reinterpret_cast<PyGPointer*>(object_.ptr())->pointer = original_; }

}  // namespace vantle::gi
