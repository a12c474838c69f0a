// One 640x480 frame of a photo through each of our encoders that split a
// frame over the worker threads (Motion JPEG, HAV FAST key and delta strips,
// PNG at the default level), on one thread and on all of them; the speed-up
// of each follows the table. Real time: the threads' work counts as the
// wait it saves.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "codecs/libdeflate/png_encode.h"
#include "codecs/libjpeg/mjpeg_frame.h"
#include "formats/movie/hav_codec.h"
#include "foundation/errors.h"
#include "foundation/workers.h"

namespace {

constexpr int kW = 640, kH = 480;
std::vector<uint8_t> g_bgr, g_next;  // top-down blue, green, red; the frame panned

bool Prepare() {
  const std::string cmd = "ffmpeg -v error -i '" + std::string(VEK_TEST_DATA) +
                          "/demo/chelsea_400.png' -vf scale=760:560 -f rawvideo -pix_fmt bgr24 -";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return false;
  std::vector<uint8_t> base(size_t(760) * 560 * 3);
  const size_t got = std::fread(base.data(), 1, base.size(), f);
  pclose(f);
  if (got != base.size()) return false;
  g_bgr.resize(size_t(kW) * kH * 3);
  g_next.resize(g_bgr.size());
  for (int y = 0; y < kH; ++y) {
    std::memcpy(&g_bgr[size_t(y) * kW * 3], &base[(size_t(y) * 760) * 3], size_t(kW) * 3);
    std::memcpy(&g_next[size_t(y) * kW * 3], &base[(size_t(y) * 760 + 1) * 3], size_t(kW) * 3);
  }
  return true;
}

int32_t Threads(const benchmark::State& state) {
  return state.range(0) == 0 ? static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()))
                             : static_cast<int32_t>(state.range(0));
}

void BM_MotionJpeg(benchmark::State& state) {
  vek::WorkersSet(Threads(state));
  vek::MjpegFrameEncoder enc(kW, kH, 4);
  for (auto _ : state) enc.Encode(g_bgr.data(), kW * 3, 24);
  vek::WorkersSet(1);
}

void BM_HavFast(benchmark::State& state, bool delta) {
  vek::WorkersSet(Threads(state));
  std::vector<uint8_t> out(vek::HavCodedCapacity(int64_t(g_bgr.size())) + 64);
  for (auto _ : state) {
    benchmark::DoNotOptimize(vek::HVDCFast(delta ? g_next.data() : g_bgr.data(), out.data(),
                                           int64_t(out.size()), g_bgr.data(), delta, 3, kH, kW));
  }
  vek::WorkersSet(1);
}

void BM_Png(benchmark::State& state) {
  vek::WorkersSet(Threads(state));
  vek::PngRaster r;
  r.width = kW;
  r.height = kH;
  r.pixels = g_bgr.data();
  r.stride = kW * 3;
  std::vector<uint8_t> file;
  for (auto _ : state) vek::PngEncode(r, 7, file);
  vek::WorkersSet(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (!Prepare()) {
    std::fprintf(stderr, "cannot make the frames (ffmpeg)\n");
    return 1;
  }
  // Argument 0: all the machine's threads.
  benchmark::RegisterBenchmark("MotionJpeg", BM_MotionJpeg)->Arg(1)->Arg(0)->UseRealTime();
  benchmark::RegisterBenchmark("HavFastKey", BM_HavFast, false)->Arg(1)->Arg(0)->UseRealTime();
  benchmark::RegisterBenchmark("HavFastDelta", BM_HavFast, true)->Arg(1)->Arg(0)->UseRealTime();
  if (vek::PngFastWriterAvailable())
    benchmark::RegisterBenchmark("Png", BM_Png)->Arg(1)->Arg(0)->UseRealTime();
  benchmark::Initialize(&argc, argv);
  vekbench::RatioReporter reporter("/real_time");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* job : {"MotionJpeg", "HavFastKey", "HavFastDelta", "Png"}) {
    const auto one = reporter.times.find(std::string(job) + "/1");
    const auto all = reporter.times.find(std::string(job) + "/0");
    if (one != reporter.times.end() && all != reporter.times.end() && all->second > 0)
      std::printf("%s: %.2fx faster on all threads than on one\n", job, one->second / all->second);
  }
  return 0;
}
