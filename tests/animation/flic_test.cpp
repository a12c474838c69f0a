// FLIC writing and reading: every file we write decodes in FFmpeg's FLIC
// decoder frame for frame as we wrote it (FLC and FLI, palette changes,
// frames where the delta does not pay, wide lines, long skips), reads back
// identically through our reader, and FFprobe agrees on count and rate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "animation/anim_test_util.h"
#include "engine/format_dispatch.h"
#include "formats/movie/flic.h"

namespace {

using namespace anim_test;

// An 8-bit frame of its own, freed at the end of the scope.
struct Frame {
  vek::QImg img{};
  Frame(int w, int h) { vek::ImgAlloc(&img, w, h, 8, 1, "test"); }
  Frame(const Frame& o) { vek::ImgCopy(&o.img, &img); }
  ~Frame() { vek::ImgFree(&img); }
  uint8_t& at(int x, int y) { return img.pixels[y * img.width + x]; }
};

// A photo as an 8-bit palette picture of the given size, through a BMP
// written by ImageMagick.
Frame PhotoFrame(const char* photo, int w, int h) {
  Frame f(w, h);
  const std::string bmp = Temp(std::string(photo) + "_" + std::to_string(w) + "x.bmp");
  if (!Magick("'" + Photo(photo) + "' -resize " + std::to_string(w) + "x" + std::to_string(h) +
              "! -colors 256 -type Palette BMP3:'" + bmp + "'"))
    return f;
  vek::MonitoredBoundary("Test.Photo", [&] { vek::ImgLoad(bmp, f.img, vek::kUndefined); });
  vek::ErrClear();
  return f;
}

// Palette of grey levels, or reversed.
void GreyPalette(vek::QImg& img, bool reversed) {
  for (int i = 0; i < 256; ++i)
    for (int c = 0; c < 3; ++c) img.palette[3 * i + c] = static_cast<uint8_t>(reversed ? 255 - i : i);
}

// Writes the frames through the movie layer; returns the name written.
std::string WriteFlic(const std::string& name, std::vector<Frame>& frames, double fps) {
  vek::QMovieHandle mh{vek::kUndefined, nullptr, nullptr};
  vek::MonitoredBoundary("Test.Create", [&] { vek::MviCreate(mh, name, fps, 0, 0); });
  EXPECT_TRUE(vek::ErrNone()) << vek::ErrMsgLast();
  std::string written;
  for (Frame& f : frames) {
    vek::MonitoredBoundary("Test.Save", [&] { vek::MviImgSave(mh, f.img); });
    EXPECT_TRUE(vek::ErrNone()) << vek::ErrMsgLast();
  }
  if (mh.state) written = static_cast<vek::FlicState*>(mh.state)->file_name;
  vek::MonitoredBoundary("Test.Close", [&] { vek::MviClose(mh); });
  EXPECT_TRUE(vek::ErrNone()) << vek::ErrMsgLast();
  vek::ErrClear();
  return written;
}

// What FFmpeg shows for a frame: FLI colours are stored with 6 bits and
// widened by repeating the top bits.
Bytes Expected(const vek::QImg& img, bool fli) {
  Bytes o = ToRgba(img);
  if (fli)
    for (size_t i = 0; i < o.size(); ++i)
      if (i % 4 != 3) {
        const int v = o[i] >> 2;
        o[i] = static_cast<uint8_t>(v << 2 | v >> 4);
      }
  return o;
}

// Checks a written file against FFmpeg's decode and our own reader.
void CheckRoundTrip(const std::string& file, std::vector<Frame>& frames, bool fli) {
  const int w = frames[0].img.width, h = frames[0].img.height;
  const Frames ff = FfmpegFrames(file, w, h);
  // FFmpeg plays the ring frame too: it must show the first frame again.
  ASSERT_EQ(ff.rgba.size(), frames.size() + 1) << file;
  for (size_t i = 0; i <= frames.size(); ++i) {
    const Frame& f = frames[i % frames.size()];
    EXPECT_EQ(ff.rgba[i], Expected(f.img, fli)) << file << " frame " << i + 1;
  }
  Movie m(file);
  ASSERT_TRUE(m.ok()) << vek::ErrMsgLast();
  ASSERT_EQ(m.view().frames, static_cast<int32_t>(frames.size()));
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_TRUE(m.Load(static_cast<int32_t>(i + 1)));
    EXPECT_EQ(0, std::memcmp(m.img.pixels, frames[i].img.pixels, static_cast<size_t>(w * h))) << i + 1;
    for (int c = 0; c < 768; ++c) {
      const int want = fli ? frames[i].img.palette[c] >> 2 << 2 : frames[i].img.palette[c];
      ASSERT_EQ(m.img.palette[c], want) << "frame " << i + 1 << " palette byte " << c;
    }
  }
  // Backwards: the reader starts over from the first frame.
  ASSERT_TRUE(m.Load(2));
  EXPECT_EQ(0, std::memcmp(m.img.pixels, frames[1].img.pixels, static_cast<size_t>(w * h)));
}

