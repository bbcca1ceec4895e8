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

namespace {

[[noreturn]] void refuse(nb::handle object, GType type, const char* what, const char* also = "") {
    std::string message = std::string(what) + " must be a " + g_type_name(type) + also + ", not ";
    message += object.is_none() ? "None" : nb::cast<std::string>(nb::type_name(object.type()));
    throw nb::type_error(message.c_str());
}

bool is_boxed(nb::handle object, GType type) {
    return PyObject_TypeCheck(object.ptr(), &PyGBoxed_Type) &&
           g_type_is_a(reinterpret_cast<PyGBoxed*>(object.ptr())->gtype, type);
}

// GStreamer's own Python overrides (python3-gst-1.0; 1.26 on Debian 13) hand out the structures
// of caps, events, queries and contexts inside a StructureWrapper, a context manager whose
// __enter__ gives the Gst.Structure and which keeps its parent alive until __exit__. 1.26 does
// not export the class into Gst, so it is looked up in the overrides module. None for any other
// object: a context manager of another kind is never entered.
nb::object structure_in_wrapper(nb::handle object) {
    nb::dict modules = nb::borrow<nb::dict>(PySys_GetObject("modules"));
    if (!modules.contains("gi.overrides.Gst")) return nb::none();
    nb::object overrides = modules["gi.overrides.Gst"];
    if (!nb::hasattr(overrides, "StructureWrapper")) return nb::none();
    const int is_wrapper = PyObject_IsInstance(object.ptr(), overrides.attr("StructureWrapper").ptr());
    if (is_wrapper < 0) throw nb::python_error();
    return is_wrapper ? object.attr("__enter__")() : nb::none();
}

}  // namespace

gpointer unwrap(nb::handle object, GType type, const char* what, bool allow_none) {
    if (object.is_none() && allow_none) return nullptr;
    if (!PyObject_TypeCheck(object.ptr(), &PyGObject_Type) ||
        !G_TYPE_CHECK_INSTANCE_TYPE(pygobject_get(object.ptr()), type)) {
        refuse(object, type, what);
    }
    return pygobject_get(object.ptr());
}

gpointer unwrap_boxed(nb::handle object, GType type, const char* what, bool allow_none) {
    if (object.is_none() && allow_none) return nullptr;
    if (is_boxed(object, type)) return pyg_boxed_get_ptr(object.ptr());
    if (type == GST_TYPE_STRUCTURE) {
        nb::object structure = structure_in_wrapper(object);
        if (is_boxed(structure, type)) return pyg_boxed_get_ptr(structure.ptr());
        refuse(object, type, what, " or the StructureWrapper that holds one");
    }
    refuse(object, type, what);
}

BorrowedProbeInfo::BorrowedProbeInfo(GstPadProbeInfo* info) {
    object_ = nb::module_::import_("gi.repository.Gst").attr("PadProbeInfo")();
    auto* pointer = reinterpret_cast<PyGPointer*>(object_.ptr());
    original_ = pointer->pointer;
    pointer->pointer = info;
}

BorrowedProbeInfo::~BorrowedProbeInfo() { reinterpret_cast<PyGPointer*>(object_.ptr())->pointer = original_; }

}  // namespace vantle::gi
