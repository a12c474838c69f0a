// The wave format record of the platform (WAVEFORMATEX), the format tags
// the library knows and the multimedia result codes: shared by the sound services (ACM, mmio), the codec
// wrappers and the sound buffers, which need the record but not the services.
#pragma once

#include <bit>
#include <cstdint>

namespace vek::platform {

static_assert(std::endian::native == std::endian::little,
              "wave format records are stored little-endian as is");

using MMRESULT = uint32_t;
using DWORD = uint32_t;

#pragma pack(push, 1)
// The wave format record (WAVEFORMATEX): 18 bytes, packed, little-endian;
// `cbSize` bytes of format-specific data may follow it in memory.
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX must be 18 bytes");

// Format tags this layer knows.
inline constexpr uint16_t WAVE_FORMAT_PCM = 0x0001;
inline constexpr uint16_t WAVE_FORMAT_ADPCM = 0x0002;
inline constexpr uint16_t WAVE_FORMAT_ALAW = 0x0006;
inline constexpr uint16_t WAVE_FORMAT_MULAW = 0x0007;
inline constexpr uint16_t WAVE_FORMAT_IMA_ADPCM = 0x0011;
inline constexpr uint16_t WAVE_FORMAT_GSM610 = 0x0031;
inline constexpr uint16_t WAVE_FORMAT_MPEG = 0x0050;
inline constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x0055;
inline constexpr uint16_t WAVE_FORMAT_AAC = 0x00FF;  // raw AAC frames, AudioSpecificConfig behind
inline constexpr uint16_t WAVE_FORMAT_MPEG_ADTS_AAC = 0x1600;
inline constexpr uint16_t WAVE_FORMAT_DOLBY_AC3 = 0x2000;

// The multimedia services' general result codes (ACM, mmio).
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;

}  // namespace vek::platform
