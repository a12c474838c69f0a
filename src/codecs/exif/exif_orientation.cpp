#include "codecs/exif/exif_orientation.h"

namespace vek {

int32_t ExifOrientation(const uint8_t* p, size_t n) {
  // A TIFF header, then the first directory: entries of 12 bytes.
  if (!p || n < 8) return kOrientTopLeft;
  const bool big = p[0] == 'M' && p[1] == 'M';
  if (!big && !(p[0] == 'I' && p[1] == 'I')) return kOrientTopLeft;
  auto u16 = [&](size_t at) -> uint32_t {
    return big ? (uint32_t{p[at]} << 8) | p[at + 1] : (uint32_t{p[at + 1]} << 8) | p[at];
  };
  auto u32 = [&](size_t at) -> uint32_t {
    return big ? (u16(at) << 16) | u16(at + 2) : (u16(at + 2) << 16) | u16(at);
  };
  if (u16(2) != 42) return kOrientTopLeft;
  const size_t dir = u32(4);
  if (dir < 8 || dir > n - 2) return kOrientTopLeft;
  const size_t entries = u16(dir);
  for (size_t i = 0; i < entries; ++i) {
    const size_t e = dir + 2 + 12 * i;
    if (e > n - 12) break;
    if (u16(e) != 274) continue;
    // SHORT, one value, kept in the entry itself.
    if (u16(e + 2) != 3 || u32(e + 4) < 1) return kOrientTopLeft;
    const uint32_t v = u16(e + 8);
    return v >= 1 && v <= 8 ? static_cast<int32_t>(v) : kOrientTopLeft;
  }
  return kOrientTopLeft;
}

}  // namespace vek
