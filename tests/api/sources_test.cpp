#include <gtest/gtest.h>

#include "test_temp.h"

#include <cstring>
#include <vector>

#include "engine/format_dispatch.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/bitmap_exchange.h"
#include "vek/vek.h"

using namespace vek;

namespace {

gdi::HBITMAP g_bitmap = nullptr;
std::vector<uint8_t> g_pixels;
int g_kind = 0;  // 0 bitmap handle, 1 raw 32-bit pixels

void VEKAPI Source(VekJob* job, int32_t block) {
  if (block > 0) {
    // Not a bitmap of ours: the request stays empty and the stream ends.
    VekSrcSetDIB(job, reinterpret_cast<void*>(0x1234));
    return;
  }
  if (g_kind == 0)
    VekSrcSetDIB(job, g_bitmap);
  else
    VekSrcSetPixels(job, g_pixels.data(), nullptr, 4, 2, 32);
}

std::vector<int> g_bits;
void VEKAPI Func(VekJob*, VekImage* img, int32_t) { g_bits.push_back(img->bits); }

TEST(Sources, BitmapHandleAndRawPixels) {
  QImg img{};
  ImgAlloc(&img, 8, 6, 24, 1, "Test.img");
  for (int i = 0; i < img.size; i += 3) {
    img.pixels[i] = 10;
    img.pixels[i + 1] = 20;
    img.pixels[i + 2] = 30;
  }
  ASSERT_TRUE(QimgToHBitmap(&img, &g_bitmap));
  const std::string out = vek::testing::UniqueTemp("dib.bmp");
  VekJob* job = VekAlloc();
  VekAssignVideoSource(job, Source);
  VekAssignVideoFunc(job, Func);
  VekSetOutputFile(job, out.c_str(), nullptr);
  g_kind = 0;
  ASSERT_EQ(VekConvert(job), VEK_STATUS_OK);
  QImg back{};
  ImgLoad(out, back, VEK_UNDEFINED);
  ASSERT_EQ(back.width, 8);
  EXPECT_EQ(0, std::memcmp(back.pixels, img.pixels, static_cast<size_t>(img.size)));
  ImgFree(&back);

  // 32-bit raw pixels arrive as a 24-bit image.
  g_pixels.assign(4 * 2 * 4, 0x40);
  g_kind = 1;
  g_bits.clear();
  ASSERT_EQ(VekConvert(job), VEK_STATUS_OK);
  EXPECT_EQ(g_bits, (std::vector<int>{24}));
  FDelete(out);
  VekFree(job);
  gdi::DeleteObject(g_bitmap);
  ImgFree(&img);
  EXPECT_EQ(MemCount(), 0);
}

}  // namespace
