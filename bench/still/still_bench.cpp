// Loading and saving a 1920x1080 24-bit photo as BMP, TGA and run-length TGA,
// against stb_image and stb_image_write on the same files in the same run.
// Prints the time ratio ours / stb after the table.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image.h"
#include "stb_image_write.h"

#include "formats/still/bmp.h"
#include "formats/still/tga.h"
#include "bench_util.h"

namespace {

const std::string kBmp = vekbench::ScratchDir() + "vek_bench_still.bmp";
const std::string kTga = vekbench::ScratchDir() + "vek_bench_still.tga";
const std::string kTgaRle = vekbench::ScratchDir() + "vek_bench_still_rle.tga";
const std::string kOut = vekbench::ScratchDir() + "vek_bench_still_out";

vek::QImg g_photo{};  // blue, green, red
unsigned char* g_rgb = nullptr;  // red, green, blue for stb_image_write

bool Prepare() {
  const std::string src = std::string(VEK_TEST_DATA) + "/still/rocket_640x427.jpg";
  const std::string cmd = "/usr/bin/convert '" + src + "' -resize 1920x1080! -type TrueColor BMP3:'" + kBmp + "'";
  if (std::system(cmd.c_str()) != 0) return false;
  vek::MonitoredBoundary("Bench.Prepare", [&] {
    vek::DIBLoad_(kBmp, g_photo);
    vek::TGASetRLE(0);
    vek::TGASave_(kTga, g_photo);
    vek::TGASetRLE(1);
    vek::TGASave_(kTgaRle, g_photo);
  });
  if (!vek::ErrNone()) return false;
  const size_t n = static_cast<size_t>(g_photo.width) * g_photo.height;
  g_rgb = static_cast<unsigned char*>(std::malloc(n * 3));
  for (size_t i = 0; i < n; ++i) {
    g_rgb[3 * i] = g_photo.pixels[3 * i + 2];
    g_rgb[3 * i + 1] = g_photo.pixels[3 * i + 1];
    g_rgb[3 * i + 2] = g_photo.pixels[3 * i];
  }
  return true;
}

void OursLoad(benchmark::State& state, void (*load)(const std::string&, vek::QImg&),
              const std::string& file) {
  for (auto _ : state) {
    vek::QImg img{};
    vek::MonitoredBoundary("Bench.Load", [&] { load(file, img); });
    if (!vek::ErrNone()) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(img.pixels);
    vek::ImgFree(&img);
  }
  state.SetBytesProcessed(state.iterations() * 1920 * 1080 * 3);
}

void StbLoad(benchmark::State& state, const std::string& file) {
  for (auto _ : state) {
    int w = 0, h = 0, c = 0;
    unsigned char* p = stbi_load(file.c_str(), &w, &h, &c, 3);
    if (!p) state.SkipWithError("stb load failed");
    benchmark::DoNotOptimize(p);
    stbi_image_free(p);
  }
  state.SetBytesProcessed(state.iterations() * 1920 * 1080 * 3);
}

void OursSave(benchmark::State& state, void (*save)(const std::string&, vek::QImg&), int rle) {
  vek::TGASetRLE(rle);
  for (auto _ : state) {
    vek::MonitoredBoundary("Bench.Save", [&] { save(kOut, g_photo); });
    if (!vek::ErrNone()) state.SkipWithError("save failed");
  }
  vek::TGASetRLE(1);
  state.SetBytesProcessed(state.iterations() * 1920 * 1080 * 3);
}

void StbSave(benchmark::State& state, int kind) {
  stbi_write_tga_with_rle = kind == 2 ? 1 : 0;
  for (auto _ : state) {
    const int ok = kind == 0 ? stbi_write_bmp(kOut.c_str(), 1920, 1080, 3, g_rgb)
                             : stbi_write_tga(kOut.c_str(), 1920, 1080, 3, g_rgb);
    if (!ok) state.SkipWithError("stb save failed");
  }
  state.SetBytesProcessed(state.iterations() * 1920 * 1080 * 3);
}

}  // namespace

int main(int argc, char** argv) {
  if (!Prepare()) {
    std::fprintf(stderr, "bench_still: cannot prepare the input files\n");
    return 1;
  }
  const char* cases[] = {"BmpLoad", "TgaLoad", "TgaRleLoad", "BmpSave", "TgaSave", "TgaRleSave"};
  benchmark::RegisterBenchmark("BmpLoad/vek", OursLoad, vek::DIBLoad_, kBmp);
  benchmark::RegisterBenchmark("BmpLoad/stb", StbLoad, kBmp);
  benchmark::RegisterBenchmark("TgaLoad/vek", OursLoad, vek::TGALoad_, kTga);
  benchmark::RegisterBenchmark("TgaLoad/stb", StbLoad, kTga);
  benchmark::RegisterBenchmark("TgaRleLoad/vek", OursLoad, vek::TGALoad_, kTgaRle);
  benchmark::RegisterBenchmark("TgaRleLoad/stb", StbLoad, kTgaRle);
  benchmark::RegisterBenchmark("BmpSave/vek", OursSave, vek::DIBSave_, 0);
  benchmark::RegisterBenchmark("BmpSave/stb", StbSave, 0);
  benchmark::RegisterBenchmark("TgaSave/vek", OursSave, vek::TGASave_, 0);
  benchmark::RegisterBenchmark("TgaSave/stb", StbSave, 1);
  benchmark::RegisterBenchmark("TgaRleSave/vek", OursSave, vek::TGASave_, 1);
  benchmark::RegisterBenchmark("TgaRleSave/stb", StbSave, 2);
  benchmark::Initialize(&argc, argv);
  vekbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nratio vek / stb (below 1: vek faster)\n");
  for (const char* c : cases) {
    const std::string a = std::string(c) + "/vek", b = std::string(c) + "/stb";
    if (reporter.times.count(a) && reporter.times.count(b) && reporter.times[b] > 0)
      std::printf("  %-11s %.2f\n", c, reporter.times[a] / reporter.times[b]);
  }
  vek::ImgFree(&g_photo);
  std::free(g_rgb);
  for (const std::string* f : {&kBmp, &kTga, &kTgaRle, &kOut}) std::remove(f->c_str());
  benchmark::Shutdown();
  return 0;
}
