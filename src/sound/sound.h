// Sound buffers (unit SndBasic): the one in-memory form of sound, the
// operations on it, the wave conversion wrapper and the streaming decoder
// the WAV and AVI readers use.
#pragma once

#include <cstdint>

#include "platform/acm/acm.h"

namespace vek {

// The wave format record: WAVEFORMATEX, 18 bytes packed, little-endian,
// written to WAV files as is.
using WaveFormat = platform::WAVEFORMATEX;
static_assert(sizeof(WaveFormat) == 18, "wave format record must be 18 bytes");

inline constexpr uint16_t kWaveFormatPcm = platform::WAVE_FORMAT_PCM;

// The sound buffer: interleaved sample frames; bytes in use =
// sample_count x format.nBlockAlign, never above capacity. `data` is a
// tracked allocation owned by this record alone.
struct SoundBuffer {
  uint8_t* data;
  int32_t capacity;
  int32_t sample_count;
  WaveFormat format;
};

// One open conversion between two wave formats.
struct WaveConvState {
  platform::HACMSTREAM stream;
  platform::ACMSTREAMHEADER header;
  uint32_t flags;  // for the next acmStreamConvert
};

// Streaming decode state, embedded in the WAV and AVI module handles.
struct SndDecodeState {
  WaveFormat* src_format;   // as stored in the file, with its extra bytes
  int32_t src_format_size;  // bytes behind src_format
  WaveFormat out_format;    // PCM delivered to callers
  uint8_t* staging;         // tracked: decoded PCM not yet handed out
  int32_t staging_fill;
  int32_t staging_pos;
  int32_t blocks_read;
  int32_t blocks_total;
  int32_t ended;            // -1 when the source is exhausted
  int32_t out_pos;          // kept by the module
  int32_t out_total;        // kept by the module
  double ratio;             // output frames per source block
};

// Fills `raw` (a tracked buffer variable) with the next raw bytes of the file;
// `bytes` and `blocks` receive the raw bytes and whole source blocks read
// (0 and 0 at the end).
using SndReadFunc = void (*)(void* module, uint8_t*& raw, int32_t wanted, int32_t& bytes,
                             int32_t& blocks);

// Format operations: no tracing, no errors.
void SndMakeFormat(WaveFormat& format, int32_t rate, int32_t channels, int32_t bits);
bool SndCompleteFormat(WaveFormat& format);
bool SndFormatsDiffer(const WaveFormat& a, const WaveFormat& b);

// Buffer operations.
void _sndalloc_(SoundBuffer& snd, int64_t size, int32_t line, const char* label);
void SndFree(SoundBuffer& snd);

// Frees a local sound buffer on every path, also while an error unwinds.
class SndGuard {
 public:
  explicit SndGuard(SoundBuffer& snd) : snd_(snd) {}
  ~SndGuard() { SndFree(snd_); }
  SndGuard(const SndGuard&) = delete;
  SndGuard& operator=(const SndGuard&) = delete;

 private:
  SoundBuffer& snd_;
};
void SndAddSilence(SoundBuffer& snd, int32_t total);
void SndMakeSilence(SoundBuffer& snd, int32_t count, const WaveFormat& format);
void SndJoin(SoundBuffer& target, const SoundBuffer& source);
void SndMove(const SoundBuffer& source, SoundBuffer& dest, int32_t first, int32_t count);
void SndDelete(SoundBuffer& snd, int32_t first, int32_t count);
void SndConvert(const SoundBuffer& source, SoundBuffer& dest, const WaveFormat& format);

// Down-mixing of more than two channels. Channels are stored in the order of
// the bits of a wave channel mask; a mask that does not name every channel
// stands for the usual layout of the count (SndDefaultChannelMask).
inline constexpr int32_t kSndMaxMixChannels = 18;
uint32_t SndDefaultChannelMask(int32_t channels);
// Fills `gains` (out_channels rows of `channels` 15-bit gains); false when the
// layout cannot be mixed to 1 or 2 channels.
bool SndMixDownMatrix(uint32_t mask, int32_t channels, int32_t out_channels, int32_t* gains);
void SndMixDown(const int16_t* in, int64_t frames, int32_t channels, const int32_t* gains,
                int32_t out_channels, int16_t* out);
// The same from 32-bit samples (`out` apart from `in`).
void SndMixDown(const int32_t* in, int64_t frames, int32_t channels, const int32_t* gains,
                int32_t out_channels, int16_t* out);
// True when `mask` mixes down exactly as the usual layout of the count does.
bool SndLayoutIsDefault(uint32_t mask, int32_t channels);

// Conversion wrapper.
void WaveConvertInit(WaveConvState& state, const WaveFormat* source, const WaveFormat* target);
void WaveConvert(WaveConvState& state, const uint8_t* source, uint8_t* target,
                 const WaveFormat* target_format, const WaveFormat* source_format,
                 int32_t& produced, int32_t capacity, int32_t length);
void WaveConvert_(WaveConvState& state, const uint8_t* source, uint8_t* target,
                  const WaveFormat* target_format, const WaveFormat* source_format,
                  int32_t& produced, int32_t capacity, int32_t length);
void WaveConvertDone(WaveConvState& state);

// Streaming decoder.
void SndLoad(void* module, WaveConvState& conv, SndDecodeState& dec, SndReadFunc read,
             int32_t count, SoundBuffer& dest);
// Frees the staging buffer of a decode state (module close).
void SndDecodeFree(SndDecodeState& dec);

}  // namespace vek
