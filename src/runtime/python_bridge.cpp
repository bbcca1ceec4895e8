#include "runtime/python_bridge.hpp"

#include <mutex>
#include <vector>

#include <Python.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

namespace nb = nanobind;

namespace vantle::python {
namespace {
std::atomic<bool> g_exiting{false};
std::atomic<int> g_entries{0};  // native entries into Python announced and not yet finished
std::atomic<unsigned long> g_main_thread{0};
}  // namespace

void record_main_thread(unsigned long ident) noexcept { g_main_thread.store(ident); }

void forget_entries_after_fork() noexcept { g_entries.store(0); }

bool on_main_thread() noexcept { return PyThread_get_thread_ident() == g_main_thread.load(); }

void park_forever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Runs at exit with the GIL held, before the interpreter finalizes.
void mark_exiting() noexcept {
    g_exiting.store(true);
    // Entries announced before the flag may already wait for the GIL: let them through now.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (g_entries.load() > 0 && std::chrono::steady_clock::now() < deadline) {
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Py_END_ALLOW_THREADS
    }
}

PythonEntry::PythonEntry() noexcept {
    g_entries.fetch_add(1);
    allowed_ = alive();
}

PythonEntry::~PythonEntry() { finish(); }

void PythonEntry::finish() noexcept {
    if (!std::exchange(finished_, true)) g_entries.fetch_sub(1);
}

void restore_thread(void* saved_state) noexcept {
    if (saved_state == nullptr) return;
    PythonEntry entry;
    if (!entry.allowed() && !on_main_thread()) park_forever();
    PyEval_RestoreThread(static_cast<PyThreadState*>(saved_state));
}

TakenGil::TakenGil() noexcept {
    PythonEntry entry;
    if (!entry.allowed() && !on_main_thread()) park_forever();
    gil_state_ = static_cast<int>(PyGILState_Ensure());
}

TakenGil::~TakenGil() { PyGILState_Release(static_cast<PyGILState_STATE>(gil_state_)); }



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

void keep_until_exit(nanobind::object* held) noexcept {
    // Never destroyed: objects dropped while the interpreter exits stay referenced from here.
    static std::mutex* mutex = new std::mutex();
    static std::vector<nanobind::object*>* kept = new std::vector<nanobind::object*>();
    try {
        std::lock_guard lock(*mutex);
        kept->push_back(held);
    } catch (...) {
        // Out of memory: the object is simply never released.
    }
}

}  // namespace vantle::python

#include "runtime/without_gil.hpp"

namespace vantle {

WithoutGil::WithoutGil() noexcept
    : saved_state_(Py_IsInitialized() && PyGILState_Check() ? PyEval_SaveThread() : nullptr) {}

WithoutGil::~WithoutGil() { python::restore_thread(saved_state_); }

}  // namespace vantle
