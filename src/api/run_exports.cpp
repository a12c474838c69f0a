// The conversion run, status, abort, error texts, quick conversion and the trace switches.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/call_frame.h"
#include "api/file_list.h"
#include "api/job.h"
#include "api/run_state.h"
#include "engine/conversion_loop.h"
#include "engine/format_registry.h"
#include "engine/save_options.h"
#include "formats/still/orientation.h"
#include "sound/sound.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "foundation/workers.h"
#include "image/palette.h"
#include "image/palette_histogram.h"
#include "formats/movie/gif_writer.h"
#include "platform/system/system.h"

namespace vek::api {

namespace {

// The job keeps its stopwatch in the host-visible layout.
void JobWatchStart(VekJob& job) {
  Stopwatch w;
  WatchStart(w);
  std::memcpy(&job.stopwatch, &w, sizeof w);
}
double JobWatchElapsed(VekJob& job) {
  Stopwatch w;
  std::memcpy(static_cast<void*>(&w), &job.stopwatch, sizeof w);
  const double s = WatchElapsed(w);
  std::memcpy(&job.stopwatch, &w, sizeof w);
  return s;
}

constexpr const char* kDashes = "----------------------------------------";

void Notify() {
  VekJob* job = Run().job;
  if (!job || !Run().progress) return;
  ApiTrace("VekProgress: doneFrames=" + NumText(job->doneFrames) +
           ", doneSamples=" + NumText(job->doneSamples));
  Run().progress(job, job->state, job->doneFrames, job->doneSamples);
  if (job->abortFlag) ConSetStop(kStopKeep);
}

void ProgressCallback(const QConProgress* p) {
  VekJob* job = Run().job;
  if (!job) return;
  job->doneFrames = p->frames;
  job->doneSamples = p->samples;
  Notify();
}

void ErrorCallback(const char* path, int32_t* answer) {
  VekJob* job = Run().job;
  detail::FrameEnd();
  const int32_t group = ErrGroup(), code = ErrCode();
  *answer = VEK_ANSWER_STOP;
  if (job && job->onError) {
    ApiTrace(std::string("VekError: path=") + (path ? path : ""));
    job->onError(job, path ? path : "", answer);
  }
  // The loop clears the error before it stops; the run must still end in it.
  if ((*answer == VEK_ANSWER_STOP || *answer == VEK_ANSWER_KEEP) && Run().stop_group == 0) {
    Run().stop_group = group;
    Run().stop_code = code;
  }
  // A skipped source still leaves the run with its error; any other answer
  // goes on as if the step had succeeded.
  if (*answer == VEK_ANSWER_STOP || *answer == VEK_ANSWER_KEEP || *answer == VEK_ANSWER_SKIP) {
    Run().asked_group = group;
    Run().asked_code = code;
  }
}

// A job without a sound name whose sound can go into its video file.
bool SoundIntoVideo(const VekJob& job) {
  if (!job.onAudioSource || !GetShortStr(job.audFile).empty()) return false;
  if (GetShortStr(job.vidFile).empty() || job.vidFmt == kUndefined) return false;
  const int32_t flags = FmtFlags(job.vidFmt, kWriteTable);
  return flags != kUndefined && (flags & kFfSound) != 0;
}

// The sound format made fit for the format the sound is written in.
void PrepareSound(VekJob& job, int32_t format) {
  const FormatDescriptor* ad = FormatFor(format);
  if (ad && ad->output.sample_rate) {
    WaveFormat f{};
    SndMakeFormat(f, ad->output.sample_rate(static_cast<int32_t>(job.audFormat.samplesPerSec)),
                  job.audFormat.channels, 16);
    std::memcpy(&job.audFormat, &f, sizeof f);
  }
  FFSoundCheck(job.audFormat);
}

bool PrepareOutput(VekJob& job) {
  VekLastError& st = LastError();
  if (job.compatible) {
    job.width = (job.width + 15) / 16 * 16;
    job.height = (job.height + 15) / 16 * 16;
  }
  bool result = true;
  const std::string vid = GetShortStr(job.vidFile);
  if (!vid.empty()) {
    if (job.vidFmt == kUndefined) st.status = VEK_STATUS_INVALID_OUTPUT;
    FFSaveSetFormat(job.saveOpts, job.vidFmt);
    const FormatDescriptor* vd = FormatFor(job.vidFmt);
    if (vd && vd->output.frame_rate) job.frameRate = vd->output.frame_rate(job.frameRate);
    int32_t depth = FFSavePrepare(job.saveOpts, job.width, job.height, job.bpp);
    if (job.compatible) {
      if (depth == 0) {
        ApiTrace("PrepareOutput: " + NumText(job.vidFmt) + " codec rejected");
        FFSaveSetCodec(job.saveOpts, static_cast<int32_t>(FourCC("cvid")));
        depth = FFSavePrepare(job.saveOpts, job.width, job.height, job.bpp);
        if (depth == 0) st.status = VEK_STATUS_INVALID_OUTPUT;
      }
      // Only a real depth is an answer: an unknown format has none.
      if (depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32) job.bpp = depth;
    }
    // An extension writer of palette pictures always gets them from the
    // run's palette pass over the whole clip.
    if (vd && FmtHasExtensionRows(*vd) && FmtIsWritable(job.vidFmt) && depth == 8) job.bpp = 8;
    job.needPalette = job.bpp == 8 ? -1 : 0;
    result = job.vidFmt != kUndefined;
  }
  const std::string aud = GetShortStr(job.audFile);
  if (!aud.empty()) {
    if (job.audFmt != kUndefined) {
      PrepareSound(job, job.audFmt);
    } else if (job.vidFmt != kUndefined) {
      SetShortStr(job.audFile, "");
      // The sound goes into the video file, if that carries sound.
      if (SoundIntoVideo(job)) PrepareSound(job, job.vidFmt);
    } else {
      st.status = VEK_STATUS_INVALID_OUTPUT;
    }
  } else if (SoundIntoVideo(job)) {
    PrepareSound(job, job.vidFmt);
  }
  return result && st.status == VEK_STATUS_OK;
}

// The sound name the writing pass uses: the job's, or, without one, the
// video file's when the job has sound and the video format carries it (the
// sound then goes into the video output exactly as with equal names).
std::string SoundOutput(const VekJob& job) {
  const std::string aud = GetShortStr(job.audFile);
  if (!aud.empty()) return aud;
  return SoundIntoVideo(job) ? GetShortStr(job.vidFile) : std::string();
}

void RunPasses(VekJob& job) {
  ApiTrace("VekConvert: Calling ProgressCBF (init)");
  Notify();
  if (job.abortFlag) {
    ConDone();
    return;
  }
  if (!PrepareOutput(job)) return;
  ApiTrace("VekConvert: Output prepared");
  if (job.onVideoSource)
    ConSetVideo(VideoSourceCallback, VideoFuncCallback);
  else
    ConSetVideo(nullptr, nullptr);
  if (job.onAudioSource)
    ConSetAudio(AudioSourceCallback, AudioFuncCallback);
  else
    ConSetAudio(nullptr, nullptr);
  ConSetProgress(ProgressCallback);
  ConSetError(ErrorCallback);
  ConSetFrames(job.outFrames);
  ConSetFrameRate(job.frameRate, job.keepDuration != 0);
  {
    WaveFormat sound{};
    std::memcpy(&sound, &job.audFormat, sizeof sound);
    ConSetSoundFormat(sound);
  }
  for (int32_t i = 0; i < job.aviInfoCount && i < 16; ++i)
    ConAddAviInfo(job.aviInfo[i].id, job.aviInfo[i].value);
  QConReport report{};
  struct PaletteGuard {
    bool active;
    ~PaletteGuard() {
      if (active) PalDone();
    }
  } palette{job.needPalette != 0};
  // The histogram quantiser: GIF's by default, any 8-bit output's by choice
  // (both only with the extension formats on).
  const int32_t mode = PalSetMode(kUndefined);
  const bool gif = job.vidFmt == kFmtGIF && FmtIsWritable(kFmtGIF);
  Run().histogram_palette = job.needPalette && FmtExtensions() &&
                            ((mode == kPalModeAuto && gif) || mode == kPalModeHistogram);
  struct HistogramGuard {
    ~HistogramGuard() {
      if (Run().histogram_palette) HqEnd();
      Run().histogram_palette = false;
    }
  } histogram;
  if (job.needPalette) {
    ApiTrace("VekConvert: Creating palette");
    if (Run().histogram_palette) {
      HqBegin(gif);
    } else {
      PalInit();
      PalClearVars();
    }
    job.state = 2;
    job.curFrame = 0;
    ConStart("", "", job.saveOpts, report);
    // GIF keeps an entry free for the pixels a frame leaves unchanged.
    if (!job.abortFlag) {
      if (Run().histogram_palette)
        HqBuild(gif ? 255 : 256);
      else
        PalReduceChosen(256);
    }
  }
  if (!job.abortFlag) {
    ApiTrace("VekConvert: Saving to file");
    job.state = 3;
    job.curFrame = 0;
    job.curSample = 0;
    ConSetStop(kStopNone);
    FFSaveSetFormat(job.saveOpts, job.vidFmt);
    ConStart(GetShortStr(job.vidFile), SoundOutput(job), job.saveOpts, report);
  }
  job.elapsed = JobWatchElapsed(job);
  ConDone();
}

}  // namespace

}  // namespace vek::api

