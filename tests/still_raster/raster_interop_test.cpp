// ImageMagick and netpbm as independent oracles: they write every variant
// the readers take, and our decode must give their pixels; every file our
// writers produce must decode in both to the record's pixels.
#include "formats/still/pnm.h"
#include "windows_skip.h"
#include "formats/still/sgi.h"
#include "formats/still/sun_raster.h"
#include "formats/still/xpm.h"
#include "raster_test_util.h"

using namespace vek;
using namespace raster_test;

namespace {

using Loader = void (*)(const std::string&, QImg&);
using Saver = void (*)(const std::string&, QImg&);

enum class Oracle { kMagick, kNetpbm };

struct Variant {
  const char* file;
  const char* make;  // shell command; %s = photo (PNG), %o = output file
  int32_t bits;      // depth our reader must give
  Oracle oracle;
  const char* decoder;  // netpbm tool for Oracle::kNetpbm
};

std::string Expand(std::string s, const std::string& photo, const std::string& out) {
  for (auto [key, val] : {std::pair<std::string, std::string>{"%s", photo}, {"%o", out}})
    for (size_t p; (p = s.find(key)) != std::string::npos;) s.replace(p, 2, "'" + val + "'");
  return s;
}

struct RasterInterop : StillTest {
  void SetUp() override {
    StillTest::SetUp();
    if (!Tool("/usr/bin/convert") || !Tool("pamdepth") || !Tool("sgitopnm"))
      GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick and netpbm are needed (scripts/deps)";
  }

  void Check(Loader load, const Variant& v, const std::string& photo) {
    SCOPED_TRACE(v.file);
    const std::string file = Temp(v.file);
    ASSERT_TRUE(Shell(Expand(v.make, photo, file))) << v.make;
    Img img;
    MonitoredBoundary("Test.Load", [&] { load(file, img.r); });
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    EXPECT_EQ(img->bits, v.bits);
    const Rgb oracle = v.oracle == Oracle::kMagick ? MagickDecode(file) : NetpbmDecode(v.decoder, file);
    ASSERT_GT(oracle.width, 0);
    EXPECT_EQ(Diff(ToRgb(img.r), oracle), 0);
    std::remove(file.c_str());
  }

