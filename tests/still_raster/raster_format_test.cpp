// The stored layout of the SGI, Sun raster and PNM files, checked on small
// hand-made cases: packet boundaries of both run-length codes, header
// variants the readers must tell apart, and the exact text of PNM output.
#include <cstring>

#include "formats/file_info.h"
#include "formats/still/pnm.h"
#include "formats/still/sgi.h"
#include "formats/still/sun_raster.h"
#include "raster_test_util.h"

using namespace vek;
using namespace raster_test;

namespace {

using RasterFormat = StillTest;

Bytes Sgi(int storage, int bpc, int dim, int w, int h, int z) {
  Bytes b(512, 0);
  b[0] = 0x01, b[1] = 0xDA, b[2] = uint8_t(storage), b[3] = uint8_t(bpc);
  b[5] = uint8_t(dim), b[6] = uint8_t(w >> 8), b[7] = uint8_t(w), b[8] = uint8_t(h >> 8),
  b[9] = uint8_t(h), b[11] = uint8_t(z);
  return b;
}

QffInfo Info(void (*info)(const std::string&, QffInfo&), const std::string& file) {
  QffInfo fi{};
  MonitoredBoundary("Test.Info", [&] { info(file, fi); });
  EXPECT_TRUE(ErrNone()) << ErrMsgLast();
  return fi;
}

TEST_F(RasterFormat, SgiRunLengthPackets) {
  uint8_t out[1024];
  // 300 equal bytes: runs of 126, 126 and 48.
  Bytes same(300, 7);
  ASSERT_EQ(SGIEncodeRow(same.data(), 300, out), 7);
  EXPECT_EQ(Bytes(out, out + 7), (Bytes{126, 7, 126, 7, 48, 7, 0}));
  // 127 equal bytes: a run of 126 and a literal of one.
  ASSERT_EQ(SGIEncodeRow(same.data(), 127, out), 5);
  EXPECT_EQ(Bytes(out, out + 5), (Bytes{126, 7, 0x81, 7, 0}));
  // 126 different bytes: literals of 125 and 1.
  Bytes diff(126);
  for (int i = 0; i < 126; ++i) diff[i] = uint8_t(i);
  ASSERT_EQ(SGIEncodeRow(diff.data(), 126, out), 1 + 125 + 1 + 1 + 1);
  EXPECT_EQ(out[0], 0x80 + 125);
  EXPECT_EQ(out[126], 0x81);
  EXPECT_EQ(out[127], 125);
  // Both decode back, and a packet longer than the row stops at its end.
  uint8_t row[300 + 8];
  std::memset(row, 0xEE, sizeof row);
  const int64_t n = SGIEncodeRow(same.data(), 300, out);
  EXPECT_EQ(SGIDecodeRow(out, n, row, 200), 200);
  EXPECT_EQ(row[199], 7);
  EXPECT_EQ(row[200], 0xEE);
  // A literal packet cut short by the data ends the row.
  const uint8_t cut[] = {0x85, 1, 2};
  EXPECT_EQ(SGIDecodeRow(cut, 3, row, 10), 2);
}

TEST_F(RasterFormat, SgiHeaderVariants) {
  // Dimension 2 reads one channel whatever z says; storage 2 is refused;
  // 16-bit channels need twice the data; a wrong magic is no SGI file.
  const std::string file = Temp("hdr.sgi");
  Bytes b = Sgi(0, 1, 2, 4, 2, 3);
  for (int i = 0; i < 8; ++i) b.push_back(uint8_t(i * 10));
  WriteAll(file, b);
  Img img;
  EXPECT_EQ(TryLoad([&] { SGILoad(file, img.r); }), 0);
  EXPECT_EQ(img->bits, 8);
  // Bottom-up: the first stored row is the last image row.
  EXPECT_EQ(Bytes(img->pixels, img->pixels + 8), (Bytes{40, 50, 60, 70, 0, 10, 20, 30}));
  EXPECT_EQ(img->palette[3 * 200], 200);

  b[2] = 2;
  WriteAll(file, b);
  EXPECT_EQ(Info(SGIInfo, file).imagesSupported, 0);
  EXPECT_EQ(TryLoad([&] { SGILoad(file, img.r); }), Code(kGrpImage, kImgUnsupported));
  b[2] = 0, b[3] = 2;
  WriteAll(file, b);
  EXPECT_EQ(TryLoad([&] { SGILoad(file, img.r); }), Code(kGrpFile, kFileRead));
  b[3] = 3;
  WriteAll(file, b);
  EXPECT_EQ(TryLoad([&] { SGILoad(file, img.r); }), Code(kGrpImage, kImgUnsupported));
  b[1] = 0xDB;
  WriteAll(file, b);
  EXPECT_EQ(TryLoad([&] { SGILoad(file, img.r); }), Code(kGrpImage, kImgInvalid));

  // Two channels: grey and alpha; the grey is kept.
  b = Sgi(0, 1, 3, 2, 1, 2);
  for (uint8_t v : {11, 22, 200, 201}) b.push_back(v);
  WriteAll(file, b);
  EXPECT_EQ(TryLoad([&] { SGILoad(file, img.r); }), 0);
  EXPECT_EQ(img->bits, 8);
  EXPECT_EQ(Bytes(img->pixels, img->pixels + 2), (Bytes{11, 22}));
  std::remove(file.c_str());
}

TEST_F(RasterFormat, SgiWriterLayout) {
  // 2 x 2 pixels: verbatim data starts at 512, red plane first, bottom row first.
  Img img;
  _imgalloc_(&img.r, 2, 2, 24, 1, "Test.img");
  const uint8_t px[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // blue, green, red
  std::memcpy(img->pixels, px, 12);
  const std::string file = Temp("lay.sgi");
  SGISetCompression(0);
  MonitoredBoundary("Test.Save", [&] { SGISave(file, img.r); });
  SGISetCompression(1);
  ASSERT_TRUE(ErrNone());
  Bytes d = ReadAll(file);
  ASSERT_EQ(d.size(), 512u + 12u);
  EXPECT_EQ(Bytes(d.begin(), d.begin() + 12), (Bytes{0x01, 0xDA, 0, 1, 0, 3, 0, 2, 0, 2, 0, 3}));
  EXPECT_EQ(Bytes(d.begin() + 512, d.end()), (Bytes{9, 12, 3, 6, 8, 11, 2, 5, 7, 10, 1, 4}));
  EXPECT_STREQ(Info(SGIInfo, file).compression, "");

  // Run-length: offset and length tables, then rows; the reader agrees.
  MonitoredBoundary("Test.Save", [&] { SGISave(file, img.r); });
  d = ReadAll(file);
  const QffInfo fi = Info(SGIInfo, file);
  EXPECT_STREQ(fi.compression, "Run Length Encoding (RLE)");
  EXPECT_EQ(fi.bits, 24);
  auto be32 = [&](size_t o) { return uint32_t(d[o]) << 24 | d[o + 1] << 16 | d[o + 2] << 8 | d[o + 3]; };
  EXPECT_EQ(be32(512), 512u + 48u);        // red, bottom row
  EXPECT_EQ(be32(512 + 24), 4u);           // its length: literal of 2 + end
  EXPECT_EQ(Bytes(d.begin() + 560, d.begin() + 564), (Bytes{0x82, 9, 12, 0}));
  Img back;
  EXPECT_EQ(TryLoad([&] { SGILoad(file, back.r); }), 0);
  EXPECT_EQ(Bytes(back->pixels, back->pixels + 12), Bytes(px, px + 12));
  std::remove(file.c_str());
}

TEST_F(RasterFormat, SunRunLengthPackets) {
  uint8_t out[1024];
  const uint8_t esc[] = {1, 0x80, 2};
  ASSERT_EQ(RASEncodeRow(esc, 3, out), 4);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 0x80, 0, 2}));
  Bytes run(257, 9);
  ASSERT_EQ(RASEncodeRow(run.data(), 256, out), 3);
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{0x80, 255, 9}));
  ASSERT_EQ(RASEncodeRow(run.data(), 257, out), 4);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x80, 255, 9, 9}));
  // Decoding stops at the output's end and at an escape cut short.
  uint8_t dst[8];
  std::memset(dst, 0xEE, sizeof dst);
  EXPECT_EQ(RASDecode(out, 3, dst, 5), 5);
  EXPECT_EQ(dst[5], 0xEE);
  const uint8_t cut[] = {4, 0x80, 7};
  EXPECT_EQ(RASDecode(cut, 3, dst, 8), 1);
}

