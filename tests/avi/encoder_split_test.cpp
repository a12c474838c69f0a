// Our encoders that split a frame over the worker threads (HAV FAST strips,
// Motion JPEG bands, PNG filter bands) must code the same bytes for every
// thread count; the HAV strips must also decode back to their pixels, since
// the pieces are joined at bit level.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codecs/libdeflate/png_encode.h"
#include "codecs/libjpeg/mjpeg_frame.h"
#include "foundation/errors.h"
#include "foundation/workers.h"
#include "formats/movie/hav_codec.h"

namespace vek {
namespace {

using Bytes = std::vector<uint8_t>;

class Threads {
 public:
  explicit Threads(int32_t n) : saved_(WorkersSet(kUndefined)) { WorkersSet(n); }
  ~Threads() { WorkersSet(saved_); }

 private:
  int32_t saved_;
};

constexpr int32_t kCounts[] = {2, 3, 8};

// Pictures that give the greedy coder every token across the piece cuts:
// long runs, rows repeating the one above, noise, and smooth gradients.
Bytes Picture(int w, int h, int bpp, int kind, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes p(size_t(w) * h * bpp);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w * bpp; ++x) {
      uint8_t& v = p[size_t(y) * w * bpp + x];
      switch (kind) {
        case 0: v = static_cast<uint8_t>(rng()); break;                        // noise
        case 1: v = static_cast<uint8_t>((x / bpp + y) / 7 + (rng() % 3)); break;  // gradient
        case 2: v = static_cast<uint8_t>(y / 9 % 3 == 0 ? 40 : (x / 50 + y / 13) * 17); break;
        default: v = static_cast<uint8_t>((y % 5 == 0 || x % 97 < 3) ? rng() : x / 64); break;
      }
    }
  return p;
}

Bytes HavFast(const Bytes& src, const Bytes* prev, int bpp, int rows, int width, int32_t threads) {
  Threads t(threads);
  Bytes out(HavCodedCapacity(static_cast<int64_t>(src.size())) + 64, 0xEE);
  const int64_t n = HVDCFast(src.data(), out.data(), static_cast<int64_t>(out.size()),
                             prev ? prev->data() : nullptr, prev != nullptr, bpp, rows, width);
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST(EncoderSplit, HavFastStripsSameBytesAndRoundTrip) {
  for (int bpp = 1; bpp <= 3; ++bpp) {
    for (int kind = 0; kind < 4; ++kind) {
      const int w = 641, h = 400 / bpp;  // strips of several pieces
      const Bytes key = Picture(w, h, bpp, kind, 11);
      // A delta frame: the key frame with bands changed, so that long skips
      // and fresh tokens meet the cuts.
      Bytes next = key;
      for (size_t i = 0; i < next.size(); ++i)
        if ((i / 5000) % 3 == 1) next[i] = static_cast<uint8_t>(next[i] + (i % 7 == 0 ? 1 : 0));
      for (const Bytes* prev : {static_cast<const Bytes*>(nullptr), &key}) {
        const Bytes& src = prev ? next : key;
        const Bytes one = HavFast(src, prev, bpp, h, w, 1);
        for (int32_t threads : kCounts)
          EXPECT_EQ(HavFast(src, prev, bpp, h, w, threads), one)
              << "bpp " << bpp << " kind " << kind << (prev ? " delta " : " key ") << threads;
        if (one.empty()) continue;  // over the budget (noise): stored raw
        Bytes back = prev ? *prev : Bytes(src.size(), 0);
        ASSERT_TRUE(HavDecodeFast(one.data(), static_cast<int64_t>(one.size()), back.data(), w, bpp, h));
        EXPECT_TRUE(back == src) << "bpp " << bpp << " kind " << kind;
      }
    }
  }
}

// Strips whose coded size comes to the budget's last bytes: noise then a
// run, the noise a byte longer each time. The joined pieces must keep or
// give up the strip exactly as one pass does.
TEST(EncoderSplit, HavFastAtTheBudget) {
  const int w = 640, h = 80, n = w * 3 * h;
  const int64_t limit = HavBudget(n);
  std::mt19937 rng(3);
  Bytes noise(static_cast<size_t>(n));
  for (uint8_t& v : noise) v = static_cast<uint8_t>(rng());
  const auto strip = [&](int64_t m) {
    Bytes src(noise.begin(), noise.begin() + m);
    src.resize(static_cast<size_t>(n), 0);
    return src;
  };
  int64_t lo = 0, hi = n;  // kept with lo noisy bytes, given up with hi
  while (hi - lo > 1) {
    const int64_t mid = (lo + hi) / 2;
    (HavFast(strip(mid), nullptr, 3, h, w, 1).empty() ? hi : lo) = mid;
  }
  int kept = 0, dropped = 0;
  for (int64_t m = lo - 24; m < lo + 24; ++m) {
    const Bytes src = strip(m);
    const Bytes one = HavFast(src, nullptr, 3, h, w, 1);
    EXPECT_TRUE(one.empty() || static_cast<int64_t>(one.size()) <= limit);
    (one.empty() ? dropped : kept)++;
    EXPECT_EQ(HavFast(src, nullptr, 3, h, w, 2), one) << m << " noisy bytes, " << one.size() << " coded";
  }
  EXPECT_GT(kept, 0);
  EXPECT_GT(dropped, 0);
}

Bytes Mjpeg(const Bytes& pic, int w, int h, int bits, int32_t threads) {
  Threads t(threads);
  MjpegFrameEncoder enc(w, h, 4);
  EXPECT_TRUE(enc.ok());
  if (!enc.ok() || !enc.Encode(pic.data(), int64_t(w) * (bits / 8), bits)) return {};
  return Bytes(enc.data(), enc.data() + enc.size());
}

TEST(EncoderSplit, MotionJpegSameBytes) {
  // Heights of one, several and a part band of macroblock rows; widths that
  // pad the last macroblock column (its right luma blocks lie past the
  // picture).
  const int sizes[][2] = {{640, 480}, {203, 37}, {40, 161}, {17, 300}, {8, 8}};
  for (const auto& s : sizes) {
    for (int bits : {24, 32}) {
      const Bytes pic = Picture(s[0], s[1], bits / 8, 1, 5);
      const Bytes one = Mjpeg(pic, s[0], s[1], bits, 1);
      ASSERT_FALSE(one.empty());
      for (int32_t threads : kCounts)
        EXPECT_EQ(Mjpeg(pic, s[0], s[1], bits, threads), one) << s[0] << "x" << s[1] << " " << threads;
    }
  }
}

TEST(EncoderSplit, PngSameBytes) {
  if (!PngFastWriterAvailable()) GTEST_SKIP() << "built without libdeflate";
  uint8_t palette[256 * 3];
  for (int i = 0; i < 256 * 3; ++i) palette[i] = static_cast<uint8_t>(i);
  const int sizes[][2] = {{320, 200}, {33, 65}, {5, 1}};
  for (const auto& s : sizes) {
    for (int bpp : {1, 3}) {
      const Bytes pic = Picture(s[0], s[1], bpp, 2, 9);
      PngRaster r;
      r.width = s[0];
      r.height = s[1];
      r.bytespp = bpp;
      r.pixels = pic.data();
      r.stride = int64_t(s[0]) * bpp;
      r.palette = palette;
      auto encode = [&](int32_t threads) {
        Threads t(threads);
        Bytes file;
        EXPECT_TRUE(PngEncode(r, 6, file));
        return file;
      };
      const Bytes one = encode(1);
      for (int32_t threads : kCounts) EXPECT_EQ(encode(threads), one) << s[0] << "x" << s[1];
    }
  }
}

}  // namespace
}  // namespace vek
