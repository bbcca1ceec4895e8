// Python surface of vantle.builders. Callbacks given from Python are Python callables, called
// with PyGObject objects and the GIL taken only around the call.

#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include "builders/custom_factory.hpp"
#include "builders/url_factories.hpp"
#include "runtime/python_bridge.hpp"
#include "runtime/without_gil.hpp"
#include "utils/gstreamer/pygobject_bridge.hpp"
#include "utils/stub_names.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace vantle::builders;
using vantle::gst::Pipeline;
namespace stub = vantle::stub;

namespace {

struct PyNewSample {
    std::shared_ptr<nb::object> callable;
    GstFlowReturn operator()(GstElement* appsink) const {
        return vantle::python::call_or(GST_FLOW_ERROR, "on_new_sample callback", [&] {
            return static_cast<GstFlowReturn>(nb::cast<int>(nb::int_((*callable)(vantle::gi::wrap(appsink)))));
        });
    }
};

struct PyWatcher {
    std::shared_ptr<nb::object> callable;
    bool operator()(GstBus* bus, GstMessage* message, Pipeline& pipeline) const {
        return vantle::python::call_or(true, "pipeline watcher", [&] {
            nb::object result = (*callable)(vantle::gi::wrap(bus), vantle::gi::wrap_boxed(GST_TYPE_MESSAGE, message),
                                            nb::cast(pipeline.shared_from_this()));
            return nb::cast<bool>(nb::bool_(result));
        });
    }
};

struct PyBufferProbe {
    std::shared_ptr<nb::object> callable;
    GstPadProbeReturn operator()(GstPad* pad, GstPadProbeInfo* info) const {
        return vantle::python::call_or(GST_PAD_PROBE_OK, "buffer probe", [&] {
            vantle::gi::BorrowedProbeInfo borrowed(info);
            nb::object result = (*callable)(vantle::gi::wrap(pad), borrowed.object());
            return static_cast<GstPadProbeReturn>(nb::cast<int>(nb::int_(result)));
        });
    }
};

void require_callable(nb::handle object, const char* name) {
    if (!PyCallable_Check(object.ptr())) throw nb::type_error((std::string(name) + " must be callable").c_str());
}

Callbacks python_callbacks(nb::object on_new_sample, nb::object pipeline_watcher, nb::object buffer_probe) {
    require_callable(on_new_sample, "on_new_sample");
    require_callable(pipeline_watcher, "pipeline_watcher");
    require_callable(buffer_probe, "buffer_probe");
    return Callbacks{PyNewSample{vantle::python::hold(std::move(on_new_sample))},
                     PyWatcher{vantle::python::hold(std::move(pipeline_watcher))},
                     PyBufferProbe{vantle::python::hold(std::move(buffer_probe))}};
}

// The Python callable behind a callback, or None for a native one.
template <class Functor, class Function>
nb::object python_target(const Function& function) {
    if (const auto* target = function.template target<Functor>()) return *target->callable;
    return nb::none();
}

stub::Object<stub::Logger> python_logger(const PipelineFactory& factory) {
    return nb::module_::import_("logging").attr("getLogger")(factory.logger().name());
}

GstElement* element_arg(nb::handle object, const char* what) {
    return vantle::gi::unwrap_as<GstElement>(object, GST_TYPE_ELEMENT, what);
}
GstPad* pad_arg(nb::handle object) { return vantle::gi::unwrap_as<GstPad>(object, GST_TYPE_PAD, "pad"); }

// A factory's (element, pad, pipeline) handler, callable from Python with PyGObject arguments.
template <class Factory>
auto pad_handler(void (Factory::*handler)(GstElement*, GstPad*, Pipeline&), const char* element_name) {
    return [handler, element_name](Factory& factory, stub::Handle<stub::GstElement> element,
                                   stub::Handle<stub::GstPad> pad, Pipeline& pipeline) {
        GstElement* gst_element = element_arg(element, element_name);
        GstPad* gst_pad = pad_arg(pad);
        vantle::WithoutGil released;
        (factory.*handler)(gst_element, gst_pad, pipeline);
    };
}

template <class Class>
void bind_callback_fields(Class& cls) {
    using Factory = typename Class::Type;
    cls.def_prop_ro("_on_new_sample",
                    [](const Factory& f) -> stub::Object<stub::OnNewSample> {
                        return python_target<PyNewSample>(f.callbacks().on_new_sample);
                    })
        .def_prop_ro("_pipeline_watcher",
                     [](const Factory& f) -> stub::Object<stub::PipelineWatcher> {
                         return python_target<PyWatcher>(f.callbacks().pipeline_watcher);
                     })
        .def_prop_ro("_buffer_probe", [](const Factory& f) -> stub::Object<stub::BufferProbe> {
            return python_target<PyBufferProbe>(f.callbacks().buffer_probe);
        });
}

}  // namespace

