// HAV movie files: frames read back bit-identical at every depth, codec and
// key-frame interval, in every order; palettes, sound, the file layout, file
// information, the media layer, and hostile files.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/media_access.h"
#include "engine/save_options.h"
#include "sound/sound.h"
#include "formats/movie/hav.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/image.h"
#include "test_temp.h"

namespace vek {
namespace {

using Bytes = std::vector<uint8_t>;
using vek::testing::UniqueTemp;

struct HavFile : ::testing::Test {
  void SetUp() override {
    ErrClear();
    saved_codec_ = HAVSetCodec(kUndefined);
    saved_interval_ = HAVSetKeyFrameRate(kUndefined);
  }
  void TearDown() override {
    HAVSetCodec(saved_codec_);
    HAVSetKeyFrameRate(saved_interval_);
    for (auto& n : names_) std::remove(n.c_str());
    EXPECT_EQ(MemCount(), 0);
    EXPECT_EQ(FCount(), 0);
    EXPECT_EQ(MonDepth(), 0);
  }
  std::string Temp(const std::string& n) {
    names_.push_back(UniqueTemp(n));
    return names_.back();
  }
  std::vector<std::string> names_;
  int32_t saved_codec_ = 1, saved_interval_ = 25;
};

// Runs f in a boundary; returns the error pair it left (0, 0 when none).
std::pair<int32_t, int32_t> Try(const std::function<void()>& f) {
  ErrClear();
  MonitoredBoundary("Test.Try", [&] { f(); });
  const std::pair<int32_t, int32_t> r{ErrGroup(), ErrCode()};
  ErrClear();
  return r;
}

// Frames of a moving scene: a flat background with text-like strokes, a
// window moving over it, and a noisy patch every few frames (which forces
// the raw fall-back on small pictures).
QImg MakeFrame(int w, int h, int bits, int t) {
  QImg img{};
  ImgAlloc(&img, w, h, bits, 1, "Test.frame");
  const int bpp = img.bytespp;
  std::mt19937 rng(static_cast<uint32_t>(t * 31 + bits));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = img.pixels + (static_cast<int64_t>(y) * w + x) * bpp;
      uint32_t v = ((x / 4 + y / 6) % 7 == 0) ? 0x203040u : 0xE0D0C0u;
      const int wx = (t * 3) % w, wy = (t * 2) % h;
      if (x >= wx && x < wx + w / 3 && y >= wy && y < wy + h / 3) v = 0x1080F0u + (x - wx) * 0x10101u;
      if (t % 5 == 4 && x < w / 2 && y < h / 2) v = rng();
      for (int c = 0; c < bpp; ++c) p[c] = static_cast<uint8_t>(v >> (8 * c));
    }
  if (bits == 8)
    for (int i = 0; i < 256; ++i) {
      img.palette[3 * i] = static_cast<uint8_t>(i);
      img.palette[3 * i + 1] = static_cast<uint8_t>(255 - i);
      img.palette[3 * i + 2] = static_cast<uint8_t>(t < 30 ? i / 2 : 200);  // changes at frame 30
    }
  return img;
}

Bytes Pixels(const QImg& img) { return Bytes(img.pixels, img.pixels + img.size); }

// Writes `frames` frames; returns every frame's pixels and palette.
struct Written {
  std::vector<Bytes> pixels;
  std::vector<Bytes> palettes;
};
Written WriteMovie(const std::string& name, int w, int h, int bits, int frames, int codec,
                   int interval, const std::function<void(HavState&, int)>& between = nullptr) {
  HAVSetCodec(codec);
  HAVSetKeyFrameRate(interval);
  Written out;
  HavState s;
  EXPECT_EQ(Try([&] { HAVCreate(s, name, 25.0); }).first, 0);
  for (int t = 0; t < frames; ++t) {
    QImg img = MakeFrame(w, h, bits, t);
    EXPECT_EQ(Try([&] { HAVImgSave(s, img); }).first, 0) << t;
    out.pixels.push_back(Pixels(img));
    out.palettes.emplace_back(img.palette, img.palette + 768);
    ImgFree(&img);
    if (between) between(s, t);
  }
  EXPECT_EQ(Try([&] { HAVClose(s); }).first, 0);
  return out;
}

Bytes ReadFile(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}
void WriteFile(const std::string& name, const Bytes& b) {
  std::ofstream f(name, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}
uint32_t U32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// ------------------------------------------------------------ round trips

TEST_F(HavFile, EveryFrameBackAtEveryDepthCodecAndInterval) {
  const int frames = 12;
  for (int bits : {8, 16, 24})
    for (int codec : {0, 1})
      for (int interval : {0, 1, 4}) {
        const std::string name = Temp("rt.hav");
        const Written wr = WriteMovie(name, 37, 23, bits, frames, codec, interval);
        const std::string what = "bits " + std::to_string(bits) + " codec " + std::to_string(codec) +
                                 " interval " + std::to_string(interval);
        HavState s;
        ASSERT_EQ(Try([&] { HAVOpen(s, name); }).first, 0) << what;
        EXPECT_EQ(s.hdr.frames, frames);
        QImg img{};
        // Forwards, backwards, then a scattered order, each from frame numbers.
        std::vector<int> order;
        for (int f = 1; f <= frames; ++f) order.push_back(f);
        for (int f = frames; f >= 1; --f) order.push_back(f);
        for (int f : {7, 2, 11, 11, 3, 12, 1, 9}) order.push_back(f);
        for (int f : order) {
          ASSERT_EQ(Try([&] { HAVImgLoad(s, img, f, false); }).first, 0) << what << " frame " << f;
          ASSERT_EQ(Pixels(img), wr.pixels[f - 1]) << what << " frame " << f;
          if (bits == 8) {
            ASSERT_EQ(Bytes(img.palette, img.palette + 768), wr.palettes[f - 1]) << what << " frame " << f;
          }
        }
        // Continue mode: the next frame and the same frame again.
        ASSERT_EQ(Try([&] { HAVImgLoad(s, img, 5, true); }).first, 0);
        img.pixels[0] ^= 0xFF;  // a repeat with continue must leave the image alone
        ASSERT_EQ(Try([&] { HAVImgLoad(s, img, 5, true); }).first, 0);
        EXPECT_NE(img.pixels[0], wr.pixels[4][0]);
        img.pixels[0] ^= 0xFF;
        ASSERT_EQ(Try([&] { HAVImgLoad(s, img, 8, true); }).first, 0);
        EXPECT_EQ(Pixels(img), wr.pixels[7]) << what;
        ASSERT_EQ(Try([&] { HAVImgLoad(s, img, 0, false); }).first, 0);
        EXPECT_EQ(Pixels(img), wr.pixels[8]) << what;
        // Past the end, and outside the frame range.
        ASSERT_EQ(Try([&] { HAVImgLoad(s, img, frames, false); }).first, 0);
        EXPECT_EQ(Try([&] { HAVImgLoad(s, img, 0, false); }), std::make_pair(15, 1));
        EXPECT_EQ(Try([&] { HAVImgLoad(s, img, frames + 1, false); }), std::make_pair(12, 1));
        ImgFree(&img);
        HAVClose(s);
      }
}

TEST_F(HavFile, LargePictureIsOneStrip) {
  // Pictures above the small-image limit take the whole picture as one strip.
  const std::string name = Temp("big.hav");
  const Written wr = WriteMovie(name, 320, 120, 24, 6, 0, 3);
  HavState s;
  ASSERT_EQ(Try([&] { HAVOpen(s, name); }).first, 0);
  EXPECT_EQ(s.hdr.small_image, 0);
  QImg img{};
  for (int f : {6, 1, 4, 5, 2}) {
    ASSERT_EQ(Try([&] { HAVImgLoad(s, img, f, false); }).first, 0);
    ASSERT_EQ(Pixels(img), wr.pixels[f - 1]) << f;
  }
  ImgFree(&img);
  HAVClose(s);
}

TEST_F(HavFile, KeyFramesAndPaletteSearch) {
  const std::string name = Temp("pal.hav");
  const Written wr = WriteMovie(name, 16, 8, 8, 100, 1, 25);
  HavState s;
  ASSERT_EQ(Try([&] { HAVOpen(s, name); }).first, 0);
  EXPECT_EQ(HAVNearestKeyFrame(s, 61, -1), 51);
  EXPECT_EQ(HAVNearestKeyFrame(s, 26, -1), 1);
  EXPECT_EQ(HAVNearestKeyFrame(s, 27, -1), 26);
  // Only frames 1 and 31 carry palette chunks.
  int with_palette = 0;
  for (int f = 1; f <= 100; ++f) {
    HAVUpdateVP_(s, f);
    with_palette += (s.index[(f - 1) % 256].flags & 1) ? 1 : 0;
  }
  EXPECT_EQ(with_palette, 2);
  QImg img{};
  ASSERT_EQ(Try([&] { HAVImgLoad(s, img, 45, false); }).first, 0);  // decodes 26..45
  EXPECT_EQ(Pixels(img), wr.pixels[44]);
  EXPECT_EQ(Bytes(img.palette, img.palette + 768), wr.palettes[30]);
  ASSERT_EQ(Try([&] { HAVImgLoad(s, img, 10, false); }).first, 0);
  EXPECT_EQ(Bytes(img.palette, img.palette + 768), wr.palettes[0]);
  uint8_t pal[768] = {};
  EXPECT_TRUE(HAVGetPal(s, pal, 1, 100));
  EXPECT_EQ(Bytes(pal, pal + 768), wr.palettes[99]);
  EXPECT_FALSE(HAVGetPal(s, pal, 40, 32));
  EXPECT_FALSE(HAVGetPal(s, pal, 32, 40));
  ImgFree(&img);
  HAVClose(s);
}

TEST_F(HavFile, ManyFramesSpanSeveralIndexBlocks) {
  const std::string name = Temp("long.hav");
  const Written wr = WriteMovie(name, 8, 4, 16, 600, 1, 0);
  HavState s;
  ASSERT_EQ(Try([&] { HAVOpen(s, name); }).first, 0);
  EXPECT_NE(s.table[2], 0u);
  EXPECT_EQ(s.table[3], 0u);
  QImg img{};
  for (int f : {600, 257, 256, 513, 1}) {
    ASSERT_EQ(Try([&] { HAVImgLoad(s, img, f, false); }).first, 0);
    ASSERT_EQ(Pixels(img), wr.pixels[f - 1]) << f;
  }
  ImgFree(&img);
  HAVClose(s);
}

// ------------------------------------------------------------ layout and info

TEST_F(HavFile, LayoutAsWritten) {
  const std::string name = Temp("layout.hav");
  WriteMovie(name, 10, 6, 8, 3, 1, 25);
  const Bytes b = ReadFile(name);
  ASSERT_GT(b.size(), 4160u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 3), "HAV");
  EXPECT_EQ(b[3], 0x1A);
  EXPECT_EQ(U32(b, 4), 64u);
  EXPECT_EQ(U32(b, 8), 97u);
  EXPECT_EQ(U32(b, 12), 10u);
  EXPECT_EQ(U32(b, 16), 6u);
  EXPECT_EQ(U32(b, 20), 1u);
  EXPECT_EQ(U32(b, 24), 1u);  // FAST
  EXPECT_EQ(U32(b, 28), 3u);
  EXPECT_EQ(U32(b, 32), 25u);
  double fps = 0;
  std::memcpy(&fps, b.data() + 36, 8);
  EXPECT_EQ(fps, 25.0);
  EXPECT_EQ(U32(b, 56), 1u);  // small image
  EXPECT_EQ(U32(b, 64), 1088u);
  // Frame 1 at 4160: frame header, palette chunk, image chunk, one strip.
  EXPECT_EQ(U32(b, 1088), 4160u);
  EXPECT_EQ(U32(b, 1088 + 8), 1u);
  EXPECT_EQ(U32(b, 4160), 1u);
  EXPECT_EQ(U32(b, 4160 + 8), 2u);
  const uint32_t frame_bytes = U32(b, 4160 + 12);
  EXPECT_EQ(U32(b, 1100), 4160u + frame_bytes);  // frame 2 follows
  EXPECT_EQ(U32(b, 4176), 2u);
  EXPECT_EQ(U32(b, 4176 + 8), 256u);
  EXPECT_EQ(U32(b, 4176 + 12), 0u);
  const size_t img_chunk = 4176 + 16 + 768;
  EXPECT_EQ(U32(b, img_chunk), 4u);
  EXPECT_EQ(U32(b, img_chunk + 8), 1u);
  EXPECT_EQ(U32(b, img_chunk + 12), 1u);
  EXPECT_EQ(U32(b, img_chunk + 16), 5u);
  EXPECT_EQ(U32(b, img_chunk + 16 + 12), 6u);  // rows
  EXPECT_EQ(U32(b, 1088 + 4), frame_bytes);    // everything in the first read
}

TEST_F(HavFile, NoiseFrameGoesRawAndComesBack) {
  const std::string name = Temp("raw.hav");
  HAVSetCodec(0);
  HAVSetKeyFrameRate(0);
  HavState s;
  QImg img{};
  ImgAlloc(&img, 40, 30, 16, 1, "Test.noise");
  std::mt19937 rng(1);
  for (int32_t i = 0; i < img.size; ++i) img.pixels[i] = static_cast<uint8_t>(rng());
  const Bytes noise = Pixels(img);
  ASSERT_EQ(Try([&] { HAVCreate(s, name, 10); HAVImgSave(s, img); HAVImgSave(s, img); HAVClose(s); }).first, 0);
  const Bytes b = ReadFile(name);
  EXPECT_EQ(U32(b, 4160 + 32 + 16), 0u);  // the strip is stored raw
  EXPECT_EQ(U32(b, 4160 + 32 + 8), 40u * 30 * 2);
  HavState r;
  QImg back{};
  ASSERT_EQ(Try([&] { HAVOpen(r, name); HAVImgLoad(r, back, 1, false); }).first, 0);
  EXPECT_EQ(Pixels(back), noise);
  ASSERT_EQ(Try([&] { HAVImgLoad(r, back, 2, false); }).first, 0);  // unchanged delta
  EXPECT_EQ(Pixels(back), noise);
  HAVClose(r);
  ImgFree(&img);
  ImgFree(&back);
}

TEST_F(HavFile, InfoNamesTheCodec) {
  struct Case {
    int codec;
    bool gradient;
    const char* expect;
  } cases[] = {{1, false, "FAST"}, {0, true, "BEST-P"}, {0, false, "BEST"}};
  for (const Case& c : cases) {
    const std::string name = Temp("info.hav");
    HAVSetCodec(c.codec);
    HAVSetKeyFrameRate(5);
    HavState s;
    QImg img{};
    ImgAlloc(&img, 64, 16, 24, 1, "Test.info");
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 64; ++x)
        for (int k = 0; k < 3; ++k)
          img.pixels[(y * 64 + x) * 3 + k] =
              static_cast<uint8_t>(c.gradient ? x * (k + 3) + y : ((x / 8) & 1) * 100 + k);
    ASSERT_EQ(Try([&] { HAVCreate(s, name, 12.5); HAVImgSave(s, img); HAVClose(s); }).first, 0);
    QffInfo fi{};
    ASSERT_EQ(Try([&] { HAVInfo(name, fi); }).first, 0);
    EXPECT_STREQ(fi.compression, c.expect);
    EXPECT_EQ(fi.width, 64);
    EXPECT_EQ(fi.height, 16);
    EXPECT_EQ(fi.bits, 24);
    EXPECT_EQ(fi.frames, 1);
    EXPECT_EQ(fi.fps, 12.5);
    EXPECT_TRUE(fi.imagesValid);
    EXPECT_FALSE(fi.soundValid);
    HavState r;
    QImg back{};
    ASSERT_EQ(Try([&] { HAVOpen(r, name); HAVImgLoad(r, back, 1, false); }).first, 0);
    EXPECT_EQ(Pixels(back), Pixels(img)) << c.expect;
    HAVClose(r);
    ImgFree(&back);
    ImgFree(&img);
  }
}

