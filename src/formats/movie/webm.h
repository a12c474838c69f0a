// Matroska and WebM movies (an extension format): any MKV/WebM FFmpeg reads;
// written as WebM with VP9 video (libvpx, limited-range BT.709 4:2:0) and
// Opus sound (libopus), both through libavcodec. Save options as
// av_movie.h says.
#pragma once

#include "formats/format_descriptor.h"

namespace vek {
extern const FormatDescriptor kWebmFormat;
}  // namespace vek
