// Hostile GIF and FLIC files: every seed and regression input of the fuzz
// corpus, cut at every length and with bytes changed, runs through the
// info, still and movie paths without crash, leak or hang; and the damaged
// headers the readers must name give their errors.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "animation/anim_test_util.h"
#include "engine/format_dispatch.h"
#include "vek/vek.h"

namespace {

using namespace anim_test;

std::vector<std::string> Corpus(const char* format) {
  const std::string dir = std::string(VEK_TEST_DATA) + "/../../fuzz/corpus/" + format;
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Everything a reader offers, on one file; errors are fine, anything left
// behind is not.
void Exercise(const std::string& name) {
  const int32_t mem = vek::MemCount();
  vek::QffInfo fi{};
  vek::MonitoredBoundary("Test.Info", [&] { vek::FFInfo(name, vek::kUndefined, fi); });
  vek::ErrClear();
  vek::QImg img{};
  if (fi.id == vek::kFmtGIF) {
    vek::MonitoredBoundary("Test.Still", [&] { vek::ImgLoad(name, img, vek::kUndefined); });
    vek::ErrClear();
  }
  {
    Movie m(name);
    if (m.ok()) {
      const int32_t frames = std::min(m.view().frames, 40);
      for (int32_t f = 1; f <= frames; ++f)
        if (!m.Load(f)) break;
      m.Load(1);
      if (frames > 2) m.Load(frames - 1, 0);
    }
  }
  vek::ImgFree(&img);
  vek::ErrClear();
  ASSERT_EQ(vek::MemCount(), mem) << name;
  ASSERT_EQ(vek::FCount(), 0) << name;
  ASSERT_EQ(vek::MonDepth(), 0) << name;
}

void Mutilate(const char* format, const char* ext) {
  const auto files = Corpus(format);
  ASSERT_FALSE(files.empty());
  const std::string tmp = Temp(std::string("hostile") + ext);
  std::mt19937 rng(1234);
  for (const std::string& f : files) {
    const Bytes data = ReadAll(f);
    WriteAll(tmp, data);
    Exercise(tmp);
    // Cut at every length (in steps on larger files).
    const size_t step = std::max<size_t>(1, data.size() / 600);
    for (size_t n = 0; n < data.size(); n += step) {
      WriteAll(tmp, Bytes(data.begin(), data.begin() + static_cast<long>(n)));
      Exercise(tmp);
    }
    // Bytes changed at random places, one to four at a time.
    for (int k = 0; k < 400 && !data.empty(); ++k) {
      Bytes d = data;
      const int changes = 1 + static_cast<int>(rng() % 4);
      for (int c = 0; c < changes; ++c) {
        const size_t at = rng() % d.size();
        d[at] = k % 3 == 0 ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(d[at] ^ (1u << (rng() % 8)));
      }
      WriteAll(tmp, d);
      Exercise(tmp);
    }
  }
}

TEST_F(AnimTest, DamagedGifFilesAreSafe) { Mutilate("gif", ".gif"); }
TEST_F(AnimTest, DamagedFlicFilesAreSafe) { Mutilate("flic", ".flc"); }


// The error a movie open or a frame load gives, as its message.
std::string OpenError(const std::string& name) {
  vek::QMovieHandle mh{vek::kUndefined, nullptr, nullptr};
  vek::MonitoredBoundary("Test.Open", [&] { vek::MviOpen(mh, name, vek::kUndefined); });
  std::string msg = vek::ErrNone() ? "" : vek::ErrMsgLast();
  vek::ErrClear();
  if (msg.empty()) {
    vek::QImg img{};
    vek::MonitoredBoundary("Test.Load", [&] { vek::MviImgLoad(mh, img, 1, 0); });
    msg = vek::ErrNone() ? "" : vek::ErrMsgLast();
    vek::ErrClear();
    vek::ImgFree(&img);
  }
  vek::MonitoredBoundary("Test.Close", [&] { vek::MviClose(mh); });
  vek::ErrClear();
  return msg;
}

// A minimal GIF: screen w x h, a two-colour global table, one frame.
Bytes TinyGif(unsigned sw, unsigned sh, unsigned left, unsigned top, unsigned fw, unsigned fh,
              uint8_t min_code, const Bytes& codes) {
  Bytes g = {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255};
  Put16(g, 6, sw);
  Put16(g, 8, sh);
  Bytes d = {0x2C, 0, 0, 0, 0, 0, 0, 0, 0, 0, min_code, static_cast<uint8_t>(codes.size())};
  Put16(d, 1, left);
  Put16(d, 3, top);
  Put16(d, 5, fw);
  Put16(d, 7, fh);
  g.insert(g.end(), d.begin(), d.end());
  g.insert(g.end(), codes.begin(), codes.end());
  g.push_back(0);
  g.push_back(0x3B);
  return g;
}

TEST_F(AnimTest, DamagedGifHeadersGiveTheirErrors) {
  const std::string f = Temp("bad.gif");
  // Clear, 1, 1, then the new code for "1 1" and the end code (4 bits by then).
  const Bytes codes = {0x4C, 0x5C};
  WriteAll(f, TinyGif(4, 1, 0, 0, 4, 1, 2, codes));
  EXPECT_EQ(OpenError(f), "");
  WriteAll(f, Bytes{'G', 'I', 'F', '8', '8', 'a', 4, 0, 1, 0, 0, 0, 0});
  EXPECT_EQ(OpenError(f), "Invalid image format.");
  WriteAll(f, Bytes{'G', 'I', 'F', '8', '9', 'a', 4, 0, 1, 0, 0, 0, 0, 0x3B});
  EXPECT_EQ(OpenError(f), "Image header invalid.");
  WriteAll(f, TinyGif(4, 1, 0, 0, 4, 1, 12, codes));
  EXPECT_EQ(OpenError(f), "Cannot decompress image data.");
  // A first code that is not in the table.
  WriteAll(f, TinyGif(4, 1, 0, 0, 4, 1, 2, Bytes{0x07}));
  EXPECT_EQ(OpenError(f), "Cannot decompress image data.");
  // Frames reaching far beyond the screen, or lying wholly outside it.
  for (const auto& r : {std::array<unsigned, 4>{2, 0, 65535, 65535}, std::array<unsigned, 4>{60000, 60000, 4, 1},
                        std::array<unsigned, 4>{0, 0, 0, 0}}) {
    WriteAll(f, TinyGif(4, 1, r[0], r[1], r[2], r[3], 2, codes));
    EXPECT_EQ(OpenError(f), "") << r[0] << "," << r[1];
  }
}

// A frame that fails to decode releases the picture it was drawing into;
// asking again for the frame before it must decode it again, not claim it
// is already there.
TEST_F(AnimTest, FailedFrameDoesNotLeaveAnEmptyPicture) {
  const std::string gif = Temp("lost.gif");
  Bytes g = TinyGif(4, 1, 0, 0, 4, 1, 2, Bytes{0x4C, 0x5C});
  g.pop_back();  // the trailer
  const Bytes bad = {0x2C, 0, 0, 0, 0, 4, 0, 1, 0, 0, 12, 1, 0, 0, 0x3B};  // code size 12
  g.insert(g.end(), bad.begin(), bad.end());
  WriteAll(gif, g);
  const auto files = Corpus("flic");
  const auto single = std::find_if(files.begin(), files.end(),
                                   [](const std::string& s) { return s.find("single.flc") != std::string::npos; });
  ASSERT_NE(single, files.end());
  Bytes b = ReadAll(*single);
  Put16(b, 6, 2);  // a second frame: the ring frame, with a broken sub-chunk
  const size_t ring = 128 + (b[128] | b[129] << 8);
  ASSERT_EQ(ring + 16, b.size());  // the ring frame of one frame changes nothing
  b.resize(ring + 22, 0);
  Put16(b, ring, 22);
  Put16(b, ring + 6, 1);
  Put16(b, ring + 16, 3);
  Put16(b, ring + 18, 0);
  const std::string flc = Temp("lost.flc");
  WriteAll(flc, b);
  for (const std::string& name : {gif, flc}) {
    Movie m(name);
    ASSERT_TRUE(m.ok()) << name;
    ASSERT_EQ(m.view().frames, 2);
    ASSERT_TRUE(m.Load(1));
    EXPECT_FALSE(m.Load(2)) << name;
    EXPECT_EQ(m.view().current, 1);
    ASSERT_TRUE(m.Load(1, 1)) << name;
    EXPECT_TRUE(vek::ImgValid(&m.img)) << name;
  }
}

TEST_F(AnimTest, DamagedFlicHeadersGiveTheirErrors) {
  const auto files = Corpus("flic");
  const auto single = std::find_if(files.begin(), files.end(),
                                   [](const std::string& s) { return s.find("single.flc") != std::string::npos; });
  ASSERT_NE(single, files.end());
  const Bytes good = ReadAll(*single);
  const std::string f = Temp("bad.flc");
  Bytes b = good;
  Put16(b, 4, 0xAF13);
  WriteAll(f, b);
  EXPECT_EQ(OpenError(f), "Invalid image format.");
  b = good;
  Put16(b, 128 + 2, 0x7FFF);  // frame chunk far beyond the end of the file
  WriteAll(f, b);
  EXPECT_EQ(OpenError(f), "Invalid image format.");
  b = good;
  Put16(b, 128 + 16, 3);  // sub-chunk smaller than its own header
  Put16(b, 128 + 18, 0);
  WriteAll(f, b);
  EXPECT_EQ(OpenError(f), "Cannot decompress movie image data.");
  b = good;
  Put16(b, 6, 0xFFFF);  // far more frames announced than stored
  WriteAll(f, b);
  Movie m(f);
  ASSERT_TRUE(m.ok());
  EXPECT_TRUE(m.Load(1));
  EXPECT_TRUE(m.Load(2));  // the ring frame
  EXPECT_FALSE(m.Load(3));
}

}  // namespace

namespace {

// A FLIC header of the given size and frame count.
Bytes FlicHeader(unsigned w, unsigned h, unsigned frames) {
  Bytes f(128, 0);
  Put16(f, 4, 0xAF12);
  Put16(f, 6, frames);
  Put16(f, 8, w);
  Put16(f, 10, h);
  Put16(f, 12, 8);
  return f;
}

// A frame chunk around the given sub-chunks (each with its header).
Bytes FlicFrame(const std::vector<Bytes>& subs, bool pad_odd) {
  Bytes fr(16, 0);
  Put16(fr, 4, 0xF1FA);
  Put16(fr, 6, static_cast<unsigned>(subs.size()));
  for (const Bytes& s : subs) {
    fr.insert(fr.end(), s.begin(), s.end());
    if (pad_odd && (s.size() & 1)) fr.push_back(0);
  }
  Put16(fr, 0, static_cast<unsigned>(fr.size()));
  return fr;
}

Bytes SubChunk(unsigned type, const Bytes& data) {
  Bytes s = {0, 0, 0, 0, 0, 0};
  Put16(s, 0, static_cast<unsigned>(6 + data.size()));
  Put16(s, 4, type);
  s.insert(s.end(), data.begin(), data.end());
  return s;
}

std::string g_source;
void VEKAPI OneFileSource(VekJob* job, int32_t block) {
  if (block == 0)
    VekSrcSetFile(job, g_source.c_str());
  else
    VekSrcFinished(job);
}

// Converts one movie file into another at its own size, 8 bits per pixel;
// returns the run's status.
int32_t Convert(const std::string& out, const std::string& in, int32_t w, int32_t h) {
  g_source = in;
  VekJob* job = VekAlloc();
  VekSetResolution(job, w, h);
  VekSetBpp(job, 8);
  VekSetFrameRate(job, 10, 0);
  VekAssignVideoSource(job, OneFileSource);
  VekSetOutputFile(job, out.c_str(), nullptr);
  const int32_t status = VekConvert(job);
  VekFree(job);
  return status;
}

}  // namespace

// Screens and FLIC headers that claim pictures far beyond the library's
// limits or beyond what the file could paint are refused before anything
// is allocated, by every path: the movie layer, still loading and a
// conversion (which reports the failure instead of "succeeding").
TEST_F(AnimTest, HugeScreensAndHeadersAreRefusedBeforeAllocating) {
  const std::string gif = Temp("huge.gif"), flc = Temp("huge.flc"), out = Temp("huge_out.flc");
  const Bytes codes = {0x4C, 0x5C};
  struct Case {
    unsigned w, h;
    const char* error;
  };
  for (const Case& c : {Case{46000, 46000, "Image format not supported."}, Case{65535, 65535, "Image format not supported."},
                        Case{30000, 30000, "Image data corrupted."}, Case{5000, 4000, "Image data corrupted."},
                        Case{2000, 2000, ""}}) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    const Bytes g = TinyGif(c.w, c.h, 0, 0, 4, 1, 2, codes);
    ASSERT_LT(g.size(), 40u);
    WriteAll(gif, g);
    Bytes f = FlicHeader(c.w, c.h, 1);
    const Bytes fr = FlicFrame({SubChunk(13, {})}, false);  // one black frame
    f.insert(f.end(), fr.begin(), fr.end());
    ASSERT_EQ(f.size(), 150u);
    WriteAll(flc, f);
    for (const std::string& name : {gif, flc}) {
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(OpenError(name), c.error) << name;
      VekImage* img = VekImgAlloc();
      const int32_t load = VekImgLoad(img, name.c_str(), 0);
      VekImgFree(img);
      const int32_t conv = Convert(out, name, 64, 48);
      std::remove(out.c_str());
      if (*c.error) {
        EXPECT_NE(load, VEK_STATUS_OK) << name;
        EXPECT_NE(conv, VEK_STATUS_OK) << name;
      } else {
        EXPECT_EQ(load, VEK_STATUS_OK) << name;
      }
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << name;
      vek::ErrClear();
    }
  }
}

