// Motion JPEG frames as libavcodec's Motion JPEG encoder makes them (its
// quantiser tables, rounding and per-frame Huffman tables, 4:2:0 full-range
// colour, no JFIF marker), so that the quality settings keep their meaning
// and the files their size, made several times faster: our own colour
// conversion, transform and quantiser, libjpeg-turbo's entropy coder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vek {

class MjpegFrameEncoder {
 public:
  // Quantiser scales as libavcodec's: 1 (finest) to 31.
  static constexpr int kMinScale = 1, kMaxScale = 31;

  MjpegFrameEncoder(int32_t width, int32_t height, int scale);
  ~MjpegFrameEncoder();
  MjpegFrameEncoder(const MjpegFrameEncoder&) = delete;
  MjpegFrameEncoder& operator=(const MjpegFrameEncoder&) = delete;

  // False when the library could not be set up (no frame can be made).
  bool ok() const { return s_ != nullptr; }

  // Whether frames of that depth go through here (24- and 32-bit BGR).
  static bool Takes(int bits) { return bits == 24 || bits == 32; }

  // Encodes a frame whose top row is at `top`, the next `stride` bytes on
  // (negative for bottom-up rows). False on a library failure (its text in
  // JpegLastMessage()) or when memory runs out. The frame stays valid until
  // the next call.
  bool Encode(const uint8_t* top, int64_t stride, int bits);
  const uint8_t* data() const;
  size_t size() const;

  struct State;  // the library's structures, kept from frame to frame

 private:
  std::unique_ptr<State> s_;
};

}  // namespace vek
