#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/image.h"
#include "image/palette.h"

using namespace vek;

namespace {

struct Rgb {
  int r, g, b;
  bool operator<(const Rgb& o) const {
    return r != o.r ? r < o.r : (g != o.g ? g < o.g : b < o.b);
  }
};

struct PaletteTest : ::testing::Test {
  void SetUp() override { ErrClear(); }
  void TearDown() override {
    PalDone();
    EXPECT_EQ(MemCount(), 0) << MemLeakReport();
  }
};

QImg Make24(int w, int h, const std::vector<Rgb>& px) {
  QImg img{};
  ImgAlloc(&img, w, h, 24, 1, "test.img");
  for (int i = 0; i < w * h; ++i) {
    img.pixels[3 * i] = static_cast<uint8_t>(px[i].b);
    img.pixels[3 * i + 1] = static_cast<uint8_t>(px[i].g);
    img.pixels[3 * i + 2] = static_cast<uint8_t>(px[i].r);
  }
  return img;
}

Rgb At(const QImg& img, int i) {
  switch (img.bits) {
    case 8: {
      const uint8_t* e = img.palette + 3 * img.pixels[i];
      return {e[2], e[1], e[0]};
    }
    case 24: return {img.pixels[3 * i + 2], img.pixels[3 * i + 1], img.pixels[3 * i]};
    case 32: return {img.pixels[4 * i + 2], img.pixels[4 * i + 1], img.pixels[4 * i]};
    default: {
      const int w = img.pixels[2 * i] | (img.pixels[2 * i + 1] << 8);
      if (img.bits == 16) return {(w >> 8) & 0xF8, ((w >> 5) << 2) & 0xFF, (w << 3) & 0xFF};
      return {(w >> 7) & 0xF8, ((w >> 5) << 3) & 0xFF, (w << 3) & 0xFF};
    }
  }
}

QImg LoadPpm(const std::string& name) {
  std::ifstream in(std::string(VEK_TEST_DATA) + "/palette/" + name, std::ios::binary);
  std::string magic;
  int w = 0, h = 0, max = 0;
  in >> magic >> w >> h >> max;
  in.get();
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  in.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
  QImg img{};
  if (!in || magic != "P6") return img;
  ImgAlloc(&img, w, h, 24, 2, "test.ppm");
  for (size_t i = 0; i < rgb.size(); i += 3) {
    img.pixels[i] = rgb[i + 2];
    img.pixels[i + 1] = rgb[i + 1];
    img.pixels[i + 2] = rgb[i];
  }
  return img;
}

double Psnr(const QImg& a, const QImg& b) {
  double se = 0;
  const int n = a.width * a.height;
  for (int i = 0; i < n; ++i) {
    const Rgb p = At(a, i), q = At(b, i);
    se += (p.r - q.r) * (p.r - q.r) + (p.g - q.g) * (p.g - q.g) + (p.b - q.b) * (p.b - q.b);
  }
  const double mse = se / (3.0 * n);
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// n distinct colours on the 6-bit grid the quantiser keeps exactly
// (channels 0 or multiples of 4 from 4 up).
std::vector<Rgb> GridColours(int n, int seed) {
  std::vector<Rgb> c;
  std::set<Rgb> seen;
  unsigned s = static_cast<unsigned>(seed);
  while (static_cast<int>(c.size()) < n) {
    s = s * 1103515245u + 12345u;
    const Rgb v{static_cast<int>((s >> 8) & 63) * 4, static_cast<int>((s >> 14) & 63) * 4,
                static_cast<int>((s >> 20) & 63) * 4};
    if (seen.insert(v).second) c.push_back(v);
  }
  return c;
}

// Runs calls that are expected to fail, stopping their error here as a caller would.
template <class F>
void Guarded(F&& f) {
  MonitoredBoundary("Test.Guarded", f);
}

}  // namespace

TEST_F(PaletteTest, FewColoursComeBackExactInEveryModeAndDepth) {
  const std::vector<Rgb> colours = GridColours(256, 7);
  const int w = 37, h = 29;  // odd sizes: rows of every length
  std::vector<Rgb> px(w * h);
  for (int i = 0; i < w * h; ++i) px[i] = colours[(i * 7 + i / w) % 256];
  QImg src = Make24(w, h, px);
  QImg src32{};
  ImgConvBpp(&src, &src32, 32);
  for (int mode : {kRemapPlain, kRemapLight, kRemapHeavy}) {
    for (QImg* in : {&src, &src32}) {
      QImg out{};
      ConvTo8bit(in, &out, mode);
      ASSERT_TRUE(ErrNone()) << ErrMsgLast();
      ASSERT_EQ(out.bits, 8);
      for (int i = 0; i < w * h; ++i) {
        const Rgb a = At(out, i), b = px[i];
        ASSERT_TRUE(a.r == b.r && a.g == b.g && a.b == b.b)
            << "mode " << mode << " bits " << in->bits << " pixel " << i;
      }
      ImgFree(&out);
    }
  }
  // 15 and 16-bit words keep their colours too, and an 8-bit image its own.
  for (int bits : {15, 16, 8}) {
    QImg deep{}, out{};
    if (bits == 8) {
      ImgAlloc(&deep, w, h, 8, 3, "test.img8");
      for (int i = 0; i < 256; ++i) {
        deep.palette[3 * i] = static_cast<uint8_t>(colours[255 - i].b);
        deep.palette[3 * i + 1] = static_cast<uint8_t>(colours[255 - i].g);
        deep.palette[3 * i + 2] = static_cast<uint8_t>(colours[255 - i].r);
      }
      for (int i = 0; i < w * h; ++i) deep.pixels[i] = static_cast<uint8_t>(i % 256);
    } else {
      ImgConvBpp(&src, &deep, bits);
    }
    ConvTo8bit(&deep, &out, kRemapHeavy);
    ASSERT_TRUE(ErrNone()) << ErrMsgLast();
    for (int i = 0; i < w * h; ++i) {
      const Rgb a = At(out, i), b = At(deep, i);
      ASSERT_TRUE(a.r == b.r && a.g == b.g && a.b == b.b) << "bits " << bits << " pixel " << i;
    }
    ImgFree(&deep);
    ImgFree(&out);
  }
  ImgFree(&src);
  ImgFree(&src32);
}

TEST_F(PaletteTest, LowPaletteOrderDarkFirstAndTargetClamp) {
  // Ten cells; channels are cut to the cell's multiple of 4.
  std::vector<Rgb> px;
  for (int k = 0; k < 10; ++k) px.push_back({200 - 9 * k + 3, 8 * k + 1, 100});
  QImg img = Make24(10, 1, px);
  PalInit();
  PalCountColors(&img);
  PalReduce(256);
  const PalState* s = PalCurrentState();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->used, 10);
  // Cell order runs red fastest, then green: the entries follow it.
  std::vector<Rgb> expected;
  for (int k = 0; k < 10; ++k) expected.push_back({(200 - 9 * k + 3) / 4 * 4, (8 * k + 1) / 4 * 4, 100});
  std::sort(expected.begin(), expected.end(), [](const Rgb& a, const Rgb& b) {
    return PalCellIndex(a.r, a.g, a.b) < PalCellIndex(b.r, b.g, b.b);
  });
  // The entry nearest to black (green weighs most) moves to index 0.
  uint8_t flat[30];
  for (int i = 0; i < 10; ++i) {
    flat[3 * i] = static_cast<uint8_t>(expected[i].b);
    flat[3 * i + 1] = static_cast<uint8_t>(expected[i].g);
    flat[3 * i + 2] = static_cast<uint8_t>(expected[i].r);
  }
  const int dark = PalNearest(flat, 10, 0, 0, 0);
  EXPECT_EQ(dark, 5);  // (156, 40, 100)
  std::swap(expected[0], expected[dark]);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(s->palette[3 * i + 2], expected[i].r) << i;
    EXPECT_EQ(s->palette[3 * i + 1], expected[i].g) << i;
    EXPECT_EQ(s->palette[3 * i], expected[i].b) << i;
  }
  for (int i = 10; i < 256; ++i) EXPECT_EQ(s->palette[3 * i], 255);
  ImgFree(&img);

  // A white image: one entry (252, 252, 252) at index 0 and every pixel 0.
  QImg white = Make24(4, 3, std::vector<Rgb>(12, Rgb{255, 255, 255}));
  QImg out{};
  ConvTo8bit(&white, &out, kRemapPlain);
  EXPECT_EQ(out.palette[0], 252);
  EXPECT_EQ(out.palette[2], 252);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(out.pixels[i], 0);
  ImgFree(&out);

  // PalReduce(1) asks for two colours; three colours then get split boxes.
  QImg three = Make24(3, 1, {{0, 0, 0}, {128, 128, 128}, {255, 255, 255}});
  PalInit();
  PalCountColors(&three);
  PalReduce(1);
  EXPECT_EQ(PalCurrentState()->target, 2);
  EXPECT_EQ(PalCurrentState()->box_count, 2);
  ImgFree(&three);
  ImgFree(&white);
}

