// Colour adjustments through per-channel lookup tables, 3x3 convolution
// filters, and the averaging of several images of one size (impress).
#pragma once

#include <cstdint>

#include "image/image.h"

namespace vek {

// Image-group code of the catch-all message "General image handling fault.".
inline constexpr int32_t kImgGeneralFault = 0x7FFFFFFF;

// Nine weights (above-left ... below-right), then the right shift of the sum
// and the bias added after it.
struct FilterKernel {
  int16_t weight[9];
  int16_t shift;
  int16_t bias;
};

inline constexpr FilterKernel kSoftenKernel{{1, 1, 1, 1, 8, 1, 1, 1, 1}, 4, 0};
inline constexpr FilterKernel kSharpenKernel{{0, -1, 0, -1, 8, -1, 0, -1, 0}, 2, 0};
inline constexpr FilterKernel kEdgeEnhanceKernel{{-1, -2, -1, -2, 16, -2, -1, -2, -1}, 2, 0};

// ---- table builders: one 256-byte table from one value ----
using ToneTableFn = void (*)(double value, uint8_t* table);
void BrightnessCalc_(double value, uint8_t* table);
void ContrastCalc_(double value, uint8_t* table);
void GammaCalc_(double value, uint8_t* table);
// Fills all three tables (red, green, blue; 768 bytes) for the colour that
// is to become neutral.
void WhiteBalanceCalc_(double red, double green, double blue, uint8_t* table);

// ---- adjustments (8-bit images change their palette only, other depths
// become 24 bits); `destination` may be the source or null for in-place ----
void AutoTune_(int32_t op, QImg* source, QImg* destination, double red, double green,
               double blue, ToneTableFn builder);
void ImgBrightness(QImg* source, QImg* destination, int32_t red, int32_t green, int32_t blue);
void ImgContrast(QImg* source, QImg* destination, int32_t red, int32_t green, int32_t blue);
void ImgGamma(QImg* source, QImg* destination, double red, double green, double blue);
void ImgWhiteBalance(QImg* source, QImg* destination, int32_t red, int32_t green, int32_t blue);

// ---- 3x3 filters on 24-bit pixels; edge pixels repeat themselves ----
void AutoFilter_(int32_t op, QImg* source, QImg* destination, const FilterKernel& kernel);
void ImgSoften(QImg* source, QImg* destination);
void ImgSharpen(QImg* source, QImg* destination);
void ImgEdgeEnhance(QImg* source, QImg* destination);

// ---- averaging (one library-wide accumulator, used from one thread) ----
// Adds an image; every image after the first must have the first one's size.
void ImgAverage(const QImg* image);
// Writes the average of the images added so far into `image`, 24 bits.
void ImgAverageGet(QImg* image);
// Frees the accumulator; the next ImgAverage starts afresh.
void ImgAverageClear();

}  // namespace vek
