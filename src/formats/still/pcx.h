// Zsoft Paintbrush: load, save and file information (ConForm).
#pragma once

#include <string>

#include "formats/file_info.h"
#include "formats/still/raster_io.h"
#include "image/image.h"

namespace vek {

void PCXOpen_(const std::string& name, QImgFile& imgf);
void PCXLoad_(const std::string& name, QImg& img);
// Writes 8-bit images with their palette and every other depth as 24 bits.
void PCXSave_(const std::string& name, QImg& img);
void PCXInfo(const std::string& name, QffInfo& info);

}  // namespace vek
