// Sun raster images: load, save and file information (FF_RAS).
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "foundation/files.h"
#include "image/image.h"

namespace vek {

// One Sun raster file examined by RASOpen_: the open file and its header.
struct QRasFile {
  TrackedFile file;
  int64_t file_size = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t depth = 0;       // bits per stored pixel
  uint32_t length = 0;     // image data bytes as the header gives them
  int32_t type = 0;        // 1 standard, 2 byte-encoded, 3 RGB order
  int32_t map_type = 0;
  uint32_t map_length = 0;
  bool supported = false;
};

void RASOpen_(const std::string& name, QRasFile& ras);
// Depth 8 gives an 8-bit image (grey ramp without a colour map), 24 and 32
// a 24-bit image, and 1 an 8-bit image of two colours.
void RASLoad(const std::string& name, QImg& img);
// Writes 8-bit images with their colour map and every other depth as 24 bits.
void RASSave(const std::string& name, QImg& img);
void RASInfo(const std::string& name, QffInfo& info);

// Byte-encoded output of the writer (on at load): stores and returns 0 or
// 1; the undefined marker only queries.
int32_t RASSetCompression(int32_t flag);

// The byte codec, exposed for the tests. Decoding stops when either side is
// exhausted and returns the bytes produced; encoding writes at most
// 2 x n bytes (3 for n = 1) and returns the count.
int64_t RASDecode(const uint8_t* src, int64_t n, uint8_t* dst, int64_t capacity);
int64_t RASEncodeRow(const uint8_t* src, int64_t n, uint8_t* dst);

}  // namespace vek
