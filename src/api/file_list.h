// File lists: source files gathered from wildcard patterns, with the
// sums a conversion needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vek::api {

struct VekFileList {
  std::vector<std::string> names;
  int32_t frames = 0;
  int32_t resX = 4;
  int32_t resY = 4;
  int32_t bpp = 8;
  double fps = 0.0;
  int32_t samples = 0;
  int32_t audFreq = 8000;
  int32_t audChan = 1;
  int32_t audBits = 8;
};

int32_t ListAdd(VekFileList& list, const char* spec, int32_t mask);
double ListFrameRate(const VekFileList& list);

}  // namespace vek::api
