// TIFF: every supported variant loads as ImageMagick decodes it, the others
// are refused, what we save reads back with the layout asked for, and tags
// come straight from the file.
#include "formats/still/tiff.h"

#include <tiffio.h>

#include <array>
#include <vector>

#include "formats/format_descriptor.h"
#include "libs_test_util.h"

using namespace libs_test;

namespace vek {
extern const FormatDescriptor kTiffFormat;
}

namespace {

struct TiffTest : StillTest {
  void SetUp() override {
    StillTest::SetUp();
    if (!HaveMagick()) GTEST_SKIP() << "ImageMagick (/usr/bin/convert) is not installed";
  }
  void TearDown() override {
    vek::TIFSetCompression(1);
    StillTest::TearDown();
  }
};

// tiffinfo's line for a field ("Rows/Strip: 81"), empty when missing.
std::string TiffInfoField(const std::string& file, const std::string& field) {
  const std::string cmd = "tiffinfo '" + file + "' 2>/dev/null";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[512];
    while (fgets(buf, sizeof buf, p)) {
      std::string line = buf;
      const auto at = line.find(field + ":");
      if (at != std::string::npos) out = line.substr(at + field.size() + 2);
    }
    pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

TEST_F(TiffTest, SupportedVariantsLoadAsImageMagickDecodesThem) {
  struct V {
    const char* name;
    const char* ops;
    int bits;
    double min_psnr;  // 99: exact
  } variants[] = {
      {"none", "-compress none", 24, 99},
      {"lzw", "-compress lzw", 24, 99},
      {"packbits", "-compress rle", 24, 99},
      {"deflate", "-compress zip", 24, 99},
      {"jpeg", "-compress jpeg -quality 90", 24, 40},
      {"tiles", "-define tiff:tile-geometry=16x16 -compress lzw", 24, 99},
      {"tiles_jpeg", "-define tiff:tile-geometry=16x16 -compress jpeg", 24, 40},
      {"bigendian", "-endian MSB -compress lzw", 24, 99},
      {"grey", "-colorspace gray -compress zip", 8, 99},
      {"grey_white", "-colorspace gray -define quantum:polarity=min-is-white -compress none", 8, 99},
      {"palette", "-colors 200 -type palette -depth 8 -compress lzw", 8, 99},
      {"rgba", "-alpha set -compress zip", 32, 99},
      {"strips_of_one", "-define tiff:rows-per-strip=1 -compress rle", 24, 99},
  };
  for (const V& v : variants) {
    SCOPED_TRACE(v.name);
    const std::string file = MakeInput(v.ops, std::string(v.name) + ".tif", "TIFF:");
    ASSERT_FALSE(file.empty());
    Img img;
    const Outcome o = Call([&] { vek::TIFLoad(file, img.r); });
    ASSERT_TRUE(o.ok()) << o.text;
    EXPECT_EQ(img->bits, v.bits);
    const double psnr = Psnr(ToRgb(img.r), MagickDecode(file));
    EXPECT_GE(psnr, v.min_psnr);
    std::remove(file.c_str());
  }
}

TEST_F(TiffTest, UnsupportedVariantsAreRefusedAndSaidSo) {
  struct V {
    const char* name;
    const char* ops;
  } variants[] = {
      {"rgb16", "-depth 16 -compress none"},
      {"fax", "-type bilevel -compress group4"},
      {"planar", "-interlace plane -compress none"},
      {"grey_alpha", "-colorspace gray -alpha set -compress none"},
  };
  for (const V& v : variants) {
    SCOPED_TRACE(v.name);
    const std::string file = MakeInput(v.ops, std::string(v.name) + ".tif", "TIFF:");
    ASSERT_FALSE(file.empty());
    vek::QffInfo info{};
    ASSERT_TRUE(Call([&] { vek::TIFInfo(file, info); }).ok());
    EXPECT_NE(info.imagesValid, 0);
    EXPECT_EQ(info.imagesSupported, 0);
    Img img;
    const Outcome o = Call([&] { vek::TIFLoad(file, img.r); });
    EXPECT_EQ(o.group, vek::kGrpImage);
    EXPECT_EQ(o.code, vek::kImgUnsupported);
    std::remove(file.c_str());
  }
}

TEST_F(TiffTest, InfoNamesTheCompressionAndCountsEverySample) {
  struct V {
    const char* ops;
    const char* compression;
    int bits;
  } variants[] = {
      {"-compress lzw", "Variable-Length-Code LZW (Lempel-Ziv & Welch)", 24},
      {"-compress zip -depth 16", "", 48},  // Adobe's code 8 has no name
      {"-compress rle -alpha set", "Macintosh RLE (PackBits)", 32},
      {"-type bilevel -compress group4", "CCITT Group 4 fax encoding", 1},
      {"-compress none -colorspace gray", "Uncompressed", 8},
  };
  for (const V& v : variants) {
    SCOPED_TRACE(v.ops);
    const std::string file = MakeInput(v.ops, "info.tif", "TIFF:");
    vek::QffInfo info{};
    ASSERT_TRUE(Call([&] { vek::TIFInfo(file, info); }).ok());
    EXPECT_STREQ(info.compression, v.compression);
    EXPECT_EQ(info.bits, v.bits);
    EXPECT_EQ(info.bytespp, (v.bits + 7) / 8);
    EXPECT_EQ(info.width, 64);
    EXPECT_EQ(info.height, 43);
    EXPECT_EQ(info.size, static_cast<int64_t>(ReadAll(file).size()));
    std::remove(file.c_str());
  }
  EXPECT_EQ(vek::TiffCompressionName(32767), nullptr);
  EXPECT_STREQ(vek::TiffCompressionName(34677), "SGI Log 24-bit packed");
}

// Writes a 4x2 palette file through libtiff with the given colour map.
std::string WritePaletteTiff(const std::string& name, const uint16_t* map) {
  const std::string file = Temp(name);
  TIFF* t = TIFFOpen(file.c_str(), "w");
  if (!t) return {};
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 4);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, 2);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  uint16_t r[256], g[256], b[256];
  for (int i = 0; i < 256; ++i) {
    r[i] = map[i % 4];
    g[i] = static_cast<uint16_t>(map[i % 4] / 2);
    b[i] = 0;
  }
  TIFFSetField(t, TIFFTAG_COLORMAP, r, g, b);
  uint8_t row[4] = {0, 1, 2, 3};
  TIFFWriteScanline(t, row, 0, 0);
  TIFFWriteScanline(t, row, 1, 0);
  TIFFClose(t);
  return file;
}

