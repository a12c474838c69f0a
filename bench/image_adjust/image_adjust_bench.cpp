// The three 3x3 filters and the gamma table on a 1920x1080 24-bit photo,
// against ImageMagick (-convolve) and libvips (conv, integer precision) on
// the same photo in the same run. The tools run as whole commands (read a
// PPM, filter, write); a plain copy by the same tool is timed as well, so
// the ratios are printed both against the whole command and against the
// command less its copy.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/image_adjust.h"
#include "bench_util.h"

namespace {

const std::string kPpm = vekbench::ScratchDir() + "vek_bench_adjust.ppm";
const std::string kOut = vekbench::ScratchDir() + "vek_bench_adjust_out";

vek::QImg g_photo{};

struct Filter {
  const char* name;
  void (*ours)(vek::QImg*, vek::QImg*);
  const char* magick;  // -convolve kernel (normalised by ImageMagick)
  const char* mask;    // vips matrix file: width height scale offset, rows
};
const Filter kFilters[] = {
    {"soften", vek::ImgSoften, "1,1,1,1,8,1,1,1,1", "3 3 16 0\n1 1 1\n1 8 1\n1 1 1\n"},
    {"sharpen", vek::ImgSharpen, "0,-1,0,-1,8,-1,0,-1,0", "3 3 4 0\n0 -1 0\n-1 8 -1\n0 -1 0\n"},
    {"edge", vek::ImgEdgeEnhance, "-1,-2,-1,-2,16,-2,-1,-2,-1",
     "3 3 4 0\n-1 -2 -1\n-2 16 -2\n-1 -2 -1\n"},
};

std::string MaskFile(const Filter& f) { return vekbench::ScratchDir() + "vek_bench_" + f.name + ".mat"; }

bool Prepare() {
  const std::string src = std::string(VEK_TEST_DATA) + "/demo/chelsea_400.png";
  const std::string cmd = "/usr/bin/convert '" + src + "' -resize '1920x1080!' -type TrueColor '" +
                          kPpm + "' && /usr/bin/convert '" + kPpm + "' -depth 8 bgr:'" + kOut + "'";
  if (std::system(cmd.c_str()) != 0) return false;
  std::ifstream in(kOut, std::ios::binary);
  std::vector<uint8_t> bgr((std::istreambuf_iterator<char>(in)), {});
  if (bgr.size() != 1920u * 1080 * 3) return false;
  vek::MonitoredBoundary("Bench.Prepare",
                         [&] { vek::RawToQimg(&g_photo, bgr.data(), nullptr, 1920, 1080, 24); });
  for (const Filter& f : kFilters) std::ofstream(MaskFile(f)) << f.mask;
  return vek::ErrNone();
}

void Ours(benchmark::State& state, const Filter* f) {
  vek::QImg out{};
  for (auto _ : state) {
    vek::MonitoredBoundary("Bench.Filter", [&] { f->ours(&g_photo, &out); });
    benchmark::DoNotOptimize(out.pixels);
  }
  if (!vek::ErrNone()) state.SkipWithError("filter failed");
  vek::ImgFree(&out);
  state.SetBytesProcessed(state.iterations() * 1920 * 1080 * 3);
}

void OursGamma(benchmark::State& state) {
  vek::QImg out{};
  for (auto _ : state) {
    vek::MonitoredBoundary("Bench.Gamma", [&] { vek::ImgGamma(&g_photo, &out, 1.8, 1.8, 1.8); });
    benchmark::DoNotOptimize(out.pixels);
  }
  vek::ImgFree(&out);
  state.SetBytesProcessed(state.iterations() * 1920 * 1080 * 3);
}

void Tool(benchmark::State& state, std::string cmd) {
  cmd += " >/dev/null 2>&1";
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError(("failed: " + cmd).c_str());
      break;
    }
}

}  // namespace

int main(int argc, char** argv) {
  if (!Prepare()) {
    std::fprintf(stderr, "bench_image_adjust: cannot prepare the photo (ImageMagick missing?)\n");
    return 1;
  }
  const bool vips = std::system("vips --version >/dev/null 2>&1") == 0;
  for (const Filter& f : kFilters) {
    const std::string n = f.name;
    benchmark::RegisterBenchmark((n + "/vek").c_str(), Ours, &f)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((n + "/magick").c_str(), Tool,
                                 "/usr/bin/convert '" + kPpm + "' -convolve " + f.magick + " '" +
                                     kOut + ".ppm'")
        ->Unit(benchmark::kMillisecond)->Iterations(20);
    if (vips)
      benchmark::RegisterBenchmark((n + "/vips").c_str(), Tool,
                                   "vips conv '" + kPpm + "' '" + kOut + ".v' '" + MaskFile(f) +
                                       "' --precision integer")
          ->Unit(benchmark::kMillisecond)->Iterations(20);
  }
  benchmark::RegisterBenchmark("copy/magick", Tool,
                               "/usr/bin/convert '" + kPpm + "' '" + kOut + ".ppm'")
      ->Unit(benchmark::kMillisecond)->Iterations(20);
  if (vips)
    benchmark::RegisterBenchmark("copy/vips", Tool, "vips copy '" + kPpm + "' '" + kOut + ".v'")
        ->Unit(benchmark::kMillisecond)->Iterations(20);
  benchmark::RegisterBenchmark("gamma/vek", OursGamma)->Unit(benchmark::kMillisecond);

  benchmark::Initialize(&argc, argv);
  vekbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& t = reporter.times;
  std::printf("\npeer time / vek time (above 1: vek faster): whole command | command less the"
              " tool's own copy (n/a: within the tool's start-up and I/O noise)\n");
  for (const Filter& f : kFilters) {
    const std::string n = f.name;
    if (!t.count(n + "/vek") || t[n + "/vek"] <= 0) continue;
    const double ours = t[n + "/vek"];
    std::printf("%-8s", f.name);
    for (const char* peer : {"magick", "vips"}) {
      const std::string k = n + "/" + peer, c = std::string("copy/") + peer;
      if (!t.count(k)) continue;
      const double net = t.count(c) ? t[k] - t[c] : 0;
      std::printf("  %s %6.1fx | ", peer, t[k] / ours);
      if (net > 2 * ours)
        std::printf("%6.1fx", net / ours);
      else
        std::printf("   n/a");
    }
    std::printf("\n");
  }
  vek::ImgFree(&g_photo);
  std::remove(kPpm.c_str());
  std::remove(kOut.c_str());
  std::remove((kOut + ".ppm").c_str());
  std::remove((kOut + ".v").c_str());
  for (const Filter& f : kFilters) std::remove(MaskFile(f).c_str());
  benchmark::Shutdown();
  return 0;
}
