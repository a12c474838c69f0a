// Helpers of the MPEG tests: ffmpeg and ffprobe as independent writers,
// decoders and judges, run in a per-process temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "oracle_shell.h"
#include "engine/media_access.h"
#include "windows_skip.h"
#include "foundation/errors.h"
#include "foundation/memory.h"
#include "test_temp.h"

namespace vek::mpegtest {

inline bool Have(const char* tool) {
  return ::vektest::HaveOracle(tool);
}

#define VEK_NEED_FFMPEG()                                                     \
  do {                                                                        \
    if (!::vek::mpegtest::Have("ffmpeg") || !::vek::mpegtest::Have("ffprobe")) \
      GTEST_SKIP() << VEK_ORACLE_SKIP << "ffmpeg/ffprobe not installed (scripts/deps/mpeg.txt)"; \
  } while (0)

// A folder of its own for this test process.
inline std::string Dir() {
  static const std::string dir = [] {
    std::string d = vek::testing::UniqueTemp("mpeg/");
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

// Runs a shell command and returns what it wrote to standard output.
inline std::vector<uint8_t> Capture(const std::string& cmd) {
  std::vector<uint8_t> out;
  std::FILE* p = ::vektest::OpenPipe(cmd.c_str(), "r");
  if (!p) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
  ::vektest::ClosePipe(p);
  return out;
}

inline std::string Text(const std::string& cmd) {
  const std::vector<uint8_t> v = Capture(cmd);
  std::string s(v.begin(), v.end());
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

inline int Sh(const std::string& cmd) { return ::vektest::RunShell((cmd + " >/dev/null 2>&1").c_str()); }

// ffprobe's description of a file (frames counted), one run per file state.
inline const std::map<std::string, std::string>& ProbeAll(const std::string& file) {
  static std::map<std::string, std::map<std::string, std::string>> cache;
  struct stat st {};
  stat(file.c_str(), &st);
#ifdef _WIN32
  // Times there are whole seconds (a file rewritten within one kept its old
  // description): the bytes tell one state of the file from the next.
  std::string bytes;
  if (std::FILE* f = std::fopen(file.c_str(), "rb")) {
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
    std::fclose(f);
  }
  const std::string key = file + "|" + std::to_string(st.st_size) + "|" +
                          std::to_string(std::hash<std::string>{}(bytes));
#else
  const std::string key = file + "|" + std::to_string(st.st_size) + "|" +
                          std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
#endif
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  std::map<std::string, std::string> m;
  std::istringstream in(Text("ffprobe -v error -count_frames -show_entries "
                             "stream=codec_type,codec_name,width,height,r_frame_rate,nb_read_frames,"
                             "sample_rate,channels,start_time:format=format_name,duration "
                             "-of flat '" + file + "'"));
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string v = line.substr(eq + 1);
    if (v.size() >= 2 && v.front() == '"') v = v.substr(1, v.size() - 2);
    m[line.substr(0, eq)] = v;
  }
  return cache[key] = m;
}

// One value of the first stream of a kind ("v" or "a").
inline std::string Probe(const std::string& file, const char* kind, const char* entry) {
  const auto& m = ProbeAll(file);
  const std::string type = kind[0] == 'v' ? "video" : "audio";
  for (int i = 0; i < 8; ++i) {
    const std::string p = "streams.stream." + std::to_string(i) + ".";
    auto t = m.find(p + "codec_type");
    if (t == m.end()) break;
    if (t->second != type) continue;
    auto v = m.find(p + entry);
    return v == m.end() ? "" : v->second;
  }
  return "";
}
inline std::string ProbeFormat(const std::string& file, const char* entry) {
  const auto& m = ProbeAll(file);
  auto v = m.find(std::string("format.") + entry);
  return v == m.end() ? "" : v->second;
}

// ffmpeg's decode: 24-bit pixels blue, green, red, frames one after the other.
inline std::vector<uint8_t> DecodeVideo(const std::string& file) {
  return Capture("ffmpeg -v error -i '" + file + "' -fps_mode passthrough -f rawvideo -pix_fmt bgr24 -");
}
// ffmpeg's decode: interleaved 16-bit samples.
inline std::vector<int16_t> DecodeAudio(const std::string& file) {
  const std::vector<uint8_t> b = Capture("ffmpeg -v error -i '" + file + "' -f s16le -");
  std::vector<int16_t> s(b.size() / 2);
  std::memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

inline double Psnr(const uint8_t* a, const uint8_t* b, size_t n) {
  double se = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = double(a[i]) - double(b[i]);
    se += d * d;
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (se / double(n)));
}

inline int MaxDiff(const uint8_t* a, const uint8_t* b, size_t n) {
  int m = 0;
  for (size_t i = 0; i < n; ++i) m = std::max(m, std::abs(int(a[i]) - int(b[i])));
  return m;
}

inline bool Exists(const std::string& name) {
  struct stat st {};
  return stat(name.c_str(), &st) == 0;
}

// Files in a folder whose names end in the temporary suffix.
inline int TempLeftovers(const std::string& folder) {
  int n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    const std::string s = e.path().filename().string();
    if (s.size() > 4 && s.substr(s.size() - 4) == ".$$$") ++n;
  }
  return n;
}

}  // namespace vek::mpegtest
