// Unified access to every format: one interface whether pictures come from a
// still file, a numbered sequence of still files or a movie, and whether
// sound comes from any of the sound-carrying formats.
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "formats/format_descriptor.h"
#include "engine/save_options.h"
#include "sound/sound.h"
#include "image/image.h"

namespace vek {


struct QSeqName {
  char prefix[256];  // path and name up to the number
  char suffix[256];  // after the number
  int32_t start;
  int32_t digits;
};

struct QUniImagePart {
  int32_t width, height, bytespp, bits, frames;
  double duration;     // frames / fps
  double total_bytes;  // width x height x bytespp x frames
  double fps;
  char compression[256];
  int32_t valid, supported;
};

struct QUniSoundPart {
  WaveFormat file_format;
  WaveFormat format;  // delivered to the engine
  int32_t samples;
  char format_name[256];
  int32_t valid, supported;
  double duration;     // samples / rate
  double total_bytes;  // samples x block align
  double rate;
  int32_t channels, bits, block_align;
};

struct QUniInfo {
  int32_t id;
  int32_t kind;
  char name[256];
  double file_size;  // all files of a sequence added
  char full_name[256];
  QUniImagePart img;
  QUniSoundPart snd;
  int32_t max_data_rate;
  QSeqName seq;
};

struct QMovieHandle {
  int32_t id;
  const MovieOps* ops;
  void* state;  // tracked: the module's own state
};

struct QAviInfoItem {
  char id[5];
  char text[256];
};

struct QUniHandle {
  int32_t id;
  int32_t kind;
  char name[256];
  int32_t created;
  int32_t img_known;
  int32_t snd_known;
  double fps;
  int32_t frames_per_block;
  int32_t frame;  // current frame number
  double time;    // (frame - 1) / fps
  int32_t new_picture;
  int32_t sample;  // current sample position
  double sound_time;
  int32_t count;  // files written to a sequence
  QUniImagePart img;
  QUniSoundPart snd;
  QSaveOpts opts;
  QMovieHandle movie;
  QSeqName seq;
  QAviInfoItem avi_info[16];
  int32_t avi_info_count;
  WaveFormat sound_expected;  // announced before creation (UniExpectSound)
  int32_t sound_expected_set;
};

// Movie layer.
void MviOpen(QMovieHandle& mh, const std::string& name, int32_t id);
void MviImgLoad(QMovieHandle& mh, QImg& image, int32_t frame, int32_t mode);
void MviSndLoad(QMovieHandle& mh, SoundBuffer& snd, int32_t first, int32_t mode, int32_t count);
void MviCreate(QMovieHandle& mh, const std::string& name, double fps, int32_t frames_per_block,
               int32_t expected_frames);
void MviImgSave(QMovieHandle& mh, QImg& image);
void MviSndSave(QMovieHandle& mh, SoundBuffer& snd);
void MviClose(QMovieHandle& mh);
void MviSetAviCustomInfo(QMovieHandle& mh, const char* id, const char* text);
void MviExpectSound(QMovieHandle& mh, const WaveFormat& format);
MovieView MviView(const QMovieHandle& mh);

// Numbered sequences.
bool SeqSplit(const std::string& name, bool allow_minus, std::string& prefix, int32_t& digits,
              int32_t& number, std::string& suffix);
std::string SeqName(const QSeqName& seq, int32_t index);
bool SeqCheck(const std::string& prefix, const std::string& suffix, int32_t number,
              int64_t& file_size, const QUniImagePart& first, int32_t digits);

// Unified layer.
bool UniInfo(const std::string& name, QUniInfo& info, int32_t max_frames, bool allow_minus);
void UniOpen(QUniHandle& h, const QUniInfo& info);
void UniImgLoad(QUniHandle& h, QImg& image, int32_t frame, int32_t mode);
void UniSndLoad(QUniHandle& h, SoundBuffer& snd, int32_t first, int32_t mode, int32_t count);
void UniCreate(QUniHandle& h, const std::string& name);
void UniSetFrames(QUniHandle& h, int32_t frames);
void UniSetFrameRate(QUniHandle& h, double fps);
void UniSetSoundBlock(QUniHandle& h, int32_t frames_per_block);
// Sound of this format will be written into the output along with its
// frames; a movie writer prepares for it when the output is created.
void UniExpectSound(QUniHandle& h, const WaveFormat& format);
void UniSetOptions(QUniHandle& h, const QSaveOpts& opts);
void UniAddAviInfo(QUniHandle& h, const char* id, const char* text);
void UniImgSave(QUniHandle& h, QImg& image);
void UniSndSave(QUniHandle& h, SoundBuffer& snd);
void UniClose(QUniHandle& h);

// Frame preparation for movie writers.
struct QFramePrep {
  QImg temp;     // used when the frame had to be padded or converted
  QImg* image;   // the image to encode
};
void FFInit(int32_t id, QFramePrep& prep, QImg& image, int32_t multiple);
void FFDone(QFramePrep& prep);

}  // namespace vek
