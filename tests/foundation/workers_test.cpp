// The worker threads: every task runs once whatever the cap, nested calls
// stay within it, and a task's exception reaches the caller.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "foundation/errors.h"
#include "foundation/workers.h"

namespace vek {
namespace {

struct KeepWorkers {
  int32_t saved = WorkersSet(kUndefined);
  ~KeepWorkers() { WorkersSet(saved); }
};

TEST(Workers, EveryTaskOnceWithinTheCapNestedToo) {
  KeepWorkers keep;
  EXPECT_EQ(WorkersSet(0), 1);
  EXPECT_EQ(WorkersSet(1000), 64);
  for (int32_t cap : {1, 2, 3, 8}) {
    WorkersSet(cap);
    std::vector<std::atomic<int>> hits(200);
    std::atomic<int> running{0}, most{0};
    ParallelFor(10, [&](int32_t outer) {
      ParallelFor(20, [&](int32_t inner) {
        const int now = ++running;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        ++hits[size_t(outer * 20 + inner)];
        --running;
      });
    });
    for (auto& h : hits) EXPECT_EQ(h.load(), 1) << "cap " << cap;
    EXPECT_LE(most.load(), cap);
  }
}

TEST(Workers, ExceptionReachesTheCaller) {
  KeepWorkers keep;
  for (int32_t cap : {1, 4}) {
    WorkersSet(cap);
    std::atomic<int> ran{0};
    EXPECT_THROW(ParallelFor(50,
                             [&](int32_t i) {
                               ++ran;
                               if (i == 7) throw std::runtime_error("task 7");
                             }),
                 std::runtime_error);
    EXPECT_GE(ran.load(), 8);
    ParallelFor(3, [&](int32_t) { ++ran; });  // usable again afterwards
  }
}

}  // namespace
}  // namespace vek
