#pragma once

// Helpers for native code that must enter Python: from threads Python did not create, at any
// time, including while the interpreter shuts down. Included by binding files only.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <exception>
#include <memory>
#include <string>

#include "logger/export.hpp"
#include "logger/logger.hpp"

namespace vantle::python {

// True while native threads may take the GIL: the interpreter runs and has not begun to exit.
VANTLE_EXPORT bool alive() noexcept;

// Logs the Python error `error` (with its traceback) on the root streaming logger, saying
// where it happened. Call with the GIL held.
VANTLE_EXPORT void log_error(const char* where, nanobind::python_error& error) noexcept;

// Runs `fn` with the GIL taken and returns its result; on any error, logs it and returns
// `fallback`. Never throws, so it is safe inside callbacks that GStreamer calls.
template <class R, class F>
R call_or(R fallback, const char* where, F&& fn) noexcept {
    if (!alive()) return fallback;
    nanobind::gil_scoped_acquire gil;
    try {
        return fn();
    } catch (nanobind::python_error& error) {
        log_error(where, error);
    } catch (const std::exception& error) {
        logging::root().error(std::string("Error in ") + where + ": " + error.what());
    } catch (...) {
        logging::root().error(std::string("Unknown error in ") + where);
    }
    return fallback;
}

template <class F>
void call(const char* where, F&& fn) noexcept {
    call_or(0, where, [&] {
        fn();
        return 0;
    });
}

// A Python object that native code may copy and drop on any thread without the GIL: copies
// share one reference, and the last owner takes the GIL to release it (or leaks it once the
// interpreter is gone). Create with the GIL held.
inline std::shared_ptr<nanobind::object> hold(nanobind::object object) {
    return std::shared_ptr<nanobind::object>(new nanobind::object(std::move(object)), [](nanobind::object* held) {
        if (!alive()) return;
        nanobind::gil_scoped_acquire gil;
        delete held;
    });
}

}  // namespace vantle::python
