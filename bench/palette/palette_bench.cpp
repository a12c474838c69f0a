// Reduction of photos to 256 colours: ConvTo8bit without dithering and with
// both ditherings against libimagequant (speed 3, no dithering and its default
// dithering). Prints quality (PSNR against the original) and time side by side
// with the speed ratio, then runs the same work as Google benchmarks.
#include <benchmark/benchmark.h>
#include <libimagequant.h>
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/image.h"
#include "image/palette.h"

namespace {

struct Photo {
  std::string name;
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;  // for the peer
  vek::QImg bgr{};            // 24-bit image record
};

bool LoadPng(const std::string& name, Photo& photo) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  const std::string path = std::string(VEK_TEST_DATA) + "/palette/" + name + ".png";
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGBA;
  photo.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, photo.rgba.data(), 0, nullptr)) return false;
  photo.name = name;
  photo.width = static_cast<int>(image.width);
  photo.height = static_cast<int>(image.height);
  vek::ImgAlloc(&photo.bgr, photo.width, photo.height, 24, 1, "Bench.photo");
  const size_t n = static_cast<size_t>(photo.width) * photo.height;
  for (size_t i = 0; i < n; ++i) {
    photo.bgr.pixels[3 * i] = photo.rgba[4 * i + 2];
    photo.bgr.pixels[3 * i + 1] = photo.rgba[4 * i + 1];
    photo.bgr.pixels[3 * i + 2] = photo.rgba[4 * i];
  }
  return true;
}

// PSNR over the three channels of an indexed picture (palette r, g, b per index).
double Psnr(const Photo& p, const uint8_t* index, const uint8_t (*palette)[3]) {
  double se = 0;
  const size_t n = static_cast<size_t>(p.width) * p.height;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* c = palette[index[i]];
    for (int k = 0; k < 3; ++k) {
      const double d = double(p.rgba[4 * i + k]) - c[k];
      se += d * d;
    }
  }
  const double mse = se / (3.0 * n);
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// Our conversion; returns the PSNR of the result when asked to.
// Modes 0..2 as given; 10 + m: remap mode m with the refinement a host
// chooses through the extension export (8 passes).
double RunOurs(Photo& p, int mode, bool quality = true) {
  vek::QImg out{};
  if (mode >= 10) {
    vek::PalSetRefinement(8);
    vek::ConvTo8bit(&p.bgr, &out, mode - 10);
    vek::PalSetRefinement(0);
  } else {
    vek::ConvTo8bit(&p.bgr, &out, mode);
  }
  if (!quality) {
    vek::ImgFree(&out);
    return 0;
  }
  uint8_t pal[256][3];
  for (int i = 0; i < 256; ++i)
    pal[i][0] = out.palette[3 * i + 2], pal[i][1] = out.palette[3 * i + 1],
    pal[i][2] = out.palette[3 * i];
  const double q = out.pixels ? Psnr(p, out.pixels, pal) : 0;
  vek::ImgFree(&out);
  return q;
}

double RunPeer(Photo& p, float dither, bool quality = true) {
  liq_attr* attr = liq_attr_create();
  liq_set_speed(attr, 3);
  liq_set_max_colors(attr, 256);
  liq_image* img = liq_image_create_rgba(attr, p.rgba.data(), p.width, p.height, 0);
  liq_result* res = nullptr;
  double q = 0;
  if (liq_image_quantize(img, attr, &res) == LIQ_OK) {
    liq_set_dithering_level(res, dither);
    std::vector<uint8_t> index(static_cast<size_t>(p.width) * p.height);
    liq_write_remapped_image(res, img, index.data(), index.size());
    const liq_palette* lp = liq_get_palette(res);
    uint8_t pal[256][3] = {};
    for (unsigned i = 0; i < lp->count; ++i)
      pal[i][0] = lp->entries[i].r, pal[i][1] = lp->entries[i].g, pal[i][2] = lp->entries[i].b;
    if (quality) q = Psnr(p, index.data(), pal);
    liq_result_destroy(res);
  }
  liq_image_destroy(img);
  liq_attr_destroy(attr);
  return q;
}

template <class F>
double MedianMs(F&& f, int runs) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const auto a = std::chrono::steady_clock::now();
    f();
    t.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

std::vector<Photo>& Photos() {
  static std::vector<Photo> photos;
  return photos;
}

void BM_Ours(benchmark::State& state, size_t photo, int mode) {
  for (auto _ : state) benchmark::DoNotOptimize(RunOurs(Photos()[photo], mode, false));
}
void BM_Peer(benchmark::State& state, size_t photo, float dither) {
  for (auto _ : state) benchmark::DoNotOptimize(RunPeer(Photos()[photo], dither, false));
}

}  // namespace

int main(int argc, char** argv) {
  for (const char* name : {"astronaut", "coffee", "chelsea"}) {
    Photo p;
    if (!LoadPng(name, p)) {
      std::fprintf(stderr, "cannot read %s\n", name);
      return 1;
    }
    Photos().push_back(std::move(p));
  }
  std::printf("%-10s %-22s %8s %9s %8s\n", "photo", "method", "PSNR dB", "time ms", "speed x");
  for (Photo& p : Photos()) {
    const double peer_plain_ms = MedianMs([&] { RunPeer(p, 0.0f, false); }, 9);
    const double peer_dith_ms = MedianMs([&] { RunPeer(p, 1.0f, false); }, 9);
    const double peer_plain = RunPeer(p, 0.0f), peer_dith = RunPeer(p, 1.0f);
    const struct {
      const char* label;
      int mode;
      double peer_ms;
    } ours[] = {{"ConvTo8bit plain", vek::kRemapPlain, peer_plain_ms},
                {"ConvTo8bit light", vek::kRemapLight, peer_dith_ms},
                {"ConvTo8bit heavy", vek::kRemapHeavy, peer_dith_ms},
                {"refined plain", 10 + vek::kRemapPlain, peer_plain_ms},
                {"refined heavy", 10 + vek::kRemapHeavy, peer_dith_ms}};
    std::printf("%-10s %-22s %8.2f %9.2f %8s\n", p.name.c_str(), "libimagequant plain",
                peer_plain, peer_plain_ms, "1.00");
    std::printf("%-10s %-22s %8.2f %9.2f %8s\n", p.name.c_str(), "libimagequant dither",
                peer_dith, peer_dith_ms, "1.00");
    for (const auto& o : ours) {
      const double ms = MedianMs([&] { RunOurs(p, o.mode, false); }, 15);
      std::printf("%-10s %-22s %8.2f %9.2f %8.2f\n", p.name.c_str(), o.label, RunOurs(p, o.mode),
                  ms, o.peer_ms / ms);
    }
  }
  std::fflush(stdout);

  for (size_t i = 0; i < Photos().size(); ++i) {
    const std::string n = Photos()[i].name;
    benchmark::RegisterBenchmark(("ConvTo8bit_plain/" + n).c_str(), BM_Ours, i, 0)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("ConvTo8bit_heavy/" + n).c_str(), BM_Ours, i, 2)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("liq_plain/" + n).c_str(), BM_Peer, i, 0.0f)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("liq_dither/" + n).c_str(), BM_Peer, i, 1.0f)->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (Photo& p : Photos()) vek::ImgFree(&p.bgr);
  return 0;
}
