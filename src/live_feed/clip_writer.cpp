#include "live_feed/clip_writer.hpp"

#include <gst/app/gstappsrc.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "runtime/background_thread.hpp"
#include "utils/gstreamer/pads.hpp"
#include "utils/timing/timeout.hpp"

namespace vantle::clips {
namespace {

namespace fs = std::filesystem;

// Units that passed the parser before the end are written even when the writer sees them a
// little later; a stream that stops sending ends the clip this long after its end.
constexpr double kSettleSeconds = 0.5;
// The muxer finishes a file (its index) within this after the last unit.
constexpr GstClockTime kFinishTimeout = 30 * GST_SECOND;
// Seconds between the Unix epoch (1970) and the NTP epoch (1900).
constexpr double kNtpToUnix = 2208988800.0;

std::string muxer_for(const fs::path& path) {
    std::string suffix = path.extension().string();
    std::transform(suffix.begin(), suffix.end(), suffix.begin(), [](unsigned char c) { return std::tolower(c); });
    if (suffix == ".mp4" || suffix == ".m4v" || suffix == ".mov") return "mp4mux";
    if (suffix == ".mkv") return "matroskamux";
    throw ClipError("A clip is written as MP4 (.mp4) or Matroska (.mkv); cannot tell the container from '" +
                    path.filename().string() + "'");
}

std::string describe(const GstCaps* caps) {
    if (caps == nullptr || gst_caps_get_size(caps) == 0) return "unknown";
    return gst_structure_get_name(gst_caps_get_structure(caps, 0));
}

// The muxer's check: it takes the codec in the framing its parser converts to, so the framing
// fields of the stream's own caps do not count.
void check_muxer_takes(const std::string& muxer, const GstCaps* caps) {
    gst::UniqueElementFactory factory(gst_element_factory_find(muxer.c_str()));
    if (!factory) throw ClipError("The GStreamer element " + muxer + " is not installed");
    gst::UniqueCaps codec(gst_caps_copy(caps));
    for (guint i = 0; i < gst_caps_get_size(codec.get()); ++i) {
        gst_structure_remove_fields(gst_caps_get_structure(codec.get(), i), "stream-format", "alignment",
                                    "codec_data", "streamheader", "parsed", nullptr);
    }
    if (!gst_element_factory_can_sink_any_caps(factory.get(), codec.get())) {
        throw ClipError("A " + std::string(muxer == "mp4mux" ? "MP4" : "Matroska") + " file cannot hold this stream's " +
                        describe(caps) + " video" + (muxer == "mp4mux" ? "; try a .mkv path" : ""));
    }
}

// A parser that frames the codec as muxers want it (avc for H.264 over MPEG-TS); "" when the
// codec has none and goes to the muxer as it is.
std::string parser_for(const GstCaps* caps) {
    try {
        gst::UniqueElementFactory factory = gst::find_element_factory(caps, GST_ELEMENT_FACTORY_TYPE_PARSER);
        return gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory.get()));
    } catch (const std::exception&) {
        return "";
    }
}

// A new empty file next to `target`, so that the rename is atomic and a directory that cannot
// be written is found at once.
std::string make_temporary(const fs::path& target) {
    const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string pattern = (directory / ("." + target.filename().string() + ".XXXXXX.part")).string();
    const int fd = mkstemps(pattern.data(), 5);
    if (fd < 0) {
        const int error = errno;
        throw ClipError("Cannot write a clip into '" + directory.string() + "': " + std::strerror(error), error);
    }
    close(fd);
    return pattern;
}

std::optional<double> captured_at(GstBuffer* buffer) {
    static GstCaps* ntp = gst_caps_new_empty_simple("timestamp/x-ntp");
    GstReferenceTimestampMeta* meta = gst_buffer_get_reference_timestamp_meta(buffer, ntp);
    if (meta == nullptr) return std::nullopt;
    return static_cast<double>(meta->timestamp) / GST_SECOND - kNtpToUnix;
}

std::string bus_error_text(GstMessage* message) {
    GError* raw_error = nullptr;
    gchar* raw_debug = nullptr;
    gst_message_parse_error(message, &raw_error, &raw_debug);
    gst::UniqueError error(raw_error);
    gst::UniqueString debug(raw_debug);
    std::string text = error && error->message ? error->message : "unknown error";
    if (debug) text += std::string(" (") + debug.get() + ")";
    return text;
}

// Brings the writing pipeline to NULL however the writer leaves.
struct StoppedPipeline {
    GstElement* pipeline;
    ~StoppedPipeline() { gst_element_set_state(pipeline, GST_STATE_NULL); }
};

