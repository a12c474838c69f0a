// AVI files checked against ffmpeg/ffprobe: what we write, ffprobe
// describes and ffmpeg decodes; what ffmpeg writes (also damaged), we read
// with its frame count and pixels.
#include <gtest/gtest.h>


#include "avi_test_util.h"
#include "foundation/memory.h"
#include "formats/movie/avi.h"
#include "platform/vfw/avifile.h"

namespace vek {
namespace {

using namespace avitest;

class AviInterop : public ::testing::Test {
 protected:
  void SetUp() override { ErrClear(); }
  void TearDown() override { platform::AviSetRiffLimit(0); }
  std::string Temp(const std::string& n) { return testing::UniqueTemp(n); }
};

struct CodecCase {
  const char* fourcc;
  const char* ffname;  // ffprobe's codec name
  bool lossless;
};

const CodecCase kCodecs[] = {
    {"cvid", "cinepak", false}, {"MSVC", "msvideo1", false}, {"MJPG", "mjpeg", false},
    {"HFYU", "huffyuv", true},  {"FFVH", "ffvhuff", true},   {"ULRG", "utvideo", true},
    {"ZMBV", "zmbv", true},     {"FFV1", "ffv1", true},      {"DIB ", "rawvideo", true},
};

// Every encoder at 8, 15 and 24 bits: ffprobe sees the codec, size, frame
// count and rate; ffmpeg decodes every frame, exactly for the lossless ones
// (15-bit pictures compared on their 5-bit channels), and our reader agrees.
class AviEncoders : public AviInterop, public ::testing::WithParamInterface<CodecCase> {};

TEST_P(AviEncoders, DecodeInFfmpegAtEveryDepth) {
  REQUIRE_FFMPEG();
  const CodecCase& c = GetParam();
  for (int bits : {8, 15, 24}) {
    SCOPED_TRACE(std::string(c.fourcc) + " at " + std::to_string(bits));
    const std::string f = Temp(std::string("enc_") + std::to_string(bits) + ".avi");
    WriteSpec s;
    s.handler = Code(c.fourcc);
    s.bits = bits;
    s.fps = 12.5;
    const std::vector<uint8_t> want = WriteAvi(f, s);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    const std::string p = Probe(f, "v:0", "stream=codec_name,width,height,nb_read_frames,r_frame_rate");
    EXPECT_EQ(Field(p, "codec_name"), c.ffname);
    EXPECT_EQ(Field(p, "width"), "64");
    EXPECT_EQ(Field(p, "height"), "48");
    EXPECT_EQ(Field(p, "nb_read_frames"), "6");
    EXPECT_EQ(Field(p, "r_frame_rate"), "25/2");
    const std::vector<uint8_t> got = FfmpegRgb(f, Temp("enc.rgb"));
    ASSERT_EQ(got.size(), want.size());
    if (c.lossless && bits == 15) {
      EXPECT_EQ(Top5(got), Top5(want));
    } else if (c.lossless) {
      EXPECT_EQ(got, want);
    } else {
      const double psnr = bits == 15 ? Psnr(Top5(got), Top5(want)) : Psnr(got, want);
      std::printf("  PSNR %s at %d bits: %.1f dB\n", c.fourcc, bits, psnr);
      EXPECT_GT(psnr, 20);
    }
    int32_t frames = 0;
    const std::vector<uint8_t> ours = ReadAviFrames(f, &frames);
    EXPECT_EQ(frames, 6);
    if (c.lossless && bits != 15) EXPECT_EQ(ours, got);
    else EXPECT_GT(Psnr(Top5(ours), Top5(got)), 30);
    FDelete(f);
  }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, AviEncoders, ::testing::ValuesIn(kCodecs),
                         [](const ::testing::TestParamInfo<CodecCase>& i) {
                           std::string n = i.param.fourcc;
                           return n == "DIB " ? std::string("DIB") : n;
                         });

// The only encoder of 8-bit run lengths: our own, read by ffmpeg's decoder.
TEST_F(AviInterop, RunLengthFramesAreExactInFfmpeg) {
  REQUIRE_FFMPEG();
  const std::string f = Temp("mrle.avi");
  WriteSpec s;
  s.handler = FourCC("MRLE");
  s.bits = 8;
  s.width = 70;  // rows that need padding
  const std::vector<uint8_t> want = WriteAvi(f, s);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  EXPECT_EQ(Field(Probe(f, "v:0", "stream=codec_name"), "codec_name"), "msrle");
  EXPECT_EQ(FfmpegRgb(f, Temp("mrle.rgb")), want);
  EXPECT_EQ(ReadAviFrames(f), want);
}

// Sound in the same file, INFO texts with standard ids.
TEST_F(AviInterop, SoundAndInfoTextsReachFfprobe) {
  REQUIRE_FFMPEG();
  const std::string f = Temp("snd.avi");
  WriteSpec s;
  s.handler = FourCC("MJPG");
  s.sound = true;
  s.info = {{"INAM", "A title"}, {"IART", "Someone"}, {"ICMT", "no comment"}, {"ICO", "short id"}};
  std::vector<int16_t> pcm;
  WriteAvi(f, s, &pcm);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  const std::string a = Probe(f, "a:0", "stream=codec_name,sample_rate,channels");
  EXPECT_EQ(Field(a, "codec_name"), "pcm_s16le");
  EXPECT_EQ(Field(a, "sample_rate"), "22050");
  EXPECT_EQ(Field(a, "channels"), "2");
  EXPECT_EQ(FfmpegPcm(f, Temp("snd.pcm"), 22050, 2), pcm);
  const std::string tags = Sh("ffprobe -v error -show_entries format_tags -of default=nw=1 '" + f + "'");
  EXPECT_NE(tags.find("TAG:title=A title"), std::string::npos) << tags;
  EXPECT_NE(tags.find("TAG:artist=Someone"), std::string::npos) << tags;
  EXPECT_NE(tags.find("TAG:comment=no comment"), std::string::npos) << tags;
  EXPECT_EQ(AviReadCustomInfo(f, "IART"), "Someone");
  EXPECT_EQ(AviReadCustomInfo(f, "ICO "), "");  // a 3-character id was never written

  // Read back: the sound through the movie layer, whole.
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  std::vector<int16_t> got;
  MonitoredBoundary("T.Snd", [&] {
    MviOpen(mh, f, kFmtAVI);
    EXPECT_TRUE(MviView(mh).has_sound);
    SoundBuffer snd{};
    SndGuard g(snd);
    int32_t first = 0;
    for (int k = 0; k < 100; ++k) {
      MviSndLoad(mh, snd, first, 1, 1000);
      if (snd.sample_count <= 0) break;
      const auto* d = reinterpret_cast<const int16_t*>(snd.data);
      got.insert(got.end(), d, d + snd.sample_count * 2);
      first += snd.sample_count;
      if (first >= int32_t(pcm.size() / 2)) break;
    }
  });
  ErrClear();
  MonitoredBoundary("T.Close", [&] { MviClose(mh); });
  EXPECT_EQ(got, pcm);
}

// A movie beyond the first RIFF part continues in AVIX parts with OpenDML
// indexes; ffprobe and our reader see all of it.
TEST_F(AviInterop, OpenDmlPartsReadWhole) {
  REQUIRE_FFMPEG();
  platform::AviSetRiffLimit(65536);
  const std::string f = Temp("odml.avi");
  WriteSpec s;
  s.frames = 40;  // 9 KB a frame: several parts
  s.sound = true;
  std::vector<int16_t> pcm;
  const std::vector<uint8_t> want = WriteAvi(f, s, &pcm);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  const std::vector<uint8_t> d = ReadFile(f);
  int parts = 0;
  for (size_t i = 0; i + 12 <= d.size(); ++i)
    if (std::memcmp(&d[i], "RIFF", 4) == 0 && std::memcmp(&d[i + 8], "AVIX", 4) == 0) ++parts;
  EXPECT_GE(parts, 4);
  EXPECT_EQ(Field(Probe(f, "v:0", "stream=nb_read_frames"), "nb_read_frames"), "40");
  EXPECT_EQ(FfmpegRgb(f, Temp("odml.rgb")), want);
  EXPECT_EQ(FfmpegPcm(f, Temp("odml.pcm"), 22050, 2), pcm);
  int32_t frames = 0;
  EXPECT_EQ(ReadAviFrames(f, &frames), want);
  EXPECT_EQ(frames, 40);
}

// `count` sample frames of a mono file from `first`, loaded through the
// movie layer in pieces of 1000 (8-bit samples widened as ffmpeg does).
std::vector<int16_t> LoadSound(const std::string& file, int32_t first, int32_t count) {
  std::vector<int16_t> got;
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MonitoredBoundary("T.Snd", [&] {
    MviOpen(mh, file, kFmtAVI);
    SoundBuffer snd{};
    SndGuard g(snd);
    int32_t at = first;
    int32_t mode = 0;  // the first load seeks
    while (int32_t(got.size()) < count) {
      MviSndLoad(mh, snd, at, mode, std::min<int32_t>(1000, count - int32_t(got.size())));
      if (snd.sample_count <= 0) break;
      if (snd.format.wBitsPerSample == 8) {
        for (int32_t i = 0; i < snd.sample_count; ++i)
          got.push_back(static_cast<int16_t>((snd.data[i] - 128) * 256));
      } else {
        const auto* d = reinterpret_cast<const int16_t*>(snd.data);
        got.insert(got.end(), d, d + snd.sample_count);
      }
      at += snd.sample_count;
      mode = 1;
    }
  });
  ErrClear();
  MonitoredBoundary("T.Close", [&] { MviClose(mh); });
  ErrClear();
  return got;
}

struct FfCase {
  const char* vcodec;
  const char* extra;
  const char* acodec;
  bool lossless;
};

// Files ffmpeg writes, with every video encoder it has that AVI carries and
// PCM, ADPCM and MP3 sound: same frame count, same pictures.
TEST_F(AviInterop, FilesFfmpegWritesRead) {
  REQUIRE_FFMPEG();
  const bool mp3 = Sh("ffmpeg -hide_banner -encoders 2>/dev/null | grep -c libmp3lame") != "0";
  const FfCase cases[] = {
      {"mjpeg", "", "pcm_s16le", false},        {"cinepak", "", "adpcm_ms", false},
      {"msvideo1", "", "adpcm_ima_wav", false}, {"huffyuv", "", "pcm_u8", true},
      {"ffvhuff", "", "pcm_s16le", true},       {"utvideo", "-pix_fmt gbrp", "pcm_s16le", true},
      {"zmbv", "-pix_fmt bgr0", "pcm_s16le", true}, {"ffv1", "", "pcm_s16le", true},
      {"rawvideo", "-pix_fmt bgr24", "pcm_s16le", true}, {"rawvideo", "-pix_fmt pal8", "", true},
      {"mpeg4", "-bf 2 -g 5", mp3 ? "libmp3lame" : "pcm_s16le", false},
      {"msmpeg4v2", "", "pcm_s16le", false},    {"png", "", "", true},
  };
  const std::string src = Temp("src.avi");
  for (const FfCase& c : cases) {
    SCOPED_TRACE(std::string(c.vcodec) + " " + c.extra + " " + c.acodec);
    std::string cmd = "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=10 ";
    if (*c.acodec) cmd += "-f lavfi -i sine=r=22050:d=2 ";
    cmd += "-t 2 -c:v " + std::string(c.vcodec) + " " + c.extra + " ";
    cmd += *c.acodec ? std::string("-c:a ") + c.acodec + " -ac 1 " : std::string("-an ");
    Sh(cmd + "'" + src + "'");
    const std::vector<uint8_t> ff = FfmpegRgb(src, Temp("src.rgb"));
    ASSERT_FALSE(ff.empty());
    int32_t frames = 0;
    const std::vector<uint8_t> ours = ReadAviFrames(src, &frames);
    EXPECT_EQ(frames, 20);
    ASSERT_EQ(ours.size(), ff.size());
    if (std::string(c.vcodec) == "msvideo1") EXPECT_EQ(Top5(ours), Top5(ff));  // 5-bit channels
    else if (c.lossless) EXPECT_EQ(ours, ff);
    else EXPECT_GT(Psnr(ours, ff), 40);
    if (*c.acodec) {
      QffInfo fi{};
      MonitoredBoundary("T.Info", [&] { AviInfo(src, fi); });
      ASSERT_TRUE(ErrNone()) << ErrMsgLast();
      EXPECT_TRUE(fi.soundValid);
      const uint32_t rate = fi.sndFormatOut.samplesPerSec;  // a packed field
      EXPECT_EQ(rate, 22050u);
      // Every sample as ffmpeg decodes it, from the start and from positions
      // inside blocks and frames.
      const std::vector<int16_t> ff_pcm = FfmpegPcm(src, Temp("src.pcm"), 22050, 1);
      ASSERT_GT(ff_pcm.size(), 40000u);
      EXPECT_NEAR(fi.samples, double(ff_pcm.size()), 1200) << fi.sndFormatName;
      const int32_t total = static_cast<int32_t>(ff_pcm.size());
      const std::vector<int16_t> all = LoadSound(src, 0, total);
      ASSERT_EQ(all.size(), ff_pcm.size()) << fi.sndFormatName;
      EXPECT_TRUE(all == ff_pcm) << fi.sndFormatName;
      for (int32_t from : {5000, 1, 1151, 20000, 33333, total - 700}) {
        const std::vector<int16_t> part = LoadSound(src, from, 3000);
        const size_t n = std::min<size_t>(3000, ff_pcm.size() - size_t(from));
        ASSERT_EQ(part.size(), n) << fi.sndFormatName << " from " << from;
        size_t bad = 0;
        while (bad < part.size() && part[bad] == ff_pcm[size_t(from) + bad]) ++bad;
        EXPECT_EQ(bad, part.size()) << fi.sndFormatName << " from " << from;
      }
    }
  }
}

// Codecs with decoder delay (B-frames): a frame asked for by number is that
// frame of ffmpeg's decode, forwards, backwards and at random, and the last
// frames come out of the decoder too.
TEST_F(AviInterop, DecoderDelayFramesByNumber) {
  REQUIRE_FFMPEG();
  std::vector<std::string> codecs = {"-c:v mpeg4 -bf 2 -g 10", "-c:v mpeg4 -bf 2 -g 7 -flags +cgop -sc_threshold 1000000000"};
  if (Sh("ffmpeg -hide_banner -encoders 2>/dev/null | grep -c libx264") != "0")
    codecs.push_back("-c:v libx264 -bf 2 -g 10 -preset fast");
  const std::string src = Temp("delay.avi");
  const size_t fb = size_t(96) * 64 * 3;
  for (const std::string& c : codecs) {
    SCOPED_TRACE(c);
    Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=96x64:rate=10 -t 3 " + c + " '" + src + "'");
    const std::vector<uint8_t> ff = FfmpegRgb(src, Temp("delay.rgb"));
    ASSERT_EQ(ff.size(), 30 * fb);
    const int32_t mem = MemCount();
    QMovieHandle mh{kUndefined, nullptr, nullptr};
    MonitoredBoundary("T.Delay", [&] { MviOpen(mh, src, kFmtAVI); });
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    ASSERT_EQ(MviView(mh).frames, 30);
    auto check = [&](int32_t n) {
      QImg img{};
      ImgGuard g(img);
      MonitoredBoundary("T.Load", [&] { MviImgLoad(mh, img, n, 0); });
      ASSERT_TRUE(ErrNone()) << ErrMsgLast() << " frame " << n;
      const std::vector<uint8_t> want(ff.begin() + long(fb * (n - 1)), ff.begin() + long(fb * n));
      EXPECT_GT(Psnr(ToRgb(img), want), 40) << "frame " << n;
    };
    for (int32_t n = 30; n >= 1; --n) check(n);  // backwards first: nothing decoded yet
    for (int32_t n = 1; n <= 30; ++n) check(n);
    uint32_t r = 12345;
    for (int i = 0; i < 17; ++i) {
      r = r * 1103515245u + 12345u;
      check(1 + int32_t((r >> 8) % 30));
    }
    MonitoredBoundary("T.Close", [&] { MviClose(mh); });
    EXPECT_EQ(MemCount(), mem);
    EXPECT_EQ(platform::AviOpenObjects(), 0);
  }
}

// Without idx1 the index comes from scanning; a cut-off file reads up to the
// cut. Both give ffmpeg's pictures.
TEST_F(AviInterop, MissingIndexAndCutFilesRead) {
  REQUIRE_FFMPEG();
  const std::string src = Temp("full.avi");
  Sh("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i sine=r=8000:d=2 -t 2 "
      "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le '" + src + "'");
  const std::vector<uint8_t> full = FfmpegRgb(src, Temp("full.rgb"));
  ASSERT_EQ(full.size(), size_t(20) * 64 * 48 * 3);
  std::vector<uint8_t> d = ReadFile(src);
  // idx1 renamed to JUNK: no index at all.
  std::vector<uint8_t> noidx = d;
  for (size_t i = noidx.size() - 16; i > 0; --i) {
    if (std::memcmp(&noidx[i], "idx1", 4) == 0) {
      std::memcpy(&noidx[i], "JUNK", 4);
      break;
    }
  }
  WriteFile(Temp("noidx.avi"), noidx);
  int32_t frames = 0;
  EXPECT_EQ(ReadAviFrames(Temp("noidx.avi"), &frames), full);
  EXPECT_EQ(frames, 20);
  // Cut in the middle of the movi list: the complete frames before the cut.
  const size_t cut = d.size() / 2;
  WriteFile(Temp("cut.avi"), std::vector<uint8_t>(d.begin(), d.begin() + long(cut)));
  const std::vector<uint8_t> part = ReadAviFrames(Temp("cut.avi"), &frames);
  ASSERT_GT(frames, 5);
  ASSERT_LT(frames, 20);
  EXPECT_EQ(part, std::vector<uint8_t>(full.begin(), full.begin() + long(part.size())));
  // Broken idx1 offsets: the scan takes over.
  std::vector<uint8_t> bad = d;
  for (size_t i = bad.size() - 16; i > 0; --i) {
    if (std::memcmp(&bad[i], "idx1", 4) == 0) {
      for (size_t k = i + 8 + 8; k + 4 <= bad.size(); k += 16) bad[k] ^= 0x5A;
      break;
    }
  }
  WriteFile(Temp("badidx.avi"), bad);
  EXPECT_EQ(ReadAviFrames(Temp("badidx.avi"), &frames), full);
}

}  // namespace
}  // namespace vek
