// What a format module tells about a file without loading it.
#pragma once

#include <cstdint>

#include "vek/vek.h"

namespace vek {

inline constexpr const char* kDefaultCompression = "Uncompressed, full frames";
inline constexpr const char* kDefaultSoundFormat = "PCM, uncompressed";

struct QffInfo {
  int32_t id;
  int64_t size;         // file size in bytes
  int32_t maxDataRate;  // bytes per second (AVI header), else 0
  int32_t width, height, bytespp, bits, frames;
  double fps;
  double speed;  // Bayer readers only
  char compression[256];
  int32_t imagesValid, imagesSupported;
  VekWaveFormat sndFormat;     // as stored in the file
  VekWaveFormat sndFormatOut;  // as delivered to the engine
  int32_t samples;
  char sndFormatName[256];
  int32_t soundValid, soundSupported;
  char fullName[256];
};

// Copies a text into a fixed record buffer, cutting it to fit.
template <size_t N>
void SetText(char (&dst)[N], const char* src) {
  size_t i = 0;
  for (; src && src[i] && i + 1 < N; ++i) dst[i] = src[i];
  dst[i] = '\0';
}

}  // namespace vek