// ------------------------------------------------------------ sound

SoundBuffer Tone(int frames, int start, int channels, int bits) {
  SoundBuffer snd{};
  _sndalloc_(snd, int64_t{frames} * channels * (bits / 8), 1, "Test.tone");
  SndMakeFormat(snd.format, 22050, channels, bits);
  for (int i = 0; i < frames * channels; ++i) {
    const int v = ((start * channels + i) * 37) % 65536;
    if (bits == 16) {
      snd.data[2 * i] = static_cast<uint8_t>(v);
      snd.data[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    } else {
      snd.data[i] = static_cast<uint8_t>(v);
    }
  }
  snd.sample_count = frames;
  return snd;
}

TEST_F(HavFile, InterleavedSoundReadsBackSampleIdentical) {
  const std::string name = Temp("snd.hav");
  Bytes all;
  int total = 0;
  const int sizes[] = {100, 883, 1, 500, 2000, 7};
  WriteMovie(name, 12, 10, 24, 6, 1, 2, [&](HavState& s, int t) {
    SoundBuffer snd = Tone(sizes[t], total, 2, 16);
    all.insert(all.end(), snd.data, snd.data + sizes[t] * 4);
    total += sizes[t];
    EXPECT_EQ(Try([&] { HAVSndSave(s, snd); }).first, 0);
    SndFree(snd);
  });
  QffInfo fi{};
  ASSERT_EQ(Try([&] { HAVInfo(name, fi); }).first, 0);
  EXPECT_TRUE(fi.soundValid);
  EXPECT_EQ(fi.samples, total);
  EXPECT_EQ(fi.sndFormat.channels, 2);
  EXPECT_EQ(fi.sndFormat.bitsPerSample, 16);
  EXPECT_EQ(fi.sndFormat.samplesPerSec, 22050u);
  EXPECT_STREQ(fi.sndFormatName, "PCM, uncompressed");

  HavState s;
  ASSERT_EQ(Try([&] { HAVOpen(s, name); }).first, 0);
  SoundBuffer got{};
  // Continuous reads in odd pieces from the start.
  Bytes read;
  for (int first = 0;;) {
    ASSERT_EQ(Try([&] { HAVSndLoad(s, got, first, true, 333); }).first, 0);
    if (got.sample_count == 0) break;
    read.insert(read.end(), got.data, got.data + got.sample_count * 4);
    first += got.sample_count;
  }
  EXPECT_EQ(read, all);
  // Seeks: inside a block, at a block boundary, into the last block, past the end.
  for (int at : {0, 50, 100, 983, 984, 3484, total - 3, total}) {
    ASSERT_EQ(Try([&] { HAVSndLoad(s, got, at, false, 400); }).first, 0);
    const int expect = std::min(400, total - at);
    ASSERT_EQ(got.sample_count, expect) << at;
    EXPECT_EQ(Bytes(got.data, got.data + expect * 4), Bytes(all.begin() + at * 4, all.begin() + (at + expect) * 4)) << at;
  }
  ASSERT_EQ(Try([&] { HAVSndLoad(s, got, total + 50, false, 10); }).first, 0);
  EXPECT_EQ(got.sample_count, 0);
  SndFree(got);
  HAVClose(s);
}

TEST_F(HavFile, SoundBeforeTheFirstFrameIsKept) {
  const std::string name = Temp("early.hav");
  HAVSetCodec(1);
  HavState s;
  SoundBuffer a = Tone(300, 0, 1, 8), b = Tone(200, 300, 1, 8);
  QImg img = MakeFrame(8, 8, 24, 0);
  ASSERT_EQ(Try([&] {
    HAVCreate(s, name, 25);
    HAVSndSave(s, a);
    HAVImgSave(s, img);
    HAVSndSave(s, b);
    HAVClose(s);
  }).first, 0);
  HavState r;
  SoundBuffer got{};
  QImg back{};
  ASSERT_EQ(Try([&] { HAVOpen(r, name); HAVSndLoad(r, got, 0, false, 1000); HAVImgLoad(r, back, 1, false); }).first, 0);
  ASSERT_EQ(got.sample_count, 500);
  EXPECT_EQ(Bytes(got.data, got.data + 300), Bytes(a.data, a.data + 300));
  EXPECT_EQ(Bytes(got.data + 300, got.data + 500), Bytes(b.data, b.data + 200));
  EXPECT_EQ(Pixels(back), Pixels(img));
  HAVClose(r);
  SndFree(a);
  SndFree(b);
  SndFree(got);
  ImgFree(&img);
  ImgFree(&back);
}

// ------------------------------------------------------------ through the media layer

TEST_F(HavFile, MediaLayerWritesAndReads) {
  const std::string name = Temp("uni.hav");
  QSaveOpts opts{};
  FFSaveReset(opts);
  FFSaveSetFormat(opts, kFmtHAV);
  FFSaveSetCodec(opts, 0);
  FFSaveSetKeyFrameRate(opts, 3);
  std::vector<Bytes> frames;
  QUniHandle out{};
  ASSERT_EQ(Try([&] {
    UniCreate(out, name);
    UniSetFrames(out, 7);
    UniSetFrameRate(out, 30);
    FFSavePrepare(opts, 24, 18, 24);
    UniSetOptions(out, opts);
    for (int t = 0; t < 7; ++t) {
      QImg img = MakeFrame(24, 18, 24, t);
      UniImgSave(out, img);
      frames.push_back(Pixels(img));
      ImgFree(&img);
    }
    UniClose(out);
  }).first, 0);
  EXPECT_EQ(HAVSetKeyFrameRate(kUndefined), 3);
  EXPECT_EQ(HAVSetCodec(kUndefined), 0);
  QUniInfo info{};
  ASSERT_TRUE(UniInfo(name, info, 1, false));
  EXPECT_EQ(info.id, kFmtHAV);
  EXPECT_EQ(info.kind, kKindMovie);
  QUniHandle in{};
  QImg img{};
  ASSERT_EQ(Try([&] {
    UniOpen(in, info);
    for (int f : {1, 2, 3, 7, 4}) {
      UniImgLoad(in, img, f, 0);
      EXPECT_EQ(Pixels(img), frames[f - 1]) << f;
    }
    UniClose(in);
  }).first, 0);
  ImgFree(&img);
}

TEST_F(HavFile, SettersClampAndQuery) {
  EXPECT_EQ(HAVSetCodec(0), 0);
  EXPECT_EQ(HAVSetCodec(7), 0);  // only 0 and 1 are codecs
  EXPECT_EQ(HAVSetCodec(1), 1);
  EXPECT_EQ(HAVSetCodec(kUndefined), 1);
  EXPECT_EQ(HAVSetKeyFrameRate(-5), 0);
  EXPECT_EQ(HAVSetKeyFrameRate(40), 40);
  EXPECT_EQ(HAVSetKeyFrameRate(kUndefined), 40);
}

// ------------------------------------------------------------ hostile files

TEST_F(HavFile, HostileFilesAreRefusedCleanly) {
  const std::string good = Temp("good.hav");
  WriteMovie(good, 20, 10, 24, 4, 0, 2, [&](HavState& s, int t) {
    SoundBuffer snd = Tone(50, t * 50, 1, 16);
    Try([&] { HAVSndSave(s, snd); });
    SndFree(snd);
  });
  const Bytes base = ReadFile(good);
  const std::string bad = Temp("bad.hav");
  // Opens and reads every frame and all sound; returns the first error.
  auto run = [&](const Bytes& b) {
    WriteFile(bad, b);
    HavState s;
    QImg img{};
    SoundBuffer snd{};
    auto r = Try([&] {
      HAVOpen(s, bad);
      for (int f = 1; f <= s.hdr.frames; ++f) HAVImgLoad(s, img, f, false);
      HAVImgLoad(s, img, 1, false);
      HAVSndLoad(s, snd, 0, false, 100000);
      HAVSndLoad(s, snd, 120, false, 10);
    });
    Try([&] { HAVClose(s); });
    ImgFree(&img);
    SndFree(snd);
    return r;
  };
  ASSERT_EQ(run(base), std::make_pair(0, 0));
  const size_t frame1 = U32(base, 1088);
  const size_t img_chunk = frame1 + 16;
  const size_t strip = img_chunk + 16;

  Bytes b = base;
  b[3] = 0;
  EXPECT_EQ(run(b), std::make_pair(12, 1));  // magic
  b = base;
  Put32(b, 8, 96);
  EXPECT_EQ(run(b), std::make_pair(12, 5));  // version
  b = base;
  Put32(b, 4, 0x7FFFFFF0);
  EXPECT_EQ(run(b), std::make_pair(12, 1));  // header size
  b = base;
  Put32(b, 12, 0x40000);
  Put32(b, 16, 0x40000);
  EXPECT_EQ(run(b), std::make_pair(12, 1));  // picture too large
  b = base;
  Put32(b, 28, 70000);
  EXPECT_EQ(run(b), std::make_pair(12, 1));  // frame count
  b = base;
  Put32(b, 64, static_cast<uint32_t>(base.size()) - 100);
  EXPECT_EQ(run(b), std::make_pair(12, 1));  // index block past the end
  b = base;
  Put32(b, 1088, static_cast<uint32_t>(base.size()) - 8);
  EXPECT_EQ(run(b), std::make_pair(12, 3));  // frame record past the end
  b = base;
  Put32(b, 1092, 0x7FFFFFFF);
  EXPECT_EQ(run(b), std::make_pair(12, 3));  // first-read size
  b = base;
  Put32(b, img_chunk + 8, 129);
  EXPECT_EQ(run(b), std::make_pair(12, 3));  // strip count
  b = base;
  Put32(b, strip + 8, 0x10000000);
  EXPECT_EQ(run(b), std::make_pair(12, 3));  // strip bytes
  b = base;
  Put32(b, strip + 12, 11);
  EXPECT_EQ(run(b), std::make_pair(12, 3));  // strip rows
  b = base;
  Put32(b, frame1 + 8, 1000);  // chunk count beyond the record
  EXPECT_EQ(run(b), std::make_pair(0, 0));  // the image chunk ends the walk
  b = base;
  for (size_t i = strip + 20; i < strip + 40 && i < b.size(); ++i) b[i] = 0;  // a broken stream
  EXPECT_EQ(run(b).first, 12);
  // Sound chains that point backwards would loop forever.
  b = base;
  const uint32_t snd1 = U32(base, 52);
  const uint32_t snd2 = U32(base, snd1 + 8);
  ASSERT_GT(snd2, snd1);
  Put32(b, snd2 + 8, snd1);
  EXPECT_EQ(run(b), std::make_pair(12, 1));
  b = base;
  Put32(b, snd1 + 12, 0x7FFFFFFF);
  EXPECT_EQ(run(b), std::make_pair(12, 1));  // block larger than the file
  // A file without frames describes no picture, whatever its fields say.
  b = base;
  Put32(b, 28, 0);
  Put32(b, 20, 0x2B000002);
  EXPECT_EQ(run(b), std::make_pair(12, 1));  // frame 1 is out of range
  {
    QMovieHandle mh{kUndefined, nullptr, nullptr};
    ASSERT_EQ(Try([&] { MviOpen(mh, bad, kFmtHAV); }).first, 0);
    const MovieView v = MviView(mh);
    EXPECT_EQ(v.bits, 0);
    EXPECT_EQ(v.frames, 0);
    EXPECT_TRUE(v.has_sound);
    Try([&] { MviClose(mh); });
  }
  // Truncated anywhere.
  for (size_t cut : {size_t{0}, size_t{7}, size_t{63}, size_t{1000}, size_t{1100}, size_t{4200}, base.size() - 1}) {
    b.assign(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_NE(run(b).first, 0) << cut;
  }
}

}  // namespace
}  // namespace vek
