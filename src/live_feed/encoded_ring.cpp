#include "live_feed/encoded_ring.hpp"

#include <algorithm>

#include "utils/timing/timeout.hpp"

namespace vantle::clips {
namespace {

constexpr double kLongestGroupSeconds = 60;

}  // namespace

SharedCaps share_caps(GstCaps* caps) {
    if (caps == nullptr) return nullptr;
    return SharedCaps(gst_caps_ref(caps), [](GstCaps* held) { gst_caps_unref(held); });
}

EncodedRing::EncodedRing(double keep_seconds) : keep_seconds_(keep_seconds) {}

gst::PadProbeCallback EncodedRing::tap() {
    std::uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        generation = next_generation_++;
        generation_ = generation;
    }
    // The caps travel ahead of the buffers on the same streaming thread, so the probe keeps
    // them itself and needs no lock for them.
    auto caps = std::make_shared<SharedCaps>();
    return [self = shared_from_this(), generation, caps](GstPad*, GstPadProbeInfo* info) {
        if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
            GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
            if (event != nullptr && GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
                GstCaps* parsed = nullptr;
                gst_event_parse_caps(event, &parsed);
                *caps = share_caps(parsed);
            }
            return GST_PAD_PROBE_OK;
        }
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        if (buffer == nullptr || !*caps) return GST_PAD_PROBE_OK;
        auto unit = std::make_shared<AccessUnit>();
        unit->buffer.reset(gst_buffer_ref(buffer));
        unit->caps = *caps;
        unit->received_at = wall_clock_seconds();
        unit->received_monotonic = monotonic_seconds();
        unit->generation = generation;
        unit->keyframe = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        self->push(std::move(unit));
        return GST_PAD_PROBE_OK;
    };
}

void EncodedRing::push(AccessUnitPtr unit) {
    std::vector<std::shared_ptr<UnitSink>> sinks;
    {
        std::lock_guard lock(mutex_);
        if (unit->keyframe) {
            keyed_generation_ = std::max(keyed_generation_, unit->generation);
            gops_.emplace_back();
        } else if (unit->generation != keyed_generation_ || gops_.empty()) {
            return;
        }
        bytes_ += gst_buffer_get_size(unit->buffer.get());
        ++units_;
        gops_.back().push_back(unit);
        trim_locked(unit->received_monotonic);
        sinks = sinks_;
    }
    for (const auto& sink : sinks) sink->deliver(unit);
}

void EncodedRing::trim_locked(double newest_monotonic) {
    const double keep_from = newest_monotonic - keep_seconds_;
    auto drop_oldest = [this] {
        for (const auto& unit : gops_.front()) bytes_ -= gst_buffer_get_size(unit->buffer.get());
        units_ -= gops_.front().size();
        gops_.pop_front();
    };
    while (gops_.size() >= 2 && gops_[1].front()->received_monotonic <= keep_from) drop_oldest();
    // A stream that stops sending keyframes would otherwise grow one group without end: past
    // the limit nothing is kept until the next keyframe.
    if (gops_.size() == 1 && gops_.front().front()->received_monotonic < keep_from - kLongestGroupSeconds) {
        drop_oldest();
    }
    const double oldest = gops_.empty() ? newest_monotonic : gops_.front().front()->received_monotonic;
    while (!frames_.empty() && frames_.front().received_monotonic < oldest) frames_.pop_front();
}

Preroll EncodedRing::subscribe_from(double start_monotonic, const std::shared_ptr<UnitSink>& sink) {
    Preroll preroll;
    preroll.asked_monotonic = start_monotonic;
    std::lock_guard lock(mutex_);
    if (gops_.empty()) return preroll;
    // The newest group that starts at or before the start asked for; else the oldest kept.
    auto chosen = gops_.begin();
    for (auto gop = gops_.begin(); gop != gops_.end(); ++gop) {
        if (gop->front()->received_monotonic <= start_monotonic) chosen = gop;
    }
    preroll.shortened = chosen->front()->received_monotonic > start_monotonic;
    for (auto gop = chosen; gop != gops_.end(); ++gop) {
        preroll.units.insert(preroll.units.end(), gop->begin(), gop->end());
    }
    sinks_.push_back(sink);
    return preroll;
}

void EncodedRing::unsubscribe(const UnitSink* sink) {
    std::lock_guard lock(mutex_);
    std::erase_if(sinks_, [sink](const auto& held) { return held.get() == sink; });
}

void EncodedRing::note_frame(std::uint64_t number, GstClockTime pts, double received_monotonic) {
    std::lock_guard lock(mutex_);
    frames_.push_back({number, generation_, pts, received_monotonic});
}

std::vector<FrameMark> EncodedRing::frames_of(std::uint64_t generation, GstClockTime first_pts,
                                              GstClockTime last_pts) const {
    std::vector<FrameMark> found;
    std::lock_guard lock(mutex_);
    for (const auto& frame : frames_) {
        if (frame.generation == generation && frame.pts != GST_CLOCK_TIME_NONE && frame.pts >= first_pts &&
            frame.pts <= last_pts) {
            found.push_back(frame);
        }
    }
    return found;
}

SharedCaps EncodedRing::newest_caps() const {
    std::lock_guard lock(mutex_);
    if (gops_.empty()) return nullptr;
    return gops_.back().back()->caps;
}

RingFigures EncodedRing::figures() const {
    std::lock_guard lock(mutex_);
    RingFigures figures;
    figures.bytes = bytes_;
    figures.units = units_;
    figures.gops = gops_.size();
    if (!gops_.empty()) {
        figures.seconds = gops_.back().back()->received_monotonic - gops_.front().front()->received_monotonic;
    }
    return figures;
}

}  // namespace vantle::clips
