#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/geometry.h"
#include "image/image.h"
#include "image_test_util.h"

using namespace vek;
using namespace vek::test;

namespace {

TEST_F(ImageTest, AllocationSetsFieldsAndLabel) {
  QImg a{};
  a.palette[10] = 77;
  ImgAlloc(&a, 5, 3, 15, 42, "Test.Alloc.a");
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(a.size, 30);
  EXPECT_EQ(a.bytespp, 2);
  EXPECT_EQ(a.bits, 15);
  EXPECT_EQ(a.external, 0);
  EXPECT_EQ(a.palette[10], 77);  // the palette survives
  EXPECT_STREQ(MemLabel(a.pixels), "C:(ImgAlloc):Test.Alloc.a:42");
  EXPECT_TRUE(ImgValid(&a));
  ImgFree(&a);
  EXPECT_FALSE(ImgValid(&a));
  EXPECT_EQ(a.width, 0);
  EXPECT_EQ(a.palette[10], 0);
}

TEST_F(ImageTest, HostileSizesAreRefusedWithoutAllocating) {
  struct Case {
    int32_t w, h, bits, group, code;
  } cases[] = {
      {0, 10, 24, 4, 1},          {10, -1, 24, 4, 1},        {-5, -5, 8, 4, 1},
      {65536, 65536, 8, 4, 1},    {40000, 40000, 32, 4, 1},  {10, 10, 12, 7, 1},
      {10, 10, 0, 7, 1},          {1 << 30, 2, 8, 4, 1},
  };
  for (const Case& c : cases) {
    QImg a{};
    Try([&] { ImgAlloc(&a, c.w, c.h, c.bits, 1, "Test.Hostile.a"); });
    EXPECT_EQ(ErrGroup(), c.group) << c.w << "x" << c.h << "x" << c.bits;
    EXPECT_EQ(ErrCode(), c.code);
    EXPECT_EQ(a.pixels, nullptr);
    EXPECT_EQ(MemCount(), 0);
  }
  // Operations asked for such sizes fail the same way and keep their source.
  QImg src = Random(4, 4, 24, 1);
  const std::vector<uint8_t> before = Pixels(src);
  Try([&] { ImgResize(&src, &src, 0, 10); });
  EXPECT_EQ(ErrGroup(), 4);
  Try([&] { ImgResample(&src, &src, 100000, 100000); });
  EXPECT_EQ(ErrGroup(), 4);
  EXPECT_EQ(Pixels(src), before);
  EXPECT_EQ(MemCount(), 1);
  ImgFree(&src);
}

TEST_F(ImageTest, CorruptRecordsAreReportedNotRead) {
  QImg a = Random(4, 4, 24, 2);
  QImg b{};
  a.size = 1 << 20;  // claims more than the buffer holds
  Try([&] { ImgCopy(&a, &b); });
  EXPECT_EQ(ErrGroup(), 7);
  EXPECT_EQ(ErrCode(), 9);
  a.size = 48;
  a.bytespp = 4;  // disagrees with bits
  Try([&] { ImgConvBpp(&a, &b, 32); });
  EXPECT_EQ(ErrCode(), 9);
  a.bytespp = 3;
  QImg empty{};
  empty.width = empty.height = 4;
  Try([&] { ImgFlipV(&empty, &b); });  // no pixels at all
  EXPECT_EQ(ErrCode(), 9);
  EXPECT_EQ(b.pixels, nullptr);
  ImgFree(&a);
}

TEST_F(ImageTest, CopyAndExchange) {
  QImg a = Random(3, 2, 8, 3);
  for (int i = 0; i < 768; ++i) a.palette[i] = static_cast<uint8_t>(i * 7);
  const std::vector<uint8_t> px = Pixels(a);
  ImgCopy(&a, &a);
  EXPECT_EQ(Pixels(a), px);
  QImg b{};
  ImgCopy(&a, &b);
  EXPECT_EQ(Pixels(b), px);
  EXPECT_EQ(std::memcmp(a.palette, b.palette, 768), 0);
  EXPECT_NE(a.pixels, b.pixels);

  QImg c = Random(7, 7, 32, 4);
  const std::vector<uint8_t> pc = Pixels(c);
  ImgXchg(&a, &c);
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(Pixels(a), pc);
  EXPECT_EQ(Pixels(c), px);
  // Each record's buffer is registered under the record now holding it.
  ImgFree(&a);
  ImgFree(&c);
  EXPECT_EQ(MemCount(), 1);

  uint8_t host[12] = {};
  QImg ext{};
  ext.pixels = host;
  ext.external = 1;
  ImgSetDims(&ext, 2, 2, 24);
  EXPECT_EQ(ext.size, 12);
  Try([&] { ImgXchg(&b, &ext); });
  EXPECT_EQ(ErrGroup(), 5);
  EXPECT_EQ(ErrCode(), 2);
  EXPECT_EQ(ext.pixels, host);
  EXPECT_EQ(Pixels(b), px);
  ImgFree(&ext);  // leaves the host's memory alone
  EXPECT_EQ(ext.pixels, nullptr);
  ImgFree(&b);
}

TEST_F(ImageTest, RawBuffers) {
  const uint8_t raw[2 * 3 + 2] = {1, 2, 3, 4, 5, 6, 9, 9};
  uint8_t pal[768];
  for (int i = 0; i < 768; ++i) pal[i] = static_cast<uint8_t>(255 - i);
  QImg a{};
  RawToQimg(&a, raw, pal, 2, 3, 8);
  EXPECT_EQ(Pixels(a), std::vector<uint8_t>(raw, raw + 6));
  EXPECT_EQ(a.palette[5], 250);
  // Bottom-up rows 4 bytes apart (two bytes of padding each).
  MakeQimg(&a, raw, 2, 2, 8, 4, 0);
  EXPECT_EQ(Pixels(a), (std::vector<uint8_t>{5, 6, 1, 2}));
  Try([&] { MakeQimg(&a, raw, 2, 2, 8, 1, 1); });  // rows would overlap
  EXPECT_EQ(ErrGroup(), 4);
  Try([&] { RawToQimg(&a, nullptr, nullptr, 2, 2, 8); });
  EXPECT_EQ(ErrGroup(), 7);
  ImgFree(&a);
}

TEST_F(ImageTest, DepthRoundTrips) {
  QImg src = Random(37, 11, 24, 5);
  QImg x{}, y{};
  ImgConvBpp(&src, &x, 32);
  for (int i = 0; i < 37 * 11; ++i) EXPECT_EQ(x.pixels[4 * i + 3], 0);
  ImgConvBpp(&x, &y, 24);
  EXPECT_EQ(Pixels(y), Pixels(src));

  ImgConvBpp(&src, &x, 16);
  ImgConvBpp(&x, &y, 24);
  ASSERT_EQ(y.size, src.size);
  for (int i = 0; i < src.size; i += 3) {
    EXPECT_EQ(y.pixels[i], src.pixels[i] & 0xF8);
    EXPECT_EQ(y.pixels[i + 1], src.pixels[i + 1] & 0xFC);
    EXPECT_EQ(y.pixels[i + 2], src.pixels[i + 2] & 0xF8);
  }
  // 16 -> 15 -> 16 loses only green's lowest bit.
  QImg w15{}, w16{};
  ImgConvBpp(&x, &w15, 15);
  ImgConvBpp(&w15, &w16, 16);
  for (int i = 0; i < x.size; i += 2) {
    const int a = x.pixels[i] | x.pixels[i + 1] << 8;
    const int b = w16.pixels[i] | w16.pixels[i + 1] << 8;
    EXPECT_EQ(b, a & ~0x20);
  }
  // Deeper targets of 15/16-bit images follow the 24-bit rules.
  QImg via{};
  ImgConvBpp(&w15, &y, 32);
  ImgConvBpp(&w15, &via, 24);
  ImgConvBpp(&via, &via, 32);
  EXPECT_EQ(Pixels(y), Pixels(via));
  for (QImg* q : {&src, &x, &y, &w15, &w16, &via}) ImgFree(q);
}

TEST_F(ImageTest, DepthKnownValuesAndPalettes) {
  const uint8_t px[3] = {0xFF, 0x80, 0x08};
  QImg a{}, b{};
  RawToQimg(&a, px, nullptr, 1, 1, 24);
  ImgConvBpp(&a, &a, 15);
  EXPECT_EQ(a.bits, 15);
  EXPECT_EQ(a.pixels[0] | a.pixels[1] << 8, 0x061F);  // red 1, green 16, blue 31
  ImgConvBpp(&a, &a, 24);
  EXPECT_EQ(Pixels(a), (std::vector<uint8_t>{0xF8, 0x80, 0x08}));
  EXPECT_EQ(MemCount(), 1);  // the in-place temporaries are gone

  // In place at the same depth: untouched and no error.
  const std::vector<uint8_t> same = Pixels(a);
  ImgConvBpp(&a, &a, 24);
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(Pixels(a), same);

  // 8-bit sources go through their palette.
  QImg p = Random(9, 4, 8, 6);
  for (int i = 0; i < 768; ++i) p.palette[i] = static_cast<uint8_t>(i * 13 + 5);
  QImg full{}, w16{}, ref16{};
  ImgConvBpp(&p, &full, 24);
  for (int i = 0; i < 36; ++i)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(full.pixels[3 * i + c], p.palette[3 * p.pixels[i] + c]);
  ImgConvBpp(&p, &w16, 16);
  ImgConvBpp(&full, &ref16, 16);
  EXPECT_EQ(Pixels(w16), Pixels(ref16));
  ImgConvBpp(&p, &b, 32);
  ImgConvBpp(&b, &b, 24);
  EXPECT_EQ(Pixels(b), Pixels(full));

  // Grey levels.
  const uint8_t rgb[6] = {10, 20, 31, 255, 255, 255};
  RawToQimg(&b, rgb, nullptr, 2, 1, 24);
  ImgConvBppEx(&b, &b, 8, 2);
  EXPECT_EQ(Pixels(b), (std::vector<uint8_t>{20, 255}));
  EXPECT_EQ(b.palette[3 * 200 + 1], 200);

  // Other modes build an optimised palette; 25 colours come back within the
  // optimiser's 6-bit cells, converted in place as well as into another record.
  auto close = [](const std::vector<uint8_t>& x, const std::vector<uint8_t>& y) {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i)
      if (std::abs(int(x[i]) - int(y[i])) > 3) return false;
    return true;
  };
  QImg keep = Random(5, 5, 24, 7);
  const std::vector<uint8_t> kp = Pixels(keep);
  const int held = MemCount();
  QImg eight{}, back{};
  ImgConvBpp(&keep, &eight, 8);
  EXPECT_EQ(eight.bits, 8);
  ImgConvBpp(&eight, &back, 24);
  EXPECT_TRUE(close(Pixels(back), kp));
  ImgConvBppEx(&keep, &keep, 8, 1);
  EXPECT_EQ(keep.bits, 8);
  ImgConvBpp(&keep, &keep, 24);
  EXPECT_TRUE(close(Pixels(keep), kp));
  ImgFree(&eight);
  ImgFree(&back);
  EXPECT_EQ(MemCount(), held);
  for (QImg* q : {&a, &b, &p, &full, &w16, &ref16, &keep}) ImgFree(q);
}