TEST_F(PaletteTest, CountingIsCumulativeAcrossCalls) {
  const std::vector<Rgb> colours = GridColours(200, 3);
  std::vector<Rgb> a(100), b(100);
  for (int i = 0; i < 100; ++i) a[i] = colours[i], b[i] = colours[100 + i];
  QImg ia = Make24(10, 10, a), ib = Make24(10, 10, b);
  PalInit();
  PalCountColors(&ia);
  PalCountColors(&ib);
  PalCountColors(&ia);
  const PalState* s = PalCurrentState();
  // Seen twice: -1 + 2; seen once: -1 + 1.
  EXPECT_EQ(s->cells[PalCellIndex(a[5].r, a[5].g, a[5].b)], 1);
  EXPECT_EQ(s->cells[PalCellIndex(b[5].r, b[5].g, b[5].b)], 0);
  PalReduce(256);
  EXPECT_EQ(s->used, 200);
  // Both frames remap exactly to the one common palette.
  for (QImg* in : {&ia, &ib}) {
    QImg out{};
    PalRemap(in, &out, kRemapPlain);
    ASSERT_TRUE(ErrNone());
    EXPECT_EQ(std::memcmp(out.palette, s->palette, 768), 0);
    for (int i = 0; i < 100; ++i) {
      const Rgb p = At(out, i), q = At(*in, i);
      EXPECT_TRUE(p.r == q.r && p.g == q.g && p.b == q.b);
    }
    ImgFree(&out);
  }
  // Clearing starts over.
  PalClearVars();
  EXPECT_EQ(s->cells[PalCellIndex(a[5].r, a[5].g, a[5].b)], -1);
  ImgFree(&ia);
  ImgFree(&ib);
}

