// What the movie formats read and written through FFmpeg's libraries (MP4,
// WebM, MPEG transport streams) share: one module state over the reading
// and writing engines of codecs/ffmpeg, their information, and the save
// options.
//
// Save options (fields of the host's record, the same for MP4 and WebM):
//   data rate      mpegDataRate, kilobits per second (hosts set kilobytes
//                  per second, stored times 8, as for MPEG); 0 selects
//                  constant quality
//   quality        jpegQuality, 0..100, used when the data rate is 0
//   key frames     havKeyFrameRate, frames between key frames (0: encoder's choice)
#pragma once

#include <cstdint>
#include <string>

#include "formats/format_descriptor.h"

namespace vek {

enum class AvMovieKind { kMp4, kWebm, kMpegTs };

struct AvMovieSettings {
  int32_t quality = 85;
  int32_t kbits = 1125;
  int32_t key_interval = 25;
};

// The writer settings of each written format (process-wide, set by the run
// from the save options).
AvMovieSettings& AvSettings(AvMovieKind kind);

// File information through the reading engine.
void AvMovieInfo(const std::string& name, QffInfo& info);

extern const MovieOps kAvMp4Ops;
extern const MovieOps kAvWebmOps;
extern const MovieOps kAvReadOps;  // read only (transport streams)

// Save-option operations shared by the written formats.
void AvSetQuality(VekSaveOpts& o, int32_t q);
void AvSetDataRate(VekSaveOpts& o, int32_t rate);
void AvSetKeyFrameRate(VekSaveOpts& o, int32_t frames);
int32_t AvPrepare(VekSaveOpts& o, int32_t width, int32_t height, int32_t bits, int32_t depth);
void AvApply(AvMovieKind kind, const VekSaveOpts& o);

// The codec text of a written format's options.
std::string AvCodecText(AvMovieKind kind, const VekSaveOpts& o);

// The descriptor of a format read and written through FFmpeg.
template <AvMovieKind K>
constexpr FormatDescriptor AvWrittenFormat(FormatId id, const char* tag, const FormatRow* read,
                                           const FormatRow* write, const MovieOps* ops) {
  return FormatDescriptor{
      .id = id,
      .tag = tag,
      .read_rows = read,
      .read_count = 1,
      .write_rows = write,
      .write_count = 1,
      .depths = kDepthsAll24,
      .kind = FormatKindRule::kMovie,
      .delta_frames = false,
      .save = {.dialog = true,
               .set_quality = AvSetQuality,
               .set_key_frame_rate = AvSetKeyFrameRate,
               .set_data_rate = AvSetDataRate,
               .codec_name = [](const VekSaveOpts& o) { return AvCodecText(K, o); },
               .prepare = AvPrepare,
               .apply = [](const VekSaveOpts& o) { AvApply(K, o); }},
      .output = {},
      .info = AvMovieInfo,
      .movie = ops,
  };
}

}  // namespace vek
