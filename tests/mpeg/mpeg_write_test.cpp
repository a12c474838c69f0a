// Writing: ffprobe and ffmpeg judge every file we write (video alone, sound
// alone, both multiplexed), and vekconv runs the whole path.
#include <unistd.h>

#include <cstring>

#include "engine/format_registry.h"
#include "formats/format_descriptor.h"
#include "formats/movie/mpeg.h"
#include "engine/format_dispatch.h"
#include "codecs/ffmpeg/mpeg_codec.h"
#include "foundation/files.h"
#include "image/image.h"
#include "mpeg_test_util.h"
#include "windows_skip.h"
#ifdef _WIN32
#include <windows.h>
#endif

namespace vek {
namespace {

using namespace mpegtest;

constexpr int kW = 320, kH = 240;

// A photo panned across, one frame after the other, as 24-bit frames.
const std::vector<std::vector<uint8_t>>& PhotoFrames() {
  static const std::vector<std::vector<uint8_t>> frames = [] {
    std::vector<std::vector<uint8_t>> out;
    const std::string photo = std::string(VEK_TEST_DATA) + "/demo/chelsea_400.png";
    const std::vector<uint8_t> big =
        Capture("ffmpeg -v error -i '" + photo + "' -vf scale=400:300 -f rawvideo -pix_fmt bgr24 -");
    if (big.size() != 400u * 300 * 3) return out;
    for (int f = 0; f < 20; ++f) {
      std::vector<uint8_t> fr(size_t(kW) * kH * 3);
      const int ox = 3 * f, oy = 2 * f;
      for (int y = 0; y < kH; ++y)
        std::memcpy(&fr[size_t(y) * kW * 3], &big[(size_t(y + oy) * 400 + ox) * 3], kW * 3);
      out.push_back(std::move(fr));
    }
    return out;
  }();
  return frames;
}

void SaveFrame(QMovieHandle& mh, const std::vector<uint8_t>& px, int w, int h) {
  QImg img{};
  ImgGuard guard(img);
  RawToQimg(&img, px.data(), nullptr, w, h, 24);
  MviImgSave(mh, img);
}

// A 440 Hz tone, `count` sample frames.
void SaveTone(QMovieHandle& mh, int32_t rate, int32_t channels, int32_t count, int32_t from) {
  SoundBuffer snd{};
  SndGuard guard(snd);
  _sndalloc_(snd, int64_t(count) * channels * 2, 1, "test");
  SndMakeFormat(snd.format, rate, channels, 16);
  auto* s = reinterpret_cast<int16_t*>(snd.data);
  for (int32_t i = 0; i < count; ++i)
    for (int c = 0; c < channels; ++c)
      s[i * channels + c] = int16_t(8000 * std::sin(2 * M_PI * 440 * (from + i) / rate));
  snd.sample_count = count;
  MviSndSave(mh, snd);
}

std::string PartPrefix(const char* stem) {
#ifdef _WIN32
  return platform::MpegTempFolder() + stem + std::to_string(static_cast<long>(GetCurrentThreadId()));
#else
  return platform::MpegTempFolder() + stem + std::to_string(static_cast<long>(gettid()));
#endif
}

int PartsLeft() {
  int n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(platform::MpegTempFolder(), ec)) {
    const std::string p = e.path().string();
    if (p.rfind(PartPrefix("mpv-"), 0) == 0 || p.rfind(PartPrefix("mpa-"), 0) == 0) ++n;
  }
  return n + TempLeftovers(Dir());
}

TEST(MpegWrite, VideoReadsBackInFfmpegAndHere) {
  VEK_NEED_FFMPEG();
  const auto& frames = PhotoFrames();
  ASSERT_EQ(frames.size(), 20u);
  const std::string file = Dir() + "photo.mpg";
  MpgSetVersion(1);
  MpgSetBitRate(1125);
  const int32_t mem = MemCount();
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MviCreate(mh, file, 25.0, 1, int32_t(frames.size()));
  for (const auto& f : frames) SaveFrame(mh, f, kW, kH);
  MviClose(mh);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  EXPECT_EQ(MemCount(), mem);

  EXPECT_EQ(Probe(file, "v", "codec_name"), "mpeg1video");
  EXPECT_EQ(Probe(file, "v", "width"), "320");
  EXPECT_EQ(Probe(file, "v", "height"), "240");
  EXPECT_EQ(Probe(file, "v", "r_frame_rate"), "25/1");
  EXPECT_EQ(Probe(file, "v", "nb_read_frames"), "20");

  const std::vector<uint8_t> dec = DecodeVideo(file);
  const size_t fb = size_t(kW) * kH * 3;
  ASSERT_EQ(dec.size(), fb * frames.size());
  double sum = 0, worst = 99;
  for (size_t i = 0; i < frames.size(); ++i) {
    const double p = Psnr(dec.data() + i * fb, frames[i].data(), fb);
    sum += p;
    worst = std::min(worst, p);
  }
  const double mean = sum / double(frames.size());
  RecordProperty("psnr_mean", std::to_string(mean));
  std::printf("PSNR at 1125 kbit/s: mean %.2f dB, lowest %.2f dB\n", mean, worst);
  EXPECT_GE(mean, 30.0);
  EXPECT_GE(worst, 28.0);

  // Our reader gives what ffmpeg gives.
  MviOpen(mh, file, kFmtMPEG);
  ASSERT_TRUE(ErrNone());
  QImg img{};
  for (int32_t f : {1, 2, 20, 7, 8, 13}) {
    MviImgLoad(mh, img, f, 0);
    ASSERT_TRUE(ErrNone());
    EXPECT_LE(MaxDiff(img.pixels, dec.data() + size_t(f - 1) * fb, fb), 1) << "frame " << f;
  }
  ImgFree(&img);
  MviClose(mh);
  EXPECT_EQ(MemCount(), mem);
}

TEST(MpegWrite, RatesSnapUpwardAndShortMoviesAreComplete) {
  VEK_NEED_FFMPEG();
  // The first table rate not below the one asked for.
  EXPECT_EQ(MpgRateCode(29.5), 4);
  EXPECT_EQ(MpgRateCode(61), 8);
  EXPECT_EQ(MpgRateCode(27), 4);
  EXPECT_EQ(MpgRateCode(24000.0 / 1001), 1);
  EXPECT_EQ(MpgRateCode(24.0), 2);
  EXPECT_EQ(MpgRateCode(59.95), 8);
  const FormatDescriptor* d = FormatFor(kFmtMPEG);
  ASSERT_TRUE(d && d->output.frame_rate && d->output.sample_rate);
  EXPECT_NEAR(d->output.frame_rate(27), 29.97, 0.001);
  EXPECT_DOUBLE_EQ(d->output.frame_rate(25), 25);
  EXPECT_EQ(d->output.sample_rate(36000), 44100);
  EXPECT_EQ(d->output.sample_rate(32000), 32000);
  EXPECT_EQ(d->output.sample_rate(8000), 32000);
  EXPECT_EQ(d->output.sample_rate(44101), 48000);
  EXPECT_EQ(FormatFor(kFmtMP2)->output.sample_rate(36000), 44100);
  // The bit rate setting: kilobits in, clamped in bits.
  EXPECT_EQ(MpgSetBitRate(200000), 102400);
  EXPECT_EQ(MpgBitRateBits(), 104857200);
  EXPECT_EQ(MpgSetBitRate(-5), 0);
  EXPECT_EQ(MpgSetBitRate(2000), 2000);
  EXPECT_EQ(MpgSetBitRate(kUndefined), 2000);
  EXPECT_EQ(MpgSetVersion(7), 1);
  EXPECT_EQ(MpgSetVersion(2), 2);
  EXPECT_EQ(MpgSetVersion(kUndefined), 2);

  struct Case {
    double fps;
    int frames;
    const char* rate;
  };
  for (const Case& c : {Case{29.5, 3, "30000/1001"}, Case{61, 2, "60/1"}, Case{10, 1, "24000/1001"},
                        Case{50, 5, "50/1"}}) {
    const std::string file = Dir() + "snap.m2v";
    MpgSetBitRate(c.frames == 1 ? 0 : 1125);  // no rate: constant quality
    QMovieHandle mh{kUndefined, nullptr, nullptr};
    MviCreate(mh, file, c.fps, 1, c.frames);
    std::vector<uint8_t> px(64 * 48 * 3);
    for (int f = 0; f < c.frames; ++f) {
      std::fill(px.begin(), px.end(), uint8_t(40 * f));
      SaveFrame(mh, px, 64, 48);
    }
    MviClose(mh);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    EXPECT_EQ(Probe(file, "v", "codec_name"), "mpeg2video");
    EXPECT_EQ(Probe(file, "v", "r_frame_rate"), c.rate) << c.fps;
    // The close encodes what is still queued.
    EXPECT_EQ(Probe(file, "v", "nb_read_frames"), std::to_string(c.frames)) << c.fps;
  }
  MpgSetVersion(1);
  MpgSetBitRate(1125);
}

class MpegMux : public ::testing::TestWithParam<bool> {};

TEST_P(MpegMux, VideoAndSoundMultiplexedWithNothingLeft) {
  VEK_NEED_FFMPEG();
  const bool sound_first = GetParam();
  const std::string file = Dir() + (sound_first ? "mux_sf.mpg" : "mux_vf.mpg");
  MpgSetVersion(1);
  MpgSetBitRate(1125);
  const int32_t mem = MemCount();
  const int before = PartsLeft();
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MviCreate(mh, file, 25.0, 1, 25);
  std::vector<uint8_t> px(size_t(128) * 96 * 3);
  int32_t done = 0;
  for (int f = 0; f < 25; ++f) {
    if (sound_first || f > 0) {
      SaveTone(mh, 44100, 2, 1764, done);
      done += 1764;
    }
    for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(i * 7 + f * 9);
    SaveFrame(mh, px, 128, 96);
  }
  SaveTone(mh, 44100, 2, 1764, done);
  done += 1764;
  MviClose(mh);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  EXPECT_EQ(MemCount(), mem);
  EXPECT_EQ(PartsLeft(), before);

  EXPECT_EQ(ProbeFormat(file, "format_name"), "mpeg");
  EXPECT_EQ(Probe(file, "v", "codec_name"), "mpeg1video");
  EXPECT_EQ(Probe(file, "v", "nb_read_frames"), "25");
  EXPECT_EQ(Probe(file, "a", "codec_name"), "mp2");
  EXPECT_EQ(Probe(file, "a", "sample_rate"), "44100");
  EXPECT_EQ(Probe(file, "a", "channels"), "2");
  const double vstart = std::stod(Probe(file, "v", "start_time"));
  const double astart = std::stod(Probe(file, "a", "start_time"));
  EXPECT_NEAR(vstart, astart, 1.0 / 25);
  // Every sample is there (the last audio frame filled up with silence).
  const std::vector<int16_t> snd = DecodeAudio(file);
  EXPECT_GE(int32_t(snd.size() / 2), done);
  EXPECT_LT(int32_t(snd.size() / 2), done + 1152 + 1);

  // Read back through the library: both streams.
  QffInfo fi{};
  FFInfo(file, kFmtMPEG, fi);
  EXPECT_EQ(fi.frames, 25);
  EXPECT_TRUE(fi.soundSupported);
  EXPECT_STREQ(fi.sndFormatName, "MPEG-1, Layer-II");
}

INSTANTIATE_TEST_SUITE_P(Order, MpegMux, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "SoundFirst" : "VideoFirst"; });

