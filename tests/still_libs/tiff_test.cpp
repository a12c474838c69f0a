// TIFF: every supported variant loads as ImageMagick decodes it, the others
// are refused, what we save reads back with the layout asked for, and tags
// come straight from the file.
#include "oracle_shell.h"
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
    if (!HaveMagick()) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick (/usr/bin/convert) is not installed";
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
  if (FILE* p = ::vektest::OpenPipe(cmd.c_str(), "r")) {
    char buf[512];
    while (fgets(buf, sizeof buf, p)) {
      std::string line = buf;
      const auto at = line.find(field + ":");
      if (at != std::string::npos) out = line.substr(at + field.size() + 2);
    }
    ::vektest::ClosePipe(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// Every picture libtiff decodes loads, as grey levels or colour, close to
// ImageMagick's decode: every compression, tiles, byte order, other sample
// sizes, fax codes, separate planes, other colour spaces, alpha (dropped
// beyond 8-bit samples), and the first of several pages.
TEST_F(TiffTest, EveryPictureLibtiffDecodesLoads) {
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
      {"bilevel", "-type bilevel -compress none", 8, 99},
      {"fax_g3", "-type bilevel -compress fax", 8, 99},
      {"fax_g4", "-type bilevel -compress group4", 8, 99},
      {"bilevel_white", "-type bilevel -define quantum:polarity=min-is-white -compress lzw", 8, 99},
      {"grey2", "-colorspace gray -depth 2 -compress lzw", 8, 99},
      {"grey4", "-colorspace gray -depth 4 -compress none", 8, 99},
      {"palette4", "-colors 12 -type palette -depth 4 -compress lzw", 24, 99},
      {"grey16", "-colorspace gray -depth 16 -compress zip", 8, 45},
      {"rgb16", "-depth 16 -compress zip", 24, 45},
      {"rgba16", "-depth 16 -alpha set -compress lzw", 24, 45},
      {"grey_alpha", "-colorspace gray -alpha set -compress none", 8, 99},
      {"planes", "-interlace plane -compress lzw", 24, 99},
      {"planes16", "-interlace plane -depth 16 -compress none", 24, 45},
      {"cmyk", "-colorspace CMYK -compress lzw", 24, 35},
      {"float", "-define quantum:format=floating-point -depth 32 -compress zip", 24, 45},
      {"planes_float", "-define quantum:format=floating-point -depth 32 -interlace plane -compress zip", 24, 45},
      {"grey_float", "-colorspace gray -define quantum:format=floating-point -depth 32 -interlace plane", 8, 45},
      {"pages", "\\( +clone -negate \\) -compress lzw", 24, 99},
  };
  for (const V& v : variants) {
    SCOPED_TRACE(v.name);
    const std::string file = MakeInput(v.ops, std::string(v.name) + ".tif", "TIFF:");
    ASSERT_FALSE(file.empty());
    vek::QffInfo info{};
    ASSERT_TRUE(Call([&] { vek::TIFInfo(file, info); }).ok());
    EXPECT_NE(info.imagesSupported, 0);
    Img img;
    const Outcome o = Call([&] { vek::TIFLoad(file, img.r); });
    ASSERT_TRUE(o.ok()) << o.text;
    EXPECT_EQ(img->bits, v.bits);
    // ImageMagick's decode of the first page only.
    const std::string ppm = file + ".page.ppm";
    ASSERT_TRUE(Magick("'" + file + "[0]' -alpha off -depth 8 ppm:'" + ppm + "'"));
    const double psnr = Psnr(ToRgb(img.r), ReadPpm(ppm));
    EXPECT_GE(psnr, v.min_psnr);
    std::remove(file.c_str());
  }
}

// Information names the compression and counts every sample; variants
// the loader cannot deliver are marked and refused as not supported.
TEST_F(TiffTest, InfoDescribesEveryFileAndUnsupportedOnesAreRefused) {
  struct V {
    const char* ops;
    const char* compression;
    int bits;
    bool supported;
  } variants[] = {
      {"-compress lzw", "Variable-Length-Code LZW (Lempel-Ziv & Welch)", 24, true},
      {"-compress zip -depth 16", "", 48, true},  // Adobe's Deflate code 8 has no name
      {"-type bilevel -compress group4", "CCITT Group 4 fax encoding", 1, true},
      {"-colorspace gray -alpha set -compress none", "Uncompressed", 16, true},
  };
  for (const V& v : variants) {
    SCOPED_TRACE(v.ops);
    const std::string file = MakeInput(v.ops, "info.tif", "TIFF:");
    vek::QffInfo info{};
    ASSERT_TRUE(Call([&] { vek::TIFInfo(file, info); }).ok());
    EXPECT_STREQ(info.compression, v.compression);
    EXPECT_EQ(info.bits, v.bits);
    EXPECT_EQ(info.size, static_cast<int64_t>(ReadAll(file).size()));
    EXPECT_NE(info.imagesValid, 0);
    EXPECT_EQ(info.imagesSupported != 0, v.supported);
    if (!v.supported) {
      Img img;
      const Outcome o = Call([&] { vek::TIFLoad(file, img.r); });
      EXPECT_EQ(o.group, vek::kGrpImage);
      EXPECT_EQ(o.code, vek::kImgUnsupported);
    }
    std::remove(file.c_str());
  }
}

// A 4x1 palette file written through libtiff: colour maps of 16-bit values
// load as their high bytes, maps of values below 256 as they are.
TEST_F(TiffTest, ColourMapsOfEitherWidthLoad) {
  const uint16_t wide[4] = {0, 0x1234, 0x8000, 0xFFFF}, narrow[4] = {0, 17, 128, 255};
  for (const uint16_t* map : {wide, narrow}) {
    const std::string file = Temp("map.tif");
    TIFF* t = TIFFOpen(file.c_str(), "w");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 4);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 1);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
    uint16_t r[256] = {}, g[256] = {}, b[256] = {};
    for (int i = 0; i < 4; ++i) r[i] = map[i], g[i] = map[3 - i];
    TIFFSetField(t, TIFFTAG_COLORMAP, r, g, b);
    uint8_t row[4] = {0, 1, 2, 3};
    TIFFWriteScanline(t, row, 0, 0);
    TIFFClose(t);
    Img img;
    ASSERT_TRUE(Call([&] { vek::TIFLoad(file, img.r); }).ok());
    ASSERT_EQ(img->bits, 8);
    const int shift = map == wide ? 8 : 0;
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(img->palette[3 * i + 2], map[i] >> shift) << i;
      EXPECT_EQ(img->palette[3 * i + 1], map[3 - i] >> shift) << i;
    }
    std::remove(file.c_str());
  }
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
      VekSaveOpts opts{};
      opts.prepCodec = c.code;
      vek::kTiffFormat.save.apply(opts);
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
    int width, bits, compression;
    const char* rows;
  } sizes[] = {{3000, 24, 1, "8"}, {100, 8, 1, "81"}, {50, 24, 5, "54"}, {50, 24, 7, "8"}};
  for (const S& s : sizes) {
    Img img;
    MakePicture(img.r, s.width, 20, s.bits);
    vek::TIFSetCompression(s.compression);
    const std::string file = Temp("strips.tif");
    ASSERT_TRUE(Call([&] { vek::TIFSave(file, img.r); }).ok());
    EXPECT_EQ(TiffInfoField(file, "Rows/Strip"), s.rows) << s.width;
    std::remove(file.c_str());
  }
}

// Appends `v` in `n` bytes of the chosen byte order.
void Put(Bytes& d, bool big, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) d.push_back(uint8_t(v >> 8 * (big ? n - 1 - i : i)));
}

// A TIFF of one directory with the given entries (tag, type, count, value;
// single shorts sit in the first two bytes of the field), then `extra`.
Bytes MakeTiff(bool big, const std::vector<std::array<uint32_t, 4>>& entries, const Bytes& extra) {
  Bytes d = {uint8_t(big ? 'M' : 'I'), uint8_t(big ? 'M' : 'I')};
  Put(d, big, 42, 2);
  Put(d, big, 8, 4);
  Put(d, big, static_cast<uint32_t>(entries.size()), 2);
  for (const auto& e : entries) {
    Put(d, big, e[0], 2);
    Put(d, big, e[1], 2);
    Put(d, big, e[2], 4);
    if (e[1] == 3 && e[2] == 1) Put(d, big, e[3] << (big ? 16 : 0), 4);
    else Put(d, big, e[3], 4);
  }
  Put(d, big, 0, 4);
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
    Put(extra, big, 300, 4);
    Put(extra, big, 7, 4);
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
