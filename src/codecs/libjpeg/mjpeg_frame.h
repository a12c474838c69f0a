// Motion JPEG frames through libjpeg-turbo (SIMD colour conversion,
// sampling and Huffman coding): baseline JFIF pictures with the standard
// Huffman tables, full-range 4:2:0 as AVI players expect, quantised as
// libavcodec's Motion JPEG encoder does at the same scale, so that its
// quality settings keep their meaning.
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
