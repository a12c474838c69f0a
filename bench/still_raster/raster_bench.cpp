// Loading and saving a 1920x1080 photo as run-length SGI, run-length Sun
// raster and binary PPM. Each job runs as a process, ours (this program
// started again in job mode) against ImageMagick's convert and the netpbm
// tools doing the same job; PPM loading also runs in process against
// stb_image. Prints the time ratios after the table.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"

#include "formats/still/pnm.h"
#include "formats/still/sgi.h"
#include "formats/still/sun_raster.h"
#include "bench_util.h"

namespace {

const std::string kBase = vekbench::ScratchDir() + "vek_bench_raster_" + std::to_string(getpid());
const std::string kPpm = kBase + ".ppm";
const std::string kSgi = kBase + ".sgi";
const std::string kRas = kBase + ".ras";
const std::string kOut = kBase + "_out";
std::string g_self;

using Load = void (*)(const std::string&, vek::QImg&);
using Save = void (*)(const std::string&, vek::QImg&);

Load LoaderOf(const std::string& fmt) {
  return fmt == "sgi" ? vek::SGILoad : fmt == "ras" ? vek::RASLoad : vek::PNMLoad;
}
Save SaverOf(const std::string& fmt) {
  return fmt == "sgi" ? vek::SGISave : fmt == "ras" ? vek::RASSave : vek::PNMSave;
}

// Job mode: "load FMT FILE" decodes; "save FMT PPM OUT" reads the PPM and
// writes FMT (run-length where the format has it).
int Job(int argc, char** argv) {
  const std::string what = argv[2], fmt = argv[3];
  vek::QImg img{};
  vek::MonitoredBoundary("Bench.Job", [&] {
    if (what == "load") {
      LoaderOf(fmt)(argv[4], img);
    } else if (argc > 5) {
      vek::PNMLoad(argv[4], img);
      SaverOf(fmt)(argv[5], img);
    }
  });
  const bool ok = vek::ErrNone();
  vek::ImgFree(&img);
  return ok ? 0 : 1;
}

void Process(benchmark::State& state, const std::string& cmd) {
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0) state.SkipWithError(("failed: " + cmd).c_str());
  state.SetBytesProcessed(state.iterations() * 1920 * 1080 * 3);
}

void OursPpmInProcess(benchmark::State& state) {
  for (auto _ : state) {
    vek::QImg img{};
    vek::MonitoredBoundary("Bench.Load", [&] { vek::PNMLoad(kPpm, img); });
    if (!vek::ErrNone()) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(img.pixels);
    vek::ImgFree(&img);
  }
  state.SetBytesProcessed(state.iterations() * 1920 * 1080 * 3);
}

void StbPpmInProcess(benchmark::State& state) {
  for (auto _ : state) {
    int w = 0, h = 0, c = 0;
    unsigned char* p = stbi_load(kPpm.c_str(), &w, &h, &c, 3);
    if (!p) state.SkipWithError("stb load failed");
    benchmark::DoNotOptimize(p);
    stbi_image_free(p);
  }
  state.SetBytesProcessed(state.iterations() * 1920 * 1080 * 3);
}

bool Prepare() {
  const std::string src = std::string(VEK_TEST_DATA) + "/still/rocket_640x427.jpg";
  if (std::system(("/usr/bin/convert '" + src + "' -resize 1920x1080! -strip ppm:'" + kPpm + "'").c_str()) != 0)
    return false;
  vek::QImg img{};
  vek::MonitoredBoundary("Bench.Prepare", [&] {
    vek::PNMLoad(kPpm, img);
    vek::SGISave(kSgi, img);
    vek::RASSave(kRas, img);
  });
  vek::ImgFree(&img);
  return vek::ErrNone();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3 && std::strcmp(argv[1], "--job") == 0) return Job(argc, argv);
  g_self = argv[0];
  if (!Prepare()) {
    std::fprintf(stderr, "bench_still_raster: cannot prepare the input files\n");
    return 1;
  }
  const std::string q = " 2>/dev/null";
  const std::string null_out = " > /dev/null" + q;
  struct Case {
    std::string name, ours, magick, netpbm;
  };
  const std::vector<Case> cases = {
      {"SgiLoad", g_self + " --job load sgi " + kSgi, "/usr/bin/convert " + kSgi + " null:" + q,
       "sgitopnm " + kSgi + null_out},
      {"RasLoad", g_self + " --job load ras " + kRas, "/usr/bin/convert " + kRas + " null:" + q,
       "rasttopnm " + kRas + null_out},
      {"PpmLoad", g_self + " --job load ppm " + kPpm, "/usr/bin/convert " + kPpm + " null:" + q,
       "pamtopnm " + kPpm + null_out},
      {"SgiSave", g_self + " --job save sgi " + kPpm + " " + kOut + ".sgi",
       "/usr/bin/convert " + kPpm + " -compress RLE " + kOut + ".sgi" + q,
       "pnmtosgi -rle " + kPpm + " > " + kOut + ".sgi" + q},
      {"RasSave", g_self + " --job save ras " + kPpm + " " + kOut + ".ras",
       "/usr/bin/convert " + kPpm + " " + kOut + ".ras" + q,
       "pnmtorast -rle " + kPpm + " > " + kOut + ".ras" + q},
      {"PpmSave", g_self + " --job save ppm " + kPpm + " " + kOut + ".ppm",
       "/usr/bin/convert " + kPpm + " " + kOut + ".ppm" + q,
       "pnmtopnm " + kPpm + " > " + kOut + ".ppm" + q},
  };
  for (const Case& c : cases) {
    benchmark::RegisterBenchmark((c.name + "/vek").c_str(), Process, c.ours)->UseRealTime();
    benchmark::RegisterBenchmark((c.name + "/magick").c_str(), Process, c.magick)->UseRealTime();
    benchmark::RegisterBenchmark((c.name + "/netpbm").c_str(), Process, c.netpbm)->UseRealTime();
  }
  benchmark::RegisterBenchmark("PpmLoadInProcess/vek", OursPpmInProcess);
  benchmark::RegisterBenchmark("PpmLoadInProcess/stb", StbPpmInProcess);
  benchmark::Initialize(&argc, argv);
  vekbench::RatioReporter reporter("/real_time");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nratio vek / peer (below 1: vek faster)\n");
  auto ratio = [&](const std::string& c, const char* peer) {
    const std::string a = c + "/vek", b = c + "/" + peer;
    if (reporter.times.count(a) && reporter.times.count(b) && reporter.times[b] > 0)
      std::printf("  %-17s vs %-7s %.2f\n", c.c_str(), peer, reporter.times[a] / reporter.times[b]);
  };
  for (const Case& c : cases) {
    ratio(c.name, "magick");
    ratio(c.name, "netpbm");
  }
  ratio("PpmLoadInProcess", "stb");
  for (const std::string& f : {kPpm, kSgi, kRas, kOut + ".sgi", kOut + ".ras", kOut + ".ppm"})
    std::remove(f.c_str());
  benchmark::Shutdown();
  return 0;
}