TEST_F(RasterFormat, SunRowsAndHeader) {
  // 3 x 2 pixels at 8 bits: rows of 3 bytes are stored padded to 4; the
  // encoded file gives the encoded size as its length.
  Img img;
  _imgalloc_(&img.r, 3, 2, 8, 1, "Test.img");
  const uint8_t px[] = {0x80, 0x80, 1, 2, 3, 3};
  std::memcpy(img->pixels, px, 6);
  for (int i = 0; i < 256; ++i) img->palette[3 * i] = uint8_t(i), img->palette[3 * i + 1] = 1, img->palette[3 * i + 2] = 2;
  const std::string file = Temp("rows.ras");
  for (int32_t rle : {0, 1}) {
    RASSetCompression(rle);
    MonitoredBoundary("Test.Save", [&] { RASSave(file, img.r); });
    ASSERT_TRUE(ErrNone());
    const Bytes d = ReadAll(file);
    const Bytes data(d.begin() + 32 + 768, d.end());
    EXPECT_EQ(d[19], rle ? data.size() : 8u);
    EXPECT_EQ(d[23], rle ? 2 : 1);
    EXPECT_EQ(d[27], 1);
    EXPECT_EQ(d[32], 2);        // red plane first
    EXPECT_EQ(d[32 + 512 + 7], 7);  // blue of entry 7
    if (rle)
      EXPECT_EQ(data, (Bytes{0x80, 1, 0x80, 1, 0, 2, 0x80, 1, 3, 0}));
    else
      EXPECT_EQ(data, (Bytes{0x80, 0x80, 1, 0, 2, 3, 3, 0}));
    Img back;
    EXPECT_EQ(TryLoad([&] { RASLoad(file, back.r); }), 0);
    EXPECT_EQ(Bytes(back->pixels, back->pixels + 6), Bytes(px, px + 6));
    EXPECT_EQ(Bytes(back->palette, back->palette + 768), Bytes(img->palette, img->palette + 768));
  }
  RASSetCompression(1);

  // Rows stored packed, without padding, are still read.
  Bytes packed = ReadAll(file);
  packed.resize(32 + 768);
  packed[19] = 6;
  packed[23] = 1;
  for (uint8_t v : px) packed.push_back(v);
  WriteAll(file, packed);
  Img old;
  EXPECT_EQ(TryLoad([&] { RASLoad(file, old.r); }), 0);
  EXPECT_EQ(Bytes(old->pixels, old->pixels + 6), Bytes(px, px + 6));

  // 24-bit RGB order is swapped to the record's order; depth 4 is refused.
  Bytes rgb = {0x59, 0xA6, 0x6A, 0x95, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 24,
               0, 0, 0, 6, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 10, 20, 30, 40, 50, 60};
  WriteAll(file, rgb);
  EXPECT_EQ(TryLoad([&] { RASLoad(file, old.r); }), 0);
  EXPECT_EQ(Bytes(old->pixels, old->pixels + 6), (Bytes{30, 20, 10, 60, 50, 40}));
  rgb[15] = 4;
  WriteAll(file, rgb);
  EXPECT_EQ(Info(RASInfo, file).imagesSupported, 0);
  EXPECT_EQ(TryLoad([&] { RASLoad(file, old.r); }), Code(kGrpImage, kImgUnsupported));
  std::remove(file.c_str());
}

