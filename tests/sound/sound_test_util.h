// Helpers for the sound tests: tones, levels, tools and WAV files.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "oracle_shell.h"
#include "sound/sound.h"
#include "windows_skip.h"
#include "foundation/errors.h"
#include "foundation/memory.h"

namespace soundtest {

// Every test must leave no tracked block, no open stream and no error behind it.
class SoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vek::ErrClear();
    mem_ = vek::MemCount();
  }
  void TearDown() override {
    EXPECT_EQ(vek::MemCount(), mem_) << "tracked blocks leaked";
    EXPECT_EQ(vek::platform::AcmOpenStreams(), 0) << "conversion streams left open";
  }
  // Runs `f` inside a boundary block; returns the error pair it left.
  template <class F>
  std::pair<int32_t, int32_t> Guarded(F&& f) {
    vek::ErrClear();
    vek::MonitoredBoundary("Test.Sound", [&] { f(); });
    return {vek::ErrGroup(), vek::ErrCode()};
  }
  int32_t mem_ = 0;
};

inline bool HaveTool(const char* name) {
  return ::vektest::HaveOracle(name);
}

inline std::string TempPath(const std::string& name) {
  return std::string(VEK_BINARY_DIR) + "/sound_test_" + name;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline std::vector<int16_t> ReadS16(const std::string& path) {
  const std::vector<uint8_t> b = ReadFile(path);
  std::vector<int16_t> s(b.size() / 2);
  std::memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

inline std::vector<int16_t> Sine(double freq, int rate, int frames, int channels, double amp) {
  std::vector<int16_t> s(size_t(frames) * channels);
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      s[size_t(i) * channels + c] =
          int16_t(std::lround(amp * 32767.0 * std::sin(2 * M_PI * freq * i / rate)));
  return s;
}

// Level of one frequency in dB relative to full scale (Goertzel on a Hann window).
inline double ToneDb(const std::vector<double>& x, double freq, int rate) {
  const size_t n = x.size();
  const double w = 2 * M_PI * freq / rate;
  double re = 0, im = 0, wsum = 0;
  for (size_t i = 0; i < n; ++i) {
    const double h = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(n - 1));
    re += h * x[i] * std::cos(w * double(i));
    im += h * x[i] * std::sin(w * double(i));
    wsum += h;
  }
  const double amp = 2 * std::sqrt(re * re + im * im) / wsum;
  return 20 * std::log10(amp / 32768.0 + 1e-12);
}

inline double RmsDb(const std::vector<double>& x) {
  double s = 0;
  for (double v : x) s += v * v;
  return 10 * std::log10(s / double(x.size()) / (32768.0 * 32768.0) + 1e-20);
}

// A wave file split into its format record (with extra bytes) and data.
struct Wave {
  std::vector<uint8_t> fmt;
  std::vector<uint8_t> data;
  const vek::WaveFormat* format() const {
    return reinterpret_cast<const vek::WaveFormat*>(fmt.data());
  }
};

inline bool ParseWave(const std::vector<uint8_t>& file, Wave& w) {
  if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) || std::memcmp(&file[8], "WAVE", 4))
    return false;
  size_t pos = 12;
  while (pos + 8 <= file.size()) {
    uint32_t size;
    std::memcpy(&size, &file[pos + 4], 4);
    const size_t body = pos + 8;
    const size_t end = std::min(file.size(), body + size);
    if (!std::memcmp(&file[pos], "fmt ", 4)) {
      w.fmt.assign(file.begin() + body, file.begin() + end);
      if (w.fmt.size() < 18) w.fmt.resize(18, 0);
    } else if (!std::memcmp(&file[pos], "data", 4)) {
      w.data.assign(file.begin() + body, file.begin() + end);
    }
    pos = body + size + (size & 1);
  }
  return !w.fmt.empty() && !w.data.empty();
}

}  // namespace soundtest