TEST_F(TiffTest, ColourMapsOfEitherWidthLoad) {
  const uint16_t wide[4] = {0, 0x1234, 0x8000, 0xFFFF};
  const uint16_t narrow[4] = {0, 17, 128, 255};
  for (const uint16_t* map : {wide, narrow}) {
    const std::string file = WritePaletteTiff("map.tif", map);
    ASSERT_FALSE(file.empty());
    Img img;
    ASSERT_TRUE(Call([&] { vek::TIFLoad(file, img.r); }).ok());
    ASSERT_EQ(img->bits, 8);
    for (int i = 0; i < 4; ++i) {
      const int expect = map == wide ? map[i] >> 8 : map[i];
      EXPECT_EQ(img->palette[3 * i + 2], expect) << i;
      EXPECT_EQ(img->palette[3 * i + 1], (map[i] / 2) >> (map == wide ? 8 : 0)) << i;
    }
    std::remove(file.c_str());
  }
  const uint16_t r[2] = {10, 255}, g[2] = {0, 256}, b[2] = {0, 0};
  EXPECT_EQ(vek::checkpal_(2, r, b, b), 8);
  EXPECT_EQ(vek::checkpal_(2, r, g, b), 16);
}

TEST_F(TiffTest, SavedFilesReadBackWithEveryCompression) {
  struct C {
    int32_t code;
    const char* scheme;  // as tiffinfo names it
  } codes[] = {{1, "None"}, {5, "LZW"}, {7, "JPEG"}, {32773, "PackBits"}, {32946, "Deflate"},
               {2, "None"}};
  for (const C& c : codes) {
    for (int bits : {8, 24, 16}) {
      SCOPED_TRACE(std::to_string(c.code) + " at " + std::to_string(bits));
      Img img;
      MakePicture(img.r, 50, 30, bits);
      vek::TIFSetCompression(c.code);
      const std::string file = Temp("save.tif");
      ASSERT_TRUE(Call([&] { vek::TIFSave(file, img.r); }).ok());
      EXPECT_EQ(TiffInfoField(file, "Compression Scheme"), c.scheme);
      // Palette pictures keep their palette unless JPEG forbids it.
      const bool palette = bits == 8 && c.code != 7;
      EXPECT_EQ(TiffInfoField(file, "Photometric Interpretation"),
                palette ? "palette color (RGB from colormap)" : "RGB color");
      const double psnr = Psnr(ToRgb(img.r), MagickDecode(file));
      EXPECT_GE(psnr, c.code == 7 ? 30 : 99);
      // Our own reader agrees, and names what it finds.
      Img back;
      ASSERT_TRUE(Call([&] { vek::TIFLoad(file, back.r); }).ok());
      EXPECT_GE(Psnr(ToRgb(img.r), ToRgb(back.r)), c.code == 7 ? 30 : 99);
      vek::QffInfo info{};
      ASSERT_TRUE(Call([&] { vek::TIFInfo(file, info); }).ok());
      EXPECT_STREQ(info.compression, vek::TiffCompressionName(c.code == 2 ? 1 : c.code));
      std::remove(file.c_str());
    }
  }
}

