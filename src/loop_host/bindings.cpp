// Python surface of vantle.loop_host.

#include <nanobind/nanobind.h>

#include "runtime/python_bridge.hpp"
#include "runtime/without_gil.hpp"
#include "loop_host/loop_host.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(loop_host, m) {
    nb::set_leak_warnings(false);
    nb::module_::import_("vantle.logger");
    m.doc() = "Process-wide start and tear-down of GStreamer and of the GLib main loop thread.";

    m.def("start", &vantle::loop_host::start, "start_main_loop"_a = true, nb::call_guard<vantle::WithoutGil>(),
          "Initialize GObject libraries if they're not already initialized. With `start_main_loop`, runs a GLib "
          "main loop for the default main context on the daemon thread 'LoopHostThread'.");
    m.def("assert_started", &vantle::loop_host::assert_started, nb::call_guard<vantle::WithoutGil>(),
          "Raises RuntimeError unless start() has completed and close() has not been called since.");
    m.def("close", &vantle::loop_host::close, nb::call_guard<vantle::WithoutGil>(),
          "Tears down the GObject libraries if they aren't already stopped.");
    m.def("_after_fork_in_child", &vantle::loop_host::after_fork_in_child);
    nb::module_::import_("os").attr("register_at_fork")("after_in_child"_a = m.attr("_after_fork_in_child"));
    m.def("_disable_troublesome_elements", &vantle::loop_host::disable_troublesome_elements,
          nb::call_guard<vantle::WithoutGil>());
}
