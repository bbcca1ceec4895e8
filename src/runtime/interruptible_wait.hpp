#pragma once

// Blocking waits for Python callers: the GIL is released while waiting. On the main thread,
// where Python handles signals, the wait wakes every 50 ms so that Ctrl-C ends it like any
// Python wait; other threads wait in one piece and never take the GIL meanwhile.
// Included by binding files only.

#include <nanobind/nanobind.h>

#include "runtime/python_bridge.hpp"
#include "runtime/without_gil.hpp"

#include <algorithm>
#include <chrono>
#include <optional>

namespace vantle::python {

// `wait_slice(seconds)` waits at most that long and returns true when the awaited condition holds.
template <class WaitSlice>
bool interruptible_wait(std::optional<double> timeout_seconds, WaitSlice&& wait_slice) {
    if (!on_main_thread()) {
        vantle::WithoutGil released;
        if (!timeout_seconds) {
            while (!wait_slice(3600.0)) {
            }
            return true;
        }
        return wait_slice(std::max(*timeout_seconds, 0.0));
    }
    constexpr double kSlice = 0.05;
    using clock = std::chrono::steady_clock;
    const auto deadline = timeout_seconds ? std::optional(clock::now() + std::chrono::duration_cast<clock::duration>(
                                                                             std::chrono::duration<double>(*timeout_seconds)))
                                          : std::nullopt;
    for (;;) {
        double slice = kSlice;
        if (deadline) slice = std::min(slice, std::chrono::duration<double>(*deadline - clock::now()).count());
        bool done;
        {
            vantle::WithoutGil released;
            done = wait_slice(std::max(slice, 0.0));
        }
        if (done) return true;
        if (deadline && clock::now() >= *deadline) return false;
        if (PyErr_CheckSignals() != 0) throw nanobind::python_error();
    }
}

}  // namespace vantle::python
