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
    : start(monotonic_seconds()),
      time_seconds(time_seconds),
      raise_error(raise_error),
      print_timeout(print_timeout),
      integral_limit(integral_limit) {}

void Timeout::reset() noexcept { start = monotonic_seconds(); }

Timeout::operator bool() const {
    const double elapsed = monotonic_seconds() - start;
    const bool still_going = elapsed < time_seconds;
    if (!still_going && print_timeout) {
        logging::root().warning("Timer timed out! Time: " + logging::format_float(elapsed));
    }
    if (!still_going && raise_error) {
        const std::string limit = integral_limit ? std::to_string(static_cast<long long>(std::llround(time_seconds)))
                                                 : logging::format_float(time_seconds);
        throw TimeoutError("Timer of " + limit + " seconds timed out at " +
                           logging::format_float(elapsed) + " seconds!");
    }
    return still_going;
}

}  // namespace vantle
