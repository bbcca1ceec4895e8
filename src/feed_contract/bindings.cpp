// Python surface of vantle.feed_contract: statuses, errors, the StreamReader contract, the
// runtime-option check and the native Event.

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/shared_ptr.h>

#include <memory>

#include "feed_contract/event.hpp"
#include "feed_contract/feed_contract.hpp"
#include "feed_contract/runtime_options.hpp"
#include "runtime/interruptible_wait.hpp"
#include "logger/logger.hpp"
#include "utils/stub_names.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// The Python class for T. Its translator, registered after nanobind's own and so tried first,
// hides the password of every URL in the text: no error leaves the library with one.
template <class T>
nb::object define_error(nb::module_& m, const char* name, nb::handle base, const char* doc) {
    nb::object type = nb::borrow(nb::exception<T>(m, name, base));
    type.attr("__doc__") = doc;
    nb::register_exception_translator(
        [](const std::exception_ptr& p, void* python_type) {
            try {
                std::rethrow_exception(p);
            } catch (const T& e) {
                PyErr_SetString(static_cast<PyObject*>(python_type), vantle::logging::redact_text(e.what()).c_str());
            }
        },
        type.ptr());
    return type;
}

}  // namespace

NB_MODULE(feed_contract, m) {
    nb::set_leak_warnings(false);
    m.doc() = "The contract of stream readers: statuses, frames, errors, latency limits and runtime options.";

    nb::object setup_error = define_error<vantle::StreamSetupError>(
        m, "StreamSetupError", PyExc_Exception, "An exception happened during setup of the stream.");
    define_error<vantle::StreamReadError>(m, "StreamReadError", PyExc_Exception,
                                          "Raised when the StreamReader is unable to read from the stream.");
    define_error<vantle::InvalidRuntimeOptionError>(
        m, "InvalidRuntimeOptionError", PyExc_Exception,
        "Raised when a runtime option is not supported or its value is of the wrong type.");
    define_error<vantle::InvalidCustomPipelineError>(
        m, "InvalidCustomPipelineError", setup_error,
        "Raised when a supplied custom pipeline is missing a required component.");
    define_error<vantle::SourceNotFoundError>(m, "SourceNotFoundError", setup_error,
                                              "Raised when the source for a stream no longer exists.");

    nb::object enum_type = nb::module_::import_("enum").attr("Enum");
    nb::list members;
    for (auto status : {vantle::StreamStatus::Initializing, vantle::StreamStatus::Streaming,
                        vantle::StreamStatus::Halted, vantle::StreamStatus::Closed}) {
        std::string text(vantle::status_text(status));
        std::string member = text;
        for (char& c : member) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        members.append(nb::make_tuple(member, text));
    }
    nb::object status_type = enum_type("StreamStatus", members, "module"_a = "vantle.feed_contract",
                                       "qualname"_a = "StreamStatus");
    status_type.attr("__doc__") = "The status of a stream reader.";
    m.attr("StreamStatus") = status_type;

    nb::object typing = nb::module_::import_("typing");
    nb::object ndarray = nb::module_::import_("numpy").attr("ndarray");
    m.attr("FRAME") = typing.attr("Optional")[typing.attr("Tuple")[nb::make_tuple(
        nb::borrow(reinterpret_cast<PyObject*>(&PyFloat_Type)), ndarray)]];

    // The abstract reader is plain Python (python/vantle/_stream_reader.py), made with the
    // latency limits that the native readers use.
    nb::dict latency_limits;
    latency_limits["DEFAULT"] = vantle::kDefaultLatency;
    latency_limits["REHOSTED"] = vantle::kRehostedLatency;
    latency_limits["MAXIMUM"] = vantle::kMaximumLatency;
    latency_limits["MINIMUM"] = vantle::kMinimumLatency;
    m.attr("StreamReader") = nb::module_::import_("vantle._stream_reader").attr("stream_reader_class")(latency_limits);

    m.def(
        "check_runtime_options",
        [](vantle::stub::Handle<vantle::stub::Options> supplied, vantle::stub::Handle<vantle::stub::OptionTypes> supported) {
            vantle::check_runtime_options(supplied, supported);
        },
        "supplied"_a, "supported"_a,
          "Raises InvalidRuntimeOptionError for the first option of `supplied` whose name `supported` lacks or "
          "whose value is not of the type `supported` gives for it.");

    nb::class_<vantle::Event>(m, "Event",
                              "A flag that any thread can set, clear and wait on, like threading.Event. Readers "
                              "set their events from native threads without the GIL.")
        .def(nb::init<>())
        // Both only take the event's own short lock: keeping the GIL avoids a thread switch.
        .def("set", &vantle::Event::set)
        .def("clear", &vantle::Event::clear)
        .def("is_set", &vantle::Event::is_set)
        .def(
            "wait",
            [](const vantle::Event& event, std::optional<double> timeout) {
                // Already set: answered with the GIL held, since giving it up would hand it over.
                if (event.is_set()) return true;
                return vantle::python::interruptible_wait(timeout, [&](double slice) { return event.wait(slice); });
            },
            "timeout"_a = nb::none(),
            "Blocks until the flag is set or `timeout` seconds have passed; returns the flag.")
        .def("__repr__", [](const vantle::Event& event) {
            return std::string("<vantle.feed_contract.Event ") + (event.is_set() ? "set" : "unset") + ">";
        });
}
