// A fixture for tests of the library's internals: every test starts with a
// clear error state and must leave no tracked memory, open file or monitored
// block behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"

namespace vektest {

struct TrackedTest : ::testing::Test {
  void SetUp() override {
    vek::ErrClear();
    base_mem = vek::MemCount();
  }
  void TearDown() override {
    EXPECT_EQ(vek::MonDepth(), 0);
    EXPECT_EQ(vek::MemCount(), base_mem);
    EXPECT_EQ(vek::FCount(), 0);
  }
  int32_t base_mem = 0;
};

}  // namespace vektest
