// Common parts of the MPEG layer: the error functions, FFmpeg's log, input
// opening and the MPEG header parsers.
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/system/paths.h"
#include "codecs/ffmpeg/av_log.h"
#include "codecs/ffmpeg/mpeg_internal.h"

namespace vek::platform {

namespace {
MpegErrorFunc g_error[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr int kEncoderSlot = 4;

bool Report(int slot, const char* text) {
  std::string message = AvLogTake();
  if (message.empty()) message = text;
  if (g_error[slot]) g_error[slot](message.c_str());
  return false;
}
}  // namespace

void MOSLErrorFuncSet(MpegLib lib, MpegErrorFunc func) { g_error[static_cast<int>(lib)] = func; }
void EncErrorFuncSet(MpegErrorFunc func) { g_error[kEncoderSlot] = func; }

double MpegRateOfCode(int32_t code) {
  static const double rates[9] = {0.0,  24000.0 / 1001, 24.0, 25.0,          30000.0 / 1001,
                                  30.0, 50.0,           60000.0 / 1001, 60.0};
  return code >= 0 && code <= 8 ? rates[code] : 0.0;
}

std::string MpegTempFolder() {
  std::error_code ec;
  std::string dir = std::filesystem::temp_directory_path(ec).string();
  if (ec || dir.empty()) dir = "/tmp";
  return paths::WithSeparator(dir);
}

namespace mpeg {

std::string AvFileName(const std::string& name) {
#ifdef _WIN32
  const int n = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  if (n <= 0) return name;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(), n);
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return name;
  std::string utf8(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, utf8.data(), m, nullptr, nullptr);
  return utf8;
#else
  return name;
#endif
}

void QuietLog() { AvLogInstall(); }

void ClearMessage() { AvLogClear(); }

bool Fail(MpegLib lib, const char* text) { return Report(static_cast<int>(lib), text); }
bool FailEncoder(const char* text) { return Report(kEncoderSlot, text); }

std::string AvErrorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

PacketPtr NewPacket() { return PacketPtr(av_packet_alloc()); }
FramePtr NewFrame() { return FramePtr(av_frame_alloc()); }

namespace {
bool Allowed(const char* name, InputKind kind) {
  const std::string n = name ? name : "";
  if (n == "mpeg") return true;
  return kind == InputKind::kVideo ? n == "mpegvideo" : n == "mp3";
}

// Length in bytes of the audio frame whose header starts at p (0: none).
int64_t AudioFrameBytes(const uint8_t* p, int64_t n) {
  AudioHeader h;
  if (n < 4 || !ParseAudioHeader(p, 4, h) || h.bit_rate <= 0) return 0;
  const int64_t pad = (p[2] >> 1) & 1;
  const int64_t br = int64_t(h.bit_rate) * 1000;
  if (h.layer == 1) return (12 * br / h.sample_rate + pad) * 4;
  const int64_t k = h.layer == 3 && h.version != 1 ? 72 : 144;
  return k * br / h.sample_rate + pad;
}

// Two audio frames in a row, or one that is the whole file.
bool LooksLikeAudio(const uint8_t* p, int64_t n) {
  for (int64_t i = 0; i + 4 <= n && i < 8192; ++i) {
    const int64_t len = AudioFrameBytes(p + i, n - i);
    if (len <= 4) continue;
    if (i + len == n) return true;
    if (i + len + 4 <= n && AudioFrameBytes(p + i + len, n - i - len) > 0 &&
        (p[i + len + 1] & 0xFE) == (p[i + 1] & 0xFE))
      return true;
  }
  return false;
}

bool HasSequenceHeader(const uint8_t* p, int64_t n) {
  for (int64_t i = 0; i + 3 < n; ++i)
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && p[i + 3] == 0xB3) return true;
  return false;
}
}  // namespace

InputPtr OpenInput(const std::string& name, InputKind kind, MpegLib lib) {
  QuietLog();
  ClearMessage();
  // Look at the head of the file and choose among the MPEG demuxers only.
  std::vector<uint8_t> head;
  {
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) {
      Fail(lib, "Cannot open the file.");
      return nullptr;
    }
    head.resize(1 << 16);
    const size_t got = std::fread(head.data(), 1, head.size(), f);
    std::fclose(f);
    head.resize(got);
  }
  if (head.empty()) {
    Fail(lib, "The file is empty.");
    return nullptr;
  }
  std::vector<uint8_t> padded(head.size() + AVPROBE_PADDING_SIZE, 0);
  std::memcpy(padded.data(), head.data(), head.size());
  AVProbeData pd{};
  pd.filename = "";  // content decides, not the name
  pd.buf = padded.data();
  pd.buf_size = static_cast<int>(head.size());
  int score = 0;
  const AVInputFormat* fmt = av_probe_input_format3(&pd, 1, &score);
  if (!fmt || !Allowed(fmt->name, kind)) {
    fmt = nullptr;
    if (kind == InputKind::kVideo && HasSequenceHeader(head.data(), int64_t(head.size())))
      fmt = av_find_input_format("mpegvideo");
    else if (kind == InputKind::kAudio && LooksLikeAudio(head.data(), int64_t(head.size())))
      fmt = av_find_input_format("mp3");
  }
  if (!fmt) {
    Fail(lib, kind == InputKind::kVideo ? "No MPEG video found." : "No MPEG audio found.");
    return nullptr;
  }
  AVFormatContext* raw = nullptr;
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "probesize", "65536", 0);
  const int r = avformat_open_input(&raw, AvFileName(name).c_str(), fmt, &opts);
  av_dict_free(&opts);
  if (r < 0) {
    Fail(lib, AvErrorText(r).c_str());
    return nullptr;
  }
  InputPtr in(raw);
  in->flags |= AVFMT_FLAG_DISCARD_CORRUPT;
  return in;
}

