// Text sprites and the fonts of the drawing layer: metrics against the
// published Arial widths, sprite geometry against independent pixel rules,
// reference renderings, and the text exports called in process so that
// tracked memory and drawing objects can be counted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "oracle_shell.h"
#include "formats/still/png.h"
#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/geometry.h"
#include "image/image.h"
#include "image/text_sprite.h"
#include "gdi_objects.h"
#include "platform/gdi/gdi.h"
#include "host_tools.h"
#include "test_temp.h"
#include "vek/vek.h"
#include "windows_skip.h"

namespace vek::test {
namespace {

using namespace vek::gdi;

struct TextTest : ::testing::Test {
  int objects = 0;
  void SetUp() override {
    ErrClear();
    objects = LiveObjectCount();
  }
  void TearDown() override {
    EXPECT_EQ(MemCount(), 0) << MemLeakReport();
    EXPECT_EQ(LiveObjectCount(), objects) << "drawing objects left";
  }
};

QTextParams Defaults() {
  QTextParams p;
  Text_InitParams(&p);
  return p;
}

// The extent the drawing layer measures for a font request.
SIZE Measure(const char* face, int height, int weight, const std::string& text) {
  HDC dc = CreateCompatibleDC(nullptr);
  HFONT font = CreateFont(height, 0, 0, 0, weight, 0, 0, 0, 0, OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS,
                          DRAFT_QUALITY, 0, face);
  SIZE s{-1, -1};
  if (font) {
    HGDIOBJ old = SelectObject(dc, font);
    vek::gdi::GetTextExtentPoint32(dc, text.data(), static_cast<int>(text.size()), &s);
    SelectObject(dc, old);
    DeleteObject(font);
  }
  DeleteDC(dc);
  return s;
}

// ---- the drawing layer ----

TEST_F(TextTest, FreshMemoryContextMakesMonochromeBitmapsWithWordRows) {
  HDC dc = CreateCompatibleDC(nullptr);
  ASSERT_TRUE(dc);
  EXPECT_EQ(GetDeviceCaps(dc, LOGPIXELSY), 96);
  HBITMAP bmp = CreateCompatibleBitmap(dc, 20, 3);
  ASSERT_TRUE(bmp);
  BITMAP bm{};
  ASSERT_EQ(vek::gdi::GetObject(bmp, sizeof bm, &bm), static_cast<int>(sizeof bm));
  EXPECT_EQ(bm.bmBitsPixel, 1);
  EXPECT_EQ(bm.bmWidthBytes, 4);  // 20 bits padded to a 16-bit word boundary
  HGDIOBJ old = SelectObject(dc, bmp);
  ASSERT_TRUE(old);
  // A compatible bitmap of a context holding a monochrome bitmap is monochrome too.
  HBITMAP again = CreateCompatibleBitmap(dc, 8, 1);
  ASSERT_EQ(vek::gdi::GetObject(again, sizeof bm, &bm), static_cast<int>(sizeof bm));
  EXPECT_EQ(bm.bmBitsPixel, 1);
  DeleteObject(again);

  HBRUSH white = CreateSolidBrush(0xFFFFFF), dark = CreateSolidBrush(0x202020);
  RECT all{0, 0, 20, 3}, part{3, 1, 18, 2};
  FillRect(dc, &all, dark);  // dark colours become clear bits
  FillRect(dc, &part, white);
  uint8_t bits[12] = {};
  EXPECT_EQ(GetBitmapBits(bmp, sizeof bits, bits), 12);
  const uint8_t want[12] = {0, 0, 0, 0, 0x1F, 0xFF, 0xC0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(bits, want, sizeof want));
  EXPECT_EQ(GetPixel(dc, 3, 1), 0xFFFFFFu);
  EXPECT_EQ(GetPixel(dc, 2, 1), 0u);
  DeleteObject(white);
  DeleteObject(dark);

  // Colour to monochrome: pixels of the source's background colour become set bits.
  BITMAPINFO info{};
  info.bmiHeader = {40, 4, -1, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* pixels = nullptr;
  HBITMAP colour = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
  ASSERT_TRUE(colour);
  const uint8_t row[12] = {1, 2, 3, 9, 9, 9, 1, 2, 3, 0, 0, 0};
  std::memcpy(pixels, row, sizeof row);
  HDC src = CreateCompatibleDC(nullptr);
  HGDIOBJ old_src = SelectObject(src, colour);
  SetBkColor(src, 0x010203);  // red 3, green 2, blue 1
  ASSERT_TRUE(BitBlt(dc, 0, 0, 4, 1, src, 0, 0, SRCCOPY));
  GetBitmapBits(bmp, sizeof bits, bits);
  EXPECT_EQ(bits[0] >> 4, 0xA);  // 1010
  // Monochrome to colour: clear bits take the text colour, set bits the background.
  SetTextColor(src, 0x0000FF);
  SetBkColor(src, 0x00FF00);
  ASSERT_TRUE(BitBlt(src, 0, 0, 4, 1, dc, 0, 0, SRCCOPY));
  EXPECT_EQ(GetPixel(src, 0, 0), 0x00FF00u);
  EXPECT_EQ(GetPixel(src, 1, 0), 0x0000FFu);
  SelectObject(src, old_src);
  DeleteDC(src);
  DeleteObject(colour);

  EXPECT_FALSE(DeleteObject(bmp)) << "still selected";
  SelectObject(dc, old);
  EXPECT_TRUE(DeleteObject(bmp));
  DeleteDC(dc);
}

TEST_F(TextTest, FontsMeasureWithArialMetrics) {
  // Arial's advance widths (units of 2048): H 1479, e 1139, l 455, o 1139;
  // its Windows ascent and descent 1854 and 434. The metric-compatible face
  // must give the same within hinting: 36.5 x 17.9 pixels at 16 pixels per em.
  const SIZE hello = Measure("Arial", -16, FW_NORMAL, "Hello");
  std::printf("Hello in Arial 12 points: %d x %d\n", hello.cx, hello.cy);
  EXPECT_NEAR(hello.cx, 36.5, 2.0);
  EXPECT_EQ(hello.cy, 17);  // 14.48 + 3.39, each rounded as Windows rounds tmAscent and tmDescent

  // No kerning: a pair measures as the sum of its letters.
  const SIZE av = Measure("Arial", -40, FW_NORMAL, "AV");
  EXPECT_EQ(av.cx, Measure("Arial", -40, FW_NORMAL, "A").cx + Measure("Arial", -40, FW_NORMAL, "V").cx);
  // The three classic faces resolve to different metric-compatible fonts.
  const SIZE mono_i = Measure("Courier New", -20, FW_NORMAL, "iiii");
  const SIZE mono_w = Measure("Courier New", -20, FW_NORMAL, "WWWW");
  EXPECT_EQ(mono_i.cx, mono_w.cx) << "Courier New is monospaced";
  EXPECT_NEAR(mono_i.cx, 4 * 1229 * 20 / 2048.0, 4.0);
  const SIZE times = Measure("Times New Roman", -20, FW_NORMAL, "Hello");
  EXPECT_NE(times.cx, Measure("Arial", -20, FW_NORMAL, "Hello").cx);
  EXPECT_GT(Measure("Arial", -20, FW_BOLD, "Hello").cx, Measure("Arial", -20, FW_NORMAL, "Hello").cx);
  // A positive height is the cell height.
  EXPECT_EQ(Measure("Arial", 30, FW_NORMAL, "x").cy, 30);
  // Unknown faces fall back to an installed one; rotated text is refused.
  EXPECT_GT(Measure("No Such Face At All", -16, FW_NORMAL, "Hello").cx, 0);
  EXPECT_EQ(CreateFont(-16, 0, 900, 900, 400, 0, 0, 0, 0, 0, 0, 0, 0, "Arial"), nullptr);
  // Latin-1 letters have glyphs of their own: not the width of the missing-glyph box.
  EXPECT_NE(Measure("Arial", -40, FW_NORMAL, "\xE9").cx, Measure("Arial", -40, FW_NORMAL, "\x01").cx);
}

TEST_F(TextTest, TextOutFillsTheCellOnlyWhenOpaque) {
  BITMAPINFO info{};
  info.bmiHeader = {40, 80, -30, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* pixels = nullptr;
  HBITMAP surface = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
  ASSERT_TRUE(surface);
  std::memset(pixels, 0x55, 240 * 30);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old_bitmap = SelectObject(dc, surface);
  HFONT font = CreateFont(-16, 0, 0, 0, FW_NORMAL, 0, 0, 0, 0, OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS,
                          DRAFT_QUALITY, 0, "Arial");
  HGDIOBJ old_font = SelectObject(dc, font);
  EXPECT_FALSE(DeleteObject(font)) << "selected fonts stay";
  SIZE s{};
  ASSERT_TRUE(vek::gdi::GetTextExtentPoint32(dc, "Hi", 2, &s));
  SetTextColor(dc, 0x0000FF);
  SetBkColor(dc, 0x00FF00);
  EXPECT_EQ(SetBkMode(dc, TRANSPARENT), OPAQUE);
  vek::gdi::TextOut(dc, 0, 0, "Hi", 2);
  int red = 0, green = 0, grey = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 80; ++x) {
      const COLORREF c = GetPixel(dc, x, y);
      red += c == 0x0000FF, green += c == 0x00FF00, grey += c == 0x555555;
    }
  EXPECT_GT(red, 20);
  EXPECT_EQ(green, 0);
  SetBkMode(dc, OPAQUE);
  vek::gdi::TextOut(dc, 0, 0, "Hi", 2);
  int green2 = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 80; ++x) green2 += GetPixel(dc, x, y) == 0x00FF00;
  EXPECT_EQ(green2, s.cx * s.cy - red) << "the cell is background where no ink is";
  EXPECT_EQ(GetPixel(dc, s.cx, 0), 0x555555u);
  EXPECT_EQ(GetPixel(dc, 0, s.cy), 0x555555u);
  SelectObject(dc, old_font);
  SelectObject(dc, old_bitmap);
  DeleteDC(dc);
  EXPECT_TRUE(DeleteObject(font));
  DeleteObject(surface);
}

using vektest::Shell;

TEST_F(TextTest, GlyphInkMatchesAnotherRasteriser) {
  // ImageMagick renders the file fontconfig names for "Arial" without
  // smoothing; the ink of each glyph must cover the same box within hinting.
  const std::string file = Shell("fc-match -f '%{file}' Arial 2>/dev/null");
  if (file.empty() || ::vektest::RunShell("convert -version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << VEK_ORACLE_SKIP << "fc-match or ImageMagick missing";
  BITMAPINFO info{};
  info.bmiHeader = {40, 120, -120, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* pixels = nullptr;
  HBITMAP surface = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old_bitmap = SelectObject(dc, surface);
  HFONT font = CreateFont(-40, 0, 0, 0, FW_NORMAL, 0, 0, 0, 0, OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS,
                          DRAFT_QUALITY, 0, "Arial");
  HGDIOBJ old_font = SelectObject(dc, font);
  for (const char* glyph : {"H", "g", "Q", "&", "W"}) {
    RECT all{0, 0, 120, 120};
    HBRUSH white = CreateSolidBrush(0xFFFFFF);
    FillRect(dc, &all, white);
    DeleteObject(white);
    vek::gdi::TextOut(dc, 20, 20, glyph, 1);
    int x0 = 999, y0 = 999, x1 = -1, y1 = -1;
    for (int y = 0; y < 120; ++y)
      for (int x = 0; x < 120; ++x)
        if (GetPixel(dc, x, y) == 0) x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    int w = 0, h = 0;
    const std::string size = Shell("convert -font '" + file + "' -density 72 -pointsize 40 +antialias 'label:" +
                                   glyph + "' -trim -format '%w %h' info: 2>/dev/null");
    ASSERT_EQ(std::sscanf(size.c_str(), "%d %d", &w, &h), 2) << size;
    EXPECT_NEAR(x1 - x0 + 1, w, 1) << glyph;
    EXPECT_NEAR(y1 - y0 + 1, h, 1) << glyph;
  }
  SelectObject(dc, old_font);
  SelectObject(dc, old_bitmap);
  DeleteDC(dc);
  DeleteObject(font);
  DeleteObject(surface);
}

// ---- sprites ----

// Pixel counts of an 8-bit sprite by index.
std::vector<int> Histogram(const QImg& img) {
  std::vector<int> h(256, 0);
  for (int32_t i = 0; i < img.size; ++i) ++h[img.pixels[i]];
  return h;
}

TEST_F(TextTest, PlainSpriteIsPaddedTo32PixelsAndKeepsTheMeasuredExtent) {
  QTextParams p = Defaults();
  for (const char* text : {"i", "Hello", "Hello, world", "ABCDEFGHIJKLMNOP", "ij"}) {
    QImg sprite{};
    ImgGuard g(sprite);
    Text_MakeSprite(&sprite, text, &p);
    ASSERT_TRUE(ErrNone());
    int32_t w = 0, h = 0;
    Text_GetExtents(text, &p, &w, &h);
    EXPECT_EQ(sprite.width, (w + 31) / 32 * 32) << text;
    EXPECT_EQ(sprite.height, h);
    EXPECT_EQ(sprite.bits, 8);
    // Only two indices, and no text beyond the measured width.
    const std::vector<int> hist = Histogram(sprite);
    EXPECT_GT(hist[1], 0);
    EXPECT_EQ(hist[0] + hist[1], sprite.size);
    for (int32_t y = 0; y < sprite.height; ++y)
      for (int32_t x = w + 1; x < sprite.width; ++x)
        EXPECT_EQ(sprite.pixels[y * sprite.width + x], 0) << text << " at " << x;
    // Palette: background white, text black, shadow grey (blue, green, red).
    EXPECT_EQ(sprite.palette[0], 0xFF);
    EXPECT_EQ(sprite.palette[3], 0x00);
    EXPECT_EQ(sprite.palette[6], 0x80);
  }
  // A text of 50 pixels gives a 64-pixel sprite.
  std::string text;
  int32_t w = 0, h = 0;
  for (const char* probe : {"Hello", "Hello!", "Helloo", "Hellooo", "HHHH", "mmmm", "ttttttttt"}) {
    Text_GetExtents(probe, &p, &w, &h);
    if (w > 32 && w <= 64) {
      text = probe;
      break;
    }
  }
  ASSERT_FALSE(text.empty());
  QImg sprite{};
  ImgGuard g(sprite);
  Text_CreateSprite(&sprite, text, &p);
  EXPECT_EQ(p.sprite_width, 64);
  EXPECT_EQ(p.text_width, w);
  Text_GetExtents("", &p, &w, &h);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
}

// The plain sprite of a record, for comparisons.
QImg Plain(QTextParams p, const std::string& text) {
  p.shadow_mode = kTextShadowNone;
  QImg img{};
  Text_CreateSprite(&img, text, &p);
  return img;
}

TEST_F(TextTest, DropShadowGrowsTheSpriteAndLiesBehindTheText) {
  for (int d : {2, -2}) {
    QTextParams p = Defaults();
    p.shadow_mode = kTextShadowDrop;
    p.shadow_x = p.shadow_y = d;
    QImg plain = Plain(p, "Shadow");
    ImgGuard gp(plain);
    QImg img{};
    ImgGuard g(img);
    Text_CreateSprite(&img, "Shadow", &p);
    ASSERT_EQ(img.width, plain.width + 2);
    ASSERT_EQ(img.height, plain.height + 2);
    EXPECT_EQ(p.sprite_width, img.width);
    const int tx = d > 0 ? 0 : 2, sx = d > 0 ? 2 : 0;  // where text and shadow start
    for (int32_t y = 0; y < img.height; ++y)
      for (int32_t x = 0; x < img.width; ++x) {
        auto at = [&](int ox, int oy) {
          const int px = x - ox, py = y - oy;
          return px >= 0 && py >= 0 && px < plain.width && py < plain.height &&
                 plain.pixels[py * plain.width + px] == 1;
        };
        const int want = at(tx, tx) ? 1 : at(sx, sx) ? 2 : 0;
        ASSERT_EQ(img.pixels[y * img.width + x], want) << "d=" << d << " at " << x << "," << y;
      }
  }
}

TEST_F(TextTest, BorderOutlinesEveryGlyph) {
  QTextParams p = Defaults();
  p.shadow_mode = kTextShadowBorder;
  p.shadow_x = 1;
  p.shadow_y = 1;
  QImg plain = Plain(p, "Border");
  ImgGuard gp(plain);
  QImg img{};
  ImgGuard g(img);
  Text_CreateSprite(&img, "Border", &p);
  ASSERT_EQ(img.width, plain.width + 2);
  ASSERT_EQ(img.height, plain.height + 2);
  for (int32_t y = 0; y < img.height; ++y)
    for (int32_t x = 0; x < img.width; ++x) {
      bool text = false, beside = false;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const int px = x - 1 + dx, py = y - 1 + dy;
          if (px < 0 || py < 0 || px >= plain.width || py >= plain.height) continue;
          const bool ink = plain.pixels[py * plain.width + px] == 1;
          beside |= ink;
          if (dx == 0 && dy == 0) text = ink;
        }
      ASSERT_EQ(img.pixels[y * img.width + x], text ? 1 : beside ? 2 : 0) << x << "," << y;
    }
  // A wide, uneven border matches stamping at every offset.
  p.shadow_x = 4;
  p.shadow_y = -2;
  Text_CreateSprite(&img, "Border", &p);
  ASSERT_EQ(img.width, plain.width + 8);
  ASSERT_EQ(img.height, plain.height + 4);
  std::vector<uint8_t> stamped(static_cast<size_t>(img.size), 0);
  for (int32_t y = 0; y < plain.height; ++y)
    for (int32_t x = 0; x < plain.width; ++x)
      if (plain.pixels[y * plain.width + x] == 1)
        for (int i = 0; i <= 4; ++i)
          for (int j = 0; j <= 8; ++j) stamped[(y + i) * img.width + x + j] = 2;
  for (int32_t y = 0; y < plain.height; ++y)
    for (int32_t x = 0; x < plain.width; ++x)
      if (plain.pixels[y * plain.width + x] == 1) stamped[(y + 2) * img.width + x + 4] = 1;
  EXPECT_TRUE(std::equal(stamped.begin(), stamped.end(), img.pixels));
}

TEST_F(TextTest, TransparentBackgroundTakesAFreeIndexAndColour) {
  QTextParams p = Defaults();
  p.fg_index = 0;
  p.sh_index = 1;
  QImg img{};
  ImgGuard g(img);
  Text_CreateSprite(&img, "Index", &p);
  EXPECT_EQ(p.bk_index, 2);
  const std::vector<int> hist = Histogram(img);
  EXPECT_EQ(hist[0] + hist[2], img.size);

  // Default colours on a 24-bit image: 0 is the text colour, so the background is 64.
  p = Defaults();
  QImg page{};
  ImgGuard gpage(page);
  ImgAlloc(&page, 120, 40, 24, 1, "Test.page");
  // The page itself in the key colour (red 64): it must not matter.
  for (int32_t i = 0; i < page.size; i += 3) page.pixels[i] = 0, page.pixels[i + 1] = 0, page.pixels[i + 2] = 0x40;
  std::vector<uint8_t> before(page.pixels, page.pixels + page.size);
  Text_Out(&page, "Text", 5, 3, &p);
  ASSERT_TRUE(ErrNone());
  EXPECT_EQ(p.bk_color, 64);
  int black = 0, changed = 0;
  for (int32_t i = 0; i < page.size; i += 3) {
    if (page.pixels[i] == 0 && page.pixels[i + 1] == 0 && page.pixels[i + 2] == 0) ++black;
    if (std::memcmp(page.pixels + i, before.data() + i, 3) != 0) ++changed;
  }
  EXPECT_GT(black, 20);
  EXPECT_EQ(black, changed) << "only text pixels change";
  // Nothing outside the sprite's rectangle.
  for (int32_t y = 0; y < page.height; ++y) {
    for (int32_t x = 0; x < page.width; ++x) {
      if (x >= 5 && y >= 3 && x < 5 + p.sprite_width && y < 3 + p.sprite_height) continue;
      const int32_t at = 3 * (y * page.width + x);
      ASSERT_EQ(0, std::memcmp(page.pixels + at, before.data() + at, 3)) << x << "," << y;
    }
  }
}

TEST_F(TextTest, OpaqueTextInto8BitImagesBringsItsPalette) {
  QTextParams p = Defaults();
  p.transparent = 0;
  p.fg_color = 0x0000FF;  // red text on yellow
  p.bk_color = 0x00FFFF;
  QImg page{};
  ImgGuard g(page);
  ImgAlloc(&page, 100, 40, 8, 1, "Test.page");
  std::memset(page.pixels, 7, static_cast<size_t>(page.size));
  for (int i = 0; i < 768; ++i) page.palette[i] = static_cast<uint8_t>(i);
  Text_Out(&page, "Red", 10, 10, &p);
  ASSERT_TRUE(ErrNone());
  QImg sprite = Plain(p, "Red");
  ImgGuard gs(sprite);
  EXPECT_EQ(0, std::memcmp(page.palette, sprite.palette, 768));
  EXPECT_EQ(page.palette[3 * 1 + 2], 0xFF);  // text index: red
  EXPECT_EQ(page.palette[3 * 0 + 1], 0xFF);  // background index: yellow
  for (int32_t y = 0; y < sprite.height; ++y)
    ASSERT_EQ(0, std::memcmp(page.pixels + (y + 10) * 100 + 10, sprite.pixels + y * sprite.width,
                             static_cast<size_t>(std::min(sprite.width, 90))));
  EXPECT_EQ(page.pixels[0], 7);
}

TEST_F(TextTest, TransparentTextOnOtherDepthsLeavesTheBackground) {
  // A 24-bit sprite placed with a key colour: images of other depths come out 24-bit.
  for (int bits : {8, 15, 16, 32}) {
    QTextParams p = Defaults();
    p.fg_color = 0xFFFFFF;
    p.sh_color = 0x000000;
    p.shadow_mode = kTextShadowDrop;
    QImg page{}, before{};
    ImgGuard g(page), gb(before);
    ImgAlloc(&page, 90, 40, bits, 1, "Test.page");
    std::memset(page.pixels, bits == 15 ? 0x21 : 0x23, static_cast<size_t>(page.size));
    ImgCopy(&page, &before);
    Text_Out(&page, "Key", 2, 2, &p);
    ASSERT_TRUE(ErrNone()) << bits;
    EXPECT_EQ(page.bits, bits == 8 ? 8 : 24);
    if (before.bits != page.bits) ImgConvBpp(&before, &before, page.bits);
    int32_t same = 0;
    for (int32_t i = 0; i < page.size; ++i) same += page.pixels[i] == before.pixels[i];
    EXPECT_GT(same, page.size * 3 / 4) << bits << "-bit background kept";
    EXPECT_LT(same, page.size) << bits << "-bit text drawn";
    EXPECT_EQ(p.bk_color, bits == 8 ? 0xFFFFFF : 64);
  }
}

TEST_F(TextTest, EmptyTextsAndBadRecordsDrawNothing) {
  QTextParams p = Defaults();
  QImg page{};
  ImgGuard g(page);
  ImgAlloc(&page, 20, 20, 24, 1, "Test.page");
  std::memset(page.pixels, 9, static_cast<size_t>(page.size));
  Text_Out(&page, "", 0, 0, &p);
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(p.sprite_width, 0);
  EXPECT_EQ(page.pixels[0], 9);
  // Offsets beyond any image size are refused, not allocated.
  p.shadow_mode = kTextShadowBorder;
  p.shadow_x = INT32_MIN;
  MonitoredBoundary("Test.Try", [&] { Text_Out(&page, "x", 0, 0, &p); });
  EXPECT_FALSE(ErrNone());
  ErrClear();
  // Indices outside the palette are taken by their low byte.
  p = Defaults();
  p.fg_index = 257;
  QImg img{};
  ImgGuard gi(img);
  Text_CreateSprite(&img, "x", &p);
  EXPECT_GT(Histogram(img)[1], 0);
}

// ---- renderings: looked at, and kept as references ----

const std::string kRef = std::string(VEK_TEST_DATA) + "/text/";

// Draws `lines` of (record, text) one under another on a light page.
QImg Sheet(int width, const std::vector<std::pair<QTextParams, std::string>>& lines) {
  int height = 4;
  for (const auto& [p, text] : lines) {
    QTextParams q = p;
    int32_t w, h;
    Text_GetExtents(text, &q, &w, &h);
    height += h + 6 + std::abs(q.shadow_y) * 2;
  }
  QImg page{};
  ImgAlloc(&page, width, height, 24, 1, "Test.sheet");
  for (int32_t i = 0; i < page.size; i += 3) page.pixels[i] = 0xE0, page.pixels[i + 1] = 0xF0, page.pixels[i + 2] = 0xF8;
  int y = 4;
  for (const auto& [p, text] : lines) {
    QTextParams q = p;
    Text_Out(&page, text, 4, y, &q);
    EXPECT_TRUE(ErrNone()) << text;
    y += q.text_height + 6 + std::abs(q.shadow_y) * 2;
  }
  return page;
}

QTextParams Style(const char* face, int size, int style, int mode = 0, int off = 2) {
  QTextParams p = Defaults();
  Text_SetFontName(&p, face);
  p.size = size;
  p.style = style;
  p.shadow_mode = mode;
  p.shadow_x = p.shadow_y = off;
  p.fg_color = 0x202080;
  p.sh_color = 0xC0A060;
  return p;
}

QTextParams Opaque(QTextParams p) {
  p.transparent = 0;
  p.fg_color = 0xFFFFFF;
  p.bk_color = 0x804000;
  return p;
}

std::vector<std::pair<QTextParams, std::string>> StylesSheet() {
  const std::string latin = "Gr\xFC\xDF" "e \xE0 \xE9t\xE9, \xC7" "a va? \xA9\xAE\xB0 \xBD\xBC \xD8\xE6\xF1";
  return {
      {Style("Arial", 12, 0), "Arial 12: Hello, world!"},
      {Style("Arial", 12, kTextBold), "Arial 12 bold"},
      {Style("Arial", 12, kTextItalic), "Arial 12 italic"},
      {Style("Arial", 12, kTextUnderline), "Arial 12 underlined gjpqy"},
      {Style("Arial", 12, kTextStrikeOut), "Arial 12 struck out"},
      {Style("Times New Roman", 16, kTextBold | kTextItalic), "Times 16 bold italic"},
      {Style("Courier New", 14, 0), "Courier 14: 0123456789"},
      {Style("Arial", 20, kTextBold, kTextShadowDrop, 2), "Drop shadow (2, 2)"},
      {Style("Arial", 20, kTextBold, kTextShadowDrop, -3), "Drop shadow (-3, -3)"},
      {Style("Arial", 20, kTextBold, kTextShadowBorder, 1), "Border 1"},
      {Style("Arial", 16, kTextBold | kTextItalic | kTextUnderline, kTextShadowBorder, 2), "Border 2, bold italic underlined"},
      {Opaque(Style("Courier New", 12, kTextBold)), "Opaque Courier 12 bold"},
      {Style("Times New Roman", 14, 0), latin},
      {Style("Arial", 8, 0), "Arial 8: " + latin},
  };
}

std::vector<std::pair<QTextParams, std::string>> SizesSheet() {
  std::vector<std::pair<QTextParams, std::string>> lines;
  for (int size : {8, 10, 12, 18, 24, 36, 48, 72})
    lines.push_back({Style("Arial", size, 0), "Size " + std::to_string(size) + " \xC5\xE9\xFC"});
  return lines;
}

// Share of differing pixels between a rendering and its reference.
double Difference(QImg& page, const std::string& name) {
  const std::string path = kRef + name;
  if (const char* regen = std::getenv("VEK_TEXT_REGEN"); regen && *regen) PNGSave(path, page);
  QImg ref{};
  ImgGuard g(ref);
  PNGLoad(path, ref);
  if (ref.width != page.width || ref.height != page.height || ref.bits != 24) return 1.0;
  int64_t differ = 0;
  for (int32_t i = 0; i < page.size; i += 3) differ += std::memcmp(page.pixels + i, ref.pixels + i, 3) != 0;
  return static_cast<double>(differ) / (page.size / 3);
}

TEST_F(TextTest, RenderingsMatchTheReferences) {
  // Text is drawn at each style, size and shadow; the references were looked
  // at. A small share may differ between FreeType versions (hinting).
  QImg styles = Sheet(420, StylesSheet());
  ImgGuard g1(styles);
  QImg sizes = Sheet(720, SizesSheet());
  ImgGuard g2(sizes);
  if (const char* show = std::getenv("VEK_TEXT_SHOW"); show && *show) {
    PNGSave(std::string(show) + "/styles.png", styles);
    PNGSave(std::string(show) + "/sizes.png", sizes);
  }
  EXPECT_LT(Difference(styles, "styles.png"), 0.01);
  EXPECT_LT(Difference(sizes, "sizes.png"), 0.01);
}

// ---- the exports in process, where memory and objects can be counted ----

TEST_F(TextTest, ExportsReleaseWhatTheyTake) {
  VekLastError e{};
  VekTextParams* t = VekTextAlloc();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->shadowX, 2);
  EXPECT_EQ(t->shadowMode, 0);
  EXPECT_EQ(std::string(t->fontName, t->fontNameLen), "Arial");
  VekTextSetFont(t, "Times New Roman", 18, 0xFF);
  EXPECT_EQ(t->style, 15);
  VekTextShadow(t, 2, 1, 1);
  VekTextShadow(t, 7, 3, 4);
  EXPECT_EQ(t->shadowMode, 2) << "mode 7 keeps the previous mode";
  EXPECT_EQ(t->shadowY, 4);
  VekTextSetColor(t, 0x0000FF, 0x00FF00, 0xFF0000, 5);
  EXPECT_EQ(t->transparent, -1);

  QImg page{};
  ImgAlloc(&page, 200, 60, 8, 1, "Test.page");
  VekTextOut(reinterpret_cast<VekImage*>(&page), t, 3, 3, "Exports");
  VekGetLastError(&e);
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(page.bits, 24) << "drawn on a 24-bit copy";
  int32_t w = 0, h = 0;
  VekTextGetExtents(t, "Exports", &w, &h);
  EXPECT_GT(w, 0);
  EXPECT_EQ(w, t->textWidth);
  ImgFree(&page);

  // A face name longer than the record holds is cut to 32 characters.
  VekTextSetFont(t, "An Extraordinarily Long Font Family Name Indeed", 12, 0);
  EXPECT_EQ(t->fontNameLen, 32);
  VekTextGetExtents(t, "fallback face", &w, &h);
  EXPECT_GT(w, 0);
  VekTextFree(t);
  VekTextFree(nullptr);
  VekGetLastError(&e);
  EXPECT_EQ(e.status, 0);
}

}  // namespace
}  // namespace vek::test
