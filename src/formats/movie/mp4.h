// MP4 and QuickTime movies (an extension format): any MP4/MOV FFmpeg reads;
// written as MP4 with H.264 video (OpenH264, High profile, limited-range
// BT.709 4:2:0) and AAC sound, the index at the front for playback while
// loading. Save options as av_movie.h says.
#pragma once

#include "formats/format_descriptor.h"

namespace vek {
extern const FormatDescriptor kMp4Format;
}  // namespace vek
