#pragma once

// Helpers for native code that must enter Python: from threads Python did not create, at any
// time, including while the interpreter shuts down. Included by binding files only.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cxxabi.h>

#include <exception>
#include <memory>
#include <string>

#include "logger/logger.hpp"

namespace vantle::python {

// True while native threads may take the GIL: the interpreter runs and has not begun to exit.
bool alive() noexcept;

// Whether the caller runs on the interpreter's main thread (recorded when vantle.logger loads):
// the thread that handles signals and that finalizes the interpreter.
bool on_main_thread() noexcept;

// The interpreter's life as the runtime tracks it; called by its hooks (interpreter_hooks.hpp).
void record_main_thread(unsigned long ident) noexcept;
// At exit, with the GIL held: native threads stop entering Python.
void mark_exiting() noexcept;
// In a child created by fork, whose parent's threads are gone.
void forget_entries_after_fork() noexcept;

// Blocks the calling thread for good. For threads that must not touch Python again.
[[noreturn]] void park_forever() noexcept;

// Before CPython 3.14, a thread that takes the GIL once finalization has begun is ended from
// inside its native frames, which aborts the process. So every native entry into Python
// announces itself, then checks alive(): the exit hook sets the flag that alive() reads and
// then lets every entry already announced take the GIL and finish before finalization begins.
class PythonEntry {
public:
    PythonEntry() noexcept;
    ~PythonEntry();
    PythonEntry(const PythonEntry&) = delete;
    PythonEntry& operator=(const PythonEntry&) = delete;
    // False once the interpreter is exiting: the GIL must not be taken.
    bool allowed() const noexcept { return allowed_; }
    // Ends the announcement once the GIL is held: a thread that holds it cannot be caught
    // waiting for it, and the exit hook must not wait for Python work that may take long.
    void finish() noexcept;

private:
    bool allowed_;
    bool finished_ = false;
};

// Takes the GIL again inside a region that released it (a callback of a blocking call made for
// Python); once the interpreter is exiting, a thread other than the main one parks instead.
class TakenGil {
public:
    TakenGil() noexcept;
    ~TakenGil();
    TakenGil(const TakenGil&) = delete;
    TakenGil& operator=(const TakenGil&) = delete;

private:
    int gil_state_;
};

// Takes the GIL back with the thread state that PyEval_SaveThread returned, or parks the
// thread for good when the interpreter is exiting and this is not the main thread.
void restore_thread(void* saved_state) noexcept;

// Logs the Python error `error` (with its traceback) on the root streaming logger, saying
// where it happened. Call with the GIL held.
void log_error(const char* where, nanobind::python_error& error) noexcept;

// The unwind that ends a thread carries no C++ object, so a handler of abi::__forced_unwind binds
// a null reference; the undefined-behaviour sanitizer must not report it (which it only honours
// in a function that is not inlined).
#define VANTLE_HANDLES_THREAD_EXIT __attribute__((no_sanitize("null"), noinline))

// Runs `fn` with the GIL taken and returns its result; on any error, logs it and returns
// `fallback`. Never throws, so it is safe inside callbacks that GStreamer calls. Should the
// interpreter still end the thread (Python code in `fn` gives the GIL up and takes it back once
// finalization began, which Python 3.11 to 3.13 answer with pthread_exit), the unwind is caught
// and the thread parks: our noexcept frames would abort the process. The GIL is taken and
// released by hand, since a thread ended that way no longer holds it.
template <class R, class F>
VANTLE_HANDLES_THREAD_EXIT R call_or(R fallback, const char* where, F&& fn) noexcept {
    PythonEntry entry;
    if (!entry.allowed()) return fallback;
    PyGILState_STATE gil;
    try {
        gil = PyGILState_Ensure();
    } catch (abi::__forced_unwind&) {
        park_forever();
    }
    entry.finish();
    R result = fallback;
    try {
        result = fn();
    } catch (abi::__forced_unwind&) {
        park_forever();
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

// Keeps a held object that can no longer be released (the interpreter is exiting) for the rest
// of the process, where the leak checker sees it.
void keep_until_exit(nanobind::object* held) noexcept;

// A Python object that native code may copy and drop on any thread without the GIL: copies
// share one reference, and the last owner takes the GIL to release it (or keeps it until the
// process ends once the interpreter is exiting). Create with the GIL held.
inline std::shared_ptr<nanobind::object> hold(nanobind::object object) {
    return std::shared_ptr<nanobind::object>(new nanobind::object(std::move(object)), [](nanobind::object* held) {
        const bool released = call_or(false, "releasing a Python object", [&] {
            delete held;
            return true;
        });
        if (!released) keep_until_exit(held);
    });
}

}  // namespace vantle::python
