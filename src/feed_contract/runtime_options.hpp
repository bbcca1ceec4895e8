#pragma once

// The check of runtime options, shared by vantle.feed_contract.check_runtime_options and the
// native readers, which call it directly.

#include <nanobind/nanobind.h>

namespace vantle {

// Throws InvalidRuntimeOptionError for the first option of `supplied` (a mapping of name to
// value) whose name `supported` (a mapping of name to type) lacks or whose value is not of the
// type `supported` gives for it.
void check_runtime_options(nanobind::handle supplied, nanobind::handle supported);

}  // namespace vantle
