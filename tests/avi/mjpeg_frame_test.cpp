// Motion JPEG frames of our encoder against libavcodec's at the same
// quantiser scale: libjpeg decodes both (no JFIF marker needed), ours are
// as faithful and no larger, at odd sizes (blocks the coder pads) and from
// 24- and 32-bit pictures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "avi_test_util.h"
#include "codecs/libjpeg/jpeg_codec.h"
#include "codecs/libjpeg/mjpeg_frame.h"

namespace {

using namespace vek::avitest;

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) se += (a[i] - b[i]) * double(a[i] - b[i]);
  return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / se);
}

// Decodes a JPEG file with libjpeg into blue, green, red rows.
std::vector<uint8_t> Decode(const std::string& file, int w, int h) {
  std::vector<uint8_t> out(size_t(w) * h * 3);
  int32_t dw = 0, dh = 0, comps = 0;
  if (vek::read_JPEG_file(file.c_str(), out.data(), int64_t(out.size()), &dw, &dh, &comps) != 0 ||
      dw != w || dh != h || comps != 3)
    out.clear();
  return out;
}

TEST(MjpegFrame, AsFaithfulAsLibavcodecAndNoLarger) {
  REQUIRE_FFMPEG();
  const std::string raw = vek::testing::UniqueTemp("mjpg_src.raw");
  const std::string ours = vek::testing::UniqueTemp("mjpg_ours.jpg");
  const std::string ref = vek::testing::UniqueTemp("mjpg_ref.jpg");
  for (auto [w, h] : {std::pair{160, 120}, std::pair{33, 17}, std::pair{7, 5}}) {
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    Sh("ffmpeg -v error -y -i '" + std::string(VEK_TEST_DATA) + "/demo/chelsea_400.png' -vf scale=" +
       std::to_string(w) + ":" + std::to_string(h) + " -f rawvideo -pix_fmt bgr24 '" + raw + "'");
    const std::vector<uint8_t> src = ReadFile(raw);
    ASSERT_EQ(src.size(), size_t(w) * h * 3);
    for (int scale : {2, 4, 12}) {
      for (int bits : {24, 32}) {
        SCOPED_TRACE(size + " scale " + std::to_string(scale) + " " + std::to_string(bits) + " bits");
        std::vector<uint8_t> pixels;
        for (size_t i = 0; i < src.size(); i += 3) {
          pixels.insert(pixels.end(), src.begin() + long(i), src.begin() + long(i) + 3);
          if (bits == 32) pixels.push_back(0x55);
        }
        vek::MjpegFrameEncoder enc(w, h, scale);
        ASSERT_TRUE(enc.ok());
        // Bottom-up rows, as AVI frames come.
        const int64_t stride = int64_t(w) * bits / 8;
        ASSERT_TRUE(enc.Encode(pixels.data() + stride * (h - 1), -stride, bits));
        WriteFile(ours, std::vector<uint8_t>(enc.data(), enc.data() + enc.size()));
        Sh("ffmpeg -v error -y -f rawvideo -pix_fmt bgr24 -s " + size + " -i '" + raw +
           "' -threads 1 -c:v mjpeg -q:v " + std::to_string(scale) +
           " -pix_fmt yuvj420p -f mjpeg '" + ref + "'");
        std::vector<uint8_t> flipped(src.size());
        for (int y = 0; y < h; ++y)
          std::copy(src.begin() + long(y) * w * 3, src.begin() + long(y + 1) * w * 3,
                    flipped.begin() + long(h - 1 - y) * w * 3);
        const std::vector<uint8_t> a = Decode(ours, w, h), b = Decode(ref, w, h);
        ASSERT_FALSE(a.empty()) << vek::JpegLastMessage();
        ASSERT_FALSE(b.empty());
        // Ours was given the picture upside down: compare it the right way up.
        const double ours_db = Psnr(a, flipped), ref_db = Psnr(b, src);
        const size_t ours_bytes = enc.size(), ref_bytes = ReadFile(ref).size();
        // A picture of a few pixels is mostly edge, where the two take their
        // chroma differently: there only the decode and the size count.
        if (w > 16) {
          EXPECT_GE(ours_db, ref_db - 0.15) << ours_bytes << " vs " << ref_bytes << " bytes";
        }
        EXPECT_LE(double(ours_bytes), double(ref_bytes) * 1.01) << ours_db << " vs " << ref_db << " dB";
      }
    }
  }
  for (const std::string& f : {raw, ours, ref}) std::remove(f.c_str());
}

}  // namespace
