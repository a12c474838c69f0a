#include "foundation/workers.h"

#include <algorithm>
#include <atomic>
#include <system_error>
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
  pool.reserve(static_cast<size_t>(threads - 1));
  try {
    for (int32_t t = 1; t < threads; ++t) pool.emplace_back(run);
  } catch (const std::system_error&) {
    // No thread to be had: the caller's does the rest.
  }
  run();
  for (std::thread& t : pool) t.join();
  if (error) std::rethrow_exception(error);
}

BackgroundTask::~BackgroundTask() {
  if (thread_.joinable()) thread_.join();
}

void BackgroundTask::Start(std::function<void()> task) {
  Wait();
  error_ = nullptr;
  running_ = true;
  task_ = std::move(task);
  if (WorkerCount() > 1) {
    try {
      thread_ = std::thread([this] {
        try {
          task_();
        } catch (...) {
          error_ = std::current_exception();
        }
      });
      return;
    } catch (const std::system_error&) {
      // No thread to be had: run it here.
    }
  }
  try {
    task_();
  } catch (...) {
    error_ = std::current_exception();
  }
}

void BackgroundTask::Wait() {
  if (thread_.joinable()) thread_.join();
  running_ = false;
  if (error_) {
    std::exception_ptr e = error_;
    error_ = nullptr;
    std::rethrow_exception(e);
  }
}

}  // namespace vek
