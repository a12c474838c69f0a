// Still-image load/save and file information, dispatched by format id.
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "image/image.h"

namespace vek {

void ImgLoad(const std::string& name, QImg& image, int32_t id);
void ImgSave(const std::string& name, QImg& image, int32_t id);
void FFInfo(const std::string& name, int32_t id, QffInfo& info);

}  // namespace vek
