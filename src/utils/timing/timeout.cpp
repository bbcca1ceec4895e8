#include "utils/timing/timeout.hpp"

#include <chrono>
#include <cmath>

#include "logger/logger.hpp"

namespace vantle {

double wall_clock_seconds() noexcept {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

double monotonic_seconds() noexcept {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Timeout::Timeout(double time_seconds, bool raise_error, bool print_timeout, bool integral_limit)
    : time_seconds(time_seconds),
      raise_error(raise_error),
      print_timeout(print_timeout),
      integral_limit(integral_limit) {
    reset();
}

void Timeout::reset() noexcept {
    start_monotonic_ = monotonic_seconds();
    start_wall_ = wall_clock_seconds();
}

double Timeout::elapsed() const noexcept { return monotonic_seconds() - start_monotonic_; }

void Timeout::set_start(double epoch_seconds) noexcept {
    // The new start keeps its distance from now on the monotonic clock.
    start_monotonic_ = monotonic_seconds() - (wall_clock_seconds() - epoch_seconds);
    start_wall_ = epoch_seconds;
}

Timeout::operator bool() const {
    const bool still_going = elapsed() < time_seconds;
    if (!still_going && print_timeout) {
        logging::root().warning("Timer timed out! Time: " + logging::format_float(elapsed()));
    }
    if (!still_going && raise_error) {
        const std::string limit = integral_limit ? std::to_string(static_cast<long long>(std::llround(time_seconds)))
                                                 : logging::format_float(time_seconds);
        throw TimeoutError("Timer of " + limit + " seconds timed out at " +
                           logging::format_float(elapsed()) + " seconds!");
    }
    return still_going;
}

}  // namespace vantle
