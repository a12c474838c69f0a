// Ten minutes of 44.1 kHz stereo: decoding Vorbis and IMA ADPCM WAV files,
// encoding to Vorbis at the default quality and to a 22.05 kHz mono 8-bit
// WAV file; ours through the format modules, the peers sox and ffmpeg as
// processes on the same files. Each job runs once per repetition; the
// closing lines give the ratios against the faster peer.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

#include "sound/sound.h"
#include "formats/movie/ogg.h"
#include "formats/movie/wav.h"
#include "foundation/errors.h"
#include "foundation/memory.h"

namespace {

constexpr int kSeconds = 600;
constexpr int32_t kBlock = 44100;  // frames per load, as the conversion loop asks

std::string Dir() {
  static const std::string dir = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(base) + "/vek_bench_sound_" + std::to_string(getpid());
  }();
  return dir;
}
std::string Path(const char* name) { return Dir() + "/" + name; }

bool Sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

void Prepare() {
  Sh("mkdir -p " + Dir());
  // Something like music: tones, a sweep and some noise.
  Sh("sox -n -r 44100 -c 2 -b 16 " + Path("pcm.wav") + " synth " + std::to_string(kSeconds) +
     " sine 220 sine 330-3000 pinknoise vol 0.4");
  Sh("sox " + Path("pcm.wav") + " -e ima-adpcm " + Path("ima.wav"));
  Sh("oggenc -Q -o " + Path("in.ogg") + " " + Path("pcm.wav"));
}

void Check(bool ok) {
  if (!ok || !vek::ErrNone()) {
    std::fprintf(stderr, "bench: a job failed (%s)\n", vek::ErrMsgLast().c_str());
    std::exit(1);
  }
}

// Ours: the whole file through WAVLoad, block by block.
void DecodeWav(const std::string& in) {
  vek::MonitoredBoundary("Bench.DecodeWav", [&] {
    vek::WavState s;
    vek::WAVOpen(s, in);
    vek::SoundBuffer b{};
    int64_t frames = 0;
    for (int32_t pos = 0;; pos += b.sample_count) {
      vek::WAVLoad(s, b, pos, 1, kBlock);
      if (b.sample_count == 0) break;
      frames += b.sample_count;
    }
    benchmark::DoNotOptimize(frames);
    vek::SndFree(b);
    vek::WAVClose(s);
  });
}

void DecodeOgg(const std::string& in) {
  vek::MonitoredBoundary("Bench.DecodeOgg", [&] {
    vek::OggState s;
    vek::OggOpen(s, in);
    vek::SoundBuffer b{};
    for (int32_t pos = 0;; pos += b.sample_count) {
      vek::OggLoad(s, b, pos, 1, kBlock);
      if (b.sample_count == 0) break;
    }
    vek::SndFree(b);
    vek::OggClose(s);
  });
}

// WAV in, converted block by block as the conversion loop does, written out.
template <class Out>
void Transcode(const std::string& in, const std::string& out, const vek::WaveFormat* to,
               void (*create)(Out&, const std::string&), void (*save)(Out&, vek::SoundBuffer&),
               void (*close)(Out&)) {
  vek::MonitoredBoundary("Bench.Transcode", [&] {
    vek::WavState s;
    Out o;
    vek::WAVOpen(s, in);
    create(o, out);
    vek::SoundBuffer b{}, c{};
    for (int32_t pos = 0;; pos += b.sample_count) {
      vek::WAVLoad(s, b, pos, 1, kBlock);
      if (b.sample_count == 0) break;
      if (to) {
        vek::SndConvert(b, c, *to);
        save(o, c);
      } else {
        save(o, b);
      }
    }
    vek::SndFree(b);
    vek::SndFree(c);
    close(o);
    vek::WAVClose(s);
  });
}

