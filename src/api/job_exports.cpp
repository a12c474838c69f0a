// Job record and output settings exports.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "api/call_frame.h"
#include "api/job.h"
#include "engine/format_registry.h"
#include "engine/save_options.h"
#include "sound/sound.h"
#include "foundation/memory.h"

namespace vek::api {

static_assert(sizeof(WaveFormat) == sizeof(VekWaveFormat), "one wave format layout");

bool JobValid(const VekJob* job) { return job && MemTracked(job); }

void CheckJob(const VekJob* job, int32_t site) {
  if (!JobValid(job)) ErrRaiseText(kGrpText, "Invalid job handle.", site);
}

std::string GetShortStr(const VekShortStr& s) { return std::string(s.text, s.len); }

void SetShortStr(VekShortStr& s, const char* text) {
  const size_t n = text ? std::min<size_t>(std::strlen(text), VEK_NAME_MAX) : 0;
  std::memcpy(s.text, text ? text : "", n);
  if (n < VEK_NAME_MAX) s.text[n] = '\0';
  s.len = static_cast<uint8_t>(n);
}

void ResetVekRec(VekJob& job) {
  job.outFrames = 1;
  job.vidFmt = kUndefined;
  SetShortStr(job.vidFile, "");
  job.width = 320;
  job.height = 240;
  job.sourceRes = -1;
  job.bpp = 24;
  job.dither = 0;
  job.frameRate = 30.0;
  job.keepDuration = -1;
  job.direction = 1;
  job.compatible = 0;
  FFSaveReset(job.saveOpts);
  job.audFmt = kUndefined;
  SetShortStr(job.audFile, "");
  WaveFormat pcm{};
  SndMakeFormat(pcm, 44100, 2, 16);
  std::memcpy(&job.audFormat, &pcm, sizeof pcm);
  job.onVideoSource = nullptr;
  job.onVideoFunc = nullptr;
  job.onAudioSource = nullptr;
  job.onAudioFunc = nullptr;
  job.onProgress = nullptr;
  job.onError = nullptr;
  job.activeKind = 0;
  job.srcRequest = nullptr;
  job.funcRequest = nullptr;
  job.curFrame = 0;
  job.curSample = 0;
  job.needPalette = 0;
  job.abortFlag = 0;
  job.state = 0;
  job.elapsed = 0.0;
  job.doneFrames = 0;
  job.doneSamples = 0;
  job.aviInfoCount = 0;
}

namespace {

// Selects the format in the job's save options, then applies one setter.
template <class F>
void WithFormat(VekJob* job, int32_t format, F&& setter) {
  CheckJob(job, 101);
  FFSaveSetFormat(job->saveOpts, format);
  setter(job->saveOpts);
}

}  // namespace

}  // namespace vek::api

using namespace vek;
using namespace vek::api;

