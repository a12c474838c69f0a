// Reading files that ffmpeg writes: every frame we give at a frame number
// is ffmpeg's decode of that frame, and sound from any sample on is
// ffmpeg's decode from that sample.
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "engine/format_dispatch.h"
#include "formats/format_descriptor.h"
#include "formats/movie/mpeg.h"
#include "foundation/files.h"
#include "image/image.h"
#include "mpeg_test_util.h"

namespace vek {
namespace {

using namespace mpegtest;

struct VideoCase {
  const char* name;
  const char* args;  // ffmpeg output options
  const char* file;
  const char* compression;
};

class MpegVideoRead : public ::testing::TestWithParam<VideoCase> {};

TEST_P(MpegVideoRead, FramesAtAnyNumberMatchFfmpeg) {
  VEK_NEED_FFMPEG();
  const VideoCase& c = GetParam();
  const std::string file = Dir() + c.file;
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=96x64:rate=25 -frames:v 40 " +
                std::string(c.args) + " '" + file + "'"),
            0);
  const std::vector<uint8_t> ref = DecodeVideo(file);
  const size_t fb = 96 * 64 * 3;
  ASSERT_EQ(ref.size() % fb, 0u);
  const int32_t n = static_cast<int32_t>(ref.size() / fb);
  ASSERT_GT(n, 30);

  QffInfo fi{};
  FFInfo(file, kFmtMPEG, fi);
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(fi.width, 96);
  EXPECT_EQ(fi.height, 64);
  EXPECT_EQ(fi.frames, n);
  EXPECT_DOUBLE_EQ(fi.fps, 25.0);
  EXPECT_STREQ(fi.compression, c.compression);
  EXPECT_TRUE(fi.imagesSupported);

  const int32_t mem = MemCount();
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MviOpen(mh, file, kFmtMPEG);
  ASSERT_TRUE(ErrNone());
  QImg img{};
  auto check = [&](int32_t f, int32_t mode) {
    MviImgLoad(mh, img, f, mode);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast() << " frame " << f;
    ASSERT_EQ(img.size, int32_t(fb));
    const uint8_t* want = ref.data() + size_t(f - 1) * fb;
    EXPECT_LE(MaxDiff(img.pixels, want, fb), 0) << c.name << " frame " << f;
    EXPECT_EQ(MviView(mh).current, f);
  };
  // In order, then at random, backwards included, then on from a seek.
  for (int32_t f = 1; f <= n; ++f) check(f, 1);
  std::mt19937 rng(7);
  for (int i = 0; i < 25; ++i) check(1 + int32_t(rng() % n), 0);
  for (int32_t f : {n, 1, n / 2, n / 2 + 1, n / 2 + 2, 3, 2}) check(f, 0);
  // Frame 0 is the next one.
  MviImgLoad(mh, img, 0, 0);
  ASSERT_TRUE(ErrNone());
  EXPECT_LE(MaxDiff(img.pixels, ref.data() + 2 * fb, fb), 1);
  // Beyond the end.
  MonitoredBoundary("Test.Beyond", [&] { MviImgLoad(mh, img, n + 1, 0); });
  EXPECT_EQ(ErrGroup(), kGrpMovie);
  EXPECT_EQ(ErrCode(), kMviEnd);
  ErrClear();
  ImgFree(&img);
  MviClose(mh);
  EXPECT_EQ(MemCount(), mem);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, MpegVideoRead,
    ::testing::Values(
        VideoCase{"Mpeg1EsBFrames", "-c:v mpeg1video -bf 2 -g 12", "b.m1v", "MPEG-1"},
        VideoCase{"Mpeg2PsOpenGop", "-c:v mpeg2video -bf 2 -g 9 -f vob", "open.mpg", "MPEG-2"},
        VideoCase{"Mpeg2EsClosedGop", "-c:v mpeg2video -bf 2 -g 9 -flags +cgop -sc_threshold 1000000000", "closed.m2v",
                  "MPEG-2"},
        VideoCase{"Mpeg1PsNoB", "-c:v mpeg1video -bf 0 -g 5 -f mpeg", "nob.mpg", "MPEG-1"},
        VideoCase{"Mpeg2Interlaced", "-c:v mpeg2video -bf 1 -g 6 -flags +ildct+ilme -top 1",
                  "il.m2v", "MPEG-2"}),
    [](const auto& info) { return std::string(info.param.name); });

