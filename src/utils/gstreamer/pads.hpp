#pragma once

// Stateless helpers over pads, caps and element factories; safe on streaming threads.

#include <gst/gst.h>

#include <string>

#include "utils/gstreamer/gst_ptr.hpp"

namespace vantle::gst {

// The highest-ranked factory of `type` (rank at least marginal) that accepts `caps` on a sink
// pad. std::invalid_argument for null caps; StreamSetupError when none accepts them.
UniqueElementFactory find_element_factory(const GstCaps* caps, GstElementFactoryListType type);
// A new element of that factory, not added anywhere (floating reference sunk: caller owns it).
UniqueElement find_element(const GstCaps* caps, GstElementFactoryListType type);

// The "framerate" fraction as frames per second; std::runtime_error when it is missing or not
// a single fraction.
double framerate_from_structure(const GstStructure* structure);

// By the pad's negotiated caps; std::runtime_error when it has none.
bool is_video_pad(GstPad* pad);
bool is_rtp_audio_pad(GstPad* pad);

// One line describing the pad for the logs.
std::string pad_to_string(GstPad* pad);

// Name of the factory that made `element`, or "" when unknown.
std::string factory_name_of(GstElement* element);

}  // namespace vantle::gst
