// Silicon Graphics images: load, save and file information (FF_SGI).
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "foundation/files.h"
#include "image/image.h"

namespace vek {

// One SGI file examined by SGIOpen_: the open file and its header, with the
// dimension already applied to the sizes.
struct QSgiFile {
  TrackedFile file;
  int64_t file_size = 0;
  int32_t storage = 0;    // 0 verbatim, 1 run-length encoded
  int32_t bpc = 0;        // bytes per channel
  int32_t dimension = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;   // 0 when the dimension is not one the format knows
  uint32_t colormap = 0;
  bool supported = false;
};

void SGIOpen_(const std::string& name, QSgiFile& sgi);
// Files of one or two bytes per channel (the latter narrowed to 8 bits).
// One channel gives an 8-bit grey image (so do two: the second is alpha and
// is dropped), three a 24-bit and four a 32-bit image with alpha in byte 3.
void SGILoad(const std::string& name, QImg& img);
void SGISave(const std::string& name, QImg& img);
void SGIInfo(const std::string& name, QffInfo& info);

// Run-length output of the writer (on at load): stores and returns 0 or 1;
// the undefined marker only queries.
int32_t SGISetCompression(int32_t flag);

// The row codec, exposed for the tests. Decoding fills at most `width`
// bytes and never reads past `n`; returns the bytes produced. Encoding
// writes at most 2 x n + 2 bytes, the terminating zero included, and
// returns the count.
int32_t SGIDecodeRow(const uint8_t* src, int64_t n, uint8_t* dst, int32_t width);
// The same for files of two bytes per channel: `n` bytes of 16-bit packets
// give at most `width` samples, each narrowed to 8 bits.
int32_t SGIDecodeRow16(const uint8_t* src, int64_t n, uint8_t* dst, int32_t width);
int64_t SGIEncodeRow(const uint8_t* src, int32_t n, uint8_t* dst);

}  // namespace vek