// FLI files with chunks of odd size padded to even lengths, and a header
// that counts more frames than the file holds: the movie layer, still
// loading and a conversion all give the frames that are there.
TEST_F(AnimTest, OddChunkSizesAndMissingFramesGiveOneAnswerEverywhere) {
  const unsigned w = 6, h = 4;
  Bytes f = FlicHeader(w, h, 4);  // 3 frames stored
  // Frame 1: a palette of one colour (13 bytes) then byte runs.
  const Bytes runs = {1, 6, 1, 1, 6, 2, 1, 6, 1, 1, 6, 2};  // each line: 6 x colour 1 or 2
  const Bytes f1 = FlicFrame({SubChunk(4, {1, 0, 1, 1, 200, 100, 48}), SubChunk(15, runs)}, true);
  // Frame 2: a palette change of one colour again, then a line delta
  // setting pixel (2, 1) to 3, in an odd-sized frame chunk padded to even.
  Bytes f2 = FlicFrame({SubChunk(4, {1, 0, 3, 1, 8, 120, 240}), SubChunk(12, {1, 0, 1, 0, 1, 2, 1, 3, 0})}, true);
  f2.pop_back();  // the last sub-chunk's pad: the frame itself has an odd size
  Put16(f2, 0, static_cast<unsigned>(f2.size()));
  ASSERT_EQ(f2.size() & 1, 1u);
  const Bytes f3 = FlicFrame({SubChunk(13, {})}, false);
  for (const Bytes* fr : std::initializer_list<const Bytes*>{&f1, &f2, &f3}) {
    f.insert(f.end(), fr->begin(), fr->end());
    if (fr->size() & 1) f.push_back(0);
  }
  Put16(f, 0, static_cast<unsigned>(f.size()));
  const std::string name = Temp("odd_chunks.fli"), out = Temp("odd_chunks_out.flc");
  WriteAll(name, f);
  std::vector<Bytes> frames;
  {
    Movie m(name);
    ASSERT_TRUE(m.ok()) << vek::ErrMsgLast();
    EXPECT_EQ(m.view().frames, 3);
    ASSERT_TRUE(m.Load(1));
    const uint8_t want1[] = {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2};
    EXPECT_EQ(0, std::memcmp(m.img.pixels, want1, sizeof want1));
    EXPECT_EQ(m.img.palette[3] | m.img.palette[4] << 8 | m.img.palette[5] << 16, 48 | 100 << 8 | 200 << 16);
    frames.push_back(ToRgba(m.img));
    ASSERT_TRUE(m.Load(2));
    const uint8_t want2[] = {1, 1, 1, 1, 1, 1, 2, 2, 3, 2, 2, 2};
    EXPECT_EQ(0, std::memcmp(m.img.pixels, want2, sizeof want2));
    EXPECT_EQ(m.img.palette[9], 240);
    frames.push_back(ToRgba(m.img));
    ASSERT_TRUE(m.Load(3));
    EXPECT_EQ(m.img.pixels[0], 0);
    frames.push_back(ToRgba(m.img));
    EXPECT_FALSE(m.Load(4));
    vek::ErrClear();
  }
  VekImage* img = VekImgAlloc();
  EXPECT_EQ(VekImgLoad(img, name.c_str(), 2), VEK_STATUS_OK);
  VekImgFree(img);
  ASSERT_EQ(Convert(out, name, w, h), VEK_STATUS_OK);
  Movie back(out);
  ASSERT_TRUE(back.ok());
  ASSERT_EQ(back.view().frames, 3);
  for (int32_t k = 1; k <= 3; ++k) {
    ASSERT_TRUE(back.Load(k));
    const Bytes got = ToRgba(back.img);
    ASSERT_EQ(got.size(), frames[static_cast<size_t>(k - 1)].size());
    int worst = 0;
    for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(got[i] - frames[static_cast<size_t>(k - 1)][i]));
    EXPECT_LE(worst, 4) << "frame " << k;
  }
}