TEST_F(PaletteTest, BoxSplitStatistics) {
  // Colours seen once weigh in the mean but give no spread: a box holding only
  // such colours has zero spreads and is cut on its longest axis.
  std::vector<Rgb> px;
  for (int g = 0; g < 64; ++g) px.push_back({0, g * 4, 0});  // 64 cells along green, once each
  QImg img = Make24(64, 1, px);
  PalInit();
  PalCountColors(&img);
  PalReduce(16);
  const PalState* s = PalCurrentState();
  EXPECT_EQ(s->box_count, 16);
  std::set<int> greens;
  for (int i = 0; i < 16; ++i) {
    const PalBox& b = s->boxes[i];
    EXPECT_LE(b.gmin, b.gmax);
    EXPECT_EQ(b.rspread + b.gspread + b.bspread, 0.0);
    greens.insert(s->palette[3 * i + 1]);
  }
  EXPECT_EQ(greens.size(), 16u);  // sixteen different colours, no empty boxes
  // Every pixel maps to the colour of the box that holds it.
  QImg out{};
  PalRemap(&img, &out, kRemapPlain);
  std::set<int> seen;
  for (int i = 0; i < 64; ++i) {
    int box = -1;
    for (int k = 0; k < 16; ++k)
      if (s->boxes[k].gmin <= i && i <= s->boxes[k].gmax) box = k;
    ASSERT_GE(box, 0) << i;
    const int g = At(out, i).g;
    EXPECT_GE(g, s->boxes[box].gmin * 4) << i;
    EXPECT_LE(g, s->boxes[box].gmax * 4) << i;
    seen.insert(out.pixels[i]);
  }
  EXPECT_EQ(seen.size(), 16u);
  ImgFree(&out);
  ImgFree(&img);

  // Weighted spreads pick the axis: red varies among repeated colours.
  std::vector<Rgb> two;
  for (int k = 0; k < 40; ++k) two.push_back({(k % 2) * 200, 100, 100});
  for (int k = 0; k < 40; ++k) two.push_back({100, 100 + (k % 4), 100});
  QImg t = Make24(80, 1, two);
  PalInit();
  PalCountColors(&t);
  PalReduce(2);
  const PalBox& b0 = s->boxes[0];
  const PalBox& b1 = s->boxes[1];
  EXPECT_TRUE(b0.rmax < b1.rmin || b1.rmax < b0.rmin);  // cut on red
  ImgFree(&t);
}

