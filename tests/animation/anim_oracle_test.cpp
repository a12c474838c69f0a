// Files other programs write or damage, frame for frame as FFmpeg decodes
// them: Animator Pro cel files (a FLC whose frames follow a prefix chunk,
// 0xF100, holding the cel's registration, CEL_DATA, type 3; or a bare
// CEL_DATA chunk; or a prefix of odd size), and GIFs whose code streams
// are damaged after the first frame.
#include <gtest/gtest.h>

#include <string>

#include "animation/anim_test_util.h"

namespace {

using namespace anim_test;

void Add16(Bytes& b, unsigned v) { b.push_back(uint8_t(v)), b.push_back(uint8_t(v >> 8)); }
void Add32(Bytes& b, uint32_t v) { Add16(b, v & 0xFFFF), Add16(b, v >> 16); }
Bytes Chunk(unsigned type, const Bytes& data, size_t head = 6) {
  Bytes c;
  Add32(c, uint32_t(head + data.size()));
  Add16(c, type);
  c.resize(head, 0);
  c.insert(c.end(), data.begin(), data.end());
  return c;
}

Bytes CelFile(const Bytes& lead, int w, int h) {
  Bytes frames;
  for (int n = 0; n < 3; ++n) {
    Bytes subs;
    if (n == 0) {  // all 256 colours
      Bytes pal = {1, 0, 0, 0};
      for (int i = 0; i < 256; ++i) pal.insert(pal.end(), {uint8_t(i), uint8_t(i * 3), uint8_t(255 - i)});
      subs = Chunk(4, pal);
    }
    Bytes run;  // byte runs: one literal packet per line
    for (int y = 0; y < h; ++y) {
      run.insert(run.end(), {0, uint8_t(256 - w)});
      for (int x = 0; x < w; ++x) run.push_back(uint8_t(x * 7 + y * 3 + n * 40));
    }
    const Bytes brun = Chunk(15, run);
    subs.insert(subs.end(), brun.begin(), brun.end());
    Bytes f = Chunk(0xF1FA, subs, 16);
    f[6] = n == 0 ? 2 : 1;  // sub-chunks
    frames.insert(frames.end(), f.begin(), f.end());
  }
  Bytes file(128, 0);
  const size_t size = 128 + lead.size() + frames.size();
  for (auto [at, v] : {std::pair<size_t, unsigned>{0, size & 0xFFFF}, {2, unsigned(size >> 16)}, {4, 0xAF12},
                       {6, 3}, {8, unsigned(w)}, {10, unsigned(h)}, {12, 8}, {14, 3}, {16, 70},
                       {80, unsigned(128 + lead.size())}})
    Put16(file, at, v);
  file.insert(file.end(), lead.begin(), lead.end());
  file.insert(file.end(), frames.begin(), frames.end());
  return file;
}

TEST_F(AnimTest, CelFilesDecodeAsInFfmpeg) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "FFmpeg is not installed";
  const int w = 32, h = 24;
  Bytes cel_data(58, 0);  // centre 5, 7; no stretch, rotation or frame numbers
  cel_data[0] = 5, cel_data[2] = 7;
  Bytes prefix = Chunk(0xF100, Chunk(3, cel_data), 16);
  prefix[6] = 1;
  Bytes odd = Chunk(0xF100, Chunk(3, Bytes(57, 0)), 16);  // odd size, not padded
  odd[6] = 1;
  for (const auto& [label, lead] : {std::pair<const char*, Bytes>{"prefix", prefix}, {"cel data", Chunk(3, cel_data)},
                                    {"odd prefix", odd}, {"none", Bytes{}}}) {
    SCOPED_TRACE(label);
    const std::string name = Temp("cel.flc");
    WriteAll(name, CelFile(lead, w, h));
    const Frames ff = FfmpegFrames(name, w, h);
    ASSERT_EQ(ff.rgba.size(), 3u);
    Movie m(name);
    ASSERT_TRUE(m.ok());
    ASSERT_EQ(m.view().frames, 3);
    for (int n = 1; n <= 3; ++n) {
      ASSERT_TRUE(m.Load(n)) << n;
      EXPECT_EQ(ToRgba(m.img), ff.rgba[size_t(n - 1)]) << "frame " << n;
    }
  }
}

// A damaged code stream ends that frame's picture where it goes wrong (or
// leaves the picture as it was when nothing decodes); the frames after it
// are all there.
TEST_F(AnimTest, DamagedGifFramesDoNotEndTheAnimation) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "FFmpeg is not installed";
  const std::string src = Temp("five.gif");
  ASSERT_TRUE(Shell("/usr/bin/ffmpeg -v error -y -f lavfi -i testsrc=s=32x24:r=5 -frames:v 5 -gifflags 0 '" +
                    src + "'"));
  const Bytes good = ReadAll(src);
  // The code stream of the second frame: after its control extension,
  // descriptor and local colours, the code size and the first sub-block.
  size_t at = 0;
  for (int seen = 0; at + 3 < good.size(); ++at)
    if (good[at] == 0x21 && good[at + 1] == 0xF9 && good[at + 2] == 4 && ++seen == 2) break;
  at += 8;
  ASSERT_EQ(good.at(at), 0x2C);
  at += 10 + ((good[at + 9] & 0x80) ? 3u << ((good[at + 9] & 7) + 1) : 0);
  ASSERT_LT(at + 8, good.size());
  for (size_t from : {at + 2, at + 5}) {  // the first code, or codes after some pixels
    SCOPED_TRACE(from - at);
    Bytes bad = good;
    std::fill(bad.begin() + long(from), bad.begin() + long(from) + 3, 0xFF);
    const std::string name = Temp("damaged.gif");
    WriteAll(name, bad);
    const Frames ff = FfmpegFrames(name, 32, 24);
    ASSERT_EQ(ff.rgba.size(), 5u);
    Movie m(name);
    ASSERT_TRUE(m.ok());
    ASSERT_EQ(m.view().frames, 5);
    for (int n = 1; n <= 5; ++n) {
      ASSERT_TRUE(m.Load(n)) << n;
      EXPECT_EQ(ToRgba(m.img), ff.rgba[size_t(n - 1)]) << "frame " << n;
    }
  }
}

}  // namespace
