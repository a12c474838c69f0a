// Decoding a 200-frame 640x480 animated GIF (made by FFmpeg from a photo
// panned across the screen) with our reader, with giflib in-process (frames
// composed onto a canvas as ours are) and with ImageMagick (-coalesce, a
// separate process); writing the 200 frames at 8 bits to FLC, and reading
// that file back with our reader and with FFmpeg (a separate process).
// Prints the time ratios after the table.
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/media_access.h"
#include "formats/movie/flic.h"
#include "formats/movie/gif.h"
#include "foundation/errors.h"
#include "image/image.h"
#include "bench_util.h"

namespace {

const std::string kGif = vekbench::ScratchDir() + "vek_bench_anim.gif";
const std::string kFlc = vekbench::ScratchDir() + "vek_bench_anim.flc";
constexpr int kFrames = 200;

std::vector<vek::QImg> g_frames;  // 8-bit frames for the writer

bool Prepare() {
  const std::string src = std::string(VEK_TEST_DATA) + "/still/rocket_640x427.jpg";
  const std::string cmd = "/usr/bin/ffmpeg -loglevel error -y -loop 1 -i '" + src +
                          "' -vf \"scale=960:720,crop=640:480:'min(n*1.6,320)':'min(n,240)'\" -frames:v " +
                          std::to_string(kFrames) + " -r 25 '" + kGif + "'";
  if (std::system(cmd.c_str()) != 0) return false;
  vek::GifState gf;
  vek::MonitoredBoundary("Bench.Prepare", [&] {
    vek::GIFOpen(gf, kGif, false);
    vek::QImg img{};
    for (int i = 0; i < gf.frames; ++i) {
      vek::GIFLoadNext(gf, img);
      vek::QImg f{};
      vek::ImgConvBpp(&img, &f, 8);
      g_frames.push_back(f);
    }
    vek::ImgFree(&img);
    vek::GIFClose(gf);
  });
  return vek::ErrNone() && static_cast<int>(g_frames.size()) == kFrames;
}

void GifOurs(benchmark::State& state) {
  for (auto _ : state) {
    vek::QMovieHandle mh{vek::kUndefined, nullptr, nullptr};
    vek::QImg img{};
    vek::MviOpen(mh, kGif, vek::kFmtGIF);
    const int32_t n = vek::MviView(mh).frames;
    for (int32_t f = 1; f <= n; ++f) vek::MviImgLoad(mh, img, f, 1);
    benchmark::DoNotOptimize(img.pixels);
    vek::ImgFree(&img);
    vek::MviClose(mh);
  }
}

// giflib decodes every frame's indices; each is composed onto a canvas with
// its colour table and transparency, as a player (and our reader) does.
void GifLib(benchmark::State& state) {
  for (auto _ : state) {
    int err = 0;
    GifFileType* g = DGifOpenFileName(kGif.c_str(), &err);
    if (!g || DGifSlurp(g) != GIF_OK) {
      state.SkipWithError("giflib cannot read the file");
      break;
    }
    const int w = g->SWidth, h = g->SHeight;
    std::vector<uint8_t> canvas(static_cast<size_t>(w) * h * 3);
    for (int i = 0; i < g->ImageCount; ++i) {
      const SavedImage& s = g->SavedImages[i];
      GraphicsControlBlock gcb{};
      gcb.TransparentColor = NO_TRANSPARENT_COLOR;
      DGifSavedExtensionToGCB(g, i, &gcb);
      const ColorMapObject* map = s.ImageDesc.ColorMap ? s.ImageDesc.ColorMap : g->SColorMap;
      const GifImageDesc& d = s.ImageDesc;
      for (int y = 0; y < d.Height && d.Top + y < h; ++y) {
        const GifByteType* src = s.RasterBits + static_cast<size_t>(y) * d.Width;
        uint8_t* o = canvas.data() + (static_cast<size_t>(d.Top + y) * w + d.Left) * 3;
        for (int x = 0; x < d.Width && d.Left + x < w; ++x, o += 3) {
          if (src[x] == gcb.TransparentColor || !map || src[x] >= map->ColorCount) continue;
          const GifColorType& c = map->Colors[src[x]];
          o[0] = c.Blue;
          o[1] = c.Green;
          o[2] = c.Red;
        }
      }
    }
    benchmark::DoNotOptimize(canvas.data());
    DGifCloseFile(g, &err);
  }
}

// A separate process: timed by hand, start-up included.
void Process(benchmark::State& state, const std::string& cmd) {
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("the tool failed");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
}

void FlcWrite(benchmark::State& state) {
  for (auto _ : state) {
    vek::QMovieHandle mh{vek::kUndefined, nullptr, nullptr};
    vek::MviCreate(mh, kFlc, 25, 0, 0);
    for (vek::QImg& f : g_frames) vek::MviImgSave(mh, f);
    vek::MviClose(mh);
  }
}

void FlcReadOurs(benchmark::State& state) {
  for (auto _ : state) {
    vek::QMovieHandle mh{vek::kUndefined, nullptr, nullptr};
    vek::QImg img{};
    vek::MviOpen(mh, kFlc, vek::kFmtFLIC);
    const int32_t n = vek::MviView(mh).frames;
    for (int32_t f = 1; f <= n; ++f) vek::MviImgLoad(mh, img, f, 1);
    benchmark::DoNotOptimize(img.pixels);
    vek::ImgFree(&img);
    vek::MviClose(mh);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!Prepare()) {
    std::fprintf(stderr, "bench_animation: cannot prepare the input files\n");
    return 1;
  }
  const std::string magick = "/usr/bin/convert '" + kGif + "' -coalesce rgba:/dev/null";
  const std::string ffmpeg = "/usr/bin/ffmpeg -loglevel error -i '" + kFlc + "' -f null -";
  benchmark::RegisterBenchmark("GifDecode/vek", GifOurs)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("GifDecode/giflib", GifLib)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("GifDecode/magick", Process, magick)
      ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("FlcWrite/vek", FlcWrite)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("FlcRead/vek", FlcReadOurs)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("FlcRead/ffmpeg", Process, ffmpeg)
      ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  vekbench::RatioReporter reporter("/iterations");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* label, const char* a, const char* b) {
    if (reporter.times.count(a) && reporter.times.count(b) && reporter.times[b] > 0)
      std::printf("  %-34s %.2f\n", label, reporter.times[a] / reporter.times[b]);
  };
  std::printf("\nratios (below 1: vek faster)\n");
  ratio("GIF decode vek / giflib", "GifDecode/vek", "GifDecode/giflib");
  ratio("GIF decode vek / ImageMagick", "GifDecode/vek", "GifDecode/magick");
  ratio("FLC write vek / FFmpeg FLC read", "FlcWrite/vek", "FlcRead/ffmpeg");
  ratio("FLC read vek / FFmpeg FLC read", "FlcRead/vek", "FlcRead/ffmpeg");
  for (vek::QImg& f : g_frames) vek::ImgFree(&f);
  std::remove(kGif.c_str());
  std::remove(kFlc.c_str());
  benchmark::Shutdown();
  return 0;
}
