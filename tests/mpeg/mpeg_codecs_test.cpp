// Sound and pictures in codecs and framings that other programs write: AAC
// and AC-3 in AVI and program streams (surround mixed to stereo), MP3 with
// encoder delay and padding recorded in its Xing/LAME header, and short
// MPEG-2 elementary streams. ffmpeg writes each file and its own decode is
// the reference: the same number of samples and frames, the same samples.
#include <algorithm>

#include "engine/format_dispatch.h"
#include "formats/format_descriptor.h"
#include "formats/movie/mpeg.h"
#include "image/image.h"
#include "mpeg_test_util.h"

namespace vek {
namespace {

using namespace mpegtest;

constexpr const char* kSurround =
    "-f lavfi -i sine=frequency=440:sample_rate=48000 -f lavfi -i sine=frequency=660:sample_rate=48000 "
    "-f lavfi -i sine=frequency=880:sample_rate=48000 -f lavfi -i sine=frequency=220:sample_rate=48000 "
    "-f lavfi -i sine=frequency=330:sample_rate=48000 -f lavfi -i sine=frequency=550:sample_rate=48000 "
    "-filter_complex '[1][2][3][4][5][6]join=inputs=6:channel_layout=5.1[a]' -map 0:v -map '[a]'";

struct CodecCase {
  const char* name;
  const char* inputs;  // ffmpeg inputs after the picture source
  const char* args;    // ffmpeg output options
  const char* file;
  int32_t format;
  int32_t channels;  // what we deliver (ffmpeg decodes with -ac of this)
  int tolerance;     // largest sample difference allowed after a seek (AC-3 dithers
                     // from a running noise generator); a whole decode is within 1
};

class SoundCodecs : public ::testing::TestWithParam<CodecCase> {};

TEST_P(SoundCodecs, SamplesAreFfmpegs) {
  VEK_NEED_FFMPEG();
  const CodecCase& c = GetParam();
  const std::string file = Dir() + c.file;
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc=size=32x32:rate=25 " + std::string(c.inputs) +
                " -t 0.6 " + c.args + " '" + file + "'"),
            0);
  const std::vector<uint8_t> raw = Capture("ffmpeg -v error -i '" + file + "' -vn -ac " +
                                           std::to_string(c.channels) + " -f s16le -");
  const std::vector<int16_t> ref(reinterpret_cast<const int16_t*>(raw.data()),
                                 reinterpret_cast<const int16_t*>(raw.data() + raw.size()));
  const int32_t total = static_cast<int32_t>(ref.size() / size_t(c.channels));
  ASSERT_GT(total, 10000);

  QffInfo fi{};
  FFInfo(file, c.format, fi);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  EXPECT_TRUE(fi.soundSupported);
  EXPECT_EQ(fi.samples, total);
  EXPECT_EQ(fi.sndFormatOut.channels, c.channels);

  const int32_t mem = MemCount();
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MviOpen(mh, file, c.format);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  ASSERT_TRUE(MviView(mh).has_sound);
  SoundBuffer snd{};
  auto check = [&](int32_t first, int32_t count, int32_t mode, int tolerance) {
    MviSndLoad(mh, snd, first, mode, count);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    const int32_t want = std::min(count, total - first);
    ASSERT_EQ(snd.sample_count, want) << c.name << " from " << first;
    const int16_t* got = reinterpret_cast<const int16_t*>(snd.data);
    int worst = 0;
    for (int64_t i = 0; i < int64_t(want) * c.channels; ++i)
      worst = std::max(worst, std::abs(got[i] - ref[size_t(first) * c.channels + size_t(i)]));
    EXPECT_LE(worst, tolerance) << c.name << " from " << first;
  };
  check(0, total + 500, 0, 1);                 // all of it, the last frame included
  check(total / 2 + 77, 4000, 0, c.tolerance);  // from a seek inside a frame
  check(1000, 3000, 0, c.tolerance);
  check(4000, 5000, 1, c.tolerance);            // on from where the last load ended
  SndFree(snd);
  MviClose(mh);
  EXPECT_EQ(MemCount(), mem);
}

