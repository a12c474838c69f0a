// Truncated, lying and mangled files: every reader answers with an error of
// the file or image group, never a crash, and leaves no tracked memory or
// open file behind. Also replays the inputs the fuzzers once failed on.
#include <dirent.h>

#include <chrono>
#include <cstring>
#include <random>

#include "formats/still/bmp.h"
#include "formats/still/pcx.h"
#include "formats/still/tga.h"
#include "still_test_util.h"

using namespace vek;
using namespace still_test;

namespace {

using Loader = void (*)(const std::string&, QImg&);
using Info = void (*)(const std::string&, QffInfo&);

struct HostileTest : StillTest {
  // Loads and describes `data`; true when the load succeeded. Any failure
  // must be a file or image error, with nothing left allocated or open.
  bool Try(Loader load, Info info, const Bytes& data) {
    const std::string name = Temp("hostile.bin");
    WriteAll(name, data);
    Img img;
    MonitoredBoundary("Test.Load", [&] { load(name, img.r); });
    const bool ok = ErrNone();
    group = ErrGroup();
    code = ErrCode();
    if (!ok) {
      EXPECT_TRUE(ErrGroup() == 6 || ErrGroup() == 7) << ErrGroup() << ":" << ErrCode();
      EXPECT_EQ(img->pixels, nullptr);
    }
    QffInfo fi{};
    MonitoredBoundary("Test.Info", [&] { info(name, fi); });
    if (!ErrNone()) {
      EXPECT_TRUE(ErrGroup() == 6 || ErrGroup() == 7);
    }
    ImgFree(&img.r);
    EXPECT_EQ(MemCount(), base_mem);
    EXPECT_EQ(FCount(), 0);
    EXPECT_EQ(MonDepth(), 0);
    return ok;
  }
  int32_t group = 0;  // the load's error
  int32_t code = 0;
};

struct Format {
  const char* name;
  Loader load;
  Info info;
  void (*save)(const std::string&, QImg&);
  int32_t bits;
  int32_t rle;
};

const Format kFormats[] = {
    {"bmp8", DIBLoad_, DIBInfo, DIBSave_, 8, 0},    {"bmp15", DIBLoad_, DIBInfo, DIBSave_, 15, 0},
    {"bmp24", DIBLoad_, DIBInfo, DIBSave_, 24, 0},  {"tga8", TGALoad_, TGAInfo, TGASave_, 8, 1},
    {"tga24", TGALoad_, TGAInfo, TGASave_, 24, 1},  {"tga24u", TGALoad_, TGAInfo, TGASave_, 24, 0},
    {"tga15", TGALoad_, TGAInfo, TGASave_, 15, 1},  {"pcx8", PCXLoad_, PCXInfo, PCXSave_, 8, 0},
    {"pcx24", PCXLoad_, PCXInfo, PCXSave_, 24, 0},
};

// A small valid file of the format, written by our own writer.
Bytes Sample(const Format& f) {
  QImg img{};
  _imgalloc_(&img, 13, 7, f.bits, 1, "Test.Sample.img");
  for (int32_t i = 0; i < img.size; ++i) img.pixels[i] = static_cast<uint8_t>((i * 37) / 5 % 251);
  if (f.bits == 15)
    for (int32_t i = 1; i < img.size; i += 2) img.pixels[i] &= 0x7F;
  for (int i = 0; i < 768; ++i) img.palette[i] = static_cast<uint8_t>(i);
  const std::string name = Temp(std::string("sample_") + f.name);
  TGASetRLE(f.rle);
  MonitoredBoundary("Test.Save", [&] { f.save(name, img); });
  TGASetRLE(1);
  ImgFree(&img);
  return ReadAll(name);
}

// An 8-bit RLE bitmap and a 4-bit one, for the run-length reader.
Bytes RleBmp(bool four) {
  Bytes f(54, 0);
  const int32_t pal = four ? 64 : 1024;
  const uint32_t off = 54 + pal, ih = 40, w = 9, h = 4, comp = four ? 2 : 1;
  const uint16_t bits = four ? 4 : 8;
  f[0] = 'B';
  f[1] = 'M';
  std::memcpy(&f[10], &off, 4);
  std::memcpy(&f[14], &ih, 4);
  std::memcpy(&f[18], &w, 4);
  std::memcpy(&f[22], &h, 4);
  f[26] = 1;
  std::memcpy(&f[28], &bits, 2);
  std::memcpy(&f[30], &comp, 4);
  f.resize(f.size() + pal, 0x40);
  const Bytes data{3, 0x12, 0, 4, 1, 2, 3, 4, 0, 0, 0, 2, 2, 1, 5, 0x34, 0, 5, 9, 8, 7, 6, 5, 0, 0, 0, 0, 1};
  f.insert(f.end(), data.begin(), data.end());
  return f;
}

TEST_F(HostileTest, EveryTruncationFailsCleanly) {
  for (const Format& f : kFormats) {
    SCOPED_TRACE(f.name);
    const Bytes whole = Sample(f);
    ASSERT_TRUE(Try(f.load, f.info, whole));
    for (size_t n = 0; n < whole.size(); ++n) {
      const bool ok = Try(f.load, f.info, Bytes(whole.begin(), whole.begin() + n));
      // Only the missing padding of the last BMP row may go unnoticed.
      if (ok) {
        EXPECT_TRUE(f.load == DIBLoad_ && n + 4 > whole.size()) << n;
      }
    }
  }
  for (bool four : {false, true}) {
    const Bytes whole = RleBmp(four);
    ASSERT_TRUE(Try(DIBLoad_, DIBInfo, whole));
    for (size_t n = 0; n + 2 < whole.size(); ++n)
      EXPECT_FALSE(Try(DIBLoad_, DIBInfo, Bytes(whole.begin(), whole.begin() + n))) << n;
  }
}

// A few kilobytes of run-length data that declare half a gigabyte of
// pixels are refused at once, with nothing allocated for the picture;
// the same data under a size it can describe still loads.
TEST_F(HostileTest, HugeBmpFromAFewKilobytesIsRefusedAtOnce) {
  for (bool four : {false, true}) {
    SCOPED_TRACE(four ? "RLE4" : "RLE8");
    Bytes b = RleBmp(four);
    // Lines that end at once, as a hostile file fills its few kilobytes.
    for (int i = 0; i < 2400; ++i) b.insert(b.end() - 2, {0, 0});
    const uint32_t w = 131168, h = 4096;
    std::memcpy(&b[18], &w, 4);
    std::memcpy(&b[22], &h, 4);
    ASSERT_LT(b.size(), 6000u);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(Try(DIBLoad_, DIBInfo, b));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
    EXPECT_EQ(ErrMsg(group, code), "Cannot decompress image data.");
    // A large picture is refused as beyond the library's limit.
    const uint32_t big = 60000;
    std::memcpy(&b[18], &big, 4);
    std::memcpy(&b[22], &big, 4);
    EXPECT_FALSE(Try(DIBLoad_, DIBInfo, b));
    EXPECT_EQ(ErrMsg(group, code), "Image format not supported.");
    const uint32_t fits = 2000, rows = 2400;
    std::memcpy(&b[18], &fits, 4);
    std::memcpy(&b[22], &rows, 4);
    EXPECT_TRUE(Try(DIBLoad_, DIBInfo, b)) << ErrMsg(group, code);
  }
}

TEST_F(HostileTest, LyingHeadersAreRefusedBeforeAllocating) {
  Bytes bmp = Sample(kFormats[2]);
  auto set32 = [](Bytes& d, size_t o, uint32_t v) { std::memcpy(&d[o], &v, 4); };
  Bytes b = bmp;
  set32(b, 18, 0x7FFFFFFF);  // width
  set32(b, 22, 0x7FFFFFFF);  // height
  EXPECT_FALSE(Try(DIBLoad_, DIBInfo, b));
  EXPECT_EQ(ErrMsg(group, code), "Image format not supported.");
  b = bmp;
  set32(b, 22, 0x80000000);  // the most negative height
  EXPECT_FALSE(Try(DIBLoad_, DIBInfo, b));
  b = bmp;
  set32(b, 18, 10000);  // far more rows than the file holds
  set32(b, 22, 10000);
  EXPECT_FALSE(Try(DIBLoad_, DIBInfo, b));
  EXPECT_EQ(group, 6);
  b = bmp;
  set32(b, 10, 0xFFFFFFF0);  // pixel data beyond the end
  EXPECT_FALSE(Try(DIBLoad_, DIBInfo, b));
  b = bmp;
  set32(b, 14, 0xFFFFFFFF);  // information header size
  EXPECT_FALSE(Try(DIBLoad_, DIBInfo, b));
  b = bmp;
  set32(b, 18, 0);
  EXPECT_FALSE(Try(DIBLoad_, DIBInfo, b));
  EXPECT_EQ(ErrMsg(group, code), "Invalid image format.");

  for (const Format* f : {&kFormats[4], &kFormats[5]}) {
    Bytes t = Sample(*f);
    t[12] = t[13] = t[14] = t[15] = 0xFF;  // 65535 x 65535
    EXPECT_FALSE(Try(TGALoad_, TGAInfo, t));
    t[16] = 8;  // 4 GB of 8-bit grey pixels still exceed what a record holds
    t[2] = f->rle ? 11 : 3;
    EXPECT_FALSE(Try(TGALoad_, TGAInfo, t));
    t[14] = 0x40;  // 65535 x 16448: 1 GB from a few hundred bytes
    t[15] = 0x40;
    EXPECT_FALSE(Try(TGALoad_, TGAInfo, t));
  }
  Bytes t = Sample(kFormats[3]);
  t[0] = 0xFF;  // an ID field that runs past the colour map and the data
  EXPECT_FALSE(Try(TGALoad_, TGAInfo, t));
  t = Sample(kFormats[3]);
  t[5] = t[6] = 0xFF;  // a colour map of 65535 entries
  t[3] = t[4] = 0xFF;  // starting at index 65535
  EXPECT_FALSE(Try(TGALoad_, TGAInfo, t));

  for (const Format* f : {&kFormats[7], &kFormats[8]}) {
    Bytes p = Sample(*f);
    p[8] = p[9] = p[10] = p[11] = 0xFF;  // 65536 x 65536
    EXPECT_FALSE(Try(PCXLoad_, PCXInfo, p));
    p[10] = 0x10;  // 65536 x 4097
    p[11] = 0x10;
    EXPECT_FALSE(Try(PCXLoad_, PCXInfo, p));
    p = Sample(*f);
    p[4] = 20;  // xmin beyond xmax
    EXPECT_FALSE(Try(PCXLoad_, PCXInfo, p));
    p = Sample(*f);
    p[66] = p[67] = 0xFF;  // lines of 65535 bytes
    EXPECT_FALSE(Try(PCXLoad_, PCXInfo, p));
  }
}

TEST_F(HostileTest, MangledBytesNeverCrash) {
  std::mt19937 rng(20261207);
  std::vector<std::pair<const Format*, Bytes>> seeds;
  for (const Format& f : kFormats) seeds.emplace_back(&f, Sample(f));
  const Format rle{"bmprle", DIBLoad_, DIBInfo, DIBSave_, 8, 0};
  seeds.emplace_back(&rle, RleBmp(false));
  seeds.emplace_back(&rle, RleBmp(true));
  for (auto& [f, seed] : seeds) {
    SCOPED_TRACE(f->name);
    for (int round = 0; round < 200; ++round) {
      Bytes d = seed;
      const int edits = 1 + static_cast<int>(rng() % 4);
      for (int e = 0; e < edits; ++e) {
        // Mostly the header, where sizes and offsets live.
        const size_t at = rng() % 3 ? rng() % std::min<size_t>(d.size(), 130) : rng() % d.size();
        d[at] = static_cast<uint8_t>(rng());
      }
      if (rng() % 5 == 0) d.resize(rng() % d.size());
      Try(f->load, f->info, d);
    }
  }
}

// Inputs the fuzz targets found; each must now load or fail cleanly.
TEST_F(HostileTest, FuzzRegressions) {
  const std::string dir = std::string(VEK_TEST_DATA) + "/still/fuzz";
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr) << "the regression inputs are missing: " << dir;
  int inputs = 0;
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n[0] == '.') continue;
    ++inputs;
    SCOPED_TRACE(n);
    const Bytes data = ReadAll(dir + "/" + n);
    const std::string ext = n.substr(0, 3);
    if (ext == "bmp") Try(DIBLoad_, DIBInfo, data);
    if (ext == "tga") Try(TGALoad_, TGAInfo, data);
    if (ext == "pcx") Try(PCXLoad_, PCXInfo, data);
  }
  closedir(d);
  EXPECT_GT(inputs, 0) << "no regression inputs in " << dir;
}

}  // namespace
