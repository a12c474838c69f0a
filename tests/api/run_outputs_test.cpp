// Where a run's output goes. A job with sound and no usable sound name: the
// sound goes into a video file that carries sound, exactly as when both names
// are equal, and is not counted as done where it has nowhere to go (ffmpeg
// decodes what was written). A frame that cannot be written is put to the
// host's error callback for that frame.
#include <gtest/gtest.h>

#include "test_temp.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_tools.h"
#include "vek/vek.h"

namespace {

using vektest::HaveTool;
using vektest::Shell;

constexpr int kRate = 44100, kChannels = 2, kSamples = 66150;  // 1.5 s
constexpr int kFrames = 30, kFps = 20;                            // 1.5 s
constexpr int kWidth = 64, kHeight = 48;

// A stereo tone, written as a plain 16-bit WAV file.
std::vector<int16_t> Tone() {
  std::vector<int16_t> s(size_t(kSamples) * kChannels);
  for (int i = 0; i < kSamples; ++i) {
    s[size_t(i) * 2] = int16_t(8000 * std::sin(i * 2 * M_PI * 440 / kRate));
    s[size_t(i) * 2 + 1] = int16_t(6000 * std::sin(i * 2 * M_PI * 660 / kRate));
  }
  return s;
}

void WriteWav(const std::string& name, const std::vector<int16_t>& s) {
  const uint32_t data = uint32_t(s.size() * 2);
  auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
  std::string h = "RIFF" + u32(36 + data) + "WAVEfmt " + u32(16) + u16(1) + u16(kChannels) +
                  u32(kRate) + u32(kRate * kChannels * 2) + u16(kChannels * 2) + u16(16) + "data" +
                  u32(data);
  FILE* f = std::fopen(name.c_str(), "wb");
  ASSERT_TRUE(f);
  std::fwrite(h.data(), 1, h.size(), f);
  std::fwrite(s.data(), 2, s.size(), f);
  std::fclose(f);
}

std::string g_wav;
std::vector<uint8_t> g_pixels;
int32_t g_done_samples = -1;

void VEKAPI Video(VekJob* job, int32_t block) {
  if (block >= kFrames) {
    VekSrcFinished(job);
    return;
  }
  for (size_t i = 0; i < g_pixels.size(); ++i) g_pixels[i] = uint8_t(i * 7 + size_t(block) * 9);
  VekSrcSetPixels(job, g_pixels.data(), nullptr, kWidth, kHeight, 24);
}
void VEKAPI Audio(VekJob* job, int32_t block) {
  if (block == 0)
    VekSrcSetFile(job, g_wav.c_str());
  else
    VekSrcFinished(job);
}
void VEKAPI Progress(VekJob*, int32_t, int32_t, int32_t samples) { g_done_samples = samples; }

int32_t Convert(const std::string& video, const char* sound) {
  VekJob* job = VekAlloc();
  VekSetResolution(job, kWidth, kHeight);
  VekSetFrameRate(job, kFps, 0);
  VekSetAudioFormat(job, kRate, kChannels, 16);
  VekAssignVideoSource(job, Video);
  VekAssignAudioSource(job, Audio);
  VekAssignProgress(job, Progress);
  VekSetOutputFile(job, video.c_str(), sound);
  g_done_samples = -1;
  const int32_t status = VekConvert(job);
  VekFree(job);
  return status;
}

// The sound ffmpeg decodes from a file, as 16-bit stereo at the job's rate.
std::string DecodedSound(const std::string& file) {
  return Shell("ffmpeg -v error -i '" + file + "' -map 0:a:0 -f s16le -acodec pcm_s16le -ac 2 -ar " +
               std::to_string(kRate) + " - 2>/dev/null");
}

class SoundIntoVideo : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("/usr/bin/ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    g_wav = vek::testing::UniqueTemp("tone.wav");
    WriteWav(g_wav, Tone());
    g_pixels.assign(size_t(kWidth) * kHeight * 3, 0);
  }
  void TearDown() override { std::remove(g_wav.c_str()); }
};

