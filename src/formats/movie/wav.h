// Windows wave sound files (unit FF_WAV): reading any wave format the audio
// compression service decodes, as PCM, from any sample position; writing PCM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sound/sound.h"
#include "formats/file_info.h"
#include "foundation/memory.h"
#include "platform/mmio/mmio.h"

namespace vek {

// One open wave file.
struct WavState {
  platform::HMMIO file = nullptr;
  platform::MMCKINFO data{};  // the data chunk: size and data offset
  // The "fmt " chunk as stored (at least 18 bytes, zero-filled behind).
  Tracked<uint8_t> in_format;
  int32_t in_format_size = 0;
  // Wide PCM and float samples are narrowed to 16 bits as they are read:
  // 0 none, else the source's bytes per sample (3, 4: integer; -4, -8: float).
  int32_t narrow = 0;
  int32_t src_align = 0;          // bytes per sample frame in the file
  // PCM of more than two channels in a layout other than the usual one of
  // its count is mixed down to stereo as it is read (0: kept as stored);
  // `src_bytes` is then the bytes per sample (negative: float).
  int32_t mix_channels = 0;
  int32_t src_bytes = 0;
  int32_t mix_gains[2 * kSndMaxMixChannels] = {};
  // ADPCM: a short last block is filled up to a whole one for the decoder and
  // the sound ends at `exact_total` frames (-1: no such limit).
  bool pad_tail = false;
  int64_t exact_total = -1;
  WaveFormat decode_src{};        // the format the decoder sees
  // decode_src followed by the stored record's extra bytes (ADPCM's samples
  // per block and coefficients), which the decoder reads behind it.
  std::vector<uint8_t> decode_record;
  int64_t skip = 0;               // output frames to drop after a seek
  int64_t read_pos = 0;           // bytes of the data chunk read so far
  SndDecodeState dec{};
  WaveConvState conv{};
  bool needs_init = false;
  bool reading = false;
  bool writing = false;
  bool format_written = false;
  int64_t data_bytes = 0;  // written
  int32_t written = 0;     // sample frames written
  WaveFormat out_format{};  // of a written file

  WavState() = default;
  ~WavState();
  WavState(const WavState&) = delete;
  WavState& operator=(const WavState&) = delete;
  // Closes and frees everything without reporting, leaving a zero state.
  void Reset();
};

void WAVOpen(WavState& s, const std::string& name);
void WAVLoad(WavState& s, SoundBuffer& snd, int32_t start, int32_t mode, int32_t count);
void WAVSeek(WavState& s, int32_t sample);
void WAVCreate(WavState& s, const std::string& name);
void WAVSave(WavState& s, SoundBuffer& snd);
void WAVClose(WavState& s);
void WAVInfo(const std::string& name, QffInfo& info);

// "(#tag) " and the name of a wave format tag.
std::string WavAudioName(const uint8_t* format, int32_t size);

}  // namespace vek
