// Worker threads for the library's own encoders and for the codec libraries
// that thread themselves. Work handed to a worker computes into plain
// buffers only: the error state, trace and tracked memory belong to the
// caller's thread, which allocates, reports and writes.
#pragma once

#include <cstdint>
#include <functional>

namespace vek {

// Threads a job may use, the caller's included: all the machine's cores by
// default; 1 runs everything on the caller's thread. Clamps to 1..64,
// stores and returns the value; kUndefined only queries.
int32_t WorkersSet(int32_t n);
int32_t WorkerCount();

// Runs task(0) .. task(count - 1) on up to WorkerCount() threads, the
// caller's among them, and returns when all have finished. The first
// exception a task throws is rethrown here, on the caller's thread.
void ParallelFor(int32_t count, const std::function<void(int32_t)>& task);

}  // namespace vek
