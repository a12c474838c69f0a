// MP4, WebM and MPEG transport streams through FFmpeg. What we write is
// judged by ffprobe and by ffmpeg's decode (against ffmpeg's own encode
// with the same encoder and settings where it has that encoder); what we
// read is compared with ffmpeg's decode of the same file, forwards,
// backwards and in random order.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#include "engine/conversion_loop.h"
#include "engine/format_dispatch.h"
#include "engine/format_registry.h"
#include "engine/save_options.h"
#include "formats/format_descriptor.h"
#include "formats/movie/av_movie.h"
#include "foundation/workers.h"
#include "image/image.h"
#include "mpeg/mpeg_test_util.h"
#include "sound/sound.h"
#include "vek/vek.h"

namespace vek {
namespace {

using namespace mpegtest;

constexpr int kW = 320, kH = 240, kFrames = 30;
constexpr size_t kFrameBytes = size_t(kW) * kH * 3;

struct Extensions {
  Extensions() { FmtSetExtensions(true); }
  ~Extensions() { FmtSetExtensions(false); }
};

std::string Q(const std::string& s) { return "'" + s + "'"; }

// ffmpeg's test pattern: moving detail and colour bars, as 24-bit BGR.
const std::vector<uint8_t>& Source() {
  static const std::vector<uint8_t> px = Capture("ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v " +
                                                 std::to_string(kFrames) + " -f rawvideo -pix_fmt bgr24 -");
  return px;
}

double Psnr(const uint8_t* a, const uint8_t* b, size_t n) {
  double se = 0;
  for (size_t i = 0; i < n; ++i) se += double(int(a[i]) - int(b[i])) * (int(a[i]) - int(b[i]));
  return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(n) / se);
}

// ffmpeg's decode of a file as BGR frames (rotation applied, as players do).
std::vector<uint8_t> FfDecode(const std::string& file, const char* extra = "") {
  return Capture("ffmpeg -v error -i " + Q(file) + " " + extra + " -f rawvideo -pix_fmt bgr24 -");
}

std::string Probe(const std::string& file, const std::string& stream, const std::string& entry) {
  return Text("ffprobe -v error -select_streams " + stream + " -show_entries stream=" + entry +
              " -of default=nw=1:nk=1 " + Q(file));
}

void WriteMovie(const std::string& name, bool sound) {
  const std::vector<uint8_t>& src = Source();
  ASSERT_EQ(src.size(), kFrameBytes * kFrames);
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MviCreate(mh, name, 25, 1, kFrames);
  ASSERT_TRUE(ErrNone()) << ErrText();
  WaveFormat wf{};
  SndMakeFormat(wf, 44100, 2, 16);
  if (sound) MviExpectSound(mh, wf);
  int64_t t = 0;
  for (int f = 0; f < kFrames; ++f) {
    QImg img{};
    ImgGuard guard(img);
    RawToQimg(&img, src.data() + kFrameBytes * f, nullptr, kW, kH, 24);
    MviImgSave(mh, img);
    ASSERT_TRUE(ErrNone()) << ErrText();
    if (!sound) continue;
    SoundBuffer snd{};
    SndGuard sguard(snd);
    const int n = 44100 / 25;
    _sndalloc_(snd, n * 4, 1, "test");
    snd.format = wf;
    auto* s = reinterpret_cast<int16_t*>(snd.data);
    for (int i = 0; i < n; ++i, ++t) s[2 * i] = s[2 * i + 1] = int16_t(8000 * std::sin(t * 2 * M_PI * 440 / 44100));
    snd.sample_count = n;
    MviSndSave(mh, snd);
    ASSERT_TRUE(ErrNone()) << ErrText();
  }
  MviClose(mh);
  ASSERT_TRUE(ErrNone()) << ErrText();
}

TEST(AvMovieWrite, FfprobeReadsWhatWeWrite) {
  VEK_NEED_FFMPEG();
  Extensions on;
  struct Case {
    const char* ext;
    AvMovieKind kind;
    const char* vcodec;
    const char* profile;
    const char* acodec;
    const char* rate;
  };
  for (const Case& c : {Case{".mp4", AvMovieKind::kMp4, "h264", "High", "aac", "44100"},
                        Case{".webm", AvMovieKind::kWebm, "vp9", "Profile 0", "opus", "48000"}}) {
    SCOPED_TRACE(c.ext);
    AvSettings(c.kind) = AvMovieSettings{85, 1125, 25};
    const std::string file = Dir() + "written" + c.ext;
    WriteMovie(file, true);
    EXPECT_EQ(Probe(file, "v:0", "codec_name"), c.vcodec);
    EXPECT_EQ(Probe(file, "v:0", "profile"), c.profile);
    EXPECT_EQ(Probe(file, "v:0", "width"), "320");
    EXPECT_EQ(Probe(file, "v:0", "height"), "240");
    EXPECT_EQ(Probe(file, "v:0", "r_frame_rate"), "25/1");
    EXPECT_EQ(Probe(file, "v:0", "pix_fmt"), "yuv420p");
    EXPECT_EQ(Probe(file, "v:0", "color_space"), "bt709");
    EXPECT_EQ(Probe(file, "v:0", "color_range"), "tv");
    EXPECT_EQ(Probe(file, "a:0", "codec_name"), c.acodec);
    EXPECT_EQ(Probe(file, "a:0", "sample_rate"), c.rate);
    EXPECT_EQ(Probe(file, "a:0", "channels"), "2");
    const double duration = std::atof(
        Text("ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 " + Q(file)).c_str());
    EXPECT_NEAR(duration, kFrames / 25.0, 0.05);
    const std::vector<uint8_t> dec = FfDecode(file);
    ASSERT_EQ(dec.size(), Source().size());
    EXPECT_GT(Psnr(dec.data(), Source().data(), dec.size()), 30.0);
    // The sound is the tone: its level survives the codec.
    const std::vector<uint8_t> pcm = Capture("ffmpeg -v error -i " + Q(file) + " -map 0:a -f s16le -ar 44100 -");
    ASSERT_GT(pcm.size(), size_t(44100));
    double energy = 0;
    const auto* s = reinterpret_cast<const int16_t*>(pcm.data());
    for (size_t i = pcm.size() / 8; i < pcm.size() / 4; ++i) energy += double(s[i]) * s[i];
    EXPECT_NEAR(std::sqrt(energy / double(pcm.size() / 8)), 8000 / std::sqrt(2.0), 600);
    if (c.kind == AvMovieKind::kMp4) {
      // The index comes before the data: a browser plays while loading.
      const std::vector<uint8_t> bytes = Capture("head -c 4096 " + Q(file));
      const std::string head(bytes.begin(), bytes.end());
      ASSERT_NE(head.find("moov"), std::string::npos);
      EXPECT_TRUE(head.find("mdat") == std::string::npos || head.find("moov") < head.find("mdat"));
    }
  }
}

// Odd sizes: WebM keeps them, MP4 (4:2:0 H.264 has even sides) repeats
// the last column and row.
TEST(AvMovieWrite, OddSizes) {
  VEK_NEED_FFMPEG();
  Extensions on;
  for (const char* ext : {".mp4", ".webm"}) {
    const std::string file = Dir() + "odd" + ext;
    QMovieHandle mh{kUndefined, nullptr, nullptr};
    MviCreate(mh, file, 25, 1, 3);
    ASSERT_TRUE(ErrNone()) << ErrText();
    std::vector<uint8_t> px(size_t(321) * 241 * 3);
    for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(i * 7 / 3);
    for (int f = 0; f < 3; ++f) {
      QImg img{};
      ImgGuard guard(img);
      RawToQimg(&img, px.data(), nullptr, 321, 241, 24);
      MviImgSave(mh, img);
      ASSERT_TRUE(ErrNone()) << ErrText();
    }
    MviClose(mh);
    ASSERT_TRUE(ErrNone()) << ErrText();
    const bool mp4 = std::string(ext) == ".mp4";
    EXPECT_EQ(Probe(file, "v:0", "width"), mp4 ? "322" : "321");
    EXPECT_EQ(Probe(file, "v:0", "height"), mp4 ? "242" : "241");
    EXPECT_EQ(Text("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                   "-of default=nw=1:nk=1 " + Q(file)),
              "3");
  }
}

// VP9 through our writer against ffmpeg's libvpx-vp9 with the same
// settings from the same frames, by data rate and by quality.
TEST(AvMovieWrite, Vp9DecodesAsFfmpegsOwnEncode) {
  VEK_NEED_FFMPEG();
  Extensions on;
  const std::string raw = Dir() + "frames.bgr";
  {
    std::FILE* f = std::fopen(raw.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(Source().data(), 1, Source().size(), f);
    std::fclose(f);
  }
  struct Case {
    AvMovieSettings set;
    std::string args;
  };
  const std::string threads = std::to_string(std::max(WorkerCount(), 1));
  for (const Case& c : {Case{{85, 600, 25}, "-b:v 600k -g 25"}, Case{{60, 0, 12}, "-crf 33 -b:v 0 -g 12"}}) {
    SCOPED_TRACE(c.args);
    AvSettings(AvMovieKind::kWebm) = c.set;
    const std::string ours = Dir() + "ours.webm", theirs = Dir() + "theirs.webm";
    WriteMovie(ours, false);
    ASSERT_EQ(Sh("ffmpeg -v error -y -f rawvideo -pix_fmt bgr24 -s 320x240 -r 25 -i " + Q(raw) +
                 " -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -colorspace bt709 "
                 "-color_primaries bt709 -color_trc bt709 -color_range tv -c:v libvpx-vp9 " + c.args +
                 " -cpu-used 4 -row-mt 1 -deadline good -threads " + threads + " " + Q(theirs)),
              0);
    const std::vector<uint8_t> a = FfDecode(ours), b = FfDecode(theirs);
    ASSERT_EQ(a.size(), Source().size());
    ASSERT_EQ(b.size(), Source().size());
    const double pa = Psnr(a.data(), Source().data(), a.size()), pb = Psnr(b.data(), Source().data(), b.size());
    EXPECT_NEAR(pa, pb, 0.3);
  }
}

// ---- reading ----

struct ReadCase {
  const char* name;
  const char* make;  // ffmpeg output options
  bool sound;
};

class AvMovieRead : public ::testing::TestWithParam<ReadCase> {};

std::vector<uint8_t> LoadFrame(QMovieHandle& mh, int32_t n) {
  QImg img{};
  ImgGuard guard(img);
  MviImgLoad(mh, img, n, 0);
  if (!ErrNone() || img.bits != 24) return {};
  return std::vector<uint8_t>(img.pixels, img.pixels + img.size);
}

TEST_P(AvMovieRead, FramesAndSoundAsFfmpegDecodesThem) {
  VEK_NEED_FFMPEG();
  Extensions on;
  const ReadCase& c = GetParam();
  const std::string file = Dir() + c.name;
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "
               "sine=frequency=300:sample_rate=44100 -t 1.6 " + std::string(c.make) + " " + Q(file)),
            0);
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MviOpen(mh, file, kUndefined);
  ASSERT_TRUE(ErrNone()) << ErrText();
  const MovieView v = MviView(mh);
  const std::vector<uint8_t> ref = FfDecode(file);
  const size_t fb = size_t(v.width) * v.height * 3;
  ASSERT_GT(fb, 0u);
  ASSERT_EQ(ref.size() % fb, 0u);
  ASSERT_EQ(v.frames, int32_t(ref.size() / fb));
  std::vector<std::vector<uint8_t>> fwd;
  for (int32_t n = 1; n <= v.frames; ++n) {
    fwd.push_back(LoadFrame(mh, n));
    ASSERT_EQ(fwd.back().size(), fb) << "frame " << n << ": " << ErrText();
    EXPECT_GT(Psnr(fwd.back().data(), ref.data() + fb * (n - 1), fb), 50.0) << "frame " << n;
  }
  for (int32_t n = v.frames; n >= 1; --n)
    ASSERT_TRUE(LoadFrame(mh, n) == fwd[n - 1]) << "backwards, frame " << n;
  std::vector<int32_t> order(v.frames);
  for (int32_t i = 0; i < v.frames; ++i) order[i] = i + 1;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  for (int32_t n : order) ASSERT_TRUE(LoadFrame(mh, n) == fwd[n - 1]) << "random, frame " << n;
  if (c.sound) {
    ASSERT_TRUE(v.has_sound);
    const int ch = v.sound.nChannels;
    const std::vector<uint8_t> pcm = Capture("ffmpeg -v error -i " + Q(file) + " -map 0:a -f s16le -ac " +
                                             std::to_string(ch) + " -");
    const size_t total = pcm.size() / (2 * ch);
    std::vector<int16_t> ours;
    SoundBuffer snd{};
    SndGuard guard(snd);
    for (int32_t first = 0;; first += 1000) {
      MviSndLoad(mh, snd, first, 1, 1000);
      ASSERT_TRUE(ErrNone()) << ErrText();
      if (snd.sample_count <= 0) break;
      const auto* s = reinterpret_cast<const int16_t*>(snd.data);
      ours.insert(ours.end(), s, s + snd.sample_count * ch);
    }
    ASSERT_EQ(ours.size() / ch, total);
    // Float decoders may round the last bit differently on another build
    // (x87 on 32-bit Windows); a misplaced or lost block differs by far more.
    const auto* want = reinterpret_cast<const int16_t*>(pcm.data());
    int off = 0;
    for (size_t i = 0; i < ours.size(); ++i) off = std::max(off, std::abs(ours[i] - want[i]));
    EXPECT_LE(off, 2);
    // A block from the middle, after the end has been read, is the same.
    const int32_t mid = int32_t(total / 2) + 37;
    MviSndLoad(mh, snd, mid, 0, 500);
    ASSERT_EQ(snd.sample_count, 500);
    // Decoders that carry rounding state (dither) from frame to frame may
    // differ in the last bit after a seek; nothing more.
    const auto* got = reinterpret_cast<const int16_t*>(snd.data);
    int worst = 0;
    for (size_t i = 0; i < 500u * ch; ++i) worst = std::max(worst, std::abs(got[i] - ours[size_t(mid) * ch + i]));
    EXPECT_LE(worst, 2) << "block at " << mid;
  }
  MviClose(mh);
  EXPECT_TRUE(ErrNone());
}

INSTANTIATE_TEST_SUITE_P(
    Containers, AvMovieRead,
    ::testing::Values(
        ReadCase{"bframes.mp4", "-c:v libx264 -bf 2 -g 12 -c:a aac", true},
        ReadCase{"vp9.mkv", "-c:v libvpx-vp9 -b:v 300k -g 10 -cpu-used 8 -c:a libvorbis", true},
        ReadCase{"vp8.webm", "-c:v libvpx -b:v 300k -g 10 -c:a libopus", true},
        ReadCase{"mpeg2.ts", "-c:v mpeg2video -g 9 -bf 2 -c:a mp2", true},
        ReadCase{"hevc.mkv", "-c:v libx265 -x265-params log-level=none:keyint=10 -preset ultrafast -c:a flac", true},
        ReadCase{"prores.mov", "-c:v prores -c:a pcm_s16le", true},
        ReadCase{"mjpeg.mp4", "-c:v mjpeg -q:v 5 -an", false}),
    [](const ::testing::TestParamInfo<ReadCase>& i) {
      std::string s = i.param.name;
      std::replace(s.begin(), s.end(), '.', '_');
      return s;
    });

// Rotation recorded in the file turns the frames as players turn them.
// (This ffmpeg writes no rotation, so the track matrix is set by hand.)
TEST(AvMovieReadMeta, RotationIsApplied) {
  VEK_NEED_FFMPEG();
  Extensions on;
  const std::string file = Dir() + "turned.mov";
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -t 0.4 -c:v libx264 " + Q(file)), 0);
  {
    std::FILE* f = std::fopen(file.c_str(), "r+b");
    ASSERT_TRUE(f);
    std::vector<uint8_t> bytes(1 << 20);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    const std::string text(bytes.begin(), bytes.end());
    const size_t tkhd = text.find("tkhd");
    ASSERT_NE(tkhd, std::string::npos);
    ASSERT_EQ(bytes[tkhd + 4], 0);  // version 0 layout
    // {0, 1, 0; -1, 0, 0; 0, 0, 1}: a quarter turn.
    const int32_t matrix[9] = {0, 0x10000, 0, -0x10000, 0, 0, 0, 0, 0x40000000};
    std::fseek(f, long(tkhd + 4 + 40), SEEK_SET);
    for (int32_t v : matrix) {
      const uint8_t be[4] = {uint8_t(uint32_t(v) >> 24), uint8_t(uint32_t(v) >> 16), uint8_t(uint32_t(v) >> 8),
                             uint8_t(v)};
      std::fwrite(be, 1, 4, f);
    }
    std::fclose(f);
  }
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MviOpen(mh, file, kUndefined);
  ASSERT_TRUE(ErrNone()) << ErrText();
  EXPECT_EQ(MviView(mh).width, 240);
  EXPECT_EQ(MviView(mh).height, 320);
  const std::vector<uint8_t> ref = FfDecode(file);
  const std::vector<uint8_t> first = LoadFrame(mh, 1);
  ASSERT_EQ(first.size(), size_t(240) * 320 * 3);
  ASSERT_GE(ref.size(), first.size());
  EXPECT_GT(Psnr(first.data(), ref.data(), first.size()), 50.0);
  MviClose(mh);
}

// A variable frame rate is shown on a grid of the most common frame step:
// a gap of ten frames holds the picture before it, so the run's rate
// conversion keeps the timing.
TEST(AvMovieReadMeta, VariableRateOnTheGrid) {
  VEK_NEED_FFMPEG();
  Extensions on;
  const std::string file = Dir() + "gap.mkv";
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 40 "
               "-vf \"select='not(between(n,10,19))'\" -vsync vfr -c:v libx264 -preset ultrafast -pix_fmt yuv420p " +
               Q(file)),
            0);
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MviOpen(mh, file, kUndefined);
  ASSERT_TRUE(ErrNone()) << ErrText();
  // 40 frames over 1.96 s: 50 on the grid, the ten of the gap holding frame 10.
  ASSERT_EQ(MviView(mh).frames, 50);
  const std::vector<uint8_t> ref = FfDecode(file, "-vsync passthrough");
  ASSERT_EQ(ref.size(), kFrameBytes * 40);
  for (int32_t n = 1; n <= 50; ++n) {
    const int k = n <= 10 ? n - 1 : n <= 20 ? 9 : n - 11;
    const std::vector<uint8_t> f = LoadFrame(mh, n);
    ASSERT_EQ(f.size(), kFrameBytes);
    EXPECT_EQ(std::memcmp(f.data(), ref.data() + kFrameBytes * k, kFrameBytes), 0) << "grid frame " << n;
  }
  MviClose(mh);
}

