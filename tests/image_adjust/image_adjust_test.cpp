// Adjustments, 3x3 filters and averaging, checked against worked values,
// a direct reference convolution, and ImageMagick on a photo.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "oracle_shell.h"
#include "image/image_adjust.h"
#include "windows_skip.h"
#include "image/image_test_util.h"
#include "test_temp.h"

namespace vek::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct AdjustTest : ImageTest {
  void TearDown() override {
    ImgAverageClear();
    ImageTest::TearDown();
  }
};

// ---- ImageMagick as the outside oracle ----

bool HaveConvert() { return ::vektest::HaveOracle("convert"); }

const std::string& TempDir() {
  static const std::string dir = [] {
    const std::string made = vek::testing::UniqueTemp("adjust");
    std::filesystem::create_directories(made);
    return made;
  }();
  return dir;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

const std::string kPhoto = std::string(VEK_TEST_DATA) + "/demo/chelsea_400.png";
constexpr int kPhotoW = 400, kPhotoH = 266;

// The photo as blue, green, red bytes, decoded by ImageMagick after `ops`.
Bytes Magick(const std::string& ops) {
  const std::string out = TempDir() + "/out.bgr";
  const std::string cmd = "convert '" + kPhoto + "' " + ops + " -depth 8 bgr:'" + out + "'";
  if (::vektest::RunShell(cmd.c_str()) != 0) return {};
  return ReadFile(out);
}

QImg Photo() {
  const Bytes bgr = Magick("");
  QImg img{};
  if (bgr.size() != size_t{kPhotoW} * kPhotoH * 3) return img;
  RawToQimg(&img, bgr.data(), nullptr, kPhotoW, kPhotoH, 24);
  return img;
}

int MaxDiff(const Bytes& a, const QImg& b) {
  if (a.size() != static_cast<size_t>(b.size)) return 1000;
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b.pixels[i]));
  return worst;
}

// ---- a direct reference: clamped coordinates, floor of the weighted sum ----
Bytes ReferenceFilter(const QImg& src, const FilterKernel& k) {
  const int w = src.width, h = src.height;
  Bytes out(src.size);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) {
            const int yy = std::clamp(y + dy, 0, h - 1), xx = std::clamp(x + dx, 0, w - 1);
            sum += k.weight[(dy + 1) * 3 + dx + 1] * src.pixels[(yy * w + xx) * 3 + c];
          }
        const int v = static_cast<int>(std::floor(sum / double(1 << k.shift))) + k.bias;
        out[(y * w + x) * 3 + c] = static_cast<uint8_t>(std::clamp(v, 0, 255));
      }
  return out;
}

// ---- tables: the worked values ----

TEST_F(AdjustTest, TablesGiveTheWorkedValues) {
  uint8_t t[768];
  BrightnessCalc_(100, t);
  EXPECT_EQ(t[0], 255);
  BrightnessCalc_(-100, t);
  EXPECT_EQ(t[255], 0);
  BrightnessCalc_(20, t);  // b = 51
  EXPECT_EQ(t[10], 61);
  EXPECT_EQ(t[250], 255);

  ContrastCalc_(50, t);
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[127], 126);
  EXPECT_EQ(t[128], 129);
  EXPECT_EQ(t[255], 255);
  ContrastCalc_(-100, t);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t[i], 128) << i;

  GammaCalc_(1.0, t);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t[i], i);
  GammaCalc_(2.0, t);
  EXPECT_EQ(t[64], 128);

  WhiteBalanceCalc_(200, 255, 255, t);
  EXPECT_EQ(t[200], 248);         // red: Trunc(255 - 55/9)
  EXPECT_EQ(t[256 + 200], 193);   // green: Trunc(200 - 6.11)
  WhiteBalanceCalc_(0, 0, 0, t);  // zeros count as 1: neutral grey
  EXPECT_EQ(t[100], 100);
}

// ---- adjustments and filters against ImageMagick on the photo ----

