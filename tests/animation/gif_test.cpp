// GIF reading against ImageMagick's composed frames (-coalesce): stills and
// animations written by ImageMagick and FFmpeg in every layout the format
// offers, seeking, still loading, file information and the scan cache.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "animation/anim_test_util.h"
#include "engine/format_dispatch.h"
#include "formats/movie/gif.h"

namespace {

using namespace anim_test;

std::string A() { return "'" + Photo("astronaut.png") + "'"; }
std::string B() { return "'" + Photo("chelsea.png") + "'"; }
std::string C() { return "'" + Photo("coffee.png") + "'"; }

// The astronaut with a shape drawn on it: a sequence where little changes
// from frame to frame, which the writers store as partial frames.
std::string Drawn(const std::string& draw) { return "\\( " + A() + " -fill red -draw '" + draw + "' \\)"; }
std::string MovingShapes() {
  return A() + " " + Drawn("circle 40,40 40,30") + " " + Drawn("circle 60,40 60,30") + " " +
         Drawn("rectangle 60,30 90,60") + " " + A();
}

// Small sprites on a transparent ground.
std::string Sprite(const char* colour) {
  return std::string("\\( -size 40x30 xc:none -fill ") + colour + " -draw 'circle 20,15 20,3' \\)";
}

struct Variant {
  const char* name;
  std::string args;  // ImageMagick arguments before the output name
};

std::vector<Variant> MagickVariants() {
  return {
      {"still87a", A() + " -colors 64 GIF87:"},
      {"photos_local_palettes", "-delay 10 " + A() + " " + B() + " " + C() + " -loop 0 "},
      {"photos_interlaced", "-delay 10 " + A() + " " + B() + " " + C() + " -interlace GIF "},
      {"optimized_partial", "-delay 8 " + MovingShapes() + " +map -layers Optimize "},
      {"optimized_interlaced", "-delay 8 " + MovingShapes() + " +map -layers Optimize -interlace GIF "},
      {"optimized_transparency",
       "-delay 8 " + MovingShapes() + " +map -layers OptimizeTransparency "},
      {"disposal_methods",
       "-delay 10 -dispose None " + A() + " -dispose Previous -page +10+10 " + Sprite("red") +
           " -dispose Background -page +40+30 " + Sprite("yellow") + " -dispose None -page +60+45 " +
           Sprite("lime") + " -dispose Previous -page +5+40 " + Sprite("blue") + " -page +50+10 " +
           Sprite("magenta") + " +map "},
      // Comments with a comma and with the control block's signature bytes
      // between each control block and its image.
      {"comments", "-delay 10 " + A() + " " + B() + " +map -set comment 'frame, with a comma !\xF9\x04 here' "},
      {"application_blocks", "-delay 10 " + MovingShapes() + " +map -layers Optimize -loop 3 -set comment ',,,,' "},
  };
}

class GifOracle : public AnimTest, public ::testing::WithParamInterface<int> {};

// Every frame we compose equals ImageMagick's composed frame wherever that
// is opaque, and the frame counts agree.
TEST_P(GifOracle, FramesEqualImageMagickCoalesce) {
  if (!HaveMagick()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick (/usr/bin/convert) is not installed";
  const Variant v = MagickVariants()[static_cast<size_t>(GetParam())];
  const std::string gif = Temp(std::string(v.name) + ".gif");
  ASSERT_TRUE(Magick(v.args + "'" + gif + "'")) << v.name;
  const Frames ref = MagickCoalesce(gif);
  ASSERT_FALSE(ref.rgba.empty()) << v.name;

  Movie m(gif);
  ASSERT_TRUE(m.ok()) << v.name << ": " << vek::ErrMsgLast();
  EXPECT_EQ(m.view().frames, static_cast<int32_t>(ref.rgba.size())) << v.name;
  EXPECT_EQ(m.view().width, ref.width);
  EXPECT_EQ(m.view().height, ref.height);
  long opaque = 0;
  for (size_t f = 0; f < ref.rgba.size(); ++f) {
    ASSERT_TRUE(m.Load(static_cast<int32_t>(f + 1), 1)) << v.name << " frame " << f + 1;
    EXPECT_EQ(OpaqueDiff(ToRgba(m.img), ref.rgba[f]), 0) << v.name << " frame " << f + 1;
    for (size_t i = 3; i < ref.rgba[f].size(); i += 4) opaque += ref.rgba[f][i] == 255;
  }
  EXPECT_GT(opaque, 0);
}

INSTANTIATE_TEST_SUITE_P(Magick, GifOracle, ::testing::Range(0, 9),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return std::string(MagickVariants()[static_cast<size_t>(i.param)].name);
                         });

// FFmpeg's GIF writer stores changed rectangles with transparent pixels.
TEST_F(AnimTest, FfmpegWrittenGifEqualsImageMagick) {
  if (!HaveMagick() || !HaveFfmpeg()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick or FFmpeg is not installed";
  const std::string pattern = Temp("ffsrc%d.png");
  ASSERT_TRUE(Magick(MovingShapes() + " -scene 1 '" + pattern + "'"));
  const std::string gif = Temp("ffmpeg.gif");
  ASSERT_TRUE(Shell("/usr/bin/ffmpeg -loglevel error -y -framerate 10 -start_number 1 -i '" + pattern +
                  "' '" + gif + "'"));
  const Frames ref = MagickCoalesce(gif);
  ASSERT_EQ(ref.rgba.size(), 5u);
  Movie m(gif);
  ASSERT_TRUE(m.ok());
  ASSERT_EQ(m.view().frames, 5);
  for (int32_t f = 1; f <= 5; ++f) {
    ASSERT_TRUE(m.Load(f));
    EXPECT_EQ(OpaqueDiff(ToRgba(m.img), ref.rgba[static_cast<size_t>(f - 1)]), 0) << "frame " << f;
  }
}

// Seeking gives the same pictures as playing forward: forward steps,
// restarts without the forward flag, and direct seeks in files whose
// frames stand alone.
TEST_F(AnimTest, SeekingMatchesSequentialDecoding) {
  if (!HaveMagick()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick is not installed";
  const std::string partial = Temp("seek_partial.gif");
  ASSERT_TRUE(Magick("-delay 8 " + MovingShapes() + " +map -layers Optimize '" + partial + "'"));
  const std::string whole = Temp("seek_whole.gif");
  ASSERT_TRUE(Magick("-delay 10 " + A() + " " + B() + " " + C() + " " + A() + " '" + whole + "'"));
  for (const std::string& gif : {partial, whole}) {
    std::vector<Bytes> seq;
    {
      Movie m(gif);
      ASSERT_TRUE(m.ok());
      for (int32_t f = 1; f <= m.view().frames; ++f) {
        ASSERT_TRUE(m.Load(f));
        seq.push_back(ToRgba(m.img));
      }
    }
    ASSERT_GE(seq.size(), 4u);
    Movie m(gif);
    const struct {
      int32_t frame, mode;
    } steps[] = {{3, 1}, {4, 1}, {4, 1}, {2, 0}, {4, 0}, {1, 1}, {3, 0}, {3, 0}};
    for (const auto& s : steps) {
      ASSERT_TRUE(m.Load(s.frame, s.mode));
      EXPECT_EQ(ToRgba(m.img), seq[static_cast<size_t>(s.frame - 1)]) << gif << " frame " << s.frame;
      EXPECT_EQ(m.view().current, s.frame);
    }
    EXPECT_FALSE(m.Load(static_cast<int32_t>(seq.size()) + 1));
  }
}

// Two animations open at once each keep their own frame positions.
TEST_F(AnimTest, TwoOpenAnimationsDoNotShareFramePositions) {
  if (!HaveMagick()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick is not installed";
  const std::string one = Temp("two_a.gif"), two = Temp("two_b.gif");
  ASSERT_TRUE(Magick("-delay 10 " + A() + " " + B() + " " + C() + " '" + one + "'"));
  ASSERT_TRUE(Magick("-delay 10 " + C() + " -colors 16 " + B() + " -colors 16 '" + two + "'"));
  const Frames ref = MagickCoalesce(one);
  const Frames ref2 = MagickCoalesce(two);
  ASSERT_EQ(ref.rgba.size(), 3u);
  ASSERT_EQ(ref2.rgba.size(), 2u);
  Movie m1(one);
  Movie m2(two);
  ASSERT_TRUE(m1.ok() && m2.ok());
  EXPECT_EQ(m2.view().frames, 2);
  for (int32_t f = 1; f <= 3; ++f) {
    ASSERT_TRUE(m1.Load(f, 1));
    EXPECT_EQ(OpaqueDiff(ToRgba(m1.img), ref.rgba[static_cast<size_t>(f - 1)]), 0) << f;
    if (f <= 2) {
      ASSERT_TRUE(m2.Load(f, 1));
      EXPECT_EQ(OpaqueDiff(ToRgba(m2.img), ref2.rgba[static_cast<size_t>(f - 1)]), 0) << "second, " << f;
    }
  }
  // And back to the start of each, in the other order.
  ASSERT_TRUE(m2.Load(1, 0));
  EXPECT_EQ(OpaqueDiff(ToRgba(m2.img), ref2.rgba[0]), 0);
  ASSERT_TRUE(m1.Load(1, 0));
  EXPECT_EQ(OpaqueDiff(ToRgba(m1.img), ref.rgba[0]), 0);
}

// File information: frame counts, rates from the delays (whole file, or
// the first frame alone in the quick open), size and compression name.
TEST_F(AnimTest, InfoCountsFramesAndRates) {
  if (!HaveMagick()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick is not installed";
  const std::string anim = Temp("info_anim.gif"), still = Temp("info_still.gif");
  ASSERT_TRUE(Magick("-delay 10 " + A() + " " + B() + " " + C() + " '" + anim + "'"));
  ASSERT_TRUE(Magick(A() + " -colors 32 GIF87:'" + still + "'"));
  vek::QffInfo fi{};
  vek::MonitoredBoundary("Test.Info", [&] { vek::FFInfo(anim, vek::kUndefined, fi); });
  ASSERT_TRUE(vek::ErrNone()) << vek::ErrMsgLast();
  EXPECT_EQ(fi.id, vek::kFmtGIF);
  EXPECT_EQ(fi.frames, 3);
  EXPECT_DOUBLE_EQ(fi.fps, 10.0);
  EXPECT_EQ(fi.width, 96);
  EXPECT_EQ(fi.height, 72);
  EXPECT_EQ(fi.bits, 8);
  EXPECT_EQ(fi.size, static_cast<int64_t>(ReadAll(anim).size()));
  EXPECT_STREQ(fi.compression, "Variable-Length-Code LZW (Lempel-Ziv & Welch)");
  EXPECT_TRUE(fi.imagesValid && fi.imagesSupported);

  vek::QffInfo quick{};
  vek::MonitoredBoundary("Test.Quick", [&] { vek::GIFInfo(anim, quick, false); });
  EXPECT_EQ(quick.frames, 1);
  EXPECT_DOUBLE_EQ(quick.fps, 10.0);

  vek::QffInfo st{};
  vek::MonitoredBoundary("Test.Still", [&] { vek::FFInfo(still, vek::kUndefined, st); });
  EXPECT_EQ(st.frames, 1);
  EXPECT_DOUBLE_EQ(st.fps, 0.0);

  // The media layer opens an animation as a movie and a single picture as a still.
  vek::QUniInfo ui{};
  EXPECT_TRUE(vek::UniInfo(anim, ui, 1, false));
  EXPECT_EQ(ui.kind, vek::kKindMovie);
  EXPECT_TRUE(vek::UniInfo(still, ui, 1, false));
  EXPECT_EQ(ui.kind, vek::kKindStill);
  vek::ErrClear();
  vek::WarnClear();
}

// A file rewritten under the same name and size is scanned again.
TEST_F(AnimTest, RewrittenFileIsScannedAgain) {
  if (!HaveMagick()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick is not installed";
  const std::string three = Temp("rw_three.gif"), two = Temp("rw_two.gif"), f = Temp("rw.gif");
  ASSERT_TRUE(Magick("-delay 10 " + A() + " -colors 16 " + B() + " -colors 16 " + C() + " -colors 16 '" + three + "'"));
  ASSERT_TRUE(Magick("-delay 10 " + C() + " " + A() + " '" + two + "'"));
  Bytes a = ReadAll(three), b = ReadAll(two);
  // Bytes after the trailer are not part of the picture: pad both to one size.
  const size_t n = std::max(a.size(), b.size());
  a.resize(n, 0);
  b.resize(n, 0);
  for (const auto& [data, frames] : {std::pair{a, 3}, std::pair{b, 2}, std::pair{a, 3}}) {
    WriteAll(f, data);
    vek::QffInfo fi{};
    vek::MonitoredBoundary("Test.Info", [&] { vek::FFInfo(f, vek::kUndefined, fi); });
    EXPECT_EQ(fi.frames, frames);
    Movie m(f);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(m.view().frames, frames);
    EXPECT_TRUE(m.Load(frames));
  }
}

// Still loading gives the first frame, whatever the image held before.
TEST_F(AnimTest, StillLoadGivesFirstFrame) {
  if (!HaveMagick()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick is not installed";
  const std::string gif = Temp("still_first.gif");
  // A first frame smaller than the screen, with a global colour table.
  ASSERT_TRUE(Magick("-delay 10 -page 96x72+20+10 " + Sprite("red") + " " + A() + " +map '" + gif + "'"));
  const Frames ref = MagickCoalesce(gif);
  ASSERT_EQ(ref.rgba.size(), 2u);
  vek::QImg img{};
  vek::ImgAlloc(&img, 96, 72, 8, 1, "test");
  std::memset(img.pixels, 0x5A, static_cast<size_t>(img.size));
  vek::MonitoredBoundary("Test.Still", [&] { vek::ImgLoad(gif, img, vek::kUndefined); });
  ASSERT_TRUE(vek::ErrNone()) << vek::ErrMsgLast();
  EXPECT_EQ(OpaqueDiff(ToRgba(img), ref.rgba[0]), 0);
  Bytes fresh;
  {
    vek::QImg other{};
    vek::MonitoredBoundary("Test.Still", [&] { vek::ImgLoad(gif, other, vek::kUndefined); });
    fresh = ToRgba(other);
    vek::ImgFree(&other);
  }
  EXPECT_EQ(ToRgba(img), fresh);
  vek::ImgFree(&img);
}

}  // namespace
