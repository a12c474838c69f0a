// Exact file layouts of the writers, the decoders' handling of line ends,
// deltas, origins and palettes, the info operations and the error answers.
#include <cstring>

#include "formats/still/bmp.h"
#include "formats/still/pcx.h"
#include "formats/still/tga.h"
#include "still_test_util.h"

using namespace vek;
using namespace still_test;

namespace {

using FormatTest = StillTest;

template <class F>
bool Ok(F&& f) {
  MonitoredBoundary("Test.Run", f);
  return ErrNone();
}

void Make(QImg& img, int32_t w, int32_t h, int32_t bits, const Bytes& px) {
  _imgalloc_(&img, w, h, bits, 1, "Test.Make.img");
  ASSERT_EQ(static_cast<size_t>(img.size), px.size());
  std::memcpy(img.pixels, px.data(), px.size());
}

uint32_t Le16(const Bytes& d, size_t o) { return d[o] | (d[o + 1] << 8); }
uint32_t Le32(const Bytes& d, size_t o) { return Le16(d, o) | (Le16(d, o + 2) << 16); }

Bytes TgaHeader(uint8_t type, uint16_t w, uint16_t h, uint8_t depth, uint8_t desc) {
  Bytes b(18, 0);
  b[2] = type;
  b[12] = static_cast<uint8_t>(w);
  b[13] = static_cast<uint8_t>(w >> 8);
  b[14] = static_cast<uint8_t>(h);
  b[15] = static_cast<uint8_t>(h >> 8);
  b[16] = depth;
  b[17] = desc;
  return b;
}

Bytes BmpHeader(int32_t w, int32_t h, uint16_t bits, uint32_t compression, uint32_t palette_bytes) {
  Bytes b(54, 0);
  b[0] = 'B';
  b[1] = 'M';
  const uint32_t off = 54 + palette_bytes;
  std::memcpy(&b[10], &off, 4);
  const uint32_t ih = 40;
  std::memcpy(&b[14], &ih, 4);
  std::memcpy(&b[18], &w, 4);
  std::memcpy(&b[22], &h, 4);
  b[26] = 1;
  std::memcpy(&b[28], &bits, 2);
  std::memcpy(&b[30], &compression, 4);
  return b;
}

TEST_F(FormatTest, BmpWriterPadsRowsAndCountsThePadding) {
  // 3 pixels of 24 bits: 9 bytes + 3 pad bytes per row, rows bottom-up.
  Img img;
  Make(img.r, 3, 2, 24, {1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 14, 15, 16, 17, 18, 19});
  const std::string f = Temp("pad.bmp");
  ASSERT_TRUE(Ok([&] { DIBSave_(f, img.r); }));
  const Bytes d = ReadAll(f);
  ASSERT_EQ(d.size(), 54u + 24);
  EXPECT_EQ(Le32(d, 2), 78u);
  EXPECT_EQ(Le32(d, 10), 54u);
  EXPECT_EQ(Le32(d, 14), 40u);
  EXPECT_EQ(Le32(d, 22), 2u);
  EXPECT_EQ(Le16(d, 28), 24u);
  EXPECT_EQ(Le32(d, 34), 24u);
  EXPECT_EQ(Le32(d, 46), 0u);
  const Bytes rows(d.begin() + 54, d.end());
  EXPECT_EQ(rows, (Bytes{11, 12, 13, 14, 15, 16, 17, 18, 19, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0}));

  Img back;
  ASSERT_TRUE(Ok([&] { DIBLoad_(f, back.r); }));
  EXPECT_EQ(back->bits, 24);
  EXPECT_EQ(0, std::memcmp(back->pixels, img->pixels, 18));
}

// 15-bit images are stored with depth 16 and read back as 15 bits; the
// unused top bit of a stored pixel does not reach the record.
TEST_F(FormatTest, BmpFifteenBitLayout) {
  const std::string f = Temp("p15.bmp");
  Img w15;
  Make(w15.r, 1, 1, 15, {0x19, 0x06});
  ASSERT_TRUE(Ok([&] { DIBSave_(f, w15.r); }));
  Bytes d = ReadAll(f);
  EXPECT_EQ(Le16(d, 28), 16u);
  d[55] |= 0x80;
  WriteAll(f, d);
  Img back;
  ASSERT_TRUE(Ok([&] { DIBLoad_(f, back.r); }));
  EXPECT_EQ(back->bits, 15);
  EXPECT_EQ(back->bytespp, 2);
  EXPECT_EQ(back->pixels[0], 0x19);
  EXPECT_EQ(back->pixels[1], 0x06);
}

TEST_F(FormatTest, BmpRle8LineEndsDeltaAndEndOfBitmap) {
  // 4 x 3, bottom-up. Line 0: run of 2 then end of line (the rest stays 0);
  // line 1: delta (1, 1) skips to line 2, x 1; literal of 3 (odd: pad
  // byte); end of bitmap.
  Bytes f = BmpHeader(4, 3, 8, 1, 1024);
  Bytes pal(1024, 0);
  f.insert(f.end(), pal.begin(), pal.end());
  const Bytes data{2, 5, 0, 0, 0, 2, 1, 1, 0, 3, 7, 8, 9, 0, 0, 1};
  f.insert(f.end(), data.begin(), data.end());
  const std::string name = Temp("rle8.bmp");
  WriteAll(name, f);
  Img img;
  ASSERT_TRUE(Ok([&] { DIBLoad_(name, img.r); })) << ErrMsgLast();
  const Bytes got(img->pixels, img->pixels + 12);
  EXPECT_EQ(got, (Bytes{0, 7, 8, 9, /**/ 0, 0, 0, 0, /**/ 5, 5, 0, 0}));

  QffInfo info{};
  ASSERT_TRUE(Ok([&] { DIBInfo(name, info); }));
  EXPECT_STREQ(info.compression, "Run Length Encoding (RLE)");
  EXPECT_EQ(info.width, 4);
  EXPECT_EQ(info.height, 3);
  EXPECT_EQ(info.bits, 8);
  EXPECT_EQ(info.frames, 1);
  EXPECT_EQ(info.size, static_cast<int64_t>(f.size()));
  EXPECT_NE(info.imagesValid, 0);
  EXPECT_NE(info.imagesSupported, 0);

  // Data that ends inside a literal is a decoding failure.
  f.resize(f.size() - 5);
  WriteAll(name, f);
  EXPECT_FALSE(Ok([&] { DIBLoad_(name, img.r); }));
  EXPECT_EQ(ErrGroup(), 7);
  EXPECT_EQ(ErrCode(), 3);
  EXPECT_EQ(ErrMsgLast(), "Cannot decompress image data.");
}

TEST_F(FormatTest, BmpUnsupportedAndInvalid) {
  const std::string name = Temp("bad.bmp");
  Bytes f = BmpHeader(2, 2, 2, 0, 0);  // 2 bits per pixel
  f.resize(f.size() + 8, 0);
  WriteAll(name, f);
  Img img;
  EXPECT_FALSE(Ok([&] { DIBLoad_(name, img.r); }));
  EXPECT_EQ(ErrMsgLast(), "Image format not supported.");
  QffInfo info{};
  ASSERT_TRUE(Ok([&] { DIBInfo(name, info); }));
  EXPECT_EQ(info.imagesSupported, 0);
  EXPECT_NE(info.imagesValid, 0);

  f[1] = 'X';
  WriteAll(name, f);
  EXPECT_FALSE(Ok([&] { DIBLoad_(name, img.r); }));
  EXPECT_EQ(ErrMsgLast(), "Invalid image format.");
  EXPECT_FALSE(Ok([&] { DIBInfo(name, info); }));
  EXPECT_EQ(ErrCode(), 2);

  EXPECT_FALSE(Ok([&] { DIBLoad_(Temp("missing.bmp"), img.r); }));
  EXPECT_EQ(ErrGroup(), 6);
  EXPECT_EQ(img->pixels, nullptr);
}

TEST_F(FormatTest, TgaRightToLeftAndFifteenBits) {
  const Bytes px{1, 2, 3, 4, 5, 6};
  // Right-to-left files are mirrored into place.
  Bytes f = TgaHeader(2, 2, 1, 24, 0x30);
  f.insert(f.end(), px.begin(), px.end());
  WriteAll(Temp("rtl.tga"), f);
  Img rtl;
  ASSERT_TRUE(Ok([&] { TGALoad_(Temp("rtl.tga"), rtl.r); }));
  EXPECT_EQ(Bytes(rtl->pixels, rtl->pixels + 6), (Bytes{4, 5, 6, 1, 2, 3}));

  // 16-bit pixels load as 15 bits with the attribute bit cleared; a 15-bit
  // image is written with depth 16.
  Bytes g = TgaHeader(2, 1, 1, 16, 0);
  g.push_back(0x19);
  g.push_back(0x86);
  WriteAll(Temp("d16.tga"), g);
  Img w15;
  ASSERT_TRUE(Ok([&] { TGALoad_(Temp("d16.tga"), w15.r); }));
  EXPECT_EQ(w15->bits, 15);
  EXPECT_EQ(w15->pixels[1], 0x06);
  ASSERT_TRUE(Ok([&] { TGASave_(Temp("d16b.tga"), w15.r); }));
  EXPECT_EQ(ReadAll(Temp("d16b.tga"))[16], 16);

  QffInfo info{};
  ASSERT_TRUE(Ok([&] { TGAInfo(Temp("d16.tga"), info); }));
  EXPECT_EQ(info.bits, 15);
  EXPECT_EQ(info.bytespp, 2);
  EXPECT_EQ(info.compression[0], '\0');  // the dispatcher fills in the default
}

TEST_F(FormatTest, TgaRunLengthPackets) {
  // Row: a a a b c d d; 130 x e (a full run and a run of 2).
  Bytes px{1, 1, 1, 2, 3, 4, 4};
  Img img;
  Make(img.r, 7, 1, 8, px);
  ASSERT_EQ(TGASetRLE(kUndefined), 1);
  const std::string name = Temp("rle.tga");
  ASSERT_TRUE(Ok([&] { TGASave_(name, img.r); }));
  Bytes d = ReadAll(name);
  EXPECT_EQ(d[1], 1);
  EXPECT_EQ(d[2], 9);
  EXPECT_EQ(Le16(d, 5), 256u);
  EXPECT_EQ(d[7], 24);
  EXPECT_EQ(d[17], 0);
  EXPECT_EQ(Bytes(d.begin() + 18 + 768, d.end()), (Bytes{0x82, 1, 0x01, 2, 3, 0x81, 4}));

  Bytes wide(130, 9);
  Img w;
  Make(w.r, 130, 1, 8, wide);
  ASSERT_TRUE(Ok([&] { TGASave_(name, w.r); }));
  d = ReadAll(name);
  EXPECT_EQ(Bytes(d.begin() + 18 + 768, d.end()), (Bytes{0xFF, 9, 0x81, 9}));

  // 130 distinct 24-bit pixels: a literal of 128 and one of 2.
  Bytes lit(130 * 3);
  for (size_t i = 0; i < lit.size(); ++i) lit[i] = static_cast<uint8_t>(i * 7 + i / 3);
  Img l;
  Make(l.r, 130, 1, 24, lit);
  ASSERT_TRUE(Ok([&] { TGASave_(name, l.r); }));
  d = ReadAll(name);
  ASSERT_EQ(d.size(), 18u + 1 + 128 * 3 + 1 + 2 * 3);
  EXPECT_EQ(d[2], 10);
  EXPECT_EQ(d[18], 127);
  EXPECT_EQ(d[18 + 1 + 384], 1);
  Img back;
  ASSERT_TRUE(Ok([&] { TGALoad_(name, back.r); }));
  EXPECT_EQ(Bytes(back->pixels, back->pixels + lit.size()), lit);

  EXPECT_EQ(TGASetRLE(0), 0);
  ASSERT_TRUE(Ok([&] { TGASave_(name, l.r); }));
  EXPECT_EQ(ReadAll(name)[2], 2);
  EXPECT_EQ(TGASetRLE(5), 1);
}

TEST_F(FormatTest, TgaColourMapsAndErrors) {
  // A map of 16-bit entries starting at index 254 with 4 entries: only two fit.
  Bytes f = TgaHeader(1, 2, 1, 8, 0x20);
  f[1] = 1;
  f[3] = 254;
  f[5] = 4;
  f[7] = 16;
  for (int i = 0; i < 4; ++i) {
    f.push_back(static_cast<uint8_t>(0x1F));  // blue 31
    f.push_back(static_cast<uint8_t>(0x7C));  // red 31
  }
  f.push_back(254);
  f.push_back(255);
  const std::string name = Temp("map.tga");
  WriteAll(name, f);
  Img img;
  ASSERT_TRUE(Ok([&] { TGALoad_(name, img.r); }));
  EXPECT_EQ(img->palette[3 * 254], 0xF8);
  EXPECT_EQ(img->palette[3 * 255 + 2], 0xF8);
  EXPECT_EQ(img->palette[3 * 255 + 1], 0);
  EXPECT_EQ(img->pixels[1], 255);

  f[2] = 5;
  WriteAll(name, f);
  EXPECT_FALSE(Ok([&] { TGALoad_(name, img.r); }));
  EXPECT_EQ(ErrMsgLast(), "Invalid image format.");
  f[2] = 2;
  f[16] = 12;
  WriteAll(name, f);
  EXPECT_FALSE(Ok([&] { TGALoad_(name, img.r); }));
  EXPECT_EQ(ErrMsgLast(), "Image format not supported.");

  // Run-length data that stops short of the image.
  Bytes r = TgaHeader(10, 4, 1, 24, 0);
  const Bytes packet{0x81, 1, 2, 3};
  r.insert(r.end(), packet.begin(), packet.end());
  WriteAll(name, r);
  EXPECT_FALSE(Ok([&] { TGALoad_(name, img.r); }));
  EXPECT_EQ(ErrMsgLast(), "Cannot decompress image data.");
}

TEST_F(FormatTest, PcxRunsPaletteAndPlanes) {
  // 64 equal bytes: a run of 63 and a literal; bytes of 192 or more alone: (193, b).
  Bytes px(64, 7);
  px.push_back(200);
  px.push_back(200);
  px.push_back(200);
  px.push_back(5);
  Img img;
  Make(img.r, 68, 1, 8, Bytes(px.begin(), px.end()));
  img->pixels[65] = 1;  // 200, 1, 200, 5
  img->pixels[66] = 200;
  for (int i = 0; i < 256; ++i) std::memset(img->palette + 3 * i, i, 3);
  img->palette[3] = 10;  // entry 1: blue 10, green 1, red 1
  const std::string name = Temp("runs.pcx");
  ASSERT_TRUE(Ok([&] { PCXSave_(name, img.r); }));
  Bytes d = ReadAll(name);
  EXPECT_EQ((Bytes{d[0], d[1], d[2], d[3], d[65]}), (Bytes{10, 5, 1, 8, 1}));
  EXPECT_EQ(Le16(d, 8), 67u);
  EXPECT_EQ(Le16(d, 10), 0u);
  EXPECT_EQ(Le16(d, 66), 68u);
  const Bytes body(d.begin() + 128, d.end() - 769);
  EXPECT_EQ(body, (Bytes{255, 7, 7, 193, 200, 1, 193, 200, 5}));
  ASSERT_EQ(d[d.size() - 769], 12);
  EXPECT_EQ((Bytes{d[d.size() - 765], d[d.size() - 764], d[d.size() - 763]}), (Bytes{1, 1, 10}));

  Img back;
  ASSERT_TRUE(Ok([&] { PCXLoad_(name, back.r); }));
  EXPECT_EQ(0, std::memcmp(back->pixels, img->pixels, 68));
  EXPECT_EQ(0, std::memcmp(back->palette, img->palette, 768));

  QffInfo info{};
  ASSERT_TRUE(Ok([&] { PCXInfo(name, info); }));
  EXPECT_STREQ(info.compression, "Run Length Encoding (RLE)");
  EXPECT_EQ(info.bits, 8);
  EXPECT_EQ(info.width, 68);

  d[2] = 0;  // no encoding
  WriteAll(name, d);
  EXPECT_FALSE(Ok([&] { PCXLoad_(name, back.r); }));
  EXPECT_EQ(ErrMsgLast(), "Image format not supported.");
  d[0] = 11;
  WriteAll(name, d);
  EXPECT_FALSE(Ok([&] { PCXLoad_(name, back.r); }));
  EXPECT_EQ(ErrMsgLast(), "Invalid image format.");
}

TEST_F(FormatTest, SaveReplacesFilesAndRejectsEmptyRecords) {
  const std::string name = Temp("replace.tga");
  WriteAll(name, Bytes(5000, 0xEE));
  Img img;
  Make(img.r, 1, 1, 24, {1, 2, 3});
  TGASetRLE(0);
  ASSERT_TRUE(Ok([&] { TGASave_(name, img.r); }));
  TGASetRLE(1);
  EXPECT_EQ(ReadAll(name).size(), 21u);

  QImg empty{};
  for (auto save : {DIBSave_, TGASave_, PCXSave_}) {
    EXPECT_FALSE(Ok([&] { save(name, empty); }));
    EXPECT_EQ(ErrMsgLast(), "Image data corrupted.");
  }
  Img big;
  Make(big.r, 70000, 1, 8, Bytes(70000, 0));
  EXPECT_FALSE(Ok([&] { TGASave_(name, big.r); }));
  EXPECT_EQ(ErrMsgLast(), "Image format not supported.");
}

}  // namespace
