// A whole PNG file made in memory with libdeflate: its compressor is several
// times faster than zlib's at the same level and packs at least as tight, and
// its CRC and Adler sums are vectorised. Built only where the library is
// found (VEK_HAVE_LIBDEFLATE); elsewhere the PNG writer goes through libpng.
#pragma once

#include <cstdint>
#include <vector>

namespace vek {

// A picture of 8-bit palette indices or 24-bit BGR pixels, rows top down.
struct PngRaster {
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytespp = 3;             // 1 (palette) or 3 (BGR)
  const uint8_t* pixels = nullptr;
  int64_t stride = 0;              // bytes from one row to the next
  const uint8_t* palette = nullptr;  // 256 BGR triples, for bytespp 1
};

// True when this build carries the fast writer.
bool PngFastWriterAvailable();

// Encodes the picture as a non-interlaced 8-bit PNG (palette or RGB) at a
// zlib-style level 0..9 (0: stored). False when memory or the library fails.
bool PngEncode(const PngRaster& raster, int level, std::vector<uint8_t>& file);

}  // namespace vek
