// Movie files written through libavformat: MP4 (H.264 from OpenH264, AAC
// from FFmpeg's own encoder, the index at the front so a browser plays the
// file while it loads) and WebM (VP9 and Opus from libvpx and libopus
// through libavcodec). Pictures come as 24-bit BGR rows and are stored as
// limited-range BT.709 4:2:0, said so in the streams; sound comes as 16-bit
// interleaved samples of any rate and is converted to what the encoder takes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vek::codecs {

enum class AvContainer { kMp4, kWebm };

struct AvVideoSettings {
  int32_t width = 0, height = 0;  // odd sizes are padded by one pixel
  double fps = 25;
  int64_t bit_rate = 0;        // bits per second; 0: constant quality
  int32_t quality = 85;        // 0..100, used without a bit rate
  int32_t key_interval = 0;    // frames between key frames; 0: the encoder's choice
  int32_t threads = 1;
};

struct AvSoundSettings {
  int32_t rate = 44100;  // of the samples handed in
  int32_t channels = 2;  // 1 or 2
};

// What the writer made, for messages and --info like texts.
struct AvWriterReport {
  std::string video_codec, sound_codec;
};

class AvWriter {
 public:
  ~AvWriter();
  // Null (the reason in `error`) when the container or an encoder is missing.
  static std::unique_ptr<AvWriter> Create(const std::string& path, AvContainer container,
                                          std::string& error);
  // Both before the first picture or sound block; the header is written then.
  bool SetVideo(const AvVideoSettings& settings);
  bool SetSound(const AvSoundSettings& settings);
  // One picture: `rows` top-down, 3 bytes per pixel (blue, green, red).
  bool PutFrame(const uint8_t* bgr, int64_t stride);
  // Sample frames of `rate` and `channels` (1 or 2), 16-bit interleaved.
  bool PutSound(const int16_t* samples, int32_t count, int32_t rate, int32_t channels);
  // Drains the encoders and writes the index; the file is complete on true.
  bool Finish();
  const std::string& Error() const { return error_; }
  int64_t FramesWritten() const;
  int64_t SamplesWritten() const;
  struct Impl;

 private:
  AvWriter() = default;
  std::unique_ptr<Impl> impl_;
  std::string error_;
};

}  // namespace vek::codecs
