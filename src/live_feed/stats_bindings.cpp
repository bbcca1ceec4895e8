// Python surface of a reader's statistics: the native counters and facts as one dict.

#include "live_feed/stats_bindings.hpp"

#include <nanobind/stl/string.h>

#include "runtime/without_gil.hpp"
#include "utils/stub_names.hpp"

namespace nb = nanobind;

namespace vantle {
namespace {

nb::object optional_double(const std::optional<double>& value) { return value ? nb::cast(*value) : nb::none(); }

nb::dict stats_to_python(const vantle::FeedStats& stats) {
    nb::dict out;
    const auto& facts = stats.facts;
    out["status"] = std::string(vantle::status_text(stats.status));
    out["frame_number"] = stats.frame_number;
    out["frames_received"] = stats.frames_received;
    out["frames_converted"] = stats.frames_converted;
    out["frames_dropped"] = stats.frames_dropped;
    out["rebuilds"] = stats.rebuilds;
    out["halts"] = stats.halts;
    out["last_error"] = stats.last_error ? nb::cast(*stats.last_error) : nb::none();
    nb::list errors;
    for (const auto& error : stats.errors) {
        nb::dict entry;
        entry["at"] = error.at;
        entry["message"] = error.message;
        errors.append(entry);
    }
    out["errors"] = errors;
    out["failing_since"] = optional_double(stats.failing_since);
    out["next_retry_in"] = optional_double(stats.next_retry_in);
    out["opened_at"] = stats.opened_at;
    out["first_frame_after"] = optional_double(stats.first_frame_after);
    out["age"] = optional_double(stats.age);
    if (!facts.codec.empty() || facts.width > 0) {
        nb::dict source;
        source["codec"] = facts.codec.empty() ? nb::none() : nb::cast(facts.codec);
        source["width"] = facts.width > 0 ? nb::cast(facts.width) : nb::none();
        source["height"] = facts.height > 0 ? nb::cast(facts.height) : nb::none();
        // 0.0: the source declares a variable framerate.
        source["framerate"] = facts.framerate ? nb::cast(*facts.framerate) : nb::none();
        out["source"] = source;
    } else {
        out["source"] = nb::none();
    }
    out["limited"] = facts.limited;
    out["max_framerate"] = facts.max_framerate > 0 ? nb::cast(facts.max_framerate) : nb::none();
    out["depayloader"] = facts.depayloader.empty() ? nb::none() : nb::cast(facts.depayloader);
    out["decoder"] = facts.decoder.empty() ? nb::none() : nb::cast(facts.decoder);
    out["hardware"] = facts.hardware;
    out["transport"] = facts.transport.empty() ? nb::none() : nb::cast(facts.transport);
    out["latency_ms"] = facts.latency_ms ? nb::cast(*facts.latency_ms) : nb::none();
    out["url"] = stats.url;
    out["capture_clock"] = stats.capture_clock ? nb::cast(std::string(stats.capture_clock)) : nb::none();
    out["capture_offset_ms"] = optional_double(stats.capture_offset_ms);
    return out;
}

}  // namespace

void define_stats(nb::class_<LiveFeed>& cls) {
    cls.def(
            "stats",
            [](const LiveFeed& feed) -> nb::typed<nb::dict, std::string, stub::Any> {
                vantle::FeedStats stats;
                {
                    // Reading the element counters takes GStreamer's object locks.
                    vantle::WithoutGil released;
                    stats = feed.stats();
                }
                return stats_to_python(stats);
            },
            "Counters and facts about the stream: frame counts, drops, rebuilds, halts, last error, timings, "
            "source codec/size/framerate, decoder, transport. Passwords are hidden.")
        .def_prop_ro("_frames_converted", &LiveFeed::frames_converted,
                     "How many frames this reader converted to BGR: those read, the newest one when its pipeline "
                     "goes, and every one whose decoder buffers are too scarce to hold. A frame replaced before "
                     "anyone read it is never converted.");
}

}  // namespace vantle
