// Sources and callbacks: what the host hands in, and the library's own
// callbacks that stand between the conversion loop and the host's.
#include <cstring>

#include "api/call_frame.h"
#include "api/job.h"
#include "api/run_state.h"
#include "sound/sound.h"
#include "foundation/memory.h"
#include "image/bitmap_exchange.h"
#include "image/geometry.h"
#include "image/palette.h"
#include "image/palette_histogram.h"

static_assert(sizeof(VekImage) == sizeof(vek::QImg) && offsetof(VekImage, external) == offsetof(vek::QImg, external),
              "one image record layout");
static_assert(sizeof(VekSound) == sizeof(vek::SoundBuffer) && offsetof(VekSound, format) == offsetof(vek::SoundBuffer, format),
              "one sound buffer layout");

namespace vek::api {

namespace {
RunData g_run;
constexpr double kUndefD = -1357902468.0;

std::string ImgText(const QImg* img) {
  if (!img) return "NULL";
  return NumText(img->width) + "x" + NumText(img->height) + "x" +
         NumText(img->bits);
}

void CopyName(char*& slot, const char* name) {
  MemFree(slot);
  const size_t n = name ? std::strlen(name) : 0;
  MemAllocHeld(slot, static_cast<int64_t>(n + 1), 1395, kMemString, "vekmain.VekSrcSetFile.destStrP");
  std::memcpy(slot, name ? name : "", n);
  slot[n] = '\0';
}

void PrepareRequest(QSrcRequest* r, double fps) {
  r->source = nullptr;
  r->kind = kUndefined;
  r->start = kUndefined;
  r->length = kUndefined;
  r->start_time = kUndefD;
  r->length_time = kUndefD;
  r->repeat = 1;
  r->fps = fps;
  r->direction = 1;
  r->seq_limit = 1;
}

// Runs a host callback inside the frame of an internal procedure: whatever
// the host does, nothing escapes into the loop but recorded errors.
template <class F>
void Guarded(const char* name, F&& body) {
  ApiCall(name, std::forward<F>(body));
}

}  // namespace

RunData& Run() { return g_run; }

void FreeSourceData() {
  MemFree(g_run.video_name);
  MemFree(g_run.audio_name);
  ImgFree(&g_run.source_image);
}

QSrcRequest* ActiveRequest(VekJob* job) {
  if (!JobValid(job)) return nullptr;
  return static_cast<QSrcRequest*>(job->srcRequest);
}

namespace {

// The common steps of both source callbacks: abort, prepare the request,
// ask the host, count the block.
void AskSource(QSrcRequest* request, int32_t kind, double fps, VekSourceProc host, const char* trace) {
  VekJob* job = g_run.job;
  if (!job) return;
  if (job->abortFlag) {
    request->finished = -1;
    ConSetStop(kStopKeep);
    return;
  }
  job->srcRequest = request;
  PrepareRequest(request, fps);
  job->activeKind = kind;
  ApiTrace(std::string(trace) + NumText(request->block));
  if (host) host(job, request->block);
  ++request->block;
  job->srcRequest = nullptr;
}

}  // namespace

void VideoSourceCallback(QSrcRequest* request) {
  VekJob* job = g_run.job;
  if (!job) return;
  AskSource(request, 1, job->frameRate, job->onVideoSource, "VekVideoSource: blockNum=");
  if (request->kind == kUndefined) request->finished = -1;
}

void AudioSourceCallback(QSrcRequest* request) {
  VekJob* job = g_run.job;
  if (!job) return;
  AskSource(request, 2, kUndefD, job->onAudioSource, "VekAudioSource: blockNum=");
  // A length alone asks for silence; nothing at all ends the stream.
  if (request->kind == kUndefined && request->length == kUndefined &&
      request->length_time == kUndefD)
    request->finished = -1;
}

void VideoFuncCallback(QFuncRequest* request) {
  VekJob* job = g_run.job;
  request->result_img = nullptr;
  if (!job) return;
  if (job->abortFlag) {
    ConSetStop(kStopKeep);
    ++job->curFrame;
    return;
  }
  auto exchange = [&] { std::swap(request->img, request->spare_img); };
  Guarded("vekmain._VekVideoFuncCallback", [&] {
    QImg* img = request->img;
    if (!job->sourceRes && (img->width != job->width || img->height != job->height)) {
      ImgResample(img, request->spare_img, job->width, job->height);
      exchange();
    }
    if (job->onVideoFunc) {
      job->funcRequest = request;
      job->activeKind = 1;
      ApiTrace("VekVideoFunction: curFrame=" + NumText(job->curFrame));
      job->onVideoFunc(job, reinterpret_cast<VekImage*>(request->img), job->curFrame);
      job->funcRequest = nullptr;
    }
    img = request->img;
    if (img->size <= 0 || !ImgValid(img)) return;  // the host dropped the frame
    if (job->compatible) {
      const int32_t w = (img->width + 15) / 16 * 16;
      const int32_t h = (img->height + 15) / 16 * 16;
      if (w != img->width || h != img->height) {
        ImgResample(img, request->spare_img, w, h);
        exchange();
      }
    }
    img = request->img;
    if (job->bpp != 8 && img->bits != job->bpp) {
      ImgConvBpp(img, request->spare_img, job->bpp);
      exchange();
    }
    if (job->state == 2) {
      if (Run().histogram_palette)
        HqCount(request->img);
      else
        PalCountColors(request->img);
    } else if (job->state == 3 && job->needPalette) {
      if (Run().histogram_palette)
        HqRemap(request->img, request->spare_img, job->dither != 0);
      else
        PalRemap(request->img, request->spare_img, job->dither ? 2 : 0);
      exchange();
    }
    request->result_img = request->img;
  });
  ++job->curFrame;
}

void AudioFuncCallback(QFuncRequest* request) {
  VekJob* job = g_run.job;
  request->result_snd = nullptr;
  if (!job) return;
  if (job->abortFlag) {
    ConSetStop(kStopKeep);
    return;
  }
  const int32_t count = request->snd ? request->snd->sample_count : 0;
  Guarded("vekmain._VekAudioFuncCallback", [&] {
    WaveFormat target;
    std::memcpy(&target, &job->audFormat, sizeof target);
    if (SndFormatsDiffer(request->snd->format, target)) {
      SndConvert(*request->snd, *request->spare_snd, target);
      std::swap(request->snd, request->spare_snd);
    }
    if (job->onAudioFunc) {
      job->funcRequest = request;
      job->activeKind = 2;
      ApiTrace("VekAudioFunction: curSample=" + NumText(job->curSample));
      job->onAudioFunc(job, reinterpret_cast<VekSound*>(request->snd), job->curSample);
      job->funcRequest = nullptr;
    }
    if (request->snd->capacity > 0) request->result_snd = request->snd;
  });
  job->curSample += count;
}

}  // namespace vek::api