TEST_F(TiffTest, RowsPerStripFollowTheRowSize) {
  struct S {
    int width, bits;
    const char* rows;
  } sizes[] = {{3000, 24, "8"}, {100, 8, "81"}, {50, 24, "54"}};
  for (const S& s : sizes) {
    Img img;
    MakePicture(img.r, s.width, 20, s.bits);
    const std::string file = Temp("strips.tif");
    ASSERT_TRUE(Call([&] { vek::TIFSave(file, img.r); }).ok());
    EXPECT_EQ(TiffInfoField(file, "Rows/Strip"), s.rows) << s.width;
    std::remove(file.c_str());
  }
  vek::TIFSetCompression(7);
  Img img;
  MakePicture(img.r, 50, 20);
  const std::string file = Temp("strips.tif");
  ASSERT_TRUE(Call([&] { vek::TIFSave(file, img.r); }).ok());
  EXPECT_EQ(TiffInfoField(file, "Rows/Strip"), "8");
  std::remove(file.c_str());
}

TEST_F(TiffTest, CompressionSettingAndSaveOptions) {
  EXPECT_EQ(vek::TIFSetCompression(vek::kUndefined), 1);
  EXPECT_EQ(vek::TIFSetCompression(32946), 32946);
  VekSaveOpts opts{};
  opts.prepCodec = 5;
  vek::kTiffFormat.save.apply(opts);
  EXPECT_EQ(vek::TIFSetCompression(vek::kUndefined), 5);
  opts.prepCodec = vek::kUndefined;
  vek::kTiffFormat.save.apply(opts);
  EXPECT_EQ(vek::TIFSetCompression(vek::kUndefined), 5);
}