GstElement* add_element(GstElement* pipeline, const std::string& factory) {
    GstElement* element = gst_element_factory_make(factory.c_str(), nullptr);
    if (element == nullptr) throw ClipError("The GStreamer element " + factory + " is not installed");
    gst_bin_add(GST_BIN(pipeline), element);
    return element;
}

}  // namespace

Clip::Clip(std::shared_ptr<EncodedRing> ring, std::string path, std::string temporary, double end_monotonic,
           logging::Logger logger)
    : ring_(std::move(ring)),
      temporary_(std::move(temporary)),
      end_monotonic_(end_monotonic),
      logger_(std::move(logger)) {
    facts_.path = std::move(path);
}

Clip::~Clip() = default;

std::shared_ptr<Clip> Clip::start(const std::shared_ptr<EncodedRing>& ring, const std::string& path, double before,
                                  double after, const logging::Logger& logger) {
    if (!std::isfinite(before) || before < 0 || !std::isfinite(after) || after < 0) {
        throw ClipError("before and after are seconds, zero or more");
    }
    const fs::path target(path);
    if (!target.has_filename()) throw ClipError("'" + path + "' names a directory, not a clip file", EISDIR);
    const std::string muxer = muxer_for(target);
    if (!ring->newest_caps()) {
        throw ClipError(
            "No keyframe of the stream has been buffered yet: there is nothing to start a clip with (a codec that "
            "GStreamer has no parser for, such as MJPEG, is never buffered)");
    }
    const std::string temporary = make_temporary(target);

    const double now = monotonic_seconds();
    std::shared_ptr<Clip> clip(new Clip(ring, path, temporary, now + after, logger));
    clip->muxer_ = muxer;
    Preroll preroll = ring->subscribe_from(now - before, clip);
    try {
        if (preroll.units.empty()) throw ClipError("No keyframe of the stream has been buffered yet");
        const AccessUnit& first = *preroll.units.front();
        check_muxer_takes(muxer, first.caps.get());
        clip->parser_ = parser_for(first.caps.get());

        ClipFacts& facts = clip->facts_;
        facts.codec = describe(first.caps.get());
        const GstStructure* structure = gst_caps_get_structure(first.caps.get(), 0);
        gst_structure_get_int(structure, "width", &facts.width);
        gst_structure_get_int(structure, "height", &facts.height);
        facts.start_received_at = first.received_at;
        facts.start_captured_at = captured_at(first.buffer.get());
        facts.shortened = preroll.shortened;
        if (preroll.shortened) {
            facts.notes.push_back("starts " + logging::format_float(first.received_monotonic - preroll.asked_monotonic) +
                                  " s later than asked: the oldest keyframe kept is where it begins");
        }
        {
            std::lock_guard lock(clip->mutex_);
            clip->pending_.assign(preroll.units.begin(), preroll.units.end());
        }
        BackgroundThread::start("ClipWriter", [clip] { clip->write(); });
    } catch (...) {
        ring->unsubscribe(clip.get());
        std::remove(temporary.c_str());
        throw;
    }
    return clip;
}

void Clip::deliver(const AccessUnitPtr& unit) noexcept {
    {
        std::lock_guard lock(mutex_);
        if (done_) return;
        pending_.push_back(unit);
    }
    changed_.notify_all();
}

AccessUnitPtr Clip::next_unit() {
    std::unique_lock lock(mutex_);
    const double deadline = end_monotonic_ + kSettleSeconds;
    while (pending_.empty()) {
        const double left = deadline - monotonic_seconds();
        if (left <= 0) return nullptr;
        changed_.wait_for(lock, std::chrono::duration<double>(left));
    }
    AccessUnitPtr unit = std::move(pending_.front());
    pending_.pop_front();
    if (unit->received_monotonic > end_monotonic_) return nullptr;
    return unit;
}

