// Helpers for the sound file tests: tools, raw sample files, reading a whole
// file through the movie layer, and a fixture that checks nothing is left.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "oracle_shell.h"
#include "engine/format_dispatch.h"
#include "windows_skip.h"
#include "engine/media_access.h"
#include "sound/sound.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "codecs/libvorbis/vorbis_codec.h"
#include "platform/mmio/mmio.h"
#include "test_temp.h"

namespace sftest {

inline bool HaveTool(const char* name) {
  return ::vektest::HaveOracle(name);
}

inline bool Run(const std::string& cmd) { return ::vektest::RunShell((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// The standard output of a command, without its trailing line ends.
inline std::string Capture(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::vektest::OpenPipe((cmd + " 2>/dev/null").c_str(), "r")) {
    char buf[256];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    ::vektest::ClosePipe(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

inline std::string Temp(const std::string& name) { return vek::testing::UniqueTemp(name); }

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<int16_t> AsS16(const std::vector<uint8_t>& b) {
  std::vector<int16_t> s(b.size() / 2);
  std::memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

// What an independent decoder makes of a file: interleaved 16-bit samples.
inline std::vector<int16_t> SoxDecode(const std::string& path) {
  const std::string raw = path + ".sox.raw";
  if (!Run("sox " + path + " -D -t raw -e signed -b 16 " + raw)) return {};
  return AsS16(ReadFile(raw));
}

inline std::vector<int16_t> FfmpegDecode(const std::string& path) {
  const std::string raw = path + ".ff.raw";
  if (!Run("ffmpeg -hide_banner -loglevel error -y -i " + path + " -f s16le " + raw)) return {};
  return AsS16(ReadFile(raw));
}

// Signal-to-noise ratio of `got` against `ref` in dB over their common length.
inline double SnrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& got,
                    size_t offset = 0) {
  double sig = 0, noise = 0;
  for (size_t i = 0; i + offset < got.size() && i < ref.size(); ++i) {
    const double r = ref[i], d = got[i + offset] - r;
    sig += r * r;
    noise += d * d;
  }
  return 10 * std::log10((sig + 1e-9) / (noise + 1e-9));
}

// Largest difference over the common length.
inline int MaxDiff(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
  int m = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) m = std::max(m, std::abs(a[i] - b[i]));
  return m;
}

// Every test leaves no tracked block, file, stream or handle, and no error.
class SoundFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek::ErrClear();
    mem_ = vek::MemCount();
  }
  void TearDown() override {
    EXPECT_EQ(vek::MemCount(), mem_) << "tracked blocks leaked";
    EXPECT_EQ(vek::FCount(), 0) << "tracked files left open";
    EXPECT_EQ(vek::MonDepth(), 0);
    EXPECT_EQ(vek::platform::AcmOpenStreams(), 0) << "conversion streams left open";
    EXPECT_EQ(vek::platform::MmioOpenHandles(), 0) << "wave files left open";
    EXPECT_EQ(vek::platform::OvOpenHandles(), 0) << "Vorbis files left open";
  }
  // Runs `f` inside a boundary block; returns the error pair it left.
  template <class F>
  std::pair<int32_t, int32_t> Guarded(F&& f) {
    vek::ErrClear();
    vek::MonitoredBoundary("Test.SoundFiles", [&] { f(); });
    std::pair<int32_t, int32_t> e{vek::ErrGroup(), vek::ErrCode()};
    vek::ErrClear();
    return e;
  }
  int32_t mem_ = 0;
};

// A file opened through the movie layer, closed on destruction.
struct Opened {
  vek::QMovieHandle mh{vek::kUndefined, nullptr, nullptr};
  explicit Opened(const std::string& name, int32_t id = vek::kUndefined) {
    vek::MonitoredBoundary("Test.Open", [&] { vek::MviOpen(mh, name, id); });
  }
  ~Opened() {
    vek::MonitoredBoundary("Test.Close", [&] { vek::MviClose(mh); });
  }
  // `count` frames from `first` (continue flag: `mode` bit 0) as bytes.
  std::vector<uint8_t> Load(int32_t first, int32_t count, int32_t mode = 0) {
    vek::SoundBuffer snd{};
    vek::MonitoredBoundary("Test.Load", [&] { vek::MviSndLoad(mh, snd, first, mode, count); });
    std::vector<uint8_t> out;
    if (snd.data && snd.sample_count > 0)
      out.assign(snd.data, snd.data + int64_t(snd.sample_count) * snd.format.nBlockAlign);
    if (!out.empty()) format = snd.format;
    vek::SndFree(snd);
    return out;
  }
  // The whole sound, read on with the continue flag in blocks of `block` frames.
  std::vector<uint8_t> LoadAll(int32_t block) {
    std::vector<uint8_t> all;
    for (int32_t pos = 0;;) {
      const std::vector<uint8_t> part = Load(pos, block, 1);
      if (part.empty() || !vek::ErrNone()) break;
      all.insert(all.end(), part.begin(), part.end());
      pos += int32_t(part.size() / format.nBlockAlign);
    }
    return all;
  }
  vek::WaveFormat format{};
};

}  // namespace sftest