extern "C" {

VEK_EXPORT VekJob* VEKAPI VekAlloc(void) {
  return ApiCall<VekJob*>("vekmain.VekAlloc", nullptr, []() -> VekJob* {
    VekJob* job = AllocHostRecord<VekJob>(463, "vekmain.VekAlloc.dataP");
    std::memset(job, 0, sizeof *job);
    ResetVekRec(*job);
    ApiTrace("VekAlloc: " + TrPtr(job));
    return job;
  });
}

VEK_EXPORT void VEKAPI VekFree(VekJob* job) {
  ApiCall("vekmain.VekFree", [&] {
    CheckJob(job, 100);
    if (job->state != 0) ErrRaiseText(kGrpText, "The job is being converted.", 99);
    ApiTrace("VekFree: " + TrPtr(job));
    MemFree(job);
  });
}

VEK_EXPORT void VEKAPI VekSetOutputFile(VekJob* job, const char* videoFile, const char* soundFile) {
  ApiCall("vekmain.VekSetOutputFile", [&] {
    CheckJob(job, 102);
    SetShortStr(job->vidFile, videoFile);
    const std::string vid = GetShortStr(job->vidFile);
    job->vidFmt = FmtId(vid, kWriteTable);
    FFSaveSetFormat(job->saveOpts, job->vidFmt);
    if (const FormatDescriptor* d = FormatFor(job->vidFmt); d && d->output.named_codec) {
      const int32_t codec = d->output.named_codec(vid);
      if (codec != kUndefined) VekSetCodec(job, job->vidFmt, codec);
    }
    SetShortStr(job->audFile, soundFile);
    job->audFmt = FmtId(GetShortStr(job->audFile), kWriteTable);
    ApiTrace("VekSetOutputFile: vid=" + vid + ", aud=" + GetShortStr(job->audFile));
  });
}

VEK_EXPORT void VEKAPI VekSetFrameRate(VekJob* job, double fps, int32_t keepDuration) {
  ApiCall("vekmain.VekSetFrameRate", [&] {
    CheckJob(job, 103);
    job->frameRate = fps;
    job->keepDuration = keepDuration ? -1 : 0;
    ApiTrace("VekSetFrameRate: " + TrDouble(fps) + (keepDuration ? ", keep duration" : ""));
  });
}

VEK_EXPORT void VEKAPI VekSetResolution(VekJob* job, int32_t width, int32_t height) {
  ApiCall("vekmain.VekSetResolution", [&] {
    CheckJob(job, 104);
    ApiTrace("VekSetResolution: " + NumText(width) + "x" + NumText(height));
    if (job->state != 0) return;
    job->width = std::clamp(width, 4, 4096);
    job->height = std::clamp(height, 4, 4096);
    job->sourceRes = 0;
  });
}

VEK_EXPORT void VEKAPI VekSetBpp(VekJob* job, int32_t bpp) {
  ApiCall("vekmain.VekSetBpp", [&] {
    CheckJob(job, 105);
    ApiTrace("VekSetBpp: " + NumText(bpp));
    if (job->state != 0) return;
    if (bpp == 8 || bpp == 15 || bpp == 16 || bpp == 24 || bpp == 32) job->bpp = bpp;
  });
}

VEK_EXPORT void VEKAPI VekEnableDithering(VekJob* job, int32_t enable) {
  ApiCall("vekmain.VekEnableDithering", [&] {
    CheckJob(job, 106);
    job->dither = enable ? -1 : 0;
    ApiTrace("VekEnableDithering: " + TrFlag(enable));
  });
}

VEK_EXPORT void VEKAPI VekForceCompatibility(VekJob* job, int32_t enable) {
  ApiCall("vekmain.VekForceCompatibility", [&] {
    CheckJob(job, 107);
    job->compatible = enable ? -1 : 0;
    ApiTrace("VekForceCompatibility: " + TrFlag(enable));
  });
}

VEK_EXPORT void VEKAPI VekSetAudioFormat(VekJob* job, int32_t rate, int32_t channels, int32_t bits) {
  ApiCall("vekmain.VekSetAudioFormat", [&] {
    CheckJob(job, 108);
    WaveFormat pcm{};
    SndMakeFormat(pcm, rate, channels, bits);
    std::memcpy(&job->audFormat, &pcm, sizeof pcm);
    ApiTrace("VekSetAudioFormat: rate=" + NumText(rate) + ", chan=" + NumText(channels) +
             ", bits=" + NumText(bits));
  });
}

VEK_EXPORT int32_t VEKAPI VekAviClearCustomInfo(VekJob* job) {
  ApiCall("vekmain.VekAviClearCustomInfo", [&] {
    CheckJob(job, 109);
    job->aviInfoCount = 0;
    std::memset(job->aviInfo, 0, sizeof job->aviInfo);
    ApiTrace("VekAviClearCustomInfo");
  });
  return LastError().status;
}

VEK_EXPORT void VEKAPI VekAviAddCustomInfo(VekJob* job, const char* id, const char* value) {
  ApiCall("vekmain.VekAviAddCustomInfo", [&] {
    CheckJob(job, 110);
    ApiTrace("VekAviAddCustomInfo");
    if (job->aviInfoCount < 0 || job->aviInfoCount >= 16 || !id || !value) return;
    if (std::strlen(id) <= 3 || value[0] == '\0') return;
    VekAviInfoEntry& e = job->aviInfo[job->aviInfoCount];
    std::memset(&e, 0, sizeof e);
    std::memcpy(e.id, id, 4);
    std::strncpy(e.value, value, VEK_NAME_MAX);
    ++job->aviInfoCount;
  });
}

VEK_EXPORT void VEKAPI VekSetCodec(VekJob* job, int32_t format, int32_t codec) {
  ApiCall("vekmain.VekSetCodec", [&] {
    WithFormat(job, format, [&](VekSaveOpts& o) { FFSaveSetCodec(o, codec); });
    ApiTrace("VekSetCodec: fmt=" + NumText(format) + ", codec=" + TrHex(uint32_t(codec)));
  });
}

VEK_EXPORT void VEKAPI VekSetQuality(VekJob* job, int32_t format, int32_t quality) {
  ApiCall("vekmain.VekSetQuality", [&] {
    WithFormat(job, format, [&](VekSaveOpts& o) { FFSaveSetQuality(o, quality); });
    ApiTrace("VekSetQuality: fmt=" + NumText(format) + ", quality=" + NumText(quality));
  });
}

VEK_EXPORT void VEKAPI VekSetDataRate(VekJob* job, int32_t format, int32_t rate) {
  ApiCall("vekmain.VekSetDataRate", [&] {
    WithFormat(job, format, [&](VekSaveOpts& o) { FFSaveSetDataRate(o, rate); });
    ApiTrace("VekSetDataRate: fmt=" + NumText(format) + ", rate=" + NumText(rate));
  });
}

VEK_EXPORT void VEKAPI VekSetKeyFrameRate(VekJob* job, int32_t format, int32_t rate) {
  ApiCall("vekmain.VekSetKeyFrameRate", [&] {
    WithFormat(job, format, [&](VekSaveOpts& o) { FFSaveSetKeyFrameRate(o, rate); });
    ApiTrace("VekSetKeyFrameRate: fmt=" + NumText(format) + ", rate=" + NumText(rate));
  });
}

}  // extern "C"
