// Python surface of vantle.utils.gstreamer: the Pipeline wrapper and the pad, caps and factory
// helpers, taking and returning PyGObject objects.

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "runtime/python_bridge.hpp"
#include "runtime/without_gil.hpp"
#include "utils/gstreamer/pads.hpp"
#include "utils/gstreamer/pipeline.hpp"
#include "utils/gstreamer/pygobject_bridge.hpp"
#include "utils/stub_names.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using vantle::gst::Pipeline;
namespace stub = vantle::stub;

namespace {

nb::object gst_module() { return nb::module_::import_("gi.repository.Gst"); }

// Wraps a Python callback so that an error in it is logged instead of reaching GStreamer;
// `fallback` is what GStreamer then gets back.
nb::object guarded_callback(nb::object callback, nb::object fallback, std::string where) {
    return nb::cpp_function([callback = std::move(callback), fallback = std::move(fallback),
                             where = std::move(where)](nb::args args) -> nb::object {
        try {
            return callback(*args);
        } catch (nb::python_error& error) {
            vantle::python::log_error(where.c_str(), error);
            return fallback;
        }
    });
}

// What a signal handler that failed returns: an error flow, false, or nothing.
nb::object fallback_for_signal(gpointer instance, const std::string& signal) {
    const guint signal_id = g_signal_lookup(signal.c_str(), G_OBJECT_TYPE(instance));
    if (signal_id == 0) return nb::none();
    GSignalQuery query;
    g_signal_query(signal_id, &query);
    const GType return_type = query.return_type & ~G_SIGNAL_TYPE_STATIC_SCOPE;
    if (return_type == GST_TYPE_FLOW_RETURN) return gst_module().attr("FlowReturn").attr("ERROR");
    if (return_type == G_TYPE_BOOLEAN) return nb::bool_(false);
    return nb::none();
}

// The Python caller's file, function and line, for errors posted from Python.
struct CallerLocation {
    std::string file = "<python>";
    std::string function = "<unknown>";
    int line = 0;
};

CallerLocation python_caller() {
    CallerLocation location;
    try {
        nb::object frame = nb::module_::import_("sys").attr("_getframe")(0);
        nb::object code = frame.attr("f_code");
        location.file = nb::cast<std::string>(code.attr("co_filename"));
        location.function = nb::cast<std::string>(code.attr("co_name"));
        location.line = nb::cast<int>(frame.attr("f_lineno"));
    } catch (nb::python_error&) {
    }
    return location;
}

GstElement* element_arg(nb::handle object, const char* what, bool allow_none = false) {
    return vantle::gi::unwrap_as<GstElement>(object, GST_TYPE_ELEMENT, what, allow_none);
}

GstPad* pad_arg(nb::handle object) { return vantle::gi::unwrap_as<GstPad>(object, GST_TYPE_PAD, "pad"); }

// Pad queries take the pad's lock, which a streaming thread may hold while it waits for the GIL.
template <class Query>
auto without_gil(Query query, GstPad* pad) {
    vantle::WithoutGil released;
    return query(pad);
}

// Runs a registry search for PyGObject caps (None allowed: the search rejects it) without the GIL.
template <class Search>
auto find_with_caps(nb::handle caps, unsigned long long type_, Search search) {
    auto* gst_caps = static_cast<GstCaps*>(vantle::gi::unwrap_boxed(caps, GST_TYPE_CAPS, "caps", true));
    vantle::WithoutGil released;
    return search(gst_caps, static_cast<GstElementFactoryListType>(type_));
}

}  // namespace

