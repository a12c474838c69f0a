#include <gtest/gtest.h>

#include "windows_skip.h"
#include "test_temp.h"

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "foundation/trace.h"

using namespace vek;

namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string all{std::istreambuf_iterator<char>(in), {}};
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t end = all.find("\r\n", start);
    if (end == std::string::npos) break;
    out.push_back(all.substr(start, end - start));
    start = end + 2;
  }
  EXPECT_EQ(start, all.size()) << "every line ends in CR LF";
  return out;
}

struct TraceTest : ::testing::Test {
  std::string path = vek::testing::UniqueTemp("trace.txt");
  void SetUp() override {
    ErrClear();
    TraceSetFile(path);
    TraceStart(kTraceBanner);
    ASSERT_TRUE(TraceOn());
  }
  void TearDown() override {
    TraceStop();
    FDelete(path);
    EXPECT_EQ(MemCount(), 0);
    EXPECT_EQ(FCount(), 0);
  }
};

TEST_F(TraceTest, HeaderLayout) {
  auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "VEK 2.3.2");
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(Trace started at \d{4}-\d\d-\d\d, \d\d:\d\d)")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(OS: (N/A|Win [A-Za-z0-9/ ]+) v\d+\.\d+ - build \d+)"))) << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(CPU: (i[3-6]86|N/A), processors: [1-9]\d*)")))
      << lines[3];
  EXPECT_EQ(lines[4], std::string(40, '-'));
}

TEST_F(TraceTest, ErrorRecordCarriesPathMemoryAndDisk) {
  const std::string missing = vek::testing::UniqueTemp("no_such.bmp");
  MonitoredBoundary("vekmain.VekConvert", [&] {
    Monitored("ConForm.ConStart", [&] {
      int32_t id;
      FOpen(id, missing, kFmRead);
    });
  });
  EXPECT_EQ(ProcPath(), "");  // emptied after the record
  auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 5u + 8u);
  EXPECT_EQ(lines[5], "!6:1;\"Cannot open file: " + missing + "\"");
  EXPECT_EQ(lines[6], "@vekmain.VekConvert:ConForm.ConStart:Basic.FOpen;1");
  const std::regex kb(R"(#  total: [\d,]+k, free: [\d,]+k)");
  EXPECT_EQ(lines[7], "#Physical memory:");
  EXPECT_TRUE(std::regex_match(lines[8], kb)) << lines[8];
  EXPECT_EQ(lines[9], "#Swap memory:");
  EXPECT_TRUE(std::regex_match(lines[10], kb)) << lines[10];
  // Windows names the drive (its root), Linux the folder.
  const std::string drive = kWindowsBuild ? ::testing::TempDir().substr(0, 3) : ::testing::TempDir();
  EXPECT_EQ(lines[11], "#Drive " + drive);
  EXPECT_TRUE(std::regex_match(lines[12], kb)) << lines[12];
}

TEST_F(TraceTest, WarningsUseQuestionMark) {
  MonitoredBoundary("T.W", [&] { WarnReportCode(5, 4, 77); });
  auto lines = Lines(path);
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[5], "?5:4;\"Memory could not be deallocated.\"");
  EXPECT_EQ(lines[6], "@T.W;77");
}

TEST_F(TraceTest, NotesAndLines) {
  TraceNote("a\r\nb");
  TraceLine("VekConvert: 0x0000000000001234");
  auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[5], "#a");
  EXPECT_EQ(lines[6], "#b");
  EXPECT_EQ(lines[7], "VekConvert: 0x0000000000001234");
}

TEST_F(TraceTest, ProcedureStackKeepsFirst256) {
  std::vector<std::string> names(300);
  for (int i = 0; i < 300; ++i) names[i] = "U.P" + std::to_string(i);
  for (auto& n : names) ProcEnter(n.c_str());
  EXPECT_EQ(ProcDepth(), 256);
  const std::string p = ProcPath();
  EXPECT_EQ(p.substr(0, 12), "U.P0:U.P1:U.");
  EXPECT_NE(p.find("U.P255"), std::string::npos);
  EXPECT_EQ(p.find("U.P256"), std::string::npos);
  for (int i = 0; i < 300; ++i) ProcLeave();
  EXPECT_EQ(ProcDepth(), 0);
}

TEST_F(TraceTest, ErrorWhileTracingOffLeavesFileUntouched) {
  TraceStop();
  const auto before = Lines(path);
  MonitoredBoundary("T.Off", [&] { ErrReportCode(7, 4, 1); });
  EXPECT_EQ(ErrGroup(), 7);
  EXPECT_EQ(Lines(path), before);
  EXPECT_EQ(ProcPath(), "");
}

TEST_F(TraceTest, UnwritableFolderLeavesTracingOff) {
  TraceStop();
  TraceSetFile("/nonexistent-folder/trace.txt");
  TraceStart(kTraceBanner);
  EXPECT_FALSE(TraceOn());
  EXPECT_TRUE(ErrNone());
  TraceSetFile(path);
}

TEST_F(TraceTest, ExceptionRecordedWithGroupThree) {
  MonitoredBoundary("T.Ex", [&] { throw std::runtime_error("bad thing"); });
  auto lines = Lines(path);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[5], "!3:2147483647;\"bad thing\"");
}

}  // namespace
