// Helpers of the GIF and FLIC tests: temporary files, the oracle tools, and
// movie frames read through the movie layer.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "oracle_shell.h"
#include "engine/media_access.h"
#include "windows_skip.h"
#include "formats/format_descriptor.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/image.h"
#include "tracked_test.h"

namespace anim_test {

using Bytes = std::vector<uint8_t>;

// Per-process folder in memory where possible (hostile tests rewrite files
// thousands of times); names spelt without digits so that nothing looks
// like a numbered sequence.
inline std::string Temp(const std::string& name) {
  static const std::string dir = [] {
    std::string tag = std::to_string(getpid());
    for (char& c : tag) c = static_cast<char>('a' + (c - '0'));
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : ::testing::TempDir();
    std::string d = base + "vekanim_" + tag + "/";
    std::filesystem::create_directory(d);
    static const std::string keep = d;
    std::atexit([] { std::filesystem::remove_all(keep); });
    return d;
  }();
  return dir + name;
}
inline std::string Photo(const char* name) { return std::string(VEK_TEST_DATA) + "/animation/" + name; }

inline Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
inline void WriteAll(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline void Put16(Bytes& b, size_t at, unsigned v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline bool Shell(const std::string& cmd) { return ::vektest::RunShell((cmd + " >/dev/null 2>&1").c_str()) == 0; }
inline bool HaveMagick() { return ::vektest::HaveOracle("/usr/bin/convert"); }
inline bool HaveFfmpeg() { return ::vektest::HaveOracle("/usr/bin/ffmpeg") && ::vektest::HaveOracle("/usr/bin/ffprobe"); }
inline bool Magick(const std::string& args) { return Shell("/usr/bin/convert " + args); }
inline std::string Capture(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::vektest::OpenPipe((cmd + " 2>/dev/null").c_str(), "r")) {
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::vektest::ClosePipe(p);
  }
  return out;
}

// Frames as 8-bit RGBA, rows top-down.
struct Frames {
  int width = 0, height = 0;
  std::vector<Bytes> rgba;
};

// ImageMagick's composed frames of an animation.
inline Frames MagickCoalesce(const std::string& gif) {
  Frames f;
  const std::string dims = Capture("/usr/bin/identify -format '%W %H\\n' '" + gif + "'");
  if (std::sscanf(dims.c_str(), "%d %d", &f.width, &f.height) != 2) return f;
  const std::string raw = gif + ".rgba";
  if (!Magick("'" + gif + "' -coalesce -depth 8 rgba:'" + raw + "'")) return f;
  const Bytes all = ReadAll(raw);
  std::remove(raw.c_str());
  const size_t n = static_cast<size_t>(f.width) * f.height * 4;
  for (size_t at = 0; n && at + n <= all.size(); at += n) f.rgba.emplace_back(all.begin() + at, all.begin() + at + n);
  return f;
}

// FFmpeg's decode of every frame of a movie, as RGBA.
inline Frames FfmpegFrames(const std::string& movie, int width, int height) {
  Frames f;
  f.width = width;
  f.height = height;
  const std::string raw = movie + ".raw";
  if (!Shell("/usr/bin/ffmpeg -loglevel error -y -i '" + movie + "' -f rawvideo -pix_fmt rgba '" + raw + "'"))
    return f;
  const Bytes all = ReadAll(raw);
  std::remove(raw.c_str());
  const size_t n = static_cast<size_t>(width) * height * 4;
  for (size_t at = 0; n && at + n <= all.size(); at += n) f.rgba.emplace_back(all.begin() + at, all.begin() + at + n);
  return f;
}

// An 8-bit or 24-bit image as RGBA.
inline Bytes ToRgba(const vek::QImg& img) {
  const size_t n = static_cast<size_t>(img.width) * img.height;
  Bytes o(n * 4);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* c = img.bits == 24 ? img.pixels + 3 * i : img.palette + 3 * img.pixels[i];
    o[4 * i] = c[2];
    o[4 * i + 1] = c[1];
    o[4 * i + 2] = c[0];
    o[4 * i + 3] = 255;
  }
  return o;
}

// Pixels that differ where the reference is opaque (transparent places of a
// composed GIF have no colour to compare).
inline long OpaqueDiff(const Bytes& ours, const Bytes& ref) {
  if (ours.size() != ref.size()) return -1;
  long n = 0;
  for (size_t i = 0; i + 3 < ref.size(); i += 4)
    if (ref[i + 3] == 255 && (ours[i] != ref[i] || ours[i + 1] != ref[i + 1] || ours[i + 2] != ref[i + 2])) ++n;
  return n;
}

// A movie opened through the movie layer, closed at the end of the scope.
struct Movie {
  vek::QMovieHandle mh{vek::kUndefined, nullptr, nullptr};
  vek::QImg img{};
  explicit Movie(const std::string& name) {
    vek::MonitoredBoundary("Test.Open", [&] { vek::MviOpen(mh, name, vek::kUndefined); });
  }
  ~Movie() {
    vek::ImgFree(&img);
    vek::MonitoredBoundary("Test.Close", [&] { vek::MviClose(mh); });
    vek::ErrClear();
  }
  bool ok() const { return mh.ops != nullptr; }
  vek::MovieView view() const { return vek::MviView(mh); }
  // Loads frame n (from 1); true on success.
  bool Load(int32_t n, int32_t mode = 0) {
    vek::MonitoredBoundary("Test.Load", [&] { vek::MviImgLoad(mh, img, n, mode); });
    const bool ok = vek::ErrNone();
    vek::ErrClear();
    return ok;
  }
};

struct AnimTest : vektest::TrackedTest {};

}  // namespace anim_test
