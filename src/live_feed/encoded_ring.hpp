#pragma once

// The stream's own encoded access units, as the parser hands them to the decoder, kept for a
// few seconds so that a clip around an event can be written without a second connection and
// without re-encoding.

#include <gst/gst.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "utils/gstreamer/gst_ptr.hpp"
#include "utils/gstreamer/pipeline.hpp"

namespace vantle::clips {

// Caps shared by every access unit that travelled under them.
using SharedCaps = std::shared_ptr<GstCaps>;
SharedCaps share_caps(GstCaps* caps);  // takes a new reference

// One parsed access unit (a whole picture) and when it passed the parser.
struct AccessUnit {
    gst::UniqueBuffer buffer;
    SharedCaps caps;
    double received_at = 0;         // wall clock
    double received_monotonic = 0;  // monotonic clock
    std::uint64_t generation = 0;   // which pipeline of the reader parsed it
    bool keyframe = false;
};
using AccessUnitPtr = std::shared_ptr<const AccessUnit>;

// Receives the access units that arrive after it subscribed, on the streaming thread.
class UnitSink {
public:
    virtual ~UnitSink() = default;
    virtual void deliver(const AccessUnitPtr& unit) noexcept = 0;
};

// A decoded frame the reader stored: its number and the presentation time of its access unit.
struct FrameMark {
    std::uint64_t number = 0;
    std::uint64_t generation = 0;
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    double received_monotonic = 0;
};

struct RingFigures {
    double seconds = 0;  // from the oldest kept keyframe to the newest unit
    std::size_t bytes = 0;
    std::size_t units = 0;
    std::size_t gops = 0;
};

// The units from the chosen keyframe on, as save_clip found them.
struct Preroll {
    std::vector<AccessUnitPtr> units;
    bool shortened = false;      // the keyframe asked for was no longer (or not yet) kept
    double asked_monotonic = 0;  // the start asked for
};

// Whole groups of pictures, each beginning at a keyframe. The oldest group goes only once the
// next one alone covers the pre-roll, so memory is about bitrate x pre-roll plus one group.
class EncodedRing : public std::enable_shared_from_this<EncodedRing> {
public:
    explicit EncodedRing(double keep_seconds);

    double keep_seconds() const noexcept { return keep_seconds_; }

    // A pad probe for the parser of one new pipeline: it keeps buffers and caps, never drops.
    gst::PadProbeCallback tap();
    // Adds a unit (probe threads); units before the first keyframe of their pipeline are useless
    // to a decoder and are not kept.
    void push(AccessUnitPtr unit);

    // Copies the units from the newest keyframe at or before `start_monotonic` (or the oldest
    // one kept) and subscribes `sink` to every later unit, in one step, so nothing slips between.
    // Empty (and nothing subscribed) when no keyframe is kept yet.
    Preroll subscribe_from(double start_monotonic, const std::shared_ptr<UnitSink>& sink);
    void unsubscribe(const UnitSink* sink);

    // The decoded frames the reader stored, for tying clip frames to frame numbers.
    void note_frame(std::uint64_t number, GstClockTime pts, double received_monotonic);
    std::vector<FrameMark> frames_of(std::uint64_t generation, GstClockTime first_pts, GstClockTime last_pts) const;

    // The caps of the newest unit kept; null before the first.
    SharedCaps newest_caps() const;
    RingFigures figures() const;

private:
    void trim_locked(double newest_monotonic);

    const double keep_seconds_;
    mutable std::mutex mutex_;
    std::deque<std::vector<AccessUnitPtr>> gops_;
    std::size_t bytes_ = 0;
    std::size_t units_ = 0;
    std::uint64_t next_generation_ = 1;
    std::uint64_t generation_ = 0;          // of the newest pipeline tapped
    std::uint64_t keyed_generation_ = 0;    // the newest pipeline whose first keyframe arrived
    std::vector<std::shared_ptr<UnitSink>> sinks_;
    std::deque<FrameMark> frames_;
};

}  // namespace vantle::clips
