#include "logger/python_bridge.hpp"

#include <Python.h>

#include <atomic>

namespace nb = nanobind;

namespace vantle::python {
namespace {
std::atomic<bool> g_exiting{false};
}

void mark_exiting() noexcept { g_exiting.store(true); }

bool alive() noexcept {
    return !g_exiting.load() && Py_IsInitialized() && !_Py_IsFinalizing() && nb::is_alive();
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
