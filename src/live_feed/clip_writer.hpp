#pragma once

// Writing a clip of a stream's buffered access units to MP4 or Matroska: appsrc ! parser !
// muxer ! filesink on a thread of its own, no encoder, into a temporary name that is renamed
// only once the muxer finished the file.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "live_feed/encoded_ring.hpp"
#include "logger/logger.hpp"

namespace vantle::clips {

// A clip that cannot be asked for or written. `error_number` is the errno of a path that
// cannot be written (0 otherwise): the binding raises the matching OSError.
class ClipError : public std::runtime_error {
public:
    explicit ClipError(const std::string& message, int error_number = 0)
        : std::runtime_error(message), error_number(error_number) {}
    int error_number;
};

// What a written clip holds; the times are those of its first and last access units.
struct ClipFacts {
    std::string path;
    std::string codec;  // the caps' media type, e.g. video/x-h264
    int width = 0;
    int height = 0;
    double start_received_at = 0;
    std::optional<double> end_received_at;  // known once written
    std::optional<double> start_captured_at;
    std::optional<double> end_captured_at;
    std::uint64_t frames = 0;
    double duration = 0;
    std::optional<std::uint64_t> first_frame_number;
    std::optional<std::uint64_t> last_frame_number;
    bool shortened = false;
    std::vector<std::string> notes;
};

class Clip final : public UnitSink, public std::enable_shared_from_this<Clip> {
public:
    // Checks the request, takes the pre-roll and starts writing; throws ClipError when the
    // directory cannot be written, nothing is buffered yet or the container cannot hold the codec.
    static std::shared_ptr<Clip> start(const std::shared_ptr<EncodedRing>& ring, const std::string& path,
                                       double before, double after, const logging::Logger& logger);
    ~Clip() override;

    bool done() const;
    // Waits at most `seconds` (forever without); true once the clip is written or has failed.
    bool wait_for(std::optional<double> seconds) const;
    // Why writing failed; empty while writing and after success.
    std::string error() const;
    ClipFacts facts() const;
    // Runs `callback` once the clip is done: now if it is, else on the writing thread.
    void when_done(std::function<void()> callback);

    void deliver(const AccessUnitPtr& unit) noexcept override;

private:
    Clip(std::shared_ptr<EncodedRing> ring, std::string path, std::string temporary, double end_monotonic,
         logging::Logger logger);
    void write() noexcept;
    // Pushes every unit up to the end; throws ClipError with the muxer's or the disk's reason.
    void write_units(GstElement* pipeline, GstElement* source, GstBus* bus);
    // The next unit to write, or null at the end of the clip.
    AccessUnitPtr next_unit();
    void finish(std::string error);
    // Notes the frame numbers of the clip's frames and writes them with its facts to <path>.json.
    void write_sidecar();

    const std::shared_ptr<EncodedRing> ring_;
    const std::string temporary_;
    const double end_monotonic_;
    const logging::Logger logger_;
    std::string muxer_;
    std::string parser_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<AccessUnitPtr> pending_;
    bool done_ = false;
    std::string error_;
    ClipFacts facts_;
    std::vector<std::function<void()>> callbacks_;
    // (generation, first PTS, last PTS, where that PTS lands in the clip) of each pipeline's run.
    struct Run {
        std::uint64_t generation;
        GstClockTime base;
        GstClockTime offset;
        GstClockTime first_pts;
        GstClockTime last_pts;
    };
    std::vector<Run> runs_;
};

}  // namespace vantle::clips
