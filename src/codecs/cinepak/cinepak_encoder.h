// Our Cinepak compressor: frames of strips, each strip with its own V1 and
// V4 codebooks of 2x2 colour vectors (four luma values and one chroma pair)
// built by a fast vector quantiser, and per 4x4 block a choice between one
// V1 entry, four V4 entries or, in inter frames, keeping the previous
// picture. The choices weigh the squared RGB error against the bits spent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vek::platform {

class CinepakEncoder {
 public:
  // Any positive size: pictures are padded to multiples of 4 by repeating
  // their last row and column. `key_every` frames make a key-frame period
  // (1: every frame); quality 0..10000 trades bits for fidelity.
  CinepakEncoder(int width, int height, int key_every, int quality);
  ~CinepakEncoder();
  CinepakEncoder(const CinepakEncoder&) = delete;
  CinepakEncoder& operator=(const CinepakEncoder&) = delete;

  // Encodes the next frame from rows starting at `top` (`stride` bytes apart,
  // negative for bottom-up bitmaps) at 8 (indices into `palette`, 256 entries
  // of blue, green, red, reserved), 16 (5-bit channels), 24 (blue, green, red)
  // or 32 bits. A key frame is made when asked, at the start of each period,
  // and on the first frame. Returns false for an unsupported depth or a
  // picture too large for the format's size fields.
  bool Encode(const uint8_t* top, ptrdiff_t stride, int bits, const uint8_t* palette,
              bool force_key, std::vector<uint8_t>& out, bool& key);

  // Quality for the frames that follow (0..10000).
  void SetQuality(int quality);

  // The default quality, what the catalogue reports.
  static constexpr int kDefaultQuality = 7500;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vek::platform
