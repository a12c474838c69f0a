// Hostile files for the three library readers: absurd sizes are refused
// before anything is allocated for them, every prefix of a valid file fails
// cleanly or loads, and what the fuzzers found stays fixed.
#include <dirent.h>

#include <chrono>

#include "formats/still/jpeg.h"
#include "formats/still/png.h"
#include "formats/still/tiff.h"
#include "libs_test_util.h"

using namespace libs_test;

namespace {

struct HostileTest : StillTest {};

using Loader = void (*)(const std::string&, vek::QImg&);
using Describer = void (*)(const std::string&, vek::QffInfo&);

struct Format {
  const char* ext;
  Loader load;
  Describer info;
};
const Format kFormats[] = {{"png", vek::PNGLoad, vek::PNGInfo},
                           {"jpeg", vek::JPGLoad, vek::JPGInfo},
                           {"tiff", vek::TIFLoad, vek::TIFInfo}};

uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}
void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

// Loads a file and expects a clean refusal from the image group, quickly.
void ExpectRefused(const Format& f, const std::string& file) {
  Img img;
  const auto t0 = std::chrono::steady_clock::now();
  const Outcome o = Call([&] { f.load(file, img.r); });
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_FALSE(o.ok());
  EXPECT_NE(o.group, vek::kGrpMemory) << "an allocation was attempted";
  EXPECT_LT(secs, 2.0);
  EXPECT_EQ(img->pixels, nullptr);
}

TEST_F(HostileTest, HugeDimensionsAreRefusedBeforeAllocating) {
  // PNG: a 60000 x 60000 RGB header (checksum right) over a tiny stream.
  {
    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                 0, 0, 0, 0, 0, 0, 0, 0, 8, 2, 0, 0, 0, 0, 0, 0, 0};
    PutBE32(&png[16], 60000);
    PutBE32(&png[20], 60000);
    PutBE32(&png[29], Crc32(&png[12], 17));
    Bytes tail = {0, 0, 0, 2, 'I', 'D', 'A', 'T', 0x78, 0x9C, 0, 0, 0, 0,
                  0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    PutBE32(&tail[10], Crc32(&tail[4], 6));
    png.insert(png.end(), tail.begin(), tail.end());
    const std::string file = Temp("huge.png");
    WriteAll(file, png);
    vek::QffInfo info{};
    ASSERT_TRUE(Call([&] { vek::PNGInfo(file, info); }).ok());
    EXPECT_EQ(info.width, 60000);
    ExpectRefused(kFormats[0], file);
    std::remove(file.c_str());
  }
  if (!HaveMagick()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick (/usr/bin/convert) is not installed";
  // JPEG: a real file whose frame header claims 60000 x 60000.
  {
    const std::string file = MakeInput("-quality 50", "huge.jpg");
    Bytes d = ReadAll(file);
    for (size_t i = 2; i + 9 < d.size(); ++i)
      if (d[i] == 0xFF && d[i + 1] == 0xC0) {
        d[i + 5] = 60000 >> 8, d[i + 6] = 60000 & 0xFF, d[i + 7] = 60000 >> 8, d[i + 8] = 60000 & 0xFF;
        break;
      }
    WriteAll(file, d);
    ExpectRefused(kFormats[1], file);
    std::remove(file.c_str());
  }
  // JPEG: a frame of 4000 x 4000 over a few hundred bytes of data.
  {
    const std::string file = MakeInput("-resize 16x16! -quality 50", "tiny.jpg");
    Bytes d = ReadAll(file);
    for (size_t i = 2; i + 9 < d.size(); ++i)
      if (d[i] == 0xFF && d[i + 1] == 0xC0) {
        d[i + 5] = 4000 >> 8, d[i + 6] = 4000 & 0xFF, d[i + 7] = 4000 >> 8, d[i + 8] = 4000 & 0xFF;
        break;
      }
    WriteAll(file, d);
    ExpectRefused(kFormats[1], file);
    std::remove(file.c_str());
  }
  // TIFF: width and length of 60000 in a small uncompressed file, and the
  // same with LZW.
  for (const char* ops : {"-compress none", "-compress lzw"}) {
    const std::string file = MakeInput(ops, "huge.tif", "TIFF:");
    Bytes d = ReadAll(file);
    const uint32_t dir = d[4] | d[5] << 8 | d[6] << 16 | uint32_t(d[7]) << 24;
    const int n = d[dir] | d[dir + 1] << 8;
    for (int i = 0; i < n; ++i) {
      uint8_t* e = &d[dir + 2 + 12 * i];
      const int tag = e[0] | e[1] << 8;
      if (tag == 256 || tag == 257) {
        const int type = e[2] | e[3] << 8;
        if (type == 3) e[8] = 60000 & 0xFF, e[9] = 60000 >> 8;
        else e[8] = 60000 & 0xFF, e[9] = 60000 >> 8, e[10] = 0, e[11] = 0;
      }
    }
    WriteAll(file, d);
    ExpectRefused(kFormats[2], file);
    std::remove(file.c_str());
  }
}

// Every prefix of a valid file either loads or fails with an error; nothing
// is left behind (the fixture checks memory, files and blocks).
TEST_F(HostileTest, EveryCutOfAValidFileFailsCleanly) {
  if (!HaveMagick()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick (/usr/bin/convert) is not installed";
  const std::pair<const Format*, std::string> inputs[] = {
      {&kFormats[0], MakeInput("-resize 24x16! -interlace PNG", "cut.png", "PNG24:")},
      {&kFormats[1], MakeInput("-resize 24x16! -interlace JPEG", "cut.jpg")},
      {&kFormats[2], MakeInput("-resize 24x16! -compress lzw", "cut.tif", "TIFF:")},
      {&kFormats[2], MakeInput("-resize 24x16! -compress jpeg", "cutj.tif", "TIFF:")},
  };
  for (const auto& [f, file] : inputs) {
    SCOPED_TRACE(file);
    ASSERT_FALSE(file.empty());
    const Bytes good = ReadAll(file);
    const std::string cut = file + ".cut";
    for (size_t n = 0; n < good.size(); n += 7) {
      WriteAll(cut, Bytes(good.begin(), good.begin() + static_cast<long>(n)));
      Img img;
      vek::QffInfo info{};
      Call([&] { f->info(cut, info); });
      const Outcome o = Call([&] { f->load(cut, img.r); });
      if (o.ok()) {
        EXPECT_EQ(img->size, img->width * img->height * img->bytespp);
      } else {
        EXPECT_EQ(img->pixels, nullptr);
      }
      ASSERT_EQ(vek::MonDepth(), 0);
      ASSERT_EQ(vek::FCount(), 0);
    }
    std::remove(cut.c_str());
    std::remove(file.c_str());
  }
}

// Seeds and findings of the fuzzers: none may crash or leave anything open.
TEST_F(HostileTest, FuzzerFindingsStayFixed) {
  int files = 0;
  for (const Format& f : kFormats) {
    const std::string dir = std::string(VEK_TEST_DATA) + "/../../fuzz/corpus/" + f.ext;
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string path = dir + "/" + e->d_name;
      SCOPED_TRACE(path);
      Img img;
      vek::QffInfo info{};
      Call([&] { f.info(path, info); });
      const Outcome o = Call([&] { f.load(path, img.r); });
      if (o.ok()) {
        EXPECT_EQ(img->size, img->width * img->height * img->bytespp);
      }
      ++files;
    }
    closedir(d);
  }
  EXPECT_GT(files, 10);
}

}  // namespace
