// Windows device-independent bitmaps: load, save and file information (ConForm).
#pragma once

#include <string>

#include "formats/file_info.h"
#include "formats/still/raster_io.h"
#include "image/image.h"

namespace vek {

// Opens the file and reads its headers into the state (the file stays open).
void DIBOpen_(const std::string& name, QImgFile& imgf);
void DIBLoad_(const std::string& name, QImg& img);
// Writes 8 and 15-bit images as they are and every other depth as 24 bits.
void DIBSave_(const std::string& name, QImg& img);
void DIBInfo(const std::string& name, QffInfo& info);

}  // namespace vek