using namespace vek;
using namespace vek::api;

namespace {

template <class F>
void SetCallback(const char* name, const char* trace, VekJob* job, F&& assign, const void* cb) {
  ApiCall(name, [&] {
    CheckJob(job, 111);
    assign(*job);
    ApiTrace(std::string(trace) + TrPtr(cb));
  });
}

// Runs a VekSrc export body on the request of the running source callback.
// Pictures describe a video block only: the sound side would read an image
// record as a sound buffer.
void RequireVideoSide(const VekJob& job, int32_t site) {
  if (job.activeKind != 1) ErrRaiseText(kGrpText, "An image cannot be a sound source.", site);
}

template <class F>
void OnRequest(const char* name, VekJob* job, F&& body) {
  ApiCall(name, [&] {
    CheckJob(job, 90);
    QSrcRequest* r = ActiveRequest(job);
    if (!r) return;  // outside a source callback there is nothing to describe
    body(*r);
  });
}

}  // namespace

extern "C" {

VEK_EXPORT void VEKAPI VekAssignVideoSource(VekJob* job, VekSourceProc cb) {
  SetCallback("vekmain.VekAssignVideoSource", "VekAssignVideoSource ", job,
              [&](VekJob& j) { j.onVideoSource = cb; }, reinterpret_cast<const void*>(cb));
}
VEK_EXPORT void VEKAPI VekAssignVideoFunc(VekJob* job, VekVideoFuncProc cb) {
  SetCallback("vekmain.VekAssignVideoFunc", "VekAssignVideoFunc ", job,
              [&](VekJob& j) { j.onVideoFunc = cb; }, reinterpret_cast<const void*>(cb));
}
VEK_EXPORT void VEKAPI VekAssignAudioSource(VekJob* job, VekSourceProc cb) {
  SetCallback("vekmain.VekAssignAudioSource", "VekAssignAudioSource ", job,
              [&](VekJob& j) { j.onAudioSource = cb; }, reinterpret_cast<const void*>(cb));
}
VEK_EXPORT void VEKAPI VekAssignAudioFunc(VekJob* job, VekAudioFuncProc cb) {
  SetCallback("vekmain.VekAssignAudioFunc", "VekAssignAudioFunc ", job,
              [&](VekJob& j) { j.onAudioFunc = cb; }, reinterpret_cast<const void*>(cb));
}
VEK_EXPORT void VEKAPI VekAssignProgress(VekJob* job, VekProgressProc cb) {
  SetCallback("vekmain.VekAssignProgress", "VekAssignProgress ", job,
              [&](VekJob& j) { j.onProgress = cb; }, reinterpret_cast<const void*>(cb));
}
VEK_EXPORT void VEKAPI VekAssignError(VekJob* job, VekErrorProc cb) {
  SetCallback("vekmain.VekAssignError", "VekAssignError ", job,
              [&](VekJob& j) { j.onError = cb; }, reinterpret_cast<const void*>(cb));
}

VEK_EXPORT void VEKAPI VekSrcSetFile(VekJob* job, const char* name) {
  OnRequest("vekmain.VekSrcSetFile", job, [&](QSrcRequest& r) {
    ApiTrace(std::string("VekSrcSetFile: ") + (name ? name : ""));
    char*& slot = job->activeKind == 1 ? Run().video_name : Run().audio_name;
    CopyName(slot, name);
    r.source = slot;
    r.kind = kSrcFile;
    r.fps = kUndefD;
  });
}

VEK_EXPORT void VEKAPI VekSrcSetImg(VekJob* job, VekImage* image) {
  OnRequest("vekmain.VekSrcSetImg", job, [&](QSrcRequest& r) {
    RequireVideoSide(*job, 91);
    QImg* img = reinterpret_cast<QImg*>(image);
    ApiTrace("VekSrcSetImg: " + ImgText(img));
    ImgCopy(img, &Run().source_image);
    r.source = &Run().source_image;
    r.kind = kSrcDirect;
  });
}

VEK_EXPORT void VEKAPI VekSrcSetDIB(VekJob* job, void* bitmap) {
  OnRequest("vekmain.VekSrcSetDIB", job, [&](QSrcRequest& r) {
    RequireVideoSide(*job, 92);
    ApiTrace("VekSrcSetDIB (init): " + std::to_string(reinterpret_cast<uintptr_t>(bitmap)));
    // A handle that is not a readable bitmap leaves the request as it was.
    if (!HBitmapToQimg(static_cast<gdi::HBITMAP>(bitmap), &Run().source_image)) return;
    ApiTrace("VekSrcSetDIB (done): " + ImgText(&Run().source_image));
    r.source = &Run().source_image;
    r.kind = kSrcDirect;
  });
}

VEK_EXPORT void VEKAPI VekSrcSetPixels(VekJob* job, const void* pixels, const void* palette,
                                       int32_t width, int32_t height, int32_t bpp) {
  OnRequest("vekmain.VekSrcSetPixels", job, [&](QSrcRequest& r) {
    RequireVideoSide(*job, 93);
    ApiTrace("VekSrcSetPixels: pixPtr=" + TrPtr(pixels) + ", palPtr=" + TrPtr(palette));
    QImg& img = Run().source_image;
    RawToQimg(&img, pixels, static_cast<const uint8_t*>(palette), width, height, bpp);
    if (img.bits > 24) ImgConvBpp(&img, &img, 24);
    r.source = &img;
    r.kind = kSrcDirect;
  });
}

VEK_EXPORT void VEKAPI VekSrcSetFrameRate(VekJob* job, double fps) {
  OnRequest("vekmain.VekSrcSetFrameRate", job, [&](QSrcRequest& r) {
    ApiTrace("VekSrcSetFrameRate: " + TrDouble(fps));
    r.fps = fps;
  });
}

VEK_EXPORT void VEKAPI VekSrcSetDirection(VekJob* job, int32_t direction) {
  OnRequest("vekmain.VekSrcSetDirection", job, [&](QSrcRequest& r) {
    ApiTrace(std::string("VekSrcSetDirection: ") + (direction == 1 ? "Forward" : "Backwards"));
    r.direction = direction;
  });
}

VEK_EXPORT void VEKAPI VekSrcSetStart(VekJob* job, int32_t first) {
  OnRequest("vekmain.VekSrcSetStart", job, [&](QSrcRequest& r) {
    ApiTrace("VekSrcSetStart: " + NumText(first));
    // Frames count from 1 in the loop, sound samples from 0.
    r.start = job->activeKind == 1 ? first + 1 : first;
  });
}

VEK_EXPORT void VEKAPI VekSrcSetLen(VekJob* job, int32_t count) {
  OnRequest("vekmain.VekSrcSetLen", job, [&](QSrcRequest& r) {
    ApiTrace("VekSrcSetLen: " + NumText(count));
    r.length = count;
  });
}

VEK_EXPORT void VEKAPI VekSrcSetStartTime(VekJob* job, double seconds) {
  OnRequest("vekmain.VekSrcSetStartTime", job, [&](QSrcRequest& r) {
    ApiTrace("VekSrcSetStartTime: " + TrDouble(seconds));
    r.start_time = seconds;
  });
}

VEK_EXPORT void VEKAPI VekSrcSetLenTime(VekJob* job, double seconds) {
  OnRequest("vekmain.VekSrcSetLenTime", job, [&](QSrcRequest& r) {
    ApiTrace("VekSrcSetLenTime: " + TrDouble(seconds));
    r.length_time = seconds;
  });
}

VEK_EXPORT int32_t VEKAPI VekSrcFinished(VekJob* job) {
  OnRequest("vekmain.VekSrcFinished", job, [&](QSrcRequest& r) {
    ApiTrace("VekSrcFinished");
    r.finished = -1;
  });
  return LastError().status;
}

}  // extern "C"
