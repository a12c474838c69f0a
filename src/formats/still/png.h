// Portable Network Graphics: load, save and file information (FF_PNG).
// Reading goes through libpng; writing through libdeflate where the build
// has it, libpng otherwise.
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "image/image.h"

namespace vek {

// Every PNG loads as 8 bits (grey levels or palette) or 24 bits: 16-bit
// channels are cut to 8, alpha is dropped, small depths are unpacked.
void PNGLoad(const std::string& name, QImg& img);
// 8-bit images are written with their palette, every other depth as 24 bits.
void PNGSave(const std::string& name, QImg& img);
void PNGInfo(const std::string& name, QffInfo& info);

// The process-wide compression level of the writer (6 at load): clamped to
// 0..9, stored and returned; the undefined marker only queries.
int32_t PNGSetCompressionLevel(int32_t level);

}  // namespace vek
