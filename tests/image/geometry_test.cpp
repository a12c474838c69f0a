#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/geometry.h"
#include "image/image.h"
#include "image_test_util.h"

using namespace vek;
using namespace vek::test;

namespace {

using Px = std::vector<int>;  // one pixel's channels
using Line = std::vector<Px>;

Px Avg(const Px& a, const Px& b) {
  Px r(a.size());
  for (size_t c = 0; c < a.size(); ++c) r[c] = (a[c] + b[c]) / 2;
  return r;
}

// Literal walk of the shrink accumulators: the members of each group.
std::vector<std::vector<int>> HGroups(int n, int out) {
  const long long s = 100000LL * n / out;
  std::vector<std::vector<int>> g;
  long long a = 0, p = 0;
  int i = 0;
  for (int x = 0; x < out; ++x) {
    std::vector<int> members{i++};
    a += s;
    p += 100000;
    if (a >= p) {
      do {
        if (i < n) members.push_back(i++);
        p += 100000;
      } while (p < a);
    }
    g.push_back(members);
  }
  return g;
}

std::vector<std::vector<int>> VGroups(int n, int out) {
  const long long s = 100000LL * n / out;
  std::vector<std::vector<int>> g;
  long long a = 0, p = 0;
  int r = 0;
  for (int y = 0; y < out; ++y) {
    std::vector<int> members{r};
    a += s;
    p += 100000;
    while (p < a) {
      if (r + 1 < n) members.push_back(++r);
      p += 100000;
    }
    ++r;
    g.push_back(members);
  }
  return g;
}

Line Mean(const std::vector<Line>& lines, const std::vector<int>& members) {
  Line r = lines[members[0]];
  for (size_t x = 0; x < r.size(); ++x)
    for (size_t c = 0; c < 3; ++c) {
      long long sum = 0;
      for (int m : members) sum += lines[m][x][c];
      r[x][c] = static_cast<int>(sum / static_cast<long long>(members.size()));
    }
  return r;
}

// One fractional enlargement step over a sequence, written from the text.
template <class T, class F>
std::vector<T> Fraction(const std::vector<T>& in, int out, F avg) {
  const long long s = 100000LL * static_cast<long long>(in.size()) / out;
  std::vector<T> r;
  long long a = 0, p = 0;
  size_t i = 0;
  auto at = [&](size_t k) { return in[std::min(k, in.size() - 1)]; };
  while (true) {
    r.push_back(at(i));
    if (static_cast<int>(r.size()) == out) break;
    ++i;
    p += 100000;
    a += s;
    if (a < p) {
      a += s;
      r.push_back(avg(at(i - 1), at(i)));
      if (static_cast<int>(r.size()) == out) break;
    }
  }
  return r;
}

// Each element followed by its average with the next one (the last by itself).
template <class T, class F>
std::vector<T> DoubleAfter(const std::vector<T>& in, F avg) {
  std::vector<T> r;
  for (size_t i = 0; i < in.size(); ++i) {
    r.push_back(in[i]);
    r.push_back(avg(in[i], in[std::min(i + 1, in.size() - 1)]));
  }
  return r;
}

// Each element preceded by its average with the previous one (the first by itself).
template <class T, class F>
std::vector<T> DoubleBefore(const std::vector<T>& in, F avg) {
  std::vector<T> r;
  for (size_t i = 0; i < in.size(); ++i) {
    r.push_back(avg(in[i], in[i > 0 ? i - 1 : 0]));
    r.push_back(in[i]);
  }
  return r;
}

Line HEnlarge(const Line& in, int out) {
  Line row = in;
  for (int f = out / static_cast<int>(in.size()); f > 1; f /= 2) row = DoubleAfter(row, Avg);
  if (static_cast<int>(row.size()) == out && row.size() != in.size()) return row;
  return Fraction(row, out, Avg);
}

std::vector<Line> Lines(const QImg& img) {
  std::vector<Line> lines(img.height, Line(img.width, Px(3)));
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x)
      for (int c = 0; c < 3; ++c) lines[y][x][c] = img.pixels[(y * img.width + x) * 3 + c];
  return lines;
}

