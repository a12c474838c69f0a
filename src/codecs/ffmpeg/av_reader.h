// Movie files read through libavformat and libavcodec: MP4/MOV,
// Matroska/WebM and MPEG transport streams with whatever codecs FFmpeg
// decodes. The first video and the first sound stream are used.
//
// Pictures are addressed by number on a constant-rate grid: a file whose
// frames come at a steady rate gives exactly its frames; one with a
// variable rate is shown on a grid of its nominal rate, each grid point
// giving the frame on screen at that time, so the run's own rate
// conversion sees the timing the file has. Any frame can be asked for in
// any order: the reader seeks to the key frame before it and decodes
// forward. Rotation recorded in the file is applied.
//
// Sound comes as 16-bit interleaved samples, at most two channels (more are
// mixed down), at the stream's own rate, addressable by sample.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vek::codecs {

struct AvReaderInfo {
  std::string container;  // FFmpeg's demuxer name
  bool has_video = false;
  int32_t width = 0, height = 0;  // as shown (rotation applied)
  int64_t frames = 0;             // on the grid
  double fps = 0;                 // of the grid
  bool variable_rate = false;
  int32_t rotation = 0;  // degrees clockwise applied: 0, 90, 180, 270
  std::string video_codec;  // e.g. "h264 (High)"
  int64_t video_bit_rate = 0;
  bool has_sound = false;
  int32_t rate = 0, channels = 0;  // as delivered
  int32_t source_channels = 0;
  int64_t samples = 0;
  std::string sound_codec;
  int64_t sound_bit_rate = 0;
  std::string streams;  // one line per stream of the file
};

class AvReader {
 public:
  ~AvReader();
  // Null (the reason in `error`) when the file is none FFmpeg can read, or
  // has neither a video nor a sound stream it can decode.
  static std::unique_ptr<AvReader> Open(const std::string& path, std::string& error);
  const AvReaderInfo& Info() const;
  // Grid frame `n` (0-based) as 24-bit BGR rows, width * 3 bytes each.
  bool ReadFrame(int64_t n, uint8_t* bgr);
  // Up to `count` sample frames from `first` on; the number given (fewer at
  // the end), or -1 on a failure.
  int64_t ReadSound(int64_t first, int16_t* out, int64_t count);
  const std::string& Error() const { return error_; }
  struct Impl;

 private:
  AvReader() = default;
  std::unique_ptr<Impl> impl_;
  std::string error_;
};

}  // namespace vek::codecs
