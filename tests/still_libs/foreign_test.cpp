// Variants other programs write, each loaded as an independent reader shows
// it: grey+alpha TGA (stb_image), TIFF classes outside the plain layouts
// (libtiff's RGBA reading, or ImageMagick), CMYK JPEG without Adobe's
// marker (ImageMagick), and the eight orientations of EXIF and TIFF
// (ImageMagick with and without -auto-orient).
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "oracle_shell.h"
#include "formats/still/jpeg.h"
#include "formats/still/orientation.h"
#include "formats/still/tga.h"
#include "formats/still/tiff.h"
#include "libs_test_util.h"

#if __has_include("stb_image.h")
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_TGA
#define STBI_NO_STDIO
#include "stb_image.h"
#define HAVE_STB 1
#endif

using namespace libs_test;

namespace {

struct ForeignTest : StillTest {
  void SetUp() override {
    StillTest::SetUp();
    if (!HaveMagick()) GTEST_SKIP() << "ImageMagick (/usr/bin/convert) is not installed";
  }
  void TearDown() override {
    vek::StillSetAutoOrient(0);
    StillTest::TearDown();
  }
};

Rgb Load(void (*load)(const std::string&, vek::QImg&), const std::string& file) {
  Img img;
  const Outcome o = Call([&] { load(file, img.r); });
  EXPECT_TRUE(o.ok()) << file << ": " << o.text;
  return o.ok() ? ToRgb(img.r) : Rgb{};
}

// libtiff's own RGBA reading, top row first, colour channels as they come.
Rgb LibtiffRgba(const std::string& file) {
  Rgb r;
  TIFF* t = TIFFOpen(file.c_str(), "r");
  if (!t) return r;
  uint32_t w = 0, h = 0;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
  std::vector<uint32_t> raster(size_t{w} * h);
  if (TIFFReadRGBAImageOriented(t, w, h, raster.data(), ORIENTATION_TOPLEFT, 0)) {
    r.width = static_cast<int>(w);
    r.height = static_cast<int>(h);
    for (uint32_t p : raster)
      r.px.insert(r.px.end(), {uint8_t(TIFFGetR(p)), uint8_t(TIFFGetG(p)), uint8_t(TIFFGetB(p))});
  }
  TIFFClose(t);
  return r;
}

// ImageMagick's decode after libtiff has unpacked the file into plain
// strips: ImageMagick cannot read tiled CMYK JPEG itself.
Rgb MagickOfUnpacked(const std::string& file) {
  const std::string plain = file + ".plain.tif";
  if (::vektest::RunShell(("/usr/bin/tiffcp -c none '" + file + "' '" + plain + "' 2>/dev/null").c_str()) != 0)
    return {};
  Rgb r = MagickDecode(plain);
  std::remove(plain.c_str());
  return r;
}

void Put16(Bytes& b, unsigned v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void Put32(Bytes& b, uint32_t v) { Put16(b, v & 0xFFFF), Put16(b, v >> 16); }

// An old-style JPEG TIFF as 1990s writers made it: one strip holding a
// whole JPEG stream, which JPEGInterchangeFormat points at.
std::string WrapOldJpeg(const std::string& jpg, const std::string& name) {
  const Bytes j = ReadAll(jpg);
  int w = 0, h = 0;
  for (size_t i = 2; i + 9 < j.size();) {
    if (j[i + 1] == 0xC0 || j[i + 1] == 0xC1) {
      h = j[i + 5] << 8 | j[i + 6];
      w = j[i + 7] << 8 | j[i + 8];
      break;
    }
    i += 2 + (j[i + 2] << 8 | j[i + 3]);
  }
  const uint32_t entries = 12, bps_at = 8 + 2 + entries * 12 + 4, data_at = bps_at + 8;
  const uint32_t len = static_cast<uint32_t>(j.size());
  const std::array<std::array<uint32_t, 3>, 12> tags = {{{256, 3, uint32_t(w)}, {257, 3, uint32_t(h)},
      {258, 3, bps_at}, {259, 3, 6}, {262, 3, 6}, {273, 4, data_at}, {277, 3, 3}, {278, 3, uint32_t(h)},
      {279, 4, len}, {512, 3, 1}, {513, 4, data_at}, {514, 4, len}}};
  Bytes b = {'I', 'I', 42, 0};
  Put32(b, 8);
  Put16(b, entries);
  for (const auto& [tag, type, value] : tags) {
    Put16(b, tag);
    Put16(b, type);
    Put32(b, tag == 258 ? 3 : 1);
    if (type == 3 && tag != 258) Put16(b, value), Put16(b, 0);
    else Put32(b, value);
  }
  Put32(b, 0);
  for (int i = 0; i < 4; ++i) Put16(b, i < 3 ? 8 : 0);
  b.insert(b.end(), j.begin(), j.end());
  const std::string out = Temp(name);
  WriteAll(out, b);
  return out;
}

TEST_F(ForeignTest, TiffClassesLoadAsLibtiffOrImageMagickShowThem) {
  enum Oracle { kMagick, kLibtiff, kUnpacked };
  struct V {
    const char* name;
    const char* ops;
    Oracle oracle;
    double min_psnr;  // 99: exact
  } variants[] = {
      // Alpha varies over the picture; it is dropped, never multiplied in.
      {"grey_alpha", "-colorspace gray \\( +clone -negate \\) -compose CopyOpacity -composite -compress none",
       kMagick, 99},
      {"grey_alpha_lzw", "-colorspace gray \\( +clone -negate \\) -compose CopyOpacity -composite -compress lzw",
       kMagick, 99},
      {"fourth_not_alpha", "-alpha set -channel A -fx u.r +channel -define tiff:alpha=unspecified -compress none",
       kMagick, 99},
      {"fourth_not_alpha_rgba", "-alpha set -channel A -fx u.r +channel -define tiff:alpha=unspecified -compress zip",
       kLibtiff, 99},
      // ImageMagick offsets the first channel of signed samples only.
      {"signed16", "-depth 16 -define quantum:format=signed -compress lzw", kLibtiff, 99},
      {"signed16_planes", "-depth 16 -define quantum:format=signed -interlace plane", kLibtiff, 99},
      {"signed16_grey", "-colorspace gray -depth 16 -define quantum:format=signed", kLibtiff, 99},
      {"lab", "-colorspace Lab -compress none", kLibtiff, 99},
      {"lab16", "-colorspace Lab -depth 16 -compress lzw", kLibtiff, 99},
      {"cmyk_jpeg_tiles", "-colorspace CMYK -define tiff:tile-geometry=16x16 -compress jpeg -quality 95",
       kUnpacked, 40},
      {"old_jpeg", nullptr, kLibtiff, 99},
  };
  for (const V& v : variants) {
    SCOPED_TRACE(v.name);
    std::string file;
    if (v.ops) {
      file = MakeInput(v.ops, std::string(v.name) + ".tif", "TIFF:");
    } else {
      const std::string jpg = MakeInput("-quality 92 -sampling-factor 2x2", "old.jpg", "JPEG:");
      ASSERT_FALSE(jpg.empty());
      file = WrapOldJpeg(jpg, "old_jpeg.tif");
      // The stream inside, as libjpeg decodes it: only the upsampling of the
      // chroma differs.
      EXPECT_GE(Psnr(Load(vek::TIFLoad, file), MagickDecode(jpg)), 33);
      std::remove(jpg.c_str());
    }
    ASSERT_FALSE(file.empty());
    const Rgb oracle = v.oracle == kMagick ? MagickDecode(file)
                       : v.oracle == kLibtiff ? LibtiffRgba(file)
                                              : MagickOfUnpacked(file);
    ASSERT_GT(oracle.width, 0);
    EXPECT_GE(Psnr(Load(vek::TIFLoad, file), oracle), v.min_psnr);
    std::remove(file.c_str());
  }
}

// Adobe's programs mark their CMYK files and store the inks inverted;
// files without the marker were written inverted as well, and ImageMagick
// (like browsers) reads both alike.
TEST_F(ForeignTest, CmykJpegWithoutAdobeMarkerLoadsAsImageMagickShowsIt) {
  const std::string png = MakeInput("", "cmyk_src.png", "PNG24:");
  const Rgb photo = MagickDecode(png);
  ASSERT_GT(photo.width, 0);
  std::remove(png.c_str());
  for (bool adobe : {true, false}) {
    SCOPED_TRACE(adobe ? "Adobe marker" : "no marker");
    const std::string file = Temp(adobe ? "adobe.jpg" : "plain.jpg");
    WriteCmyk(file, photo, adobe, true);
    const Rgb ours = Load(vek::JPGLoad, file);
    EXPECT_GE(Psnr(ours, MagickDecode(file)), 40);
    EXPECT_GE(Psnr(ours, photo), 35);
    std::remove(file.c_str());
  }
}

#ifdef HAVE_STB
// A TGA of grey+alpha pairs: 16 bits, 8 of alpha, in any corner, raw or
// run-length; equal neighbours become runs, packets cross rows.
Bytes GreyAlphaTga(const Rgb& photo, bool rle, bool right, bool top) {
  const int w = photo.width, h = photo.height;
  Bytes b(18, 0);
  b[2] = rle ? 11 : 3;
  b[12] = uint8_t(w), b[13] = uint8_t(w >> 8), b[14] = uint8_t(h), b[15] = uint8_t(h >> 8);
  b[16] = 16;
  b[17] = uint8_t(8 | (right ? 0x10 : 0) | (top ? 0x20 : 0));
  std::vector<std::array<uint8_t, 2>> px;
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) {
      const int y = top ? r : h - 1 - r, x = right ? w - 1 - c : c;
      const uint8_t* s = &photo.px[(size_t(y) * w + x) * 3];
      // Coarse grey levels make runs; alpha follows the position.
      px.push_back({uint8_t((s[0] + s[1] + s[2]) / 3 & 0xF0), uint8_t(x * 4)});
    }
  for (size_t i = 0; i < px.size();) {
    size_t n = 1;
    while (rle && i + n < px.size() && n < 128 && px[i + n] == px[i]) ++n;
    if (!rle) {
      b.insert(b.end(), px[i].begin(), px[i].end());
    } else if (n > 1) {
      b.push_back(uint8_t(0x80 | (n - 1)));
      b.insert(b.end(), px[i].begin(), px[i].end());
    } else {
      b.push_back(0);
      b.insert(b.end(), px[i].begin(), px[i].end());
    }
    i += n;
  }
  return b;
}

// The grey level is the first byte of each pair, as stb_image (and
// Pillow) read it; ImageMagick 6 takes these files for 15-bit colour.
TEST_F(ForeignTest, GreyAlphaTgaLoadsAsStbImageReadsIt) {
  const std::string png = MakeInput("", "tga_src.png", "PNG24:");
  const Rgb photo = MagickDecode(png);
  ASSERT_GT(photo.width, 0);
  std::remove(png.c_str());
  Rgb upright;
  for (bool rle : {false, true})
    for (bool right : {false, true})
      for (bool top : {false, true}) {
        SCOPED_TRACE(std::string(rle ? "rle" : "raw") + (top ? " top" : " bottom") + (right ? " right" : " left"));
        const Bytes tga = GreyAlphaTga(photo, rle, right, top);
        const std::string file = Temp("grey_alpha.tga");
        WriteAll(file, tga);
        const Rgb ours = Load(vek::TGALoad_, file);
        std::remove(file.c_str());
        if (!right) {
          int w = 0, h = 0, n = 0;
          uint8_t* s = stbi_load_from_memory(tga.data(), int(tga.size()), &w, &h, &n, 0);
          ASSERT_NE(s, nullptr);
          ASSERT_EQ(n, 2);
          Rgb stb{w, h, {}};
          for (int i = 0; i < w * h; ++i) stb.px.insert(stb.px.end(), {s[2 * i], s[2 * i], s[2 * i]});
          stbi_image_free(s);
          EXPECT_EQ(Psnr(ours, stb), 99);
          upright = stb;
        }
        // stb_image ignores the right-to-left bit: every corner loads alike.
        EXPECT_EQ(Psnr(ours, upright), 99);
      }
}
#endif

// An EXIF block holding only an orientation, put behind the start marker.
void AddExifOrientation(const std::string& file, int orientation) {
  Bytes d = ReadAll(file);
  const Bytes tiff = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                      1, 18, 0, 3, 0, 0, 0, 1, 0, uint8_t(orientation), 0, 0, 0, 0, 0, 0};
  Bytes app1 = {0xFF, 0xE1, 0, uint8_t(2 + 6 + tiff.size()), 'E', 'x', 'i', 'f', 0, 0};
  app1.insert(app1.end(), tiff.begin(), tiff.end());
  d.insert(d.begin() + 2, app1.begin(), app1.end());
  WriteAll(file, d);
}

