// SndConvert on one minute of 44.1 kHz stereo 16-bit sound, against a plain
// libswresample conversion of the same sound to the same format (the peer).
// Counters give multiples of real time; the closing lines give the ratios.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "sound/sound.h"
#include "foundation/memory.h"

namespace {

constexpr int kSeconds = 60;
constexpr int kRate = 44100;

vek::SoundBuffer& Source() {
  static vek::SoundBuffer src = [] {
    vek::SoundBuffer b{};
    const int frames = kSeconds * kRate;
    vek::_sndalloc_(b, int64_t(frames) * 4, 1, "Bench.Source");
    vek::SndMakeFormat(b.format, kRate, 2, 16);
    b.sample_count = frames;
    int16_t* s = reinterpret_cast<int16_t*>(b.data);
    for (int i = 0; i < frames; ++i) {
      s[2 * i] = int16_t(12000 * std::sin(2 * M_PI * 440.0 * i / kRate));
      s[2 * i + 1] = int16_t(9000 * std::sin(2 * M_PI * 1250.0 * i / kRate));
    }
    return b;
  }();
  return src;
}

void Ours(int rate, int ch, int bits) {
  vek::WaveFormat f{};
  vek::SndMakeFormat(f, rate, ch, bits);
  vek::SoundBuffer out{};
  vek::SndConvert(Source(), out, f);
  benchmark::DoNotOptimize(out.data);
  vek::SndFree(out);
}

// The same conversion done by libswresample alone, at the same filter quality.
void Peer(int rate, int ch, int bits) {
  const vek::SoundBuffer& src = Source();
  AVChannelLayout in_l, out_l;
  av_channel_layout_default(&in_l, 2);
  av_channel_layout_default(&out_l, ch);
  SwrContext* swr = nullptr;
  swr_alloc_set_opts2(&swr, &out_l, bits == 8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16, rate, &in_l,
                      AV_SAMPLE_FMT_S16, kRate, 0, nullptr);
  av_opt_set_int(swr, "filter_size", 64, 0);
  av_opt_set_double(swr, "cutoff", 0.95, 0);
  swr_init(swr);
  const int room = swr_get_out_samples(swr, src.sample_count) + 64;
  std::vector<uint8_t> out(size_t(room) * ch * (bits / 8));
  uint8_t* o = out.data();
  const uint8_t* i = src.data;
  int got = swr_convert(swr, &o, room, &i, src.sample_count);
  o += size_t(got) * ch * (bits / 8);
  got += swr_convert(swr, &o, room - got, nullptr, 0);
  benchmark::DoNotOptimize(out.data());
  swr_free(&swr);
}

template <void (*F)(int, int, int)>
void Run(benchmark::State& state) {
  const int rate = int(state.range(0)), ch = int(state.range(1)), bits = int(state.range(2));
  for (auto _ : state) F(rate, ch, bits);
  state.counters["x_realtime"] =
      benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
}

double Seconds(void (*f)(int, int, int), int rate, int ch, int bits) {
  double best = 1e9;
  for (int k = 0; k < 5; ++k) {
    const auto t0 = std::chrono::steady_clock::now();
    f(rate, ch, bits);
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

}  // namespace

BENCHMARK(Run<Ours>)->Name("SndConvert/22050_mono_8")->Args({22050, 1, 8})->Unit(benchmark::kMillisecond);
BENCHMARK(Run<Peer>)->Name("swresample/22050_mono_8")->Args({22050, 1, 8})->Unit(benchmark::kMillisecond);
BENCHMARK(Run<Ours>)->Name("SndConvert/48000_stereo_16")->Args({48000, 2, 16})->Unit(benchmark::kMillisecond);
BENCHMARK(Run<Peer>)->Name("swresample/48000_stereo_16")->Args({48000, 2, 16})->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  const int cases[2][3] = {{22050, 1, 8}, {48000, 2, 16}};
  for (const auto& c : cases) {
    const double ours = Seconds(Ours, c[0], c[1], c[2]);
    const double peer = Seconds(Peer, c[0], c[1], c[2]);
    std::printf("60 s 44100 Hz stereo 16-bit to %d Hz %s %d-bit: SndConvert %.0fx real time, "
                "swresample %.0fx, time ratio SndConvert/swresample %.2f\n",
                c[0], c[1] == 1 ? "mono" : "stereo", c[2], kSeconds / ours, kSeconds / peer,
                ours / peer);
  }
  benchmark::Shutdown();
  return 0;
}
