#include "engine/conversion_loop.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/format_registry.h"
#include "engine/save_options.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/trace.h"

namespace vek {

namespace {

struct LoopSettings {
  double fps = 0;
  int32_t out_frames = 0;
  bool keep_duration = false;
  int32_t frames_per_block = 0;
  SourceCallback video_source = nullptr;
  SourceCallback audio_source = nullptr;
  FuncCallback video_func = nullptr;
  FuncCallback audio_func = nullptr;
  ProgressCallback progress = nullptr;
  ErrorCallback error = nullptr;
  QAviInfoItem avi[16] = {};
  int32_t avi_count = 0;
  WaveFormat sound_format{};  // what the sound blocks arrive in, when known
  bool sound_format_known = false;
};

// Flags and working state of the run in progress.
struct RunState {
  bool sound_finished, need_next_sound, silence, video_in_open, audio_in_open, audio_out_wanted,
      sound_due, has_video, has_audio, video_finished, video_out_wanted;
  // video
  int32_t frames_done, frames_before, cur_frame, frames_left, step;
  double acc, inc;
  bool first_output, need_next_video;
  int32_t out_count;  // frames passed to the function callback
  // sound
  int32_t first_sample, samples_left;
  double sps;
  int32_t samples_requested, samples_before;
  Stopwatch run_watch, sound_watch;
  double sound_time;
  QImg frame, held, spare;
  SoundBuffer snd, spare_snd;
  QUniHandle vin, ain, vout, aout;
  bool separate_audio_out;
  bool write_skipped;  // the host answered a failed write by leaving the source
  QSrcRequest vreq, areq;
  char video_name[256];  // first written name, for the report
};

LoopSettings g_set;
int32_t g_stop = kStopNone;
RunState g_run;

constexpr double kUndefD = -1357902468.0;
bool Defined(int32_t v) { return v != kUndefined; }
bool Defined(double v) { return v != kUndefD; }

void CloseHandle(QUniHandle& h) {
  if (h.kind != kKindNone || h.created) {
        MonitoredBoundary("ConForm.CloseHandle_", [&] { UniClose(h); });
    std::memset(&h, 0, sizeof h);
  }
}

void FreeBuffers() {
  ImgFree(&g_run.frame);
  ImgFree(&g_run.held);
  ImgFree(&g_run.spare);
  SndFree(g_run.snd);
  SndFree(g_run.spare_snd);
}

// Closes every handle and frees the buffers: the run's clean-up on error.
void CloseAll() {
  CloseHandle(g_run.vin);
  CloseHandle(g_run.ain);
  CloseHandle(g_run.vout);
  if (g_run.separate_audio_out) CloseHandle(g_run.aout);
  g_run.video_in_open = g_run.audio_in_open = false;
  FreeBuffers();
}

std::string ErrorPath() { return ErrPath(); }

// Puts a read error to the host. Returns true when the step is to be
// repeated; `leave` tells the caller to leave the source.
bool AskAboutError(bool& leave) {
  leave = false;
  if (!g_set.error) {
    leave = true;
    ErrClear();
    return false;
  }
  int32_t answer = VEK_ANSWER_STOP;
  const std::string path = ErrorPath();
  g_set.error(path.c_str(), &answer);
  if (answer == VEK_ANSWER_RETRY) return true;
  ErrClear();
  if (answer == VEK_ANSWER_STOP || answer == VEK_ANSWER_KEEP) {
    g_stop = answer;
    leave = true;
  } else if (answer == VEK_ANSWER_SKIP) {
    leave = true;
  }
  return false;
}

void ClearRequest(QSrcRequest& r) {
  std::memset(&r, 0, sizeof r);
  r.kind = kUndefined;
  r.start = r.length = kUndefined;
  r.start_time = r.length_time = r.fps = kUndefD;
}

// A source the loop cannot use is put to the host like a read error, with
// the error or warning that made the loop give it up, so that a run never
// ends "successfully" having silently left out what it was given. The
// answers are those of a read error; retrying a given-up source skips it.
void ReportGivenUp(int32_t group, int32_t code, int32_t site) {
  MonitoredBoundary("ConForm.SourceGivenUp", [&] { ErrRaise(group, code, site); });
  bool leave = false;
  AskAboutError(leave);
}

// The pair that tells why a file source was given up: the warning UniInfo
// left, else "File not exist.".
void ReportFileGivenUp(int32_t site) {
  if (!WarnNone())
    ReportGivenUp(WarnGroup(), WarnCode(), site);
  else
    ReportGivenUp(kGrpFile, kFileNotExist, site);
}

// Asks the video source callback until it gives a usable source. Returns
// false when the source was given up.
bool NextVideoSource() {
  RunState& r = g_run;
  for (;;) {
    g_set.video_source(&r.vreq);
    if (g_stop == kStopNextSource) {
      g_stop = kStopNone;
      continue;
    }
    r.video_finished = r.vreq.finished || g_stop == kStopKeep;
    if (g_stop != kStopNone || r.video_finished) return true;
    QUniInfo info{};
    const int32_t kind = r.vreq.kind;
    if (kind == kSrcFile) {
      const char* name = static_cast<const char*>(r.vreq.source);
      if (!name || !UniInfo(name, info, r.vreq.seq_limit, r.vreq.seq_option != 0)) {
        ReportFileGivenUp(30);
        return false;
      }
    } else if (kind == kSrcInfo && r.vreq.source) {
      info = *static_cast<const QUniInfo*>(r.vreq.source);
    } else if (kind == kSrcDirect) {
      info.img.frames = 1;
      info.img.valid = info.img.supported = -1;
      std::memset(&r.vin, 0, sizeof r.vin);
    } else {
      ReportGivenUp(kGrpUni, kUniProtocol, 31);
      return false;
    }
    if (kind == kSrcFile || kind == kSrcInfo) {
      UniOpen(r.vin, info);
      r.video_in_open = true;
    }
    double src_fps = Defined(r.vreq.fps) ? r.vreq.fps : info.img.fps;
    if (!(src_fps > 0)) src_fps = g_set.fps;
    const double file_fps = info.img.fps;
    int32_t first = 1;
    if (Defined(r.vreq.start))
      first = r.vreq.start;
    else if (Defined(r.vreq.start_time))
      first = static_cast<int32_t>(r.vreq.start_time * file_fps) + 1;
    int32_t count;
    if (Defined(r.vreq.length))
      count = r.vreq.length;
    else if (kind == kSrcDirect)
      count = 1;
    else if (Defined(r.vreq.length_time))
      count = static_cast<int32_t>(r.vreq.length_time * file_fps);
    else
      count = info.img.frames;
    const int32_t frames = info.img.frames;
    if (frames >= first && count > 0 && info.img.supported) {
      first = std::clamp(first, 1, frames);
      count = std::clamp(count, 1, frames - first + 1);
      if (r.vreq.repeat <= 0) r.vreq.repeat = 1;
      r.step = r.vreq.direction == -1 ? -1 : 1;
      r.cur_frame = r.step < 0 ? first + count - 1 : first;
      r.frames_left = count;
      r.inc = src_fps > 0 ? g_set.fps / src_fps : 1.0;
      r.frames_before = r.frames_done;
      if (!(g_set.video_func && FmtDeltaFrames(r.vin.id, frames))) ImgFree(&r.held);
      return true;
    }
    if (r.video_in_open) {
      CloseHandle(r.vin);
      r.video_in_open = false;
    }
    // A file the reader refuses (or a range outside it) is given up too.
    if (!info.img.supported)
      ReportGivenUp(kGrpImage, kImgUnsupported, 32);
    else
      ReportGivenUp(kGrpGeneral, kGenOutOfRange, 33);
    if (g_stop != kStopNone) return true;
    if (kind == kSrcDirect) return true;
  }
}

bool UsesHeld() {
  const RunState& r = g_run;
  return g_set.video_func && r.vreq.kind != kSrcDirect && FmtDeltaFrames(r.vin.id, r.vin.img.frames);
}

bool ConSnd_();

// Writes one frame. With an error callback a failed write is put to the
// host for this frame like a read error (retry, leave the source, stop, or
// go on without the frame); without one it ends the run. Returns false when
// the run must stop.
bool SaveFrame(QImg& out) {
  RunState& r = g_run;
  if (!g_set.error) {
    UniImgSave(r.vout, out);
  } else {
    for (;;) {
      MonitoredBoundary("ConForm.ConStart_", [&] { UniImgSave(r.vout, out); });
      if (ErrNone()) break;
      bool leave = false;
      if (AskAboutError(leave)) continue;
      if (g_stop != kStopNone) return false;
      r.write_skipped = leave;
      return true;
    }
  }
  if (r.first_output) SetText(r.video_name, r.vout.name);
  r.first_output = false;
  return true;
}

// Writes one frame to the video output as often as the frame rate asks.
// Returns false when the run must stop.
bool WriteFrame(QImg* out) {
  RunState& r = g_run;
  for (int32_t rep = 0; rep < r.vreq.repeat && !r.write_skipped; ++rep) {
    r.acc += r.inc;
    if (!out) continue;
    int32_t times = 1;
    if (g_set.keep_duration) {
      if (r.first_output && static_cast<int64_t>(r.acc) <= 0) r.acc = 1.0;
      times = static_cast<int32_t>(r.acc);
    }
    for (int32_t t = 0; t < times && !r.write_skipped; ++t) {
      if (!SaveFrame(*out)) return false;
      if (!ConSnd_()) return false;
    }
    if (g_set.keep_duration) r.acc -= std::floor(r.acc);
  }
  return true;
}

// One frame of the current video source. Returns false when the run must stop.
bool VideoFrame(bool& source_ended) {
  RunState& r = g_run;
  source_ended = false;
  QImg* loaded = UsesHeld() ? &r.held : &r.frame;
  bool leave = false;
  for (;;) {
        MonitoredBoundary("ConForm.ConStart_", [&] {
      if (r.vreq.kind == kSrcDirect) {
        QImg* given = static_cast<QImg*>(r.vreq.source);
        if (!given || !ImgValid(given)) ErrRaise(kGrpImage, kImgCorrupted, 1);
        ImgCopy(given, &r.frame);
        loaded = &r.frame;
      } else {
        UniImgLoad(r.vin, *loaded, r.cur_frame, 2);
      }
    });
    if (ErrNone()) break;
    if (!AskAboutError(leave)) break;
  }
  if (!leave && g_stop != kStopNone) leave = true;
  if (!leave) {
    QImg* out = loaded;
    if (g_set.video_func) {
      if (loaded != &r.frame) ImgCopy(loaded, &r.frame);
      QFuncRequest fr{};
      fr.frame = r.out_count++;
      fr.img = &r.frame;
      fr.spare_img = &r.spare;
      fr.result_img = nullptr;
      g_set.video_func(&fr);
      // The function stage may have exchanged frame and spare.
      if (fr.img != &r.frame && fr.img == &r.spare) ImgXchg(&r.frame, &r.spare);
      if (g_stop != kStopNone) leave = true;
      out = fr.result_img == &r.spare ? &r.frame : fr.result_img;
      if (out && !ImgValid(out)) out = nullptr;
    }
    if (!leave && r.video_out_wanted) {
      r.write_skipped = false;
      if (!WriteFrame(out)) return false;
      leave = r.write_skipped;
    }
  }
  if (leave) {
    source_ended = true;
    return true;
  }
  r.cur_frame += r.step;
  --r.frames_left;
  ++r.frames_done;
  source_ended = r.frames_left <= 0;
  return true;
}

// Finds the next sound source. Returns false when the run must stop.
bool NextSoundSource(bool& usable) {
  RunState& r = g_run;
  usable = false;
  for (;;) {
    r.need_next_sound = false;
    g_set.audio_source(&r.areq);
    if (g_stop == kStopNextSource) {
      g_stop = kStopNone;
      continue;
    }
    r.sound_finished = r.areq.finished || g_stop == kStopKeep;
    if (g_stop != kStopNone && g_stop != kStopKeep) return false;
    if (r.sound_finished || g_stop != kStopNone) return true;
    QUniInfo info{};
    const int32_t kind = r.areq.kind;
    r.silence = !Defined(kind) || !r.areq.source;
    int32_t samples = 0;
    if (r.silence) {
      r.sps = 8000.0;
    } else {
      if (kind == kSrcInfo) {
        info = *static_cast<const QUniInfo*>(r.areq.source);
      } else if (kind == kSrcDirect) {
        const SoundBuffer* given = static_cast<const SoundBuffer*>(r.areq.source);
        info.snd.samples = given->sample_count;
        info.snd.format = given->format;
        info.snd.valid = info.snd.supported = -1;
        info.snd.rate = given->format.nSamplesPerSec;
      } else if (!UniInfo(static_cast<const char*>(r.areq.source), info, 1, false)) {
        ReportFileGivenUp(34);
        if (g_stop != kStopNone && g_stop != kStopKeep) return false;
        r.need_next_sound = true;
        continue;
      }
      if (kind != kSrcDirect) {
        UniOpen(r.ain, info);
        r.audio_in_open = true;
      }
      r.sps = info.snd.rate;
      samples = info.snd.samples;
    }
    int32_t first = 0;
    if (Defined(r.areq.start))
      first = r.areq.start;
    else if (Defined(r.areq.start_time))
      first = static_cast<int32_t>(r.areq.start_time * r.sps);
    int32_t count;
    if (Defined(r.areq.length))
      count = r.areq.length;
    else if (kind == kSrcDirect && r.areq.source)
      count = static_cast<const SoundBuffer*>(r.areq.source)->sample_count;
    else if (Defined(r.areq.length_time))
      count = static_cast<int32_t>(r.areq.length_time * r.sps);
    else
      count = samples;
    if (r.silence) samples = first + std::max(count, 0);
    if (first < samples && count > 0 && r.sps > 0) {
      first = std::clamp(first, 0, samples);
      count = std::clamp(count, 0, samples - first);
      r.first_sample = first;
      r.samples_left = count;
      r.samples_before = r.samples_requested;
      usable = true;
      return true;
    }
    if (r.audio_in_open) {
      CloseHandle(r.ain);
      r.audio_in_open = false;
    }
    if (kind == kSrcDirect) return true;
  }
}

bool ConSnd_() {
  RunState& r = g_run;
  bool result = true;
  Monitored("ConForm.ConSnd_", [&] {
    if (r.sound_finished) return;
    WatchStart(r.sound_watch);
    struct AddTime {
      ~AddTime() { g_run.sound_time += WatchElapsed(g_run.sound_watch); }
    } add_time;
    if (r.need_next_sound) {
      bool usable = false;
      if (!NextSoundSource(usable)) {
        result = false;
        return;
      }
      if (r.sound_finished) return;
      if (!usable) {
        r.need_next_sound = true;
        return;
      }
    }
    r.sound_due = r.video_out_wanted && g_set.frames_per_block > 0 && r.vout.frame > 0 &&
                  r.vout.frame % g_set.frames_per_block == 0;
    if (!r.sound_due && !r.video_finished) return;
    const double per_block = r.video_finished || !(g_set.fps > 0)
                                 ? r.sps
                                 : g_set.frames_per_block * r.sps / g_set.fps;
    int32_t block = static_cast<int32_t>(std::min(per_block, 2147483647.0));
    block = std::min(block, r.samples_left);
    if (block <= 0) block = r.samples_left;
    r.samples_requested += block;
    bool leave = false;
    for (;;) {
            MonitoredBoundary("ConForm.ConSnd__", [&] {
        if (r.silence) {
          WaveFormat f{};
          SndMakeFormat(f, 8000, 1, 8);
          SndMakeSilence(r.snd, block, f);
        } else if (r.areq.kind == kSrcDirect) {
          SndMove(*static_cast<const SoundBuffer*>(r.areq.source), r.snd, r.first_sample, block);
        } else {
          UniSndLoad(r.ain, r.snd, r.first_sample, 1, block);
        }
      });
      if (ErrNone()) break;
      if (!AskAboutError(leave)) break;
    }
    if (!leave) {
      SoundBuffer* out = &r.snd;
      if (g_set.audio_func) {
        QFuncRequest fr{};
        fr.snd = &r.snd;
        fr.spare_snd = &r.spare_snd;
        g_set.audio_func(&fr);
        if (fr.snd == &r.spare_snd) std::swap(r.snd, r.spare_snd);
        if (g_stop != kStopNone) leave = true;
        out = fr.result_snd == &r.spare_snd ? &r.snd : fr.result_snd;
        // A block the function stage could not convert is put to the host
        // like a read error: the run must not end as if it had been written.
        if (!ErrNone()) {
          bool skip = false;
          AskAboutError(skip);
          if (skip) leave = true;
        }
      }
      if (!leave && r.audio_out_wanted && out && out->sample_count > 0) {
        QUniHandle& h = r.separate_audio_out ? r.aout : r.vout;
        UniSndSave(h, *out);
      }
    }
    if (!leave) {
      r.first_sample += block;
      r.samples_left -= block;
      if (r.samples_left > 0) return;
    }
    if (r.audio_in_open) {
      CloseHandle(r.ain);
      r.audio_in_open = false;
    }
    r.need_next_sound = true;
    r.samples_left = 0;
    if (g_stop != kStopNone && g_stop != kStopNextSource) result = false;
  });
  return result;
}

bool HasContent(const QUniHandle& h) { return h.created && (h.frame > 0 || h.sample > 0); }

// Removes an output this run created: every file of a numbered sequence, or
// the one file. A file the run never created is left alone.
void DeleteOutput(const QUniHandle& h, const std::string& name) {
  if (!h.created) return;
    MonitoredBoundary("ConForm.DeleteOutput_", [&] {
    if (h.kind == kKindSequence) {
      for (int32_t i = 1; i <= h.count; ++i) FDelete(SeqName(h.seq, i));
    } else if (!name.empty()) {
      FDelete(name);
    }
  });
  ErrClear();
}

}  // namespace

void ConSetVideo(SourceCallback source, FuncCallback func) {
  g_set.video_source = source;
  g_set.video_func = func;
}
void ConSetAudio(SourceCallback source, FuncCallback func) {
  g_set.audio_source = source;
  g_set.audio_func = func;
}
void ConSetProgress(ProgressCallback progress) { g_set.progress = progress; }
void ConSetError(ErrorCallback error) { g_set.error = error; }
void ConSetFrames(int32_t frames) { g_set.out_frames = frames; }
void ConSetFrameRate(double fps, bool keep_duration) {
  g_set.fps = fps;
  g_set.keep_duration = keep_duration;
}
void ConSetSoundBlock(int32_t frames_per_block) { g_set.frames_per_block = frames_per_block; }
void ConSetSoundFormat(const WaveFormat& format) {
  g_set.sound_format = format;
  g_set.sound_format_known = true;
}
void ConAddAviInfo(const char* id, const char* text) {
  if (g_set.avi_count >= 16 || !id || !text) return;
  SetText(g_set.avi[g_set.avi_count].id, id);
  SetText(g_set.avi[g_set.avi_count].text, text);
  ++g_set.avi_count;
}
void ConSetStop(int32_t value) { g_stop = value; }
int32_t ConStop() { return g_stop; }

void ConDone() {
  g_set = LoopSettings{};
  g_stop = kStopNone;
}

void ConStart(const std::string& video_out, const std::string& sound_out, const QSaveOpts& opts,
              QConReport& report) {
  TraceSetOutput(video_out.empty() ? sound_out : video_out);
  Monitored("ConForm.ConStart", [&] {
    MonSetCleanup([] {
      CloseAll();
      ConDone();
    });
    RunState& r = g_run;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    std::memset(&report, 0, sizeof report);

    r.has_video = g_set.video_source != nullptr;
    r.has_audio = g_set.audio_source != nullptr;
    r.video_finished = !r.has_video;
    r.sound_finished = !r.has_audio;
    r.need_next_video = r.has_video;
    r.need_next_sound = r.has_audio;
    r.first_output = true;
    r.video_out_wanted = !video_out.empty();
    r.audio_out_wanted = !sound_out.empty();
    ClearRequest(r.vreq);
    ClearRequest(r.areq);
    if (!(g_set.fps >= 0)) g_set.fps = 0;
    if (g_set.fps > 2147483647.0) g_set.fps = 2147483647.0;
    if (g_set.frames_per_block <= 0)
      g_set.frames_per_block = std::max(1, static_cast<int32_t>(g_set.fps));

    if (r.video_out_wanted) {
      UniCreate(r.vout, video_out);
      UniSetOptions(r.vout, opts);
      UniSetFrames(r.vout, g_set.out_frames);
      UniSetFrameRate(r.vout, g_set.fps);
      for (int i = 0; i < g_set.avi_count; ++i) UniAddAviInfo(r.vout, g_set.avi[i].id, g_set.avi[i].text);
    }
    if (r.audio_out_wanted) {
      if (sound_out != video_out) {
        r.separate_audio_out = true;
        UniCreate(r.aout, sound_out);
        // The sound file's own writer settings (Ogg quality, say) come from
        // the same options, read for the sound format.
        QSaveOpts sound_opts = opts;
        FFSaveSetFormat(sound_opts, FmtId(sound_out, kWriteTable));
        UniSetOptions(r.aout, sound_opts);
        for (int i = 0; i < g_set.avi_count; ++i)
          UniAddAviInfo(r.aout, g_set.avi[i].id, g_set.avi[i].text);
      } else {
        UniSetSoundBlock(r.vout, g_set.frames_per_block);
        // Writers that take no new stream once data is written set up the
        // sound's with the first frame.
        if (r.has_audio && g_set.sound_format_known) UniExpectSound(r.vout, g_set.sound_format);
      }
    }
    if (g_set.progress) WatchStart(r.run_watch);

    bool stop = false;
    while (!stop) {
      bool source_ended = false;
      bool given_up = false;
      if (!r.video_finished && r.need_next_video) {
        r.need_next_video = false;
        if (!NextVideoSource()) given_up = true;
      }
      if (!r.video_finished && !given_up && g_stop == kStopNone && r.frames_left > 0) {
        if (!VideoFrame(source_ended)) break;
      } else if (!r.video_finished) {
        source_ended = true;
      }
      if (source_ended || given_up) {
        if (r.video_in_open) {
          CloseHandle(r.vin);
          r.video_in_open = false;
        }
        r.need_next_video = true;
        r.frames_left = 0;
        if (g_stop != kStopNone && g_stop != kStopNextSource) break;
        if (g_stop == kStopNextSource) g_stop = kStopNone;
      }
      if (!r.sound_due && !ConSnd_()) break;
      r.sound_due = false;
      stop = (r.video_finished && r.sound_finished) || g_stop != kStopNone;
      if (!stop && g_set.progress) {
        const double run_time = WatchElapsed(r.run_watch);
        // Sound that has no output to go to while the run writes one is
        // not done; a run without outputs (the palette pass) counts what
        // passed its function stage.
        const bool sound_kept = r.audio_out_wanted || !r.video_out_wanted;
        const QConProgress p{r.frames_done, run_time - r.sound_time,
                             sound_kept ? r.samples_requested : 0, r.sound_time};
        g_set.progress(&p);
        if (g_stop != kStopNone) stop = true;
      }
    }

    if (r.video_out_wanted) {
      report.frames = r.vout.frame;
      SetText(report.video_name, r.video_name);
    }
    const QUniHandle& sound_handle = r.separate_audio_out ? r.aout : r.vout;
    if (r.audio_out_wanted) {
      report.samples = sound_handle.sample;
      SetText(report.sound_name, sound_handle.name);
    }
    const bool video_empty = r.video_out_wanted && !HasContent(r.vout);
    const bool sound_empty = r.separate_audio_out && !HasContent(r.aout);
    const QUniHandle vout_copy = r.vout;
    const QUniHandle aout_copy = r.aout;
    // The outputs close first: a writer that cannot finish its file (its
    // index or trailer) fails the run instead of passing for a success.
    int32_t close_group = 0, close_code = 0;
    std::string close_text;
    auto close_output = [&](QUniHandle& h) {
      const bool clean = ErrNone();
      CloseHandle(h);
      if (clean && !ErrNone()) {
        if (close_group == 0) {
          close_group = ErrGroup();
          close_code = ErrCode();
          close_text = ErrText();
        }
        ErrClear();
      }
    };
    close_output(r.vout);
    if (r.separate_audio_out) close_output(r.aout);
    CloseAll();
    if (r.video_out_wanted && (video_empty || g_stop == kStopDelete))
      DeleteOutput(vout_copy, vout_copy.name);
    if (r.separate_audio_out && (sound_empty || g_stop == kStopDelete))
      DeleteOutput(aout_copy, aout_copy.name);
    if (close_group == kGrpExternal) ErrRaiseText(kGrpExternal, close_text, 90);
    if (close_group != 0) ErrRaise(close_group, close_code, 91);
  });
}

}  // namespace vek