const std::map<std::string, std::function<void()>>& Jobs() {
  static const std::map<std::string, std::function<void()>> jobs = {
      {"decode_vorbis/ours", [] { DecodeOgg(Path("in.ogg")); }},
      {"decode_vorbis/sox", [] { Check(Sh("sox " + Path("in.ogg") + " -t raw /dev/null")); }},
      {"decode_vorbis/ffmpeg",
       [] { Check(Sh("ffmpeg -v error -y -i " + Path("in.ogg") + " -f s16le /dev/null")); }},
      {"decode_ima_wav/ours", [] { DecodeWav(Path("ima.wav")); }},
      {"decode_ima_wav/sox", [] { Check(Sh("sox " + Path("ima.wav") + " -t raw /dev/null")); }},
      {"decode_ima_wav/ffmpeg",
       [] { Check(Sh("ffmpeg -v error -y -i " + Path("ima.wav") + " -f s16le /dev/null")); }},
      {"encode_vorbis/ours",
       [] {
         Transcode<vek::OggState>(Path("pcm.wav"), Path("ours.ogg"), nullptr, vek::OggCreate,
                                  vek::OggSave, vek::OggClose);
       }},
      {"encode_vorbis/sox",
       [] { Check(Sh("sox " + Path("pcm.wav") + " " + Path("sox.ogg"))); }},
      {"encode_vorbis/ffmpeg",
       [] {
         Check(Sh("ffmpeg -v error -y -i " + Path("pcm.wav") + " -c:a libvorbis " +
                  Path("ffmpeg.ogg")));
       }},
      {"encode_wav_22k_mono_8/ours",
       [] {
         static vek::WaveFormat f = [] {
           vek::WaveFormat w{};
           vek::SndMakeFormat(w, 22050, 1, 8);
           return w;
         }();
         Transcode<vek::WavState>(Path("pcm.wav"), Path("ours.wav"), &f, vek::WAVCreate,
                                  vek::WAVSave, vek::WAVClose);
       }},
      {"encode_wav_22k_mono_8/sox",
       [] {
         Check(Sh("sox " + Path("pcm.wav") + " -r 22050 -c 1 -b 8 " + Path("sox.wav")));
       }},
      {"encode_wav_22k_mono_8/ffmpeg",
       [] {
         Check(Sh("ffmpeg -v error -y -i " + Path("pcm.wav") +
                  " -ar 22050 -ac 1 -c:a pcm_u8 " + Path("ffmpeg.wav")));
       }},
  };
  return jobs;
}

std::map<std::string, double>& Best() {
  static std::map<std::string, double> best;
  return best;
}

void RunJob(benchmark::State& state, const std::string& name) {
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    Jobs().at(name)();
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    auto [it, fresh] = Best().emplace(name, t);
    if (!fresh) it->second = std::min(it->second, t);
  }
  state.counters["x_realtime"] =
      benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

int main(int argc, char** argv) {
  if (std::system("command -v sox >/dev/null && command -v ffmpeg >/dev/null && "
                  "command -v oggenc >/dev/null") != 0) {
    std::fprintf(stderr, "bench_sound_files: sox, ffmpeg and oggenc are needed\n");
    return 0;
  }
  Prepare();
  for (const auto& [name, job] : Jobs())
    benchmark::RegisterBenchmark(name.c_str(), [name](benchmark::State& s) { RunJob(s, name); })
        ->Iterations(1)
        ->Repetitions(3)
        ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  for (const char* job : {"decode_vorbis", "decode_ima_wav", "encode_vorbis", "encode_wav_22k_mono_8"}) {
    const std::string j = job;
    if (!Best().count(j + "/ours")) continue;
    const double ours = Best()[j + "/ours"], sox = Best()[j + "/sox"], ff = Best()[j + "/ffmpeg"];
    std::printf("%-22s ours %6.2f s  sox %6.2f s  ffmpeg %6.2f s  ours/faster peer %.2f\n", job,
                ours, sox, ff, ours / std::min(sox, ff));
  }
  benchmark::Shutdown();
  Sh("rm -rf " + Dir());
  return 0;
}
