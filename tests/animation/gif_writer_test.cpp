// GIF writing (an extension): the switch that offers it, animations whose
// frames read back by our reader, ImageMagick and FFmpeg equal the frames we
// quantised, exact play time, and the LZW coder at the format's limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "animation/anim_test_util.h"
#include "engine/format_dispatch.h"
#include "engine/format_registry.h"
#include "formats/movie/gif.h"
#include "formats/movie/gif_writer.h"
#include "image/palette_histogram.h"
#include "engine/save_options.h"
#include "ui/option_dialogs.h"
#include "vek/vek.h"

namespace {

using namespace anim_test;
using namespace vek;

struct ExtensionsOn {
  ExtensionsOn() { VekExtSetFormats(-1); }
  ~ExtensionsOn() { VekExtSetFormats(0); }
};

TEST_F(AnimTest, GifWritingExistsOnlyWithTheSwitch) {
  int n = 0;
  EXPECT_EQ(VekExtSetFormats(VEK_UNDEFINED), 0);
  FmtTable(kWriteTable, n);
  EXPECT_EQ(n, 17);
  EXPECT_EQ(VekGetFileFmtID("x.gif"), VEK_UNDEFINED);
  EXPECT_EQ(FmtDepth(kFmtGIF, 24), kUndefined);
  QSaveOpts opts;
  FFSaveReset(opts);
  FFSaveSetFormat(opts, kFmtGIF);
  EXPECT_EQ(opts.dialog, 0);  // as in the original tables: no options
  QImg img{};
  ImgAlloc(&img, 4, 4, 24, 1, "Test.img");
  MonitoredBoundary("T.Save", [&] { ImgSave(Temp("off.gif"), img, kFmtGIF); });
  EXPECT_FALSE(ErrNone());  // no writer behind the id while the switch is off
  ErrClear();
  {
    ExtensionsOn on;
    EXPECT_EQ(VekExtSetFormats(VEK_UNDEFINED), -1);
    const QffDesc* rows = FmtTable(kWriteTable, n);
    ASSERT_EQ(n, 20);  // GIF, then MP4 and WebM
    EXPECT_EQ(rows[17].id, kFmtGIF);  // after every original row
    FmtTable(kReadTable, n);
    EXPECT_EQ(n, 22);  // MP4, WebM and MPEG-TS after the original rows
    EXPECT_EQ(VekGetFileFmtID("x.GIF"), kFmtGIF);
    EXPECT_EQ(FmtDepth(kFmtGIF, 24), 8);
    FFSaveSetFormat(opts, kFmtGIF);
    EXPECT_EQ(opts.dialog, -1);  // the palette mode dialog
    EXPECT_EQ(vek::ui::GifChoice().current, PalSetMode(kUndefined));
    // A still from a true-colour picture of few colours keeps them exactly.
    for (int i = 0; i < 48; ++i) img.pixels[i] = static_cast<uint8_t>(i * 5);
    MonitoredBoundary("T.Save", [&] { ImgSave(Temp("still.gif"), img, kUndefined); });
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    QImg back{};
    MonitoredBoundary("T.Load", [&] { ImgLoad(Temp("still.gif"), back, kUndefined); });
    ASSERT_TRUE(ErrNone());
    EXPECT_EQ(ToRgba(back), ToRgba(img));
    ImgFree(&back);
  }
  ImgFree(&img);
  FmtTable(kWriteTable, n);
  EXPECT_EQ(n, 17);
}

// FFmpeg's frames one for one, whatever the delays.
Frames FfmpegEveryFrame(const std::string& gif, int w, int h) {
  Frames f;
  f.width = w;
  f.height = h;
  const std::string raw = gif + ".raw";
  if (!Shell("/usr/bin/ffmpeg -loglevel error -y -i '" + gif +
             "' -fps_mode passthrough -f rawvideo -pix_fmt rgba '" + raw + "'"))
    return f;
  const Bytes all = ReadAll(raw);
  std::remove(raw.c_str());
  const size_t n = size_t(w) * h * 4;
  for (size_t at = 0; at + n <= all.size(); at += n) f.rgba.emplace_back(all.begin() + at, all.begin() + at + n);
  return f;
}

// Hundredths of a second of all frames, as ImageMagick reads them.
long TotalDelay(const std::string& gif) {
  const std::string delays = Capture("/usr/bin/identify -format '%T\\n' '" + gif + "'");
  long total = 0;
  int d = 0, read = 0;
  for (const char* p = delays.c_str(); std::sscanf(p, "%d%n", &d, &read) == 1; p += read) total += d;
  return total;
}

// The repeat count of the looping block, -1 without one.
int LoopField(const std::string& gif) {
  const Bytes b = ReadAll(gif);
  const std::string tag = "NETSCAPE2.0";
  const auto at = std::search(b.begin(), b.end(), tag.begin(), tag.end());
  if (at == b.end() || b.end() - at < 15) return -1;
  return at[13] | at[14] << 8;
}

// A pan over a photo with a still corner, quantised with error diffusion
// into one palette, written and read back three ways.
TEST_F(AnimTest, PannedPhotoReadsBackAsQuantised) {
  if (!HaveMagick() || !HaveFfmpeg()) GTEST_SKIP() << "ImageMagick or FFmpeg is missing";
  constexpr int kW = 160, kH = 120, kFrames = 25;
  constexpr double kFps = 30;
  QImg photo{};
  MonitoredBoundary("T.Photo", [&] {
    ImgLoad(std::string(VEK_TEST_DATA) + "/still/rocket_640x427.jpg", photo, kUndefined);
  });
  ASSERT_TRUE(ErrNone());
  std::vector<QImg> src(kFrames), q(kFrames);
  for (int i = 0; i < kFrames; ++i) {
    ImgAlloc(&src[i], kW, kH, 24, 1, "Test.src");
    for (int y = 0; y < kH; ++y) {
      // Rows 0..29 of columns 0..39 stay as they were: the still corner.
      const int sx = 3 * i, sy = 2 * i;
      for (int x = 0; x < kW; ++x) {
        const bool still = x < 40 && y < 30;
        const uint8_t* p = photo.pixels + 3 * (size_t(still ? y + 300 : y + sy) * photo.width + (still ? x + 500 : x + sx));
        std::memcpy(src[i].pixels + 3 * (size_t(y) * kW + x), p, 3);
      }
    }
  }
  HqBegin();
  for (QImg& s : src) HqCount(&s);
  HqBuild(255);
  for (int i = 0; i < kFrames; ++i) HqRemap(&src[i], &q[i], true);
  HqEnd();
  // No shimmer: the still corner keeps its pattern from frame to frame.
  for (int i = 1; i < kFrames; ++i)
    for (int y = 0; y < 30; ++y)
      ASSERT_EQ(std::memcmp(q[i].pixels + y * kW, q[0].pixels + y * kW, 40), 0) << i;

  const std::string gif = Temp("pan.gif");
  GifWriter gw;
  MonitoredBoundary("T.Write", [&] {
    GifWriterCreate(gw, gif, kFps, false);
    for (QImg& f : q) GifWriterSave(gw, f);
    GifWriterClose(gw);
  });
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();

  {
    Movie m(gif);
    ASSERT_TRUE(m.ok());
    ASSERT_EQ(m.view().frames, kFrames);
    for (int i = 0; i < kFrames; ++i) {
      ASSERT_TRUE(m.Load(i + 1, 1));
      EXPECT_EQ(ToRgba(m.img), ToRgba(q[i])) << "our reader, frame " << i;
    }
  }
  const Frames magick = MagickCoalesce(gif);
  const Frames ff = FfmpegEveryFrame(gif, kW, kH);
  ASSERT_EQ(magick.rgba.size(), size_t(kFrames));
  ASSERT_EQ(ff.rgba.size(), size_t(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_EQ(magick.rgba[i], ToRgba(q[i])) << "ImageMagick, frame " << i;
    EXPECT_EQ(ff.rgba[i], ToRgba(q[i])) << "FFmpeg, frame " << i;
  }
  // Delays of 3 and 4 hundredths add up to the exact play time; forever.
  EXPECT_EQ(TotalDelay(gif), std::lround(kFrames * 100 / kFps));
  EXPECT_EQ(LoopField(gif), 0);
  for (QImg& i : src) ImgFree(&i);
  for (QImg& i : q) ImgFree(&i);
  ImgFree(&photo);
}

// Stills at the coder's limits: the smallest code size, odd sizes, and
// 256-colour noise that fills the 4095-entry table again and again.
TEST_F(AnimTest, LzwLimitsRoundTrip) {
  struct Case {
    int w, h, colours;
  } cases[] = {{1, 1, 2}, {7, 5, 3}, {33, 9, 17}, {640, 480, 256}, {1000, 3, 128}};
  uint32_t seed = 12345;
  for (const Case& c : cases) {
    QImg img{};
    ImgAlloc(&img, c.w, c.h, 8, 1, "Test.noise");
    for (int i = 0; i < c.colours; ++i)
      for (int k = 0; k < 3; ++k) img.palette[3 * i + k] = static_cast<uint8_t>(i * (37 + 50 * k) + k);
    for (size_t i = 0; i < size_t(c.w) * c.h; ++i) {
      seed = seed * 1664525u + 1013904223u;
      img.pixels[i] = static_cast<uint8_t>((seed >> 16) % unsigned(c.colours));
    }
    const std::string gif = Temp("noise" + std::string(1, char('a' + (&c - cases))) + ".gif");
    MonitoredBoundary("T.Still", [&] { GIFSaveStill(gif, img); });
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    QImg back{};
    MonitoredBoundary("T.Load", [&] { GIFLoadStill(gif, back); });
    ASSERT_TRUE(ErrNone()) << c.w << "x" << c.h;
    EXPECT_EQ(ToRgba(back), ToRgba(img)) << c.w << "x" << c.h;
    if (HaveMagick()) {
      const Frames m = MagickCoalesce(gif);
      ASSERT_EQ(m.rgba.size(), 1u);
      EXPECT_EQ(m.rgba[0], ToRgba(img)) << c.w << "x" << c.h;
    }
    ImgFree(&back);
    ImgFree(&img);
  }
}

// The whole run: PNG frames through vekconv, one palette, exact play time.
TEST_F(AnimTest, VekconvWritesGifFromPngFrames) {
  const std::string vekconv = std::string(VEK_BINARY_DIR) + "/tools/vekconv/vekconv";
  if (!HaveMagick() || access(vekconv.c_str(), X_OK) != 0) GTEST_SKIP() << "vekconv or ImageMagick missing";
  const std::string pattern = Temp("run%d.png");
  for (int i = 0; i < 7; ++i)
    ASSERT_TRUE(Magick("'" + Photo("astronaut.png") + "' -roll +" + std::to_string(4 * i) + "+0 '" +
                       Temp("run" + std::to_string(i) + ".png") + "'"));
  const std::string gif = Temp("run.gif");
  ASSERT_TRUE(Shell("'" + vekconv + "' -q -d -r 12 --loop 3 '" + gif + "' '" + Temp("run*.png") + "'"));
  const std::string info = Capture("'" + vekconv + "' --info '" + gif + "'");
  EXPECT_NE(info.find("7 frame(s), 96x72, 8 bits"), std::string::npos) << info;
  EXPECT_EQ(TotalDelay(gif), std::lround(7 * 100 / 12.0));
  EXPECT_EQ(LoopField(gif), 2);  // three plays: the first and two repeats
  (void)pattern;
}

}  // namespace