TEST(MpegWrite, SoundAloneIsAPlainLayerTwoStreamAtTheWritersRate) {
  VEK_NEED_FFMPEG();
  const int32_t mem = MemCount();
  for (const char* name : {"alone.mpg", "alone.mp2"}) {
    const std::string file = Dir() + name;
    QMovieHandle mh{kUndefined, nullptr, nullptr};
    MviCreate(mh, file, 25.0, 1, 0);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    EXPECT_EQ(mh.id, std::string(name).find(".mp2") != std::string::npos ? kFmtMP2 : kFmtMPEG);
    // 22050 Hz goes to the writer's 32000 Hz, converted, not sped up.
    for (int i = 0; i < 10; ++i) SaveTone(mh, 22050, 1, 2205, i * 2205);
    MviClose(mh);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    EXPECT_EQ(Probe(file, "a", "codec_name"), "mp2") << name;
    EXPECT_EQ(Probe(file, "a", "sample_rate"), "32000");
    EXPECT_EQ(Probe(file, "a", "channels"), "1");
    const std::vector<int16_t> snd = DecodeAudio(file);
    EXPECT_NEAR(double(snd.size()) / 32000.0, 1.0, 1152.0 / 32000 + 0.01) << name;
  }
  EXPECT_EQ(MemCount(), mem);
  EXPECT_EQ(TempLeftovers(Dir()), 0);
}