void Clip::write() noexcept {
    std::string failure;
    try {
        gst::UniqueElement pipeline = gst::ref(gst_pipeline_new("clip-writer"));
        StoppedPipeline stopped{pipeline.get()};
        GstElement* source = add_element(pipeline.get(), "appsrc");
        GstElement* muxer = add_element(pipeline.get(), muxer_);
        GstElement* sink = add_element(pipeline.get(), "filesink");
        GstCaps* caps;
        {
            std::lock_guard lock(mutex_);
            caps = pending_.front()->caps.get();
        }
        // Unlimited queue: the writer pushes from its own thread and never waits on the muxer.
        g_object_set(source, "caps", caps, "format", GST_FORMAT_TIME, "max-bytes", static_cast<guint64>(0),
                     nullptr);
        g_object_set(sink, "location", temporary_.c_str(), nullptr);
        GstElement* upstream = source;
        if (!parser_.empty()) {
            GstElement* parser = add_element(pipeline.get(), parser_);
            if (!gst_element_link(source, parser)) throw ClipError("Cannot link appsrc to " + parser_);
            upstream = parser;
        }
        if (!gst_element_link(upstream, muxer) || !gst_element_link(muxer, sink)) {
            throw ClipError("Cannot link " + describe(caps) + " video into " + muxer_);
        }
        gst::UniqueBus bus(gst_element_get_bus(pipeline.get()));
        if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            gst::UniqueMessage message(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
            throw ClipError(message ? bus_error_text(message.get()) : "The clip's muxer did not start");
        }
        write_units(pipeline.get(), source, bus.get());
        gst_app_src_end_of_stream(GST_APP_SRC(source));
        gst::UniqueMessage message(gst_bus_timed_pop_filtered(
            bus.get(), kFinishTimeout, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
        if (!message) throw ClipError("The muxer did not finish the clip within 30 s");
        if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) throw ClipError(bus_error_text(message.get()));
    } catch (const std::exception& error) {
        failure = error.what();
    }
    ring_->unsubscribe(this);
    if (failure.empty() && std::rename(temporary_.c_str(), facts_.path.c_str()) != 0) {
        failure = "Cannot rename the finished clip to '" + facts_.path + "': " + std::strerror(errno);
    }
    if (!failure.empty()) {
        std::remove(temporary_.c_str());
        logger_.error("Clip " + facts_.path + " was not written: " + failure);
    } else {
        try {
            write_sidecar();
        } catch (const std::exception& error) {
            std::lock_guard lock(mutex_);
            facts_.notes.push_back(std::string("its sidecar JSON was not written: ") + error.what());
        }
        logger_.info("Wrote clip " + facts_.path + " (" + std::to_string(facts_.frames) + " frames)");
    }
    finish(std::move(failure));
}

void Clip::write_units(GstElement*, GstElement* source, GstBus* bus) {
    SharedCaps first_caps;
    AccessUnitPtr previous;
    GstClockTime last_dts = GST_CLOCK_TIME_NONE;
    GstClockTime last_pts = 0;
    std::uint64_t frames = 0;
    while (AccessUnitPtr unit = next_unit()) {
        if (gst::UniqueMessage error{gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)}) {
            throw ClipError(bus_error_text(error.get()));
        }
        if (!first_caps) first_caps = unit->caps;
        if (!gst_caps_is_equal(unit->caps.get(), first_caps.get())) {
            std::lock_guard lock(mutex_);
            facts_.notes.push_back("ends early: the stream's format changed");
            break;
        }
        GstBuffer* in = unit->buffer.get();
        GstClockTime pts = GST_BUFFER_PTS(in);
        GstClockTime dts = GST_BUFFER_DTS(in);
        if (pts == GST_CLOCK_TIME_NONE) pts = dts;
        if (dts == GST_CLOCK_TIME_NONE) dts = pts;
        if (pts == GST_CLOCK_TIME_NONE) {
            pts = dts = static_cast<GstClockTime>(unit->received_monotonic * GST_SECOND);
        }
        // Each pipeline of the reader has its own timeline: a later one continues where the
        // previous one stopped, after the time that passed in between (the gap stays a gap).
        const bool new_run = runs_.empty() || runs_.back().generation != unit->generation;
        if (new_run) {
            GstClockTime offset = 0;
            if (previous) {
                const double gap = unit->received_monotonic - previous->received_monotonic;
                offset = last_dts + std::max<GstClockTime>(static_cast<GstClockTime>(gap * GST_SECOND), GST_MSECOND);
                std::lock_guard lock(mutex_);
                facts_.notes.push_back("a gap of " + logging::format_float(gap) +
                                       " s where the stream was being rebuilt");
            }
            runs_.push_back({unit->generation, std::min(pts, dts), offset, pts, pts});
        }
        Run& run = runs_.back();
        run.first_pts = std::min(run.first_pts, pts);
        run.last_pts = std::max(run.last_pts, pts);
        GstClockTime out_dts = run.offset + (dts > run.base ? dts - run.base : 0);
        GstClockTime out_pts = run.offset + (pts > run.base ? pts - run.base : 0);
        if (last_dts != GST_CLOCK_TIME_NONE && out_dts <= last_dts) out_dts = last_dts + 1;
        out_pts = std::max(out_pts, out_dts);

        GstBuffer* out = gst_buffer_copy(in);  // shares the memory; only the metadata is new
        GST_BUFFER_PTS(out) = out_pts;
        GST_BUFFER_DTS(out) = out_dts;
        GST_BUFFER_DURATION(out) = GST_CLOCK_TIME_NONE;
        if (new_run && previous) GST_BUFFER_FLAG_SET(out, GST_BUFFER_FLAG_DISCONT);
        const GstFlowReturn pushed = gst_app_src_push_buffer(GST_APP_SRC(source), out);
        if (pushed != GST_FLOW_OK) throw ClipError(std::string("The muxer refused the clip: ") + gst_flow_get_name(pushed));

        last_dts = out_dts;
        last_pts = std::max(last_pts, out_pts);
        ++frames;
        std::lock_guard lock(mutex_);
        facts_.frames = frames;
        facts_.end_received_at = unit->received_at;
        facts_.end_captured_at = captured_at(in);
        previous = std::move(unit);
    }
    if (frames == 0) throw ClipError("No access unit arrived for the clip");
    std::lock_guard lock(mutex_);
    facts_.duration = static_cast<double>(last_pts) / GST_SECOND;
    if (frames > 1) facts_.duration += facts_.duration / static_cast<double>(frames - 1);
    if (previous && end_monotonic_ - previous->received_monotonic > 1.0) {
        facts_.notes.push_back("ends " + logging::format_float(end_monotonic_ - previous->received_monotonic) +
                               " s early: no video arrived after that");
    }
}

