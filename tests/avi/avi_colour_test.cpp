// The colour path of the lossy codecs, both ways, judged by ffmpeg: a
// photograph written by our encoders comes out of ffmpeg's decoder as well
// as the same photograph written by ffmpeg's own encoder with the same
// settings, at no larger size; and our decode of any such file is ffmpeg's.
#include <gtest/gtest.h>

#include "avi_test_util.h"
#include "formats/movie/avi.h"

namespace vek {
namespace {

using namespace avitest;

constexpr int kW = 96, kH = 64, kFrames = 12;

// The photograph scaled a little wider than a frame; frames pan across it.
const std::vector<uint8_t>& PhotoBgr() {
  static std::vector<uint8_t> wide;  // (kW + 2 * kFrames) x kH
  if (wide.empty()) {
    const std::string out = testing::UniqueTemp("photo.bgr");
    Sh("ffmpeg -v error -y -i '" + std::string(VEK_TEST_DATA) + "/palette/coffee.png' -vf scale=" +
       std::to_string(kW + 2 * kFrames) + ":" + std::to_string(kH) +
       ":flags=bicubic -f rawvideo -pix_fmt bgr24 '" + out + "'");
    wide = ReadFile(out);
    std::remove(out.c_str());
  }
  return wide;
}

// Frame n at 8 (a 3-3-2 palette), 15 or 24 bits.
void PhotoFrame(QImg& img, int bits, int n) {
  const std::vector<uint8_t>& wide = PhotoBgr();
  const int ww = kW + 2 * kFrames;
  ImgAlloc(&img, kW, kH, bits, 1, "AviColourTest.frame");
  for (int i = 0; i < 256; ++i) {
    img.palette[i * 3] = static_cast<uint8_t>((i & 3) * 85);
    img.palette[i * 3 + 1] = static_cast<uint8_t>(((i >> 2) & 7) * 255 / 7);
    img.palette[i * 3 + 2] = static_cast<uint8_t>((i >> 5) * 255 / 7);
  }
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const uint8_t* s = &wide[(size_t(y) * ww + x + 2 * n) * 3];
      uint8_t* p = img.pixels + (int64_t(y) * kW + x) * img.bytespp;
      if (bits == 8) {
        p[0] = static_cast<uint8_t>((s[2] * 7 + 127) / 255 << 5 | (s[1] * 7 + 127) / 255 << 2 |
                                    (s[0] * 3 + 127) / 255);
      } else if (bits == 15) {
        const uint16_t v = static_cast<uint16_t>((s[2] >> 3) << 10 | (s[1] >> 3) << 5 | (s[0] >> 3));
        std::memcpy(p, &v, 2);
      } else {
        std::memcpy(p, s, 3);
      }
    }
  }
}

// Bytes of the video packets of a file, as ffprobe counts them.
int64_t VideoBytes(const std::string& file) {
  const std::string sizes = Sh("ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 '" +
                               file + "' | tr '\\n' ' '");
  int64_t total = 0;
  size_t at = 0;
  while (at < sizes.size()) {
    size_t end = sizes.find(' ', at);
    if (end == std::string::npos) end = sizes.size();
    if (end > at) total += std::stoll(sizes.substr(at, end - at));
    at = end + 1;
  }
  return total;
}

struct LossyCase {
  const char* fourcc;
  const char* ffargs;  // ffmpeg's encoder with our settings
  int32_t quality;     // ours, kUndefined: the codec's default
};

class AviColour : public ::testing::TestWithParam<LossyCase> {
 protected:
  void SetUp() override { ErrClear(); }
  void TearDown() override { AviSettingsSelect(FourCC("cvid")); }
};

