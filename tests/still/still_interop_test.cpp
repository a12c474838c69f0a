// ImageMagick as the independent oracle: it writes every variant the readers
// take from a real photo, and our decode must give its pixels; every file our
// writers produce must decode in ImageMagick to the record's pixels.
#include <cstring>
#include <functional>

#include "formats/still/bmp.h"
#include "windows_skip.h"
#include "formats/still/pcx.h"
#include "formats/still/tga.h"
#include "still_test_util.h"

using namespace vek;
using namespace still_test;

namespace {

using Loader = void (*)(const std::string&, QImg&);
using Saver = void (*)(const std::string&, QImg&);

const std::string kPhoto = Photo("chelsea_113x75.png");

struct Variant {
  const char* file;
  const char* args;  // ImageMagick options and output format prefix
  int32_t bits;      // depth our reader must give
};

struct InteropTest : StillTest {
  void SetUp() override {
    StillTest::SetUp();
    if (!::vektest::HaveOracle("/usr/bin/convert") || !::vektest::HaveOracle("/usr/bin/ffmpeg"))
      GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick and FFmpeg decode the files";
  }
  // Loads `file` with our reader and compares it with ImageMagick's decode.
  void Check(Loader load, const std::string& file, int32_t bits, bool ffmpeg = false) {
    SCOPED_TRACE(file);
    Img img;
    MonitoredBoundary("Test.Load", [&] { load(file, img.r); });
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    EXPECT_EQ(img->bits, bits);
    Rgb ours = ToRgb(img.r);
    Rgb oracle = ffmpeg ? FfmpegDecode(file) : MagickDecode(file);
    ASSERT_GT(oracle.width, 0);
    if (bits == 15) {
      ours = Quantise(ours, 5, 5);
      oracle = Quantise(oracle, 5, 5);
    } else if (bits == 16) {
      ours = Quantise(ours, 5, 6);
      oracle = Quantise(oracle, 5, 6);
    }
    EXPECT_EQ(Diff(ours, oracle), 0);
  }

  void FromMagick(Loader load, const Variant& v) {
    const std::string file = Temp(v.file);
    ASSERT_TRUE(Magick("'" + kPhoto + "' " + v.args + ":'" + file + "'")) << v.args;
    Check(load, file, v.bits);
  }
};

// A 24-bit record of the photo, made from ImageMagick's decode.
void PhotoImage(QImg& img, const std::string& file = kPhoto) {
  Rgb rgb = MagickDecode(file);
  ASSERT_GT(rgb.width, 0);
  _imgalloc_(&img, rgb.width, rgb.height, 24, 1, "Test.PhotoImage.img");
  for (size_t i = 0; i < rgb.px.size(); i += 3) {
    img.pixels[i] = rgb.px[i + 2];
    img.pixels[i + 1] = rgb.px[i + 1];
    img.pixels[i + 2] = rgb.px[i];
  }
}

// The photo at another depth: 15 and 16-bit words, or 32-bit pixels.
void PhotoAtDepth(QImg& img, int32_t bits) {
  QImg rgb{};
  PhotoImage(rgb);
  _imgalloc_(&img, rgb.width, rgb.height, bits, 2, "Test.PhotoAtDepth.img");
  const size_t n = static_cast<size_t>(rgb.width) * rgb.height;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = rgb.pixels[3 * i], g = rgb.pixels[3 * i + 1], r = rgb.pixels[3 * i + 2];
    if (bits == 32) {
      std::memcpy(img.pixels + 4 * i, rgb.pixels + 3 * i, 3);
      img.pixels[4 * i + 3] = 0x5A;
    } else {
      const unsigned w = bits == 15 ? ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3)
                                    : ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
      img.pixels[2 * i] = static_cast<uint8_t>(w);
      img.pixels[2 * i + 1] = static_cast<uint8_t>(w >> 8);
    }
  }
  ImgFree(&rgb);
}

uint32_t Le32(const Bytes& d, size_t o) {
  return d[o] | (d[o + 1] << 8) | (d[o + 2] << 16) | (static_cast<uint32_t>(d[o + 3]) << 24);
}
void SetLe32(Bytes& d, size_t o, uint32_t v) {
  for (int k = 0; k < 4; ++k) d[o + k] = static_cast<uint8_t>(v >> (8 * k));
}

// PCX run-length encoding of a byte line (independent of the writer).
void PcxEncode(const uint8_t* s, size_t n, Bytes& out) {
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && j - i < 63 && s[j] == s[i]) ++j;
    if (j - i > 1 || s[i] >= 0xC0) out.push_back(static_cast<uint8_t>(0xC0 | (j - i)));
    out.push_back(s[i]);
    i = j;
  }
}

