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

// Sound: an audio source that gives only a length asks for silence; each
// block reaches the function stage converted to the job's sound format.
struct SoundSeen {
  int32_t rate, channels, bits, samples, sample_number;
};
std::vector<SoundSeen> g_sound;

void VEKAPI SilenceSource(VekJob* job, int32_t block) {
  if (block == 0)
    VekSrcSetLen(job, 16000);  // two seconds at the silence rate of 8 kHz
  else
    VekSrcFinished(job);
}

void VEKAPI SoundFunc(VekJob*, VekSound* snd, int32_t sample) {
  g_sound.push_back({static_cast<int32_t>(snd->format.samplesPerSec), snd->format.channels,
                     snd->format.bitsPerSample, snd->sampleCount, sample});
}

TEST(Sources, SilenceIsConvertedBlockByBlock) {
  const std::string out = vek::testing::UniqueTemp("snd.bmp");
  g_kind = 1;
  g_pixels.assign(4 * 2 * 4, 0x40);
  g_sound.clear();
  VekJob* job = VekAlloc();
  VekAssignVideoSource(job, Source);
  VekAssignAudioSource(job, SilenceSource);
  VekAssignAudioFunc(job, SoundFunc);
  VekSetAudioFormat(job, 22050, 1, 16);
  VekSetOutputFile(job, out.c_str(), nullptr);
  ASSERT_EQ(VekConvert(job), VEK_STATUS_OK);
  // After the last frame the sound goes in one-second blocks.
  ASSERT_EQ(g_sound.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(g_sound[i].rate, 22050);
    EXPECT_EQ(g_sound[i].channels, 1);
    EXPECT_EQ(g_sound[i].bits, 16);
    EXPECT_NEAR(g_sound[i].samples, 22050, 2);
    EXPECT_EQ(g_sound[i].sample_number, static_cast<int32_t>(i) * 8000);
  }
  FDelete(out);
  VekFree(job);
  EXPECT_EQ(MemCount(), 0);
}

}  // namespace
