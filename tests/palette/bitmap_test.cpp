#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/bitmap_exchange.h"
#include "image/image.h"
#include "image/palette.h"
#include "gdi_objects.h"
#include "platform/gdi/gdi.h"
#include "windows_skip.h"

using namespace vek;
using namespace vek::gdi;

namespace {

#ifdef _WIN32
// Windows' screen is the one Wine offers: the cases that need another are
// the in-memory drawing layer's.
struct ScreenCaps {
  int bits = 32;
  bool palette = false;
  bool dib_to_device = true;
};
void SetScreenCaps(const ScreenCaps&) {}
#endif

struct BitmapTest : ::testing::Test {
  int objects = 0;
  void SetUp() override {
    ErrClear();
    SetScreenCaps({});
    objects = LiveObjectCount();
  }
  void TearDown() override {
    PalPutDone();
    SetScreenCaps({});
    EXPECT_EQ(LiveObjectCount(), objects) << "graphics objects left";
    EXPECT_EQ(MemCount(), 0) << MemLeakReport();
  }
};

// A picture whose pixel (x, y) has a colour that names it; multiples of 8 so
// every depth keeps it.
uint32_t Colour(int x, int y) { return (uint32_t(8 * x) << 16) | (uint32_t(8 * y) << 8) | 0x40; }

QImg Picture(int w, int h, int bits) {
  QImg img24{};
  ImgAlloc(&img24, w, h, 24, 1, "test.pic");
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = img24.pixels + 3 * (y * w + x);
      const uint32_t c = Colour(x, y);
      p[0] = c & 0xFF, p[1] = (c >> 8) & 0xFF, p[2] = (c >> 16) & 0xFF;
    }
  if (bits == 24) return img24;
  QImg out{};
  if (bits == 8)
    ConvTo8bit(&img24, &out, kRemapPlain);
  else
    ImgConvBpp(&img24, &out, bits);
  ImgFree(&img24);
  return out;
}

bool SameImage(const QImg& a, const QImg& b) {
  return a.width == b.width && a.height == b.height && a.bits == b.bits && a.size == b.size &&
         std::memcmp(a.pixels, b.pixels, a.size) == 0 &&
         (a.bits != 8 || std::memcmp(a.palette, b.palette, 768) == 0);
}

// A 32-bit DIB section selected into a memory context, filled with one colour.
struct Surface {
  HDC dc = nullptr;
  HBITMAP bmp = nullptr;
  HGDIOBJ old = nullptr;
  uint8_t* bits = nullptr;
  int w, h;
  Surface(int width, int height, uint32_t fill) : w(width), h(height) {
    BITMAPINFO info{};
    info.bmiHeader = {40, w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    dc = CreateCompatibleDC(nullptr);
    void* p = nullptr;
    bmp = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &p, nullptr, 0);
    bits = static_cast<uint8_t*>(p);
    for (int i = 0; i < w * h; ++i) std::memcpy(bits + 4 * i, &fill, 4);
    old = SelectObject(dc, bmp);
  }
  ~Surface() {
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(bmp);
  }
  uint32_t At(int x, int y) const {
    const COLORREF c = GetPixel(dc, x, y);  // 0x00BBGGRR
    return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
  }
};

template <class F>
void Guarded(F&& f) {
  MonitoredBoundary("Test.Guarded", f);
}

}  // namespace

