// A run behaves the same on one thread and on several: the host sees the
// same callbacks in the same order (sources, frame functions, progress,
// errors with their paths), an abort stops after the same frame, an error
// names the same frame, and the files written are the same bytes, for the
// outputs whose encoders split a frame over the threads (MPEG: the same
// callbacks).
#include <gtest/gtest.h>

#include "test_temp.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vek/vek.h"

namespace {

constexpr int kWidth = 640, kHeight = 480;  // large enough to be split
constexpr int kFrames = 6;

struct Host {
  std::vector<std::string> log;
  std::vector<uint8_t> pixels;
  int bad_block = -1;     // a source that cannot be read
  int abort_after = -1;   // frames done when the progress callback aborts
  std::string missing;
};
Host H;

void VEKAPI Source(VekJob* job, int32_t block) {
  H.log.push_back("source " + std::to_string(block));
  if (block >= kFrames) {
    VekSrcFinished(job);
  } else if (block == H.bad_block) {
    VekSrcSetFile(job, H.missing.c_str());
  } else {
    // Blocks of 4x4 equal pixels with some noise: every coder finds tokens.
    for (size_t i = 0; i < H.pixels.size(); ++i) {
      const size_t x = i % (kWidth * 3) / 3, y = i / (kWidth * 3);
      H.pixels[i] = uint8_t(x / 4 + y / 4 * 3 + size_t(block) * 5 + (i % 3) * 40 + (x * y % 61 == 0 ? 9 : 0));
    }
    VekSrcSetPixels(job, H.pixels.data(), nullptr, kWidth, kHeight, 24);
  }
}

void VEKAPI Func(VekJob*, VekImage*, int32_t frame) { H.log.push_back("frame " + std::to_string(frame)); }

void VEKAPI Progress(VekJob* job, int32_t state, int32_t frames, int32_t) {
  H.log.push_back("progress " + std::to_string(state) + " " + std::to_string(frames));
  if (H.abort_after >= 0 && state == VEK_STATE_SAVING && frames >= H.abort_after) VekAbort(job);
}

void VEKAPI Error(VekJob*, const char* path, int32_t* answer) {
  H.log.push_back(std::string("error ") + (path ? path : ""));
  *answer = VEK_ANSWER_SKIP;
}

std::string Slurp(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  return f ? std::string(std::istreambuf_iterator<char>(f), {}) : std::string("<none>");
}

struct Outcome {
  int32_t status;
  std::vector<std::string> log;
  std::vector<std::string> files;  // the output's bytes, each file of a sequence
  bool operator==(const Outcome&) const = default;
};

// `names`: the files the run may write (a sequence's numbered names).
Outcome Convert(int32_t threads, const std::string& out, const std::vector<std::string>& names, int32_t codec) {
  for (const std::string& n : names) std::remove(n.c_str());
  VekExtSetThreads(threads);
  H.log.clear();
  H.pixels.assign(size_t(kWidth) * kHeight * 3, 0);
  VekJob* job = VekAlloc();
  VekSetResolution(job, kWidth, kHeight);
  VekSetFrameRate(job, 25, 0);
  VekSetOutputFile(job, out.c_str(), nullptr);
  if (codec) VekSetCodec(job, job->vidFmt, codec);
  VekAssignVideoSource(job, Source);
  VekAssignVideoFunc(job, Func);
  VekAssignProgress(job, Progress);
  VekAssignError(job, Error);
  Outcome o;
  o.status = VekConvert(job);
  VekFree(job);
  o.log = H.log;
  for (const std::string& n : names) o.files.push_back(Slurp(n));
  for (const std::string& n : names) std::remove(n.c_str());
  return o;
}

constexpr int32_t FourCC(const char* s) {
  return int32_t(uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
                 uint32_t(uint8_t(s[3])) << 24);
}

TEST(ThreadsRun, SameCallbacksAbortErrorsAndFiles) {
  const std::string dir = vek::testing::UniqueTemp("threads_run");
  H.missing = dir + "_missing.bmp";
  const std::string hav = dir + ".hav", avi = dir + ".avi";
  std::vector<std::string> pngs;
  for (int i = 0; i < kFrames; ++i) {
    char n[32];
    std::snprintf(n, sizeof n, "%04d.png", i);
    pngs.push_back(dir + "_" + n);
  }
  struct Job {
    std::string out;
    std::vector<std::string> names;
    int32_t codec;
    bool same_bytes;  // libavcodec's slices follow the thread count
  };
  const std::string mpg = dir + ".mpg";
  const Job jobs[] = {{hav, {hav}, 0, true},
                      {avi, {avi}, FourCC("MJPG"), true},
                      {pngs[0], pngs, 0, true},
                      {mpg, {mpg}, 0, false}};
  const int32_t saved = VekExtSetThreads(-1357902468);
  // A clean run, an abort from the progress callback, and a source that
  // cannot be read (skipped by the host).
  for (int mode = 0; mode < 3; ++mode) {
    H.abort_after = mode == 1 ? 3 : -1;
    H.bad_block = mode == 2 ? 2 : -1;
    for (const Job& j : jobs) {
      const Outcome one = Convert(1, j.out, j.names, j.codec);
      if (mode == 0) {
        EXPECT_EQ(one.status, VEK_STATUS_OK) << j.out;
      }
      ASSERT_FALSE(one.log.empty());
      for (int32_t threads : {2, 4}) {
        const Outcome many = Convert(threads, j.out, j.names, j.codec);
        EXPECT_EQ(many.status, one.status) << j.out << " mode " << mode << " threads " << threads;
        EXPECT_EQ(many.log, one.log) << j.out << " mode " << mode << " threads " << threads;
        if (j.same_bytes) {
          EXPECT_TRUE(many.files == one.files) << j.out << " mode " << mode << " threads " << threads;
        }
      }
    }
  }
  VekExtSetThreads(saved);
}

}  // namespace
