#pragma once

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/image.h"

namespace vek::test {

struct ImageTest : ::testing::Test {
  void SetUp() override { ErrClear(); }
  void TearDown() override { EXPECT_EQ(MemCount(), 0); }
};

inline QImg Random(int32_t w, int32_t h, int32_t bits, uint32_t seed) {
  QImg img{};
  ImgAlloc(&img, w, h, bits, 900, "Test.Random.img");
  std::mt19937 rng(seed);
  for (int32_t i = 0; i < img.size; ++i) img.pixels[i] = static_cast<uint8_t>(rng());
  if (bits == 15)  // the top bit of a 15-bit word is 0
    for (int32_t i = 1; i < img.size; i += 2) img.pixels[i] &= 0x7F;
  return img;
}

// Runs a call that is expected to fail, stopping its error here.
template <class F>
void Try(F&& call) {
  MonitoredBoundary("Test.Try", std::forward<F>(call));
}

inline std::vector<uint8_t> Pixels(const QImg& img) {
  if (!img.pixels) return {};
  return std::vector<uint8_t>(img.pixels, img.pixels + img.size);
}

}  // namespace vek::test