void Clip::write_sidecar() {
    nlohmann::json frames = nlohmann::json::array();
    std::optional<std::uint64_t> first_number;
    std::optional<std::uint64_t> last_number;
    for (const Run& run : runs_) {
        for (const FrameMark& mark : ring_->frames_of(run.generation, run.first_pts, run.last_pts)) {
            const double at = static_cast<double>(run.offset + (mark.pts - std::min(mark.pts, run.base))) / GST_SECOND;
            frames.push_back({{"number", mark.number}, {"time", at}});
            if (!first_number) first_number = mark.number;
            last_number = mark.number;
        }
    }
    ClipFacts facts;
    {
        std::lock_guard lock(mutex_);
        facts_.first_frame_number = first_number;
        facts_.last_frame_number = last_number;
        facts = facts_;
    }
    auto optional = [](const auto& value) { return value ? nlohmann::json(*value) : nlohmann::json(nullptr); };
    nlohmann::json sidecar = {
        {"path", fs::path(facts.path).filename().string()},
        {"codec", facts.codec},
        {"width", facts.width},
        {"height", facts.height},
        {"start_received_at", facts.start_received_at},
        {"end_received_at", optional(facts.end_received_at)},
        {"start_captured_at", optional(facts.start_captured_at)},
        {"end_captured_at", optional(facts.end_captured_at)},
        {"duration", facts.duration},
        {"access_units", facts.frames},
        {"first_frame_number", optional(first_number)},
        {"last_frame_number", optional(last_number)},
        {"shortened", facts.shortened},
        {"notes", facts.notes},
        {"frame_numbers", frames},
    };
    const std::string path = facts.path + ".json";
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << sidecar.dump(1) << '\n';
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            throw ClipError("cannot write " + path);
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw ClipError("cannot rename " + temporary + ": " + std::strerror(errno));
    }
}

void Clip::finish(std::string error) {
    std::vector<std::function<void()>> callbacks;
    {
        std::lock_guard lock(mutex_);
        done_ = true;
        error_ = std::move(error);
        pending_.clear();
        callbacks.swap(callbacks_);
    }
    changed_.notify_all();
    for (auto& callback : callbacks) callback();
}

bool Clip::done() const {
    std::lock_guard lock(mutex_);
    return done_;
}

bool Clip::wait_for(std::optional<double> seconds) const {
    std::unique_lock lock(mutex_);
    if (!seconds) {
        changed_.wait(lock, [&] { return done_; });
        return true;
    }
    return changed_.wait_for(lock, std::chrono::duration<double>(std::max(*seconds, 0.0)), [&] { return done_; });
}

std::string Clip::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

ClipFacts Clip::facts() const {
    std::lock_guard lock(mutex_);
    return facts_;
}

void Clip::when_done(std::function<void()> callback) {
    {
        std::lock_guard lock(mutex_);
        if (!done_) {
            callbacks_.push_back(std::move(callback));
            return;
        }
    }
    callback();
}

}  // namespace vantle::clips
