// Ogg Vorbis sound files (unit FF_OGG): decoding to 16-bit PCM from any
// sample position, and encoding PCM at the module's quality setting.
#pragma once

#include <cstdint>
#include <string>

#include "sound/sound.h"
#include "formats/file_info.h"
#include "foundation/memory.h"
#include "codecs/libvorbis/vorbis_codec.h"

namespace vek {

// The module's process-wide settings.
struct OggSettings {
  int32_t quality = 30;  // percent of Vorbis' scale: -10 to 100 (oggenc -q times 10)
};

// Clamps, stores and returns the encoding quality; the undefined marker only asks.
int32_t OggSetQuality(int32_t quality);

// One open Ogg Vorbis file.
struct OggState {
  Tracked<uint8_t> vf;  // the decoder's storage
  platform::OvFileHandle* handle = nullptr;
  platform::OvEncoder* encoder = nullptr;
  int32_t total = 0;     // sample frames in the file
  int32_t position = 0;  // current sample frame
  int32_t bitstream = 0;
  bool writing = false;
  bool created = false;
  WaveFormat format{};   // PCM delivered or written
  // Reading more than two channels: the decoder's count, and whether they
  // are mixed down to stereo as read (a layout other than the usual one of
  // the count); Vorbis's channel order is turned into the wave order.
  int32_t decoded_channels = 0;
  bool mix = false;
  int32_t mix_gains[2 * kSndMaxMixChannels] = {};
  std::string name;
  int32_t written = 0;   // sample frames written

  OggState() = default;
  ~OggState();
  OggState(const OggState&) = delete;
  OggState& operator=(const OggState&) = delete;
  // Frees and closes everything without reporting (an unfinished encoder
  // still finishes its file), leaving a zero state.
  void Reset();
};

void OggOpen(OggState& s, const std::string& name);
void OggSeek(OggState& s, int32_t sample);
void OggLoad(OggState& s, SoundBuffer& snd, int32_t start, int32_t mode, int32_t count);
void OggCreate(OggState& s, const std::string& name);
void OggSave(OggState& s, SoundBuffer& snd);
void OggClose(OggState& s);
void OggInfo(const std::string& name, QffInfo& info);

}  // namespace vek
