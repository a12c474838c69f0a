// Cost of the procedure guard every engine procedure pays, and of tracked
// allocation against plain malloc/free.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "foundation/errors.h"
#include "foundation/memory.h"

namespace {

__attribute__((noinline)) int EmptyMonitored(int x) {
  return vek::Monitored("Bench.Empty", [&] { return x + 1; });
}

__attribute__((noinline)) int EmptyPlain(int x) {
  benchmark::DoNotOptimize(x);
  return x + 1;
}

void BM_MonitoredProcedure(benchmark::State& state) {
  int x = 0;
  for (auto _ : state) benchmark::DoNotOptimize(x = EmptyMonitored(x));
}
BENCHMARK(BM_MonitoredProcedure);

void BM_PlainProcedure(benchmark::State& state) {
  int x = 0;
  for (auto _ : state) benchmark::DoNotOptimize(x = EmptyPlain(x));
}
BENCHMARK(BM_PlainProcedure);

void BM_TrackedAlloc1K(benchmark::State& state) {
  // A realistic table: a few dozen live entries ahead of the one we use.
  char* live[32] = {};
  for (auto& p : live) vek::MemAlloc(p, 64, 1, vek::kMemNew, "Bench.live");
  for (auto _ : state) {
    char* p = nullptr;
    vek::MemAlloc(p, 1024, 2, vek::kMemNew, "Bench.p");
    benchmark::DoNotOptimize(p);
    vek::MemFree(p);
  }
  for (auto& p : live) vek::MemFree(p);
}
BENCHMARK(BM_TrackedAlloc1K);

void BM_MallocFree1K(benchmark::State& state) {
  for (auto _ : state) {
    void* p = std::malloc(1024);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}
BENCHMARK(BM_MallocFree1K);

}  // namespace

BENCHMARK_MAIN();
