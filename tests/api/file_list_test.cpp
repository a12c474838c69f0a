#include <gtest/gtest.h>

#include "test_temp.h"
#include "windows_skip.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "engine/format_dispatch.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/image.h"
#include "vek/vek.h"

using namespace vek;

namespace {

void WriteImage(const std::string& name, int w, int h, int bits) {
  QImg img{};
  ImgAlloc(&img, w, h, bits, 1, "Test.img");
  for (int32_t i = 0; i < img.size; ++i) img.pixels[i] = static_cast<uint8_t>(i * 7);
  ImgSave(name, img, VEK_UNDEFINED);
  ImgFree(&img);
}

struct ListTest : ::testing::Test {
  // Names come back as full paths with the system's separator.
  std::string dir = vek::testing::UniqueTemp(kWindowsBuild ? "lists\\" : "lists/");
  void SetUp() override {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    WriteImage(dir + "b.bmp", 320, 240, 24);
    WriteImage(dir + "A.bmp", 640, 100, 24);  // wider, but a smaller area
    WriteImage(dir + "c.tga", 16, 16, 32);
    std::ofstream(dir + "notes.bmp") << "not an image\n";
  }
  void TearDown() override {
    std::filesystem::remove_all(dir);
    EXPECT_EQ(MemCount(), 0);
  }
  std::string Name(VekList* list, int i) {
    char buf[264];
    VekListGetName(list, i, buf);
    return buf;
  }
};

// Wildcards match without regard to case and take names with a leading point.
TEST_F(ListTest, WildcardsIgnoreCase) {
  std::filesystem::copy_file(dir + "b.bmp", dir + ".hidden.bmp");
  VekList* list = VekListAlloc();
  EXPECT_EQ(VekListAdd(list, (dir + "*.BMP").c_str(), 0), 3);
  EXPECT_EQ(Name(list, 0), dir + ".hidden.bmp");
  VekListFree(list);
  // A freed list is refused with an error, not answered with zeros.
  int32_t w = 0, h = 0, bpp = 0;
  VekListGetMaxRes(list, &w, &h, &bpp);
  VekLastError e{};
  VekGetLastError(&e);
  EXPECT_EQ(e.status, VEK_STATUS_ERROR);
}

TEST_F(ListTest, BlocksAreSortedAndSummed) {
  VekList* list = VekListAlloc();
  ASSERT_NE(list, nullptr);
  // Two blocks: each block's matches sorted without regard to case.
  EXPECT_EQ(VekListAdd(list, (" " + dir + "*.tga ; " + dir + "*.bmp ").c_str(), 0), 3);
  ASSERT_EQ(VekListGetFileCount(list), 3);
  EXPECT_EQ(Name(list, 0), dir + "c.tga");
  EXPECT_EQ(Name(list, 1), dir + "A.bmp");
  EXPECT_EQ(Name(list, 2), dir + "b.bmp");
  EXPECT_EQ(Name(list, -1), "");
  EXPECT_EQ(Name(list, 3), "");
  EXPECT_EQ(VekListGetFrameCount(list), 3);
  int32_t w = 0, h = 0, bpp = 0;
  EXPECT_EQ(VekListGetMaxRes(list, &w, &h, &bpp), 0);
  EXPECT_EQ(w, 320);  // the larger area wins, not the larger width
  EXPECT_EQ(h, 240);
  EXPECT_EQ(bpp, 24);  // a 32-bit file counts as 24
  int32_t rate = 0, chan = 0, bits = 0;
  VekListGetAudioFormat(list, &rate, &chan, &bits);
  EXPECT_EQ(rate, 8000);
  EXPECT_EQ(chan, 1);
  EXPECT_EQ(bits, 8);
  EXPECT_EQ(VekListGetSampleCount(list), 0);
  VekListFree(list);
}

TEST_F(ListTest, MasksChooseWhatIsOpened) {
  VekList* list = VekListAlloc();
  // Everything, unexamined: the broken file too, and no sums.
  EXPECT_EQ(VekListAdd(list, (dir + "*").c_str(), VEK_LIST_ANY), 4);
  EXPECT_EQ(VekListGetFrameCount(list), 0);
  // By extension only.
  EXPECT_EQ(VekListAdd(list, (dir + "*").c_str(), VEK_LIST_BY_EXTENSION), 4);
  // Sound only: no file here carries sound.
  EXPECT_EQ(VekListAdd(list, (dir + "*").c_str(), VEK_LIST_SOUND), 0);
  // Images, opened: the broken file is left out.
  EXPECT_EQ(VekListAdd(list, (dir + "*.bmp").c_str(), VEK_LIST_IMAGES), 2);
  EXPECT_EQ(VekListGetFrameCount(list), 2);
  EXPECT_EQ(VekListAdd(list, (dir + "nothing*").c_str(), 0), 0);
  EXPECT_EQ(VekListAdd(list, nullptr, 0), 0);
  VekListFree(list);
  VekListFree(nullptr);
}

}  // namespace
