// One table of format modules: each format contributes its operations here
// and nothing else. A format whose module is not built has no entry, and the
// dispatchers answer with their "not known" errors.
#pragma once

#include <cstdint>
#include <string>

#include "engine/file_info.h"
#include "engine/save_options.h"
#include "engine/sound.h"
#include "image/image.h"

namespace vek {

// Compressor choice of formats that pick a codec from a platform catalogue (AVI).
struct CodecOps {
  // Chooses the compressor and applies quality, key frame rate and data rate.
  void (*select)(QAviCodecSettings& settings, uint32_t handler);
  std::string (*name)(const QAviCodecSettings& settings);
  // Sets the compressor up for frames of that size; returns the depth it takes.
  int32_t (*prepare)(QAviCodecSettings& settings, int32_t width, int32_t height, int32_t bits);
};

// What every movie or sound module tells about its open file.
struct MovieView {
  int32_t width, height, bytespp, bits;
  int32_t frames;        // frame count
  int32_t current;       // current frame number
  int32_t samples_done;  // sound sample frames read or written
  bool writing;          // opened for writing
  bool new_picture;      // the last load delivered a changed picture
  bool has_sound;
  WaveFormat sound;
};

// Movie and sound operations. `state` is the module's own zero-filled block
// of `state_size` bytes, owned by the movie handle.
struct MovieOps {
  int32_t state_size;
  const char* tag;  // label part: "GIF", "FLC", "AVI", "HAV", "MPG", "WAV", "OGG"
  void (*open)(void* state, const std::string& name);
  void (*img_load)(void* state, QImg& image, int32_t frame, int32_t mode);  // null: no pictures
  void (*snd_load)(void* state, SoundBuffer& snd, int32_t first, int32_t mode,
                   int32_t count);  // null: no sound
  // null: not writable
  void (*create)(void* state, const std::string& name, double fps, int32_t frames_per_block,
                 int32_t expected_frames);
  void (*img_save)(void* state, QImg& image);
  void (*snd_save)(void* state, SoundBuffer& snd);
  void (*close)(void* state);
  void (*set_custom_info)(void* state, const char* id, const char* text);  // AVI only
  MovieView (*view)(const void* state);
};

struct FormatModule {
  int32_t id;
  void (*load)(const std::string& name, QImg& image);  // one still image
  void (*save)(const std::string& name, QImg& image);
  void (*info)(const std::string& name, QffInfo& info);
  // Hands the prepared save options to the format's process-wide writer settings.
  void (*apply)(const QSaveOpts& opts);
  const CodecOps* codec;
  const MovieOps* movie;
};

// The module of a format id, or null when none is built.
const FormatModule* FormatModuleFor(int32_t id);

}  // namespace vek