// A run reading an H.264 file with B-frames backwards (start and length
// given) writes the frames ffmpeg decodes, last first.
QUniInfo g_back_info{};
int g_back_blocks = 0;

TEST(AvMovieRun, BackwardsThroughTheRun) {
  VEK_NEED_FFMPEG();
  Extensions on;
  const std::string file = Dir() + "run.mp4";
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 40 -c:v libx264 -bf 3 -g 12 " +
               Q(file)),
            0);
  ASSERT_TRUE(UniInfo(file, g_back_info, 100, false));
  g_back_blocks = 0;
  ConSetVideo(
      [](QSrcRequest* r) {
        if (g_back_blocks++ > 0) {
          r->finished = -1;
          return;
        }
        r->source = &g_back_info;
        r->kind = kSrcInfo;
        r->fps = 25;
        r->start = 11;
        r->length = 20;
        r->direction = -1;
        r->repeat = 1;
      },
      [](QFuncRequest* r) { r->result_img = r->img; });
  ConSetFrameRate(25, false);
  QSaveOpts opts;
  FFSaveReset(opts);
  QConReport report{};
  const std::string out = Dir() + "back";
  ConStart(out + "00.bmp", "", opts, report);
  ConDone();
  ASSERT_TRUE(ErrNone()) << ErrText();
  ASSERT_EQ(report.frames, 20);
  const std::vector<uint8_t> ref = FfDecode(file);
  ASSERT_EQ(ref.size(), kFrameBytes * 40);
  for (int i = 0; i < 20; ++i) {
    char num[8];
    std::snprintf(num, sizeof num, "%02d", i);
    QImg img{};
    ImgGuard guard(img);
    ImgLoad(out + num + ".bmp", img, kUndefined);
    ASSERT_TRUE(ErrNone()) << ErrText();
    ASSERT_EQ(size_t(img.size), kFrameBytes);
    const int source = 30 - i;  // frames 30 down to 11, 1-based
    EXPECT_GT(Psnr(img.pixels, ref.data() + kFrameBytes * (source - 1), kFrameBytes), 50.0) << "output " << i;
  }
}

