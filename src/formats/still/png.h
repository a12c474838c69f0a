// Portable Network Graphics through libpng: load, save and file information
// (FF_PNG).
#pragma once

#include <png.h>

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "foundation/files.h"
#include "image/image.h"
#include "codecs/libpng/png_codec.h"

namespace vek {

// One PNG file open for reading. The file is tracked; the library's
// structures are destroyed with the state on every path.
struct QPngFile {
  TrackedFile file;
  int64_t file_size = 0;
  PngMessages messages;
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_uint_32 width = 0, height = 0;
  int bit_depth = 0, color_type = 0, interlace = 0, compression = 0, filter = 0;
  int channels = 0;
  int file_bit_depth = 0;  // as stored, before any transformation

  QPngFile() = default;
  QPngFile(const QPngFile&) = delete;
  QPngFile& operator=(const QPngFile&) = delete;
  ~QPngFile() { Close(); }
  void Close();
};

void PNGOpen_(QPngFile& state, const std::string& name);
void PNGClose_(QPngFile& state);
// Every PNG loads as 8 bits (grey levels or palette) or 24 bits: 16-bit
// channels are cut to 8, alpha is dropped, small depths are unpacked.
void PNGLoad(const std::string& name, QImg& img);
// 8-bit images are written with their palette, every other depth as 24 bits.
void PNGSave(const std::string& name, QImg& img);
void PNGInfo(const std::string& name, QffInfo& info);

// The process-wide compression level of the writer (6 at load): clamped to
// 0..9, stored and returned; the undefined marker only queries.
int32_t PNGSetCompressionLevel(int32_t level);

}  // namespace vek