TEST_F(BitmapTest, PackedBitmapsAreRead) {
  // Bottom-up 24-bit 3 x 2 (stride 12): the image's first row is the bitmap's last.
  std::vector<uint8_t> dib(40 + 24, 0);
  BITMAPINFOHEADER h{40, 3, 2, 1, 24, BI_RGB, 24, 0, 0, 0, 0};
  std::memcpy(dib.data(), &h, 40);
  for (int i = 0; i < 9; ++i) dib[40 + i] = static_cast<uint8_t>(i + 1);        // bottom row
  for (int i = 0; i < 9; ++i) dib[40 + 12 + i] = static_cast<uint8_t>(i + 101);  // top row
  QImg img{};
  DibToQimgEx(&img, dib.data(), static_cast<int64_t>(dib.size()));
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  EXPECT_EQ(img.width, 3);
  EXPECT_EQ(img.size, 18);
  EXPECT_EQ(img.pixels[0], 101);
  EXPECT_EQ(img.pixels[9], 1);
  // The same rows top-down (negative height) keep their order.
  h.biHeight = -2;
  std::memcpy(dib.data(), &h, 40);
  DibToQimg(&img, dib.data());
  EXPECT_EQ(img.pixels[0], 1);

  // 16 bits without masks are 5-5-5; an 8-bit table of used count 0 has 256 entries.
  std::vector<uint8_t> d16(40 + 4, 0);
  BITMAPINFOHEADER h16{40, 1, 1, 1, 16, BI_RGB, 4, 0, 0, 0, 0};
  std::memcpy(d16.data(), &h16, 40);
  d16[40] = 0x19, d16[41] = 0x06;
  DibToQimg(&img, d16.data());
  EXPECT_EQ(img.bits, 15);
  std::vector<uint8_t> d8(40 + 1024 + 4, 0);
  BITMAPINFOHEADER h8{40, 2, 1, 1, 8, BI_RGB, 4, 0, 0, 0, 0};
  std::memcpy(d8.data(), &h8, 40);
  d8[40 + 4 * 255] = 9, d8[40 + 4 * 255 + 2] = 7;  // entry 255: blue 9, red 7
  d8[40 + 1024] = 255;
  DibToQimg(&img, d8.data());
  EXPECT_EQ(img.bits, 8);
  EXPECT_EQ(img.pixels[0], 255);
  EXPECT_EQ(img.palette[765], 9);
  EXPECT_EQ(img.palette[767], 7);
  // A used count of 2 puts the bits right after two entries.
  h8.biClrUsed = 2;
  std::memcpy(d8.data(), &h8, 40);
  d8[48] = 1;
  DibToQimgEx(&img, d8.data(), 48 + 4);
  EXPECT_EQ(img.pixels[0], 1);
  ImgFree(&img);

  // Truncated blocks and bad headers are refused, nothing allocated.
  Guarded([&] { DibToQimgEx(&img, dib.data(), 50); });
  EXPECT_EQ(ErrGroup(), kGrpImage);
  EXPECT_EQ(ErrCode(), 9);
  h.biWidth = -3;
  std::memcpy(dib.data(), &h, 40);
  Guarded([&] { DibToQimgEx(&img, dib.data(), 64); });
  EXPECT_EQ(ErrCode(), 4);
  h = {40, 3, 2, 1, 4, BI_RGB, 0, 0, 0, 0, 0};
  std::memcpy(dib.data(), &h, 40);
  Guarded([&] { DibToQimgEx(&img, dib.data(), 64); });
  EXPECT_EQ(ErrCode(), 1);
  EXPECT_EQ(img.pixels, nullptr);
  ErrClear();
}

TEST_F(BitmapTest, PackedBitmapsRoundTripInEveryDepth) {
  for (int bits : {8, 15, 16, 24, 32}) {
    for (int w : {1, 3, 6}) {
      QImg img = Picture(w, 5, bits);
      HGLOBAL block = nullptr;
      ASSERT_NE(ImgToDIBWin3(&img, &block), 0);
      ASSERT_NE(block, nullptr);
      const auto* p = static_cast<const uint8_t*>(GlobalLock(block));
      BITMAPINFOHEADER h;
      std::memcpy(&h, p, 40);
      EXPECT_EQ(h.biBitCount, bits);  // 15 stays 15
      EXPECT_EQ(h.biHeight, 5);
      const int stride = (w * img.bytespp + 3) / 4 * 4;
      EXPECT_EQ(h.biSizeImage, static_cast<DWORD>(stride * 5));
      if (bits == 8) {
        EXPECT_EQ(h.biSize, 1064u);
        EXPECT_EQ(h.biClrUsed, 256u);
      } else {
        EXPECT_EQ(h.biSize, 40u);
      }
      EXPECT_EQ(h.biCompression, bits == 16 ? BI_BITFIELDS : BI_RGB);
      QImg back{};
      DibToQimgEx(&back, p, static_cast<int64_t>(GlobalSize(block)));
      ASSERT_TRUE(ErrNone()) << ErrMsgLast();
      EXPECT_TRUE(SameImage(img, back)) << bits << " bits, width " << w;
      GlobalUnlock(block);
      GlobalFree(block);
      ImgFree(&back);
      ImgFree(&img);
    }
  }
  // The 40-byte form of an 8-bit bitmap reads like the 1064 one.
  QImg img = Picture(3, 2, 8);
  std::vector<uint8_t> dib(40 + 1024 + 8, 0);
  BITMAPINFOHEADER h{40, 3, -2, 1, 8, BI_RGB, 8, 0, 0, 0, 0};
  std::memcpy(dib.data(), &h, 40);
  for (int i = 0; i < 256; ++i) std::memcpy(&dib[40 + 4 * i], img.palette + 3 * i, 3);
  std::memcpy(&dib[1064], img.pixels, 3);
  std::memcpy(&dib[1068], img.pixels + 3, 3);
  QImg back{};
  DibToQimg(&back, dib.data());
  EXPECT_TRUE(SameImage(img, back));
  ImgFree(&back);
  ImgFree(&img);
}

