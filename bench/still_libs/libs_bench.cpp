// Loading and saving a 1920x1080 photo as PNG, JPEG and TIFF: ours against
// libspng and stb_image / stb_image_write (PNG), stb and ImageMagick's
// convert (JPEG) and convert (TIFF), on the same files in the same run.
// Savers work at equal settings (PNG level 6, JPEG quality 85); the output
// sizes and the time ratios ours / fastest peer are printed after the table.
// convert runs as its own process per job, as a user would run it.
#include <benchmark/benchmark.h>
#include <spng.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image.h"
#include "stb_image_write.h"

#include "formats/still/jpeg.h"
#include "formats/still/png.h"
#include "formats/still/tiff.h"
#include "foundation/errors.h"
#include "bench_util.h"

namespace {

const std::string kPng = vekbench::ScratchDir() + "vek_bench_libs.png";
const std::string kJpg = vekbench::ScratchDir() + "vek_bench_libs.jpg";
const std::string kTif = vekbench::ScratchDir() + "vek_bench_libs.tif";
const std::string kOut = vekbench::ScratchDir() + "vek_bench_libs_out";

vek::QImg g_photo{};             // blue, green, red
std::vector<unsigned char> g_rgb;  // red, green, blue for the peers
std::map<std::string, long> g_sizes;

long FileSize(const std::string& f) {
  struct stat st {};
  return stat(f.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

bool Prepare() {
  const std::string src = std::string(VEK_TEST_DATA) + "/still/rocket_640x427.jpg";
  const std::string base = "/usr/bin/convert '" + src + "' -resize 1920x1080! -type TrueColor ";
  if (std::system((base + "-quality 85 '" + kJpg + "'").c_str()) != 0) return false;
  if (std::system((base + "-define png:compression-level=6 PNG24:'" + kPng + "'").c_str()) != 0)
    return false;
  if (std::system((base + "-compress lzw '" + kTif + "'").c_str()) != 0) return false;
  vek::MonitoredBoundary("Bench.Prepare", [&] { vek::PNGLoad(kPng, g_photo); });
  if (!vek::ErrNone()) return false;
  const size_t n = static_cast<size_t>(g_photo.width) * g_photo.height;
  g_rgb.resize(n * 3);
  for (size_t i = 0; i < n; ++i) {
    g_rgb[3 * i] = g_photo.pixels[3 * i + 2];
    g_rgb[3 * i + 1] = g_photo.pixels[3 * i + 1];
    g_rgb[3 * i + 2] = g_photo.pixels[3 * i];
  }
  vek::PNGSetCompressionLevel(6);
  vek::JPGSetQuality(85);
  vek::TIFSetCompression(5);
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
}

void OursSave(benchmark::State& state, void (*save)(const std::string&, vek::QImg&),
              const std::string& ext) {
  const std::string out = kOut + "_ours" + ext;
  for (auto _ : state) {
    vek::MonitoredBoundary("Bench.Save", [&] { save(out, g_photo); });
    if (!vek::ErrNone()) state.SkipWithError("save failed");
  }
  g_sizes[(ext == ".png" ? "png" : ext == ".jpg" ? "jpeg" : "tiff") + std::string("_save/ours")] =
      FileSize(out);
}

void StbLoad(benchmark::State& state, const std::string& file) {
  for (auto _ : state) {
    int w, h, c;
    unsigned char* p = stbi_load(file.c_str(), &w, &h, &c, 3);
    if (!p) state.SkipWithError("stb load failed");
    benchmark::DoNotOptimize(p);
    stbi_image_free(p);
  }
}

void SpngLoad(benchmark::State& state) {
  std::vector<unsigned char> out;
  for (auto _ : state) {
    FILE* f = std::fopen(kPng.c_str(), "rb");
    spng_ctx* ctx = spng_ctx_new(0);
    size_t size = 0;
    if (!f || !ctx || spng_set_png_file(ctx, f) || spng_decoded_image_size(ctx, SPNG_FMT_RGB8, &size))
      state.SkipWithError("spng failed");
    out.resize(size);
    if (spng_decode_image(ctx, out.data(), size, SPNG_FMT_RGB8, 0)) state.SkipWithError("spng failed");
    benchmark::DoNotOptimize(out.data());
    spng_ctx_free(ctx);
    if (f) std::fclose(f);
  }
}

void SpngSave(benchmark::State& state) {
  const std::string out = kOut + "_spng.png";
  for (auto _ : state) {
    FILE* f = std::fopen(out.c_str(), "wb");
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_ihdr ihdr{};
    ihdr.width = static_cast<uint32_t>(g_photo.width);
    ihdr.height = static_cast<uint32_t>(g_photo.height);
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    if (!f || !ctx || spng_set_png_file(ctx, f) ||
        spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, 6) || spng_set_ihdr(ctx, &ihdr) ||
        spng_encode_image(ctx, g_rgb.data(), g_rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE))
      state.SkipWithError("spng save failed");
    spng_ctx_free(ctx);
    if (f) std::fclose(f);
  }
  g_sizes["png_save/spng"] = FileSize(out);
}

void StbSavePng(benchmark::State& state) {
  const std::string out = kOut + "_stb.png";
  stbi_write_png_compression_level = 6;
  for (auto _ : state)
    if (!stbi_write_png(out.c_str(), g_photo.width, g_photo.height, 3, g_rgb.data(), g_photo.width * 3))
      state.SkipWithError("stb save failed");
  g_sizes["png_save/stb"] = FileSize(out);
}

void StbSaveJpg(benchmark::State& state) {
  const std::string out = kOut + "_stb.jpg";
  for (auto _ : state)
    if (!stbi_write_jpg(out.c_str(), g_photo.width, g_photo.height, 3, g_rgb.data(), 85))
      state.SkipWithError("stb save failed");
  g_sizes["jpeg_save/stb"] = FileSize(out);
}

// The same job done by ImageMagick's convert: loading is decoding into a
// raw buffer (written to /dev/null), saving is encoding from raw RGB.
void ConvertLoad(benchmark::State& state, const std::string& file) {
  const std::string cmd = "/usr/bin/convert '" + file + "' rgb:/dev/null";
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("convert failed");
}

void ConvertSave(benchmark::State& state, const std::string& ext, const std::string& opts) {
  const std::string raw = kOut + "_raw.rgb";
  if (FILE* f = std::fopen(raw.c_str(), "wb")) {
    std::fwrite(g_rgb.data(), 1, g_rgb.size(), f);
    std::fclose(f);
  }
  const std::string out = kOut + "_magick" + ext;
  const std::string cmd = "/usr/bin/convert -size " + std::to_string(g_photo.width) + "x" +
                          std::to_string(g_photo.height) + " -depth 8 rgb:'" + raw + "' " + opts +
                          " '" + out + "'";
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("convert failed");
  g_sizes[(ext == ".jpg" ? "jpeg" : "tiff") + std::string("_save/convert")] = FileSize(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (!Prepare()) {
    std::fprintf(stderr, "bench_still_libs: cannot prepare the inputs (ImageMagick missing?)\n");
    return 1;
  }
  using benchmark::RegisterBenchmark;
  RegisterBenchmark("png_load/ours", OursLoad, vek::PNGLoad, kPng);
  RegisterBenchmark("png_load/spng", SpngLoad);
  RegisterBenchmark("png_load/stb", StbLoad, kPng);
  RegisterBenchmark("png_save/ours", OursSave, vek::PNGSave, std::string(".png"));
  RegisterBenchmark("png_save/spng", SpngSave);
  RegisterBenchmark("png_save/stb", StbSavePng);
  RegisterBenchmark("jpeg_load/ours", OursLoad, vek::JPGLoad, kJpg);
  RegisterBenchmark("jpeg_load/stb", StbLoad, kJpg);
  RegisterBenchmark("jpeg_load/convert", ConvertLoad, kJpg)->Iterations(10);
  RegisterBenchmark("jpeg_save/ours", OursSave, vek::JPGSave, std::string(".jpg"));
  RegisterBenchmark("jpeg_save/stb", StbSaveJpg);
  RegisterBenchmark("jpeg_save/convert", ConvertSave, std::string(".jpg"), std::string("-quality 85"))
      ->Iterations(10);
  RegisterBenchmark("tiff_load/ours", OursLoad, vek::TIFLoad, kTif);
  RegisterBenchmark("tiff_load/convert", ConvertLoad, kTif)->Iterations(10);
  RegisterBenchmark("tiff_save/ours", OursSave, vek::TIFSave, std::string(".tif"));
  RegisterBenchmark("tiff_save/convert", ConvertSave, std::string(".tif"), std::string("-compress lzw"))
      ->Iterations(10);
  benchmark::Initialize(&argc, argv);
  struct Collect : benchmark::ConsoleReporter {
    std::map<std::string, double> t;
    void ReportRuns(const std::vector<Run>& runs) override {
      for (const Run& r : runs) {
        std::string name = r.benchmark_name();
        const auto extra = name.find("/iterations:");
        if (extra != std::string::npos) name.resize(extra);
        t[name] = r.GetAdjustedRealTime();
      }
      ConsoleReporter::ReportRuns(runs);
    }
  } rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\nratio ours / each peer (below 1: ours faster); output bytes\n");
  for (const auto& [name, time] : rep.t) {
    const auto slash = name.find('/');
    const std::string job = name.substr(0, slash);
    if (name.substr(slash + 1) == "ours") continue;
    const auto ours = rep.t.find(job + "/ours");
    if (ours == rep.t.end()) continue;
    std::printf("  %-20s %6.2f", name.c_str(), ours->second / time);
    if (g_sizes.count(name)) std::printf("   size %ld vs ours %ld", g_sizes[name], g_sizes[job + "/ours"]);
    std::printf("\n");
  }
  vek::ImgFree(&g_photo);
  return 0;
}
