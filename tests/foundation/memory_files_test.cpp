#include <gtest/gtest.h>

#include "test_temp.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"

using namespace vek;

namespace {

std::string Temp(const char* name) { return vek::testing::UniqueTemp(name); }

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct MemoryTest : ::testing::Test {
  void SetUp() override { ErrClear(); }
  void TearDown() override {
    EXPECT_EQ(MemCount(), 0);
    EXPECT_EQ(FCount(), 0);
  }
};

TEST_F(MemoryTest, SizeRule) {
  EXPECT_EQ(MemRoundedSize(100), 108);
  EXPECT_EQ(MemRoundedSize(1), 4);
  EXPECT_EQ(MemRoundedSize(10), 12);   // 10.5 rounds to even 10, then up to 12
  EXPECT_EQ(MemRoundedSize(30), 32);   // 31.5 rounds to even 32
  EXPECT_EQ(MemRoundedSize(1000), 1052);
  char* p = nullptr;
  EXPECT_EQ(MemAlloc(p, 100, 12, kMemRealloc, "X.y"), 0);
  EXPECT_EQ(MemSize(p), 108);
  EXPECT_STREQ(MemLabel(p), "C:X.y:12");
  MemFree(p);
  EXPECT_EQ(p, nullptr);
}

TEST_F(MemoryTest, LabelsAndKinds) {
  char *s = nullptr, *n = nullptr, *c = nullptr;
  MemAlloc(s, 8, 1234, kMemString, "ConForm.ImgLoad.buf");
  MemAlloc(n, 8, 5, kMemNew, nullptr);
  MemAlloc(c, 8, 1234567, 0, "A.b.c");
  EXPECT_STREQ(MemLabel(s), "S:ConForm.ImgLoad.buf:1,234");
  EXPECT_STREQ(MemLabel(n), "N:Handle #1:5");
  EXPECT_STREQ(MemLabel(c), "C:A.b.c:1,234,567");
  MemFree(s);
  MemFree(n);
  MemFree(c);
}

TEST_F(MemoryTest, InvalidRequestsAllocateNothing) {
  char* p = nullptr;
  MonitoredBoundary("T.Zero", [&] { MemAlloc(p, 0, 1, kMemNew, "T.p"); });
  EXPECT_EQ(ErrGroup(), 5);
  EXPECT_EQ(ErrCode(), 5);
  EXPECT_EQ(p, nullptr);
  MonitoredBoundary("T.Neg", [&] { MemAlloc(p, -5, 1, kMemNew, "T.p"); });
  EXPECT_EQ(ErrCode(), 5);
  MonitoredBoundary("T.Huge", [&] { MemAlloc(p, INT64_MAX / 2, 1, kMemNew, "T.p"); });
  EXPECT_EQ(ErrCode(), 1);
  EXPECT_EQ(p, nullptr);
}

TEST_F(MemoryTest, ReallocKeepsDataAndNewAddsEntry) {
  char* p = nullptr;
  MemAlloc(p, 16, 1, kMemRealloc, "T.p");
  std::memcpy(p, "0123456789abcdef", 16);
  MemAlloc(p, 4096, 2, kMemRealloc, "T.p");
  EXPECT_EQ(MemCount(), 1);
  EXPECT_EQ(std::memcmp(p, "0123456789abcdef", 16), 0);
  EXPECT_EQ(MemSize(p), MemRoundedSize(4096));

  char* old = p;
  MemAlloc(p, 8, 3, kMemNew, "T.p");
  EXPECT_EQ(MemCount(), 2);
  EXPECT_TRUE(MemTracked(old));
  MemFree(p);
  MemFree(old);
}

TEST_F(MemoryTest, FreeOfUnknownOrFreedPointerIsHarmless) {
  char stack_buf[4];
  char* p = stack_buf;
  MemFree(p);
  EXPECT_EQ(p, stack_buf);
  EXPECT_TRUE(WarnNone());
  char* q = nullptr;
  MemAlloc(q, 4, 1, kMemNew, "T.q");
  char* copy = q;
  MemFree(q);
  MemFree(copy);  // already freed: nothing happens
  EXPECT_EQ(MemCount(), 0);
}

TEST_F(MemoryTest, XchgSwapsBlocksKeepsOwners) {
  char *a = nullptr, *b = nullptr;
  MemAlloc(a, 10, 1, kMemRealloc, "T.a");
  MemAlloc(b, 1000, 2, kMemRealloc, "T.b");
  MemXchg(a, b);
  std::swap(a, b);
  EXPECT_EQ(MemSize(a), MemRoundedSize(1000));  // a now holds the big block
  EXPECT_STREQ(MemLabel(a), "C:T.a:1");
  // Reallocating through a still works: its entry follows its new block.
  MemAlloc(a, 2000, 3, kMemRealloc, "T.a");
  EXPECT_EQ(MemCount(), 2);
  char stray = 0;
  char* s = &stray;
  MonitoredBoundary("T.X", [&] { MemXchg(a, s); });
  EXPECT_EQ(ErrGroup(), 5);
  EXPECT_EQ(ErrCode(), 2);
  MemFree(a);
  MemFree(b);
}

TEST_F(MemoryTest, TableLimit) {
  std::vector<char*> ptrs(kMemTableSize, nullptr);
  for (auto& p : ptrs) ASSERT_EQ(MemAlloc(p, 1, 1, kMemNew, "T.many"), 0);
  char* extra = nullptr;
  MonitoredBoundary("T.Full", [&] { MemAlloc(extra, 1, 2, kMemNew, "T.extra"); });
  EXPECT_EQ(ErrCode(), 6);
  EXPECT_EQ(extra, nullptr);
  EXPECT_EQ(MemCount(), kMemTableSize);
  EXPECT_EQ(MemMaxCount(), kMemTableSize);
  for (auto& p : ptrs) MemFree(p);
}

TEST_F(MemoryTest, OwningHandleFollowsMovesAndErrors) {
  Tracked<int> a(100, 1, "T.a");
  a[99] = 7;
  Tracked<int> b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_EQ(b[99], 7);
  // A kMemRealloc request on the moved handle must find its entry again.
  b.Alloc(1000, 2, "T.a");
  EXPECT_EQ(b[99], 7);
  EXPECT_EQ(MemCount(), 1);

  int* raw = nullptr;
  b.ReleaseTo(raw);
  EXPECT_TRUE(MemTracked(raw));
  MemFree(raw);

  MonitoredBoundary("T.Err", [&] {
    Tracked<char> inner(64, 3, "T.inner");
    ErrReportCode(7, 1, 4);
  });
  EXPECT_EQ(MemCount(), 0);
}

TEST_F(MemoryTest, LeakReportText) {
  char* p = nullptr;
  MemAlloc(p, 100, 12, kMemRealloc, "X.y");
  const std::string report = MemLeakReport();
  EXPECT_EQ(report.substr(0, report.find("\r\n")), "Max. allocated memory handles: " +
                                                       NumText(MemMaxCount(), 100));
  EXPECT_NE(report.find("\r\nMemory handles not freed:\r\n  C:X.y:12:108 bytes"), std::string::npos);
  EXPECT_EQ(MemCount(), 0);
  EXPECT_EQ(MemLeakReport(), "");
}

struct FilesTest : MemoryTest {};

TEST_F(FilesTest, ModesCreateReadWriteAppend) {
  const std::string path = Temp("vek_modes.bin");
  FDelete(path);
  int32_t id = 0;
  ASSERT_EQ(FOpen(id, path, kFmCreate), 0);
  EXPECT_NE(id, kUndefined);
  EXPECT_EQ(FWrite(id, "hello", 5), 0);
  EXPECT_EQ(FSize(id), 5);
  EXPECT_EQ(FPos(id), 5);
  // A created file can be read back without closing it first.
  EXPECT_EQ(FSeek(id, 1), 0);
  char buf[8] = {};
  EXPECT_EQ(FRead(id, buf, 3), 0);
  EXPECT_STREQ(buf, "ell");
  EXPECT_EQ(FWrite(id, "X", 1), 0);
  FClose(id);
  EXPECT_EQ(Slurp(path), "hellX");

  ASSERT_EQ(FOpen(id, path, kFmAppend | kFmWrite), 0);
  EXPECT_EQ(FPos(id), 5);
  FWrite(id, "!!", 2);
  FClose(id);
  EXPECT_EQ(Slurp(path), "hellX!!");

  ASSERT_EQ(FOpen(id, path, kFmWrite), 0);  // existing file, at its start, kept
  FWrite(id, "J", 1);
  FClose(id);
  EXPECT_EQ(Slurp(path), "JellX!!");

  ASSERT_EQ(FOpen(id, path, kFmRead), 0);
  MonitoredBoundary("T.W", [&] { FWrite(id, "no", 2); });
  EXPECT_EQ(ErrCode(), kFileWrite);
  FClose(id);

  ASSERT_EQ(FOpen(id, path, 0), 0);  // read and write
  FSeek(id, 6);
  FWrite(id, "?", 1);
  FSeek(id, 0);
  char all[8] = {};
  FRead(id, all, 7);
  EXPECT_STREQ(all, "JellX!?");
  FClose(id);
  FDelete(path);
}

TEST_F(FilesTest, Failures) {
  const std::string missing = Temp("vek_missing_file.bin");
  FDelete(missing);
  int32_t id = 0;
  MonitoredBoundary("T.A", [&] { FOpen(id, missing, kFmAppend); });
  EXPECT_EQ(ErrCode(), kFileAppend);
  EXPECT_EQ(ErrMsgLast(), "Cannot append to file: " + missing);
  EXPECT_EQ(id, kUndefined);

  MonitoredBoundary("T.C", [&] { FOpen(id, "/nonexistent-dir/x.bin", kFmCreate); });
  EXPECT_EQ(ErrCode(), kFileCreate);
  EXPECT_EQ(ErrMsgLast(), "Cannot create file: /nonexistent-dir/x.bin");

  EXPECT_EQ(FDelete(missing), 0);
  EXPECT_TRUE(ErrNone());

  const std::string path = Temp("vek_short.bin");
  ASSERT_EQ(FOpen(id, path, kFmCreate), 0);
  FWrite(id, "0123456789", 10);
  FSeek(id, 6);
  char buf[10];
  MonitoredBoundary("T.R", [&] { FRead(id, buf, 10); });
  EXPECT_EQ(ErrCode(), kFileRead);
  EXPECT_EQ(ErrMsgLast(), "Cannot read from file.");
  int64_t got = 0;
  FSeek(id, 6);
  FReadSome(id, buf, 10, got);
  EXPECT_EQ(got, 4);
  EXPECT_EQ(FRead(id, buf, 0), 0);
  FClose(id);

  // Unknown ids: nothing happens.
  EXPECT_EQ(FRead(12345, buf, 4), 0);
  EXPECT_EQ(FSize(12345), kUndefined);
  EXPECT_EQ(FPos(kUndefined), kUndefined);
  FClose(12345);
  EXPECT_TRUE(WarnNone());
  FDelete(path);
}

TEST_F(FilesTest, RenameRules) {
  const std::string a = Temp("vek_ren_a.bin"), b = Temp("vek_ren_b.bin");
  FDelete(a);
  FDelete(b);
  MonitoredBoundary("T.R1", [&] { FRename(a, b); });
  EXPECT_EQ(ErrCode(), kFileRename);
  EXPECT_EQ(ErrMsgLast(), "File name change failed.");
  int32_t id;
  FOpen(id, a, kFmCreate);
  FClose(id);
  FOpen(id, b, kFmCreate);
  FClose(id);
  MonitoredBoundary("T.R2", [&] { FRename(a, b); });
  EXPECT_EQ(ErrCode(), kFileRename);
  FDelete(b);
  EXPECT_EQ(FRename(a, b), 0);
  EXPECT_TRUE(FExists(b));
  EXPECT_FALSE(FExists(a));
  chmod(b.c_str(), S_IRUSR);
  EXPECT_EQ(FDelete(b), 0);
  EXPECT_FALSE(FExists(b));
}

TEST_F(FilesTest, TextFilesUseCrLf) {
  const std::string path = Temp("vek_text.txt");
  int32_t id;
  ASSERT_EQ(TXTOpen(id, path, kFmCreate), 0);
  TXTWrite(id, "one");
  TXTClose(id);
  ASSERT_EQ(TXTOpen(id, path, kFmAppend), 0);
  TXTWrite(id, "two");
  TXTClose(id);
  EXPECT_EQ(Slurp(path), "one\r\ntwo\r\n");
  ASSERT_EQ(TXTOpen(id, path, 0), 0);
  std::string line;
  std::vector<std::string> lines;
  while (TXTReadLine(id, line)) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
  TXTClose(id);
  FDelete(path);
}

TEST_F(FilesTest, TableLimitAndBlockCleanup) {
  const std::string path = Temp("vek_limit.bin");
  int32_t id;
  FOpen(id, path, kFmCreate);
  FClose(id);
  std::vector<int32_t> ids(kFileTableSize);
  for (auto& i : ids) ASSERT_EQ(FOpen(i, path, kFmRead), 0);
  int32_t extra = 0;
  MonitoredBoundary("T.Full", [&] { FOpen(extra, path, kFmRead); });
  EXPECT_EQ(ErrCode(), kFileFatal);
  EXPECT_EQ(extra, kUndefined);
  EXPECT_EQ(FCount(), kFileTableSize);
  for (auto i : ids) FClose(i);

  MonitoredBoundary("T.Block", [&] {
    TrackedFile a, t;
    a.Open(path, kFmRead);
    t.OpenText(path, 0);
    int32_t raw;
    FOpen(raw, path, kFmRead);
    EXPECT_EQ(FCount(), 3);
    ErrReportCode(7, 2, 1);
  });
  EXPECT_EQ(FCount(), 0);

  int32_t x;
  FOpen(x, path, kFmRead);
  const std::string report = FLeakReport();
  EXPECT_EQ(report, "Files not closed: 1\r\n  " + path);
  EXPECT_EQ(FCount(), 0);
  FDelete(path);
}

TEST(Stopwatch, MeasuresElapsedTime) {
  Stopwatch w;
  WatchStart(w);
  struct timespec ts {0, 30 * 1000 * 1000};
  nanosleep(&ts, nullptr);
  const double s = WatchElapsed(w);
  EXPECT_GE(s, 0.025);
  EXPECT_LT(s, 5.0);
  EXPECT_EQ(w.hours, 0);
  EXPECT_EQ(w.seconds * 1000 + w.milliseconds, static_cast<int>(s * 1000 + 0.5));
}

}  // namespace