struct AudioCase {
  const char* name;
  const char* args;
  const char* file;
  const char* format_name;
  int32_t rate, channels;
  bool layer2;
};

class MpegAudioRead : public ::testing::TestWithParam<AudioCase> {};

TEST_P(MpegAudioRead, SoundFromAnySampleMatchesFfmpeg) {
  VEK_NEED_FFMPEG();
  const AudioCase& c = GetParam();
  const std::string file = Dir() + c.file;
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i 'sine=frequency=330:sample_rate=" +
                std::to_string(c.rate) + ":beep_factor=3' -t 2.3 -ac " +
                std::to_string(c.channels) + " " + c.args + " '" + file + "'"),
            0);
  const std::vector<int16_t> ref = DecodeAudio(file);
  const int32_t total = static_cast<int32_t>(ref.size() / c.channels);
  ASSERT_GT(total, 40000);

  QffInfo fi{};
  FFInfo(file, kFmtMPEG, fi);
  ASSERT_TRUE(ErrNone());
  EXPECT_FALSE(fi.imagesValid);
  EXPECT_TRUE(fi.soundSupported);
  EXPECT_EQ(fi.samples, total);
  EXPECT_EQ(int32_t(fi.sndFormatOut.samplesPerSec), c.rate);
  EXPECT_EQ(fi.sndFormatOut.channels, c.channels);
  EXPECT_EQ(fi.sndFormatOut.bitsPerSample, 16);
  EXPECT_STREQ(fi.sndFormatName, c.format_name);

  const int32_t mem = MemCount();
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MviOpen(mh, file, kFmtMPEG);
  ASSERT_TRUE(ErrNone());
  SoundBuffer snd{};
  auto check = [&](int32_t first, int32_t count, int32_t mode) {
    MviSndLoad(mh, snd, first, mode, count);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    const int32_t want = std::min(count, total - first);
    ASSERT_EQ(snd.sample_count, want) << "from " << first;
    const int16_t* got = reinterpret_cast<const int16_t*>(snd.data);
    int worst = 0;
    for (int64_t i = 0; i < int64_t(want) * c.channels; ++i)
      worst = std::max(worst, std::abs(got[i] - ref[size_t(first) * c.channels + size_t(i)]));
    // Layer II decodes in fixed point with a running dither: one step apart after a seek.
    EXPECT_LE(worst, c.layer2 ? 1 : 0) << c.name << " from " << first;
  };
  check(1000, 3000, 0);       // inside the first audio frame
  check(4000, 5000, 1);       // continues where the last load ended
  check(0, 700, 0);           // back to the start
  std::mt19937 rng(11);
  for (int i = 0; i < 12; ++i) check(int32_t(rng() % (total - 10)), 1 + int32_t(rng() % 5000), 0);
  check(total - 100, 1000, 0);  // the end gives what is left
  // Beyond the last audio frame.
  MonitoredBoundary("Test.Beyond", [&] { MviSndLoad(mh, snd, total + 5000, 0, 100); });
  EXPECT_EQ(ErrGroup(), kGrpMovie);
  EXPECT_EQ(ErrCode(), kMviEnd);
  EXPECT_EQ(ErrMsgLast(), "End of movie reached.");
  ErrClear();
  SndFree(snd);
  MviClose(mh);
  EXPECT_EQ(MemCount(), mem);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, MpegAudioRead,
    ::testing::Values(
        AudioCase{"Mp2Stereo", "-c:a mp2 -b:a 192k", "a.mp2", "MPEG-1, Layer-II", 44100, 2, true},
        AudioCase{"Mp3Stereo", "-c:a libmp3lame -b:a 128k", "a.mp3", "MPEG-1, Layer-III (MP3)",
                  48000, 2, false},
        AudioCase{"Mp3LowRateMono", "-c:a libmp3lame -b:a 32k", "lsf.mp3",
                  "MPEG-2 LSF, Layer-III (MP3)", 22050, 1, false},
        AudioCase{"Mp2InProgramStream", "-c:a mp2 -b:a 128k -f mpeg", "snd.mpg",
                  "MPEG-1, Layer-II", 32000, 2, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MpegInfo, ProgramStreamWithBothAndTheCache) {
  VEK_NEED_FFMPEG();
  const std::string file = Dir() + "both.mpg";
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=64x48:rate=30000/1001 -f lavfi -i "
                "sine=sample_rate=48000 -t 1 -c:v mpeg2video -b:v 800k -maxrate 800k -bufsize 1M -c:a mp2 -b:a 128k -f vob '" +
                file + "'"),
            0);
  QffInfo fi{};
  FFInfo(file, kFmtMPEG, fi);
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(fi.frames, std::stoi(Probe(file, "v", "nb_read_frames")));
  EXPECT_NEAR(fi.fps, 29.97, 0.001);
  EXPECT_STREQ(fi.compression, "MPEG-2");
  EXPECT_TRUE(fi.soundSupported);
  EXPECT_EQ(int32_t(fi.sndFormatOut.samplesPerSec), 48000);
  EXPECT_STREQ(fi.sndFormatName, "MPEG-1, Layer-II");
  // Video bit rate / 8 plus audio kilobits x 128.
  EXPECT_EQ(fi.maxDataRate, 800000 / 8 + 128 * 128) << fi.maxDataRate;

  // A file changed moments ago is read again every time (a rewrite within
  // one tick of the file system's clock would look the same); once settled,
  // the cache keeps it until any of its times or its size change.
  EXPECT_FALSE(isMPEGCached(file));
  std::this_thread::sleep_for(std::chrono::milliseconds(3200));
  FFInfo(file, kFmtMPEG, fi);
  EXPECT_TRUE(isMPEGCached(file));
  EXPECT_FALSE(isMPEGCached(Dir() + "other.mpg"));
  // Modified ten seconds earlier.
  std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) - std::chrono::seconds(10));
  EXPECT_FALSE(isMPEGCached(file));
  EXPECT_EQ(fi.width, 64);
}

}  // namespace
}  // namespace vek