// A little-endian or big-endian TIFF of one directory with the given
// 12-byte entries, followed by `extra` data at offset 8 + 2 + 12n + 4.
Bytes MakeTiff(bool big, const std::vector<std::array<uint32_t, 4>>& entries, const Bytes& extra) {
  Bytes d;
  auto put16 = [&](uint32_t v) {
    if (big) d.insert(d.end(), {uint8_t(v >> 8), uint8_t(v)});
    else d.insert(d.end(), {uint8_t(v), uint8_t(v >> 8)});
  };
  auto put32 = [&](uint32_t v) {
    if (big) d.insert(d.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    else d.insert(d.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
  };
  d.push_back(big ? 'M' : 'I');
  d.push_back(big ? 'M' : 'I');
  put16(42);
  put32(8);
  put16(static_cast<uint32_t>(entries.size()));
  for (const auto& e : entries) {
    put16(e[0]);
    put16(e[1]);
    put32(e[2]);
    // Short values sit in the first two bytes of the field.
    if (e[1] == 3 && e[2] == 1) {
      put16(e[3]);
      put16(0);
    } else {
      put32(e[3]);
    }
  }
  put32(0);
  d.insert(d.end(), extra.begin(), extra.end());
  return d;
}

TEST_F(TiffTest, TagsAreReadStraightFromTheFile) {
  const std::string file = Temp("tags.tif");
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    const uint32_t data_at = 8 + 2 + 12 * 4 + 4;
    // A rational (two longs) and a 6-byte array live after the directory.
    Bytes extra;
    auto put32 = [&](uint32_t v) {
      if (big) extra.insert(extra.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
      else extra.insert(extra.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    };
    put32(300);
    put32(7);
    extra.insert(extra.end(), {1, 2, 3, 4, 5, 6});
    WriteAll(file, MakeTiff(big, {{256, 3, 1, 640},
                                  {257, 4, 1, 480},
                                  {282, 5, 1, data_at},
                                  {34071, 7, 6, data_at + 8}},
                            extra));
    uint8_t buf[16] = {};
    EXPECT_EQ(vek::TIFGetTag(file, 256, nullptr, 0), 2);
    EXPECT_EQ(vek::TIFGetTag(file, 256, buf, sizeof buf), 2);
    EXPECT_EQ(buf[0] | buf[1] << 8, 640);
    EXPECT_EQ(vek::TIFGetTag(file, 257, buf, sizeof buf), 4);
    EXPECT_EQ(buf[0] | buf[1] << 8 | buf[2] << 16, 480);
    // Eight-byte values come from where the entry points.
    EXPECT_EQ(vek::TIFGetTag(file, 282, buf, sizeof buf), 8);
    EXPECT_EQ(buf[0] | buf[1] << 8, 300);
    EXPECT_EQ(buf[4], 7);
    // The byte array comes whole, cut to the buffer.
    EXPECT_EQ(vek::TIFGetTag(file, 34071, nullptr, 0), 6);
    EXPECT_EQ(vek::TIFGetTag(file, 34071, buf, 4), 4);
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(vek::TIFGetTag(file, 34071, buf, sizeof buf), 6);
    EXPECT_EQ(buf[5], 6);
    // A missing tag, and the byte array never stands in for another tag.
    EXPECT_EQ(vek::TIFGetTag(file, 305, buf, sizeof buf), 0);
  }
  // An entry pointing past the end, a directory past the end, no TIFF.
  WriteAll(file, MakeTiff(false, {{282, 5, 1, 100000}, {34071, 7, 900, 60}}, {}));
  uint8_t buf[16];
  EXPECT_EQ(vek::TIFGetTag(file, 282, buf, sizeof buf), 0);
  EXPECT_EQ(vek::TIFGetTag(file, 34071, buf, sizeof buf), 0);
  WriteAll(file, Bytes{'I', 'I', 42, 0, 0xFF, 0xFF, 0, 0});
  EXPECT_EQ(vek::TIFGetTag(file, 256, buf, sizeof buf), 0);
  WriteAll(file, Bytes{'P', 'K', 3, 4, 0, 0, 0, 0});
  EXPECT_EQ(vek::TIFGetTag(file, 256, buf, sizeof buf), 0);
  std::remove(file.c_str());
  // ImageMagick's own file: the width tag as libtiff wrote it.
  const std::string im = MakeInput("-compress none", "im.tif", "TIFF:");
  uint8_t w[4] = {};
  const int32_t n = vek::TIFGetTag(im, 256, w, sizeof w);
  ASSERT_TRUE(n == 2 || n == 4);
  EXPECT_EQ(w[0] | w[1] << 8, 64);
  std::remove(im.c_str());
}

TEST_F(TiffTest, LibraryErrorsArriveWithTheirText) {
  const std::string file = MakeInput("-compress lzw", "broken.tif", "TIFF:");
  Bytes data = ReadAll(file);
  Img img;
  // Damage the compressed strip data (it follows the 8-byte header).
  for (size_t i = 8; i < 400 && i < data.size(); ++i) data[i] = 0xFF;
  WriteAll(file, data);
  Outcome o = Call([&] { vek::TIFLoad(file, img.r); });
  EXPECT_EQ(o.group, vek::kGrpExternal);
  EXPECT_FALSE(o.text.empty());
  // Not a TIFF at all.
  WriteAll(file, Bytes{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0});
  vek::QffInfo info{};
  o = Call([&] { vek::TIFInfo(file, info); });
  EXPECT_EQ(o.group, vek::kGrpExternal);
  EXPECT_FALSE(o.text.empty());
  std::remove(file.c_str());
  // No such file.
  o = Call([&] { vek::TIFLoad(file, img.r); });
  EXPECT_FALSE(o.ok());
}

}  // namespace
