// Python surface of vantle.logger: the "qv_streaming" logger hierarchy of Python's logging
// module, and the sink through which every native module logs into it.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <atomic>
#include <cctype>
#include <cstdlib>

#include "logger/logger.hpp"
#include "runtime/python_bridge.hpp"
#include "logger/record_queue.hpp"
#include "runtime/background_thread.hpp"
#include "runtime/interpreter_hooks.hpp"
#include "utils/stub_names.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vantle::logging {
// The StreamingLogThread, never destroyed. Kept where the leak checker sees it.
BackgroundThread* g_log_emitter = nullptr;
}  // namespace vantle::logging

namespace {

using vantle::logging::Level;

nb::object& get_logger_function() {
    // Leaked on purpose: native threads may log during interpreter shutdown.
    static nb::object* function = new nb::object(nb::module_::import_("logging").attr("getLogger"));
    return *function;
}

// The threading module, whose _active table lists the threads Python knows. Leaked on purpose.
PyObject* g_threading = nullptr;

// Never destroyed: streaming threads may log while the process exits. Replaced in a child
// created by fork, where its lock may have been held by one of the parent's threads.
std::atomic<vantle::logging::RecordQueue*> g_record_queue{new vantle::logging::RecordQueue(10000)};

vantle::logging::RecordQueue& record_queue() { return *g_record_queue.load(); }

// Hands one record to the `logging` module. Call with the GIL held.
void emit(const std::string& logger_name, Level level, std::string_view message) {
    try {
        nb::object logger = get_logger_function()(logger_name);
        const int numeric_level = static_cast<int>(level);
        if (nb::cast<bool>(logger.attr("isEnabledFor")(numeric_level))) {
            // GStreamer's texts are not always valid UTF-8; a bad byte must not lose the record.
            nb::object text = nb::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                                             "replace"));
            if (!text.is_valid()) throw nb::python_error();
            logger.attr("log")(numeric_level, text);
        }
    } catch (nb::python_error&) {
        // A handler that fails must not take the native caller down with it.
    }
}

// Whether `threading` lists the calling thread. Call with the GIL held.
bool registered_with_threading() {
    nb::object active = nb::steal(PyObject_GetAttrString(g_threading, "_active"));
    nb::object ident = nb::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
    if (!active.is_valid() || !ident.is_valid() || !PyDict_Check(active.ptr())) {
        PyErr_Clear();
        return false;
    }
    const int found = PyDict_Contains(active.ptr(), ident.ptr());
    if (found < 0) PyErr_Clear();
    return found == 1;
}

// Logging calls threading.current_thread(), which registers every thread that Python did not
// start as a dummy thread, for good. So only threads that `threading` already lists emit their
// records here; the others (GStreamer's streaming threads, also while they run a Python
// callback) leave theirs on the queue for the StreamingLogThread.
void python_sink(const std::string& logger_name, Level level, std::string_view message) {
    if (!vantle::python::alive()) return;
    if (PyGILState_GetThisThreadState() != nullptr) {
        const bool emitted = vantle::python::call_or(false, "logging", [&] {
            if (!registered_with_threading()) return false;
            emit(logger_name, level, message);
            return true;
        });
        if (emitted) return;
    }
    record_queue().push(logger_name, level, message);
}

// Body of the StreamingLogThread: waits for queued records without the GIL and emits them in
// order. Once the interpreter is exiting it never takes the GIL again; what is still queued
// then is dropped.
void emit_queued_records() {
    for (;;) {
        std::size_t dropped = 0;
        std::vector<vantle::logging::Record> batch = record_queue().take(dropped);
        if (!vantle::python::alive()) return;
        vantle::python::call("emitting log records", [&] {
            for (const auto& record : batch) emit(record.logger_name, record.level, record.message);
            if (dropped > 0) {
                emit(std::string(vantle::logging::kRootLoggerName), Level::Warning,
                     std::to_string(dropped) + " log records of streaming threads were dropped: too many at once");
            }
        });
    }
}

// STREAMING_LOGLEVEL: a level name in any case, or a number; anything else falls back to INFO.
void apply_level_from_environment(nb::object root) {
    const char* raw = std::getenv("STREAMING_LOGLEVEL");
    if (raw == nullptr) {
        root.attr("setLevel")(static_cast<int>(Level::Info));
        return;
    }
    std::string text(raw);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.erase(0, 1);
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    nb::object logging = nb::module_::import_("logging");
    nb::dict names = nb::borrow<nb::dict>(logging.attr("_nameToLevel"));
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        root.attr("setLevel")(std::stoi(text));
    } else if (names.contains(text.c_str())) {
        root.attr("setLevel")(names[text.c_str()]);
    } else {
        root.attr("setLevel")(static_cast<int>(Level::Info));
        root.attr("warning")("Unknown STREAMING_LOGLEVEL '%s'; using INFO", raw);
    }
}

}  // namespace

NB_MODULE(logger, m) {
    nb::set_leak_warnings(false);
    m.doc() = "The streaming loggers: the root logger 'qv_streaming' and one child logger per stream URL.";

    vantle::python::record_main_thread();
    nb::object root = get_logger_function()(std::string(vantle::logging::kRootLoggerName));
    apply_level_from_environment(root);
    m.attr("logger") = root;
    m.attr("_MAX_URL_LENGTH") = vantle::logging::kMaxUrlLength;

    m.def(
        "get_stream_logger",
        [](const std::string& url) -> vantle::stub::Object<vantle::stub::Logger> {
            return get_logger_function()(vantle::logging::stream_logger_name(url));
        },
        "url"_a,
        "Returns the logger of the stream at `url`: a child of 'qv_streaming' named after the URL, "
        "with its password shown as '***' and long URLs shortened in the middle.");
    m.def("_truncate_middle", &vantle::logging::truncate_middle, "text"_a, "max_length"_a,
          "Shortens `text` to at most `max_length` characters by putting '...' in its middle.");
    m.def("redact_url", &vantle::logging::redact_url, "url"_a,
          "Returns `url` with the password of its user information replaced by '***'.");
    m.def("redact_text", &vantle::logging::redact_text, "text"_a,
          "Returns `text` with the password of every URL in it replaced by '***'.");

    // Native threads stop entering Python once the interpreter starts to exit.
    vantle::python::install_exit_and_fork_hooks(m);

    g_threading = nb::module_::import_("threading").release().ptr();
    // Daemon thread, never joined: it must not hold up the interpreter's exit.
    vantle::logging::g_log_emitter =
        new vantle::BackgroundThread(vantle::BackgroundThread::start("StreamingLogThread", &emit_queued_records));
    vantle::logging::set_sink(&python_sink);

    // A child created by fork has only the thread that forked: it gets an emitter of its own
    // (and a fresh queue), after the runtime's own fork hook has run.
    m.def("_after_fork_in_child", [] {
        g_record_queue.store(new vantle::logging::RecordQueue(10000));
        vantle::logging::g_log_emitter =
            new vantle::BackgroundThread(vantle::BackgroundThread::start("StreamingLogThread", &emit_queued_records));
    });
    nb::module_::import_("os").attr("register_at_fork")("after_in_child"_a = m.attr("_after_fork_in_child"));
}