  // Writes the record with `save`, then decodes it with ImageMagick and the
  // netpbm tool, both of which must give the record's pixels.
  void RoundTrip(Saver save, QImg& img, const std::string& name, const char* netpbm, bool magick = true) {
    SCOPED_TRACE(name);
    const std::string file = Temp(name);
    MonitoredBoundary("Test.Save", [&] { save(file, img); });
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    const Rgb want = ToRgb(img);
    if (magick) {
      EXPECT_EQ(Diff(MagickDecode(file), want), 0) << "ImageMagick";
    }
    if (netpbm) {
      EXPECT_EQ(Diff(NetpbmDecode(netpbm, file), want), 0) << netpbm;
    }
    std::remove(file.c_str());
  }
};

const std::string kOdd = Photo("chelsea_113x75.png");  // odd width: padded rows

TEST_F(RasterInterop, SgiVariantsDecodeLikeImageMagick) {
  const Variant variants[] = {
      {"rle24.sgi", "convert %s -compress RLE sgi:%o", 24, Oracle::kMagick, nullptr},
      {"raw24.sgi", "convert %s -compress none sgi:%o", 24, Oracle::kMagick, nullptr},
      {"rle8.sgi", "convert %s -colorspace gray -type grayscale -compress RLE sgi:%o", 8, Oracle::kMagick, nullptr},
      {"raw8.sgi", "convert %s -colorspace gray -type grayscale -compress none sgi:%o", 8, Oracle::kMagick, nullptr},
      {"rle32.sgi", "convert %s -alpha set -channel A -fx 'i/w' +channel -compress RLE sgi:%o", 32, Oracle::kMagick, nullptr},
      {"raw32.sgi", "convert %s -alpha set -channel A -fx 'j/h' +channel -compress none sgi:%o", 32, Oracle::kMagick, nullptr},
      {"nrle24.sgi", "convert %s ppm:- | pnmtosgi -rle > %o", 24, Oracle::kNetpbm, "sgitopnm"},
      {"nraw24.sgi", "convert %s ppm:- | pnmtosgi -verbatim > %o", 24, Oracle::kNetpbm, "sgitopnm"},
      {"nrle8.sgi", "convert %s -colorspace gray pgm:- | pnmtosgi -rle > %o", 8, Oracle::kNetpbm, "sgitopnm"},
      // Two bytes per channel, narrowed to 8 bits as the oracles do.
      {"rle48.sgi", "convert %s -depth 16 -compress RLE sgi:%o", 24, Oracle::kMagick, nullptr},
      {"raw48.sgi", "convert %s -depth 16 -compress none sgi:%o", 24, Oracle::kMagick, nullptr},
      // Grey levels that are no multiples of 257: ImageMagick 6 narrows them
      // its own way; netpbm rounds to the nearest level, as we do.
      {"rle16.sgi", "convert %s -colorspace gray -type grayscale -depth 16 -compress RLE sgi:%o", 8, Oracle::kNetpbm, "sgitopnm"},
      {"raw16.sgi", "convert %s -colorspace gray -type grayscale -depth 16 -compress none sgi:%o", 8, Oracle::kNetpbm, "sgitopnm"},
      {"raw64.sgi", "convert %s -alpha set -depth 16 -compress none sgi:%o", 32, Oracle::kMagick, nullptr},
  };
  for (const Variant& v : variants) Check(SGILoad, v, kOdd);
}

TEST_F(RasterInterop, SunVariantsDecodeLikeTheOracles) {
  // ImageMagick writes RGB-order and colour-mapped files; netpbm the
  // standard and byte-encoded ones, and judges them: ImageMagick takes
  // byte-encoded 24-bit data as red first, against the format, and loses
  // the last rows of byte-encoded files with padded rows.
  const Variant variants[] = {
      {"im24.ras", "convert %s ras:%o", 24, Oracle::kMagick, nullptr},
      {"im8.ras", "convert %s -colors 200 -type palette ras:%o", 8, Oracle::kMagick, nullptr},
      {"std24.ras", "convert %s ppm:- | pnmtorast -standard > %o", 24, Oracle::kNetpbm, "rasttopnm"},
      {"rle24.ras", "convert %s ppm:- | pnmtorast -rle > %o", 24, Oracle::kNetpbm, "rasttopnm"},
      {"rle8.ras", "convert %s -colors 60 ppm:- | pnmtorast -rle > %o", 8, Oracle::kNetpbm, "rasttopnm"},
      {"std8.ras", "convert %s -colors 60 ppm:- | pnmtorast -standard > %o", 8, Oracle::kNetpbm, "rasttopnm"},
      {"grey.ras", "convert %s -colorspace gray pgm:- | pnmtorast -rle > %o", 8, Oracle::kNetpbm, "rasttopnm"},
      {"bits1.ras", "convert %s -monochrome pbm:- | pnmtorast -standard > %o", 8, Oracle::kNetpbm, "rasttopnm"},
      {"bits1rle.ras", "convert %s -monochrome pbm:- | pnmtorast -rle > %o", 8, Oracle::kNetpbm, "rasttopnm"},
  };
  for (const Variant& v : variants) Check(RASLoad, v, kOdd);
  // A 32-bit file: netpbm reads the first byte of each pixel as padding.
  const Variant v32 = {"rgb32.ras",
                       "convert %s -alpha set ras:%o", 24, Oracle::kMagick, nullptr};
  Check(RASLoad, v32, kOdd);
}

TEST_F(RasterInterop, PnmVariantsDecodeLikeImageMagick) {
  const Variant variants[] = {
      {"p6.ppm", "convert %s ppm:%o", 24, Oracle::kMagick, nullptr},
      {"p3.ppm", "convert %s -compress none ppm:%o", 24, Oracle::kMagick, nullptr},
      {"p5.pgm", "convert %s -colorspace gray pgm:%o", 8, Oracle::kMagick, nullptr},
      {"p2.pgm", "convert %s -colorspace gray -compress none pgm:%o", 8, Oracle::kMagick, nullptr},
      {"p6_16.ppm", "convert %s -depth 16 ppm:%o", 24, Oracle::kMagick, nullptr},
      // ImageMagick rounds grey samples of other maxima down by one in
      // half the cases; netpbm's exact rounding judges those.
      {"p5_16.pgm", "convert %s -colorspace gray -depth 16 pgm:%o", 8, Oracle::kNetpbm, "cat"},
      {"p3_16.ppm", "convert %s -depth 16 -compress none ppm:%o", 24, Oracle::kMagick, nullptr},
      {"p5_15.pgm", "convert %s -colorspace gray pgm:- | pamdepth 15 > %o", 8, Oracle::kNetpbm, "cat"},
      {"p6_100.ppm", "convert %s ppm:- | pamdepth 100 > %o", 24, Oracle::kNetpbm, "cat"},
      {"p2_1000.pgm", "convert %s -colorspace gray pgm:- | pamdepth 1000 | pnmtopnm -plain > %o", 8, Oracle::kNetpbm, "cat"},
      // Bitmaps, binary and text, and the sides a header of its own gives.
      {"p4.pbm", "convert %s -monochrome pbm:%o", 8, Oracle::kMagick, nullptr},
      {"p1.pbm", "convert %s -monochrome -compress none pbm:%o", 8, Oracle::kMagick, nullptr},
      {"np4.pbm", "convert %s pgm:- | pamthreshold | pamtopnm > %o", 8, Oracle::kNetpbm, "cat"},
      {"n1x1.ppm", "convert %s -crop 1x1+5+5 ppm:- | pnmtopnm > %o", 24, Oracle::kNetpbm, "cat"},
      {"n5000.ppm", "convert %s -scale 5000x3! ppm:%o", 24, Oracle::kMagick, nullptr},
      // Comments before each header token and after the magic.
      {"comment.ppm",
       "(printf 'P6 # made by a test\\n# width next\\n113\\n# height\\r75\\t255\\n'; convert %s -depth 8 rgb:-) > %o",
       24, Oracle::kNetpbm, "cat"},
  };
  for (const Variant& v : variants) Check(PNMLoad, v, kOdd);
}

TEST_F(RasterInterop, XpmVariantsDecodeLikeTheOracles) {
  const Variant variants[] = {
      {"cpp1.xpm", "convert %s -colors 40 xpm:%o", 24, Oracle::kMagick, nullptr},
      {"cpp2.xpm", "convert %s -colors 200 xpm:%o", 24, Oracle::kMagick, nullptr},
      {"many.xpm", "convert %s xpm:%o", 24, Oracle::kMagick, nullptr},
      // netpbm names the colours the X11 colour list knows.
      {"named.xpm", "convert %s -colors 12 ppm:- | ppmtoxpm > %o", 24, Oracle::kNetpbm, "xpmtoppm"},
      {"hexnamed.xpm", "convert %s -colors 12 ppm:- | ppmtoxpm -hexonly > %o", 24, Oracle::kNetpbm, "xpmtoppm"},
  };
  for (const Variant& v : variants) Check(XPMLoad, v, kOdd);

  // Colours by name, in several spellings, and several characters per
  // pixel. ImageMagick knows the X11 names (netpbm has its own values).
  const std::string file = Temp("names.xpm");
  WriteAll(file, [] {
    const std::string t =
        "/* XPM */\nstatic char *x[] = {\n\"4 2 6 2\",\n\"aa c red\",\n\"bb c Dark Slate Gray\",\n"
        "\"cc c #00F\",\n\"dd c None\",\n\"ee c LightGoldenrod\",\n\"ff m black c gray50\",\n"
        "\"aabbccdd\",\n\"ddeeffaa\"};\n";
    return Bytes(t.begin(), t.end());
  }());
  Img img;
  MonitoredBoundary("Test.Load", [&] { XPMLoad(file, img.r); });
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  const Rgb want = MagickDecode(file);
  ASSERT_EQ(want.width, 4);
  EXPECT_EQ(Diff(ToRgb(img.r), want), 0);
  const Rgb ours = ToRgb(img.r);
  EXPECT_EQ(Bytes(ours.px.begin(), ours.px.begin() + 12), (Bytes{255, 0, 0, 47, 79, 79, 0, 0, 255, 0, 0, 0}));

  // The same picture in the older forms libXpm reads: XPM 1 (defines and
  // string pairs), XPM 2 natural (lines, "!" comments) and XPM 2 C.
  const std::string forms[] = {
      "#define x_format 1\n#define x_width 4\n#define x_height 2\n#define x_ncolors 6\n"
      "#define x_chars_per_pixel 2\nstatic char *x_colors[] = {\n\"aa\", \"red\",\n"
      "\"bb\", \"Dark Slate Gray\",\n\"cc\", \"#00F\",\n\"dd\", \"None\",\n"
      "\"ee\", \"LightGoldenrod\",\n\"ff\", \"gray50\"};\nstatic char *x_pixels[] = {\n"
      "\"aabbccdd\",\n\"ddeeffaa\"};\n",
      "! XPM2\n4 2 6 2\n! a comment\naa c red\nbb c Dark Slate Gray\ncc c #00F\ndd c None\n"
      "ee c LightGoldenrod\nff m black c gray50\naabbccdd\nddeeffaa\n",
      "! XPM2 C\nstatic char *x[] = {\n\"4 2 6 2\",\n\"aa c red\",\n\"bb c Dark Slate Gray\",\n"
      "\"cc c #00F\",\n\"dd c None\",\n/* colours */\"ee c LightGoldenrod\",\n"
      "\"ff m black c gray50\",\n\"aabbccdd\",\n\"ddeeffaa\"};\n",
  };
  for (const std::string& t : forms) {
    SCOPED_TRACE(t.substr(0, 10));
    WriteAll(file, Bytes(t.begin(), t.end()));
    Img other;
    MonitoredBoundary("Test.Load", [&] { XPMLoad(file, other.r); });
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    EXPECT_EQ(Diff(ToRgb(other.r), ours), 0);
  }
  std::remove(file.c_str());
}

// The photo as a record of each depth the writers take.
struct Depths {
  Img rgb, pal;
  Depths() {
    FromRgb(rgb.r, MagickDecode(kOdd));
    // An 8-bit record: 216 colours of a cube, with a shuffled palette.
    _imgalloc_(&pal.r, rgb->width, rgb->height, 8, 2, "Test.Depths.pal");
    for (int i = 0; i < 256; ++i) {
      const int k = (i * 37) % 256;
      pal->palette[3 * i] = static_cast<uint8_t>((k % 6) * 51);
      pal->palette[3 * i + 1] = static_cast<uint8_t>((k / 6 % 6) * 51);
      pal->palette[3 * i + 2] = static_cast<uint8_t>((k / 36 % 7) * 42);
    }
    for (int i = 0; i < rgb->width * rgb->height; ++i) pal->pixels[i] = rgb->pixels[3 * i + 1];
  }
};

TEST_F(RasterInterop, WrittenFilesDecodeToTheRecord) {
  Depths d;
  for (int32_t rle : {1, 0}) {
    SGISetCompression(rle);
    RoundTrip(SGISave, d.rgb.r, rle ? "w_rle.sgi" : "w_raw.sgi", "sgitopnm");
    RoundTrip(SGISave, d.pal.r, rle ? "w_rle8.sgi" : "w_raw8.sgi", "sgitopnm");
    RASSetCompression(rle);
    // ImageMagick misreads byte-encoded files (above): netpbm judges those.
    RoundTrip(RASSave, d.rgb.r, rle ? "w_rle.ras" : "w_std.ras", "rasttopnm", rle == 0);
    RoundTrip(RASSave, d.pal.r, rle ? "w_rle8.ras" : "w_std8.ras", "rasttopnm", rle == 0);
    PNMSetAscii(rle);
    RoundTrip(PNMSave, d.rgb.r, rle ? "w_p3.ppm" : "w_p6.ppm", "cat");
    RoundTrip(PNMSave, d.pal.r, rle ? "w_p3_8.ppm" : "w_p6_8.ppm", "cat");
  }
  SGISetCompression(1);
  RASSetCompression(1);
  PNMSetAscii(0);
  RoundTrip(XPMSave, d.rgb.r, "w.xpm", "xpmtoppm");
  RoundTrip(XPMSave, d.pal.r, "w8.xpm", "xpmtoppm");
  // Names that libXpm would pipe through compressors are written plainly.
  RoundTrip(XPMSave, d.pal.r, "w8.xpm.gz", "xpmtoppm", false);
}

}  // namespace