NB_MODULE(builders, m) {
    nb::set_leak_warnings(false);
    nb::module_::import_("vantle.logger");
    nb::module_::import_("vantle.feed_contract");
    nb::module_::import_("vantle.utils.gstreamer");
    m.doc() = "Pipeline factories: RTSP, HTTP and custom launch strings, decoded to BGR at up to 20 fps.";

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const NotImplementedError& e) {
            PyErr_SetString(PyExc_NotImplementedError, e.what());
        }
    });

    m.attr("_BGR_CAPS") = kBgrCaps;
    m.attr("_BGRA_CAPS") = kBgraCaps;
    m.attr("_BGRX_CAPS") = kBgrxCaps;
    m.attr("_FRAMERATE_LIMIT") = kFramerateLimit;
    nb::dict appsink_properties;
    appsink_properties["max-buffers"] = kAppsinkMaxBuffers;
    appsink_properties["drop"] = true;
    appsink_properties["emit-signals"] = true;
    m.attr("_APPSINK_PROPERTIES") = appsink_properties;

    nb::object typing = nb::module_::import_("typing");
    nb::object gst = nb::module_::import_("gi.repository.Gst");
    nb::object callable = typing.attr("Callable");
    nb::object pipeline_type = nb::module_::import_("vantle.utils.gstreamer").attr("Pipeline");
    m.attr("_ON_NEW_SAMPLE") = callable[nb::make_tuple(nb::make_tuple(gst.attr("Element")), gst.attr("FlowReturn"))];
    m.attr("_PIPELINE_WATCHER") = callable[nb::make_tuple(
        nb::make_tuple(gst.attr("Bus"), gst.attr("Message"), pipeline_type), nb::borrow(reinterpret_cast<PyObject*>(&PyBool_Type)))];
    m.attr("_BUFFER_PROBE") =
        callable[nb::make_tuple(nb::make_tuple(gst.attr("Pad"), gst.attr("PadProbeInfo")), gst.attr("PadProbeReturn"))];

    nb::class_<PipelineFactory>(m, "PipelineFactory",
                                "Builds a new, started pipeline for one stream on every build().")
        .def(nb::new_([](std::string url, int max_framerate) {
                 return std::make_shared<PipelineFactory>(std::move(url), max_framerate);
             }),
             "url"_a, "max_framerate"_a)
        .def("build", &PipelineFactory::build, nb::call_guard<vantle::WithoutGil>(),
             "A new pipeline, asked to play and not waited for.")
        .def_prop_ro("_url", &PipelineFactory::url)
        .def_prop_ro("_max_framerate", &PipelineFactory::max_framerate)
        .def_prop_ro("_logger", &python_logger)
        .def("_set_up_decoder", pad_handler(&PipelineFactory::set_up_decoder, "element"), "element"_a, "pad"_a,
             "pipeline"_a)
        .def("_set_up_appsink", pad_handler(&PipelineFactory::set_up_appsink, "target"), "target"_a, "pad"_a,
             "pipeline"_a)
        .def(
            "_limit_framerate",
            [](PipelineFactory& f, Pipeline& pipeline, stub::Handle<stub::GstElement> target,
               stub::Handle<stub::GstPad> target_pad) -> stub::Object<stub::GstElement> {
                GstElement* e = element_arg(target, "target");
                GstPad* p = pad_arg(target_pad);
                GstElement* next;
                {
                    vantle::WithoutGil released;
                    next = f.limit_framerate(pipeline, e, p);
                }
                return vantle::gi::wrap(next);
            },
            "pipeline"_a, "target"_a, "target_pad"_a);

    auto rtsp = nb::class_<RTSPPipelineFactory, PipelineFactory>(m, "RTSPPipelineFactory",
                                                                 "Pipelines for rtsp:// URLs.")
                    .def(nb::new_([](std::string url, int latency, stub::Object<stub::OnNewSample> on_new_sample,
                                     stub::Object<stub::PipelineWatcher> pipeline_watcher,
                                     stub::Object<stub::BufferProbe> buffer_probe, bool force_tcp) {
                             return std::make_shared<RTSPPipelineFactory>(
                                 std::move(url), latency,
                                 python_callbacks(std::move(on_new_sample), std::move(pipeline_watcher),
                                                  std::move(buffer_probe)),
                                 force_tcp);
                         }),
                         nb::kw_only(), "url"_a, "latency"_a, "on_new_sample"_a, "pipeline_watcher"_a,
                         "buffer_probe"_a, "force_tcp"_a)
                    .def_prop_ro("_latency", &RTSPPipelineFactory::latency)
                    .def_prop_ro("_force_tcp", &RTSPPipelineFactory::force_tcp)
                    .def("_set_up_depayloader", pad_handler(&RTSPPipelineFactory::set_up_depayloader, "_element"),
                         "_element"_a, "pad"_a, "pipeline"_a);
    bind_callback_fields(rtsp);

    auto http = nb::class_<HTTPPipelineFactory, PipelineFactory>(m, "HTTPPipelineFactory",
                                                                 "Pipelines for http:// and https:// URLs.")
                    .def(nb::new_([](std::string url, stub::Object<stub::OnNewSample> on_new_sample,
                                     stub::Object<stub::PipelineWatcher> pipeline_watcher,
                                     stub::Object<stub::BufferProbe> buffer_probe) {
                             return std::make_shared<HTTPPipelineFactory>(
                                 std::move(url), python_callbacks(std::move(on_new_sample), std::move(pipeline_watcher),
                                                                  std::move(buffer_probe)));
                         }),
                         nb::kw_only(), "url"_a, "on_new_sample"_a, "pipeline_watcher"_a, "buffer_probe"_a);
    bind_callback_fields(http);

    auto custom =
        nb::class_<CustomPipelineFactory, PipelineFactory>(
            m, "CustomPipelineFactory",
            "Pipelines from a launch string with a '{url}' portion, an appsink named 'main_sink' and optionally "
            "an element named 'buffer_src' whose 'src' pad carries the buffer probe.")
            .def(nb::new_([](const std::string& pipeline_str, std::string url,
                             stub::Object<stub::OnNewSample> on_new_sample,
                             stub::Object<stub::PipelineWatcher> pipeline_watcher,
                             stub::Object<stub::BufferProbe> buffer_probe) {
                     return std::make_shared<CustomPipelineFactory>(
                         pipeline_str, std::move(url),
                         python_callbacks(std::move(on_new_sample), std::move(pipeline_watcher), std::move(buffer_probe)));
                 }),
                 "pipeline_str"_a, nb::kw_only(), "url"_a, "on_new_sample"_a, "pipeline_watcher"_a, "buffer_probe"_a)
            .def_prop_ro("_pipeline_str", &CustomPipelineFactory::pipeline_str);
    bind_callback_fields(custom);
}
