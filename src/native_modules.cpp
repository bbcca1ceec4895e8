// The entry point of the Python module stubs (src/python_module.c) into libvantle.so.

#include <Python.h>

#include <cstring>
#include <exception>

namespace {

// The private unwinder builds its table of register sizes on first use. Unwinds that another
// unwinder drives through our frames (glibc ending a thread inside a callback, by pthread_exit)
// call our personality routine, which reads that table: build it when the library loads.
[[maybe_unused]] const bool unwinder_ready = [] {
    try {
        throw 0;
    } catch (int) {
    }
    return true;
}();

}  // namespace

extern "C" {
PyObject* PyInit_logger();
PyObject* PyInit_timing();
PyObject* PyInit_loop_host();
PyObject* PyInit_feed_contract();
PyObject* PyInit_gstreamer();
PyObject* PyInit_builders();
PyObject* PyInit_live_feed();

// The definition of the module `name`, or nullptr with ImportError set.
__attribute__((visibility("default"))) PyObject* vantle_module_definition(const char* name) noexcept {
    struct Entry {
        const char* name;
        PyObject* (*init)();
    };
    static constexpr Entry kModules[] = {
        {"logger", PyInit_logger},       {"timing", PyInit_timing},       {"loop_host", PyInit_loop_host},
        {"feed_contract", PyInit_feed_contract}, {"gstreamer", PyInit_gstreamer}, {"builders", PyInit_builders},
        {"live_feed", PyInit_live_feed},
    };
    for (const Entry& entry : kModules) {
        if (std::strcmp(entry.name, name) != 0) continue;
        try {
            return entry.init();
        } catch (const std::exception& error) {
            PyErr_SetString(PyExc_ImportError, error.what());
            return nullptr;
        }
    }
    PyErr_Format(PyExc_ImportError, "libvantle has no module '%s'", name);
    return nullptr;
}
}
