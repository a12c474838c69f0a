// The conversion loop: pulls source blocks through the source callbacks,
// reads frames and sound through the unified layer, passes them through the
// function callbacks, converts the frame rate, interleaves sound with the
// pictures, and writes the outputs.
#pragma once

#include <cstdint>
#include <string>

#include "engine/media_access.h"
#include "engine/save_options.h"
#include "sound/sound.h"
#include "image/image.h"

namespace vek {

enum SrcKind : int32_t { kSrcFile = 1, kSrcInfo = 2, kSrcDirect = 3 };

// What a source callback fills for the next block.
struct QSrcRequest {
  void* source;  // file name, QUniInfo, or image record / sound buffer
  int32_t kind;
  int32_t block;
  int32_t start;   // first frame (1-based) or sample (0-based)
  int32_t length;  // frames or samples
  double start_time;
  double length_time;
  int32_t repeat;
  double fps;
  int32_t direction;
  int32_t seq_limit;
  int32_t seq_option;
  int32_t finished;
};

// One frame or sound block on its way through the function stage.
struct QFuncRequest {
  int32_t frame;
  QImg* img;
  QImg* spare_img;
  SoundBuffer* snd;
  SoundBuffer* spare_snd;
  QImg* result_img;
  SoundBuffer* result_snd;
};

struct QConProgress {
  int32_t frames;
  double video_time;
  int32_t samples;
  double sound_time;
};

struct QConReport {
  int32_t frames;
  int32_t samples;
  char video_name[256];
  char sound_name[256];
};

// Stop requests.
enum StopRequest : int32_t {
  kStopNone = 0,
  kStopDelete = 1,  // stop and delete the outputs
  kStopKeep = 2,    // stop and keep what was written
  kStopNextSource = 4,
};

using SourceCallback = void (*)(QSrcRequest* request);
using FuncCallback = void (*)(QFuncRequest* request);
using ProgressCallback = void (*)(const QConProgress* progress);
using ErrorCallback = void (*)(const char* path, int32_t* answer);

void ConSetVideo(SourceCallback source, FuncCallback func);
void ConSetAudio(SourceCallback source, FuncCallback func);
void ConSetProgress(ProgressCallback progress);
void ConSetError(ErrorCallback error);
void ConSetFrames(int32_t frames);
void ConSetFrameRate(double fps, bool keep_duration);
void ConSetSoundBlock(int32_t frames_per_block);
// The format every sound block arrives in (the run converts them to it).
void ConSetSoundFormat(const WaveFormat& format);
void ConAddAviInfo(const char* id, const char* text);

void ConStart(const std::string& video_out, const std::string& sound_out, const QSaveOpts& opts,
              QConReport& report);
void ConDone();
void ConSetStop(int32_t value);
int32_t ConStop();

}  // namespace vek