TEST_F(AdjustTest, AdjustmentsAndFiltersMatchImageMagickOnAPhoto) {
  if (!HaveConvert()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick convert not installed";
  QImg photo = Photo();
  ImgGuard g0(photo);
  ASSERT_TRUE(photo.pixels) << "cannot decode " << kPhoto;

  QImg out{};
  ImgGuard g1(out);
  ImgGamma(&photo, &out, 1.6, 0.7, 2.2);
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(out.bits, 24);
  EXPECT_LE(MaxDiff(Magick("-gamma 1.6,0.7,2.2"), out), 1);

  // Brightness is a shifted level: i + b = (i - black) * 255 / (white - black).
  ImgBrightness(&photo, &out, 20, -30, 50);  // b = 51, -76, 127
  auto pct = [](double v) { return std::to_string(v * 100 / 255) + "%"; };
  const std::string level = "-channel R -level " + pct(-51) + "," + pct(255 - 51) +
                            " -channel G -level " + pct(76) + "," + pct(255 + 76) +
                            " -channel B -level " + pct(-127) + "," + pct(255 - 127) + " +channel";
  EXPECT_LE(MaxDiff(Magick(level), out), 1);

  // ImageMagick normalises the kernel by its sum and rounds where the shift floors.
  const std::pair<void (*)(QImg*, QImg*), const char*> filters[] = {
      {ImgSoften, "1,1,1,1,8,1,1,1,1"},
      {ImgSharpen, "0,-1,0,-1,8,-1,0,-1,0"},
      {ImgEdgeEnhance, "-1,-2,-1,-2,16,-2,-1,-2,-1"}};
  for (const auto& [op, kernel] : filters) {
    op(&photo, &out);
    ASSERT_TRUE(ErrNone());
    EXPECT_LE(MaxDiff(Magick(std::string("-convolve ") + kernel), out), 1) << kernel;
  }
}

// ---- filters: exact against the reference at every edge ----

TEST_F(AdjustTest, FiltersMatchTheReferenceAtEveryEdgeAndSize) {
  const FilterKernel* kernels[] = {&kSoftenKernel, &kSharpenKernel, &kEdgeEnhanceKernel};
  void (*ops[])(QImg*, QImg*) = {ImgSoften, ImgSharpen, ImgEdgeEnhance};
  const int sizes[][2] = {{1, 1}, {1, 5}, {2, 2}, {3, 1}, {4, 3}, {17, 2}, {33, 9}, {70, 4}};
  uint32_t seed = 1;
  for (const auto& s : sizes)
    for (int f = 0; f < 3; ++f) {
      QImg src = Random(s[0], s[1], 24, seed++);
      ImgGuard gs(src);
      QImg dst{};
      ImgGuard gd(dst);
      ops[f](&src, &dst);
      ASSERT_TRUE(ErrNone());
      EXPECT_EQ(Pixels(dst), ReferenceFilter(src, *kernels[f]))
          << "filter " << f << " at " << s[0] << "x" << s[1];
    }
}

// ---- depths, palettes, in-place work ----

TEST_F(AdjustTest, DepthsPalettesAndInPlaceWork) {
  // 8 bits: the indices stay, only the palette changes.
  QImg pal = Random(16, 16, 8, 5);
  ImgGuard gp(pal);
  for (int i = 0; i < 768; ++i) pal.palette[i] = static_cast<uint8_t>(i * 7);
  QImg out{};
  ImgGuard go(out);
  ImgBrightness(&pal, &out, 10, 0, -10);
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(out.bits, 8);
  EXPECT_EQ(Pixels(out), Pixels(pal));
  EXPECT_EQ(out.palette[0], 0);        // blue 0 - 25, clamped
  EXPECT_EQ(out.palette[2], 14 + 25);  // red 14 + 25
  EXPECT_EQ(out.palette[1], 7);        // green unchanged

  // 16 and 32 bits become 24: the same as converting first.
  for (int bits : {15, 16, 32}) {
    QImg src = Random(9, 7, bits, bits);
    ImgGuard gs(src);
    QImg wide{};
    ImgGuard gw(wide);
    ImgConvBpp(&src, &wide, 24);
    QImg a{}, b{};
    ImgGuard ga(a), gb(b);
    ImgGamma(&src, &a, 0.5, 1.5, 3);
    ImgGamma(&wide, &b, 0.5, 1.5, 3);
    ASSERT_TRUE(ErrNone());
    EXPECT_EQ(a.bits, 24) << bits;
    EXPECT_EQ(Pixels(a), Pixels(b)) << bits;
  }

  // In place equals a separate destination.
  QImg src = Random(31, 11, 24, 8);
  ImgGuard gs(src);
  QImg copy{}, sep{};
  ImgGuard gc(copy), gsep(sep);
  ImgCopy(&src, &copy);
  ImgSharpen(&src, &sep);
  ImgSharpen(&copy, &copy);
  EXPECT_EQ(Pixels(copy), Pixels(sep));
  ImgCopy(&src, &copy);
  ImgContrast(&src, &sep, -40, 30, 70);
  ImgContrast(&copy, nullptr, -40, 30, 70);
  EXPECT_EQ(Pixels(copy), Pixels(sep));
  EXPECT_TRUE(ErrNone());
}

TEST_F(AdjustTest, NeutralValuesCopyAndOutOfRangeValuesClamp) {
  QImg src = Random(8, 8, 16, 3);
  ImgGuard gs(src);
  QImg out{};
  ImgGuard go(out);
  ImgBrightness(&src, &out, 0, 0, 0);
  EXPECT_EQ(out.bits, 16);
  EXPECT_EQ(Pixels(out), Pixels(src));
  ImgWhiteBalance(&src, &out, 255, 255, 255);
  EXPECT_EQ(out.bits, 16);
  EXPECT_EQ(Pixels(out), Pixels(src));

  // Beyond the range is the range's end: gamma 50 is gamma 5, contrast
  // 500 is contrast 100; a NaN changes nothing.
  QImg rgb = Random(8, 8, 24, 4);
  ImgGuard gr(rgb);
  QImg a{}, b{};
  ImgGuard ga(a), gb(b);
  ImgGamma(&rgb, &a, 50, 50, 50);
  ImgGamma(&rgb, &b, 5, 5, 5);
  EXPECT_EQ(Pixels(a), Pixels(b));
  EXPECT_NE(Pixels(a), Pixels(rgb));
  ImgContrast(&rgb, &a, 500, -500, 500);
  ImgContrast(&rgb, &b, 100, -100, 100);
  EXPECT_EQ(Pixels(a), Pixels(b));
  ImgGamma(&rgb, &a, NAN, 1, 1);
  EXPECT_EQ(Pixels(a), Pixels(rgb));
  EXPECT_TRUE(ErrNone());
}

// Gamma 1.0 and gamma 100 (all channels) change no colour, but like every
// gamma they hand other depths back as 24 bits; 8 bits keep their indices.
TEST_F(AdjustTest, NeutralGammaKeepsColoursAndGivesTwentyFourBits) {
  for (const double g : {1.0, 100.0}) {
    for (const int32_t bits : {8, 15, 16, 24, 32}) {
      QImg src = Random(9, 7, bits, 5);
      ImgGuard gs(src);
      QImg wide{}, out{};
      ImgGuard gw(wide), go(out);
      ImgGamma(&src, &out, g, g, g);
      ASSERT_TRUE(ErrNone()) << g << " " << bits;
      if (bits == 8) {
        EXPECT_EQ(out.bits, 8);
        EXPECT_EQ(Pixels(out), Pixels(src));
        continue;
      }
      ImgConvBpp(&src, &wide, 24);
      EXPECT_EQ(out.bits, 24) << g << " " << bits;
      EXPECT_EQ(Pixels(out), Pixels(wide)) << g << " " << bits;
    }
  }
  // 64 stays 64; before, 100 was clamped to 5.0 and made it 193.
  QImg one{}, out{};
  ImgGuard g1(one), g2(out);
  ImgAlloc(&one, 4, 4, 24, 1, "one");
  std::fill(one.pixels, one.pixels + one.size, 64);
  ImgGamma(&one, &out, 100, 100, 100);
  EXPECT_EQ(out.pixels[0], 64);
  ImgGamma(&one, &out, 100, 1, 2);  // mixed: only all-neutral values are neutral
  EXPECT_EQ(out.pixels[2], 193);
  EXPECT_EQ(out.pixels[1], 64);
  EXPECT_TRUE(ErrNone());
}

TEST_F(AdjustTest, BadImagesReportErrorsAndLeaveNothing) {
  QImg out{};
  Try([&] { ImgSoften(nullptr, &out); });
  EXPECT_FALSE(ErrNone());
  ErrClear();
  QImg empty{};
  Try([&] { ImgGamma(&empty, &out, 2, 2, 2); });
  EXPECT_EQ(ErrGroup(), kGrpImage);
  EXPECT_EQ(ErrCode(), kImgCorrupted);
  ErrClear();
  EXPECT_EQ(out.pixels, nullptr);
}

// ---- averaging ----

TEST_F(AdjustTest, AveragingAddsEveryDepthAndRefusesOtherSizes) {
  QImg get{};
  ImgGuard gg(get);
  Try([&] { ImgAverageGet(&get); });
  EXPECT_EQ(ErrGroup(), kGrpImage);
  EXPECT_EQ(ErrMsgLast(), "General image handling fault.");
  ErrClear();

  QImg a{}, b{};
  ImgGuard ga(a), gb(b);
  ImgAlloc(&a, 5, 3, 24, 1, "a");
  ImgAlloc(&b, 5, 3, 24, 2, "b");
  std::fill(a.pixels, a.pixels + a.size, 10);
  std::fill(b.pixels, b.pixels + b.size, 21);
  ImgAverage(&a);
  ImgAverage(&b);
  ImgAverageGet(&get);
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(get.bits, 24);
  EXPECT_EQ(Pixels(get), Bytes(45, 15));

  // Another size is refused and adds nothing.
  QImg c = Random(3, 5, 24, 2);
  ImgGuard gc(c);
  Try([&] { ImgAverage(&c); });
  EXPECT_EQ(ErrGroup(), kGrpGeneral);
  EXPECT_EQ(ErrCode(), kGenOutOfRange);
  ErrClear();
  ImgAverageGet(&get);
  EXPECT_EQ(Pixels(get), Bytes(45, 15));

  // Every depth adds the colours its 24-bit conversion shows.
  for (int bits : {8, 15, 16, 32}) {
    ImgAverageClear();
    QImg src = Random(6, 4, bits, bits + 40);
    ImgGuard gs(src);
    if (bits == 8)
      for (int i = 0; i < 768; ++i) src.palette[i] = static_cast<uint8_t>(i * 13);
    QImg wide{};
    ImgGuard gw(wide);
    ImgConvBpp(&src, &wide, 24);
    ImgAverage(&src);
    ImgAverage(&src);
    ImgAverageGet(&get);
    ASSERT_TRUE(ErrNone()) << bits;
    EXPECT_EQ(Pixels(get), Pixels(wide)) << bits;
  }
}

}  // namespace
}  // namespace vek::test