TEST_F(ImageTest, FlipSwapRemap) {
  QImg a = Random(3, 5, 32, 8);
  const std::vector<uint8_t> orig = Pixels(a);
  const int row = 12;
  ImgFlipV(&a, &a);
  for (int k = 0; k < 5; ++k)
    EXPECT_EQ(0, std::memcmp(a.pixels + row * k, orig.data() + row * (4 - k), row));
  QImg b{};
  ImgFlipV(&a, &b);
  EXPECT_EQ(Pixels(b), orig);
  EXPECT_EQ(b.bits, 32);

  // 16-bit images are swapped at 24 bits.
  QImg c{};
  const uint16_t word = (3 << 11) | (5 << 5) | 7;
  RawToQimg(&c, &word, nullptr, 1, 1, 16);
  ImgSwapRB(&c, &c);
  EXPECT_EQ(c.bits, 24);
  EXPECT_EQ(Pixels(c), (std::vector<uint8_t>{3 << 3, 5 << 2, 7 << 3}));

  // 8-bit images: only the palette changes; the indices reach the destination.
  QImg p = Random(4, 4, 8, 9);
  for (int i = 0; i < 768; ++i) p.palette[i] = static_cast<uint8_t>(i);
  QImg q{};
  ImgSwapRB(&p, &q);
  EXPECT_EQ(Pixels(q), Pixels(p));
  EXPECT_EQ(q.palette[0], 2);
  EXPECT_EQ(q.palette[2], 0);
  EXPECT_EQ(p.palette[0], 0);

  uint8_t table[768];
  for (int i = 0; i < 256; ++i) {
    table[i] = static_cast<uint8_t>(255 - i);    // red
    table[256 + i] = static_cast<uint8_t>(i / 2);  // green
    table[512 + i] = 1;                          // blue
  }
  const uint8_t px[3] = {100, 100, 100};
  RawToQimg(&c, px, nullptr, 1, 1, 24);
  ImgRemap(&c, &c, table);
  EXPECT_EQ(Pixels(c), (std::vector<uint8_t>{1, 50, 155}));
  for (QImg* r : {&a, &b, &c, &p, &q}) ImgFree(r);
}

}  // namespace
