// What the library can write and what a file holds: the codec catalogue of
// every format, file information, the prepared video format of a job, the
// custom INFO texts of AVI files, and two small packing helpers.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "api/job.h"
#include "engine/format_registry.h"
#include "engine/media_access.h"
#include "engine/save_options.h"
#include "formats/movie/avi.h"
#include "foundation/files.h"

namespace vek::api {

namespace {

// AVI codecs counted by the last VekCodecsInit for AVI.
int32_t g_avi_codecs = 0;

constexpr int32_t kNoLimit = INT32_MAX;

void Describe(VekCodecInfo& r, const char* text) {
  std::memset(r.description, 0, sizeof r.description);
  std::memcpy(r.description, text, strnlen(text, sizeof r.description - 1));
}

bool HasSettings(int32_t format) {
  switch (format) {
    case 1: case 6: case 7: case 9: case 13: case 14: case 15: return true;
    default: return false;
  }
}

int32_t CodecCount(int32_t format) {
  switch (format) {
    case 1: case 7: case 11: case 13: case 14: case 15: return 2;
    case 2: case 4: case 5: case 8: case 9: case 12: case 17: case 18: return 1;
    case 10: return 5;
    default: return 0;
  }
}

void FillCodecInfo(int32_t format, VekCodecInfo& r, int32_t index) {
  std::memset(&r, 0, sizeof r);
  r.format = format;
  r.hasSettings = HasSettings(format) ? -1 : 0;
  r.codec = index - 1;
  if (index == 1) Describe(r, "Uncompressed, full frames");
  if (index == 2) Describe(r, "Run length encoded (RLE)");
  if (index < 1 || index > std::max(CodecCount(format), format == 6 ? g_avi_codecs : 0)) return;
  switch (format) {
    case 2: Describe(r, "Run length encoded (RLE)"); break;
    case 4: Describe(r, "Variable-Length-Code LZW (Lempel-Ziv & Welch)"); break;
    case 5: Describe(r, "RLE + pixel difference from previous frame"); break;
    case 6: {
      const QAviCodec* list = nullptr;
      const int32_t n = AviCodecsQuery(&list, 0, 0, 0);
      if (!list || index > n) return;
      const QAviCodec& c = list[index - 1];
      r.codec = static_cast<int32_t>(c.handler);
      Describe(r, std::string(c.name, strnlen(c.name, sizeof c.name)).c_str());
      r.qualityAdjustable = c.can_quality ? -1 : 0;
      r.qualityDefault = c.quality;
      r.qualityMin = 0;
      r.qualityMax = 100;
      r.dataRateAdjustable = -1;
      r.dataRateDefault = 300;
      r.dataRateMin = 0;
      r.dataRateMax = kNoLimit;
      r.keyFrameAdjustable = c.can_key_frames ? -1 : 0;
      r.keyFrameDefault = c.key_frame_every;
      r.keyFrameMin = 0;
      r.keyFrameMax = kNoLimit;
      break;
    }
    case 7:
      r.codec = index == 1 ? 1 : 0;
      Describe(r, index == 1 ? "HAV-FAST compression" : "HAV-BEST compression");
      r.keyFrameAdjustable = -1;
      r.keyFrameDefault = 25;
      r.keyFrameMin = 0;
      r.keyFrameMax = kNoLimit;
      break;
    case 8:
      Describe(r, "ISO/IEC IS 10918-1, ITU-T T.81");
      r.qualityAdjustable = -1;
      r.qualityDefault = 85;
      r.qualityMin = 0;
      r.qualityMax = 100;
      break;
    case 9:
      Describe(r, "Deflate compression (modified LZ77)");
      r.codecMin = 0;
      r.codecMax = 9;
      break;
    case 10: {
      static const int32_t codes[] = {1, 7, 32773, 32946, 5};
      static const char* const names[] = {"Uncompressed", "JPEG DCT compression",
                                          "PackBits (Macintosh RLE)", "Deflate compression (ZIP)",
                                          "Variable-Length-Code LZW"};
      r.codec = codes[index - 1];
      Describe(r, names[index - 1]);
      break;
    }
    case 11:
      // The values the MPEG writer takes: 1 writes MPEG-1, 2 writes MPEG-2.
      r.codec = index;
      Describe(r, index == 1 ? "MPEG-1 format" : "MPEG-2 format");
      r.dataRateAdjustable = -1;
      r.dataRateDefault = 610;
      r.dataRateMin = 1;
      r.dataRateMax = 12800;
      break;
    case 12: Describe(r, "PCM, uncompressed"); break;
    case 15: Describe(r, index == 1 ? "Binary encoded" : "ASCII encoded"); break;
    case 18: Describe(r, "MPEG audio compression"); break;
    default: break;  // generic descriptions only
  }
}

// Copies a text with its terminating zero into a fixed field.
template <size_t N>
void CopyField(char (&dst)[N], const char* src) {
  std::memset(dst, 0, N);
  std::memcpy(dst, src, strnlen(src, N - 1));
}

void FillFileInfo(const QUniInfo& u, VekFileInfo& r) {
  std::memset(&r, 0, sizeof r);
  CopyField(r.fileName, u.name);
  CopyField(r.formatName, u.full_name);
  r.fileSize = u.file_size;
  r.imagesValid = u.img.valid;
  r.imagesSupported = u.img.supported;
  CopyField(r.compression, u.img.compression);
  r.frameCount = u.img.frames;
  r.duration = u.img.duration;
  r.imageBytes = u.img.total_bytes;
  r.fps = u.img.fps;
  r.width = u.img.width;
  r.height = u.img.height;
  r.bytespp = u.img.bytespp;
  r.bpp = u.img.bits;
  r.soundValid = u.snd.valid;
  r.soundSupported = u.snd.supported;
  CopyField(r.soundFormat, u.snd.format_name);
  r.sampleCount = u.snd.samples;
  r.soundDuration = u.snd.duration;
  r.soundBytes = u.snd.total_bytes;
  r.sampleRate = u.snd.rate;
  r.channels = u.snd.channels;
  r.bitsPerSample = u.snd.bits;
  r.blockAlign = u.snd.block_align;
}

}  // namespace

}  // namespace vek::api

