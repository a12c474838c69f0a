// Scaling and depth conversion against libswscale doing the same job on
// BGR24 pixels; prints the time ratio of each pair at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "foundation/errors.h"
#include "image/geometry.h"
#include "image/image.h"

namespace {

using namespace vek;

// A smooth picture with some noise, so neither side meets only flat runs.
QImg Picture(int w, int h) {
  QImg img{};
  ImgAlloc(&img, w, h, 24, 1, "Bench.Picture.img");
  std::mt19937 rng(7);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = img.pixels + (int64_t{y} * w + x) * 3;
      p[0] = static_cast<uint8_t>(x * 255 / w + (rng() & 15));
      p[1] = static_cast<uint8_t>(y * 255 / h + (rng() & 15));
      p[2] = static_cast<uint8_t>((x + y) & 0xFF);
    }
  return img;
}

enum Job { kResample, kResize, kConvert };

void RunVek(benchmark::State& state, Job job, int sw, int sh, int dw, int dh, int bits) {
  QImg src = Picture(sw, sh), dst{};
  for (auto _ : state) {
    switch (job) {
      case kResample: ImgResample(&src, &dst, dw, dh); break;
      case kResize: ImgResize(&src, &dst, dw, dh); break;
      case kConvert: ImgConvBpp(&src, &dst, bits); break;
    }
    benchmark::DoNotOptimize(dst.pixels);
    benchmark::ClobberMemory();
  }
  if (!ErrNone()) state.SkipWithError(ErrMsgLast().c_str());
  state.SetBytesProcessed(state.iterations() * int64_t{sw} * sh * 3);
  ImgFree(&src);
  ImgFree(&dst);
}

void RunSws(benchmark::State& state, int flags, int sw, int sh, int dw, int dh,
            AVPixelFormat out_fmt, int out_bpp) {
  QImg src = Picture(sw, sh);
  std::vector<uint8_t> out(size_t(dw) * dh * out_bpp + 64);
  SwsContext* ctx = sws_getContext(sw, sh, AV_PIX_FMT_BGR24, dw, dh, out_fmt, flags, nullptr,
                                   nullptr, nullptr);
  if (!ctx) {
    state.SkipWithError("sws_getContext failed");
    ImgFree(&src);
    return;
  }
  const uint8_t* in_planes[4] = {src.pixels};
  const int in_strides[4] = {sw * 3};
  uint8_t* out_planes[4] = {out.data()};
  const int out_strides[4] = {dw * out_bpp};
  for (auto _ : state) {
    sws_scale(ctx, in_planes, in_strides, 0, sh, out_planes, out_strides);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{sw} * sh * 3);
  sws_freeContext(ctx);
  ImgFree(&src);
}

void Register() {
  struct Scale {
    const char* name;
    Job job;
    int flags, sw, sh, dw, dh;
  } scales[] = {
      {"Resample_1920x1080_to_640x360", kResample, SWS_AREA, 1920, 1080, 640, 360},
      {"Resample_320x240_to_1280x960", kResample, SWS_BILINEAR, 320, 240, 1280, 960},
      {"Resize_1920x1080_to_640x360", kResize, SWS_POINT, 1920, 1080, 640, 360},
      {"Resize_320x240_to_1280x960", kResize, SWS_POINT, 320, 240, 1280, 960},
  };
  for (const Scale& s : scales) {
    benchmark::RegisterBenchmark((std::string(s.name) + "/vek").c_str(),
                                 [s](benchmark::State& st) {
                                   RunVek(st, s.job, s.sw, s.sh, s.dw, s.dh, 24);
                                 })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string(s.name) + "/swscale").c_str(),
                                 [s](benchmark::State& st) {
                                   RunSws(st, s.flags, s.sw, s.sh, s.dw, s.dh, AV_PIX_FMT_BGR24, 3);
                                 })
        ->Unit(benchmark::kMillisecond);
  }
  struct Conv {
    const char* name;
    int bits;
    AVPixelFormat fmt;
    int bpp;
  } convs[] = {
      {"Convert24to16_1920x1080", 16, AV_PIX_FMT_RGB565LE, 2},
      {"Convert24to15_1920x1080", 15, AV_PIX_FMT_RGB555LE, 2},
      {"Convert24to32_1920x1080", 32, AV_PIX_FMT_BGR0, 4},
  };
  for (const Conv& c : convs) {
    benchmark::RegisterBenchmark((std::string(c.name) + "/vek").c_str(),
                                 [c](benchmark::State& st) {
                                   RunVek(st, kConvert, 1920, 1080, 1920, 1080, c.bits);
                                 })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string(c.name) + "/swscale").c_str(),
                                 [c](benchmark::State& st) {
                                   RunSws(st, SWS_POINT, 1920, 1080, 1920, 1080, c.fmt, c.bpp);
                                 })
        ->Unit(benchmark::kMillisecond);
  }
}

// Keeps the console output and remembers each run's time for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (!r.error_occurred && r.run_type == Run::RT_Iteration)
        times_[r.benchmark_name()] = r.GetAdjustedRealTime();
  }
  void PrintRatios() const {
    std::printf("\n%-34s %10s %10s %8s\n", "job", "vek ms", "sws ms", "sws/vek");
    for (const auto& [name, t] : times_) {
      const auto slash = name.find("/vek");
      if (slash == std::string::npos) continue;
      const std::string base = name.substr(0, slash);
      const auto peer = times_.find(base + "/swscale");
      if (peer == times_.end()) continue;
      std::printf("%-34s %10.3f %10.3f %8.2f\n", base.c_str(), t, peer->second, peer->second / t);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
