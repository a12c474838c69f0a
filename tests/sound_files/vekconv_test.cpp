// The command-line host on sound files: converting between WAV and Ogg
// Vorbis and describing both.
#include "sound_files_util.h"

#include <unistd.h>

#include <cstdio>

#include "vek/vek.h"

using namespace sftest;

namespace {

const std::string kVekconv = std::string(VEK_BINARY_DIR) + "/tools/vekconv/vekconv";

}  // namespace

TEST_F(SoundFileTest, VekconvConvertsBetweenWavAndOggAndDescribesBoth) {
  if (kWindowsBuild || access(kVekconv.c_str(), X_OK) != 0) GTEST_SKIP() << "vekconv is not built (a POSIX tool)";
  if (!HaveTool("sox") || !HaveTool("ffprobe")) GTEST_SKIP() << VEK_ORACLE_SKIP << "sox or ffprobe missing";
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

namespace {

std::string g_tone;
void VEKAPI ToneSource(VekJob* job, int32_t block) {
  if (block == 0)
    VekSrcSetFile(job, g_tone.c_str());
  else
    VekSrcFinished(job);
}

}  // namespace

// Sound the writers cannot take (the record holds 8 or 16 bits, one or two
// channels) is refused before the run with the sound group's error; nothing
// is created and nothing is counted as written. The formats next to them
// are written and read back as asked.
TEST_F(SoundFileTest, SoundFormatsTheOutputsCannotTakeAreRefusedBeforeTheRun) {
  if (!HaveTool("sox")) GTEST_SKIP() << VEK_ORACLE_SKIP << "sox missing";
  g_tone = Temp("fmt_tone.wav");
  ASSERT_TRUE(sftest::Run("sox -n -r 44100 -c 1 -b 16 " + g_tone + " synth 0.1 sine 440"));
  struct Case {
    int32_t rate, channels, bits;
    bool ok;
  };
  for (const Case& c : {Case{44100, 2, 24, false}, Case{44100, 2, 32, false}, Case{44100, 6, 16, false},
                        Case{44100, 0, 16, false}, Case{500, 1, 16, false}, Case{22050, 2, 8, true},
                        Case{1000, 1, 16, true}}) {
    for (const char* ext : {".wav", ".ogg", ".hav"}) {
      const std::string out = Temp(std::string("fmt_out") + ext);
      const std::string what = out + " " + std::to_string(c.rate) + "," + std::to_string(c.channels) + "," +
                               std::to_string(c.bits);
      VekJob* job = VekAlloc();
      VekSetAudioFormat(job, c.rate, c.channels, c.bits);
      VekAssignAudioSource(job, ToneSource);
      VekSetOutputFile(job, nullptr, out.c_str());
      const int32_t status = VekConvert(job);
      VekLastError e{};
      VekGetLastError(&e);
      const int32_t samples = job->doneSamples;
      VekFree(job);
      if (c.ok) {
        EXPECT_EQ(status, VEK_STATUS_OK) << what;
        if (std::string(ext) != ".hav" && HaveTool("ffprobe")) {
          EXPECT_EQ(Capture("ffprobe -v error -show_entries stream=sample_rate,channels -of csv=p=0 " + out),
                    std::to_string(c.rate) + "," + std::to_string(c.channels))
              << what;
        }
      } else {
        EXPECT_EQ(status, VEK_STATUS_ERROR) << what;
        EXPECT_EQ(e.group, 8) << what;
        EXPECT_EQ(e.code, 4) << what;
        EXPECT_EQ(samples, 0) << what;
        EXPECT_FALSE(vek::FExists(out)) << what;
      }
      std::remove(out.c_str());
      vek::ErrClear();
    }
  }
}

// vekconv says which sound formats it takes instead of running on one it
// cannot write.
TEST_F(SoundFileTest, VekconvRefusesSoundFormatsItCannotWrite) {
  if (kWindowsBuild || access(kVekconv.c_str(), X_OK) != 0) GTEST_SKIP() << "vekconv is not built (a POSIX tool)";
  if (!HaveTool("sox")) GTEST_SKIP() << VEK_ORACLE_SKIP << "sox missing";
  const std::string tone = Temp("cli_fmt_tone.wav"), out = Temp("cli_fmt_out.wav");
  ASSERT_TRUE(sftest::Run("sox -n -r 44100 -c 1 -b 16 " + tone + " synth 0.1 sine 440"));
  for (const char* f : {"44100,2,24", "44100,2,32", "44100,6,16", "500,1,16"}) {
    const std::string said = Capture(kVekconv + " -a " + tone + " --audio-format " + f + " " + out + " 2>&1; echo rc=$?");
    EXPECT_NE(said.find("8 or 16 bits"), std::string::npos) << f << ": " << said;
    EXPECT_NE(said.find("rc=64"), std::string::npos) << f << ": " << said;
    EXPECT_EQ(said.find("wrote"), std::string::npos) << f << ": " << said;
    EXPECT_FALSE(vek::FExists(out)) << f;
  }
}