// The switch: off, the tables are the original ones; on, the new formats
// follow them, and VekImgLoad gives a movie's first frame.
TEST(AvMovieApi, SwitchAndFirstFrame) {
  VEK_NEED_FFMPEG();
  const std::string file = Dir() + "first.mp4";
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -t 0.4 -c:v libx264 " + Q(file)), 0);
  VekExtSetFormats(0);
  EXPECT_EQ(VekGetFileFmtID("a.mp4"), VEK_UNDEFINED);
  EXPECT_EQ(VekGetFileFmtID("a.webm"), VEK_UNDEFINED);
  EXPECT_EQ(VekGetFileFmtID("a.ts"), VEK_UNDEFINED);
  VekExtSetFormats(-1);
  EXPECT_EQ(VekGetFileFmtID("a.m4v"), 20);
  EXPECT_EQ(VekGetFileFmtID("a.webm"), 21);
  EXPECT_EQ(VekGetFileFmtID("a.ts"), VEK_UNDEFINED);  // read only
  EXPECT_EQ(FmtId("a.mov", kReadTable), 20);
  EXPECT_EQ(FmtId("a.mkv", kReadTable), 21);
  EXPECT_EQ(FmtId("a.m2ts", kReadTable), 22);
  VekImage* img = VekImgAlloc();
  ASSERT_NE(img, nullptr);
  ASSERT_EQ(VekImgLoad(img, file.c_str(), 0), VEK_STATUS_OK);
  ASSERT_EQ(img->width, kW);
  ASSERT_EQ(img->height, kH);
  const std::vector<uint8_t> ref = FfDecode(file, "-frames:v 1");
  ASSERT_EQ(ref.size(), kFrameBytes);
  EXPECT_GT(Psnr(img->pixels, ref.data(), kFrameBytes), 50.0);
  VekImgFree(img);
  VekExtSetFormats(0);
}

}  // namespace
}  // namespace vek