TEST_F(BitmapTest, BitmapHandlesBothWays) {
  // An 8-bit image becomes a 24-bit DIB section with its palette colours.
  QImg pic8 = Picture(5, 3, 8);
  HBITMAP bmp = nullptr;
  ASSERT_NE(QimgToHBitmap(&pic8, &bmp), 0);
  BITMAP bm{};
  ASSERT_EQ(vek::gdi::GetObject(bmp, sizeof bm, &bm), static_cast<int>(sizeof bm));
  EXPECT_EQ(bm.bmBitsPixel, 24);
  EXPECT_EQ(bm.bmHeight, 3);
  const auto* bits = static_cast<const uint8_t*>(bm.bmBits);
  // Pixel (4, 0) sits in the last stored row (bottom-up, stride 16).
  const uint8_t* e = pic8.palette + 3 * pic8.pixels[4];
  EXPECT_EQ(std::memcmp(bits + 2 * 16 + 12, e, 3), 0);
  QImg back{};
  ASSERT_NE(HBitmapToQimg(bmp, &back), 0);
  QImg pic24{};
  ImgConvBpp(&pic8, &pic24, 24);
  EXPECT_TRUE(SameImage(back, pic24));
  DeleteObject(bmp);

  // Top-down and 8-bit DIB sections come out upright with their colour table.
  struct {
    BITMAPINFOHEADER h;
    RGBQUAD colors[256];
  } info{};
  info.h = {40, 2, -2, 1, 8, BI_RGB, 0, 0, 0, 0, 0};
  info.colors[3] = {30, 20, 10, 0};
  void* p = nullptr;
  bmp = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, &p,
                         nullptr, 0);
  static_cast<uint8_t*>(p)[0] = 3;  // top-left
  ASSERT_NE(HBitmapToQimg(bmp, &back), 0);
  EXPECT_EQ(back.bits, 8);
  EXPECT_EQ(back.pixels[0], 3);
  EXPECT_EQ(back.palette[9], 30);
  EXPECT_EQ(back.palette[11], 10);
  DeleteObject(bmp);

  // Device-dependent rows are word-aligned (3 x 24 bits: 10 bytes) and top-down.
  std::vector<uint8_t> ddb(20, 0);
  ddb[0] = 1, ddb[10] = 2;
  bmp = CreateBitmap(3, 2, 1, 24, ddb.data());
  ASSERT_NE(HBitmapToQimg(bmp, &back), 0);
  EXPECT_EQ(back.bits, 24);
  EXPECT_EQ(back.pixels[0], 1);
  EXPECT_EQ(back.pixels[9], 2);
  DeleteObject(bmp);

  // Device bitmaps give their bits only through GetDIBits.
  HDC screen = GetDC(nullptr);
  bmp = CreateCompatibleBitmap(screen, 4, 3);
  HDC mem = CreateCompatibleDC(screen);
  HGDIOBJ old = SelectObject(mem, bmp);
  QImg pic = Picture(4, 3, 24);
  ImgPut(&pic, mem, 0, 0);
  SelectObject(mem, old);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  ASSERT_NE(HBitmapToQimg(bmp, &back), 0);
  QImg pic32{};
  ImgConvBpp(&pic, &pic32, 32);
  EXPECT_TRUE(SameImage(back, pic32));
  DeleteObject(bmp);

  // Handles that are not ours fail without harm.
  int dummy = 0;
  EXPECT_EQ(HBitmapToQimg(reinterpret_cast<HBITMAP>(&dummy), &back), 0);
  EXPECT_EQ(HBitmapToQimg(nullptr, &back), 0);
  ImgPut(&pic, reinterpret_cast<HDC>(&dummy), 0, 0);
  PalPut(pic8.palette, reinterpret_cast<HDC>(&dummy));
  EXPECT_TRUE(ErrNone());
  for (QImg* i : {&pic8, &back, &pic24, &pic, &pic32}) ImgFree(i);
}

