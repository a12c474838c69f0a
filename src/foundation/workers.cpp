#include "foundation/workers.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "foundation/errors.h"

namespace vek {

namespace {

constexpr int32_t kMaxWorkers = 64;

int32_t MachineThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return std::clamp(static_cast<int32_t>(n == 0 ? 1 : n), 1, kMaxWorkers);
}

// Process-wide; 0 until first asked for, then the machine's cores or the cap.
std::atomic<int32_t> g_workers{0};
// Threads started by ParallelFor and running now: nested calls (a task that
// splits its own work) take only the threads still free, so the machine is
// never asked for more than the cap, and a thread freed early is used again.
std::atomic<int32_t> g_started{0};

int32_t Reserve(int32_t wanted) {
  int32_t now = g_started.load();
  for (;;) {
    const int32_t take = std::min(wanted, WorkerCount() - 1 - now);
    if (take <= 0) return 0;
    if (g_started.compare_exchange_weak(now, now + take)) return take;
  }
}

}  // namespace

int32_t WorkersSet(int32_t n) {
  if (n != kUndefined) g_workers = std::clamp(n, 1, kMaxWorkers);
  return WorkerCount();
}

int32_t WorkerCount() {
  int32_t n = g_workers.load();
  if (n == 0) {
    n = MachineThreads();
    g_workers = n;
  }
  return n;
}

void ParallelFor(int32_t count, const std::function<void(int32_t)>& task) {
  if (count <= 0) return;
  const int32_t threads = std::min(WorkerCount(), count);
  if (threads <= 1) {
    for (int32_t i = 0; i < count; ++i) task(i);
    return;
  }
  int32_t extra = Reserve(threads - 1);
  // Threads are started per call: the calls are a frame's worth of work, so
  // the start costs little, and nothing outlives the call (a DLL unloading
  // with threads of its own parked would hang or crash on Windows).
  std::atomic<int32_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::atomic_flag error_taken = ATOMIC_FLAG_INIT;
  auto run = [&] {
    for (;;) {
      const int32_t i = next.fetch_add(1);
      if (i >= count || failed.load()) return;
      try {
        task(i);
      } catch (...) {
        if (!error_taken.test_and_set()) error = std::current_exception();
        failed = true;
      }
    }
  };
  std::vector<std::thread> pool;
  try {
    pool.reserve(static_cast<size_t>(extra));
    for (int32_t t = 0; t < extra; ++t) pool.emplace_back(run);
  } catch (const std::exception&) {
    // No thread to be had: the caller's does the rest.
  }
  g_started -= extra - static_cast<int32_t>(pool.size());
  run();
  for (std::thread& t : pool) t.join();
  g_started -= static_cast<int32_t>(pool.size());
  if (error) std::rethrow_exception(error);
}

}  // namespace vek
