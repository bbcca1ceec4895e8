#include "logger/python_bridge.hpp"

#include <Python.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace nb = nanobind;

namespace vantle::python {
namespace {
std::atomic<bool> g_exiting{false};
}

void mark_exiting() noexcept { g_exiting.store(true); }

void wait_for_process_exit() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

bool alive() noexcept {
    if (g_exiting.load() || !Py_IsInitialized() || !nb::is_alive()) return false;
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing();
#else
    // No public query before 3.13; the atexit flag covers it, as atexit handlers run before
    // the interpreter marks itself finalizing.
    return true;
#endif
}

void log_error(const char* where, nb::python_error& error) noexcept {
    std::string text;
    try {
        nb::object format = nb::module_::import_("traceback").attr("format_exception");
        nb::object lines = format(error.type(), error.value(), error.traceback());
        text = nb::cast<std::string>(nb::str("").attr("join")(lines));
    } catch (...) {
        text = error.what();
    }
    while (!text.empty() && text.back() == '\n') text.pop_back();
    logging::root().error(std::string("Error in ") + where + ": " + logging::redact_text(text));
}

}  // namespace vantle::python

#include "logger/without_gil.hpp"

namespace vantle {

WithoutGil::WithoutGil() noexcept
    : saved_state_(Py_IsInitialized() && PyGILState_Check() ? PyEval_SaveThread() : nullptr) {}

WithoutGil::~WithoutGil() {
    if (saved_state_ != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(saved_state_));
}

}  // namespace vantle