using namespace vek;
using namespace vek::api;

static_assert(sizeof(VekStopwatch) == sizeof(Stopwatch), "one stopwatch layout");

extern "C" {

VEK_EXPORT int32_t VEKAPI VekConvert(VekJob* job) {
  // One run at a time in a process: a second one (nested from a callback, or
  // from another thread) is refused before it can touch the running job or
  // the status the running job will report.
  static std::atomic<bool> running{false};
  if (running.exchange(true)) return VEK_STATUS_ERROR;
  struct Release {
    ~Release() { running = false; }
  } release;
  ApiCall("vekmain.VekConvert", [&] {
    CheckJob(job, 180);
    if (job->state != 0) ErrRaiseText(kGrpText, "The job is already being converted.", 181);
    ApiTrace(std::string("VekConvert: Starting ") + kDashes);
    RunData& run = Run();
    run.job = job;
    run.progress = job->onProgress;
    job->abortFlag = 0;
    job->state = 1;
    job->doneFrames = 0;
    job->doneSamples = 0;
    run.stop_group = run.stop_code = 0;
    run.asked_group = run.asked_code = 0;
    ConSetStop(kStopNone);  // an earlier aborted run leaves it set
    JobWatchStart(*job);
    MonitoredBoundary("vekmain.VekConvert_", [&] { RunPasses(*job); });
    ConDone();
    job->state = 0;
    if (ErrNone() && run.stop_group != 0) ErrSet(run.stop_group, run.stop_code);
    if (ErrNone() && run.asked_group != 0) ErrSet(run.asked_group, run.asked_code);
    // The status follows from the outcome alone: an error the host answered
    // to go on past no longer counts.
    if (LastError().status == VEK_STATUS_ERROR && ErrNone()) LastError().status = VEK_STATUS_OK;
    api::detail::FrameEnd();
    const VekLastError saved = LastError();
    Notify();
    ApiTrace("VekConvert: Called ProgressCBF (done)");
    FreeSourceData();
    // The last notification and the clean-up must not change the outcome.
    LastError() = saved;
    ErrSet(saved.group, saved.code);
    ConSetStop(kStopNone);
    run.job = nullptr;
    run.progress = nullptr;
    if (ErrNone() && job->abortFlag && LastError().status == VEK_STATUS_OK)
      LastError().status = VEK_STATUS_ABORTED;
    ApiTrace(std::string("VekConvert: Finished ") + kDashes);
  });
  if (JobValid(job) && ErrNone() && job->abortFlag && LastError().status == VEK_STATUS_OK)
    LastError().status = VEK_STATUS_ABORTED;
  return LastError().status;
}

VEK_EXPORT int32_t VEKAPI VekAbort(VekJob* job) {
  ApiCall("vekmain.VekAbort", [&] {
    CheckJob(job, 112);
    ApiTrace("VekAbort");
    job->abortFlag = -1;
  });
  return LastError().status;
}

VEK_EXPORT int32_t VEKAPI VekGetStatus(VekJob* job) {
  try {
    if (!JobValid(job)) return 0;
    ApiTrace("VekGetStatus: " + NumText(job->state));
    return job->state;
  } catch (...) {
    return 0;
  }
}

VEK_EXPORT double VEKAPI VekGetElapsedTime(VekJob* job) {
  return ApiCall<double>("vekmain.VekGetElapsedTime", 0.0, [&] {
    CheckJob(job, 182);
    const double s = JobWatchElapsed(*job);
    ApiTrace("VekGetElapsedTime: " + TrDouble(s));
    return s;
  });
}

VEK_EXPORT void VEKAPI VekMakeTimeStr(double seconds, char* buffer) {
  ApiCall("vekmain.VekMakeTimeStr", [&] {
    if (!buffer) return;
    const double s = seconds > 0 && std::isfinite(seconds) ? std::floor(seconds) : 0.0;
    const long long total = s < 9.0e15 ? static_cast<long long>(s) : 0;
    std::snprintf(buffer, 32, "%02lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    ApiTrace(std::string("VekMakeTimeStr: ") + buffer);
  });
}

VEK_EXPORT void VEKAPI VekGetLastError(VekLastError* record) {
  if (record) *record = LastError();
}

VEK_EXPORT void VEKAPI VekMakeErrorStr(const VekLastError* record, char* buffer) {
  if (!buffer) return;
  try {
    std::string text;
    if (record) {
      switch (record->status) {
        case VEK_STATUS_OK: text = "Finished successfully."; break;
        case VEK_STATUS_INVALID_OUTPUT: text = "Invalid output file."; break;
        case VEK_STATUS_ABORTED: text = "Operation aborted by the user."; break;
        case VEK_STATUS_ERROR: text = ErrMsg(record->group, record->code); break;
        default: text = "Unknown error."; break;
      }
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    ApiTrace("VekMakeErrorStr: " + text);
  } catch (...) {
    buffer[0] = '\0';
  }
}

VEK_EXPORT void VEKAPI VekCheckError(void) {
  const VekLastError& st = LastError();
  if (st.status != VEK_STATUS_ERROR) return;
  char text[2048];
  VekMakeErrorStr(&st, text);
  platform::ShowMessageBox(platform::ApplicationTitle(), text);
}

namespace {
// The lists a quick conversion feeds its two sources from.
VekFileList* g_qc_video = nullptr;
VekFileList* g_qc_audio = nullptr;

void QcSource(VekJob* job, VekFileList* list, int32_t block) {
  if (!list || block < 0 || block >= static_cast<int32_t>(list->names.size())) {
    VekSrcFinished(job);
    return;
  }
  VekSrcSetFile(job, list->names[static_cast<size_t>(block)].c_str());
}
void VEKAPI QcVideoSource(VekJob* job, int32_t block) { QcSource(job, g_qc_video, block); }
void VEKAPI QcAudioSource(VekJob* job, int32_t block) { QcSource(job, g_qc_audio, block); }
}  // namespace

VEK_EXPORT int32_t VEKAPI VekQuickConvert(const char* output, const char* videoList,
                                          const char* audioList, int32_t width, int32_t height,
                                          double fps) {
  int32_t result = VEK_STATUS_OK;
  ApiCall("vekmain.VekQuickConvert", [&] {
    ApiTrace(std::string("VekQuickConvert: out=") + (output ? output : "") + ", vid=" +
             (videoList ? videoList : "") + ", aud=" + (audioList ? audioList : ""));
    VekFileList video, audio;
    ListAdd(video, videoList, kFfImages);
    ListAdd(audio, audioList, kFfSound);
    if (width == kUndefined) width = video.resX;
    if (height == kUndefined) height = video.resY;
    if (std::fabs(fps - kUndefinedD) < 0.0001) fps = ListFrameRate(video);
    VekJob* job = VekAlloc();
    if (!job) {
      result = LastError().status;
      return;
    }
    VekSetFrameRate(job, fps, -1);
    VekSetResolution(job, width, height);
    VekSetBpp(job, video.bpp);
    VekForceCompatibility(job, -1);
    VekSetAudioFormat(job, audio.audFreq, audio.audChan, audio.audBits);
    const bool has_video = videoList && *videoList;
    const bool has_audio = audioList && *audioList;
    g_qc_video = &video;
    g_qc_audio = &audio;
    if (has_video) VekAssignVideoSource(job, QcVideoSource);
    if (has_audio) VekAssignAudioSource(job, QcAudioSource);
    VekSetOutputFile(job, has_video ? output : nullptr, has_audio ? output : nullptr);
    result = VekConvert(job);
    const VekLastError saved = LastError();
    g_qc_video = g_qc_audio = nullptr;
    VekFree(job);
    LastError() = saved;
    ErrSet(saved.group, saved.code);
  });
  if (LastError().status != VEK_STATUS_OK) result = LastError().status;
  return result;
}

namespace {

// The process-wide settings of the library's extensions: each export sets
// (or, with the undefined marker, queries) one value and traces the result.
int32_t ExtSetting(const char* name, int32_t (*set)(int32_t), int32_t value) {
  const std::string qualified = std::string("vekmain.") + name;
  return ApiCall<int32_t>(qualified.c_str(), 0, [&] {
    const int32_t v = set(value);
    ApiTrace(std::string(name) + ": " + NumText(v));
    return v;
  });
}

}  // namespace

VEK_EXPORT int32_t VEKAPI VekExtSetPaletteRefinement(int32_t passes) {
  return ExtSetting("VekExtSetPaletteRefinement", PalSetRefinement, passes);
}

VEK_EXPORT int32_t VEKAPI VekExtSetAutoOrient(int32_t on) {
  return ExtSetting("VekExtSetAutoOrient", StillSetAutoOrient, on);
}

// The extension formats: GIF writing and the formats that come after the
// original tables.
VEK_EXPORT int32_t VEKAPI VekExtSetFormats(int32_t on) {
  return ApiCall<int32_t>("vekmain.VekExtSetFormats", 0, [&] {
    if (on != kUndefined) FmtSetExtensions(on != 0);
    const int32_t v = FmtExtensions() ? -1 : 0;
    ApiTrace("VekExtSetFormats: " + TrFlag(v));
    return v;
  });
}

// Palette and GIF settings of the extension.
VEK_EXPORT int32_t VEKAPI VekExtSetPaletteMode(int32_t mode) {
  return ExtSetting("VekExtSetPaletteMode", PalSetMode, mode);
}

VEK_EXPORT int32_t VEKAPI VekExtSetLoopCount(int32_t count) {
  return ExtSetting("VekExtSetLoopCount", GifSetLoopCount, count);
}

// The threads a conversion may use.
VEK_EXPORT int32_t VEKAPI VekExtSetThreads(int32_t n) {
  return ExtSetting("VekExtSetThreads", WorkersSet, n);
}

VEK_EXPORT void VEKAPI VekLogStart(const char* file, int32_t traceCalls) {
  if (!file || !*file) return;
  std::string name = file;
  if (!platform::HasFolder(name)) name = platform::ExecutableFolder() + name;
  TraceSetFile(name);
  TraceStart(kTraceBanner);
  TraceMemory();
  SetApiTrace(traceCalls != 0);
}

VEK_EXPORT void VEKAPI VekLogStop(void) {
  SetApiTrace(false);
  TraceMemory();
  TraceStop();
}

}  // extern "C"
