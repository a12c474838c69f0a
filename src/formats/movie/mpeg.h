// MPEG video and audio (FF_MPG): reading MPEG-1/2 video and MPEG audio
// layers I to III, writing MPEG video, layer II audio and, when both are
// written, one multiplexed system stream.
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"

namespace vek {

// The writer's MPEG version: 2 for MPEG-2, any other value MPEG-1 (1 at
// load). Returns the setting; the undefined marker only queries.
int32_t MpgSetVersion(int32_t version);
// The writer's video bit rate in kilobits per second, kept as bits per
// second (x 1024, clamped to 0..104857200; 1125 at load). Returns the
// setting rounded to kilobits; the undefined marker only queries.
int32_t MpgSetBitRate(int32_t kbps);
// The bit rate setting in bits per second.
int64_t MpgBitRateBits();

// The rate code (1..8) a writer takes for a frame rate: the first rate of
// the MPEG table not below it, 8 above 59.94.
int32_t MpgRateCode(double fps);
double MpgRateOfCode(int32_t code);
// The sample rate the audio writer takes: 32000, 44100 or 48000.
int32_t MpgSoundRate(int32_t rate);

void MpgInfo(const std::string& name, QffInfo& info);
// True when the information cache holds this file, unchanged (name, size and date).
bool isMPEGCached(const std::string& name);

// Joins a video and an audio stream into `output` through a temporary file
// in the output's folder; deletes the two parts when asked.
void MpgMultiPlex(const std::string& output, const std::string& video, const std::string& audio,
                  bool delete_parts);

}  // namespace vek
