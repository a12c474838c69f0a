#include <gtest/gtest.h>

#include "engine/media_access.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "test_frames.h"

using namespace vek;
using namespace vek::testing;

namespace {

struct MediaTest : ::testing::Test {
  void SetUp() override { ErrClear(); }
  void TearDown() override {
    EXPECT_EQ(MemCount(), 0);
    EXPECT_EQ(FCount(), 0);
    EXPECT_EQ(MonDepth(), 0);
  }
};

TEST_F(MediaTest, SequenceNames) {
  std::string prefix, suffix;
  int32_t digits = 0, number = 0;
  EXPECT_TRUE(SeqSplit("/data/frame0042.bmp", false, prefix, digits, number, suffix));
  EXPECT_EQ(prefix, "/data/frame");
  EXPECT_EQ(digits, 4);
  EXPECT_EQ(number, 42);
  EXPECT_EQ(suffix, ".bmp");
  EXPECT_TRUE(SeqSplit("/d/shot-7.tga", true, prefix, digits, number, suffix));
  EXPECT_EQ(number, -7);
  EXPECT_EQ(prefix, "/d/shot");
  EXPECT_TRUE(SeqSplit("/d/shot-7.tga", false, prefix, digits, number, suffix));
  EXPECT_EQ(number, 7);
  EXPECT_EQ(prefix, "/d/shot-");
  EXPECT_TRUE(SeqSplit("0012.bmp", false, prefix, digits, number, suffix));
  EXPECT_EQ(prefix, "");
  EXPECT_EQ(number, 12);
  EXPECT_FALSE(SeqSplit("/d.1/out.bmp", false, prefix, digits, number, suffix));
  EXPECT_EQ(prefix, "/d.1/out");
  EXPECT_EQ(suffix, ".bmp");
  EXPECT_TRUE(SeqSplit("f99999999999999.bmp", false, prefix, digits, number, suffix));
  EXPECT_EQ(number, INT32_MAX);  // saturates instead of wrapping

  QSeqName seq{};
  SetText(seq.prefix, "out");
  SetText(seq.suffix, ".bmp");
  seq.start = 0;
  seq.digits = 3;
  EXPECT_EQ(SeqName(seq, 1), "out000.bmp");
  EXPECT_EQ(SeqName(seq, 100), "out099.bmp");
  seq.start = -1;
  seq.digits = 2;
  EXPECT_EQ(SeqName(seq, 1), "out-01.bmp");
}

TEST_F(MediaTest, InfoFindsNumberedSequences) {
  const std::string base = TempName("shot");
  for (int i = 1; i <= 3; ++i) WriteSolid(base + "000" + std::to_string(i) + ".tga", i * 10);
  WriteSolid(base + "0004.tga", 40, 20, 12);  // another size ends the sequence
  QUniInfo info{};
  ASSERT_TRUE(UniInfo(base + "0001.tga", info, 10, false));
  EXPECT_EQ(info.id, 1);
  EXPECT_EQ(info.kind, kKindSequence);
  EXPECT_EQ(info.img.frames, 3);
  QffInfo one{};
  FFInfo(base + "0001.tga", kUndefined, one);
  EXPECT_DOUBLE_EQ(info.file_size, 3.0 * double(one.size));
  ASSERT_TRUE(UniInfo(base + "0001.tga", info, 1, false));
  EXPECT_EQ(info.kind, kKindStill);
  EXPECT_EQ(info.img.frames, 1);

  QUniHandle h{};
  ASSERT_TRUE(UniInfo(base + "0001.tga", info, 10, false));
  UniOpen(h, info);
  QImg img{};
  UniImgLoad(h, img, 3, 2);
  EXPECT_EQ(h.frame, 3);
  EXPECT_EQ(img.pixels[2], 30);
  ImgFree(&img);
  UniClose(h);
  for (int i = 1; i <= 4; ++i) FDelete(base + "000" + std::to_string(i) + ".tga");
}

TEST_F(MediaTest, InfoGuessesByContentAndReportsMissingFiles) {
  const std::string bmp = TempName("really_a_bmp.pcx");
  WriteSolid(TempName("really_a_bmp.bmp"), 5);
  ASSERT_EQ(FRename(TempName("really_a_bmp.bmp"), bmp), 0);
  QUniInfo info{};
  ASSERT_TRUE(UniInfo(bmp, info, 1, false));
  EXPECT_EQ(info.id, 3);
  EXPECT_EQ(info.img.width, 16);
  FDelete(bmp);

  EXPECT_FALSE(UniInfo(TempName("missing0001.bmp"), info, 5, false));
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(WarnGroup(), 6);
  EXPECT_EQ(WarnCode(), 9);
  EXPECT_FALSE(UniInfo(TempName("noextension"), info, 1, false));
}

TEST_F(MediaTest, OutputsNumberThemselvesAndResize) {
  // No number in the name and several frames expected: out000.bmp...
  const std::string out = TempName("out.bmp");
  QUniHandle h{};
  UniCreate(h, out);
  UniSetFrames(h, 100);
  QImg a{}, b{};
  ImgAlloc(&a, 16, 12, 24, 1, "Test.a");
  ImgAlloc(&b, 32, 20, 24, 2, "Test.b");
  std::memset(a.pixels, 100, static_cast<size_t>(a.size));
  std::memset(b.pixels, 200, static_cast<size_t>(b.size));
  UniImgSave(h, a);
  UniImgSave(h, b);
  EXPECT_EQ(h.frame, 2);
  UniClose(h);
  ImgFree(&a);
  ImgFree(&b);
  QffInfo fi{};
  FFInfo(TempName("out001.bmp"), kUndefined, fi);
  EXPECT_EQ(fi.width, 16);  // the second image took the first one's size
  EXPECT_EQ(fi.height, 12);
  EXPECT_TRUE(FExists(TempName("out000.bmp")));
  FDelete(TempName("out000.bmp"));
  FDelete(TempName("out001.bmp"));

  // A numbered name counts on from its number.
  UniCreate(h, TempName("next7.tga"));
  for (int i = 0; i < 3; ++i) {
    QImg img{};
    ImgAlloc(&img, 8, 8, 24, 3, "Test.img");
    std::memset(img.pixels, 0, static_cast<size_t>(img.size));
    UniImgSave(h, img);
    ImgFree(&img);
  }
  UniClose(h);
  for (int n = 7; n <= 9; ++n) {
    EXPECT_TRUE(FExists(TempName("next" + std::to_string(n) + ".tga"))) << n;
    FDelete(TempName("next" + std::to_string(n) + ".tga"));
  }
}

TEST_F(MediaTest, MovieFormatsWithoutModulesReportErrors) {
  QMovieHandle mh{};
  MonitoredBoundary("T.Open", [&] { MviOpen(mh, TempName("a.xyz"), kUndefined); });
  EXPECT_EQ(ErrGroup(), 12);
  EXPECT_EQ(ErrCode(), 1);
  QUniHandle h{};
  UniCreate(h, TempName("x.xyz"));
  QImg img{};
  ImgAlloc(&img, 8, 8, 24, 1, "Test.img");
  MonitoredBoundary("T.Save", [&] { UniImgSave(h, img); });
  EXPECT_FALSE(ErrNone());
  ImgFree(&img);
  UniClose(h);
}

}  // namespace