using namespace vek;
using namespace vek::api;

extern "C" {

VEK_EXPORT int32_t VEKAPI VekCodecsInit(int32_t format, int32_t width, int32_t height, int32_t bpp) {
  return ApiCall<int32_t>("vekmain.VekCodecsInit", 0, [&]() -> int32_t {
    if (format != 6) return CodecCount(format);
    const bool sized = width > 0 && height > 0 && bpp > 0;
    AviCodecsInit();
    g_avi_codecs = AviCodecsQuery(nullptr, sized ? width : 0, sized ? height : 0, sized ? bpp : 0);
    return g_avi_codecs;
  });
}

VEK_EXPORT int32_t VEKAPI VekCodecsGetInfo(int32_t format, VekCodecInfo* info, int32_t index) {
  ApiCall("vekmain.VekCodecsGetInfo", [&] {
    if (info) FillCodecInfo(format, *info, index);
  });
  return LastError().status;
}

VEK_EXPORT int32_t VEKAPI VekGetFileFmtID(const char* name) {
  return ApiCall<int32_t>("vekmain.VekGetFileFmtID", kUndefined, [&]() -> int32_t {
    if (!name) return kUndefined;
    return FmtId(name, kWriteTable);
  });
}

VEK_EXPORT void VEKAPI VekGetFileInfo(const char* name, VekFileInfo* info, int32_t sequence) {
  ApiCall("vekmain.VekGetFileInfo", [&] {
    if (!info) return;
    QUniInfo u{};
    const bool ok = name && UniInfo(name, u, sequence ? INT32_MAX : 1, false);
    FillFileInfo(u, *info);
    if (!ok) ErrRaise(name ? WarnGroup() : kGrpFile, name ? WarnCode() : kFileNotExist, 1);
  });
}

VEK_EXPORT int32_t VEKAPI VekGetVideoFormat(VekJob* job, int32_t format, int32_t width,
                                            int32_t height, int32_t bpp, int32_t* codec,
                                            int32_t* quality, int32_t* dataRate,
                                            int32_t* keyFrameRate) {
  ApiCall("vekmain.VekGetVideoFormat", [&] {
    if (!JobValid(job)) return;
    VekSaveOpts& o = job->saveOpts;
    FFSaveSetFormat(o, format);
    FFSavePrepare(o, width, height, bpp);
    if (codec) *codec = o.prepCodec;
    if (quality) *quality = o.prepQuality;
    if (dataRate) *dataRate = o.prepDataRate;
    if (keyFrameRate) *keyFrameRate = o.prepKeyFrameRate;
  });
  return LastError().status;
}

VEK_EXPORT int32_t VEKAPI VekAviGetCustomInfo(const char* filename, const char* tag, char* buf,
                                              int32_t bufSize) {
  return ApiCall<int32_t>("vekmain.VekAviGetCustomInfo", 0, [&]() -> int32_t {
    ApiTrace(std::string("VekAviGetCustomInfo: filename=") + (filename ? filename : "") +
             ", tag=" + (tag ? tag : "") + ", buf=" + TrPtr(buf) + ", bufSize=" +
             std::to_string(bufSize));
    if (!filename || !tag) return 0;
    const std::string text = AviReadCustomInfo(filename, tag);
    // bufSize counts the terminating zero: the host's buffer is never overrun.
    if (buf && bufSize > 0) {
      const size_t n = std::min<size_t>(text.size(), static_cast<size_t>(bufSize) - 1);
      std::memcpy(buf, text.data(), n);
      buf[n] = '\0';
    }
    return static_cast<int32_t>(text.size());
  });
}

VEK_EXPORT int32_t VEKAPI VekMakeFourCC(const char* text) {
  return ApiCall<int32_t>("vekmain.VekMakeFourCC", 0, [&]() -> int32_t {
    uint32_t code = 0;
    bool ended = !text;
    for (int i = 0; i < 4; ++i) {
      if (!ended && text[i] == '\0') ended = true;
      const uint8_t c = ended ? ' ' : static_cast<uint8_t>(text[i]);
      code |= uint32_t(c) << (8 * i);
    }
    return static_cast<int32_t>(code);
  });
}

VEK_EXPORT int32_t VEKAPI VekRGB(int32_t r, int32_t g, int32_t b) {
  return (r & 0xFF) | (g & 0xFF) << 8 | (b & 0xFF) << 16;
}

}  // extern "C"