TEST(MpegWrite, EncoderRefusalIsAnErrorWithItsTextAndLeavesNothing) {
  const int32_t mem = MemCount();
  MpgSetVersion(1);
  const std::string file = Dir() + "wide.mpg";
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MviCreate(mh, file, 25.0, 1, 2);
  std::vector<uint8_t> px(size_t(5000) * 16 * 3, 90);
  MonitoredBoundary("Test.Save", [&] { SaveFrame(mh, px, 5000, 16); });
  EXPECT_EQ(ErrGroup(), kGrpExternal);
  EXPECT_FALSE(ErrText().empty());
  ErrClear();
  MonitoredBoundary("Test.Close", [&] { MviClose(mh); });
  ErrClear();
  EXPECT_EQ(MemCount(), mem);
  EXPECT_EQ(FCount(), 0);
  EXPECT_EQ(TempLeftovers(Dir()), 0);
}

TEST(MpegWrite, VekconvWritesAndReadsMpeg) {
#ifndef VEK_VEKCONV
  VEK_SKIP_ON_WINDOWS("vekconv is a POSIX tool, not part of the Windows build");
#else
  VEK_NEED_FFMPEG();
  const std::string d = Dir() + "cli/";
  std::filesystem::create_directories(d);
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -frames:v 12 '" + d +
                "f%03d.bmp'"),
            0);
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i sine=sample_rate=44100 -t 0.6 -c:a mp2 '" + d +
                "tone.mp2'"),
            0);
  const std::string v = std::string("'") + VEK_VEKCONV + "' -q ";
  ASSERT_EQ(Sh(v + "-r 25 -a '" + d + "tone.mp2' '" + d + "out.mpg' '" + d + "f%03d.bmp'"), 0);
  EXPECT_EQ(Probe(d + "out.mpg", "v", "codec_name"), "mpeg1video");
  EXPECT_EQ(Probe(d + "out.mpg", "v", "nb_read_frames"), "12");
  EXPECT_EQ(Probe(d + "out.mpg", "a", "codec_name"), "mp2");
  ASSERT_EQ(Sh(v + "-r 27 -a '" + d + "tone.mp2' '" + d + "out.m2v' '" + d + "f%03d.bmp'"), 0);
  EXPECT_EQ(Probe(d + "out.m2v", "v", "codec_name"), "mpeg2video");
  // 27 frames per second are written as 29.97.
  EXPECT_EQ(Probe(d + "out.m2v", "v", "r_frame_rate"), "30000/1001");
  const std::string info = Text(v + "--info '" + d + "out.mpg'");
  EXPECT_NE(info.find("12 frame(s), 160x120"), std::string::npos) << info;
  EXPECT_NE(info.find("44100 Hz"), std::string::npos) << info;
  // An MPEG file as the input of a run.
  ASSERT_EQ(Sh(v + "-r 25 '" + d + "back0001.tga' '" + d + "out.mpg'"), 0);
  int tga = 0;
  for (const auto& e : std::filesystem::directory_iterator(d))
    if (e.path().extension() == ".tga") ++tga;
  EXPECT_EQ(tga, 12);
  EXPECT_EQ(TempLeftovers(d), 0);
