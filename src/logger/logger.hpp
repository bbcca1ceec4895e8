#pragma once

#include <optional>
#include <string>
#include <string_view>


namespace vantle::logging {

// Levels share their numbers with Python's logging module.
enum class Level : int { Debug = 10, Info = 20, Warning = 30, Error = 40 };

inline constexpr std::string_view kRootLoggerName = "qv_streaming";
inline constexpr std::size_t kMaxUrlLength = 80;

// Where log records go. The Python binding installs a sink that hands records to the
// `logging` module; until then (and once the interpreter is gone) records are dropped.
using Sink = void (*)(const std::string& logger_name, Level level, std::string_view message);
void set_sink(Sink sink) noexcept;

// A named logger of the streaming hierarchy. Cheap to copy; logging never throws, and every
// message goes out with the passwords of its URLs hidden (redact_text).
class Logger {
public:
    explicit Logger(std::string name) : name_(std::move(name)) {}

    const std::string& name() const noexcept { return name_; }

    void log(Level level, std::string_view message) const noexcept;
    void debug(std::string_view message) const noexcept { log(Level::Debug, message); }
    void info(std::string_view message) const noexcept { log(Level::Info, message); }
    void warning(std::string_view message) const noexcept { log(Level::Warning, message); }
    void error(std::string_view message) const noexcept { log(Level::Error, message); }

private:
    std::string name_;
};

// The root streaming logger, "qv_streaming".
const Logger& root() noexcept;

// Full name of the logger of one stream: the root's name, ".url(", the redacted URL shortened
// to kMaxUrlLength code points, ")".
std::string stream_logger_name(std::string_view url);
Logger stream_logger(std::string_view url);

// Shortens `text` to at most `max_length` code points by putting "..." in its middle.
std::string truncate_middle(std::string_view text, long max_length);

// The URL with its credentials shown as "***": the password of its user information (or all of
// it when it holds no ':', a token alone) and the values of credential-like query parameters
// (password, pwd, token, key, signature, ...). The user information runs up to the last '@' that
// a host follows, so passwords typed without percent-encoding ('@', '/', '#', ...) stay hidden.
std::string redact_url(std::string_view url);

// Any text (GStreamer debug strings, error messages) with the credentials of every URL in it
// shown as "***". A URL ends at white space, a quote, '<' or '>', or where the next one begins.
std::string redact_text(std::string_view text);

// The URL to hand to a GStreamer source: its user name and password percent-encoded, read as
// redact_url reads them when the URL's authority is not a standard one. std::nullopt when no
// host follows the credentials, so that no source could read them.
std::optional<std::string> encode_credentials(std::string_view url);

// A double as Python's repr() writes it: shortest round-trip digits, always a fraction or an
// exponent ("15.0", "7.5", "1e-05").
std::string format_float(double value);

}  // namespace vantle::logging
