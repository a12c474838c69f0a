// The command-line host on sound files: converting between WAV and Ogg
// Vorbis and describing both.
#include "sound_files_util.h"

using namespace sftest;

namespace {

const std::string kVekconv = std::string(VEK_BINARY_DIR) + "/tools/vekconv/vekconv";

}  // namespace

TEST_F(SoundFileTest, VekconvConvertsBetweenWavAndOggAndDescribesBoth) {
  if (access(kVekconv.c_str(), X_OK) != 0) GTEST_SKIP() << "vekconv is not built";
  if (!HaveTool("sox") || !HaveTool("ffprobe")) GTEST_SKIP() << "sox or ffprobe missing";
  const std::string ima = Temp("cli_ima.wav"), ogg = Temp("cli.ogg"), back = Temp("cli_back.wav"),
                    small = Temp("cli_small.wav");
  ASSERT_TRUE(sftest::Run("sox -n -r 44100 -c 2 -e ima-adpcm " + ima + " synth 1.5 sine 440 sine 900"));
  ASSERT_TRUE(sftest::Run(kVekconv + " -q --audio " + ima + " " + ogg));
  EXPECT_EQ(Capture("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 " + ogg),
            "vorbis,44100,2");
  ASSERT_TRUE(sftest::Run(kVekconv + " -q --audio " + ogg + " " + back));
  EXPECT_EQ(Capture("soxi -t " + back) + Capture("soxi -r " + back) + Capture("soxi -c " + back),
            "wav441002");
  EXPECT_NEAR(std::stod(Capture("soxi -D " + back)), 1.5, 0.05);
  ASSERT_TRUE(sftest::Run(kVekconv + " -q --audio-format 22050,1,8 --audio " + ima + " " + small));
  EXPECT_EQ(Capture("soxi -r " + small) + Capture("soxi -c " + small) + Capture("soxi -b " + small),
            "2205018");
  const std::string info = Capture(kVekconv + " --info " + ima) + Capture(kVekconv + " --info " + ogg);
  EXPECT_NE(info.find(" samples, 44100 Hz, 2 channel(s), 16 bits"), std::string::npos) << info;
  EXPECT_NE(info.find(ogg), std::string::npos) << info;
}
