// Geometry of images: scaling and placing one image into another (ImgBasic).
#pragma once

#include <cstdint>

#include "image/image.h"

namespace vek {

// Fast pixel-picking scaler; 8-bit images stay 8-bit, other depths become 24.
// `destination` may be the source.
void ImgResize(QImg* source, QImg* destination, int32_t width, int32_t height);
// Smoothing scaler: averages when shrinking, interpolates when enlarging.
// The result is always 24-bit. `destination` may be the source.
void ImgResample(QImg* source, QImg* destination, int32_t width, int32_t height);
// Copies the source into the existing destination, top-left corner at (x, y).
void ImgInsert(QImg* source, QImg* destination, int32_t x, int32_t y);
// As ImgInsert, leaving the destination where the source has `transparent`
// (compared over the pixel's bytes: index, word, B|G<<8|R<<16, or all 32 bits).
void ImgSprite(QImg* source, QImg* destination, int32_t x, int32_t y, uint32_t transparent);
// Common body of the two: op kOpInsert copies rows, kOpSprite skips transparent pixels.
void AutoPut_(int32_t op, QImg* source, QImg* destination, int32_t x, int32_t y,
              uint32_t transparent);

// Fits a width x height picture into a box_w x box_h box. When `enlarge` is set
// or the picture does not fit, both sides scale by the smaller of the two
// ratios (rounded to nearest, halves to even, at least 1); otherwise the size
// stays. The offsets centre the result in the box.
struct BoxFit {
  int32_t width, height, dx, dy;
};
BoxFit CalcBoxResize(int32_t width, int32_t height, int32_t box_w, int32_t box_h, bool enlarge);

}  // namespace vek
