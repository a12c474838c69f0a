#include <gtest/gtest.h>

#include <vector>

#include "engine/conversion_loop.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "test_frames.h"

using namespace vek;
using namespace vek::testing;

namespace {

// What the test source hands out: one numbered sequence as one block.
struct Feed {
  QUniInfo info{};
  double fps = 0;
  int32_t start = kUndefined, length = kUndefined, direction = 1;
  int blocks = 0;
};
Feed g_feed;
std::vector<int> g_seen;  // markers of frames passed to the function stage

void Source(QSrcRequest* r) {
  if (g_feed.blocks++ > 0) {
    r->finished = -1;
    return;
  }
  r->source = &g_feed.info;
  r->kind = kSrcInfo;
  r->fps = g_feed.fps;
  r->start = g_feed.start;
  r->length = g_feed.length;
  r->direction = g_feed.direction;
  r->repeat = 1;
}

void Func(QFuncRequest* r) {
  g_seen.push_back(r->img->pixels[2]);
  r->result_img = r->img;
}

struct LoopTest : ::testing::Test {
  std::string in = TempName("loopin");
  std::string out = TempName("loopout");
  void SetUp() override {
    ErrClear();
    g_feed = Feed{};
    g_seen.clear();
    for (int i = 1; i <= 9; ++i) WriteSolid(in + "000" + std::to_string(i) + ".bmp", i * 10);
    ASSERT_TRUE(UniInfo(in + "0001.bmp", g_feed.info, 100, false));
    ASSERT_EQ(g_feed.info.img.frames, 9);
  }
  void TearDown() override {
    for (int i = 1; i <= 9; ++i) FDelete(in + "000" + std::to_string(i) + ".bmp");
    ConDone();
    EXPECT_EQ(MemCount(), 0);
    EXPECT_EQ(FCount(), 0);
    EXPECT_EQ(MonDepth(), 0);
  }
  // Runs the loop into out0000.bmp... and returns the markers of the files written.
  std::vector<int> Run(double out_fps, bool keep) {
    ConSetVideo(Source, Func);
    ConSetFrameRate(out_fps, keep);
    QSaveOpts opts;
    FFSaveReset(opts);
    QConReport report{};
    ConStart(out + "0000.bmp", "", opts, report);
    std::vector<int> markers;
    for (int i = 0; i < report.frames; ++i) {
      char num[16];
      std::snprintf(num, sizeof num, "%04d", i);
      const std::string name = out + num + ".bmp";
      markers.push_back(ReadMarker(name));
      FDelete(name);
    }
    if (report.frames > 0) {
      EXPECT_EQ(std::string(report.video_name), out + "0000.bmp");
    }
    return markers;
  }
};

TEST_F(LoopTest, UpRateRepeatsFrames) {
  g_feed.fps = 10;
  g_feed.length = 4;
  EXPECT_EQ(Run(25, true), (std::vector<int>{10, 10, 20, 20, 20, 30, 30, 40, 40, 40}));
}

TEST_F(LoopTest, DownRateDropsFrames) {
  g_feed.fps = 30;
  EXPECT_EQ(Run(10, true), (std::vector<int>{10, 40, 70}));
  EXPECT_EQ(g_seen.size(), 9u);  // every source frame passed the function stage
}

TEST_F(LoopTest, WithoutKeepDurationEveryFrameOnce) {
  g_feed.fps = 30;
  g_feed.length = 3;
  EXPECT_EQ(Run(10, false), (std::vector<int>{10, 20, 30}));
}

TEST_F(LoopTest, BackwardsWithStartAndLength) {
  g_feed.start = 5;
  g_feed.length = 5;
  g_feed.direction = -1;
  EXPECT_EQ(Run(25, false), (std::vector<int>{90, 80, 70, 60, 50}));
}

TEST_F(LoopTest, StartPastTheEndGivesNothingAndDeletesEmptyOutput) {
  g_feed.start = 20;
  EXPECT_TRUE(Run(25, false).empty());
  EXPECT_FALSE(FExists(out + "0000.bmp"));
}

}  // namespace
