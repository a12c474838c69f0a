// MPEG transport streams (an extension format, read only): broadcast and
// camera recordings (.ts, .m2ts, .mts) with any codec FFmpeg decodes.
#pragma once

#include "formats/format_descriptor.h"

namespace vek {
extern const FormatDescriptor kMpegTsFormat;
}  // namespace vek
