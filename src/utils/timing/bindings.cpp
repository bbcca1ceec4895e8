// Python surface of vantle.utils.timing.

#include <nanobind/nanobind.h>

#include <cmath>

#include "utils/stub_names.hpp"
#include "utils/timing/timeout.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// Python numbers keep their kind: an int limit reads back, and is written, as an int.
void set_limit(vantle::Timeout& timeout, vantle::stub::Handle<vantle::stub::Number> value) {
    if (PyBool_Check(value.ptr()) || !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))) {
        throw nb::type_error("time_seconds must be an int or a float");
    }
    timeout.integral_limit = PyLong_Check(value.ptr());
    timeout.time_seconds = nb::cast<double>(value);
}

vantle::stub::Object<vantle::stub::Number> get_limit(const vantle::Timeout& timeout) {
    if (timeout.integral_limit) return nb::int_(static_cast<long long>(std::llround(timeout.time_seconds)));
    return nb::float_(timeout.time_seconds);
}

}  // namespace

NB_MODULE(timing, m) {
    nb::set_leak_warnings(false);
    nb::module_::import_("vantle.logger");
    m.doc() = "Elapsed-time guards for polling loops.";

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const vantle::TimeoutError& e) {
            PyErr_SetString(PyExc_TimeoutError, e.what());
        }
    });

    nb::class_<vantle::Timeout>(m, "Timeout",
                                "Elapsed-time guard: true until `time_seconds` have passed since it was created or "
                                "last reset, measured on the monotonic clock. `start` is that moment in wall-clock seconds since the epoch (time.time()); setting it moves the deadline accordingly. When the limit has passed, a truth test logs a warning if "
                                "`print_timeout` and raises TimeoutError if `raise_error`.")
        .def(
            "__init__",
            [](vantle::Timeout* self, vantle::stub::Handle<vantle::stub::Number> time_seconds, bool raise_error,
               bool print_timeout) {
                new (self) vantle::Timeout(0, raise_error, print_timeout);
                set_limit(*self, time_seconds);
            },
            "time_seconds"_a, "raise_error"_a = true, "print_timeout"_a = false)
        .def_prop_rw("start", &vantle::Timeout::start, &vantle::Timeout::set_start)
        .def_prop_rw("time_seconds", &get_limit, &set_limit)
        .def_rw("raise_error", &vantle::Timeout::raise_error)
        .def_rw("print_timeout", &vantle::Timeout::print_timeout)
        .def("reset", &vantle::Timeout::reset, "Starts the count again from now.")
        .def("__bool__", [](const vantle::Timeout& t) { return static_cast<bool>(t); })
        .def("__repr__", [](const vantle::Timeout& t) {
            return nb::str("Timeout(time_seconds={}, raise_error={}, print_timeout={})")
                .format(get_limit(t), t.raise_error, t.print_timeout);
        });
}