TEST_F(RasterFormat, PnmHeaderAndSamples) {
  const std::string file = Temp("hdr.pgm");
  auto text = [&](const std::string& t) { WriteAll(file, Bytes(t.begin(), t.end())); };
  Img img;
  // A comment between width and height; maximum 15 scales to the full range.
  text("P2\n4 # width\n# and now the height\n4\n15\n0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15");
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), 0);
  ASSERT_EQ(img->bits, 8);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(img->pixels[i], i * 17);
  const QffInfo fi = Info(PNMInfo, file);
  EXPECT_STREQ(fi.compression, "Ascii encoded");
  EXPECT_EQ(fi.imagesSupported, -1);
  // Small sides are read: 3 x 4, and the 1 x 1 picture we write ourselves.
  text("P5 3 4 255\n012345678901");
  EXPECT_EQ(Info(PNMInfo, file).imagesSupported, -1);
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), 0);
  EXPECT_EQ(img->width, 3);
  EXPECT_EQ(img->pixels[11], '1');
  ImgFree(&img.r);
  text("P6\n1 1\n255\n\x01\x02\x03");
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), 0);
  EXPECT_EQ(Bytes(img->pixels, img->pixels + 3), (Bytes{3, 2, 1}));
  ImgFree(&img.r);
  // Bitmaps: a set bit or the digit 1 is black; text digits may run together.
  text("P1 3 2\n010\n1 1 0\n");
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), 0);
  EXPECT_EQ(Bytes(img->pixels, img->pixels + 6), (Bytes{255, 0, 255, 0, 0, 255}));
  ImgFree(&img.r);
  text("P4\n10 2\n\xA0\x40\x01\xFF");
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), 0);
  EXPECT_EQ(Bytes(img->pixels, img->pixels + 20),
            (Bytes{0, 255, 0, 255, 255, 255, 255, 255, 255, 0, 255, 255, 255, 255, 255, 255, 255, 0, 0, 0}));
  ImgFree(&img.r);
  text("P4\n10 2\n\xA0\x40\x01");
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), Code(kGrpFile, kFileRead));
  text("P7 4 4\n");
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), Code(kGrpImage, kImgUnsupported));
  // Text where a number belongs is no header.
  text("P5 4 four 255\n");
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), Code(kGrpImage, kImgInvalid));
  text("Q5 4 4 255\n");
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), Code(kGrpImage, kImgInvalid));
  // Text samples that run out, or are no numbers.
  text("P2 4 4 255\n1 2 3");
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), Code(kGrpImage, kImgCorrupted));
  text("P2 4 4 255\n1 2 3 x 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19");
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), Code(kGrpImage, kImgCorrupted));
  // Binary data that stops short.
  text("P6 4 4 255\nabc");
  EXPECT_EQ(TryLoad([&] { PNMLoad(file, img.r); }), Code(kGrpFile, kFileRead));
  std::remove(file.c_str());
}

