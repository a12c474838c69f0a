// Drawing exports on device contexts of the library's own in-memory drawing
// layer (a host's contexts would come from its window system), with the
// tracked memory and the drawing objects counted after each case.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/memory.h"
#include "gdi_objects.h"
#include "platform/gdi/gdi.h"
#include "vek/vek.h"
#include "windows_skip.h"

namespace {

using namespace vek::gdi;


// A 32-bit DIB section selected into a memory context.
struct Surface {
  HDC dc = nullptr;
  HBITMAP bmp = nullptr;
  HGDIOBJ old = nullptr;
  Surface(int w, int h) {
    BITMAPINFO info{};
    info.bmiHeader = {40, w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    dc = CreateCompatibleDC(nullptr);
    void* p = nullptr;
    bmp = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &p, nullptr, 0);
    old = SelectObject(dc, bmp);
  }
  ~Surface() {
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(bmp);
  }
  COLORREF At(int x, int y) const { return GetPixel(dc, x, y); }
  // The bounding box of the pixels of one colour.
  std::vector<int> Box(COLORREF c, int w, int h) const {
    int x0 = w, y0 = h, x1 = -1, y1 = -1;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (At(x, y) == c) x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
    return {x0, y0, x1 + 1 - x0, y1 + 1 - y0};
  }
};

VekImage* Solid(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  std::vector<uint8_t> p;
  for (int i = 0; i < w * h; ++i) p.insert(p.end(), {b, g, r});
  VekImage* img = VekImgAlloc();
  VekImgSetPixels(img, w, h, 24, p.data(), nullptr);
  return img;
}

class Drawing : public ::testing::Test {
 protected:
  void SetUp() override { objects = LiveObjectCount(); }
  void TearDown() override {
    EXPECT_EQ(vek::MemCount(), 0);
    EXPECT_EQ(LiveObjectCount(), objects);
  }
  int32_t Status() {
    VekLastError e{};
    VekGetLastError(&e);
    return e.status;
  }
  int objects = 0;
};

TEST_F(Drawing, ShowInRectFitsAndCentres) {
  Surface s(200, 200);
  const COLORREF white = 0xFFFFFF, red = 0x0000FF;
  VekClearCanvas(s.dc, 0, 0, 200, 200, VekRGB(255, 255, 255));
  EXPECT_EQ(s.At(199, 199), white);
  // 100 x 50 into 200 x 200 without enlarging: unscaled at (50, 75).
  VekImage* img = Solid(100, 50, 255, 0, 0);
  VekImgShowInRect(img, s.dc, 0, 0, 200, 200, 0);
  EXPECT_EQ(s.Box(red, 200, 200), (std::vector<int>{50, 75, 100, 50}));
  // Enlarged: the image itself becomes 200 x 100, drawn at (0, 50).
  VekClearCanvas(s.dc, 0, 0, 200, 200, VekRGB(255, 255, 255));
  VekImgShowInRect(img, s.dc, 0, 0, 200, 200, -1);
  EXPECT_EQ(img->width, 200);
  EXPECT_EQ(img->height, 100);
  EXPECT_EQ(s.Box(red, 200, 200), (std::vector<int>{0, 50, 200, 100}));
  // Too large for a box at an offset: shrunk to fit, centred in the box.
  VekClearCanvas(s.dc, 0, 0, 200, 200, VekRGB(255, 255, 255));
  VekImgShowInRect(img, s.dc, 10, 20, 100, 100, 0);
  EXPECT_EQ(s.Box(red, 200, 200), (std::vector<int>{10, 45, 100, 50}));
  // A box without area draws nothing and keeps the image.
  VekClearCanvas(s.dc, 0, 0, 200, 200, VekRGB(255, 255, 255));
  VekImgShowInRect(img, s.dc, 0, 0, 0, 100, -1);
  EXPECT_EQ(Status(), VEK_STATUS_OK);
  EXPECT_EQ(img->width, 100);
  EXPECT_LE(s.Box(red, 200, 200)[2], 0);  // no red pixel
  VekImgFree(img);
}

TEST_F(Drawing, ShowAndClearOnContexts) {
  Surface s(40, 30);
  VekClearCanvas(s.dc, 0, 0, 40, 30, VekRGB(0, 0, 0));
  VekClearCanvas(s.dc, 5, 6, 10, 4, VekRGB(1, 2, 3));
  EXPECT_EQ(s.Box(0x030201, 40, 30), (std::vector<int>{5, 6, 10, 4}));
  // An 8-bit picture draws with its palette colours.
  VekImage* img = VekImgAlloc();
  const uint8_t idx[6] = {1, 1, 1, 1, 1, 1};
  uint8_t pal[768] = {};
  pal[3] = 200, pal[4] = 100, pal[5] = 50;  // entry 1: blue 200, green 100, red 50
  VekImgSetPixels(img, 3, 2, 8, idx, pal);
  VekImgShow(img, s.dc, 30, 20);
  EXPECT_EQ(s.Box(VekRGB(50, 100, 200), 40, 30), (std::vector<int>{30, 20, 3, 2}));
  // Contexts that are not contexts draw nothing and do not fail.
  VekImgShow(img, nullptr, 0, 0);
  VekClearCanvas(reinterpret_cast<void*>(0x10), 0, 0, 5, 5, 0);
  VekImgShowInRect(img, reinterpret_cast<void*>(0x10), 0, 0, 30, 30, -1);
  EXPECT_EQ(Status(), VEK_STATUS_OK);
  // Bitmaps handed out are the host's to release.
  void* bm = VekImgToDIB(img);
  void* block = VekImgToDIBWin3(img);
  ASSERT_NE(bm, nullptr);
  ASSERT_NE(block, nullptr);
  EXPECT_NE(VekReleaseDIB(bm), 0);
  EXPECT_EQ(VekReleaseDIBWin3(block), -1);
  VekImgFree(img);
}

}  // namespace
