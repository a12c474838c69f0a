// Small solid-colour frames written as numbered files, for tests that need to
// know which source frame ended up where.
#pragma once

#include "test_temp.h"

#include <cstring>
#include <string>

#include "engine/format_dispatch.h"
#include "foundation/files.h"
#include "image/image.h"

namespace vek::testing {

inline std::string TempName(const std::string& stem) { return vek::testing::UniqueTemp(stem); }

// Writes a width x height 24-bit frame whose every pixel is (i, 2i, 255-i).
inline void WriteSolid(const std::string& name, int i, int width = 16, int height = 12) {
  QImg img{};
  ImgAlloc(&img, width, height, 24, 1, "Test.WriteSolid.img");
  for (int p = 0; p < width * height; ++p) {
    img.pixels[p * 3 + 0] = static_cast<uint8_t>(255 - i);
    img.pixels[p * 3 + 1] = static_cast<uint8_t>(2 * i);
    img.pixels[p * 3 + 2] = static_cast<uint8_t>(i);
  }
  ImgSave(name, img, kUndefined);
  ImgFree(&img);
}

// The red value of the first pixel of a file: the frame index WriteSolid used.
inline int ReadMarker(const std::string& name) {
  QImg img{};
  ImgLoad(name, img, kUndefined);
  const int bpp = img.bytespp;
  int marker = -1;
  if (img.bits == 24 || img.bits == 32) marker = img.pixels[2];
  if (img.bits == 8) marker = img.palette[img.pixels[0] * 3 + 2];
  (void)bpp;
  ImgFree(&img);
  return marker;
}

}  // namespace vek::testing
