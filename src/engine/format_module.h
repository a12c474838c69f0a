// One table of format modules: each format contributes its operations here
// and nothing else. A format whose module is not built has no entry, and the
// dispatchers answer with their "not known" errors.
#pragma once

#include <cstdint>
#include <string>

#include "engine/file_info.h"
#include "engine/save_options.h"
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

struct MovieOps;  // movie and sound operations, filled in by the media layer's modules

struct FormatModule {
  int32_t id;
  void (*load)(const std::string& name, QImg& image);  // one still image
  void (*save)(const std::string& name, QImg& image);
  void (*info)(const std::string& name, QffInfo& info);
  const CodecOps* codec;
  const MovieOps* movie;
};

// The module of a format id, or null when none is built.
const FormatModule* FormatModuleFor(int32_t id);

}  // namespace vek