// The whole resample, step by step as described, on plain vectors.
std::vector<Line> ReferenceResample(const QImg& src, int w, int h) {
  std::vector<Line> rows = Lines(src);
  if (h < src.height) {
    std::vector<Line> v;
    for (const auto& g : VGroups(src.height, h)) v.push_back(Mean(rows, g));
    rows = v;
  }
  for (Line& r : rows) {
    if (w < src.width) {
      Line o;
      for (const auto& g : HGroups(src.width, w)) {
        Px sum(3, 0);
        for (int m : g)
          for (int c = 0; c < 3; ++c) sum[c] += r[m][c];
        for (int c = 0; c < 3; ++c) sum[c] /= static_cast<int>(g.size());
        o.push_back(sum);
      }
      r = o;
    } else {
      r = HEnlarge(r, w);
    }
  }
  if (h > src.height) {
    auto avg = [](const Line& a, const Line& b) {
      Line r(a.size());
      for (size_t x = 0; x < a.size(); ++x) r[x] = Avg(a[x], b[x]);
      return r;
    };
    bool at_top = true;
    for (int f = h / src.height; f > 1; f /= 2) {
      rows = at_top ? DoubleBefore(rows, avg) : DoubleAfter(rows, avg);
      at_top = !at_top;
    }
    if (static_cast<int>(rows.size()) < h) {
      if (at_top) {  // travels upwards from the bottom
        std::reverse(rows.begin(), rows.end());
        rows = Fraction(rows, h, avg);
        std::reverse(rows.begin(), rows.end());
      } else {
        rows = Fraction(rows, h, avg);
      }
    }
  }
  return rows;
}

void ExpectResample(int sw, int sh, int w, int h, uint32_t seed) {
  QImg src = Random(sw, sh, 24, seed);
  QImg dst{};
  ImgResample(&src, &dst, w, h);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  ASSERT_EQ(dst.width, w);
  ASSERT_EQ(dst.height, h);
  ASSERT_EQ(dst.bits, 24);
  EXPECT_EQ(Lines(dst), ReferenceResample(src, w, h))
      << sw << "x" << sh << " -> " << w << "x" << h;
  ImgFree(&src);
  ImgFree(&dst);
}

std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
  return std::vector<uint8_t>(v.begin(), v.end());
}

