// HAV movies, the library's own lossless format: 8, 16 or 24-bit frames
// coded with the BEST or FAST strip codecs (key frames and delta frames),
// palettes, interleaved PCM sound, and a two-level frame index for random
// access.
#pragma once

#include <cstdint>
#include <string>

#include "sound/sound.h"
#include "formats/file_info.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/image.h"

namespace vek {

inline constexpr int32_t kHavHeaderSize = 64;
inline constexpr int32_t kHavVersion = 97;
inline constexpr int32_t kHavTableOffset = 64;
inline constexpr int32_t kHavTableBytes = 1024;
inline constexpr int32_t kHavIndexBytes = 3072;
inline constexpr int32_t kHavMaxFrames = 65536;
inline constexpr int32_t kHavSmallLimit = 65520;
inline constexpr int32_t kHavMaxStrips = 128;

// Codec field of the header.
enum HavCodec : int32_t { kHavBest = 0, kHavFast = 1, kHavBestP = 2 };
inline constexpr int32_t kHavCodecFastBit = 1;
inline constexpr int32_t kHavCodecPredictBit = 2;

struct HavHeader {
  int32_t width = 0, height = 0, bytespp = 0;
  int32_t codec = 0;
  int32_t frames = 0;
  int32_t key_interval = 0;
  double fps = 0;
  int32_t sound_flags = 0;
  int32_t sound_rate = 0;
  uint32_t sound_first = 0;
  int32_t small_image = 0;
  int32_t sound_total = 0;
};

struct HavIndexEntry {
  uint32_t offset;
  uint32_t first_read;
  uint32_t flags;  // bit 0: the record holds a palette chunk
};

// One open file; lives in the movie handle's state block.
struct HavState {
  HavHeader hdr;
  uint32_t table[256] = {};
  HavIndexEntry index[256] = {};
  int32_t index_no = -1;  // block held in `index`, -1 none
  bool index_dirty = false;
  TrackedFile file;
  int64_t file_size = 0;
  int32_t position = 0;  // frames decoded or written so far
  int64_t img_bytes = 0;
  bool predict = false;
  Tracked<uint8_t> prev;   // writing: previous frame (predicted form with prediction)
  Tracked<uint8_t> pred;   // prediction buffer
  Tracked<uint8_t> dskbuf; // reading: one frame record's bytes
  Tracked<uint8_t> cmps;   // writing: one coded strip
  uint8_t last_pal[768] = {};  // red, green, blue as stored
  bool pal_met = false;
  bool new_picture = false;
  // Sound.
  WaveFormat snd_format{};
  bool has_sound = false;
  Tracked<uint8_t> snd_block;  // samples of the current block
  int64_t snd_block_bytes = 0;
  int64_t snd_read = 0;        // read position in the current block
  uint32_t snd_next = 0;       // offset of the next block, 0 none
  uint32_t snd_last = 0;       // writing: offset of the last block
  int64_t snd_pos = 0;         // sample frame of the read position
  int32_t snd_after_load = 0;  // position after the last load
  SoundBuffer snd_temp{};      // writing: a converted buffer
  // Writing.
  bool writing = false;
  bool layout_written = false;  // header, block table and first index block
  bool frames_started = false;  // the first frame fixed size and codec
  HavState() = default;
  ~HavState();
  HavState(const HavState&) = delete;
  HavState& operator=(const HavState&) = delete;
};

// Process-wide settings for new files. Setters clamp, store and return; the
// undefined marker only queries.
int32_t HAVSetCodec(int32_t codec);             // 0 BEST, 1 FAST (default)
int32_t HAVSetKeyFrameRate(int32_t interval);   // 0..2147483647, default 25

void HAVOpen(HavState& s, const std::string& name);
void HAVImgLoadNext(HavState& s, QImg& image);
// frame: 1-based, 0 = next; continue_: bit 0 of the mode value.
void HAVImgLoad(HavState& s, QImg& image, int32_t frame, bool continue_);
int32_t HAVNearestKeyFrame(const HavState& s, int32_t frame, int32_t direction);
// palette: 256 entries blue, green, red.
bool HAVGetPal(HavState& s, uint8_t* palette, int32_t first, int32_t last);
void HAVUpdateVP_(HavState& s, int32_t frame);
void HAVSndSeek(HavState& s, int32_t sample);
void HAVSndLoad(HavState& s, SoundBuffer& snd, int32_t first, bool continue_, int32_t count);
void HAVCreate(HavState& s, const std::string& name, double fps);
void HAVImgSave(HavState& s, QImg& image);
void HAVSndSave(HavState& s, SoundBuffer& snd);
void HAVClose(HavState& s);
void HAVInfo(const std::string& name, QffInfo& info);

// Compression name of a codec field value: "BEST", "FAST", "BEST-P", "N/A".
const char* HavCompressionName(int32_t codec);

}  // namespace vek