namespace vek {
namespace {

using namespace mpegtest;

// Pictures smaller than one macroblock, and sizes around it: the file's own
// size is reported and every frame is ffmpeg's decode (the conversion must
// not write past a buffer of width x height pixels; ASan runs watch it).
TEST(MpegTinyPictures, EverySizeUpTo17MatchesFfmpeg) {
  VEK_NEED_FFMPEG();
  const int32_t mem = MemCount();
  std::vector<std::pair<int, int>> sizes;
  for (int s = 1; s <= 17; ++s) sizes.push_back({s, s});
  for (auto wh : {std::pair{1, 17}, std::pair{17, 2}, std::pair{5, 9}}) sizes.push_back(wh);
  for (auto [w, h] : sizes) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const std::string file = Dir() + "tiny.mpg";
    ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc=size=" + std::to_string(w) + "x" +
                 std::to_string(h) + ":rate=25 -frames:v 3 -c:v mpeg1video -f mpeg '" + file + "'"),
              0);
    const std::vector<uint8_t> ref = DecodeVideo(file);
    const size_t fb = size_t(w) * h * 3;
    ASSERT_EQ(ref.size(), 3 * fb);
    QffInfo fi{};
    FFInfo(file, kFmtMPEG, fi);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    EXPECT_EQ(fi.width, w);
    EXPECT_EQ(fi.height, h);
    QMovieHandle mh{kUndefined, nullptr, nullptr};
    MviOpen(mh, file, kFmtMPEG);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    QImg img{};
    for (int32_t f : {1, 2, 3, 1}) {
      MviImgLoad(mh, img, f, 0);
      ASSERT_TRUE(ErrNone()) << ErrMsgLast();
      ASSERT_EQ(size_t(img.size), fb);
      EXPECT_EQ(MaxDiff(img.pixels, ref.data() + size_t(f - 1) * fb, fb), 0) << "frame " << f;
    }
    ImgFree(&img);
    MviClose(mh);
    FDelete(file);
  }
  EXPECT_EQ(MemCount(), mem);
}

}  // namespace
}  // namespace vek