TEST_P(AviColour, PhotoAsGoodAsFfmpegsEncoderAndDecodedAsFfmpegDoes) {
  REQUIRE_FFMPEG();
  const LossyCase& c = GetParam();
  ASSERT_EQ(PhotoBgr().size(), size_t(kW + 2 * kFrames) * kH * 3);
  for (int bits : {8, 15, 24}) {
    SCOPED_TRACE(std::string(c.fourcc) + " at " + std::to_string(bits) + " bits");
    const std::string ours = testing::UniqueTemp("ours.avi");
    WriteSpec s;
    s.handler = Code(c.fourcc);
    s.width = kW;
    s.height = kH;
    s.bits = bits;
    s.frames = kFrames;
    s.quality = c.quality;
    s.make = [bits](QImg& img, int n) { PhotoFrame(img, bits, n); };
    const std::vector<uint8_t> src = WriteAvi(ours, s);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    ASSERT_EQ(src.size(), size_t(kW) * kH * 3 * kFrames);

    // ffmpeg's encoder gets the same pictures in the same layout: 15-bit
    // ones as 15-bit words, the others as blue, green, red bytes. Video 1
    // codes 15-bit colour: it gets the pictures as the 15-bit words it
    // codes (ffmpeg's own route from 24 bits goes through YUV and dithers).
    const bool words = bits == 15 || std::string(c.fourcc) == "MSVC";
    const std::string raw = testing::UniqueTemp("src.raw");
    const std::string ref = testing::UniqueTemp("ref.avi");
    std::vector<uint8_t> packed;
    for (size_t i = 0; i < src.size(); i += 3) {
      if (words) {
        const uint16_t v = static_cast<uint16_t>((src[i] >> 3) << 10 | (src[i + 1] >> 3) << 5 | (src[i + 2] >> 3));
        packed.push_back(static_cast<uint8_t>(v));
        packed.push_back(static_cast<uint8_t>(v >> 8));
      } else {
        packed.insert(packed.end(), {src[i + 2], src[i + 1], src[i]});
      }
    }
    WriteFile(raw, packed);
    const std::string in_fmt = words ? "rgb555le" : "bgr24";
    Sh("ffmpeg -v error -y -f rawvideo -pix_fmt " + in_fmt + " -s " + std::to_string(kW) + "x" +
       std::to_string(kH) + " -r 25 -i '" + raw + "' " + c.ffargs + " '" + ref + "'");
    const std::vector<uint8_t> ref_dec = FfmpegRgb(ref, testing::UniqueTemp("ref.rgb"));
    const std::vector<uint8_t> our_dec = FfmpegRgb(ours, testing::UniqueTemp("ours.rgb"));
    ASSERT_EQ(ref_dec.size(), src.size());
    ASSERT_EQ(our_dec.size(), src.size());
    const double ref_psnr = Psnr(ref_dec, src), our_psnr = Psnr(our_dec, src);
    const int64_t ref_bytes = VideoBytes(ref), our_bytes = VideoBytes(ours);
    std::printf("  %s %2d bits: ours %.2f dB %lld bytes, ffmpeg %.2f dB %lld bytes\n", c.fourcc,
                bits, our_psnr, static_cast<long long>(our_bytes), ref_psnr,
                static_cast<long long>(ref_bytes));
    EXPECT_GE(our_psnr, ref_psnr - 0.5);
    EXPECT_LE(our_bytes, ref_bytes);
    // Our decode of both files is ffmpeg's; 15-bit pictures (Video 1) are
    // compared on their 5-bit channels, whatever the expansion to 8 bits.
    for (const auto& [file, dec] : {std::pair{ours, our_dec}, std::pair{ref, ref_dec}}) {
      const std::vector<uint8_t> got = ReadAviFrames(file);
      if (std::string(c.fourcc) == "MSVC") EXPECT_EQ(Top5(got), Top5(dec));
      else EXPECT_GE(Psnr(got, dec), 40);
    }
    for (const std::string& f : {ours, raw, ref}) FDelete(f);
  }
}

INSTANTIATE_TEST_SUITE_P(Lossy, AviColour,
                         ::testing::Values(LossyCase{"MJPG", "-c:v mjpeg -q:v 4 -pix_fmt yuvj420p", 90},
                                           LossyCase{"MSVC", "-c:v msvideo1 -g 12", kUndefined}),
                         [](const ::testing::TestParamInfo<LossyCase>& i) {
                           return std::string(i.param.fourcc);
                         });

// Odd widths: the chroma beside the last column is that column's colour.
TEST(AviColourOdd, FlatColourAtOddSizesInMjpg) {
  REQUIRE_FFMPEG();
  const std::string f = testing::UniqueTemp("odd.avi");
  for (auto [w, h] : {std::pair{7, 5}, std::pair{33, 9}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    WriteSpec s;
    s.handler = FourCC("MJPG");
    s.width = w;
    s.height = h;
    s.frames = 2;
    s.quality = 100;
    s.make = [w = w, h = h](QImg& img, int) {
      ImgAlloc(&img, w, h, 24, 1, "AviColourTest.flat");
      for (int i = 0; i < w * h; ++i) {
        img.pixels[i * 3] = 40;
        img.pixels[i * 3 + 1] = 120;
        img.pixels[i * 3 + 2] = 200;
      }
    };
    const std::vector<uint8_t> src = WriteAvi(f, s);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    const std::vector<uint8_t> dec = FfmpegRgb(f, testing::UniqueTemp("odd.rgb"));
    ASSERT_EQ(dec.size(), src.size());
    int worst = 0;
    for (size_t i = 0; i < dec.size(); ++i) worst = std::max(worst, std::abs(dec[i] - src[i]));
    EXPECT_LE(worst, 4);
  }
  FDelete(f);
}

// Small pictures ffmpeg writes with the codecs whose colour lives in YUV:
// our decode is ffmpeg's.
TEST(AviColourDecode, SmallYuvPicturesDecodeAsInFfmpeg) {
  REQUIRE_FFMPEG();
  const std::string f = testing::UniqueTemp("small.avi");
  std::vector<std::string> cases = {"-c:v mjpeg -q:v 3", "-c:v mpeg4 -q:v 3",
                                    "-c:v mjpeg -pix_fmt yuvj444p"};
  // A picture that names its matrix (BT.709).
  if (Sh("ffmpeg -hide_banner -encoders 2>/dev/null | grep -c libx264") != "0")
    cases.push_back("-c:v libx264 -crf 12 -colorspace bt709 -color_primaries bt709 -color_trc bt709");
  for (const std::string& c : cases) {
    SCOPED_TRACE(c);
    Sh("ffmpeg -v error -y -loop 1 -i '" + std::string(VEK_TEST_DATA) +
       "/palette/coffee.png' -vf scale=48:48 -r 5 -t 1 " + c + " '" + f + "'");
    const std::vector<uint8_t> ff = FfmpegRgb(f, testing::UniqueTemp("small.rgb"));
    ASSERT_FALSE(ff.empty());
    const std::vector<uint8_t> got = ReadAviFrames(f);
    ASSERT_EQ(got.size(), ff.size());
    EXPECT_GE(Psnr(got, ff), 40);
  }
  FDelete(f);
}

}  // namespace
}  // namespace vek
