#pragma once

#include <stdexcept>
#include <string>


namespace vantle {

// Seconds since the Unix epoch, from the wall clock: only for the receive times of frames.
double wall_clock_seconds() noexcept;
// Seconds on the monotonic clock (the clock of Python's time.monotonic()), which a change of
// the wall clock does not move: every deadline and every age is measured on it.
double monotonic_seconds() noexcept;

class TimeoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Elapsed-time guard for polling loops: true until `time_seconds` have passed since
// construction or the last reset(), measured on the monotonic clock. The start is also kept
// in wall-clock epoch seconds for callers, who read and move it on that clock.
class Timeout {
public:
    // `integral_limit` only decides how the limit is written in messages (0 rather than 0.0).
    explicit Timeout(double time_seconds, bool raise_error = true, bool print_timeout = false,
                     bool integral_limit = false);

    void reset() noexcept;

    // Seconds passed since the start, on the monotonic clock.
    double elapsed() const noexcept;
    // The start in wall-clock epoch seconds. Setting it moves the deadline by the same amount
    // (relative to now), whatever the wall clock does afterwards.
    double start() const noexcept { return start_wall_; }
    void set_start(double epoch_seconds) noexcept;

    // Logs a warning when `print_timeout` and throws TimeoutError when `raise_error`, once
    // the limit has passed (at exactly the limit the guard has expired).
    explicit operator bool() const;

    double time_seconds;
    bool raise_error;
    bool print_timeout;
    bool integral_limit;

private:
    double start_monotonic_;
    double start_wall_;
};

}  // namespace vantle
