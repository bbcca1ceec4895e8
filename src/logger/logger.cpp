#include "logger/logger.hpp"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace vantle::logging {
namespace {

std::atomic<Sink> g_sink{nullptr};

// Byte offsets of the code points of a UTF-8 text (invalid bytes count as one code point each).
std::vector<std::size_t> code_point_offsets(std::string_view text) {
    std::vector<std::size_t> offsets;
    offsets.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) offsets.push_back(i);
    }
    return offsets;
}

// Python's slice-index normalisation for text[start:] and text[:stop].
long clamp_index(long index, long length) {
    if (index < 0) index += length;
    if (index < 0) return 0;
    return index > length ? length : index;
}

long floor_div(long a, long b) {
    long q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

}  // namespace

void set_sink(Sink sink) noexcept { g_sink.store(sink); }

void Logger::log(Level level, std::string_view message) const noexcept {
    if (Sink sink = g_sink.load()) {
        try {
            // One place that no native record passes with a password: element names, pad
            // descriptions and exception texts may all carry the stream URL.
            sink(name_, level, redact_text(message));
        } catch (...) {
            // A log record that cannot be delivered is dropped; logging must never fail its caller.
        }
    }
}

const Logger& root() noexcept {
    // Never destroyed: native threads may still log while the process exits.
    static const Logger* const instance = new Logger(std::string(kRootLoggerName));
    return *instance;
}

std::string truncate_middle(std::string_view text, long max_length) {
    const std::vector<std::size_t> offsets = code_point_offsets(text);
    const long length = static_cast<long>(offsets.size());
    if (length <= max_length) return std::string(text);

    auto byte_at = [&](long cp) { return cp >= length ? text.size() : offsets[cp]; };
    const long half = floor_div(max_length, 2);
    const long first_end = clamp_index(half - 2, length);
    const long last_start = clamp_index(length - half + 1, length);

    std::string result(text.substr(0, byte_at(first_end)));
    result += "...";
    result += text.substr(byte_at(last_start));
    return result;
}

std::string stream_logger_name(std::string_view url) {
    std::string name(kRootLoggerName);
    name += ".url(";
    name += truncate_middle(redact_url(url), static_cast<long>(kMaxUrlLength));
    name += ")";
    return name;
}

Logger stream_logger(std::string_view url) { return Logger(stream_logger_name(url)); }

std::string format_float(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));

    std::string sign;
    if (!sci.empty() && sci.front() == '-') {
        sign = "-";
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos)) {
        if (c != '.') digits += c;
    }
    const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
    const int decimal_point = exponent + 1;

    std::string result = sign;
    if (decimal_point > -4 && decimal_point <= 16) {
        if (decimal_point <= 0) {
            result += "0.";
            result.append(static_cast<std::size_t>(-decimal_point), '0');
            result += digits;
        } else if (static_cast<std::size_t>(decimal_point) >= digits.size()) {
            result += digits;
            result.append(static_cast<std::size_t>(decimal_point) - digits.size(), '0');
            result += ".0";
        } else {
            result += digits.substr(0, static_cast<std::size_t>(decimal_point));
            result += '.';
            result += digits.substr(static_cast<std::size_t>(decimal_point));
        }
    } else {
        result += digits.substr(0, 1);
        if (digits.size() > 1) {
            result += '.';
            result += digits.substr(1);
        }
        result += exponent < 0 ? "e-" : "e+";
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) result += '0';
        result += std::to_string(magnitude);
    }
    return result;
}

}  // namespace vantle::logging
