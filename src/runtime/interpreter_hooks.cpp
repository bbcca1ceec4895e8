#include "runtime/interpreter_hooks.hpp"

#include "runtime/python_bridge.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vantle::python {

void record_main_thread() {
    record_main_thread(nb::cast<unsigned long>(nb::module_::import_("threading").attr("main_thread")().attr("ident")));
}

void install_exit_and_fork_hooks(nb::module_& m) {
    m.def("_mark_exiting", [] { mark_exiting(); });
    nb::module_::import_("atexit").attr("register")(m.attr("_mark_exiting"));
    // A child created by fork has only the thread that forked: it forgets the entries into
    // Python that the parent's threads had begun.
    m.def("_runtime_after_fork_in_child", [] {
        forget_entries_after_fork();
        record_main_thread();
    });
    nb::module_::import_("os").attr("register_at_fork")("after_in_child"_a = m.attr("_runtime_after_fork_in_child"));
}

}  // namespace vantle::python