#endif
}

}  // namespace
}  // namespace vek

namespace vek {
namespace {

using namespace mpegtest;

// Tiny pictures written and read back: ffmpeg sees the size and the colour.
TEST(MpegWriteTiny, PicturesBelowOneMacroblock) {
  VEK_NEED_FFMPEG();
  const std::string file = Dir() + "tiny_w.mpg";
  for (auto [w, h] : {std::pair{1, 1}, std::pair{3, 2}, std::pair{5, 17}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    MpgSetVersion(1);
    const int32_t mem = MemCount();
    QMovieHandle mh{kUndefined, nullptr, nullptr};
    MviCreate(mh, file, 25.0, 1, 4);
    const std::vector<uint8_t> px = [&] {
      std::vector<uint8_t> v;
      for (int i = 0; i < w * h; ++i) v.insert(v.end(), {40, 120, 200});
      return v;
    }();
    for (int f = 0; f < 4; ++f) SaveFrame(mh, px, w, h);
    MviClose(mh);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    EXPECT_EQ(MemCount(), mem);
    EXPECT_EQ(Probe(file, "v", "width"), std::to_string(w));
    EXPECT_EQ(Probe(file, "v", "height"), std::to_string(h));
    const std::vector<uint8_t> dec = DecodeVideo(file);
    ASSERT_EQ(dec.size(), px.size() * 4);
    // A flat colour comes back (odd widths need the colour of their last
    // column for the chroma beside it, not what lies past the row).
    for (int f = 0; f < 4; ++f)
      EXPECT_LE(MaxDiff(dec.data() + size_t(f) * px.size(), px.data(), px.size()), 6) << "frame " << f;
  }
}

}  // namespace
}  // namespace vek
