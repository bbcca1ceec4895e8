#pragma once

// Helpers for native code that must enter Python: from threads Python did not create, at any
// time, including while the interpreter shuts down. Included by binding files only.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cxxabi.h>

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

// Never returns: for a thread that the exiting interpreter ended from inside Python. Python
// 3.11 to 3.13 end such a thread by unwinding it (pthread_exit); our callbacks are noexcept and
// our frames catch everything, so letting that unwind go on would abort the process.
[[noreturn]] VANTLE_EXPORT void wait_for_process_exit() noexcept;

// Runs `fn` with the GIL taken and returns its result; on any error, logs it and returns
// `fallback`. Never throws, so it is safe inside callbacks that GStreamer calls. The GIL is taken
// and released by hand: when the interpreter ends the thread while `fn` runs, the thread no
// longer holds the GIL and must not release it.
template <class R, class F>
R call_or(R fallback, const char* where, F&& fn) noexcept {
    if (!alive()) return fallback;
    PyGILState_STATE gil;
    try {
        gil = PyGILState_Ensure();
    } catch (abi::__forced_unwind&) {
        wait_for_process_exit();
    }
    R result = fallback;
    try {
        result = fn();
    } catch (abi::__forced_unwind&) {
        wait_for_process_exit();
    } catch (nanobind::python_error& error) {
        log_error(where, error);
    } catch (const std::exception& error) {
        logging::root().error(std::string("Error in ") + where + ": " + error.what());
    } catch (...) {
        logging::root().error(std::string("Unknown error in ") + where);
    }
    PyGILState_Release(gil);
    return result;
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
        call("releasing a Python object", [&] { delete held; });
    });
}

}  // namespace vantle::python
