#include "runtime/background_thread.hpp"

#include <Python.h>

#include <cxxabi.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "runtime/python_bridge.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vantle {
namespace {

void mark_done(BackgroundThread::State& state) {
    {
        std::lock_guard lock(state.mutex);
        state.done = true;
    }
    state.done_changed.notify_all();
}

// Body of the Python thread: the native work runs without the GIL. If the interpreter began
// exiting meanwhile, the thread never touches Python again and simply waits for the process
// to end (taking the GIL then would end the thread from inside native frames).
VANTLE_HANDLES_THREAD_EXIT void run_released(const std::function<void()>& body,
                                             const std::shared_ptr<BackgroundThread::State>& state) {
    std::exception_ptr failure;
    PyThreadState* thread_state = PyEval_SaveThread();
    try {
        body();
    } catch (abi::__forced_unwind&) {
        // Python code that the body ran (a GLib callback) was ended by the exiting interpreter,
        // which unwinds the thread. The frames above would catch that unwind and abort the
        // process: the thread waits for the process to end instead.
        mark_done(*state);
        python::park_forever();
    } catch (...) {
        failure = std::current_exception();
    }
    mark_done(*state);
    python::restore_thread(thread_state);
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

BackgroundThread BackgroundThread::start(const std::string& name, std::function<void()> body) {
    auto state = std::make_shared<State>();
    std::string failure = "the interpreter is exiting";
    // Thread.start() waits for the new thread with the GIL given up; through call_or, a caller
    // that the exiting interpreter ends meanwhile parks instead of aborting the process.
    const bool started = python::call_or(false, "starting a thread", [&] {
        try {
            nb::object target = nb::cpp_function([body = std::move(body), state] { run_released(body, state); });
            nb::object thread = nb::module_::import_("threading").attr("Thread")("target"_a = target, "name"_a = name,
                                                                                  "daemon"_a = true);
            thread.attr("start")();
            state->python_thread = python::hold(thread);
            return true;
        } catch (nb::python_error& error) {
            failure = error.what();
            return false;
        }
    });
    if (!started) throw std::runtime_error("cannot start thread " + name + ": " + failure);
    return BackgroundThread(std::move(state));
}

namespace {

// After the body returned, the interpreter's thread only has to take the GIL and end; waiting
// for that too means a joined thread is gone from threading.enumerate().
void join_python_thread(const BackgroundThread::State& state) {
    if (!state.python_thread) return;
    python::call("joining a background thread",
                 [&] { static_cast<nb::object*>(state.python_thread.get())->attr("join")(); });
}

}  // namespace

void BackgroundThread::join() const {
    if (!state_) return;
    {
        std::unique_lock lock(state_->mutex);
        state_->done_changed.wait(lock, [&] { return state_->done; });
    }
    join_python_thread(*state_);
}

bool BackgroundThread::join_for(double seconds) const {
    if (!state_) return true;
    {
        std::unique_lock lock(state_->mutex);
        if (!state_->done_changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return state_->done; })) {
            return false;
        }
    }
    join_python_thread(*state_);
    return true;
}

}  // namespace vantle
