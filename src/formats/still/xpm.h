// X PixMap images through the platform's XPM library: load, save and file
// information (FF_XPM).
#pragma once

#include <string>

#include "formats/file_info.h"
#include "image/image.h"

namespace vek {

// Every XPM loads as a 24-bit image; transparent pixels are black.
void XPMLoad(const std::string& name, QImg& img);
void XPMSave(const std::string& name, QImg& img);
void XPMInfo(const std::string& name, QffInfo& info);

}  // namespace vek