TEST_F(PaletteTest, DitheringKeepsFlatAreasAndSource) {
  // A grey ramp gives a coarse palette of 8 greys; a flat area between two of
  // them should keep its mean when dithered and lose it when mapped plainly.
  std::vector<Rgb> ramp;
  for (int v = 0; v < 256; ++v) ramp.push_back({v, v, v});
  QImg counted = Make24(256, 1, ramp);
  const int w = 64, h = 64;
  for (int flat : {101, 150}) {
    QImg area = Make24(w, h, std::vector<Rgb>(w * h, Rgb{flat, flat, flat}));
    QImg keep{};
    ImgCopy(&area, &keep);
    double mean[3] = {};
    for (int mode : {kRemapPlain, kRemapLight, kRemapHeavy}) {
      PalInit();
      PalCountColors(&counted);
      PalReduce(8);
      QImg out{};
      PalRemap(&area, &out, mode);
      ASSERT_TRUE(ErrNone());
      double sum = 0;
      for (int i = 0; i < w * h; ++i) sum += At(out, i).g;
      mean[mode] = sum / (w * h);
      ImgFree(&out);
      EXPECT_EQ(std::memcmp(area.pixels, keep.pixels, area.size), 0) << "source changed";
    }
    // Error diffusion keeps the mean; the matrix moves each pixel at most
    // twice its distance from the box colour, so it only helps near box edges.
    EXPECT_GT(std::abs(mean[kRemapPlain] - flat), 4.0) << flat;
    EXPECT_LT(std::abs(mean[kRemapHeavy] - flat), 1.5) << flat;
    EXPECT_LE(std::abs(mean[kRemapLight] - flat), std::abs(mean[kRemapPlain] - flat)) << flat;
    if (flat == 101) {
      EXPECT_LT(std::abs(mean[kRemapLight] - flat), 4.0);
    }
    ImgFree(&area);
    ImgFree(&keep);
  }
  ImgFree(&counted);

  // A flat area already in the palette stays one index under both ditherings.
  QImg exact = Make24(9, 7, std::vector<Rgb>(63, Rgb{64, 128, 192}));
  for (int mode : {kRemapLight, kRemapHeavy}) {
    QImg out{};
    ConvTo8bit(&exact, &out, mode);
    for (int i = 0; i < 63; ++i) EXPECT_EQ(out.pixels[i], 0);
    ImgFree(&out);
  }
  ImgFree(&exact);
}

TEST_F(PaletteTest, FirstPixelOfEvenRowsPassesNoError) {
  // Palette {0, 64}. Pixel 45 maps to 64 with error -19, which pushes its right
  // neighbour by -8; 36 alone maps to 64, 36 - 9 = 27 maps to 0.
  QImg counted = Make24(2, 1, {{0, 0, 0}, {64, 64, 64}});
  QImg img = Make24(2, 2, {{45, 45, 45}, {36, 36, 36}, {46, 46, 46}, {36, 36, 36}});
  PalInit();
  PalCountColors(&counted);
  PalReduce(256);
  QImg out{};
  PalRemap(&img, &out, kRemapHeavy);
  EXPECT_EQ(At(out, 0).g, 64);
  EXPECT_EQ(At(out, 1).g, 64);  // row 0: nothing from its first pixel
  EXPECT_EQ(At(out, 2).g, 64);
  EXPECT_EQ(At(out, 3).g, 0);   // row 1: the first pixel's error arrives
  ImgFree(&out);
  ImgFree(&img);
  ImgFree(&counted);
}

TEST_F(PaletteTest, TablesAndNearestSearch) {
  int32_t t[513];
  for (int w : {1, 3, 5, 7}) {
    _MakeErrTable(t, w);
    EXPECT_EQ(t[256], 0);
    EXPECT_EQ(t[256 + 8], static_cast<int>(std::nearbyint(w * 8 / 16.0)));
    EXPECT_EQ(t[256 - 8], -t[256 + 8]);
    EXPECT_EQ(t[275], static_cast<int>(std::nearbyint(19 * w / 16.0)));
    EXPECT_EQ(t[294], t[275] / 2);
    EXPECT_EQ(t[256 + 57], t[294 + 19]);
    for (int e = 58; e <= 256; ++e) EXPECT_EQ(t[256 + e] | t[256 - e], 0) << e;
  }
  _MakeErrTable(t, 7);
  EXPECT_EQ(t[256 + 2], 1);  // 0.875 rounds to 1
  EXPECT_EQ(t[256 + 6], 3);  // 2.625 rounds to 3
  EXPECT_EQ(t[256 + 10], 4);  // 4.375 rounds to 4

  const uint8_t* m = PalThresholdMatrix();
  int counts[256] = {};
  for (int i = 0; i < 128 * 128; ++i) ++counts[m[i]];
  int levels = 0;
  for (int k = 0; k < 64; ++k) {
    const int v = static_cast<int>(std::lround(k * 255.0 / 63));
    EXPECT_EQ(counts[v], 256) << v;
    levels += counts[v] == 256;
  }
  EXPECT_EQ(levels, 64);
  int wide = 0;  // neighbours differ widely
  for (int x = 0; x < 127; ++x) wide += std::abs(m[x] - m[x + 1]) >= 64;
  EXPECT_GT(wide, 100);

  // Green weighs most; ties go to the lower index.
  const uint8_t pal[9] = {0, 0, 40, 0, 20, 0, 0, 0, 40};  // (b,g,r): red 40, green 20, red 40
  EXPECT_EQ(PalNearest(pal, 3, 40, 0, 0), 0);
  EXPECT_EQ(PalNearest(pal, 3, 0, 12, 0), 1);
  EXPECT_EQ(PalNearest(pal, 1, 0, 200, 0), 0);
}