INSTANTIATE_TEST_SUITE_P(
    Files, SoundCodecs,
    ::testing::Values(
        CodecCase{"AviAacStereo", "-f lavfi -i sine=frequency=330:sample_rate=44100:beep_factor=3",
                  "-ac 2 -c:v mjpeg -c:a aac -b:a 96k", "aac.avi", kFmtAVI, 2, 1},
        CodecCase{"AviAacMono", "-f lavfi -i sine=frequency=330:sample_rate=22050",
                  "-c:v mjpeg -c:a aac -b:a 32k", "aac1.avi", kFmtAVI, 1, 1},
        CodecCase{"AviAac51", kSurround, "-c:v mjpeg -c:a aac -b:a 192k", "aac51.avi", kFmtAVI,
                  2, 1},
        CodecCase{"AviAc3Stereo", "-f lavfi -i sine=frequency=330:sample_rate=48000:beep_factor=3",
                  "-ac 2 -c:v mjpeg -c:a ac3 -b:a 128k", "ac3.avi", kFmtAVI, 2, 16},
        CodecCase{"PsAc3Stereo", "-f lavfi -i sine=frequency=330:sample_rate=48000:beep_factor=3",
                  "-ac 2 -c:v mpeg2video -c:a ac3 -b:a 128k -f vob", "ac3.mpg", kFmtMPEG, 2, 16},
        CodecCase{"PsAc3At44100", "-f lavfi -i sine=frequency=330:sample_rate=44100",
                  "-c:v mpeg2video -c:a ac3 -b:a 96k -f vob", "ac3_441.mpg", kFmtMPEG, 1, 16},
        CodecCase{"PsAc351", kSurround, "-c:v mpeg2video -c:a ac3 -b:a 384k -f vob", "ac351.mpg",
                  kFmtMPEG, 2, 16}),
    [](const auto& info) { return std::string(info.param.name); });

// MP3 files too short for the checks above: the sample count and samples
// after the delay and padding that the header records are trimmed.
struct ShortMp3 {
  const char* name;
  const char* source;
  const char* args;
  const char* file;
};

class ShortMp3s : public ::testing::TestWithParam<ShortMp3> {};

TEST_P(ShortMp3s, TrimmedLikeFfmpeg) {
  VEK_NEED_FFMPEG();
  const ShortMp3& c = GetParam();
  const std::string file = Dir() + c.file;
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i '" + std::string(c.source) + "' -c:a libmp3lame " +
                c.args + " '" + file + "'"),
            0);
  const std::vector<int16_t> ref = DecodeAudio(file);
  ASSERT_GT(ref.size(), 0u);
  QffInfo fi{};
  FFInfo(file, kFmtMPEG, fi);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  ASSERT_TRUE(fi.soundSupported) << c.name;
  EXPECT_EQ(fi.samples, int32_t(ref.size()));
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MviOpen(mh, file, kFmtMPEG);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  SoundBuffer snd{};
  MviSndLoad(mh, snd, 0, 0, int32_t(ref.size()) + 100);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  ASSERT_EQ(snd.sample_count, int32_t(ref.size()));
  const int16_t* got = reinterpret_cast<const int16_t*>(snd.data);
  for (size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(got[i], ref[i]) << c.name << " sample " << i;
  SndFree(snd);
  MviClose(mh);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ShortMp3s,
    ::testing::Values(
        // 229 samples of MPEG-2 layer III in three frames behind an Info frame.
        ShortMp3{"Mpeg2LayerIIIWithLameHeader", "sine=frequency=440:sample_rate=16000:duration=0.0143125",
                 "-b:a 32k -id3v2_version 0", "short.mp3"},
        ShortMp3{"SmallVbrWithXing", "sine=frequency=440:sample_rate=22050:duration=0.02",
                 "-q:a 9 -id3v2_version 0", "vbr.mp3"},
        ShortMp3{"SmallVbrWithId3AndXing", "sine=frequency=440:sample_rate=44100:duration=0.01",
                 "-q:a 9", "vbr_id3.mp3"}),
    [](const auto& info) { return std::string(info.param.name); });

// Short MPEG-2 elementary streams: every frame ffmpeg decodes, the last ones
// included, and the count says so. Field pictures (both fields of a frame in
// one packet of the demuxer) count as one frame each.
TEST(ShortMpeg2Es, EveryFrameToTheLast) {
  VEK_NEED_FFMPEG();
  for (const char* args : {"-bf 0", "-bf 2 -g 12", "-bf 2 -g 3 -flags +cgop -sc_threshold 1000000000",
                           "fields"}) {
    std::string file = Dir() + "seven.m2v";
    if (std::string(args) == "fields")
      file = std::string(VEK_TEST_DATA) + "/mpeg/field_pictures_7.m2v";
    else
      ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc=size=48x32:rate=25 -frames:v 7 -c:v "
                   "mpeg2video " + std::string(args) + " -f mpeg2video '" + file + "'"),
                0);
    const std::vector<uint8_t> ref = DecodeVideo(file);
    const size_t fb = 48 * 32 * 3;
    ASSERT_EQ(ref.size(), 7 * fb) << args;
    QffInfo fi{};
    FFInfo(file, kFmtMPEG, fi);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    EXPECT_EQ(fi.frames, 7) << args;
    QMovieHandle mh{kUndefined, nullptr, nullptr};
    MviOpen(mh, file, kFmtMPEG);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    QImg img{};
    for (int32_t f = 1; f <= 7; ++f) {
      MviImgLoad(mh, img, f, 1);
      ASSERT_TRUE(ErrNone()) << ErrMsgLast() << " " << args << " frame " << f;
      EXPECT_EQ(MaxDiff(img.pixels, ref.data() + size_t(f - 1) * fb, fb), 0) << args << " " << f;
    }
    ImgFree(&img);
    MviClose(mh);
  }
}

}  // namespace
}  // namespace vek
