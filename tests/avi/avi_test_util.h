// Helpers of the AVI tests: frames with known pixels, files written through
// the media layer, and ffmpeg/ffprobe as the independent oracle.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "oracle_shell.h"
#include "engine/media_access.h"
#include "windows_skip.h"
#include "engine/save_options.h"
#include "sound/sound.h"
#include "formats/format_descriptor.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "image/image.h"
#include "test_temp.h"

namespace vek::avitest {

// A four-character code from a runtime text.
inline uint32_t Code(const char* s) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

inline bool HaveTool(const char* tool) {
  return ::vektest::HaveOracle(tool);
}

#define REQUIRE_FFMPEG()                                                            \
  if (!vek::avitest::HaveTool("ffmpeg") || !vek::avitest::HaveTool("ffprobe"))     \
  GTEST_SKIP() << VEK_ORACLE_SKIP << "ffmpeg/ffprobe not installed (scripts/deps/avi.txt)"

inline std::string Sh(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::vektest::OpenPipe(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::vektest::ClosePipe(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

inline std::vector<uint8_t> ReadFile(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline void WriteFile(const std::string& name, const std::vector<uint8_t>& d) {
  std::ofstream f(name, std::ios::binary);
  f.write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
}

// One stream entry of ffprobe as "key=value|key=value".
inline std::string Probe(const std::string& file, const char* stream, const char* entries) {
  return Sh(std::string("ffprobe -v error -count_frames -select_streams ") + stream +
             " -show_entries " + entries + " -of default=nw=1:nk=0 '" + file + "' | tr '\\n' '|'");
}

inline std::string Field(const std::string& probe, const std::string& key) {
  const size_t at = probe.find(key + "=");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 1;
  return probe.substr(from, probe.find('|', from) - from);
}

// ffmpeg's decode of every video frame as top-down RGB rows.
inline std::vector<uint8_t> FfmpegRgb(const std::string& file, const std::string& out) {
  Sh("ffmpeg -v error -y -i '" + file + "' -vsync passthrough -sws_flags bicubic+accurate_rnd+full_chroma_int -f rawvideo -pix_fmt rgb24 '" + out + "'");
  return ReadFile(out);
}

inline std::vector<int16_t> FfmpegPcm(const std::string& file, const std::string& out, int rate,
                                      int channels, const std::string& input_opts = "") {
  Sh("ffmpeg -v error -y " + input_opts + " -i '" + file + "' -vn -f s16le -ar " + std::to_string(rate) + " -ac " +
      std::to_string(channels) + " '" + out + "'");
  const std::vector<uint8_t> b = ReadFile(out);
  std::vector<int16_t> s(b.size() / 2);
  if (!s.empty()) std::memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

// Peak signal-to-noise ratio of two byte vectors (infinite when equal).
inline double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) se += double(a[i] - b[i]) * (a[i] - b[i]);
  if (se == 0) return 1e9;
  return 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

// A moving picture with soft gradients and some fine detail.
inline void MakeFrame(QImg& img, int w, int h, int bits, int n) {
  ImgAlloc(&img, w, h, bits, 1, "AviTest.frame");
  for (int i = 0; i < 256; ++i) {
    img.palette[i * 3] = static_cast<uint8_t>(i);
    img.palette[i * 3 + 1] = static_cast<uint8_t>(255 - i);
    img.palette[i * 3 + 2] = static_cast<uint8_t>((i * 7) & 255);
  }
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int b = (x * 4 + n * 9) & 255, g = (y * 5 + n * 3) & 255,
                r = ((x + y) * 3 + ((x / 4 + y / 4 + n) % 2) * 40) & 255;
      uint8_t* p = img.pixels + (int64_t(y) * w + x) * img.bytespp;
      if (bits == 8) {
        p[0] = static_cast<uint8_t>((x / 3 + y / 2 + n * 5) & 255);
      } else if (bits == 15) {
        const uint16_t v = static_cast<uint16_t>((r >> 3) << 10 | (g >> 3) << 5 | (b >> 3));
        std::memcpy(p, &v, 2);
      } else {
        p[0] = static_cast<uint8_t>(b);
        p[1] = static_cast<uint8_t>(g);
        p[2] = static_cast<uint8_t>(r);
        if (bits == 32) p[3] = 0;
      }
    }
  }
}

// The frame as ffmpeg's rgb24 would show it.
inline std::vector<uint8_t> ToRgb(const QImg& img) {
  std::vector<uint8_t> out;
  out.reserve(size_t(img.width) * img.height * 3);
  for (int i = 0; i < img.width * img.height; ++i) {
    const uint8_t* p = img.pixels + int64_t(i) * img.bytespp;
    uint8_t r, g, b;
    if (img.bits == 8) {
      b = img.palette[p[0] * 3], g = img.palette[p[0] * 3 + 1], r = img.palette[p[0] * 3 + 2];
    } else if (img.bits == 15) {
      uint16_t v;
      std::memcpy(&v, p, 2);
      r = static_cast<uint8_t>(((v >> 10) & 31) << 3);
      g = static_cast<uint8_t>(((v >> 5) & 31) << 3);
      b = static_cast<uint8_t>((v & 31) << 3);
    } else {
      b = p[0], g = p[1], r = p[2];
    }
    out.push_back(r);
    out.push_back(g);
    out.push_back(b);
  }
  return out;
}

// 5-bit channels: what survives a 15-bit picture whatever the expansion.
inline std::vector<uint8_t> Top5(std::vector<uint8_t> v) {
  for (uint8_t& c : v) c = static_cast<uint8_t>(c >> 3);
  return v;
}

struct WriteSpec {
  uint32_t handler = FourCC("DIB ");
  int width = 64, height = 48, bits = 24, frames = 6;
  double fps = 25;
  bool sound = false;
  int32_t quality = kUndefined;
  std::vector<std::pair<std::string, std::string>> info;
  // Makes frame n at this record's size and depth; MakeFrame when empty.
  std::function<void(QImg&, int)> make;
};

// Writes an AVI through the media layer as a run would; returns the frames
// handed in (as rgb24) and the sound samples written.
inline std::vector<uint8_t> WriteAvi(const std::string& name, const WriteSpec& s,
                                     std::vector<int16_t>* pcm = nullptr) {
  QSaveOpts opts;
  FFSaveReset(opts);
  FFSaveSetFormat(opts, kFmtAVI);
  FFSaveSetCodec(opts, static_cast<int32_t>(s.handler));
  if (s.quality != kUndefined) FFSaveSetQuality(opts, s.quality);
  QUniHandle h{};
  std::vector<uint8_t> rgb;
  MonitoredBoundary("AviTest.Write", [&] {
    UniCreate(h, name);
    UniSetFrames(h, s.frames);
    UniSetFrameRate(h, s.fps);
    UniSetOptions(h, opts);
    for (auto& [id, text] : s.info) UniAddAviInfo(h, id.c_str(), text.c_str());
    const int per_frame = static_cast<int>(22050 / s.fps);
    for (int n = 0; n < s.frames; ++n) {
      QImg img{};
      ImgGuard g(img);
      if (s.make) s.make(img, n);
      else MakeFrame(img, s.width, s.height, s.bits, n);
      const std::vector<uint8_t> f = ToRgb(img);
      rgb.insert(rgb.end(), f.begin(), f.end());
      UniImgSave(h, img);
      if (s.sound) {
        SoundBuffer snd{};
        SndGuard sg(snd);
        WaveFormat wf{};
        SndMakeFormat(wf, 22050, 2, 16);
        SndMakeSilence(snd, per_frame, wf);
        auto* d = reinterpret_cast<int16_t*>(snd.data);
        for (int i = 0; i < per_frame; ++i) {
          const int t = n * per_frame + i;
          d[2 * i] = static_cast<int16_t>(8000 * std::sin(t * 0.05));
          d[2 * i + 1] = static_cast<int16_t>((t * 37) % 20000 - 10000);
          if (pcm) {
            pcm->push_back(d[2 * i]);
            pcm->push_back(d[2 * i + 1]);
          }
        }
        UniSndSave(h, snd);
      }
    }
    UniClose(h);
  });
  return rgb;
}

// Every frame read back through the movie layer, as rgb24.
inline std::vector<uint8_t> ReadAviFrames(const std::string& name, int32_t* frames = nullptr) {
  std::vector<uint8_t> rgb;
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  int32_t n = 0;
  MonitoredBoundary("AviTest.Read", [&] {
    MviOpen(mh, name, kFmtAVI);
    n = MviView(mh).frames;
    for (int32_t f = 1; f <= n; ++f) {
      QImg img{};
      ImgGuard g(img);
      MviImgLoad(mh, img, f, 0);
      const std::vector<uint8_t> one = ToRgb(img);
      rgb.insert(rgb.end(), one.begin(), one.end());
    }
  });
  if (!ErrNone()) n = -1;
  ErrClear();
  MonitoredBoundary("AviTest.Close", [&] { MviClose(mh); });
  ErrClear();
  if (frames) *frames = n;
  return rgb;
}

}  // namespace vek::avitest
