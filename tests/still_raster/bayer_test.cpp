// The Bayer cell scheme pinned by hand-checked 4 x 4 cases for each
// conversion, the BAY file layout with its trailer, and a sensor frame
// mosaicked from a photo and converted back, with its PSNR reported.
#include <cstring>

#include "formats/still/bayer.h"
#include "raster_test_util.h"
#include "windows_skip.h"

using namespace vek;
using namespace raster_test;

namespace {

using Bayer = StillTest;

// Sixteen sensor bytes: four cells of s0 s1 s2 s3, cell k holding 10k+1..10k+4.
const uint8_t kCells[16] = {1, 2, 3, 4, 11, 12, 13, 14, 21, 22, 23, 24, 31, 32, 33, 34};

Bytes Convert(int32_t order, int32_t mono) {
  Bytes out(16 * (mono == 1 ? 1 : 3), 0xEE);
  BayConvert(kCells, out.data(), 4, order, mono, 4);
  return out;
}

// Pixel (x, y) of a 4 x 4 colour result as red, green, blue.
Bytes At(const Bytes& img, int x, int y) {
  const uint8_t* p = &img[3 * (4 * y + x)];
  return {p[2], p[1], p[0]};
}

TEST_F(Bayer, CellSchemeByHand) {
  // Monochrome: cells fill 2 x 2 blocks left to right, then the next pair of rows.
  EXPECT_EQ(Convert(1, 1), (Bytes{1, 2, 11, 12, 3, 4, 13, 14, 21, 22, 31, 32, 23, 24, 33, 34}));

  // Colour order set: red s1, blue s2, green s0 above and s3 below.
  const Bytes a = Convert(1, 0);
  EXPECT_EQ(At(a, 0, 0), (Bytes{2, 1, 3}));
  EXPECT_EQ(At(a, 1, 0), (Bytes{2, 1, 3}));
  EXPECT_EQ(At(a, 0, 1), (Bytes{2, 4, 3}));
  EXPECT_EQ(At(a, 1, 1), (Bytes{2, 4, 3}));
  EXPECT_EQ(At(a, 2, 0), (Bytes{12, 11, 13}));
  EXPECT_EQ(At(a, 3, 1), (Bytes{12, 14, 13}));
  EXPECT_EQ(At(a, 0, 2), (Bytes{22, 21, 23}));
  EXPECT_EQ(At(a, 3, 3), (Bytes{32, 34, 33}));

  // Colour order cleared: red s3, blue s0, green s2 above and s1 below.
  const Bytes b = Convert(0, 0);
  EXPECT_EQ(At(b, 0, 0), (Bytes{4, 3, 1}));
  EXPECT_EQ(At(b, 1, 1), (Bytes{4, 2, 1}));
  EXPECT_EQ(At(b, 2, 2), (Bytes{34, 33, 31}));
  EXPECT_EQ(At(b, 3, 3), (Bytes{34, 32, 31}));
  // Any mono value but 1 means colour; any non-zero order means "set".
  EXPECT_EQ(Convert(-1, 2), a);

  // Sides below 2 leave no cell: nothing is written.
  Bytes out(8, 0xEE);
  BayConvert(kCells, out.data(), 1, 1, 1, 8);
  BayConvert(kCells, out.data(), 8, 1, 1, 1);
  EXPECT_EQ(out, Bytes(8, 0xEE));
}

Bytes BayFile(int64_t size, const char* source, uint8_t mode, uint8_t speed, const char* tag = "BAY 2") {
  Bytes d(static_cast<size_t>(size), 0);
  for (size_t i = 0; i + 1024 < d.size(); ++i) d[i] = static_cast<uint8_t>(i * 7);
  uint8_t* t = &d[d.size() - 1024];
  std::memcpy(t, source, 2);
  std::memcpy(t + 3, tag, 5);
  t[8] = mode;
  t[11] = speed;
  for (int i = 12; i < 1024; ++i) t[i] = static_cast<uint8_t>(i);
  return d;
}

QffInfo Info(const std::string& file) {
  QffInfo fi{};
  MonitoredBoundary("Test.Info", [&] { BayInfo(file, fi); });
  EXPECT_TRUE(ErrNone()) << ErrMsgLast();
  return fi;
}

TEST_F(Bayer, BayFiles) {
  const std::string file = Temp("cam.bay");
  // Small monochrome file: 512 x 144 grey with the grey ramp.
  WriteAll(file, BayFile(kBaySmallSize, "ML", 2, 3));
  Img img;
  EXPECT_EQ(TryLoad([&] { BayLoad(file, img.r); }), 0);
  ASSERT_EQ(img->bits, 8);
  EXPECT_EQ(img->width, 512);
  EXPECT_EQ(img->height, 144);
  EXPECT_EQ(img->palette[3 * 77 + 1], 77);
  // Cell 1 of the first row pair: bytes 4..7.
  EXPECT_EQ(img->pixels[2], 28);
  EXPECT_EQ(img->pixels[512 + 3], 49);
  QffInfo fi = Info(file);
  EXPECT_EQ(fi.speed, 125);
  EXPECT_EQ(fi.bits, 8);
  EXPECT_STREQ(fi.compression, "ML-1 sensor (monochrome)");

  // Large colour file whose first cell is 10, 20, 30, 40.
  Bytes d = BayFile(kBayLargeSize, "EK", 1, 2);
  d[0] = 10, d[1] = 20, d[2] = 30, d[3] = 40;
  WriteAll(file, d);
  EXPECT_EQ(TryLoad([&] { BayLoad(file, img.r); }), 0);
  ASSERT_EQ(img->bits, 24);
  EXPECT_EQ(img->height, 384);
  EXPECT_EQ(Bytes(img->pixels, img->pixels + 6), (Bytes{30, 10, 20, 30, 10, 20}));
  EXPECT_EQ(Bytes(img->pixels + 1536, img->pixels + 1542), (Bytes{30, 40, 20, 30, 40, 20}));
  fi = Info(file);
  EXPECT_EQ(fi.speed, 500);
  EXPECT_EQ(fi.imagesSupported, -1);
  EXPECT_STREQ(fi.compression, "EK-C sensor (color)");
  // The whole trailer, or as much as the buffer holds.
  uint8_t hdr[1100];
  int32_t n = -1;
  MonitoredBoundary("Test.Hdr", [&] { n = BayGetHdr(file, hdr, sizeof hdr); });
  EXPECT_EQ(n, 1024);
  EXPECT_EQ(Bytes(hdr, hdr + 1024), Bytes(d.end() - 1024, d.end()));
  MonitoredBoundary("Test.Hdr", [&] { n = BayGetHdr(file, hdr, 5); });
  EXPECT_EQ(n, 5);

  // "EK" has no fourth speed; another maker keeps its code as the text;
  // an unknown colour mode is unsupported.
  WriteAll(file, BayFile(kBaySmallSize, "EK", 2, 4));
  fi = Info(file);
  EXPECT_EQ(fi.speed, kUndefinedD);
  EXPECT_STREQ(fi.compression, "EK-M sensor (monochrome)");
  // The trailer read-out takes only the large size.
  EXPECT_EQ(TryLoad([&] { BayGetHdr(file, hdr, 16); }), Code(kGrpImage, kImgInvalid));
  WriteAll(file, BayFile(kBaySmallSize, "XY", 5, 1));
  fi = Info(file);
  EXPECT_EQ(fi.imagesSupported, 0);
  EXPECT_STREQ(fi.compression, "XY");
  EXPECT_EQ(TryLoad([&] { BayLoad(file, img.r); }), Code(kGrpImage, kImgUnsupported));
  // Wrong tag, wrong size.
  WriteAll(file, BayFile(kBaySmallSize, "ML", 1, 1, "BAY 3"));
  EXPECT_EQ(TryLoad([&] { BayLoad(file, img.r); }), Code(kGrpImage, kImgInvalid));
  WriteAll(file, BayFile(kBaySmallSize + 1, "ML", 1, 1));
  EXPECT_EQ(TryLoad([&] { BayLoad(file, img.r); }), Code(kGrpImage, kImgInvalid));
  std::remove(file.c_str());
}

TEST_F(Bayer, CustomSizes) {
  const std::string file = Temp("raw.bin");
  Bytes d(5 * 3);
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(100 + i);
  WriteAll(file, d);
  // 5 x 3: two cells per row pair; the last column and row stay black.
  Img img;
  EXPECT_EQ(TryLoad([&] { BayLoadCustom(file, img.r, 5, 1, 1, 3); }), 0);
  ASSERT_EQ(img->bits, 8);
  EXPECT_EQ(Bytes(img->pixels, img->pixels + 15),
            (Bytes{100, 101, 104, 105, 0, 102, 103, 106, 107, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(TryLoad([&] { BayLoadCustom(file, img.r, 5, 0, 0, 3); }), 0);
  EXPECT_EQ(img->bits, 24);
  EXPECT_EQ(Bytes(img->pixels, img->pixels + 3), (Bytes{100, 102, 103}));
  EXPECT_EQ(Bytes(img->pixels + 12, img->pixels + 15), (Bytes{0, 0, 0}));
  // Larger than the file; no complete cell.
  EXPECT_EQ(TryLoad([&] { BayLoadCustom(file, img.r, 4, 1, 1, 4); }), Code(kGrpImage, kImgInvalid));
  EXPECT_EQ(TryLoad([&] { BayLoadCustom(file, img.r, 1, 1, 1, 15); }), Code(kGrpImage, kImgInvalid));
  EXPECT_EQ(TryLoad([&] { BayLoadCustom(file, img.r, 0x10000, 1, 0, 0x10000); }),
            Code(kGrpImage, kImgUnsupported));
  std::remove(file.c_str());
}

TEST_F(Bayer, MosaickedPhotoComesBack) {
  // The photo sampled through a green-red / blue-green filter array (the
  // set colour order) and converted back: every pixel is its cell's colour,
  // so the result is a 2 x 2 block version of the photo.
  // Raw RGB: the photo's comment would otherwise travel into a PPM header.
  if (!::vektest::HaveOracle("/usr/bin/convert")) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick decodes the photo";
  const std::string rgb = Temp("rocket.rgb");
  Rgb photo;
  if (Magick("'" + Photo("rocket_640x427.jpg") + "' -strip -depth 8 rgb:'" + rgb + "'")) {
    photo.width = 640, photo.height = 427, photo.px = ReadAll(rgb);
    if (photo.px.size() != 640u * 427u * 3u) photo.width = 0;
  }
  std::remove(rgb.c_str());
  ASSERT_GT(photo.width, 0) << "ImageMagick is needed (scripts/deps)";
  const int w = photo.width & ~1, h = photo.height & ~1;
  auto px = [&](int x, int y, int c) { return photo.px[3 * (size_t(y) * photo.width + x) + c]; };
  for (int32_t order : {1, 0}) {
    Bytes raw;
    for (int y = 0; y < h; y += 2)
      for (int x = 0; x < w; x += 2) {
        const uint8_t g0 = px(x, y, 1), r = px(x + 1, y, 0), b = px(x, y + 1, 2), g1 = px(x + 1, y + 1, 1);
        const Bytes cell = order ? Bytes{g0, r, b, g1} : Bytes{b, g1, g0, r};
        raw.insert(raw.end(), cell.begin(), cell.end());
      }
    const std::string file = Temp("photo.raw");
    WriteAll(file, raw);
    Img img;
    ASSERT_EQ(TryLoad([&] { BayLoadCustom(file, img.r, w, order, 0, h); }), 0);
    Rgb ref;
    ref.width = w, ref.height = h;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) ref.px.push_back(px(x, y, c));
    const Rgb ours = ToRgb(img.r);
    const double psnr = Psnr(ours, ref);
    std::printf("[ PSNR     ] %dx%d photo, colour order %d: %.2f dB\n", w, h, order, psnr);
    RecordProperty(order ? "psnr_order_set" : "psnr_order_clear", std::to_string(psnr));
    EXPECT_GT(psnr, 22.0);
    // The sampled values themselves come back exactly.
    EXPECT_EQ(ours.px[3 * 1 + 0], px(1, 0, 0));
    EXPECT_EQ(ours.px[3 * size_t(w) + 1], px(1, 1, 1));
    std::remove(file.c_str());
  }
}

}  // namespace
