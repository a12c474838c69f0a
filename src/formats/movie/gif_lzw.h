// The LZW encoder of the GIF writer: variable-length codes from min + 1 up to
// 12 bits, a clear code first and whenever the 4095-entry table is full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vek {

// Appends the code stream (least significant bit first, no sub-block framing)
// of `count` indices, each below 1 << min_code_size, to `out`. min_code_size
// is 2..8.
// With `wild` (one flag per index) and `transparent` >= 0, a flagged index
// may be coded as the transparent index instead, whichever makes the longer
// string (both show the same picture: the pixel did not change).
void GifLzwEncode(const uint8_t* indices, size_t count, int32_t min_code_size,
                  std::vector<uint8_t>& out, const uint8_t* wild = nullptr,
                  int32_t transparent = -1);

}  // namespace vek
