#include <gtest/gtest.h>

#include "test_temp.h"

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/call_frame.h"
#include "api/job.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "vek/vek.h"

using namespace vek;

namespace {

std::vector<std::string> TraceLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string Status(int32_t status, int32_t group = 0, int32_t code = 0) {
  VekLastError e{status, group, code};
  char buf[1100];
  VekMakeErrorStr(&e, buf);
  return buf;
}

TEST(Job, Defaults) {
  VekJob* job = VekAlloc();
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(job->outFrames, 1);
  EXPECT_EQ(job->vidFmt, VEK_UNDEFINED);
  EXPECT_EQ(job->vidFile.len, 0);
  EXPECT_EQ(job->width, 320);
  EXPECT_EQ(job->height, 240);
  EXPECT_EQ(job->sourceRes, -1);
  EXPECT_EQ(job->bpp, 24);
  EXPECT_EQ(job->dither, 0);
  EXPECT_DOUBLE_EQ(job->frameRate, 30.0);
  EXPECT_EQ(job->keepDuration, -1);
  EXPECT_EQ(job->direction, 1);
  EXPECT_EQ(job->audFmt, VEK_UNDEFINED);
  EXPECT_EQ(job->audFormat.formatTag, 1);
  EXPECT_EQ(job->audFormat.samplesPerSec, 44100u);
  EXPECT_EQ(job->audFormat.channels, 2);
  EXPECT_EQ(job->audFormat.bitsPerSample, 16);
  EXPECT_EQ(job->audFormat.blockAlign, 4);
  EXPECT_EQ(job->audFormat.avgBytesPerSec, 176400u);
  EXPECT_EQ(job->onVideoSource, nullptr);
  EXPECT_EQ(job->onError, nullptr);
  EXPECT_EQ(job->state, 0);
  EXPECT_EQ(job->saveOpts.jpegQuality, 85);
  VekFree(job);
}

TEST(Job, SettersClampAndIgnore) {
  VekJob* job = VekAlloc();
  VekSetResolution(job, 2, 10000);
  EXPECT_EQ(job->width, 4);
  EXPECT_EQ(job->height, 4096);
  EXPECT_EQ(job->sourceRes, 0);
  VekSetBpp(job, 12);
  EXPECT_EQ(job->bpp, 24);
  VekSetBpp(job, 15);
  EXPECT_EQ(job->bpp, 15);
  job->state = 3;  // as during a run
  VekSetResolution(job, 640, 480);
  VekSetBpp(job, 8);
  VekFree(job);  // refused while running
  EXPECT_EQ(job->width, 4);
  EXPECT_EQ(job->bpp, 15);
  job->state = 0;
  VekSetFrameRate(job, 12.5, 0);
  EXPECT_DOUBLE_EQ(job->frameRate, 12.5);
  EXPECT_EQ(job->keepDuration, 0);
  VekSetAudioFormat(job, 22050, 1, 8);
  EXPECT_EQ(job->audFormat.blockAlign, 1);
  EXPECT_EQ(job->audFormat.avgBytesPerSec, 22050u);
  VekFree(job);
  // Null, freed and foreign handles are refused with an error, never success.
  VekFree(nullptr);
  EXPECT_EQ(vek::api::LastError().status, VEK_STATUS_ERROR);
  VekJob stray{};
  VekFree(&stray);
  EXPECT_EQ(vek::api::LastError().status, VEK_STATUS_ERROR);
  EXPECT_EQ(VekConvert(nullptr), VEK_STATUS_ERROR);
  EXPECT_EQ(VekConvert(job), VEK_STATUS_ERROR);  // freed above
  EXPECT_EQ(VekAbort(nullptr), VEK_STATUS_ERROR);
  EXPECT_EQ(VekSrcFinished(nullptr), VEK_STATUS_ERROR);
  char text[1100];
  const VekLastError rec = vek::api::LastError();
  VekMakeErrorStr(&rec, text);
  EXPECT_STREQ(text, "Invalid job handle.");
}

TEST(Job, AviCustomInfoRules) {
  VekJob* job = VekAlloc();
  VekAviAddCustomInfo(job, "ICM", "three-letter id");
  VekAviAddCustomInfo(job, "ICMT", "");
  VekAviAddCustomInfo(job, nullptr, "x");
  EXPECT_EQ(job->aviInfoCount, 0);
  VekAviAddCustomInfo(job, "ICOPY", "long id");
  EXPECT_EQ(job->aviInfoCount, 1);
  EXPECT_STREQ(job->aviInfo[0].id, "ICOP");
  EXPECT_STREQ(job->aviInfo[0].value, "long id");
  const std::string long_value(400, 'v');
  for (int i = 1; i < 17; ++i) VekAviAddCustomInfo(job, "INAM", long_value.c_str());
  EXPECT_EQ(job->aviInfoCount, 16);
  EXPECT_EQ(std::strlen(job->aviInfo[5].value), 255u);
  EXPECT_EQ(VekAviClearCustomInfo(job), 0);
  EXPECT_EQ(job->aviInfoCount, 0);
  VekFree(job);
}

TEST(Job, OutputFileSelectsFormatAndMpeg2) {
  VekJob* job = VekAlloc();
  VekSetOutputFile(job, "clip.mpg", nullptr);
  EXPECT_EQ(job->vidFmt, 11);
  EXPECT_EQ(job->saveOpts.mpegCodec, 1);
  VekSetOutputFile(job, "clip.M2V", "sound.wav");
  EXPECT_EQ(job->vidFmt, 11);
  EXPECT_EQ(job->saveOpts.mpegCodec, 2);
  EXPECT_EQ(job->audFmt, 12);
  VekSetOutputFile(job, "clip.mpg", nullptr);
  EXPECT_EQ(job->saveOpts.mpegCodec, 2);  // stays as it was
  EXPECT_EQ(job->audFile.len, 0);
  EXPECT_EQ(job->audFmt, VEK_UNDEFINED);
  VekSetOutputFile(job, "picture.xyz", nullptr);
  EXPECT_EQ(job->vidFmt, VEK_UNDEFINED);
  const std::string long_name(300, 'a');
  VekSetOutputFile(job, (long_name + ".bmp").c_str(), nullptr);
  EXPECT_EQ(job->vidFile.len, 255);
  // Settings of one format survive while another is selected.
  VekSetQuality(job, 8, 40);
  VekSetCodec(job, 1, 0);
  EXPECT_EQ(job->saveOpts.jpegQuality, 40);
  EXPECT_EQ(job->saveOpts.tgaCodec, 0);
  VekFree(job);
}

TEST(CallFrame, StatusCodes) {
  using vek::api::ApiCall;
  using vek::api::LastError;
  ApiCall("vekmain.Test", [] { throw std::runtime_error("stray"); });
  EXPECT_EQ(LastError().status, 999);
  ApiCall("vekmain.Test", [] { Monitored("Test.Inner", [] { ErrReportCode(7, 4, 1); }); });
  EXPECT_EQ(LastError().status, 1000);
  EXPECT_EQ(LastError().group, 7);
  EXPECT_EQ(LastError().code, 4);
  // A foreign exception inside an engine procedure is recorded: 1000, group 3.
  ApiCall("vekmain.Test", [] { Monitored("Test.Inner", [] { throw std::logic_error("inner"); }); });
  EXPECT_EQ(LastError().status, 1000);
  EXPECT_EQ(LastError().group, 3);
  EXPECT_EQ(Status(1000, 3, 0x7FFFFFFF), "inner");
  // The next call starts clean.
  ApiCall("vekmain.Test", [] {});
  EXPECT_EQ(LastError().status, 0);
  EXPECT_EQ(LastError().group, 0);
  int r = ApiCall<int>("vekmain.Test", -5, []() -> int { throw 42; });
  EXPECT_EQ(r, -5);
  EXPECT_EQ(LastError().status, 999);
  VekLastError copy{};
  VekGetLastError(&copy);
  EXPECT_EQ(copy.status, 999);
  EXPECT_EQ(MonDepth(), 0);
}

TEST(RunTexts, TimeAndErrorStrings) {
  char buf[64];
  VekMakeTimeStr(0, buf);
  EXPECT_STREQ(buf, "00:00:00");
  VekMakeTimeStr(3725.5, buf);
  EXPECT_STREQ(buf, "01:02:05");
  VekMakeTimeStr(360000, buf);
  EXPECT_STREQ(buf, "100:00:00");
  VekMakeTimeStr(-3, buf);
  EXPECT_STREQ(buf, "00:00:00");
  EXPECT_EQ(Status(0), "Finished successfully.");
  EXPECT_EQ(Status(1), "Invalid output file.");
  EXPECT_EQ(Status(2), "Operation aborted by the user.");
  EXPECT_EQ(Status(999), "Unknown error.");
  EXPECT_EQ(Status(17), "Unknown error.");
  EXPECT_EQ(Status(1000, 6, 3), "Cannot read from file.");
}

TEST(Trace, ExportLines) {
  const std::string path = vek::testing::UniqueTemp("api_trace.txt");
  VekLogStart(path.c_str(), -1);
  VekJob* job = VekAlloc();
  VekSetFrameRate(job, 25, -1);
  VekSetResolution(job, 640, 480);
  VekEnableDithering(job, 5);
  VekSetCodec(job, 6, 0x64697663);
  VekSetResolution(job, -2, 480);
  VekSetOutputFile(job, "a.bmp", nullptr);
  VekSetOutputFile(job, "b.M2V", nullptr);
  VekFree(job);
  VekLogStop();
  const auto lines = TraceLines(path);
  auto has = [&](const std::string& l) {
    return std::find(lines.begin(), lines.end(), l) != lines.end();
  };
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "VEK 2.3.2");
  char ptr[32];
  // Two digits a byte of the pointer: 8 in a 32-bit process.
  std::snprintf(ptr, sizeof ptr, "0x%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(job)));
  EXPECT_TRUE(has(std::string("VekAlloc: ") + ptr));
  EXPECT_TRUE(has("VekSetFrameRate: 25.00, keep duration"));
  EXPECT_TRUE(has("VekSetResolution: 640x480"));
  EXPECT_TRUE(has("VekEnableDithering: TRUE"));
  EXPECT_TRUE(has("VekSetCodec: fmt=6, codec=0x64697663"));
  EXPECT_TRUE(has("VekSetOutputFile: vid=a.bmp, aud="));
  // Numbers print unsigned; an MPEG-2 name goes through VekSetCodec.
  EXPECT_TRUE(has("VekSetResolution: 4294967294x480"));
  EXPECT_TRUE(has("VekSetCodec: fmt=11, codec=0x00000002"));
  EXPECT_TRUE(has(std::string("VekFree: ") + ptr));
  FDelete(path);
}

}  // namespace