// No sound name, a sound name with an extension of no sound format, and the
// video name itself: three times the same file with all the sound in it.
TEST_F(SoundIntoVideo, AviAndMpegTakeTheSoundWithoutASoundName) {
  const std::vector<int16_t> tone = Tone();
  const std::string pcm(reinterpret_cast<const char*>(tone.data()), tone.size() * 2);
  for (const char* ext : {".avi", ".mpg"}) {
    SCOPED_TRACE(ext);
    const std::string out = vek::testing::UniqueTemp(std::string("movie") + ext);
    const std::string unknown = vek::testing::UniqueTemp("movie.sound");
    std::string same_sound;
    for (int variant = 0; variant < 3; ++variant) {
      SCOPED_TRACE(variant);
      const char* sound = variant == 0 ? nullptr : variant == 1 ? unknown.c_str() : out.c_str();
      ASSERT_EQ(Convert(out, sound), VEK_STATUS_OK);
      EXPECT_EQ(g_done_samples, kSamples);
      EXPECT_NE(Shell("ffprobe -v error -select_streams a -show_entries stream=codec_type -of csv=p=0 '" +
                      out + "'"),
                "");
      const std::string decoded = DecodedSound(out);
      if (std::string(ext) == ".avi") {
        // PCM: every sample as given.
        EXPECT_TRUE(decoded == pcm) << decoded.size() << " bytes decoded";
      } else {
        // MP2 frames of 1152 samples pad the end; nothing may be missing.
        EXPECT_GE(decoded.size(), pcm.size());
        EXPECT_LE(decoded.size(), pcm.size() + 3 * 1152 * 4);
      }
      if (variant == 2)
        EXPECT_TRUE(decoded == same_sound) << "no sound name differs from equal names";
      else if (variant == 0)
        same_sound = decoded;
      EXPECT_NE(access(unknown.c_str(), F_OK), 0) << "no file under the unknown sound name";
    }
    std::remove(out.c_str());
  }
}

// A video format without sound writes no sound and counts none as done.
TEST_F(SoundIntoVideo, SoundWithNowhereToGoIsNotDone) {
  const std::string out = vek::testing::UniqueTemp("still.bmp");
  ASSERT_EQ(Convert(out, nullptr), VEK_STATUS_OK);
  EXPECT_EQ(g_done_samples, 0);
  for (int i = 1; i <= kFrames; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%02d.bmp", i);
    std::remove((out.substr(0, out.size() - 4) + name).c_str());
  }
  std::remove(out.c_str());
}

// Every frame's failed write reaches the error callback; its answer decides.
int g_asked = 0;
int32_t g_answer = VEK_ANSWER_STOP;
std::string g_path;
void VEKAPI OnError(VekJob*, const char* path, int32_t* answer) {
  ++g_asked;
  g_path = path;
  *answer = g_answer;
}

TEST(RunOutputs, FailedFrameWritesAskTheHost) {
  const std::string out = vek::testing::UniqueTemp("no-such-folder/movie.avi");
  g_pixels.assign(size_t(kWidth) * kHeight * 3, 0);
  struct Case {
    bool callback;
    int32_t answer;
    int asked;
    int32_t status;
  };
  const Case cases[] = {
      {false, 0, 0, VEK_STATUS_ERROR},                     // no callback: the run ends in the error
      {true, VEK_ANSWER_STOP, 1, VEK_STATUS_ERROR},        // asked once, stops there
      {true, VEK_ANSWER_SKIP, kFrames, VEK_STATUS_ERROR},  // leaves each one-frame block
      {true, 0, kFrames, VEK_STATUS_OK},                   // asked for every frame, goes on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    VekJob* job = VekAlloc();
    VekSetResolution(job, kWidth, kHeight);
    VekSetFrameRate(job, kFps, 0);
    VekAssignVideoSource(job, Video);
    if (c.callback) VekAssignError(job, OnError);
    VekSetOutputFile(job, out.c_str(), nullptr);
    g_asked = 0;
    g_answer = c.answer;
    g_path.clear();
    EXPECT_EQ(VekConvert(job), c.status);
    EXPECT_EQ(g_asked, c.asked);
    if (c.asked) {
      EXPECT_NE(g_path.find("ff_avi.AviCreate"), std::string::npos) << g_path;
    }
    VekFree(job);
  }
}

}  // namespace
