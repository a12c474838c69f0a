// What the toolkits of both builds share: pictures of image records, the
// routing of a user's action to the dialog logic, and window pictures
// saved as PNG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/toolkit/toolkit.h"

namespace vek::toolkit {

// A picture as top-down RGB triples; false when it holds no drawable picture.
bool ImageRgb(const PixelView* img, std::vector<uint8_t>& rgb);

// Calls the logic's handler for a user's action on a control; true when the
// dialog is to close with the control's modal result.
bool RouteAction(DialogLogic& logic, DialogView& view, const ControlSpec& spec, UserAction action);

// Top-down RGB rows as a PNG file; no file is left behind on failure.
bool SaveRgbPng(const std::string& path, int width, int height, const uint8_t* rgb);

}  // namespace vek::toolkit
