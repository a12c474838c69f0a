// Truevision Targa: load, save and file information (ConForm).
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "formats/still/raster_io.h"
#include "image/image.h"

namespace vek {

void TGAOpen_(const std::string& name, QImgFile& imgf);
void TGALoad_(const std::string& name, QImg& img);
// Writes 8 and 15-bit images as they are and every other depth as 24 bits,
// run-length encoded while the writer's switch is on.
void TGASave_(const std::string& name, QImg& img);
void TGAInfo(const std::string& name, QffInfo& info);

// The process-wide run-length switch of the writer (on at load): stores and
// returns 0 or 1; the undefined marker only queries.
int32_t TGASetRLE(int32_t flag);

}  // namespace vek
