// Autodesk FLIC animations (FF_FLC): FLI (320 x 200, magic 0xAF11) and FLC
// (any size, magic 0xAF12), 8-bit frames. Reading and writing.
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/image.h"

namespace vek {

inline constexpr uint16_t kFliMagic = 0xAF11;
inline constexpr uint16_t kFlcMagic = 0xAF12;
inline constexpr uint16_t kFlicFrameType = 0xF1FA;

// Sub-chunk types of a frame.
enum FlicChunk : uint16_t {
  kFlicColor256 = 4,
  kFlicWordDelta = 7,
  kFlicColor64 = 11,
  kFlicLineDelta = 12,
  kFlicBlack = 13,
  kFlicByteRun = 15,
  kFlicRaw = 16,
};

// One open FLIC file, read or written.
struct FlicState {
  FlicState() = default;
  ~FlicState() { ImgFree(&first_frame); }
  FlicState(const FlicState&) = delete;
  FlicState& operator=(const FlicState&) = delete;

  uint8_t header[128] = {};
  int32_t bytespp = 1, bits = 8;
  std::string base_name;  // writing: the name without its extension
  std::string file_name;  // the file actually read or written
  TrackedFile file;
  int32_t current = 0;  // frames decoded or written so far
  int64_t pixel_count = 0;
  int64_t file_size = 0;
  int64_t next_chunk = 128;  // reading: where the next frame is looked for
  int32_t readable = 0;      // reading: frames present, at most the header's count
  QImg first_frame{};        // writing: the first frame, for the ring frame
  Tracked<uint8_t> prev_img; // writing: the last frame written
  uint8_t palette[768] = {}; // reading: current colours; writing: last written (blue, green, red)
  bool fli_mode = false;
  bool writing = false;
  bool palette_changed = false;
  bool header_written = false;
  bool new_picture = false;
  double fps = 0;

  int32_t Width() const { return header[8] | (header[9] << 8); }
  int32_t Height() const { return header[10] | (header[11] << 8); }
  int32_t Frames() const { return header[6] | (header[7] << 8); }
  // Frames a reader can have: the header's count unless the file ends early.
  int32_t Available() const { return writing ? Frames() : readable; }
  uint16_t Magic() const { return static_cast<uint16_t>(header[4] | (header[5] << 8)); }
};

void FLCOpen(FlicState& ff, const std::string& name);
void FLCLoadNext(FlicState& ff, QImg& image);
void FLCLoad(FlicState& ff, QImg& image, int32_t n, bool forward);
void FLCRewind(FlicState& ff);
void FLCCreate(FlicState& ff, const std::string& name, double fps);
void FLCSave(FlicState& ff, QImg& image);
void FLCClose(FlicState& ff);
void FLCInfo(const std::string& name, QffInfo& info);

}  // namespace vek