Rgb MagickDecodeAs(const std::string& file, bool oriented) {
  const std::string ppm = file + ".o.ppm";
  if (!Magick("'" + file + "' " + (oriented ? "-auto-orient " : "") + "-alpha off -depth 8 ppm:'" + ppm + "'"))
    return {};
  return ReadPpm(ppm);
}

// Stored order by default; with the switch on, each orientation turns the
// picture as ImageMagick's -auto-orient does, the information included.
TEST_F(ForeignTest, EveryOrientationLoadsAsImageMagickAutoOrients) {
  const char* names[] = {"TopLeft", "TopRight", "BottomRight", "BottomLeft",
                         "LeftTop", "RightTop", "RightBottom", "LeftBottom"};
  struct Kind {
    const char* name;
    const char* ops;
    void (*load)(const std::string&, vek::QImg&);
    void (*info)(const std::string&, vek::QffInfo&);
    double min_psnr;
  } kinds[] = {
      {"jpg", "-quality 90", vek::JPGLoad, vek::JPGInfo, 45},
      {"tif", "-compress lzw", vek::TIFLoad, vek::TIFInfo, 99},
      // 16-bit samples go through libtiff's RGBA interface.
      {"tif", "-depth 16 -compress zip", vek::TIFLoad, vek::TIFInfo, 45},
  };
  for (const Kind& k : kinds)
    for (int o = 1; o <= 8; ++o) {
      SCOPED_TRACE(std::string(k.name) + " " + k.ops + " " + names[o - 1]);
      const bool jpeg = std::string(k.name) == "jpg";
      const std::string ops = std::string(k.ops) + (jpeg ? "" : std::string(" -orient ") + names[o - 1]);
      const std::string file = MakeInput(ops, std::string("orient.") + k.name);
      ASSERT_FALSE(file.empty());
      if (jpeg) AddExifOrientation(file, o);
      for (bool on : {false, true}) {
        vek::StillSetAutoOrient(on);
        const Rgb ours = Load(k.load, file);
        EXPECT_GE(Psnr(ours, MagickDecodeAs(file, on)), k.min_psnr) << (on ? "on" : "off");
        vek::QffInfo info{};
        ASSERT_TRUE(Call([&] { k.info(file, info); }).ok());
        EXPECT_EQ(info.width, ours.width);
        EXPECT_EQ(info.height, ours.height);
      }
      std::remove(file.c_str());
    }
}

}  // namespace
