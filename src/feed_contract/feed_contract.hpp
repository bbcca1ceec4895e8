#pragma once

#include <stdexcept>
#include <string>
#include <string_view>


// What every stream reader promises, and the vocabulary the modules share about readers.
namespace vantle {

enum class StreamStatus { Initializing, Streaming, Halted, Closed };

inline constexpr std::string_view status_text(StreamStatus status) {
    switch (status) {
        case StreamStatus::Initializing: return "initializing";
        case StreamStatus::Streaming: return "streaming";
        case StreamStatus::Halted: return "halted";
        case StreamStatus::Closed: return "closed";
    }
    return "unknown";
}

// Latency limits, in milliseconds (the unit of the RTSP source's "latency").
inline constexpr int kDefaultLatency = 2000;
inline constexpr int kRehostedLatency = 10;
inline constexpr int kMaximumLatency = 30000;
inline constexpr int kMinimumLatency = 0;

// Stream errors; the Python binding maps each to the exception class of the same name.
class StreamSetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class StreamReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class InvalidCustomPipelineError : public StreamSetupError {
public:
    using StreamSetupError::StreamSetupError;
};
class SourceNotFoundError : public StreamSetupError {
public:
    using StreamSetupError::StreamSetupError;
};
class InvalidRuntimeOptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vantle