TEST_F(PaletteTest, PhotoQualityAndDeepSources) {
  QImg photo = LoadPpm("coffee_120x80.ppm");
  ASSERT_EQ(photo.bits, 24);
  QImg out{};
  ConvTo8bit(&photo, &out, kRemapPlain);
  ASSERT_TRUE(ErrNone());
  const double plain = Psnr(photo, out);
  EXPECT_GT(plain, 30.0);
  ConvTo8bit(&photo, &out, kRemapHeavy);
  EXPECT_GT(Psnr(photo, out), 28.0);
  ConvTo8bit(&photo, &out, kRemapLight);
  EXPECT_GT(Psnr(photo, out), 27.0);

  // The refined palette maps photos much closer; few colours stay exact.
  PalInit();
  PalCountColors(&photo);
  PalReduceRefined(256, 4);
  PalRemap(&photo, &out, kRemapPlain);
  PalDone();
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  EXPECT_GT(Psnr(photo, out), plain + 2.0);
  EXPECT_EQ(PalNearest(out.palette, 256, 0, 0, 0), 0);  // darkest entry first
  QImg few = Make24(16, 16, [] {
    std::vector<Rgb> v;
    for (const Rgb& c : GridColours(256, 11)) v.push_back(c);
    return v;
  }());
  QImg fewout{};
  PalInit();
  PalCountColors(&few);
  PalReduceRefined(256, 4);
  PalRemap(&few, &fewout, kRemapHeavy);
  PalDone();
  EXPECT_EQ(Psnr(few, fewout), 99.0);
  ImgFree(&few);
  ImgFree(&fewout);

  // A 16-bit source remaps like its 24-bit expansion.
  QImg deep{}, wide{}, a{}, b{};
  ImgConvBpp(&photo, &deep, 16);
  ImgConvBpp(&deep, &wide, 24);
  ConvTo8bit(&deep, &a, kRemapHeavy);
  ConvTo8bit(&wide, &b, kRemapHeavy);
  EXPECT_EQ(std::memcmp(a.pixels, b.pixels, a.size), 0);
  EXPECT_EQ(std::memcmp(a.palette, b.palette, 768), 0);

  // Remapping onto the source record replaces it with the 8-bit picture.
  ConvTo8bit(&wide, &wide, kRemapHeavy);
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(wide.bits, 8);
  EXPECT_EQ(std::memcmp(wide.pixels, b.pixels, b.size), 0);
  for (QImg* i : {&photo, &out, &deep, &wide, &a, &b}) ImgFree(i);
}

TEST_F(PaletteTest, MisuseReportsErrors) {
  QImg img = Make24(2, 2, std::vector<Rgb>(4, Rgb{1, 2, 3}));
  QImg out{};
  Guarded([&] { PalCountColors(&img); });  // no state yet
  EXPECT_EQ(ErrGroup(), kGrpImage);
  EXPECT_EQ(ErrCode(), 6);
  PalInit();
  PalCountColors(&img);
  Guarded([&] { PalRemap(&img, &out, kRemapPlain); });  // before PalReduce
  EXPECT_EQ(ErrCode(), 6);
  ErrClear();
  PalReduce(256);
  PalRemap(&img, &out, 7);  // unknown mode: nothing happens
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(out.pixels, nullptr);
  Guarded([&] { PalReduce(256); });  // a second reduction would read indices as counts
  EXPECT_FALSE(ErrNone());
  ErrClear();
  QImg broken = img;
  broken.size = 1000;  // fields that disagree
  PalInit();
  Guarded([&] { PalCountColors(&broken); });
  EXPECT_EQ(ErrCode(), 9);
  ErrClear();
  broken.size = img.size;
  broken.bits = 12;  // another depth: counted as nothing, no error
  PalCountColors(&broken);
  EXPECT_TRUE(ErrNone());
  QImg empty{};
  Guarded([&] { ConvTo8bit(&empty, &out, 0); });
  EXPECT_FALSE(ErrNone());
  EXPECT_EQ(PalCurrentState(), nullptr);  // freed on the failing path too
  ErrClear();
  ImgFree(&img);
}