TEST_F(AnimTest, FlcFramesDecodeInFfmpegAsWritten) {
  if (!HaveMagick() || !HaveFfmpeg()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick or FFmpeg is not installed";
  std::vector<Frame> fr;
  fr.push_back(PhotoFrame("astronaut.png", 200, 150));
  fr.push_back(fr[0]);  // a small change: a delta
  for (int y = 40; y < 60; ++y)
    for (int x = 30; x < 90; ++x) fr[1].at(x, y) = static_cast<uint8_t>(x * 7);
  fr.push_back(fr[1]);  // unchanged
  fr.push_back(PhotoFrame("chelsea.png", 200, 150));  // new colours, a delta that does not pay
  fr.push_back(fr[3]);  // the same pixels with other colours
  std::memcpy(fr[4].img.palette, fr[0].img.palette, 768);
  fr.push_back(Frame(200, 150));  // noise
  std::mt19937 rng(7);
  for (int i = 0; i < 200 * 150; ++i) fr[5].img.pixels[i] = static_cast<uint8_t>(rng());
  std::memcpy(fr[5].img.palette, fr[3].img.palette, 768);
  const std::string name = WriteFlic(Temp("movie.flc"), fr, 25);
  EXPECT_EQ(name, Temp("movie.flc"));
  CheckRoundTrip(name, fr, false);

  const std::string probe = Capture("/usr/bin/ffprobe -v error -select_streams v:0 -show_entries "
                                    "stream=r_frame_rate,width,height -of csv=p=0 '" + name + "'");
  EXPECT_EQ(probe.substr(0, probe.find('\n')), "200,150,25/1");
}

// 320 x 200 frames make an FLI file whatever the extension asked for.
TEST_F(AnimTest, FliFramesDecodeInFfmpegAsWritten) {
  if (!HaveMagick() || !HaveFfmpeg()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick or FFmpeg is not installed";
  std::vector<Frame> fr;
  fr.push_back(PhotoFrame("coffee.png", 320, 200));
  fr.push_back(fr[0]);
  for (int x = 0; x < 320; ++x) fr[1].at(x, 100) = static_cast<uint8_t>(x);
  fr.push_back(PhotoFrame("astronaut.png", 320, 200));
  const std::string name = WriteFlic(Temp("small.flc"), fr, 10);
  EXPECT_EQ(name, Temp("small.fli"));
  EXPECT_FALSE(vek::FExists(Temp("small.flc")));
  CheckRoundTrip(name, fr, true);

  const Bytes file = ReadAll(name);
  ASSERT_GE(file.size(), 128u);
  EXPECT_EQ(file[4] | file[5] << 8, 0xAF11);
  EXPECT_EQ(file[16] | file[17] << 8, 7);  // 1/70 s
  vek::QffInfo fi{};
  vek::MonitoredBoundary("Test.Info", [&] { vek::FFInfo(name, vek::kUndefined, fi); });
  EXPECT_EQ(fi.frames, 3);
  EXPECT_DOUBLE_EQ(fi.fps, 10.0);
  EXPECT_EQ(fi.size, static_cast<int64_t>(file.size()));
  EXPECT_STREQ(fi.compression, "RLE + pixel difference from previous frame");
  const std::string probe = Capture("/usr/bin/ffprobe -v error -select_streams v:0 -show_entries "
                                    "stream=r_frame_rate -of csv=p=0 '" + name + "'");
  EXPECT_EQ(probe.substr(0, probe.find('\n')), "10/1");
}

// Lines wider than a packet count byte can describe in runs, and skips of
// more than 255 unchanged pixels.
TEST_F(AnimTest, WideLinesAndLongSkipsDecodeInFfmpeg) {
  if (!HaveFfmpeg()) GTEST_SKIP() << VEK_ORACLE_SKIP << "FFmpeg is not installed";
  const int w = 1100, h = 6;
  std::vector<Frame> fr;
  fr.push_back(Frame(w, h));
  GreyPalette(fr[0].img, false);
  std::memset(fr[0].img.pixels, 0, static_cast<size_t>(w * h));
  fr.push_back(fr[0]);
  // One byte, then three equal ones: a run packet after every literal byte.
  for (int y = 0; y < h; y += 2)
    for (int x = 0; x < w; ++x) fr[1].at(x, y) = x % 4 == 0 ? static_cast<uint8_t>(1 + x % 200) : 9;
  fr.push_back(fr[1]);
  fr[2].at(700, 3) = 77;   // 700 unchanged pixels before the change
  fr[2].at(1090, 3) = 78;  // and 389 between
  fr[2].at(5, 5) = 79;
  fr.push_back(fr[2]);  // the palette reversed, no pixel changed
  GreyPalette(fr[3].img, true);
  const std::string name = WriteFlic(Temp("wide.flc"), fr, 30);
  CheckRoundTrip(name, fr, false);
}

// Widths that are not a multiple of 4: frames whose compression does not
// pay (noise, for the first frame and for deltas) and ordinary pictures
// decode in FFmpeg as written, and read back here.
TEST_F(AnimTest, OddWidthsDecodeInFfmpegAsWritten) {
  if (!HaveMagick() || !HaveFfmpeg()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick or FFmpeg is not installed";
  std::mt19937 rng(11);
  for (const int w : {161, 162, 163, 1}) {
    const int h = w == 1 ? 9 : 61;
    std::vector<Frame> fr;
    fr.push_back(Frame(w, h));  // noise first
    GreyPalette(fr[0].img, false);
    for (int i = 0; i < w * h; ++i) fr[0].img.pixels[i] = static_cast<uint8_t>(rng());
    fr.push_back(w == 1 ? fr[0] : PhotoFrame("astronaut.png", w, h));
    fr.push_back(fr[1]);  // noise again, as a frame after the first
    for (int i = 0; i < w * h; ++i) fr[2].img.pixels[i] = static_cast<uint8_t>(rng());
    fr.push_back(fr[2]);  // a small change
    fr[3].at(w / 2, h / 2) ^= 0x55;
    const std::string name = WriteFlic(Temp("odd" + std::to_string(w) + ".flc"), fr, 10);
    SCOPED_TRACE(w);
    CheckRoundTrip(name, fr, false);
  }
}

// Raw frame chunks with rows padded to a multiple of 4 bytes, as some
// writers make them, read like unpadded ones.
TEST_F(AnimTest, RawChunksReadWithAndWithoutRowPadding) {
  const int w = 5, h = 3;
  std::vector<Frame> fr;
  fr.push_back(Frame(w, h));
  for (int i = 0; i < w * h; ++i) fr[0].img.pixels[i] = static_cast<uint8_t>(10 + i);
  for (const int stride : {5, 8}) {
    Bytes f(128, 0);
    Put16(f, 4, 0xAF12);
    Put16(f, 6, 1);
    Put16(f, 8, w);
    Put16(f, 10, h);
    Put16(f, 12, 8);
    Bytes raw(static_cast<size_t>(stride * h), 0xEE);
    for (int y = 0; y < h; ++y) std::memcpy(&raw[static_cast<size_t>(y * stride)], fr[0].img.pixels + y * w, w);
    if (raw.size() & 1) raw.push_back(0);
    Bytes frame(16, 0);
    Put16(frame, 4, 0xF1FA);
    Put16(frame, 6, 1);
    frame.insert(frame.end(), {0, 0, 0, 0, 16, 0});
    Put16(frame, 16, static_cast<unsigned>(6 + raw.size()));
    frame.insert(frame.end(), raw.begin(), raw.end());
    Put16(frame, 0, static_cast<unsigned>(frame.size()));
    f.insert(f.end(), frame.begin(), frame.end());
    Put16(f, 0, static_cast<unsigned>(f.size()));
    const std::string name = Temp("raw" + std::to_string(stride) + ".flc");
    WriteAll(name, f);
    Movie m(name);
    ASSERT_TRUE(m.ok());
    ASSERT_TRUE(m.Load(1));
    EXPECT_EQ(0, std::memcmp(m.img.pixels, fr[0].img.pixels, static_cast<size_t>(w * h))) << stride;
  }
}

// Word deltas are not written by us; this chunk is built by hand from the
// format's definition: skip a line, set the last pixel of an odd-width
// line, copy two words at column 1, repeat a word twice at column 6.
TEST_F(AnimTest, WordDeltaChunkDecodes) {
  const int w = 11, h = 4;
  Bytes f(128, 0);
  auto put16 = [](Bytes& b, size_t at, unsigned v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  put16(f, 4, 0xAF12);
  put16(f, 6, 2);
  put16(f, 8, w);
  put16(f, 10, h);
  put16(f, 12, 8);
  f[16] = 100;
  // Frame 1: black.
  Bytes c1(16, 0);
  put16(c1, 0, 22);
  put16(c1, 4, 0xF1FA);
  put16(c1, 6, 1);
  c1.insert(c1.end(), {6, 0, 0, 0, 13, 0});
  // Frame 2: word delta.
  const Bytes delta = {1, 0,            // one line
                       0xFF, 0xFF,      // skip one line
                       0x2A, 0x80,      // last pixel 0x2A
                       2, 0,            // two packets
                       1, 2, 1, 2, 3, 4,
                       1, 0xFE, 5, 6};
  Bytes c2(16, 0);
  put16(c2, 4, 0xF1FA);
  put16(c2, 6, 1);
  const size_t sub = 6 + delta.size();
  c2.insert(c2.end(), {static_cast<uint8_t>(sub), 0, 0, 0, 7, 0});
  c2.insert(c2.end(), delta.begin(), delta.end());
  put16(c2, 0, static_cast<unsigned>(c2.size()));
  f.insert(f.end(), c1.begin(), c1.end());
  f.insert(f.end(), c2.begin(), c2.end());
  put16(f, 0, static_cast<unsigned>(f.size()));
  const std::string name = Temp("word.flc");
  WriteAll(name, f);
  Movie m(name);
  ASSERT_TRUE(m.ok());
  ASSERT_TRUE(m.Load(2, 1));
  uint8_t want[h][w] = {};
  want[1][10] = 0x2A;
  want[1][1] = 1, want[1][2] = 2, want[1][3] = 3, want[1][4] = 4;
  want[1][6] = 5, want[1][7] = 6, want[1][8] = 5, want[1][9] = 6;
  EXPECT_EQ(0, std::memcmp(m.img.pixels, want, sizeof want));
  EXPECT_DOUBLE_EQ(m.view().frames, 2);
  vek::QffInfo fi{};
  vek::MonitoredBoundary("Test.Info", [&] { vek::FFInfo(name, vek::kUndefined, fi); });
  EXPECT_DOUBLE_EQ(fi.fps, 10.0);  // 100 ms
}

// Errors: saving a frame of another size, reading past the end, frame
// numbers out of range.
TEST_F(AnimTest, FlicErrors) {
  std::vector<Frame> fr;
  fr.push_back(Frame(40, 30));
  std::memset(fr[0].img.pixels, 3, 1200);
  const std::string name = WriteFlic(Temp("err.flc"), fr, 12);
  {
    Movie m(name);
    ASSERT_TRUE(m.ok());
    EXPECT_DOUBLE_EQ(MviView(m.mh).frames, 1);
    EXPECT_TRUE(m.Load(1));
    vek::MonitoredBoundary("Test.Past", [&] { vek::FLCLoadNext(*static_cast<vek::FlicState*>(m.mh.state), m.img); });
    EXPECT_EQ(vek::ErrGroup(), vek::kGrpFlic);
    EXPECT_EQ(vek::ErrMsgLast(), "End of FLIC movie reached.");
    vek::ErrClear();
    vek::MonitoredBoundary("Test.Range", [&] { vek::FLCLoad(*static_cast<vek::FlicState*>(m.mh.state), m.img, 5, true); });
    EXPECT_EQ(vek::ErrMsgLast(), "Invalid movie format.");
    vek::ErrClear();
  }
  vek::QMovieHandle mh{vek::kUndefined, nullptr, nullptr};
  vek::MonitoredBoundary("Test.Create", [&] { vek::MviCreate(mh, Temp("err2.flc"), 10, 0, 0); });
  Frame a(40, 30), b(41, 30);
  vek::MonitoredBoundary("Test.Save", [&] { vek::MviImgSave(mh, a.img); });
  EXPECT_TRUE(vek::ErrNone());
  vek::MonitoredBoundary("Test.Save", [&] { vek::MviImgSave(mh, b.img); });
  EXPECT_EQ(vek::ErrGroup(), vek::kGrpImage);
  EXPECT_EQ(vek::ErrCode(), vek::kImgInvalid);
  vek::ErrClear();
  vek::MonitoredBoundary("Test.Close", [&] { vek::MviClose(mh); });
  vek::ErrClear();
}

}  // namespace