TEST_F(BitmapTest, DrawingClipsTheSourceRectangle) {
  const uint32_t bg = 0x123456;
  // (Windows draws directly; the in-memory layer can be told not to.)
  for (bool direct : kWindowsBuild ? std::vector<bool>{true} : std::vector<bool>{true, false}) {
    SetScreenCaps({32, false, direct});  // without RC_DIBTODEV: through a DIB section
    for (int bits : {8, 15, 16, 24, 32}) {
      QImg pic = Picture(5, 4, bits);  // 5 x 3 bytes: rows need padding
      Surface s(12, 10, bg);
      // (3, 1, 10, 10) is cut to 2 x 3 at the picture's right edge.
      const ImgRect r{3, 1, 10, 10};
      ImgPutEx(&pic, &r, s.dc, 4, 2, 0);
      ASSERT_TRUE(ErrNone()) << ErrMsgLast();
      for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 12; ++x) {
          const bool inside = x >= 4 && x < 6 && y >= 2 && y < 5;
          const uint32_t want = inside ? Colour(3 + x - 4, 1 + y - 2) : bg;
          // Windows' GDI may fill the low bits of 5-bit channels from their high bits.
          const uint32_t mask = kWindowsBuild && inside && (bits == 15 || bits == 16) ? 0xF8F8F8 : 0xFFFFFF;
          ASSERT_EQ(s.At(x, y) & mask, want & mask) << bits << " bits at " << x << "," << y
                                      << (direct ? "" : " (blit)");
        }
      // Origins beyond the picture start at 0; sizes of 0 reach the edge.
      Surface t(6, 5, bg);
      const ImgRect beyond{7, 9, 0, 2};
      ImgPutEx(&pic, &beyond, t.dc, 0, 0, 0);
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
          const bool inside = x < 5 && y < 2;
          const uint32_t mask = kWindowsBuild && inside && (bits == 15 || bits == 16) ? 0xF8F8F8 : 0xFFFFFF;
          ASSERT_EQ(t.At(x, y) & mask, (inside ? Colour(x, y) : bg) & mask) << x << "," << y;
        }
      ImgFree(&pic);
    }
  }
  // An empty image draws nothing.
  Surface s(2, 2, bg);
  QImg empty{};
  ImgPut(&empty, s.dc, 0, 0);
  EXPECT_EQ(s.At(0, 0), bg);
  EXPECT_TRUE(ErrNone());
}

TEST_F(BitmapTest, PaletteDevicesDrawThroughTheRealisedPalette) {
  VEK_SKIP_ON_WINDOWS("an 8-bit palette screen is simulated by the in-memory drawing layer only");
  SetScreenCaps({8, true, true});
  QImg pic = Picture(6, 4, 24);
  Surface s(6, 4, 0);
  ASSERT_NE(GetDeviceCaps(s.dc, RASTERCAPS) & RC_PALETTE, 0);
  const int before = LiveObjectCount();
  ImgPut(&pic, s.dc, 0, 0);  // reduced to 8 bits, its palette realised
  EXPECT_EQ(LiveObjectCount(), before + 1);  // the library's one palette object
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) ASSERT_EQ(s.At(x, y), Colour(x, y)) << x << "," << y;
  // An 8-bit image is drawn with the last palette put; PalPut replaces it.
  QImg pic8 = Picture(6, 4, 8);
  PalPut(pic8.palette, s.dc);
  EXPECT_EQ(LiveObjectCount(), before + 1);
  ImgPut(&pic8, s.dc, 0, 0);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) ASSERT_EQ(s.At(x, y), Colour(x, y));
  // Grey mode on a palette device draws grey levels.
  ImgPutEx(&pic, nullptr, s.dc, 0, 0, 2);
  EXPECT_TRUE(ErrNone()) << ErrMsgLast();
  const uint32_t c = s.At(1, 1);
  EXPECT_EQ(c & 0xFF, (c >> 8) & 0xFF);
  EXPECT_EQ(c & 0xFF, (c >> 16) & 0xFF);
  // Other devices take no palette.
  SetScreenCaps({});
  PalPut(pic8.palette, s.dc);
  ImgFree(&pic);
  ImgFree(&pic8);
}