TEST_F(ImageTest, ResizePicksPixels) {
  QImg a{}, b{};
  std::vector<uint8_t> px(16);
  for (int i = 0; i < 16; ++i) px[i] = static_cast<uint8_t>(i);
  RawToQimg(&a, px.data(), nullptr, 4, 4, 8);
  a.palette[7] = 99;
  ImgResize(&a, &b, 8, 8);
  EXPECT_EQ(b.bits, 8);
  EXPECT_EQ(b.palette[7], 99);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(b.pixels[y * 8 + x], (y / 2) * 4 + x / 2);
  ImgResize(&b, &b, 4, 4);  // in place: built aside and exchanged
  EXPECT_EQ(Pixels(b), px);
  EXPECT_EQ(MemCount(), 2);
  Try([&] { ImgResize(&a, nullptr, 2, 2); });  // needs somewhere to put the result
  EXPECT_EQ(ErrGroup(), 7);
  EXPECT_EQ(ErrCode(), 6);

  const uint8_t row9[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  RawToQimg(&a, row9, nullptr, 9, 1, 8);
  ImgResize(&a, &b, 6, 1);
  EXPECT_EQ(Pixels(b), Bytes({0, 2, 4, 5, 7, 8}));
  ImgResize(&a, &b, 3, 1);
  EXPECT_EQ(Pixels(b), Bytes({0, 3, 6}));
  RawToQimg(&a, row9, nullptr, 3, 1, 8);
  ImgResize(&a, &b, 2, 1);
  EXPECT_EQ(Pixels(b), Bytes({0, 2}));
  // Rows: shrinking rounds the source row up.
  RawToQimg(&a, row9, nullptr, 1, 9, 8);
  ImgResize(&a, &b, 1, 4);
  EXPECT_EQ(Pixels(b), Bytes({0, 3, 5, 7}));

  // Other depths become 24-bit.
  QImg c = Random(5, 3, 16, 11);
  ImgResize(&c, &b, 5, 3);
  QImg ref{};
  ImgConvBpp(&c, &ref, 24);
  EXPECT_EQ(Pixels(b), Pixels(ref));
  for (QImg* q : {&a, &b, &c, &ref}) ImgFree(q);
}

TEST_F(ImageTest, ResampleKnownCases) {
  const uint8_t pq[6] = {10, 20, 30, 21, 41, 61};
  QImg a{}, b{};
  RawToQimg(&a, pq, nullptr, 2, 1, 24);
  ImgResample(&a, &b, 4, 1);
  EXPECT_EQ(Pixels(b), Bytes({10, 20, 30, 15, 30, 45, 21, 41, 61, 21, 41, 61}));
  const uint8_t four[12] = {0, 0, 0, 3, 5, 7, 100, 100, 100, 201, 255, 0};
  RawToQimg(&a, four, nullptr, 4, 1, 24);
  ImgResample(&a, &b, 2, 1);
  EXPECT_EQ(Pixels(b), Bytes({1, 2, 3, 150, 177, 50}));
  // Same size: a copy at 24 bits; 8-bit sources go through their palette.
  QImg p = Random(6, 5, 8, 12);
  for (int i = 0; i < 768; ++i) p.palette[i] = static_cast<uint8_t>(i);
  QImg full{};
  ImgConvBpp(&p, &full, 24);
  ImgResample(&p, &p, 6, 5);
  EXPECT_EQ(p.bits, 24);
  EXPECT_EQ(Pixels(p), Pixels(full));
  for (QImg* q : {&a, &b, &p, &full}) ImgFree(q);
}

TEST_F(ImageTest, ResampleMatchesReference) {
  // Shrinks, including groups of more than 255 pixels or rows.
  ExpectResample(19, 17, 6, 5, 1);
  ExpectResample(64, 48, 21, 16, 2);
  ExpectResample(9, 7, 6, 2, 3);
  ExpectResample(600, 3, 2, 3, 4);
  ExpectResample(3, 700, 3, 2, 5);
  // Enlargements by whole and fractional factors, and mixed directions.
  ExpectResample(3, 3, 7, 13, 6);
  ExpectResample(5, 4, 20, 16, 7);
  ExpectResample(4, 3, 5, 25, 8);
  ExpectResample(2, 5, 17, 37, 9);
  ExpectResample(1, 1, 9, 9, 10);
  ExpectResample(13, 4, 5, 11, 11);
  ExpectResample(5, 20, 12, 7, 12);
}

TEST_F(ImageTest, InsertAndSprite) {
  QImg big = Random(100, 100, 24, 20), small = Random(10, 10, 24, 21);
  const std::vector<uint8_t> before = Pixels(big);
  ImgInsert(&small, &big, 95, 95);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x)
      for (int c = 0; c < 3; ++c) {
        const int i = (y * 100 + x) * 3 + c;
        const int want = (x >= 95 && y >= 95) ? small.pixels[((y - 95) * 10 + x - 95) * 3 + c]
                                              : before[i];
        ASSERT_EQ(big.pixels[i], want) << x << "," << y;
      }
  const std::vector<uint8_t> now = Pixels(big);
  ImgInsert(&small, &big, 100, 0);
  ImgInsert(&big, &big, 0, 0);
  EXPECT_TRUE(ErrNone());
  Try([&] { ImgInsert(&small, &big, -1, 5); });
  EXPECT_EQ(ErrGroup(), 4);
  EXPECT_EQ(ErrCode(), 1);
  EXPECT_EQ(Pixels(big), now);

  // 8-bit into 24-bit: the source is converted; 24-bit into 8-bit raises the destination.
  QImg p = Random(2, 2, 8, 22), full{};
  ImgConvBpp(&p, &full, 24);
  ImgInsert(&p, &big, 0, 0);
  EXPECT_EQ(big.bits, 24);
  EXPECT_EQ(0, std::memcmp(big.pixels, full.pixels, 6));
  QImg q = Random(4, 4, 8, 23);
  ImgInsert(&small, &q, 1, 1);
  EXPECT_EQ(q.bits, 24);
  EXPECT_EQ(0, std::memcmp(q.pixels + 15, small.pixels, 9));

  // Sprite: transparent pixels leave the destination.
  const uint8_t spr[6] = {0, 0, 0, 7, 8, 9};
  uint8_t host[3 * 3] = {1, 1, 1, 2, 2, 2, 3, 3, 3};
  QImg s{}, ext{};
  RawToQimg(&s, spr, nullptr, 2, 1, 24);
  ext.pixels = host;  // the host's own memory keeps its content
  ext.external = 1;
  ImgSetDims(&ext, 3, 1, 24);
  ImgSprite(&s, &ext, 1, 0, 0);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  EXPECT_EQ(ext.pixels, host);
  EXPECT_EQ(std::vector<uint8_t>(host, host + 9), Bytes({1, 1, 1, 2, 2, 2, 7, 8, 9}));
  // A 24-bit sprite makes an 8-bit destination 24-bit.
  QImg d8 = Random(3, 1, 8, 24);
  ImgSprite(&s, &d8, 0, 0, 0x090807);
  EXPECT_EQ(d8.bits, 24);
  EXPECT_EQ(0, std::memcmp(d8.pixels, spr, 3));
  // The other way builds an optimised palette for the destination.
  QImg s8 = Random(2, 2, 8, 25);
  ImgSprite(&s8, &big, 0, 0, 0);
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(big.bits, 8);
  for (QImg* r : {&big, &small, &p, &full, &q, &s, &ext, &d8, &s8}) ImgFree(r);
}

}  // namespace
