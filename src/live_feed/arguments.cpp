#include "live_feed/arguments.hpp"

#include <nanobind/stl/string.h>

#include "feed_contract/feed_contract.hpp"
#include "feed_contract/runtime_options.hpp"

namespace nb = nanobind;

namespace vantle::live_feed_arguments {
namespace {

// collections.abc.Mapping; leaked on purpose, like every handle the module keeps for its lifetime.
PyObject* g_mapping_type = nullptr;

std::string python_type_name(nb::handle value) { return nb::cast<std::string>(value.type().attr("__name__")); }

[[noreturn]] void wrong_type(const char* name, const char* expected, nb::handle value) {
    throw nb::type_error(("LiveFeed() argument '" + std::string(name) + "' must be " + expected + ", not '" +
                          python_type_name(value) + "'")
                             .c_str());
}

bool flag(const char* name, nb::handle value) {
    if (!PyBool_Check(value.ptr())) wrong_type(name, "True or False", value);
    return value.ptr() == Py_True;
}

int latency_ms(nb::handle value) {
    // Any integer (numpy's too), but neither a bool nor a float.
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) wrong_type("latency", "an int (milliseconds)", value);
    nb::object number = nb::steal(PyNumber_Index(value.ptr()));
    if (!number.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long milliseconds = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0 || milliseconds < kMinimumLatency || milliseconds > kMaximumLatency) {
        throw nb::value_error(("LiveFeed() argument 'latency' must be between " + std::to_string(kMinimumLatency) +
                               " and " + std::to_string(kMaximumLatency) + " milliseconds, not " +
                               nb::cast<std::string>(nb::str(number)))
                                  .c_str());
    }
    return static_cast<int>(milliseconds);
}

}  // namespace

void prepare() {
    if (g_mapping_type != nullptr) return;
    nb::object mapping = nb::module_::import_("collections.abc").attr("Mapping");
    g_mapping_type = mapping.release().ptr();
}

nb::dict supported_runtime_options() {
    nb::dict supported;
    supported["keyframes_only"] = nb::handle(reinterpret_cast<PyObject*>(&PyBool_Type));
    return supported;
}

nb::object checked_runtime_options(nb::handle runtime_options) {
    nb::object options = runtime_options.is_none() ? nb::dict() : nb::borrow(runtime_options);
    if (!PyDict_Check(options.ptr()) && !nb::isinstance(options, nb::handle(g_mapping_type))) {
        wrong_type("runtime_options", "a dict (or None)", runtime_options);
    }
    check_runtime_options(options, supported_runtime_options());
    return options;
}

Checked check(nb::handle url, nb::handle latency, nb::handle runtime_options, nb::handle pipeline_str,
              nb::handle must_play, nb::handle proxied) {
    if (!PyUnicode_Check(url.ptr())) wrong_type("url", "a str", url);
    Checked checked;
    checked.url = nb::cast<std::string>(url);
    checked.options.latency = latency_ms(latency);
    nb::object options = checked_runtime_options(runtime_options);
    if (nb::cast<bool>(options.attr("__contains__")("keyframes_only"))) {
        checked.options.keyframes_only = nb::cast<bool>(options["keyframes_only"]);
    }
    if (!pipeline_str.is_none()) {
        if (!PyUnicode_Check(pipeline_str.ptr())) wrong_type("pipeline_str", "a str (or None)", pipeline_str);
        checked.options.pipeline_str = nb::cast<std::string>(pipeline_str);
    }
    checked.options.must_play = flag("must_play", must_play);
    checked.options.proxied = flag("proxied", proxied);
    checked.options.state_change_timeout = state_change_timeout.load();
    checked.options.frame_timeout = frame_timeout.load();
    return checked;
}

}  // namespace vantle::live_feed_arguments
