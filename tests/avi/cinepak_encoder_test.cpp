// Our Cinepak compressor judged by libavcodec's decoder (through ffmpeg):
// panning photo frames at 8 and 24 bits with several key-frame intervals,
// quality against size, sizes that are not multiples of 4, and the same
// frames through libavcodec's own Cinepak encoder as the yardstick.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "avi_test_util.h"
#include "formats/movie/avi.h"
#include "platform/vfw/avifile.h"
#include "codecs/cinepak/cinepak_encoder.h"
#include "platform/vfw/ic.h"

namespace vek {
namespace {

using namespace avitest;
namespace p = platform;

// A photograph as top-down rgb24 rows.
struct Photo {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
};

const Photo& Chelsea() {
  static const Photo photo = [] {
    Photo ph;
    ph.width = 113;
    ph.height = 75;
    const std::string src = std::string(VEK_SOURCE_DIR) + "/tests/data/still/chelsea_113x75.png";
    const std::string raw = testing::UniqueTemp("chelsea.rgb");
    Sh("ffmpeg -v error -y -i '" + src + "' -f rawvideo -pix_fmt rgb24 '" + raw + "'");
    ph.rgb = ReadFile(raw);
    std::remove(raw.c_str());
    return ph;
  }();
  return photo;
}

// Where frame n of a w x h window panning over the photo starts: two
// pixels right and one down a frame, back to the start at the edges.
const uint8_t* Window(int w, int h, int n, int x, int y) {
  const Photo& ph = Chelsea();
  const int dx = 2 * n % (ph.width - w + 1), dy = n % (ph.height - h + 1);
  return &ph.rgb[(size_t(y + dy) * ph.width + size_t(x + dx)) * 3];
}

// Frame n of the panning window. At 8 bits the colours are rounded to a
// 6x7x6 cube.
void PhotoFrame(QImg& img, int w, int h, int bits, int n) {
  ImgAlloc(&img, w, h, bits, 1, "CinepakTest.frame");
  for (int i = 0; i < 252; ++i) {
    img.palette[i * 3 + 2] = static_cast<uint8_t>(i / 42 * 51);
    img.palette[i * 3 + 1] = static_cast<uint8_t>(i / 6 % 7 * 255 / 6);
    img.palette[i * 3] = static_cast<uint8_t>(i % 6 * 51);
  }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint8_t* s = Window(w, h, n, x, y);
      uint8_t* d = img.pixels + (int64_t(y) * w + x) * img.bytespp;
      if (bits == 8) {
        d[0] = static_cast<uint8_t>((s[0] + 25) / 51 * 42 + (s[1] * 6 + 127) / 255 * 6 + (s[2] + 25) / 51);
      } else {
        d[0] = s[2], d[1] = s[1], d[2] = s[0];
      }
    }
}

struct Movie {
  int width = 96, height = 64, bits = 24, frames = 6;
  int32_t quality = kUndefined, key = kUndefined;
};

// Writes the panning frames with the cvid codec through the media layer;
// returns them as rgb24.
std::vector<uint8_t> WriteMovie(const std::string& name, const Movie& m) {
  QSaveOpts opts;
  FFSaveReset(opts);
  FFSaveSetFormat(opts, kFmtAVI);
  FFSaveSetCodec(opts, static_cast<int32_t>(FourCC("cvid")));
  if (m.quality != kUndefined) FFSaveSetQuality(opts, m.quality);
  if (m.key != kUndefined) FFSaveSetKeyFrameRate(opts, m.key);
  QUniHandle h{};
  std::vector<uint8_t> rgb;
  MonitoredBoundary("CinepakTest.Write", [&] {
    UniCreate(h, name);
    UniSetFrames(h, m.frames);
    UniSetFrameRate(h, 25);
    UniSetOptions(h, opts);
    for (int n = 0; n < m.frames; ++n) {
      QImg img{};
      ImgGuard g(img);
      PhotoFrame(img, m.width, m.height, m.bits, n);
      const std::vector<uint8_t> f = ToRgb(img);
      rgb.insert(rgb.end(), f.begin(), f.end());
      UniImgSave(h, img);
    }
    UniClose(h);
  });
  return rgb;
}

// ffprobe's packet flags: 'K' for a key frame.
std::string KeyFlags(const std::string& file) {
  const std::string out = Sh("ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 '" + file + "'");
  std::string keys;
  for (size_t i = 0; i < out.size(); ++i)
    if (i == 0 || out[i - 1] == '\n') keys += out[i] == 'K' ? 'K' : '.';
  return keys;
}

class Cinepak : public ::testing::Test {
 protected:
  void SetUp() override {
    ErrClear();
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << VEK_ORACLE_SKIP << "ffmpeg/ffprobe not installed";
    ASSERT_EQ(Chelsea().rgb.size(), size_t(113) * 75 * 3);
  }
  void TearDown() override {
    AviSettingsSelect(FourCC("cvid"));
    ErrClear();
    EXPECT_EQ(p::IcOpenCodecs(), 0);
  }
  std::string Temp(const std::string& n) { return testing::UniqueTemp(n); }
};

// The same photo frames through libavcodec's encoder (default settings, as
// `ffmpeg -c:v cinepak` runs it): ours must be as good within half a dB and
// no more than a tenth larger.
TEST_F(Cinepak, PhotoAsGoodAsLibavcodecs) {
  const std::string ours = Temp("ours.avi"), theirs = Temp("theirs.avi"), raw = Temp("frames.rgb");
  Movie m;
  m.frames = 8;
  const std::vector<uint8_t> want = WriteMovie(ours, m);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  WriteFile(raw, want);
  Sh("ffmpeg -v error -y -f rawvideo -pix_fmt rgb24 -s 96x64 -r 25 -i '" + raw +
     "' -threads 1 -c:v cinepak '" + theirs + "'");
  const std::vector<uint8_t> got = FfmpegRgb(ours, Temp("ours.rgb"));
  const std::vector<uint8_t> ref = FfmpegRgb(theirs, Temp("theirs.rgb"));
  ASSERT_EQ(got.size(), want.size());
  ASSERT_EQ(ref.size(), want.size());
  const double psnr = Psnr(got, want), ref_psnr = Psnr(ref, want);
  const double size = double(ReadFile(ours).size()), ref_size = double(ReadFile(theirs).size());
  std::printf("  ours %.2f dB %.0f bytes, libavcodec %.2f dB %.0f bytes\n", psnr, size, ref_psnr, ref_size);
  EXPECT_GT(psnr, ref_psnr - 0.5);
  EXPECT_LT(size, ref_size * 1.1);
  EXPECT_GT(psnr, 34.0);
  // Our reader agrees with ffmpeg.
  EXPECT_GT(Psnr(ReadAviFrames(ours), got), 45);
}

// 8 and 24 bits, key frames every 0, 1 and 12 frames: every frame decodes
// close to what went in, key frames where they were asked for.
TEST_F(Cinepak, DepthsAndKeyFrameIntervals) {
  for (int bits : {8, 24}) {
    for (int key : {0, 1, 12}) {
      SCOPED_TRACE("bits " + std::to_string(bits) + ", key frames every " + std::to_string(key));
      const std::string f = Temp("key.avi");
      Movie m;
      m.bits = bits;
      m.key = key;
      m.frames = 14;
      m.width = 92;  // 23 x 17 blocks: flag words end mid-row, strips of uneven height
      m.height = 68;
      const std::vector<uint8_t> want = WriteMovie(f, m);
      ASSERT_TRUE(ErrNone()) << ErrMsgLast();
      const std::string probe = Probe(f, "v:0", "stream=codec_name,width,height,nb_read_frames");
      EXPECT_EQ(Field(probe, "codec_name"), "cinepak");
      EXPECT_EQ(Field(probe, "width"), "92");
      EXPECT_EQ(Field(probe, "nb_read_frames"), "14");
      const std::vector<uint8_t> got = FfmpegRgb(f, Temp("key.rgb"));
      ASSERT_EQ(got.size(), want.size());
      const double psnr = Psnr(got, want);
      std::printf("  %d bits, key %d: %.2f dB, %zu bytes\n", bits, key, psnr, ReadFile(f).size());
      EXPECT_GT(psnr, bits == 8 ? 27.5 : 34.0);
      // Frame by frame too: inter frames build on the right pictures.
      const size_t frame = size_t(92) * 68 * 3;
      for (size_t i = 0; i < 14; ++i) {
        const std::vector<uint8_t> a(got.begin() + long(i * frame), got.begin() + long((i + 1) * frame));
        const std::vector<uint8_t> b(want.begin() + long(i * frame), want.begin() + long((i + 1) * frame));
        EXPECT_GT(Psnr(a, b), bits == 8 ? 26.5 : 33.0) << "frame " << i;
      }
      const std::string keys = KeyFlags(f);
      if (key == 12) EXPECT_EQ(keys, "K...........K.");
      else EXPECT_EQ(keys, std::string(14, 'K'));
      FDelete(f);
    }
  }
}

// Lower quality never makes a larger file, nor a better picture.
TEST_F(Cinepak, QualityTradesSizeMonotonically) {
  double last_size = 0, last_psnr = 0;
  for (int q : {0, 25, 50, 75, 100}) {
    SCOPED_TRACE("quality " + std::to_string(q));
    const std::string f = Temp("q.avi");
    Movie m;
    m.quality = q;
    const std::vector<uint8_t> want = WriteMovie(f, m);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    const double size = double(ReadFile(f).size());
    const double psnr = Psnr(FfmpegRgb(f, Temp("q.rgb")), want);
    std::printf("  quality %d: %.0f bytes, %.2f dB\n", q, size, psnr);
    EXPECT_GT(size, last_size);
    EXPECT_GT(psnr, last_psnr);
    last_size = size;
    last_psnr = psnr;
    FDelete(f);
  }
}

// The compressor itself takes any size: the picture is padded to whole
// blocks, and ffmpeg shows the picture without the padding.
TEST_F(Cinepak, OddSizesDecodeInFfmpeg) {
  for (int bits : {8, 24, 32}) {
    SCOPED_TRACE("bits " + std::to_string(bits));
    const int w = 105, h = 69, frames = 4;
    p::CinepakEncoder enc(w, h, 3, p::CinepakEncoder::kDefaultQuality);
    const std::string f = Temp("odd.avi");
    p::PAVIFILE file = nullptr;
    ASSERT_EQ(p::AVIFileOpen(&file, f.c_str(), p::OF_CREATE | p::OF_WRITE, nullptr), p::AVIERR_OK);
    p::AVISTREAMINFO si{};
    si.fccType = p::streamtypeVIDEO;
    si.fccHandler = FourCC("cvid");
    si.dwScale = 1;
    si.dwRate = 25;
    p::PAVISTREAM stream = nullptr;
    ASSERT_EQ(p::AVIFileCreateStream(file, &stream, &si), p::AVIERR_OK);
    p::BITMAPINFOHEADER bh{};
    bh.biSize = 40;
    bh.biWidth = w;
    bh.biHeight = h;
    bh.biPlanes = 1;
    bh.biBitCount = 24;
    bh.biCompression = FourCC("cvid");
    ASSERT_EQ(p::AVIStreamSetFormat(stream, 0, &bh, 40), p::AVIERR_OK);
    std::vector<uint8_t> want, packet;
    // A grey ramp palette: 8-bit frames show the photo's green channel.
    uint8_t palette[1024];
    for (int i = 0; i < 256; ++i) palette[i * 4] = palette[i * 4 + 1] = palette[i * 4 + 2] = uint8_t(i);
    const int bpp = bits / 8;
    const size_t stride = (size_t(w) * bpp + 3) / 4 * 4;
    for (int n = 0; n < frames; ++n) {
      // Bottom-up rows, as bitmaps store them.
      std::vector<uint8_t> dib(stride * h, 0);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const uint8_t* s = Window(w, h, n, x, y);
          uint8_t* d = &dib[stride * size_t(h - 1 - y) + size_t(x) * bpp];
          if (bits == 8) {
            d[0] = s[1];
            want.insert(want.end(), {s[1], s[1], s[1]});
          } else {
            d[0] = s[2], d[1] = s[1], d[2] = s[0];
            want.insert(want.end(), s, s + 3);
          }
        }
      bool key = false;
      ASSERT_TRUE(enc.Encode(&dib[stride * (h - 1)], -static_cast<ptrdiff_t>(stride), bits, palette, false,
                             packet, key));
      EXPECT_EQ(key, n % 3 == 0);
      ASSERT_EQ(p::AVIStreamWrite(stream, n, 1, packet.data(), static_cast<int32_t>(packet.size()),
                                  key ? p::AVIIF_KEYFRAME : 0, nullptr, nullptr),
                p::AVIERR_OK);
    }
    p::AVIStreamRelease(stream);
    p::AVIFileRelease(file);
    EXPECT_EQ(Field(Probe(f, "v:0", "stream=nb_read_frames"), "nb_read_frames"), "4");
    const std::vector<uint8_t> got = FfmpegRgb(f, Temp("odd.rgb"));
    ASSERT_EQ(got.size(), want.size());
    const double psnr = Psnr(got, want);
    std::printf("  %d bits at %dx%d: %.2f dB\n", bits, w, h, psnr);
    EXPECT_GT(psnr, 33.0);
    FDelete(f);
  }
}

// Depths and sizes the compressor cannot take are refused, not guessed at.
TEST_F(Cinepak, RefusesUnknownDepths) {
  p::CinepakEncoder enc(8, 8, 1, 5000);
  std::vector<uint8_t> pixels(8 * 8 * 4, 0), out;
  bool key = false;
  EXPECT_FALSE(enc.Encode(pixels.data(), 8 * 4, 4, nullptr, false, out, key));
  EXPECT_FALSE(enc.Encode(pixels.data(), 8, 8, nullptr, false, out, key));  // no palette
  EXPECT_TRUE(enc.Encode(pixels.data(), 8 * 4, 32, nullptr, false, out, key));
  EXPECT_TRUE(key);
  p::CinepakEncoder empty(0, -5, 1, 5000);
  EXPECT_FALSE(empty.Encode(pixels.data(), 8 * 4, 32, nullptr, false, out, key));
}

}  // namespace
}  // namespace vek