TEST_F(RasterFormat, PpmOutputText) {
  Img img;
  _imgalloc_(&img.r, 2, 1, 24, 1, "Test.img");
  const uint8_t px[] = {0, 10, 255, 7, 100, 0};  // blue, green, red
  std::memcpy(img->pixels, px, 6);
  const std::string file = Temp("out.ppm");
  MonitoredBoundary("Test.Save", [&] { PNMSave(file, img.r); });
  Bytes d = ReadAll(file);
  EXPECT_EQ(std::string(d.begin(), d.end()), std::string("P6\n2 1\n255\n\xFF\x0A\x00\x00\x64\x07", 17));
  PNMSetAscii(1);
  MonitoredBoundary("Test.Save", [&] { PNMSave(file, img.r); });
  PNMSetAscii(0);
  d = ReadAll(file);
  EXPECT_EQ(std::string(d.begin(), d.end()), "P3\n2 1\n255\n255\n10\n0\n0\n100\n7\n");
  // The setter keeps 0 or 1; the undefined marker only asks.
  EXPECT_EQ(PNMSetAscii(5), 1);
  EXPECT_EQ(PNMSetAscii(kUndefined), 1);
  EXPECT_EQ(PNMSetAscii(0), 0);
  std::remove(file.c_str());
}

}  // namespace