NB_MODULE(gstreamer, m) {
    nb::set_leak_warnings(false);
    nb::module_::import_("vantle.logger");
    nb::module_::import_("vantle.feed_contract");
    nb::module_::import_("vantle.utils.timing");
    gst_init(nullptr, nullptr);
    vantle::gi::ensure_ready();
    m.doc() = "The Pipeline wrapper and helpers over pads, caps and element factories.";

    nb::object not_linked = nb::borrow(nb::exception<vantle::NotLinkedError>(m, "NotLinkedError"));
    not_linked.attr("__doc__") = "Raised when there was a problem while linking two elements";

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const vantle::GErrorException& e) {
            nb::gil_scoped_acquire gil;
            nb::object error_type = nb::module_::import_("gi.repository.GLib").attr("Error");
            nb::object error = error_type(e.what(), g_quark_to_string(e.domain), e.code);
            PyErr_SetObject(error_type.ptr(), error.ptr());
        }
    });

    nb::class_<Pipeline>(m, "Pipeline",
                         "A GStreamer pipeline with a record of every signal handler, bus watch and pad probe "
                         "attached through it. Attributes it does not define are those of the Gst.Pipeline.")
        .def(nb::new_([](std::optional<std::string> name) { return Pipeline::create(name); }), "name"_a = nb::none(),
             nb::call_guard<vantle::WithoutGil>())
        .def_static("from_launch_string", &Pipeline::from_launch_string, "launch"_a, "name"_a,
                    nb::call_guard<vantle::WithoutGil>(),
                    "A Pipeline for the pipeline that `launch` describes, named `name`; GLib.Error when it does "
                    "not parse.")
        .def_prop_ro("gst_pipeline",
                     [](const Pipeline& p) -> stub::Object<stub::GstPipeline> {
                         return vantle::gi::wrap(p.pipeline());
                     },
                     "The Gst.Pipeline itself.")
        .def("__getattr__",
             [](const Pipeline& p, nb::str name) -> stub::Object<stub::Any> {
                 return nb::getattr(vantle::gi::wrap(p.pipeline()), name);
             })
        .def(
            "connect_signal_handler",
            [](Pipeline& p, stub::Handle<stub::GObject> element, const std::string& signal,
               stub::Object<stub::Callback> callback, nb::args extra) {
                auto* instance = vantle::gi::unwrap_as<GObject>(element, G_TYPE_OBJECT, "element");
                nb::object handler =
                    guarded_callback(std::move(callback), fallback_for_signal(instance, signal),
                                     ("handler of signal '" + signal + "'").c_str());
                const gulong id = nb::cast<gulong>(nb::borrow(element).attr("connect")(signal, handler, *extra));
                p.record_signal_handler(instance, id);
            },
            "element"_a, "signal"_a, "callback"_a, "extra"_a,
            "Connects `callback(*signal_args, *extra)` to `signal` of `element` and records its disconnection.")
        .def(
            "add_bus_watch",
            [](Pipeline& p, stub::Object<stub::BusWatch> callback, nb::args extra) {
                nb::object watch = guarded_callback(std::move(callback), nb::bool_(true), "bus watch");
                nb::object priority = nb::module_::import_("gi.repository.GLib").attr("PRIORITY_DEFAULT");
                vantle::gi::wrap(p.bus()).attr("add_watch")(priority, watch, *extra);
                p.record_bus_watch();
            },
            "callback"_a, "extra"_a,
            "Watches the pipeline's bus on the default main context with `callback(bus, message, *extra)`.")
        .def(
            "add_pad_probe",
            [](Pipeline& p, stub::Handle<stub::GstPad> pad, stub::Handle<stub::GstPadProbeType> pad_probe_type,
               stub::Object<stub::PadProbe> callback, nb::args extra) {
                auto* gst_pad = vantle::gi::unwrap_as<GstPad>(pad, GST_TYPE_PAD, "pad");
                nb::object probe = guarded_callback(std::move(callback), gst_module().attr("PadProbeReturn").attr("OK"),
                                                    "pad probe");
                const gulong id = nb::cast<gulong>(nb::borrow(pad).attr("add_probe")(pad_probe_type, probe, *extra));
                p.record_pad_probe(gst_pad, id);
            },
            "pad"_a, "pad_probe_type"_a, "callback"_a, "extra"_a,
            "Adds `callback(pad, info, *extra)` as a probe of `pad_probe_type` on `pad`.")
        .def(
            "post_error",
            [](Pipeline& p, const std::string& message) {
                CallerLocation caller = python_caller();
                vantle::WithoutGil released;
                p.post_error_at(message, caller.file.c_str(), caller.function.c_str(), caller.line);
            },
            "message"_a, "Posts a stream error from the pipeline on its own bus, `message` in its debug string.")
        .def("release_resources", &Pipeline::release_resources, nb::call_guard<vantle::WithoutGil>(),
             "Detaches every handler, watch and probe attached through this wrapper, in attachment order.")
        .def_prop_ro("pending_release_actions", &Pipeline::pending_release_actions)
        .def("wait_until_playing", &Pipeline::wait_until_playing, "timeout"_a, nb::call_guard<vantle::WithoutGil>(),
             "Returns once the pipeline or one of its elements reaches PLAYING; StreamSetupError on a bus error "
             "or after `timeout` seconds (the pipeline is then set to NULL).")
        .def("wait_until_null", &Pipeline::wait_until_null, "timeout"_a, nb::call_guard<vantle::WithoutGil>(),
             "Returns once the pipeline is in NULL; StreamSetupError after `timeout` seconds.")
        .def_prop_rw(
            "appsink",
            [](const Pipeline& p) -> stub::Object<stub::GstElement> { return vantle::gi::wrap(p.appsink()); },
            [](Pipeline& p, stub::Handle<stub::GstElement> element) {
                p.set_appsink(element_arg(element, "appsink"));
            })
        .def(
            "new_element",
            [](Pipeline& p, const std::string& factory_name, stub::Handle<stub::GstElement> link_to,
               stub::Object<stub::Options> properties, bool auto_play) -> stub::Object<stub::GstElement> {
                GstElement* upstream = element_arg(link_to, "link_to", true);
                vantle::gst::PropertySetter set_properties;
                if (!properties.is_none()) {
                    set_properties = [&properties](GstElement* element) {
                        vantle::python::TakenGil gil;
                        nb::object wrapper = vantle::gi::wrap(element);
                        for (nb::handle item : properties.attr("items")()) {
                            wrapper.attr("set_property")(item[0], item[1]);
                        }
                    };
                }
                GstElement* element;
                {
                    vantle::WithoutGil released;
                    element = p.new_element(factory_name, upstream, set_properties, auto_play);
                }
                return vantle::gi::wrap(element);
            },
            "factory_name"_a, "link_to"_a = nb::none(), "properties"_a = nb::none(), "auto_play"_a = true,
            "Creates an element, adds it, sets `properties` in order, starts it when `auto_play` and links "
            "`link_to` to it (NotLinkedError when that fails).")
        .def(
            "filter_caps",
            [](Pipeline& p, stub::Handle<stub::GstElement> link_to, std::vector<std::string> options,
               bool auto_play) -> stub::Object<stub::GstElementOrNone> {
                GstElement* upstream = element_arg(link_to, "link_to");
                GstElement* filter;
                {
                    vantle::WithoutGil released;
                    filter = p.filter_caps(upstream, options, auto_play);
                }
                return vantle::gi::wrap(filter);
            },
            "link_to"_a, "options"_a, "auto_play"_a = true,
            "A capsfilter for the first caps option that links from `link_to`; None for no options.");

    m.def(
        "find_element_factory",
        [](stub::Handle<stub::GstCaps> caps, unsigned long long type_) -> stub::Object<stub::GstElementFactory> {
            return vantle::gi::wrap(find_with_caps(caps, type_, &vantle::gst::find_element_factory).get());
        },
        "caps"_a.none(), "type_"_a,
        "The highest-ranked element factory of `type_` (rank at least marginal) that accepts `caps`.");
    m.def(
        "find_element",
        [](stub::Handle<stub::GstCaps> caps, unsigned long long type_) -> stub::Object<stub::GstElement> {
            return vantle::gi::wrap(find_with_caps(caps, type_, &vantle::gst::find_element).get());
        },
        "caps"_a.none(), "type_"_a, "A new element of the factory find_element_factory() chooses.");
    m.def(
        "framerate_from_structure",
        [](stub::Handle<stub::GstStructure> structure) {
            return vantle::gst::framerate_from_structure(
                static_cast<GstStructure*>(vantle::gi::unwrap_boxed(structure, GST_TYPE_STRUCTURE, "structure")));
        },
        "structure"_a.none(), "The structure's framerate fraction in frames per second.");
    m.def(
        "is_video_pad",
        [](stub::Handle<stub::GstPad> pad) { return without_gil(&vantle::gst::is_video_pad, pad_arg(pad)); },
        "pad"_a, "Whether the media type of the pad's negotiated caps begins with 'video/'.");
    m.def(
        "is_rtp_audio_pad",
        [](stub::Handle<stub::GstPad> pad) { return without_gil(&vantle::gst::is_rtp_audio_pad, pad_arg(pad)); },
        "pad"_a, "Whether the 'media' field of the pad's negotiated RTP caps contains 'audio'.");
    m.def(
        "pad_to_string",
        [](stub::Handle<stub::GstPad> pad) { return without_gil(&vantle::gst::pad_to_string, pad_arg(pad)); },
        "pad"_a, "One line describing the pad: caps, direction, linked, active.");
}
