// The PNG writer at every level: files every reader accepts (pngcheck when
// installed, ImageMagick, our own reader) holding exactly the pixels saved,
// and a size that follows the level (0 stores).
#include <cstdlib>

#include "oracle_shell.h"
#include "formats/still/png.h"
#include "libs_test_util.h"

using namespace libs_test;

namespace {

struct PngLevelsTest : StillTest {
  void SetUp() override {
    StillTest::SetUp();
    if (!HaveMagick()) GTEST_SKIP() << "ImageMagick (/usr/bin/convert) is not installed";
  }
  void TearDown() override {
    vek::PNGSetCompressionLevel(6);
    StillTest::TearDown();
  }
};

TEST_F(PngLevelsTest, EveryLevelWritesAFileEveryReaderDecodesExactly) {
  const bool pngcheck = access("/usr/bin/pngcheck", X_OK) == 0;
  for (int bits : {8, 24}) {
    // Wide enough that a stored picture spans several IDAT chunks and
    // stored blocks.
    Img img;
    MakePicture(img.r, 400, 300, bits);
    const Rgb source = ToRgb(img.r);
    size_t stored = 0, fastest = 0, best = 0;
    for (int level = 0; level <= 9; ++level) {
      SCOPED_TRACE(std::to_string(bits) + " bits, level " + std::to_string(level));
      vek::PNGSetCompressionLevel(level);
      const std::string file = Temp("level" + std::to_string(level) + ".png");
      ASSERT_TRUE(Call([&] { vek::PNGSave(file, img.r); }).ok());
      if (pngcheck) {
        EXPECT_EQ(::vektest::RunShell(("/usr/bin/pngcheck -q '" + file + "' >/dev/null").c_str()), 0);
      }
      EXPECT_EQ(Diff(source, MagickDecode(file)), 0);
      Img back;
      ASSERT_TRUE(Call([&] { vek::PNGLoad(file, back.r); }).ok());
      EXPECT_EQ(back->bits, bits);
      EXPECT_EQ(Diff(source, ToRgb(back.r)), 0);
      const size_t size = ReadAll(file).size();
      if (level == 0) stored = size;
      if (level == 1) fastest = size;
      if (level == 9) best = size;
      std::remove(file.c_str());
    }
    EXPECT_GE(stored, static_cast<size_t>(400 * 300 * bits / 8));
    EXPECT_LT(fastest, stored);
    EXPECT_LE(best, fastest);
  }
}

}  // namespace
