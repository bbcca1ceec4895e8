#pragma once

// Ties the native runtime to the interpreter's life: which thread is its main one, when it
// begins to exit, and what a child created by fork starts with. Installed once, by the first
// vantle module that loads (vantle.logger).

#include <nanobind/nanobind.h>

namespace vantle::python {

// Records the interpreter's main thread (see on_main_thread()).
void record_main_thread();

// Registers on `m` the exit hook after which native threads no longer enter Python (exit hooks
// registered later run before it), and the fork hook that gives a child its one thread's state.
void install_exit_and_fork_hooks(nanobind::module_& m);

}  // namespace vantle::python
