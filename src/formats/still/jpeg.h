// JPEG images through libjpeg: load, save and file information (FF_JPG).
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "image/image.h"

namespace vek {

// Grey files load as 8 bits with a grey ramp, all others as 24 bits.
void JPGLoad(const std::string& name, QImg& img);
// Writes a baseline JFIF file at the quality setting; every depth is written
// as 24 bits.
void JPGSave(const std::string& name, QImg& img);
void JPGInfo(const std::string& name, QffInfo& info);

// The process-wide quality of the writer (85 at load): clamped to 0..100,
// stored and returned; the undefined marker only queries.
int32_t JPGSetQuality(int32_t quality);

}  // namespace vek