// A PCX file of one-bit planes (1 or 4) from an indexed record.
Bytes PlanarPcx(const QImg& img, int planes) {
  const int w = img.width, h = img.height;
  const int bpl = ((w + 7) / 8 + 1) & ~1;
  Bytes f(128, 0);
  f[0] = 10;
  f[1] = 5;
  f[2] = 1;
  f[3] = 1;
  f[8] = static_cast<uint8_t>(w - 1);
  f[9] = static_cast<uint8_t>((w - 1) >> 8);
  f[10] = static_cast<uint8_t>(h - 1);
  f[11] = static_cast<uint8_t>((h - 1) >> 8);
  for (int i = 0; i < 16; ++i)
    for (int c = 0; c < 3; ++c) f[16 + 3 * i + c] = img.palette[3 * i + 2 - c];
  f[65] = static_cast<uint8_t>(planes);
  f[66] = static_cast<uint8_t>(bpl);
  Bytes line(static_cast<size_t>(bpl) * planes);
  for (int y = 0; y < h; ++y) {
    std::fill(line.begin(), line.end(), 0);
    for (int x = 0; x < w; ++x) {
      const int v = img.pixels[y * w + x];
      for (int k = 0; k < planes; ++k)
        if (v >> k & 1) line[k * bpl + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
    PcxEncode(line.data(), line.size(), f);
  }
  return f;
}

TEST_F(InteropTest, BmpVariants) {
  const Variant variants[] = {
      {"b24.bmp", "-type TrueColor BMP3", 24},
      {"b32.bmp", "-type TrueColorAlpha BMP", 32},
      {"b8.bmp", "-colors 256 -type Palette -compress None BMP3", 8},
      {"b8rle.bmp", "-colors 256 -type Palette -compress RLE BMP3", 8},
      {"b8core.bmp", "-colors 256 -type Palette BMP2", 8},
      {"b24core.bmp", "-type TrueColor BMP2", 24},
      {"b4.bmp", "-colors 16 -type Palette BMP3", 8},
      {"b1.bmp", "-monochrome -colors 2 -type Palette BMP3", 8},
      {"b555.bmp", "-define bmp:subtype=RGB555 BMP", 15},
      {"b565.bmp", "-define bmp:subtype=RGB565 BMP", 16},
  };
  for (const Variant& v : variants) FromMagick(DIBLoad_, v);
}

TEST_F(InteropTest, BmpTopDownAndRle4) {
  // Top-down: ImageMagick's bottom-up file with its rows reversed and the height negated.
  const std::string b24 = Temp("src24.bmp");
  ASSERT_TRUE(Magick("'" + kPhoto + "' -type TrueColor BMP3:'" + b24 + "'"));
  Bytes f = ReadAll(b24);
  const uint32_t off = Le32(f, 10);
  const int32_t w = static_cast<int32_t>(Le32(f, 18)), h = static_cast<int32_t>(Le32(f, 22));
  const size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~size_t{3};
  Bytes flipped(f.begin(), f.begin() + off);
  for (int32_t y = h - 1; y >= 0; --y)
    flipped.insert(flipped.end(), f.begin() + off + y * stride, f.begin() + off + (y + 1) * stride);
  SetLe32(flipped, 22, static_cast<uint32_t>(-h));
  WriteAll(Temp("topdown.bmp"), flipped);
  Check(DIBLoad_, Temp("topdown.bmp"), 24);

  // RLE4: ImageMagick's 4-bit file re-encoded with runs, literals and line ends.
  const std::string b4 = Temp("src4.bmp");
  ASSERT_TRUE(Magick("'" + kPhoto + "' -colors 16 -type Palette BMP3:'" + b4 + "'"));
  Bytes s = ReadAll(b4);
  const uint32_t soff = Le32(s, 10);
  const size_t sstride = ((static_cast<size_t>(w) + 1) / 2 + 3) & ~size_t{3};
  auto pix = [&](int x, int y) {
    const uint8_t b = s[soff + y * sstride + x / 2];
    return (x & 1) ? (b & 15) : (b >> 4);
  };
  Bytes rle(s.begin(), s.begin() + soff);
  for (int y = 0; y < h; ++y) {
    int x = 0;
    while (x < w) {
      int run = 1;
      while (x + run < w && run < 255 && pix(x + run, y) == pix(x, y)) ++run;
      if (run >= 3 || w - x < 3) {
        rle.push_back(static_cast<uint8_t>(run));
        rle.push_back(static_cast<uint8_t>(pix(x, y) * 17));
        x += run;
      } else {
        const int n = std::min(w - x, 9);
        rle.push_back(0);
        rle.push_back(static_cast<uint8_t>(n));
        const size_t bytes = (n + 1) / 2;
        for (int i = 0; i < n; i += 2)
          rle.push_back(static_cast<uint8_t>(pix(x + i, y) << 4 | (i + 1 < n ? pix(x + i + 1, y) : 0)));
        if (bytes & 1) rle.push_back(0);
        x += n;
      }
    }
    rle.push_back(0);
    rle.push_back(0);
  }
  rle.push_back(0);
  rle.push_back(1);
  SetLe32(rle, 30, 2);
  SetLe32(rle, 34, static_cast<uint32_t>(rle.size() - soff));
  SetLe32(rle, 2, static_cast<uint32_t>(rle.size()));
  WriteAll(Temp("rle4.bmp"), rle);
  Check(DIBLoad_, Temp("rle4.bmp"), 8);
}

TEST_F(InteropTest, TgaVariants) {
  const Variant variants[] = {
      {"t24.tga", "-compress None TGA", 24},
      {"t24rle.tga", "-compress RLE TGA", 24},
      {"t24top.tga", "-orient TopLeft -compress None TGA", 24},
      {"t24toprle.tga", "-orient TopLeft -compress RLE TGA", 24},
      {"t32.tga", "-alpha set -compress None TGA", 32},
      {"t32rle.tga", "-alpha set -compress RLE TGA", 32},
      {"t16.tga", "-depth 5 -compress None TGA", 15},
      {"t16rle.tga", "-depth 5 -compress RLE TGA", 15},
      {"t8.tga", "-colors 256 -type Palette -compress None TGA", 8},
      {"t8rle.tga", "-colors 256 -type Palette -compress RLE TGA", 8},
      {"t8top.tga", "-colors 256 -type Palette -orient TopLeft -compress RLE TGA", 8},
      {"tgrey.tga", "-colorspace Gray -compress RLE TGA", 8},
  };
  for (const Variant& v : variants) FromMagick(TGALoad_, v);

  // Depth field 15, which some writers use for 5-5-5 pixels.
  Img img;
  PhotoAtDepth(img.r, 15);
  const std::string f15 = Temp("t15.tga");
  TGASetRLE(0);
  MonitoredBoundary("Test.Save", [&] { TGASave_(f15, img.r); });
  TGASetRLE(1);
  ASSERT_TRUE(ErrNone());
  Bytes b = ReadAll(f15);
  b[16] = 15;
  WriteAll(f15, b);
  Check(TGALoad_, f15, 15);

  // Grey with alpha (16-bit grey pixels, as other programs write them),
  // plain and run-length encoded: the grey is kept, the alpha dropped.
  const std::string grey = Temp("tg8.tga");
  ASSERT_TRUE(Magick("'" + kPhoto + "' -colorspace Gray -compress None TGA:'" + grey + "'"));
  const Bytes g = ReadAll(grey);
  const size_t n = g.size() - 18 - g[0];
  for (bool rle : {false, true}) {
    Bytes ga(g.begin(), g.begin() + 18);
    ga[0] = 0;
    ga[2] = rle ? 11 : 3;
    ga[16] = 16;
    ga[17] = static_cast<uint8_t>((g[17] & 0x30) | 8);
    for (size_t i = 0; i < n;) {
      const size_t m = rle ? std::min<size_t>(n - i, 128) : n;
      if (rle) ga.push_back(static_cast<uint8_t>(m - 1));
      for (size_t k = 0; k < m; ++k) ga.insert(ga.end(), {g[18 + g[0] + i + k], static_cast<uint8_t>(k)});
      i += m;
    }
    const std::string file = Temp(rle ? "tga_rle.tga" : "tga.tga");
    WriteAll(file, ga);
    Img img;
    MonitoredBoundary("Test.Load", [&] { TGALoad_(file, img.r); });
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    EXPECT_EQ(img->bits, 8);
    EXPECT_EQ(Diff(ToRgb(img.r), MagickDecode(grey)), 0);
    std::remove(file.c_str());
  }
  std::remove(grey.c_str());
}

TEST_F(InteropTest, PcxVariants) {
  const Variant variants[] = {
      {"p24.pcx", "PCX", 24},
      {"p8.pcx", "-colors 256 -type Palette PCX", 8},
  };
  for (const Variant& v : variants) FromMagick(PCXLoad_, v);

  // ImageMagick writes no planar PCX; build 1 and 4-plane files from its
  // indexed BMP and let it decode them.
  struct Planar {
    const char* args;
    int planes;
  } planar[] = {{"-monochrome -colors 2 -type Palette BMP3", 1},
                {"-colors 16 -type Palette BMP3", 4}};
  for (const Planar& p : planar) {
    const std::string bmp = Temp("planar_src.bmp");
    ASSERT_TRUE(Magick("'" + kPhoto + "' " + p.args + ":'" + bmp + "'"));
    Img idx;
    MonitoredBoundary("Test.Load", [&] { DIBLoad_(bmp, idx.r); });
    ASSERT_TRUE(ErrNone());
    const std::string pcx = Temp("planar" + std::to_string(p.planes) + ".pcx");
    WriteAll(pcx, PlanarPcx(idx.r, p.planes));
    // ImageMagick 6 inverts one-plane files against their header palette.
    Check(PCXLoad_, pcx, 8, p.planes == 1);
    if (p.planes == 1) {
      // Two-colour pictures are black and white whatever the header
      // palette says, as other readers show them.
      Bytes f = ReadAll(pcx);
      for (int i = 0; i < 6; ++i) f[16 + i] = static_cast<uint8_t>(i < 3 ? 255 : 0);
      WriteAll(pcx, f);
      Check(PCXLoad_, pcx, 8, true);
    }
  }
}

// Odd-width 24-bit files whose planes are exactly the width long, with the
// pad bytes written after each row's run-length stream, read as the same
// picture as the usual padded layout.
TEST_F(InteropTest, PcxPadsAfterTheRowStream) {
  for (int32_t w : {7, 33}) {
    const int32_t h = 5;
    Img src;
    ImgAlloc(&src.r, w, h, 24, 1, "Test.src");
    for (int32_t i = 0; i < src->size; ++i) src->pixels[i] = static_cast<uint8_t>(17 + (i * 37) % 230);
    Bytes f(128, 0);
    f[0] = 10, f[1] = 5, f[2] = 1, f[3] = 8, f[65] = 3;
    f[8] = static_cast<uint8_t>(w - 1);
    f[10] = static_cast<uint8_t>(h - 1);
    f[66] = static_cast<uint8_t>(w + 1);
    for (int32_t y = 0; y < h; ++y) {
      Bytes row;
      for (int c = 2; c >= 0; --c)
        for (int32_t x = 0; x < w; ++x) row.push_back(src->pixels[(y * w + x) * 3 + c]);
      PcxEncode(row.data(), row.size(), f);
      f.insert(f.end(), {0, 0, 0});  // the pads, outside the stream
    }
    const std::string name = Temp("pads_after.pcx");
    WriteAll(name, f);
    Img got;
    MonitoredBoundary("Test.Load", [&] { PCXLoad_(name, got.r); });
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    ASSERT_EQ(got->size, src->size);
    EXPECT_EQ(0, std::memcmp(got->pixels, src->pixels, static_cast<size_t>(src->size))) << w;
  }
}

// Our writers at every depth they take; ImageMagick must see the record's pixels.
TEST_F(InteropTest, WrittenFilesDecodeInImageMagick) {
  struct Writer {
    const char* ext;
    Saver save;
    int32_t rle;  // TGA switch, -1 for the others
  } writers[] = {{"bmp", DIBSave_, -1}, {"tga", TGASave_, 0}, {"tga", TGASave_, 1},
                 {"pcx", PCXSave_, -1}};
  const std::string b8 = Temp("w_src8.bmp");
  ASSERT_TRUE(Magick("'" + kPhoto + "' -colors 256 -type Palette -compress None BMP3:'" + b8 + "'"));
  for (int32_t bits : {8, 15, 16, 24, 32}) {
    Img img;
    if (bits == 8)
      MonitoredBoundary("Test.Load", [&] { DIBLoad_(b8, img.r); });
    else if (bits == 24)
      PhotoImage(img.r);
    else
      PhotoAtDepth(img.r, bits);
    ASSERT_TRUE(ErrNone());
    for (const Writer& w : writers) {
      const std::string file = Temp("w" + std::to_string(bits) + "_" + std::to_string(w.rle) + "." + w.ext);
      SCOPED_TRACE(file);
      if (w.rle >= 0) TGASetRLE(w.rle);
      MonitoredBoundary("Test.Save", [&] { w.save(file, img.r); });
      TGASetRLE(1);
      ASSERT_TRUE(ErrNone()) << ErrMsgLast();
      Rgb ours = ToRgb(img.r);
      Rgb oracle = MagickDecode(file);
      // 15-bit images stay 15-bit in BMP and TGA; PCX stores them as 24 bits.
      if (bits == 15 && std::string(w.ext) != "pcx") {
        ours = Quantise(ours, 5, 5);
        oracle = Quantise(oracle, 5, 5);
      }
      EXPECT_EQ(Diff(ours, oracle), 0);
    }
  }
}

}  // namespace
