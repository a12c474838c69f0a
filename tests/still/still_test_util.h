// Helpers of the BMP, TGA and PCX tests: temporary files, ImageMagick as the
// independent decoder, and images turned into plain RGB for comparison.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "oracle_shell.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/image.h"
#include "tracked_test.h"

namespace still_test {

using Bytes = std::vector<uint8_t>;

// Temporary files live in memory where possible: the hostile tests rewrite
// one file thousands of times, which a disk turns into waiting.
inline std::string Temp(const std::string& name) {
  static const std::string dir = [] {
    struct stat st {};
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
      return std::string("/dev/shm/");
    return ::testing::TempDir();
  }();
  // CTest runs test cases as parallel processes: keep their files apart.
  return dir + "still_" + std::to_string(getpid()) + "_" + name;
}
inline std::string Photo(const char* name) { return std::string(VEK_TEST_DATA) + "/still/" + name; }

inline Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
inline void WriteAll(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Runs ImageMagick's own convert (not whatever `convert` is first on PATH).
inline bool Magick(const std::string& args) {
  const std::string cmd = "/usr/bin/convert " + args + " 2>/dev/null";
  return ::vektest::RunShell(cmd.c_str()) == 0;
}

struct Rgb {
  int width = 0;
  int height = 0;
  Bytes px;  // red, green, blue, rows top-down
};

// Reads a binary PPM (P6, maximum 255).
inline Rgb ReadPpm(const std::string& ppm) {
  Rgb r;
  Bytes d = ReadAll(ppm);
  std::remove(ppm.c_str());
  size_t pos = 2;
  auto num = [&]() {
    while (pos < d.size() && (d[pos] == ' ' || d[pos] == '\n' || d[pos] == '\r' || d[pos] == '\t')) ++pos;
    int v = 0;
    while (pos < d.size() && d[pos] >= '0' && d[pos] <= '9') v = v * 10 + (d[pos++] - '0');
    return v;
  };
  if (d.size() < 2 || d[0] != 'P' || d[1] != '6') return r;
  r.width = num();
  r.height = num();
  num();
  ++pos;
  r.px.assign(d.begin() + static_cast<long>(pos), d.end());
  return r;
}

// ImageMagick's decode of a file, as 8-bit RGB.
inline Rgb MagickDecode(const std::string& file) {
  const std::string ppm = file + ".oracle.ppm";
  // ImageMagick 6 only tags bottom-up TGA files with their orientation.
  if (!Magick("'" + file + "' -auto-orient -alpha off -depth 8 ppm:'" + ppm + "'")) return {};
  return ReadPpm(ppm);
}

// FFmpeg's decode, the second opinion where ImageMagick 6 is known to be wrong.
inline Rgb FfmpegDecode(const std::string& file) {
  const std::string ppm = file + ".ffmpeg.ppm";
  const std::string cmd = "/usr/bin/ffmpeg -loglevel error -y -i '" + file +
                          "' -frames:v 1 -f image2 -c:v ppm -pix_fmt rgb24 '" + ppm + "'";
  if (::vektest::RunShell(cmd.c_str()) != 0) return {};
  return ReadPpm(ppm);
}

// An image record as 8-bit RGB; 15 and 16-bit channels expanded by shifting.
inline Rgb ToRgb(const vek::QImg& img) {
  Rgb r;
  r.width = img.width;
  r.height = img.height;
  const size_t n = static_cast<size_t>(img.width) * img.height;
  r.px.resize(n * 3);
  for (size_t i = 0; i < n; ++i) {
    uint8_t* o = &r.px[3 * i];
    const uint8_t* s = img.pixels + i * img.bytespp;
    switch (img.bits) {
      case 8:
        o[0] = img.palette[3 * s[0] + 2];
        o[1] = img.palette[3 * s[0] + 1];
        o[2] = img.palette[3 * s[0]];
        break;
      case 15: {
        const unsigned w = s[0] | (s[1] << 8);
        o[0] = static_cast<uint8_t>(((w >> 10) & 31) << 3);
        o[1] = static_cast<uint8_t>(((w >> 5) & 31) << 3);
        o[2] = static_cast<uint8_t>((w & 31) << 3);
        break;
      }
      case 16: {
        const unsigned w = s[0] | (s[1] << 8);
        o[0] = static_cast<uint8_t>(((w >> 11) & 31) << 3);
        o[1] = static_cast<uint8_t>(((w >> 5) & 63) << 2);
        o[2] = static_cast<uint8_t>((w & 31) << 3);
        break;
      }
      default:
        o[0] = s[2];
        o[1] = s[1];
        o[2] = s[0];
        break;
    }
  }
  return r;
}

// Keeps the top `bits` bits of every channel: 5 for 15-bit images (6 for the
// green of 16-bit ones), so ImageMagick's scaled expansion compares equal.
inline Rgb Quantise(Rgb r, int bits, int green_bits) {
  for (size_t i = 0; i < r.px.size(); ++i) {
    const int b = i % 3 == 1 ? green_bits : bits;
    r.px[i] = static_cast<uint8_t>(r.px[i] & (0xFF << (8 - b)));
  }
  return r;
}

// Number of differing channel bytes, or -1 when the sizes differ.
inline long Diff(const Rgb& a, const Rgb& b) {
  if (a.width != b.width || a.height != b.height || a.px.size() != b.px.size()) return -1;
  long n = 0;
  for (size_t i = 0; i < a.px.size(); ++i) n += a.px[i] != b.px[i];
  return n;
}

struct StillTest : vektest::TrackedTest {};

// An image record freed at the end of the scope.
struct Img {
  vek::QImg r{};
  ~Img() { vek::ImgFree(&r); }
  vek::QImg* operator->() { return &r; }
};

}  // namespace still_test
