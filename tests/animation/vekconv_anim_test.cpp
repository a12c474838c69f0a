// The command-line tool on animations: BMP frames to FLC through the 8-bit
// palette pass, a GIF to numbered BMP files and to FLC, and --info.
#include <gtest/gtest.h>

#include <string>

#include "animation/anim_test_util.h"

namespace {

using namespace anim_test;

std::string Vekconv() { return std::string(VEK_BINARY_DIR) + "/tools/vekconv/vekconv"; }

bool Ready() { return !kWindowsBuild && access(Vekconv().c_str(), X_OK) == 0 && HaveMagick() && HaveFfmpeg(); }

std::string Gif() {
  const std::string a = "'" + Photo("astronaut.png") + "'";
  const std::string gif = Temp("cli.gif");
  Magick("-delay 10 " + a + " \\( " + a + " -fill red -draw 'circle 40,40 40,30' \\) \\( " + a +
         " -fill blue -draw 'rectangle 50,20 80,50' \\) +map -layers Optimize '" + gif + "'");
  return gif;
}

TEST_F(AnimTest, VekconvWritesFlcFromBmpFrames) {
  if (!Ready()) GTEST_SKIP() << VEK_ORACLE_SKIP << "vekconv, ImageMagick or FFmpeg is missing";
  const std::string dir = Temp("clibmp");
  ASSERT_TRUE(Shell("mkdir -p '" + dir + "'"));
  for (int i = 1; i <= 4; ++i)
    ASSERT_TRUE(Magick("'" + Photo("chelsea.png") + "' -fill yellow -draw 'circle " + std::to_string(i * 15) +
                       ",30 " + std::to_string(i * 15) + ",20' BMP3:'" + dir + "/f" + std::to_string(i) + ".bmp'"));
  const std::string flc = Temp("cliframes.flc");
  ASSERT_TRUE(Shell(Vekconv() + " -b 8 -r 10 '" + flc + "' '" + dir + "/*.bmp'"));
  EXPECT_NE(Capture(Vekconv() + " --info '" + flc + "'").find("4 frame(s), 96x72, 8 bits"), std::string::npos);
  // FFmpeg reads the four frames and the ring frame.
  EXPECT_EQ(Capture("/usr/bin/ffprobe -v error -count_frames -show_entries stream=nb_read_frames,r_frame_rate "
                    "-of csv=p=0 '" + flc + "'"),
            "10/1,5\n");
}

TEST_F(AnimTest, VekconvConvertsGif) {
  if (!Ready()) GTEST_SKIP() << VEK_ORACLE_SKIP << "vekconv, ImageMagick or FFmpeg is missing";
  const std::string gif = Gif();
  const Frames ref = MagickCoalesce(gif);
  ASSERT_EQ(ref.rgba.size(), 3u);
  EXPECT_NE(Capture(Vekconv() + " --info '" + gif + "'").find("3 frame(s), 96x72, 8 bits"), std::string::npos);

  // Numbered BMP files, one per frame, each the composed frame.
  const std::string bmp = Temp("clout0000.bmp");
  ASSERT_TRUE(Shell(Vekconv() + " -r 10 --no-keep-duration '" + bmp + "' '" + gif + "'"));
  for (int i = 0; i < 3; ++i) {
    const std::string name = Temp("clout000" + std::to_string(i) + ".bmp");
    const std::string raw = name + ".rgba";
    ASSERT_TRUE(Magick("'" + name + "' -depth 8 rgba:'" + raw + "'")) << name;
    Bytes px = ReadAll(raw);
    for (size_t k = 3; k < px.size(); k += 4) px[k] = 255;
    EXPECT_EQ(OpaqueDiff(px, ref.rgba[static_cast<size_t>(i)]), 0) << name;
  }

  // To FLC through the palette pass: the frames come back close to the GIF's.
  const std::string flc = Temp("cligif.flc");
  ASSERT_TRUE(Shell(Vekconv() + " -b 8 -r 10 --no-keep-duration '" + flc + "' '" + gif + "'"));
  const Frames back = FfmpegFrames(flc, 96, 72);
  ASSERT_EQ(back.rgba.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    double err = 0;
    for (size_t k = 0; k < back.rgba[i].size(); ++k)
      if (k % 4 != 3) err += std::abs(back.rgba[i][k] - ref.rgba[i][k]);
    EXPECT_LT(err / (96 * 72 * 3), 4.0) << "frame " << i + 1;
  }
}

}  // namespace
