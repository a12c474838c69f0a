// Portable any-maps: PGM and PPM load, PPM save, file information (FF_PNM).
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/image.h"

namespace vek {

// One PNM file examined by PNMOpen_: the open file, its header and the
// 4096-byte read buffer the header was taken from.
struct QPnmFile {
  TrackedFile file;
  int64_t file_size = 0;
  int32_t magic = 0;        // the digit after "P"
  int32_t width = 0;
  int32_t height = 0;
  int32_t maxval = 0;
  int32_t bytespp = 0;      // 1 grey, 3 colour, 0 a kind not read
  bool ascii = false;
  bool bitmap = false;      // P1 or P4: one bit a pixel, no maximum value
  bool supported = false;
  int64_t consumed = 0;     // bytes taken from the file so far
  Tracked<uint8_t> buf;     // read buffer
  int32_t buf_len = 0;
  int32_t buf_pos = 0;
};

void PNMOpen_(const std::string& name, QPnmFile& pnm);
// P1 and P4 (bitmaps: 1 is black) and P2 and P5 give an 8-bit grey image,
// P3 and P6 a 24-bit image; samples of any maximum up to 65535 are scaled
// to 0..255. Any size up to the library's limit is read.
void PNMLoad(const std::string& name, QImg& img);
// Writes a binary "P6", or an ASCII "P3" with one sample per line.
void PNMSave(const std::string& name, QImg& img);
void PNMInfo(const std::string& name, QffInfo& info);

// ASCII output of the writer (off at load): stores and returns 0 or 1; the
// undefined marker only queries.
int32_t PNMSetAscii(int32_t flag);

}  // namespace vek
