#pragma once


// Process-wide start and tear-down of GStreamer and of the GLib main loop that dispatches
// the default main context (every bus watch of the library runs on it).
namespace vantle::loop_host {

// Initialises GStreamer, demotes decoders known not to work and, when `start_main_loop`,
// runs a main loop for the default context on the daemon thread "LoopHostThread".
// A second call while started does nothing. Must be called without the GIL.
void start(bool start_main_loop = true);

// Throws std::runtime_error unless start() completed and close() has not been called since.
void assert_started();

// Quits the main loop and waits for its thread. Not from "LoopHostThread". Without the GIL.
void close();

// In a child created by fork: when the parent had started the host, GStreamer's threads (and
// the main loop's) are gone, so start() and assert_started() refuse, saying why.
void after_fork_in_child() noexcept;

// Sets the rank of every nvcodec decoder of at least marginal rank to none.
void disable_troublesome_elements();

}  // namespace vantle::loop_host
