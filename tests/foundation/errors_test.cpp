#include <gtest/gtest.h>

#include "test_temp.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"

using namespace vek;

namespace {

struct ErrorsTest : ::testing::Test {
  void SetUp() override {
    ErrClear();
    WarnClear();
  }
  void TearDown() override {
    EXPECT_EQ(MonDepth(), 0);
    EXPECT_EQ(MemCount(), 0);
    EXPECT_EQ(FCount(), 0);
  }
};

TEST_F(ErrorsTest, MessageTable) {
  EXPECT_EQ(ErrMsg(0, 5), "No errors.");
  EXPECT_EQ(ErrMsg(7, 0), "No errors.");
  EXPECT_EQ(ErrMsg(18, 3), "Undefined error: 18:3");
  EXPECT_EQ(ErrMsg(21, 1), "Undefined error: 21:1");
  EXPECT_EQ(ErrMsg(10, -1), "AVI subsystem malfunction: 4294967295");
  EXPECT_EQ(ErrMsg(11, 5), "Video For Windows malfunction: 5");
  EXPECT_EQ(ErrMsg(19, 512), "Fatal error in Audio Compression Manager: 512");
  EXPECT_EQ(ErrMsg(20, 7), "Fatal error in Win-MM: 7");
  EXPECT_EQ(ErrMsg(14, 7), ErrMsg(12, 7));
  EXPECT_EQ(ErrMsg(12, 7), "End of movie reached.");
  EXPECT_EQ(ErrMsg(12, 99), "General \"MVI\" handling fault.");
  EXPECT_EQ(ErrMsg(4, 1), "Out of range.");
  EXPECT_EQ(ErrMsg(4, 9), "General \"GEN\" error.");
  EXPECT_EQ(ErrMsg(5, 5), "Invalid memory request.");
  EXPECT_EQ(ErrMsg(5, 77), "General memory fault.");
  EXPECT_EQ(ErrMsg(6, 9), "File not exist.");
  EXPECT_EQ(ErrMsg(6, 12), "General file handling fault.");
  EXPECT_EQ(ErrMsg(7, 11), "Cannot create image file.");
  EXPECT_EQ(ErrMsg(7, 12), "General image handling fault.");
  EXPECT_EQ(ErrMsg(8, 4), "Invalid audio format.");
  EXPECT_EQ(ErrMsg(9, 8), "AVI audio stream not valid (decompressor not found?), ignoring audio");
  EXPECT_EQ(ErrMsg(13, 6), "general \"WAV\" handling fault.");
  EXPECT_EQ(ErrMsg(15, 1), "End of HAV movie reached.");
  EXPECT_EQ(ErrMsg(15, 2), "General \"HAV\" handling fault.");
  EXPECT_EQ(ErrMsg(16, 1), "UNI protocol fault.");
  EXPECT_EQ(ErrMsg(17, 3), "General \"FLIC\" handling fault.");
}

TEST_F(ErrorsTest, FileMessagesNameTheLastFileTouched) {
  int32_t id = 0;
  MonitoredBoundary("Test.Open", [&] { FOpen(id, "a.bmp", kFmRead); });
  EXPECT_EQ(id, kUndefined);
  EXPECT_EQ(ErrGroup(), 6);
  EXPECT_EQ(ErrCode(), 1);
  EXPECT_EQ(ErrMsgLast(), "Cannot open file: a.bmp");
  EXPECT_EQ(ErrMsg(6, 3), "Cannot read from file.");
}

TEST_F(ErrorsTest, NumberText) {
  EXPECT_EQ(NumText(1048576, 100), "1,048,576");
  EXPECT_EQ(NumText(999, 100), "999");
  EXPECT_EQ(NumText(1000, 100), "1,000");
  EXPECT_EQ(NumText(0, 0), "0");
  EXPECT_EQ(NumText(-1, 0), "4294967295");
  EXPECT_EQ(NumText(42, 5), "   42");
  EXPECT_EQ(NumText(1234, 107), "  1,234");
  EXPECT_EQ(NumText(42, 205), "00042");
  EXPECT_EQ(NumText(123456, 203), "123456");
}

TEST_F(ErrorsTest, ReportWithCodeZeroClearsAndDoesNotRaise) {
  MonitoredBoundary("Test.A", [&] {
    ErrReportText(2, "first", 1);
  });
  EXPECT_FALSE(ErrNone());
  MonitoredBoundary("Test.B", [&] {
    ErrReportText(2, "again", 1);
  });
  bool reached = false;
  Monitored("Test.C", [&] {
    ErrReportCode(6, 0, 2);
    reached = true;
  });
  EXPECT_TRUE(reached);
  EXPECT_TRUE(ErrNone());
}

TEST_F(ErrorsTest, FreeTextGroups) {
  MonitoredBoundary("Test.T", [&] { ErrReportText(2, "custom failure", 7); });
  EXPECT_EQ(ErrGroup(), 2);
  EXPECT_EQ(ErrCode(), kFreeTextCode);
  EXPECT_EQ(ErrMsgLast(), "custom failure");
}

// The error travels out of three nested blocks, each freeing its own memory
// and files, and stops at the boundary.
TEST_F(ErrorsTest, PropagationStopsAtBoundaryAndFreesEachLevel) {
  std::vector<int> order;
  char* outer_keep = nullptr;
  MemAlloc(outer_keep, 10, 1, kMemNew, "Test.outer");
  const std::string path = vek::testing::UniqueTemp("prop.bin");
  bool after_inner = false;
  MonitoredBoundary("Test.Boundary", [&] {
    char* a = nullptr;
    MemAlloc(a, 10, 2, kMemNew, "Test.a");
    Monitored("Test.L1", [&] {
      char* b = nullptr;
      MemAlloc(b, 20, 3, kMemNew, "Test.b");
      int32_t f = 0;
      FOpen(f, path, kFmCreate);
      MonSetCleanup([&] { order.push_back(1); });
      Monitored("Test.L2", [&] {
        MonSetCleanup([&] { order.push_back(2); });
        Monitored("Test.L3", [&] {
          MonSetCleanup([&] {
            order.push_back(3);
            EXPECT_EQ(MemCount(), 4);  // callback runs before resources go
          });
          char* c = nullptr;
          MemAlloc(c, 30, 4, kMemNew, "Test.c");
          ErrReportCode(7, 9, 5);
          ADD_FAILURE() << "not reached";
        });
        ADD_FAILURE() << "not reached";
      });
      ADD_FAILURE() << "not reached";
    });
    after_inner = true;
  });
  EXPECT_FALSE(after_inner);
  EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
  EXPECT_FALSE(ErrNone());
  EXPECT_EQ(ErrGroup(), 7);
  EXPECT_EQ(ErrCode(), 9);
  EXPECT_EQ(MemCount(), 1);  // only the block allocated outside survives
  EXPECT_TRUE(MemTracked(outer_keep));
  EXPECT_EQ(FCount(), 0);
  MemFree(outer_keep);
  FDelete(path);
}

TEST_F(ErrorsTest, BoundaryLetsCallerTryAnAlternative) {
  int tries = 0;
  Monitored("Test.Outer", [&] {
    MonitoredBoundary("Test.First", [&] {
      ++tries;
      ErrReportCode(7, 1, 1);
    });
    EXPECT_FALSE(ErrNone());
    MonitoredBoundary("Test.Second", [&] { ++tries; });
    EXPECT_TRUE(ErrNone());
  });
  EXPECT_EQ(tries, 2);
  EXPECT_TRUE(ErrNone());
}

TEST_F(ErrorsTest, ForeignExceptionBecomesGroupThree) {
  char* p = nullptr;
  MonitoredBoundary("Test.Foreign", [&] {
    MemAlloc(p, 64, 1, kMemNew, "Test.p");
    throw std::runtime_error("Access violation at address 00000000");
  });
  EXPECT_EQ(ErrGroup(), 3);
  EXPECT_EQ(ErrCode(), kFreeTextCode);
  EXPECT_EQ(ErrMsgLast(), "Access violation at address 00000000");
  EXPECT_EQ(MemCount(), 0);  // the block freed what it held without an owner
  (void)p;
}

TEST_F(ErrorsTest, ForeignExceptionPropagatesAsEMon) {
  bool caught = false;
  try {
    Monitored("Test.Outer", [&] {
      Monitored("Test.Inner", [&] { throw std::logic_error("boom"); });
    });
  } catch (const EMon& e) {
    caught = true;
    EXPECT_STREQ(e.what(), "boom");
  }
  EXPECT_TRUE(caught);
  EXPECT_EQ(ErrGroup(), 3);
}

TEST_F(ErrorsTest, AbortLeavesSilentlyWithoutSwallowingLaterErrors) {
  bool after = false;
  MonitoredBoundary("Test.Outer", [&] {
    Monitored("Test.Quit", [&] {
      MonAbort();
    });
    after = true;
    EXPECT_TRUE(ErrNone());
    // A later failure in the same block still raises.
    ErrReportCode(4, 2, 1);
    ADD_FAILURE() << "not reached";
  });
  EXPECT_TRUE(after);
  EXPECT_EQ(ErrGroup(), 4);
  EXPECT_EQ(ErrCode(), 2);
}

TEST_F(ErrorsTest, ValueReturnsAndBoundaryDefault) {
  int v = Monitored("Test.Value", [] { return 42; });
  EXPECT_EQ(v, 42);
  int w = MonitoredBoundary("Test.Fail", []() -> int {
    ErrReportCode(4, 1, 1);
    return 7;
  });
  EXPECT_EQ(w, 0);
  EXPECT_EQ(ErrMsgLast(), "Out of range.");
}

// A raise is never continued past: outside any block it is recorded and
// thrown; under the recording lock it is not recorded but thrown all the same.
TEST_F(ErrorsTest, RaisesNeverReturnEvenUnrecorded) {
  EXPECT_THROW(ErrReportCode(4, 3, 1), EMon);
  EXPECT_EQ(ErrGroup(), 4);
  {
    RecordingLock lock;
    bool continued = false;
    MonitoredBoundary("Test.Locked", [&] {
      ErrReportCode(7, 2, 2);
      continued = true;
    });
    EXPECT_FALSE(continued);
    ErrClear();
    EXPECT_EQ(ErrGroup(), 4);  // the lock keeps the state as it was
  }
  ErrClear();
  EXPECT_TRUE(ErrNone());
  // Raised from a clean-up callback (reporting suspended), the raise still
  // leaves the callback instead of running on with an invalid value.
  bool after_raise_in_cleanup = false;
  MonitoredBoundary("Test.Outer", [&] {
    MonSetCleanup([&] {
      Monitored("Test.InCleanup", [&] { ErrReportCode(7, 9, 3); });
      after_raise_in_cleanup = true;
    });
    ErrReportCode(4, 1, 4);
  });
  EXPECT_FALSE(after_raise_in_cleanup);
  EXPECT_EQ(ErrGroup(), 4);
  EXPECT_EQ(MonDepth(), 0);
}

// Owners whose destructors run monitored procedures while an error unwinds
// (a guard freeing an image, say) leave the error as it was raised.
TEST_F(ErrorsTest, MonitoredWorkInDestructorsKeepsTheError) {
  struct Owner {
    Tracked<uint8_t> buf{16, 1, "Test.owner"};
    ~Owner() {
      Monitored("Test.Release", [&] { buf.Reset(); });
    }
  };
  MonitoredBoundary("Test.Outer", [&] {
    Monitored("Test.Middle", [&] {
      Owner owner;
      ErrReportCode(7, 9, 2);
    });
  });
  EXPECT_EQ(ErrGroup(), 7);
  EXPECT_EQ(ErrCode(), 9);
  EXPECT_EQ(MemCount(), 0);
}

// A block that frees an older allocation and then fails must still free
// its own newer one, whatever slot the table moved it to.
TEST_F(ErrorsTest, RollbackFreesExactlyTheBlocksOwnEntries) {
  char* older = nullptr;
  char* keep = nullptr;
  MemAlloc(keep, 8, 1, kMemNew, "Test.keep");
  MonitoredBoundary("Test.Outer", [&] {
    MemAlloc(older, 16, 2, kMemNew, "Test.older");
    Monitored("Test.Inner", [&] {
      char* newer = nullptr;
      MemAlloc(newer, 32, 3, kMemNew, "Test.newer");
      MemFree(older);  // the newer entry moves into the freed slot
      char* newest = nullptr;
      MemAlloc(newest, 64, 4, kMemNew, "Test.newest");
      ErrReportCode(7, 9, 5);
    });
  });
  EXPECT_EQ(MemCount(), 1);
  EXPECT_TRUE(MemTracked(keep));
  MemFree(keep);
  // Owning handles release in their destructors; a successful inner block
  // hands its loose entries to the block around it, which frees them when
  // it fails later.
  MonitoredBoundary("Test.Adopt", [&] {
    Tracked<uint8_t> owned(100, 6, "Test.owned");
    Monitored("Test.Give", [&] {
      char* loose = nullptr;
      MemAlloc(loose, 10, 7, kMemNew, "Test.loose");
    });
    EXPECT_EQ(MemCount(), 2);
    ErrReportCode(7, 9, 8);
  });
  EXPECT_EQ(MemCount(), 0);
}

TEST_F(ErrorsTest, WarningsNeverRaise) {
  Monitored("Test.Warn", [&] {
    WarnReportCode(5, 4, 1);
    EXPECT_FALSE(WarnNone());
    EXPECT_EQ(WarnGroup(), 5);
  });
  EXPECT_TRUE(ErrNone());
  WarnReportCode(0, 1, 1);
  EXPECT_TRUE(WarnNone());
}

TEST_F(ErrorsTest, CleanupExceptionsAreSwallowedAndRunOnce) {
  int runs = 0;
  MonitoredBoundary("Test.C", [&] {
    MonSetCleanup([&] {
      ++runs;
      throw std::runtime_error("ignored");
    });
    ErrReportCode(4, 1, 1);
  });
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(ErrGroup(), 4);
}

TEST_F(ErrorsTest, DeepNestingStaysBalanced) {
  std::function<void(int)> dive = [&](int n) {
    Monitored("Test.Dive", [&] {
      if (n == 0)
        ErrReportCode(4, 1, 1);
      else
        dive(n - 1);
    });
  };
  MonitoredBoundary("Test.Top", [&] { dive(200); });
  EXPECT_EQ(ErrGroup(), 4);
  EXPECT_EQ(MonDepth(), 0);
}

}  // namespace
