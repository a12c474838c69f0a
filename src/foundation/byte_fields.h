// Little- and big-endian fields of file headers, chunks and pixels.
#pragma once

#include <cstdint>

namespace vek {

inline uint32_t Get16(const uint8_t* p) { return p[0] | (p[1] << 8); }
inline uint32_t Get32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}
inline uint64_t Get64(const uint8_t* p) { return Get32(p) | uint64_t{Get32(p + 4)} << 32; }

// Big-endian (SGI, Sun raster).
inline uint32_t GetBe16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
inline uint32_t GetBe32(const uint8_t* p) { return (GetBe16(p) << 16) | GetBe16(p + 2); }
inline void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  PutBe16(p, v >> 16);
  PutBe16(p + 2, v);
}

}  // namespace vek