// ---- headers ----

namespace {
struct Bits {
  const uint8_t* p;
  int64_t n;
  int64_t pos = 0;  // bit position
  uint32_t Get(int count) {
    uint32_t v = 0;
    for (int i = 0; i < count; ++i, ++pos) {
      const int64_t byte = pos >> 3;
      const uint32_t bit = byte < n ? (p[byte] >> (7 - (pos & 7))) & 1 : 0;
      v = (v << 1) | bit;
    }
    return v;
  }
};
}  // namespace

void ScanVideoHeaders(const uint8_t* data, int64_t size, VideoHeaders& out) {
  for (int64_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t code = data[i + 3];
    const uint8_t* p = data + i + 4;
    const int64_t left = size - (i + 4);
    Bits b{p, left};
    if (code == 0xB3 && left >= 8) {
      out.has_sequence = true;
      out.width = static_cast<int32_t>(b.Get(12));
      out.height = static_cast<int32_t>(b.Get(12));
      b.Get(4);  // aspect ratio
      out.rate_code = static_cast<int32_t>(b.Get(4));
      out.bit_rate = int64_t(b.Get(18)) * 400;
    } else if (code == 0xB5 && left >= 6 && (p[0] >> 4) == 1) {
      out.mpeg2 = true;
      b.Get(4);   // extension id
      b.Get(8);   // profile and level
      b.Get(1);   // progressive
      b.Get(2);   // chroma format
      const uint32_t hext = b.Get(2), vext = b.Get(2), brext = b.Get(12);
      out.width += static_cast<int32_t>(hext << 12);
      out.height += static_cast<int32_t>(vext << 12);
      out.bit_rate += int64_t(brext) * 400 * (int64_t(1) << 18);
    } else if (code == 0xB8 && left >= 4) {
      out.has_gop = true;
      out.closed_gop = ((p[3] >> 6) & 1) != 0;
    } else if (code == 0x00 && left >= 2 && out.picture == kPicNone) {
      out.picture = (p[1] >> 3) & 7;
    } else if (code == 0xB5 && left >= 3 && (p[0] >> 4) == 8 && out.picture != kPicNone) {
      b.Get(4 + 16 + 2);  // extension id, f codes, intra DC precision
      out.field = b.Get(2) != 3;
      // The demuxer's parser keeps the two fields of a frame together: a
      // second picture header in the same data is the other field.
      if (out.field)
        for (int64_t j = i + 4; j + 3 < size; ++j)
          if (data[j] == 0 && data[j + 1] == 0 && data[j + 2] == 1 && data[j + 3] == 0x00) {
            out.both_fields = true;
            break;
          }
      return;
    } else if (code >= 0x01 && code <= 0xAF && out.picture != kPicNone) {
      return;  // slices: no picture coding extension
    }
  }
}

bool ParseAudioHeader(const uint8_t* data, int64_t size, AudioHeader& out) {
  static const int16_t kRates1[3][16] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, -1},
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, -1},
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, -1}};
  static const int16_t kRates2[3][16] = {
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, -1},
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1},
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1}};
  static const int32_t kSampleRates[3] = {44100, 48000, 32000};
  for (int64_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0xFF || (data[i + 1] & 0xE0) != 0xE0) continue;
    const int v = (data[i + 1] >> 3) & 3;      // 0 2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1
    const int l = (data[i + 1] >> 1) & 3;      // 1 III, 2 II, 3 I
    const int br = (data[i + 2] >> 4) & 15;
    const int sr = (data[i + 2] >> 2) & 3;
    const int mode = (data[i + 3] >> 6) & 3;
    if (v == 1 || l == 0 || br == 15 || sr == 3) continue;
    AudioHeader h;
    h.layer = 4 - l;
    h.version = v == 3 ? 1 : v == 2 ? 0 : 2;
    h.bit_rate = (v == 3 ? kRates1 : kRates2)[h.layer - 1][br];
    h.sample_rate = kSampleRates[sr] >> (v == 3 ? 0 : v == 2 ? 1 : 2);
    h.channels = mode == 3 ? 1 : 2;
    h.samples_per_frame = h.layer == 1 ? 384 : (h.layer == 2 || v == 3) ? 1152 : 576;
    out = h;
    return true;
  }
  return false;
}

bool ParseAc3Header(const uint8_t* data, int64_t size, AudioHeader& out) {
  static const int32_t kRates[3] = {48000, 44100, 32000};
  static const int16_t kKbps[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                    192, 224, 256, 320, 384, 448, 512, 576, 640};
  static const int8_t kChannels[8] = {2, 1, 2, 3, 3, 4, 4, 5};
  if (size < 8 || data[0] != 0x0B || data[1] != 0x77) return false;
  const int fscod = data[4] >> 6, frmsizecod = data[4] & 0x3F, bsid = data[5] >> 3;
  // E-AC-3 (bsid above 10) is another format.
  if (fscod == 3 || frmsizecod / 2 >= 19 || bsid > 10) return false;
  const int acmod = data[6] >> 5;
  // The LFE flag follows the mix levels that acmod brings.
  int bit = 3;
  if ((acmod & 1) && acmod != 1) bit += 2;
  if (acmod & 4) bit += 2;
  if (acmod == 2) bit += 2;
  const int lfe = (data[6 + bit / 8] >> (7 - bit % 8)) & 1;
  AudioHeader h;
  h.layer = 0;
  h.version = 1;
  h.bit_rate = kKbps[frmsizecod / 2];
  h.sample_rate = kRates[fscod];
  h.channels = kChannels[acmod] + lfe;
  h.samples_per_frame = 1536;
  out = h;
  return true;
}

}  // namespace mpeg
}  // namespace vek::platform
