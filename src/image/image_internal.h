// Helpers shared by the image core's own files; not for other modules.
#pragma once

#include <cstdint>

#include "foundation/errors.h"
#include "image/image.h"

namespace vek::img {

// Reports the error (which raises inside a monitored block) and never returns.

// Checks a record before its pixels are read: known depth, positive size,
// fields that agree with each other, and pixels that are really there.
void CheckImage(const QImg* image, int32_t site);

// Checks a size request; returns width * height * bytes per pixel.
int32_t CheckedSize(int32_t width, int32_t height, int32_t bits, int32_t site);

// Converts the n pixels of `src` into the already allocated `dst`.
// Palette mode only matters for an 8-bit target (grey levels).
void ConvertPixels(const QImg* src, QImg* dst, int32_t palette_mode);

}  // namespace vek::img
