// Index entries that are not pictures: empty chunks (dropped frames, or a
// time base finer than the frame rate) and palette-change chunks. Frame
// counts, rates and pictures are checked against ffmpeg's decode.
#include <gtest/gtest.h>

#include "avi_test_util.h"
#include "engine/media_access.h"
#include "platform/vfw/avifile.h"

namespace vek {
namespace {

using namespace avitest;

class AviIndex : public ::testing::Test {
 protected:
  void SetUp() override { ErrClear(); }
  std::string Temp(const std::string& n) { return testing::UniqueTemp(n); }
};

QUniImagePart Pictures(const std::string& name) {
  QUniInfo info{};
  EXPECT_TRUE(UniInfo(name, info, 1, false)) << name;
  return info.img;
}

// ffmpeg's muxer follows every picture with an empty chunk when the time
// base is twice the frame rate: one frame per picture at the picture rate
// (ffprobe: r_frame_rate 25, nb_read_frames 9). A picture dropped on its own
// keeps its time slot as a repeat of the one before.
TEST_F(AviIndex, EmptyChunksAreTimeNotPictures) {
  REQUIRE_FFMPEG();
  std::vector<std::string> codecs = {"-c:v mpeg4 -bf 0", "-c:v mpeg4 -bf 2"};
  if (Sh("ffmpeg -hide_banner -encoders 2>/dev/null | grep -c libx264") != "0")
    codecs.push_back("-c:v libx264 -bf 2");
  const size_t fb = size_t(64) * 48 * 3;
  const std::string src = Temp("empty.avi");
  for (const std::string& c : codecs) {
    for (const char* drop : {"", "-vf select='not(eq(n\\,4))' "}) {
      SCOPED_TRACE(c + " " + drop);
      Sh("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 9 " + std::string(drop) + c +
         " -enc_time_base 1/50 -fps_mode passthrough -f avi '" + src + "'");
      const std::string probe = Probe(src, "v:0", "stream=nb_frames,nb_read_frames,r_frame_rate");
      // Nine pictures; the dropped one leaves a gap of ten time slots.
      const int32_t want = *drop ? 10 : 9;
      ASSERT_EQ(Field(probe, "nb_read_frames"), "9") << probe;
      ASSERT_EQ(Field(probe, "nb_frames"), std::to_string(2 * want)) << probe;  // with the empty chunks
      const std::vector<uint8_t> ff = FfmpegRgb(src, Temp("empty.rgb"));  // its nine pictures
      ASSERT_EQ(ff.size(), 9 * fb);
      const QUniImagePart img = Pictures(src);
      EXPECT_EQ(img.frames, want);
      EXPECT_DOUBLE_EQ(img.fps, 25.0);
      int32_t frames = 0;
      const std::vector<uint8_t> ours = ReadAviFrames(src, &frames);
      ASSERT_EQ(frames, want);
      ASSERT_EQ(ours.size(), size_t(want) * fb);
      // Every picture in order, the gap filled by a repeat: of the picture
      // before it, or for codecs that reorder pictures, of one next to it
      // (the empty chunk marks a gap in decoding order).
      auto frame = [&](const std::vector<uint8_t>& v, size_t n) {
        return std::vector<uint8_t>(v.begin() + long(n * fb), v.begin() + long((n + 1) * fb));
      };
      size_t p = 0, repeated = 0;
      for (size_t n = 0; n < size_t(want); ++n) {
        const std::vector<uint8_t> a = frame(ours, n);
        if (n > 0 && p + 1 < 9 && Psnr(a, frame(ff, p + 1)) > 40) ++p;
        else if (n > 0) ++repeated;
        EXPECT_GT(Psnr(a, frame(ff, p)), 40) << "frame " << n;
        if (*drop && c.find("-bf 0") != std::string::npos) {
          EXPECT_EQ(p, n >= 4 ? n - 1 : n);
        }
      }
      EXPECT_EQ(p, 8u);
      EXPECT_EQ(repeated, *drop ? 1u : 0u);
    }
  }
}

// An 8-bit Microsoft Video 1 movie with sound whose palette changes twice
// (tests/data/avi/make_palchange.py): six frames, each with the colours
// then in force, and sound and pictures stay in step.
TEST_F(AviIndex, PaletteChangesAreNotFrames) {
  REQUIRE_FFMPEG();
  const std::string src = std::string(VEK_SOURCE_DIR) + "/tests/data/avi/palchange.avi";
  ASSERT_EQ(Field(Probe(src, "v:0", "stream=nb_read_frames"), "nb_read_frames"), "6");
  const QUniInfo info = [&] {
    QUniInfo i{};
    EXPECT_TRUE(UniInfo(src, i, 1, false));
    return i;
  }();
  EXPECT_EQ(info.img.frames, 6);
  EXPECT_DOUBLE_EQ(info.img.fps, 10.0);
  EXPECT_EQ(info.snd.samples, 2400);
  int32_t frames = 0;
  const std::vector<uint8_t> ours = ReadAviFrames(src, &frames);
  EXPECT_EQ(frames, 6);
  EXPECT_EQ(ours, FfmpegRgb(src, Temp("pal.rgb")));
  // The palette really changes: the frames after a change differ from a
  // decode that ignores it.
  std::vector<uint8_t> d = ReadFile(src);
  for (size_t i = 0; i + 4 <= d.size(); ++i)
    if (std::memcmp(&d[i], "00pc", 4) == 0) std::memcpy(&d[i], "JUNK", 4);
  WriteFile(Temp("nopal.avi"), d);
  const std::vector<uint8_t> plain = ReadAviFrames(Temp("nopal.avi"), &frames);
  EXPECT_EQ(frames, 6);
  const size_t fb = size_t(64) * 48 * 3;
  ASSERT_EQ(plain.size(), ours.size());
  EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + long(2 * fb), plain.begin()));
  EXPECT_FALSE(std::equal(ours.begin() + long(2 * fb), ours.end(), plain.begin() + long(2 * fb)));
  EXPECT_EQ(platform::AviOpenObjects(), 0);
}

}  // namespace
}  // namespace vek
