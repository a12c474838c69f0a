// JPEG: stored variants load as ImageMagick decodes them, saved files are
// baseline JFIF that ImageMagick reads at the expected quality, and the
// library's failures never leave the process.
#include "oracle_shell.h"
#include "formats/still/jpeg.h"

#include <cstdio>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "libs_test_util.h"
#include "codecs/libjpeg/jpeg_codec.h"

using namespace libs_test;

namespace {

struct JpegTest : StillTest {
  void SetUp() override {
    StillTest::SetUp();
    if (!HaveMagick()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick (/usr/bin/convert) is not installed";
  }
};

TEST_F(JpegTest, StoredVariantsLoadAsImageMagickDecodesThem) {
  struct V {
    const char* name;
    const char* ops;
    int bits;
  } variants[] = {
      {"baseline", "-quality 85", 24},
      {"progressive", "-quality 85 -interlace JPEG", 24},
      {"grey", "-colorspace gray", 8},
      {"cmyk", "-colorspace CMYK", 24},
      {"restart", "-quality 80", 24},  // restart markers added below
      {"subsampled", "-sampling-factor 2x2 -quality 60", 24},
  };
  for (const V& v : variants) {
    SCOPED_TRACE(v.name);
    const std::string file = MakeInput(v.ops, std::string(v.name) + ".jpg");
    ASSERT_FALSE(file.empty());
    if (std::string(v.name) == "restart") {
      if (access("/usr/bin/jpegtran", X_OK) != 0) continue;
      // A marker after every MCU: the decoder must resynchronise at each.
      ASSERT_EQ(::vektest::RunShell(("/usr/bin/jpegtran -restart 1B -outfile '" + file + ".rst' '" + file +
                             "' && mv '" + file + ".rst' '" + file + "'").c_str()), 0);
      const Bytes d = ReadAll(file);
      int markers = 0;
      for (size_t i = 0; i + 1 < d.size(); ++i) markers += d[i] == 0xFF && (d[i + 1] & 0xF8) == 0xD0;
      EXPECT_GT(markers, 10);
    }
    Img img;
    const Outcome o = Call([&] { vek::JPGLoad(file, img.r); });
    ASSERT_TRUE(o.ok()) << o.text;
    EXPECT_EQ(img->bits, v.bits);
    EXPECT_EQ(img->width, 64);
    EXPECT_EQ(img->height, 43);
    // Both decode through an IDCT: small rounding differences only.
    const double psnr = Psnr(ToRgb(img.r), MagickDecode(file));
    EXPECT_GE(psnr, 40) << "PSNR " << psnr;
    if (v.bits == 8) {
      for (int i = 0; i < 256; ++i) EXPECT_EQ(img->palette[3 * i + 1], i);
    }
    vek::QffInfo info{};
    ASSERT_TRUE(Call([&] { vek::JPGInfo(file, info); }).ok());
    EXPECT_EQ(info.bits, v.bits);
    EXPECT_EQ(info.size, static_cast<int64_t>(ReadAll(file).size()));
    EXPECT_STREQ(info.compression, "JFIF 1.02");
    std::remove(file.c_str());
  }
}

TEST_F(JpegTest, SavedFilesAreBaselineAndKeepThePictureAtEachQuality) {
  Img img;
  // A real photo: quality changes what survives.
  ASSERT_TRUE(Call([&] { vek::JPGLoad(Photo("rocket_640x427.jpg"), img.r); }).ok());
  const Rgb original = ToRgb(img.r);
  double last_psnr = 0;
  size_t last_size = 0;
  for (int q : {10, 50, 85, 100}) {
    SCOPED_TRACE(q);
    EXPECT_EQ(vek::JPGSetQuality(q), q);
    const std::string file = Temp("q" + std::to_string(q) + ".jpg");
    ASSERT_TRUE(Call([&] { vek::JPGSave(file, img.r); }).ok());
    EXPECT_EQ(Identify("%w %h %z %[jpeg:colorspace]", file), "640 427 8 2");
    const Bytes data = ReadAll(file);
    // JFIF marker, and a baseline frame (SOF0) rather than a progressive one.
    ASSERT_GT(data.size(), 20u);
    EXPECT_EQ(std::string(data.begin() + 6, data.begin() + 10), "JFIF");
    bool sof0 = false, sof2 = false;
    for (size_t i = 0; i + 1 < data.size(); ++i) {
      sof0 |= data[i] == 0xFF && data[i + 1] == 0xC0;
      sof2 |= data[i] == 0xFF && data[i + 1] == 0xC2;
    }
    EXPECT_TRUE(sof0);
    EXPECT_FALSE(sof2);
    const int iq = std::abs(std::atoi(Identify("%Q", file).c_str()) - q);
    EXPECT_LE(iq, 1) << "ImageMagick estimates quality " << Identify("%Q", file);
    const double psnr = Psnr(original, MagickDecode(file));
    EXPECT_GT(psnr, last_psnr);
    EXPECT_GT(data.size(), last_size);
    last_psnr = psnr;
    last_size = data.size();
    std::remove(file.c_str());
  }
  // Chroma is stored at half resolution: sharp colour edges cost a few dB.
  EXPECT_GE(last_psnr, 33);
  vek::JPGSetQuality(85);
}

TEST_F(JpegTest, QualityIsClampedAndPalettePicturesAreWrittenInColour) {
  EXPECT_EQ(vek::JPGSetQuality(vek::kUndefined), 85);
  EXPECT_EQ(vek::JPGSetQuality(-1), 0);
  EXPECT_EQ(vek::JPGSetQuality(1000), 100);
  Img img;
  MakePicture(img.r, 48, 32, 8);
  const std::string file = Temp("pal.jpg");
  ASSERT_TRUE(Call([&] { vek::JPGSave(file, img.r); }).ok());
  EXPECT_EQ(Identify("%w %h %[channels]", file), "48 32 srgb");
  EXPECT_GE(Psnr(ToRgb(img.r), MagickDecode(file)), 24);
  std::remove(file.c_str());
  vek::JPGSetQuality(85);
}

TEST_F(JpegTest, BrokenFilesFailWithoutEndingTheProcess) {
  const std::string file = MakeInput("-quality 90", "broken.jpg");
  const Bytes good = ReadAll(file);
  Img img;
  vek::QffInfo info{};
  // Not a JPEG at all, a header cut short, and an unknown frame type.
  WriteAll(file, Bytes{'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'});
  Outcome o = Call([&] { vek::JPGLoad(file, img.r); });
  EXPECT_EQ(o.group, vek::kGrpImage);
  EXPECT_EQ(o.code, vek::kImgOpen);
  WriteAll(file, Bytes(good.begin(), good.begin() + 100));
  o = Call([&] { vek::JPGInfo(file, info); });
  EXPECT_EQ(o.code, vek::kImgOpen);
  EXPECT_STRNE(vek::JpegLastMessage(), "");
  // Cut inside the picture data: the library fills the rest and goes on.
  WriteAll(file, Bytes(good.begin(), good.end() - static_cast<long>(good.size() / 3)));
  o = Call([&] { vek::JPGLoad(file, img.r); });
  EXPECT_TRUE(o.ok()) << o.text;
  EXPECT_EQ(img->width, 64);
  std::remove(file.c_str());
  o = Call([&] { vek::JPGLoad(file, img.r); });
  EXPECT_EQ(o.code, vek::kImgOpen);
}

TEST_F(JpegTest, CmykFilesFollowTheAdobeMarker) {
  const std::string png = MakeInput("", "cmyk_src.png", "PNG24:");
  const Rgb photo = MagickDecode(png);
  ASSERT_GT(photo.width, 0);
  for (bool adobe : {true, false}) {
    SCOPED_TRACE(adobe ? "Adobe marker" : "no marker");
    const std::string file = Temp(adobe ? "adobe.jpg" : "plain.jpg");
    WriteCmyk(file, photo, adobe);
    Img img;
    const Outcome o = Call([&] { vek::JPGLoad(file, img.r); });
    ASSERT_TRUE(o.ok()) << o.text;
    EXPECT_EQ(img->bits, 24);
    EXPECT_GE(Psnr(ToRgb(img.r), photo), 35);
    std::remove(file.c_str());
  }
  std::remove(png.c_str());
}

TEST_F(JpegTest, ReaderRefusesAPictureLargerThanItsBuffer) {
  const std::string file = MakeInput("", "fit.jpg");
  uint8_t small[64 * 42 * 3];
  int32_t w = 0, h = 0, c = 0;
  EXPECT_NE(vek::read_JPEG_file(file.c_str(), small, sizeof small, &w, &h, &c), 0);
  std::remove(file.c_str());
}

}  // namespace
