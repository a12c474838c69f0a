// Our Cinepak compressor spreads strips and codebook searches over worker
// threads: the coded frames must be the same bytes for every thread count.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codecs/cinepak/cinepak_encoder.h"
#include "foundation/errors.h"
#include "foundation/workers.h"

namespace vek {
namespace {

// Frames large enough that every search is cut into several chunks: smooth
// gradients panning under noise, rgb24 top-down.
std::vector<std::vector<uint8_t>> Encode(int32_t threads, int w, int h, int frames) {
  const int32_t saved = WorkersSet(kUndefined);
  WorkersSet(threads);
  platform::CinepakEncoder enc(w, h, 4, platform::CinepakEncoder::kDefaultQuality);
  std::mt19937 rng(7);
  std::vector<uint8_t> pic(size_t(w) * h * 3);
  std::vector<std::vector<uint8_t>> out;
  for (int f = 0; f < frames; ++f) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint8_t* p = &pic[(size_t(y) * w + x) * 3];
        const int n = static_cast<int>(rng() % 24);
        p[0] = static_cast<uint8_t>((x + 3 * f) * 255 / (w + 30) + n / 2);
        p[1] = static_cast<uint8_t>(((x + y) / 3 + n) & 0xFF);
        p[2] = static_cast<uint8_t>((y * 200 / h + 2 * f) ^ (x / 16 * 8));
      }
    std::vector<uint8_t> bytes;
    bool key = false;
    EXPECT_TRUE(enc.Encode(pic.data(), static_cast<ptrdiff_t>(w) * 3, 24, nullptr, false, bytes, key));
    out.push_back(std::move(bytes));
  }
  WorkersSet(saved);
  return out;
}

TEST(CinepakThreads, SameBytesForEveryThreadCount) {
  const auto one = Encode(1, 640, 480, 5);
  for (int32_t threads : {2, 3, 8}) EXPECT_TRUE(Encode(threads, 640, 480, 5) == one) << threads << " threads";
  const auto odd = Encode(1, 203, 37, 3);  // fewer blocks than a chunk, odd sizes
  EXPECT_TRUE(Encode(4, 203, 37, 3) == odd);
}

}  // namespace
}  // namespace vek
