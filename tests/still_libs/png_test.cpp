// PNG: every stored variant loads as ImageMagick decodes it, what we save
// reads back unchanged, and the library's errors arrive as ours.
#include "formats/still/png.h"

#include "formats/format_descriptor.h"
#include "libs_test_util.h"

using namespace libs_test;

namespace vek {
extern const FormatDescriptor kPngFormat;
}

namespace {

struct PngTest : StillTest {
  void SetUp() override {
    StillTest::SetUp();
    if (!HaveMagick()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick (/usr/bin/convert) is not installed";
  }
};

struct Variant {
  const char* name;
  const char* ops;     // ImageMagick options
  const char* prefix;  // output format prefix
  int bits;            // record depth we must deliver
  int tolerance;       // 16-bit channels: we cut, ImageMagick rounds
};

TEST_F(PngTest, EveryStoredVariantLoadsAsImageMagickDecodesIt) {
  const Variant variants[] = {
      {"grey1", "-colorspace gray -type bilevel", "PNG:", 8, 0},
      {"grey2", "-colorspace gray -depth 2 -define png:color-type=0", "PNG:", 8, 0},
      {"grey4", "-colorspace gray -depth 4 -define png:color-type=0", "PNG:", 8, 0},
      {"grey8", "-colorspace gray -depth 8 -define png:color-type=0", "PNG:", 8, 0},
      {"grey16", "-colorspace gray -depth 16 -define png:color-type=0", "PNG:", 8, 1},
      {"greyalpha8", "-colorspace gray -alpha set -channel A -fx 0.5 +channel "
                     "-define png:color-type=4", "PNG:", 8, 0},
      {"greyalpha16", "-colorspace gray -alpha set -depth 16 -define png:color-type=4", "PNG:", 8, 1},
      {"pal1", "-colors 2 -define png:bit-depth=1 -define png:color-type=3", "PNG:", 8, 0},
      {"pal2", "-colors 4 -define png:bit-depth=2 -define png:color-type=3", "PNG:", 8, 0},
      {"pal4", "-colors 16 -define png:bit-depth=4 -define png:color-type=3", "PNG:", 8, 0},
      {"pal8", "-colors 200", "PNG8:", 8, 0},
      {"pal_trns", "-colors 60 -transparent-color black -fuzz 20% -transparent '#303030'", "PNG8:", 8, 0},
      {"rgb8", "", "PNG24:", 24, 0},
      {"rgb16", "-depth 16", "PNG48:", 24, 1},
      {"rgba8", "-alpha set -channel A -fx 0.7 +channel", "PNG32:", 24, 0},
      {"rgba16", "-alpha set -depth 16", "PNG64:", 24, 1},
      {"interlaced", "-interlace PNG", "PNG24:", 24, 0},
      {"interlaced_pal", "-colors 16 -interlace PNG", "PNG8:", 8, 0},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    const std::string file = MakeInput(v.ops, std::string(v.name) + ".png", v.prefix);
    ASSERT_FALSE(file.empty());
    Img img;
    const Outcome o = Call([&] { vek::PNGLoad(file, img.r); });
    ASSERT_TRUE(o.ok()) << o.text;
    EXPECT_EQ(img->bits, v.bits);
    const Rgb ours = ToRgb(img.r);
    const Rgb theirs = MagickDecode(file);
    // Both decodes must exist and agree in size (MaxDiff gives -1 otherwise).
    ASSERT_EQ(ours.width, 64);
    ASSERT_EQ(theirs.width, ours.width);
    ASSERT_EQ(theirs.height, ours.height);
    EXPECT_LE(MaxDiff(ours, theirs), v.tolerance);
    // The information describes the file as stored.
    vek::QffInfo info{};
    ASSERT_TRUE(Call([&] { vek::PNGInfo(file, info); }).ok());
    EXPECT_EQ(info.width, 64);
    if (std::string(v.name) == "rgba16") {
      EXPECT_EQ(info.bits, 64);
    }
    EXPECT_EQ(info.size, static_cast<int64_t>(ReadAll(file).size()));
    EXPECT_STREQ(info.compression, "Deflate compression (modified LZ77)");
    std::remove(file.c_str());
  }
}

TEST_F(PngTest, SavedPicturesReadBackUnchangedAtEveryDepth) {
  for (int bits : {8, 15, 16, 24, 32}) {
    SCOPED_TRACE(bits);
    Img img;
    MakePicture(img.r, 37, 23, bits);
    const std::string file = Temp("save" + std::to_string(bits) + ".png");
    ASSERT_TRUE(Call([&] { vek::PNGSave(file, img.r); }).ok());
    // 8 bits are stored as a palette, everything else as 8-bit RGB.
    EXPECT_EQ(Identify("%w %h %z", file), "37 23 8");
    EXPECT_EQ(Identify("%[png:IHDR.color-type-orig]", file), bits == 8 ? "3" : "2");
    EXPECT_EQ(Diff(ToRgb(img.r), MagickDecode(file)), 0);
    std::remove(file.c_str());
  }
}

TEST_F(PngTest, CompressionLevelIsClampedAndUsed) {
  EXPECT_EQ(vek::PNGSetCompressionLevel(vek::kUndefined), 6);
  EXPECT_EQ(vek::PNGSetCompressionLevel(-3), 0);
  EXPECT_EQ(vek::PNGSetCompressionLevel(42), 9);
  EXPECT_EQ(vek::PNGSetCompressionLevel(vek::kUndefined), 9);
  Img img;
  MakePicture(img.r, 120, 80);
  const std::string a = Temp("level9.png"), b = Temp("level0.png");
  ASSERT_TRUE(Call([&] { vek::PNGSave(a, img.r); }).ok());
  // The save options reach the writer through the descriptor.
  VekSaveOpts opts{};
  opts.prepCodec = 0;
  vek::kPngFormat.save.apply(opts);
  EXPECT_EQ(vek::PNGSetCompressionLevel(vek::kUndefined), 0);
  ASSERT_TRUE(Call([&] { vek::PNGSave(b, img.r); }).ok());
  EXPECT_GT(ReadAll(b).size(), ReadAll(a).size() * 2);
  EXPECT_EQ(Diff(MagickDecode(a), MagickDecode(b)), 0);
  vek::PNGSetCompressionLevel(6);
  std::remove(a.c_str());
  std::remove(b.c_str());
}

TEST_F(PngTest, BadFilesGiveTheirErrors) {
  const std::string file = MakeInput("", "good.png", "PNG24:");
  const Bytes good = ReadAll(file);
  Img img;
  vek::QffInfo info{};

  // Not a PNG signature.
  WriteAll(file, Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0});
  Outcome o = Call([&] { vek::PNGLoad(file, img.r); });
  EXPECT_EQ(o.group, vek::kGrpImage);
  EXPECT_EQ(o.code, vek::kImgInvalid);

  // Data cut short: the library's own text, group 1.
  WriteAll(file, Bytes(good.begin(), good.begin() + static_cast<long>(good.size() / 2)));
  o = Call([&] { vek::PNGLoad(file, img.r); });
  EXPECT_EQ(o.group, vek::kGrpExternal);
  EXPECT_FALSE(o.text.empty());

  // A damaged header checksum.
  Bytes bad = good;
  bad[29] ^= 0x55;
  WriteAll(file, bad);
  o = Call([&] { vek::PNGInfo(file, info); });
  EXPECT_EQ(o.group, vek::kGrpExternal);
  EXPECT_NE(o.text.find("CRC"), std::string::npos) << o.text;

  // No file at all: the file layer's error.
  std::remove(file.c_str());
  o = Call([&] { vek::PNGLoad(file, img.r); });
  EXPECT_EQ(o.group, vek::kGrpFile);
}

}  // namespace
