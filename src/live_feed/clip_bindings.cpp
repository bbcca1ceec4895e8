// Python surface of clips: LiveFeed.save_clip, the Clip it returns and ClipError.

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <optional>

#include "runtime/interruptible_wait.hpp"
#include "live_feed/clip_bindings.hpp"
#include "live_feed/clip_writer.hpp"
#include "runtime/python_bridge.hpp"
#include "runtime/without_gil.hpp"
#include "utils/stub_names.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using vantle::clips::Clip;
using vantle::clips::ClipError;
using vantle::clips::ClipFacts;

namespace vantle {
namespace {

template <class T>
nb::typed<nb::object, std::optional<T>> optional_value(const std::optional<T>& value) {
    return value ? nb::cast(*value) : nb::none();
}

// Raises the clip's failure, if it failed.
void raise_failure(const Clip& clip) {
    const std::string error = clip.error();
    if (!error.empty()) throw ClipError(error);
}

// A facts property of a clip: what it knows now (the end once written).
template <class Get>
auto fact(Get get) {
    return [get](const Clip& clip) { return get(clip.facts()); };
}

}  // namespace

void define_clips(nb::module_& m, nb::class_<LiveFeed>& feed_class) {
    nb::object clip_error = nb::borrow(nb::exception<ClipError>(m, "ClipError", PyExc_Exception));
    clip_error.attr("__doc__") =
        "A clip cannot be saved: nothing buffered yet, a container that cannot hold the codec, or writing failed. "
        "A path that cannot be written raises the matching OSError instead.";
    // Registered after nanobind's own translator for ClipError, so tried first.
    nb::register_exception_translator(
        [](const std::exception_ptr& p, void* python_type) {
            try {
                std::rethrow_exception(p);
            } catch (const ClipError& e) {
                if (e.error_number != 0) {
                    nb::object error = nb::handle(PyExc_OSError)(e.error_number, e.what());
                    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
                } else {
                    PyErr_SetString(static_cast<PyObject*>(python_type), e.what());
                }
            }
        },
        clip_error.ptr());

    nb::class_<Clip>(m, "Clip",
                     "A clip being written in the background from a reader's encoded ring buffer. wait() or await it "
                     "for the file; its facts (times, frame count, frame numbers) are complete once it is done.")
        .def_prop_ro("path", fact([](const ClipFacts& f) { return f.path; }), "Where the clip is (or will be) written.")
        .def_prop_ro(
            "sidecar_path", fact([](const ClipFacts& f) { return f.path + ".json"; }),
            "The JSON written next to the clip: its facts and, per frame, the reader's frame number and its time "
            "in the clip.")
        .def_prop_ro("done", &Clip::done, "True once the clip is written or writing failed.")
        .def_prop_ro(
            "error",
            [](const Clip& clip) -> nb::typed<nb::object, std::optional<std::string>> {
                return clip.done() && !clip.error().empty() ? nb::cast(clip.error()) : nb::none();
            },
            "Why writing failed, or None.")
        .def_prop_ro("codec", fact([](const ClipFacts& f) { return f.codec; }), "The media type, e.g. video/x-h264.")
        .def_prop_ro("width", fact([](const ClipFacts& f) { return f.width; }))
        .def_prop_ro("height", fact([](const ClipFacts& f) { return f.height; }))
        .def_prop_ro("start_received_at", fact([](const ClipFacts& f) { return f.start_received_at; }),
                     "Wall-clock receive time of the first frame (a keyframe).")
        .def_prop_ro("end_received_at", fact([](const ClipFacts& f) { return optional_value(f.end_received_at); }),
                     "Wall-clock receive time of the last frame written so far.")
        .def_prop_ro("start_captured_at", fact([](const ClipFacts& f) { return optional_value(f.start_captured_at); }),
                     "Capture time of the first frame where the stream tells it (an NTP reference timestamp), else None.")
        .def_prop_ro("end_captured_at", fact([](const ClipFacts& f) { return optional_value(f.end_captured_at); }),
                     "Capture time of the last frame where the stream tells it, else None.")
        .def_prop_ro("frames", fact([](const ClipFacts& f) { return f.frames; }),
                     "Frames (access units) written so far: every frame of the source, not only those delivered.")
        .def_prop_ro("duration", fact([](const ClipFacts& f) { return f.duration; }), "Seconds, once written.")
        .def_prop_ro("first_frame_number", fact([](const ClipFacts& f) { return optional_value(f.first_frame_number); }),
                     "The reader's number of the first delivered frame in the clip, once written.")
        .def_prop_ro("last_frame_number", fact([](const ClipFacts& f) { return optional_value(f.last_frame_number); }),
                     "The reader's number of the last delivered frame in the clip, once written.")
        .def_prop_ro("shortened", fact([](const ClipFacts& f) { return f.shortened; }),
                     "True when the clip starts later than asked, at the oldest keyframe kept.")
        .def_prop_ro("notes", fact([](const ClipFacts& f) { return f.notes; }),
                     "Where the clip differs from what was asked: a later start, a gap while the stream was rebuilt, "
                     "an early end.")
        .def(
            "wait",
            [](nb::handle self, std::optional<double> timeout) -> stub::Object<stub::Self> {
                Clip& clip = nb::cast<Clip&>(self);
                const bool done = python::interruptible_wait(timeout, [&](double slice) { return clip.wait_for(slice); });
                if (!done) {
                    PyErr_SetString(PyExc_TimeoutError, "the clip is still being written");
                    throw nb::python_error();
                }
                raise_failure(clip);
                return nb::borrow(self);
            },
            "timeout"_a = nb::none(),
            "Blocks (without the GIL) until the clip is written and returns it; raises ClipError when writing failed "
            "and TimeoutError when `timeout` passes first.")
        .def(
            "_when_done",
            [](Clip& clip, stub::Object<stub::WakeUp> callback) {
                auto held = python::hold(std::move(callback));
                WithoutGil released;
                clip.when_done([held] { python::call("clip done", [&] { (*held)(); }); });
            },
            "callback"_a, "Calls `callback` once the clip is done, from the writing thread (at once if done).")
        .def("__await__",
             [](nb::handle self) -> stub::Object<stub::ClipLater> {
                 return nb::module_::import_("vantle._clips_async").attr("wait_async")(self).attr("__await__")();
             })
        .def("__repr__", [](const Clip& clip) {
            const ClipFacts facts = clip.facts();
            const std::string state = !clip.done() ? "writing" : clip.error().empty() ? "written" : "failed";
            return "<Clip '" + facts.path + "' " + state + " frames=" + std::to_string(facts.frames) + ">";
        });

    feed_class
        .def(
            "save_clip",
            [](LiveFeed& feed, stub::Object<stub::Path> path, double before, double after) {
                const std::string text = nb::cast<std::string>(nb::module_::import_("os").attr("fspath")(path));
                if (!feed.encoded_ring()) {
                    throw ClipError("save_clip() needs a reader opened with keep_encoded=seconds");
                }
                WithoutGil released;
                return Clip::start(feed.encoded_ring(), text, before, after, feed.logger());
            },
            "path"_a, "before"_a = 5.0, "after"_a = 5.0,
            "Writes the stream's own encoded video from the keyframe at or before `before` seconds ago until "
            "`after` seconds from now to `path` (.mp4, or .mkv for Matroska), without re-encoding, and returns "
            "a Clip at once; the file appears under its name only once complete. Raises ClipError (or OSError for "
            "a path that cannot be written) when it cannot start.")
        .def(
            "encoded_buffer",
            [](const LiveFeed& feed) -> stub::Object<stub::FiguresOrNone> {
                if (!feed.encoded_ring()) return nb::none();
                const clips::RingFigures figures = feed.encoded_ring()->figures();
                nb::dict out;
                out["seconds"] = figures.seconds;
                out["bytes"] = figures.bytes;
                out["access_units"] = figures.units;
                out["gops"] = figures.gops;
                return out;
            },
            "What the encoded ring buffer holds now (seconds from its oldest keyframe, bytes, access units, "
            "groups of pictures); None without keep_encoded.");
}

}  // namespace vantle
