// GIF writing of two 5-second 480x270 clips at 30 frames per second (a pan
// over a photo, and a made-up screen recording: windows, text being typed, a
// window dragged, a moving pointer) through the library as a host drives it,
// against FFmpeg's two passes (palettegen, then paletteuse with its default
// error diffusion) and ImageMagick (-layers optimize) on the same raw frames.
// Prints file size, PSNR of all frames as FFmpeg decodes them, processor
// time and the ratios to FFmpeg; gifsicle -O3 of our file is the size
// anchor. Then times our writer as a Google benchmark.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "engine/format_dispatch.h"
#include "foundation/errors.h"
#include "image/image.h"
#include "vek/vek.h"

namespace {

constexpr int kW = 480, kH = 270, kFrames = 150;
constexpr double kFps = 30;

struct Clip {
  const char* name;
  std::vector<std::vector<uint8_t>> bgr;  // frames, blue green red
};

std::vector<uint8_t> Frame() { return std::vector<uint8_t>(size_t(kW) * kH * 3); }

Clip Pan() {
  Clip c{"photo pan", {}};
  vek::QImg photo{};
  vek::MonitoredBoundary("Bench.Photo", [&] {
    vek::ImgLoad(std::string(VEK_TEST_DATA) + "/palette/coffee.png", photo, vek::kUndefined);
  });
  if (!vek::ErrNone() || photo.bits != 24) {
    std::fprintf(stderr, "cannot read the photo\n");
    std::exit(1);
  }
  for (int i = 0; i < kFrames; ++i) {
    const int x0 = i * (photo.width - kW) / (kFrames - 1), y0 = i * (photo.height - kH) / (kFrames - 1);
    std::vector<uint8_t> f = Frame();
    for (int y = 0; y < kH; ++y)
      std::memcpy(&f[size_t(y) * kW * 3], photo.pixels + (size_t(y + y0) * photo.width + x0) * 3, size_t(kW) * 3);
    c.bgr.push_back(std::move(f));
  }
  vek::ImgFree(&photo);
  return c;
}

void Fill(std::vector<uint8_t>& f, int x, int y, int w, int h, uint32_t rgb) {
  for (int j = std::max(0, y); j < std::min(kH, y + h); ++j)
    for (int i = std::max(0, x); i < std::min(kW, x + w); ++i) {
      uint8_t* p = &f[(size_t(j) * kW + i) * 3];
      p[0] = rgb & 255, p[1] = (rgb >> 8) & 255, p[2] = (rgb >> 16) & 255;
    }
}

// A window: a title bar shading from dark to light blue, a white body with
// lines of "words" (dark bars of varying width), `words` of them shown.
void Window(std::vector<uint8_t>& f, int x, int y, int w, int h, int words, uint32_t seed) {
  Fill(f, x - 1, y - 1, w + 2, h + 2, 0x404040);
  for (int i = 0; i < w; ++i) Fill(f, x + i, y, 1, 16, uint32_t(0x10 + i * 0x60 / w) << 8 | uint32_t(0x60 + i * 0x90 / w));
  Fill(f, x + w - 14, y + 3, 10, 10, 0xC04040);
  Fill(f, x, y + 16, w, h - 16, 0xFFFFFF);
  int cx = x + 6, cy = y + 22;
  for (int k = 0; k < words; ++k) {
    seed = seed * 1103515245u + 12345u;
    const int ww = 6 + int(seed >> 16) % 28;
    if (cx + ww > x + w - 6) cx = x + 6, cy += 11;
    if (cy + 7 > y + h - 4) break;
    Fill(f, cx, cy, ww, 7, (seed >> 8) % 5 == 0 ? 0x2050B0 : 0x303030);
    cx += ww + 4;
  }
}

Clip Screen() {
  Clip c{"screen recording", {}};
  for (int i = 0; i < kFrames; ++i) {
    std::vector<uint8_t> f = Frame();
    Fill(f, 0, 0, kW, kH, 0x3A6EA5);
    Fill(f, 0, kH - 22, kW, 22, 0xD4D0C8);  // task bar
    for (int k = 0; k < 5; ++k) Fill(f, 4 + 70 * k, kH - 19, 64, 16, k == 1 ? 0xFFFFFF : 0xE8E4DC);
    Window(f, 20, 20, 300, 180, 60 + i / 3, 7);  // typing: a word every 3 frames
    // A second window, dragged across between frames 60 and 110.
    const int t = std::clamp(i - 60, 0, 50);
    Window(f, 330 - 3 * t, 120 - t, 140, 90, 25, 99);
    // The pointer.
    const int px = 100 + int(120 * std::sin(i / 20.0)), py = 150 + int(60 * std::cos(i / 15.0));
    for (int r = 0; r < 12; ++r) Fill(f, px, py + r, r / 2 + 1, 1, r == 11 ? 0xFFFFFF : 0x000000);
    c.bgr.push_back(std::move(f));
  }
  return c;
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Timing {
  double cpu = 0, wall = 0;
};

template <class F>
Timing Time(int who, F&& f) {
  const double c0 = CpuSeconds(who);
  const auto w0 = std::chrono::steady_clock::now();
  f();
  return {CpuSeconds(who) - c0,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count()};
}

// Our writer, driven as a host drives it: frames from memory, dithering on.
const Clip* g_clip = nullptr;
void VEKAPI Source(VekJob* job, int32_t block) {
  if (block >= kFrames) {
    VekSrcFinished(job);
    return;
  }
  VekSrcSetPixels(job, g_clip->bgr[size_t(block)].data(), nullptr, kW, kH, 24);
  VekSrcSetFrameRate(job, kFps);
}

bool WriteOurs(const Clip& clip, const std::string& gif) {
  g_clip = &clip;
  VekJob* job = VekAlloc();
  VekSetResolution(job, kW, kH);
  VekSetFrameRate(job, kFps, 0);
  VekEnableDithering(job, -1);
  VekSetOutputFile(job, gif.c_str(), nullptr);
  VekAssignVideoSource(job, Source);
  const int32_t status = VekConvert(job);
  VekFree(job);
  return status == VEK_STATUS_OK;
}

bool Run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

long FileSize(const std::string& name) {
  struct stat st {};
  return stat(name.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

// PSNR over all frames as FFmpeg decodes the GIF (one picture per frame).
// `retime`: gifsicle merges a frame that repeats the one before into it (a
// longer delay), so its file is sampled at the clip's rate instead.
double Psnr(const Clip& clip, const std::string& gif, int& frames, bool retime) {
  const std::string raw = gif + ".rgb";
  frames = 0;
  const std::string timing = retime ? "-vf fps=" + std::to_string(int(kFps)) : "-fps_mode passthrough";
  if (!Run("ffmpeg -v error -y -i '" + gif + "' " + timing + " -f rawvideo -pix_fmt rgb24 '" + raw + "'"))
    return 0;
  std::ifstream in(raw, std::ios::binary);
  std::vector<uint8_t> f(size_t(kW) * kH * 3);
  double se = 0;
  while (frames < kFrames && in.read(reinterpret_cast<char*>(f.data()), std::streamsize(f.size()))) {
    const std::vector<uint8_t>& s = clip.bgr[size_t(frames)];
    for (size_t i = 0; i < f.size(); i += 3)
      for (int k = 0; k < 3; ++k) {
        const double d = double(f[i + k]) - s[i + 2 - k];
        se += d * d;
      }
    ++frames;
  }
  std::remove(raw.c_str());
  if (frames == 0) return 0;
  const double mse = se / (double(frames) * f.size());
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

void Compare(const Clip& clip) {
  const std::string dir = vekbench::ScratchDir(), tag = std::to_string(getpid());
  const std::string raw = dir + "gifbench" + tag + ".rgb", ours = dir + "gifbench_ours" + tag + ".gif",
                    ff = dir + "gifbench_ff" + tag + ".gif", pal = dir + "gifbench_pal" + tag + ".png",
                    im = dir + "gifbench_im" + tag + ".gif", o3 = dir + "gifbench_o3" + tag + ".gif";
  {
    std::ofstream out(raw, std::ios::binary);
    std::vector<uint8_t> rgb(size_t(kW) * kH * 3);
    for (const auto& f : clip.bgr) {
      for (size_t i = 0; i < f.size(); i += 3) rgb[i] = f[i + 2], rgb[i + 1] = f[i + 1], rgb[i + 2] = f[i];
      out.write(reinterpret_cast<const char*>(rgb.data()), std::streamsize(rgb.size()));
    }
  }
  const std::string input = "-f rawvideo -pix_fmt rgb24 -s " + std::to_string(kW) + "x" + std::to_string(kH) +
                            " -r 30 -i '" + raw + "'";
  bool ok_ours = false, ok_ff = false, ok_im = false;
  const Timing t_ours = Time(RUSAGE_SELF, [&] { ok_ours = WriteOurs(clip, ours); });
  const Timing t_ff = Time(RUSAGE_CHILDREN, [&] {
    ok_ff = Run("ffmpeg -v error -y " + input + " -vf palettegen '" + pal + "'") &&
            Run("ffmpeg -v error -y " + input + " -i '" + pal + "' -lavfi paletteuse '" + ff + "'");
  });
  const Timing t_im = Time(RUSAGE_CHILDREN, [&] {
    ok_im = Run("convert -delay 1x30 -size " + std::to_string(kW) + "x" + std::to_string(kH) + " -depth 8 'rgb:" +
                raw + "' -layers optimize '" + im + "'");
  });
  const bool ok_o3 = Run("gifsicle -O3 '" + ours + "' -o '" + o3 + "'");

  const long ff_size = FileSize(ff);
  std::printf("\n%s, %d frames %dx%d at %.0f fps\n", clip.name, kFrames, kW, kH, kFps);
  std::printf("  %-28s %10s %7s %8s %7s %9s %9s %7s\n", "writer", "bytes", "size x", "PSNR dB", "frames",
              "cpu ms", "wall ms", "cpu x");
  auto row = [&](const char* name, bool ok, const std::string& gif, const Timing* t, bool retime = false) {
    if (!ok) {
      std::printf("  %-28s (not available)\n", name);
      return;
    }
    int frames = 0;
    const double q = Psnr(clip, gif, frames, retime);
    const long size = FileSize(gif);
    std::printf("  %-28s %10ld %7.2f %8.2f %7d", name, size, ff_size > 0 ? double(size) / ff_size : 0, q, frames);
    if (t)
      std::printf(" %9.0f %9.0f %7.2f\n", t->cpu * 1000, t->wall * 1000, t_ff.cpu > 0 ? t->cpu / t_ff.cpu : 0);
    else
      std::printf("\n");
  };
  row("libvek", ok_ours, ours, &t_ours);
  row("ffmpeg palettegen+paletteuse", ok_ff, ff, &t_ff);
  row("ImageMagick -layers optimize", ok_im, im, &t_im);
  row("libvek, then gifsicle -O3", ok_o3, o3, nullptr, true);
  // VEK_BENCH_KEEP=1 keeps the files in the scratch folder for a look.
  if (!getenv("VEK_BENCH_KEEP")) for (const std::string& f : {raw, ours, ff, pal, im, o3}) std::remove(f.c_str());
}

std::vector<Clip>& Clips() {
  static std::vector<Clip> clips;
  return clips;
}

void BM_Ours(benchmark::State& state, size_t clip) {
  const std::string gif = vekbench::ScratchDir() + "gifbench_bm" + std::to_string(getpid()) + ".gif";
  for (auto _ : state) benchmark::DoNotOptimize(WriteOurs(Clips()[clip], gif));
  std::remove(gif.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  VekExtSetFormats(-1);
  Clips().push_back(Pan());
  Clips().push_back(Screen());
  for (const Clip& c : Clips()) Compare(c);
  std::printf("\n");
  benchmark::RegisterBenchmark("GifWrite/photo_pan", BM_Ours, 0)->Unit(benchmark::kMillisecond)->Iterations(2);
  benchmark::RegisterBenchmark("GifWrite/screen", BM_Ours, 1)->Unit(benchmark::kMillisecond)->Iterations(2);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
