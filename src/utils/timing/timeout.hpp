#pragma once

#include <stdexcept>
#include <string>

#include "logger/export.hpp"

namespace vantle {

// Seconds since the Unix epoch, from the wall clock (the clock that stamps frames).
VANTLE_EXPORT double wall_clock_seconds() noexcept;

class VANTLE_EXPORT TimeoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Elapsed-time guard for polling loops: true until `time_seconds` have passed since
// construction or the last reset().
class VANTLE_EXPORT Timeout {
public:
    // `integral_limit` only decides how the limit is written in messages (0 rather than 0.0).
    explicit Timeout(double time_seconds, bool raise_error = true, bool print_timeout = false,
                     bool integral_limit = false);

    void reset() noexcept;

    // Logs a warning when `print_timeout` and throws TimeoutError when `raise_error`, once
    // the limit has passed (at exactly the limit the guard has expired).
    explicit operator bool() const;

    double start;
    double time_seconds;
    bool raise_error;
    bool print_timeout;
    bool integral_limit;
};

}  // namespace vantle
