// Save-option accessors shared by the format descriptors: most formats keep
// one codec field of the save options record and copy it when preparing.
#pragma once

#include <cstdint>
#include <string>

#include "vek/vek.h"

namespace vek {

inline constexpr const char* kRleName = "Run Length Encoding (RLE)";

template <int32_t VekSaveOpts::*F>
void StoreOption(VekSaveOpts& opts, int32_t value) {
  opts.*F = value;
}

// "Run Length Encoding (RLE)" while the codec field is non-zero.
template <int32_t VekSaveOpts::*F>
std::string RleWhenSet(const VekSaveOpts& opts) {
  return opts.*F != 0 ? kRleName : "";
}

// The codec field becomes the prepared codec; the table depth stands.
template <int32_t VekSaveOpts::*F>
int32_t PrepareCodec(VekSaveOpts& opts, int32_t, int32_t, int32_t, int32_t depth) {
  opts.prepCodec = opts.*F;
  return depth;
}

}  // namespace vek
